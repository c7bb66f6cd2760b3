// The simulator's ioctl and device information commands seen from a raw socket.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "test_support.h"
#include "sim_host.h"
#include "vci_sim.h"

namespace {

using namespace simhost;

constexpr uint16_t OK = 0, NOT_SUPPORTED = 1, INVALID_CHANNEL = 2, FAILED = 7, INVALID_MSG = 10;
constexpr uint32_t CAN = 5;
constexpr uint16_t GET_CONFIG = 1, SET_CONFIG = 2, READ_VBATT = 3, FIVE_BAUD_INIT = 4,
                   FAST_INIT = 5, CLEAR_RX_BUFFER = 8, CLEAR_PERIODIC_MSGS = 9,
                   CLEAR_MSG_FILTERS = 10, SW_CAN_HS = 0x8000, BECOME_MASTER = 0x8003,
                   REQUEST_CONNECTION = 0x800A, GET_DEVICE_INFO = 0x800C,
                   ISO13400_DISCOVER = 0x8110, ISO13400_GET_INFO = 0x8111, ISO13400_TCP = 0x8112,
                   HSFZ_GET_INFO = 0x8211;
constexpr uint32_t DATA_RATE = 0x01, LOOPBACK = 0x03, P1_MAX = 0x07, ISO15765_BS = 0x1E;


Bytes ioctl_payload(uint16_t ch, uint16_t id, uint32_t count, const Bytes &data = {}) {
    Bytes p;
    le16(p, ch);
    le16(p, id);
    le32(p, count);
    return cat(p, data);
}

Bytes pairs(const std::vector<std::pair<uint32_t, uint32_t>> &list) {
    Bytes b;
    for (const auto &pv : list) {
        le32(b, pv.first);
        le32(b, pv.second);
    }
    return b;
}

// Status, 2 unused bytes, count, data: a successful ioctl answer.
Bytes answer(uint32_t count, const Bytes &data = {}) {
    Bytes p;
    le16(p, OK);
    le16(p, 0);
    le32(p, count);
    return cat(p, data);
}

Bytes st16(uint16_t status) {
    Bytes p;
    le16(p, status);
    return p;
}

class SimIoctlTest : public SimHostFixture {
  protected:
    uint16_t connect_can(uint32_t baud) {
        Bytes p;
        le32(p, CAN);
        le32(p, 0);
        le32(p, baud);
        Bytes r = host_->cmd(0x41, p);
        EXPECT_EQ(r.size(), 4u);
        return r.size() == 4 ? rd16(r, 2) : 0;
    }

