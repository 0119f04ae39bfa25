#include "zttypes/ztdataid.h"

/* Sorted by type; the header documents each layout. */
static const ZtDataIdentifierInfo kTable[] = {
  {ZDI_Temperature, "Temperature", ZDL_FloatValues, 1, 0},
  {ZDI_UtcTime, "UtcTime", ZDL_FixedSize, 12, 0},
  {ZDI_PacketCounter, "PacketCounter", ZDL_FixedSize, 2, 0},
  {ZDI_PacketCounter8, "PacketCounter8", ZDL_FixedSize, 1, 0},
  {ZDI_FrameRange, "FrameRange", ZDL_FixedSize, 8, 0},
  {ZDI_SampleTimeFine, "SampleTimeFine", ZDL_FixedSize, 4, 0},
  {ZDI_SampleTimeCoarse, "SampleTimeCoarse", ZDL_FixedSize, 4, 0},
  {ZDI_Quaternion, "Quaternion", ZDL_FloatValues, 4, 1},
  {ZDI_RotationMatrix, "RotationMatrix", ZDL_FloatValues, 9, 1},
  {ZDI_EulerAngles, "EulerAngles", ZDL_FloatValues, 3, 1},
  {ZDI_Pressure, "Pressure", ZDL_FixedSize, 5, 0},
  {ZDI_DeltaV, "DeltaV", ZDL_FloatValues, 3, 0},
  {ZDI_Acceleration, "Acceleration", ZDL_FloatValues, 3, 0},
  {ZDI_FreeAcceleration, "FreeAcceleration", ZDL_FloatValues, 3, 0},
  {ZDI_TriggerIndication1, "TriggerIndication1", ZDL_FixedSize, 8, 0},
  {ZDI_TriggerIndication2, "TriggerIndication2", ZDL_FixedSize, 8, 0},
  {ZDI_AltitudeEllipsoid, "AltitudeEllipsoid", ZDL_FloatValues, 1, 0},
  {ZDI_PositionLla, "PositionLla", ZDL_FloatValues, 3, 0},
  {ZDI_RateOfTurn, "RateOfTurn", ZDL_FloatValues, 3, 0},
  {ZDI_DeltaQ, "DeltaQ", ZDL_FloatValues, 4, 0},
  {ZDI_GnssPvtData, "GnssPvtData", ZDL_FixedSize, 44, 0},
  {ZDI_RawGnssSolution, "RawGnssSolution", ZDL_FixedSize, 41, 0},
  {ZDI_RawSensorData, "RawSensorData", ZDL_FixedSize, 20, 0},
  {ZDI_RawGyroTemperatures, "RawGyroTemperatures", ZDL_FixedSize, 6, 0},
  {ZDI_MagneticField, "MagneticField", ZDL_FloatValues, 3, 0},
  {ZDI_VelocityXYZ, "VelocityXYZ", ZDL_FloatValues, 3, 1},
  {ZDI_StatusByte, "StatusByte", ZDL_FixedSize, 1, 0},
  {ZDI_StatusWord, "StatusWord", ZDL_FixedSize, 4, 0},
  {ZDI_Rssi, "Rssi", ZDL_FixedSize, 1, 0},
};

static const size_t kTableSize = sizeof kTable / sizeof kTable[0];

/* Where a type sits in kTable, in few cache lines: every item lookup of a data packet asks for
 * its identifier's layout, often on a processor whose caches another thread's work evicted. The
 * type's high byte picks a group (kGroupOfHigh, 1-based; 0: none); the group's nibble set tells
 * whether bits 4-7 name a listed type, and its rank in the set the entry after the group's first.
 * Kept in step with kTable by the tests (every identifier gives the entry a search would). */
