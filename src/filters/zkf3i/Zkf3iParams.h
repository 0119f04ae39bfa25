#pragma once
// Run-time parameters of the Zkf3i filter, read by every step: noise roots per sample, low-pass
// coefficients, thresholds, switches, the reference field and rotation axis, the earth rate and
// gravity in the local east-north-up frame, and the initial conditions. initialize derives them
// from a scenario, the tracker's hardware parameters, the user parameters and a step selection;
// the settings form stores them all but the derived zero-rotation threshold, which is
// recomputed after a read. Owns its step selection (ZkfParams).
#include <array>
#include <cstdint>
#include <string>

#include "filters/common/SettingField.h"
#include "filters/common/ZkfParams.h"
#include "filters/zkf3i/Zkf3iFilterSteps.h"
#include "filters/zkf3i/Zkf3iInitialConditions.h"
#include "math/Matrix3x3.h"
#include "math/Quaternion.h"
#include "math/Vector3.h"

class KtMk4HardwareParams;
class ZkfUserParams;

namespace zelto {

class Zkf3iScenarioParams;

class Zkf3iParams : public ZkfParams {
 public:
  using ZeltoParams::readFromFile;
  static constexpr size_t kKeys = 84;

  // Owns a Zkf3iFilterSteps with only "default" set.
  Zkf3iParams();
  Zkf3iParams(const Zkf3iParams& other);
  Zkf3iParams& operator=(const Zkf3iParams& other);
  ~Zkf3iParams() override;

  // Written in field order from "accRange" to "accUpdateIgnoreSamples", then
  // "accUpdate_samples_above_threshold_preset", "f_acc_boost", "cZruSamplesThreshold",
  // "f_zruThreshold" (zruThreshold once more), "f_zruNoise", "f_cZruNoise", "accUpdate_cDecay",
  // "tau_acc", "magDist_threshold", "magVerticalAngle", "magDistNorm_max" and the initial
  // conditions. Read in the same order but "doClipSolve" before "doMfmInUse" and "tau_acc" after
  // "magDistNorm_max"; zruThresholdSquared is recomputed before the initial conditions are read.
  // A stored vector or matrix shorter than the member throws like a missing key.
  void readFromFile(const SettingsFile& file, const std::string& prefix) override;
  void writeToFile(SettingsFile& file, const std::string& prefix) const override;

  // The owned step flags as their Zkf3i kind (null when a foreign or no steps object is held).
  Zkf3iFilterSteps* zkf3iSteps() const;

  // Derives every member from the inputs (see the source for the steps). A time constant of the
  // scenario of 0 gives the coefficient 0. Refuses, returning false with the reason in error()
  // and journalled, when the sample rate is not positive and finite, a time constant of the
  // scenario is negative or not finite, a gyroscope bias time constant is not positive, an
  // initial standard deviation (acceleration, gyroscope bias, field, orientation) is not
  // positive, or any derived value is not finite. A refused record is not usable: sampleTime is
  // 0 and the rest as it was. "doFixedGravity" and "doInitialGyroBiasUpdate" are taken from the
  // user parameters' "enabledFixedGravity" and "enabledInitialGyroBiasUpdate".
  bool initialize(const Zkf3iScenarioParams& scenario, const KtMk4HardwareParams& hardware,
                  const ::ZkfUserParams& user, const Zkf3iFilterSteps& steps);
  // Why the last initialize refused; empty after one that succeeded.
  const std::string& error() const { return m_error; }
  // A positive, finite sample time: what a filter needs before it steps.
  bool isUsable() const;

