// Configuration base directory on Linux ($XDG_CONFIG_HOME or ~/.config) and
// macOS (~/Library/Application Support).
#include "config/config_dir.h"

#include <cstdio>
#include <cstdlib>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

const char config_path_sep = '/';

namespace {

bool put(char *buf, size_t size, const char *fmt, const char *value) {
    int n = snprintf(buf, size, fmt, value);
    return n >= 0 && static_cast<size_t>(n) < size;
}

// $HOME when set, else the password database entry of the current user.
bool home_dir(char *buf, size_t size) {
    if (const char *home = getenv("HOME")) return put(buf, size, "%s", home);
    long max = sysconf(_SC_GETPW_R_SIZE_MAX);
    size_t len = max > 16384 ? static_cast<size_t>(max) : 16384;
    char *scratch = static_cast<char *>(malloc(len));
    if (!scratch) return false;
    struct passwd pw;
    struct passwd *found = nullptr;
    bool ok = getpwuid_r(getuid(), &pw, scratch, len, &found) == 0 && found && found->pw_dir &&
              put(buf, size, "%s", found->pw_dir);
    free(scratch);
    return ok;
}

} // namespace

bool config_base_dir(char *buf, size_t size) {
    if (!buf || size == 0) return false;
    char home[1024];
#ifdef __APPLE__
    if (!home_dir(home, sizeof home)) return false;
    return put(buf, size, "%s/Library/Application Support", home);
#else
    const char *xdg = getenv("XDG_CONFIG_HOME");
    if (xdg && *xdg) return put(buf, size, "%s", xdg);
    if (!home_dir(home, sizeof home)) return false;
    return put(buf, size, "%s/.config", home);
#endif
}

int config_make_dir(const char *path) {
    return mkdir(path, 0755) == 0 ? 0 : -1;
}
