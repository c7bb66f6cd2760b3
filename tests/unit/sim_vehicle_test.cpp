// The simulator's virtual vehicle seen from a raw socket: channels, writes, the ECU, fetch
// blocks and waits, filters and periodic messages.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "test_support.h"
#include "sim_host.h"
#include "vci_sim.h"

namespace {

using namespace simhost;

constexpr uint16_t OK = 0, INVALID_CHANNEL = 2, PROTOCOL_NOT_SUPPORTED = 3, TIME_OUT = 9,
                   INVALID_MSG = 10, INVALID_TIME_INTERVAL = 11, INVALID_MSG_ID = 13,
                   BUFFER_EMPTY = 16, MSG_PROTOCOL_ID = 21, INVALID_FILTER = 22,
                   NO_FLOW_CONTROL = 23;
constexpr uint32_t CAN = 5, ISO15765 = 6;


struct Msg {
    uint32_t protocol;
    uint32_t flags;
    Bytes data;
};

Bytes write_payload(uint16_t ch, const std::vector<Msg> &msgs) {
    Bytes p;
    le16(p, ch);
    le16(p, uint16_t(msgs.size()));
    le32(p, 100);
    for (const Msg &m : msgs) {
        le32(p, m.protocol);
        le32(p, m.flags);
        le16(p, uint16_t(m.data.size()));
        le16(p, uint16_t(m.data.size()));
        p = cat(p, m.data);
        p.resize(p.size() + 4 - m.data.size() % 4, 0);
    }
    return p;
}

Bytes fetch_payload(uint16_t ch, uint16_t max, uint32_t timeout) {
    Bytes p;
    le16(p, ch);
    le16(p, max);
    le32(p, timeout);
    return p;
}

// type, mask, pattern, flow-control data: the 40-byte filter payload.
Bytes filter_payload(uint16_t ch, uint8_t type, const Bytes &mask, const Bytes &pattern,
                     const Bytes &fc = {}, uint32_t flags = 0) {
    Bytes p;
    le16(p, ch);
    le16(p, 0);
    p.push_back(type);
    p.push_back(type == 3 ? 0 : uint8_t(mask.size()));
    Bytes fc6 = fc;
    fc6.resize(6, 0);
    p = cat(p, fc6);
    le32(p, flags);
    Bytes m = mask, pt = pattern;
    m.resize(12, 0);
    pt.resize(12, 0);
    return cat(cat(p, m), pt);
}

Bytes periodic_payload(uint16_t ch, uint32_t interval, const Bytes &data) {
    Bytes p;
    le16(p, ch);
    le16(p, 0);
    le32(p, 0);
    le32(p, interval);
    le16(p, uint16_t(data.size()));
    Bytes d = data;
    d.resize(14, 0);
    return cat(p, d);
}

Bytes stop_payload(uint16_t ch, uint16_t id) {
    Bytes p;
    le16(p, ch);
    le16(p, id);
    return p;
}

Bytes st16(uint16_t status, int value = -1) {
    Bytes p;
    le16(p, status);
    if (value >= 0) le16(p, uint32_t(value));
    return p;
}

// Splits a fetch answer; every frame must be followed by 1 to 4 zero fill bytes.
std::vector<vcisim::RxFrame> frames_of(const Bytes &block) {
    std::vector<vcisim::RxFrame> out;
    EXPECT_GE(block.size(), 4u);
    if (block.size() < 4) return out;
    size_t pos = 4;
    for (uint16_t i = 0; i < rd16(block, 2); ++i) {
        vcisim::RxFrame f;
        f.protocol = rd32(block, pos);
        f.rx_status = rd32(block, pos + 4);
        f.timestamp = rd32(block, pos + 8);
        size_t size = rd16(block, pos + 12);
        f.extra_data_index = rd16(block, pos + 14);
        size_t fill = 4 - size % 4;
        EXPECT_LE(pos + 16 + size + fill, block.size()) << "frame " << i;
        if (pos + 16 + size + fill > block.size()) break;
        f.data.assign(block.begin() + long(pos + 16), block.begin() + long(pos + 16 + size));
        for (size_t k = 0; k < fill; ++k)
            EXPECT_EQ(block[pos + 16 + size + k], 0) << "fill of frame " << i;
        out.push_back(f);
        pos += 16 + size + fill;
    }
    EXPECT_EQ(pos, block.size());
    return out;
}

const Bytes kEcuReq = {0x00, 0x00, 0x07, 0xE0};
const Bytes kEcuResp = {0x00, 0x00, 0x07, 0xE8};
const Bytes kAllBits = {0xFF, 0xFF, 0xFF, 0xFF};

class SimVehicleTest : public SimHostFixture {
  protected:
    uint16_t connect(uint32_t protocol) {
        Bytes p;
        le32(p, protocol);
        le32(p, 0);
        le32(p, 500000);
        Bytes r = host_->cmd(0x41, p);
        EXPECT_EQ(r.size(), 4u);
        EXPECT_EQ(rd16(r, 0), OK);
        return r.size() == 4 ? rd16(r, 2) : 0;
    }

