// Names of J2534 values and message lines for the log.
#include "log/j2534_log_fmt.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

struct name_case {
    uint32_t value;
    const char *text;
};

TEST(LogFmtNames, Protocols) {
    const name_case cases[] = {
        {1, "J1850VPW"},
        {6, "ISO15765"},
        {10, "SCI_B_TRANS"},
        {0x200, "ISO15765_LOGICAL"},
        {0x800A, "UART_ECHO_BYTE_PS"},
        {0x8013, "ETHERNET_NDIS"},
        {0x8FFC, "HSFZ_PS"},
        {0x8FFF, "NISSAN"},
        {0xC000, "ANALOG_IN_1"},
        {0xC005, "ANALOG_IN_6"},
        {0xC01F, "ANALOG_IN_32"},
        {0xC020, "unknown"},
        {0xBFFF, "unknown"},
        {0, "unknown"},
        {11, "unknown"},
        {0x8014, "unknown"},
        {0x9000, "unknown"},
        {0x9280, "unknown"},
    };
    for (const name_case &c : cases) {
        char buf[PROT_NAME_SIZE];
        EXPECT_STREQ(prot_to_string(buf, sizeof buf, c.value), c.text) << std::hex << c.value;
    }
}

TEST(LogFmtNames, Ioctls) {
    const name_case cases[] = {
        {1, "GET_CONFIG"},
        {11, "CLEAR_FUNCT_MSG_LOOKUP_TABLE"},
        {13, "DELETE_FROM_FUNCT_MSG_LOOKUP_TABLE"},
        {15, "BUS_ON"},
        {0x8000, "SW_CAN_HS"},
        {0x800F, "GET_NDIS_ADAPTER_INFO"},
        {0x8113, "ISO13400_ROUTING"},
        {0x8212, "HSFZ_TCP"},
        {0x10ECB, "XENTRY_KWP"},
        {0, "unknown"},
        {6, "unknown"},
        {16, "unknown"},
        {0x8010, "unknown"},
    };
    for (const name_case &c : cases) {
        char buf[IOCTL_NAME_SIZE];
        EXPECT_STREQ(ioctl_to_string(buf, sizeof buf, c.value), c.text) << std::hex << c.value;
    }
}

TEST(LogFmtNames, Parameters) {
    const name_case cases[] = {
        {0x01, "DATA_RATE"},
        {0x21, "FIVE_BAUD_MOD"},
        {0x31, "ECHO_PHYSICAL_CHANNEL_TX"},
        {0x8011, "SW_CAN_SPEEDCHANGE_ENABLE"},
        {0x804B, "TP2_0_T_Wait"},
        {0x804E, "TP2_0_IDENTIFER"},
        {0x805C, "FD_CAN_DATA_PHASE_RATE"},
        {0x8206, "HSFZ_T_DIAG_MSG"},
        {0x10003, "ISO15765_FS"},
        {0x00, "0x0"},
        {0x02, "0x2"},
        {0x32, "0x32"},
        {0x8050, "0x8050"},
        {0x8204, "0x8204"},
        {0xFFFFFFFF, "0xFFFFFFFF"},
    };
    for (const name_case &c : cases) {
        char buf[PARAM_NAME_SIZE];
        EXPECT_STREQ(ioctl_param_to_string(buf, sizeof buf, c.value), c.text)
            << std::hex << c.value;
    }
}

// Every identifier up to 0x20000 fits its documented buffer, and exactly 109
// parameters have a name.
TEST(LogFmtNames, LongestNamesFitTheirBuffers) {
    size_t longest_prot = 0, longest_ioctl = 0, longest_param = 0;
    int named_params = 0;
    for (uint32_t v = 0; v < 0x20000; v++) {
        char buf[256];
        longest_prot = std::max(longest_prot, strlen(prot_to_string(buf, sizeof buf, v)));
        longest_ioctl = std::max(longest_ioctl, strlen(ioctl_to_string(buf, sizeof buf, v)));
        ioctl_param_to_string(buf, sizeof buf, v);
        if (strncmp(buf, "0x", 2) != 0) {
            named_params++;
            longest_param = std::max(longest_param, strlen(buf));
        }
    }
    EXPECT_EQ(longest_prot, 17u);
    EXPECT_EQ(longest_ioctl, 34u);
    EXPECT_EQ(longest_param, 26u);
    EXPECT_LT(longest_prot, PROT_NAME_SIZE);
    EXPECT_LT(longest_ioctl, IOCTL_NAME_SIZE);
    EXPECT_LT(longest_param, PARAM_NAME_SIZE);
    EXPECT_EQ(named_params, 109);
}

