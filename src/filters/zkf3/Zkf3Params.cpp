#include "filters/zkf3/Zkf3Params.h"

#include <array>
#include <cmath>

#include "filters/common/EstimationRoutines.h"
#include "filters/common/InputCast.h"
#include "filters/common/KtHardwareParams.h"
#include "filters/common/ZkfUserParams.h"
#include "filters/zkf3/Zkf3ScenarioParams.h"

namespace zelto {

namespace {

constexpr double kDegToRad = 0.017453292519943295;
// The not-valid countdown is a signed 16-bit count.
constexpr double kMaxOkAge = 32767.0;

}  // namespace

Zkf3Params::Zkf3Params() : ZkfParams(new Zkf3FilterSteps) { Hm.isDiag(Vector3(1.0, 1.0, 0.0)); }

Zkf3Params::Zkf3Params(const Zkf3Params& other) = default;

Zkf3Params& Zkf3Params::operator=(const Zkf3Params& other) = default;

Zkf3Params::~Zkf3Params() = default;

Zkf3FilterSteps* Zkf3Params::zkf3Steps() const { return inputCast<Zkf3FilterSteps>(filterSteps()); }

bool Zkf3Params::isUsable() const { return std::isfinite(sampleTime) && sampleTime > 0.0; }

std::array<SettingField, 37> Zkf3Params::fields() {
  using F = SettingField;
  return {F::real("c_acc", c_acc),
          F::real("c_vel", c_vel),
          F::real("c_magAvg", c_magAvg),
          F::real("c_magVar", c_magVar),
          F::real("f_dynamic_acc", f_dynamic_acc),
          F::real("f_dynamic_gyro", f_dynamic_gyro),
          F::real("f_magvar", f_magvar),
          F::real("dp_boost", dp_boost),
          F::real("gyroscope_range", gyroscope_range),
          F::real("gyroscope_out_of_range_boost", gyroscope_out_of_range_boost),
          F::real("accelerometer_range", accelerometer_range),
          F::real("accelerometer_out_of_range_boost", accelerometer_out_of_range_boost),
          F::real("validity_accThreshold", validity_accThreshold),
          F::real("validity_magThreshold", validity_magThreshold),
          F::real("validity_gyroBiasThreshold", validity_gyroBiasThreshold),
          F::real("validity_angularUncertaintyThreshold", validity_angularUncertaintyThreshold),
          F::real("sampleTime", sampleTime),
          F::real("p_mag_spat", p_mag_spat),
          F::matrix("sQvAcc", sQvAcc),
          F::matrix("sQvGyr", sQvGyr),
          F::matrix("sQvMag", sQvMag),
          F::matrix("Qw_acclowpass", Qw_acclowpass),
          F::matrix("sQw_gyr_bias", sQw_gyr_bias),
          F::matrix("Qw_mag_temp_max", Qw_mag_temp_max),
          F::matrix("sTqvGyr", sTqvGyr),
          F::matrix("sQw_mag_spat", sQw_mag_spat),
          F::vector("angVelEarth_g", angVelEarth_g),
          F::vector("sd_init_magvar", sd_init_magvar),
          F::real("sd_init_acc", sd_init_acc),
          F::real("sd_init_gyrbias", sd_init_gyrbias),
          F::real("sd_init_mag", sd_init_mag),
          F::flag("enabledAccUpdate", enabledAccUpdate),
          F::flag("enabledMagUpdate", enabledMagUpdate),
          F::flag("enabledInitialGyroBiasUpdate", enabledInitialGyroBiasUpdate),
          F::flag("enabledFixedGravity", enabledFixedGravity),
          F::vector("storedGyrBias", storedGyrBias),
          F::vector("storedLatLongAlt", storedLatLongAlt)};
}

void Zkf3Params::readFromFile(const SettingsFile& file, const std::string& prefix) {
  const auto table = fields();
  readFields(file, prefix, table.data(), table.size());
  readQuaternion(file, prefix, "x_alignment", x_alignment);
  readVector(file, prefix, "gravity_g", gravity_g);
  // Files are edited by hand: the count is kept within what the signed 16-bit countdown holds.
  const int32_t age = readSetting(file, prefix, "okAgeInit").toInt32();
  okAgeInit = static_cast<uint16_t>(age < 0 ? 0 : age > static_cast<int32_t>(kMaxOkAge) ? kMaxOkAge : age);
  c_mag_max = readDouble(file, prefix, "c_mag_max");
  initialConditions.readFromFile(file, prefix);
  Hm.isDiag(Vector3(1.0, 1.0, 0.0));
}

void Zkf3Params::writeToFile(SettingsFile& file, const std::string& prefix) const {
  const auto table = const_cast<Zkf3Params*>(this)->fields();
  writeFields(file, prefix, table.data(), table.size());
  writeSetting(file, prefix, "x_alignment", Variant(x_alignment));
  writeSetting(file, prefix, "gravity_g", Variant(gravity_g));
  writeSetting(file, prefix, "okAgeInit", Variant(static_cast<unsigned int>(okAgeInit)));
  writeSetting(file, prefix, "c_mag_max", Variant(c_mag_max));
  initialConditions.writeToFile(file, prefix);
}

void Zkf3Params::initialize(const Zkf3ScenarioParams& s, const KtHardwareParams& h, const ::ZkfUserParams& u,
                            const Zkf3FilterSteps& steps) {
  // A sample rate that is not positive and finite leaves sampleTime 0 (isUsable false) and the
  // sample counts 0, so nothing undefined is converted into 16 bits.
  const bool rateOk = std::isfinite(u.sampleRate) && u.sampleRate > 0.0;
  sampleTime = rateOk ? 1.0 / u.sampleRate : 0.0;
  if (!std::isfinite(sampleTime)) sampleTime = 0.0;
  auto E = [this](double tau) { return std::exp(-sampleTime / tau); };

  sQvAcc.isIdentity(sumStandardDeviations(h.sd_v_acc, s.sd_v_acc));
  sQvGyr.isIdentity(sumStandardDeviations(h.sd_v_gyr, s.sd_v_gyr));
  sQvMag.isIdentity(sumStandardDeviations(h.sd_v_mag, s.sd_v_mag));
  sTqvGyr.isScaMulMat(sampleTime, sQvGyr);
  sQw_gyr_bias.isIdentity(std::sqrt(sampleTime) * (h.deltaGyrBias + s.deltaGyrBias));

  c_acc = E(s.tau_acc);
  Qw_acclowpass.isIdentity((1.0 - c_acc * c_acc) * s.sd_v_accLowpass * s.sd_v_accLowpass);
  sQw_mag_spat.isIdentity(s.sd_w_mag_spat);
  p_mag_spat = s.p_mag_spat;
  dp_boost = s.dp_boost;
  c_vel = E(s.tau_vel);

  const double eTemp = E(s.tau_mag_temp);
  Qw_mag_temp_max.isIdentity(std::fabs((1.0 - eTemp * eTemp) * s.sd_w_mag_temp_max * s.sd_w_mag_temp_max));
  f_magvar = s.f_magvar;
  c_magAvg = E(s.tau_magavg);
  c_magVar = E(s.tau_magvar);

  enabledAccUpdate = (s.updateFlags & Zkf3ScenarioParams::kAccUpdateFlag) != 0;
  enabledMagUpdate = (s.updateFlags & Zkf3ScenarioParams::kMagUpdateFlag) != 0;
  enabledInitialGyroBiasUpdate = u.enabledInitialGyroBiasUpdate;
  enabledFixedGravity = u.enabledFixedGravity;

  f_dynamic_gyro = h.f_dynamic_gyro + s.f_dynamic_gyro;
  f_dynamic_acc = s.f_dynamic_acc;
  gyroscope_out_of_range_boost = s.f_gyr_oor;
  accelerometer_range = h.acc_range;
  accelerometer_out_of_range_boost = s.f_acc_oor;
  gyroscope_range = h.gyr_range * kDegToRad;

  validity_accThreshold = s.validity_accThreshold;
  validity_magThreshold = s.validity_magThreshold;
  validity_gyroBiasThreshold = s.validity_gyroBiasThreshold;
  validity_angularUncertaintyThreshold = s.validity_angularUncertaintyThreshold;

  const Zkf3InitialConditions& ic = s.initialConditions;
  sd_init_magvar = Vector3(ic.sd_init_magvar[0], ic.sd_init_magvar[1], ic.sd_init_magvar[2]);
  sd_init_acc = ic.sd_init_acc;
  sd_init_gyrbias = sumStandardDeviations(h.sd_init_gyrBias, ic.sd_init_gyrBias);
  sd_init_mag = ic.sd_init_mag;
  initialConditions = ic;

  const double ticks = rateOk ? std::floor(2.0 * u.sampleRate) : 0.0;
  okAgeInit = static_cast<uint16_t>(ticks > kMaxOkAge ? kMaxOkAge : ticks);

  storedGyrBias = u.storedGyrBias;
  x_alignment = u.x_alignment;
  storedLatLongAlt = u.storedLatLongAlt;
  latLongAltSanityCheck(storedLatLongAlt);

  Hm.isDiag(Vector3(1.0, 1.0, 0.0));
  computeEarthRotationInLtp(storedLatLongAlt[0], angVelEarth_g);

  double gz = 0.0;
  if (enabledFixedGravity)
    gz = -u.gravityMagnitude;
  else
    gravityIgf1980(storedLatLongAlt, gz);
  gravity_g = Vector3(0.0, 0.0, gz);

  c_mag_max = std::exp(-s.c_mag_max * sampleTime);

  setFilterSteps(steps.duplicate());
}

}  // namespace zelto
