#include "parse.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace vkpt {

namespace {

bool all_hex(const std::string &s) {
    if (s.empty()) return false;
    for (char c : s)
        if (!isxdigit(static_cast<unsigned char>(c))) return false;
    return true;
}

std::vector<std::string> split(const std::string &s, char sep) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t p = s.find(sep, start);
        parts.push_back(s.substr(start, p - start));
        if (p == std::string::npos) return parts;
        start = p + 1;
    }
}

} // namespace

bool parse_u32(const std::string &text, uint32_t max, uint32_t &out) {
    if (text.empty() || !isdigit(static_cast<unsigned char>(text[0]))) return false;
    errno = 0;
    char *end = nullptr;
    unsigned long long v = strtoull(text.c_str(), &end, 0);
    if (errno || *end || v > max) return false;
    out = static_cast<uint32_t>(v);
    return true;
}

bool parse_seconds(const std::string &text, double &out) {
    if (text.empty() || !(isdigit(static_cast<unsigned char>(text[0])) || text[0] == '.'))
        return false;
    errno = 0;
    char *end = nullptr;
    double v = strtod(text.c_str(), &end);
    if (errno || *end || !std::isfinite(v) || v <= 0 || v > 86400.0 * 365) return false;
    out = v;
    return true;
}

bool parse_can_id(const std::string &text, CanId &out, std::string &why) {
    if (!all_hex(text) || (text.size() > 3 && text.size() != 8)) {
        why = "bad CAN identifier \"" + text + "\" (1-3 hex digits for 11-bit, 8 for 29-bit)";
        return false;
    }
    uint32_t v = static_cast<uint32_t>(strtoul(text.c_str(), nullptr, 16));
    bool ext = text.size() == 8;
    if (v > (ext ? 0x1FFFFFFFu : 0x7FFu)) {
        why = "CAN identifier \"" + text + "\" out of range";
        return false;
    }
    out.id = v;
    out.ext = ext;
    return true;
}

bool parse_hex_bytes(const std::string &text, std::vector<uint8_t> &out, std::string &why) {
    std::vector<uint8_t> bytes;
    int high = -1;
    for (char c : text) {
        if (c == ' ' || c == '.' || c == ':') {
            if (high >= 0) break;
            continue;
        }
        if (!isxdigit(static_cast<unsigned char>(c))) {
            high = -2;
            break;
        }
        int v = isdigit(static_cast<unsigned char>(c)) ? c - '0' : (tolower(c) - 'a' + 10);
        if (high < 0) {
            high = v;
        } else {
            bytes.push_back(static_cast<uint8_t>(high << 4 | v));
            high = -1;
        }
    }
    if (high != -1) {
        why = "bad hex bytes \"" + text + "\" (pairs of hex digits expected)";
        return false;
    }
    out = std::move(bytes);
    return true;
}

bool parse_frame(const std::string &text, Frame &out, std::string &why) {
    size_t hash = text.find('#');
    if (hash == std::string::npos) {
        why = "bad frame \"" + text + "\" (ID#DATA expected)";
        return false;
    }
    Frame f;
    if (!parse_can_id(text.substr(0, hash), f.id, why)) return false;
    if (!parse_hex_bytes(text.substr(hash + 1), f.data, why)) return false;
    out = std::move(f);
    return true;
}

bool parse_filter(const std::string &text, FilterSpec &out, std::string &why) {
    std::vector<std::string> parts = split(text, ':');
    FilterSpec f;
    if (parts.size() < 2 || parts.size() > 3 || !all_hex(parts[0]) || parts[0].size() > 8) {
        why = "bad filter \"" + text + "\" (MASK:PATTERN[:FLOWID] in hex expected)";
        return false;
    }
    f.mask = static_cast<uint32_t>(strtoul(parts[0].c_str(), nullptr, 16));
    if (!parse_can_id(parts[1], f.pattern, why)) return false;
    if (parts.size() == 3) {
        if (!parse_can_id(parts[2], f.flow, why)) return false;
        f.has_flow = true;
    }
    out = f;
    return true;
}

} // namespace vkpt