    Bytes io(uint16_t ch, uint16_t id, uint32_t count, const Bytes &data = {}) {
        return host_->cmd(0x4A, ioctl_payload(ch, id, count, data));
    }

};

TEST_F(SimIoctlTest, ConfigRoundTripDrivesTheChannel) {
    const uint16_t ch = connect_can(250000);
    const Bytes ask = pairs({{DATA_RATE, 0}, {LOOPBACK, 7}, {P1_MAX, 7}, {ISO15765_BS, 7}});
    EXPECT_EQ(
        io(ch, GET_CONFIG, 4, ask),
        answer(4, pairs({{DATA_RATE, 250000}, {LOOPBACK, 0}, {P1_MAX, 0}, {ISO15765_BS, 0}})));

    EXPECT_EQ(io(ch, SET_CONFIG, 3, pairs({{DATA_RATE, 500000}, {LOOPBACK, 1}, {ISO15765_BS, 8}})),
              answer(0));
    EXPECT_EQ(
        io(ch, GET_CONFIG, 4, ask),
        answer(4, pairs({{DATA_RATE, 500000}, {LOOPBACK, 1}, {P1_MAX, 0}, {ISO15765_BS, 8}})));
    const vcisim::VehicleState v = sim_.vehicle();
    const vcisim::Channel *c = v.channel(ch);
    ASSERT_NE(c, nullptr);
    EXPECT_TRUE(c->loopback);
    EXPECT_EQ(c->baud, 500000u);
    EXPECT_EQ(c->config,
              (std::map<uint32_t, uint32_t>{{DATA_RATE, 500000}, {LOOPBACK, 1}, {ISO15765_BS, 8}}));

    // Loopback switched from outside shows in the next read.
    ASSERT_TRUE(sim_.set_loopback(ch, false));
    EXPECT_EQ(io(ch, GET_CONFIG, 1, pairs({{LOOPBACK, 9}})), answer(1, pairs({{LOOPBACK, 0}})));

    // Refused requests change nothing.
    struct Case {
        uint16_t ch;
        uint16_t id;
        uint32_t count;
        Bytes data;
        uint16_t status;
    };
    const Case cases[] = {
        {ch, SET_CONFIG, 2, pairs({{ISO15765_BS, 3}, {0x10004, 1}}), NOT_SUPPORTED},
        {ch, GET_CONFIG, 1, pairs({{0x10004, 0}}), NOT_SUPPORTED},
        {ch, SET_CONFIG, 2, pairs({{ISO15765_BS, 3}}), FAILED}, // count beyond the data
        {99, SET_CONFIG, 1, pairs({{ISO15765_BS, 3}}), INVALID_CHANNEL},
        {99, GET_CONFIG, 1, pairs({{ISO15765_BS, 0}}), INVALID_CHANNEL},
        {ch, 0x8004, 0, {}, NOT_SUPPORTED},
        {ch, 6, 0, {}, NOT_SUPPORTED},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.id);
        EXPECT_EQ(io(k.ch, k.id, k.count, k.data), st16(k.status));
    }
    EXPECT_EQ(io(ch, GET_CONFIG, 1, pairs({{ISO15765_BS, 0}})),
              answer(1, pairs({{ISO15765_BS, 8}})));
}

TEST_F(SimIoctlTest, DeviceAnswersHaveTheirExactBytes) {
    configure([](vcisim::DeviceState &s) {
        s.battery_mv = 12345;
        s.tp = 3;
        s.mem = 0x01020304;
        s.doip_entities = 3;
        s.routing_code = 0x11;
    });
    const uint16_t ch = connect_can(500000);
    const Bytes mv = {0x39, 0x30, 0x00, 0x00};
    EXPECT_EQ(io(0, READ_VBATT, 0), answer(1, mv)); // any channel number
    EXPECT_EQ(io(ch, READ_VBATT, 0), answer(1, mv));
    EXPECT_EQ(io(0, ISO13400_DISCOVER, 0), answer(1, {3, 0, 0, 0}));
    EXPECT_EQ(io(0, 0x8113, 0), answer(1, {0x11, 0, 0, 0}));
    EXPECT_EQ(io(0, ISO13400_TCP, 0), answer(0));
    EXPECT_EQ(io(0, CLEAR_RX_BUFFER, 0), st16(INVALID_CHANNEL));

    EXPECT_EQ(host_->cmd(0x4C, {uint8_t(ch), 0}),
              Bytes({0, 0, 3, 0, 4, 3, 2, 1, 0x39, 0x30, 0, 0}));
    EXPECT_EQ(sim_.record().status_channel, ch);

    // Default marks, then a record set by the test.
    Bytes marks = host_->cmd(0x57, {});
    ASSERT_EQ(marks.size(), 1028u);
    EXPECT_EQ(rd16(marks, 0), OK);
    vcisim::DeviceState st = sim_.state();
    EXPECT_TRUE(std::equal(st.marks.begin(), st.marks.end(), marks.begin() + 4));
    EXPECT_NE(marks[4], marks[5]);
    for (size_t i = 0; i < st.marks.size(); ++i)
        st.marks[i] = uint8_t(1023 - i);
    sim_.set_state(st);
    marks = host_->cmd(0x57, {});
    ASSERT_EQ(marks.size(), 1028u);
    EXPECT_EQ(marks[4], 0xFF);
    EXPECT_EQ(marks[4 + 1023], 0x00);
    EXPECT_EQ(marks[4 + 256], 0xFF);
}

