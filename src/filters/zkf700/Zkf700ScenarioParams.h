#pragma once
// One Zkf700 scenario: the named tunables of the filter (update switches, noise levels, time
// constants, thresholds, initial deviations) with the filter type and version it was made for,
// from a scenario settings file or the plain 264-byte scenario page.
//
// Page: 0 type, 1 version, 2..21 label, 22 + 4k the 44 values k = 0..43 as little-endian IEEE
// single precision (page order of kValueKeys), 262..263 the switch word. Bytes 198..261 are
// neither written nor read.
#include <cstddef>
#include <cstdint>

#include "filters/common/FilterTypeVersion.h"
#include "filters/common/ZeltoParams.h"
#include "filters/zkf700/Zkf700InitialConditions.h"

namespace zelto {

class Zkf700ScenarioParams : public ZeltoParams {
 public:
  using ZeltoParams::readFromFile;
  static constexpr size_t kNameSize = 20;
  static constexpr size_t kPageValues = 44;
  // Switch bits of updateFlags (settings keys "doAccUpdate", "barometerUpdate", "gpsUpdate",
  // "holonomicUpdate", "magFieldUpdate").
  static constexpr uint16_t kAccUpdate = 0x0001;
  static constexpr uint16_t kBarometerUpdate = 0x0002;
  static constexpr uint16_t kGpsUpdate = 0x0004;
  static constexpr uint16_t kHolonomicUpdate = 0x0008;
  static constexpr uint16_t kMagFieldUpdate = 0x0010;

  Zkf700ScenarioParams() = default;
  Zkf700ScenarioParams(const Zkf700ScenarioParams&) = default;
  Zkf700ScenarioParams& operator=(const Zkf700ScenarioParams&) = default;
  ~Zkf700ScenarioParams() override;

  // The tunables ("nrMagCheck" after "velocity_zero_rotation"), the switches (bits 0..4 only),
  // "gp.type", "gp.version", "gp.scenario", the filter type and version, then the initial
  // conditions. A label of 20 characters or more throws ZtException (256, "strcpy failed")
  // with the label unchanged. "nrMagCheck" must hold two values; more are ignored.
  void readFromFile(const SettingsFile& file, const std::string& prefix) override;
  void writeToFile(SettingsFile& file, const std::string& prefix) const override;
  // Bytes 0..197 and 262..263; every value narrowed to single precision.
  void writeToDecryptedScenarioPage(void* page) override;
  // The 44 values and the switch word; type, version, label and filter version stay.
  void readFromDecryptedScenarioPage(const void* page);

  // Copies name (terminated) into scenarioName; false (name unchanged) for 20 characters or more.
  bool setScenarioName(const char* name);

  double accDivMon_tauDecay = 0.0;
  double accDivMon_threshold = 0.0;
  double accDivMon_time = 0.0;
  double accDivMon_time_above_threshold = 0.0;
  double c_baroadaptation = 0.0;
  double f_acc_boost = 0.0;
  double f_acc_clip = 0.0;
  double f_gyr_clip = 0.0;
  double f_magvar = 0.0;
  double f_norotThreshold = 0.0;
  double f_norotNoise = 0.0;
  double f_mag_temporal_min = 0.0;
  double f_mag_temporal_max = 0.0;
  double nrMagCheck[2] = {0.0, 0.0};  // innovation gate, consecutive rejections allowed
  double gpsCoastingTime = 0.0;
  double gpsLocalConstant = 0.0;
  double gpsOutageThreshold = 0.0;
  double gpsPositionAccuracyThreshold = 0.0;
  double sd_holonomic = 0.0;
  double sd_v_accLowPass = 0.0;
  double sd_w_mag_spat = 0.0;
  double sd_w_mag = 0.0;
  double sd_v_mag = 0.0;  // "stab.sd_v_mag"
  double p_mag_spat = 0.0;
  double dp_boost = 0.0;
  double tau_acc = 0.0;
  double tau_magavg = 0.0;
  double tau_magvar = 0.0;
  double tau_vel = 0.0;
  double tau_mag_max = 0.0;
  double velocity_holonomic = 0.0;
  double velocity_zero_rotation = 0.0;
  double gpsPlatform = 0.0;

  Zkf700InitialConditions initialConditions;
  uint16_t updateFlags = 0;
  FilterTypeVersion filterTypeVersion;
  int32_t type = 0;
  int32_t version = 0;
  char scenarioName[kNameSize] = {};
};

}  // namespace zelto
