#pragma once
// Scenario tunables of one Zkf3 filter profile, from a scenario settings file or from the plain
// (deciphered) scenario page of the device record.
#include <cstdint>

#include "filters/common/ZeltoParams.h"
#include "filters/zkf3/Zkf3InitialConditions.h"

namespace zelto {

class Zkf3ScenarioParams : public ZeltoParams {
 public:
  using ZeltoParams::readFromFile;
  static constexpr size_t kNameSize = 20;
  static constexpr size_t kValueCount = 25;
  static constexpr uint16_t kAccUpdateFlag = 0x0001;
  static constexpr uint16_t kMagUpdateFlag = 0x0002;

  Zkf3ScenarioParams() = default;
  Zkf3ScenarioParams(const Zkf3ScenarioParams&) = default;
  Zkf3ScenarioParams& operator=(const Zkf3ScenarioParams&) = default;
  ~Zkf3ScenarioParams() override;

  // A scenario name of 20 characters or more throws ZtException (256, "strcpy failed"); the
  // values read before it stay set.
  void readFromFile(const SettingsFile& file, const std::string& prefix) override;
  void writeToFile(SettingsFile& file, const std::string& prefix) const override;
  // Page layout: 0 type, 1 version, 2..21 name, 22 + 6k the 25 values as FastFloat, 172 + 6k
  // the seven initial deviations, 262 the update flags (little-endian). Bytes 214..261 are
  // left as they are.
  void writeToDecryptedScenarioPage(void* page) override;
  // Reads the 32 values and the flags; type, version and name stay as they are.
  void readFromDecryptedScenarioPage(const void* page);

  // The 25 values in page order (k = 0..24).
  double f_gyr_oor = 0.0;
  double f_acc_oor = 0.0;
  double sd_v_acc = 0.0;
  double sd_v_gyr = 0.0;
  double sd_v_mag = 0.0;
  double deltaGyrBias = 0.0;
  double f_dynamic_gyro = 0.0;
  double f_dynamic_acc = 0.0;
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
  double validity_TBD = 0.0;

  Zkf3InitialConditions initialConditions;
  uint16_t updateFlags = 0;  // bit 0 acceleration update, bit 1 magnetometer update
  int32_t type = 0;
  int32_t version = 0;
  char scenarioName[kNameSize] = {};

  // Copies name (terminated) into scenarioName; false (name unchanged) for 20 characters or more.
  bool setScenarioName(const char* name);
};

}  // namespace zelto