    // An ISO 15765 channel with a flow-control filter for the ECU.
    uint16_t iso_channel() {
        uint16_t ch = connect(ISO15765);
        EXPECT_EQ(host_->cmd(0x47, filter_payload(ch, 3, kAllBits, kEcuResp, kEcuReq)),
                  st16(OK, 1));
        return ch;
    }

    Bytes fetch(uint16_t ch, uint16_t max, uint32_t timeout = 0) {
        return host_->cmd(0x43, fetch_payload(ch, max, timeout), int(timeout) + 3000);
    }

};

TEST_F(SimVehicleTest, ConnectNumbersChannelsAndDisconnectDropsThem) {
    struct Case {
        uint32_t protocol;
        Bytes reply;
    };
    const Case cases[] = {
        {CAN, st16(OK, 20)},
        {ISO15765, st16(OK, 21)},
        {0x8004, st16(OK, 22)},
        {0x8005, st16(OK, 23)},
        {3, st16(PROTOCOL_NOT_SUPPORTED)},
        {0x8FFD, st16(PROTOCOL_NOT_SUPPORTED)},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.protocol);
        Bytes p;
        le32(p, k.protocol);
        le32(p, 0x800);
        le32(p, 250000);
        EXPECT_EQ(host_->cmd(0x41, p), k.reply);
    }
    EXPECT_EQ(host_->cmd(0x56, {1, 2, 3}), st16(OK, 24));

    vcisim::VehicleState v = sim_.vehicle();
    ASSERT_EQ(v.channels.size(), 5u);
    EXPECT_EQ(v.channels[0].protocol, CAN);
    EXPECT_EQ(v.channels[0].flags, 0x800u);
    EXPECT_EQ(v.channels[0].baud, 250000u);
    EXPECT_EQ(v.channel(24)->protocol, ISO15765);

    EXPECT_EQ(host_->cmd(0x42, {21, 0}), st16(OK));
    EXPECT_EQ(host_->cmd(0x42, {21, 0}), st16(INVALID_CHANNEL));
    EXPECT_EQ(sim_.vehicle().channel(21), nullptr);
    EXPECT_EQ(connect(CAN), 21); // the lowest free number again
    EXPECT_EQ(host_->cmd(0x43, fetch_payload(99, 1, 0)), st16(INVALID_CHANNEL));
    EXPECT_EQ(host_->cmd(0x44, write_payload(99, {{CAN, 0, kEcuReq}})), st16(INVALID_CHANNEL, 0));

    // Closing the session drops every channel.
    EXPECT_EQ(host_->cmd(0x55, {}), st16(OK));
    EXPECT_TRUE(sim_.vehicle().channels.empty());
}

