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

/* Table position + 1 by type >> 4 (0: unknown): every item lookup of a data packet asks for its
 * identifier's layout, so the lookup is one load rather than a search. Kept in step with kTable
 * by the tests (every entry is found under its type). */
static const uint8_t kPosition[(ZDI_TypeMask >> 4) + 1] = {
    [ZDI_Temperature >> 4] = 1,
    [ZDI_UtcTime >> 4] = 2,
    [ZDI_PacketCounter >> 4] = 3,
    [ZDI_PacketCounter8 >> 4] = 4,
    [ZDI_FrameRange >> 4] = 5,
    [ZDI_SampleTimeFine >> 4] = 6,
    [ZDI_SampleTimeCoarse >> 4] = 7,
    [ZDI_Quaternion >> 4] = 8,
    [ZDI_RotationMatrix >> 4] = 9,
    [ZDI_EulerAngles >> 4] = 10,
    [ZDI_Pressure >> 4] = 11,
    [ZDI_DeltaV >> 4] = 12,
    [ZDI_Acceleration >> 4] = 13,
    [ZDI_FreeAcceleration >> 4] = 14,
    [ZDI_TriggerIndication1 >> 4] = 15,
    [ZDI_TriggerIndication2 >> 4] = 16,
    [ZDI_AltitudeEllipsoid >> 4] = 17,
    [ZDI_PositionLla >> 4] = 18,
    [ZDI_RateOfTurn >> 4] = 19,
    [ZDI_DeltaQ >> 4] = 20,
    [ZDI_GnssPvtData >> 4] = 21,
    [ZDI_RawGnssSolution >> 4] = 22,
    [ZDI_RawSensorData >> 4] = 23,
    [ZDI_RawGyroTemperatures >> 4] = 24,
    [ZDI_MagneticField >> 4] = 25,
    [ZDI_VelocityXYZ >> 4] = 26,
    [ZDI_StatusByte >> 4] = 27,
    [ZDI_StatusWord >> 4] = 28,
    [ZDI_Rssi >> 4] = 29,
};

const ZtDataIdentifierInfo* ZtDataIdentifier_info(ZtDataIdentifier id) {
  const unsigned position = kPosition[(id & ZDI_TypeMask) >> 4];
  if (position == 0) return NULL;
  const ZtDataIdentifierInfo* info = &kTable[position - 1];
  if (info->layout == ZDL_FixedSize && (id & ZDI_FormatMask) != 0) return NULL;
  return info;
}

int ZtDataIdentifier_itemSize(ZtDataIdentifier id) {
  static const int kValueSize[4] = {4, 4, 6, 8};
  const ZtDataIdentifierInfo* info = ZtDataIdentifier_info(id);
  if (!info) return -1;
  if (info->layout == ZDL_FixedSize) return info->count;
  return info->count * kValueSize[id & ZDI_FloatFormMask];
}

const char* ZtDataIdentifier_name(ZtDataIdentifier id) {
  const ZtDataIdentifierInfo* info = ZtDataIdentifier_info(id);
  return info ? info->name : "";
}

const ZtDataIdentifierInfo* ZtDataIdentifier_table(size_t* count) {
  if (count) *count = kTableSize;
  return kTable;
}
