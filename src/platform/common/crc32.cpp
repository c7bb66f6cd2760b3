#include "platform/platform.h"

#include <array>

namespace {

// Reflected CRC-32, polynomial 0xEDB88320, built at compile time.
constexpr std::array<uint32_t, 256> make_crc_table() {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        t[i] = c;
    }
    return t;
}

constexpr std::array<uint32_t, 256> CrcTable = make_crc_table();

inline uint32_t crc_step(uint32_t value, uint8_t byte) {
    return CrcTable[(value ^ byte) & 0xFF] ^ (value >> 8);
}

} // namespace

uint32_t CRC32_CalcCRCBlock(const uint8_t *data, uint32_t len) {
    uint32_t value = 0xFFFFFFFFu;
    for (uint32_t i = 0; i < len; ++i) value = crc_step(value, data[i]);
    return ~value;
}

uint32_t CRC32_CalcCRCBlockWithPos(const uint8_t *data, uint32_t len, const uint8_t *field) {
    uint32_t value = 0xFFFFFFFFu;
    for (uint32_t i = 0; i < len;) {
        if (data + i == field) {
            i += 4;
            continue;
        }
        value = crc_step(value, data[i]);
        ++i;
    }
    return ~value;
}
