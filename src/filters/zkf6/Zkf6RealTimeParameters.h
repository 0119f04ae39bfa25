#pragma once
// Per-step control record of the Zkf6 filter; the filter reads nothing from it.
#include "filters/common/ZkfRealTimeParameters.h"

namespace zelto {

class Zkf6RealTimeParameters : public ZkfRealTimeParameters {
 public:
  ~Zkf6RealTimeParameters() override;
};

}  // namespace zelto
