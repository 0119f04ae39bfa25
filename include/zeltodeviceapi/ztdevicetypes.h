#ifndef ZELTODEVICEAPI_ZTDEVICETYPES_H
#define ZELTODEVICEAPI_ZTDEVICETYPES_H
/* Plain C records of the device library's public interface and their helper functions:
 * device states and the other event enumerations, the device configuration (the payload of the
 * Configuration message 0x0D that starts every log file), the three forms of the legacy device
 * mode, the USB hub info, the filter profile, and the arrays of device pointers and filter
 * profiles. Valid C99; every helper is stateless and may be called from any thread. */
#include <stddef.h>
#include <stdint.h>

#include "zttypes/ztarray.h"
#include "zttypes/ztdeviceid.h"
#include "zttypes/ztmessage.h"
#include "zeltodeviceapi/zdaexport.h"

#ifdef __cplusplus
class ZtDevice;
class ZtDataBundler;
#else
/* Opaque: devices are reached only through pointers and the ZtDevice_* functions. */
typedef struct ZtDevice ZtDevice;
/* Opaque: lines up the packets of several devices sample by sample. */
typedef struct ZtDataBundler ZtDataBundler;
#endif

ZDA_BEGIN_DECLS

/* ---- Enumerations (32-bit) ------------------------------------------------------------- */

/* Measuring means ZDS_Measurement .. ZDS_FinalizingRecording; recording means
 * ZDS_WaitingForRecordingStart .. ZDS_FinalizingRecording. */
typedef enum ZtDeviceState ZDA_ENUM_BASE {
  ZDS_Initial = 0,
  ZDS_Config = 1,
  ZDS_Measurement = 2,
  ZDS_WaitingForRecordingStart = 3,
  ZDS_Recording = 4,
  ZDS_FlushingData = 5,
  ZDS_FinalizingRecording = 6,
  ZDS_Destructing = 7
} ZtDeviceState;

/* Value 4 marks a device read from a log file; it has no text of its own. */
typedef enum ZtConnectivityState ZDA_ENUM_BASE {
  ZCS_Disconnected = 0,
  ZCS_Rejected = 1,
  ZCS_PluggedIn = 2,
  ZCS_Wireless = 3,
  ZCS_File = 4,
  ZCS_Unknown = 5
} ZtConnectivityState;

typedef enum ZtRejectReason ZDA_ENUM_BASE {
  ZRR_Unknown = 0,
  ZRR_VersionMismatch = 1,
  ZRR_Blacklisted = 2,
  ZRR_StationIsDisconnecting = 3,
  ZRR_SystemIsOperational = 4
} ZtRejectReason;

/* What an onInfoResponse event answers. */
typedef enum ZtInfoRequest ZDA_ENUM_BASE {
  ZIR_BatteryLevel = 0
} ZtInfoRequest;

/* "ZDS_Initial" .. "ZDS_Destructing"; other values "ZDS Unknown(<value>)" in a buffer owned by
 * the calling thread, valid until that thread's next call. */
ZDA_API const char* ZtDeviceState_toString(ZtDeviceState state);
/* "ZRR_Unknown" .. "ZRR_SystemIsOperational"; any other value "UnknownReason". */
ZDA_API const char* ZtRejectReason_toString(ZtRejectReason reason);
/* "ZCS_Disconnected", "ZCS_Rejected", "ZCS_PluggedIn", "ZCS_Wireless", "ZCS_Unknown" for 0, 1, 2,
 * 3, 5; any other value (4 included) "UnknownState". */
ZDA_API const char* ZtConnectivityState_toString(ZtConnectivityState state);

/* ---- Device configuration ---------------------------------------------------------------- */

/* One 20-byte record per device behind the master (bus id b uses record b - 1; bus id 255, a
 * device directly on the port, the first record). */
typedef struct ZtDeviceConfigurationDevice {
  uint32_t deviceId;
  uint16_t dataLength;
  uint16_t outputMode;
  uint32_t outputSettings;
  uint16_t currentScenario; /* filter scenario: type in the low byte, version in the high byte */
  uint8_t firmwareMajor;
  uint8_t firmwareMinor;
  uint8_t firmwareRevision;
  uint8_t filterType;
  uint8_t filterMajor;
  uint8_t filterMinor;
} ZtDeviceConfigurationDevice;

/* The master part has the byte layout of the Configuration message payload (offsets 0 .. 97;
 * the message holds the integers big-endian, the record in host order). The record array is
 * owned: malloc'd, and numberOfDevices records long whenever it is not null. */
