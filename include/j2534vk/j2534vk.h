/* Public interface of the j2534vk pass-thru library (J2534-1 v04.04).
 *
 * ABI: every J2534 integer is uint32_t on every platform, so pt_msg_t is
 * 4152 bytes, the same layout as on 32- and 64-bit Windows. Hosts that
 * declare these fields `unsigned long` on 64-bit Linux or macOS are not
 * compatible with this library. */
#ifndef J2534VK_H
#define J2534VK_H

#include <stddef.h>
#include <stdint.h>

#include "j2534_ids.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define J2534VK_API __declspec(dllexport)
#else
#define J2534VK_API __attribute__((visibility("default")))
#endif

/* Status codes */
#define STATUS_NOERROR 0x00
#define ERR_NOT_SUPPORTED 0x01
#define ERR_INVALID_CHANNEL_ID 0x02
#define ERR_PROTOCOL_ID_NOT_SUPPORTED 0x03
#define ERR_NULL_PARAMETER 0x04
#define ERR_INVALID_IOCTL_VALUE 0x05
#define ERR_FLAG_NOT_SUPPORTED 0x06
#define ERR_FAILED 0x07
#define ERR_DEVICE_NOT_CONNECTED 0x08
#define ERR_TIME_OUT 0x09
#define ERR_INVALID_MSG 0x0A
#define ERR_TIME_INTERVAL_NOT_SUPPORTED 0x0B
#define ERR_EXCEEDED_LIMIT 0x0C
#define ERR_INVALID_MSG_ID 0x0D
#define ERR_DEVICE_IN_USE 0x0E
#define ERR_INVALID_IOCTL_ID 0x0F
#define ERR_BUFFER_EMPTY 0x10
#define ERR_BUFFER_FULL 0x11
#define ERR_PIN_NOT_SUPPORTED 0x13
#define ERR_CHANNEL_IN_USE 0x14
#define ERR_MSG_PROTOCOL_ID 0x15
#define ERR_INVALID_FILTER_ID 0x16
#define ERR_NO_FLOW_CONTROL 0x17
#define ERR_NOT_UNIQUE 0x18
#define ERR_BAUDRATE_NOT_SUPPORTED 0x19
#define ERR_INVALID_DEVICE_ID 0x1A
#define ERR_DEVICE_NOT_OPEN 0x1B
#define ERR_NULL_REQUIRED 0x1C
#define ERR_FILTER_TYPE_NOT_SUPPORTED 0x1D
#define ERR_IOCTL_PARAM_ID_NOT_SUPPORTED 0x1E
#define ERR_VOLTAGE_IN_USE 0x1F
#define ERR_PIN_IN_USE 0x20
#define ERR_INIT_FAILED 0x21
#define ERR_OPEN_FAILED 0x22
#define ERR_BUFFER_TOO_SMALL 0x23
#define ERR_LOG_CHAN_NOT_ALLOWED 0x24
#define ERR_SELECT_TYPE_NOT_SUPPORTED 0x25
#define ERR_CONCURRENT_API_CALL 0x26

#define J2534_EXT_ERR_FIVEBAUD_INVADR 0x500
#define J2534_EXT_ERR_SECACC_PARAM 0x502
#define J2534_EXT_ERR_SECACC_LEN 0x503
#define J2534_EXT_ERR_INTERNAL 0x504
#define J2534_EXT_ERR_LEN 0x505
#define J2534_EXT_ERR_INVALID_PACKET 0x506
#define J2534_EXT_ERR_CS_PACKET 0x507
#define J2534_EXT_ERR_NUMMSG 0x508
#define J2534_EXT_ERR_MARK 0x509
#define J2534_EXT_ERR_SIGN 0x50A
#define J2534_EXT_ERR_MARK_TIME 0x50B

#define ERR_ADDRESS_NOT_CLAIMED 0x10000
#define ERR_NO_CONNECTION_ESTABLISHED 0x10001
#define ERR_RESOURCE_IN_USE 0x10002

#define PT_MSG_DATA_SIZE 4128

/* J2534 message; arrays of it have a stride of 4152 bytes. */
typedef struct {
    uint32_t ProtocolID;
    uint32_t RxStatus;
    uint32_t TxFlags;
    uint32_t Timestamp;
    uint32_t DataSize;
    uint32_t ExtraDataIndex;
    uint8_t Data[PT_MSG_DATA_SIZE];
} pt_msg_t;

