#pragma once
// What one Zkf700 step reports: orientation (sensor to local east-north-up), biases, the
// magnetic field or accelerometer bias block, gravity, position and velocity (zero unless the
// filter navigates on GNSS), the GNSS filter mode, the no-rotation status and validity.
#include <cstdint>

#include "filters/common/ZkfFilterOutput.h"
#include "math/Quaternion.h"
#include "math/Vector3.h"

namespace zelto {

class Zkf700FilterOutput : public ZkfFilterOutput {
 public:
  ~Zkf700FilterOutput() override;

  double m_sampleTime = 0.0;
  Quaternion m_orientation{0.0, 0.0, 0.0, 0.0};
  bool m_zruRunning = false;
  bool m_zruAborted = false;
  bool m_zruSamplesRejected = false;
  int16_t m_zruSamplesToProcess = 0;
  Vector3 m_gyrBias;
  Vector3 m_accBias;
  Vector3 m_magField;
  Vector3 m_gravity;
  Vector3 m_latLongAlt;
  Vector3 m_velocity;
  int32_t m_filterMode = 0;
  bool m_done = false;
  bool m_doMagUpdate = false;
  bool m_valid = false;
};

}  // namespace zelto
