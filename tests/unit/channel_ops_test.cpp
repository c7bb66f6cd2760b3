// Channel operations with answers shaped by the simulator: exact request bytes,
// the receive cache, batch limits, periodic messages and filters.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

#include "link_fixture.h"

using vcisim::Fault;

namespace {

struct Frame {
    uint32_t protocol = 6;
    uint32_t rx_status = 0;
    uint32_t timestamp = 0;
    Bytes data;
    uint16_t extra = 0;
    int declared_size = -1; // a DataSize that lies about the data
};

// A fetch answer: status, count, frames each followed by 1 to 4 fill bytes.
Bytes block(uint16_t status, const std::vector<Frame> &frames, int count = -1) {
    Bytes b;
    put16(b, status);
    put16(b, count < 0 ? static_cast<uint32_t>(frames.size()) : static_cast<uint32_t>(count));
    for (const Frame &f : frames) {
        put32(b, f.protocol);
        put32(b, f.rx_status);
        put32(b, f.timestamp);
        put16(b, f.declared_size < 0 ? static_cast<uint32_t>(f.data.size()) : static_cast<uint32_t>(f.declared_size));
        put16(b, f.extra);
        b.insert(b.end(), f.data.begin(), f.data.end());
        b.insert(b.end(), 4 - f.data.size() % 4, 0);
    }
    return b;
}

Frame can_frame(uint8_t tag) { return Frame{6, 0, 1000u * tag, {0x00, 0x00, 0x07, 0xE8, tag}}; }

pt_msg_t msg_with(uint32_t protocol, const Bytes &data, uint32_t tx_flags = 0) {
    pt_msg_t m{};
    m.ProtocolID = protocol;
    m.TxFlags = tx_flags;
    m.DataSize = static_cast<uint32_t>(data.size());
    if (!data.empty()) memcpy(m.Data, data.data(), data.size());
    return m;
}

} // namespace

class ChannelOps : public OpenedLink {
  protected:
    // The first log line that starts with the prefix, or "".
    std::string line_starting(const std::string &prefix) {
        for (const std::string &l : log_lines())
            if (starts_with(l, prefix)) return l;
        return "";
    }
};

TEST_F(ChannelOps, ConnectPayloadChannelIdentifierAndLines) {
    sim.arm(0x41, answer({0, 0, 3, 0}));
    uint32_t chan = 0;
    ASSERT_EQ(com->dev_connect(6, 0, 500000, &chan), STATUS_NOERROR);
    EXPECT_EQ(chan, 3u);
    EXPECT_EQ(last_request().payload, (Bytes{6, 0, 0, 0, 0, 0, 0, 0, 0x20, 0xA1, 0x07, 0x00}));
    EXPECT_NE(line_starting("I j0 conn ISO15765 500000 > 3 "), "");

    sim.arm(0x41, answer({0, 0, 4, 0}));
    ASSERT_EQ(com->dev_connect(5, 0x1100, 250000, &chan), STATUS_NOERROR);
    EXPECT_NE(line_starting("I j0 conn CAN 250000 CAN_29BIT_ID|K_ONLY > 4 "), "");

    sim.arm(0x41, status(ERR_PROTOCOL_ID_NOT_SUPPORTED));
    chan = 1234;
    EXPECT_EQ(com->dev_connect(0x8000, 0, 10400, &chan), ERR_PROTOCOL_ID_NOT_SUPPORTED);
    EXPECT_EQ(chan, 1234u);
    EXPECT_NE(line_starting("E j0 conn J1850VPW_PS 10400 > ERR_PROTOCOL_ID_NOT_SUPPORTED "), "");

    size_t sent = sim.requests().size();
    EXPECT_EQ(com->dev_connect(6, 0, 500000, nullptr), ERR_NULL_PARAMETER);
    EXPECT_EQ(sim.requests().size(), sent);
}

TEST_F(ChannelOps, ConnectTimeOutDependsOnTheProtocol) {
    Fault slow;
    slow.kind = Fault::DELAY;
    slow.delay_ms = 1300;
    slow.count = 1;
    uint32_t chan = 0;
    sim.arm(0x41, slow);
    EXPECT_EQ(com->dev_connect(6, 0, 500000, &chan), ERR_DEVICE_NOT_CONNECTED); // waits 1000 ms
    sim.arm(0x41, slow);
    EXPECT_NE(com->dev_connect(0x8FFD, 0, 0, &chan), ERR_DEVICE_NOT_CONNECTED); // waits up to 15000 ms
}

