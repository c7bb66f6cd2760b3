// vkpt driven as a user drives it: the program loads the real library and talks to the
// simulated VCI of this process; output and exit status are checked.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cjson/cJSON.h>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "test_support.h"
#include "vci_sim.h"

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;
using testsupport::split_lines;

constexpr int HARD_TIMEOUT_MS = 20000;
constexpr uint8_t CMD_CONNECT = 0x41;
constexpr uint8_t CMD_DISCONNECT = 0x42;
constexpr uint8_t CMD_CLOSE = 0x55;

struct Result {
    int rc = -1;
    std::string out, err;
    bool timed_out = false;
};

// One vkpt process with its standard output and error captured.
class Proc {
  public:
    explicit Proc(const std::vector<std::string> &args) {
        int out[2], err[2];
        if (pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) return;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        posix_spawn_file_actions_adddup2(&fa, err[1], 2);
        std::vector<std::string> all = {VKPT_PATH};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char *> argv;
        for (std::string &a : all)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, VKPT_PATH, &fa, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
        close(out[1]);
        close(err[1]);
        out_fd_ = out[0];
        err_fd_ = err[0];
    }
    ~Proc() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_fd_ >= 0) close(out_fd_);
        if (err_fd_ >= 0) close(err_fd_);
    }

    // Collects output until `text` appears on stdout, the process ends, or timeout_ms passes.
    bool wait_output(const std::string &text, int timeout_ms) {
        auto until = Clock::now() + std::chrono::milliseconds(timeout_ms);
        while (res_.out.find(text) == std::string::npos) {
            if (!pump(until)) return res_.out.find(text) != std::string::npos;
        }
        return true;
    }

    void signal(int sig) { kill(pid_, sig); }

    // Waits for the end; kills the process when the hard time-out passes.
    Result finish(int timeout_ms = HARD_TIMEOUT_MS) {
        auto until = Clock::now() + std::chrono::milliseconds(timeout_ms);
        while (pump(until)) {
        }
        if (out_fd_ >= 0 || err_fd_ >= 0) {
            res_.timed_out = true;
            kill(pid_, SIGKILL);
        }
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        res_.rc = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return res_;
    }

  private:
    // Reads what is there; false once both pipes are closed or the time is up.
    bool pump(Clock::time_point until) {
        if (out_fd_ < 0 && err_fd_ < 0) return false;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
        if (left.count() <= 0) return false;
        pollfd p[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
        if (poll(p, 2, static_cast<int>(left.count())) <= 0) return errno == EINTR;
        drain(p[0], out_fd_, res_.out);
        drain(p[1], err_fd_, res_.err);
        return true;
    }
    static void drain(const pollfd &p, int &fd, std::string &into) {
        if (fd < 0 || !(p.revents & (POLLIN | POLLHUP | POLLERR))) return;
        char buf[4096];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            into.append(buf, static_cast<size_t>(n));
        } else {
            close(fd);
            fd = -1;
        }
    }

    pid_t pid_ = -1;
    int out_fd_ = -1, err_fd_ = -1;
    Result res_;
};

Result run(const std::vector<std::string> &args, int timeout_ms = HARD_TIMEOUT_MS) {
    return Proc(args).finish(timeout_ms);
}

// Parses one JSON text; null when it does not parse.
struct Json {
    explicit Json(const std::string &text) : root(cJSON_Parse(text.c_str())) {}
    ~Json() { cJSON_Delete(root); }
    Json(const Json &) = delete;
    Json &operator=(const Json &) = delete;
    std::string str(const char *key) const {
        const cJSON *v = cJSON_GetObjectItemCaseSensitive(root, key);
        return cJSON_IsString(v) ? v->valuestring : "<missing " + std::string(key) + ">";
    }
    const cJSON *item(const char *key) const { return cJSON_GetObjectItemCaseSensitive(root, key); }
    cJSON *root;
};

std::string item_str(const cJSON *o, const char *key) {
    const cJSON *v = cJSON_GetObjectItemCaseSensitive(o, key);
    return cJSON_IsString(v) ? v->valuestring : "<missing>";
}

double item_num(const cJSON *o, const char *key) {
    const cJSON *v = cJSON_GetObjectItemCaseSensitive(o, key);
    return cJSON_IsNumber(v) ? v->valuedouble : -1;
}