TEST(LogFmtFamilies, ProtocolSets) {
    struct family_case {
        uint32_t protocol;
        bool iso15765, can_id, can_frame;
    };
    const family_case cases[] = {
        {1, false, false, false},      {5, false, true, true},        {6, true, true, true},
        {0x200, true, true, false},    {0x8004, false, true, true},   {0x8005, true, true, true},
        {0x8007, true, true, false},   {0x8008, false, true, false},  {0x800C, false, true, false},
        {0x800D, false, false, false}, {0x800E, false, true, false},  {0x800F, false, true, true},
        {0x8010, true, true, true},    {0x8011, false, true, true},   {0x8012, true, true, true},
        {0x8013, false, false, false}, {0x8FFE, false, true, false},  {0x8FFF, false, false, false},
        {0x9000, false, true, false},  {0x907F, false, true, false},  {0x9080, false, false, false},
        {0x927F, false, false, false}, {0x9280, true, true, false},   {0x92FF, true, true, false},
        {0x9300, false, true, false},  {0x9480, false, true, false},  {0x94FF, false, true, false},
        {0x9500, true, true, false},   {0x957F, true, true, false},   {0x9580, false, false, false},
        {0x9700, false, true, false},  {0x98FF, false, true, false},  {0x9900, true, true, false},
        {0x997F, true, true, false},   {0x9980, false, false, false}, {0xC000, false, false, false},
    };
    for (const family_case &c : cases) {
        EXPECT_EQ(is_iso15765_family(c.protocol), c.iso15765) << std::hex << c.protocol;
        EXPECT_EQ(has_can_id_in_data(c.protocol), c.can_id) << std::hex << c.protocol;
        EXPECT_EQ(is_can_frame_protocol(c.protocol), c.can_frame) << std::hex << c.protocol;
    }
}

enum flags_kind { CONN, TX, RX };

std::string flags_text(flags_kind kind, uint32_t protocol, uint32_t value) {
    char buf[512];
    switch (kind) {
    case CONN:
        return conn_flags_to_string(buf, sizeof buf, value);
    case TX:
        return txflags_to_string(buf, sizeof buf, protocol, value);
    case RX:
        return rxstat_to_string(buf, sizeof buf, protocol, value);
    }
    return "";
}

TEST(LogFmtFlags, NamesInListOrderPerProtocol) {
    struct flags_case {
        flags_kind kind;
        uint32_t protocol, value;
        const char *text;
    };
    const flags_case cases[] = {
        {CONN, 0, 0x1100, "CAN_29BIT_ID|K_ONLY"},
        {CONN, 0, 0, ""},
        {CONN, 0, 0x20000201, "FULL_DUPLEX|NO_CS|SNIFF"},
        {CONN, 0, 0xFFFFFFFF,
         "FULL_DUPLEX|CAN_29BIT_ID|NO_CS|CAN_ID_BOTH|K_ONLY|NDIS1|NDIS2|SNIFF"},
        {CONN, 0, 0xDFFCE4FE, ""},

        {RX, 6, 0x241, "INT|TX_FAIL|BUF_OVF"},
        {RX, 6, 0, ""},
        {RX, 0x8012, 0x3A0000, "BRS|FD|ESI|LINK_FAULT"},
        {RX, 3, 0x3A0000, ""},
        {RX, 0x8008, 0x70000, "HV|NS|HS"},
        {RX, 0x8007, 0x20000, "HS"},
        {RX, 0x800C, 0x30000, "ADDR_LOST|ADDR_OK"},
        {RX, 0x800D, 0x50001, "INT|PRIO=5"},
        {RX, 0x800D, 0xF0000, "PRIO=?"},
        {RX, 0x800E, 0x30000, "CONN_OK|CONN_LOST"},
        {RX, 0x8FFE, 0x10000, "CONN_OK"},
        {RX, 0xC01F, 0x10000, "OVERFLOW"},
        {RX, 0xC020, 0x10000, ""},
        {RX, 5, 0xFFFFFFFF,
         "INT|RX_START|RX_BREAK|TX_DONE|PAD_ERR|EXT_ADDR|EXT29|TX_FAIL|BUF_OVF|BRS|FD|ESI|"
         "LINK_FAULT"},

        {TX, 0x800D, 0x30000, "PRIO=3"},
        {TX, 0x800D, 0x90000, "PRIO=9"},
        {TX, 0x800D, 0xA0000, "PRIO=?"},
        {TX, 0x800D, 0x10000, "PRIO=1"},
        {TX, 0x800E, 0x10000, "BCAST"},
        {TX, 0x8FFE, 0x10000, "BCAST"},
        {TX, 0x800E, 0x30000, "BCAST"},
        {TX, 6, 0x10000, ""},
        {TX, 6, 0x180040, "PAD|BRS|FD"},
        {TX, 3, 0x180000, ""},
        {TX, 1, 0xC00101, "NO_DONE|EXT29|SCI|SCI_V"},
        {TX, 5, 0xFFFFFFFF,
         "NO_DONE|NO_RESP|7F78_IGN|PAD|PAD_ERR|EXT_ADDR|EXT29|P3_ONLY|HV|BRS|FD|SCI|SCI_V"},
        {TX, 0x800D, 0xFFFFFFFF,
         "NO_DONE|NO_RESP|7F78_IGN|PAD|PAD_ERR|EXT_ADDR|EXT29|P3_ONLY|HV|PRIO=?|SCI|SCI_V"},
    };
    for (const flags_case &c : cases)
        EXPECT_EQ(flags_text(c.kind, c.protocol, c.value), c.text)
            << "kind " << c.kind << " protocol 0x" << std::hex << c.protocol << " value 0x"
            << c.value;
}

