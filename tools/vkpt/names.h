// Names of J2534 values for the console: parsing what users type and printing what comes back.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vkpt {

// "ERR_TIME_OUT" for 9; "STATUS_<n>" for values without a name.
std::string status_name(int32_t status);

// Protocol identifiers: "CAN" <-> 5. Parsing also takes numbers and ignores case.
std::string protocol_name(uint32_t protocol);
bool parse_protocol(const std::string &text, uint32_t &protocol);

// Configuration parameters: "DATA_RATE" <-> 1. Parsing also takes numbers and ignores case.
std::string param_name(uint32_t param);
bool parse_param(const std::string &text, uint32_t &param);

// Names of the receive status bits set in rx_status ("TX_DONE", "EXT29"); bits without a name
// appear as one hexadecimal remainder ("0x40000000").
std::vector<std::string> rx_flag_names(uint32_t rx_status, uint32_t protocol);

// Negative response codes of UDS: 0x11 -> "serviceNotSupported"; empty when unknown.
std::string nrc_name(uint8_t nrc);

// True for the protocols whose messages begin with a 4-byte CAN identifier.
bool is_can_id_protocol(uint32_t protocol);

} // namespace vkpt
