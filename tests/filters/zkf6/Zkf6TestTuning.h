#pragma once
// The tuning the Zkf6 tests and benchmark run with, the navigation kit's configuration that
// matches it, and a rig that drives the filter along a simulated vehicle route: truth, IMU,
// magnetometer, GNSS receiver and barometer into the filter's records, and the errors back.
#include <Eigen/Geometry>
#include <cmath>
#include <memory>
#include <vector>

#include "filters/common/KtigHardwareParams.h"
#include "filters/common/ZkfUserParams.h"
#include "filters/common/ZtToEigen.h"
#include "filters/zkf6/Zkf6Filter.h"
#include "filters/zkf6/Zkf6ScenarioParams.h"
#include "filtersim/Barometer.h"
#include "filtersim/FilterMetrics.h"
#include "filtersim/GeodeticFrame.h"
#include "filtersim/GnssReceiver.h"
#include "filtersim/MotionSimulator.h"
#include "filtersim/VehicleRoute.h"

namespace zkf6test {

using filtersim::GeodeticFrame;
using filtersim::Quat;
using filtersim::Vec3;

constexpr double kRate = 100.0;
constexpr double kLatitudeDeg = 47.4;
constexpr double kLongitudeDeg = 8.5;
constexpr double kAltitude = 420.0;

// Sensor errors of the simulated tracker.
struct Noise {
  double acc = 0.02;        // m/s^2 per sample
  double gyr = 0.003;       // rad/s per sample
  double mag = 0.005;       // field units (intensity 1)
  double accWalk = 2e-5;    // m/s^2/sqrt(s)
  double gyrWalk = 2e-6;    // rad/s/sqrt(s)
  Vec3 accBias = Vec3(0.04, -0.03, 0.05);
  Vec3 gyrBias = Vec3(0.001, -0.0015, 0.002);
};

// A scenario matched to Noise; GNSS deviations come from the receiver's reported accuracies, so
// the scenario and hardware parts are 0.
inline zelto::Zkf6ScenarioParams scenario(const Noise& n = Noise()) {
  zelto::Zkf6ScenarioParams s;
  s.f_gyr_oor = 10.0;
  s.f_acc_oor = 10.0;
  s.sd_v_acc = n.acc;
  s.sd_v_gyr = n.gyr;
  s.sd_v_mag = n.mag;
  s.deltaGyrBias = n.gyrWalk;
  s.deltaAccBias = n.accWalk;
  s.sd_wm = 0.0;
  s.tau_magdist = 10.0;
  s.tau_magavg = 10.0;
  s.tau_magvar = 10.0;
  s.f_magvar = 1.0;
  s.sd_vel_nogps = 0.05;
  s.c_baroadaptation = 0.99;
  s.sd_holonomic = 0.1;
  s.velocity_holonomic = 2.0;
  s.sd_zero_rotation = 0.01;
  s.initialConditions.sd_init_orient = 0.1;
  s.initialConditions.sd_init_pos = 10.0;
  s.initialConditions.sd_init_vel = 1.0;
  s.initialConditions.sd_init_gyrBias = 0.005;
  s.initialConditions.sd_init_accBias = 0.1;
  for (double& v : s.initialConditions.sd_init_magvar) v = 0.01;
  s.updateSwitches = zelto::Zkf6ScenarioParams::kGpsUpdate | zelto::Zkf6ScenarioParams::kMagFieldUpdate;
  s.type = 4;
  s.version = 1;
  s.setLabel("test");
  return s;
}

inline KtigHardwareParams hardware(double baroSigma = 0.6) {
  KtigHardwareParams h;
  h.acc_range = 160.0;
  h.gyr_range = 1200.0;
  h.sd_barometer = baroSigma;
  return h;
}

inline ZkfUserParams user(double rate = kRate) {
  ZkfUserParams u;
  u.sampleRate = rate;
  u.enabledFixedGravity = false;
  u.gravityMagnitude = 9.81;
  u.storedLatLongAlt = zelto::Vector3(kLatitudeDeg, kLongitudeDeg, kAltitude);
  u.storedGyrBias = zelto::Vector3(0.0, 0.0, 0.0);
  u.declination_angle_deg = 0.0;
  u.r_gps_s = zelto::Vector3(1.5, 0.0, 0.0);
  return u;
}

inline std::unique_ptr<zelto::Zkf6Params> params(const zelto::Zkf6ScenarioParams& s = scenario(),
                                                 const ZkfUserParams& u = user(),
                                                 const KtigHardwareParams& h = hardware()) {
  auto p = std::make_unique<zelto::Zkf6Params>();
  p->initialize(s, h, u, zelto::Zkf6FilterSteps());
  return p;
}

// A drive of about three minutes: standing, accelerating, turns both ways, a slope, stops.
inline filtersim::VehicleRoute route() {
  filtersim::VehicleRoute r(0.4);
  r.stop(20).accelerate(5, 2.0).cruise(15).turn(10, M_PI / 20).cruise(15).climb(3, 0.05).cruise(10);
  r.climb(3, -0.05).turn(10, -M_PI / 20).accelerate(5, 1.0).cruise(20).turn(6, M_PI / 12).cruise(10);
  r.brakeToStop(2.0).stop(15).accelerate(5, 2.0).cruise(20);
  return r;
}

struct Drive {
  Noise noise;
  uint64_t seed = 1;
  bool barometer = false;
  Vec3 leverArm = Vec3(1.5, 0.0, 0.0);  // GNSS antenna in the body frame, m (also the user's)
  double inclination = 1.1;  // of the magnetic field, rad
  std::vector<filtersim::TimeWindow> outages;
  filtersim::GnssConfig::AgeMode ageMode = filtersim::GnssConfig::AgeMode::Saturating;
  double declinationErrorDeg = 0.0;  // error of the user's declination: an initial heading error
  double truthRate = 200.0;
  zelto::Zkf6ScenarioParams scenario = zkf6test::scenario();
  std::vector<filtersim::Segment> segments;  // empty: route()
  Quat initialAttitude = route().initialAttitude();
};

using filtertest::toEigen;

// Drives the filter along the route, one simulator sample per step.
class NavigationRig {
 public:
  explicit NavigationRig(const Drive& setup)
      : m_setup(setup),
        m_sim(simConfig(setup), setup.segments.empty() ? route().segments() : setup.segments),
        m_gnss(gnssConfig(setup), m_sim.frame()),
        m_baro(baroConfig(setup)) {
    ZkfUserParams u = user();
    u.declination_angle_deg = setup.declinationErrorDeg;
    u.r_gps_s = zelto::Vector3(setup.leverArm.x(), setup.leverArm.y(), setup.leverArm.z());
    zelto::Zkf6ScenarioParams s = setup.scenario;
    if (setup.barometer)
      s.updateSwitches |= zelto::Zkf6ScenarioParams::kBarometerUpdate;
    else
      s.updateSwitches &= static_cast<uint16_t>(~zelto::Zkf6ScenarioParams::kBarometerUpdate);
    m_filter = std::make_unique<zelto::Zkf6Filter>(params(s, u).get());
    m_aiding.gps.clear();
  }