// All bits set on every protocol: the longest texts are those documented and
// fit the 128-character buffers the callers use.
TEST(LogFmtFlags, LongestTextsFitTheirBuffers) {
    size_t longest_tx = 0, longest_rx = 0;
    for (uint32_t protocol = 0; protocol < 0x20000; protocol++) {
        longest_tx = std::max(longest_tx, flags_text(TX, protocol, 0xFFFFFFFF).size());
        longest_rx = std::max(longest_rx, flags_text(RX, protocol, 0xFFFFFFFF).size());
    }
    EXPECT_EQ(longest_tx, 79u);
    EXPECT_EQ(longest_rx, 90u);
    EXPECT_LT(longest_tx, FLAGS_TEXT_SIZE);
    EXPECT_LT(longest_rx, FLAGS_TEXT_SIZE);
    EXPECT_EQ(flags_text(CONN, 0, 0xFFFFFFFF).size(), CONN_FLAGS_SIZE - 1);
}

TEST(LogFmtFlags, J1708Priority) {
    const name_case cases[] = {
        {0, ""},
        {0x10000, "PRIO=1"},
        {0x90000, "PRIO=9"},
        {0xA0000, "PRIO=?"},
        {0xF0000, "PRIO=?"},
        {0xFFF0FFFF, ""},
        {0xFFF3FFFF, "PRIO=3"},
    };
    for (const name_case &c : cases) {
        char buf[J1708_PRIO_SIZE];
        EXPECT_STREQ(j1708_prio_str(c.value, buf, sizeof buf), c.text) << std::hex << c.value;
    }
}

TEST(LogFmtFlags, AppendWithSeparator) {
    char buf[8];
    char *pos = buf;
    bool first = true;
    buf[0] = '\0';
    fast_append_with_sep(pos, buf + sizeof buf, first, "");
    EXPECT_TRUE(first);
    fast_append_with_sep(pos, buf + sizeof buf, first, "AB");
    fast_append_with_sep(pos, buf + sizeof buf, first, "CD");
    EXPECT_STREQ(buf, "AB|CD");
    EXPECT_EQ(pos, buf + 5);
    fast_append_with_sep(pos, buf + sizeof buf, first, "EFGH");
    EXPECT_STREQ(buf, "AB|CD|E");
    EXPECT_EQ(pos, buf + 7);
    fast_append_with_sep(pos, buf + sizeof buf, first, "X");
    EXPECT_STREQ(buf, "AB|CD|E");
}

