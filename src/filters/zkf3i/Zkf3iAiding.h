#pragma once
// Magnetometer sample (sensor frame) of one Zkf3i step; all zero when the interval has none.
#include "filters/common/ZkfAiding.h"
#include "math/Vector3.h"

namespace zelto {

class Zkf3iAiding : public ZkfAiding {
 public:
  using ZeltoParams::readFromFile;
  Zkf3iAiding() = default;
  Zkf3iAiding(const Zkf3iAiding&) = default;
  Zkf3iAiding& operator=(const Zkf3iAiding&) = default;
  ~Zkf3iAiding() override;

  // Key "mag".
  void readFromFile(const SettingsFile& file, const std::string& prefix) override;
  void writeToFile(SettingsFile& file, const std::string& prefix) const override;

  // False when "mag" is all zero: the interval carries no magnetometer sample.
  bool hasMag() const { return mag[0] != 0.0 || mag[1] != 0.0 || mag[2] != 0.0; }

  Vector3 mag;
};

}  // namespace zelto