TEST_F(ChannelOps, QuickConnectAndDisconnect) {
    uint32_t chan = 0;
    sim.arm(0x56, answer({0, 0, 2, 0}));
    ASSERT_EQ(com->dev_qconnect(nullptr, 5, &chan), STATUS_NOERROR);
    vcisim::Request q0 = last_request();
    EXPECT_EQ(q0.frame, (Bytes{0x55, 0x56, 0x00, static_cast<uint8_t>(q0.seq << 5), 0x00}));
    EXPECT_EQ(chan, 2u);
    Bytes q = {1, 2, 3};
    sim.arm(0x56, answer({0, 0, 2, 0}));
    ASSERT_EQ(com->dev_qconnect(q.data(), 3, &chan), STATUS_NOERROR);
    EXPECT_EQ(last_request().payload, q);

    // A failing disconnect still drops what was queued for the channel.
    sim.arm(0x43, answer(block(0, {can_frame(1), can_frame(2), can_frame(3), can_frame(4)})));
    ASSERT_EQ(com->rx_cache_fetch(2, 50, 0), STATUS_NOERROR);
    ASSERT_EQ(com->rx_cache_size(2), 4u);
    sim.arm(0x42, status(ERR_INVALID_CHANNEL_ID));
    EXPECT_EQ(com->dev_disconnect(2), ERR_INVALID_CHANNEL_ID);
    EXPECT_EQ(last_request().payload, (Bytes{2, 0}));
    EXPECT_EQ(com->rx_cache_size(2), 0u);
    EXPECT_NE(line_starting("E j0 disconn 2 > ERR_INVALID_CHANNEL_ID "), "");

    sim.arm(0x42, status(0));
    EXPECT_EQ(com->dev_disconnect(20), STATUS_NOERROR);
    EXPECT_EQ(last_request().payload, (Bytes{20, 0}));
    EXPECT_NE(line_starting("I j0 disconn 20 > ok "), "");
}

TEST_F(ChannelOps, NonBlockingReadsPrefetchAndMark) {
    pt_msg_t m[10];
    uint32_t n = 1;
    sim.arm(0x43, answer(block(0, {can_frame(1), can_frame(2), can_frame(3), can_frame(4), can_frame(5)})));
    ASSERT_EQ(com->read_msgs(1, m, &n, 0), STATUS_NOERROR);
    ASSERT_EQ(n, 1u);
    EXPECT_EQ(m[0].Data[4], 1);
    EXPECT_EQ(last_request().payload, (Bytes{1, 0, 50, 0, 0, 0, 0, 0}));
    EXPECT_EQ(com->rx_cache_size(1), 4u); // 4 > 2: no refill
    EXPECT_EQ(sim.requests().size(), 1u);
    EXPECT_NE(line_starting("I j0 rd 1 0 1 > 1 "), "");
    EXPECT_EQ(line_starting("I j0 rd 1 0 1 > 1 ").find("ms*"), std::string::npos);

    n = 1;
    ASSERT_EQ(com->read_msgs(1, m, &n, 0), STATUS_NOERROR);
    EXPECT_EQ(m[0].Data[4], 2);
    EXPECT_EQ(sim.requests().size(), 1u);
    std::vector<std::string> lines = log_lines();
    EXPECT_TRUE(starts_with(lines.back(), "\t[7E8]02 0.002 1")) << lines.back();
    EXPECT_NE(lines[lines.size() - 2].find("ms*"), std::string::npos) << lines[lines.size() - 2];

    // Leaving 2 queued triggers the refill.
    sim.arm(0x43, answer(block(0, {can_frame(6)})));
    n = 1;
    ASSERT_EQ(com->read_msgs(1, m, &n, 0), STATUS_NOERROR);
    EXPECT_EQ(m[0].Data[4], 3);
    EXPECT_EQ(sim.requests().size(), 2u);
    EXPECT_EQ(com->rx_cache_size(1), 3u);

    // Frames come out in the order the VCI sent them.
    n = 10;
    sim.arm(0x43, status(ERR_BUFFER_EMPTY));
    ASSERT_EQ(com->read_msgs(1, m, &n, 0), STATUS_NOERROR);
    ASSERT_EQ(n, 3u);
    EXPECT_EQ(m[0].Data[4], 4);
    EXPECT_EQ(m[2].Data[4], 6);
}

