#include "sim_frame.h"

#include <algorithm>

namespace vcisim {

std::vector<uint8_t> encode_frame(uint8_t cmd, uint8_t seq, const std::vector<uint8_t> &payload) {
    size_t len = payload.size() & MAX_FRAME_PAYLOAD;
    std::vector<uint8_t> f;
    f.reserve(payload.size() + FRAME_OVERHEAD);
    f.push_back(FRAME_MARKER);
    f.push_back(cmd);
    f.push_back(static_cast<uint8_t>(len & 0xFF));
    f.push_back(static_cast<uint8_t>(((len >> 8) & 0x1F) | ((seq & 0x07) << 5)));
    f.insert(f.end(), payload.begin(), payload.end());
    f.push_back(0x00);
    return f;
}

void FrameParser::reset() {
    state_ = MARKER;
    need_ = 0;
    cur_ = Request{};
}

void FrameParser::feed(const uint8_t *data, size_t len, std::vector<Request> &out) {
    size_t i = 0;
    while (i < len) {
        uint8_t b = data[i];
        switch (state_) {
        case MARKER:
            ++i;
            if (b == FRAME_MARKER) {
                cur_ = Request{};
                cur_.frame.push_back(b);
                state_ = CMD;
            } else {
                ++discarded_;
            }
            break;
        case CMD:
            ++i;
            if (b >= 0x41 && b <= 0x7E) {
                cur_.cmd = b;
                cur_.frame.push_back(b);
                state_ = LEN_LO;
            } else {
                discarded_ += 2;
                state_ = MARKER;
            }
            break;
        case LEN_LO:
            ++i;
            need_ = b;
            cur_.frame.push_back(b);
            state_ = LEN_HI;
            break;
        case LEN_HI:
            ++i;
            need_ |= static_cast<size_t>(b & 0x1F) << 8;
            cur_.seq = static_cast<uint8_t>(b >> 5);
            cur_.frame.push_back(b);
            if (need_ > MAX_REQUEST_PAYLOAD) {
                discarded_ += cur_.frame.size();
                state_ = MARKER;
            } else {
                cur_.payload.reserve(need_);
                state_ = need_ ? PAYLOAD : TRAILER;
            }
            break;
        case PAYLOAD: {
            size_t take = std::min(need_ - cur_.payload.size(), len - i);
            cur_.payload.insert(cur_.payload.end(), data + i, data + i + take);
            cur_.frame.insert(cur_.frame.end(), data + i, data + i + take);
            i += take;
            if (cur_.payload.size() == need_) state_ = TRAILER;
            break;
        }
        case TRAILER:
            ++i;
            cur_.frame.push_back(b);
            out.push_back(std::move(cur_));
            reset();
            break;
        }
    }
}

} // namespace vcisim
