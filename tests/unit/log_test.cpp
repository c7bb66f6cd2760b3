// Log lines, destinations, device log files and their clean-up.
#include "log/j2534_log.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <pty.h>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

using testsupport::read_file;
using testsupport::split_lines;
using testsupport::strip_timestamp;
using testsupport::write_file;

namespace {

std::string make_temp_dir() {
    std::string tmpl = testsupport::config_home() + "/log-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) return "";
    return buf.data();
}

std::vector<std::string> list_dir(const std::string &dir) {
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (struct dirent *e = readdir(d)) {
            std::string n = e->d_name;
            if (n != "." && n != "..") names.push_back(n);
        }
        closedir(d);
    }
    return names;
}

std::string dev_path(int slot) {
    char buf[1200];
    log_dev_path(slot, buf, sizeof buf);
    return buf;
}

// Runs fn with file descriptor 1 pointing at fd, then restores it.
void with_stdout_on(int fd, const std::function<void()> &fn) {
    fflush(stdout);
    int saved = dup(1);
    ASSERT_GE(saved, 0);
    ASSERT_EQ(dup2(fd, 1), 1);
    fn();
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
}

// Reads what is available on fd, waiting up to 1 s for the first byte.
std::string drain(int fd) {
    std::string out;
    char buf[512];
    int wait_ms = 1000;
    for (;;) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, wait_ms) <= 0) break;
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        out.append(buf, static_cast<size_t>(n));
        wait_ms = 50;
    }
    return out;
}

class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved_level_ = g_log_level.load();
        g_log_level.store(3);
        dir_ = make_temp_dir();
        ASSERT_FALSE(dir_.empty());
    }
    void TearDown() override {
        for (int s = 0; s < LOG_SLOTS; ++s) {
            log_dev_close(s);
            log_session_end(s);
        }
        g_log_level.store(saved_level_);
    }

    // Opens the slot's file in dir_ and returns its path.
    std::string open_slot(int slot) {
        FILE *f = log_dev_open(slot, dir_.c_str());
        EXPECT_NE(f, nullptr);
        EXPECT_EQ(log_dev_output(slot), f);
        return dev_path(slot);
    }

    std::string dir_;
    int saved_level_ = 3;
};

TEST_F(LogTest, TimestampIsDeltaSincePreviousLineOfSlot) {
    std::string path = open_slot(1);
    log_session_end(1);
    log_line(1, 'I', "pt_lib", "first\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    log_line(1, 'I', "pt_lib", "short %d\n", 5);
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    log_line(1, 'W', "j1", "long\n");

    std::vector<std::string> lines = split_lines(read_file(path));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "  0 I pt_lib first");

    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[1], m, std::regex("( *)([0-9]+) I pt_lib short 5")))
        << lines[1];
    unsigned short_ms = static_cast<unsigned>(std::stoul(m[2]));
    EXPECT_GE(short_ms, 5u);
    ASSERT_LT(short_ms, 1000u);
    char expect[16];
    snprintf(expect, sizeof expect, "%3u", short_ms);
    EXPECT_EQ(lines[1].substr(0, 3), expect) << "right-aligned in three columns";

    ASSERT_TRUE(std::regex_match(lines[2], m, std::regex("([0-9]+) W j1 long"))) << lines[2];
    EXPECT_GE(std::stoul(m[1]), 1100u);
}

TEST_F(LogTest, TimestampZeroCases) {
    char buf[16];
    const int slots[] = {16, 99, -1};
    for (int s : slots) {
        log_timestamp(buf, sizeof buf, s);
        EXPECT_STREQ(buf, "  0") << s;
        log_timestamp(buf, sizeof buf, s);
        EXPECT_STREQ(buf, "  0") << "out-of-range slot keeps no time: " << s;
    }
    log_session_end(2);
    log_timestamp(buf, sizeof buf, 2);
    EXPECT_STREQ(buf, "  0");
    log_timestamp(buf, sizeof buf, 2);
    EXPECT_TRUE(std::regex_match(std::string(buf), std::regex("  [0-9]"))) << buf;
    // Slots keep separate times.
    log_session_end(3);
    log_timestamp(buf, sizeof buf, 3);
    EXPECT_STREQ(buf, "  0");
}

