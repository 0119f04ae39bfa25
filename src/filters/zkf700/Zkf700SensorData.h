#pragma once
// The inertial input of one Zkf700 sample: the strapdown increments dq and dv of the interval,
// the clipping masks (bit i for axis i), the sample time in milliseconds, and the average rate
// and acceleration computeGyrAcc derives from the increments.
#include <cstdint>

#include "filters/common/ZkfSensorData.h"
#include "math/Quaternion.h"
#include "math/Vector3.h"

namespace zelto {

class Zkf700SensorData : public ZkfSensorData {
 public:
  using ZeltoParams::readFromFile;
  Zkf700SensorData() = default;
  Zkf700SensorData(const Zkf700SensorData&) = default;
  Zkf700SensorData& operator=(const Zkf700SensorData&) = default;
  ~Zkf700SensorData() override;

  // Keys "eventData.clip.acc", "eventData.clip.gyr" (low 16 bits kept), "internal.imu.dq",
  // "internal.imu.dv", "time" (seconds in the file; read back as milliseconds truncated toward
  // zero). m_gyr and m_acc are not stored.
  void readFromFile(const SettingsFile& file, const std::string& prefix) override;
  void writeToFile(SettingsFile& file, const std::string& prefix) const override;

  // m_gyr: rate of the increment dq over T; m_acc: dv turned into the end-of-interval frame,
  // over T.
  void computeGyrAcc(double T);

  Quaternion dq;
  uint16_t clipAcc = 0;
  uint16_t clipGyr = 0;
  Vector3 dv;
  Vector3 m_gyr;
  Vector3 m_acc;
  int64_t time = 0;  // milliseconds
};

}  // namespace zelto