TEST(LogFmtHex, BytesAndCuts) {
    const uint8_t data[] = {0x00, 0xAB, 0x7F, 0x10};
    char buf[16];
    EXPECT_STREQ(tohex(data, 4, buf, sizeof buf), "00AB7F10");
    EXPECT_STREQ(tohex(data, 0, buf, sizeof buf), "");
    EXPECT_STREQ(tohex(nullptr, 4, buf, sizeof buf), "");
    EXPECT_STREQ(tohex(data, 4, buf, 6), "00AB");
    EXPECT_STREQ(tohex(data, 4, buf, 9), "00AB7F10");
}

TEST(LogFmtId, FourFormats) {
    struct id_case {
        uint32_t id, flags;
        uint8_t ext;
        bool has_ext;
        const char *text;
    };
    const id_case cases[] = {
        {0x7E0, 0x180, 0xF1, true, "[000007E0:F1]"},
        {0x7E0, 0x80, 0xF1, true, "[7E0:F1]"},
        {0x7E0, 0x100, 0xF1, false, "[000007E0]"},
        {0x7E0, 0, 0xF1, true, "[7E0]"},
        {0x7E0, 0x80, 0xF1, false, "[7E0]"},
        {0x18DAF110, 0x100, 0, false, "[18DAF110]"},
        {0xFFFFFFFF, 0x80, 0x05, true, "[FFFFFFFF:05]"},
        {0, 0, 0, false, "[0]"},
    };
    for (const id_case &c : cases) {
        char buf[CAN_ID_TEXT_SIZE];
        EXPECT_STREQ(log_can_id(buf, sizeof buf, c.id, c.flags, c.ext, c.has_ext), c.text);
    }
}

TEST(LogFmtTime, SecondsAndMilliseconds) {
    const name_case cases[] = {
        {12345678, "12.345"}, {0, "0.000"},         {999, "0.000"},
        {1000, "0.001"},      {60000000, "60.000"}, {0xFFFFFFFF, "4294.967"},
    };
    for (const name_case &c : cases) {
        char buf[DEV_TIMESTAMP_SIZE];
        EXPECT_STREQ(log_dev_timestamp(buf, sizeof buf, c.value), c.text);
    }
}

pt_msg_t make_msg(uint32_t protocol, std::vector<uint8_t> data) {
    pt_msg_t m{};
    m.ProtocolID = protocol;
    m.DataSize = uint32_t(data.size());
    if (!data.empty()) memcpy(m.Data, data.data(), data.size());
    return m;
}

TEST(LogFmtLine, MessagesAsCallersPrepareThem) {
    struct line_case {
        const char *what;
        pt_msg_t msg;
        bool tx;
        const char *text;
    };
    auto with = [](pt_msg_t m, uint32_t rx, uint32_t txf, uint32_t ts, uint32_t extra) {
        m.RxStatus = rx;
        m.TxFlags = txf;
        m.Timestamp = ts;
        m.ExtraDataIndex = extra;
        return m;
    };
    const pt_msg_t can_req = make_msg(6, {0x00, 0x00, 0x07, 0xE0, 0x02, 0x10, 0x03});
    const pt_msg_t can_ext = make_msg(6, {0x00, 0x00, 0x07, 0xE8, 0xF1, 0x06, 0x50});
    const line_case cases[] = {
        {"tx 11-bit", with(can_req, 0, 0, 0, 0), true, "[7E0]021003 0.000 3"},
        {"tx 29-bit", with(can_req, 0, 0x100, 0, 0), true, "[000007E0]021003 0.000 3 EXT29"},
        {"tx ignores time stamp", with(can_req, 0, 0, 5000000, 0), true, "[7E0]021003 0.000 3"},
        {"tx ext addr from TxFlags", with(can_ext, 0, 0x80, 0, 0), true,
         "[7E8:F1]0650 0.000 2 EXT_ADDR"},
        {"rx ext addr", with(can_ext, 0x80, 0, 12345678, 0), false,
         "[7E8:F1]0650 12.345 2 EXT_ADDR"},
        {"rx TxFlags ext bit is not an ext addr", with(can_ext, 0, 0x80, 0, 0), false,
         "[7E8]F10650 0.000 3 EXT_ADDR"},
        {"rx ext addr with no byte left", with(make_msg(6, {0, 0, 7, 0xE8}), 0x80, 0, 0, 0), false,
         "[7E8] 0.000 0 EXT_ADDR"},
        {"rx J1850 uses ExtraDataIndex", with(make_msg(1, {0x48, 0x6B, 0x10, 0x41}), 0, 0, 1000, 3),
         false, "[3]486B1041 0.001 4"},
        {"rx short CAN keeps ExtraDataIndex", with(make_msg(6, {0xAA, 0xBB, 0xCC}), 0, 0, 0, 0),
         false, "[0]AABBCC 0.000 3"},
        {"rx empty", with(make_msg(5, {}), 0x1, 0, 0, 0), false, "[0] 0.000 0 INT"},
        {"rx J1708 priority in TxFlags",
         with(make_msg(0x800D, {0x80, 0x01}), 0x2, 0x30000, 2000000, 0), false,
         "[0]8001 2.000 2 RX_START|PRIO=3"},
        {"rx 29-bit FD", with(make_msg(0x8011, {0x18, 0xDA, 0xF1, 0x10, 0x01}), 0x180100, 0, 0, 0),
         false, "[18DAF110]01 0.000 1 EXT29|BRS|FD"},
    };
    for (const line_case &c : cases) {
        char buf[MSG_LINE_SIZE];
        EXPECT_STREQ(log_msg_line(buf, sizeof buf, c.msg, c.tx), c.text) << c.what;
    }
}

