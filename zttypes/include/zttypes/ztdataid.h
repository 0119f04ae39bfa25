#ifndef ZTTYPES_ZTDATAID_H
#define ZTTYPES_ZTDATAID_H
/* Data identifiers: the 16-bit keys of the items in a data message (0x36).
 *
 *   group  = id & 0xFE00      type = id & 0xFFF0      format = id & 0x000F
 *
 * Format bits of floating-point items: bits 0-1 select the value form (0 IEEE float, 4 bytes;
 * 1 fixed point 12.20, 4 bytes; 2 fixed point 16.32, 6 bytes; 3 IEEE double, 8 bytes), the same
 * forms as bits 0x300 of a legacy output-settings word. Items that carry a frame use bits 2-3 as
 * the frame code: 8 north-west-up, 4 north-east-down, 0 frame not given.
 * Items with a fixed layout carry format bits 0; any other format makes them unknown.
 *
 * In a data message every item is <id hi> <id lo> <size> <size value bytes>; all integers are
 * big-endian. An item whose size byte disagrees with its identifier's layout is not an item of
 * that kind (readers treat it as absent).
 *
 * The table (ztdataid.c holds it; ZtDataIdentifier_info looks it up by type):
 *
 * | type   | name                      | layout                                          | size    |
 * |--------|---------------------------|-------------------------------------------------|---------|
 * | 0x0810 | temperature               | 1 fp value (deg C)                              | 1 s     |
 * | 0x1010 | UTC time                  | ZtUtcTime: u32 ns, u16 year, 6 x u8             | 12      |
 * | 0x1020 | packet counter            | u16                                             | 2       |
 * | 0x1030 | packet counter 8          | u8                                              | 1       |
 * | 0x1040 | frame range               | i32 first, i32 last                             | 8       |
 * | 0x1060 | sample time fine          | u32, 0.1 ms ticks within the day                | 4       |
 * | 0x1070 | sample time coarse        | u32, whole seconds                              | 4       |
 * | 0x2010 | orientation quaternion    | 4 fp values w x y z, frame code                 | 4 s     |
 * | 0x2020 | orientation matrix        | 9 fp values, column by column, frame code       | 9 s     |
 * | 0x2030 | orientation Euler angles  | 3 fp values roll pitch yaw (deg), frame code    | 3 s     |
 * | 0x3010 | pressure                  | u32 pascal, u8 age                              | 5       |
 * | 0x4010 | velocity increment (SDI)  | 3 fp values                                     | 3 s     |
 * | 0x4020 | calibrated acceleration   | 3 fp values                                     | 3 s     |
 * | 0x4030 | free acceleration         | 3 fp values                                     | 3 s     |
 * | 0x4810 | trigger indication 1      | ZtTriggerIndicationData: u8, u8, u32, u16       | 8       |
 * | 0x4820 | trigger indication 2      | as trigger indication 1                         | 8       |
 * | 0x5020 | altitude                  | 1 fp value (m); no accessor, generic items only | 1 s     |
 * | 0x5040 | position                  | 3 fp values latitude, longitude (deg), alt (m)  | 3 s     |
 * | 0x8020 | calibrated rate of turn   | 3 fp values                                     | 3 s     |
 * | 0x8030 | orientation increment     | 4 fp values w x y z (SDI)                       | 4 s     |
 * | 0x8810 | GNSS PVT                  | ZtGpsPvtData: u16, u8, 10 x 32-bit, u8          | 44      |
 * | 0x8840 | raw GNSS solution         | ZtRawGpsSol (see ztdatapacket.h)                | 41      |
 * | 0xA010 | raw sensor data           | 9 x u16 sensor counts, u16 temperature          | 20      |
 * | 0xA020 | raw gyroscope temperature | 3 x u16                                         | 6       |
 * | 0xC020 | calibrated magnetic field | 3 fp values                                     | 3 s     |
 * | 0xD010 | velocity                  | 3 fp values, frame code                         | 3 s     |
 * | 0xE010 | status byte               | u8                                              | 1       |
 * | 0xE020 | status word               | u32                                             | 4       |
 * | 0xE040 | rssi                      | i8 (dBm)                                        | 1       |
 *
 * s: the value size of the item's form (ZtDataPacket_getFPValueSize: 4, 4, 6, 8). The 64-bit
 * sample time is not an item of its own: it is coarse * 10000 + fine % 10000. */