typedef struct ZtDeviceConfiguration {
  uint32_t masterDeviceId;   /* payload offset 0 */
  uint16_t samplingPeriod;   /* 4 */
  uint16_t outputSkipFactor; /* 6 */
  uint16_t reservedShort1;   /* 8, kept as read */
  uint16_t reservedShort2;   /* 10, kept as read */
  uint32_t reservedLong;     /* 12, kept as read */
  char date[8];              /* 16: "YYYYMMDD" of the log file's creation, not terminated */
  char time[8];              /* 24: "HHMMSShh", not terminated */
  uint8_t reservedBlock1[32]; /* 32, kept as read */
  uint8_t reservedBlock2[32]; /* 64, kept as read */
  uint16_t numberOfDevices;  /* 96 */
  ZtDeviceConfigurationDevice* deviceInfo;
} ZtDeviceConfiguration;

enum {
  ZTDEVICECONFIGURATION_MESSAGE_ID = 0x0D,
  ZTDEVICECONFIGURATION_MASTER_SIZE = 98,
  ZTDEVICECONFIGURATION_DEVICE_SIZE = 20
};

/* Zeroes the whole record. */
ZDA_API void ZtDeviceConfiguration_construct(ZtDeviceConfiguration* config);
/* Frees the record array; numberOfDevices becomes 0. */
ZDA_API void ZtDeviceConfiguration_destruct(ZtDeviceConfiguration* config);
/* Makes config hold count device records. With a source, the master part is copied from it and
 * the first min(count, source's count) records too; records the source lacks are zero. Without a
 * source, records kept from before stay, new ones are zero. On allocation failure config holds
 * no records. */
ZDA_API void ZtDeviceConfiguration_assign(ZtDeviceConfiguration* config, uint16_t count,
                                          const ZtDeviceConfiguration* source);
/* Deep copy; nothing when both are the same object. */
ZDA_API void ZtDeviceConfiguration_copy(ZtDeviceConfiguration* config, const ZtDeviceConfiguration* source);
/* 1 when the configuration holds no device record. */
ZDA_API int ZtDeviceConfiguration_empty(const ZtDeviceConfiguration* config);
/* Reads a Configuration message. The device count at payload offset 96 is trusted only as far
 * as the payload holds whole 20-byte records; master fields past a short payload read as 0. */
ZDA_API void ZtDeviceConfiguration_readFromMessage(ZtDeviceConfiguration* config, const ZtMessage* message);
/* Builds the Configuration message (id 0x0D, bus id 0xFF, 98 + 20 x count payload bytes) into
 * message, which must not be constructed yet (it is constructed here). */
ZDA_API void ZtDeviceConfiguration_writeToMessage(const ZtDeviceConfiguration* config, ZtMessage* message);

/* ---- Legacy device mode ------------------------------------------------------------------ */

/* Output mode flags. */
enum {
  ZTOM_Temperature = 0x0001,
  ZTOM_Calibrated = 0x0002,
  ZTOM_Orientation = 0x0004,
  ZTOM_Auxiliary = 0x0008,
  ZTOM_Position = 0x0010,
  ZTOM_Velocity = 0x0020,
  ZTOM_Status = 0x0800,
  ZTOM_GpsPvtData = 0x1000,
  ZTOM_Raw = 0x4000
};

/* Output settings flags. */
enum {
  ZTOS_OrientationModeMask = 0x0000000C, /* 0: mode 2, 4: mode 1, 8: mode 3 */
  ZTOS_CalibratedModeMask = 0x00000070,
  ZTOS_StatusMask = 0x00000080,
  ZTOS_DataFormatMask = 0x00000300, /* 0x100: format 1, 0x200: format 2 */
  ZTOS_AuxiliaryChannel1 = 0x00000400,
  ZTOS_AuxiliaryChannel0 = 0x00000800
};
/* Beyond the range of an int enumerator in C. */
#define ZTOS_CoordinateSystem1 0x80000000u

/* Period form: the period counts 1/115200 s; skip factor 0xFFFF means none. */
typedef struct ZtDeviceMode {
  uint32_t outputMode;
  uint32_t outputSettings;
  uint16_t period;
  uint16_t skipFactor;
} ZtDeviceMode;

/* Same layout as ZtDeviceMode; its update rate treats periods 57 and 58 as 57.6. */
typedef struct ZtDeviceModePS {
  uint32_t outputMode;
  uint32_t outputSettings;
  uint16_t period;
  uint16_t skipFactor;
} ZtDeviceModePS;

