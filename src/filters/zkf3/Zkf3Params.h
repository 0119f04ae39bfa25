#pragma once
// Run-time parameters of the Zkf3 filter, read every step. initialize derives them from a
// scenario, the tracker's hardware parameters, the user parameters and a step selection.
#include <array>
#include <cstdint>

#include "filters/common/ZkfParams.h"
#include "filters/zkf3/Zkf3FilterSteps.h"
#include "filters/zkf3/Zkf3InitialConditions.h"
#include "math/Matrix3x3.h"
#include "math/Quaternion.h"
#include "math/Vector3.h"

class KtHardwareParams;
class ZkfUserParams;

namespace zelto {

class Zkf3ScenarioParams;

class Zkf3Params : public ZkfParams {
 public:
  using ZeltoParams::readFromFile;
  // Owns a Zkf3FilterSteps with only "default" set.
  Zkf3Params();
  Zkf3Params(const Zkf3Params& other);
  Zkf3Params& operator=(const Zkf3Params& other);
  ~Zkf3Params() override;

  // Keys in field order with "c_mag_max" last, then the initial conditions under the same
  // prefix (so "sd_init_acc", "sd_init_magvar" and "sd_init_mag" are written twice and the
  // initial conditions' values win on reading).
  void readFromFile(const SettingsFile& file, const std::string& prefix) override;
  void writeToFile(SettingsFile& file, const std::string& prefix) const override;

  // The owned step flags as their Zkf3 kind (null when a foreign or no steps object is held).
  Zkf3FilterSteps* zkf3Steps() const;

  void initialize(const Zkf3ScenarioParams& s, const KtHardwareParams& h, const ::ZkfUserParams& u,
                  const Zkf3FilterSteps& steps);

  // False when the sample time is not positive and finite (a sample rate of 0, negative or not
  // a number): the filter refuses to step with such parameters.
  bool isUsable() const;

  double c_acc = 0.0, c_vel = 0.0, c_magAvg = 0.0, c_magVar = 0.0;
  double f_dynamic_acc = 0.0, f_dynamic_gyro = 0.0, f_magvar = 0.0, dp_boost = 0.0;
  double gyroscope_range = 0.0, gyroscope_out_of_range_boost = 0.0;
  double accelerometer_range = 0.0, accelerometer_out_of_range_boost = 0.0;
  double validity_accThreshold = 0.0, validity_magThreshold = 0.0, validity_gyroBiasThreshold = 0.0,
         validity_angularUncertaintyThreshold = 0.0;
  double sampleTime = 0.0, p_mag_spat = 0.0, c_mag_max = 0.0;
  Matrix3x3 sQvAcc, sQvGyr, sQvMag, Qw_acclowpass, sQw_gyr_bias, Qw_mag_temp_max, sTqvGyr, sQw_mag_spat;
  Matrix3x3 Hm;  // horizontal selector diag(1, 1, 0); not persisted
  Vector3 angVelEarth_g;
  Vector3 sd_init_magvar;
  double sd_init_acc = 0.0, sd_init_gyrbias = 0.0, sd_init_mag = 0.0;
  bool enabledAccUpdate = false, enabledMagUpdate = false, enabledInitialGyroBiasUpdate = false,
       enabledFixedGravity = false;
  Vector3 storedGyrBias, storedLatLongAlt;
  Quaternion x_alignment{0.0, 0.0, 0.0, 0.0};
  Vector3 gravity_g;
  Zkf3InitialConditions initialConditions;
  uint16_t okAgeInit = 0;  // samples flagged not valid after a trigger (at most 32767)

 private:
  // The persisted keys from "c_acc" to "storedLatLongAlt", in field order, over this record.
  std::array<SettingField, 37> fields();
};

}  // namespace zelto