TEST_F(ChannelOps, BlockingReadAsksForWhatIsMissing) {
    sim.arm(0x43, answer(block(0, {can_frame(1), can_frame(2), can_frame(3)})));
    ASSERT_EQ(com->rx_cache_fetch(0, 50, 0), STATUS_NOERROR);
    pt_msg_t m[10];
    uint32_t n = 10;
    Fault late = answer(block(ERR_TIME_OUT, {can_frame(4), can_frame(5)}));
    late.delay_ms = 1100; // longer than the default wait: only read time-out + 1000 covers it
    sim.arm(0x43, late);
    ASSERT_EQ(com->read_msgs(0, m, &n, 200), STATUS_NOERROR);
    EXPECT_EQ(n, 5u);
    EXPECT_EQ(last_request().payload, (Bytes{0, 0, 7, 0, 200, 0, 0, 0}));
    EXPECT_NE(line_starting("W j0 rd 0 200 10 > 5 "), "");
}

TEST_F(ChannelOps, ReadResultsWithoutMessages) {
    pt_msg_t m[4];
    uint32_t n = 4;
    sim.arm(0x43, status(ERR_TIME_OUT));
    EXPECT_EQ(com->read_msgs(3, m, &n, 100), ERR_TIME_OUT);
    EXPECT_EQ(n, 0u);
    EXPECT_NE(line_starting("E j0 rd 3 100 4 > ERR_TIME_OUT "), "");

    n = 4;
    Fault empty_twice = status(ERR_BUFFER_EMPTY);
    empty_twice.count = 2; // the fetch and the refill
    sim.arm(0x43, empty_twice);
    EXPECT_EQ(com->read_msgs(3, m, &n, 0), ERR_BUFFER_EMPTY);
    EXPECT_EQ(n, 0u);
    EXPECT_NE(line_starting("W j0 rd 3 0 4 > 0 "), "");

    n = 0;
    sim.clear_requests();
    sim.arm(0x43, status(ERR_BUFFER_EMPTY));
    EXPECT_EQ(com->read_msgs(3, nullptr, &n, 0), ERR_BUFFER_EMPTY);
    EXPECT_EQ(sim.requests().size(), 1u); // only the refill

    n = 2;
    EXPECT_EQ(com->read_msgs(17, m, &n, 0), ERR_INVALID_CHANNEL_ID);
    EXPECT_EQ(n, 0u);
    EXPECT_TRUE(logged("E j0 rd 17 0 2 > channel_id overflow (max=16)"));

    EXPECT_EQ(com->read_msgs(1, m, nullptr, 0), ERR_NULL_PARAMETER);
    n = 1;
    EXPECT_EQ(com->read_msgs(1, nullptr, &n, 0), ERR_NULL_PARAMETER);
}

TEST_F(ChannelOps, MalformedBlocksAreCutAtTheFirstBadFrame) {
    Frame bad = can_frame(3);
    bad.declared_size = 5000;
    sim.arm(0x43, answer(block(0, {can_frame(1), can_frame(2), bad})));
    EXPECT_EQ(com->rx_cache_fetch(4, 50, 0), STATUS_NOERROR);
    EXPECT_EQ(com->rx_cache_size(4), 2u);
    EXPECT_TRUE(logged("W j0 rx_cache: frame 2 data_size=5000 invalid - stop"));

    Frame beyond = can_frame(2);
    beyond.declared_size = 200; // data past the received bytes
    sim.arm(0x43, answer(block(0, {can_frame(1), beyond})));
    EXPECT_EQ(com->rx_cache_fetch(5, 50, 0), STATUS_NOERROR);
    EXPECT_EQ(com->rx_cache_size(5), 1u);
    EXPECT_TRUE(logged("W j0 rx_cache: frame 1 data_size=200 invalid - stop"));

    sim.arm(0x43, answer(block(0, {can_frame(1)}, 3))); // announces more frames than it has
    EXPECT_EQ(com->rx_cache_fetch(6, 50, 0), STATUS_NOERROR);
    EXPECT_EQ(com->rx_cache_size(6), 1u);
    EXPECT_TRUE(logged("W j0 rx_cache: frame 1 header out of bounds - stop"));

    sim.arm(0x43, answer({0, 0, 1}));
    EXPECT_EQ(com->rx_cache_fetch(7, 50, 0), STATUS_NOERROR);
    EXPECT_EQ(com->rx_cache_size(7), 0u);
}

