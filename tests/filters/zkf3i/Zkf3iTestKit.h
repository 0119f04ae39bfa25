#pragma once
// What the Zkf3i tests share: a tuning whose sensor noise matches the simulator's, the frame
// adapter between the simulator (north-west-up) and the filter (east-north-up), the records of
// one simulated sample, and a run loop that steps the filter along a trajectory.
#include <Eigen/Dense>
#include <Eigen/Geometry>
#include <cmath>

#include "filters/common/KtMk4HardwareParams.h"
#include "filters/common/ZkfUserParams.h"
#include "filters/common/ZtToEigen.h"
#include "filters/zkf3i/Zkf3iFilter.h"
#include "filters/zkf3i/Zkf3iScenarioParams.h"
#include "filtersim/MotionSimulator.h"

namespace zkf3itest {

using filtertest::toEigen;

constexpr double kRate = 100.0;
constexpr double kT = 1.0 / kRate;
constexpr double kDeg = 0.017453292519943295;
constexpr double kLatitudeDeg = 48.0;
constexpr double kInclination = 1.1;  // rad, field intensity 1

// Sensor noise per sample at kRate.
struct Noise {
  double acc = 0.02;   // m/s^2
  double gyr = 0.003;  // rad/s
  double mag = 0.005;  // field units
};

inline zelto::Zkf3iScenarioParams scenario() {
  zelto::Zkf3iScenarioParams s;
  s.initHardCoded();
  return s;
}

// The hardware whose noise densities are the simulator's; tiny but positive when noise-free.
inline KtMk4HardwareParams hardware(const Noise& n) {
  KtMk4HardwareParams h;
  const double sT = std::sqrt(kT);
  for (ZtSize i = 0; i < 3; ++i) {
    h.ndAcc[i] = std::max(n.acc, 1e-5) * sT;
    h.ndGyr[i] = std::max(n.gyr, 1e-6) * sT / kDeg;
    h.sdMag[i] = std::max(n.mag, 1e-5);
  }
  return h;
}

inline ZkfUserParams user() {
  ZkfUserParams u;
  u.sampleRate = kRate;
  u.storedLatLongAlt = zelto::Vector3(kLatitudeDeg, 11.0, 500.0);
  u.storedYear = 2024;
  u.storedMonth = 6;
  u.storedDay = 1;
  u.enabledFixedGravity = true;
  u.gravityMagnitude = 9.81;
  u.enabledInitialGyroBiasUpdate = false;
  return u;
}

// Parameters for the noise; earthRate false zeroes the filter's earth rate (for runs of a
// simulator without it).
inline zelto::Zkf3iParams params(const Noise& n, bool earthRate, const zelto::Zkf3iScenarioParams& s = scenario()) {
  zelto::Zkf3iParams p;
  p.initialize(s, hardware(n), user(), zelto::Zkf3iFilterSteps());
  if (!earthRate) p.earthRotation_l.isZero();
  return p;
}

// Simulator set up to match the parameters: noise, latitude, gravity, declination.
inline filtersim::SimulatorConfig simConfig(const Noise& n, const zelto::Zkf3iParams& p, bool earthRate,
                                            uint64_t seed) {
  filtersim::SimulatorConfig c;
  c.outputRate = kRate;
  c.truthRate = 2000.0;
  c.latitude = kLatitudeDeg * kDeg;
  c.earthRate = earthRate;
  c.gravity = 9.81;
  c.gyr.noiseDensity = n.gyr / std::sqrt(kRate);
  c.acc.noiseDensity = n.acc / std::sqrt(kRate);
  c.mag.noiseDensity = n.mag / std::sqrt(kRate);
  c.mag.declination = p.declination_angle_rad;
  c.mag.inclination = kInclination;
  c.mag.intensity = 1.0;
  c.seed = seed;
  return c;
}

// North-west-up to east-north-up: a turn of +90 degrees about up.
inline Eigen::Quaterniond nwuToEnu() { return Eigen::Quaterniond(Eigen::AngleAxisd(M_PI / 2, Eigen::Vector3d::UnitZ())); }

// The filter's orientation in the simulator's frame.
inline Eigen::Quaterniond toNwu(const zelto::Quaternion& q) {
  return nwuToEnu().conjugate() * Eigen::Quaterniond(q.w, q.x, q.y, q.z);
}

inline void toRecords(const filtersim::Sample& s, zelto::Zkf3iSensorData& sd, zelto::Zkf3iAiding& ad) {
  sd.dq = zelto::Quaternion(s.dq.w(), s.dq.x(), s.dq.y(), s.dq.z());
  sd.dv = zelto::Vector3(s.dv.x(), s.dv.y(), s.dv.z());
  sd.clipAcc = sd.clipGyr = 0;
  for (int i = 0; i < 3; ++i) {
    if (s.accClip[i]) sd.clipAcc = static_cast<uint16_t>(sd.clipAcc | (1u << i));
    if (s.gyrClip[i]) sd.clipGyr = static_cast<uint16_t>(sd.clipGyr | (1u << i));
  }
  ad.mag = zelto::Vector3(s.mag.x(), s.mag.y(), s.mag.z());
}

// The true free acceleration in the filter's frame.
inline Eigen::Vector3d toEnu(const Eigen::Vector3d& nwu) { return Eigen::Vector3d(-nwu.y(), nwu.x(), nwu.z()); }

// The error state and covariance of a filter state.
inline Eigen::MatrixXd covariance(const zelto::Zkf3iState& s) {
  const Eigen::MatrixXd L = toEigen(s.sQx);
  return L * L.transpose();
}

inline Eigen::VectorXd stateOf(const zelto::Zkf3iState& s) {
  return toEigen(s.sQx).triangularView<Eigen::Lower>() * toEigen(s.sx);
}

// Steps the filter through the simulator; after each accepted step calls visit(sample, output).
template <typename Visit>
int run(zelto::Zkf3iFilter& f, filtersim::MotionSimulator& sim, Visit visit,
        const zelto::Zkf3iRealTimeParameters& firstRequest = zelto::Zkf3iRealTimeParameters()) {
  zelto::Zkf3iSensorData sd;
  zelto::Zkf3iAiding ad;
  zelto::Zkf3iRealTimeParameters rt = firstRequest;
  zelto::Zkf3iFilterOutput out;
  filtersim::Sample s;
  int steps = 0;
  while (sim.next(s)) {
    toRecords(s, sd, ad);
    if (!f.doOneKalmanStep(sd, ad, rt, out)) return -1;
    rt.noRotationDuration = 0;
    ++steps;
    visit(s, out);
  }
  return steps;
}

}  // namespace zkf3itest