  static filtersim::SimulatorConfig simConfig(const Drive& setup) {
    filtersim::SimulatorConfig c;
    c.truthRate = setup.truthRate;
    c.outputRate = kRate;
    c.latitude = kLatitudeDeg * GeodeticFrame::kDeg;
    c.longitude = kLongitudeDeg * GeodeticFrame::kDeg;
    c.altitude = kAltitude;
    c.curvedEarth = true;
    c.gravityModel = GeodeticFrame::Gravity::Igf1980;
    c.initialAttitude = setup.initialAttitude;
    const double rootRate = std::sqrt(kRate);
    c.acc.noiseDensity = setup.noise.acc / rootRate;
    c.gyr.noiseDensity = setup.noise.gyr / rootRate;
    c.mag.noiseDensity = setup.noise.mag / rootRate;
    c.acc.biasWalk = setup.noise.accWalk;
    c.gyr.biasWalk = setup.noise.gyrWalk;
    c.acc.bias = setup.noise.accBias;
    c.gyr.bias = setup.noise.gyrBias;
    c.mag.declination = 0.0;
    c.mag.inclination = setup.inclination;
    c.seed = setup.seed;
    return c;
  }

  static filtersim::GnssConfig gnssConfig(const Drive& setup) {
    filtersim::GnssConfig g;
    g.rate = 1.0;
    g.leverArm = setup.leverArm;
    g.sigmaHorizontal = 1.5;
    g.sigmaVertical = 3.0;
    g.sigmaVelocity = 0.1;
    g.outages = setup.outages;
    g.ageMode = setup.ageMode;
    g.seed = setup.seed * 7 + 3;
    return g;
  }

  static filtersim::BarometerConfig baroConfig(const Drive& setup) {
    filtersim::BarometerConfig b;
    b.rate = 10.0;
    b.sigma = 6.0;  // about 0.5 m
    b.drift = 0.0;
    b.seed = setup.seed * 11 + 5;
    return b;
  }

