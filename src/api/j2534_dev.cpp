#include "api/j2534_dev.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "api/j2534_dll.h"
#include "api/version.h"
#include "link/last_error.h"
#include "log/j2534_log.h"

namespace {

constexpr const char *TAG = "pt_lib";
constexpr size_t NAME_SCAN_LIMIT = 80;
constexpr size_t ADDRESS_MAX = 79;

std::mutex devices_mutex;
devices_t devices[MAX_DEVICES];
bool devices_initialized = false;

void reset_slot(devices_t &d) {
    d.com.reset();
    d.name[0] = 0;
    d.boot_type = 0;
    d.is_devhub = 0;
}

// Lowest free slot, or -1; caller holds devices_mutex.
int free_slot_locked() {
    for (uint32_t i = 0; i < MAX_DEVICES; ++i)
        if (!devices[i].com) return static_cast<int>(i);
    return -1;
}

void release_slot(int slot) {
    std::lock_guard<std::mutex> lock(devices_mutex);
    reset_slot(devices[slot]);
}

void copy_text(char *dst, size_t size, const char *src, size_t len) {
    if (len > size - 1) len = size - 1;
    memcpy(dst, src, len);
    dst[len] = 0;
}

struct LinkType {
    char letter;
    uint8_t type;
    size_t max_len; // 0: as given
};

constexpr LinkType kLinkTypes[] = {
    {'n', DEV_TYPE_LAN, 16},
    {'b', DEV_TYPE_BLUETOOTH_MAC, 0},
    {'m', DEV_TYPE_BLUETOOTH_MAC, 18},
    {'u', DEV_TYPE_BLUETOOTH_UUID, 0},
    {'c', DEV_TYPE_SERIAL, 0},
};

const LinkType *find_link_type(char letter) {
    for (const LinkType &t : kLinkTypes)
        if (t.letter == letter) return &t;
    return nullptr;
}

// Value of a DevHub key: the text after the key up to the next ';' or the end.
const char *devhub_value(const char *name, const char *key, size_t *len) {
    const char *p = strstr(name, key);
    if (!p) return nullptr;
    p += strlen(key);
    *len = strcspn(p, ";");
    return p;
}

// Whole text a base-10 unsigned number no larger than max.
bool parse_decimal(const char *text, unsigned long long max, unsigned long long *out) {
    if (!*text || *text < '0' || *text > '9') return false;
    errno = 0;
    char *end = nullptr;
    unsigned long long v = strtoull(text, &end, 10);
    if (errno != 0 || *end != 0 || v > max) return false;
    *out = v;
    return true;
}

int32_t devhub_fail(const char *fmt, size_t len) {
    log_line(0, 'E', TAG, fmt, len);
    return ERR_INVALID_MSG;
}

int32_t devhub_fail_text(const char *fmt, const char *text) {
    log_line(0, 'E', TAG, fmt, text);
    return ERR_INVALID_MSG;
}

} // namespace

int32_t parse_devhub_string(const char *name, devhub_params_t *params) {
    if (!name || !params) return ERR_NULL_PARAMETER;
    memset(params, 0, sizeof *params);
    snprintf(params->pin, sizeof params->pin, "472915");
    params->dev_type = 1;

    size_t host_len = 0, user_len = 0, pin_len = 0, type_len = 0, sn_len = 0;
    const char *host = devhub_value(name, ";h:", &host_len);
    const char *user = devhub_value(name, ";u:", &user_len);
    const char *pin = devhub_value(name, ";p:", &pin_len);
    const char *type = devhub_value(name, ";t:", &type_len);
    const char *sn = devhub_value(name, ";s:", &sn_len);
    if (!host || !user || !sn) {
        log_line(0, 'E', TAG, "parse_devhub: missing required parameters (h:, u:, s:)\n");
        return ERR_INVALID_MSG;
    }

    const char *colon = static_cast<const char *>(memchr(host, ':', host_len));
    if (colon) host_len = static_cast<size_t>(colon - host);
    if (host_len < 1 || host_len > 255)
        return devhub_fail("parse_devhub: invalid host length %zu\n", host_len);
    copy_text(params->host, sizeof params->host, host, host_len);

    if (user_len < 1 || user_len > 254)
        return devhub_fail("parse_devhub: invalid user_info length %zu\n", user_len);
    copy_text(params->user_info, sizeof params->user_info, user, user_len);

    if (pin) {
        if (pin_len != 6) return devhub_fail("parse_devhub: invalid PIN length %zu (must be 6)\n", pin_len);
        copy_text(params->pin, sizeof params->pin, pin, pin_len);
    }

    if (type) {
        if (type_len < 1 || type_len > 7)
            return devhub_fail("parse_devhub: invalid dev_type length %zu\n", type_len);
        char text[8];
        copy_text(text, sizeof text, type, type_len);
        unsigned long long v = 0;
        if (!parse_decimal(text, 255, &v))
            return devhub_fail_text("parse_devhub: invalid dev_type value '%s'\n", text);
        params->dev_type = static_cast<uint8_t>(v);
    }

    if (sn_len < 1 || sn_len > 15) return devhub_fail("parse_devhub: invalid SN length %zu\n", sn_len);
    char sn_text[16];
    copy_text(sn_text, sizeof sn_text, sn, sn_len);
    unsigned long long sn_value = 0;
    if (!parse_decimal(sn_text, 4294967295ull, &sn_value))
        return devhub_fail_text("parse_devhub: invalid SN value '%s'\n", sn_text);
    params->sn = static_cast<uint32_t>(sn_value);

    log_line(0, 'I', TAG, "parse_devhub: host=%s, user=%s, sn=%u\n", params->host, params->user_info,
             params->sn);
    return STATUS_NOERROR;
}

