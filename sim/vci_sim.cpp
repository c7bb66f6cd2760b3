#include "vci_sim.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "sim_device.h"
#include "sim_frame.h"

namespace vcisim {

namespace {

// Sent on connect so the host's drain sees data at once; holds no frame marker.
const char GREETING[] = "VKSIM\r\n";

const char *kind_name(Fault::Kind k) {
    static const char *const names[] = {"NONE",      "DELAY", "STATUS",       "RAW",
                                        "WRONG_SEQ", "SPLIT", "BYTE_BY_BYTE", "GARBAGE_FIRST",
                                        "NO_REPLY",  "DROP",  "PAYLOAD"};
    return static_cast<size_t>(k) < sizeof(names) / sizeof(names[0]) ? names[k] : "?";
}

bool runs_handler(Fault::Kind k) {
    switch (k) {
    case Fault::STATUS:
    case Fault::RAW:
    case Fault::NO_REPLY:
    case Fault::DROP:
    case Fault::PAYLOAD:
        return false;
    default:
        return true;
    }
}

} // namespace

struct Simulator::Impl {
    // Shared with the test thread, guarded by mu.
    std::mutex mu;
    std::condition_variable cv;     // requests, connection and receive queue changes
    std::condition_variable bus_cv; // periodic messages changed, or stop
    Device device;
    std::map<uint8_t, Fault> faults;
    std::vector<Request> requests;
    int accepted = 0;
    bool connected = false;
    uint16_t bound_port = 0;
    std::function<void(const std::string &)> log_hook;

    // Set up by start() before the thread runs and torn down by stop() after it joined.
    std::thread thread;
    std::thread bus_thread;
    int listen_fd = -1;
    int wake_rd = -1;
    int wake_wr = -1;
    std::atomic<bool> stopping{false};

    // Server thread only.
    int client = -1;
    FrameParser parser;

    void run();
    void run_bus();
    void accept_client();
    void read_client();
    void serve(const Request &req);
    void drop_client();
    bool send_all(const uint8_t *data, size_t len);
    bool send_all(const std::vector<uint8_t> &v) { return send_all(v.data(), v.size()); }
    void pause(uint32_t ms);
    void log(const std::string &line);
    void close_fds();
};

void Simulator::Impl::log(const std::string &line) {
    std::function<void(const std::string &)> hook;
    {
        std::lock_guard<std::mutex> lk(mu);
        hook = log_hook;
    }
    if (hook) hook(line);
}

// Sleeps, but returns at once when stop() was called.
void Simulator::Impl::pause(uint32_t ms) {
    if (!ms) return;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!stopping.load()) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        end - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) return;
        pollfd p{wake_rd, POLLIN, 0};
        poll(&p, 1, static_cast<int>(left));
    }
}

bool Simulator::Impl::send_all(const uint8_t *data, size_t len) {
    while (len && client >= 0 && !stopping.load()) {
        ssize_t n = ::send(client, data, len, MSG_NOSIGNAL);
        if (n > 0) {
            data += n;
            len -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p[2] = {{client, POLLOUT, 0}, {wake_rd, POLLIN, 0}};
            poll(p, 2, 200);
            continue;
        }
        drop_client();
        return false;
    }
    return len == 0;
}

void Simulator::Impl::drop_client() {
    if (client < 0) return;
    ::shutdown(client, SHUT_RDWR);
    ::close(client);
    client = -1;
    parser.reset();
    {
        std::lock_guard<std::mutex> lk(mu);
        connected = false;
    }
    cv.notify_all();
    log("disconnect");
}

