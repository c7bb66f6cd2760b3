// The simulated VCI seen from a raw socket: greeting, exact reply bytes, recording, faults.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "test_support.h"
#include "vci_sim.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

class Client {
  public:
    explicit Client(const std::string &addr) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(vcisim::VCI_TCP_PORT);
        inet_pton(AF_INET, addr.c_str(), &sa.sin_addr);
        ok_ = connect(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)) == 0;
    }
    ~Client() { close(fd_); }
    bool ok() const { return ok_; }

    void send(const Bytes &b) {
        ASSERT_EQ(::send(fd_, b.data(), b.size(), MSG_NOSIGNAL), ssize_t(b.size()));
    }

    // Whatever one recv returns within timeout_ms; empty on time-out, closed_ set on EOF.
    Bytes recv_some(int timeout_ms = 1000) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0) return {};
        uint8_t buf[8192];
        ssize_t n = ::recv(fd_, buf, sizeof(buf), 0);
        if (n <= 0) {
            closed_ = true;
            return {};
        }
        return Bytes(buf, buf + n);
    }

    // Exactly n bytes, or fewer when time runs out or the peer closes.
    Bytes recv_n(size_t n, int timeout_ms = 1000) {
        Bytes out;
        auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
        while (out.size() < n && !closed_) {
            int left = int(
                std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
            if (left <= 0) break;
            Bytes b = recv_some(left);
            out.insert(out.end(), b.begin(), b.end());
        }
        return out;
    }

    bool closed() const { return closed_; }

  private:
    int fd_ = -1;
    bool ok_ = false;
    bool closed_ = false;
};

Bytes frame(uint8_t cmd, uint8_t seq, const Bytes &payload) {
    Bytes f = {0x55, cmd, uint8_t(payload.size() & 0xFF),
               uint8_t(((payload.size() >> 8) & 0x1F) | (seq << 5))};
    f.insert(f.end(), payload.begin(), payload.end());
    f.push_back(0x00);
    return f;
}

const Bytes kVersionPayload = {0x00, 0x00, 0x2B, 0x1A, 0xB3, 0x04,
                               0x00, 0x00, 0x59, 0x01, 0x00, 0x00};

class SimTest : public ::testing::Test {
  protected:
    void SetUp() override {
        addr_ = testsupport::unique_loopback();
        vcisim::DeviceState st;
        st.greet = false;
        st.fw_version = 1203;
        st.hw_version = 0x1A2B;
        st.serial = 345;
        st.last_error_text = "Hello";
        sim_.set_state(st);
        ASSERT_TRUE(sim_.start(addr_)) << addr_;
    }

    std::string addr_;
    vcisim::Simulator sim_;
};

TEST_F(SimTest, GreetsOnConnectOnlyWhenEnabled) {
    {
        Client c(addr_);
        ASSERT_TRUE(c.ok());
        EXPECT_TRUE(c.recv_some(200).empty());
    }
    auto st = sim_.state();
    st.greet = true;
    sim_.set_state(st);
    Client c(addr_);
    ASSERT_TRUE(c.ok());
    Bytes g = c.recv_n(7);
    EXPECT_EQ(std::string(g.begin(), g.end()), "VKSIM\r\n");
    // The greeting must not look like a frame start to the host's parser.
    for (uint8_t b : g)
        EXPECT_NE(b, 0x55);
    c.send(frame(0x49, 0, {}));
    EXPECT_EQ(c.recv_n(17), frame(0x49, 1, kVersionPayload));
}

TEST_F(SimTest, AnswersEachCommandWithItsBytesAndSequence) {
    struct Case {
        uint8_t cmd;
        uint8_t seq;
        Bytes payload;
        Bytes reply_payload;
        bool opened_after;
    };
    const Case cases[] = {
        {0x54, 0, {}, {0x00, 0x00}, true},
        {0x49, 1, {}, kVersionPayload, true},
        {0x5C, 2, {}, {0x00, 0x00, 0x05, 0x00, 'H', 'e', 'l', 'l', 'o'}, true},
        {0x41, 3, {1, 2, 3}, {0x07, 0x00}, true}, // too short for a connect
        {0x7E, 4, {}, {0x01, 0x00}, true},
        {0x55, 5, {}, {0x00, 0x00}, false},
        {0x49, 6, {}, kVersionPayload, false}, // reply seq 7, the highest
    };
    Client c(addr_);
    ASSERT_TRUE(c.ok());
    for (const Case &k : cases) {
        SCOPED_TRACE(testing::Message() << "cmd 0x" << std::hex << int(k.cmd));
        c.send(frame(k.cmd, k.seq, k.payload));
        Bytes want = frame(k.cmd, uint8_t(k.seq + 1), k.reply_payload);
        EXPECT_EQ(c.recv_n(want.size()), want);
        EXPECT_EQ(sim_.state().opened, k.opened_after);
    }
    // Exactly the expected bytes, nothing trailing.
    EXPECT_TRUE(c.recv_some(100).empty());
}

