#pragma once
// Scenario tunables of one Zkf3w filter profile, from a scenario settings file or from the plain
// (deciphered) scenario page of the device record.
#include <cstdint>

#include "filters/common/ZeltoParams.h"
#include "filters/zkf3w/Zkf3wInitialConditions.h"

namespace zelto {

class Zkf3wScenarioParams : public ZeltoParams {
 public:
  using ZeltoParams::readFromFile;
  static constexpr size_t kLabelSize = 20;
  static constexpr size_t kValueCount = 30;
  static constexpr uint16_t kAccUpdateFlag = 0x0001;
  static constexpr uint16_t kMagUpdateFlag = 0x0002;

  Zkf3wScenarioParams() = default;
  Zkf3wScenarioParams(const Zkf3wScenarioParams&) = default;
  Zkf3wScenarioParams& operator=(const Zkf3wScenarioParams&) = default;
  ~Zkf3wScenarioParams() override;

  // Keys in the writer's order, but "accUpdate" and "magUpdate" before "gp.type". The bias
  // stability is taken from "stab.deltaGyrBias", or from "stab.sd_w_gyrBias" when a file carries
  // only that key. A "gp.scenario" of 20 or more characters is not copied (the label keeps its
  // text) and reading goes on. Then the initial conditions under the same prefix, each key
  // optional: an absent one keeps its value.
  void readFromFile(const SettingsFile& file, const std::string& prefix) override;
  // "validity.*", "stab.*", the other doubles, "gp.type", "gp.version", "gp.scenario",
  // "accUpdate", "magUpdate", then the initial-condition keys.
  void writeToFile(SettingsFile& file, const std::string& prefix) const override;
  // Page layout: 0 type, 1 version, 2..21 label, 22 + 6k the 30 values as FastFloat, 262 the
  // update flags (little-endian). Bytes 202..261 are left as they are.
  void writeToDecryptedScenarioPage(void* page) override;
  // The 30 values and the flags; type, version and label stay as they are.
  void readFromDecryptedScenarioPage(const void* page);

  // Copies label (terminated); false, label unchanged, for null or 20 characters or more.
  bool setLabel(const char* text);

  double f_gyr_oor = 0.0;
  double f_acc_oor = 0.0;
  double ndAcc = 0.0;
  double ndGyr = 0.0;
  double sd_v_mag = 0.0;
  double deltaGyrBias = 0.0;
  double f_gyr_dynamic = 0.0;
  double f_acc_dynamic = 0.0;
  double tau_acc = 0.0;
  double sd_v_accLowpass = 0.0;
  double tau_magavg = 0.0;
  double tau_magvar = 0.0;
  double tau_mag_temp = 0.0;
  double sd_w_mag_temp_max = 0.0;
  double f_magvar = 0.0;
  double c_mag_max = 0.0;
  double tau_vel = 0.0;
  double dp_boost = 0.0;
  double p_mag_spat = 0.0;
  double sd_w_mag_spat = 0.0;
  double validity_accThreshold = 0.0;
  double validity_magThreshold = 0.0;
  double validity_gyroBiasThreshold = 0.0;
  double validity_angularUncertaintyThreshold = 0.0;

  Zkf3wInitialConditions initialConditions;
  uint16_t flags = 0;  // bit 0 acceleration update, bit 1 magnetometer update
  char label[kLabelSize] = {};
  int32_t type = 0;
  int32_t version = 0;
};

}  // namespace zelto