int32_t parse_device_name(const char *name, uint8_t *type, char *address) {
    size_t scan = strnlen(name, NAME_SCAN_LIMIT);
    const char *semi = static_cast<const char *>(memchr(name, ';', scan));
    if (!semi || semi[1] == 0) {
        log_line(0, 'E', TAG, "open > ERR_NULL_PARAMETER\n");
        return ERR_NULL_PARAMETER;
    }
    char letter = semi[1];
    const LinkType *link = find_link_type(letter);
    if (letter == 's') {
        log_line(0, 'E', TAG, "open > ERR_OPEN_FAILED\n");
        return ERR_OPEN_FAILED;
    }
    if (!link) {
        log_line(0, 'E', TAG, "open%i > ERR_OPEN_FAILED\n", static_cast<int>(static_cast<unsigned char>(letter)));
        return ERR_OPEN_FAILED;
    }
    const char *rest = semi + 2;
    size_t len = strnlen(rest, ADDRESS_MAX);
    if (link->max_len && len > link->max_len) len = link->max_len;
    copy_text(address, ADDRESS_MAX + 1, rest, len);
    if (!address[0]) {
        log_line(0, 'E', TAG, "open > ERR_NULL_PARAMETER\n");
        return ERR_NULL_PARAMETER;
    }
    *type = link->type;
    return STATUS_NOERROR;
}

int32_t open_device(const char *name, uint32_t *pDeviceID) {
    {
        std::lock_guard<std::mutex> lock(devices_mutex);
        if (!devices_initialized) {
            for (devices_t &d : devices) reset_slot(d);
            devices_initialized = true;
        }
    }
    if (!pDeviceID || !name || !*name) {
        log_line(0, 'E', TAG, "open > ERR_NULL_PARAMETER\n");
        return ERR_NULL_PARAMETER;
    }

    if (strstr(name, ";h:")) {
        log_line(0, 'I', TAG, "open DevHub mode detected\n");
        devhub_params_t params;
        int32_t status = parse_devhub_string(name, &params);
        if (status != STATUS_NOERROR) return status;
        // The relay link is not part of this build yet.
        set_last_error_global("DevHub relay not supported in this build");
        return ERR_NOT_SUPPORTED;
    }

    uint8_t type = 0;
    char address[ADDRESS_MAX + 1];
    int32_t parsed = parse_device_name(name, &type, address);
    if (parsed != STATUS_NOERROR) return parsed;
    log_line(0, 'I', TAG, "open param: %s, type:%i\n", address, type);

    int slot;
    std::shared_ptr<J2534_com> com;
    {
        std::lock_guard<std::mutex> lock(devices_mutex);
        for (const devices_t &d : devices) {
            if (d.com && strcmp(d.name, address) == 0) {
                log_line(0, 'E', TAG, "open name:%s > ERR_DEVICE_IN_USE\n", name);
                return ERR_DEVICE_IN_USE;
            }
        }
        slot = free_slot_locked();
        if (slot < 0) {
            log_line(0, 'E', TAG, "open > ERR_EXCEEDED_LIMIT\n");
            return ERR_EXCEEDED_LIMIT;
        }
        com = std::make_shared<J2534_com>();
        devices[slot].com = com;
    }

    int32_t status = com->dev_open(type, address, slot);
    if (status != STATUS_NOERROR) {
        char text[80];
        com->get_last_error_str(text, sizeof text);
        if (text[0]) set_last_error_global("%s", text);
        release_slot(slot);
        return status;
    }
    *pDeviceID = static_cast<uint32_t>(slot);
    std::lock_guard<std::mutex> lock(devices_mutex);
    snprintf(devices[slot].name, sizeof devices[slot].name, "%s", address);
    devices[slot].is_devhub = 0;
    return STATUS_NOERROR;
}