TEST_F(ChannelOps, FramesOfAnySizeAndTheJ1708Priority) {
    for (size_t size : {size_t(0), size_t(1), size_t(3), size_t(4), size_t(5), size_t(1500)}) {
        Frame f;
        f.protocol = 5;
        f.extra = 7;
        for (size_t i = 0; i < size; ++i) f.data.push_back(static_cast<uint8_t>(i * 7));
        sim.arm(0x43, answer(block(0, {f, can_frame(9)})));
        ASSERT_EQ(com->rx_cache_fetch(8, 50, 0), STATUS_NOERROR);
        pt_msg_t m;
        com->rx_cache_pop(8, &m);
        EXPECT_EQ(m.DataSize, size);
        EXPECT_EQ(m.ExtraDataIndex, 7u);
        EXPECT_EQ(Bytes(m.Data, m.Data + size), f.data);
        com->rx_cache_pop(8, &m); // the next frame starts after the fill bytes
        EXPECT_EQ(m.Data[4], 9) << size;
    }
    Frame j1708{0x800D, 0x30001, 5, {0x80, 0x01}};
    sim.arm(0x43, answer(block(0, {j1708})));
    ASSERT_EQ(com->rx_cache_fetch(9, 50, 0), STATUS_NOERROR);
    pt_msg_t m;
    com->rx_cache_pop(9, &m);
    EXPECT_EQ(m.RxStatus, 1u);
    EXPECT_EQ(m.TxFlags, 0x30000u);
}

TEST_F(ChannelOps, WritePayloadAndAcceptedCount) {
    pt_msg_t m[3];
    for (int i = 0; i < 3; ++i)
        m[i] = msg_with(6, {0x00, 0x00, 0x07, 0xE0, 0x02, 0x10, 0x03, 0, 0, 0, 0, static_cast<uint8_t>(i)});
    m[1].TxFlags = 0x40;
    m[1].ExtraDataIndex = 0x12345;
    sim.arm(0x44, answer({0, 0, 3, 0}));
    uint32_t n = 3;
    ASSERT_EQ(com->write_msgs(1, m, &n, 50), STATUS_NOERROR);
    EXPECT_EQ(n, 3u);
    const Bytes &p = last_request().payload;
    ASSERT_EQ(p.size(), 92u);
    EXPECT_EQ(Bytes(p.begin(), p.begin() + 8), (Bytes{1, 0, 3, 0, 50, 0, 0, 0}));
    Bytes second(p.begin() + 36, p.begin() + 64);
    Bytes expected = {6, 0, 0, 0, 0x40, 0, 0, 0, 12, 0, 0x45, 0x23, 0x00, 0x00, 0x07, 0xE0, 0x02, 0x10, 0x03, 0, 0, 0, 0, 1, 0, 0, 0, 0};
    EXPECT_EQ(second, expected);
    EXPECT_NE(line_starting("I j0 wr 1 50 3 > 3 "), "");
    EXPECT_TRUE(logged("\t[7E0]0210030000000001 0.000 8 PAD"));

    sim.arm(0x44, answer({0, 0, 1, 0}));
    n = 2;
    EXPECT_EQ(com->write_msgs(1, m, &n, 0), STATUS_NOERROR);
    EXPECT_EQ(n, 1u);

    sim.arm(0x44, status(ERR_INVALID_CHANNEL_ID));
    n = 2;
    EXPECT_EQ(com->write_msgs(1, m, &n, 0), ERR_INVALID_CHANNEL_ID);
    EXPECT_EQ(n, 0u);
    EXPECT_NE(line_starting("E j0 wr 1 0 2 > ERR_INVALID_CHANNEL_ID "), "");
}

