#pragma once
// The tuning the Zkf3w tests run with, the simulator configuration that matches it, and the
// conversions between the simulator's Eigen values and the filter's records.
//
// Noise is given per sample at kRate. The filter takes the accelerometer and gyroscope noise as
// densities (sigma sqrt(T)) and the magnetometer noise as sigma T (its root is sdvMag / T).
#include <Eigen/Geometry>
#include <cmath>

#include "filters/common/KtHardwareParams.h"
#include "filters/common/ZkfUserParams.h"
#include "filters/common/ZtToEigen.h"
#include "filters/zkf3w/Zkf3wFilter.h"
#include "filters/zkf3w/Zkf3wScenarioParams.h"
#include "filtersim/MotionSimulator.h"

namespace zkf3wtest {

constexpr double kRate = 100.0;
constexpr double kT = 1.0 / kRate;
constexpr double kLatitudeDeg = 52.0;
constexpr double kGravity = 9.81;
constexpr double kInclination = 1.0;  // rad, field intensity 1

// The magnetometer update models the heading only: the tilt error that the vertical field
// carries into the measured horizontal field is not in its Jacobian. The tuning takes three
// times the sensor's magnetometer noise to cover it (at the sensor's own noise some runs of the
// Monte-Carlo test diverge during a turn, at twice it the filter is stable but under-confident).
constexpr double kMagNoiseFactor = 3.0;

struct Noise {
  double acc = 0.02;   // m/s^2 per sample
  double gyr = 0.005;  // rad/s per sample
  double mag = 0.005;  // field units per sample
};

inline zelto::Zkf3wScenarioParams scenario(const Noise& n = Noise()) {
  zelto::Zkf3wScenarioParams s;
  s.f_gyr_oor = 10.0;
  s.f_acc_oor = 10.0;
  s.ndAcc = n.acc * std::sqrt(kT);
  s.ndGyr = n.gyr * std::sqrt(kT);
  s.sd_v_mag = kMagNoiseFactor * n.mag * kT;
  s.deltaGyrBias = 1e-5;
  s.f_gyr_dynamic = 0.0;
  s.f_acc_dynamic = 0.05;
  s.tau_acc = 0.5;
  s.sd_v_accLowpass = 0.05;
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
  s.validity_accThreshold = 1e6;
  s.validity_magThreshold = 1e6;
  s.validity_gyroBiasThreshold = 1.0;
  s.validity_angularUncertaintyThreshold = 1.0;
  s.initialConditions.sd_init_orient = 0.05;
  s.initialConditions.sd_init_acc = 0.1;
  s.initialConditions.sd_init_gyrBias = 0.01;
  s.initialConditions.sd_init_magvar[0] = 0.01;
  s.initialConditions.sd_init_magvar[1] = 0.01;
  s.initialConditions.sd_init_magvar[2] = 0.01;
  s.initialConditions.sd_init_mag = 0.1;
  s.flags = zelto::Zkf3wScenarioParams::kAccUpdateFlag | zelto::Zkf3wScenarioParams::kMagUpdateFlag;
  s.type = 'W';
  s.version = 1;
  s.setLabel("test");
  return s;
}

inline KtHardwareParams hardware() {
  KtHardwareParams h;
  h.acc_range = 160.0;   // m/s^2
  h.gyr_range = 2000.0;  // degrees/s
  return h;
}

inline ZkfUserParams user(double rate = kRate, double declinationDeg = 0.0) {
  ZkfUserParams u;
  u.sampleRate = rate;
  u.enabledFixedGravity = true;
  u.gravityMagnitude = kGravity;
  u.declination_angle_deg = declinationDeg;
  u.storedLatLongAlt = zelto::Vector3(kLatitudeDeg, 6.0, 10.0);
  u.storedGyrBias = zelto::Vector3(0.0, 0.0, 0.0);
  return u;
}

inline zelto::Zkf3wParams params(const zelto::Zkf3wScenarioParams& s = scenario(), const ZkfUserParams& u = user()) {
  zelto::Zkf3wParams p;
  p.initialize(s, hardware(), u, zelto::Zkf3wFilterSteps());
  return p;
}

inline filtersim::SimulatorConfig simConfig(const Noise& n = Noise(), uint64_t seed = 1, double rate = kRate) {
  filtersim::SimulatorConfig c;
  c.truthRate = 1000.0;
  c.outputRate = rate;
  c.latitude = kLatitudeDeg * M_PI / 180.0;
  c.earthRate = false;
  c.gravity = kGravity;
  c.acc.noiseDensity = n.acc / std::sqrt(kRate);
  c.gyr.noiseDensity = n.gyr / std::sqrt(kRate);
  c.mag.noiseDensity = n.mag / std::sqrt(kRate);
  c.mag.declination = 0.0;
  c.mag.inclination = kInclination;
  c.mag.intensity = 1.0;
  c.seed = seed;
  return c;
}

inline void toRecords(const filtersim::Sample& s, zelto::Zkf3wSensorData& sd, zelto::Zkf3wAiding& ad) {
  sd.dq = zelto::Quaternion(s.dq.w(), s.dq.x(), s.dq.y(), s.dq.z());
  for (int i = 0; i < 3; ++i) {
    sd.dv[i] = s.dv[i];
    ad.mag[i] = s.mag[i];
  }
}

using filtertest::toEigen;

}  // namespace zkf3wtest
