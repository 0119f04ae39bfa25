#pragma once
// Per-sample request to the Zkf700 filter.
#include <cstdint>

#include "filters/common/ZkfRealTimeParameters.h"

namespace zelto {

class Zkf700RealTimeParameters : public ZkfRealTimeParameters {
 public:
  ~Zkf700RealTimeParameters() override;

  // Length in seconds of a no-rotation period requested with this sample; 0: none. The device
  // hands a request over once and then clears its own.
  uint16_t m_noRotationDuration = 0;
};

}  // namespace zelto