  double accRange = 0.0;
  Vector3 earthRotation_l;  // rad/s, east-north-up
  double c_acc = 0.0;
  Vector3 c_gyrBias;
  double c_mag_avg = 0.0;
  double c_mag_local = 0.0;
  double c_mag_max = 0.0;
  double c_mag_redefine = 0.0;
  double c_mag_var = 0.0;
  double c_vel = 0.0;
  double declination_angle_rad = 0.0;
  double dp_boost = 0.0;
  bool doAccUpdate = false;
  bool doMfmInUse = false;
  bool doClipSolve = false;
  bool doFixedGravity = false;
  bool doInitialGyroBiasUpdate = false;
  bool doMagUpdate = false;
  bool doRedefine = false;
  bool convergeNorthWithoutRedefine = false;
  bool doRedefineTemporal = false;
  bool doRedefineDelta_x0 = false;
  bool doRedefineMagDist = false;
  bool doRedefineSdHeading = false;
  bool doRedefineSpatial = false;
  bool doRedefineDominantMagField = false;
  bool doCZruUpdate = false;
  double f_dynamic_acc = 0.0;
  double f_acc_oor = 0.0;
  double f_clipSolve_boost[4] = {};
  double f_dynamic_gyro = 0.0;
  double f_gyr_oor = 0.0;
  double f_magvar = 0.0;
  Vector3 gravity_l;  // (0, 0, g), g negative
  double gyrRange = 0.0;
  uint16_t okAgeInit = 200;
  Vector3 m0;
  Vector3 axis_redef;
  Quaternion q_NWU2ENU{0.0, 0.0, 0.0, 0.0};
  double nrMagCheck[2] = {};
  double p_mag_spat = 0.0;
  Matrix3x3 RnMagUpdate;
  double sampleTime = 0.0;  // s
  double sd_w_mag_temporal_max = 0.0;
  double sd_w_mag_temporal_min = 0.0;
  Matrix3x3 sQv_accLowPass;
  Matrix3x3 sQvAcc;
  Matrix3x3 sQvGyr;
  Matrix3x3 sQvMag;
  Matrix3x3 sQw_mag;
  Matrix3x3 sQw_mag_spat;
  Matrix3x3 sQwGyrBias;
  Vector3 storedGyrBias;
  Vector3 storedLatLongAlt;  // degrees, degrees, m
  double validity_accThreshold = 0.0;
  double validity_angularUncertaintyThreshold = 0.0;
  double validity_gyroBiasThreshold = 0.0;
  double validity_magThreshold = 0.0;
  double zruDuration = 100.0;  // s
  double zruThreshold = 5.0;
  double c_redefine_temporal = 1.0;
  double c_redefine_delta_x0 = 1.0;
  double delta_x0_threshold = 0.0;
  double c_redefine_magDist = 0.0;
  double c_redefine_sdHeading = 1.0;
  double c_redefine_spatial = 1.0;
  double c_redefine_dominantMagField = 1.0;
  double sdHeadingThresholdRad = 0.0;
  double omegaRedefTypicalRad = 0.0;
  double omegaRedefMinRad = 0.0;
  double maxRedefAngleRad = 0.0;  // per sample
  double accUpdateThreshold = 0.0;
  uint64_t accUpdateIgnoreSamples = 0;
  double accUpdate_cDecay = 0.0;
  int32_t accUpdate_samples_above_threshold_preset = 0;
  double f_acc_boost = 0.0;
  uint64_t cZruSamplesThreshold = 0;
  double f_cZruNoise = 0.0;
  double f_zruNoise = 0.0;
  double magDist_threshold = 0.0;
  double magVerticalAngle = 0.0;  // degrees
  double magDistNorm_max = 0.0;
  double tau_acc = 0.0;  // s
  // (zruThreshold sQvGyr(0, 0))^2: the squared rate below which a sample counts as still. Not
  // stored.
  double zruThresholdSquared = 0.0;
  Zkf3iInitialConditions initialConditions;

 private:
  // The keys in write order, over this record (the initial conditions apart).
  std::array<SettingField, kKeys> fields();
  bool refuse(const std::string& reason);
  void updateZruThresholdSquared();

  std::string m_error;
};

}  // namespace zelto
