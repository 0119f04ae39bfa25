#pragma once
// Initial standard deviations of the Zkf3i state, kept under the same prefix as the record that
// embeds them (scenario or run-time parameters). All zero after construction.
#include "filters/common/ZeltoParams.h"

namespace zelto {

class Zkf3iInitialConditions : public ZeltoParams {
 public:
  using ZeltoParams::readFromFile;
  Zkf3iInitialConditions() = default;
  Zkf3iInitialConditions(const Zkf3iInitialConditions&) = default;
  Zkf3iInitialConditions& operator=(const Zkf3iInitialConditions&) = default;
  ~Zkf3iInitialConditions() override;

  // Keys "sd_init_acc", "sd_init_gyrBias", "sd_init_mag", "sd_init_magvar", "sd_init_orient".
  void readFromFile(const SettingsFile& file, const std::string& prefix) override;
  void writeToFile(SettingsFile& file, const std::string& prefix) const override;

  bool operator==(const Zkf3iInitialConditions& other) const;

  double sd_init_acc = 0.0;
  double sd_init_gyrBias = 0.0;  // degrees/s
  double sd_init_mag = 0.0;
  double sd_init_magvar = 0.0;
  double sd_init_orient = 0.0;  // degrees
};

}  // namespace zelto
