// Measures the library against the transport's own limit, in one run: each figure is
// a ratio against a raw loopback client sending the same bytes to the same simulator.
#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <j2534vk/j2534vk.h>

#include "vci_sim.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

double now_us() {
    return std::chrono::duration<double, std::micro>(Clock::now().time_since_epoch()).count();
}

double thread_cpu_us() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

std::string g_config_dir;

void set_log_level(int level) {
    std::ofstream(g_config_dir + "/j2534.json")
        << "{\"current_device\":0,\"log_level\":" << level
        << ",\"devices\":[{\"sn\":\"VK1\",\"current_interface\":0,\"interface\":[{\"type\":\"n\",\"ip\":\"127.0.0.1\"}]}]}";
}

// A host-less client speaking the frame protocol directly.
class RawClient {
  public:
    explicit RawClient(const std::string &addr) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(vcisim::VCI_TCP_PORT);
        inet_pton(AF_INET, addr.c_str(), &sa.sin_addr);
        if (connect(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
            perror("raw connect");
            exit(1);
        }
        usleep(20000);
        uint8_t greet[64];
        recv(fd_, greet, sizeof greet, MSG_DONTWAIT);
    }
    ~RawClient() { close(fd_); }

    // One exchange; returns the response payload (valid until the next exchange).
    // Fixed buffers, so the raw figure is the transport's own cost.
    Bytes exchange(uint8_t cmd, const Bytes &payload) {
        size_t len = exchange_raw(cmd, payload.data(), payload.size());
        return Bytes(in_, in_ + len);
    }

    size_t exchange_raw(uint8_t cmd, const uint8_t *payload, size_t size) {
        out_[0] = 0x55;
        out_[1] = cmd;
        out_[2] = static_cast<uint8_t>(size & 0xFF);
        out_[3] = static_cast<uint8_t>((size >> 8) | (seq_ << 5));
        memcpy(out_ + 4, payload, size);
        out_[4 + size] = 0;
        send(fd_, out_, size + 5, MSG_NOSIGNAL);
        seq_ = seq_ >= 6 ? 0 : seq_ + 1;
        size_t have = 0;
        while (true) {
            ssize_t n = recv(fd_, in_ + have, sizeof in_ - have, 0);
            if (n <= 0) {
                fprintf(stderr, "raw client: connection lost\n");
                exit(1);
            }
            have += static_cast<size_t>(n);
            if (have >= 4) {
                size_t len = in_[2] | ((in_[3] & 0x1F) << 8);
                if (have >= len + 5) {
                    memmove(in_, in_ + 4, len);
                    return len;
                }
            }
        }
    }

  private:
    int fd_ = -1;
    uint8_t seq_ = 0;
    uint8_t out_[6200];
    uint8_t in_[8192];
};

Bytes write_payload(uint16_t channel, int count) {
    Bytes p = {static_cast<uint8_t>(channel), static_cast<uint8_t>(channel >> 8), static_cast<uint8_t>(count),
               static_cast<uint8_t>(count >> 8), 0, 0, 0, 0};
    for (int i = 0; i < count; ++i) {
        Bytes r = {5, 0, 0, 0, 0, 0, 0, 0, 12, 0, 0, 0, 0x00, 0x00, 0x07, 0xE0, 1, 2, 3, 4, 5, 6, 7, 8, 0, 0, 0, 0};
        p.insert(p.end(), r.begin(), r.end());
    }
    return p;
}

struct ExchangeFigures {
    double lib_us, raw_us;
};

// The library talks to one simulator, the raw client to an identical second one, and
// the two take turns exchange by exchange, so the machine's drift hits both alike.
ExchangeFigures measure_exchange(const std::string &lib_addr, const std::string &raw_addr, int level,
                                 int rounds) {
    set_log_level(level);
    std::string name = "vk0;n" + lib_addr;
    uint32_t id = 0;
    if (PassThruOpen(&name[0], &id) != STATUS_NOERROR) {
        fprintf(stderr, "open failed\n");
        exit(1);
    }
    RawClient client(raw_addr);
    client.exchange(0x54, {});
    char fw[80], dll[80], api[80];
    std::vector<double> lib, raw;
    for (int i = 0; i < rounds + rounds / 10; ++i) {
        double t0 = now_us();
        PassThruReadVersion(id, fw, dll, api);
        double t1 = now_us();
        client.exchange_raw(0x49, nullptr, 0);
        double t2 = now_us();
        if (i >= rounds / 10) {
            lib.push_back(t1 - t0);
            raw.push_back(t2 - t1);
        }
    }
    client.exchange(0x55, {});
    PassThruClose(id);
    return {median(lib), median(raw)};
}

struct PollFigures {
    double msgs_per_s, commands_per_msg, cpu_us_per_msg;
};

PollFigures measure_polling(vcisim::Simulator &sim, const std::string &addr, int level, int messages) {
    set_log_level(level);
    vcisim::DeviceState st = sim.state();
    st.stream_frames = 8;
    sim.set_state(st);
    std::string name = "vk0;n" + addr;
    uint32_t id = 0, chan = 0;
    PassThruOpen(&name[0], &id);
    PassThruConnect(id, 5, 0, 500000, &chan);
    uint64_t fetches0 = sim.vehicle().fetches;
    pt_msg_t msg;
    double t0 = now_us(), c0 = thread_cpu_us();
    int got = 0;
    while (got < messages) {
        uint32_t n = 1;
        if (PassThruReadMsgs(chan, &msg, &n, 0) == STATUS_NOERROR) got += static_cast<int>(n);
    }
    double wall = now_us() - t0, cpu = thread_cpu_us() - c0;
    uint64_t fetches = sim.vehicle().fetches - fetches0;
    PassThruDisconnect(chan);
    PassThruClose(id);
    st.stream_frames = 0;
    sim.set_state(st);
    sim.clear_requests();
    return {got / (wall / 1e6), static_cast<double>(fetches) / got, cpu / got};
}

