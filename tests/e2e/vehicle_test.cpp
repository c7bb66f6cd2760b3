// End to end through the real shared object: an ISO 15765 request to the simulated ECU.
#include <gtest/gtest.h>

#include <cstring>
#include <j2534vk/j2534vk.h>
#include <string>

#include "test_support.h"
#include "vci_sim.h"

namespace {

pt_msg_t iso_msg(const std::vector<uint8_t> &data, uint32_t flags = 0) {
    pt_msg_t m;
    memset(&m, 0, sizeof m);
    m.ProtocolID = ISO15765;
    m.TxFlags = flags;
    m.DataSize = static_cast<uint32_t>(data.size());
    memcpy(m.Data, data.data(), data.size());
    return m;
}

} // namespace

class Vehicle : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string addr = testsupport::unique_loopback();
        vcisim::DeviceState st = sim.state();
        st.first_channel = 20; // above the library's 17 receive queues at first
        sim.set_state(st);
        ASSERT_TRUE(sim.start(addr));
        name = "vk0;n" + addr;
        ASSERT_EQ(PassThruOpen(&name[0], &dev), STATUS_NOERROR);
    }
    void TearDown() override {
        PassThruClose(dev);
        sim.stop();
    }

    vcisim::Simulator sim;
    std::string name;
    uint32_t dev = 0;
};

TEST_F(Vehicle, VinReadOverIso15765) {
    vcisim::DeviceState st = sim.state();
    st.first_channel = 2;
    sim.set_state(st);
    uint32_t chan = 0;
    ASSERT_EQ(PassThruConnect(dev, ISO15765, 0, 500000, &chan), STATUS_NOERROR);
    EXPECT_EQ(chan >> 16, dev);

    pt_msg_t mask = iso_msg({0xFF, 0xFF, 0xFF, 0xFF});
    pt_msg_t pattern = iso_msg({0x00, 0x00, 0x07, 0xE8});
    pt_msg_t fc = iso_msg({0x00, 0x00, 0x07, 0xE0});
    uint32_t filter = 0;
    ASSERT_EQ(PassThruStartMsgFilter(chan, FLOW_CONTROL_FILTER, &mask, &pattern, &fc, &filter), STATUS_NOERROR);
    EXPECT_EQ(filter, 1u);

    pt_msg_t req = iso_msg({0x00, 0x00, 0x07, 0xE0, 0x22, 0xF1, 0x90});
    uint32_t n = 1;
    ASSERT_EQ(PassThruWriteMsgs(chan, &req, &n, 100), STATUS_NOERROR);
    EXPECT_EQ(n, 1u);

    pt_msg_t a;
    n = 1;
    ASSERT_EQ(PassThruReadMsgs(chan, &a, &n, 500), STATUS_NOERROR);
    ASSERT_EQ(n, 1u);
    ASSERT_EQ(a.DataSize, 4u + 3u + 17u);
    EXPECT_EQ(std::vector<uint8_t>(a.Data, a.Data + 7), (std::vector<uint8_t>{0x00, 0x00, 0x07, 0xE8, 0x62, 0xF1, 0x90}));
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(a.Data + 7), 17), st.vin);

    EXPECT_EQ(PassThruStopMsgFilter(chan, filter), STATUS_NOERROR);
    EXPECT_EQ(PassThruDisconnect(chan), STATUS_NOERROR);
    EXPECT_EQ(PassThruDisconnect(chan), ERR_INVALID_CHANNEL_ID);
}

TEST_F(Vehicle, ChannelsAboveSixteenConnectButCannotBeRead) {
    uint32_t chan = 0;
    ASSERT_EQ(PassThruConnect(dev, CAN, 0, 500000, &chan), STATUS_NOERROR);
    EXPECT_EQ(chan & 0xFFFF, 20u);
    pt_msg_t m;
    uint32_t n = 1;
    EXPECT_EQ(PassThruReadMsgs(chan, &m, &n, 0), ERR_INVALID_CHANNEL_ID);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(PassThruDisconnect(chan), STATUS_NOERROR);
}

TEST_F(Vehicle, PeriodicMessagesRepeatOnTheBus) {
    vcisim::DeviceState st = sim.state();
    st.first_channel = 1;
    st.loopback = true;
    sim.set_state(st);
    uint32_t chan = 0;
    ASSERT_EQ(PassThruConnect(dev, CAN, 0, 500000, &chan), STATUS_NOERROR);
    pt_msg_t mask{}, pattern{};
    mask.ProtocolID = pattern.ProtocolID = CAN;
    mask.DataSize = pattern.DataSize = 4;
    uint32_t filter = 0;
    ASSERT_EQ(PassThruStartMsgFilter(chan, PASS_FILTER, &mask, &pattern, nullptr, &filter), STATUS_NOERROR);

    pt_msg_t tick{};
    tick.ProtocolID = CAN;
    tick.DataSize = 6;
    uint8_t d[6] = {0x00, 0x00, 0x01, 0x23, 0xAA, 0x55};
    memcpy(tick.Data, d, sizeof d);
    uint32_t id = 0;
    ASSERT_EQ(PassThruStartPeriodicMsg(chan, &tick, &id, 20), STATUS_NOERROR);
    pt_msg_t got[3];
    uint32_t n = 3;
    ASSERT_EQ(PassThruReadMsgs(chan, got, &n, 1000), STATUS_NOERROR);
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(got[0].DataSize, 6u);
    EXPECT_EQ(got[0].Data[5], 0x55);
    EXPECT_GT(got[1].Timestamp, got[0].Timestamp);
    EXPECT_EQ(PassThruStopPeriodicMsg(chan, id), STATUS_NOERROR);
    EXPECT_EQ(PassThruStopPeriodicMsg(chan, id), ERR_INVALID_MSG_ID);
}
