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

const ZtDataIdentifierInfo* ZtDataIdentifier_info(ZtDataIdentifier id) {
  const ZtDataIdentifier type = (ZtDataIdentifier)(id & ZDI_TypeMask);
  size_t lo = 0, hi = kTableSize;
  while (lo < hi) {
    const size_t mid = lo + (hi - lo) / 2;
    if (kTable[mid].type < type)
      lo = mid + 1;
    else
      hi = mid;
  }
  if (lo == kTableSize || kTable[lo].type != type) return NULL;
  if (kTable[lo].layout == ZDL_FixedSize && (id & ZDI_FormatMask) != 0) return NULL;
  return &kTable[lo];
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
