#pragma once
// Strapdown increments of one Zkf3i sample interval: orientation increment dq and velocity
// increment dv (sensor frame), the accelerometer and gyroscope clipping words of the interval,
// and the interval's average specific force acc and rate gyr derived from them (computeGyrAcc;
// not stored).
#include <cstdint>

#include "filters/common/ZkfSensorData.h"
#include "math/Quaternion.h"
#include "math/Vector3.h"

namespace zelto {

class Zkf3iSensorData : public ZkfSensorData {
 public:
  using ZeltoParams::readFromFile;
  Zkf3iSensorData() = default;
  Zkf3iSensorData(const Zkf3iSensorData&) = default;
  Zkf3iSensorData& operator=(const Zkf3iSensorData&) = default;
  ~Zkf3iSensorData() override;

  // Keys "eventData.clip.acc", "eventData.clip.gyr" (64-bit integers, read back cut to 16 bits),
  // "internal.imu.dq", "internal.imu.dv", in this order both ways.
  void readFromFile(const SettingsFile& file, const std::string& prefix) override;
  void writeToFile(SettingsFile& file, const std::string& prefix) const override;

  // acc and gyr from dq and dv over the sample time T (inverse strapdown integration). False,
  // both unchanged, when T is not positive and finite.
  bool computeGyrAcc(double T);

  Quaternion dq;  // identity
  uint16_t clipAcc = 0;
  uint16_t clipGyr = 0;
  Vector3 dv;
  Vector3 gyr;
  Vector3 acc;
};

}  // namespace zelto
