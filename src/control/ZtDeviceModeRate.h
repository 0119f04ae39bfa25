#pragma once
// Period / skip factor arithmetic shared by the three legacy device mode forms. The period
// counts ticks of 1/115200 s.
#include <cstdint>

namespace zelto {

constexpr double kDeviceModeClock = 115200.0;

// Smallest skip factor for rate Hz so the device samples at 100 Hz or more: 0 for rates of 100
// and more, else the smallest k >= 1 with (k + 1) x rate > 99. rate must be positive.
inline unsigned deviceModeSkipFactorFor(int rate) { return rate >= 100 ? 0u : static_cast<unsigned>(99 / rate); }

// floor(115200 / ticks + 0.5) limited to 16 bits; ticks must be positive.
inline uint16_t deviceModeRoundedRatio(double ticks) {
  const double v = kDeviceModeClock / ticks + 0.5;
  return v >= 65535.0 ? uint16_t{65535} : static_cast<uint16_t>(v);
}

// Period and skip factor for an update rate, shared by the period forms (ZtDeviceMode and
// ZtDeviceModePS). Rate 0 clears both; a negative rate changes nothing.
template <typename PeriodMode>
void deviceModeSetUpdateRate(PeriodMode* mode, int rate) {
  if (rate < 0) return;
  if (rate == 0) {
    mode->period = 0;
    mode->skipFactor = 0;
    return;
  }
  const unsigned skip = deviceModeSkipFactorFor(rate);
  mode->skipFactor = static_cast<uint16_t>(skip);
  mode->period = deviceModeRoundedRatio((skip + 1.0) * rate);
}

}  // namespace zelto
