// Legacy device mode in period form whose period 57 / 58 stands for the fractional 57.6 ticks
// of 2000 Hz.
#include "control/ZtDeviceModeRate.h"
#include "zeltodeviceapi/ztdevicetypes.h"

static_assert(sizeof(ZtDeviceModePS) == sizeof(ZtDeviceMode));

extern "C" {

int ZtDeviceModePS_updateRate(const ZtDeviceModePS* mode) {
  if (mode->period == 0) return 0;
  const double period = (mode->period == 57 || mode->period == 58) ? 57.6 : mode->period;
  const double ticks = mode->skipFactor == ZTDEVICEMODE_NO_SKIP ? period : (mode->skipFactor + 1.0) * period;
  return static_cast<int>(zelto::kDeviceModeClock / ticks + 0.5);
}

void ZtDeviceModePS_setUpdateRate(ZtDeviceModePS* mode, int rate) { zelto::deviceModeSetUpdateRate(mode, rate); }

}  // extern "C"
