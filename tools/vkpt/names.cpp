#include "names.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <strings.h>

#include <j2534vk/j2534vk.h>

namespace vkpt {

namespace {

struct Named {
    uint32_t value;
    const char *name;
};

#define N(x)                                                                                       \
    { static_cast<uint32_t>(x), #x }

const Named STATUSES[] = {
    N(STATUS_NOERROR),
    N(ERR_NOT_SUPPORTED),
    N(ERR_INVALID_CHANNEL_ID),
    N(ERR_PROTOCOL_ID_NOT_SUPPORTED),
    N(ERR_NULL_PARAMETER),
    N(ERR_INVALID_IOCTL_VALUE),
    N(ERR_FLAG_NOT_SUPPORTED),
    N(ERR_FAILED),
    N(ERR_DEVICE_NOT_CONNECTED),
    N(ERR_TIME_OUT),
    N(ERR_INVALID_MSG),
    N(ERR_TIME_INTERVAL_NOT_SUPPORTED),
    N(ERR_EXCEEDED_LIMIT),
    N(ERR_INVALID_MSG_ID),
    N(ERR_DEVICE_IN_USE),
    N(ERR_INVALID_IOCTL_ID),
    N(ERR_BUFFER_EMPTY),
    N(ERR_BUFFER_FULL),
    N(ERR_PIN_NOT_SUPPORTED),
    N(ERR_CHANNEL_IN_USE),
    N(ERR_MSG_PROTOCOL_ID),
    N(ERR_INVALID_FILTER_ID),
    N(ERR_NO_FLOW_CONTROL),
    N(ERR_NOT_UNIQUE),
    N(ERR_BAUDRATE_NOT_SUPPORTED),
    N(ERR_INVALID_DEVICE_ID),
    N(ERR_DEVICE_NOT_OPEN),
    N(ERR_NULL_REQUIRED),
    N(ERR_FILTER_TYPE_NOT_SUPPORTED),
    N(ERR_IOCTL_PARAM_ID_NOT_SUPPORTED),
    N(ERR_VOLTAGE_IN_USE),
    N(ERR_PIN_IN_USE),
    N(ERR_INIT_FAILED),
    N(ERR_OPEN_FAILED),
    N(ERR_BUFFER_TOO_SMALL),
    N(ERR_LOG_CHAN_NOT_ALLOWED),
    N(ERR_SELECT_TYPE_NOT_SUPPORTED),
    N(ERR_CONCURRENT_API_CALL),
    N(J2534_EXT_ERR_FIVEBAUD_INVADR),
    N(J2534_EXT_ERR_SECACC_PARAM),
    N(J2534_EXT_ERR_SECACC_LEN),
    N(J2534_EXT_ERR_INTERNAL),
    N(J2534_EXT_ERR_LEN),
    N(J2534_EXT_ERR_INVALID_PACKET),
    N(J2534_EXT_ERR_CS_PACKET),
    N(J2534_EXT_ERR_NUMMSG),
    N(J2534_EXT_ERR_MARK),
    N(J2534_EXT_ERR_SIGN),
    N(J2534_EXT_ERR_MARK_TIME),
    N(ERR_ADDRESS_NOT_CLAIMED),
    N(ERR_NO_CONNECTION_ESTABLISHED),
    N(ERR_RESOURCE_IN_USE),
};

const Named PROTOCOLS[] = {
    N(J1850VPW),     N(J1850PWM),          N(ISO9141),          N(ISO14230),
    N(CAN),          N(ISO15765),          N(SCI_A_ENGINE),     N(SCI_A_TRANS),
    N(SCI_B_ENGINE), N(SCI_B_TRANS),       N(ISO15765_LOGICAL), N(J1850VPW_PS),
    N(J1850PWM_PS),  N(ISO9141_PS),        N(ISO14230_PS),      N(CAN_PS),
    N(ISO15765_PS),  N(J2610_PS),          N(SW_ISO15765_PS),   N(SW_CAN_PS),
    N(GM_UART_PS),   N(UART_ECHO_BYTE_PS), N(HONDA_DIAGH_PS),   N(J1939_PS),
    N(J1708_PS),     N(TP20_PS),           N(FT_CAN_PS),        N(FT_ISO15765_PS),
    N(FD_CAN_PS),    N(FD_ISO15765_PS),    N(ETHERNET_NDIS),    N(HSFZ_PS),
    N(ISO13400_PS),  N(TP16_PS),           N(NISSAN),
};

const Named PARAMS[] = {
    N(DATA_RATE),
    N(LOOPBACK),
    N(NODE_ADDRESS),
    N(NETWORK_LINE),
    N(P1_MAX),
    N(P3_MIN),
    N(P4_MIN),
    N(W1),
    N(W2),
    N(W3),
    N(W4),
    N(W5),
    N(TIDLE),
    N(TINIL),
    N(TWUP),
    N(PARITY),
    N(BIT_SAMPLE_POINT),
    N(SYNC_JUMP_WIDTH),
    N(W0),
    N(T1_MAX),
    N(T2_MAX),
    N(T4_MAX),
    N(T5_MAX),
    N(ISO15765_BS),
    N(ISO15765_STMIN),
    N(DATA_BITS),
    N(FIVE_BAUD_MOD),
    N(BS_TX),
    N(STMIN_TX),
    N(T3_MAX),
    N(ISO15765_WFT_MAX),
    N(W1_MIN_50),
    N(W2_MIN_50),
    N(W3_MIN_50),
    N(W4_MAX_50),
    N(N_BR_MIN_50),
    N(ISO15765_PAD_VALUE_50),
    N(N_AS_MAX_50),
    N(N_AR_MAX_50),
    N(N_BS_MAX_50),
    N(N_CR_MAX_50),
    N(N_CS_MIN_50),
    N(ECHO_PHYSICAL_CHANNEL_TX),
    N(CAN_MIXED_FORMAT),
    N(J1962_PINS),
    N(SW_CAN_HS_DATA_RATE),
    N(SW_CAN_SPEEDCHANGE_ENABLE),
    N(SW_CAN_RES_SWITCH),
    N(ACTIVE_CHANNELS),
    N(SAMPLE_RATE),
    N(SAMPLES_PER_READING),
    N(READINGS_PER_MSG),
    N(AVERAGING_METHOD),
    N(SAMPLE_RESOLUTION),
    N(INPUT_RANGE_LOW),
    N(INPUT_RANGE_HIGH),
    N(UEB_T0_MIN),
    N(UEB_T1_MAX),
    N(UEB_T2_MAX),
    N(UEB_T3_MAX),
    N(UEB_T4_MIN),
    N(UEB_T5_MAX),
    N(UEB_T6_MAX),
    N(UEB_T7_MIN),
    N(UEB_T7_MAX),
    N(UEB_T9_MIN),
    N(J1939_PINS),
    N(J1708_PINS),
    N(J1939_T1),
    N(J1939_T2),
    N(J1939_T3),
    N(J1939_T4),
    N(J1939_BRDCST_MIN_DELAY),
    N(TP2_0_T_BR_INT),
    N(TP2_0_T_E),
    N(TP2_0_MNTC),
    N(TP2_0_T_CTA),
    N(TP2_0_MNCT),
    N(TP2_0_MNTB),
    N(TP2_0_MNT),
    N(TP2_0_T_Wait),
    N(TP2_0_T1),
    N(TP2_0_T3),
    N(TP2_0_IDENTIFER),
    N(TP2_0_RXIDPASSIVE),
    N(FD_CAN_DATA_PHASE_RATE),
    N(FD_ISO15765_TX_DATA_LENGTH),
    N(HS_CAN_TERMINATION),
    N(N_CR_MAX),
    N(ISO15765_PAD_VALUE),
    N(ISO13400_SOURCE_ADDR),
    N(ISO13400_TARGET_ADDR),
    N(ISO13400_ECU_IP_ADDR),
    N(ISO13400_ECU_TCP_PORT),
    N(ISO13400_T_TCP_INITIAL),
    N(ISO13400_T_TCP_GENERAL),
    N(ISO13400_T_DIAG_MSG),
    N(ISO13400_ACTIVATION_TYPE),
    N(ISO13400_P3_DOIP),
    N(HSFZ_SOURCE_ADDR),
    N(HSFZ_TARGET_ADDR),
    N(HSFZ_ECU_IP_ADDR),
    N(HSFZ_ECU_TCP_PORT),
    N(HSFZ_T_TCP_GENERAL),
    N(HSFZ_T_DIAG_MSG),
    N(P2_CAN),
    N(P3_CAN),
    N(TP16_ID),
    N(ISO15765_FS),
};

// Receive status bits shared by all protocols.
const Named RX_FLAGS[] = {
    {RXSTATUS_INT, "INT"},           {RXSTATUS_RX_START, "RX_START"},
    {RXSTATUS_RX_BREAK, "RX_BREAK"}, {RXSTATUS_TX_DONE, "TX_DONE"},
    {RXSTATUS_PAD_ERR, "PAD_ERR"},   {RXSTATUS_BUF_OVF, "BUF_OVF"},
    {RXSTATUS_EXT_ADDR, "EXT_ADDR"}, {RXSTATUS_EXT29, "EXT29"},
    {RXSTATUS_TX_FAIL, "TX_FAIL"},
};

// Bits 16 and up of CAN-identifier protocols.
const Named RX_FLAGS_CAN[] = {
    {RXSTATUS_LINK_FAULT, "LINK_FAULT"},
    {RXSTATUS_BRS, "BRS"},
    {RXSTATUS_FD, "FD"},
    {RXSTATUS_ESI, "ESI"},
};

#undef N

const struct {
    uint8_t code;
    const char *name;
} NRCS[] = {
    {0x10, "generalReject"},
    {0x11, "serviceNotSupported"},
    {0x12, "subFunctionNotSupported"},
    {0x13, "incorrectMessageLengthOrInvalidFormat"},
    {0x14, "responseTooLong"},
    {0x21, "busyRepeatRequest"},
    {0x22, "conditionsNotCorrect"},
    {0x24, "requestSequenceError"},
    {0x25, "noResponseFromSubnetComponent"},
    {0x26, "failurePreventsExecutionOfRequestedAction"},
    {0x31, "requestOutOfRange"},
    {0x33, "securityAccessDenied"},
    {0x35, "invalidKey"},
    {0x36, "exceedNumberOfAttempts"},
    {0x37, "requiredTimeDelayNotExpired"},
    {0x70, "uploadDownloadNotAccepted"},
    {0x71, "transferDataSuspended"},
    {0x72, "generalProgrammingFailure"},
    {0x73, "wrongBlockSequenceCounter"},
    {0x78, "requestCorrectlyReceivedResponsePending"},
    {0x7E, "subFunctionNotSupportedInActiveSession"},
    {0x7F, "serviceNotSupportedInActiveSession"},
};

template <size_t K> const char *find_name(const Named (&table)[K], uint32_t value) {
    for (const Named &n : table)
        if (n.value == value) return n.name;
    return nullptr;
}

template <size_t K>
bool parse_named(const Named (&table)[K], const std::string &text, uint32_t &value) {
    for (const Named &n : table) {
        if (strcasecmp(n.name, text.c_str()) == 0) {
            value = n.value;
            return true;
        }
    }
    if (text.empty() || text[0] < '0' || text[0] > '9') return false;
    errno = 0;
    char *end = nullptr;
    unsigned long v = strtoul(text.c_str(), &end, 0);
    if (errno || *end || v > 0xFFFFFFFFul) return false;
    value = static_cast<uint32_t>(v);
    return true;
}

std::string hex_name(const char *prefix, uint32_t value) {
    char buf[32];
    snprintf(buf, sizeof buf, "%s0x%X", prefix, value);
    return buf;
}

} // namespace

std::string status_name(int32_t status) {
    const char *n = find_name(STATUSES, static_cast<uint32_t>(status));
    return n ? n : "STATUS_" + std::to_string(status);
}

std::string protocol_name(uint32_t protocol) {
    const char *n = find_name(PROTOCOLS, protocol);
    return n ? n : hex_name("", protocol);
}

bool parse_protocol(const std::string &text, uint32_t &protocol) {
    return parse_named(PROTOCOLS, text, protocol);
}

std::string param_name(uint32_t param) {
    const char *n = find_name(PARAMS, param);
    return n ? n : hex_name("", param);
}

bool parse_param(const std::string &text, uint32_t &param) {
    return parse_named(PARAMS, text, param);
}

std::vector<std::string> rx_flag_names(uint32_t rx_status, uint32_t protocol) {
    std::vector<std::string> out;
    uint32_t left = rx_status;
    auto take = [&](const Named &n) {
        if (left & n.value) {
            out.push_back(n.name);
            left &= ~n.value;
        }
    };
    for (const Named &n : RX_FLAGS)
        take(n);
    if (is_can_id_protocol(protocol))
        for (const Named &n : RX_FLAGS_CAN)
            take(n);
    if (left) out.push_back(hex_name("", left));
    return out;
}

std::string nrc_name(uint8_t nrc) {
    for (const auto &n : NRCS)
        if (n.code == nrc) return n.name;
    return "";
}

bool is_can_id_protocol(uint32_t protocol) {
    switch (protocol) {
    case CAN:
    case ISO15765:
    case CAN_PS:
    case ISO15765_PS:
    case SW_ISO15765_PS:
    case SW_CAN_PS:
    case FT_CAN_PS:
    case FT_ISO15765_PS:
    case FD_CAN_PS:
    case FD_ISO15765_PS:
        return true;
    default:
        return false;
    }
}

} // namespace vkpt
