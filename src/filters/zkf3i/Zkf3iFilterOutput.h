#pragma once
// What one Zkf3i step produces: copies of its inputs and sample time (start of the step), then
// the orientation q_ls (sensor to local east-north-up), the heading redefinition rotation, the
// free acceleration in the local frame, the zero-rotation window's flags and remaining samples
// (cut to 16 bits), and the validity (initialised and settled).
#include <cstdint>

#include "filters/common/ZkfFilterOutput.h"
#include "filters/zkf3i/Zkf3iAiding.h"
#include "filters/zkf3i/Zkf3iSensorData.h"
#include "math/Quaternion.h"
#include "math/Vector3.h"

namespace zelto {

class Zkf3iFilterOutput : public ZkfFilterOutput {
 public:
  ~Zkf3iFilterOutput() override;

  Zkf3iSensorData sensorData;
  Zkf3iAiding aiding;
  double sampleTime = 0.0;  // s
  Quaternion q_ls{0.0, 0.0, 0.0, 0.0};
  Quaternion q_redefine{0.0, 0.0, 0.0, 0.0};
  Vector3 a_l;
  bool zruRunning = false;
  bool zruAborted = false;
  bool zruSamplesRejected = false;
  uint16_t zruSamplesToProcess = 0;
  bool valid = false;
};

}  // namespace zelto
