// Frame codec of the simulated VCI: 0x55, cmd, len low, len high | seq << 5, payload, trailer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "vci_sim.h"

namespace vcisim {

constexpr uint8_t FRAME_MARKER = 0x55;
constexpr size_t FRAME_OVERHEAD = 5; // marker, cmd, two length bytes, trailer
constexpr size_t MAX_REQUEST_PAYLOAD = 6139;
constexpr size_t MAX_FRAME_PAYLOAD = 0x1FFF;  // what the 13-bit length field can hold
constexpr size_t MAX_RESPONSE_PAYLOAD = 6144; // what the host accepts in a response

// Status words the simulated device answers with.
constexpr uint16_t ST_OK = 0;
constexpr uint16_t ST_NOT_SUPPORTED = 1;
constexpr uint16_t ST_INVALID_CHANNEL_ID = 2;
constexpr uint16_t ST_PROTOCOL_ID_NOT_SUPPORTED = 3;
constexpr uint16_t ST_FAILED = 7;
constexpr uint16_t ST_TIME_OUT = 9;
constexpr uint16_t ST_INVALID_MSG = 10;
constexpr uint16_t ST_INVALID_TIME_INTERVAL = 11;
constexpr uint16_t ST_EXCEEDED_LIMIT = 12;
constexpr uint16_t ST_INVALID_MSG_ID = 13;
constexpr uint16_t ST_BUFFER_EMPTY = 16;
constexpr uint16_t ST_MSG_PROTOCOL_ID = 21;
constexpr uint16_t ST_INVALID_FILTER_ID = 22;
constexpr uint16_t ST_NO_FLOW_CONTROL = 23;

inline void put_u16le(std::vector<uint8_t> &out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

inline void put_u32le(std::vector<uint8_t> &out, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

inline uint16_t get_u16le(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline uint32_t get_u32le(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// A whole frame. The length field holds payload.size() & 0x1FFF; callers keep payloads
// within MAX_FRAME_PAYLOAD.
std::vector<uint8_t> encode_frame(uint8_t cmd, uint8_t seq, const std::vector<uint8_t> &payload);

// Request parser fed arbitrary chunks. Bytes before a marker are skipped, a marker followed
// by a byte outside 0x41..0x7E restarts the search, and a length above MAX_REQUEST_PAYLOAD
// drops the frame. A frame is complete with its trailer byte, whatever its value.
class FrameParser {
  public:
    // Appends every request completed by these bytes to `out`.
    void feed(const uint8_t *data, size_t len, std::vector<Request> &out);
    void reset();
    // Bytes skipped or dropped so far (garbage, oversized frames).
    size_t discarded() const { return discarded_; }

  private:
    enum State { MARKER, CMD, LEN_LO, LEN_HI, PAYLOAD, TRAILER };
    State state_ = MARKER;
    size_t need_ = 0;
    Request cur_;
    size_t discarded_ = 0;
};

} // namespace vcisim
