#pragma once
// Magnetometer sample (sensor frame) of one Zkf3w step.
#include "filters/common/ZkfAiding.h"
#include "math/Vector3.h"

namespace zelto {

class Zkf3wAiding : public ZkfAiding {
 public:
  using ZeltoParams::readFromFile;
  Zkf3wAiding() = default;
  Zkf3wAiding(const Zkf3wAiding&) = default;
  Zkf3wAiding& operator=(const Zkf3wAiding&) = default;
  ~Zkf3wAiding() override;

  // Key "mag".
  void readFromFile(const SettingsFile& file, const std::string& prefix) override;
  void writeToFile(SettingsFile& file, const std::string& prefix) const override;

  Vector3 mag;
};

}  // namespace zelto
