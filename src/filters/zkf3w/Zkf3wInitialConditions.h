#pragma once
// Initial standard deviations of the Zkf3w state, embedded in the scenario and the parameters.
// All start at 0; the filter floors a deviation that is not positive so that the covariance
// root stays invertible.
#include "filters/common/ZeltoParams.h"

namespace zelto {

class Zkf3wInitialConditions : public ZeltoParams {
 public:
  using ZeltoParams::readFromFile;
  Zkf3wInitialConditions() = default;
  Zkf3wInitialConditions(const Zkf3wInitialConditions&) = default;
  Zkf3wInitialConditions& operator=(const Zkf3wInitialConditions&) = default;
  ~Zkf3wInitialConditions() override;

  // Keys, in this order: "sd_init_orient", "sd_init_acc", "stab.sd_init_gyrBias",
  // "sd_init_magvar" (vector of three), "sd_init_mag"; each must be present.
  void readFromFile(const SettingsFile& file, const std::string& prefix) override;
  // The same keys; an absent key keeps its value (a bad value still throws).
  void readPresentFromFile(const SettingsFile& file, const std::string& prefix);
  void writeToFile(SettingsFile& file, const std::string& prefix) const override;

  double sd_init_orient = 0.0;
  double sd_init_acc = 0.0;
  double sd_init_gyrBias = 0.0;
  double sd_init_magvar[3] = {0.0, 0.0, 0.0};
  double sd_init_mag = 0.0;
};

}  // namespace zelto
