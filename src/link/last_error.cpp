// Last-error texts of a link and the names of status codes.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cerrno>

#include "link/j2534_com.h"
#include "link/last_error.h"
#include "log/j2534_log.h"

namespace {

struct StatusName {
    int32_t code;
    const char *name;
};

constexpr StatusName kStatusNames[] = {
    {0, "STATUS_NOERROR"},
    {1, "ERR_NOT_SUPPORTED"},
    {2, "ERR_INVALID_CHANNEL_ID"},
    {3, "ERR_PROTOCOL_ID_NOT_SUPPORTED"},
    {4, "ERR_NULL_PARAMETER"},
    {5, "ERR_INVALID_IOCTL_VALUE"},
    {6, "ERR_FLAG_NOT_SUPPORTED"},
    {7, "ERR_FAILED"},
    {8, "ERR_DEVICE_NOT_CONNECTED"},
    {9, "ERR_TIME_OUT"},
    {10, "ERR_INVALID_MSG"},
    {11, "ERR_TIME_INTERVAL_NOT_SUPPORTED"},
    {12, "ERR_EXCEEDED_LIMIT"},
    {13, "ERR_INVALID_MSG_ID"},
    {14, "ERR_DEVICE_IN_USE"},
    {15, "ERR_INVALID_IOCTL_ID"},
    {16, "ERR_BUFFER_EMPTY"},
    {17, "ERR_BUFFER_FULL"},
    {19, "ERR_PIN_NOT_SUPPORTED"},
    {20, "ERR_CHANNEL_IN_USE"},
    {21, "ERR_MSG_PROTOCOL_ID"},
    {22, "ERR_INVALID_FILTER_ID"},
    {23, "ERR_NO_FLOW_CONTROL"},
    {24, "ERR_NOT_UNIQUE"},
    {25, "ERR_BAUDRATE_NOT_SUPPORTED"},
    {26, "ERR_INVALID_DEVICE_ID"},
    {27, "ERR_DEVICE_NOT_OPEN"},
    {28, "ERR_NULL_REQUIRED"},
    {29, "ERR_FILTER_TYPE_NOT_SUPPORTED"},
    {30, "ERR_IOCTL_PARAM_ID_NOT_SUPPORTED"},
    {31, "ERR_VOLTAGE_IN_USE"},
    {32, "ERR_PIN_IN_USE"},
    {33, "ERR_INIT_FAILED"},
    {35, "ERR_BUFFER_TOO_SMALL"},
    {36, "ERR_LOG_CHAN_NOT_ALLOWED"},
    {37, "ERR_SELECT_TYPE_NOT_SUPPORTED"},
    {38, "ERR_CONCURRENT_API_CALL"},
    {0x500, "J2534_EXT_ERR_FIVEBAUD_INVADR"},
    {0x502, "J2534_EXT_ERR_SECACC_PARAM"},
    {0x503, "J2534_EXT_ERR_SECACC_LEN"},
    {0x504, "J2534_EXT_ERR_INTERNAL"},
    {0x505, "J2534_EXT_ERR_LEN"},
    {0x506, "J2534_EXT_ERR_INVALID_PACKET"},
    {0x507, "J2534_EXT_ERR_CS_PACKET"},
    {0x508, "J2534_EXT_ERR_NUMMSG"},
    {0x509, "J2534_EXT_ERR_MARK"},
    {0x50A, "J2534_EXT_ERR_SIGN"},
    {0x50B, "J2534_EXT_ERR_MARK_TIME"},
    {0x10000, "ERR_ADDRESS_NOT_CLAIMED"},
    {0x10001, "ERR_NO_CONNECTION_ESTABLISHED"},
    {0x10002, "ERR_RESOURCE_IN_USE"},
};

constexpr size_t VCI_TEXT_MAX = 124; // what a 128-byte answer holds after its header

} // namespace

const char *status_name(int32_t code) {
    for (const StatusName &s : kStatusNames)
        if (s.code == code) return s.name;
    return nullptr;
}

const char *sys_strerror(int number) { return strerror(number); }

void trim_utf8_tail(char *text) {
    size_t n = strlen(text);
    size_t end = n;
    while (end > 0 && (static_cast<unsigned char>(text[end - 1]) & 0xC0) == 0x80) --end;
    // A lead byte before the continuation bytes, or a lone lead byte at the end.
    if (end > 0 && (static_cast<unsigned char>(text[end - 1]) & 0xC0) == 0xC0) --end;
    text[end] = 0;
}

int J2534_com::get_last_error_from_system(int) { return errno; }

void J2534_com::store_last_error(const char *text, bool log_it) {
    {
        std::lock_guard<std::mutex> lock(last_error_mutex);
        snprintf(last_error, sizeof last_error, "%s", text);
    }
    if (log_it) log_line(dev_index, 'E', tag, "%s\n", text);
}

int32_t J2534_com::set_last_error(const char *fmt, ...) {
    char text[LAST_ERROR_SIZE];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    store_last_error(text, true);
    return ERR_FAILED;
}

int32_t J2534_com::set_last_err(int32_t code) {
    if (code != ERR_FAILED) {
        if (const char *name = status_name(code)) {
            store_last_error(name, false);
        } else {
            char text[32];
            snprintf(text, sizeof text, "Unknown error: %i", code);
            store_last_error(text, true);
        }
    }
    return code < 0x500 ? code : ERR_FAILED;
}

void J2534_com::dev_get_last_error() {
    uint8_t resp[128] = {};
    uint32_t resp_len = sizeof resp;
    uint32_t elapsed = 0;
    int32_t status = send_command(J2534_CMD_GET_LAST_ERROR, nullptr, 0, resp, &resp_len, timeout_ms,
                                  &elapsed);
    if (status != STATUS_NOERROR || resp_len < 4) {
        log_line(dev_index, 'E', tag, "getlasterr > err:%i %ums\n", status, elapsed);
        return;
    }
    size_t len = static_cast<size_t>(resp[2] | (resp[3] << 8));
    size_t received = (resp_len < sizeof resp ? resp_len : sizeof resp) - 4;
    if (len > VCI_TEXT_MAX) len = VCI_TEXT_MAX;
    if (len > received) len = received;
    std::lock_guard<std::mutex> lock(last_error_mutex);
    memcpy(last_error, resp + 4, len);
    last_error[len] = 0;
}

void J2534_com::copy_last_error(char *buffer, size_t size) {
    if (!buffer || size == 0) return;
    std::lock_guard<std::mutex> lock(last_error_mutex);
    snprintf(buffer, size, "%s", last_error);
}

void J2534_com::get_last_error_str(char *buffer, unsigned size) {
    copy_last_error(buffer, size);
    if (buffer && size) trim_utf8_tail(buffer);
}

J2534_com::ErrorText J2534_com::error_text() {
    ErrorText t;
    copy_last_error(t.text, sizeof t.text);
    return t;
}