TEST_F(ChannelOps, WriteLimitsAreAllOrNothing) {
    std::vector<pt_msg_t> many(300, msg_with(5, Bytes(12, 0xAA)));
    struct Row {
        std::vector<pt_msg_t> msgs;
        int32_t status;
        const char *line;
    };
    pt_msg_t big = msg_with(5, Bytes(4128, 1));
    pt_msg_t too_big = big;
    too_big.DataSize = 4129;
    pt_msg_t empty = msg_with(5, {});
    pt_msg_t one = msg_with(5, {1, 2, 3, 4});
    const Row rows[] = {
        {many, ERR_BUFFER_TOO_SMALL, "E j0 wr 1 0 300 > ERR_BUFFER_TOO_SMALL (msg 214 data_size=12) 0ms"},
        {{big, big}, ERR_BUFFER_TOO_SMALL, "E j0 wr 1 0 2 > ERR_BUFFER_TOO_SMALL (msg 1 data_size=4128) 0ms"},
        {{too_big}, ERR_BUFFER_TOO_SMALL, "E j0 wr 1 0 1 > ERR_BUFFER_TOO_SMALL (msg 0 data_size=4129) 0ms"},
        {{one, empty}, ERR_INVALID_MSG, "E j0 wr 1 0 2 > ERR_INVALID_MSG 0ms"},
    };
    for (const Row &row : rows) {
        uint32_t n = static_cast<uint32_t>(row.msgs.size());
        EXPECT_EQ(com->write_msgs(1, row.msgs.data(), &n, 0), row.status) << row.line;
        EXPECT_EQ(n, 0u);
        EXPECT_TRUE(logged(row.line)) << row.line;
    }
    EXPECT_EQ(sim.requests().size(), 0u);
    uint32_t n = 0;
    EXPECT_EQ(com->write_msgs(1, &one, &n, 0), ERR_NULL_PARAMETER);
    EXPECT_TRUE(logged("E j0 wr 1 0 0 > ERR_NULL_PARAMETER 0ms"));
    EXPECT_EQ(com->write_msgs(1, &one, nullptr, 0), ERR_NULL_PARAMETER);

    // The edges that still fit: 214 records of 28 bytes, and one 4128-byte message.
    sim.arm(0x44, answer({0, 0, 214, 0}));
    n = 214;
    EXPECT_EQ(com->write_msgs(1, many.data(), &n, 0), STATUS_NOERROR);
    EXPECT_EQ(last_request().payload.size(), 6000u);
    sim.arm(0x44, answer({0, 0, 1, 0}));
    n = 1;
    EXPECT_EQ(com->write_msgs(1, &big, &n, 0), STATUS_NOERROR);
    EXPECT_EQ(last_request().payload.size(), 4152u);
}

TEST_F(ChannelOps, WriteWaitsForItsTimeOutToo) {
    Fault slow;
    slow.kind = Fault::DELAY;
    slow.delay_ms = 1050;
    slow.count = 1;
    sim.arm(0x44, slow);
    pt_msg_t m = msg_with(5, {0, 0, 1, 0, 9});
    uint32_t n = 1;
    EXPECT_NE(com->write_msgs(1, &m, &n, 100), ERR_DEVICE_NOT_CONNECTED); // answered, not timed out
}