std::vector<uint8_t> bytes(std::initializer_list<int> v) {
    std::vector<uint8_t> out;
    for (int b : v)
        out.push_back(static_cast<uint8_t>(b));
    return out;
}

class Vkpt : public ::testing::Test {
  protected:
    void SetUp() override {
        addr = testsupport::unique_loopback();
        ASSERT_TRUE(sim.start(addr));
        device = "vk0;n" + addr;
    }

    // Arguments for a command against this test's simulator.
    std::vector<std::string> cmd(std::initializer_list<std::string> args) const {
        std::vector<std::string> all = {"--lib", J2534VK_SO_PATH, "-d", device};
        all.insert(all.end(), args.begin(), args.end());
        return all;
    }

    std::vector<uint8_t> commands() {
        std::vector<uint8_t> out;
        for (const vcisim::Request &r : sim.requests())
            out.push_back(r.cmd);
        return out;
    }

    // The session ended properly: the last commands are a disconnect (when a channel was
    // connected) and the close, and the simulator holds no open device.
    void expect_closed(bool had_channel) {
        std::vector<uint8_t> c = commands();
        ASSERT_FALSE(c.empty());
        EXPECT_EQ(c.back(), CMD_CLOSE);
        if (had_channel) {
            ASSERT_GE(c.size(), 2u);
            EXPECT_EQ(c[c.size() - 2], CMD_DISCONNECT);
        }
        EXPECT_FALSE(sim.state().opened);
    }

    // Connect flags of the last connect request.
    uint32_t connect_flags() {
        uint32_t flags = 0xFFFFFFFF;
        for (const vcisim::Request &r : sim.requests())
            if (r.cmd == CMD_CONNECT && r.payload.size() >= 8)
                flags = r.payload[4] | r.payload[5] << 8 | r.payload[6] << 16 |
                        static_cast<uint32_t>(r.payload[7]) << 24;
        return flags;
    }

    // Waits until a channel of the simulator has `filters` filters.
    bool wait_channel_ready(uint16_t number, size_t filters) {
        auto until = Clock::now() + std::chrono::seconds(5);
        while (Clock::now() < until) {
            vcisim::VehicleState v = sim.vehicle();
            const vcisim::Channel *ch = v.channel(number);
            if (ch && ch->filters.size() >= filters) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    vcisim::Simulator sim;
    std::string addr, device;
};

TEST_F(Vkpt, InfoPrintsVersionsAndClosesTheDevice) {
    vcisim::DeviceState st = sim.state();
    st.fw_version = 1310;
    st.hw_version = 0x00C4;
    st.serial = 9001;
    sim.set_state(st);

    Result r = run(cmd({"info"}));
    ASSERT_EQ(r.rc, 0) << r.err;
    std::vector<std::string> lines = split_lines(r.out);
    ASSERT_GE(lines.size(), 5u) << r.out;
    EXPECT_EQ(lines[0], "device    " + device);
    EXPECT_EQ(lines[1], "firmware  FW:1310;HW:000000C4;SN:9001");
    EXPECT_EQ(lines[2], std::string("library   2.0.0.213 (") + J2534VK_SO_PATH + ")");
    EXPECT_EQ(lines[3], "api       04.04");
    EXPECT_EQ(lines[4].rfind("status    tp:", 0), 0u) << lines[4];
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[5], "battery   12.650 V");
    EXPECT_EQ(r.err, "");
    expect_closed(false);

    // Without --lib the library of the build tree beside the program is loaded.
    r = run({"-d", device, "--json", "info"});
    ASSERT_EQ(r.rc, 0) << r.err;
    {
        Json j(r.out);
        ASSERT_NE(j.root, nullptr) << r.out;
        char *found = realpath(j.str("library_path").c_str(), nullptr);
        char *built = realpath(J2534VK_SO_PATH, nullptr);
        ASSERT_TRUE(found && built) << r.out;
        EXPECT_STREQ(found, built);
        free(found);
        free(built);
    }

    r = run(cmd({"--json", "info"}));
    ASSERT_EQ(r.rc, 0) << r.err;
    Json j(r.out);
    ASSERT_NE(j.root, nullptr) << r.out;
    EXPECT_EQ(j.str("firmware"), "FW:1310;HW:000000C4;SN:9001");
    EXPECT_EQ(j.str("library"), "2.0.0.213");
    EXPECT_EQ(j.str("api"), "04.04");
    EXPECT_EQ(j.str("device"), device);
    EXPECT_TRUE(cJSON_IsObject(j.item("status")));
}

TEST_F(Vkpt, UdsVinReadPrintsHexAndVin) {
    vcisim::DeviceState st = sim.state();
    st.vin = "1VK0TEST5N0000815";
    sim.set_state(st);

    Result r = run(cmd({"uds", "--tx", "7E0", "--rx", "7E8", "22", "F1", "90"}));
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.out, "> 7E0  22 F1 90\n"
                     "< 7E8  62 F1 90 31 56 4B 30 54 45 53 54 35 4E 30 30 30 30 38 31 35\n"
                     "VIN  1VK0TEST5N0000815\n");
    EXPECT_EQ(r.err, "");
    expect_closed(true);

