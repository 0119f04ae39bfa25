#pragma once
// Calibrated accelerometer and gyroscope sample (sensor frame) of one Zkf6 step.
#include "filters/common/ZkfInertialData.h"
#include "filters/common/ZkfSensorData.h"

namespace zelto {

class Zkf6SensorData : public ZkfSensorData {
 public:
  using ZeltoParams::readFromFile;
  Zkf6SensorData() = default;
  Zkf6SensorData(const Zkf6SensorData&) = default;
  Zkf6SensorData& operator=(const Zkf6SensorData&) = default;
  ~Zkf6SensorData() override;

  // Keys "acc" and "gyr" of the inertial data.
  void readFromFile(const SettingsFile& file, const std::string& prefix) override;
  void writeToFile(SettingsFile& file, const std::string& prefix) const override;

  ZkfInertialData inertial;
};

}  // namespace zelto
