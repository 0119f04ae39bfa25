#pragma once
// Initial standard deviations of the Zkf3 state, embedded in the scenario and the parameters.
#include "filters/common/ZeltoParams.h"

namespace zelto {

class Zkf3InitialConditions : public ZeltoParams {
 public:
  using ZeltoParams::readFromFile;
  Zkf3InitialConditions() = default;
  Zkf3InitialConditions(const Zkf3InitialConditions&) = default;
  Zkf3InitialConditions& operator=(const Zkf3InitialConditions&) = default;
  ~Zkf3InitialConditions() override;

  // Keys, in this order: "sd_init_orient", "sd_init_acc", "stab.sd_init_gyrBias",
  // "sd_init_magvar" (vector), "sd_init_mag".
  void readFromFile(const SettingsFile& file, const std::string& prefix) override;
  void writeToFile(SettingsFile& file, const std::string& prefix) const override;

  double sd_init_orient = 0.0;
  double sd_init_acc = 0.0;
  double sd_init_gyrBias = 0.0;
  double sd_init_magvar[3] = {0.0, 0.0, 0.0};
  double sd_init_mag = 0.0;
};

}  // namespace zelto