struct WriteFigures {
    double lib_msgs_per_s, raw_msgs_per_s;
};

WriteFigures measure_writes(const std::string &lib_addr, const std::string &raw_addr, int level, int batch,
                            int calls) {
    set_log_level(level);
    std::string name = "vk0;n" + lib_addr;
    uint32_t id = 0, chan = 0;
    PassThruOpen(&name[0], &id);
    PassThruConnect(id, 5, 0, 500000, &chan);
    std::vector<pt_msg_t> msgs(static_cast<size_t>(batch));
    for (pt_msg_t &m : msgs) {
        memset(&m, 0, sizeof m);
        m.ProtocolID = 5;
        m.DataSize = 12;
        uint8_t d[12] = {0x00, 0x00, 0x07, 0xE0, 1, 2, 3, 4, 5, 6, 7, 8};
        memcpy(m.Data, d, sizeof d);
    }
    RawClient client(raw_addr);
    client.exchange(0x54, {});
    Bytes conn = client.exchange(0x41, {5, 0, 0, 0, 0, 0, 0, 0, 0x20, 0xA1, 0x07, 0x00});
    uint16_t raw_chan = static_cast<uint16_t>(conn[2] | (conn[3] << 8));
    Bytes payload = write_payload(raw_chan, batch);

    double lib = 0, raw = 0;
    for (int i = 0; i < calls; ++i) {
        double t0 = now_us();
        uint32_t n = static_cast<uint32_t>(batch);
        PassThruWriteMsgs(chan, msgs.data(), &n, 0);
        double t1 = now_us();
        client.exchange_raw(0x44, payload.data(), payload.size());
        raw += now_us() - t1;
        lib += t1 - t0;
    }
    client.exchange(0x42, {static_cast<uint8_t>(raw_chan), static_cast<uint8_t>(raw_chan >> 8)});
    client.exchange(0x55, {});
    PassThruDisconnect(chan);
    PassThruClose(id);
    double total = static_cast<double>(batch) * calls;
    return {total / (lib / 1e6), total / (raw / 1e6)};
}

long rss_kib() {
    long pages = 0, resident = 0;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

double measure_memory_per_device() {
    set_log_level(3);
    std::vector<std::unique_ptr<vcisim::Simulator>> sims;
    std::vector<std::string> names;
    for (int i = 0; i < 16; ++i) {
        sims.push_back(std::make_unique<vcisim::Simulator>());
        std::string a = "127.0.9." + std::to_string(i + 1);
        sims.back()->start(a);
        names.push_back("vk0;n" + a);
    }
    long before = rss_kib();
    uint32_t ids[16];
    for (int i = 0; i < 16; ++i) PassThruOpen(&names[i][0], &ids[i]);
    long after = rss_kib();
    for (uint32_t id : ids) PassThruClose(id);
    return (after - before) / 16.0;
}

} // namespace

int main(int argc, char **argv) {
    int rounds = argc > 1 ? atoi(argv[1]) : 5000;
    char tmpl[] = "/tmp/j2534vk-bench-XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    setenv("XDG_CONFIG_HOME", tmpl, 1);
    g_config_dir = std::string(tmpl) + "/Morlint";
    mkdir(g_config_dir.c_str(), 0755);

    std::string addr = "127.0.8.1", twin_addr = "127.0.8.2";
    vcisim::Simulator sim, twin; // identical simulators: one for the library, one for the raw client
    if (!sim.start(addr) || !twin.start(twin_addr)) return 1;

    printf("## One exchange (PassThruReadVersion vs raw client), median of %d\n\n", rounds);
    printf("| log level | library us | raw us | ratio |\n|---|---|---|---|\n");
    for (int level : {-1, 3}) {
        ExchangeFigures f = measure_exchange(addr, twin_addr, level, rounds);
        sim.clear_requests();
        twin.clear_requests();
        printf("| %d | %.1f | %.1f | %.3f |\n", level, f.lib_us, f.raw_us, f.lib_us / f.raw_us);
    }

    int messages = rounds * 20;
    printf("\n## Polling reads (time-out 0, one message per call), %d messages\n\n", messages);
    printf("| log level | messages/s | VCI commands per message | CPU us per message |\n|---|---|---|---|\n");
    for (int level : {-1, 3}) {
        PollFigures f = measure_polling(sim, addr, level, messages);
        printf("| %d | %.0f | %.4f | %.2f |\n", level, f.msgs_per_s, f.commands_per_msg, f.cpu_us_per_msg);
    }

    printf("\n## Writes of CAN messages in batches\n\n");
    printf("| log level | batch | library msgs/s | raw msgs/s | ratio |\n|---|---|---|---|---|\n");
    for (int level : {-1, 3}) {
        for (int batch : {1, 10, 100}) {
            WriteFigures f = measure_writes(addr, twin_addr, level, batch, std::max(50, rounds / batch));
            sim.clear_requests();
            twin.clear_requests();
            printf("| %d | %d | %.0f | %.0f | %.3f |\n", level, batch, f.lib_msgs_per_s, f.raw_msgs_per_s,
                   f.lib_msgs_per_s / f.raw_msgs_per_s);
        }
    }

    printf("\n## Memory\n\nresident memory per open device (16 open): %.1f KiB\n", measure_memory_per_device());
    sim.stop();
    twin.stop();
    std::string cmd = std::string("rm -rf '") + tmpl + "'";
    return system(cmd.c_str()) == 0 ? 0 : 1;
}
