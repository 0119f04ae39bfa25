#pragma once
// What one Zkf6 step reports: orientation (sensor to navigation, north-west-up), geodetic
// position (degrees, degrees, m), velocity (north, west, up; m/s) and validity.
#include "filters/common/ZkfFilterOutput.h"
#include "math/Quaternion.h"
#include "math/Vector3.h"

namespace zelto {

class Zkf6FilterOutput : public ZkfFilterOutput {
 public:
  ~Zkf6FilterOutput() override;

  Quaternion orientation;
  Vector3 position;
  Vector3 velocity;
  bool valid = false;
};

}  // namespace zelto
