// Names of J2534 values and message texts for log lines.
//
// Every function writes into a caller buffer of `size` bytes, never past it,
// and always NUL-terminates it when `size` is not 0 (a too small buffer gets a
// cut text). Nothing allocates and nothing fails. The *_SIZE constants are the
// buffer sizes that the longest outputs fit.
#pragma once

#include <cstddef>
#include <cstdint>

#include <j2534vk/j2534_ids.h>
#include <j2534vk/j2534vk.h>

constexpr size_t PROT_NAME_SIZE = 18;   // "UART_ECHO_BYTE_PS"
constexpr size_t IOCTL_NAME_SIZE = 50;  // "DELETE_FROM_FUNCT_MSG_LOOKUP_TABLE"
constexpr size_t PARAM_NAME_SIZE = 50;  // "SW_CAN_SPEEDCHANGE_ENABLE"
constexpr size_t CONN_FLAGS_SIZE = 68;  // 67 characters with every named bit set
constexpr size_t FLAGS_TEXT_SIZE = 128; // tx flags (79) and rx status (90) texts
constexpr size_t J1708_PRIO_SIZE = 7;   // "PRIO=n"
constexpr size_t CAN_ID_TEXT_SIZE = 24; // "[%08X:%02X]"
constexpr size_t DEV_TIMESTAMP_SIZE = 16;
constexpr size_t MSG_LINE_SIZE = 8448; // a whole 4128-byte message

// Protocol families that decide how message data is shown.
bool is_iso15765_family(uint32_t protocol);
// ISO 15765 family plus the raw CAN protocols: data starts with a 4-byte identifier.
bool has_can_id_in_data(uint32_t protocol);
// Protocols that carry CAN (FD) frames; used for the BRS/FD/ESI/LINK_FAULT names.
bool is_can_frame_protocol(uint32_t protocol);

// Protocol name, "ANALOG_IN_n" for 0xC000..0xC01F, otherwise "unknown".
char *prot_to_string(char *buf, size_t size, uint32_t protocol);
// Ioctl name, otherwise "unknown".
char *ioctl_to_string(char *buf, size_t size, uint32_t ioctl_id);
// Configuration parameter name, otherwise "0x%X".
char *ioctl_param_to_string(char *buf, size_t size, uint32_t param);

// Names of the set flag bits joined by "|" in a fixed order; "" when none is set.
char *conn_flags_to_string(char *buf, size_t size, uint32_t flags);
char *txflags_to_string(char *buf, size_t size, uint32_t protocol, uint32_t flags);
char *rxstat_to_string(char *buf, size_t size, uint32_t protocol, uint32_t status);

// "PRIO=n" from bits 16..19 ("PRIO=?" for 10..15), "" when they are 0.
char *j1708_prio_str(uint32_t flags, char *buf, size_t size);

// Appends `name` at `pos`, with "|" before it unless `first` is set (then
// clears it); keeps pos < end and *pos == '\0'. An empty name appends nothing.
// Requires pos < end.
void fast_append_with_sep(char *&pos, const char *end, bool &first, const char *name);

// Upper-case hex of `count` bytes, as many as fit; "" for a NULL pointer or count 0.
char *tohex(const uint8_t *data, uint16_t count, char *buf, size_t size);

// "[%08X:%02X]", "[%X:%02X]", "[%08X]" or "[%X]": eight digits with the 29-bit
// flag 0x100, the extended address when `has_ext_addr` and flag 0x80.
char *log_can_id(char *buf, size_t size, uint32_t id, uint32_t flags, uint8_t ext_addr,
                 bool has_ext_addr);

// "%u.%03u": seconds and milliseconds of a time stamp in microseconds.
char *log_dev_timestamp(char *buf, size_t size, uint32_t timestamp_us);

// "<id><hex> <time> <len>[ <flags>]", flags named as tx flags when `tx`, else as
// rx status of `protocol`. In a short buffer the hex part is cut so that the
// rest still fits; <len> is always the full `data_len`.
char *log_data_line(char *buf, size_t size, uint32_t id, uint32_t flags, uint8_t ext_addr,
                    bool has_ext_addr, const uint8_t *data, uint32_t data_len,
                    uint32_t timestamp_us, uint32_t protocol, bool tx);

// log_data_line for a whole message as the channel operations log it: the CAN
// identifier (and the extended address byte when flagged) is taken from the
// data of CAN-identifier protocols, else ExtraDataIndex is the identifier.
// Received messages show RxStatus|TxFlags and their Timestamp; transmitted
// ones TxFlags and time 0. A DataSize beyond the data array is printed as
// given but only the bytes of the array are read.
char *log_msg_line(char *buf, size_t size, const pt_msg_t &msg, bool tx);
