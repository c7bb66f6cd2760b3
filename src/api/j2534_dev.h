// Device registry: the 16 slots of open devices and the dispatch of calls to their links.
#pragma once

#include <cstdint>
#include <memory>

#include <j2534vk/j2534vk.h>

#include "link/j2534_com.h"

constexpr uint32_t MAX_DEVICES = 16;

struct devices_t {
    std::shared_ptr<J2534_com> com;
    char name[80];
    uint16_t boot_type;
    uint8_t is_devhub;
    char devhub_host[256];
    char devhub_user_info[256];
    char devhub_pin[8];
    uint32_t devhub_sn;
    uint8_t devhub_dev_type;
};

struct devhub_params_t {
    char host[256];
    char user_info[256];
    char pin[8];
    uint8_t dev_type;
    uint32_t sn;
};

int32_t open_device(const char *name, uint32_t *pDeviceID);
int32_t close_device(uint32_t dev);
// The slot's link, empty for an identifier of 16 or more or a slot that is not open.
std::shared_ptr<J2534_com> get_device_handle(uint32_t dev);
int32_t get_last_error_device(char *text);
int32_t get_opened_device_info(uint32_t dev, char *name, uint32_t capacity, bool *open);
int32_t parse_devhub_string(const char *name, devhub_params_t *params);
// Direct form "<prefix>;<letter><address>": link type and address (80 characters).
int32_t parse_device_name(const char *name, uint8_t *type, char *address);

// Dispatch operations of the exports.
int32_t connect_device(uint32_t dev, uint32_t ProtocolID, uint32_t Flags, uint32_t BaudRate,
                       uint32_t *pChannelID);
int32_t qconnect_device(uint32_t dev, uint8_t *pData, uint32_t DataSize, uint32_t *pChannelID);
int32_t disconnect_device(uint32_t chan);
int32_t read_msgs_device(uint32_t chan, pt_msg_t *pMsg, uint32_t *pNumMsgs, uint32_t Timeout);
int32_t write_msgs_device(uint32_t chan, pt_msg_t *pMsg, uint32_t *pNumMsgs, uint32_t Timeout);
int32_t start_periodic_msg_device(uint32_t chan, pt_msg_t *pMsg, uint32_t *pMsgID,
                                  uint32_t TimeInterval);
int32_t stop_periodic_msg_device(uint32_t chan, uint32_t MsgID);
int32_t start_msg_filter_device(uint32_t chan, uint32_t FilterType, pt_msg_t *pMaskMsg,
                                pt_msg_t *pPatternMsg, pt_msg_t *pFlowControlMsg,
                                uint32_t *pFilterID);
int32_t stop_msg_filter_device(uint32_t chan, uint32_t FilterID);
int32_t set_programming_voltage_device(uint32_t dev, uint32_t PinNumber, uint32_t Voltage);
int32_t read_version_device(uint32_t dev, char *pFirmwareVersion, char *pDllVersion,
                            char *pApiVersion);
int32_t read_marks_device(uint32_t dev, mark_t *pMarks);
int32_t status_device(uint32_t chan, uint16_t *pTp, uint32_t *pMem, uint32_t *pBatteryVoltage);
int32_t ioctl_device(uint32_t chan, uint32_t IoctlID, void *pInput, void *pOutput);
int32_t secacc_device(uint32_t chan, pt_msg_t *pMsg, uint32_t Arg32, const uint8_t *pBytes,
                      uint8_t NumBytes, uint8_t Arg1, uint8_t Arg2, uint32_t Timeout);