TEST_F(SimVehicleTest, VinReadNeedsFlowControlAndComesBackAsExactBlock) {
    const Bytes vin_req = cat(kEcuReq, {0x22, 0xF1, 0x90});
    uint16_t ch = connect(ISO15765);
    EXPECT_EQ(host_->cmd(0x44, write_payload(ch, {{ISO15765, 0, vin_req}})),
              st16(NO_FLOW_CONTROL, 0));
    EXPECT_EQ(host_->cmd(0x47, filter_payload(ch, 3, kAllBits, kEcuResp, kEcuReq, 0x40)),
              st16(OK, 1));
    vcisim::Filter f = sim_.vehicle().channel(ch)->filters.at(0);
    EXPECT_EQ(f.type, 3);
    EXPECT_EQ(f.tx_flags, 0x40u);
    EXPECT_EQ(Bytes(f.flow_control.begin(), f.flow_control.begin() + 4), kEcuReq);
    EXPECT_EQ(Bytes(f.pattern.begin(), f.pattern.begin() + 4), kEcuResp);

    EXPECT_EQ(host_->cmd(0x44, write_payload(ch, {{ISO15765, 0, vin_req}})), st16(OK, 1));
    ASSERT_EQ(sim_.vehicle().last_write.size(), 1u);
    EXPECT_EQ(sim_.vehicle().last_write[0].data, vin_req);

    Bytes block = fetch(ch, 10);
    ASSERT_EQ(block.size(), 48u); // 4 + 16 + 24 data + 4 fill
    Bytes want = {0, 0, 1, 0, 6, 0, 0, 0, 0, 0, 0, 0};
    want = cat(want, Bytes(block.begin() + 12, block.begin() + 16)); // time stamp
    want = cat(want, {24, 0, 24, 0, 0x00, 0x00, 0x07, 0xE8, 0x62, 0xF1, 0x90});
    want = cat(want, {'W', 'V', 'K', 'S', 'I', 'M', '0', '0', '0', '0', '0',
                      '0', '0', '0', '0', '4', '2', 0,   0,   0,   0});
    EXPECT_EQ(block, want);
    EXPECT_GT(rd32(block, 12), 0u);
    EXPECT_EQ(fetch(ch, 10), st16(BUFFER_EMPTY, 0));
}

TEST_F(SimVehicleTest, EcuAnswersAndLoopbackEchoes) {
    uint16_t ch = iso_channel();
    ASSERT_TRUE(sim_.set_loopback(ch, true));
    struct Case {
        Bytes req;
        Bytes answer; // empty: the ECU stays silent
    };
    const Case cases[] = {
        {cat(kEcuReq, {0x3E, 0x00}), {0x7E, 0x00}},
        {cat(kEcuReq, {0x10, 0x03}), {0x50, 0x03, 0x00, 0x32, 0x01, 0xF4}},
        {cat(kEcuReq, {0x19, 0x02, 0xFF}), {0x7F, 0x19, 0x11}},
        {cat(kEcuReq, {0x3E, 0x80}), {}}, // answer suppressed
    };
    uint32_t last_ts = 0;
    for (const Case &k : cases) {
        SCOPED_TRACE(testing::PrintToString(k.req));
        ASSERT_EQ(host_->cmd(0x44, write_payload(ch, {{ISO15765, 0, k.req}})), st16(OK, 1));
        auto got = frames_of(fetch(ch, 10));
        ASSERT_EQ(got.size(), k.answer.empty() ? 1u : 2u);
        EXPECT_EQ(got[0].rx_status, vcisim::RX_LOOPBACK);
        EXPECT_EQ(got[0].data, k.req);
        if (got.size() == 2) {
            EXPECT_EQ(got[1].rx_status, 0u);
            EXPECT_EQ(got[1].data, cat(kEcuResp, k.answer));
            EXPECT_GE(got[1].timestamp, got[0].timestamp);
        }
        EXPECT_GE(got[0].timestamp, last_ts);
        last_ts = got.back().timestamp;
    }
    // Without a flow-control filter for the echo's identifier nothing is written at all.
    EXPECT_EQ(host_->cmd(0x44, write_payload(ch, {{ISO15765, 0, {0, 0, 7, 0xE1, 0x3E, 0}}})),
              st16(NO_FLOW_CONTROL, 0));
}