void Simulator::Impl::accept_client() {
    sockaddr_in peer{};
    socklen_t plen = sizeof(peer);
    int fd = ::accept4(listen_fd, reinterpret_cast<sockaddr *>(&peer), &plen,
                       SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    drop_client(); // the newest connection wins
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    client = fd;
    bool greet;
    {
        std::lock_guard<std::mutex> lk(mu);
        ++accepted;
        connected = true;
        greet = device.state.greet;
    }
    cv.notify_all();
    char addr[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &peer.sin_addr, addr, sizeof(addr));
    log("connect " + std::string(addr) + ":" + std::to_string(ntohs(peer.sin_port)));
    if (greet) send_all(reinterpret_cast<const uint8_t *>(GREETING), sizeof(GREETING) - 1);
}

void Simulator::Impl::read_client() {
    uint8_t buf[8192];
    ssize_t n = ::recv(client, buf, sizeof(buf), 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    if (n <= 0) {
        drop_client();
        return;
    }
    std::vector<Request> got;
    parser.feed(buf, static_cast<size_t>(n), got);
    for (const Request &r : got) {
        if (client < 0 || stopping.load()) break;
        serve(r);
    }
}

void Simulator::Impl::serve(const Request &req) {
    Fault f;
    std::vector<uint8_t> payload;
    {
        std::unique_lock<std::mutex> lk(mu);
        requests.push_back(req);
        auto it = faults.find(req.cmd);
        if (it != faults.end()) {
            f = it->second;
            if (it->second.count > 0 && --it->second.count == 0) faults.erase(it);
        }
        if (runs_handler(f.kind)) {
            // A fetch with a time-out waits here for frames; the lock is free meanwhile.
            if (uint32_t wait = device.fetch_wait_ms(req)) {
                cv.notify_all();
                auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait);
                cv.wait_until(lk, until,
                              [&] { return stopping.load() || device.fetch_ready(req); });
            }
            payload = device.handle(req);
            if (req.cmd == CMD_START_PERIODIC) bus_cv.notify_all();
        }
    }
    cv.notify_all();

    char line[96];
    snprintf(line, sizeof(line), "rx cmd=0x%02X seq=%u len=%zu%s%s", req.cmd, req.seq,
             req.payload.size(), f.kind == Fault::NONE ? "" : " fault=",
             f.kind == Fault::NONE ? "" : kind_name(f.kind));
    log(line);

    const uint8_t seq = static_cast<uint8_t>((req.seq + 1) & 7);
    switch (f.kind) {
    case Fault::NONE:
        send_all(encode_frame(req.cmd, seq, payload));
        break;
    case Fault::DELAY:
        pause(f.delay_ms);
        send_all(encode_frame(req.cmd, seq, payload));
        break;
    case Fault::STATUS:
        pause(f.delay_ms);
        send_all(encode_frame(req.cmd, seq, status_payload(f.status)));
        break;
    case Fault::RAW:
        pause(f.delay_ms);
        send_all(f.raw);
        break;
    case Fault::WRONG_SEQ:
        send_all(encode_frame(req.cmd, req.seq & 7, payload));
        break;
    case Fault::SPLIT: {
        std::vector<uint8_t> fr = encode_frame(req.cmd, seq, payload);
        size_t at = std::min(f.split_at, fr.size());
        if (send_all(fr.data(), at)) {
            pause(f.delay_ms);
            send_all(fr.data() + at, fr.size() - at);
        }
        break;
    }
    case Fault::BYTE_BY_BYTE: {
        std::vector<uint8_t> fr = encode_frame(req.cmd, seq, payload);
        for (size_t i = 0; i < fr.size(); ++i) {
            if (i) pause(f.delay_ms);
            if (!send_all(&fr[i], 1)) break;
        }
        break;
    }
    case Fault::GARBAGE_FIRST: {
        std::vector<uint8_t> fr = encode_frame(req.cmd, seq, payload);
        if (f.delay_ms) {
            if (send_all(f.raw)) {
                pause(f.delay_ms);
                send_all(fr);
            }
        } else {
            std::vector<uint8_t> all = f.raw;
            all.insert(all.end(), fr.begin(), fr.end());
            send_all(all);
        }
        break;
    }
    case Fault::NO_REPLY:
        break;
    case Fault::DROP:
        pause(f.delay_ms);
        drop_client();
        break;
    case Fault::PAYLOAD:
        pause(f.delay_ms);
        send_all(encode_frame(req.cmd, seq, f.raw));
        break;
    }
}

void Simulator::Impl::run() {
    while (!stopping.load()) {
        pollfd p[3] = {{wake_rd, POLLIN, 0}, {listen_fd, POLLIN, 0}, {client, POLLIN, 0}};
        int n = poll(p, client >= 0 ? 3 : 2, 500);
        if (n < 0 && errno != EINTR) break;
        if (stopping.load() || (p[0].revents & POLLIN)) break;
        if (client >= 0 && (p[2].revents & (POLLIN | POLLHUP | POLLERR))) read_client();
        if (p[1].revents & POLLIN) accept_client();
    }
    drop_client();
}

// Sends the periodic messages when they are due.
void Simulator::Impl::run_bus() {
    std::unique_lock<std::mutex> lk(mu);
    while (!stopping.load()) {
        bool queued = false;
        auto now = std::chrono::steady_clock::now();
        auto next = device.vehicle.run_periodics(now, device.state.vin, queued);
        if (queued) cv.notify_all();
        bus_cv.wait_until(lk, std::min(next, now + std::chrono::seconds(1)));
    }
}

void Simulator::Impl::close_fds() {
    for (int *fd : {&listen_fd, &wake_rd, &wake_wr}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
}

Simulator::Simulator() : impl_(new Impl) {}

Simulator::~Simulator() {
    stop();
}

bool Simulator::start(const std::string &addr, uint16_t port) {
    Impl &m = *impl_;
    if (m.thread.joinable()) return false;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    if (inet_pton(AF_INET, addr.c_str(), &sa.sin_addr) != 1) return false;

    m.listen_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m.listen_fd < 0) return false;
    int one = 1;
    setsockopt(m.listen_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    int pipefd[2];
    if (::bind(m.listen_fd, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)) != 0 ||
        ::listen(m.listen_fd, 8) != 0 || pipe2(pipefd, O_CLOEXEC | O_NONBLOCK) != 0) {
        m.close_fds();
        return false;
    }
    m.wake_rd = pipefd[0];
    m.wake_wr = pipefd[1];

    sockaddr_in bound{};
    socklen_t blen = sizeof(bound);
    getsockname(m.listen_fd, reinterpret_cast<sockaddr *>(&bound), &blen);
    {
        std::lock_guard<std::mutex> lk(m.mu);
        m.bound_port = ntohs(bound.sin_port);
    }
    m.stopping.store(false);
    m.thread = std::thread([&m] { m.run(); });
    m.bus_thread = std::thread([&m] { m.run_bus(); });
    return true;
}

void Simulator::stop() {
    Impl &m = *impl_;
    if (!m.thread.joinable()) return;
    {
        std::lock_guard<std::mutex> lk(m.mu); // no waiter misses the flag
        m.stopping.store(true);
    }
    m.cv.notify_all();
    m.bus_cv.notify_all();
    char c = 'x';
    if (::write(m.wake_wr, &c, 1) < 0) {
        // the thread still sees `stopping` within one poll period
    }
    m.thread.join();
    m.bus_thread.join();
    m.close_fds();
    std::lock_guard<std::mutex> lk(m.mu);
    m.bound_port = 0;
}

void Simulator::arm(uint8_t cmd, const Fault &fault) {
    std::lock_guard<std::mutex> lk(impl_->mu);
    if (fault.kind == Fault::NONE || fault.count == 0)
        impl_->faults.erase(cmd);
    else
        impl_->faults[cmd] = fault;
}

void Simulator::clear_faults() {
    std::lock_guard<std::mutex> lk(impl_->mu);
    impl_->faults.clear();
}

DeviceState Simulator::state() {
    std::lock_guard<std::mutex> lk(impl_->mu);
    return impl_->device.state;
}

void Simulator::set_state(const DeviceState &s) {
    std::lock_guard<std::mutex> lk(impl_->mu);
    impl_->device.state = s;
}

VehicleState Simulator::vehicle() {
    std::lock_guard<std::mutex> lk(impl_->mu);
    return impl_->device.vehicle.snapshot();
}

DeviceRecord Simulator::record() {
    std::lock_guard<std::mutex> lk(impl_->mu);
    return impl_->device.record;
}

bool Simulator::inject_rx(uint16_t channel, const RxFrame &frame) {
    if (frame.data.size() > MAX_MSG_DATA) return false;
    {
        std::lock_guard<std::mutex> lk(impl_->mu);
        Vehicle::LiveChannel *ch = impl_->device.vehicle.find(channel);
        if (!ch) return false;
        impl_->device.vehicle.queue(*ch, frame);
    }
    impl_->cv.notify_all();
    return true;
}

bool Simulator::set_loopback(uint16_t channel, bool on) {
    std::lock_guard<std::mutex> lk(impl_->mu);
    Vehicle::LiveChannel *ch = impl_->device.vehicle.find(channel);
    if (!ch) return false;
    ch->info.loopback = on;
    return true;
}

std::vector<Request> Simulator::requests() {
    std::lock_guard<std::mutex> lk(impl_->mu);
    return impl_->requests;
}

void Simulator::clear_requests() {
    std::lock_guard<std::mutex> lk(impl_->mu);
    impl_->requests.clear();
}

bool Simulator::wait_requests(size_t n, uint32_t timeout_ms) {
    std::unique_lock<std::mutex> lk(impl_->mu);
    return impl_->cv.wait_for(lk, std::chrono::milliseconds(timeout_ms),
                              [&] { return impl_->requests.size() >= n; });
}

int Simulator::connections_accepted() {
    std::lock_guard<std::mutex> lk(impl_->mu);
    return impl_->accepted;
}

bool Simulator::client_connected() {
    std::lock_guard<std::mutex> lk(impl_->mu);
    return impl_->connected;
}

uint16_t Simulator::port() {
    std::lock_guard<std::mutex> lk(impl_->mu);
    return impl_->bound_port;
}

void Simulator::set_log(std::function<void(const std::string &line)> log) {
    std::lock_guard<std::mutex> lk(impl_->mu);
    impl_->log_hook = std::move(log);
}

} // namespace vcisim
