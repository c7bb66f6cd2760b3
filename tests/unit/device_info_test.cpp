// Device information operations against the simulator: version, programming voltage,
// marks, status and security access.
#include <gtest/gtest.h>

#include <cstring>

#include "link_fixture.h"

using vcisim::Fault;

namespace {

} // namespace

using DeviceInfo = OpenedLink;

TEST_F(DeviceInfo, VersionText) {
    char fw[80] = "untouched";
    sim.arm(0x49, answer({0, 0, 0x2B, 0x1A, 0xB3, 0x04, 0, 0, 0x59, 0x01, 0, 0}));
    ASSERT_EQ(com->read_version(fw), STATUS_NOERROR);
    EXPECT_STREQ(fw, "FW:1203;HW:00001A2B;SN:345");
    EXPECT_TRUE(logged_prefix("I j0 rd_ver > ver:FW:1203;HW:00001A2B;SN:345 "));

    sim.arm(0x49, answer({0, 0, 0x2B, 0x1A})); // fields the answer lacks read as 0
    ASSERT_EQ(com->read_version(fw), STATUS_NOERROR);
    EXPECT_STREQ(fw, "FW:0;HW:00001A2B;SN:0");

    strcpy(fw, "untouched");
    sim.arm(0x49, status(ERR_NOT_SUPPORTED));
    EXPECT_EQ(com->read_version(fw), ERR_NOT_SUPPORTED);
    EXPECT_STREQ(fw, "untouched");
    EXPECT_TRUE(logged_prefix("E j0 rd_ver > ERR_NOT_SUPPORTED "));
}

TEST_F(DeviceInfo, ProgrammingVoltageSendsSixteenBits) {
    sim.arm(0x53, answer({0, 0}));
    ASSERT_EQ(com->set_programming_voltage(15, 12000), STATUS_NOERROR);
    EXPECT_EQ(last_cmd(), 0x53);
    EXPECT_EQ(last_payload(), (Bytes{0x0F, 0x00, 0xE0, 0x2E}));
    EXPECT_TRUE(logged_prefix("I j0 set_volt pin:15, v:12000 > ok "));

    sim.arm(0x53, answer({0, 0}));
    ASSERT_EQ(com->set_programming_voltage(0x10009, 0xFFFFFFFE), STATUS_NOERROR); // VOLTAGE_OFF
    EXPECT_EQ(last_payload(), (Bytes{0x09, 0x00, 0xFE, 0xFF}));
    EXPECT_TRUE(logged_prefix("I j0 set_volt pin:65545, v:4294967294 > ok "));

    sim.arm(0x53, status(ERR_PIN_IN_USE));
    EXPECT_EQ(com->set_programming_voltage(12, 5000), ERR_PIN_IN_USE);
    EXPECT_TRUE(logged_prefix("E j0 set_volt pin:12, v:5000 > ERR_PIN_IN_USE "));
}

TEST_F(DeviceInfo, MarksRecord) {
    Bytes full = {0, 0, 0xAA, 0xBB};
    for (int i = 0; i < 1024; ++i)
        full.push_back(static_cast<uint8_t>(i * 5));
    mark_t marks;
    sim.arm(0x57, answer(full));
    ASSERT_EQ(com->read_marks(&marks), STATUS_NOERROR);
    EXPECT_EQ(last_cmd(), 0x57);
    EXPECT_TRUE(last_payload().empty());
    EXPECT_EQ(Bytes(marks.data, marks.data + 1024), Bytes(full.begin() + 4, full.end()));
    EXPECT_TRUE(logged_prefix("I j0 rd_mask > ok "));

    // A shorter answer: what it lacks reads as 0.
    memset(marks.data, 0xCC, sizeof marks.data);
    sim.arm(0x57, answer({0, 0, 0, 0, 1, 2, 3}));
    ASSERT_EQ(com->read_marks(&marks), STATUS_NOERROR);
    Bytes expected(1024, 0);
    expected[0] = 1;
    expected[1] = 2;
    expected[2] = 3;
    EXPECT_EQ(Bytes(marks.data, marks.data + 1024), expected);

    sim.arm(0x57, status(ERR_NOT_SUPPORTED));
    EXPECT_EQ(com->read_marks(&marks), ERR_NOT_SUPPORTED);
    EXPECT_EQ(marks.data[0], 1);
    EXPECT_TRUE(logged_prefix("E j0 rd_mask > ERR_NOT_SUPPORTED "));

    sim.clear_requests();
    EXPECT_EQ(com->read_marks(nullptr), ERR_NULL_PARAMETER);
    EXPECT_EQ(sim.requests().size(), 0u);
}

