// Parsers for what users type: numbers, CAN identifiers, hex bytes, frames and filters.
// Each returns false on malformed input and leaves a reason in `why`.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vkpt {

// Decimal or 0x-prefixed hexadecimal, at most `max`.
bool parse_u32(const std::string &text, uint32_t max, uint32_t &out);

// Seconds, decimal fraction allowed ("2", "0.5"); above 0.
bool parse_seconds(const std::string &text, double &out);

// A CAN identifier in hexadecimal: 1 to 3 digits is an 11-bit identifier (at most 7FF),
// exactly 8 digits a 29-bit one (at most 1FFFFFFF).
struct CanId {
    uint32_t id = 0;
    bool ext = false; // 29-bit
};
bool parse_can_id(const std::string &text, CanId &out, std::string &why);

// Hexadecimal bytes: pairs of digits, optionally separated by '.', ' ' or ':' ("22F190",
// "22 F1 90", "22.F1.90").
bool parse_hex_bytes(const std::string &text, std::vector<uint8_t> &out, std::string &why);

// ID#DATA: "7E0#0210030000000000", "18DAF110#3E00", "123#".
struct Frame {
    CanId id;
    std::vector<uint8_t> data;
};
bool parse_frame(const std::string &text, Frame &out, std::string &why);

// MASK:PATTERN[:FLOWID]. MASK is plain hexadecimal; PATTERN and FLOWID are CAN identifiers.
struct FilterSpec {
    uint32_t mask = 0;
    CanId pattern;
    bool has_flow = false;
    CanId flow;
};
bool parse_filter(const std::string &text, FilterSpec &out, std::string &why);

} // namespace vkpt
