// Ioctl against the simulator with shaped answers: request bytes, outputs, log lines,
// argument checks and answers that are refused.
#include <gtest/gtest.h>

#include <cstring>

#include "link_fixture.h"

using vcisim::Fault;

namespace {

// The 8-byte ioctl header of a request, or of an answer (status word, 2 unread bytes, count).
Bytes header(uint16_t first, uint16_t second, uint32_t count) {
    Bytes b;
    put16(b, first);
    put16(b, second);
    put32(b, count);
    return b;
}

Bytes cat(Bytes a, const Bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes u32s(std::initializer_list<uint32_t> values) {
    Bytes b;
    for (uint32_t v : values)
        put32(b, v);
    return b;
}

Fault ok_answer() {
    return answer(header(0, 0, 0));
}

} // namespace

using Ioctl = OpenedLink;

TEST_F(Ioctl, ConfigPairsTravelBothWays) {
    SCONFIG pairs[2] = {{DATA_RATE, 0}, {LOOPBACK, 9}};
    SCONFIG_LIST list = {2, pairs};
    sim.arm(0x4A, answer(cat(header(0, 0, 2), u32s({DATA_RATE, 500000, LOOPBACK, 0}))));
    ASSERT_EQ(com->ioctl(3, GET_CONFIG, &list, nullptr), STATUS_NOERROR);
    EXPECT_EQ(last_payload(), cat(header(3, GET_CONFIG, 2), u32s({DATA_RATE, 0, LOOPBACK, 9})));
    EXPECT_EQ(pairs[0].Value, 500000u);
    EXPECT_EQ(pairs[1].Value, 0u);
    EXPECT_EQ(list.NumOfParams, 2u);
    EXPECT_TRUE(logged_prefix("I j0 io 3 GET_CONFIG > DATA_RATE:500000|LOOPBACK:0 "));

    // The answer's parameter is copied too; unnamed parameters show in hexadecimal.
    SCONFIG one[1] = {{0x7777, 0}};
    SCONFIG_LIST single = {1, one};
    sim.arm(0x4A, answer(cat(header(0, 0, 1), u32s({0x7778, 5}))));
    ASSERT_EQ(com->ioctl(3, GET_CONFIG, &single, nullptr), STATUS_NOERROR);
    EXPECT_EQ(one[0].Parameter, 0x7778u);
    EXPECT_TRUE(logged_prefix("I j0 io 3 GET_CONFIG > 0x7778:5 "));

    sim.arm(0x4A, ok_answer());
    ASSERT_EQ(com->ioctl(3, SET_CONFIG, &list, nullptr), STATUS_NOERROR);
    EXPECT_EQ(last_payload(),
              cat(header(3, SET_CONFIG, 2), u32s({DATA_RATE, 500000, LOOPBACK, 0})));
    EXPECT_TRUE(logged_prefix("I j0 io 3 SET_CONFIG DATA_RATE:500000|LOOPBACK:0 > ok "));

    sim.arm(0x4A, status(ERR_INVALID_CHANNEL_ID));
    EXPECT_EQ(com->ioctl(3, SET_CONFIG, &list, nullptr), ERR_INVALID_CHANNEL_ID);
    EXPECT_TRUE(logged_prefix(
        "E j0 io 3 SET_CONFIG DATA_RATE:500000|LOOPBACK:0 > ERR_INVALID_CHANNEL_ID "));

    sim.arm(0x4A, status(ERR_NOT_SUPPORTED));
    EXPECT_EQ(com->ioctl(3, GET_CONFIG, &list, nullptr), ERR_NOT_SUPPORTED);
    EXPECT_TRUE(logged_prefix("E j0 io 3 GET_CONFIG > ERR_NOT_SUPPORTED "));
    EXPECT_EQ(pairs[0].Value, 500000u);
}

TEST_F(Ioctl, ConfigListLimits) {
    std::vector<SCONFIG> pairs(750);
    for (uint32_t i = 0; i < 750; ++i)
        pairs[i] = {i + 1, i * 3};
    SCONFIG_LIST list = {750, pairs.data()};
    EXPECT_EQ(com->ioctl(1, GET_CONFIG, &list, nullptr), ERR_INVALID_IOCTL_VALUE);
    EXPECT_TRUE(logged("E j0 io 1 GET_CONFIG > ERR_INVALID_IOCTL_VALUE (750 > 749)"));
    EXPECT_EQ(com->ioctl(1, SET_CONFIG, &list, nullptr), ERR_INVALID_IOCTL_VALUE);
    EXPECT_TRUE(logged("E j0 io 1 SET_CONFIG > ERR_INVALID_IOCTL_VALUE (750 > 749)"));
    EXPECT_EQ(sim.requests().size(), 0u);

    // 749 pairs fill the payload exactly, and an answer of 749 pairs fits its room.
    list.NumOfParams = 749;
    Bytes back = header(0, 0, 749);
    for (uint32_t i = 0; i < 749; ++i) {
        put32(back, i + 1);
        put32(back, 1000 + i);
    }
    sim.arm(0x4A, answer(back));
    ASSERT_EQ(com->ioctl(1, GET_CONFIG, &list, nullptr), STATUS_NOERROR);
    Bytes sent = last_payload();
    ASSERT_EQ(sent.size(), 6000u);
    EXPECT_EQ(Bytes(sent.begin() + 5992, sent.end()), u32s({749, 748 * 3}));
    EXPECT_EQ(pairs[748].Value, 1000u + 748);
}

TEST_F(Ioctl, ShortConfigAnswerIsRefused) {
    SCONFIG pairs[2] = {{DATA_RATE, 1}, {LOOPBACK, 2}};
    SCONFIG_LIST list = {2, pairs};
    sim.arm(0x4A, answer(cat(header(0, 0, 2), u32s({DATA_RATE, 500000}))));
    EXPECT_EQ(com->ioctl(1, GET_CONFIG, &list, nullptr), ERR_FAILED);
    EXPECT_EQ(last_error(), "GET_CONFIG: answer too short (16 bytes for 2 pairs)");
    EXPECT_TRUE(logged("E j0 GET_CONFIG: answer too short (16 bytes for 2 pairs)"));
    EXPECT_EQ(pairs[0].Value, 1u);
    EXPECT_EQ(pairs[1].Value, 2u);
}

TEST_F(Ioctl, BatteryVoltageIsCutToOneDecimal) {
    struct Row {
        uint32_t mv;
        const char *text;
    };
    const Row rows[] = {{12345, "v:12.3 "},
                        {12999, "v:12.9 "},
                        {13000, "v:13.0 "},
                        {950, "v:0.9 "},
                        {99, "v:0.0 "}};
    for (const Row &row : rows) {
        uint32_t mv = 0;
        sim.arm(0x4A, answer(cat(header(0, 0, 1), u32s({row.mv}))));
        ASSERT_EQ(com->ioctl(1, READ_VBATT, nullptr, &mv), STATUS_NOERROR);
        EXPECT_EQ(mv, row.mv);
        EXPECT_EQ(last_payload(), header(1, READ_VBATT, 0));
        EXPECT_TRUE(logged_prefix(std::string("I j0 io 1 READ_VBATT > ") + row.text)) << row.text;
    }

    uint32_t mv = 77;
    sim.arm(0x4A, answer(cat(header(0, 0, 1), Bytes{0x39, 0x30})));
    EXPECT_EQ(com->ioctl(1, READ_VBATT, nullptr, &mv), ERR_FAILED);
    EXPECT_EQ(last_error(), "READ_VBATT: answer too short (10 bytes)");
    EXPECT_EQ(mv, 77u);

    sim.arm(0x4A, status(ERR_NOT_SUPPORTED));
    EXPECT_EQ(com->ioctl(1, READ_VBATT, nullptr, &mv), ERR_NOT_SUPPORTED);
    EXPECT_TRUE(logged_prefix("E j0 io 1 READ_VBATT > ERR_NOT_SUPPORTED "));
    EXPECT_EQ(mv, 77u);
}

TEST_F(Ioctl, OnlyPin16VoltageIsRead) {
    uint32_t pin = 16;
    uint32_t mv = 0;
    sim.arm(0x4A, answer(cat(header(0, 0, 1), u32s({12345}))));
    ASSERT_EQ(com->ioctl(2, READ_J1962PIN_VOLTAGE, &pin, &mv), STATUS_NOERROR);
    EXPECT_EQ(last_payload(), header(2, READ_VBATT, 0));
    EXPECT_EQ(mv, 12345u);
    EXPECT_TRUE(logged_prefix("I j0 io 2 READ_J1962PIN_VOLTAGE > v:12.3 "));

    sim.clear_requests();
    for (uint32_t other : {0u, 1u, 4u, 5u, 15u, 17u}) {
        pin = other;
        mv = 5;
        EXPECT_EQ(com->ioctl(2, READ_J1962PIN_VOLTAGE, &pin, &mv), ERR_PIN_NOT_SUPPORTED) << other;
        EXPECT_EQ(mv, 5u);
    }
    EXPECT_EQ(sim.requests().size(), 0u);
    EXPECT_EQ(last_error(), "ERR_PIN_NOT_SUPPORTED");
    EXPECT_TRUE(logged("E j0 io 2 READ_J1962PIN_VOLTAGE > ERR_PIN_INVALID"));
}

TEST_F(Ioctl, ArgumentErrorsSendNothing) {
    uint32_t word = 16;
    uint8_t byte = 1;
    SCONFIG pair{DATA_RATE, 1};
    SPARAM param{1, 0, 0};
    SBYTE_ARRAY bytes = {1, &byte};
    SBYTE_ARRAY no_data = {1, nullptr};
    SBYTE_ARRAY empty = {0, &byte};
    SBYTE_ARRAY out = {2, &byte};
    SPARAM_LIST no_params = {0, &param};
    SPARAM_LIST null_params = {3, nullptr};
    struct Row {
        uint32_t id;
        void *input;
        void *output;
        int32_t status;
        const char *line;
    };
    const Row rows[] = {
        {GET_CONFIG, nullptr, nullptr, ERR_NULL_PARAMETER,
         "E j0 io 4 GET_CONFIG > ERR_NULL_PARAMETER"},
        {SET_CONFIG, nullptr, nullptr, ERR_NULL_PARAMETER,
         "E j0 io 4 SET_CONFIG > ERR_NULL_PARAMETER"},
        {READ_VBATT, nullptr, nullptr, ERR_NULL_PARAMETER,
         "E j0 io 4 READ_VBATT > ERR_NULL_PARAMETER"},
        {READ_J1962PIN_VOLTAGE, nullptr, &word, ERR_NULL_PARAMETER,
         "E j0 io 4 READ_J1962PIN_VOLTAGE > ERR_NULL_PARAMETER"},
        {READ_J1962PIN_VOLTAGE, &word, nullptr, ERR_NULL_PARAMETER,
         "E j0 io 4 READ_J1962PIN_VOLTAGE > ERR_NULL_PARAMETER"},
        {FIVE_BAUD_INIT, nullptr, &out, ERR_NULL_PARAMETER,
         "E j0 io 4 FIVE_BAUD_INIT > ERR_NULL_PARAMETER"},
        {FIVE_BAUD_INIT, &bytes, nullptr, ERR_NULL_PARAMETER,
         "E j0 io 4 FIVE_BAUD_INIT > ERR_NULL_PARAMETER"},
        {FIVE_BAUD_INIT, &no_data, &out, ERR_NULL_PARAMETER,
         "E j0 io 4 FIVE_BAUD_INIT > ERR_NULL_PARAMETER"},
        {SET_POLL_RESPONSE, nullptr, nullptr, ERR_NULL_PARAMETER,
         "E j0 io 4 SET_POLL_RESPONSE > ERR_NULL_PARAMETER"},
        {PROTECT_J1939_ADDR, &no_data, nullptr, ERR_INVALID_IOCTL_VALUE,
         "E j0 io 4 PROTECT_J1939_ADDR > ERR_INVALID_IOCTL_VALUE (1 байт)"},
        {REQUEST_CONNECTION, &empty, nullptr, ERR_INVALID_IOCTL_VALUE,
         "E j0 io 4 REQUEST_CONNECTION > ERR_INVALID_IOCTL_VALUE (0 байт)"},
        {BECOME_MASTER, nullptr, nullptr, ERR_NULL_PARAMETER,
         "E j0 io 4 BECOME_MASTER > ERR_NULL_PARAMETER"},
        {GET_DEVICE_INFO, nullptr, nullptr, ERR_NULL_PARAMETER,
         "E j0 io 4 GET_DEVICE_INFO > ERR_NULL_PARAMETER"},
        {GET_DEVICE_INFO, &no_params, nullptr, ERR_NULL_PARAMETER,
         "E j0 io 4 GET_DEVICE_INFO > ERR_NULL_PARAMETER"},
        {GET_PROTOCOL_INFO, &null_params, nullptr, ERR_NULL_PARAMETER,
         "E j0 io 4 GET_PROTOCOL_INFO > ERR_NULL_PARAMETER"},
        {ISO13400_GET_INFO, nullptr, nullptr, ERR_NULL_PARAMETER,
         "E j0 io 4 ISO13400_GET_INFO > ERR_NULL_PARAMETER"},
        {HSFZ_GET_INFO, nullptr, nullptr, ERR_NULL_PARAMETER,
         "E j0 io 4 HSFZ_GET_INFO > ERR_NULL_PARAMETER"},
    };
    for (const Row &row : rows) {
        EXPECT_EQ(com->ioctl(4, row.id, row.input, row.output), row.status) << row.line;
        EXPECT_TRUE(logged(row.line)) << row.line;
    }
    EXPECT_EQ(sim.requests().size(), 0u);

    // An empty configuration list is refused without a line and leaves the last error alone.
    SCONFIG_LIST none = {0, &pair};
    SCONFIG_LIST null_pairs = {1, nullptr};
    com->set_last_err(ERR_BUFFER_FULL);
    size_t lines = log_lines().size();
    EXPECT_EQ(com->ioctl(4, SET_CONFIG, &none, nullptr), ERR_NULL_PARAMETER);
    EXPECT_EQ(com->ioctl(4, GET_CONFIG, &null_pairs, nullptr), ERR_NULL_PARAMETER);
    EXPECT_EQ(log_lines().size(), lines);
    EXPECT_EQ(last_error(), "ERR_BUFFER_FULL");
    EXPECT_EQ(sim.requests().size(), 0u);
}

TEST_F(Ioctl, UnhandledIdentifiersAreRefused) {
    struct Row {
        uint32_t id;
        const char *line;
    };
    const Row rows[] = {
        {0x8004, "E j0 ioctl 8004 > ERR_INVALID_IOCTL_VALUE"},
        {6, "E j0 ioctl 0006 > ERR_INVALID_IOCTL_VALUE"},
        {0, "E j0 ioctl 0000 > ERR_INVALID_IOCTL_VALUE"},
        {ADD_TO_FUNCT_MSG_LOOKUP_TABLE, "E j0 ioctl 000C > ERR_INVALID_IOCTL_VALUE"},
        {BUS_ON, "E j0 ioctl 000F > ERR_INVALID_IOCTL_VALUE"},
        {GET_NDIS_ADAPTER_INFO, "E j0 ioctl 800F > ERR_INVALID_IOCTL_VALUE"},
        {XENTRY_KWP, "E j0 ioctl 10ECB > ERR_INVALID_IOCTL_VALUE"},
        {0x18000,
         "E j0 ioctl 18000 > ERR_INVALID_IOCTL_VALUE"}, // SW_CAN_HS in its lower 16 bits only
    };
    for (const Row &row : rows) {
        EXPECT_EQ(com->ioctl(1, row.id, nullptr, nullptr), ERR_INVALID_IOCTL_VALUE) << row.line;
        EXPECT_TRUE(logged(row.line)) << row.line;
    }
    EXPECT_EQ(last_error(), "ERR_INVALID_IOCTL_VALUE");
    EXPECT_EQ(sim.requests().size(), 0u);
}

TEST_F(Ioctl, HeaderOnlyIoctlsAndTheirLines) {
    struct Row {
        uint32_t id;
        const char *name;
        bool short_line;
    };
    const Row rows[] = {
        {CLEAR_TX_BUFFER, "CLEAR_TX_BUFFER", true},
        {CLEAR_PERIODIC_MSGS, "CLEAR_PERIODIC_MSGS", true},
        {CLEAR_MSG_FILTERS, "CLEAR_MSG_FILTERS", true},
        {CLEAR_FUNCT_MSG_LOOKUP_TABLE, "CLEAR_FUNCT_MSG_LOOKUP_TABLE", true},
        {SW_CAN_HS, "SW_CAN_HS", true},
        {SW_CAN_NS, "SW_CAN_NS", true},
        {ISO13400_TCP, "ISO13400_TCP", false},
        {HSFZ_DISCOVER, "HSFZ_DISCOVER", false},
        {HSFZ_TCP, "HSFZ_TCP", false},
        {ISO13400_DISCOVER, "ISO13400_DISCOVER", false},
        {ISO13400_ROUTING, "ISO13400_ROUTING", false},
    };
    for (const Row &row : rows) {
        sim.arm(0x4A, ok_answer());
        ASSERT_EQ(com->ioctl(7, row.id, nullptr, nullptr), STATUS_NOERROR) << row.name;
        EXPECT_EQ(last_payload(), header(7, static_cast<uint16_t>(row.id), 0)) << row.name;
        EXPECT_TRUE(logged_prefix(std::string("I j0 io 7 ") + row.name + " > ok ")) << row.name;

        sim.arm(0x4A, status(ERR_INVALID_CHANNEL_ID));
        size_t before = log_lines().size();
        EXPECT_EQ(com->ioctl(7, row.id, nullptr, nullptr), ERR_INVALID_CHANNEL_ID) << row.name;
        std::vector<std::string> lines = log_lines();
        ASSERT_EQ(lines.size(), before + 1) << row.name;
        std::string expected =
            row.short_line ? "E j0 ioctl > ERR_INVALID_CHANNEL_ID "
                           : std::string("E j0 io 7 ") + row.name + " > ERR_INVALID_CHANNEL_ID ";
        EXPECT_TRUE(starts_with(lines.back(), expected)) << lines.back();
    }
}

TEST_F(Ioctl, DiscoveryAnswersAnOptionalWord) {
    uint32_t word = 1;
    sim.arm(0x4A, answer(cat(header(0, 0, 1), u32s({0xC0FFEE}))));
    ASSERT_EQ(com->ioctl(1, ISO13400_DISCOVER, nullptr, &word), STATUS_NOERROR);
    EXPECT_EQ(word, 0xC0FFEEu);
    sim.arm(0x4A, answer(header(0, 0, 0))); // no word in the answer
    ASSERT_EQ(com->ioctl(1, ISO13400_ROUTING, nullptr, &word), STATUS_NOERROR);
    EXPECT_EQ(word, 0xC0FFEEu);
    sim.arm(0x4A, answer(cat(header(0, 0, 1), u32s({9}))));
    EXPECT_EQ(com->ioctl(1, ISO13400_ROUTING, nullptr, nullptr), STATUS_NOERROR);
}

TEST_F(Ioctl, ClearRxBufferDropsQueuedFrames) {
    // Three frames of 5 data bytes: each starts (5 & ~3) + 20 = 24 bytes after the previous.
    Bytes block = {0, 0, 3, 0};
    for (uint8_t i = 1; i <= 3; ++i) {
        put32(block, CAN_PS);
        put32(block, 0);
        put32(block, 1000u * i);
        put16(block, 5);
        put16(block, 0);
        Bytes data = {0x00, 0x00, 0x07, 0xE8, i, 0, 0, 0};
        block.insert(block.end(), data.begin(), data.end());
    }
    sim.arm(0x43, answer(block));
    ASSERT_EQ(com->rx_cache_fetch(2, 50, 0), STATUS_NOERROR);
    ASSERT_EQ(com->rx_cache_size(2), 3u);
    pt_msg_t m[4];
    uint32_t n = 1;
    ASSERT_EQ(com->read_msgs(2, m, &n, 100), STATUS_NOERROR); // served from the queue
    ASSERT_EQ(m[0].Data[4], 1);

    sim.arm(0x4A, ok_answer());
    ASSERT_EQ(com->ioctl(2, CLEAR_RX_BUFFER, nullptr, nullptr), STATUS_NOERROR);
    EXPECT_EQ(last_payload(), header(2, CLEAR_RX_BUFFER, 0));
    EXPECT_EQ(com->rx_cache_size(2), 0u);
    EXPECT_TRUE(logged_prefix("I j0 io 2 CLEAR_RX_BUFFER > ok "));

    Fault empty = status(ERR_BUFFER_EMPTY);
    empty.count = 2;
    sim.arm(0x43, empty);
    n = 4;
    EXPECT_EQ(com->read_msgs(2, m, &n, 0), ERR_BUFFER_EMPTY);
    EXPECT_EQ(n, 0u);

    // Channels beyond the queues are forwarded all the same.
    sim.arm(0x4A, ok_answer());
    EXPECT_EQ(com->ioctl(40, CLEAR_RX_BUFFER, nullptr, nullptr), STATUS_NOERROR);
    EXPECT_EQ(last_payload(), header(40, CLEAR_RX_BUFFER, 0));
}

TEST_F(Ioctl, FiveBaudInitReturnsTheKeyBytes) {
    uint8_t address = 0x33;
    SBYTE_ARRAY in = {1, &address};
    uint8_t key[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    SBYTE_ARRAY out = {4, key};
    sim.arm(0x4A, answer(cat(header(0, 0, 2), Bytes{0x55, 0x08, 0x94, 0x6B})));
    ASSERT_EQ(com->ioctl(1, FIVE_BAUD_INIT, &in, &out), STATUS_NOERROR);
    EXPECT_EQ(last_payload(), cat(header(1, FIVE_BAUD_INIT, 1), Bytes{0x33}));
    EXPECT_EQ(out.NumOfBytes, 2u);
    EXPECT_EQ(Bytes(key, key + 4), (Bytes{0x94, 0x6B, 0xEE, 0xEE}));
    EXPECT_TRUE(logged_prefix("I j0 io 1 FIVE_BAUD_INIT > ok "));

    sim.arm(0x4A, status(0x500));
    out.NumOfBytes = 4;
    EXPECT_EQ(com->ioctl(1, FIVE_BAUD_INIT, &in, &out), 0x500);
    EXPECT_TRUE(logged_prefix("E j0 io 1 FIVE_BAUD_INIT > J2534_EXT_ERR_FIVEBAUD_INVADR "));
    EXPECT_EQ(out.NumOfBytes, 4u);

    sim.clear_requests();
    Bytes huge(5993, 0x33);
    SBYTE_ARRAY too_long = {5993, huge.data()};
    EXPECT_EQ(com->ioctl(1, FIVE_BAUD_INIT, &too_long, &out), ERR_INVALID_IOCTL_VALUE);
    EXPECT_TRUE(logged("E j0 io 1 FIVE_BAUD_INIT > ERR_INVALID_IOCTL_VALUE (5993 байт)"));
    EXPECT_EQ(sim.requests().size(), 0u);
}

TEST_F(Ioctl, FastInitRequestAndAnsweredFrame) {
    pt_msg_t in{};
    in.ProtocolID = ISO14230_PS;
    in.TxFlags = 0x40;
    in.DataSize = 5;
    in.ExtraDataIndex = 0x10005;
    Bytes start = {0x81, 0x10, 0xF1, 0x81, 0x03};
    memcpy(in.Data, start.data(), start.size());
    pt_msg_t out{};
    out.TxFlags = 0xABCD;
    out.DataSize = 99;

    Bytes frame = u32s({ISO14230_PS, 0x2, 123456});
    put16(frame, 6);
    put16(frame, 6);
    Bytes reply = {0x83, 0xF1, 0x10, 0xC1, 0xEF, 0x8F};
    sim.arm(0x4A, answer(cat(cat(header(0, 0, 1), frame), reply)));
    ASSERT_EQ(com->ioctl(1, FAST_INIT, &in, &out), STATUS_NOERROR);
    Bytes record = u32s({ISO14230_PS, 0x40});
    put16(record, 5);
    put16(record, 5);
    EXPECT_EQ(last_payload(),
              cat(cat(header(1, FAST_INIT, 1), record), start)); // 25 bytes, no fill
    EXPECT_EQ(out.ProtocolID, ISO14230_PS);
    EXPECT_EQ(out.RxStatus, 2u);
    EXPECT_EQ(out.Timestamp, 123456u);
    EXPECT_EQ(out.DataSize, 6u);
    EXPECT_EQ(out.ExtraDataIndex, 6u);
    EXPECT_EQ(out.TxFlags, 0xABCDu);
    EXPECT_EQ(Bytes(out.Data, out.Data + 6), reply);
    EXPECT_TRUE(logged_prefix("I j0 io 1 FAST_INIT > ok "));

    // Without a message only the header goes; an answer without a frame leaves DataSize 0.
    out.DataSize = 99;
    sim.arm(0x4A, ok_answer());
    ASSERT_EQ(com->ioctl(1, FAST_INIT, nullptr, &out), STATUS_NOERROR);
    EXPECT_EQ(last_payload(), header(1, FAST_INIT, 0));
    EXPECT_EQ(out.DataSize, 0u);

    // A frame but nowhere to put it.
    sim.arm(0x4A, answer(cat(cat(header(0, 0, 1), frame), reply)));
    size_t lines = log_lines().size();
    EXPECT_EQ(com->ioctl(1, FAST_INIT, &in, nullptr), ERR_NULL_PARAMETER);
    EXPECT_EQ(log_lines().size(), lines);

    // Failure: the short line, DataSize already cleared.
    out.DataSize = 99;
    sim.arm(0x4A, status(ERR_INVALID_CHANNEL_ID));
    EXPECT_EQ(com->ioctl(1, FAST_INIT, &in, &out), ERR_INVALID_CHANNEL_ID);
    EXPECT_TRUE(logged_prefix("E j0 ioctl > ERR_INVALID_CHANNEL_ID "));
    EXPECT_EQ(out.DataSize, 0u);

    sim.clear_requests();
    in.DataSize = 261;
    out.DataSize = 99;
    EXPECT_EQ(com->ioctl(1, FAST_INIT, &in, &out), ERR_INVALID_MSG);
    EXPECT_TRUE(logged("E j0 io 1 FAST_INIT > ERR_INVALID_MSG 0ms"));
    EXPECT_EQ(out.DataSize, 99u);
    EXPECT_EQ(sim.requests().size(), 0u);
    in.DataSize = 260;
    sim.arm(0x4A, ok_answer());
    EXPECT_EQ(com->ioctl(1, FAST_INIT, &in, &out), STATUS_NOERROR);
    EXPECT_EQ(last_payload().size(), 280u);
}

TEST_F(Ioctl, FastInitFramesBeyondTheAnswerAreRefused) {
    struct Row {
        uint32_t declared;
        size_t data_bytes;
        const char *error;
    };
    const Row rows[] = {
        {200, 6, "FAST_INIT: bad answer frame (data_size 200, 30 bytes received)"},
        {4129, 4129, "FAST_INIT: bad answer frame (data_size 4129, 4153 bytes received)"},
        {0, 0, "FAST_INIT: bad answer frame (data_size 0, 20 bytes received)"}, // header cut
    };
    for (const Row &row : rows) {
        Bytes frame = u32s({ISO14230_PS, 0, 1});
        put16(frame, row.declared);
        put16(frame, 0);
        if (row.declared == 0) frame.resize(12);
        Bytes payload = cat(header(0, 0, 1), frame);
        payload.insert(payload.end(), row.data_bytes, 0x5A);
        pt_msg_t out{};
        out.DataSize = 99;
        sim.arm(0x4A, answer(payload));
        EXPECT_EQ(com->ioctl(1, FAST_INIT, nullptr, &out), ERR_FAILED) << row.error;
        EXPECT_EQ(last_error(), row.error);
        EXPECT_EQ(out.DataSize, 0u);
    }
}

TEST_F(Ioctl, ByteArrayIoctls) {
    struct Row {
        uint32_t id;
        const char *name;
    };
    const Row rows[] = {{SET_POLL_RESPONSE, "SET_POLL_RESPONSE"},
                        {PROTECT_J1939_ADDR, "PROTECT_J1939_ADDR"},
                        {REQUEST_CONNECTION, "REQUEST_CONNECTION"},
                        {TEARDOWN_CONNECTION, "TEARDOWN_CONNECTION"}};
    Bytes data = {0xF9, 0x00, 0x01};
    SBYTE_ARRAY in = {3, data.data()};
    for (const Row &row : rows) {
        sim.arm(0x4A, ok_answer());
        ASSERT_EQ(com->ioctl(5, row.id, &in, nullptr), STATUS_NOERROR) << row.name;
        EXPECT_EQ(last_payload(), cat(header(5, static_cast<uint16_t>(row.id), 3), data))
            << row.name;
        EXPECT_TRUE(logged_prefix(std::string("I j0 io 5 ") + row.name + " > ok ")) << row.name;
    }
    sim.arm(0x4A, status(ERR_NOT_SUPPORTED));
    EXPECT_EQ(com->ioctl(5, SET_POLL_RESPONSE, &in, nullptr), ERR_NOT_SUPPORTED);
    EXPECT_TRUE(logged_prefix("E j0 ioctl > ERR_NOT_SUPPORTED "));

    Bytes most(5993, 0x42);
    SBYTE_ARRAY big = {5993, most.data()};
    sim.clear_requests();
    EXPECT_EQ(com->ioctl(5, SET_POLL_RESPONSE, &big, nullptr), ERR_INVALID_IOCTL_VALUE);
    EXPECT_TRUE(logged("E j0 io 5 SET_POLL_RESPONSE > ERR_INVALID_IOCTL_VALUE (5993 байт)"));
    EXPECT_EQ(sim.requests().size(), 0u);
    big.NumOfBytes = 5992;
    sim.arm(0x4A, ok_answer());
    ASSERT_EQ(com->ioctl(5, SET_POLL_RESPONSE, &big, nullptr), STATUS_NOERROR);
    EXPECT_EQ(last_payload().size(), 6000u);
    EXPECT_EQ(last_payload().back(), 0x42);

    // FIVE_BAUD_INIT takes the same 5992 bytes at most.
    uint8_t key[2];
    SBYTE_ARRAY out = {2, key};
    sim.arm(0x4A, ok_answer());
    ASSERT_EQ(com->ioctl(5, FIVE_BAUD_INIT, &big, &out), STATUS_NOERROR);
    EXPECT_EQ(last_payload().size(), 6000u);
}

TEST_F(Ioctl, BecomeMasterSendsThePollIdentifier) {
    uint8_t poll_id = 0xA5;
    sim.arm(0x4A, ok_answer());
    ASSERT_EQ(com->ioctl(1, BECOME_MASTER, &poll_id, nullptr), STATUS_NOERROR);
    EXPECT_EQ(last_payload(), cat(header(1, BECOME_MASTER, 1), Bytes{0xA5}));
    EXPECT_TRUE(logged_prefix("I j0 io 1 BECOME_MASTER poll_id:A5 > ok "));
    sim.arm(0x4A, status(ERR_NOT_SUPPORTED));
    EXPECT_EQ(com->ioctl(1, BECOME_MASTER, &poll_id, nullptr), ERR_NOT_SUPPORTED);
    EXPECT_TRUE(logged_prefix("E j0 io 1 BECOME_MASTER poll_id:A5 > ERR_NOT_SUPPORTED "));
}

TEST_F(Ioctl, DeviceAndProtocolInfoRecords) {
    SPARAM params[3] = {{0x01, 0, 0}, {0x10C, 0, 0}, {0x22, 0, 0}};
    SPARAM_LIST list = {3, params};
    Bytes records = u32s({0x01, 5, 1, 0x10C, 0, 0, 0x22, 77, 2});
    sim.arm(0x4A, answer(cat(header(0, 0, 3), records)));
    ASSERT_EQ(com->ioctl(2, GET_DEVICE_INFO, &list, nullptr), STATUS_NOERROR);
    EXPECT_EQ(last_payload(),
              cat(header(2, GET_DEVICE_INFO, 3), u32s({0x01, 0, 0, 0x10C, 0, 0, 0x22, 0, 0})));
    EXPECT_EQ(params[0].Value, 5u);
    EXPECT_EQ(params[0].Supported, 1u);
    EXPECT_EQ(params[2].Value, 77u);
    EXPECT_EQ(params[2].Supported, 2u);
    EXPECT_EQ(list.NumOfParams, 3u);
    EXPECT_TRUE(logged_prefix("I j0 io 2 GET_DEVICE_INFO > 01:5|10C:0(NS)|22:77(NS) "));

    // Fewer records than asked: only those are copied.
    SPARAM fresh[3] = {{0x01, 0, 0}, {0x02, 0, 0}, {0x03, 9, 9}};
    SPARAM_LIST list2 = {3, fresh};
    sim.arm(0x4A, answer(cat(header(0, 0, 2), u32s({0x01, 1, 1, 0x02, 2, 1}))));
    ASSERT_EQ(com->ioctl(2, GET_PROTOCOL_INFO, &list2, nullptr), STATUS_NOERROR);
    EXPECT_EQ(last_payload()[2], 0x0D);
    EXPECT_EQ(fresh[1].Value, 2u);
    EXPECT_EQ(fresh[2].Value, 9u);
    EXPECT_EQ(fresh[2].Supported, 9u);
    EXPECT_TRUE(logged_prefix("I j0 io 2 GET_PROTOCOL_INFO > 01:1|02:2 "));

    sim.arm(0x4A, status(ERR_INVALID_CHANNEL_ID));
    EXPECT_EQ(com->ioctl(2, GET_DEVICE_INFO, &list, nullptr), ERR_INVALID_CHANNEL_ID);
    EXPECT_TRUE(logged_prefix("E j0 io 2 GET_DEVICE_INFO > ERR_INVALID_CHANNEL_ID "));

    std::vector<SPARAM> many(500);
    SPARAM_LIST big = {500, many.data()};
    sim.clear_requests();
    EXPECT_EQ(com->ioctl(2, GET_DEVICE_INFO, &big, nullptr), ERR_INVALID_IOCTL_VALUE);
    EXPECT_TRUE(logged("E j0 io 2 GET_DEVICE_INFO > ERR_INVALID_IOCTL_VALUE (500 > 499)"));
    EXPECT_EQ(sim.requests().size(), 0u);
    big.NumOfParams = 499;
    sim.arm(0x4A, answer(header(0, 0, 0)));
    ASSERT_EQ(com->ioctl(2, GET_DEVICE_INFO, &big, nullptr), STATUS_NOERROR);
    EXPECT_EQ(last_payload().size(), 8u + 499 * 12);
}

TEST_F(Ioctl, TruncatedInfoAnswersAreRefused) {
    SPARAM params[3] = {{0x01, 7, 7}, {0x02, 7, 7}, {0x03, 7, 7}};
    SPARAM_LIST list = {3, params};
    struct Row {
        Bytes answer;
        const char *error;
    };
    const Row rows[] = {
        {cat(header(0, 0, 5), u32s({1, 1, 1, 2, 2, 1})),
         "GET_DEVICE_INFO: ответ обрезан (32 байт на 3 параметров)"},
        {cat(header(0, 0, 1), u32s({1, 1})),
         "GET_DEVICE_INFO: ответ обрезан (16 байт на 1 параметров)"},
        {Bytes{0, 0, 0, 0}, "GET_DEVICE_INFO: ответ обрезан (4 байт на 0 параметров)"},
    };
    for (const Row &row : rows) {
        sim.arm(0x4A, answer(row.answer));
        EXPECT_EQ(com->ioctl(2, GET_DEVICE_INFO, &list, nullptr), ERR_FAILED) << row.error;
        EXPECT_EQ(last_error(), row.error);
        EXPECT_TRUE(logged(std::string("E j0 ") + row.error));
    }
    for (const SPARAM &p : params)
        EXPECT_EQ(p.Value, 7u);
}

TEST_F(Ioctl, InfoRecordsAndTheNeededRoom) {
    Bytes records;
    for (uint8_t i = 0; i < 120; ++i)
        records.push_back(i);
    Bytes buf(200, 0xEE);
    SBYTE_ARRAY out = {80, buf.data()};
    sim.arm(0x4A, answer(cat(header(0, 0, 3), records)));
    EXPECT_EQ(com->ioctl(1, ISO13400_GET_INFO, nullptr, &out), ERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(out.NumOfBytes, 120u);
    EXPECT_EQ(buf[0], 0xEE);
    EXPECT_TRUE(
        logged_prefix("E j0 io 1 ISO13400_GET_INFO > ERR_BUFFER_TOO_SMALL (need 120 bytes) "));

    // Repeated with the size it reported.
    sim.arm(0x4A, answer(cat(header(0, 0, 3), records)));
    ASSERT_EQ(com->ioctl(1, ISO13400_GET_INFO, nullptr, &out), STATUS_NOERROR);
    EXPECT_EQ(last_payload(), header(1, ISO13400_GET_INFO, 0));
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 120), records);
    EXPECT_EQ(buf[120], 0xEE);
    EXPECT_TRUE(logged_prefix("I j0 io 1 ISO13400_GET_INFO > count:3 "));

    out = {200, nullptr};
    sim.arm(0x4A, answer(cat(header(0, 0, 2), Bytes(16, 1))));
    EXPECT_EQ(com->ioctl(1, HSFZ_GET_INFO, nullptr, &out), ERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(out.NumOfBytes, 16u);
    out = {16, buf.data()};
    sim.arm(0x4A, answer(cat(header(0, 0, 2), Bytes(16, 1))));
    ASSERT_EQ(com->ioctl(1, HSFZ_GET_INFO, nullptr, &out), STATUS_NOERROR);
    EXPECT_EQ(buf[15], 1);
    EXPECT_TRUE(logged_prefix("I j0 io 1 HSFZ_GET_INFO > count:2 "));

    // A count beyond the answer is refused before anything is copied or reported.
    struct Row {
        uint32_t id;
        uint32_t count;
        size_t data_bytes;
        const char *error;
    };
    const Row rows[] = {
        {ISO13400_GET_INFO, 5, 120,
         "ISO13400_GET_INFO: answer too short (128 bytes for 5 records)"},
        {ISO13400_GET_INFO, 0x08000000, 40,
         "ISO13400_GET_INFO: answer too short (48 bytes for 134217728 records)"},
        {HSFZ_GET_INFO, 0x40000000, 0,
         "HSFZ_GET_INFO: answer too short (8 bytes for 1073741824 records)"},
    };
    for (const Row &row : rows) {
        std::fill(buf.begin(), buf.end(), 0xEE);
        out = {200, buf.data()};
        sim.arm(0x4A, answer(cat(header(0, 0, row.count), Bytes(row.data_bytes, 3))));
        EXPECT_EQ(com->ioctl(1, row.id, nullptr, &out), ERR_FAILED) << row.error;
        EXPECT_EQ(last_error(), row.error);
        EXPECT_EQ(out.NumOfBytes, 200u);
        EXPECT_EQ(buf[0], 0xEE);
    }
}

TEST_F(Ioctl, SlowIoctlsWaitLonger) {
    // Answers 1100 ms late: past the link's 1000 ms, inside the longer time-outs.
    uint8_t byte = 0x33;
    SBYTE_ARRAY bytes = {1, &byte};
    uint8_t key[2];
    SBYTE_ARRAY key_out = {2, key};
    struct Row {
        uint32_t id;
        void *input;
        void *output;
    };
    const Row rows[] = {
        {FAST_INIT, nullptr, nullptr},
        {FIVE_BAUD_INIT, &bytes, &key_out},
        {ISO13400_DISCOVER, nullptr, nullptr},
        {HSFZ_TCP, nullptr, nullptr},
    };
    for (const Row &row : rows) {
        sim.arm(0x4A, answer(header(0, 0, 0), 1100));
        EXPECT_EQ(com->ioctl(1, row.id, row.input, row.output), STATUS_NOERROR) << row.id;
    }
    sim.arm(0x4A, answer(header(0, 0, 0), 1100));
    EXPECT_EQ(com->ioctl(1, CLEAR_TX_BUFFER, nullptr, nullptr), ERR_DEVICE_NOT_CONNECTED);
}
