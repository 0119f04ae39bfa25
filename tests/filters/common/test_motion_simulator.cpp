// The motion simulator itself: exact increments for a constant rotation, +g up when still,
// noise statistics within sampling bounds, reproducible data, and the metrics.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "filtersim/FilterMetrics.h"
#include "filtersim/MotionSimulator.h"

using namespace filtersim;

namespace {

TEST(MotionSimulator, StillAndLevelReadsGravityUpAndTheEarthRate) {
  SimulatorConfig c;
  c.latitude = 0.9;
  MotionSimulator sim(c, {Segment::still(1.0)});
  Sample s;
  int n = 0;
  while (sim.next(s)) {
    ++n;
    EXPECT_NEAR((s.acc - Vec3(0, 0, 9.81)).norm(), 0.0, 1e-12);
    EXPECT_NEAR((s.gyr - sim.earthRateNav()).norm(), 0.0, 1e-15);
    EXPECT_NEAR(s.T, 0.01, 1e-15);
    // Field: north and up components at zero declination.
    EXPECT_NEAR(s.mag.y(), 0.0, 1e-15);
    EXPECT_LT(s.mag.z(), 0.0);
  }
  EXPECT_EQ(n, 100);
  EXPECT_NEAR(sim.earthRateNav().norm(), 7.292115e-5, 1e-18);  // one turn per sidereal day
}

TEST(MotionSimulator, ConstantRotationGivesExactIncrementsAndTruth) {
  SimulatorConfig c;
  c.earthRate = false;
  const Vec3 axis = Vec3(1, -2, 0.5).normalized();
  const double rate = 3.0;
  MotionSimulator sim(c, {Segment::rotate(2.0, axis, rate)});
  Sample s;
  Quat composed = Quat::Identity();
  Vec3 velocityFromIncrements = Vec3::Zero();
  while (sim.next(s)) {
    const Quat expected(Eigen::AngleAxisd(rate * s.T, axis));
    EXPECT_LT(std::fabs(std::fabs(s.dq.dot(expected)) - 1.0), 1e-13);
    // The increment's dv, taken back to the navigation frame and with gravity removed, is the
    // change of the (zero) velocity.
    velocityFromIncrements += composed * s.dv - Vec3(0, 0, 9.81) * s.T;
    composed = composed * s.dq;
    EXPECT_LT(attitudeError(composed, s.q), 1e-11);
    EXPECT_NEAR((s.gyr - axis * rate).norm(), 0.0, 1e-12);
  }
  EXPECT_LT(velocityFromIncrements.norm(), 1e-9);
  EXPECT_NEAR(attitudeError(s.q, Quat(Eigen::AngleAxisd(6.0, axis))), 0.0, 1e-10);
}

TEST(MotionSimulator, NoiseHasTheDensityItWasGivenAndSeedsReproduce) {
  SimulatorConfig c;
  c.earthRate = false;
  c.gyr.noiseDensity = 0.01;
  c.acc.noiseDensity = 0.002;
  c.seed = 42;
  MotionSimulator sim(c, {Segment::still(100.0)});
  Sample s;
  double sumG = 0, sumG2 = 0, sumA2 = 0;
  int n = 0;
  std::vector<double> first;
  while (sim.next(s)) {
    sumG += s.gyr.x();
    sumG2 += s.gyr.x() * s.gyr.x();
    sumA2 += (s.acc.z() - 9.81) * (s.acc.z() - 9.81);
    if (n < 5) first.push_back(s.gyr.y());
    ++n;
  }
  const double sigmaG = 0.01 * std::sqrt(100.0), sigmaA = 0.002 * std::sqrt(100.0);
  // 10 000 samples: the sample standard deviation is within 3 % (about 4 of its own sigmas).
  EXPECT_NEAR(std::sqrt(sumG2 / n), sigmaG, 0.03 * sigmaG);
  EXPECT_NEAR(std::sqrt(sumA2 / n), sigmaA, 0.03 * sigmaA);
  EXPECT_NEAR(sumG / n, 0.0, 4 * sigmaG / std::sqrt(n));
  MotionSimulator again(c, {Segment::still(100.0)});
  for (double v : first) {
    ASSERT_TRUE(again.next(s));
    EXPECT_EQ(s.gyr.y(), v);
  }
}

TEST(MotionSimulator, SaturationMagneticEventsAndSegments) {
  SimulatorConfig c;
  c.earthRate = false;
  c.gyr.range = 1.0;
  c.mag.hardIron.push_back({{1.0, 2.0}, Vec3(0.5, 0, 0)});
  c.mag.zeroSamples.push_back({3.0, 3.5});
  MotionSimulator sim(c, {Segment::still(0.5), Segment::rotate(1.0, Vec3::UnitX(), 2.0), Segment::tilt(1.0, Vec3::UnitY(), M_PI / 2),
                          Segment::still(1.5)});
  Sample s;
  bool clipped = false, zero = false, offset = false;
  while (sim.next(s)) {
    if (s.t > 0.6 && s.t < 1.4) {
      EXPECT_TRUE(s.gyrClip[0]);
      EXPECT_EQ(s.gyr.x(), 1.0);
      clipped = clipped || s.incrementClipped;
    }
    if (s.t >= 3.0 && s.t < 3.5) zero = zero || s.mag.isZero();
    if (s.t > 2.6 && s.t < 2.9) {
      // Pitched by 90 degrees after the roll of 2 rad: magnitude and offset-free field.
      EXPECT_NEAR(s.mag.norm(), 1.0, 1e-9);
      EXPECT_NEAR(s.acc.norm(), 9.81, 1e-9);
    }
    if (s.t >= 1.0 && s.t < 1.5) offset = true;
  }
  EXPECT_TRUE(clipped);
  EXPECT_TRUE(zero);
  EXPECT_TRUE(offset);
  EXPECT_NEAR(sim.duration(), 4.0, 1e-12);
}

TEST(MotionSimulator, CoordinatedTurnKeepsSpeedAndTurnsTheVelocity) {
  SimulatorConfig c;
  c.earthRate = false;
  c.initialVelocity = Vec3(10, 0, 0);
  MotionSimulator sim(c, {Segment::turn(M_PI / 0.5, 0.5, 10.0)});
  Sample s;
  while (sim.next(s)) EXPECT_NEAR(s.velocity.norm(), 10.0, 1e-2);
  // Half a turn: heading and velocity reversed.
  EXPECT_NEAR(s.velocity.x(), 10.0 * std::cos(0.5 * s.t), 0.05);
  EXPECT_NEAR(std::fabs(headingError(s.q, Quat::Identity())), 0.5 * s.t, 1e-6);
}

TEST(FilterMetrics, ErrorsBandsAndInvariants) {
  const Quat truth(Eigen::AngleAxisd(0.3, Vec3(1, 2, 3).normalized()));
  const Quat yawed = Quat(Eigen::AngleAxisd(0.1, Vec3::UnitZ())) * truth;
  EXPECT_NEAR(headingError(yawed, truth), 0.1, 1e-12);
  EXPECT_NEAR(tiltError(yawed, truth), 0.0, 1e-12);
  const Quat tilted = Quat(Eigen::AngleAxisd(0.05, Vec3::UnitX())) * truth;
  EXPECT_NEAR(tiltError(tilted, truth), 0.05, 1e-12);
  EXPECT_NEAR(attitudeErrorVector(tilted, truth).x(), 0.05, 1e-12);

  Eigen::VectorXd e(2);
  e << 1, 2;
  Eigen::MatrixXd P = Eigen::MatrixXd::Identity(2, 2) * 4;
  EXPECT_NEAR(nees(e, P), 5.0 / 4, 1e-12);
  double lo, hi;
  chiSquareMeanBand(3, 20, 0.01, lo, hi);
  EXPECT_LT(lo, 3.0);
  EXPECT_GT(hi, 3.0);
  EXPECT_NEAR(lo, 35.53 / 20, 0.01);  // chi2(60) quantiles 0.005 / 0.995 are 35.53 and 91.95
  EXPECT_NEAR(hi, 91.95 / 20, 0.01);

  WindowedRms rms(4);
  for (double v : {10.0, 1.0, 1.0, 1.0, 1.0}) rms.add(v);
  EXPECT_NEAR(rms.value(), 1.0, 1e-15);

  const double lower[9] = {1, 0, 0, 2, 3, 0, 4, 5, 6};
  const double upper[9] = {1, 1e-300, 0, 2, 3, 0, 4, 5, 6};
  EXPECT_TRUE(isLowerTriangular(lower, 3, 3, 3));
  EXPECT_FALSE(isLowerTriangular(upper, 3, 3, 3));
  EXPECT_TRUE(isUnitQuaternion(1, 0, 0, 0));
  EXPECT_FALSE(isUnitQuaternion(1 + 1e-11, 0, 0, 0));
  const double bad[2] = {1.0, NAN};
  EXPECT_FALSE(allFinite(bad, 2));
}

}  // namespace
