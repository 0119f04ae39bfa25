#pragma once
// Scenario tunables of one Zkf6 filter profile ("ZKF-6G"): noise and bias-walk deviations,
// magnetic time constants, GNSS, zero-velocity, barometer-adaptation, holonomic and zero-rotation
// settings, the five update switches and the initial conditions. Read from a scenario settings
// file; the plain scenario-page form is kept for the device record's layout.
#include <cstdint>

#include "filters/common/FilterTypeVersion.h"
#include "filters/common/ZeltoParams.h"
#include "filters/zkf6/Zkf6InitialConditions.h"

namespace zelto {

class Zkf6ScenarioParams : public ZeltoParams {
 public:
  using ZeltoParams::readFromFile;
  static constexpr size_t kLabelSize = 20;  // terminator included
  static constexpr uint16_t kMagFieldUpdate = 1u << 0;
  static constexpr uint16_t kGpsUpdate = 1u << 1;
  static constexpr uint16_t kBarometerUpdate = 1u << 2;
  static constexpr uint16_t kHolonomicUpdate = 1u << 3;
  static constexpr uint16_t kZeroRotationUpdate = 1u << 4;

  // Every number 0, every switch off, filter type '6' with the filter's version.
  Zkf6ScenarioParams();
  Zkf6ScenarioParams(const Zkf6ScenarioParams&) = default;
  Zkf6ScenarioParams& operator=(const Zkf6ScenarioParams&) = default;
  ~Zkf6ScenarioParams() override;

  // A missing key throws ZtException and ends the reading (the values read before stay). The
  // filter type and version are optional (type '6' when absent); the label is cut to 19
  // characters.
  void readFromFile(const SettingsFile& file, const std::string& prefix) override;
  void writeToFile(SettingsFile& file, const std::string& prefix) const override;
  // Plain 264-byte page: 0 type, 1 version, 2..21 label, 22 + 6k the 21 tunables as FastFloats,
  // 148 + 6k the eight initial values, 196..261 zero, 262 the switch word. The virtual slot keeps
  // the base's (empty) operation: no caller writes a Zkf6 page through it.
  void writePage(void* page) const;
  // Reads the 29 values and the switch word; type, version and label stay as they are.
  void readFromDecryptedScenarioPage(const void* page);

  void setLabel(const char* label);

  double f_gyr_oor = 0.0;
  double f_acc_oor = 0.0;
  double sd_v_acc = 0.0;
  double sd_v_gyr = 0.0;
  double sd_v_mag = 0.0;
  double deltaGyrBias = 0.0;
  double deltaAccBias = 0.0;
  double sd_wm = 0.0;
  double tau_magdist = 0.0;
  double tau_magavg = 0.0;
  double tau_magvar = 0.0;
  double f_magvar = 0.0;
  double sd_pos_gps[2] = {0.0, 0.0};  // horizontal, vertical (m)
  double sd_vel_gps[2] = {0.0, 0.0};  // horizontal, vertical (m/s)
  double sd_vel_nogps = 0.0;
  double c_baroadaptation = 0.0;
  double sd_holonomic = 0.0;
  double velocity_holonomic = 0.0;
  double sd_zero_rotation = 0.0;
  Zkf6InitialConditions initialConditions;
  uint16_t updateSwitches = 0;
  FilterTypeVersion filterTypeVersion;
  int32_t type = 0;
  int32_t version = 0;
  char label[kLabelSize] = {};
};

}  // namespace zelto
