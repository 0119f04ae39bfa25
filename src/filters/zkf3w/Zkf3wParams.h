#pragma once
// Run-time parameters of the Zkf3w filter, read every step. initialize derives them from a
// scenario, the tracker's hardware parameters, the user parameters and a step selection.
#include <array>
#include <cstdint>

#include "filters/common/ZkfParams.h"
#include "filters/zkf3w/Zkf3wFilterSteps.h"
#include "filters/zkf3w/Zkf3wInitialConditions.h"
#include "math/Matrix3x3.h"
#include "math/Quaternion.h"
#include "math/Vector3.h"

class KtHardwareParams;
class ZkfUserParams;

namespace zelto {

class Zkf3wScenarioParams;

class Zkf3wParams : public ZkfParams {
 public:
  using ZeltoParams::readFromFile;
  // Owns a Zkf3wFilterSteps with only "default" set.
  Zkf3wParams();
  Zkf3wParams(const Zkf3wParams& other);
  Zkf3wParams& operator=(const Zkf3wParams& other);
  ~Zkf3wParams() override;

  // The 42 keys in field order (the embedded initial conditions are not persisted). "okAgeInit"
  // is stored as an unsigned 32-bit value and truncated to 16 bits on reading.
  void readFromFile(const SettingsFile& file, const std::string& prefix) override;
  void writeToFile(SettingsFile& file, const std::string& prefix) const override;

  // The owned step flags as their Zkf3w kind (null when a foreign or no steps object is held).
  Zkf3wFilterSteps* zkf3wSteps() const;

  void initialize(const Zkf3wScenarioParams& s, const KtHardwareParams& h, const ::ZkfUserParams& u,
                  const Zkf3wFilterSteps& steps);

  double tau_acc = 0.0, tau_vel = 0.0, tau_magavg = 0.0, tau_magvar = 0.0, tau_mag_temp = 0.0;  // s
  double f_dynamic_acc = 0.0, f_dynamic_gyro = 0.0;
  double f_magvar = 0.0;
  double dp_boost = 0.0;
  double gyroscope_range = 0.0;      // rad/s
  double f_gyr_oor = 0.0;
  double accelerometer_range = 0.0;  // m/s^2
  double f_acc_oor = 0.0;
  double validity_accThreshold = 0.0, validity_magThreshold = 0.0, validity_gyroBiasThreshold = 0.0,
         validity_angularUncertaintyThreshold = 0.0;
  double sampleTime = 0.0;  // s
  double p_mag_spat = 0.0;
  double sdvMag = 0.0;
  Matrix3x3 sQw_mag_spat;
  Vector3 angVelEarth_g;
  Vector3 sd_init_magvar;
  double sd_init_acc = 0.0, sd_init_gyrbias = 0.0;
  Vector3 m0;  // reference field direction, local frame
  bool enabledAccUpdate = false, enabledMagUpdate = false, enabledInitialGyroBiasUpdate = false,
       enabledFixedGravity = false;
  Vector3 storedGyrBias;
  Vector3 storedLatLongAlt;  // degrees, degrees, m
  Quaternion x_alignment;
  double declination_angle_deg = 0.0;
  Vector3 gravity_l;
  uint16_t okAgeInit = 0;
  double c_mag_max = 0.0;
  double ndAcc = 0.0, ndGyr = 0.0;
  double sdWGyrBias = 0.0;
  double sd_v_accLowpass = 0.0;
  double sd_w_mag_temp_max = 1.0;
  Zkf3wInitialConditions initialConditions;

 private:
  // The persisted keys in field order, over this record.
  std::array<SettingField, 42> fields();
};

}  // namespace zelto
