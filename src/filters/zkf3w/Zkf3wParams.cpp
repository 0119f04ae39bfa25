#include "filters/zkf3w/Zkf3wParams.h"

#include <cmath>

#include "filters/common/EstimationRoutines.h"
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

Zkf3wFilterSteps* Zkf3wParams::zkf3wSteps() const { return dynamic_cast<Zkf3wFilterSteps*>(filterSteps()); }

void Zkf3wParams::readFromFile(const SettingsFile& file, const std::string& prefix) {
  struct Scalar {
    const char* key;
    double* value;
  };
  const Scalar head[] = {{"tau_acc", &tau_acc},
                         {"tau_vel", &tau_vel},
                         {"tau_magavg", &tau_magavg},
                         {"tau_magvar", &tau_magvar},
                         {"tau_mag_temp", &tau_mag_temp},
                         {"f_dynamic_acc", &f_dynamic_acc},
                         {"f_dynamic_gyro", &f_dynamic_gyro},
                         {"f_magvar", &f_magvar},
                         {"dp_boost", &dp_boost},
                         {"gyroscope_range", &gyroscope_range},
                         {"f_gyr_oor", &f_gyr_oor},
                         {"accelerometer_range", &accelerometer_range},
                         {"f_acc_oor", &f_acc_oor},
                         {"validity_accThreshold", &validity_accThreshold},
                         {"validity_magThreshold", &validity_magThreshold},
                         {"validity_gyroBiasThreshold", &validity_gyroBiasThreshold},
                         {"validity_angularUncertaintyThreshold", &validity_angularUncertaintyThreshold},
                         {"sampleTime", &sampleTime},
                         {"p_mag_spat", &p_mag_spat},
                         {"sdvMag", &sdvMag}};
  for (const Scalar& s : head) *s.value = readDouble(file, prefix, s.key);
  readMatrix(file, prefix, "sQw_mag_spat", sQw_mag_spat);
  readVector(file, prefix, "angVelEarth_g", angVelEarth_g);
  readVector(file, prefix, "sd_init_magvar", sd_init_magvar);
  sd_init_acc = readDouble(file, prefix, "sd_init_acc");
  sd_init_gyrbias = readDouble(file, prefix, "sd_init_gyrbias");
  readVector(file, prefix, "m0", m0);
  enabledAccUpdate = readSetting(file, prefix, "enabledAccUpdate").toBool();
  enabledMagUpdate = readSetting(file, prefix, "enabledMagUpdate").toBool();
  enabledInitialGyroBiasUpdate = readSetting(file, prefix, "enabledInitialGyroBiasUpdate").toBool();
  enabledFixedGravity = readSetting(file, prefix, "enabledFixedGravity").toBool();
  readVector(file, prefix, "storedGyrBias", storedGyrBias);
  readVector(file, prefix, "storedLatLongAlt", storedLatLongAlt);
  readQuaternion(file, prefix, "x_alignment", x_alignment);
  declination_angle_deg = readDouble(file, prefix, "declination_angle_deg");
  readVector(file, prefix, "gravity_l", gravity_l);
  okAgeInit = static_cast<uint16_t>(readSetting(file, prefix, "okAgeInit").toUint32() & 0xFFFFu);
  const Scalar tail[] = {{"c_mag_max", &c_mag_max},
                         {"ndAcc", &ndAcc},
                         {"ndGyr", &ndGyr},
                         {"sdWGyrBias", &sdWGyrBias},
                         {"sd_v_accLowpass", &sd_v_accLowpass},
                         {"sd_w_mag_temp_max", &sd_w_mag_temp_max}};
  for (const Scalar& s : tail) *s.value = readDouble(file, prefix, s.key);
}

void Zkf3wParams::writeToFile(SettingsFile& file, const std::string& prefix) const {
  struct Scalar {
    const char* key;
    double value;
  };
  const Scalar head[] = {{"tau_acc", tau_acc},
                         {"tau_vel", tau_vel},
                         {"tau_magavg", tau_magavg},
                         {"tau_magvar", tau_magvar},
                         {"tau_mag_temp", tau_mag_temp},
                         {"f_dynamic_acc", f_dynamic_acc},
                         {"f_dynamic_gyro", f_dynamic_gyro},
                         {"f_magvar", f_magvar},
                         {"dp_boost", dp_boost},
                         {"gyroscope_range", gyroscope_range},
                         {"f_gyr_oor", f_gyr_oor},
                         {"accelerometer_range", accelerometer_range},
                         {"f_acc_oor", f_acc_oor},
                         {"validity_accThreshold", validity_accThreshold},
                         {"validity_magThreshold", validity_magThreshold},
                         {"validity_gyroBiasThreshold", validity_gyroBiasThreshold},
                         {"validity_angularUncertaintyThreshold", validity_angularUncertaintyThreshold},
                         {"sampleTime", sampleTime},
                         {"p_mag_spat", p_mag_spat},
                         {"sdvMag", sdvMag}};
  for (const Scalar& s : head) writeSetting(file, prefix, s.key, Variant(s.value));
  writeSetting(file, prefix, "sQw_mag_spat", Variant(sQw_mag_spat));
  writeSetting(file, prefix, "angVelEarth_g", Variant(angVelEarth_g));
  writeSetting(file, prefix, "sd_init_magvar", Variant(sd_init_magvar));
  writeSetting(file, prefix, "sd_init_acc", Variant(sd_init_acc));
  writeSetting(file, prefix, "sd_init_gyrbias", Variant(sd_init_gyrbias));
  writeSetting(file, prefix, "m0", Variant(m0));
  writeSetting(file, prefix, "enabledAccUpdate", Variant(enabledAccUpdate));
  writeSetting(file, prefix, "enabledMagUpdate", Variant(enabledMagUpdate));
  writeSetting(file, prefix, "enabledInitialGyroBiasUpdate", Variant(enabledInitialGyroBiasUpdate));
  writeSetting(file, prefix, "enabledFixedGravity", Variant(enabledFixedGravity));
  writeSetting(file, prefix, "storedGyrBias", Variant(storedGyrBias));
  writeSetting(file, prefix, "storedLatLongAlt", Variant(storedLatLongAlt));
  writeSetting(file, prefix, "x_alignment", Variant(x_alignment));
  writeSetting(file, prefix, "declination_angle_deg", Variant(declination_angle_deg));
  writeSetting(file, prefix, "gravity_l", Variant(gravity_l));
  writeSetting(file, prefix, "okAgeInit", Variant(static_cast<unsigned int>(okAgeInit)));
  const Scalar tail[] = {{"c_mag_max", c_mag_max},   {"ndAcc", ndAcc},
                         {"ndGyr", ndGyr},           {"sdWGyrBias", sdWGyrBias},
                         {"sd_v_accLowpass", sd_v_accLowpass}, {"sd_w_mag_temp_max", sd_w_mag_temp_max}};
  for (const Scalar& s : tail) writeSetting(file, prefix, s.key, Variant(s.value));
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