    r = run(cmd({"uds", "--json", "--tx", "7E0", "--rx", "7E8", "22F190"}));
    ASSERT_EQ(r.rc, 0) << r.err;
    Json j(r.out);
    ASSERT_NE(j.root, nullptr) << r.out;
    EXPECT_EQ(j.str("request"), "22F190");
    EXPECT_EQ(j.str("response"), "62F190"
                                 "31564B305445535435"
                                 "4E30303030383135");
    EXPECT_EQ(j.str("vin"), "1VK0TEST5N0000815");
    EXPECT_TRUE(cJSON_IsTrue(j.item("positive")));
}

TEST_F(Vkpt, UdsOtherAnswersAndMissingAnswer) {
    // Tester present: positive answer, no VIN line.
    Result r = run(cmd({"uds", "--tx", "7E0", "--rx", "7E8", "3E00"}));
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.out, "> 7E0  3E 00\n< 7E8  7E 00\n");

    // Negative response: printed, named, exit 5.
    r = run(cmd({"uds", "--tx", "7E0", "--rx", "7E8", "2E F1 90 00"}));
    EXPECT_EQ(r.rc, 5);
    EXPECT_EQ(r.out, "> 7E0  2E F1 90 00\n< 7E8  7F 2E 11\n");
    EXPECT_EQ(r.err, "vkpt: negative response 0x11 (serviceNotSupported) to service 2E\n");
    expect_closed(true);

    // 3E 80 suppresses the answer: exit 4 after the wait, device closed.
    auto t0 = Clock::now();
    r = run(cmd({"uds", "--tx", "7E0", "--rx", "7E8", "-t", "0.3", "3E80"}));
    EXPECT_EQ(r.rc, 4);
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(3));
    EXPECT_EQ(r.err, "vkpt: no answer from 7E8 within 0.3 s\n");
    expect_closed(true);

    // Answers from another identifier are not the answer.
    r = run(cmd({"uds", "--tx", "7E0", "--rx", "7E9", "-t", "0.3", "22F190"}));
    EXPECT_EQ(r.rc, 4);
    EXPECT_EQ(r.err, "vkpt: no answer from 7E9 within 0.3 s\n");
}

TEST_F(Vkpt, SendWritesTheFramesInOneCall) {
    Result r = run(cmd(
        {"send", "-p", "CAN", "-b", "500000", "7E0#0210030000000000", "18DAF110#3E.00", "123#"}));
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.out, "sent 3 messages on CAN at 500000\n");
    std::vector<vcisim::TxMessage> w = sim.vehicle().last_write;
    ASSERT_EQ(w.size(), 3u);
    EXPECT_EQ(w[0].protocol, 5u);
    EXPECT_EQ(w[0].tx_flags, 0u);
    EXPECT_EQ(w[0].data, bytes({0, 0, 7, 0xE0, 2, 0x10, 3, 0, 0, 0, 0, 0}));
    EXPECT_EQ(w[1].tx_flags, 0x100u); // 29-bit
    EXPECT_EQ(w[1].data, bytes({0x18, 0xDA, 0xF1, 0x10, 0x3E, 0x00}));
    EXPECT_EQ(w[2].data, bytes({0, 0, 1, 0x23}));
    EXPECT_EQ(connect_flags(), 0x800u); // both identifier sizes on the channel
    expect_closed(true);

    // The channel's identifier size follows the frames, unless --flags says otherwise.
    struct Case {
        std::vector<std::string> extra;
        std::string frame;
        uint32_t flags;
    } cases[] = {
        {{}, "7DF#0201", 0u},
        {{}, "18DB33F1#0201", 0x100u},
        {{"--flags", "0x800"}, "7DF#0201", 0x800u},
    };
    for (const Case &c : cases) {
        std::vector<std::string> args = cmd({"send", "--json", "-p", "5", "-b", "250000"});
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        args.push_back(c.frame);
        r = run(args);
        ASSERT_EQ(r.rc, 0) << r.err;
        Json j(r.out);
        ASSERT_NE(j.root, nullptr) << r.out;
        EXPECT_EQ(item_num(j.root, "sent"), 1);
        EXPECT_EQ(connect_flags(), c.flags) << c.frame;
    }
}

