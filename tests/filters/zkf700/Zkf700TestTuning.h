#pragma once
// What the Zkf700 tests run with: the built-in "zkf700" profile read the way the trackers read
// their host scenarios, the emulated tracker's hardware values, user parameters at a fixed
// place and date, and still-sensor samples of a given attitude.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "filters/common/FilterTypeVersion.h"
#include "filters/common/KtMk4_700HardwareParams.h"
#include "filters/common/ZkfUserParams.h"
#include "filters/common/ZtToEigen.h"
#include "filters/zkf700/Zkf700Aiding.h"
#include "filters/zkf700/Zkf700Filter.h"
#include "filters/zkf700/Zkf700Params.h"
#include "filters/zkf700/Zkf700ScenarioParams.h"
#include "filters/zkf700/Zkf700SensorData.h"
#include "filtersim/Barometer.h"
#include "filtersim/GeodeticFrame.h"
#include "filtersim/GnssReceiver.h"
#include "filtersim/MotionSimulator.h"
#include "filtersim/VehicleRoute.h"
#include "foundation/SettingsFile.h"
#include "foundation/Variant.h"
#include "math/Matrix3x3.h"
#include "math/Quaternion.h"

namespace zkf700test {

using filtertest::toEigen;

constexpr double kRate = 100.0;
constexpr double kLatitudeDeg = 47.4;
constexpr double kLongitudeDeg = 8.5;
constexpr double kAltitude = 400.0;
constexpr const char* kProfileList = "ZEE.ZKF700.scenarios";

// The scenarios listed under "ZEE.ZKF700.scenarios" in the built-in profile source, each read
// under its own label + "." as the trackers read host scenarios. Fails the test when the list
// or an entry cannot be read.
inline zelto::Zkf700ScenarioParams builtInProfile() {
  zelto::SettingsFile file;
  zelto::Zkf700ScenarioParams s;
  EXPECT_EQ(file.readZsa(ZDA_SOURCE_DIR "/data/scenarios/scenarios.zsa"), 0);
  zelto::Variant list;
  EXPECT_EQ(file.getSetting(kProfileList, "", list), 0);
  const zelto::LabelList labels = list.toLabelList();
  EXPECT_EQ(labels.count(), 1u);
  if (labels.count() == 0) return s;
  const std::string prefix = std::string(labels[0].c_str()) + ".";
  EXPECT_TRUE(s.readFromFileNoThrow(file, prefix)) << prefix;
  return s;
}

// The emulated GNSS/INS tracker: the fourth-generation defaults with an accelerometer bias
// time constant and a barometer deviation.
inline KtMk4_700HardwareParams hardware() {
  KtMk4_700HardwareParams h;
  h.biasTauAcc = zelto::Vector3(300.0, 300.0, 300.0);
  h.sdBarometer = 0.5;
  return h;
}

inline ZkfUserParams user(double rate = kRate) {
  ZkfUserParams u;
  u.sampleRate = rate;
  u.storedLatLongAlt = zelto::Vector3(kLatitudeDeg, kLongitudeDeg, kAltitude);
  u.storedYear = 2013;
  u.storedMonth = 6;
  u.storedDay = 1;
  return u;
}

inline zelto::Zkf700Params params(const zelto::Zkf700ScenarioParams& s, double rate = kRate) {
  zelto::Zkf700Params p;
  p.initialize(s, hardware(), user(rate), zelto::Zkf700FilterSteps());
  return p;
}

// Rotation of the quaternion (sensor to local).
inline zelto::Matrix3x3 rotation(const zelto::Quaternion& q) {
  zelto::Matrix3x3 R;
  R.isQuat(q);
  return R;
}

// Angle in radians between two orientations.
inline double angleBetween(const zelto::Quaternion& a, const zelto::Quaternion& b) {
  const double d = std::fabs(a.w * b.w + a.x * b.x + a.y * b.y + a.z * b.z);
  return 2.0 * std::acos(d > 1.0 ? 1.0 : d);
}

// Sensor frame values of a still sensor at orientation q_ls (east-north-up): dv of one sample
// (specific force up) and the magnetometer of a field with horizontal intensity along the
// magnetic north, declination decl (radians, east positive), dip down.
inline void stillSample(const zelto::Quaternion& q_ls, double decl, double g, zelto::Zkf700SensorData& sensor,
                        zelto::Zkf700Aiding& aiding, double T = 1.0 / kRate) {
  const zelto::Matrix3x3 R = rotation(q_ls);
  const double up[3] = {0.0, 0.0, g * T};
  const double field[3] = {0.2 * std::sin(decl), 0.2 * std::cos(decl), -0.45};
  for (int i = 0; i < 3; ++i) {
    sensor.dv[i] = R(0, i) * up[0] + R(1, i) * up[1] + R(2, i) * up[2];
    aiding.mag[i] = R(0, i) * field[0] + R(1, i) * field[1] + R(2, i) * field[2];
  }
  sensor.dq = zelto::Quaternion();
  aiding.magValid = true;
}

// ---- Simulation ---------------------------------------------------------------------------------

// The simulator at the stored place, flat earth without earth rate, gravity of the filters' own
// formula: the model the filter assumes. Magnetic field along the filter's declination.
inline filtersim::SimulatorConfig simConfig(const zelto::Zkf700Params& p, uint64_t seed = 1) {
  filtersim::SimulatorConfig c;
  c.truthRate = 1000.0;
  c.outputRate = kRate;
  c.latitude = kLatitudeDeg * filtersim::GeodeticFrame::kDeg;
  c.longitude = kLongitudeDeg * filtersim::GeodeticFrame::kDeg;
  c.altitude = kAltitude;
  c.earthRate = false;
  c.gravityModel = filtersim::GeodeticFrame::Gravity::Igf1980;
  c.mag.declination = p.declinationAngleRad;
  c.mag.inclination = 63.0 * filtersim::GeodeticFrame::kDeg;
  c.mag.intensity = 0.48;
  c.seed = seed;
  return c;
}

inline zelto::Quaternion toZelto(const Eigen::Quaterniond& q) { return zelto::Quaternion(q.w(), q.x(), q.y(), q.z()); }
inline Eigen::Vector3d toEigen3(const ZtVector& v) { return Eigen::Vector3d(v.data[0], v.data[1], v.data[2]); }

// The sensor record of a simulator sample; time in whole milliseconds.
inline void toSensor(const filtersim::Sample& s, zelto::Zkf700SensorData& d) {
  d.dq = toZelto(s.dq);
  d.dv = zelto::Vector3(s.dv.x(), s.dv.y(), s.dv.z());
  d.clipAcc = static_cast<uint16_t>((s.accClip[0] ? 1 : 0) | (s.accClip[1] ? 2 : 0) | (s.accClip[2] ? 4 : 0));
  d.clipGyr = static_cast<uint16_t>((s.gyrClip[0] ? 1 : 0) | (s.gyrClip[1] ? 2 : 0) | (s.gyrClip[2] ? 4 : 0));
  d.time = static_cast<int64_t>(s.t * 1000.0 + 1e-6);
}

inline void setGnss(const filtersim::GnssFix& fix, zelto::Zkf700Aiding& a) {
  a.gpsPos = zelto::Vector3(fix.latLongAltDeg.x(), fix.latLongAltDeg.y(), fix.latLongAltDeg.z());
  const Eigen::Vector3d& ned = fix.velNorthEastDown;
  a.gpsVel = zelto::Vector3(ned.y(), ned.x(), -ned.z());  // east, north, up
  a.gpsPAcc = fix.hAcc;
  a.gpsSAcc = fix.sAcc;
  a.gpsValid = true;
}

// Truth of a sample in the filter's east-north-up frame.
inline Eigen::Quaterniond truthEnu(const filtersim::Sample& s) { return filtersim::GeodeticFrame::enuFromNwu(s.q); }
inline Eigen::Vector3d velocityEnu(const filtersim::Sample& s) {
  return filtersim::GeodeticFrame::enuFromNwu(s.velocity);
}

// Runs a filter over a simulator with optional GNSS receiver and barometer; the aiding record
// is filled as the device does and cleared after every step that returned true.
struct Driver {
  explicit Driver(const zelto::Zkf700Params& p) : filter(&p) {}