TEST_F(SimTest, ParsesChunkedAndBackToBackRequestsAndRecordsThem) {
    Client c(addr_);
    ASSERT_TRUE(c.ok());
    Bytes a = frame(0x4A, 2, {0x10, 0x20, 0x30});
    Bytes b = frame(0x49, 3, {});
    Bytes d = frame(0x54, 4, {0x55, 0x00});
    // Garbage and a marker followed by a byte outside 0x41..0x7E are skipped.
    Bytes lead = {0x00, 0x13, 0x55, 0x20};
    lead.insert(lead.end(), a.begin(), a.end());
    for (uint8_t byte : lead)
        c.send({byte}); // one byte per write
    Bytes two = b;
    two.insert(two.end(), d.begin(), d.end());
    c.send(two); // two frames in one write
    ASSERT_TRUE(sim_.wait_requests(3, 2000));
    EXPECT_FALSE(sim_.wait_requests(4, 100));

    auto reqs = sim_.requests();
    ASSERT_EQ(reqs.size(), 3u);
    EXPECT_EQ(reqs[0].cmd, 0x4A);
    EXPECT_EQ(reqs[0].seq, 2);
    EXPECT_EQ(reqs[0].payload, (Bytes{0x10, 0x20, 0x30}));
    EXPECT_EQ(reqs[0].frame, a);
    EXPECT_EQ(reqs[1].frame, b);
    EXPECT_EQ(reqs[2].frame, d);
    EXPECT_EQ(reqs[2].payload, (Bytes{0x55, 0x00}));
    Bytes want = frame(0x4A, 3, {0x01, 0x00});
    for (const Bytes &r : {frame(0x49, 4, kVersionPayload), frame(0x54, 5, {0, 0})})
        want.insert(want.end(), r.begin(), r.end());
    EXPECT_EQ(c.recv_n(want.size()), want);

    sim_.clear_requests();
    EXPECT_TRUE(sim_.requests().empty());
}

// Faults whose whole answer arrives at once: exact bytes, then the next request is normal.
TEST_F(SimTest, FaultsReplaceTheReplyForCountRequests) {
    const Bytes normal = frame(0x49, 1, kVersionPayload);
    Bytes garbage_then_reply = {0xAA, 0x55, 0x01};
    garbage_then_reply.insert(garbage_then_reply.end(), normal.begin(), normal.end());
    struct Case {
        const char *name;
        vcisim::Fault fault;
        Bytes want;
    };
    auto mk = [](vcisim::Fault::Kind k, uint16_t status, Bytes raw) {
        vcisim::Fault f;
        f.kind = k;
        f.status = status;
        f.raw = std::move(raw);
        f.count = 1;
        return f;
    };
    const Case cases[] = {
        {"wrong seq", mk(vcisim::Fault::WRONG_SEQ, 0, {}), frame(0x49, 0, kVersionPayload)},
        {"status", mk(vcisim::Fault::STATUS, 0x1001, {}), frame(0x49, 1, {0x01, 0x10})},
        {"raw", mk(vcisim::Fault::RAW, 0, {0x55, 0x49, 0x01}), {0x55, 0x49, 0x01}},
        {"payload", mk(vcisim::Fault::PAYLOAD, 0, {0x07}), frame(0x49, 1, {0x07})},
        {"garbage first", mk(vcisim::Fault::GARBAGE_FIRST, 0, {0xAA, 0x55, 0x01}),
         garbage_then_reply},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        Client c(addr_);
        ASSERT_TRUE(c.ok());
        sim_.arm(0x49, k.fault);
        c.send(frame(0x49, 0, {}));
        EXPECT_EQ(c.recv_n(k.want.size()), k.want);
        EXPECT_TRUE(c.recv_some(50).empty());
        c.send(frame(0x49, 0, {}));
        EXPECT_EQ(c.recv_n(normal.size()), normal);
    }
}

