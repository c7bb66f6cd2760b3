// Writing messages: the whole batch in one command.
#include <cstring>

#include "link/j2534_com.h"
#include "link/msg_log.h"
#include "link/wire.h"
#include "log/j2534_log.h"
#include "platform/platform.h"

namespace {

constexpr uint32_t WRITE_PAYLOAD_MAX = 6000;
constexpr uint32_t WRITE_HEADER = 8;
constexpr uint32_t RECORD_HEADER = 12;

// Record length: header, data, then 1 to 4 fill bytes.
uint32_t record_size(uint32_t data_size) { return RECORD_HEADER + (data_size & ~3u) + 4; }

} // namespace

int32_t J2534_com::write_msgs(uint32_t channel, const pt_msg_t *msgs, uint32_t *count, uint32_t timeout) {
    uint32_t n = count ? *count : 0;
    auto refuse = [&](int32_t code) {
        set_last_err(code);
        if (count) *count = 0;
        return code;
    };
    if (!count || n == 0 || !msgs) {
        refuse(ERR_NULL_PARAMETER);
        log_line(dev_index, 'E', tag, "wr %u %u %u > %s 0ms\n", channel, timeout, n, error_text().text);
        return ERR_NULL_PARAMETER;
    }

    uint8_t payload[WRITE_PAYLOAD_MAX];
    put_u16le(payload, static_cast<uint16_t>(channel));
    put_u16le(payload + 2, static_cast<uint16_t>(n));
    put_u32le(payload + 4, timeout);
    uint32_t len = WRITE_HEADER;
    for (uint32_t i = 0; i < n; ++i) {
        const pt_msg_t &m = msgs[i];
        if (m.DataSize == 0) {
            refuse(ERR_INVALID_MSG);
            log_line(dev_index, 'E', tag, "wr %u %u %u > %s 0ms\n", channel, timeout, n, error_text().text);
            return ERR_INVALID_MSG;
        }
        if (m.DataSize > PT_MSG_DATA_SIZE || len + record_size(m.DataSize) > WRITE_PAYLOAD_MAX) {
            refuse(ERR_BUFFER_TOO_SMALL);
            log_line(dev_index, 'E', tag, "wr %u %u %u > %s (msg %u data_size=%u) 0ms\n", channel, timeout,
                     n, error_text().text, i, m.DataSize);
            return ERR_BUFFER_TOO_SMALL;
        }
        uint8_t *r = payload + len;
        uint32_t size = record_size(m.DataSize);
        put_u32le(r, m.ProtocolID);
        put_u32le(r + 4, m.TxFlags);
        put_u16le(r + 8, static_cast<uint16_t>(m.DataSize));
        put_u16le(r + 10, static_cast<uint16_t>(m.ExtraDataIndex));
        memcpy(r + RECORD_HEADER, m.Data, m.DataSize);
        memset(r + RECORD_HEADER + m.DataSize, 0, size - RECORD_HEADER - m.DataSize);
        len += size;
    }

    uint32_t start_us = steady_now_us();
    uint8_t resp[4] = {};
    uint32_t elapsed = 0;
    uint32_t wait = timeout > UINT32_MAX - timeout_ms ? UINT32_MAX : timeout_ms + timeout;
    int32_t status = command(J2534_CMD_WRITE, payload, len, resp, sizeof resp, wait, &elapsed);
    uint32_t ms = (steady_now_us() - start_us) / 1000;
    if (status != STATUS_NOERROR) {
        *count = 0;
        log_line(dev_index, 'E', tag, "wr %u %u %u > %s %ums%s\n", channel, timeout, n, error_text().text,
                 ms, msg_list(msgs, n, true).c_str());
        return status;
    }
    *count = get_u16le(resp + 2);
    if (log_enabled('I'))
        log_line(dev_index, 'I', tag, "wr %u %u %u > %u %ums%s\n", channel, timeout, n, *count, ms,
                 msg_list(msgs, n, true).c_str());
    return STATUS_NOERROR;
}