typedef struct {
    uint32_t Parameter;
    uint32_t Value;
} SCONFIG;

typedef struct {
    uint32_t NumOfParams;
    SCONFIG *ConfigPtr;
} SCONFIG_LIST;

typedef struct {
    uint32_t NumOfBytes;
    uint8_t *BytePtr;
} SBYTE_ARRAY;

typedef struct {
    uint32_t Parameter;
    uint32_t Value;
    uint32_t Supported;
} SPARAM;

typedef struct {
    uint32_t NumOfParams;
    SPARAM *ParamPtr;
} SPARAM_LIST;

/* Device record of the device scan (v05.00 layout, 104 bytes). */
typedef struct {
    char DeviceName[80];
    uint32_t DeviceAvailable;
    uint32_t DeviceDLLFWStatus;
    uint32_t DeviceConnectMedia;
    uint32_t DeviceConnectSpeed;
    uint32_t DeviceSignalQuality;
    uint32_t DeviceSignalStrength;
} pt_device_t;

/* Marks record filled by ReadMarks; opaque to the library. */
typedef struct {
    uint8_t data[1024];
} mark_t;

typedef void (*boot_progress_cb)(uint8_t percent, void *context);
typedef void (*ota_progress_cb)(uint32_t done, uint32_t total, void *context);

#if defined(__cplusplus) && __cplusplus >= 201103L
#define J2534VK_STATIC_ASSERT(c, m) static_assert(c, m)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define J2534VK_STATIC_ASSERT(c, m) _Static_assert(c, m)
#else
#define J2534VK_STATIC_ASSERT_CAT2(a, b) a##b
#define J2534VK_STATIC_ASSERT_CAT(a, b) J2534VK_STATIC_ASSERT_CAT2(a, b)
#define J2534VK_STATIC_ASSERT(c, m) \
    typedef char J2534VK_STATIC_ASSERT_CAT(j2534vk_assert_, __LINE__)[(c) ? 1 : -1]
#endif

J2534VK_STATIC_ASSERT(sizeof(pt_msg_t) == 4152, "pt_msg_t is 4152 bytes");
J2534VK_STATIC_ASSERT(offsetof(pt_msg_t, DataSize) == 16, "pt_msg_t.DataSize offset");
J2534VK_STATIC_ASSERT(offsetof(pt_msg_t, ExtraDataIndex) == 20, "pt_msg_t.ExtraDataIndex offset");
J2534VK_STATIC_ASSERT(offsetof(pt_msg_t, Data) == 24, "pt_msg_t.Data offset");
J2534VK_STATIC_ASSERT(sizeof(SCONFIG) == 8, "SCONFIG is 8 bytes");
J2534VK_STATIC_ASSERT(sizeof(SPARAM) == 12, "SPARAM is 12 bytes");
J2534VK_STATIC_ASSERT(offsetof(SBYTE_ARRAY, BytePtr) == sizeof(void *), "SBYTE_ARRAY.BytePtr offset");
J2534VK_STATIC_ASSERT(offsetof(SCONFIG_LIST, ConfigPtr) == sizeof(void *), "SCONFIG_LIST.ConfigPtr offset");
J2534VK_STATIC_ASSERT(offsetof(SPARAM_LIST, ParamPtr) == sizeof(void *), "SPARAM_LIST.ParamPtr offset");
J2534VK_STATIC_ASSERT(sizeof(pt_device_t) == 104, "pt_device_t is 104 bytes");
J2534VK_STATIC_ASSERT(offsetof(pt_device_t, DeviceAvailable) == 80, "pt_device_t.DeviceAvailable offset");
J2534VK_STATIC_ASSERT(sizeof(mark_t) == 1024, "mark_t is 1024 bytes");

J2534VK_API int32_t PassThruOpen(char *pName, uint32_t *pDeviceID);
J2534VK_API int32_t PassThruClose(uint32_t DeviceID);
J2534VK_API int32_t PassThruConnect(uint32_t DeviceID, uint32_t ProtocolID, uint32_t Flags,
                                    uint32_t BaudRate, uint32_t *pChannelID);
J2534VK_API int32_t PassThruDisconnect(uint32_t ChannelID);
J2534VK_API int32_t PassThruReadMsgs(uint32_t ChannelID, pt_msg_t *pMsg, uint32_t *pNumMsgs,
                                     uint32_t Timeout);
