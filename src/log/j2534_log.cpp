#include "log/j2534_log.h"

#include "api/version.h"

#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>
#include <vector>

std::atomic<int> g_log_level{3};

namespace {

// Guards g_log_files and the streams in it: every write to a log file and
// every close happens under it, so no line reaches a closed stream.
std::mutex g_log_files_mutex;
FILE *g_log_files[LOG_SLOTS] = {};
bool s_log_file_is_tty[LOG_SLOTS] = {}; // looked up once per file, not per line
char s_log_paths[LOG_SLOTS][1100] = {};
std::atomic<uint64_t> last_log_time[LOG_SLOTS];

std::mutex s_log_header_mutex;
std::mutex g_log_mutex;

constexpr const char *COLOR_RESET = "\33[0m";
constexpr time_t CLEANUP_AGE_S = 2592000; // 30 days

uint64_t wall_ms() {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return static_cast<uint64_t>(tv.tv_sec) * 1000u + static_cast<uint64_t>(tv.tv_usec) / 1000u;
}

const char *level_color(char level) {
    switch (level) {
    case 'E': return "\33[31m";
    case 'W': return "\33[33m";
    case 'I': return "\33[32m";
    case 'V': return "\33[90m";
    default: return "\33[0m";
    }
}

int level_threshold(char level) {
    switch (level) {
    case 'E': return -1;
    case 'W': return 1;
    case 'I': return 2;
    case 'D': return 3;
    default: return 4;
    }
}

// Stream of the slot; caller holds g_log_files_mutex.
FILE *slot_stream_locked(int slot) {
    if (slot >= 0 && slot < LOG_SLOTS && g_log_files[slot]) return g_log_files[slot];
    return stdout;
}

// Writes one finished line (without colour) as a single write and flush.
void write_line(int slot, const char *color, const char *text, size_t len) {
    std::lock_guard<std::mutex> lock(g_log_files_mutex);
    FILE *out = slot_stream_locked(slot);
    bool file = out != stdout;
    if (color && (file ? s_log_file_is_tty[slot] : isatty(fileno(out)))) {
        // Colour wraps the line; the reset goes right before the newline.
        size_t body = (len && text[len - 1] == '\n') ? len - 1 : len;
        fprintf(out, "%s%.*s%s%s", color, static_cast<int>(body), text, COLOR_RESET,
                body < len ? "\n" : "");
    } else {
        fwrite(text, 1, len, out);
    }
    fflush(out);
}

void vformat_line(std::vector<char> &heap, char *stack, size_t stack_size, const char **out,
                  size_t *out_len, const char *prefix, const char *fmt, va_list ap) {
    size_t plen = strlen(prefix);
    va_list ap2;
    va_copy(ap2, ap);
    int n = vsnprintf(stack + plen, stack_size - plen, fmt, ap);
    memcpy(stack, prefix, plen);
    if (n < 0) n = 0;
    if (plen + static_cast<size_t>(n) < stack_size) {
        *out = stack;
        *out_len = plen + static_cast<size_t>(n);
    } else {
        heap.resize(plen + static_cast<size_t>(n) + 1);
        memcpy(heap.data(), prefix, plen);
        vsnprintf(heap.data() + plen, heap.size() - plen, fmt, ap2);
        *out = heap.data();
        *out_len = plen + static_cast<size_t>(n);
    }
    va_end(ap2);
}

} // namespace

bool log_enabled(char level) { return g_log_level.load(std::memory_order_relaxed) >= level_threshold(level); }

void log_timestamp(char *buf, size_t size, int slot) {
    if (!buf || size == 0) return;
    if (slot < 0 || slot >= LOG_SLOTS) {
        snprintf(buf, size, "  0");
        return;
    }
    uint64_t now = wall_ms();
    uint64_t prev = last_log_time[slot].exchange(now);
    if (prev == 0) {
        snprintf(buf, size, "  0");
        return;
    }
    // A writer that read the clock just before another one may swap in the
    // older time; show 0 rather than a wrapped difference.
    unsigned diff = now > prev ? static_cast<unsigned>(now - prev) : 0u;
    snprintf(buf, size, diff < 1000 ? "%3u" : "%u", diff);
}