TEST_F(Vkpt, SendFailuresNameTheStep) {
    // The VCI takes one of two: not a success.
    vcisim::DeviceState st = sim.state();
    st.accept_limit = 1;
    sim.set_state(st);
    Result r = run(cmd({"send", "-p", "CAN", "-b", "500000", "7E0#01", "7E0#02"}));
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.err, "vkpt: PassThruWriteMsgs accepted 1 of 2 messages\n");
    expect_closed(true);

    // ISO 15765 without a flow-control filter: the library's status and text.
    r = run(cmd({"send", "-p", "ISO15765", "-b", "500000", "7E0#3E00"}));
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.err.rfind("vkpt: PassThruWriteMsgs failed: ERR_NO_FLOW_CONTROL (23)", 0), 0u)
        << r.err;
    EXPECT_EQ(split_lines(r.err).size(), 1u);
    expect_closed(true);
}

TEST_F(Vkpt, FailingCallPrintsStatusAndLastErrorText) {
    vcisim::DeviceState st = sim.state();
    st.last_error_text = "bus off on pins 6/14";
    sim.set_state(st);
    vcisim::Fault f;
    f.kind = vcisim::Fault::STATUS;
    f.status = 7; // ERR_FAILED: the library fetches the VCI's text
    sim.arm(CMD_CONNECT, f);

    Result r = run(cmd({"monitor", "-p", "CAN", "-b", "500000", "-t", "1"}));
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "vkpt: PassThruConnect failed: ERR_FAILED (7): bus off on pins 6/14\n");
    expect_closed(false);

    r = run(cmd({"--json", "uds", "--tx", "7E0", "--rx", "7E8", "22F190"}));
    EXPECT_EQ(r.rc, 1);
    Json j(r.out);
    ASSERT_NE(j.root, nullptr) << r.out;
    const cJSON *e = j.item("error");
    ASSERT_TRUE(cJSON_IsObject(e)) << r.out;
    EXPECT_EQ(item_str(e, "call"), "PassThruConnect");
    EXPECT_EQ(item_str(e, "status"), "ERR_FAILED");
    EXPECT_EQ(item_num(e, "code"), 7);
    EXPECT_EQ(item_str(e, "text"), "bus off on pins 6/14");
    EXPECT_EQ(item_num(e, "exit"), 1);
}

TEST_F(Vkpt, UnreachableDeviceFailsOpenQuickly) {
    sim.stop();
    auto t0 = Clock::now();
    Result r = run(cmd({"info"}));
    EXPECT_EQ(r.rc, 1);
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(5));
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("vkpt: PassThruOpen failed: ERR_DEVICE_NOT_CONNECTED (8): ", 0), 0u)
        << r.err;
    EXPECT_EQ(split_lines(r.err).size(), 1u);
}

