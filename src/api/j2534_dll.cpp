// The exported functions and the library's load and unload hooks.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include <j2534vk/j2534vk.h>

#include "api/j2534_dev.h"
#include "api/j2534_dll.h"
#include "config/j2534_config.h"
#include "link/last_error.h"
#include "log/j2534_log.h"
#include "platform/platform.h"

namespace {

constexpr const char *TAG = "pt_dll";

// Guarded so a reader never copies a half-written text.
std::mutex s_last_error_mutex;
char g_last_error[GLOBAL_ERROR_SIZE] = "";

std::mutex s_log_folder_mutex;
char g_log_folder[1024] = "";

void init_log_folder() {
    std::lock_guard<std::mutex> lock(s_log_folder_mutex);
    if (g_log_folder[0]) return;
    if (const char *dir = j2534_config_get_dir()) snprintf(g_log_folder, sizeof g_log_folder, "%s/vklogs", dir);
}

// No exception crosses the boundary.
template <class F>
int32_t guarded(F f) noexcept {
    try {
        return f();
    } catch (...) {
        return ERR_FAILED;
    }
}

// Device name from the configuration's current device and interface; false when
// the current interface is a relay, which cannot be opened without its URL.
bool name_from_config(j2534_config_t &cfg, uint32_t number, char *name, size_t size,
                      const char **out) {
    j2534_device_t *dev = j2534_config_get_current_device(&cfg);
    const j2534_interface_t *itf = dev ? j2534_config_get_current_interface(dev) : nullptr;
    if (!itf) return true;
    const char *address = nullptr;
    switch (itf->type) {
    case 'b':
    case 'c': address = itf->device_name; break;
    case 'n': address = itf->ip; break;
    case 'h': return itf->ip[0] == 0;
    default: break;
    }
    if (address && address[0]) {
        snprintf(name, size, "vk%u;%c%s", number, itf->type, address);
        *out = name;
    }
    return true;
}

} // namespace

int32_t set_last_error_global(const char *fmt, ...) {
    char text[GLOBAL_ERROR_SIZE];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    {
        std::lock_guard<std::mutex> lock(s_last_error_mutex);
        memcpy(g_last_error, text, sizeof text);
    }
    log_line(0, 'E', TAG, "%s\n", text);
    return ERR_FAILED;
}

void copy_last_error_global(char *buffer, size_t size) {
    if (!buffer || !size) return;
    std::lock_guard<std::mutex> lock(s_last_error_mutex);
    snprintf(buffer, size, "%s", g_last_error);
}

void get_log_folder(char *buffer, size_t size) {
    if (!buffer || !size) return;
    std::lock_guard<std::mutex> lock(s_log_folder_mutex);
    snprintf(buffer, size, "%s", g_log_folder);
}

__attribute__((constructor)) static void lib_init() {}

__attribute__((destructor)) static void lib_fini() { HideIgnitionDialog(); }

