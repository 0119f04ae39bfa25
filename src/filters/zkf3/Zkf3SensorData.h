#pragma once
// Calibrated accelerometer and gyroscope sample of one Zkf3 step.
#include "filters/common/ZkfInertialData.h"
#include "filters/common/ZkfSensorData.h"

namespace zelto {

class Zkf3SensorData : public ZkfSensorData {
 public:
  using ZeltoParams::readFromFile;
  Zkf3SensorData() = default;
  Zkf3SensorData(const Zkf3SensorData&) = default;
  Zkf3SensorData& operator=(const Zkf3SensorData&) = default;
  ~Zkf3SensorData() override;

  // Keys "acc" and "gyr" of the inertial data.
  void readFromFile(const SettingsFile& file, const std::string& prefix) override;
  void writeToFile(SettingsFile& file, const std::string& prefix) const override;

  ZkfInertialData inertial;
};

}  // namespace zelto
