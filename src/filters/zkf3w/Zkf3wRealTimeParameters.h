#pragma once
// Per-sample status of the wireless tracker that the Zkf3w time update reads:
//   bit 0      the tracker reports clipping itself (bits 1-3, 4, 6 valid); clear: the filter
//              tests the rates and accelerations against the sensor ranges;
//   bits 1-3   accelerometer x, y, z clipped in this interval;
//   bits 4, 6  the interval is not trustworthy as a whole (all noise boosted).
#include <cstdint>

#include "filters/common/ZkfRealTimeParameters.h"

namespace zelto {

class Zkf3wRealTimeParameters : public ZkfRealTimeParameters {
 public:
  static constexpr uint16_t kStatusValid = 0x0001;
  static constexpr uint16_t kAccClipX = 0x0002;
  static constexpr uint16_t kAccClipY = 0x0004;
  static constexpr uint16_t kAccClipZ = 0x0008;
  static constexpr uint16_t kBoostAll4 = 0x0010;
  static constexpr uint16_t kBoostAll6 = 0x0040;

  ~Zkf3wRealTimeParameters() override;

  uint16_t status = 0;
};

}  // namespace zelto
