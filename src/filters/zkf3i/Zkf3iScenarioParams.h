#pragma once
// One scenario of the Zkf3i filter: 55 tunables (two of them short arrays), the initial
// conditions, 13 switches packed in a 16-bit word, and the header (filter type and version,
// scenario type, version and label). From and to a settings file under a prefix, from and to
// the plain 264-byte scenario page, or set to the built-in tuning (initHardCoded). Passive: the
// run-time parameters derive everything from it.
//
// Every member has a value from construction on (zeros, flags clear, empty label).
#include <cstdint>

#include "filters/common/FilterTypeVersion.h"
#include "filters/common/ZeltoParams.h"
#include "filters/zkf3i/Zkf3iInitialConditions.h"

namespace zelto {

class Zkf3iScenarioParams : public ZeltoParams {
 public:
  using ZeltoParams::readFromFile;
  static constexpr size_t kLabelSize = 20;
  static constexpr size_t kPageValues = 60;
  static constexpr size_t kFlagCount = 13;

  // Bits of the flag word (page bytes 262..263).
  enum Flag : uint16_t {
    kDoAccUpdate = 1u << 0,
    kDoClipSolve = 1u << 1,
    kDoMagUpdate = 1u << 2,
    kDoRedefine = 1u << 3,
    kDoMfmInUse = 1u << 4,
    kDoRedefineTemporal = 1u << 5,
    kDoRedefineDelta_x0 = 1u << 6,
    kNoRedefineMagDist = 1u << 7,
    kDoRedefineSdHeading = 1u << 8,
    kDoRedefineSpatial = 1u << 9,
    kDoRedefineDominantMagField = 1u << 10,
    kConvergeNorthWithoutRedefine = 1u << 11,
    kDoCZruUpdate = 1u << 12,
  };
  static constexpr uint16_t kFlagMask = (1u << kFlagCount) - 1u;

  Zkf3iScenarioParams() = default;
  Zkf3iScenarioParams(const Zkf3iScenarioParams&) = default;
  Zkf3iScenarioParams& operator=(const Zkf3iScenarioParams&) = default;
  ~Zkf3iScenarioParams() override;

  // The flags in bit order, the tunables, "gp.scenario" (copied only when at most 19
  // characters), "gp.type", "gp.version", the filter type and version ("gp.filter",
  // "gp.filterVersion"; when either is absent: 'I' 1.0.0), ..., the zero-rotation threshold
  // from "f_zruThreshold" or, when the file lacks it, from "f_zruTheshold", ..., then the
  // initial conditions. Throws at the first other missing key (values read before it stay).
  // "f_clipSolve_boost" and "nrMagCheck" take the leading stored values.
  void readFromFile(const SettingsFile& file, const std::string& prefix) override;
  // The same keys, "doMfmInUse" before "doRedefine", the threshold always as "f_zruThreshold",
  // the filter type and version right after "gp.version".
  void writeToFile(SettingsFile& file, const std::string& prefix) const override;
  // Byte 0 the low byte of "gp.type", 1 of "gp.version", 2..21 the label padded with spaces,
  // 22 + 4k the 60 values as little-endian float32 in page order, 262 the flag word (bits 13..15
  // written as 0).
  void writeToDecryptedScenarioPage(void* page) override;
  // The 60 values and the flags (bits 13..15 ignored); header and label are not read.
  void readFromDecryptedScenarioPage(const void* page);
  // The built-in tuning: every tunable, initial condition and flag but "doMfmInUse" (kept),
  // label "demo", "gp.type" 38, "gp.version" 255, filter 'I' 1.0.0.
  void initHardCoded();

  bool flag(Flag f) const { return (flags & f) != 0; }
  void setFlag(Flag f, bool on) { flags = static_cast<uint16_t>(on ? flags | f : flags & ~f); }
  // Copies text (terminated); false, label unchanged, for null or 20 characters or more.
  bool setLabel(const char* text);

  bool operator==(const Zkf3iScenarioParams& other) const;

  double dp_boost = 0.0;
  double f_acc_clip = 0.0;
  double f_acc_dynamic = 0.0;
  double f_clipSolve_boost[4] = {};
  double f_gyr_clip = 0.0;
  double f_gyr_dynamic = 0.0;
  double f_mag_temporal_max = 0.0;
  double f_mag_temporal_min = 0.0;
  double f_magvar = 0.0;
  double nrMagCheck[2] = {};
  double p_mag_spat = 0.0;
  double sd_v_accLowPass = 0.0;
  double sd_w_mag_spat = 0.0;
  double sd_w_mag = 0.0;
  double stab_sd_v_mag = 0.0;  // "stab.sd_v_mag"
  double tau_acc = 0.0;
  double tau_mag_local = 0.0;
  double tau_mag_max = 0.0;
  double tau_magavg = 0.0;
  double tau_magvar = 0.0;
  double tau_vel = 0.0;
  double validity_accThreshold = 0.0;  // "validity.accThreshold", and so on
  double validity_magThreshold = 0.0;
  double validity_gyroBiasThreshold = 0.0;
  double validity_angularUncertaintyThreshold = 0.0;
  double zruDuration = 0.0;
  double f_zruThreshold = 0.0;
  double omegaRedefTyp = 0.0;  // degrees
  double maxRedefRate = 0.0;   // degrees/s
  double delta_x0_threshold = 0.0;
  double sdHeading_threshold = 0.0;  // degrees
  double magDist_threshold = 0.0;
  double magVerticalAngle = 0.0;
  double magDistNorm_max = 0.0;
  double tau_redefine_temporal = 0.0;
  double tau_redefine_delta_x0 = 0.0;
  double tau_redefine_sdHeading = 0.0;
  double omegaRedefMin = 0.0;  // degrees
  double accUpdate_threshold = 0.0;
  double accUpdate_tauDecay = 0.0;
  double accUpdate_time = 0.0;                  // s
  double accUpdate_time_above_threshold = 0.0;  // s
  double f_acc_boost = 0.0;
  double f_zruNoise = 0.0;
  double f_cZruNoise = 0.0;
  double cZruSamplesThreshold = 0.0;  // a sample count
  double mfm_C = 0.0;
  double mfm_N_ratio = 0.0;
  double mfm_threshold_b = 0.0;
  double mfm_threshold_MM = 0.0;
  double mfm_f_gyrRange = 0.0;

  Zkf3iInitialConditions initialConditions;
  uint16_t flags = 0;
  FilterTypeVersion filterTypeVersion;
  int32_t type = 0;     // "gp.type"
  int32_t version = 0;  // "gp.version"
  char label[kLabelSize] = {};

 private:
  // The 60 page values in page order.
  void pageValues(double* (&values)[kPageValues]);
};

}  // namespace zelto
