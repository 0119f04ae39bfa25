#include "filters/zkf3i/Zkf3iParams.h"

#include <algorithm>
#include <cmath>

#include "filters/common/EstimationRoutines.h"
#include "filters/common/InputCast.h"
#include "filters/common/KtMk4HardwareParams.h"
#include "filters/common/ZkfUserParams.h"
#include "filters/zkf3i/Zkf3iScenarioParams.h"
#include "foundation/JournalMacros.h"
#include "math/geomag/EarthMagModel.h"

namespace zelto {

namespace {

constexpr double kDegToRad = 0.017453292519943295;

// Write-order positions the reader takes differently: "doClipSolve" before "doMfmInUse", and
// "tau_acc" after "magDistNorm_max" (it is written before "magDist_threshold").
constexpr size_t kDoMfmInUseKey = 13;
constexpr size_t kDoClipSolveKey = 14;
constexpr size_t kTauAccKey = 80;
constexpr size_t kMagDistNormMaxKey = 83;

bool positiveFinite(double v) { return std::isfinite(v) && v > 0.0; }

}  // namespace

Zkf3iParams::Zkf3iParams() : ZkfParams(new Zkf3iFilterSteps) {
  RnMagUpdate.isIdentity();
  sQv_accLowPass.isIdentity();
  sQvAcc.isIdentity();
  sQvGyr.isIdentity();
  sQvMag.isIdentity();
  sQw_mag.isIdentity();
  sQw_mag_spat.isIdentity();
  sQwGyrBias.isIdentity();
}

Zkf3iParams::Zkf3iParams(const Zkf3iParams& other) = default;

Zkf3iParams& Zkf3iParams::operator=(const Zkf3iParams& other) = default;

Zkf3iParams::~Zkf3iParams() = default;

Zkf3iFilterSteps* Zkf3iParams::zkf3iSteps() const { return inputCast<Zkf3iFilterSteps>(filterSteps()); }

bool Zkf3iParams::isUsable() const { return positiveFinite(sampleTime); }

std::array<SettingField, Zkf3iParams::kKeys> Zkf3iParams::fields() {
  using F = SettingField;
  const F t[] = {F::real("accRange", accRange),
                 F::vector("earthRotation_l", earthRotation_l),
                 F::real("c_acc", c_acc),
                 F::vector("c_gyrBias", c_gyrBias),
                 F::real("c_mag_avg", c_mag_avg),
                 F::real("c_mag_local", c_mag_local),
                 F::real("c_mag_max", c_mag_max),
                 F::real("c_mag_redefine", c_mag_redefine),
                 F::real("c_mag_var", c_mag_var),
                 F::real("c_vel", c_vel),
                 F::real("declination_angle_rad", declination_angle_rad),
                 F::real("dp_boost", dp_boost),
                 F::flag("doAccUpdate", doAccUpdate),
                 F::flag("doMfmInUse", doMfmInUse),
                 F::flag("doClipSolve", doClipSolve),
                 F::flag("doFixedGravity", doFixedGravity),
                 F::flag("doInitialGyroBiasUpdate", doInitialGyroBiasUpdate),
                 F::flag("doMagUpdate", doMagUpdate),
                 F::flag("doRedefine", doRedefine),
                 F::flag("convergeNorthWithoutRedefine", convergeNorthWithoutRedefine),
                 F::flag("doRedefineTemporal", doRedefineTemporal),
                 F::flag("doRedefineDelta_x0", doRedefineDelta_x0),
                 F::flag("doRedefineMagDist", doRedefineMagDist),
                 F::flag("doRedefineSdHeading", doRedefineSdHeading),
                 F::flag("doRedefineSpatial", doRedefineSpatial),
                 F::flag("doRedefineDominantMagField", doRedefineDominantMagField),
                 F::flag("doCZruUpdate", doCZruUpdate),
                 F::real("f_dynamic_acc", f_dynamic_acc),
                 F::real("f_acc_oor", f_acc_oor),
                 F::values("f_clipSolve_boost", f_clipSolve_boost, 4),
                 F::real("f_dynamic_gyro", f_dynamic_gyro),
                 F::real("f_gyr_oor", f_gyr_oor),
                 F::real("f_magvar", f_magvar),
                 F::vector("gravity_l", gravity_l),
                 F::real("gyrRange", gyrRange),
                 F::uint16("okAgeInit", okAgeInit),
                 F::vector("m0", m0),
                 F::vector("axis_redef", axis_redef),
                 F::quaternion("q_NWU2ENU", q_NWU2ENU),
                 F::values("nrMagCheck", nrMagCheck, 2),
                 F::real("p_mag_spat", p_mag_spat),
                 F::matrix("RnMagUpdate", RnMagUpdate),
                 F::real("sampleTime", sampleTime),
                 F::real("sd_w_mag_temporal_max", sd_w_mag_temporal_max),
                 F::real("sd_w_mag_temporal_min", sd_w_mag_temporal_min),
                 F::matrix("sQv_accLowPass", sQv_accLowPass),
                 F::matrix("sQvAcc", sQvAcc),
                 F::matrix("sQvGyr", sQvGyr),
                 F::matrix("sQvMag", sQvMag),
                 F::matrix("sQw_mag", sQw_mag),
                 F::matrix("sQw_mag_spat", sQw_mag_spat),
                 F::matrix("sQwGyrBias", sQwGyrBias),
                 F::vector("storedGyrBias", storedGyrBias),
                 F::vector("storedLatLongAlt", storedLatLongAlt),
                 F::real("validity_accThreshold", validity_accThreshold),
                 F::real("validity_angularUncertaintyThreshold", validity_angularUncertaintyThreshold),
                 F::real("validity_gyroBiasThreshold", validity_gyroBiasThreshold),
                 F::real("validity_magThreshold", validity_magThreshold),
                 F::real("zruDuration", zruDuration),
                 F::real("zruThreshold", zruThreshold),
                 F::real("c_redefine_temporal", c_redefine_temporal),
                 F::real("c_redefine_delta_x0", c_redefine_delta_x0),
                 F::real("delta_x0_threshold", delta_x0_threshold),
                 F::real("c_redefine_magDist", c_redefine_magDist),
                 F::real("c_redefine_sdHeading", c_redefine_sdHeading),
                 F::real("c_redefine_spatial", c_redefine_spatial),
                 F::real("c_redefine_dominantMagField", c_redefine_dominantMagField),
                 F::real("sdHeadingThresholdRad", sdHeadingThresholdRad),
                 F::real("omegaRedefTypicalRad", omegaRedefTypicalRad),
                 F::real("omegaRedefMinRad", omegaRedefMinRad),
                 F::real("maxRedefAngleRad", maxRedefAngleRad),
                 F::real("accUpdateThreshold", accUpdateThreshold),
                 F::uint64Low32("accUpdateIgnoreSamples", accUpdateIgnoreSamples),
                 F::int32ReadUnsigned("accUpdate_samples_above_threshold_preset",
                                      accUpdate_samples_above_threshold_preset),
                 F::real("f_acc_boost", f_acc_boost),
                 F::uint64Low32("cZruSamplesThreshold", cZruSamplesThreshold),
                 F::real("f_zruThreshold", zruThreshold),
                 F::real("f_zruNoise", f_zruNoise),
                 F::real("f_cZruNoise", f_cZruNoise),
                 F::real("accUpdate_cDecay", accUpdate_cDecay),
                 F::real("tau_acc", tau_acc),
                 F::real("magDist_threshold", magDist_threshold),
                 F::real("magVerticalAngle", magVerticalAngle),
                 F::real("magDistNorm_max", magDistNorm_max)};
  static_assert(sizeof(t) / sizeof(t[0]) == kKeys, "key table size");
  std::array<SettingField, kKeys> out{t[0]};
  std::copy(std::begin(t), std::end(t), out.begin());
  return out;
}

void Zkf3iParams::readFromFile(const SettingsFile& file, const std::string& prefix) {
  auto table = fields();
  std::swap(table[kDoMfmInUseKey], table[kDoClipSolveKey]);
  std::rotate(table.begin() + kTauAccKey, table.begin() + kTauAccKey + 1, table.begin() + kMagDistNormMaxKey + 1);
  readFields(file, prefix, table.data(), table.size());
  updateZruThresholdSquared();
  initialConditions.readFromFile(file, prefix);
}

void Zkf3iParams::writeToFile(SettingsFile& file, const std::string& prefix) const {
  const auto table = const_cast<Zkf3iParams*>(this)->fields();
  writeFields(file, prefix, table.data(), table.size());
  initialConditions.writeToFile(file, prefix);
}

void Zkf3iParams::updateZruThresholdSquared() {
  const double r = zruThreshold * sQvGyr(0, 0);
  zruThresholdSquared = r * r;
}

bool Zkf3iParams::refuse(const std::string& reason) {
  m_error = reason;
  sampleTime = 0.0;
  JLOG_ALERT("Zkf3i parameters refused: " << reason);
  return false;
}

bool Zkf3iParams::initialize(const Zkf3iScenarioParams& s, const KtMk4HardwareParams& h, const ::ZkfUserParams& u,
                             const Zkf3iFilterSteps& steps) {
  // Inputs that would turn into infinite or undefined parameters are refused before anything
  // changes, so the filter never steps over them.
  if (!positiveFinite(u.sampleRate)) return refuse("sample rate not positive and finite");
  const struct {
    const char* name;
    double tau;
  } taus[] = {{"tau_acc", s.tau_acc},
              {"tau_magavg", s.tau_magavg},
              {"tau_magvar", s.tau_magvar},
              {"tau_vel", s.tau_vel},
              {"tau_mag_max", s.tau_mag_max},
              {"tau_mag_local", s.tau_mag_local},
              {"tau_redefine_temporal", s.tau_redefine_temporal},
              {"tau_redefine_delta_x0", s.tau_redefine_delta_x0},
              {"tau_redefine_sdHeading", s.tau_redefine_sdHeading},
              {"accUpdate_tauDecay", s.accUpdate_tauDecay}};
  // A time constant of 0 gives the coefficient 0 (no memory); a negative one would give a
  // coefficient above 1, a growing low-pass.
  for (const auto& t : taus)
    if (!(t.tau == 0.0 || positiveFinite(t.tau)))
      return refuse(std::string("time constant ") + t.name + " negative or not finite");
  for (ZtSize i = 0; i < 3; ++i)
    if (!positiveFinite(h.biasTauGyr[i])) return refuse("gyroscope bias time constant not positive and finite");
  // A sensor without noise is no sensor: with it the filter trusts the integrated rates without
  // bound and its heading runs off unseen.
  for (ZtSize i = 0; i < 3; ++i)
    if (!positiveFinite(h.ndAcc[i]) || !positiveFinite(h.ndGyr[i]))
      return refuse("noise density (ndAcc, ndGyr) not positive and finite");
  const Zkf3iInitialConditions& ic = s.initialConditions;
  if (!positiveFinite(ic.sd_init_acc) || !positiveFinite(ic.sd_init_gyrBias) || !positiveFinite(ic.sd_init_mag) ||
      !positiveFinite(ic.sd_init_orient))
    return refuse("initial standard deviation not positive and finite");

  // 1.
  const double T = 1.0 / u.sampleRate;
  const double sT = std::sqrt(T);
  // 2. Sensor noise roots per sample.
  double d[3];
  for (ZtSize i = 0; i < 3; ++i) d[i] = h.ndAcc[i] / sT;
  sQvAcc.isDiag(d);
  for (ZtSize i = 0; i < 3; ++i) d[i] = h.ndGyr[i] / sT * kDegToRad;
  sQvGyr.isDiag(d);
  for (ZtSize i = 0; i < 3; ++i) d[i] = h.biasCoeffGyr[i] * std::sqrt(3.0 / h.biasTauGyr[i]) * kDegToRad * sT;
  sQwGyrBias.isDiag(d);
  for (ZtSize i = 0; i < 3; ++i) d[i] = std::sqrt(h.sdMag[i] * h.sdMag[i] + s.stab_sd_v_mag * s.stab_sd_v_mag);
  sQvMag.isDiag(d);
  c_gyrBias = Vector3(1.0, 1.0, 1.0);
  // 3. Scenario noise.
  sQw_mag.isIdentity(s.sd_w_mag);
  sQw_mag_spat.isIdentity(s.sd_w_mag_spat);
  sQv_accLowPass.isIdentity(s.sd_v_accLowPass);
  sd_w_mag_temporal_min = s.f_mag_temporal_min * s.sd_w_mag;
  sd_w_mag_temporal_max = s.f_mag_temporal_max * s.sd_w_mag;
  RnMagUpdate.isDiag(Vector3(1.0, 1.0, 0.0));
  // 4. Low-pass coefficients.
  auto c = [T](double tau) {
    if (tau == 0.0) return 0.0;
    double a = 0.0, b = 0.0;
    getFirstOrderLowpassFilterCoefs(tau, 0.0, T, a, b);
    return a;
  };
  c_acc = c(s.tau_acc);
  c_mag_avg = c(s.tau_magavg);
  c_mag_var = c(s.tau_magvar);
  c_vel = c(s.tau_vel);
  c_mag_max = c(s.tau_mag_max);
  c_mag_local = c(s.tau_mag_local);
  c_redefine_temporal = c(s.tau_redefine_temporal);
  c_redefine_delta_x0 = c(s.tau_redefine_delta_x0);
  c_redefine_sdHeading = c(s.tau_redefine_sdHeading);
  accUpdate_cDecay = c(s.accUpdate_tauDecay);
  // 5. Copies, switches and angles.
  accRange = h.clipAcc;
  gyrRange = h.clipGyr;
  dp_boost = s.dp_boost;
  f_dynamic_acc = s.f_acc_dynamic;
  f_dynamic_gyro = s.f_gyr_dynamic;
  f_acc_oor = s.f_acc_clip;
  f_gyr_oor = s.f_gyr_clip;
  f_magvar = s.f_magvar;
  std::copy(std::begin(s.f_clipSolve_boost), std::end(s.f_clipSolve_boost), f_clipSolve_boost);
  std::copy(std::begin(s.nrMagCheck), std::end(s.nrMagCheck), nrMagCheck);
  p_mag_spat = s.p_mag_spat;
  validity_accThreshold = s.validity_accThreshold;
  validity_magThreshold = s.validity_magThreshold;
  validity_gyroBiasThreshold = s.validity_gyroBiasThreshold;
  validity_angularUncertaintyThreshold = s.validity_angularUncertaintyThreshold;
  zruDuration = s.zruDuration;
  zruThreshold = s.f_zruThreshold;
  delta_x0_threshold = s.delta_x0_threshold;
  sdHeadingThresholdRad = s.sdHeading_threshold * kDegToRad;
  omegaRedefTypicalRad = s.omegaRedefTyp * kDegToRad;
  omegaRedefMinRad = s.omegaRedefMin * kDegToRad;
  maxRedefAngleRad = s.maxRedefRate * kDegToRad * T;
  accUpdateThreshold = s.accUpdate_threshold;
  f_acc_boost = s.f_acc_boost;
  f_cZruNoise = s.f_cZruNoise;
  f_zruNoise = s.f_zruNoise;
  magDist_threshold = s.magDist_threshold;
  magVerticalAngle = s.magVerticalAngle;
  magDistNorm_max = s.magDistNorm_max;
  tau_acc = s.tau_acc;
  using Sc = Zkf3iScenarioParams;
  doAccUpdate = s.flag(Sc::kDoAccUpdate);
  doClipSolve = s.flag(Sc::kDoClipSolve);
  doMagUpdate = s.flag(Sc::kDoMagUpdate);
  doRedefine = s.flag(Sc::kDoRedefine);
  doMfmInUse = s.flag(Sc::kDoMfmInUse);
  doRedefineTemporal = s.flag(Sc::kDoRedefineTemporal);
  doRedefineDelta_x0 = s.flag(Sc::kDoRedefineDelta_x0);
  doRedefineMagDist = !s.flag(Sc::kNoRedefineMagDist);
  doRedefineSdHeading = s.flag(Sc::kDoRedefineSdHeading);
  doRedefineSpatial = s.flag(Sc::kDoRedefineSpatial);
  doRedefineDominantMagField = s.flag(Sc::kDoRedefineDominantMagField);
  convergeNorthWithoutRedefine = s.flag(Sc::kConvergeNorthWithoutRedefine);
  doCZruUpdate = s.flag(Sc::kDoCZruUpdate);
  // The user parameters carry the two switches the scenario has not.
  doFixedGravity = u.enabledFixedGravity;
  doInitialGyroBiasUpdate = u.enabledInitialGyroBiasUpdate;
  // 6. Sample counts, truncated toward zero (saturated by the conversions).
  const double ignore = s.accUpdate_time / T;
  accUpdateIgnoreSamples = ignore > 0.0 ? static_cast<uint64_t>(std::min(ignore, 1.8e19)) : 0;
  const double above = s.accUpdate_time_above_threshold / T;
  accUpdate_samples_above_threshold_preset = static_cast<int32_t>(std::clamp(above, -2147483648.0, 2147483647.0));
  cZruSamplesThreshold =
      s.cZruSamplesThreshold > 0.0 ? static_cast<uint64_t>(std::min(s.cZruSamplesThreshold, 1.8e19)) : 0;
  // 7. Position.
  storedGyrBias = u.storedGyrBias;
  storedLatLongAlt = u.storedLatLongAlt;
  latLongAltSanityCheck(storedLatLongAlt);
  // 8. Declination from the geomagnetic model, which takes the altitude in kilometres.
  declination_angle_rad = estimateDeclination(u.storedYear, u.storedMonth, u.storedDay, storedLatLongAlt[0],
                                              storedLatLongAlt[1], storedLatLongAlt[2] / 1000.0) *
                          kDegToRad;
  const double dcl = declination_angle_rad;
  m0 = Vector3(std::sin(dcl), std::cos(dcl), 0.0);
  Matrix3x3 Rz;
  Rz.isRotateZ(dcl);
  Vector3 turned;
  turned.isMatMulVec(Rz, m0);
  axis_redef.isNormalizeVec(turned);
  // 9. Frames: the earth rate, north-west-up, turned into east-north-up.
  Matrix3x3 nwuToEnu;
  nwuToEnu.isZero();
  nwuToEnu(0, 1) = -1.0;
  nwuToEnu(1, 0) = 1.0;
  nwuToEnu(2, 2) = 1.0;
  q_NWU2ENU.isRmat(nwuToEnu);
  Vector3 earthNwu;
  computeEarthRotationInLtp(storedLatLongAlt[0], earthNwu);
  earthRotation_l.isRotateVecByQuat(earthNwu, q_NWU2ENU);
  // 10. Gravity.
  double gz = 0.0;
  if (doFixedGravity)
    gz = -u.gravityMagnitude;
  else
    gravityIgf1980(storedLatLongAlt, gz);
  gravity_l = Vector3(0.0, 0.0, gz);
  // 11.-13.
  updateZruThresholdSquared();
  initialConditions = ic;
  setFilterSteps(steps.duplicate());

  sampleTime = T;
  const double check[] = {sampleTime,           sQvAcc(0, 0),  sQvAcc(1, 1),  sQvAcc(2, 2),  sQvGyr(0, 0),
                          sQvGyr(1, 1),         sQvGyr(2, 2),  sQwGyrBias(0, 0), sQwGyrBias(1, 1), sQwGyrBias(2, 2),
                          sQvMag(0, 0),         sQvMag(1, 1),  sQvMag(2, 2),  maxRedefAngleRad, zruThresholdSquared,
                          declination_angle_rad, gravity_l[2], earthRotation_l[0], earthRotation_l[1],
                          earthRotation_l[2]};
  for (double v : check)
    if (!std::isfinite(v)) return refuse("a derived parameter is not finite");
  m_error.clear();
  return true;
}

}  // namespace zelto