TEST(LogFmtLine, DataLineArguments) {
    const uint8_t data[] = {0x02, 0x10, 0x03};
    char buf[64];
    EXPECT_STREQ(log_data_line(buf, sizeof buf, 0x7E0, 0x180, 0xF1, true, data, 3, 0, 6, true),
                 "[000007E0:F1]021003 0.000 3 EXT_ADDR|EXT29");
    EXPECT_STREQ(log_data_line(buf, sizeof buf, 0x7E0, 0, 0, false, nullptr, 3, 0, 6, false),
                 "[7E0] 0.000 3");
    EXPECT_STREQ(log_data_line(buf, sizeof buf, 0x7E0, 0x40, 0, false, data, 0, 0, 6, true),
                 "[7E0] 0.000 0 PAD");
    memset(buf, '#', sizeof buf);
    log_data_line(buf, 0, 0x7E0, 0, 0, false, data, 3, 0, 6, true);
    EXPECT_EQ(buf[0], '#');
}

std::string hex_of(const uint8_t *data, size_t n) {
    std::string s;
    char two[3];
    for (size_t i = 0; i < n; i++) {
        snprintf(two, sizeof two, "%02X", data[i]);
        s += two;
    }
    return s;
}

TEST(LogFmtLine, LargestMessageWholeOrCut) {
    pt_msg_t m{};
    m.ProtocolID = 1;
    m.DataSize = PT_MSG_DATA_SIZE;
    for (size_t i = 0; i < PT_MSG_DATA_SIZE; i++)
        m.Data[i] = uint8_t(i * 7);

    std::vector<char> line(MSG_LINE_SIZE);
    log_msg_line(line.data(), line.size(), m, true);
    EXPECT_EQ(std::string(line.data()), "[0]" + hex_of(m.Data, 4128) + " 0.000 4128");

    char small[100];
    log_msg_line(small, sizeof small, m, true);
    EXPECT_EQ(std::string(small), "[0]" + hex_of(m.Data, 42) + " 0.000 4128");

    // Widest identifier, flags and time stamp still fit the caller's line buffer.
    m.ProtocolID = 5;
    m.RxStatus = 0xFFFFFFFF;
    m.TxFlags = 0xFFFFFFFF;
    m.Timestamp = 0xFFFFFFFF;
    log_msg_line(line.data(), line.size(), m, false);
    std::string whole(line.data());
    EXPECT_EQ(whole.substr(0, 13),
              "[" + hex_of(m.Data, 4).substr(0, 8) + ":" + hex_of(m.Data + 4, 1) + "]");
    EXPECT_NE(whole.find(hex_of(m.Data + 5, 4123) + " 4294.967 4123 INT|"), std::string::npos);
    EXPECT_LT(whole.size(), MSG_LINE_SIZE - 1);
}

TEST(LogFmtLine, HostDataSizeBeyondTheArrayIsNotRead) {
    pt_msg_t m{};
    m.ProtocolID = 1;
    m.DataSize = 0xFFFFFFFF;
    std::vector<char> line(3 * PT_MSG_DATA_SIZE);
    log_msg_line(line.data(), line.size(), m, true);
    EXPECT_EQ(std::string(line.data()),
              "[0]" + std::string(2 * PT_MSG_DATA_SIZE, '0') + " 0.000 4294967295");
}