void log_line(int slot, char level, const char *tag, const char *fmt, ...) {
    if (level != 'E' && !log_enabled(level)) return;
    char ts[16];
    log_timestamp(ts, sizeof ts, slot);
    char prefix[64];
    snprintf(prefix, sizeof prefix, "%s %c %s ", ts, level, tag ? tag : "");

    char stack[2048];
    std::vector<char> heap;
    const char *text;
    size_t len;
    va_list ap;
    va_start(ap, fmt);
    vformat_line(heap, stack, sizeof stack, &text, &len, prefix, fmt, ap);
    va_end(ap);
    write_line(slot, level_color(level), text, len);
}

void log_host_comment(int slot, const char *text) {
    if (!text) return;
    std::lock_guard<std::mutex> lock(g_log_mutex);
    char ts[16];
    log_timestamp(ts, sizeof ts, slot);
    std::string line = std::string(ts) + " # " + text + "\n";
    write_line(slot, nullptr, line.data(), line.size());
}

FILE *log_dev_output(int slot) {
    std::lock_guard<std::mutex> lock(g_log_files_mutex);
    return slot_stream_locked(slot);
}

FILE *log_dev_open(int slot, const char *folder) {
    if (slot < 0 || slot >= LOG_SLOTS || !folder || !*folder) return nullptr;
    if (g_log_level.load(std::memory_order_relaxed) < 0) return nullptr;
    struct stat st;
    if (stat(folder, &st) != 0) mkdir(folder, 0755);

    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    char path[sizeof s_log_paths[0]];
    int n = snprintf(path, sizeof path, "%s/id%u_%04d%02d%02d_%02d%02d%02d.mlog", folder,
                     static_cast<unsigned>(slot), tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                     tm.tm_hour, tm.tm_min, tm.tm_sec);
    if (n < 0 || static_cast<size_t>(n) >= sizeof path) return nullptr;
    // Append: a device opened again within the same second gets the same name, and
    // truncating would lose the previous session's log. Opened under the lock so no
    // line goes through the old stream once the new one replaces it.
    std::lock_guard<std::mutex> lock(g_log_files_mutex);
    FILE *f = fopen(path, "a");
    if (!f) return nullptr;
    if (g_log_files[slot]) fclose(g_log_files[slot]);
    g_log_files[slot] = f;
    s_log_file_is_tty[slot] = isatty(fileno(f));
    snprintf(s_log_paths[slot], sizeof s_log_paths[slot], "%s", path);
    return f;
}

void log_dev_close(int slot) {
    if (slot < 0 || slot >= LOG_SLOTS) return;
    std::lock_guard<std::mutex> lock(g_log_files_mutex);
    if (g_log_files[slot]) fclose(g_log_files[slot]);
    g_log_files[slot] = nullptr;
    s_log_paths[slot][0] = 0;
}

void log_dev_path(int slot, char *buf, size_t size) {
    if (!buf || size == 0) return;
    buf[0] = 0;
    if (slot < 0 || slot >= LOG_SLOTS) return;
    std::lock_guard<std::mutex> lock(g_log_files_mutex);
    snprintf(buf, size, "%s", s_log_paths[slot]);
}

void log_session_start(int slot) {
    if (slot < 0 || slot >= LOG_SLOTS) return;
    last_log_time[slot].store(wall_ms());
    if (g_log_level.load(std::memory_order_relaxed) < 0) return;
    std::lock_guard<std::mutex> header_lock(s_log_header_mutex);
    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    char date[32];
    strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &tm);
    char line[128];
    int n = snprintf(line, sizeof line, "# v2 %s dll:%s api:%s\n", date, dll_ver, api_ver);
    write_line(slot, nullptr, line, static_cast<size_t>(n));
}

void log_session_end(int slot) {
    if (slot < 0 || slot >= LOG_SLOTS) return;
    last_log_time[slot].store(0);
}

void log_cleanup_old_files(const char *folder) {
    if (!folder || !*folder) return;
    DIR *dir = opendir(folder);
    if (!dir) return;
    time_t now = time(nullptr);
    while (struct dirent *e = readdir(dir)) {
        size_t n = strlen(e->d_name);
        if (n < 5 || strcmp(e->d_name + n - 5, ".mlog") != 0) continue;
        std::string path = std::string(folder) + "/" + e->d_name;
        struct stat st;
        if (stat(path.c_str(), &st) != 0) continue;
        if (now - st.st_mtime > CLEANUP_AGE_S) unlink(path.c_str());
    }
    closedir(dir);
}