#include <stddef.h>
#include <stdint.h>
#include "ztexport.h"

ZTTYPES_BEGIN_DECLS

typedef uint16_t ZtDataIdentifier;

enum {
  ZDI_GroupMask = 0xFE00,
  ZDI_TypeMask = 0xFFF0,
  ZDI_FormatMask = 0x000F,
  ZDI_FloatFormMask = 0x0003,
  ZDI_FrameMask = 0x000C,

  ZDI_Float32 = 0x0,
  ZDI_Fixed1220 = 0x1,
  ZDI_Fixed1632 = 0x2,
  ZDI_Float64 = 0x3,

  ZDI_FrameNone = 0x0,
  ZDI_FrameNed = 0x4, /* north-east-down */
  ZDI_FrameNwu = 0x8, /* north-west-up */

  ZDI_Temperature = 0x0810,
  ZDI_UtcTime = 0x1010,
  ZDI_PacketCounter = 0x1020,
  ZDI_PacketCounter8 = 0x1030,
  ZDI_FrameRange = 0x1040,
  ZDI_SampleTimeFine = 0x1060,
  ZDI_SampleTimeCoarse = 0x1070,
  ZDI_OrientationGroup = 0x2000,
  ZDI_Quaternion = 0x2010,
  ZDI_RotationMatrix = 0x2020,
  ZDI_EulerAngles = 0x2030,
  ZDI_Pressure = 0x3010,
  ZDI_DeltaV = 0x4010,
  ZDI_Acceleration = 0x4020,
  ZDI_FreeAcceleration = 0x4030,
  ZDI_TriggerIndication1 = 0x4810,
  ZDI_TriggerIndication2 = 0x4820,
  ZDI_AltitudeEllipsoid = 0x5020,
  ZDI_PositionLla = 0x5040,
  ZDI_RateOfTurn = 0x8020,
  ZDI_DeltaQ = 0x8030,
  ZDI_GnssPvtData = 0x8810,
  ZDI_RawGnssSolution = 0x8840,
  ZDI_RawSensorData = 0xA010,
  ZDI_RawGyroTemperatures = 0xA020,
  ZDI_MagneticField = 0xC020,
  ZDI_VelocityXYZ = 0xD010,
  ZDI_StatusGroup = 0xE000,
  ZDI_StatusByte = 0xE010,
  ZDI_StatusWord = 0xE020,
  ZDI_Rssi = 0xE040
};

/* Layout kinds of the table. */
enum {
  ZDL_FixedSize = 0,  /* fixed number of bytes, format bits must be 0 */
  ZDL_FloatValues = 1 /* count values in the form of format bits 0-1 */
};

typedef struct ZtDataIdentifierInfo {
  ZtDataIdentifier type;
  const char* name;
  uint8_t layout;   /* ZDL_* */
  uint8_t count;    /* values (ZDL_FloatValues) or bytes (ZDL_FixedSize) */
  uint8_t hasFrame; /* bits 2-3 are a frame code */
} ZtDataIdentifierInfo;

/* The table entry of the identifier's type; null for a type the table does not list or for a
 * fixed-layout identifier with format bits set. */
ZTTYPES_API const ZtDataIdentifierInfo* ZtDataIdentifier_info(ZtDataIdentifier id);
/* The value size in bytes an item with this identifier must have; -1 when the identifier is unknown. */
ZTTYPES_API int ZtDataIdentifier_itemSize(ZtDataIdentifier id);
/* "" for unknown identifiers, never null. */
ZTTYPES_API const char* ZtDataIdentifier_name(ZtDataIdentifier id);
/* The table itself, for listings; count receives the number of entries. */
ZTTYPES_API const ZtDataIdentifierInfo* ZtDataIdentifier_table(size_t* count);

ZTTYPES_END_DECLS
#endif
