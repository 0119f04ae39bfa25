#pragma once
// Initial standard deviations of the Zkf6 state, part of the scenario and of the run-time
// parameters. Zero until read or set.
#include "filters/common/ZeltoParams.h"

namespace zelto {

class Zkf6InitialConditions : public ZeltoParams {
 public:
  using ZeltoParams::readFromFile;
  Zkf6InitialConditions() = default;
  Zkf6InitialConditions(const Zkf6InitialConditions&) = default;
  Zkf6InitialConditions& operator=(const Zkf6InitialConditions&) = default;
  ~Zkf6InitialConditions() override;

  // Keys, in this order: "sd_init_orient", "sd_init_pos", "sd_init_vel", "stab.sd_init_gyrBias",
  // "stab.sd_init_accBias", "sd_init_magvar" (vector of at least three items).
  void readFromFile(const SettingsFile& file, const std::string& prefix) override;
  void writeToFile(SettingsFile& file, const std::string& prefix) const override;

  double sd_init_orient = 0.0;   // rad
  double sd_init_pos = 0.0;      // m
  double sd_init_vel = 0.0;      // m/s
  double sd_init_gyrBias = 0.0;  // scenario part
  double sd_init_accBias = 0.0;  // scenario part
  double sd_init_magvar[3] = {0.0, 0.0, 0.0};
};

}  // namespace zelto
