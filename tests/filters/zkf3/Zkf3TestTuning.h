#pragma once
// The tuning the Zkf3 tests run with, the simulator configuration that matches it, and the
// conversions between the simulator's Eigen values and the filter's records.
#include <Eigen/Geometry>
#include <cmath>
#include <memory>

#include "filters/common/KtHardwareParams.h"
#include "filters/common/ZkfUserParams.h"
#include "filters/common/ZtToEigen.h"
#include "filters/zkf3/Zkf3Filter.h"
#include "filters/zkf3/Zkf3ScenarioParams.h"
#include "filtersim/MotionSimulator.h"

namespace zkf3test {

constexpr double kRate = 100.0;
constexpr double kLatitudeDeg = 52.0;
constexpr double kGravity = 9.81;

// Sensor noise of the simulated tracker, per sample at kRate.
struct Noise {
  double acc = 0.02;    // m/s^2
  double gyr = 0.005;   // rad/s
  double mag = 0.005;   // field units (intensity 1)
};

inline zelto::Zkf3ScenarioParams scenario(const Noise& n = Noise()) {
  zelto::Zkf3ScenarioParams s;
  s.f_gyr_oor = 10.0;
  s.f_acc_oor = 10.0;
  s.sd_v_acc = n.acc;
  s.sd_v_gyr = n.gyr;
  s.sd_v_mag = n.mag;
  s.deltaGyrBias = 1e-4;
  s.f_dynamic_gyro = 0.0;
  s.f_dynamic_acc = 0.05;
  s.tau_acc = 0.5;
  s.sd_v_accLowpass = 1.0;
  s.tau_magavg = 10.0;
  s.tau_magvar = 10.0;
  s.tau_mag_temp = 100.0;
  s.sd_w_mag_temp_max = 0.01;
  s.f_magvar = 1.0;
  s.c_mag_max = 0.1;
  s.tau_vel = 1.0;
  s.dp_boost = 1.0;
  s.p_mag_spat = 1.0;
  s.sd_w_mag_spat = 0.01;
  s.validity_accThreshold = 30.0;
  s.validity_magThreshold = 30.0;
  s.validity_gyroBiasThreshold = 0.1;
  s.validity_angularUncertaintyThreshold = 0.2;
  s.validity_TBD = 0.0;
  s.initialConditions.sd_init_orient = 0.05;
  s.initialConditions.sd_init_acc = 0.1;
  s.initialConditions.sd_init_gyrBias = 0.01;
  s.initialConditions.sd_init_magvar[0] = 0.01;
  s.initialConditions.sd_init_magvar[1] = 0.01;
  s.initialConditions.sd_init_magvar[2] = 0.01;
  s.initialConditions.sd_init_mag = 0.1;
  s.updateFlags = zelto::Zkf3ScenarioParams::kAccUpdateFlag | zelto::Zkf3ScenarioParams::kMagUpdateFlag;
  s.type = '3';
  s.version = 1;
  s.setScenarioName("test");
  return s;
}

inline KtHardwareParams hardware() {
  KtHardwareParams h;
  h.acc_range = 160.0;   // m/s^2
  h.gyr_range = 1200.0;  // degrees/s
  return h;
}

inline ZkfUserParams user(double rate = kRate) {
  ZkfUserParams u;
  u.sampleRate = rate;
  u.enabledFixedGravity = true;
  u.gravityMagnitude = kGravity;
  u.storedLatLongAlt = zelto::Vector3(kLatitudeDeg, 6.0, 10.0);
  u.storedGyrBias = zelto::Vector3(0.0, 0.0, 0.0);
  u.enabledInitialGyroBiasUpdate = false;
  return u;
}

inline std::unique_ptr<zelto::Zkf3Params> params(const zelto::Zkf3ScenarioParams& s = scenario(),
                                                 const ZkfUserParams& u = user()) {
  auto p = std::make_unique<zelto::Zkf3Params>();
  p->initialize(s, hardware(), u, zelto::Zkf3FilterSteps());
  return p;
}

inline filtersim::SimulatorConfig simConfig(const Noise& n = Noise(), uint64_t seed = 1) {
  filtersim::SimulatorConfig c;
  c.truthRate = 1000.0;
  c.outputRate = kRate;
  c.latitude = kLatitudeDeg * M_PI / 180.0;
  c.earthRate = true;
  c.gravity = kGravity;
  c.acc.noiseDensity = n.acc / std::sqrt(kRate);
  c.gyr.noiseDensity = n.gyr / std::sqrt(kRate);
  c.mag.noiseDensity = n.mag / std::sqrt(kRate);
  c.mag.declination = 0.0;
  c.mag.inclination = 1.0;
  c.mag.intensity = 1.0;
  c.seed = seed;
  return c;
}

// The tracker delivers the mean rate of turn over each sample interval (the rotation of the
// interval's increment divided by its length), not a point sample at its end: a rate that steps
// between samples then costs the integration nothing.
inline void toRecords(const filtersim::Sample& s, zelto::Zkf3SensorData& sd, zelto::Zkf3Aiding& ad) {
  const Eigen::AngleAxisd increment(s.dq);
  const filtersim::Vec3 meanRate = s.T > 0.0 ? filtersim::Vec3(increment.axis() * increment.angle() / s.T) : s.gyr;
  for (int i = 0; i < 3; ++i) {
    sd.inertial.acc[i] = s.acc[i];
    sd.inertial.gyr[i] = meanRate[i];
    ad.mag[i] = s.mag[i];
  }
}

using filtertest::toEigen;

}  // namespace zkf3test
