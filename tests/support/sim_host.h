// A raw protocol client of the simulated VCI and little-endian byte helpers, for the
// simulator's own tests.
#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <memory>
#include <string>
#include <vector>

#include "test_support.h"

#include "vci_sim.h"

namespace simhost {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

inline void le16(Bytes &b, uint32_t v) {
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}
inline void le32(Bytes &b, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b.push_back(uint8_t(v >> (8 * i)));
}
inline uint16_t rd16(const Bytes &b, size_t at) {
    return uint16_t(b.at(at) | b.at(at + 1) << 8);
}
inline uint32_t rd32(const Bytes &b, size_t at) {
    return uint32_t(rd16(b, at)) | uint32_t(rd16(b, at + 2)) << 16;
}
inline Bytes cat(Bytes a, const Bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// One connection that sends commands with the host's sequence numbers and returns the
// reply payloads.
class Host {
  public:
    explicit Host(const std::string &addr) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(vcisim::VCI_TCP_PORT);
        inet_pton(AF_INET, addr.c_str(), &sa.sin_addr);
        ok_ = connect(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)) == 0;
    }
    ~Host() { close(fd_); }
    bool ok() const { return ok_; }

    // The reply payload; empty when no well-formed reply came within timeout_ms.
    Bytes cmd(uint8_t code, const Bytes &payload, int timeout_ms = 3000) {
        Bytes f = {0x55, code, uint8_t(payload.size()), uint8_t((payload.size() >> 8) | seq_ << 5)};
        f = cat(f, payload);
        f.push_back(0);
        if (::send(fd_, f.data(), f.size(), MSG_NOSIGNAL) != ssize_t(f.size())) return {};
        Bytes hdr = recv_n(4, timeout_ms);
        if (hdr.size() != 4 || hdr[0] != 0x55 || hdr[1] != code) return {};
        EXPECT_EQ(hdr[3] >> 5, (seq_ + 1) & 7);
        seq_ = uint8_t((seq_ + 1) % 7);
        size_t len = hdr[2] | (hdr[3] & 0x1F) << 8;
        Bytes rest = recv_n(len + 1, timeout_ms);
        if (rest.size() != len + 1) return {};
        rest.pop_back();
        return rest;
    }

  private:
    Bytes recv_n(size_t n, int timeout_ms) {
        Bytes out;
        auto end = Clock::now() + milliseconds(timeout_ms);
        uint8_t buf[8192];
        while (out.size() < n) {
            int left = int(std::chrono::duration_cast<milliseconds>(end - Clock::now()).count());
            pollfd p{fd_, POLLIN, 0};
            if (left <= 0 || poll(&p, 1, left) <= 0) break;
            ssize_t got = ::recv(fd_, buf, std::min(sizeof(buf), n - out.size()), 0);
            if (got <= 0) break;
            out.insert(out.end(), buf, buf + got);
        }
        return out;
    }

    int fd_ = -1;
    bool ok_ = false;
    uint8_t seq_ = 0;
};

// One simulator without greeting, channels numbered from 20, and a client connected to it.
class SimHostFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        addr_ = testsupport::unique_loopback();
        vcisim::DeviceState st;
        st.greet = false;
        st.first_channel = 20;
        sim_.set_state(st);
        ASSERT_TRUE(sim_.start(addr_)) << addr_;
        host_.reset(new Host(addr_));
        ASSERT_TRUE(host_->ok());
    }

    void configure(void (*edit)(vcisim::DeviceState &)) {
        vcisim::DeviceState st = sim_.state();
        edit(st);
        sim_.set_state(st);
    }

    std::string addr_;
    vcisim::Simulator sim_;
    std::unique_ptr<Host> host_;
};

} // namespace simhost