TEST_F(Vkpt, MonitorPrintsReceivedMessages) {
    Proc p(cmd({"monitor", "-p", "CAN", "-b", "500000", "-n", "3", "-t", "10"}));
    ASSERT_TRUE(wait_channel_ready(1, 1)); // the pass-all filter is in place
    vcisim::RxFrame a;
    a.protocol = 5;
    a.timestamp = 1234567;
    a.data = bytes({0, 0, 7, 0xE8, 0x02, 0x41, 0x0D});
    vcisim::RxFrame b;
    b.protocol = 5;
    b.rx_status = 0x108; // TX_DONE, 29-bit
    b.timestamp = 42;
    b.data = bytes({0x18, 0xDA, 0xF1, 0x10});
    vcisim::RxFrame c;
    c.protocol = 5;
    c.rx_status = 0x40000000;
    c.timestamp = 3000000000u;
    c.data = bytes({0, 0, 0, 0x12, 0xFF});
    ASSERT_TRUE(sim.inject_rx(1, a));
    ASSERT_TRUE(sim.inject_rx(1, b));
    ASSERT_TRUE(sim.inject_rx(1, c));
    Result r = p.finish();
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.out, "     1.234567  7E8       [3]  02 41 0D\n"
                     "     0.000042  18DAF110  [0]    TX_DONE,EXT29\n"
                     "  3000.000000  012       [1]  FF  0x40000000\n");
    EXPECT_EQ(connect_flags(), 0x800u);
    expect_closed(true);
}

TEST_F(Vkpt, MonitorJsonLinesAndFilters) {
    Proc p(cmd({"monitor", "--json", "-p", "CAN", "-b", "500000", "--filter", "7F0:7E0", "-n", "1",
                "-t", "10"}));
    ASSERT_TRUE(wait_channel_ready(1, 1));
    vcisim::VehicleState v = sim.vehicle();
    const vcisim::Filter &flt = v.channel(1)->filters[0];
    EXPECT_EQ(flt.type, 1); // pass
    EXPECT_EQ(flt.mask_size, 4);
    EXPECT_EQ(std::vector<uint8_t>(flt.mask.begin(), flt.mask.begin() + 4), bytes({0, 0, 7, 0xF0}));
    EXPECT_EQ(std::vector<uint8_t>(flt.pattern.begin(), flt.pattern.begin() + 4),
              bytes({0, 0, 7, 0xE0}));

    vcisim::RxFrame a;
    a.protocol = 5;
    a.rx_status = 0x8;
    a.timestamp = 7;
    a.data = bytes({0, 0, 7, 0xE8, 0xAB});
    ASSERT_TRUE(sim.inject_rx(1, a)); // injected frames bypass the simulator's filters
    Result r = p.finish();
    ASSERT_EQ(r.rc, 0) << r.err;
    std::vector<std::string> lines = split_lines(r.out);
    ASSERT_EQ(lines.size(), 1u) << r.out;
    Json j(lines[0]);
    ASSERT_NE(j.root, nullptr) << lines[0];
    EXPECT_EQ(j.str("id"), "7E8");
    EXPECT_EQ(j.str("data"), "AB");
    EXPECT_EQ(j.str("protocol"), "CAN");
    EXPECT_EQ(item_num(j.root, "timestamp_us"), 7);
    const cJSON *flags = j.item("flags");
    ASSERT_EQ(cJSON_GetArraySize(flags), 1);
    EXPECT_STREQ(cJSON_GetArrayItem(flags, 0)->valuestring, "TX_DONE");

    // ISO 15765 takes flow-control filters.
    Proc q(cmd(
        {"monitor", "-p", "ISO15765", "-b", "500000", "--filter", "FFFFFFFF:7E8:7E0", "-t", "10"}));
    ASSERT_TRUE(wait_channel_ready(1, 1));
    v = sim.vehicle();
    EXPECT_EQ(v.channel(1)->filters[0].type, 3);
    EXPECT_EQ(std::vector<uint8_t>(v.channel(1)->filters[0].flow_control.begin(),
                                   v.channel(1)->filters[0].flow_control.begin() + 4),
              bytes({0, 0, 7, 0xE0}));
    q.signal(SIGTERM);
    EXPECT_EQ(q.finish().rc, 0);
}

TEST_F(Vkpt, MonitorStopsByTimeAndByCtrlC) {
    // -t alone: a quiet bus is no failure.
    Result r = run(cmd({"monitor", "-p", "CAN", "-b", "500000", "-t", "0.3"}));
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.out, "");
    // -n with -t: too few messages in time is exit 4.
    r = run(cmd({"monitor", "-p", "CAN", "-b", "500000", "-n", "2", "-t", "0.3"}));
    EXPECT_EQ(r.rc, 4);
    EXPECT_EQ(r.err, "vkpt: monitor: 0 of 2 messages within 0.3 s\n");
    expect_closed(true);

    // Ctrl-C while the bus streams: the session is closed and the exit status is 0.
    vcisim::DeviceState st = sim.state();
    st.stream_frames = 8;
    sim.set_state(st);
    sim.clear_requests();
    Proc p(cmd({"monitor", "-p", "CAN", "-b", "500000"}));
    ASSERT_TRUE(p.wait_output("00010203  [4]  04 05 06 07\n", 5000));
    auto t0 = Clock::now();
    p.signal(SIGINT);
    r = p.finish();
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(3));
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.err, "");
    expect_closed(true);
}

