#pragma once
// Full state of the Zkf3i filter: orientation q_ls (sensor to local east-north-up), the 12
// error-state elements x with their lower-triangular covariance root sQx (P = sQx sQx^T) and
// whitened copy sx (x = sQx sx), and the bookkeeping of the prediction, the magnetic model, the
// zero-rotation window and the validity countdown.
//
// x: 0-2 acceleration (local), 3-5 gyroscope bias (sensor, subtracted from the rate), 6-8
// magnetic field (local), 9-11 orientation error since the last correction (sensor).
//
// Every member has a value from construction on: the vectors the filter fills only at its
// initialisation start at zero.
#include <array>
#include <cstdint>

#include "filters/common/SettingField.h"
#include "filters/common/ZkfState.h"
#include "math/Matrix.h"
#include "math/Quaternion.h"
#include "math/Vector.h"
#include "math/Vector3.h"

namespace zelto {

class Zkf3iParams;
class Zkf3iSensorData;
class Zkf3iAiding;

class Zkf3iState : public ZkfState {
 public:
  using ZeltoParams::readFromFile;
  static constexpr ZtSize kStates = 12;
  static constexpr size_t kKeys = 30;

  // x zero, sQx and q_ls identity, q_redefine four zeros, normMag 1, firstIteration set, every
  // other value zero.
  Zkf3iState();
  Zkf3iState(const Zkf3iState& other);
  Zkf3iState& operator=(const Zkf3iState& other);
  ~Zkf3iState() override;

  // The 30 keys: written "x", "a_l", "clipSolve_state", "firstIteration", "isValidAge",
  // "m0_def", "mag_s_prev", "mag_avg", "mag_var", "NR_magCounter", "sQx", "sx", "v_l",
  // "m0_proj_def", "q_ls", "q_redefine", "acc_div", "accUpdateSamplesAboveThreshold",
  // "c_mag_spat", "clippedAccDivCounter", "zruRunning", "cZruRunning", "zruAborted",
  // "zruSamplesRejected", "zruSamplesToProcess", "cZruSamplesBelowThreshold",
  // "magFieldDipAngleRad", "normMag", "sdMagVar", "accUpdateIgnoreSamples"; read in the same
  // order but "clippedAccDivCounter" right after "NR_magCounter". The 64-bit counters are
  // stored in 32 bits. A vector or matrix stored shorter than the member throws like a missing
  // key. mag_l, the x views and nothing else are left out.
  void readFromFile(const SettingsFile& file, const std::string& prefix) override;
  void writeToFile(SettingsFile& file, const std::string& prefix) const override;

  // Reorders the state: x[i] = x[p[i]], sx[i] = sx[p[i]], sQx(i, j) = sQx(p[i], p[j]) (sQx is
  // not made triangular again). False, nothing changed, when p is not a permutation of 0..11.
  bool permute(const Vector& p);
  // The state from one sample: up from the interval's average specific force, north from the
  // magnetometer (the sensor's y axis when the magnetometer update is off) turned by the
  // declination; x zero but the stored gyroscope bias and the field in the local frame; sQx the
  // diagonal of the initial deviations; the bookkeeping reset; with the initial gyroscope-bias
  // window switched on and the sensor still (|gyr|^2 below zruThresholdSquared), a window of
  // zruDuration / T + 0.25 samples (cut to 16 bits) that starts the bias at the measured rate.
  // up receives the up axis (sensor frame). False, nothing changed, when the force or the field
  // is too short or the two are nearly parallel: no frame can be formed, the caller waits.
  bool initializeFromMeasurement(const Zkf3iParams& params, const Zkf3iSensorData& sensorData,
                                 const Zkf3iAiding& aiding, double dt, Vector& up);
  // A window of duration / T + 0.25 samples (cut to 16 bits) unless |gyr|^2 is not below
  // zruThresholdSquared (then aborted); not running, nothing rejected yet.
  void startNoRotation(const Zkf3iParams& params, const ZtVector& gyr, double duration);
  // Every number finite, q_ls of unit length within 1e-6 and sQx lower triangular: a state the
  // filter can step from.
  bool isUsable() const;

  Vector x;
  Vector accel;        // view on x[0..2]
  Vector gyrBias;      // view on x[3..5]
  Vector magField;     // view on x[6..8]
  Vector orientError;  // view on x[9..11]
  Vector3 a_l;
  Vector3 clipSolve_state;
  bool firstIteration = true;
  int32_t isValidAge = 0;
  Vector3 m0_def;
  Vector3 mag_l;  // not stored
  Vector3 mag_s_prev;
  Vector3 mag_avg;
  Vector3 mag_var;
  int32_t NR_magCounter = 0;
  Matrix sQx;
  Vector sx;
  Vector3 v_l;
  Vector3 m0_proj_def;
  Vector3 acc_div;
  Quaternion q_ls;
  Quaternion q_redefine{0.0, 0.0, 0.0, 0.0};
  bool zruRunning = false;
  bool cZruRunning = false;
  bool zruAborted = false;
  bool zruSamplesRejected = false;
  uint64_t zruSamplesToProcess = 0;
  uint64_t cZruSamplesBelowThreshold = 0;
  double magFieldDipAngleRad = 0.0;
  double normMag = 1.0;
  double sdMagVar = 0.0;
  uint64_t accUpdateIgnoreSamples = 0;
  int32_t accUpdateSamplesAboveThreshold = 0;
  double c_mag_spat = 0.0;
  int32_t clippedAccDivCounter = 0;

 private:
  void copyFrom(const Zkf3iState& other);
  // The keys in write order, over this record.
  std::array<SettingField, kKeys> fields();

  double m_x[kStates] = {};
  double m_sx[kStates] = {};
  double m_sQx[kStates * kStates] = {};
};

}  // namespace zelto