int32_t close_device(uint32_t dev) {
    std::shared_ptr<J2534_com> com;
    {
        std::lock_guard<std::mutex> lock(devices_mutex);
        if (dev >= MAX_DEVICES) {
            log_line(0, 'E', TAG, "close dev_id:%i > ERR_INVALID_DEVICE_ID\n", static_cast<int>(dev));
            return ERR_INVALID_DEVICE_ID;
        }
        devices_t &d = devices[dev];
        // A slot whose open is still in progress is not open yet.
        if (!d.com || !d.name[0]) {
            log_line(0, 'E', TAG, "close dev_id:%i > ERR_DEVICE_NOT_OPEN\n", static_cast<int>(dev));
            return ERR_INVALID_DEVICE_ID;
        }
        com = d.com;
        reset_slot(d);
    }
    com->dev_close();
    return STATUS_NOERROR;
}

std::shared_ptr<J2534_com> get_device_handle(uint32_t dev) {
    if (dev >= MAX_DEVICES) return nullptr;
    std::lock_guard<std::mutex> lock(devices_mutex);
    const devices_t &d = devices[dev];
    return d.name[0] ? d.com : nullptr;
}

int32_t get_last_error_device(char *text) {
    std::shared_ptr<J2534_com> com;
    {
        std::lock_guard<std::mutex> lock(devices_mutex);
        for (const devices_t &d : devices) {
            if (d.com) {
                com = d.com;
                break;
            }
        }
    }
    if (!com) return ERR_DEVICE_NOT_OPEN;
    com->get_last_error_str(text, 80);
    return STATUS_NOERROR;
}

int32_t get_opened_device_info(uint32_t dev, char *name, uint32_t capacity, bool *open) {
    if (dev >= MAX_DEVICES) return ERR_INVALID_DEVICE_ID;
    std::lock_guard<std::mutex> lock(devices_mutex);
    const devices_t &d = devices[dev];
    if (open) *open = static_cast<bool>(d.com);
    if (name && capacity) copy_text(name, capacity, d.com ? d.name : "", d.com ? strlen(d.name) : 0);
    return STATUS_NOERROR;
}

namespace {

// Runs op on the link of device `dev`; a missing link writes the dispatch line.
template <class Op>
int32_t with_device(uint32_t dev, const char *what, Op op) {
    std::shared_ptr<J2534_com> com = get_device_handle(dev);
    if (!com) {
        log_line(0, 'E', TAG, "%s dev_id:%i > ERR_INVALID_DEVICE_ID\n", what, static_cast<int>(dev));
        return ERR_INVALID_DEVICE_ID;
    }
    return op(*com);
}

// Runs op on the link of the device in the upper half of channel identifier `chan`.
template <class Op>
int32_t with_channel(uint32_t chan, const char *what, Op op, bool print_whole_id = false) {
    std::shared_ptr<J2534_com> com = get_device_handle(chan >> 16);
    if (!com) {
        uint32_t shown = print_whole_id ? chan : chan >> 16;
        log_line(0, 'E', TAG, "%s dev_id:%i > ERR_DEVICE_NOT_OPEN\n", what, static_cast<int>(shown));
        return ERR_DEVICE_NOT_OPEN;
    }
    return op(*com);
}

} // namespace

int32_t connect_device(uint32_t dev, uint32_t ProtocolID, uint32_t Flags, uint32_t BaudRate,
                       uint32_t *pChannelID) {
    std::shared_ptr<J2534_com> com = get_device_handle(dev);
    if (!com) {
        const char *why = dev >= MAX_DEVICES ? "ERR_INVALID_DEVICE_ID" : "ERR_DEVICE_NOT_OPEN";
        log_line(0, 'E', TAG, "conn dev_id:%i > %s\n", static_cast<int>(dev), why);
        return ERR_INVALID_DEVICE_ID;
    }
    return com->dev_connect(ProtocolID, Flags, BaudRate, pChannelID);
}

