// Legacy device mode in period form: output mode and settings flags, period and skip factor.
#include "control/ZtDeviceModeRate.h"
#include "zeltodeviceapi/ztdevicetypes.h"

static_assert(sizeof(ZtDeviceMode) == 12);

namespace {

void setBits(uint32_t& word, uint32_t bits, bool on) { word = on ? (word | bits) : (word & ~bits); }
bool allSet(uint32_t word, uint32_t bits) { return (word & bits) == bits; }

}  // namespace

extern "C" {

void ZtDeviceMode_setModeFlag(ZtDeviceMode* mode, uint32_t flag, int enabled) {
  setBits(mode->outputMode, flag, enabled != 0);
}
int ZtDeviceMode_isModeFlagEnabled(const ZtDeviceMode* mode, uint32_t flag) { return allSet(mode->outputMode, flag); }
void ZtDeviceMode_setSettingsFlag(ZtDeviceMode* mode, uint32_t flag, int enabled) {
  setBits(mode->outputSettings, flag, enabled != 0);
}
int ZtDeviceMode_isSettingsFlagEnabled(const ZtDeviceMode* mode, uint32_t flag) {
  return allSet(mode->outputSettings, flag);
}

double ZtDeviceMode_sampleRate(const ZtDeviceMode* mode) {
  if (mode->period == 0) return 0.0;
  if (mode->skipFactor == ZTDEVICEMODE_NO_SKIP) return zelto::kDeviceModeClock / mode->period;
  return zelto::kDeviceModeClock / ((mode->skipFactor + 1.0) * mode->period);
}

void ZtDeviceMode_setUpdateRate(ZtDeviceMode* mode, int rate) { zelto::deviceModeSetUpdateRate(mode, rate); }

int ZtDeviceMode_updateRate(const ZtDeviceMode* mode) {
  if (mode->period == 0) return 0;
  const double ticks = mode->skipFactor == ZTDEVICEMODE_NO_SKIP ? mode->period
                                                                : (mode->skipFactor + 1.0) * mode->period;
  return static_cast<int>(zelto::kDeviceModeClock / ticks + 0.5);
}

void ZtDeviceMode_setOrientationMode(ZtDeviceMode* mode, int orientationMode) {
  mode->outputSettings &= ~uint32_t{ZTOS_OrientationModeMask};
  if (orientationMode == 0) {
    mode->outputMode &= ~uint32_t{ZTOM_Orientation};
    return;
  }
  ZtDeviceMode_setRawDataOutputEnabled(mode, 0);
  mode->outputMode |= ZTOM_Orientation;
  if (orientationMode == 1) mode->outputSettings |= 0x4;
  else if (orientationMode == 3) mode->outputSettings |= 0x8;
}

int ZtDeviceMode_orientationMode(const ZtDeviceMode* mode) {
  if (!(mode->outputMode & ZTOM_Orientation)) return 0;
  switch (mode->outputSettings & ZTOS_OrientationModeMask) {
    case 0x0: return 2;
    case 0x4: return 1;
    case 0x8: return 3;
    default: return 0;
  }
}

void ZtDeviceMode_setDataFormat(ZtDeviceMode* mode, int format) {
  mode->outputSettings &= ~uint32_t{ZTOS_DataFormatMask};
  if (format == 1) mode->outputSettings |= 0x100;
  else if (format == 2) mode->outputSettings |= 0x200;
}

int ZtDeviceMode_dataFormat(const ZtDeviceMode* mode) {
  if (mode->outputSettings & 0x100) return 1;
  if (mode->outputSettings & 0x200) return 2;
  return 0;
}

void ZtDeviceMode_setCalibratedDataMode(ZtDeviceMode* mode, int calibratedMode) {
  mode->outputSettings |= ZTOS_CalibratedModeMask;
  if (calibratedMode == 0) {
    mode->outputMode &= ~uint32_t{ZTOM_Calibrated};
    return;
  }
  ZtDeviceMode_setRawDataOutputEnabled(mode, 0);
  mode->outputMode |= ZTOM_Calibrated;
  // Pairs applied in this order; later pairs overlap earlier ones.
  setBits(mode->outputSettings, 0x60, !(calibratedMode & 1));
  setBits(mode->outputSettings, 0x50, !(calibratedMode & 2));
  setBits(mode->outputSettings, 0x30, !(calibratedMode & 4));
}

int ZtDeviceMode_calibratedDataMode(const ZtDeviceMode* mode) {
  if (!(mode->outputMode & ZTOM_Calibrated)) return 0;
  int result = 0;
  if (!allSet(mode->outputSettings, 0x60)) result |= 1;
  if (!allSet(mode->outputSettings, 0x50)) result |= 2;
  if (!allSet(mode->outputSettings, 0x30)) result |= 2;
  return result;
}

void ZtDeviceMode_setAnalogInChannelEnabled(ZtDeviceMode* mode, int channel, int enabled) {
  uint32_t bit;
  if (channel == 0) bit = ZTOS_AuxiliaryChannel0;
  else if (channel == 1) bit = ZTOS_AuxiliaryChannel1;
  else return;
  setBits(mode->outputSettings, bit, enabled != 0);
  setBits(mode->outputMode, ZTOM_Auxiliary,
          (mode->outputSettings & (ZTOS_AuxiliaryChannel0 | ZTOS_AuxiliaryChannel1)) != 0);
}

int ZtDeviceMode_isAnalogInChannelEnabled(const ZtDeviceMode* mode, int channel) {
  uint32_t bit;
  if (channel == 0) bit = ZTOS_AuxiliaryChannel0;
  else if (channel == 1) bit = ZTOS_AuxiliaryChannel1;
  else return 0;
  return (mode->outputMode & ZTOM_Auxiliary) && (mode->outputSettings & bit);
}

void ZtDeviceMode_setCoordinateSystem(ZtDeviceMode* mode, int coordinateSystem) {
  setBits(mode->outputSettings, ZTOS_CoordinateSystem1, coordinateSystem == 1);
}
int ZtDeviceMode_coordinateSystem(const ZtDeviceMode* mode) {
  return (mode->outputSettings & ZTOS_CoordinateSystem1) ? 1 : 0;
}

void ZtDeviceMode_setStatusOutputEnabled(ZtDeviceMode* mode, int enabled) {
  setBits(mode->outputMode, ZTOM_Status, enabled != 0);
  setBits(mode->outputSettings, ZTOS_StatusMask, enabled != 0);
}
int ZtDeviceMode_isStatusOutputEnabled(const ZtDeviceMode* mode) { return allSet(mode->outputMode, ZTOM_Status); }

void ZtDeviceMode_setTemperatureOutputEnabled(ZtDeviceMode* mode, int enabled) {
  setBits(mode->outputMode, ZTOM_Temperature, enabled != 0);
}
int ZtDeviceMode_isTemperatureOutputEnabled(const ZtDeviceMode* mode) {
  return allSet(mode->outputMode, ZTOM_Temperature);
}

void ZtDeviceMode_setPositionDataEnabled(ZtDeviceMode* mode, int enabled) {
  setBits(mode->outputMode, ZTOM_Position, enabled != 0);
}
int ZtDeviceMode_isPositionDataEnabled(const ZtDeviceMode* mode) { return allSet(mode->outputMode, ZTOM_Position); }

void ZtDeviceMode_setVelocityDataEnabled(ZtDeviceMode* mode, int enabled) {
  setBits(mode->outputMode, ZTOM_Velocity, enabled != 0);
}
int ZtDeviceMode_isVelocityDataEnabled(const ZtDeviceMode* mode) { return allSet(mode->outputMode, ZTOM_Velocity); }

void ZtDeviceMode_setGpsPvtDataEnabled(ZtDeviceMode* mode, int enabled) {
  if (enabled) mode->outputMode &= ~uint32_t{ZTOM_Position | ZTOM_Velocity};
  setBits(mode->outputMode, ZTOM_GpsPvtData, enabled != 0);
}
int ZtDeviceMode_isGpsPvtDataEnabled(const ZtDeviceMode* mode) { return allSet(mode->outputMode, ZTOM_GpsPvtData); }

void ZtDeviceMode_setRawDataOutputEnabled(ZtDeviceMode* mode, int enabled) {
  if (enabled) {
    ZtDeviceMode_setOrientationMode(mode, 0);
    ZtDeviceMode_setCalibratedDataMode(mode, 0);
  }
  setBits(mode->outputMode, ZTOM_Raw, enabled != 0);
}
int ZtDeviceMode_isRawDataOutputEnabled(const ZtDeviceMode* mode) { return allSet(mode->outputMode, ZTOM_Raw); }

ZtDeviceModeR* ZtDeviceMode_toZtDeviceMode(const ZtDeviceMode* mode, ZtDeviceModeR* target) {
  const int rate = ZtDeviceMode_updateRate(mode);
  target->outputMode = mode->outputMode;
  target->outputSettings = mode->outputSettings;
  target->updateRate = static_cast<uint16_t>(rate > 65535 ? 65535 : rate);
  return target;
}

ZtDeviceModePS* ZtDeviceMode_toZtDeviceMode2(const ZtDeviceMode* mode, ZtDeviceModePS* target) {
  target->outputMode = mode->outputMode;
  target->outputSettings = mode->outputSettings;
  target->period = mode->period;
  target->skipFactor = mode->skipFactor;
  return target;
}

}  // extern "C"
