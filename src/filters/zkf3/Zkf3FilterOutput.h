#pragma once
// What one Zkf3 step produces: the inputs it used, orientation (sensor to global, north-west-up),
// free acceleration in the global frame, validity and the state of the bias estimation at rest.
#include <cstdint>

#include "filters/common/ZkfFilterOutput.h"
#include "filters/zkf3/Zkf3Aiding.h"
#include "filters/zkf3/Zkf3SensorData.h"
#include "math/Quaternion.h"
#include "math/Vector3.h"

namespace zelto {

class Zkf3FilterOutput : public ZkfFilterOutput {
 public:
  ~Zkf3FilterOutput() override;

  Zkf3SensorData sensorData;
  Zkf3Aiding aiding;
  Quaternion q_gs;
  Vector3 freeAcceleration;
  bool valid = false;
  bool running = false;
  bool aborted = false;
  bool rejected = false;
  uint16_t gbes = 0;  // remaining samples of the bias estimation at rest
};

}  // namespace zelto
