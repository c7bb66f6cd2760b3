// Response parser fed bytes in chunks, without sockets.
#include <gtest/gtest.h>

#include <vector>

#include "link/j2534_com.h"

struct LinkTestAccess {
    static void set_seq(J2534_com &c, uint16_t s) { c.seq = s; }
    static void set_cur_cmd(J2534_com &c, uint8_t cmd) { c.cur_cmd = cmd; }
    static int state(J2534_com &c) { return c.rx_state; }
    static uint16_t len(J2534_com &c) { return c.recive_len; }
    static uint8_t rx_cmd(J2534_com &c) { return c.rx_cmd; }
    static const uint8_t *buf(J2534_com &c) { return c.rx_buf; }
    static void reset(J2534_com &c) { c.rx_state = 0; }
};
using A = LinkTestAccess;

namespace {

std::vector<uint8_t> frame(uint8_t cmd, uint8_t seq, const std::vector<uint8_t> &payload,
                           bool trailer = true) {
    std::vector<uint8_t> f;
    f.reserve(payload.size() + 5);
    f.push_back(0x55);
    f.push_back(cmd);
    f.push_back(static_cast<uint8_t>(payload.size() & 0xFF));
    f.push_back(static_cast<uint8_t>(((payload.size() >> 8) & 0x1F) | (seq << 5)));
    for (uint8_t b : payload) f.push_back(b);
    if (trailer) f.push_back(0x00);
    return f;
}

int feed(J2534_com &c, const std::vector<uint8_t> &bytes) {
    return c.add_reciv_buffer(bytes.data(), static_cast<uint16_t>(bytes.size()));
}

} // namespace

// Each row: bytes fed one chunk after another, state after each chunk.
struct ParserRow {
    const char *what;
    std::vector<std::vector<uint8_t>> chunks;
    std::vector<int> states;
};

TEST(FrameParser, StateTable) {
    const std::vector<ParserRow> rows = {
        {"garbage is skipped", {{0x01, 0x02, 0xFF}}, {RX_WAIT_MARKER}},
        {"marker", {{0x55}}, {RX_CMD}},
        {"command outside 0x41..0x7E drops back", {{0x55, 0x40}}, {RX_WAIT_MARKER}},
        {"command 0x7F drops back", {{0x55, 0x7F}}, {RX_WAIT_MARKER}},
        {"55 55 starts a frame whose command is 0x55", {{0x55, 0x55}}, {RX_LEN_LO}},
        {"length low", {{0x55, 0x49, 0x02}}, {RX_LEN_HI}},
        {"right sequence goes on to the payload", {{0x55, 0x49, 0x02, 0x20}}, {RX_PAYLOAD}},
        {"wrong sequence drops the frame", {{0x55, 0x49, 0x02, 0x40}}, {RX_WAIT_MARKER}},
        {"empty payload waits for one more byte", {{0x55, 0x49, 0x00, 0x20}, {0x00}}, {RX_CHECK, RX_DONE}},
        {"payload end waits for the trailer", {{0x55, 0x49, 0x02, 0x20, 0x00, 0x00}, {0x00}}, {RX_CHECK, RX_DONE}},
        {"payload split over chunks", {{0x55, 0x49, 0x02, 0x20, 0x00}, {0x00, 0x00}}, {RX_PAYLOAD, RX_DONE}},
    };
    for (const ParserRow &row : rows) {
        J2534_com c;
        ASSERT_EQ(row.chunks.size(), row.states.size()) << row.what;
        for (size_t i = 0; i < row.chunks.size(); ++i)
            EXPECT_EQ(feed(c, row.chunks[i]), row.states[i]) << row.what << ", chunk " << i;
    }
}

TEST(FrameParser, EveryChunkingGivesTheSamePayload) {
    std::vector<uint8_t> payload = {0x00, 0x00, 0x2B, 0x1A, 0xB3, 0x04, 0x00, 0x00, 0x59, 0x01, 0x00, 0x00};
    std::vector<uint8_t> bytes = {0x13, 0x55, 0x20}; // garbage and a false start first
    std::vector<uint8_t> f = frame(0x49, 1, payload);
    bytes.insert(bytes.end(), f.begin(), f.end());
    for (size_t chunk = 1; chunk <= bytes.size(); ++chunk) {
        J2534_com c;
        A::set_cur_cmd(c, 0x49);
        int state = RX_WAIT_MARKER;
        for (size_t off = 0; off < bytes.size() && state != RX_DONE; off += chunk) {
            size_t n = std::min(chunk, bytes.size() - off);
            state = c.add_reciv_buffer(bytes.data() + off, static_cast<uint16_t>(n));
        }
        ASSERT_EQ(state, RX_DONE) << "chunk " << chunk;
        ASSERT_EQ(A::len(c), payload.size());
        EXPECT_EQ(std::vector<uint8_t>(A::buf(c), A::buf(c) + payload.size()), payload);
        EXPECT_EQ(c.sequence(), 1);
    }
}