/* Rate form. */
typedef struct ZtDeviceModeR {
  uint32_t outputMode;
  uint32_t outputSettings;
  uint16_t updateRate; /* Hz */
} ZtDeviceModeR;

enum { ZTDEVICEMODE_NO_SKIP = 0xFFFF };

/* Sets (enabled != 0) or clears the bits of flag. */
ZDA_API void ZtDeviceMode_setModeFlag(ZtDeviceMode* mode, uint32_t flag, int enabled);
/* 1 when every bit of flag is set. */
ZDA_API int ZtDeviceMode_isModeFlagEnabled(const ZtDeviceMode* mode, uint32_t flag);
ZDA_API void ZtDeviceMode_setSettingsFlag(ZtDeviceMode* mode, uint32_t flag, int enabled);
ZDA_API int ZtDeviceMode_isSettingsFlagEnabled(const ZtDeviceMode* mode, uint32_t flag);
/* Samples per second (115200 / period, divided by skip factor + 1 unless it is 0xFFFF); 0 for
 * period 0. */
ZDA_API double ZtDeviceMode_sampleRate(const ZtDeviceMode* mode);
/* Sets period and skip factor for rate Hz: rate 0 gives 0 and 0; rates of 100 or more skip
 * nothing; a lower rate takes the smallest skip factor k >= 1 with (k + 1) x rate > 99. Period
 * = floor(115200 / ((k + 1) x rate) + 0.5). A negative rate leaves the mode unchanged. */
ZDA_API void ZtDeviceMode_setUpdateRate(ZtDeviceMode* mode, int rate);
/* Output rate in Hz, rounded; 0 for period 0. */
ZDA_API int ZtDeviceMode_updateRate(const ZtDeviceMode* mode);
/* 0 (off), 1, 2 or 3. */
ZDA_API int ZtDeviceMode_orientationMode(const ZtDeviceMode* mode);
ZDA_API void ZtDeviceMode_setOrientationMode(ZtDeviceMode* mode, int orientationMode);
/* 0, 1 or 2. */
ZDA_API void ZtDeviceMode_setDataFormat(ZtDeviceMode* mode, int format);
ZDA_API int ZtDeviceMode_dataFormat(const ZtDeviceMode* mode);
/* Calibrated data selection: bit 1, 2 and 4 of the mode clear the settings bit pairs 0x60, 0x50
 * and 0x30 (and set them when clear), in that order; not the inverse of calibratedDataMode. */
ZDA_API void ZtDeviceMode_setCalibratedDataMode(ZtDeviceMode* mode, int calibratedMode);
ZDA_API int ZtDeviceMode_calibratedDataMode(const ZtDeviceMode* mode);
/* Channels 0 and 1; other channels are ignored (and read as disabled). */
ZDA_API void ZtDeviceMode_setAnalogInChannelEnabled(ZtDeviceMode* mode, int channel, int enabled);
ZDA_API int ZtDeviceMode_isAnalogInChannelEnabled(const ZtDeviceMode* mode, int channel);
/* 1 selects coordinate system 1, anything else 0. */
ZDA_API void ZtDeviceMode_setCoordinateSystem(ZtDeviceMode* mode, int coordinateSystem);
ZDA_API int ZtDeviceMode_coordinateSystem(const ZtDeviceMode* mode);
ZDA_API void ZtDeviceMode_setStatusOutputEnabled(ZtDeviceMode* mode, int enabled);
ZDA_API int ZtDeviceMode_isStatusOutputEnabled(const ZtDeviceMode* mode);
ZDA_API void ZtDeviceMode_setTemperatureOutputEnabled(ZtDeviceMode* mode, int enabled);
ZDA_API int ZtDeviceMode_isTemperatureOutputEnabled(const ZtDeviceMode* mode);
ZDA_API void ZtDeviceMode_setPositionDataEnabled(ZtDeviceMode* mode, int enabled);
ZDA_API int ZtDeviceMode_isPositionDataEnabled(const ZtDeviceMode* mode);
ZDA_API void ZtDeviceMode_setVelocityDataEnabled(ZtDeviceMode* mode, int enabled);
ZDA_API int ZtDeviceMode_isVelocityDataEnabled(const ZtDeviceMode* mode);
/* Enabling clears position and velocity output first. */
ZDA_API void ZtDeviceMode_setGpsPvtDataEnabled(ZtDeviceMode* mode, int enabled);
ZDA_API int ZtDeviceMode_isGpsPvtDataEnabled(const ZtDeviceMode* mode);
/* Enabling turns orientation and calibrated output off first. */
ZDA_API void ZtDeviceMode_setRawDataOutputEnabled(ZtDeviceMode* mode, int enabled);
ZDA_API int ZtDeviceMode_isRawDataOutputEnabled(const ZtDeviceMode* mode);
/* The rate form (flags and ZtDeviceMode_updateRate) into target; returns target. */
ZDA_API ZtDeviceModeR* ZtDeviceMode_toZtDeviceMode(const ZtDeviceMode* mode, ZtDeviceModeR* target);
/* The period form (flags, period and skip factor) into target; returns target. */
ZDA_API ZtDeviceModePS* ZtDeviceMode_toZtDeviceMode2(const ZtDeviceMode* mode, ZtDeviceModePS* target);

