#pragma once
// Magnetometer sample (sensor frame) of one Zkf3 step.
#include "filters/common/ZkfAiding.h"
#include "math/Vector3.h"

namespace zelto {

class Zkf3Aiding : public ZkfAiding {
 public:
  using ZeltoParams::readFromFile;
  Zkf3Aiding() = default;
  Zkf3Aiding(const Zkf3Aiding&) = default;
  Zkf3Aiding& operator=(const Zkf3Aiding&) = default;
  ~Zkf3Aiding() override;

  // Key "mag" (a vector of at least three items).
  void readFromFile(const SettingsFile& file, const std::string& prefix) override;
  void writeToFile(SettingsFile& file, const std::string& prefix) const override;

  Vector3 mag;
};

}  // namespace zelto