int32_t qconnect_device(uint32_t dev, uint8_t *pData, uint32_t DataSize, uint32_t *pChannelID) {
    return with_device(dev, "qconnect",
                       [&](J2534_com &com) { return com.dev_qconnect(pData, DataSize, pChannelID); });
}

int32_t disconnect_device(uint32_t chan) {
    return with_channel(
        chan, "disconn", [&](J2534_com &com) { return com.dev_disconnect(chan & 0xFFFF); }, true);
}

int32_t read_msgs_device(uint32_t chan, pt_msg_t *pMsg, uint32_t *pNumMsgs, uint32_t Timeout) {
    return with_channel(chan, "rd_msg", [&](J2534_com &com) {
        return com.read_msgs(chan & 0xFFFF, pMsg, pNumMsgs, Timeout);
    });
}

int32_t write_msgs_device(uint32_t chan, pt_msg_t *pMsg, uint32_t *pNumMsgs, uint32_t Timeout) {
    return with_channel(chan, "wr_msg", [&](J2534_com &com) {
        return com.write_msgs(chan & 0xFFFF, pMsg, pNumMsgs, Timeout);
    });
}

int32_t start_periodic_msg_device(uint32_t chan, pt_msg_t *pMsg, uint32_t *pMsgID,
                                  uint32_t TimeInterval) {
    return with_channel(chan, "start_per_msg", [&](J2534_com &com) {
        return com.start_periodic_msg(chan & 0xFFFF, pMsg, pMsgID, TimeInterval);
    });
}

int32_t stop_periodic_msg_device(uint32_t chan, uint32_t MsgID) {
    return with_channel(chan, "stop_per_msg",
                        [&](J2534_com &com) { return com.stop_periodic_msg(chan & 0xFFFF, MsgID); });
}

int32_t start_msg_filter_device(uint32_t chan, uint32_t FilterType, pt_msg_t *pMaskMsg,
                                pt_msg_t *pPatternMsg, pt_msg_t *pFlowControlMsg,
                                uint32_t *pFilterID) {
    return with_channel(chan, "start_flt", [&](J2534_com &com) {
        return com.start_msg_filter(chan & 0xFFFF, FilterType, pMaskMsg, pPatternMsg, pFlowControlMsg,
                                    pFilterID);
    });
}

int32_t stop_msg_filter_device(uint32_t chan, uint32_t FilterID) {
    return with_channel(chan, "stop_flt",
                        [&](J2534_com &com) { return com.stop_msg_filter(chan & 0xFFFF, FilterID); });
}

int32_t set_programming_voltage_device(uint32_t dev, uint32_t PinNumber, uint32_t Voltage) {
    return with_device(dev, "set_volt",
                       [&](J2534_com &com) { return com.set_programming_voltage(PinNumber, Voltage); });
}

int32_t read_version_device(uint32_t dev, char *pFirmwareVersion, char *pDllVersion,
                            char *pApiVersion) {
    return with_device(dev, "rd_ver", [&](J2534_com &com) {
        int32_t status = com.read_version(pFirmwareVersion);
        if (status == STATUS_NOERROR) {
            if (pDllVersion) memcpy(pDllVersion, dll_ver, sizeof dll_ver);
            if (pApiVersion) memcpy(pApiVersion, api_ver, sizeof api_ver);
        }
        return status;
    });
}

int32_t read_marks_device(uint32_t dev, mark_t *pMarks) {
    return with_device(dev, "rd_mask", [&](J2534_com &com) { return com.read_marks(pMarks); });
}

int32_t status_device(uint32_t chan, uint16_t *pTp, uint32_t *pMem, uint32_t *pBatteryVoltage) {
    return with_channel(chan, "status", [&](J2534_com &com) {
        return com.dev_status(chan & 0xFFFF, pTp, pMem, pBatteryVoltage);
    });
}

int32_t ioctl_device(uint32_t chan, uint32_t IoctlID, void *pInput, void *pOutput) {
    return with_channel(chan, "ioctl",
                        [&](J2534_com &com) { return com.ioctl(chan & 0xFFFF, IoctlID, pInput, pOutput); });
}

int32_t secacc_device(uint32_t chan, pt_msg_t *pMsg, uint32_t Arg32, const uint8_t *pBytes,
                      uint8_t NumBytes, uint8_t Arg1, uint8_t Arg2, uint32_t Timeout) {
    return with_channel(chan, "SecAcc", [&](J2534_com &com) {
        return com.secacc(chan & 0xFFFF, pMsg, Arg32, pBytes, NumBytes, Arg1, Arg2, Timeout);
    });
}