#define NIBBLE(type) (1u << (((type) >> 4) & 15))
static const uint8_t kGroupOfHigh[256] = {
    [ZDI_Temperature >> 8] = 1,    [ZDI_UtcTime >> 8] = 2,     [ZDI_Quaternion >> 8] = 3,
    [ZDI_Pressure >> 8] = 4,       [ZDI_DeltaV >> 8] = 5,      [ZDI_TriggerIndication1 >> 8] = 6,
    [ZDI_AltitudeEllipsoid >> 8] = 7, [ZDI_RateOfTurn >> 8] = 8, [ZDI_GnssPvtData >> 8] = 9,
    [ZDI_RawSensorData >> 8] = 10, [ZDI_MagneticField >> 8] = 11, [ZDI_VelocityXYZ >> 8] = 12,
    [ZDI_StatusByte >> 8] = 13,
};
static const struct {
  uint16_t nibbles;
  uint8_t first; /* kTable index of the group's first type */
} kGroups[13] = {
    {NIBBLE(ZDI_Temperature), 0},
    {NIBBLE(ZDI_UtcTime) | NIBBLE(ZDI_PacketCounter) | NIBBLE(ZDI_PacketCounter8) | NIBBLE(ZDI_FrameRange) |
         NIBBLE(ZDI_SampleTimeFine) | NIBBLE(ZDI_SampleTimeCoarse),
     1},
    {NIBBLE(ZDI_Quaternion) | NIBBLE(ZDI_RotationMatrix) | NIBBLE(ZDI_EulerAngles), 7},
    {NIBBLE(ZDI_Pressure), 10},
    {NIBBLE(ZDI_DeltaV) | NIBBLE(ZDI_Acceleration) | NIBBLE(ZDI_FreeAcceleration), 11},
    {NIBBLE(ZDI_TriggerIndication1) | NIBBLE(ZDI_TriggerIndication2), 14},
    {NIBBLE(ZDI_AltitudeEllipsoid) | NIBBLE(ZDI_PositionLla), 16},
    {NIBBLE(ZDI_RateOfTurn) | NIBBLE(ZDI_DeltaQ), 18},
    {NIBBLE(ZDI_GnssPvtData) | NIBBLE(ZDI_RawGnssSolution), 20},
    {NIBBLE(ZDI_RawSensorData) | NIBBLE(ZDI_RawGyroTemperatures), 22},
    {NIBBLE(ZDI_MagneticField), 24},
    {NIBBLE(ZDI_VelocityXYZ), 25},
    {NIBBLE(ZDI_StatusByte) | NIBBLE(ZDI_StatusWord) | NIBBLE(ZDI_Rssi), 26},
};
#undef NIBBLE

/* Per kTable entry: the count, with bit 7 set for ZDL_FloatValues (sizes without the entry). */
enum { FLOAT_SHAPE = 0x80 };
static const uint8_t kShape[] = {
    FLOAT_SHAPE | 1, 12, 2, 1, 8, 4, 4,                  /* 0x08.., 0x10.. */
    FLOAT_SHAPE | 4, FLOAT_SHAPE | 9, FLOAT_SHAPE | 3,   /* orientation */
    5,                                                   /* pressure */
    FLOAT_SHAPE | 3, FLOAT_SHAPE | 3, FLOAT_SHAPE | 3,   /* 0x40.. */
    8, 8,                                                /* triggers */
    FLOAT_SHAPE | 1, FLOAT_SHAPE | 3,                    /* 0x50.. */
    FLOAT_SHAPE | 3, FLOAT_SHAPE | 4,                    /* 0x80.. */
    44, 41,                                              /* GNSS */
    20, 6,                                               /* raw */
    FLOAT_SHAPE | 3, FLOAT_SHAPE | 3,                    /* magnetic field, velocity */
    1, 4, 1,                                             /* status, rssi */
};

_Static_assert(sizeof kShape == sizeof kTable / sizeof kTable[0], "one shape per table entry");

static unsigned bitCount16(unsigned x) {
  x = x - ((x >> 1) & 0x5555u);
  x = (x & 0x3333u) + ((x >> 2) & 0x3333u);
  x = (x + (x >> 4)) & 0x0F0Fu;
  return (x + (x >> 8)) & 0x1Fu;
}

/* kTable index + 1 of the identifier's type; 0 when it is not listed. */
static unsigned position(ZtDataIdentifier id) {
  const unsigned group = kGroupOfHigh[(id >> 8) & 0xFF];
  if (group == 0) return 0;
  const unsigned bit = 1u << ((id >> 4) & 15);
  const unsigned nibbles = kGroups[group - 1].nibbles;
  if (!(nibbles & bit)) return 0;
  return kGroups[group - 1].first + bitCount16(nibbles & (bit - 1)) + 1;
}

const ZtDataIdentifierInfo* ZtDataIdentifier_info(ZtDataIdentifier id) {
  const unsigned at = position(id);
  if (at == 0) return NULL;
  const ZtDataIdentifierInfo* info = &kTable[at - 1];
  if (info->layout == ZDL_FixedSize && (id & ZDI_FormatMask) != 0) return NULL;
  return info;
}

int ZtDataIdentifier_itemSize(ZtDataIdentifier id) {
  static const uint8_t kValueSize[4] = {4, 4, 6, 8};
  const unsigned at = position(id);
  if (at == 0) return -1;
  const unsigned shape = kShape[at - 1];
  if (shape & FLOAT_SHAPE) return (int)((shape & ~FLOAT_SHAPE) * kValueSize[id & ZDI_FloatFormMask]);
  return (id & ZDI_FormatMask) ? -1 : (int)shape;
}

const char* ZtDataIdentifier_name(ZtDataIdentifier id) {
  const ZtDataIdentifierInfo* info = ZtDataIdentifier_info(id);
  return info ? info->name : "";
}

const ZtDataIdentifierInfo* ZtDataIdentifier_table(size_t* count) {
  if (count) *count = kTableSize;
  return kTable;
}
