// Device information operations.
#include <cstdio>
#include <cstring>

#include "link/j2534_com.h"
#include "link/wire.h"
#include "log/j2534_log.h"

namespace {
constexpr size_t VERSION_TEXT_SIZE = 80;
constexpr size_t CALL_TEXT_SIZE = 128;

constexpr uint8_t J2534_CMD_STATUS = 0x4C;
constexpr uint8_t J2534_CMD_SECACC = 0x4D;
constexpr uint8_t J2534_CMD_SET_VOLTAGE = 0x53;
constexpr uint8_t J2534_CMD_READ_MARKS = 0x57;

constexpr uint32_t MARKS_OFFSET = 4;
constexpr uint32_t SECACC_HEADER = 32;
constexpr uint32_t SECACC_BYTES_OFFSET = 13;
constexpr uint32_t SECACC_BYTES_MAX = 19;
constexpr uint32_t SECACC_RECORD_HEADER =
    12; // ProtocolID, TxFlags, DataSize u16, ExtraDataIndex u16
} // namespace

int32_t J2534_com::read_version(char *firmware_version) {
    if (!firmware_version) return ERR_NULL_PARAMETER;
    uint8_t resp[12] = {};
    uint32_t resp_len = sizeof resp;
    uint32_t elapsed = 0;
    int32_t status =
        send_command(J2534_CMD_READ_VERSION, nullptr, 0, resp, &resp_len, timeout_ms, &elapsed);
    if (status != STATUS_NOERROR) {
        char reason[LAST_ERROR_SIZE];
        copy_last_error(reason, sizeof reason);
        log_line(dev_index, 'E', tag, "rd_ver > %s %ums\n", reason, elapsed);
        return status;
    }
    snprintf(firmware_version, VERSION_TEXT_SIZE, "FW:%u;HW:%.8X;SN:%u", get_u32le(resp + 4),
             static_cast<unsigned>(get_u16le(resp + 2)), get_u32le(resp + 8));
    log_line(dev_index, 'I', tag, "rd_ver > ver:%s %ums\n", firmware_version, elapsed);
    return STATUS_NOERROR;
}

int32_t J2534_com::set_programming_voltage(uint32_t pin, uint32_t voltage) {
    char call[CALL_TEXT_SIZE];
    snprintf(call, sizeof call, "set_volt pin:%u, v:%u", pin, voltage);
    uint8_t req[4];
    put_u16le(req, static_cast<uint16_t>(pin));
    put_u16le(req + 2,
              static_cast<uint16_t>(voltage)); // VOLTAGE_OFF and SHORT_TO_GROUND travel as 16 bits
    uint8_t resp[2] = {};
    uint32_t elapsed = 0;
    int32_t status =
        command(J2534_CMD_SET_VOLTAGE, req, sizeof req, resp, sizeof resp, timeout_ms, &elapsed);
    if (status != STATUS_NOERROR) {
        log_line(dev_index, 'E', tag, "%s > %s %ums\n", call, error_text().text, elapsed);
        return status;
    }
    log_line(dev_index, 'I', tag, "%s > ok %ums\n", call, elapsed);
    return STATUS_NOERROR;
}

int32_t J2534_com::read_marks(mark_t *marks) {
    if (!marks) return ERR_NULL_PARAMETER;
    uint8_t resp[MARKS_OFFSET + sizeof(mark_t)] = {};
    uint32_t elapsed = 0;
    int32_t status =
        command(J2534_CMD_READ_MARKS, nullptr, 0, resp, sizeof resp, timeout_ms, &elapsed);
    if (status != STATUS_NOERROR) {
        log_line(dev_index, 'E', tag, "rd_mask > %s %ums\n", error_text().text, elapsed);
        return status;
    }
    memcpy(marks->data, resp + MARKS_OFFSET, sizeof marks->data);
    log_line(dev_index, 'I', tag, "rd_mask > ok %ums\n", elapsed);
    return STATUS_NOERROR;
}

int32_t J2534_com::dev_status(uint32_t channel, uint16_t *tp, uint32_t *mem, uint32_t *battery_mv) {
    uint8_t req[2];
    put_u16le(req, static_cast<uint16_t>(channel));
    uint8_t resp[12] = {};
    uint32_t elapsed = 0;
    int32_t status =
        command(J2534_CMD_STATUS, req, sizeof req, resp, sizeof resp, timeout_ms, &elapsed);
    if (status != STATUS_NOERROR) {
        log_line(dev_index, 'E', tag, "status > %s %ums\n", error_text().text, elapsed);
        return status;
    }
    uint16_t tp_value = get_u16le(resp + 2);
    uint32_t mem_value = get_u32le(resp + 4);
    uint32_t mv = get_u32le(resp + 8);
    if (tp) *tp = tp_value;
    if (mem) *mem = mem_value;
    if (battery_mv) *battery_mv = mv;
    log_line(dev_index, 'I', tag, "status > tp:%u mem:%u bat_v:%u.%u %ums\n",
             static_cast<unsigned>(tp_value), mem_value, mv / 1000, mv % 1000 / 100, elapsed);
    return STATUS_NOERROR;
}

int32_t J2534_com::secacc(uint32_t channel, const pt_msg_t *msg, uint32_t arg32,
                          const uint8_t *bytes, uint8_t num_bytes, uint8_t arg1, uint8_t arg2,
                          uint32_t timeout) {
    bool with_msg = msg && msg->DataSize != 0;
    if (with_msg && msg->DataSize > PT_MSG_DATA_SIZE) {
        set_last_err(ERR_INVALID_MSG);
        log_line(dev_index, 'E', tag, "SecAcc > %s 0ms\n", error_text().text);
        return ERR_INVALID_MSG;
    }

    uint8_t req[SECACC_HEADER + SECACC_RECORD_HEADER + PT_MSG_DATA_SIZE + 4] = {};
    put_u16le(req, static_cast<uint16_t>(channel));
    req[2] = arg1;
    req[3] = arg2;
    put_u32le(req + 4, timeout);
    put_u32le(req + 8, arg32);
    req[12] = num_bytes;
    if (bytes && num_bytes)
        memcpy(req + SECACC_BYTES_OFFSET, bytes,
               num_bytes < SECACC_BYTES_MAX ? num_bytes : SECACC_BYTES_MAX);
    uint32_t len = SECACC_HEADER;
    if (with_msg) {
        uint8_t *r = req + SECACC_HEADER;
        put_u32le(r, msg->ProtocolID);
        put_u32le(r + 4, msg->TxFlags);
        put_u16le(r + 8, static_cast<uint16_t>(msg->DataSize));
        put_u16le(r + 10, static_cast<uint16_t>(msg->ExtraDataIndex));
        memcpy(r + SECACC_RECORD_HEADER, msg->Data, msg->DataSize);
        len += SECACC_RECORD_HEADER + (msg->DataSize & ~3u) + 4; // the rest of the record stays 0
    }

    uint8_t resp[2] = {};
    uint32_t elapsed = 0;
    uint32_t wait = timeout > UINT32_MAX - timeout_ms ? UINT32_MAX : timeout_ms + timeout;
    int32_t status = command(J2534_CMD_SECACC, req, len, resp, sizeof resp, wait, &elapsed);
    if (status != STATUS_NOERROR) {
        log_line(dev_index, 'E', tag, "SecAcc > %s %ums\n", error_text().text, elapsed);
        return status;
    }
    log_line(dev_index, 'I', tag, "SecAcc > OK %ums\n", elapsed);
    return STATUS_NOERROR;
}
