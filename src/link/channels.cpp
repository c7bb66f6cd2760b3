// Protocol channels on the VCI: connect, quick connect, disconnect.
#include "link/j2534_com.h"
#include "link/wire.h"
#include "log/j2534_log.h"
#include "log/j2534_log_fmt.h"

namespace {

constexpr uint32_t PROTOCOL_ISO13400_PS = 0x8FFD;
constexpr uint32_t PROTOCOL_HSFZ_PS = 0x8FFC;
constexpr uint32_t SLOW_CONNECT_TIMEOUT_MS = 15000;

} // namespace

int32_t J2534_com::dev_connect(uint32_t protocol, uint32_t flags, uint32_t baud, uint32_t *channel_id) {
    char prot[PROT_NAME_SIZE], flag_text[CONN_FLAGS_SIZE];
    prot_to_string(prot, sizeof prot, protocol);
    conn_flags_to_string(flag_text, sizeof flag_text, flags);
    const char *sep = flag_text[0] ? " " : "";

    uint32_t elapsed = 0;
    int32_t status;
    uint8_t resp[4] = {};
    if (!channel_id) {
        status = set_last_err(ERR_NULL_PARAMETER);
    } else {
        uint8_t req[12];
        put_u32le(req, protocol);
        put_u32le(req + 4, flags);
        put_u32le(req + 8, baud);
        bool slow = protocol == PROTOCOL_ISO13400_PS || protocol == PROTOCOL_HSFZ_PS;
        status = command(J2534_CMD_CONNECT, req, sizeof req, resp, sizeof resp,
                         slow ? SLOW_CONNECT_TIMEOUT_MS : timeout_ms, &elapsed);
    }
    if (status != STATUS_NOERROR) {
        log_line(dev_index, 'E', tag, "conn %s %u%s%s > %s %ums\n", prot, baud, sep, flag_text,
                 error_text().text, elapsed);
        return status;
    }
    *channel_id = static_cast<uint32_t>(dev_index) * 65536u + get_u16le(resp + 2);
    log_line(dev_index, 'I', tag, "conn %s %u%s%s > %u %ums\n", prot, baud, sep, flag_text, *channel_id,
             elapsed);
    return STATUS_NOERROR;
}

int32_t J2534_com::dev_qconnect(const uint8_t *data, uint32_t size, uint32_t *channel_id) {
    uint32_t elapsed = 0;
    int32_t status;
    uint8_t resp[4] = {};
    if (!channel_id)
        status = set_last_err(ERR_NULL_PARAMETER);
    else
        status = command(J2534_CMD_QCONNECT, data, data ? size : 0, resp, sizeof resp,
                         SLOW_CONNECT_TIMEOUT_MS, &elapsed);
    if (status != STATUS_NOERROR) {
        log_line(dev_index, 'E', tag, "qconn > %s %ums\n", error_text().text, elapsed);
        return status;
    }
    *channel_id = static_cast<uint32_t>(dev_index) * 65536u + get_u16le(resp + 2);
    log_line(dev_index, 'I', tag, "qconn > %u %ums\n", *channel_id, elapsed);
    return STATUS_NOERROR;
}

int32_t J2534_com::dev_disconnect(uint32_t channel) {
    uint8_t req[2];
    put_u16le(req, static_cast<uint16_t>(channel));
    uint8_t resp[2];
    uint32_t elapsed = 0;
    int32_t status = command(J2534_CMD_DISCONNECT, req, sizeof req, resp, sizeof resp, timeout_ms, &elapsed);
    rx_cache_clear(channel);
    if (status != STATUS_NOERROR) {
        log_line(dev_index, 'E', tag, "disconn %u > %s %ums\n", channel, error_text().text, elapsed);
        return status;
    }
    log_line(dev_index, 'I', tag, "disconn %u > ok %ums\n", channel, elapsed);
    return STATUS_NOERROR;
}
