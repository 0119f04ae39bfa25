// The Zkf700 filter on simulated trajectories (the navigation test kit): noise-free attitude
// without GNSS, tilt in motion, the gyroscope bias from a no-rotation window, GNSS-aided
// position, velocity and heading, the heading from the holonomic constraint, the barometer
// through a GNSS outage, and the mounting-independence of the vertical process noise.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

#include "Zkf700TestTuning.h"
#include "filtersim/FilterMetrics.h"
#include "filtersim/VehicleRoute.h"

using namespace zkf700test;
using filtersim::Segment;
using filtersim::Vec3;
using zelto::Zkf700Params;
using zelto::Zkf700ScenarioParams;

namespace {

constexpr double kZkf700NavigationDeg = M_PI / 180.0;
constexpr uint16_t kZkf700NavigationMag = Zkf700ScenarioParams::kMagFieldUpdate;
constexpr uint16_t kZkf700NavigationGps = Zkf700ScenarioParams::kGpsUpdate;
constexpr uint16_t kZkf700NavigationBaro = Zkf700ScenarioParams::kBarometerUpdate;
constexpr uint16_t kZkf700NavigationHol = Zkf700ScenarioParams::kHolonomicUpdate;

Zkf700ScenarioParams profile(uint16_t set, uint16_t clear) {
  Zkf700ScenarioParams s = builtInProfile();
  s.updateFlags = static_cast<uint16_t>((s.updateFlags | set) & ~clear);
  return s;
}

// Body y axis to the north: the heading a magnetometer-less alignment assumes.
Eigen::Quaterniond yNorth() { return Eigen::Quaterniond(Eigen::AngleAxisd(-M_PI / 2, Vec3::UnitZ())); }

// The kit's gyroscope and accelerometer noise for the hardware densities of the profile.
void realisticNoise(filtersim::SimulatorConfig& c, const KtMk4_700HardwareParams& h) {
  c.gyr.noiseDensity = h.ndGyr[0] * kZkf700NavigationDeg;
  c.acc.noiseDensity = h.ndAcc[0];
  c.mag.noiseDensity = 0.001;
}

TEST(Zkf700Navigation, NoiseFreeAttitudeWithoutGnssOrMagnetometer) {
  const Zkf700Params p = params(profile(0, kZkf700NavigationMag | kZkf700NavigationGps | kZkf700NavigationBaro | kZkf700NavigationHol));
  filtersim::SimulatorConfig c = simConfig(p);
  c.initialAttitude = yNorth();
  const std::vector<Segment> segments = {Segment::still(1.0),
                                         Segment::rotate(9.0, Vec3::UnitZ(), 10 * kZkf700NavigationDeg),
                                         Segment::still(1.0),
                                         Segment::tilt(3.0, Vec3::UnitX(), 30 * kZkf700NavigationDeg),
                                         Segment::rotate(6.0, Vec3(0.0, 0.6, 0.8), -8 * kZkf700NavigationDeg),
                                         Segment::tilt(3.0, Vec3::UnitY(), -20 * kZkf700NavigationDeg),
                                         Segment::still(2.0)};
  filtersim::MotionSimulator sim(c, segments);
  Driver d(p);
  filtersim::Sample s;
  double worst = 0.0;
  int steps = 0;
  while (sim.next(s)) {
    ASSERT_TRUE(d.step(s, nullptr, nullptr, false));
    worst = std::max(worst, angleBetween(d.output.m_orientation, toZelto(truthEnu(s))));
    ASSERT_EQ(d.output.m_filterMode, 0);
    ASSERT_EQ(d.output.m_latLongAlt[0], 0.0);
    ASSERT_EQ(d.output.m_velocity[1], 0.0);
    ++steps;
  }
  std::printf("noise-free attitude: worst %.3g rad over %d samples\n", worst, steps);
  EXPECT_LT(worst, 1e-6);
}

TEST(Zkf700Navigation, TiltInMotionWithTheAccelerationUpdate) {
  const KtMk4_700HardwareParams h = hardware();
  const Zkf700Params p = params(profile(0, kZkf700NavigationMag | kZkf700NavigationGps | kZkf700NavigationBaro | kZkf700NavigationHol));
  filtersim::SimulatorConfig c = simConfig(p, 3);
  c.initialAttitude = yNorth();
  realisticNoise(c, h);
  const std::vector<Segment> segments = {Segment::still(2.0),
                                         Segment::sinusoid(20.0, Vec3(1, 1, 0).normalized(), 60 * kZkf700NavigationDeg, 0.5),
                                         Segment::rotate(10.0, Vec3::UnitZ(), 30 * kZkf700NavigationDeg),
                                         Segment::sinusoid(20.0, Vec3(0, 1, 1).normalized(), 90 * kZkf700NavigationDeg, 1.0),
                                         Segment::still(5.0)};
  filtersim::MotionSimulator sim(c, segments);
  Driver d(p);
  filtersim::Sample s;
  filtersim::WindowedRms rms(500);
  double worst = 0.0;
  while (sim.next(s)) {
    d.step(s, nullptr, nullptr, false);
    const double tilt = filtersim::tiltError(toEigen(d.output.m_orientation), truthEnu(s));
    rms.add(tilt);
    if (s.t > 2.0) worst = std::max(worst, tilt);
  }
  std::printf("tilt in motion: worst %.3f deg, last 5 s RMS %.3f deg\n", worst / kZkf700NavigationDeg, rms.value() / kZkf700NavigationDeg);
  EXPECT_LT(worst, 1.0 * kZkf700NavigationDeg);
  EXPECT_LT(rms.value(), 0.3 * kZkf700NavigationDeg);
}

TEST(Zkf700Navigation, NoRotationWindowFindsTheGyroscopeBias) {
  const KtMk4_700HardwareParams h = hardware();
  const Zkf700Params p = params(profile(0, kZkf700NavigationMag | kZkf700NavigationGps | kZkf700NavigationBaro | kZkf700NavigationHol));
  filtersim::SimulatorConfig c = simConfig(p, 5);
  c.initialAttitude = yNorth();
  realisticNoise(c, h);
  c.gyr.bias = Vec3(0.004, -0.006, 0.003);
  filtersim::MotionSimulator sim(c, {Segment::still(14.0)});
  Driver d(p);
  filtersim::Sample s;
  int n = 0;
  while (sim.next(s)) {
    if (++n == 50) d.realTime.m_noRotationDuration = 10;
    d.step(s, nullptr, nullptr, false);
  }
  const zelto::Zkf700State& st = d.filter.state();
  for (int i = 0; i < 3; ++i) {
    double var = 0.0;
    for (int k = 0; k < 18; ++k) var += st.m_sQx(9 + i, k) * st.m_sQx(9 + i, k);
    const double err = st.m_xGyrBias[i] - c.gyr.bias[i];
    std::printf("bias %d: error %.2e, sigma %.2e\n", i, err, std::sqrt(var));
    EXPECT_LT(std::fabs(err), 3.0 * std::sqrt(var)) << i;
    EXPECT_LT(std::sqrt(var), 5e-4) << i;
  }
  EXPECT_FALSE(d.output.m_zruRunning);
  EXPECT_FALSE(d.output.m_zruAborted);
}

struct AidedResult {
  double position = 0.0, velocity = 0.0, heading = 0.0;  // worst after the settling time
};

AidedResult aidedRun(const Zkf700Params& p, uint64_t seed, bool withMag, double settle, double aboveSpeed) {
  const KtMk4_700HardwareParams h = hardware();
  filtersim::SimulatorConfig c = simConfig(p, seed);
  realisticNoise(c, h);
  filtersim::VehicleRoute route(0.3);
  route.stop(10).accelerate(5, 2).cruise(20).turn(9, M_PI / 18).cruise(20).accelerate(4, -1).turn(10, -M_PI / 20)
      .cruise(15).brakeToStop(1.5).stop(5);
  c.initialAttitude = route.initialAttitude();
  c.initialVelocity = route.initialVelocity();
  filtersim::MotionSimulator sim(c, route.segments());
  filtersim::GnssConfig g;
  g.rate = 1.0;
  g.sigmaHorizontal = 1.0;
  g.sigmaVertical = 1.0;
  g.sigmaVelocity = 0.05;
  g.seed = seed + 100;
  filtersim::GnssReceiver rx(g, sim.frame());
  filtersim::GeodeticFrame frame = sim.frame();
  Driver d(p);
  filtersim::Sample s;
  AidedResult r;
  while (sim.next(s)) {
    d.step(s, &rx, nullptr, withMag);
    if (s.t < settle) continue;
    if (d.output.m_filterMode != 3) continue;
    const Vec3 est = filtersim::GeodeticFrame::fromDegrees(toEigen3(d.output.m_latLongAlt));
    const Vec3 err = frame.geodeticToLocal(est) - s.position;
    r.position = std::max(r.position, err.norm());
    r.velocity = std::max(r.velocity, (toEigen3(d.output.m_velocity) - velocityEnu(s)).norm());
    if (s.velocity.norm() > aboveSpeed)
      r.heading = std::max(r.heading,
                           std::fabs(filtersim::headingError(toEigen(d.output.m_orientation), truthEnu(s))));
  }
  return r;
}

TEST(Zkf700Navigation, GnssAidedPositionVelocityAndHeading) {
  const Zkf700Params p = params(profile(kZkf700NavigationMag | kZkf700NavigationGps, kZkf700NavigationBaro | kZkf700NavigationHol));
  const AidedResult r = aidedRun(p, 21, true, 20.0, 0.0);
  std::printf("aided: position %.2f m, velocity %.3f m/s, heading %.2f deg\n", r.position, r.velocity,
              r.heading / kZkf700NavigationDeg);
  EXPECT_LT(r.position, 3.0);
  EXPECT_LT(r.velocity, 0.3);
  EXPECT_LT(r.heading, 2.0 * kZkf700NavigationDeg);
}

TEST(Zkf700Navigation, HolonomicConstraintGivesTheHeadingWithoutMagnetometer) {
  Zkf700ScenarioParams sc = profile(kZkf700NavigationGps | kZkf700NavigationHol, kZkf700NavigationMag | kZkf700NavigationBaro);
  Zkf700Params p;
  ZkfUserParams u = user();
  u.n_s_m = zelto::Vector3(1.0, 0.0, 0.0);  // the body x axis is the direction of travel
  p.initialize(sc, hardware(), u, zelto::Zkf700FilterSteps());
  const AidedResult r = aidedRun(p, 31, false, 30.0, p.velocityHolonomic);
  std::printf("holonomic: position %.2f m, velocity %.3f m/s, heading %.2f deg\n", r.position, r.velocity,
              r.heading / kZkf700NavigationDeg);
  EXPECT_LT(r.heading, 2.0 * kZkf700NavigationDeg);
}

TEST(Zkf700Navigation, BarometerHoldsTheAltitudeThroughAGnssOutage) {
  const KtMk4_700HardwareParams h = hardware();
  const Zkf700Params p = params(profile(kZkf700NavigationMag | kZkf700NavigationGps | kZkf700NavigationBaro, kZkf700NavigationHol));
  filtersim::SimulatorConfig c = simConfig(p, 41);
  realisticNoise(c, h);
  filtersim::VehicleRoute route(1.0);
  route.stop(10).accelerate(5, 1.5).cruise(25).climb(5, 0.1).cruise(40).stop(5);
  c.initialAttitude = route.initialAttitude();
  filtersim::MotionSimulator sim(c, route.segments());
  filtersim::GnssConfig g;
  g.sigmaHorizontal = g.sigmaVertical = 1.0;
  g.outages.push_back({50.0, 75.0});
  filtersim::GnssReceiver rx(g, sim.frame());
  filtersim::BarometerConfig bc;
  bc.sigma = 3.0;
  filtersim::Barometer baro(bc);
  Driver d(p);
  filtersim::Sample s;
  double worst = 0.0;
  int coasting = 0;
  while (sim.next(s)) {
    d.step(s, &rx, &baro, true);
    if (s.t > 55.0 && s.t < 75.0) {
      // Coasting: the fix is older than the outage threshold but younger than the coasting time.
      EXPECT_EQ(d.output.m_filterMode, 1) << s.t;
      ++coasting;
      worst = std::max(worst, std::fabs(d.output.m_latLongAlt[2] - s.latLongAltDeg.z()));
    }
  }
  // The barometer deviation of the hardware (0.5 m) plus the baseline's adaptation error.
  std::printf("barometer: worst altitude error in the outage %.2f m over %d samples\n", worst, coasting);
  EXPECT_GT(coasting, 1900);
  EXPECT_LT(worst, 3.0 * p.sQwBarometer(0, 0));
}

// The hundredfold vertical acceleration noise of position and velocity belongs to the local
// vertical: a sensor mounted on its side must get the same vertical velocity noise as a level
// one (scaling one element of R Qa would lose it there).
TEST(Zkf700Navigation, VerticalProcessNoiseDoesNotDependOnTheMounting) {
  const Zkf700Params p = params(profile(0, kZkf700NavigationMag | kZkf700NavigationGps | kZkf700NavigationBaro | kZkf700NavigationHol));
  double verticalVariance[2];
  const Eigen::Quaterniond mountings[2] = {yNorth(),
                                           yNorth() * Eigen::Quaterniond(Eigen::AngleAxisd(M_PI / 2, Vec3::UnitY()))};
  for (int m = 0; m < 2; ++m) {
    filtersim::SimulatorConfig c = simConfig(p);
    c.initialAttitude = mountings[m];
    filtersim::MotionSimulator sim(c, {Segment::still(0.05)});
    Driver d(p);
    filtersim::Sample s;
    sim.next(s);
    d.step(s, nullptr, nullptr, false);
    sim.next(s);
    zelto::Zkf700State before = d.filter.state();
    d.step(s, nullptr, nullptr, false);
    const zelto::Zkf700State& after = d.filter.state();
    double v1 = 0.0, v0 = 0.0;
    for (int k = 0; k < 18; ++k) {
      v1 += after.m_sQx(5, k) * after.m_sQx(5, k);
      v0 += before.m_sQx(5, k) * before.m_sQx(5, k);
    }
    verticalVariance[m] = v1 - v0;
  }
  std::printf("vertical velocity variance per step: level %.6g, on its side %.6g\n", verticalVariance[0],
              verticalVariance[1]);
  EXPECT_NEAR(verticalVariance[1], verticalVariance[0], 1e-6 * verticalVariance[0]);
  // And it is the hundredfold one: (100 dt ndAcc / sqrt(dt))^2.
  const double expected = std::pow(100.0 * p.sampleTime * p.sQwAcc(2, 2), 2.0);
  EXPECT_NEAR(verticalVariance[0], expected, 0.01 * expected);
}

}  // namespace
