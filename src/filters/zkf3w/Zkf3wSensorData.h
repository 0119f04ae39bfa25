#pragma once
// Strapdown increments of one Zkf3w sample: velocity increment dv (sensor frame) and orientation
// increment dq over the sample interval, and the gyroscope bias the tracker applied.
#include "filters/common/ZkfSensorData.h"
#include "math/Quaternion.h"
#include "math/Vector3.h"

namespace zelto {

class Zkf3wSensorData : public ZkfSensorData {
 public:
  using ZeltoParams::readFromFile;
  Zkf3wSensorData() = default;
  Zkf3wSensorData(const Zkf3wSensorData&) = default;
  Zkf3wSensorData& operator=(const Zkf3wSensorData&) = default;
  ~Zkf3wSensorData() override;

  // Keys "dv", "dq", "bGyr" in this order.
  void readFromFile(const SettingsFile& file, const std::string& prefix) override;
  void writeToFile(SettingsFile& file, const std::string& prefix) const override;

  Vector3 dv;
  Quaternion dq;
  Vector3 bGyr;
};

}  // namespace zelto