J2534VK_API int32_t PassThruWriteMsgs(uint32_t ChannelID, pt_msg_t *pMsg, uint32_t *pNumMsgs,
                                      uint32_t Timeout);
J2534VK_API int32_t PassThruStartPeriodicMsg(uint32_t ChannelID, pt_msg_t *pMsg, uint32_t *pMsgID,
                                             uint32_t TimeInterval);
J2534VK_API int32_t PassThruStopPeriodicMsg(uint32_t ChannelID, uint32_t MsgID);
J2534VK_API int32_t PassThruStartMsgFilter(uint32_t ChannelID, uint32_t FilterType,
                                           pt_msg_t *pMaskMsg, pt_msg_t *pPatternMsg,
                                           pt_msg_t *pFlowControlMsg, uint32_t *pFilterID);
J2534VK_API int32_t PassThruStopMsgFilter(uint32_t ChannelID, uint32_t FilterID);
J2534VK_API int32_t PassThruSetProgrammingVoltage(uint32_t DeviceID, uint32_t PinNumber,
                                                  uint32_t Voltage);
J2534VK_API int32_t PassThruReadVersion(uint32_t DeviceID, char *pFirmwareVersion,
                                        char *pDllVersion, char *pApiVersion);
J2534VK_API int32_t PassThruGetLastError(char *pErrorDescription);
J2534VK_API int32_t PassThruIoctl(uint32_t ChannelID, uint32_t IoctlID, void *pInput,
                                  void *pOutput);
J2534VK_API int32_t PassThruLogicalConnect(uint32_t PhysicalChannelID, uint32_t ProtocolID,
                                           uint32_t Flags, void *pChannelDescriptor,
                                           uint32_t *pChannelID);
J2534VK_API int32_t PassThruScanForDevices(uint32_t *pDeviceCount);
J2534VK_API int32_t PassThruGetNextDevice(pt_device_t *psDevice);
J2534VK_API int32_t PassThruLogicalDisconnect(uint32_t ChannelID);
J2534VK_API int32_t PassThruQueueMsgs(uint32_t ChannelID, pt_msg_t *pMsg, uint32_t *pNumMsgs);
J2534VK_API int32_t PassThruSelect(void *ChannelSetPtr, uint32_t SelectType, uint32_t Timeout);
J2534VK_API int32_t PassThruQConnect(uint32_t DeviceID, uint8_t *pData, uint32_t DataSize,
                                     uint32_t *pChannelID);
J2534VK_API int32_t PassThruStatus(uint32_t ChannelID, uint16_t *pTp, uint32_t *pMem,
                                   uint32_t *pBatteryVoltage);
J2534VK_API int32_t PassThruSecAcc(uint32_t ChannelID, pt_msg_t *pMsg, uint32_t Arg32,
                                   const uint8_t *pBytes, uint8_t NumBytes, uint8_t Arg1,
                                   uint8_t Arg2, uint32_t Timeout);
J2534VK_API int32_t PassThruDevHubSelect(uint32_t DeviceID, const char *pUserInfo,
                                         const char *pPin, uint32_t SerialNumber,
                                         uint8_t DevType, char *pRedirectHost);
J2534VK_API int32_t StartBoot(uint32_t DeviceID);
J2534VK_API int32_t BootAbout(uint32_t *pVersion, uint32_t *pSerialNumber);
J2534VK_API int32_t BootWriteFlash(char *pImage, boot_progress_cb progress, void *context);
J2534VK_API int32_t ReadMarks(uint32_t DeviceID, mark_t *pMarks);
J2534VK_API int32_t LogMsg(uint32_t DeviceID, const char *pText);
J2534VK_API int32_t OtaUpdate(uint32_t DeviceID, const char *pPath, ota_progress_cb progress,
                              void *context);
J2534VK_API int32_t OtaAbort(uint32_t DeviceID);
J2534VK_API int32_t ConfigReset(uint32_t DeviceID);
J2534VK_API int32_t ConfigRead(uint32_t DeviceID, char *pBuffer, uint32_t Size);
J2534VK_API int32_t ConfigWrite(uint32_t DeviceID, const char *pText);
J2534VK_API int32_t ConfigReboot(uint32_t DeviceID);

#ifdef __cplusplus
}
#endif

#endif /* J2534VK_H */