TEST_F(SimIoctlTest, InfoQueriesSizeTheirRecords) {
    configure([](vcisim::DeviceState &s) {
        s.doip_entities = 3;
        s.hsfz_entities = 2;
        s.serial = 345;
    });
    Bytes r = io(0, ISO13400_GET_INFO, 0);
    ASSERT_EQ(r.size(), 8u + 3 * 40);
    EXPECT_EQ(rd32(r, 4), 3u);
    EXPECT_NE(Bytes(r.begin() + 8, r.begin() + 48), Bytes(r.begin() + 48, r.begin() + 88));
    r = io(0, HSFZ_GET_INFO, 0);
    ASSERT_EQ(r.size(), 8u + 2 * 8);
    EXPECT_EQ(rd32(r, 4), 2u);

    // Records come back in order; unknown ones read as not supported.
    Bytes ask;
    for (uint32_t p : {0x77u, 1u}) {
        le32(ask, p);
        le32(ask, 0xDEAD);
        le32(ask, 0xDEAD);
    }
    Bytes want;
    for (uint32_t v : {0x77u, 0u, 0u, 1u, 345u, 1u})
        le32(want, v);
    EXPECT_EQ(io(0, GET_DEVICE_INFO, 2, ask), answer(2, want));
    EXPECT_EQ(io(0, GET_DEVICE_INFO, 3, ask), st16(FAILED));
}

TEST_F(SimIoctlTest, ClearsAndSwitchesReachTheVehicle) {
    const uint16_t ch = connect_can(500000);
    vcisim::RxFrame f;
    f.protocol = CAN;
    f.data = {0, 0, 7, 0xE8, 1};
    ASSERT_TRUE(sim_.inject_rx(ch, f));
    ASSERT_TRUE(sim_.inject_rx(ch, f));
    Bytes filter = {uint8_t(ch), 0, 0, 0, 1, 4};
    filter.resize(40, 0);
    ASSERT_EQ(rd16(host_->cmd(0x47, filter), 0), OK);
    Bytes periodic = {uint8_t(ch), 0, 0, 0, 0, 0, 0, 0, 100, 0, 0, 0, 4, 0};
    periodic.resize(28, 1);
    ASSERT_EQ(rd16(host_->cmd(0x45, periodic), 0), OK);

    EXPECT_EQ(io(ch, CLEAR_RX_BUFFER, 0), answer(0));
    EXPECT_EQ(sim_.vehicle().channel(ch)->rx_queued, 0u);
    EXPECT_EQ(io(ch, CLEAR_PERIODIC_MSGS, 0), answer(0));
    EXPECT_TRUE(sim_.vehicle().channel(ch)->periodics.empty());
    EXPECT_EQ(io(ch, CLEAR_MSG_FILTERS, 0), answer(0));
    EXPECT_TRUE(sim_.vehicle().channel(ch)->filters.empty());
    EXPECT_EQ(io(ch, SW_CAN_HS, 0), answer(0));
    EXPECT_TRUE(sim_.vehicle().channel(ch)->sw_can_high_speed);

    EXPECT_EQ(io(ch, BECOME_MASTER, 1, {0x42}), answer(0));
    EXPECT_EQ(io(ch, REQUEST_CONNECTION, 3, {1, 2, 3}), answer(0));
    EXPECT_EQ(io(ch, REQUEST_CONNECTION, 4, {1, 2, 3}), st16(FAILED));
    vcisim::DeviceRecord rec = sim_.record();
    EXPECT_EQ(rec.ioctl_bytes[BECOME_MASTER], Bytes({0x42}));
    EXPECT_EQ(rec.ioctl_bytes[REQUEST_CONNECTION], Bytes({1, 2, 3}));
}

