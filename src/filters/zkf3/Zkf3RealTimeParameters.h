#pragma once
// Per-step request to the Zkf3 filter.
#include <cstdint>

#include "filters/common/ZkfRealTimeParameters.h"

namespace zelto {

class Zkf3RealTimeParameters : public ZkfRealTimeParameters {
 public:
  ~Zkf3RealTimeParameters() override;

  // Gyroscope-bias estimation at rest requested with this sample, whole seconds; 0: none.
  uint16_t noRotationDuration = 0;
};

}  // namespace zelto
