// Receive cache: frames fetched from the VCI in blocks and queued per channel.
#include <cstring>
#include <string>

#include "link/j2534_com.h"
#include "link/msg_log.h"
#include "link/wire.h"
#include "log/j2534_log.h"
#include "platform/platform.h"

namespace {

constexpr uint32_t MAX_CHANNEL = RX_CACHE_CHANNELS - 1;
constexpr uint32_t PREFETCH_FRAMES = 50;
constexpr size_t REFILL_AT = 2; // refill a non-blocking reader's queue at this many entries
constexpr uint32_t FETCH_EXTRA_WAIT_MS = 1000;
constexpr uint32_t FRAME_HEADER = 16;
constexpr uint32_t PROTOCOL_J1708_PS = 0x800D;
constexpr uint32_t J1708_PRIO_MASK = 0xF0000;

uint32_t saturating_add(uint32_t a, uint32_t b) { return a > UINT32_MAX - b ? UINT32_MAX : a + b; }

} // namespace

void J2534_com::rx_cache_clear(uint32_t channel) {
    if (channel > MAX_CHANNEL) return;
    std::lock_guard<std::mutex> lock(rx_cache_mutex);
    rx_cache[channel].clear();
}

size_t J2534_com::rx_cache_size(uint32_t channel) {
    if (channel > MAX_CHANNEL) return 0;
    std::lock_guard<std::mutex> lock(rx_cache_mutex);
    return rx_cache[channel].size();
}

int32_t J2534_com::rx_cache_fetch(uint32_t channel, uint32_t max_frames, uint32_t timeout) {
    uint8_t req[8];
    put_u16le(req, static_cast<uint16_t>(channel));
    put_u16le(req + 2, static_cast<uint16_t>(max_frames > 0xFFFF ? 0xFFFF : max_frames));
    put_u32le(req + 4, timeout);
    uint8_t block[FRAME_MAX]; // the frame layer delivers at most this much
    uint32_t len = sizeof block;
    uint32_t elapsed = 0;
    int32_t status = send_command(J2534_CMD_FETCH, req, sizeof req, block, &len,
                                  saturating_add(timeout, FETCH_EXTRA_WAIT_MS), &elapsed);
    if (status != STATUS_NOERROR && status != ERR_TIME_OUT) return status;
    if (len > sizeof block) len = sizeof block;
    rx_cache_add_block(channel, block, len);
    return status;
}

void J2534_com::rx_cache_add_block(uint32_t channel, const uint8_t *block, uint32_t len) {
    if (channel > MAX_CHANNEL || len < 4) return;
    std::lock_guard<std::mutex> lock(rx_cache_mutex);
    std::deque<rx_cache_item_t> &queue = rx_cache[channel];
    uint32_t frames = get_u16le(block + 2);
    uint32_t pos = 4;
    for (uint32_t i = 0; i < frames; ++i) {
        if (pos + FRAME_HEADER > len) {
            log_line(dev_index, 'W', tag, "rx_cache: frame %u header out of bounds - stop\n", i);
            return;
        }
        const uint8_t *f = block + pos;
        uint32_t size = get_u16le(f + 12);
        if (size > PT_MSG_DATA_SIZE || pos + FRAME_HEADER + size > len) {
            log_line(dev_index, 'W', tag, "rx_cache: frame %u data_size=%u invalid - stop\n", i, size);
            return;
        }
        rx_cache_item_t item;
        item.protocol_id = get_u32le(f);
        item.rx_status = get_u32le(f + 4);
        item.timestamp = get_u32le(f + 8);
        item.data_size = size;
        item.extra_data_index = get_u16le(f + 14);
        item.data.assign(f + FRAME_HEADER, f + FRAME_HEADER + size);
        queue.push_back(std::move(item));
        pos += FRAME_HEADER + (size & ~3u) + 4; // data, then 1 to 4 fill bytes
    }
}

bool J2534_com::rx_cache_pop(uint32_t channel, pt_msg_t *dst) {
    if (channel > MAX_CHANNEL) return false;
    std::lock_guard<std::mutex> lock(rx_cache_mutex);
    std::deque<rx_cache_item_t> &queue = rx_cache[channel];
    if (queue.empty()) return false;
    rx_cache_item_t &item = queue.front();
    dst->ProtocolID = item.protocol_id;
    dst->RxStatus = item.rx_status;
    dst->TxFlags = 0;
    dst->Timestamp = item.timestamp;
    dst->DataSize = item.data_size;
    dst->ExtraDataIndex = item.extra_data_index;
    if (item.data_size) memcpy(dst->Data, item.data.data(), item.data_size);
    if (item.protocol_id == PROTOCOL_J1708_PS) {
        dst->TxFlags = item.rx_status & J1708_PRIO_MASK;
        dst->RxStatus &= ~J1708_PRIO_MASK;
    }
    queue.pop_front();
    return true;
}

int32_t J2534_com::read_msgs(uint32_t channel, pt_msg_t *msgs, uint32_t *count, uint32_t timeout) {
    uint32_t start_us = steady_now_us();
    if (!count || (!msgs && *count > 0)) {
        set_last_err(ERR_NULL_PARAMETER);
        log_line(dev_index, 'E', tag, "rd %u %u %u > %s 0ms\n", channel, timeout, count ? *count : 0u,
                 error_text().text);
        return ERR_NULL_PARAMETER;
    }
    uint32_t wanted = *count;
    if (channel > MAX_CHANNEL) {
        log_line(dev_index, 'E', tag, "rd %u %u %u > channel_id overflow (max=%u)\n", channel, timeout,
                 wanted, MAX_CHANNEL);
        *count = 0;
        return ERR_INVALID_CHANNEL_ID;
    }
    uint32_t got = 0;
    auto take_queued = [&] {
        while (got < wanted && rx_cache_pop(channel, &msgs[got])) ++got;
    };

    bool fetched = false;
    int32_t result = STATUS_NOERROR;
    take_queued();
    if (got < wanted) {
        result = timeout ? rx_cache_fetch(channel, wanted - got, timeout)
                         : rx_cache_fetch(channel, PREFETCH_FRAMES, 0);
        fetched = true;
        take_queued();
    }
    if (timeout == 0 && rx_cache_size(channel) <= REFILL_AT) {
        rx_cache_fetch(channel, PREFETCH_FRAMES, 0);
        fetched = true;
    }
    *count = got;
    uint32_t ms = (steady_now_us() - start_us) / 1000;
    const char *mark = fetched ? "" : "*";

    if (got > 0) {
        char level = result == ERR_TIME_OUT ? 'W' : 'I';
        if (log_enabled(level))
            log_line(dev_index, level, tag, "rd %u %u %u > %u %ums%s%s\n", channel, timeout, wanted, got,
                     ms, mark, msg_list(msgs, got, false).c_str());
        return STATUS_NOERROR;
    }
    if (result != STATUS_NOERROR && result != ERR_BUFFER_EMPTY) {
        log_line(dev_index, 'E', tag, "rd %u %u %u > %s %ums\n", channel, timeout, wanted,
                 error_text().text, ms);
        return result;
    }
    log_line(dev_index, 'W', tag, "rd %u %u %u > 0 %ums%s\n", channel, timeout, wanted, ms, mark);
    return ERR_BUFFER_EMPTY;
}
