// Tick counter, time-out test, CRC-32 and IPv4 resolution.
#include "platform/platform.h"
#include "scan/net_util.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <dlfcn.h>
#include <netdb.h>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <thread>
#include <unistd.h>
#include <vector>

// Counts resolver calls made by the library; forwards to the real resolver.
static std::atomic<int> g_getaddrinfo_calls{0};

extern "C" int getaddrinfo(const char *node, const char *service, const struct addrinfo *hints,
                           struct addrinfo **res) {
    using fn_t = int (*)(const char *, const char *, const struct addrinfo *, struct addrinfo **);
    static fn_t real = reinterpret_cast<fn_t>(dlsym(RTLD_NEXT, "getaddrinfo"));
    g_getaddrinfo_calls++;
    if (!real) return EAI_SYSTEM;
    return real(node, service, hints, res);
}

namespace {

TEST(Tick, DiffIsModulo32Bits) {
    struct diff_case {
        uint32_t start, now, diff;
    };
    const diff_case cases[] = {
        {4294967290u, 5u, 11u},
        {0xFFFFFFFFu, 0u, 1u},
        {100u, 250u, 150u},
        {7u, 7u, 0u},
    };
    for (const diff_case &c : cases) EXPECT_EQ(GetTickDiff(c.start, c.now), c.diff) << c.start;
}

TEST(Tick, CountsMilliseconds) {
    uint32_t t0 = GetTickCount();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    uint32_t d = GetTickDiff(t0, GetTickCount());
    EXPECT_GE(d, 30u);
    EXPECT_LT(d, 1000u);
}

TEST(TimeOut, AfterReceiveTimeout) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    struct timeval tv = {0, 50000};
    ASSERT_EQ(setsockopt(sv[0], SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv), 0);
    char c;
    errno = 0;
    ASSERT_EQ(recv(sv[0], &c, 1, 0), -1);
    EXPECT_TRUE(IsTimeOut()) << strerror(errno);
    EXPECT_TRUE(IsTimeOut()) << "reading the error must not clear it";

    errno = 0;
    ASSERT_EQ(recv(sv[0], &c, 1, MSG_DONTWAIT), -1);
    EXPECT_TRUE(IsTimeOut());

    // Data arrives: the receive succeeds; a peer that closed is not a time-out.
    ASSERT_EQ(send(sv[1], "z", 1, 0), 1);
    EXPECT_EQ(recv(sv[0], &c, 1, 0), 1);
    close(sv[1]);
    errno = 0;
    EXPECT_EQ(recv(sv[0], &c, 1, 0), 0);
    EXPECT_FALSE(IsTimeOut());
    close(sv[0]);
}

TEST(TimeOut, ErrorCodes) {
    struct code_case {
        int code;
        bool timeout;
    };
    const code_case cases[] = {
        {EAGAIN, true}, {EWOULDBLOCK, true}, {ETIME, true},       {0, false},
        {EINTR, false}, {ECONNRESET, false}, {ECONNREFUSED, false},
    };
    for (const code_case &c : cases) {
        errno = c.code;
        EXPECT_EQ(IsTimeOut(), c.timeout) << c.code;
        EXPECT_EQ(errno, c.code);
    }
}

uint32_t crc_of(const std::string &s) {
    return CRC32_CalcCRCBlock(reinterpret_cast<const uint8_t *>(s.data()),
                              static_cast<uint32_t>(s.size()));
}

TEST(Crc32, KnownValues) {
    EXPECT_EQ(crc_of(""), 0u);
    EXPECT_EQ(CRC32_CalcCRCBlock(nullptr, 0), 0u);
    EXPECT_EQ(crc_of("123456789"), 0xCBF43926u);
    EXPECT_EQ(crc_of("abc"), 0x352441C2u);
    EXPECT_EQ(crc_of("The quick brown fox jumps over the lazy dog"), 0x414FA339u);
    EXPECT_EQ(crc_of(std::string(1, '\0')), 0xD202EF8Du);
}

