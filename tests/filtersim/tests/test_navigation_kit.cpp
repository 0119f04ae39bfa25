// The navigation test kit: geodetic truth (WGS-84 round trips, frame adapters, radii, gravity),
// the curved-earth simulator checked by an independent strapdown mechanisation, the vehicle
// route, the IMU error models, the GNSS receiver and the barometer.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "filtersim/Barometer.h"
#include "filtersim/FilterMetrics.h"
#include "filtersim/GeodeticFrame.h"
#include "filtersim/GnssReceiver.h"
#include "filtersim/MotionSimulator.h"
#include "filtersim/VehicleRoute.h"

using namespace filtersim;
using G = GeodeticFrame;

namespace {

constexpr double kDeg = M_PI / 180.0;

TEST(GeodeticFrame, Wgs84RoundTripsToAMillimetreEverywhere) {
  EXPECT_NEAR((G::toEcef(Vec3::Zero()) - Vec3(G::kSemiMajor, 0, 0)).norm(), 0.0, 1e-9);
  EXPECT_NEAR(G::toEcef(Vec3(M_PI / 2, 0, 0)).z(), G::kSemiMajor * (1 - G::kFlattening), 1e-8);
  const double lats[] = {-90, -89.999, -45, 0, 1e-7, 33.3, 60, 89.9999, 90};
  const double heights[] = {-400, 0, 1234.5, 9e5};
  for (double lat : lats)
    for (double h : heights) {
      const Vec3 g(lat * kDeg, 123.4 * kDeg, h);
      const Vec3 e = G::toEcef(g);
      const Vec3 back = G::fromEcef(e);
      // Compare as positions: the longitude is undefined at the poles.
      EXPECT_LT((G::toEcef(back) - e).norm(), 1e-3) << lat << " " << h;
      EXPECT_NEAR(back.z(), h, 1e-3) << lat << " " << h;
      EXPECT_NEAR(back.x(), g.x(), 1e-3 / G::kSemiMajor);
    }
  // Local frame: 20 km away and back, and the axes point where they should.
  const G frame = G::fromDegrees(47.3, 8.5, 400);
  const Vec3 local(12000, -20000, 150);
  EXPECT_LT((frame.geodeticToLocal(frame.localToGeodetic(local)) - local).norm(), 1e-6);
  const Vec3 north = frame.localToGeodetic(Vec3(100, 0, 0));
  const Vec3 west = frame.localToGeodetic(Vec3(0, 100, 0));
  EXPECT_GT(north.x(), frame.origin().x());
  EXPECT_LT(west.y(), frame.origin().y());
  EXPECT_NEAR(frame.localToGeodetic(Vec3(0, 0, 10)).z(), 410.0, 1e-6);
}

TEST(GeodeticFrame, EnuAdapterKeepsPhysicalDirections) {
  const Quat q = Quat(Eigen::AngleAxisd(0.7, Vec3(0.2, -1, 0.4).normalized()));
  const Vec3 body(1.5, -0.3, 2.0);
  // The same body vector seen in either frame.
  EXPECT_LT((G::enuFromNwu(q * body) - G::enuFromNwu(q) * body).norm(), 1e-14);
  EXPECT_LT((G::nwuFromEnu(G::enuFromNwu(q)).coeffs() - q.coeffs()).norm(), 1e-15);
  EXPECT_EQ(G::enuFromNwu(Vec3(1, 2, 3)), Vec3(-2, 1, 3));  // north 1, west 2 -> east -2, north 1
  EXPECT_EQ(G::nwuFromEnu(G::enuFromNwu(Vec3(1, 2, 3))), Vec3(1, 2, 3));
  EXPECT_EQ(G::nedFromNwu(Vec3(1, 2, 3)), Vec3(1, -2, -3));
  // Heading: a body x pointing north in NWU points north (ENU y) after the adapter.
  EXPECT_LT((G::enuFromNwu(Quat::Identity()) * Vec3::UnitX() - Vec3::UnitY()).norm(), 1e-15);
}

TEST(GeodeticFrame, RadiiRatesAndGravityModels) {
  double m = 0, n = 0;
  G::radii(0.0, m, n);
  EXPECT_NEAR(n, G::kSemiMajor, 1e-6);
  EXPECT_NEAR(m, G::kSemiMajor * (1 - G::kE2), 1e-6);
  G::radii(M_PI / 2, m, n);
  EXPECT_NEAR(m, n, 1e-6);
  // The meridian radius is the metre length of a latitude step: compare with ECEF chords.
  const double lat = 51 * kDeg, d = 1e-5;
  G::radii(lat, m, n);
  const double chord = (G::toEcef(Vec3(lat + d / 2, 0, 0)) - G::toEcef(Vec3(lat - d / 2, 0, 0))).norm();
  EXPECT_NEAR(chord / d, m, 1e-3);
  const double arc = (G::toEcef(Vec3(lat, d / 2, 0)) - G::toEcef(Vec3(lat, -d / 2, 0))).norm();
  EXPECT_NEAR(arc / d, n * std::cos(lat), 1e-3);
  EXPECT_NEAR(G::earthRateNwu(M_PI / 2).z(), G::kEarthRate, 1e-20);
  EXPECT_NEAR(G::gravity(G::Gravity::Igf1980, 0, 0), 9.780327, 1e-12);
  EXPECT_NEAR(G::gravity(G::Gravity::Normal, 0, 0), 9.7803253359, 1e-10);
  EXPECT_NEAR(G::gravity(G::Gravity::Normal, M_PI / 2, 0), 9.8321849378, 1e-8);
  EXPECT_NEAR(G::gravity(G::Gravity::Igf1980, 0, 1000), 9.780327 - 3.086e-3, 1e-12);
  EXPECT_EQ(G::gravity(G::Gravity::Constant, 1, 1000, 9.5), 9.5);
}

// An independent local-level mechanisation from the samples' mean rate and force: the curved
// simulator must be consistent with the navigation equations the filters use.
TEST(CurvedEarthSimulator, AStrapdownMechanisationFollowsTheTruth) {
  SimulatorConfig c;
  c.latitude = 60 * kDeg;
  c.longitude = 10 * kDeg;
  c.altitude = 300;
  c.curvedEarth = true;
  c.gravityModel = G::Gravity::Normal;
  c.outputRate = 200;
  VehicleRoute route(0.6, 25.0);
  route.cruise(20).turn(10, 0.15).climb(4, 0.1).cruise(20).climb(4, -0.1).accelerate(5, -2).cruise(10);
  c.initialAttitude = route.initialAttitude();
  c.initialVelocity = route.initialVelocity();
  MotionSimulator sim(c, route.segments());
  Sample s;
  Quat q = c.initialAttitude;
  Vec3 v = c.initialVelocity;
  Vec3 geo(c.latitude, c.longitude, c.altitude);
  double worstPos = 0, worstAtt = 0;
  double travelled = 0;
  while (sim.next(s)) {
    const Vec3 navRate = G::earthRateNwu(geo.x()) + G::transportRateNwu(geo, v);
    const Vec3 vdot = q * s.meanSpecificForce() - (G::earthRateNwu(geo.x()) * 2 + G::transportRateNwu(geo, v)).cross(v) -
                      Vec3(0, 0, G::gravity(G::Gravity::Normal, geo.x(), geo.z()));
    const Vec3 vNew = v + vdot * s.T;
    geo += G::geodeticRate(geo, 0.5 * (v + vNew)) * s.T;
    q = Quat(Eigen::AngleAxisd(-navRate.norm() * s.T, navRate.normalized())) * q * s.dq;
    q.normalize();
    v = vNew;
    travelled += v.norm() * s.T;
    worstPos = std::max(worstPos, (sim.frame().geodeticToLocal(geo) - s.position).norm());
    worstAtt = std::max(worstAtt, attitudeError(q, s.q));
  }
  EXPECT_GT(travelled, 1500.0);
  EXPECT_LT(worstPos, 0.01);
  EXPECT_LT(worstAtt, 1e-6);
  // The earth's curvature shows: after the drive the ground has dropped away from the tangent
  // plane although the route climbed and descended by the same angle.
  double m = 0, n = 0;
  G::radii(c.latitude, m, n);
  const double horizontal = s.position.head<2>().norm();
  EXPECT_NEAR(s.position.z() - (s.latLongAltDeg.z() - c.altitude), -horizontal * horizontal / (2 * n), 0.3);
}

TEST(CurvedEarthSimulator, StillBodyReadsEarthRateAndModelGravity) {
  SimulatorConfig c;
  c.latitude = -35 * kDeg;
  c.curvedEarth = true;
  c.gravityModel = G::Gravity::Igf1980;
  MotionSimulator sim(c, {Segment::still(0.5)});
  Sample s;
  while (sim.next(s)) {
    EXPECT_LT((s.gyr - G::earthRateNwu(c.latitude)).norm(), 1e-15);
    EXPECT_NEAR(s.acc.z(), G::gravity(G::Gravity::Igf1980, c.latitude, 0), 1e-12);
    EXPECT_NEAR(s.latLongAltDeg.x(), -35.0, 1e-12);
  }
}

TEST(VehicleRoute, BodyAxisFollowsTheVelocityThroughTurnsSlopesAndStops) {
  SimulatorConfig c;
  c.earthRate = false;
  VehicleRoute route(1.0);
  route.stop(2).accelerate(4, 2.5).turn(6, 0.25).climb(3, 0.08).cruise(5).climb(3, -0.08).brakeToStop(2).stop(3);
  EXPECT_NEAR(route.speed(), 0.0, 1e-12);
  c.initialAttitude = route.initialAttitude();
  MotionSimulator sim(c, route.segments());
  Sample s;
  double maxUp = 0, maxSide = 0;
  int stillSamples = 0;
  while (sim.next(s)) {
    const double speed = s.velocity.norm();
    if (speed > 0.5) {
      const Vec3 bodyVelocity = s.q.conjugate() * s.velocity;
      maxSide = std::max(maxSide, bodyVelocity.tail<2>().norm() / speed);
    }
    maxUp = std::max(maxUp, s.velocity.z());
    if (speed < 1e-9 && s.bodyRate.norm() == 0.0) ++stillSamples;
  }
  EXPECT_LT(maxSide, 1e-6);
  EXPECT_NEAR(maxUp, 10.0 * std::sin(0.08), 0.01);  // 10 m/s on a 0.08 rad slope
  EXPECT_NEAR(s.velocity.norm(), 0.0, 1e-9);
  EXPECT_GE(stillSamples, 450);  // both stops
}

TEST(ImuErrors, GaussMarkovBiasScaleFactorAndMisalignment) {
  SimulatorConfig c;
  c.earthRate = false;
  c.acc.markovSigma = 0.02;
  c.acc.markovTau = 5.0;
  c.truthRate = 200;
  c.outputRate = 100;
  MotionSimulator sim(c, {Segment::still(1000.0)});
  Sample s;
  std::vector<double> b;
  while (sim.next(s)) b.push_back(s.accBias.x());
  double sum2 = 0;
  for (double x : b) sum2 += x * x;
  EXPECT_NEAR(std::sqrt(sum2 / b.size()), 0.02, 0.02 * 0.15);
  // Correlation at lag tau is e^-1.
  double lag = 0;
  const size_t k = 500;
  for (size_t i = 0; i + k < b.size(); ++i) lag += b[i] * b[i + k];
  EXPECT_NEAR(lag / (b.size() - k) / (sum2 / b.size()), std::exp(-1.0), 0.12);

  SimulatorConfig d;
  d.earthRate = false;
  d.acc.scaleMisalignment << 1.01, 0.002, 0, 0, 1, 0, 0.003, 0, 0.99;
  d.gyr.scaleMisalignment = Eigen::Matrix3d::Identity() * 1.02;
  MotionSimulator sim2(d, {Segment::rotate(1.0, Vec3::UnitZ(), 1.0)});
  while (sim2.next(s)) {
    EXPECT_NEAR(s.acc.z(), 0.99 * 9.81, 1e-12);
    EXPECT_NEAR(s.acc.y(), 0.0, 1e-12);
    EXPECT_NEAR(s.gyr.z(), 1.02, 1e-12);
    EXPECT_NEAR(s.meanRate().z(), 1.02, 1e-9);
  }
}

struct GnssRun {
  std::vector<GnssFix> fixes;
  std::vector<uint8_t> ages;
};

GnssRun runGnss(const GnssConfig& g, double seconds, const std::vector<Segment>& motion = {}) {
  SimulatorConfig c;
  c.earthRate = false;
  c.latitude = 45 * kDeg;
  c.truthRate = 200;
  c.outputRate = 100;
  MotionSimulator sim(c, motion.empty() ? std::vector<Segment>{Segment::still(seconds)} : motion);
  GnssReceiver rx(g, sim.frame());
  GnssRun r;
  Sample s;
  while (sim.next(s)) {
    if (rx.update(s)) r.fixes.push_back(rx.last());
    r.ages.push_back(rx.age());
  }
  return r;
}

TEST(GnssReceiver, ErrorStatisticsMatchTheConfiguration) {
  GnssConfig g;
  g.rate = 10;
  g.markovHorizontal = 1.0;
  g.markovTau = 20;
  const GnssRun r = runGnss(g, 600);
  ASSERT_EQ(r.fixes.size(), 6001u);  // 0 to 600 s
  Vec3 sum2 = Vec3::Zero();
  double v2 = 0, lag = 0, var0 = 0;
  const G frame = G::fromDegrees(45, 0, 0);
  for (size_t i = 0; i < r.fixes.size(); ++i) {
    const GnssFix& f = r.fixes[i];
    const Vec3 measured = frame.geodeticToLocal(G::fromDegrees(f.latLongAltDeg));
    // The reported position carries exactly the drawn error.
    ASSERT_LT((measured - f.antennaTruthLocal - f.positionError).norm(), 1e-3);
    sum2 += f.positionError.cwiseAbs2();
    v2 += G::nwuFromNed(f.velNorthEastDown).squaredNorm();
    if (i >= 200) lag += f.positionError.x() * r.fixes[i - 200].positionError.x();
    var0 += f.positionError.x() * f.positionError.x();
  }
  const double n = static_cast<double>(r.fixes.size());
  EXPECT_NEAR(std::sqrt(sum2.x() / n), std::hypot(1.5, 1.0), 0.25);
  EXPECT_NEAR(std::sqrt(sum2.z() / n), 3.0, 0.15);
  EXPECT_NEAR(std::sqrt(v2 / (3 * n)), 0.1, 0.005);
  // The white part decorrelates at once; the Gauss-Markov part keeps e^-1 of its variance at tau.
  EXPECT_NEAR(lag / (n - 200) / (var0 / n), std::exp(-1.0) * 1.0 / (1.0 + 2.25), 0.12);
  EXPECT_EQ(r.fixes[0].hAcc, std::hypot(1.5, 1.0));
  EXPECT_EQ(r.fixes[0].vAcc, 3.0);
  EXPECT_EQ(r.fixes[0].sAcc, 0.1);
}

TEST(GnssReceiver, LeverArmFollowsTheBodyAndItsRotation) {
  GnssConfig g;
  g.rate = 5;
  g.sigmaHorizontal = g.sigmaVertical = g.sigmaVelocity = 0;
  g.leverArm = Vec3(1.5, 0, 0.5);
  const GnssRun r = runGnss(g, 4, {Segment::rotate(4, Vec3::UnitZ(), 0.5)});
  ASSERT_EQ(r.fixes.size(), 21u);  // epochs 0 to 4 s: the first at the first sample
  for (const GnssFix& f : r.fixes) {
    const Quat q(Eigen::AngleAxisd(0.5 * f.t, Vec3::UnitZ()));
    EXPECT_LT((f.antennaTruthLocal - q * g.leverArm).norm(), 1e-6);
    // Velocity of the antenna: 0.5 rad/s on a 1.5 m arm.
    EXPECT_NEAR(f.velNorthEastDown.head<2>().norm(), 0.75, 1e-9);
  }
}

TEST(GnssReceiver, AccuraciesOutagesOutliersAndAgeCounters) {
  struct Case {
    GnssConfig::Accuracy accuracy;
    bool nan;
    double expected;
  };
  for (const Case& k : {Case{GnssConfig::Accuracy::Optimistic, false, 0.45}, Case{GnssConfig::Accuracy::NaN, true, 0},
                        Case{GnssConfig::Accuracy::Zero, false, 0.0}, Case{GnssConfig::Accuracy::Negative, false, -1.5}}) {
    GnssConfig g;
    g.accuracy = k.accuracy;
    const GnssRun r = runGnss(g, 1.5);
    ASSERT_FALSE(r.fixes.empty());
    if (k.nan)
      EXPECT_TRUE(std::isnan(r.fixes[0].hAcc));
    else
      EXPECT_DOUBLE_EQ(r.fixes[0].hAcc, k.expected);
  }

  GnssConfig g;
  g.rate = 1;
  g.outages = {{10.0, 310.0}};
  g.outliers = {{{5.0, 6.0}, Vec3(40, 0, 0), 0.5}};
  GnssRun r = runGnss(g, 320);
  EXPECT_EQ(r.fixes.size(), 10u + 11u);  // 0..9 and 310..320 s
  EXPECT_NEAR(r.fixes[5].positionError.x(), 40.0, 8.0);
  EXPECT_EQ(r.fixes[5].hAcc, 0.5);
  // Sample i is at (i + 1) * 10 ms: the fixes of 1 s and 9 s are at samples 99 and 899.
  EXPECT_EQ(r.ages.front(), 0);
  EXPECT_EQ(r.ages[98], 98);
  EXPECT_EQ(r.ages[99], 0);
  EXPECT_EQ(r.ages[2000], 254);  // saturated in the outage
  EXPECT_EQ(r.ages[30999], 0);   // the fix after it

  g.ageMode = GnssConfig::AgeMode::Wrapping;
  r = runGnss(g, 320);
  EXPECT_EQ(r.ages[899 + 255], 255);
  EXPECT_EQ(r.ages[899 + 256], 0);  // a stale fix looks new after 256 samples
  g.ageMode = GnssConfig::AgeMode::Absent;
  r = runGnss(g, 12);
  EXPECT_EQ(r.ages[99], 0);
  EXPECT_EQ(r.ages[100], 255);
}

TEST(Barometer, PressureOfAltitudeNoiseAndDrift) {
  EXPECT_NEAR(Barometer::pressureAt(0), 101325.0, 1e-9);
  EXPECT_NEAR(Barometer::altitudeAt(Barometer::pressureAt(1234.5)), 1234.5, 1e-9);
  EXPECT_NEAR(Barometer::pressureAt(100) - Barometer::pressureAt(0), -1200, 15);  // about 12 Pa per m
  SimulatorConfig c;
  c.earthRate = false;
  c.altitude = 500;
  c.truthRate = 100;
  c.outputRate = 100;
  MotionSimulator sim(c, {Segment::still(360)});
  BarometerConfig bc;
  bc.rate = 25;
  Barometer baro(bc);
  Sample s;
  double sum = 0, sum2 = 0;
  int n = 0;
  std::vector<uint8_t> ages;
  while (sim.next(s)) {
    if (baro.update(s)) {
      const double e = baro.pressure() - Barometer::pressureAt(500) - baro.driftAt(s.t);
      sum += e;
      sum2 += e * e;
      ++n;
      EXPECT_DOUBLE_EQ(baro.pressureTwoPa() * 2, baro.pressure());
    }
    ages.push_back(baro.age());
  }
  EXPECT_EQ(n, 9001);  // 0 to 360 s
  EXPECT_NEAR(sum / n, 0.0, 0.3);
  EXPECT_NEAR(std::sqrt(sum2 / n), 6.0, 0.3);
  EXPECT_NEAR(baro.driftAt(3600), 100.0, 1e-9);
  EXPECT_EQ(ages[0], 0);
  EXPECT_EQ(ages[2], 2);
  EXPECT_EQ(ages[3], 0);
}

}  // namespace