  // One sample; fresh GNSS fixes and barometer samples of rx and baro (may be null) go with it.
  bool step(const filtersim::Sample& s, filtersim::GnssReceiver* rx = nullptr, filtersim::Barometer* baro = nullptr,
            bool withMag = true) {
    toSensor(s, sensor);
    if (withMag) {
      aiding.mag = zelto::Vector3(s.mag.x(), s.mag.y(), s.mag.z());
      aiding.magValid = true;
    }
    if (rx && rx->update(s) && gnssOn) setGnss(rx->last(), aiding);
    if (baro && baro->update(s)) {
      aiding.baro = baro->pressure();
      aiding.baroValid = true;
    }
    const bool ok = filter.doOneKalmanStep(sensor, aiding, realTime, output, zelto::Zkf700Filter::WholeStep);
    realTime.m_noRotationDuration = 0;
    if (ok) aiding = zelto::Zkf700Aiding();
    return ok;
  }

  zelto::Zkf700Filter filter;
  zelto::Zkf700SensorData sensor;
  zelto::Zkf700Aiding aiding;
  zelto::Zkf700RealTimeParameters realTime;
  zelto::Zkf700FilterOutput output;
  bool gnssOn = true;
};

// ---- Reference route -------------------------------------------------------------------------

inline Eigen::MatrixXd covariance(const zelto::Zkf700State& s) {
  const Eigen::MatrixXd S = toEigen(s.m_sQx);
  return S * S.transpose();
}

// The reference route (about 34 s): GNSS at 2 Hz, barometer at 10 Hz, the magnetometer with a
// disturbance that its gate rejects (22 to 23 s), a turn, a slope and a final stop from 28 s.
struct Scenario {
  zelto::Zkf700Params params;
  filtersim::SimulatorConfig sim;
  filtersim::VehicleRoute route{0.4};
  filtersim::GnssConfig gnss;
  filtersim::BarometerConfig baro;
};

inline Scenario referenceScenario(uint64_t seed) {
  Scenario sc;
  zelto::Zkf700ScenarioParams s = builtInProfile();
  s.updateFlags |= zelto::Zkf700ScenarioParams::kHolonomicUpdate;
  ZkfUserParams u = user();
  u.n_s_m = zelto::Vector3(1.0, 0.0, 0.0);
  sc.params.initialize(s, hardware(), u, zelto::Zkf700FilterSteps());
  const KtMk4_700HardwareParams h = hardware();
  sc.sim = simConfig(sc.params, seed);
  sc.sim.truthRate = 500.0;
  sc.sim.gyr.noiseDensity = h.ndGyr[0] * filtersim::GeodeticFrame::kDeg;
  sc.sim.acc.noiseDensity = h.ndAcc[0];
  sc.sim.mag.noiseDensity = 0.001;
  sc.sim.mag.hardIron.push_back({{22.0, 23.0}, filtersim::Vec3(0.3, -0.2, 0.0)});
  sc.route.stop(8).accelerate(4, 2).cruise(4).turn(6, M_PI / 12).climb(2, 0.05).brakeToStop(2).stop(6);
  sc.sim.initialAttitude = sc.route.initialAttitude();
  sc.gnss.rate = 2.0;
  sc.gnss.sigmaHorizontal = sc.gnss.sigmaVertical = 1.0;
  sc.gnss.sigmaVelocity = 0.05;
  sc.gnss.seed = seed + 7;
  sc.baro.seed = seed + 9;
  return sc;
}

}  // namespace zkf700test
