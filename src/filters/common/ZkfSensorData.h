#pragma once
// Base of a filter's per-sample input records; each filter derives its own.
#include "filters/common/ZeltoParams.h"

class ZkfSensorData : public ZeltoParams {
 public:
  using ZeltoParams::readFromFile;
  ~ZkfSensorData() override;
};