TEST_F(SimIoctlTest, InitsAnswerWithKeyBytes) {
    const uint16_t ch = connect_can(10400);
    Bytes r = io(ch, FIVE_BAUD_INIT, 1, {0x33});
    ASSERT_EQ(r.size(), 12u);
    EXPECT_EQ(rd32(r, 4), 2u);
    EXPECT_EQ(r[10], 0x08);
    EXPECT_EQ(r[11], 0x08);

    EXPECT_EQ(io(ch, FAST_INIT, 0), answer(0));
    Bytes msg;
    le32(msg, CAN);
    le32(msg, 0);
    le16(msg, 4);
    le16(msg, 4);
    msg = cat(msg, {0xC1, 0x33, 0xF1, 0x81});
    r = io(ch, FAST_INIT, 1, msg);
    ASSERT_GE(r.size(), 8u + 16 + 6);
    EXPECT_EQ(rd32(r, 4), 1u);
    EXPECT_EQ(rd32(r, 8), CAN);
    EXPECT_EQ(rd32(r, 12), 0u);
    EXPECT_EQ(rd16(r, 20), 6u);
    EXPECT_EQ(Bytes(r.begin() + 24, r.begin() + 30), Bytes({0x83, 0xF1, 0x33, 0xC1, 0xEF, 0x8F}));
    EXPECT_EQ(sim_.record().ioctl_bytes[FAST_INIT], Bytes({0xC1, 0x33, 0xF1, 0x81}));
    msg.pop_back(); // shorter than its DataSize
    EXPECT_EQ(io(ch, FAST_INIT, 1, msg), st16(INVALID_MSG));
}

TEST_F(SimIoctlTest, ProgrammingVoltageAndSecurityAccessAreRecorded) {
    EXPECT_EQ(host_->cmd(0x53, {0x0F, 0x00, 0xE0, 0x2E}), st16(OK));
    vcisim::DeviceRecord rec = sim_.record();
    EXPECT_EQ(rec.prog_voltage_calls, 1);
    EXPECT_EQ(rec.prog_pin, 15);
    EXPECT_EQ(rec.prog_mv, 12000);

    Bytes p = {21, 0, 0xA1, 0xB2};
    le32(p, 3000);
    le32(p, 0x11223344);
    p.push_back(25);
    for (uint8_t i = 0; i < 19; ++i)
        p.push_back(uint8_t(0x40 + i));
    EXPECT_EQ(host_->cmd(0x4D, Bytes(p.begin(), p.end() - 1)), st16(FAILED));
    EXPECT_EQ(sim_.record().secacc_calls, 0);

    Bytes msg;
    le32(msg, 6);
    le32(msg, 0x40);
    le16(msg, 10);
    le16(msg, 10);
    msg = cat(msg, {0, 0, 7, 0xE0, 0x27, 1, 2, 3, 4, 5, 0, 0});
    EXPECT_EQ(host_->cmd(0x4D, cat(p, msg)), st16(OK));
    rec = sim_.record();
    EXPECT_EQ(rec.secacc_calls, 1);
    const vcisim::SecAccRequest &s = rec.secacc;
    EXPECT_EQ(s.channel, 21);
    EXPECT_EQ(s.arg1, 0xA1);
    EXPECT_EQ(s.arg2, 0xB2);
    EXPECT_EQ(s.timeout_ms, 3000u);
    EXPECT_EQ(s.arg32, 0x11223344u);
    EXPECT_EQ(s.byte_count, 25);
    EXPECT_EQ(s.bytes[0], 0x40);
    EXPECT_EQ(s.bytes[18], 0x52);
    ASSERT_TRUE(s.has_msg);
    EXPECT_EQ(s.msg_protocol, 6u);
    EXPECT_EQ(s.msg_tx_flags, 0x40u);
    EXPECT_EQ(s.msg_extra_data_index, 10);
    EXPECT_EQ(s.msg_data, Bytes({0, 0, 7, 0xE0, 0x27, 1, 2, 3, 4, 5}));

    EXPECT_EQ(host_->cmd(0x4D, p), st16(OK));
    EXPECT_FALSE(sim_.record().secacc.has_msg);
}

} // namespace