TEST_F(LogTest, ColoursOnlyOnTerminal) {
    struct termios raw;
    cfmakeraw(&raw);
    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, &raw, nullptr), 0);
    log_dev_close(5);

    struct colour_case {
        char level;
        const char *colour;
    };
    const colour_case cases[] = {
        {'E', "\33[31m"}, {'W', "\33[33m"}, {'I', "\33[32m"}, {'D', "\33[0m"}, {'V', "\33[90m"},
    };
    g_log_level.store(4);
    for (const colour_case &c : cases) {
        std::string got;
        with_stdout_on(slave, [&] {
            log_session_end(5);
            log_line(5, c.level, "pt_dll", "boom %d\n", 7);
        });
        got = drain(master);
        std::string plain = std::string("  0 ") + c.level + " pt_dll boom 7";
        EXPECT_EQ(got, std::string(c.colour) + plain + "\33[0m\n") << c.level;
    }

    // Headers and host comments carry no colour, even on a terminal.
    with_stdout_on(slave, [&] {
        log_session_start(5);
        log_session_end(5);
        log_host_comment(5, "note");
    });
    std::vector<std::string> lines = split_lines(drain(master));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].find('\33'), std::string::npos) << lines[0];
    EXPECT_EQ(lines[1], "  0 # note");
    close(slave);
    close(master);

    // Standard output redirected to a file: no escape codes.
    std::string out_path = dir_ + "/stdout.txt";
    int fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    with_stdout_on(fd, [&] {
        log_session_end(5);
        log_line(5, 'E', "pt_dll", "boom %d\n", 7);
    });
    close(fd);
    EXPECT_EQ(read_file(out_path), "  0 E pt_dll boom 7\n");

    // A device log file: no escape codes either.
    std::string path = open_slot(5);
    log_session_end(5);
    log_line(5, 'E', "pt_dll", "boom %d\n", 7);
    EXPECT_EQ(read_file(path), "  0 E pt_dll boom 7\n");
}

TEST_F(LogTest, LevelFilter) {
    std::string path = open_slot(4);
    struct level_case {
        int level;
        const char *written;
    };
    const level_case cases[] = {
        {-1, "E"}, {0, "E"}, {1, "EW"}, {2, "EWI"}, {3, "EWID"}, {4, "EWIDV"},
    };
    std::vector<std::string> expect;
    for (const level_case &c : cases) {
        g_log_level.store(c.level);
        for (char l : std::string("EWIDV")) {
            log_line(4, l, "pt_lib", "at %d\n", c.level);
            bool on = std::string(c.written).find(l) != std::string::npos;
            EXPECT_EQ(log_enabled(l), on) << c.level << " " << l;
            if (on) expect.push_back(std::string(1, l) + " pt_lib at " + std::to_string(c.level));
        }
    }
    std::vector<std::string> got;
    for (const std::string &line : split_lines(read_file(path))) got.push_back(strip_timestamp(line));
    EXPECT_EQ(got, expect);
}

TEST_F(LogTest, NewFileNameAndSessionHeader) {
    time_t before = time(nullptr);
    std::string path = open_slot(3);
    time_t after = time(nullptr);
    log_session_start(3);
    log_line(3, 'I', "pt_dll", "hello\n");

    std::smatch m;
    std::string name = path.substr(path.rfind('/') + 1);
    EXPECT_EQ(path, dir_ + "/" + name);
    ASSERT_TRUE(std::regex_match(name, m, std::regex("id3_([0-9]{8}_[0-9]{6})\\.mlog"))) << name;
    bool stamp_ok = false;
    for (time_t t = before; t <= after; ++t) {
        struct tm tm;
        localtime_r(&t, &tm);
        char s[32];
        strftime(s, sizeof s, "%Y%m%d_%H%M%S", &tm);
        stamp_ok |= m[1] == s;
    }
    EXPECT_TRUE(stamp_ok) << name;

    std::vector<std::string> lines = split_lines(read_file(path));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(std::regex_match(
        lines[0], std::regex("# v2 [0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} "
                             "dll:2\\.0\\.0\\.213 api:04\\.04")))
        << lines[0];
    // The session start sets the time, so the next line is not the "  0" of a first line.
    EXPECT_TRUE(std::regex_match(lines[1], std::regex("  [0-9] I pt_dll hello"))) << lines[1];

    // Two digit slot numbers are written as is.
    FILE *f = log_dev_open(15, dir_.c_str());
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(std::regex_match(dev_path(15), std::regex(".*/id15_[0-9]{8}_[0-9]{6}\\.mlog")));
}

