#include "filters/zkf3w/Zkf3wParams.h"

#include <array>
#include <cmath>

#include "filters/common/EstimationRoutines.h"
#include "filters/common/InputCast.h"
#include "filters/common/KtHardwareParams.h"
#include "filters/common/ZkfUserParams.h"
#include "filters/zkf3w/Zkf3wScenarioParams.h"

namespace zelto {

namespace {

constexpr double kDegToRad = 0.017453292519943295;

}  // namespace

Zkf3wParams::Zkf3wParams() : ZkfParams(new Zkf3wFilterSteps) {}

Zkf3wParams::Zkf3wParams(const Zkf3wParams& other) = default;

Zkf3wParams& Zkf3wParams::operator=(const Zkf3wParams& other) = default;

Zkf3wParams::~Zkf3wParams() = default;

Zkf3wFilterSteps* Zkf3wParams::zkf3wSteps() const { return inputCast<Zkf3wFilterSteps>(filterSteps()); }

std::array<SettingField, 42> Zkf3wParams::fields() {
  using F = SettingField;
  return {F::real("tau_acc", tau_acc),
          F::real("tau_vel", tau_vel),
          F::real("tau_magavg", tau_magavg),
          F::real("tau_magvar", tau_magvar),
          F::real("tau_mag_temp", tau_mag_temp),
          F::real("f_dynamic_acc", f_dynamic_acc),
          F::real("f_dynamic_gyro", f_dynamic_gyro),
          F::real("f_magvar", f_magvar),
          F::real("dp_boost", dp_boost),
          F::real("gyroscope_range", gyroscope_range),
          F::real("f_gyr_oor", f_gyr_oor),
          F::real("accelerometer_range", accelerometer_range),
          F::real("f_acc_oor", f_acc_oor),
          F::real("validity_accThreshold", validity_accThreshold),
          F::real("validity_magThreshold", validity_magThreshold),
          F::real("validity_gyroBiasThreshold", validity_gyroBiasThreshold),
          F::real("validity_angularUncertaintyThreshold", validity_angularUncertaintyThreshold),
          F::real("sampleTime", sampleTime),
          F::real("p_mag_spat", p_mag_spat),
          F::real("sdvMag", sdvMag),
          F::matrix("sQw_mag_spat", sQw_mag_spat),
          F::vector("angVelEarth_g", angVelEarth_g),
          F::vector("sd_init_magvar", sd_init_magvar),
          F::real("sd_init_acc", sd_init_acc),
          F::real("sd_init_gyrbias", sd_init_gyrbias),
          F::vector("m0", m0),
          F::flag("enabledAccUpdate", enabledAccUpdate),
          F::flag("enabledMagUpdate", enabledMagUpdate),
          F::flag("enabledInitialGyroBiasUpdate", enabledInitialGyroBiasUpdate),
          F::flag("enabledFixedGravity", enabledFixedGravity),
          F::vector("storedGyrBias", storedGyrBias),
          F::vector("storedLatLongAlt", storedLatLongAlt),
          F::quaternion("x_alignment", x_alignment),
          F::real("declination_angle_deg", declination_angle_deg),
          F::vector("gravity_l", gravity_l),
          F::uint16("okAgeInit", okAgeInit),
          F::real("c_mag_max", c_mag_max),
          F::real("ndAcc", ndAcc),
          F::real("ndGyr", ndGyr),
          F::real("sdWGyrBias", sdWGyrBias),
          F::real("sd_v_accLowpass", sd_v_accLowpass),
          F::real("sd_w_mag_temp_max", sd_w_mag_temp_max)};
}

void Zkf3wParams::readFromFile(const SettingsFile& file, const std::string& prefix) {
  const auto table = fields();
  readFields(file, prefix, table.data(), table.size());
}

void Zkf3wParams::writeToFile(SettingsFile& file, const std::string& prefix) const {
  const auto table = const_cast<Zkf3wParams*>(this)->fields();
  writeFields(file, prefix, table.data(), table.size());
}

void Zkf3wParams::initialize(const Zkf3wScenarioParams& s, const KtHardwareParams& h, const ::ZkfUserParams& u,
                             const Zkf3wFilterSteps& steps) {
  // 1. A sample rate that is not positive and finite leaves sampleTime and okAgeInit 0, so
  // nothing undefined is converted to 16 bits (the filter takes its interval from each step).
  const bool rateOk = std::isfinite(u.sampleRate) && u.sampleRate > 0.0;
  sampleTime = rateOk ? 1.0 / u.sampleRate : 0.0;
  if (!std::isfinite(sampleTime)) sampleTime = 0.0;
  const double ticks = rateOk ? 2.0 * u.sampleRate : 0.0;
  okAgeInit = ticks < 4294967296.0 ? static_cast<uint16_t>(static_cast<uint32_t>(ticks) & 0xFFFFu) : 0xFFFFu;

  // 2.
  f_dynamic_acc = s.f_acc_dynamic;
  f_dynamic_gyro = h.f_dynamic_gyro + s.f_gyr_dynamic;
  f_magvar = s.f_magvar;
  dp_boost = s.dp_boost;
  f_gyr_oor = s.f_gyr_oor;
  f_acc_oor = s.f_acc_oor;
  p_mag_spat = s.p_mag_spat;
  c_mag_max = s.c_mag_max;
  validity_accThreshold = s.validity_accThreshold;
  validity_magThreshold = s.validity_magThreshold;
  validity_gyroBiasThreshold = s.validity_gyroBiasThreshold;
  validity_angularUncertaintyThreshold = s.validity_angularUncertaintyThreshold;
  sd_v_accLowpass = s.sd_v_accLowpass;
  sd_w_mag_temp_max = s.sd_w_mag_temp_max;
  tau_acc = s.tau_acc;
  tau_vel = s.tau_vel;
  tau_magavg = s.tau_magavg;
  tau_magvar = s.tau_magvar;
  tau_mag_temp = s.tau_mag_temp;

  // 3.
  gyroscope_range = h.gyr_range * kDegToRad;
  accelerometer_range = h.acc_range;

  // 4. The hardware noise densities are the accelerometer and gyroscope noise of the record.
  ndAcc = sumStandardDeviations(h.sd_v_acc, s.ndAcc);
  ndGyr = sumStandardDeviations(h.sd_v_gyr, s.ndGyr);
  sdWGyrBias = sumStandardDeviations(h.deltaGyrBias, s.deltaGyrBias);
  sdvMag = sumStandardDeviations(h.sd_v_mag, s.sd_v_mag);
  sd_init_gyrbias = sumStandardDeviations(h.sd_init_gyrBias, s.initialConditions.sd_init_gyrBias);

  // 5.-6.
  sQw_mag_spat.isIdentity(s.sd_w_mag_spat);
  enabledAccUpdate = (s.flags & Zkf3wScenarioParams::kAccUpdateFlag) != 0;
  enabledMagUpdate = (s.flags & Zkf3wScenarioParams::kMagUpdateFlag) != 0;

  // 7.
  declination_angle_deg = u.declination_angle_deg;
  const double d = declination_angle_deg * kDegToRad;
  m0 = Vector3(std::cos(d), -std::sin(d), 0.0);

  // 8.-10.
  storedLatLongAlt = u.storedLatLongAlt;
  latLongAltSanityCheck(storedLatLongAlt);
  enabledFixedGravity = u.enabledFixedGravity;
  double gz = 0.0;
  if (enabledFixedGravity)
    gz = -u.gravityMagnitude;
  else
    gravityIgf1980(storedLatLongAlt, gz);
  gravity_l = Vector3(0.0, 0.0, gz);
  computeEarthRotationInLtp(storedLatLongAlt[0], angVelEarth_g);

  // 11.
  const Zkf3wInitialConditions& ic = s.initialConditions;
  sd_init_magvar = Vector3(ic.sd_init_magvar[0], ic.sd_init_magvar[1], ic.sd_init_magvar[2]);
  sd_init_acc = ic.sd_init_acc;
  initialConditions = ic;

  // 12.-13.
  storedGyrBias = u.storedGyrBias;
  x_alignment = u.x_alignment;
  setFilterSteps(steps.duplicate());
}

}  // namespace zelto
