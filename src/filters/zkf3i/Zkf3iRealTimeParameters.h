#pragma once
// Run-time request of one Zkf3i step: the duration in seconds of a requested no-rotation
// (zero-rotation) window, 0 for none. The trackers pass a request once and 0 afterwards.
#include <cstdint>

#include "filters/common/ZkfRealTimeParameters.h"

namespace zelto {

class Zkf3iRealTimeParameters : public ZkfRealTimeParameters {
 public:
  ~Zkf3iRealTimeParameters() override;

  uint16_t noRotationDuration = 0;  // s
};

}  // namespace zelto
