// Log files and log lines.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdio>

constexpr int LOG_SLOTS = 16;

// -1 (files off) to 4 (verbose); 3 by default.
extern std::atomic<int> g_log_level;

// Writes "<timestamp> <level> <tag> <message>" to the slot's destination as one
// write followed by a flush. `fmt` is the message part only (it ends in "\n").
// Errors ('E') are always written; 'W' from level 1, 'I' from 2, 'D' from 3, 'V' at 4.
void log_line(int slot, char level, const char *tag, const char *fmt, ...)
    __attribute__((format(printf, 4, 5)));

// True when a line of this level would be written; lets callers skip costly formatting.
bool log_enabled(char level);

FILE *log_dev_output(int slot);
void log_timestamp(char *buf, size_t size, int slot);
FILE *log_dev_open(int slot, const char *folder);
void log_dev_close(int slot);
void log_session_start(int slot);
void log_session_end(int slot);
void log_cleanup_old_files(const char *folder);

// Host comment line "%s # %s\n" (LogMsg).
void log_host_comment(int slot, const char *text);

// Path of the slot's open log file, "" when none (for hosts and tools that show it).
void log_dev_path(int slot, char *buf, size_t size);