ZDA_API int ZtDeviceModePS_updateRate(const ZtDeviceModePS* mode);
ZDA_API void ZtDeviceModePS_setUpdateRate(ZtDeviceModePS* mode, int rate);

/* Period and skip factor that give the mode's update rate (both outputs must be given). */
ZDA_API void ZtDeviceModeR_getPeriodAndSkipFactor(const ZtDeviceModeR* mode, uint16_t* period, uint16_t* skipFactor);
ZDA_API int ZtDeviceModeR_updateRate(const ZtDeviceModeR* mode);
/* Stores the rate of the pair, rounded (0 for period 0, at most 65535). */
ZDA_API void ZtDeviceModeR_setPeriodAndSkipFactor(ZtDeviceModeR* mode, uint16_t period, uint16_t skipFactor);

/* ---- USB hub info ------------------------------------------------------------------------ */

/* The sysfs device path of the USB device that carries a port ("1-1.2"), owned, or null. */
typedef struct ZtUsbHubInfo {
  char* path;
} ZtUsbHubInfo;

/* Stores a copy of path (or null). */
ZDA_API void ZtUsbHubInfo_construct(ZtUsbHubInfo* info, const char* path);
ZDA_API void ZtUsbHubInfo_destruct(ZtUsbHubInfo* info);
/* Replaces the path with a copy of path (which may be info's own path). */
ZDA_API void ZtUsbHubInfo_assign(ZtUsbHubInfo* info, const char* path);
ZDA_API void ZtUsbHubInfo_copy(ZtUsbHubInfo* info, const ZtUsbHubInfo* source);
ZDA_API void ZtUsbHubInfo_swap(ZtUsbHubInfo* a, ZtUsbHubInfo* b);
/* 1 when both paths are set and agree up to (not including) their last '.': the two ports sit
 * under the same parent hub. A path without '.' matches nothing. */
ZDA_API int ZtUsbHubInfo_parentPathMatches(const ZtUsbHubInfo* a, const ZtUsbHubInfo* b);

/* ---- Filter profile ---------------------------------------------------------------------- */

/* 26 bytes, copied by value. type 0 means empty. */
typedef struct ZtFilterProfile {
  uint8_t type;
  uint8_t version;
  char label[21]; /* NUL-terminated text */
  char filterType;
  uint8_t filterMajor;
  uint8_t filterMinor;
} ZtFilterProfile;

/* "<type>.<version> <label>" into out (constructed); returns out. At most 20 label characters
 * are read, terminated or not. */
ZDA_API ZtString* ZtFilterProfile_toString(const ZtFilterProfile* profile, ZtString* out);
ZDA_API int ZtFilterProfile_empty(const ZtFilterProfile* profile);
ZDA_API void ZtFilterProfile_swap(ZtFilterProfile* a, ZtFilterProfile* b);

/* ---- Arrays ------------------------------------------------------------------------------ */

ZTARRAY_DECLARE(ZtDevicePtrArray, ZtDevice*);
ZTARRAY_DECLARE(ZtFilterProfileArray, ZtFilterProfile);

/* Device pointers: null when constructed, ordered by address. */
ZDA_API extern const ZtArrayDescriptor g_ztDevicePtrArrayDescriptor;
/* Filter profiles: zeroed when constructed, ordered by filter type (signed), filter major,
 * filter minor, then version. */
ZDA_API extern const ZtArrayDescriptor g_ztFilterProfileArrayDescriptor;

/* ZtArray_construct with the descriptors above: count items, copied from source when given. */
ZDA_API void ZtDevicePtrArray_construct(ZtDevicePtrArray* array, size_t count, ZtDevice* const* source);
ZDA_API void ZtFilterProfileArray_construct(ZtFilterProfileArray* array, size_t count, const ZtFilterProfile* source);

ZDA_END_DECLS

#endif