TEST_F(SimVehicleTest, WriteChecksEveryRecordAndHonoursTheAcceptLimit) {
    uint16_t ch = connect(CAN);
    ASSERT_TRUE(sim_.set_loopback(ch, true));
    ASSERT_EQ(host_->cmd(0x47, filter_payload(ch, 1, {0, 0, 0, 0}, {0, 0, 0, 0})), st16(OK, 1));
    const Msg good = {CAN, 0, {0, 0, 1, 0x23, 0xAA}};
    Bytes cut = write_payload(ch, {good, good});
    cut.resize(cut.size() - 1);
    Bytes count_over = write_payload(ch, {good});
    count_over[2] = 2;
    struct Case {
        const char *name;
        Bytes payload;
        Bytes reply;
    };
    const Case cases[] = {
        {"record past the payload", cut, st16(INVALID_MSG, 0)},
        {"count above the records", count_over, st16(INVALID_MSG, 0)},
        {"short header", {Bytes{uint8_t(ch), 0, 1}}, st16(INVALID_MSG, 0)},
        {"protocol of another channel", write_payload(ch, {good, {ISO15765, 0, kEcuReq}}),
         st16(MSG_PROTOCOL_ID, 0)},
        {"CAN frame without identifier", write_payload(ch, {good, {CAN, 0, {1, 2, 3}}}),
         st16(INVALID_MSG, 0)},
        {"CAN frame above 8 data bytes", write_payload(ch, {{CAN, 0, Bytes(13, 1)}}),
         st16(INVALID_MSG, 0)},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        EXPECT_EQ(host_->cmd(0x44, k.payload), k.reply);
        EXPECT_EQ(sim_.vehicle().channel(ch)->rx_queued, 0u); // nothing was sent
    }

    configure([](vcisim::DeviceState &st) { st.accept_limit = 1; });
    const Msg second = {CAN, 0x100, {0, 0, 1, 0x24, 0xBB, 0xCC}};
    EXPECT_EQ(host_->cmd(0x44, write_payload(ch, {good, second, good})), st16(OK, 1));
    vcisim::VehicleState v = sim_.vehicle();
    ASSERT_EQ(v.last_write.size(), 3u);
    EXPECT_EQ(v.last_write[1].protocol, CAN);
    EXPECT_EQ(v.last_write[1].tx_flags, 0x100u);
    EXPECT_EQ(v.last_write[1].extra_data_index, 6);
    EXPECT_EQ(v.last_write[1].data, second.data);
    auto got = frames_of(fetch(ch, 10));
    ASSERT_EQ(got.size(), 1u); // only the accepted message went on the bus
    EXPECT_EQ(got[0].data, good.data);
}

TEST_F(SimVehicleTest, CanDeliversWhatPassesAndIsNotBlocked) {
    uint16_t ch = connect(CAN);
    ASSERT_TRUE(sim_.set_loopback(ch, true));
    // Identifiers 0x100..0x1FF pass; 0x123 with first data byte 0xFF is blocked.
    ASSERT_EQ(host_->cmd(0x47, filter_payload(ch, 1, {0, 0, 7, 0}, {0, 0, 1, 0})), st16(OK, 1));
    ASSERT_EQ(host_->cmd(0x47, filter_payload(ch, 2, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
                                              {0, 0, 1, 0x23, 0xFF})),
              st16(OK, 2));
    vcisim::Filter block = sim_.vehicle().channel(ch)->filters.at(1);
    EXPECT_EQ(block.type, 2);
    EXPECT_EQ(block.mask_size, 5);

    struct Case {
        Bytes data;
        bool delivered;
    };
    const Case cases[] = {
        {{0, 0, 1, 0x23, 0x01}, true},  {{0, 0, 1, 0x23, 0xFF}, false}, {{0, 0, 1, 0x23}, true},
        {{0, 0, 2, 0x00, 0xFF}, false}, {{0, 0, 1, 0xAB, 0xFF}, true},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(testing::PrintToString(k.data));
        ASSERT_EQ(host_->cmd(0x44, write_payload(ch, {{CAN, 0, k.data}})), st16(OK, 1));
        auto got = frames_of(fetch(ch, 10));
        ASSERT_EQ(got.size(), k.delivered ? 1u : 0u);
        if (k.delivered) {
            EXPECT_EQ(got[0].data, k.data);
        }
    }

    EXPECT_EQ(host_->cmd(0x48, stop_payload(ch, 7)), st16(INVALID_FILTER));
    EXPECT_EQ(host_->cmd(0x48, stop_payload(ch, 1)), st16(OK));
    EXPECT_EQ(host_->cmd(0x48, stop_payload(ch, 1)), st16(INVALID_FILTER));
    // No pass filter left: nothing is delivered.
    ASSERT_EQ(host_->cmd(0x44, write_payload(ch, {{CAN, 0, {0, 0, 1, 0x23, 1}}})), st16(OK, 1));
    EXPECT_EQ(fetch(ch, 10), st16(BUFFER_EMPTY, 0));
}

