// Legacy device mode in rate form.
#include "control/ZtDeviceModeRate.h"
#include "zeltodeviceapi/ztdevicetypes.h"

namespace {

int rateOf(uint16_t period, uint16_t skipFactor) {
  if (period == 0) return 0;
  const double v = zelto::kDeviceModeClock / ((skipFactor + 1.0) * period) + 0.5;
  return static_cast<int>(v);
}

}  // namespace

extern "C" {

void ZtDeviceModeR_getPeriodAndSkipFactor(const ZtDeviceModeR* mode, uint16_t* period, uint16_t* skipFactor) {
  if (!period || !skipFactor) return;
  const int r = mode->updateRate;
  *period = 0;
  *skipFactor = 0;
  if (r == 0) return;
  if (r >= 100) {
    *period = zelto::deviceModeRoundedRatio(r);
  } else if (120 % r == 0) {
    // 120 Hz base period with the skip factor that brings it down to r exactly.
    *period = 960;
    *skipFactor = static_cast<uint16_t>(120 / r - 1);
  } else if (100 % r == 0) {
    *period = 1152;
    *skipFactor = static_cast<uint16_t>(100 / r - 1);
  } else {
    const unsigned skip = zelto::deviceModeSkipFactorFor(r);
    *skipFactor = static_cast<uint16_t>(skip);
    *period = zelto::deviceModeRoundedRatio((skip + 1.0) * r);
  }
}

int ZtDeviceModeR_updateRate(const ZtDeviceModeR* mode) {
  uint16_t period = 0;
  uint16_t skipFactor = 0;
  ZtDeviceModeR_getPeriodAndSkipFactor(mode, &period, &skipFactor);
  return rateOf(period, skipFactor);
}

void ZtDeviceModeR_setPeriodAndSkipFactor(ZtDeviceModeR* mode, uint16_t period, uint16_t skipFactor) {
  const int rate = rateOf(period, skipFactor);
  mode->updateRate = static_cast<uint16_t>(rate > 65535 ? 65535 : rate);
}

}  // extern "C"
