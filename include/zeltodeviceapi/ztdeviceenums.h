#ifndef ZELTODEVICEAPI_ZTDEVICEENUMS_H
#define ZELTODEVICEAPI_ZTDEVICEENUMS_H
/* Enumerations and small records that the ZtControl_* and ZtDevice_* functions take and
 * return. Every enumeration is 32 bits wide. Valid C99. */
#include <stdint.h>

#include "zttypes/ztarray.h"
#include "zttypes/ztdataid.h"
#include "zeltodeviceapi/zdaexport.h"

ZDA_BEGIN_DECLS

/* Host-side processing options of a device; other values name no option. */
typedef enum ZtOption ZDA_ENUM_BASE {
  ZO_SoftwareCalibration = 0,
  ZO_SoftwareFiltering = 1
} ZtOption;

/* How a device hands its packets to the application. */
typedef enum ZtQueueMode ZDA_ENUM_BASE {
  ZQM_CallbacksOnly = 0, /* onDataAvailable only; the ready cache is not filled (except in playback) */
  ZQM_Queue = 1,         /* every packet is also kept in the ready cache until taken */
  ZQM_LatestOnly = 2     /* the ready cache keeps only the newest packet */
} ZtQueueMode;

/* Orientation reset methods. The values 2, 5, 6 and 7 exist as well; their meaning is the
 * device class's. */
typedef enum ZtResetMethod ZDA_ENUM_BASE {
  ZRM_StoreAlignment = 0, /* store the current alignment in the device (in Config) */
  ZRM_Heading = 1,
  ZRM_Object = 3,
  ZRM_Alignment = 4,
  ZRM_None = 8            /* no reset pending */
} ZtResetMethod;

/* The frame an alignment rotation applies to. */
typedef enum ZtAlignmentFrame ZDA_ENUM_BASE {
  ZAF_Sensor = 0,
  ZAF_Local = 1
} ZtAlignmentFrame;

/* The stream kinds a link can cut messages from; at most one handler per kind is active. */
typedef enum ZtProtocolType ZDA_ENUM_BASE {
  ZPT_Zbus = 0,
  ZPT_Nmea = 1,
  ZPT_ImarFsas = 2,
  ZPT_ImarIFog = 3
} ZtProtocolType;

/* How a device reacts to errors, as the device's own 16-bit setting (devices without the
 * setting report 4). */
typedef uint32_t ZtErrorMode;
/* Legacy output mode: the ZTOM_ flags of zeltodeviceapi/ztdevicetypes.h. */
typedef uint32_t ZtOutputMode;
/* Legacy output settings: the ZTOS_ flags of zeltodeviceapi/ztdevicetypes.h. */
typedef uint32_t ZtOutputSettings;

/* One output of a device that is configured by data identifier (fourth-generation trackers): the
 * identifier and its output frequency in Hz. A device with an empty configuration uses the
 * legacy output mode and settings instead. An application constructs the array with
 * ZtArray_construct and a descriptor of plain items:
 *   static const ZtArrayDescriptor d = { sizeof(ZtOutputConfiguration), 0, 0, 0, 0, 0, 0 }; */
typedef struct ZtOutputConfiguration {
  ZtDataIdentifier dataIdentifier;
  uint16_t frequency;
} ZtOutputConfiguration;

ZTARRAY_DECLARE(ZtOutputConfigurationArray, ZtOutputConfiguration);

ZDA_END_DECLS

#endif