TEST(Crc32, SkipsFourByteField) {
    uint8_t buf[12];
    for (int i = 0; i < 12; ++i) buf[i] = static_cast<uint8_t>(0x11 * (i + 1));
    auto crc_without = [&](int from, int count) {
        std::vector<uint8_t> v(buf, buf + 12);
        v.erase(v.begin() + from, v.begin() + std::min(12, from + count));
        return CRC32_CalcCRCBlock(v.data(), static_cast<uint32_t>(v.size()));
    };

    struct pos_case {
        int offset;
        int from, count; // bytes left out of the plain CRC
    };
    const pos_case cases[] = {
        {4, 4, 4},   // bytes 0..3 + 8..11
        {0, 0, 4},   // field first
        {8, 8, 4},   // field last
        {10, 10, 4}, // field runs past the end: only 10 bytes enter
    };
    for (const pos_case &c : cases) {
        uint32_t want = crc_without(c.from, c.count);
        EXPECT_EQ(CRC32_CalcCRCBlockWithPos(buf, 12, buf + c.offset), want) << c.offset;
        // The field's own content does not matter (a sender fills it in afterwards).
        uint8_t copy[12];
        memcpy(copy, buf, 12);
        memset(copy + c.offset, 0xA5, static_cast<size_t>(std::min(4, 12 - c.offset)));
        EXPECT_EQ(CRC32_CalcCRCBlockWithPos(copy, 12, copy + c.offset), want) << c.offset;
    }

    // A field pointer outside the bytes changes nothing.
    uint32_t full = CRC32_CalcCRCBlock(buf, 12);
    uint8_t other[4] = {};
    const uint8_t *outside[] = {nullptr, buf + 12, other};
    for (const uint8_t *p : outside) EXPECT_EQ(CRC32_CalcCRCBlockWithPos(buf, 12, p), full);
    // Nor does a field beyond the given length.
    EXPECT_EQ(CRC32_CalcCRCBlockWithPos(buf, 6, buf + 8), CRC32_CalcCRCBlock(buf, 6));
}

TEST(ResolveIpv4, DottedAddressWithoutResolver) {
    struct addr_case {
        const char *text;
        uint32_t host_order;
    };
    const addr_case cases[] = {
        {"127.0.0.5", 0x7F000005u},
        {"192.168.1.3", 0xC0A80103u},
        {"0.0.0.0", 0u},
        {"255.255.255.255", 0xFFFFFFFFu},
    };
    for (const addr_case &c : cases) {
        int before = g_getaddrinfo_calls.load();
        uint32_t addr = 0x12345678u;
        ASSERT_TRUE(resolve_ipv4(c.text, &addr)) << c.text;
        EXPECT_EQ(addr, htonl(c.host_order)) << c.text;
        EXPECT_EQ(g_getaddrinfo_calls.load(), before) << c.text << " went to the resolver";
    }
    uint32_t addr = 0;
    EXPECT_FALSE(resolve_ipv4(nullptr, &addr));
    EXPECT_FALSE(resolve_ipv4("127.0.0.1", nullptr));
}

TEST(ResolveIpv4, HostNames) {
    if (!testsupport::in_test_netns()) GTEST_SKIP() << "resolver cases run only in the test namespace";
    uint32_t addr = 0xFFFFFFFFu;
    EXPECT_FALSE(resolve_ipv4("no-such-host.invalid", &addr));
    EXPECT_EQ(addr, 0xFFFFFFFFu) << "left untouched on failure";

    // Answered from the hosts file; an IPv4 address, never the IPv6 one.
    int before = g_getaddrinfo_calls.load();
    ASSERT_TRUE(resolve_ipv4("localhost", &addr));
    EXPECT_EQ(addr, htonl(0x7F000001u));
    EXPECT_GT(g_getaddrinfo_calls.load(), before);
}

} // namespace