TEST_F(LogTest, NoHeaderAtLevelMinusOne) {
    std::string path = open_slot(3);
    g_log_level.store(-1);
    log_session_start(3);
    log_line(3, 'E', "pt_dll", "still\n");
    std::vector<std::string> lines = split_lines(read_file(path));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(strip_timestamp(lines[0]), "E pt_dll still");
}

TEST_F(LogTest, OpenRejectsAndFailures) {
    EXPECT_EQ(log_dev_open(16, dir_.c_str()), nullptr);
    EXPECT_EQ(log_dev_open(-1, dir_.c_str()), nullptr);
    EXPECT_EQ(log_dev_open(0, nullptr), nullptr);
    EXPECT_EQ(log_dev_open(0, ""), nullptr);
    g_log_level.store(-1);
    EXPECT_EQ(log_dev_open(0, dir_.c_str()), nullptr);
    g_log_level.store(3);
    EXPECT_TRUE(list_dir(dir_).empty());
    EXPECT_EQ(log_dev_output(0), stdout);
    EXPECT_EQ(dev_path(0), "");

    // A folder that cannot be created leaves the slot's current file in place.
    FILE *first = log_dev_open(0, dir_.c_str());
    ASSERT_NE(first, nullptr);
    write_file(dir_ + "/plain", "x");
    EXPECT_EQ(log_dev_open(0, (dir_ + "/plain/sub").c_str()), nullptr);
    EXPECT_EQ(log_dev_output(0), first);
    log_line(0, 'E', "pt_dll", "kept\n");
    EXPECT_EQ(strip_timestamp(read_file(dev_path(0))), "E pt_dll kept\n");

    // A missing folder is created (one level).
    std::string fresh = dir_ + "/vklogs";
    ASSERT_NE(log_dev_open(0, fresh.c_str()), nullptr);
    struct stat st;
    ASSERT_EQ(stat(fresh.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(st.st_mode & 0777, 0755u & ~mask);
    EXPECT_EQ(list_dir(fresh).size(), 1u);
}

TEST_F(LogTest, OutputDestination) {
    EXPECT_EQ(log_dev_output(16), stdout);
    EXPECT_EQ(log_dev_output(-1), stdout);
    EXPECT_EQ(log_dev_output(9), stdout);
    FILE *f = log_dev_open(9, dir_.c_str());
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(log_dev_output(9), f);
    EXPECT_EQ(log_dev_output(8), stdout);
    log_dev_close(9);
    EXPECT_EQ(log_dev_output(9), stdout);
    EXPECT_EQ(dev_path(9), "");
    log_dev_close(9); // closing again, and out of range, is harmless
    log_dev_close(16);
    log_dev_close(-1);
}

TEST_F(LogTest, OpeningTwiceClosesFirstKeepsSecond) {
    std::string dir_a = dir_ + "/a", dir_b = dir_ + "/b";
    FILE *a = log_dev_open(6, dir_a.c_str());
    ASSERT_NE(a, nullptr);
    int fd_a = fileno(a);
    std::string path_a = dev_path(6);
    log_line(6, 'E', "pt_lib", "one\n");

    FILE *b = log_dev_open(6, dir_b.c_str());
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    EXPECT_EQ(fcntl(fd_a, F_GETFD), -1) << "first file still open";
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(log_dev_output(6), b);
    std::string path_b = dev_path(6);
    EXPECT_EQ(path_b.rfind(dir_b + "/id6_", 0), 0u) << path_b;
    log_line(6, 'E', "pt_lib", "two\n");

    EXPECT_EQ(strip_timestamp(read_file(path_a)), "E pt_lib one\n");
    EXPECT_EQ(strip_timestamp(read_file(path_b)), "E pt_lib two\n");
}

TEST_F(LogTest, CleanupDeletesOnlyOldLogFiles) {
    struct file_case {
        const char *name;
        int age_days;
        bool kept;
    };
    const file_case cases[] = {
        {"id0_20240101_120000.mlog", 31, false},
        {"id1_20240101_120000.mlog", 29, true},
        {"notes.txt", 31, true},
        {"id2_20240101_120000.mlog.bak", 31, true},
        {"mlog", 31, true},
        {".mlog", 31, false},
        {"id3_20240101_120000.mlog", 0, true},
    };
    time_t now = time(nullptr);
    for (const file_case &c : cases) {
        std::string p = dir_ + "/" + c.name;
        write_file(p, "x");
        struct timespec ts[2];
        ts[0].tv_sec = ts[1].tv_sec = now - static_cast<time_t>(c.age_days) * 86400;
        ts[0].tv_nsec = ts[1].tv_nsec = 0;
        ASSERT_EQ(utimensat(AT_FDCWD, p.c_str(), ts, 0), 0) << c.name;
    }
    log_cleanup_old_files(dir_.c_str());
    for (const file_case &c : cases) {
        struct stat st;
        EXPECT_EQ(stat((dir_ + "/" + c.name).c_str(), &st) == 0, c.kept) << c.name;
    }

    // Nothing to clean: no crash, nothing else touched.
    log_cleanup_old_files(nullptr);
    log_cleanup_old_files("");
    log_cleanup_old_files((dir_ + "/missing").c_str());
}

TEST_F(LogTest, HostCommentWhateverTheLevel) {
    std::string path = open_slot(2);
    g_log_level.store(-1);
    log_session_end(2);
    log_host_comment(2, "host says %s 100%");
    log_host_comment(2, nullptr);
    log_host_comment(2, "");
    std::vector<std::string> lines = split_lines(read_file(path));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "  0 # host says %s 100%");
    EXPECT_TRUE(std::regex_match(lines[1], std::regex("  [0-9] # "))) << lines[1];
}

// Writers log to one slot while its file is closed and reopened; every line
// that lands anywhere (a log file or standard output) must be whole.
TEST_F(LogTest, ConcurrentWritersAndReopen) {
    const int slot = 7;
    const int writers = 4;
    const int lines_per_writer = 1500;
    const std::string payload(120, 'x');

    std::string out_path = dir_ + "/stdout.txt";
    int fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    std::string logs = dir_ + "/logs";
    std::atomic<int> open_failures{0};
    std::atomic<int> reopens{0};

    with_stdout_on(fd, [&] {
        std::atomic<bool> done{false};
        if (!log_dev_open(slot, logs.c_str())) open_failures++;
        std::thread reopener([&] {
            while (!done.load()) {
                log_dev_close(slot);
                std::this_thread::yield();
                if (!log_dev_open(slot, logs.c_str())) open_failures++;
                if (reopens.fetch_add(1) % 2) {
                    if (!log_dev_open(slot, logs.c_str())) open_failures++;
                }
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        });
        std::vector<std::thread> pool;
        for (int w = 0; w < writers; ++w) {
            pool.emplace_back([&, w] {
                for (int i = 0; i < lines_per_writer; ++i)
                    log_line(slot, 'I', "j7", "w%d n%d %s\n", w, i, payload.c_str());
            });
        }
        for (std::thread &t : pool) t.join();
        done.store(true);
        reopener.join();
        log_dev_close(slot);
    });
    close(fd);
    EXPECT_EQ(open_failures.load(), 0);
    EXPECT_GT(reopens.load(), 0);

    const std::regex whole(" *([0-9]+) I j7 w[0-9] n[0-9]+ " + payload);
    std::vector<std::string> sources = {out_path};
    for (const std::string &n : list_dir(logs)) sources.push_back(logs + "/" + n);
    size_t total = 0;
    for (const std::string &src : sources) {
        std::string text = read_file(src);
        EXPECT_EQ(text.find('\0'), std::string::npos) << src;
        if (!text.empty()) {
            EXPECT_EQ(text.back(), '\n') << src;
        }
        for (const std::string &line : split_lines(text)) {
            ++total;
            std::smatch m;
            if (!std::regex_match(line, m, whole)) {
                ADD_FAILURE() << src << ": torn line: " << line.substr(0, 80);
                break;
            }
            // Racing writers must never see a wrapped (negative) delta.
            EXPECT_LT(std::stoul(m[1]), 100000ul) << line.substr(0, 20);
        }
    }
    EXPECT_GT(total, 0u);
}

} // namespace

TEST_F(LogTest, ReopenWithinTheSameSecondKeepsTheEarlierSession) {
    std::string first = open_slot(8);
    log_line(8, 'E', "pt_lib", "first session\n");
    log_dev_close(8);
    std::string second = open_slot(8);
    log_line(8, 'E', "pt_lib", "second session\n");
    log_dev_close(8);
    std::string all = read_file(first) + (second == first ? "" : read_file(second));
    EXPECT_NE(all.find("E pt_lib first session\n"), std::string::npos);
    EXPECT_NE(all.find("E pt_lib second session\n"), std::string::npos);
}