extern "C" {

int32_t PassThruOpen(char *pName, uint32_t *pDeviceID) {
    return guarded([&]() -> int32_t {
        j2534_config_t cfg;
        if (j2534_config_load(&cfg) != 0) return set_last_error_global("j2534.json parse error");
        init_log_folder();

        const char *name = pName;
        char built[80];
        if ((!pName || !*pName || !strchr(pName, ';')) && pDeviceID) {
            if (!name_from_config(cfg, *pDeviceID, built, sizeof built, &name)) {
                log_line(0, 'E', TAG,
                         "DevHub interface requires connection URL (user_info unavailable in config)\n");
                return ERR_FAILED;
            }
        }
        int32_t status = open_device(name, pDeviceID);
        if (status != STATUS_NOERROR) {
            log_line(0, 'E', TAG, "open err=%d name=%s\n", status, name ? name : "(null)");
            return status;
        }
        char folder[1024];
        get_log_folder(folder, sizeof folder);
        log_dev_open(static_cast<int>(*pDeviceID), folder);
        log_session_start(static_cast<int>(*pDeviceID));
        return STATUS_NOERROR;
    });
}

int32_t PassThruClose(uint32_t DeviceID) {
    return guarded([&]() -> int32_t {
        int32_t status = close_device(DeviceID);
        if (DeviceID < MAX_DEVICES) log_dev_close(static_cast<int>(DeviceID));
        char folder[1024];
        get_log_folder(folder, sizeof folder);
        log_cleanup_old_files(folder);
        HideIgnitionDialog();
        return status;
    });
}

int32_t PassThruConnect(uint32_t DeviceID, uint32_t ProtocolID, uint32_t Flags, uint32_t BaudRate,
                        uint32_t *pChannelID) {
    return guarded([&] { return connect_device(DeviceID, ProtocolID, Flags, BaudRate, pChannelID); });
}

int32_t PassThruDisconnect(uint32_t ChannelID) {
    return guarded([&] { return disconnect_device(ChannelID); });
}

int32_t PassThruReadMsgs(uint32_t ChannelID, pt_msg_t *pMsg, uint32_t *pNumMsgs, uint32_t Timeout) {
    return guarded([&] { return read_msgs_device(ChannelID, pMsg, pNumMsgs, Timeout); });
}

int32_t PassThruWriteMsgs(uint32_t ChannelID, pt_msg_t *pMsg, uint32_t *pNumMsgs, uint32_t Timeout) {
    return guarded([&] { return write_msgs_device(ChannelID, pMsg, pNumMsgs, Timeout); });
}

int32_t PassThruStartPeriodicMsg(uint32_t ChannelID, pt_msg_t *pMsg, uint32_t *pMsgID,
                                 uint32_t TimeInterval) {
    return guarded([&] { return start_periodic_msg_device(ChannelID, pMsg, pMsgID, TimeInterval); });
}

int32_t PassThruStopPeriodicMsg(uint32_t ChannelID, uint32_t MsgID) {
    return guarded([&] { return stop_periodic_msg_device(ChannelID, MsgID); });
}

int32_t PassThruStartMsgFilter(uint32_t ChannelID, uint32_t FilterType, pt_msg_t *pMaskMsg,
                               pt_msg_t *pPatternMsg, pt_msg_t *pFlowControlMsg, uint32_t *pFilterID) {
    return guarded([&] {
        return start_msg_filter_device(ChannelID, FilterType, pMaskMsg, pPatternMsg, pFlowControlMsg,
                                       pFilterID);
    });
}

int32_t PassThruStopMsgFilter(uint32_t ChannelID, uint32_t FilterID) {
    return guarded([&] { return stop_msg_filter_device(ChannelID, FilterID); });
}

int32_t PassThruSetProgrammingVoltage(uint32_t DeviceID, uint32_t PinNumber, uint32_t Voltage) {
    return guarded([&] { return set_programming_voltage_device(DeviceID, PinNumber, Voltage); });
}

int32_t PassThruReadVersion(uint32_t DeviceID, char *pFirmwareVersion, char *pDllVersion,
                            char *pApiVersion) {
    return guarded([&] { return read_version_device(DeviceID, pFirmwareVersion, pDllVersion, pApiVersion); });
}

int32_t PassThruGetLastError(char *pErrorDescription) {
    return guarded([&]() -> int32_t {
        if (!pErrorDescription) return ERR_NULL_PARAMETER;
        if (get_last_error_device(pErrorDescription) == STATUS_NOERROR) return STATUS_NOERROR;
        copy_last_error_global(pErrorDescription, 80);
        trim_utf8_tail(pErrorDescription);
        return STATUS_NOERROR;
    });
}

int32_t PassThruIoctl(uint32_t ChannelID, uint32_t IoctlID, void *pInput, void *pOutput) {
    return guarded([&] { return ioctl_device(ChannelID, IoctlID, pInput, pOutput); });
}

int32_t PassThruLogicalConnect(uint32_t, uint32_t, uint32_t, void *, uint32_t *) {
    return ERR_NOT_SUPPORTED;
}

int32_t PassThruScanForDevices(uint32_t *) { return ERR_NOT_SUPPORTED; }

int32_t PassThruGetNextDevice(pt_device_t *) { return ERR_NOT_SUPPORTED; }

int32_t PassThruLogicalDisconnect(uint32_t) { return ERR_NOT_SUPPORTED; }

int32_t PassThruQueueMsgs(uint32_t, pt_msg_t *, uint32_t *) { return ERR_NOT_SUPPORTED; }

int32_t PassThruSelect(void *, uint32_t, uint32_t) { return ERR_NOT_SUPPORTED; }

int32_t PassThruQConnect(uint32_t DeviceID, uint8_t *pData, uint32_t DataSize, uint32_t *pChannelID) {
    return guarded([&] { return qconnect_device(DeviceID, pData, DataSize, pChannelID); });
}

int32_t PassThruStatus(uint32_t ChannelID, uint16_t *pTp, uint32_t *pMem, uint32_t *pBatteryVoltage) {
    return guarded([&] { return status_device(ChannelID, pTp, pMem, pBatteryVoltage); });
}

int32_t PassThruSecAcc(uint32_t ChannelID, pt_msg_t *pMsg, uint32_t Arg32, const uint8_t *pBytes,
                       uint8_t NumBytes, uint8_t Arg1, uint8_t Arg2, uint32_t Timeout) {
    return guarded([&] {
        return secacc_device(ChannelID, pMsg, Arg32, pBytes, NumBytes, Arg1, Arg2, Timeout);
    });
}

int32_t ReadMarks(uint32_t DeviceID, mark_t *pMarks) {
    return guarded([&] { return read_marks_device(DeviceID, pMarks); });
}

int32_t LogMsg(uint32_t DeviceID, const char *pText) {
    return guarded([&] {
        int slot = DeviceID < MAX_DEVICES ? static_cast<int>(DeviceID) : LOG_SLOTS;
        log_host_comment(slot, pText);
        return STATUS_NOERROR;
    });
}

// Service operations that later work provides.
int32_t PassThruDevHubSelect(uint32_t, const char *, const char *, uint32_t, uint8_t, char *) {
    return ERR_NOT_SUPPORTED;
}
int32_t StartBoot(uint32_t) { return ERR_NOT_SUPPORTED; }
int32_t BootAbout(uint32_t *, uint32_t *) { return ERR_NOT_SUPPORTED; }
int32_t BootWriteFlash(char *, boot_progress_cb, void *) { return ERR_NOT_SUPPORTED; }
int32_t OtaUpdate(uint32_t, const char *, ota_progress_cb, void *) { return ERR_NOT_SUPPORTED; }
int32_t OtaAbort(uint32_t) { return ERR_NOT_SUPPORTED; }
int32_t ConfigReset(uint32_t) { return ERR_NOT_SUPPORTED; }
int32_t ConfigRead(uint32_t, char *, uint32_t) { return ERR_NOT_SUPPORTED; }
int32_t ConfigWrite(uint32_t, const char *) { return ERR_NOT_SUPPORTED; }
int32_t ConfigReboot(uint32_t) { return ERR_NOT_SUPPORTED; }

} // extern "C"