TEST_F(SimTest, FaultsOnlyHitTheirCommandAndClear) {
    Client c(addr_);
    ASSERT_TRUE(c.ok());
    vcisim::Fault f;
    f.kind = vcisim::Fault::NO_REPLY; // count -1: until cleared
    sim_.arm(0x49, f);
    c.send(frame(0x54, 0, {}));
    EXPECT_EQ(c.recv_n(7), frame(0x54, 1, {0, 0}));
    for (uint8_t seq : {1, 2}) {
        c.send(frame(0x49, seq, {}));
        EXPECT_TRUE(c.recv_some(100).empty());
    }
    sim_.clear_faults();
    c.send(frame(0x49, 3, {}));
    EXPECT_EQ(c.recv_n(17), frame(0x49, 4, kVersionPayload));
    EXPECT_EQ(sim_.requests().size(), 4u); // swallowed requests are still recorded
}

TEST_F(SimTest, SplitSendsTwoWritesWithTheDelayBetween) {
    Client c(addr_);
    ASSERT_TRUE(c.ok());
    vcisim::Fault f;
    f.kind = vcisim::Fault::SPLIT;
    f.split_at = 3;
    f.delay_ms = 150;
    f.count = 1;
    sim_.arm(0x49, f);
    c.send(frame(0x49, 5, {}));
    Bytes want = frame(0x49, 6, kVersionPayload);
    Bytes first = c.recv_some();
    auto t0 = Clock::now();
    EXPECT_EQ(first, Bytes(want.begin(), want.begin() + 3));
    Bytes rest = c.recv_n(want.size() - 3);
    EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(100));
    EXPECT_EQ(rest, Bytes(want.begin() + 3, want.end()));
}

TEST_F(SimTest, DropClosesTheClientAndTheNextConnectionIsServed) {
    {
        Client c(addr_);
        ASSERT_TRUE(c.ok());
        vcisim::Fault f;
        f.kind = vcisim::Fault::DROP;
        f.count = 1;
        sim_.arm(0x54, f);
        c.send(frame(0x54, 0, {}));
        EXPECT_TRUE(c.recv_n(1).empty());
        EXPECT_TRUE(c.closed());
        EXPECT_FALSE(sim_.state().opened); // the dropped request did not open the session
    }
    Client c(addr_);
    ASSERT_TRUE(c.ok());
    c.send(frame(0x54, 1, {}));
    EXPECT_EQ(c.recv_n(7), frame(0x54, 2, {0, 0}));
    EXPECT_TRUE(sim_.client_connected());
    EXPECT_EQ(sim_.connections_accepted(), 2);
}

TEST_F(SimTest, NewestConnectionReplacesAnOpenOne) {
    Client old_client(addr_);
    ASSERT_TRUE(old_client.ok());
    old_client.send(frame(0x54, 0, {}));
    ASSERT_EQ(old_client.recv_n(7).size(), 7u);
    Client c(addr_);
    ASSERT_TRUE(c.ok());
    c.send(frame(0x49, 0, {}));
    EXPECT_EQ(c.recv_n(17), frame(0x49, 1, kVersionPayload));
    old_client.recv_n(1);
    EXPECT_TRUE(old_client.closed());
}

TEST_F(SimTest, StopIsPromptDuringALongDelay) {
    Client c(addr_);
    ASSERT_TRUE(c.ok());
    vcisim::Fault f;
    f.kind = vcisim::Fault::DELAY;
    f.delay_ms = 10000;
    sim_.arm(0x49, f);
    c.send(frame(0x49, 0, {}));
    ASSERT_TRUE(sim_.wait_requests(1, 2000));
    auto t0 = Clock::now();
    sim_.stop();
    EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(1000));
    EXPECT_TRUE(c.recv_n(1).empty());
    EXPECT_TRUE(c.closed());
    EXPECT_FALSE(sim_.client_connected());
    // It can listen again on the same address.
    ASSERT_TRUE(sim_.start(addr_));
    Client again(addr_);
    EXPECT_TRUE(again.ok());
}

} // namespace
