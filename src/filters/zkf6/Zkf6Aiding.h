#pragma once
// Aiding of one Zkf6 step: the magnetometer (sensor frame) and the device's latest GNSS and
// barometer sample. Only the magnetometer is a setting; the GNSS/barometer sample is never
// stored with the aiding (it is part of the filter state instead).
#include "filters/common/ZkfAiding.h"
#include "filters/common/ZkfGpsPrintData.h"
#include "math/Vector3.h"

namespace zelto {

class Zkf6Aiding : public ZkfAiding {
 public:
  using ZeltoParams::readFromFile;
  Zkf6Aiding() = default;
  Zkf6Aiding(const Zkf6Aiding&) = default;
  Zkf6Aiding& operator=(const Zkf6Aiding&) = default;
  ~Zkf6Aiding() override;

  // Key "mag" only.
  void readFromFile(const SettingsFile& file, const std::string& prefix) override;
  void writeToFile(SettingsFile& file, const std::string& prefix) const override;

  Vector3 mag;
  ZkfGpsPrintData gps;
};

}  // namespace zelto
