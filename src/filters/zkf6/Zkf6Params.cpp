#include "filters/zkf6/Zkf6Params.h"

#include <cmath>

#include "filters/common/EstimationRoutines.h"
#include "filters/common/InputCast.h"
#include "filters/common/KtigHardwareParams.h"
#include "filters/common/ZkfUserParams.h"
#include "filters/zkf6/Zkf6ScenarioParams.h"

namespace zelto {

namespace {

constexpr double kDegToRad = 0.017453292519943295;
constexpr double kMagVerticalDeviation = 100.0;
constexpr ZtSize kStates = 15;

}  // namespace

Zkf6Params::Zkf6Params()
    : ZkfParams(new Zkf6FilterSteps), gpsVelH(3, kStates), horizontalVelSelector(3, kStates), baroH(1, kStates) {
  gpsVelH.isZero();
  horizontalVelSelector.isZero();
  baroH.isZero();
}

Zkf6Params::Zkf6Params(const Zkf6Params& other) = default;

Zkf6Params& Zkf6Params::operator=(const Zkf6Params& other) = default;

Zkf6Params::~Zkf6Params() = default;

void Zkf6Params::readFromFile(const SettingsFile&, const std::string&) {}

void Zkf6Params::writeToFile(SettingsFile&, const std::string&) const {}

Zkf6FilterSteps* Zkf6Params::zkf6Steps() const { return inputCast<Zkf6FilterSteps>(filterSteps()); }

bool Zkf6Params::isUsable() const { return std::isfinite(sampleTime) && sampleTime > 0.0; }

void Zkf6Params::initialize(const Zkf6ScenarioParams& s, const KtHardwareParams& h, const ::ZkfUserParams& u,
                            const Zkf6FilterSteps& steps) {
  const auto* gnss = dynamic_cast<const KtigHardwareParams*>(&h);
  const double hwBaro = gnss != nullptr ? gnss->sd_barometer : 0.0;
  const double hwPos[2] = {gnss != nullptr ? gnss->sd_pos_gps[0] : 0.0, gnss != nullptr ? gnss->sd_pos_gps[1] : 0.0};
  const double hwVel[2] = {gnss != nullptr ? gnss->sd_vel_gps[0] : 0.0, gnss != nullptr ? gnss->sd_vel_gps[1] : 0.0};

  // A sample rate that is not positive and finite leaves the sample time 0 (isUsable false).
  const bool rateOk = std::isfinite(u.sampleRate) && u.sampleRate > 0.0 && std::isfinite(1.0 / u.sampleRate);
  sampleTime = rateOk ? 1.0 / u.sampleRate : 0.0;
  const double dt = sampleTime;
  const double rootRate = rateOk ? std::sqrt(u.sampleRate) : 1.0;

  accNoise.isIdentity(sumStandardDeviations(s.sd_v_acc, h.sd_v_acc));
  gyrNoise.isIdentity(sumStandardDeviations(s.sd_v_gyr, h.sd_v_gyr));
  gyrNoiseStep.isScaMulMat(dt, gyrNoise);
  gyrBiasWalk.isIdentity((s.deltaGyrBias + h.deltaGyrBias) / rootRate);
  accBiasWalk.isIdentity((s.deltaAccBias + h.deltaAccBias) / rootRate);
  gyrRangeDeg = h.gyr_range;
  accRange = h.acc_range;
  fGyrOor = s.f_gyr_oor;
  fAccOor = s.f_acc_oor;

  double a = 0.0, b = 0.0;
  getFirstOrderLowpassFilterCoefs(s.tau_magdist, s.sd_wm, dt, a, b);
  magDistDecay = a;
  magDistNoise.isIdentity(b);
  magNoise.isIdentity(sumStandardDeviations(h.sd_v_mag, s.sd_v_mag));
  fMagvar = s.f_magvar;
  getFirstOrderLowpassFilterCoefs(s.tau_magavg, 0.0, dt, magAvgWeight, b);
  getFirstOrderLowpassFilterCoefs(s.tau_magvar, 0.0, dt, magVarWeight, b);

  const double posH = sumStandardDeviations(s.sd_pos_gps[0], hwPos[0]);
  const double posV = sumStandardDeviations(s.sd_pos_gps[1], hwPos[1]);
  gpsPosDev.isDiag(Vector3(posH, posH, posV));
  const double velH = sumStandardDeviations(s.sd_vel_gps[0], hwVel[0]);
  const double velV = sumStandardDeviations(s.sd_vel_gps[1], hwVel[1]);
  gpsVelDev.isDiag(Vector3(velH, velH, velV));
  baroAdaptation = s.c_baroadaptation;

  zeroVelNoise.isIdentity(s.sd_vel_nogps);
  baroNoise = hwBaro;
  holonomicNoise.isIdentity(s.sd_holonomic);
  zeroRotNoise.isIdentity(s.sd_zero_rotation);
  holonomicSpeed = s.velocity_holonomic;

  const Zkf6InitialConditions& ic = s.initialConditions;
  sdInitPos = ic.sd_init_pos;
  sdInitVel = ic.sd_init_vel;
  sdInitOrient = ic.sd_init_orient;
  sdInitGyrBias = sumStandardDeviations(ic.sd_init_gyrBias, h.sd_init_gyrBias);
  sdInitAccBias = sumStandardDeviations(ic.sd_init_accBias, h.sd_init_accBias);
  initialMagVar = Vector3(ic.sd_init_magvar[0], ic.sd_init_magvar[1], ic.sd_init_magvar[2]);

  magSwitch = (s.updateSwitches & Zkf6ScenarioParams::kMagFieldUpdate) != 0;
  gpsSwitch = (s.updateSwitches & Zkf6ScenarioParams::kGpsUpdate) != 0;
  baroSwitch = (s.updateSwitches & Zkf6ScenarioParams::kBarometerUpdate) != 0;
  holonomicSwitch = (s.updateSwitches & Zkf6ScenarioParams::kHolonomicUpdate) != 0;
  zeroRotSwitch = (s.updateSwitches & Zkf6ScenarioParams::kZeroRotationUpdate) != 0;
  fixedGravity = u.enabledFixedGravity;

  // Two seconds of samples when that count, as a signed 16-bit number, is above 4.
  const double twoSeconds = rateOk ? std::trunc(2.0 * u.sampleRate) : 0.0;
  const auto count16 = static_cast<int16_t>(static_cast<uint16_t>(
      twoSeconds >= 65536.0 ? 65535u : static_cast<unsigned>(twoSeconds)));
  resetCount = count16 > 4 ? static_cast<uint16_t>(count16) : 5;

  initialConditions = ic;
  storedGyrBias = u.storedGyrBias;
  leverArm = u.r_gps_s;
  alignment = u.x_alignment;
  storedLatLongAlt = u.storedLatLongAlt;
  latLongAltSanityCheck(storedLatLongAlt);

  double gz = 0.0;
  if (fixedGravity)
    gz = -u.gravityMagnitude;
  else
    gravityIgf1980(storedLatLongAlt, gz);
  gravity = Vector3(0.0, 0.0, gz);

  declination = u.declination_angle_deg;
  const double d = declination * kDegToRad;
  magRef = Vector3(std::cos(d), -std::sin(d), 0.0);
  computeEarthRotationInLtp(storedLatLongAlt[0], earthRotation);

  baroH.isZero();
  baroH(0, 2) = 1.0;
  constant1 = 0.00035;
  constant2 = 0.0002;
  gyrRangeRad = h.gyr_range * kDegToRad;
  gpsVelH.isZero();
  gpsVelH.setSubIdentity(1.0, 0, 3, 3, 3);
  horizontalVelSelector.isZero();
  horizontalVelSelector(0, 3) = 1.0;
  horizontalVelSelector(1, 4) = 1.0;
  gpsPosVar.isZero();
  for (ZtSize i = 0; i < 3; ++i) gpsPosVar(i, i) = gpsPosDev(i, i) * gpsPosDev(i, i);
  for (ZtSize r = 0; r < 3; ++r)
    for (ZtSize c = 0; c < 3; ++c)
      magMeasDev(r, c) = std::sqrt(magNoise(r, c) * magNoise(r, c) + magDistNoise(r, c) * magDistNoise(r, c));
  magMeasDev(2, 2) = kMagVerticalDeviation;

  setFilterSteps(steps.duplicate());
}

}  // namespace zelto
