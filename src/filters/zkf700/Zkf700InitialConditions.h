#pragma once
// Initial standard deviations of the Zkf700 error state, embedded in the scenario and in the
// run-time parameters (same keys under the owner's prefix). The alignment puts them on the
// diagonal of the square-root covariance: position 0-2, velocity 3-5, accelerometer bias or
// magnetic field 6-8, gyroscope bias 9-11, acceleration 12-14, orientation 15-17 (per axis).
#include "filters/common/ZeltoParams.h"
#include "math/Vector3.h"

namespace zelto {

class Zkf700InitialConditions : public ZeltoParams {
 public:
  using ZeltoParams::readFromFile;
  Zkf700InitialConditions() = default;
  Zkf700InitialConditions(const Zkf700InitialConditions&) = default;
  Zkf700InitialConditions& operator=(const Zkf700InitialConditions&) = default;
  ~Zkf700InitialConditions() override;

  // Keys in this order: "sd_init_acc", "sd_init_accBias", "sd_init_mag", "sd_init_gyrBias",
  // "sd_init_magVar", "sd_init_orient" (3 values), "sd_init_pos", "sd_init_vel".
  void readFromFile(const SettingsFile& file, const std::string& prefix) override;
  void writeToFile(SettingsFile& file, const std::string& prefix) const override;

  double sd_init_acc = 0.0;
  double sd_init_accBias = 0.0;
  double sd_init_mag = 0.0;
  double sd_init_gyrBias = 0.0;
  double sd_init_magVar = 0.0;
  Vector3 sd_init_orient;
  double sd_init_pos = 0.0;
  double sd_init_vel = 0.0;
};

}  // namespace zelto
