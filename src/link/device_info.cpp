// Device information operations.
#include <cstdio>

#include "link/j2534_com.h"
#include "link/wire.h"
#include "log/j2534_log.h"

namespace {
constexpr size_t VERSION_TEXT_SIZE = 80;
}

int32_t J2534_com::read_version(char *firmware_version) {
    if (!firmware_version) return ERR_NULL_PARAMETER;
    uint8_t resp[12] = {};
    uint32_t resp_len = sizeof resp;
    uint32_t elapsed = 0;
    int32_t status = send_command(J2534_CMD_READ_VERSION, nullptr, 0, resp, &resp_len, timeout_ms,
                                  &elapsed);
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

// Filled in with the ioctl work; until then these answer honestly.
int32_t J2534_com::set_programming_voltage(uint32_t, uint32_t) { return ERR_NOT_SUPPORTED; }
int32_t J2534_com::read_marks(mark_t *) { return ERR_NOT_SUPPORTED; }
int32_t J2534_com::dev_status(uint32_t, uint16_t *, uint32_t *, uint32_t *) { return ERR_NOT_SUPPORTED; }
int32_t J2534_com::secacc(uint32_t, const pt_msg_t *, uint32_t, const uint8_t *, uint8_t, uint8_t, uint8_t,
                          uint32_t) {
    return ERR_NOT_SUPPORTED;
}