TEST(FrameParser, SequenceWrapsFromSixToZero) {
    J2534_com c;
    for (int i = 0; i < 7; ++i) {
        uint8_t expected_seq = static_cast<uint8_t>(c.sequence() + 1);
        EXPECT_EQ(feed(c, frame(0x49, expected_seq, {0, 0})), RX_DONE);
        A::reset(c);
    }
    EXPECT_EQ(c.sequence(), 0); // 0..6 then back to 0: seven values
    A::set_seq(c, 6);
    EXPECT_EQ(feed(c, frame(0x49, 7, {0, 0})), RX_DONE);
    EXPECT_EQ(c.sequence(), 0);
    A::reset(c);
    A::set_seq(c, 3);
    EXPECT_EQ(feed(c, frame(0x49, 3, {0, 0})), RX_WAIT_MARKER); // request's own number is stale
    EXPECT_EQ(feed(c, frame(0x49, 4, {0, 0})), RX_DONE);
}

TEST(FrameParser, LengthLimit) {
    std::vector<uint8_t> big(6144, 0xAB);
    J2534_com c;
    EXPECT_EQ(feed(c, frame(0x43, 1, big)), RX_DONE);
    EXPECT_EQ(A::len(c), 6144);
    EXPECT_EQ(A::buf(c)[6143], 0xAB);

    J2534_com d;
    // 6145 announced: dropped before any byte is copied.
    std::vector<uint8_t> header = {0x55, 0x43, 6145 & 0xFF, static_cast<uint8_t>((6145 >> 8) | (1 << 5))};
    EXPECT_EQ(feed(d, header), RX_WAIT_MARKER);
    std::vector<uint8_t> max = {0x55, 0x43, 0xFF, static_cast<uint8_t>(0x1F | (1 << 5))};
    EXPECT_EQ(feed(d, max), RX_WAIT_MARKER);
}

TEST(FrameParser, CommandMismatchIsDroppedAndParsingGoesOn) {
    J2534_com c;
    A::set_cur_cmd(c, 0x49);
    std::vector<uint8_t> bytes = frame(0x41, 1, {0x07, 0x00});
    std::vector<uint8_t> right = frame(0x49, 1, {0x00, 0x00});
    bytes.insert(bytes.end(), right.begin(), right.end());
    EXPECT_EQ(feed(c, bytes), RX_DONE);
    EXPECT_EQ(A::rx_cmd(c), 0x49);
    EXPECT_EQ(c.sequence(), 1); // the dropped frame did not advance it
}

TEST(FrameParser, FrameWithoutCommandInFlightIsAccepted) {
    J2534_com c;
    EXPECT_EQ(feed(c, frame(0x4C, 1, {0x00, 0x00})), RX_DONE);
    EXPECT_EQ(A::rx_cmd(c), 0x4C);
}

TEST(FrameParser, CompletedFrameIgnoresTheRest) {
    J2534_com c;
    std::vector<uint8_t> bytes = frame(0x49, 1, {0x00, 0x00});
    std::vector<uint8_t> next = frame(0x49, 2, {0x01, 0x00});
    bytes.insert(bytes.end(), next.begin(), next.end());
    EXPECT_EQ(feed(c, bytes), RX_DONE);
    EXPECT_EQ(A::buf(c)[0], 0x00);
    EXPECT_EQ(feed(c, next), RX_DONE); // still done: nothing is parsed until it is collected
    EXPECT_EQ(c.sequence(), 1);
}

TEST(FrameParser, CompletedByFirstByteOfNextChunk) {
    J2534_com c;
    std::vector<uint8_t> f = frame(0x49, 1, {0x00, 0x00}, false);
    EXPECT_EQ(feed(c, f), RX_CHECK);
    EXPECT_EQ(feed(c, {0x55}), RX_DONE);
}