TEST_F(Vkpt, IoctlGetSetAndVbatt) {
    Result r = run(cmd({"ioctl", "-b", "250000", "get", "DATA_RATE", "3", "set", "LOOPBACK=1",
                        "get", "loopback", "vbatt"}));
    ASSERT_EQ(r.rc, 0) << r.err;
    std::vector<std::string> lines = split_lines(r.out);
    ASSERT_EQ(lines.size(), 5u) << r.out;
    EXPECT_EQ(lines[0], "DATA_RATE=250000");
    EXPECT_EQ(lines[1], "LOOPBACK=0");
    EXPECT_EQ(lines[2], "LOOPBACK=1 (set)");
    EXPECT_EQ(lines[3], "LOOPBACK=1");
    EXPECT_EQ(lines[4], "VBATT=12.650 V");
    expect_closed(true);

    {
        Result v = run(cmd({"--json", "vbatt"}));
        ASSERT_EQ(v.rc, 0) << v.err;
        Json j(v.out);
        ASSERT_NE(j.root, nullptr) << v.out;
        EXPECT_EQ(item_num(j.root, "vbatt_mv"), 12650);
    }

    // A parameter the VCI refuses: the failing step, named, in one line.
    r = run(cmd({"ioctl", "get", "0x20000"}));
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("vkpt: PassThruIoctl(GET_CONFIG) failed: ERR_NOT_SUPPORTED (1): ", 0), 0u) << r.err;
    EXPECT_EQ(split_lines(r.err).size(), 1u);

    sim.arm(0x4A, [] {
        vcisim::Fault f;
        f.kind = vcisim::Fault::STATUS;
        f.status = 7; // ERR_FAILED
        return f;
    }());
    r = run(cmd({"--json", "vbatt"}));
    Json j(r.out);
    ASSERT_NE(j.root, nullptr) << r.out;
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(item_str(j.item("error"), "call"), "PassThruIoctl(READ_VBATT)");
    sim.clear_faults();
}

