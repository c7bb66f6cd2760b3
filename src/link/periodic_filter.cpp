// Periodic messages and message filters kept by the VCI.
#include <cstring>

#include "link/j2534_com.h"
#include "link/wire.h"
#include "log/j2534_log.h"
#include "log/j2534_log_fmt.h"

namespace {

constexpr uint32_t PERIODIC_DATA_MAX = 12;
constexpr uint32_t FILTER_DATA_MAX = 12;
constexpr uint32_t FLOW_CONTROL_DATA_MAX = 5;
constexpr size_t FILTER_HEX_SIZE = FILTER_DATA_MAX * 2 + 1;

const char *filter_type_name(uint32_t type) {
    static const char *const names[] = {"UNKN", "PASS", "BLOCK", "FLOW"};
    return type <= FLOW_CONTROL_FILTER ? names[type] : names[0];
}

} // namespace

int32_t J2534_com::start_periodic_msg(uint32_t channel, const pt_msg_t *msg, uint32_t *msg_id,
                                      uint32_t interval) {
    int32_t refused = STATUS_NOERROR;
    if (!msg_id || !msg)
        refused = ERR_NULL_PARAMETER;
    else if (msg->DataSize == 0 || msg->DataSize > PERIODIC_DATA_MAX)
        refused = ERR_INVALID_MSG;
    if (refused != STATUS_NOERROR) {
        set_last_err(refused);
        log_line(dev_index, 'E', tag, "per+ %u %u > %s 0ms\n", channel, interval, error_text().text);
        return refused;
    }

    uint8_t req[28] = {};
    put_u16le(req, static_cast<uint16_t>(channel));
    put_u32le(req + 4, msg->TxFlags);
    put_u32le(req + 8, interval);
    put_u16le(req + 12, static_cast<uint16_t>(msg->DataSize));
    memcpy(req + 14, msg->Data, msg->DataSize);
    uint8_t resp[4] = {};
    uint32_t elapsed = 0;
    int32_t status = command(J2534_CMD_START_PERIODIC, req, sizeof req, resp, sizeof resp, timeout_ms, &elapsed);

    char line[MSG_LINE_SIZE];
    log_msg_line(line, sizeof line, *msg, true);
    if (status != STATUS_NOERROR) {
        log_line(dev_index, 'E', tag, "per+ %u %u > %s %ums\n\t%s\n", channel, interval, error_text().text,
                 elapsed, line);
        return status;
    }
    *msg_id = get_u16le(resp + 2);
    log_line(dev_index, 'I', tag, "per+ %u %u > %u %ums\n\t%s\n", channel, interval, *msg_id, elapsed, line);
    return STATUS_NOERROR;
}

// Stops a periodic message or a filter: (channel, identifier), then the "per-" or "flt-" line.
int32_t J2534_com::stop_item(uint8_t cmd, const char *what, uint32_t channel, uint32_t id) {
    uint8_t req[4];
    put_u16le(req, static_cast<uint16_t>(channel));
    put_u16le(req + 2, static_cast<uint16_t>(id));
    uint8_t resp[2];
    uint32_t elapsed = 0;
    int32_t status = command(cmd, req, sizeof req, resp, sizeof resp, timeout_ms, &elapsed);
    if (status != STATUS_NOERROR)
        log_line(dev_index, 'E', tag, "%s %u %u > %s %ums\n", what, channel, id, error_text().text, elapsed);
    else
        log_line(dev_index, 'I', tag, "%s %u %u > ok %ums\n", what, channel, id, elapsed);
    return status;
}

int32_t J2534_com::stop_periodic_msg(uint32_t channel, uint32_t msg_id) {
    return stop_item(J2534_CMD_STOP_PERIODIC, "per-", channel, msg_id);
}

int32_t J2534_com::start_msg_filter(uint32_t channel, uint32_t type, const pt_msg_t *mask,
                                    const pt_msg_t *pattern, const pt_msg_t *flow_control,
                                    uint32_t *filter_id) {
    const char *type_name = filter_type_name(type);
    int32_t refused = STATUS_NOERROR;
    if (!filter_id)
        refused = ERR_NULL_PARAMETER;
    else if (!mask || !pattern || mask->DataSize > FILTER_DATA_MAX || pattern->DataSize > FILTER_DATA_MAX)
        refused = ERR_INVALID_MSG;
    if (refused != STATUS_NOERROR) {
        set_last_err(refused);
        log_line(dev_index, 'E', tag, "flt+ %u %s > %s\n", channel, type_name, error_text().text);
        return refused;
    }

    char prot[PROT_NAME_SIZE], mask_hex[FILTER_HEX_SIZE], pattern_hex[FILTER_HEX_SIZE];
    char fc_hex[FILTER_HEX_SIZE] = "";
    prot_to_string(prot, sizeof prot, mask->ProtocolID);
    tohex(mask->Data, static_cast<uint16_t>(mask->DataSize), mask_hex, sizeof mask_hex);
    tohex(pattern->Data, static_cast<uint16_t>(pattern->DataSize), pattern_hex, sizeof pattern_hex);
    if (type == 0 || type > FLOW_CONTROL_FILTER) {
        set_last_err(ERR_NOT_SUPPORTED);
        log_line(dev_index, 'E', tag, "flt+ %u %s %s > %s\n", channel, prot, type_name, error_text().text);
        return ERR_NOT_SUPPORTED;
    }
    bool flow = type == FLOW_CONTROL_FILTER;
    if (flow) {
        if (!flow_control || flow_control->DataSize > FLOW_CONTROL_DATA_MAX) {
            set_last_err(ERR_INVALID_MSG);
            log_line(dev_index, 'E', tag, "flt+ %u %s %s %s %s > %s\n", channel, prot, type_name, mask_hex,
                     pattern_hex, error_text().text);
            return ERR_INVALID_MSG;
        }
        tohex(flow_control->Data, static_cast<uint16_t>(flow_control->DataSize), fc_hex, sizeof fc_hex);
    }

    uint8_t req[40] = {};
    put_u16le(req, static_cast<uint16_t>(channel));
    req[4] = static_cast<uint8_t>(type);
    if (flow) {
        memcpy(req + 6, flow_control->Data, flow_control->DataSize);
        put_u32le(req + 12, flow_control->TxFlags);
    } else {
        req[5] = static_cast<uint8_t>(mask->DataSize);
        put_u32le(req + 12, mask->TxFlags);
    }
    memcpy(req + 16, mask->Data, mask->DataSize);
    memcpy(req + 28, pattern->Data, pattern->DataSize);
    uint8_t resp[4] = {};
    uint32_t elapsed = 0;
    int32_t status = command(J2534_CMD_START_FILTER, req, sizeof req, resp, sizeof resp, timeout_ms, &elapsed);

    const char *sep = fc_hex[0] ? " " : "";
    if (status != STATUS_NOERROR) {
        log_line(dev_index, 'E', tag, "flt+ %u %s %s %s %s%s%s > %s %ums\n", channel, prot, type_name,
                 mask_hex, pattern_hex, sep, fc_hex, error_text().text, elapsed);
        return status;
    }
    *filter_id = get_u16le(resp + 2);
    log_line(dev_index, 'I', tag, "flt+ %u %s %s %s %s%s%s > %u %ums\n", channel, prot, type_name, mask_hex,
             pattern_hex, sep, fc_hex, *filter_id, elapsed);
    return STATUS_NOERROR;
}

int32_t J2534_com::stop_msg_filter(uint32_t channel, uint32_t filter_id) {
    return stop_item(J2534_CMD_STOP_FILTER, "flt-", channel, filter_id);
}
