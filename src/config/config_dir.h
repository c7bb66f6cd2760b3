// Per-platform pieces of the configuration store: where the per-user base
// directory is, how paths are joined and how one directory is made.
#pragma once

#include <cstddef>

// Separator used to join paths ('/' on Linux and macOS, '\\' on Windows).
extern const char config_path_sep;

// Writes the per-user configuration base directory into buf. Not cached: reads
// the environment afresh on every call. Returns false when no base directory
// can be found or it does not fit in buf.
bool config_base_dir(char *buf, size_t size);

// Creates one directory (mode 0755 on POSIX). Returns 0 on success, -1 otherwise
// (also when it already exists).
int config_make_dir(const char *path);

// Creates path with all missing parents; the result of the last creation (the
// whole path) is returned, earlier ones are ignored.
int config_make_dir_chain(const char *path);