TEST_F(SimVehicleTest, FetchWaitsForFramesUpToItsTimeOut) {
    uint16_t ch = connect(CAN);
    EXPECT_EQ(fetch(ch, 1, 0), st16(BUFFER_EMPTY, 0));

    auto t0 = Clock::now();
    EXPECT_EQ(fetch(ch, 1, 200), st16(TIME_OUT, 0));
    auto waited = Clock::now() - t0;
    EXPECT_GE(waited, milliseconds(190));
    EXPECT_LT(waited, milliseconds(900));

    vcisim::RxFrame f;
    f.protocol = CAN;
    f.data = {0, 0, 7, 0xE8, 1};
    ASSERT_TRUE(sim_.inject_rx(ch, f));
    auto got = frames_of(fetch(ch, 2, 150)); // one of two: the time-out status with it
    ASSERT_EQ(got.size(), 1u);

    // Frames arriving during the wait end it as soon as there are enough.
    std::thread feeder([&] {
        std::this_thread::sleep_for(milliseconds(100));
        for (int i = 0; i < 3; ++i)
            sim_.inject_rx(ch, f);
    });
    t0 = Clock::now();
    Bytes r = fetch(ch, 3, 5000);
    waited = Clock::now() - t0;
    feeder.join();
    EXPECT_EQ(rd16(r, 0), OK);
    EXPECT_EQ(frames_of(r).size(), 3u);
    EXPECT_LT(waited, milliseconds(2000));

    EXPECT_FALSE(sim_.inject_rx(99, f));
    f.data.assign(4129, 0);
    EXPECT_FALSE(sim_.inject_rx(ch, f));
}

TEST_F(SimVehicleTest, FetchBlocksCarryEverySizeAndStopAt6144Bytes) {
    uint16_t ch = connect(CAN);
    const size_t sizes[] = {0, 1, 3, 4, 5, 12, 4128};
    for (size_t n : sizes) {
        vcisim::RxFrame f;
        f.protocol = 0x8004;
        f.rx_status = 0x100 + uint32_t(n);
        f.timestamp = 0xA0B0C0D0u + uint32_t(n);
        f.extra_data_index = uint16_t(n ^ 0x5A5A);
        for (size_t i = 0; i < n; ++i)
            f.data.push_back(uint8_t(i * 7 + n));
        ASSERT_TRUE(sim_.inject_rx(ch, f));
    }
    // All seven fit into one answer.
    Bytes block = fetch(ch, 50);
    EXPECT_EQ(block.size(), 4u + 20 + 20 + 20 + 24 + 24 + 32 + 4148);
    auto got = frames_of(block);
    ASSERT_EQ(got.size(), std::size(sizes));
    for (size_t i = 0; i < got.size(); ++i) {
        size_t n = sizes[i];
        SCOPED_TRACE(n);
        EXPECT_EQ(got[i].protocol, 0x8004u);
        EXPECT_EQ(got[i].rx_status, 0x100 + n);
        EXPECT_EQ(got[i].timestamp, 0xA0B0C0D0u + n);
        EXPECT_EQ(got[i].extra_data_index, n ^ 0x5A5A);
        ASSERT_EQ(got[i].data.size(), n);
        for (size_t k = 0; k < n; ++k)
            ASSERT_EQ(got[i].data[k], uint8_t(k * 7 + n));
    }

    // 307 frames of 20 bytes fill 6144 exactly; the 308th waits for the next fetch, as does
    // a second 4128-byte frame.
    vcisim::RxFrame small, big;
    small.data = {9};
    big.data.assign(4128, 0x42);
    for (int i = 0; i < 308; ++i)
        sim_.inject_rx(ch, small);
    sim_.inject_rx(ch, big);
    sim_.inject_rx(ch, big);
    struct Step {
        size_t frames;
        size_t bytes;
    };
    for (const Step &s : {Step{307, 6144}, Step{2, 4 + 20 + 4148}, Step{1, 4 + 4148}}) {
        block = fetch(ch, 400);
        EXPECT_EQ(rd16(block, 0), OK);
        EXPECT_EQ(frames_of(block).size(), s.frames);
        EXPECT_EQ(block.size(), s.bytes);
    }
    EXPECT_EQ(sim_.vehicle().fetches, 4u);
}