// Every writer, at every buffer size up to its full text: nothing is written at
// or past `size`, the text is NUL-terminated, and (except for message lines,
// which cut the hex part) it is the full text cut short.
TEST(LogFmtBuffers, NeverWritePastSize) {
    static const uint8_t data[] = {0xDE, 0xAD, 0xBE, 0xEF, 0x01, 0x02, 0x03, 0x04};
    struct writer {
        const char *name;
        std::function<void(char *, size_t)> write;
        bool prefix;
    };
    const writer writers[] = {
        {"prot", [](char *b, size_t s) { prot_to_string(b, s, 0x800A); }, true},
        {"analog", [](char *b, size_t s) { prot_to_string(b, s, 0xC01F); }, true},
        {"ioctl", [](char *b, size_t s) { ioctl_to_string(b, s, 13); }, true},
        {"param", [](char *b, size_t s) { ioctl_param_to_string(b, s, 0x8011); }, true},
        {"param hex", [](char *b, size_t s) { ioctl_param_to_string(b, s, 0xABCDEF); }, true},
        {"conn", [](char *b, size_t s) { conn_flags_to_string(b, s, 0xFFFFFFFF); }, true},
        {"tx", [](char *b, size_t s) { txflags_to_string(b, s, 0x800D, 0xFFFFFFFF); }, true},
        {"rx", [](char *b, size_t s) { rxstat_to_string(b, s, 6, 0xFFFFFFFF); }, true},
        {"prio", [](char *b, size_t s) { j1708_prio_str(0x70000, b, s); }, true},
        {"hex", [](char *b, size_t s) { tohex(data, sizeof data, b, s); }, false},
        {"id", [](char *b, size_t s) { log_can_id(b, s, 0x18DAF110, 0x180, 0xF1, true); }, true},
        {"time", [](char *b, size_t s) { log_dev_timestamp(b, s, 0xFFFFFFFF); }, true},
        {"line",
         [](char *b, size_t s) {
             log_data_line(b, s, 0x7E0, 0x241, 0xF1, true, data, sizeof data, 12345678, 6, false);
         },
         false},
    };
    for (const writer &w : writers) {
        char full[512];
        w.write(full, sizeof full);
        const size_t len = strlen(full);
        for (size_t size = 0; size <= len + 1; size++) {
            char buf[600];
            memset(buf, '#', sizeof buf);
            w.write(buf, size);
            for (size_t i = size; i < sizeof buf; i++)
                ASSERT_EQ(buf[i], '#') << w.name << " size " << size << " byte " << i;
            if (size == 0) continue;
            ASSERT_NE(memchr(buf, '\0', size), nullptr) << w.name << " size " << size;
            if (w.prefix) {
                EXPECT_EQ(std::string(buf), std::string(full, std::min(len, size - 1)))
                    << w.name << " size " << size;
            }
        }
    }
}

TEST(LogFmtBuffers, CutLineKeepsTimeLengthAndFlags) {
    static const uint8_t data[] = {0xDE, 0xAD, 0xBE, 0xEF, 0x01, 0x02, 0x03, 0x04};
    // The tail " 12.345 8 INT|TX_FAIL" is 21 characters.
    const struct {
        size_t size;
        const char *text;
    } cases[] = {
        {64, "[7E0]DEADBEEF01020304 12.345 8 INT|TX_FAIL"},
        {43, "[7E0]DEADBEEF01020304 12.345 8 INT|TX_FAIL"},
        {42, "[7E0]DEADBEEF010203 12.345 8 INT|TX_FAIL"},
        {40, "[7E0]DEADBEEF0102 12.345 8 INT|TX_FAIL"},
        {27, "[7E0] 12.345 8 INT|TX_FAIL"},
        {26, "[7E0] 12.345 8 INT|TX_FAI"},
        {20, "[7E0] 12.345 8 INT|"},
        {4, "[7E"},
    };
    for (const auto &c : cases) {
        char buf[64];
        log_data_line(buf, c.size, 0x7E0, 0x201, 0, false, data, sizeof data, 12345678, 6, false);
        EXPECT_STREQ(buf, c.text) << "size " << c.size;
    }
}

} // namespace