TEST_F(DeviceInfo, StatusValues) {
    uint16_t tp = 0;
    uint32_t mem = 0, mv = 0;
    Bytes reply = {0, 0, 3, 0, 0x00, 0x10, 0, 0, 0x6A, 0x31, 0, 0}; // 4096, 12650 mV
    sim.arm(0x4C, answer(reply));
    ASSERT_EQ(com->dev_status(0x102, &tp, &mem, &mv), STATUS_NOERROR);
    EXPECT_EQ(last_cmd(), 0x4C);
    EXPECT_EQ(last_payload(), (Bytes{0x02, 0x01}));
    EXPECT_EQ(tp, 3u);
    EXPECT_EQ(mem, 4096u);
    EXPECT_EQ(mv, 12650u);
    EXPECT_TRUE(logged_prefix("I j0 status > tp:3 mem:4096 bat_v:12.6 "));

    sim.arm(0x4C, answer(reply));
    EXPECT_EQ(com->dev_status(1, nullptr, nullptr, nullptr), STATUS_NOERROR);

    sim.arm(0x4C, answer({0, 0, 7, 0}));
    ASSERT_EQ(com->dev_status(1, &tp, &mem, &mv), STATUS_NOERROR);
    EXPECT_EQ(tp, 7u);
    EXPECT_EQ(mem, 0u);
    EXPECT_EQ(mv, 0u);
    EXPECT_TRUE(logged_prefix("I j0 status > tp:7 mem:0 bat_v:0.0 "));

    sim.arm(0x4C, status(ERR_INVALID_CHANNEL_ID));
    EXPECT_EQ(com->dev_status(1, &tp, &mem, &mv), ERR_INVALID_CHANNEL_ID);
    EXPECT_EQ(tp, 7u);
    EXPECT_TRUE(logged_prefix("E j0 status > ERR_INVALID_CHANNEL_ID "));
}

TEST_F(DeviceInfo, SecurityAccessPayload) {
    Bytes key;
    for (uint8_t i = 1; i <= 25; ++i)
        key.push_back(i);
    sim.arm(0x4D, answer({0, 0}));
    ASSERT_EQ(com->secacc(3, nullptr, 0x11223344, key.data(), 25, 0xA1, 0xB2, 300), STATUS_NOERROR);
    Bytes expected = {3, 0, 0xA1, 0xB2, 0x2C, 0x01, 0, 0, 0x44, 0x33, 0x22, 0x11, 25};
    expected.insert(expected.end(), key.begin(), key.begin() + 19);
    EXPECT_EQ(last_cmd(), 0x4D);
    EXPECT_EQ(last_payload(), expected); // 32 bytes: 19 of the 25 copied, the count kept
    EXPECT_TRUE(logged_prefix("I j0 SecAcc > OK "));

    // A byte count without bytes is sent as given, the string area stays 0.
    sim.arm(0x4D, answer({0, 0}));
    ASSERT_EQ(com->secacc(3, nullptr, 0, nullptr, 5, 0, 0, 0), STATUS_NOERROR);
    Bytes zeros(32, 0);
    zeros[0] = 3;
    zeros[12] = 5;
    EXPECT_EQ(last_payload(), zeros);

    pt_msg_t msg{};
    msg.ProtocolID = ISO15765;
    msg.TxFlags = 0x40;
    msg.DataSize = 10;
    msg.ExtraDataIndex = 0x20007;
    for (uint8_t i = 0; i < 10; ++i)
        msg.Data[i] = static_cast<uint8_t>(0xD0 + i);
    msg.Data[10] = 0x77; // beyond DataSize: never sent
    sim.arm(0x4D, answer({0, 0}));
    ASSERT_EQ(com->secacc(3, &msg, 0, nullptr, 0, 0, 0, 0), STATUS_NOERROR);
    Bytes p = last_payload();
    ASSERT_EQ(p.size(), 56u);
    Bytes record = {0x06, 0, 0, 0, 0x40, 0, 0, 0, 10, 0, 0x07, 0x00};
    for (uint8_t i = 0; i < 10; ++i)
        record.push_back(static_cast<uint8_t>(0xD0 + i));
    record.insert(record.end(), 2, 0);
    EXPECT_EQ(Bytes(p.begin() + 32, p.end()), record);

    msg.DataSize = 0; // an empty message is left out
    sim.arm(0x4D, answer({0, 0}));
    ASSERT_EQ(com->secacc(3, &msg, 0, nullptr, 0, 0, 0, 0), STATUS_NOERROR);
    EXPECT_EQ(last_payload().size(), 32u);

    msg.DataSize = 4128;
    sim.arm(0x4D, answer({0, 0}));
    ASSERT_EQ(com->secacc(3, &msg, 0, nullptr, 0, 0, 0, 0), STATUS_NOERROR);
    EXPECT_EQ(last_payload().size(), 32u + 4128 + 16);

    sim.arm(0x4D, status(0x503));
    EXPECT_EQ(com->secacc(3, nullptr, 0, nullptr, 0, 0, 0, 0), 0x503);
    EXPECT_TRUE(logged_prefix("E j0 SecAcc > J2534_EXT_ERR_SECACC_LEN "));
}

TEST_F(DeviceInfo, OversizedSecurityAccessMessageIsRefused) {
    pt_msg_t msg{};
    msg.DataSize = 4129;
    EXPECT_EQ(com->secacc(1, &msg, 0, nullptr, 0, 0, 0, 0), ERR_INVALID_MSG);
    EXPECT_EQ(last_error(), "ERR_INVALID_MSG");
    EXPECT_TRUE(logged("E j0 SecAcc > ERR_INVALID_MSG 0ms"));
    msg.DataSize = 0xFFFFFFFF;
    EXPECT_EQ(com->secacc(1, &msg, 0, nullptr, 0, 0, 0, 0), ERR_INVALID_MSG);
    EXPECT_EQ(sim.requests().size(), 0u);
}

TEST_F(DeviceInfo, SecurityAccessWaitsForTheCallersTimeOutToo) {
    sim.arm(0x4D, answer({0, 0}, 1200));
    EXPECT_EQ(com->secacc(1, nullptr, 0, nullptr, 0, 0, 0, 500), STATUS_NOERROR);
    sim.arm(0x4D, answer({0, 0}, 1200));
    EXPECT_EQ(com->secacc(1, nullptr, 0, nullptr, 0, 0, 0, 0), ERR_DEVICE_NOT_CONNECTED);
}