  // One sample through the filter; false at the end of the route.
  bool step() {
    if (!m_sim.next(m_sample)) return false;
    m_newFix = m_gnss.update(m_sample);
    m_baro.update(m_sample);
    for (int i = 0; i < 3; ++i) {
      m_sensor.inertial.acc[i] = m_sample.meanSpecificForce()[i];
      m_sensor.inertial.gyr[i] = m_sample.meanRate()[i];
      m_aiding.mag[i] = m_sample.mag[i];
    }
    if (m_gnss.hasFix()) {
      const filtersim::GnssPrint p = m_gnss.print();
      for (int i = 0; i < 3; ++i) {
        m_aiding.gps.posLatLongAlt[i] = p.posLatLongAlt[i];
        m_aiding.gps.velNorthEastDown[i] = p.velNorthEastDown[i];
      }
      m_aiding.gps.hAcc = p.hAcc;
      m_aiding.gps.vAcc = p.vAcc;
      m_aiding.gps.sAcc = p.sAcc;
    }
    m_aiding.gps.gpsAge = m_gnss.age();
    if (m_setup.barometer) {
      m_aiding.gps.pressure = std::round(m_baro.pressureTwoPa());
      m_aiding.gps.pressureAge = m_baro.age();
    }
    m_ok = m_filter->doOneKalmanStep(m_sensor, m_aiding, m_realTime, m_output);
    return true;
  }

  zelto::Zkf6Filter& filter() { return *m_filter; }
  const filtersim::Sample& sample() const { return m_sample; }
  const zelto::Zkf6FilterOutput& output() const { return m_output; }
  zelto::Zkf6Aiding& aiding() { return m_aiding; }
  bool ok() const { return m_ok; }
  bool newFix() const { return m_newFix; }
  const filtersim::GnssReceiver& gnss() const { return m_gnss; }
  const filtersim::MotionSimulator& sim() const { return m_sim; }

  // Estimate minus truth of the sensor's position, NWU about the origin (m).
  Vec3 positionError() const {
    const Vec3 est = m_sim.frame().geodeticToLocal(
        GeodeticFrame::fromDegrees(Vec3(m_output.position[0], m_output.position[1], m_output.position[2])));
    return est - m_sample.position;
  }
  Vec3 velocityError() const {
    return Vec3(m_output.velocity[0], m_output.velocity[1], m_output.velocity[2]) - m_sample.velocity;
  }
  double headingError() const { return filtersim::headingError(toEigen(m_output.orientation), m_sample.q); }
  // The filter's error convention, truth = estimate (I - [e x]), as truth minus estimate of the
  // state: e from the orientations.
  Vec3 orientationError() const {
    Quat e = toEigen(m_output.orientation).conjugate() * m_sample.q;
    if (e.w() < 0) e.coeffs() = -e.coeffs();
    return -2.0 * e.vec();
  }
  // Truth minus estimate of position, velocity, accelerometer and gyroscope bias and
  // orientation, in the state's order.
  Eigen::Matrix<double, 15, 1> stateError() const {
    const zelto::Zkf6State& s = m_filter->state();
    Eigen::Matrix<double, 15, 1> e;
    e.segment<3>(0) = -positionError();
    e.segment<3>(3) = -velocityError();
    for (int i = 0; i < 3; ++i) {
      e[6 + i] = m_sample.accBias[i] - s.accBias[i];
      e[9 + i] = m_sample.gyrBias[i] - s.gyrBias[i];
    }
    e.segment<3>(12) = orientationError();
    return e;
  }
  Eigen::Matrix<double, 15, 15> covariance() const {
    const zelto::Zkf6State& s = m_filter->state();
    Eigen::Matrix<double, 15, 15> L;
    for (int r = 0; r < 15; ++r)
      for (int c = 0; c < 15; ++c) L(r, c) = s.sQx(r, c);
    return L * L.transpose();
  }

 private:
  Drive m_setup;
  filtersim::MotionSimulator m_sim;
  filtersim::GnssReceiver m_gnss;
  filtersim::Barometer m_baro;
  std::unique_ptr<zelto::Zkf6Filter> m_filter;
  filtersim::Sample m_sample;
  zelto::Zkf6SensorData m_sensor;
  zelto::Zkf6Aiding m_aiding;
  zelto::Zkf6RealTimeParameters m_realTime;
  zelto::Zkf6FilterOutput m_output;
  bool m_ok = false;
  bool m_newFix = false;
};

}  // namespace zkf6test
