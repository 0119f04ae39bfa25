#pragma once
// One accelerometer and gyroscope sample.
#include "filters/common/ZeltoParams.h"
#include "math/Vector3.h"

class ZkfInertialData : public ZeltoParams {
 public:
  using ZeltoParams::readFromFile;
  ZkfInertialData() = default;
  ZkfInertialData(const ZkfInertialData&) = default;
  ZkfInertialData& operator=(const ZkfInertialData&) = default;
  ~ZkfInertialData() override;

  // Keys "acc", "gyr" (vectors of at least three items).
  void readFromFile(const zelto::SettingsFile& file, const std::string& prefix) override;
  void writeToFile(zelto::SettingsFile& file, const std::string& prefix) const override;

  zelto::Vector3 acc;
  zelto::Vector3 gyr;
};