TEST_F(ChannelOps, PeriodicMessages) {
    pt_msg_t m = msg_with(6, {0x00, 0x00, 0x07});
    m.TxFlags = 0x40;
    uint32_t id = 0;
    sim.arm(0x45, answer({0, 0, 9, 0}));
    ASSERT_EQ(com->start_periodic_msg(2, &m, &id, 100), STATUS_NOERROR);
    EXPECT_EQ(id, 9u);
    Bytes expected = {2, 0, 0, 0, 0x40, 0, 0, 0, 100, 0, 0, 0, 3, 0, 0x00, 0x00, 0x07, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(last_request().payload, expected);
    EXPECT_NE(line_starting("I j0 per+ 2 100 > 9 "), "");

    sim.clear_requests();
    pt_msg_t thirteen = msg_with(6, Bytes(13, 1));
    EXPECT_EQ(com->start_periodic_msg(2, &thirteen, &id, 100), ERR_INVALID_MSG);
    EXPECT_TRUE(logged("E j0 per+ 2 100 > ERR_INVALID_MSG 0ms"));
    EXPECT_EQ(com->start_periodic_msg(2, nullptr, &id, 100), ERR_NULL_PARAMETER);
    EXPECT_EQ(sim.requests().size(), 0u);
    pt_msg_t twelve = msg_with(6, Bytes(12, 1));
    sim.arm(0x45, answer({0, 0, 1, 0}));
    EXPECT_EQ(com->start_periodic_msg(2, &twelve, &id, 100), STATUS_NOERROR);

    sim.arm(0x46, status(0));
    EXPECT_EQ(com->stop_periodic_msg(2, 0x10009), STATUS_NOERROR);
    EXPECT_EQ(last_request().payload, (Bytes{2, 0, 9, 0}));
    EXPECT_NE(line_starting("I j0 per- 2 65545 > ok "), "");
}

TEST_F(ChannelOps, FilterPayloadsAndChecks) {
    pt_msg_t mask = msg_with(6, {0x00, 0x00, 0x07, 0xFF}, 0x40);
    pt_msg_t pattern = msg_with(6, {0x00, 0x00, 0x07, 0xE8});
    pt_msg_t fc = msg_with(6, {0x00, 0x00, 0x07, 0xE0, 0xF1}, 0x80);
    uint32_t id = 0;

    sim.arm(0x47, answer({0, 0, 7, 0}));
    ASSERT_EQ(com->start_msg_filter(1, 1, &mask, &pattern, nullptr, &id), STATUS_NOERROR);
    EXPECT_EQ(id, 7u);
    Bytes pass = {1, 0, 0, 0, 1, 4, 0, 0, 0, 0, 0, 0, 0x40, 0, 0, 0, 0x00, 0x00, 0x07, 0xFF, 0, 0, 0, 0,
                  0, 0, 0, 0, 0x00, 0x00, 0x07, 0xE8, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(last_request().payload, pass);
    EXPECT_NE(line_starting("I j0 flt+ 1 ISO15765 PASS 000007FF 000007E8 > 7 "), "");

    sim.arm(0x47, answer({0, 0, 8, 0}));
    ASSERT_EQ(com->start_msg_filter(1, 3, &mask, &pattern, &fc, &id), STATUS_NOERROR);
    Bytes flow = {1, 0, 0, 0, 3, 0, 0x00, 0x00, 0x07, 0xE0, 0xF1, 0, 0x80, 0, 0, 0, 0x00, 0x00, 0x07, 0xFF,
                  0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x00, 0x07, 0xE8, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(last_request().payload, flow);
    EXPECT_NE(line_starting("I j0 flt+ 1 ISO15765 FLOW 000007FF 000007E8 000007E0F1 > 8 "), "");

    sim.clear_requests();
    pt_msg_t long_fc = msg_with(6, Bytes(6, 1));
    struct Row {
        uint32_t type;
        const pt_msg_t *mask, *pattern, *fc;
        uint32_t *id;
        int32_t status;
        const char *line;
    };
    const Row rows[] = {
        {1, &mask, &pattern, nullptr, nullptr, ERR_NULL_PARAMETER, "E j0 flt+ 1 PASS > ERR_NULL_PARAMETER"},
        {4, nullptr, &pattern, nullptr, &id, ERR_INVALID_MSG, "E j0 flt+ 1 UNKN > ERR_INVALID_MSG"},
        {4, &mask, &pattern, nullptr, &id, ERR_NOT_SUPPORTED, "E j0 flt+ 1 ISO15765 UNKN > ERR_NOT_SUPPORTED"},
        {0, &mask, &pattern, nullptr, &id, ERR_NOT_SUPPORTED, "E j0 flt+ 1 ISO15765 UNKN > ERR_NOT_SUPPORTED"},
        {3, &mask, &pattern, nullptr, &id, ERR_INVALID_MSG, "E j0 flt+ 1 ISO15765 FLOW 000007FF 000007E8 > ERR_INVALID_MSG"},
        {3, &mask, &pattern, &long_fc, &id, ERR_INVALID_MSG, "E j0 flt+ 1 ISO15765 FLOW 000007FF 000007E8 > ERR_INVALID_MSG"},
    };
    for (const Row &row : rows) {
        id = 55;
        EXPECT_EQ(com->start_msg_filter(1, row.type, row.mask, row.pattern, row.fc, row.id), row.status) << row.line;
        EXPECT_TRUE(logged(row.line)) << row.line;
        EXPECT_EQ(id, 55u);
    }
    pt_msg_t thirteen = msg_with(6, Bytes(13, 1));
    EXPECT_EQ(com->start_msg_filter(1, 1, &thirteen, &pattern, nullptr, &id), ERR_INVALID_MSG);
    EXPECT_EQ(sim.requests().size(), 0u);

    sim.arm(0x48, status(ERR_INVALID_FILTER_ID));
    EXPECT_EQ(com->stop_msg_filter(1, 7), ERR_INVALID_FILTER_ID);
    EXPECT_EQ(last_request().payload, (Bytes{1, 0, 7, 0}));
    EXPECT_NE(line_starting("E j0 flt- 1 7 > ERR_INVALID_FILTER_ID "), "");
}
