// Names of J2534 values and message texts for log lines.
#include "log/j2534_log_fmt.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>

namespace {

struct id_name_t {
    uint32_t id;
    const char *name;
};

// Inclusive range of protocol identifiers; a single value has lo == hi.
struct range_t {
    uint32_t lo, hi;
};

template <typename T> struct list_t {
    const T *items;
    size_t count;
    const T *begin() const { return items; }
    const T *end() const { return items + count; }
};

template <typename T, size_t N> constexpr list_t<T> list(const T (&a)[N]) {
    return {a, N};
}

// One part of a flags text: the names of `names`, only for protocols in
// `protocols` (every protocol when it is empty). A part with `j1708_prio`
// writes the J1708 priority text instead.
struct flag_section_t {
    list_t<range_t> protocols;
    list_t<id_name_t> names;
    bool j1708_prio;
};

constexpr list_t<range_t> ALL_PROTOCOLS = {nullptr, 0};
constexpr list_t<id_name_t> NO_NAMES = {nullptr, 0};

#define NAMED(id)                                                                                  \
    { id, #id }

const id_name_t s_protocols[] = {
    NAMED(J1850VPW),     NAMED(J1850PWM),          NAMED(ISO9141),          NAMED(ISO14230),
    NAMED(CAN),          NAMED(ISO15765),          NAMED(SCI_A_ENGINE),     NAMED(SCI_A_TRANS),
    NAMED(SCI_B_ENGINE), NAMED(SCI_B_TRANS),       NAMED(ISO15765_LOGICAL), NAMED(J1850VPW_PS),
    NAMED(J1850PWM_PS),  NAMED(ISO9141_PS),        NAMED(ISO14230_PS),      NAMED(CAN_PS),
    NAMED(ISO15765_PS),  NAMED(J2610_PS),          NAMED(SW_ISO15765_PS),   NAMED(SW_CAN_PS),
    NAMED(GM_UART_PS),   NAMED(UART_ECHO_BYTE_PS), NAMED(HONDA_DIAGH_PS),   NAMED(J1939_PS),
    NAMED(J1708_PS),     NAMED(TP20_PS),           NAMED(FT_CAN_PS),        NAMED(FT_ISO15765_PS),
    NAMED(FD_CAN_PS),    NAMED(FD_ISO15765_PS),    NAMED(ETHERNET_NDIS),    NAMED(HSFZ_PS),
    NAMED(ISO13400_PS),  NAMED(TP16_PS),           NAMED(NISSAN),
};

const id_name_t s_ioctls[] = {
    NAMED(GET_CONFIG),
    NAMED(SET_CONFIG),
    NAMED(READ_VBATT),
    NAMED(FIVE_BAUD_INIT),
    NAMED(FAST_INIT),
    NAMED(CLEAR_TX_BUFFER),
    NAMED(CLEAR_RX_BUFFER),
    NAMED(CLEAR_PERIODIC_MSGS),
    NAMED(CLEAR_MSG_FILTERS),
    NAMED(CLEAR_FUNCT_MSG_LOOKUP_TABLE),
    NAMED(ADD_TO_FUNCT_MSG_LOOKUP_TABLE),
    NAMED(DELETE_FROM_FUNCT_MSG_LOOKUP_TABLE),
    NAMED(READ_PROG_VOLTAGE),
    NAMED(BUS_ON),
    NAMED(SW_CAN_HS),
    NAMED(SW_CAN_NS),
    NAMED(SET_POLL_RESPONSE),
    NAMED(BECOME_MASTER),
    NAMED(START_REPEAT_MESSAGE),
    NAMED(QUERY_REPEAT_MESSAGE),
    NAMED(STOP_REPEAT_MESSAGE),
    NAMED(GET_DEVICE_CONFIG),
    NAMED(SET_DEVICE_CONFIG),
    NAMED(PROTECT_J1939_ADDR),
    NAMED(REQUEST_CONNECTION),
    NAMED(TEARDOWN_CONNECTION),
    NAMED(GET_DEVICE_INFO),
    NAMED(GET_PROTOCOL_INFO),
    NAMED(READ_J1962PIN_VOLTAGE),
    NAMED(GET_NDIS_ADAPTER_INFO),
    NAMED(ISO13400_DISCOVER),
    NAMED(ISO13400_GET_INFO),
    NAMED(ISO13400_TCP),
    NAMED(ISO13400_ROUTING),
    NAMED(HSFZ_DISCOVER),
    NAMED(HSFZ_GET_INFO),
    NAMED(HSFZ_TCP),
    NAMED(XENTRY_KWP),
};

const id_name_t s_params[] = {
    NAMED(DATA_RATE),
    NAMED(LOOPBACK),
    NAMED(NODE_ADDRESS),
    NAMED(NETWORK_LINE),
    NAMED(P1_MAX),
    NAMED(P3_MIN),
    NAMED(P4_MIN),
    NAMED(W1),
    NAMED(W2),
    NAMED(W3),
    NAMED(W4),
    NAMED(W5),
    NAMED(TIDLE),
    NAMED(TINIL),
    NAMED(TWUP),
    NAMED(PARITY),
    NAMED(BIT_SAMPLE_POINT),
    NAMED(SYNC_JUMP_WIDTH),
    NAMED(W0),
    NAMED(T1_MAX),
    NAMED(T2_MAX),
    NAMED(T4_MAX),
    NAMED(T5_MAX),
    NAMED(ISO15765_BS),
    NAMED(ISO15765_STMIN),
    NAMED(DATA_BITS),
    NAMED(FIVE_BAUD_MOD),
    NAMED(BS_TX),
    NAMED(STMIN_TX),
    NAMED(T3_MAX),
    NAMED(ISO15765_WFT_MAX),
    NAMED(W1_MIN_50),
    NAMED(W2_MIN_50),
    NAMED(W3_MIN_50),
    NAMED(W4_MAX_50),
    NAMED(N_BR_MIN_50),
    NAMED(ISO15765_PAD_VALUE_50),
    NAMED(N_AS_MAX_50),
    NAMED(N_AR_MAX_50),
    NAMED(N_BS_MAX_50),
    NAMED(N_CR_MAX_50),
    NAMED(N_CS_MIN_50),
    NAMED(ECHO_PHYSICAL_CHANNEL_TX),
    NAMED(CAN_MIXED_FORMAT),
    NAMED(J1962_PINS),
    NAMED(SW_CAN_HS_DATA_RATE),
    NAMED(SW_CAN_SPEEDCHANGE_ENABLE),
    NAMED(SW_CAN_RES_SWITCH),
    NAMED(ACTIVE_CHANNELS),
    NAMED(SAMPLE_RATE),
    NAMED(SAMPLES_PER_READING),
    NAMED(READINGS_PER_MSG),
    NAMED(AVERAGING_METHOD),
    NAMED(SAMPLE_RESOLUTION),
    NAMED(INPUT_RANGE_LOW),
    NAMED(INPUT_RANGE_HIGH),
    NAMED(UEB_T0_MIN),
    NAMED(UEB_T1_MAX),
    NAMED(UEB_T2_MAX),
    NAMED(UEB_T3_MAX),
    NAMED(UEB_T4_MIN),
    NAMED(UEB_T5_MAX),
    NAMED(UEB_T6_MAX),
    NAMED(UEB_T7_MIN),
    NAMED(UEB_T7_MAX),
    NAMED(UEB_T9_MIN),
    NAMED(J1939_PINS),
    NAMED(J1708_PINS),
    NAMED(J1939_T1),
    NAMED(J1939_T2),
    NAMED(J1939_T3),
    NAMED(J1939_T4),
    NAMED(J1939_BRDCST_MIN_DELAY),
    NAMED(TP2_0_T_BR_INT),
    NAMED(TP2_0_T_E),
    NAMED(TP2_0_MNTC),
    NAMED(TP2_0_T_CTA),
    NAMED(TP2_0_MNCT),
    NAMED(TP2_0_MNTB),
    NAMED(TP2_0_MNT),
    NAMED(TP2_0_T_Wait),
    NAMED(TP2_0_T1),
    NAMED(TP2_0_T3),
    NAMED(TP2_0_IDENTIFER),
    NAMED(TP2_0_RXIDPASSIVE),
    NAMED(FD_CAN_DATA_PHASE_RATE),
    NAMED(FD_ISO15765_TX_DATA_LENGTH),
    NAMED(HS_CAN_TERMINATION),
    NAMED(N_CR_MAX),
    NAMED(ISO15765_PAD_VALUE),
    NAMED(ISO13400_SOURCE_ADDR),
    NAMED(ISO13400_TARGET_ADDR),
    NAMED(ISO13400_ECU_IP_ADDR),
    NAMED(ISO13400_ECU_TCP_PORT),
    NAMED(ISO13400_T_TCP_INITIAL),
    NAMED(ISO13400_T_TCP_GENERAL),
    NAMED(ISO13400_T_DIAG_MSG),
    NAMED(ISO13400_ACTIVATION_TYPE),
    NAMED(ISO13400_P3_DOIP),
    NAMED(HSFZ_SOURCE_ADDR),
    NAMED(HSFZ_TARGET_ADDR),
    NAMED(HSFZ_ECU_IP_ADDR),
    NAMED(HSFZ_ECU_TCP_PORT),
    NAMED(HSFZ_T_TCP_GENERAL),
    NAMED(HSFZ_T_DIAG_MSG),
    NAMED(P2_CAN),
    NAMED(P3_CAN),
    NAMED(TP16_ID),
    NAMED(ISO15765_FS),
};
static_assert(std::size(s_params) == 109, "configuration parameter table");

#undef NAMED

// Protocol sets.
const range_t s_iso15765_family[] = {
    {ISO15765, ISO15765},
    {ISO15765_LOGICAL, ISO15765_LOGICAL},
    {ISO15765_PS, ISO15765_PS},
    {SW_ISO15765_PS, SW_ISO15765_PS},
    {FT_ISO15765_PS, FT_ISO15765_PS},
    {FD_ISO15765_PS, FD_ISO15765_PS},
    {0x9280, 0x92FF},
    {0x9500, 0x957F},
    {0x9900, 0x997F},
};
// CAN-identifier protocols outside the ISO 15765 family.
const range_t s_raw_can[] = {
    {CAN, CAN},         {CAN_PS, CAN_PS},       {SW_CAN_PS, SW_CAN_PS}, {J1939_PS, J1939_PS},
    {TP20_PS, TP20_PS}, {FT_CAN_PS, FT_CAN_PS}, {FD_CAN_PS, FD_CAN_PS}, {TP16_PS, TP16_PS},
    {0x9000, 0x907F},   {0x9300, 0x937F},       {0x9480, 0x94FF},       {0x9700, 0x977F},
    {0x9800, 0x98FF},
};
const range_t s_can_frame[] = {{CAN, ISO15765}, {CAN_PS, ISO15765_PS}, {FT_CAN_PS, FD_ISO15765_PS}};
const range_t s_single_wire[] = {{SW_ISO15765_PS, SW_CAN_PS}};
const range_t s_j1939[] = {{J1939_PS, J1939_PS}};
const range_t s_j1708[] = {{J1708_PS, J1708_PS}};
const range_t s_transport[] = {{TP20_PS, TP20_PS}, {TP16_PS, TP16_PS}};
const range_t s_analog[] = {{ANALOG_IN_FIRST, ANALOG_IN_LAST}};

// Flag names, in the order they are printed.
const id_name_t s_conn_flags[] = {
    {FULL_DUPLEX, "FULL_DUPLEX"},
    {CAN_29BIT_ID, "CAN_29BIT_ID"},
    {NO_CS, "NO_CS"},
    {CAN_ID_BOTH, "CAN_ID_BOTH"},
    {K_ONLY, "K_ONLY"},
    {NDIS1, "NDIS1"},
    {NDIS2, "NDIS2"},
    {SNIFF, "SNIFF"},
};

const id_name_t s_tx_common[] = {
    {TXFLAG_NO_DONE, "NO_DONE"}, {TXFLAG_NO_RESP, "NO_RESP"}, {TXFLAG_7F78_IGN, "7F78_IGN"},
    {TXFLAG_PAD, "PAD"},         {TXFLAG_PAD_ERR, "PAD_ERR"}, {TXFLAG_EXT_ADDR, "EXT_ADDR"},
    {TXFLAG_EXT29, "EXT29"},     {TXFLAG_P3_ONLY, "P3_ONLY"}, {TXFLAG_HV, "HV"},
};
const id_name_t s_tx_can_frame[] = {{TXFLAG_BRS, "BRS"}, {TXFLAG_FD, "FD"}};
const id_name_t s_tx_transport[] = {{TXFLAG_BCAST, "BCAST"}};
const id_name_t s_tx_sci[] = {{TXFLAG_SCI, "SCI"}, {TXFLAG_SCI_V, "SCI_V"}};

const flag_section_t s_tx_sections[] = {
    {ALL_PROTOCOLS, list(s_tx_common), false},
    {list(s_j1708), NO_NAMES, true},
    {list(s_can_frame), list(s_tx_can_frame), false},
    {list(s_transport), list(s_tx_transport), false},
    {ALL_PROTOCOLS, list(s_tx_sci), false},
};

const id_name_t s_rx_common[] = {
    {RXSTATUS_INT, "INT"},         {RXSTATUS_RX_START, "RX_START"}, {RXSTATUS_RX_BREAK, "RX_BREAK"},
    {RXSTATUS_TX_DONE, "TX_DONE"}, {RXSTATUS_PAD_ERR, "PAD_ERR"},   {RXSTATUS_EXT_ADDR, "EXT_ADDR"},
    {RXSTATUS_EXT29, "EXT29"},     {RXSTATUS_TX_FAIL, "TX_FAIL"},   {RXSTATUS_BUF_OVF, "BUF_OVF"},
};
const id_name_t s_rx_can_frame[] = {
    {RXSTATUS_BRS, "BRS"},
    {RXSTATUS_FD, "FD"},
    {RXSTATUS_ESI, "ESI"},
    {RXSTATUS_LINK_FAULT, "LINK_FAULT"},
};
const id_name_t s_rx_single_wire[] = {
    {RXSTATUS_HV, "HV"}, {RXSTATUS_NS, "NS"}, {RXSTATUS_HS, "HS"}};
const id_name_t s_rx_j1939[] = {{RXSTATUS_ADDR_LOST, "ADDR_LOST"}, {RXSTATUS_ADDR_OK, "ADDR_OK"}};
const id_name_t s_rx_transport[] = {{RXSTATUS_CONN_OK, "CONN_OK"},
                                    {RXSTATUS_CONN_LOST, "CONN_LOST"}};
const id_name_t s_rx_analog[] = {{RXSTATUS_OVERFLOW, "OVERFLOW"}};

const flag_section_t s_rx_sections[] = {
    {ALL_PROTOCOLS, list(s_rx_common), false},
    {list(s_can_frame), list(s_rx_can_frame), false},
    {list(s_single_wire), list(s_rx_single_wire), false},
    {list(s_j1939), list(s_rx_j1939), false},
    {list(s_j1708), NO_NAMES, true},
    {list(s_transport), list(s_rx_transport), false},
    {list(s_analog), list(s_rx_analog), false},
};

const flag_section_t s_conn_sections[] = {
    {ALL_PROTOCOLS, list(s_conn_flags), false},
};

const char *find_name(list_t<id_name_t> table, uint32_t id) {
    for (const id_name_t &e : table)
        if (e.id == id) return e.name;
    return nullptr;
}

bool in_ranges(list_t<range_t> set, uint32_t value) {
    for (const range_t &r : set)
        if (value >= r.lo && value <= r.hi) return true;
    return false;
}

// Copies as much of `text` as fits; returns the length written.
size_t copy_text(char *buf, size_t size, const char *text) {
    if (size == 0) return 0;
    size_t n = 0;
    while (text[n] != '\0' && n < size - 1) {
        buf[n] = text[n];
        n++;
    }
    buf[n] = '\0';
    return n;
}

// Writes 2 * count hex digits and a NUL; dst must hold them.
void put_hex(const uint8_t *data, size_t count, char *dst) {
    static const char digits[] = "0123456789ABCDEF";
    for (size_t i = 0; i < count; i++) {
        *dst++ = digits[data[i] >> 4];
        *dst++ = digits[data[i] & 0xF];
    }
    *dst = '\0';
}

char *flags_to_string(char *buf, size_t size, uint32_t protocol, uint32_t value,
                      list_t<flag_section_t> sections) {
    if (size == 0) return buf;
    char *pos = buf;
    const char *end = buf + size;
    bool first = true;
    *pos = '\0';
    for (const flag_section_t &s : sections) {
        if (s.protocols.count != 0 && !in_ranges(s.protocols, protocol)) continue;
        if (s.j1708_prio) {
            char prio[J1708_PRIO_SIZE];
            fast_append_with_sep(pos, end, first, j1708_prio_str(value, prio, sizeof prio));
            continue;
        }
        for (const id_name_t &f : s.names)
            if (value & f.id) fast_append_with_sep(pos, end, first, f.name);
    }
    return buf;
}

char *format_msg_line(char *buf, size_t size, uint32_t id, uint32_t flags, uint8_t ext_addr,
                      bool has_ext_addr, const uint8_t *data, size_t readable, uint32_t shown_len,
                      uint32_t timestamp_us, uint32_t protocol, bool tx) {
    if (size == 0) return buf;
    char id_text[CAN_ID_TEXT_SIZE];
    char time_text[DEV_TIMESTAMP_SIZE];
    char flags_text[FLAGS_TEXT_SIZE];
    log_can_id(id_text, sizeof id_text, id, flags, ext_addr, has_ext_addr);
    log_dev_timestamp(time_text, sizeof time_text, timestamp_us);
    if (tx)
        txflags_to_string(flags_text, sizeof flags_text, protocol, flags);
    else
        rxstat_to_string(flags_text, sizeof flags_text, protocol, flags);

    // The tail is kept whole when the buffer is short: the hex part is cut instead.
    char tail[DEV_TIMESTAMP_SIZE + FLAGS_TEXT_SIZE + 16];
    if (flags_text[0] != '\0')
        snprintf(tail, sizeof tail, " %s %u %s", time_text, unsigned(shown_len), flags_text);
    else
        snprintf(tail, sizeof tail, " %s %u", time_text, unsigned(shown_len));

    size_t pos = copy_text(buf, size, id_text);
    if (data != nullptr && readable != 0) {
        size_t room = size - pos - 1;
        size_t tail_len = strlen(tail);
        size_t n = std::min(readable, room > tail_len ? (room - tail_len) / 2 : 0);
        put_hex(data, n, buf + pos);
        pos += 2 * n;
    }
    copy_text(buf + pos, size - pos, tail);
    return buf;
}

} // namespace

bool is_iso15765_family(uint32_t protocol) {
    return in_ranges(list(s_iso15765_family), protocol);
}

bool has_can_id_in_data(uint32_t protocol) {
    return is_iso15765_family(protocol) || in_ranges(list(s_raw_can), protocol);
}

bool is_can_frame_protocol(uint32_t protocol) {
    return in_ranges(list(s_can_frame), protocol);
}

char *prot_to_string(char *buf, size_t size, uint32_t protocol) {
    if (in_ranges(list(s_analog), protocol)) {
        snprintf(buf, std::min<size_t>(size, 13), "ANALOG_IN_%u", unsigned(protocol - 0xBFFF));
        return buf;
    }
    const char *name = find_name(list(s_protocols), protocol);
    copy_text(buf, size, name != nullptr ? name : "unknown");
    return buf;
}

char *ioctl_to_string(char *buf, size_t size, uint32_t ioctl_id) {
    const char *name = find_name(list(s_ioctls), ioctl_id);
    copy_text(buf, size, name != nullptr ? name : "unknown");
    return buf;
}

char *ioctl_param_to_string(char *buf, size_t size, uint32_t param) {
    const char *name = find_name(list(s_params), param);
    if (name != nullptr)
        copy_text(buf, size, name);
    else
        snprintf(buf, std::min<size_t>(size, 50), "0x%X", unsigned(param));
    return buf;
}

char *conn_flags_to_string(char *buf, size_t size, uint32_t flags) {
    return flags_to_string(buf, size, 0, flags, list(s_conn_sections));
}

char *txflags_to_string(char *buf, size_t size, uint32_t protocol, uint32_t flags) {
    return flags_to_string(buf, size, protocol, flags, list(s_tx_sections));
}

char *rxstat_to_string(char *buf, size_t size, uint32_t protocol, uint32_t status) {
    return flags_to_string(buf, size, protocol, status, list(s_rx_sections));
}

char *j1708_prio_str(uint32_t flags, char *buf, size_t size) {
    unsigned prio = (flags & TXFLAG_PRIO_MASK) >> TXFLAG_PRIO_SHIFT;
    char text[] = "PRIO=0";
    if (prio == 0)
        text[0] = '\0';
    else
        text[5] = prio <= 9 ? char('0' + prio) : '?';
    copy_text(buf, size, text);
    return buf;
}

void fast_append_with_sep(char *&pos, const char *end, bool &first, const char *name) {
    if (name == nullptr || name[0] == '\0' || pos >= end) return;
    if (!first && end - pos > 1) *pos++ = '|';
    first = false;
    while (*name != '\0' && end - pos > 1)
        *pos++ = *name++;
    *pos = '\0';
}

char *tohex(const uint8_t *data, uint16_t count, char *buf, size_t size) {
    if (size == 0) return buf;
    size_t n = data != nullptr ? std::min<size_t>(count, (size - 1) / 2) : 0;
    put_hex(data, n, buf);
    return buf;
}

char *log_can_id(char *buf, size_t size, uint32_t id, uint32_t flags, uint8_t ext_addr,
                 bool has_ext_addr) {
    // 0x100 and 0x80 are the same bits in TxFlags and RxStatus.
    bool wide = (flags & TXFLAG_EXT29) != 0;
    if (has_ext_addr && (flags & TXFLAG_EXT_ADDR) != 0)
        snprintf(buf, size, wide ? "[%08X:%02X]" : "[%X:%02X]", unsigned(id), unsigned(ext_addr));
    else
        snprintf(buf, size, wide ? "[%08X]" : "[%X]", unsigned(id));
    return buf;
}

char *log_dev_timestamp(char *buf, size_t size, uint32_t timestamp_us) {
    snprintf(buf, size, "%u.%03u", unsigned(timestamp_us / 1000000),
             unsigned(timestamp_us / 1000 % 1000));
    return buf;
}

char *log_data_line(char *buf, size_t size, uint32_t id, uint32_t flags, uint8_t ext_addr,
                    bool has_ext_addr, const uint8_t *data, uint32_t data_len,
                    uint32_t timestamp_us, uint32_t protocol, bool tx) {
    return format_msg_line(buf, size, id, flags, ext_addr, has_ext_addr, data, data_len, data_len,
                           timestamp_us, protocol, tx);
}

char *log_msg_line(char *buf, size_t size, const pt_msg_t &msg, bool tx) {
    const uint8_t *data = msg.Data;
    size_t readable = std::min<size_t>(msg.DataSize, PT_MSG_DATA_SIZE);
    uint32_t shown_len = msg.DataSize;
    uint32_t id = msg.ExtraDataIndex;
    if (has_can_id_in_data(msg.ProtocolID) && readable >= 4) {
        id = uint32_t(data[0]) << 24 | uint32_t(data[1]) << 16 | uint32_t(data[2]) << 8 |
             uint32_t(data[3]);
        data += 4;
        readable -= 4;
        shown_len -= 4;
    }
    uint8_t ext_addr = 0;
    bool has_ext_addr = false;
    uint32_t own_flags = tx ? msg.TxFlags : msg.RxStatus;
    if ((own_flags & TXFLAG_EXT_ADDR) != 0 && readable >= 1) {
        ext_addr = data[0];
        has_ext_addr = true;
        data++;
        readable--;
        shown_len--;
    }
    uint32_t flags = tx ? msg.TxFlags : (msg.RxStatus | msg.TxFlags);
    uint32_t timestamp = tx ? 0 : msg.Timestamp;
    return format_msg_line(buf, size, id, flags, ext_addr, has_ext_addr, data, readable, shown_len,
                           timestamp, msg.ProtocolID, tx);
}