// Input errors end before the library is loaded: exit 2, one line, no connection.
TEST_F(Vkpt, BadInputIsRefusedWithOneLine) {
    struct Case {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"frobnicate"}, "unknown command \"frobnicate\""},
        {{}, "no command given"},
        {{"info", "--bogus"}, "unknown option --bogus"},
        {{"info", "-p", "CAN"}, "-p does not apply to info"},
        {{"monitor", "-b", "500000"}, "monitor needs -p PROTOCOL"},
        {{"monitor", "-p", "KLINE", "-b", "10400"}, "unknown protocol \"KLINE\""},
        {{"monitor", "-p", "CAN", "-b", "fast"}, "bad value for -b: \"fast\""},
        {{"monitor", "-p", "ISO15765", "-b", "500000"},
         "monitor on ISO15765 needs --filter MASK:PATTERN:FLOWID"},
        {{"monitor", "-p", "CAN", "-b", "500000", "--filter", "7FF"},
         "bad filter \"7FF\" (MASK:PATTERN[:FLOWID] in hex expected)"},
        {{"monitor", "-p", "CAN", "-b", "500000", "-t", "-1"}, "bad value for -t: \"-1\""},
        {{"send", "-p", "CAN", "-b", "500000", "7E0"}, "bad frame \"7E0\" (ID#DATA expected)"},
        {{"send", "-p", "CAN", "-b", "500000", "800#00"}, "CAN identifier \"800\" out of range"},
        {{"send", "-p", "CAN", "-b", "500000", "18DAF1#00"},
         "bad CAN identifier \"18DAF1\" (1-3 hex digits for 11-bit, 8 for 29-bit)"},
        {{"send", "-p", "CAN", "-b", "500000", "7E0#0G"},
         "bad hex bytes \"0G\" (pairs of hex digits expected)"},
        {{"send", "-p", "CAN", "-b", "500000", "7E0#123"},
         "bad hex bytes \"123\" (pairs of hex digits expected)"},
        {{"send", "-p", "CAN", "-b", "500000", "7E0#010203040506070809"},
         "frame \"7E0#010203040506070809\" has 9 data bytes, CAN takes at most 8"},
        {{"send", "-p", "CAN", "-b", "500000"}, "send needs at least one ID#DATA"},
        {{"uds", "--rx", "7E8", "22F190"}, "uds needs --tx ID and --rx ID"},
        {{"uds", "--tx", "7E0", "--rx", "7E8"}, "uds needs the request bytes in hex"},
        {{"uds", "--tx", "7E0", "--rx", "7E8", "22 F"},
         "bad hex bytes \"22 F\" (pairs of hex digits expected)"},
        {{"ioctl"}, "ioctl needs get, set or vbatt"},
        {{"ioctl", "set", "LOOPBACK"}, "set needs PARAM=VALUE, got \"LOOPBACK\""},
        {{"ioctl", "get", "NO_SUCH_PARAM"}, "unknown parameter \"NO_SUCH_PARAM\""},
        {{"ioctl", "set", "DATA_RATE=fast"}, "bad value in \"DATA_RATE=fast\""},
        {{"ioctl", "get"}, "get needs at least one parameter"},
        {{"vbatt", "now"}, "unexpected \"now\""},
    };
    for (const Case &c : cases) {
        std::vector<std::string> args = {"-d", device};
        args.insert(args.end(), c.args.begin(), c.args.end());
        Result r = run(args);
        std::string what = c.args.empty() ? "(no arguments)" : c.args[0] + " ...";
        EXPECT_EQ(r.rc, 2) << what;
        EXPECT_EQ(r.out, "") << what;
        EXPECT_EQ(r.err, "vkpt: " + c.err + " (see vkpt --help)\n") << what;
    }
    EXPECT_EQ(sim.connections_accepted(), 0);

    // With --json the error is an object on standard output as well.
    Result r = run({"--json", "send", "-p", "CAN", "-b", "500000", "7E0"});
    EXPECT_EQ(r.rc, 2);
    Json j(r.out);
    ASSERT_NE(j.root, nullptr) << r.out;
    EXPECT_EQ(item_num(j.item("error"), "exit"), 2);
}

TEST_F(Vkpt, LibraryProblemsAreExitThree) {
    // A loadable library that is not ours: the first missing export is named.
    Dl_info info = {};
    ASSERT_NE(dladdr(reinterpret_cast<void *>(&cJSON_Parse), &info), 0);
    const std::string other = info.dli_fname;

    struct Case {
        std::string lib;
        std::string err_start;
    } cases[] = {
        {"/nonexistent/libj2534vk_v04_04.so",
         "vkpt: cannot load the library: /nonexistent/libj2534vk_v04_04.so: "},
        {other, "vkpt: " + other + " has no export PassThruOpen\n"},
    };
    for (const Case &c : cases) {
        Result r = run({"--lib", c.lib, "-d", device, "info"});
        EXPECT_EQ(r.rc, 3) << c.lib;
        EXPECT_EQ(r.out, "") << c.lib;
        EXPECT_EQ(r.err.rfind(c.err_start, 0), 0u) << r.err;
        EXPECT_EQ(split_lines(r.err).size(), 1u) << r.err;
    }
    EXPECT_EQ(sim.connections_accepted(), 0);
}

TEST_F(Vkpt, HelpForEveryCommand) {
    Result r = run({"--help"});
    EXPECT_EQ(r.rc, 0);
    for (const char *c : {"info", "monitor", "send", "uds", "ioctl", "vbatt"})
        EXPECT_NE(r.out.find("\n  " + std::string(c) + " "), std::string::npos) << c;
    for (const char *c : {"info", "monitor", "send", "uds", "ioctl", "vbatt"}) {
        for (const std::vector<std::string> &args :
             {std::vector<std::string>{c, "--help"}, std::vector<std::string>{"help", c}}) {
            r = run(args);
            EXPECT_EQ(r.rc, 0) << c;
            EXPECT_EQ(r.out.rfind(std::string("usage: vkpt [-d NAME] ") + c, 0), 0u) << r.out;
            EXPECT_EQ(r.err, "");
        }
    }
}

} // namespace
