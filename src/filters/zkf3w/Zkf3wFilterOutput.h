#pragma once
// What one Zkf3w step produces: the inputs it used, the interval, orientation q_ls (sensor to
// local, north-west-up), free acceleration in the local frame and the validity flag.
#include "filters/common/ZkfFilterOutput.h"
#include "filters/zkf3w/Zkf3wAiding.h"
#include "filters/zkf3w/Zkf3wSensorData.h"
#include "math/Quaternion.h"
#include "math/Vector3.h"

namespace zelto {

class Zkf3wFilterOutput : public ZkfFilterOutput {
 public:
  ~Zkf3wFilterOutput() override;

  Zkf3wSensorData sensorData;
  Zkf3wAiding aiding;
  double T_int = 0.0;  // s
  Quaternion orientation;
  Vector3 freeAcceleration;
  bool valid = false;
};

}  // namespace zelto