TEST_F(SimVehicleTest, StreamingAnswersEveryFetchWithoutStoringFrames) {
    configure([](vcisim::DeviceState &st) { st.stream_frames = 8; });
    uint16_t ch = connect(CAN);
    auto got = frames_of(fetch(ch, 50));
    ASSERT_EQ(got.size(), 50u);
    EXPECT_EQ(got[0].protocol, CAN);
    EXPECT_EQ(got[0].data.size(), 8u);
    Bytes big = fetch(ch, 1000, 500); // no waiting in streaming mode
    EXPECT_EQ(rd16(big, 0), OK);
    EXPECT_EQ(frames_of(big).size(), (6144u - 4) / 28);
    EXPECT_EQ(sim_.vehicle().fetches, 2u);
    EXPECT_EQ(sim_.vehicle().channel(ch)->rx_queued, 0u);
}

TEST_F(SimVehicleTest, PeriodicMessagesRepeatUntilStopped) {
    uint16_t ch = connect(CAN);
    uint16_t quiet = connect(CAN); // no loopback: the messages only count
    ASSERT_TRUE(sim_.set_loopback(ch, true));
    ASSERT_EQ(host_->cmd(0x47, filter_payload(ch, 1, {0, 0, 0, 0}, {0, 0, 0, 0})), st16(OK, 1));
    const Bytes data = {0, 0, 1, 0x55, 0x3E, 0x80};
    EXPECT_EQ(host_->cmd(0x45, periodic_payload(ch, 0, data)), st16(INVALID_TIME_INTERVAL));
    EXPECT_EQ(host_->cmd(0x45, periodic_payload(ch, 20, Bytes(13, 1))), st16(INVALID_MSG));
    EXPECT_EQ(host_->cmd(0x45, periodic_payload(99, 20, data)), st16(INVALID_CHANNEL));
    ASSERT_EQ(host_->cmd(0x45, periodic_payload(ch, 20, data)), st16(OK, 1));
    ASSERT_EQ(host_->cmd(0x45, periodic_payload(quiet, 20, data)), st16(OK, 2));

    // A blocking fetch is served by the echoes while it waits.
    auto t0 = Clock::now();
    Bytes r = fetch(ch, 3, 3000);
    EXPECT_LT(Clock::now() - t0, milliseconds(1500));
    EXPECT_EQ(rd16(r, 0), OK);
    auto got = frames_of(r);
    ASSERT_EQ(got.size(), 3u);
    for (const auto &f : got) {
        EXPECT_EQ(f.rx_status, vcisim::RX_LOOPBACK);
        EXPECT_EQ(f.data, data);
    }
    EXPECT_GT(got[2].timestamp - got[0].timestamp, 20000u); // two intervals apart

    vcisim::VehicleState v = sim_.vehicle();
    EXPECT_EQ(v.channel(ch)->periodics.at(0).interval_ms, 20u);
    EXPECT_EQ(v.channel(ch)->periodics.at(0).data, data);
    EXPECT_GE(v.channel(quiet)->periodics.at(0).sent, 2u);
    EXPECT_EQ(v.channel(quiet)->rx_queued, 0u);

    EXPECT_EQ(host_->cmd(0x46, stop_payload(ch, 2)), st16(INVALID_MSG_ID)); // another channel's
    EXPECT_EQ(host_->cmd(0x46, stop_payload(ch, 1)), st16(OK));
    EXPECT_EQ(host_->cmd(0x42, {uint8_t(quiet), 0}), st16(OK));
    fetch(ch, 100);
    std::this_thread::sleep_for(milliseconds(80));
    EXPECT_EQ(fetch(ch, 100), st16(BUFFER_EMPTY, 0));
    EXPECT_TRUE(sim_.vehicle().channel(ch)->periodics.empty());
}

} // namespace
