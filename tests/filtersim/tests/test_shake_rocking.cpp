// The shaking segment with rocking: the body swings about its axis by the given angle at the
// rocking frequency while the navigation acceleration is the shake's, and the sensors see both.
#include <gtest/gtest.h>

#include <cmath>

#include "filtersim/FilterMetrics.h"
#include "filtersim/MotionSimulator.h"

using namespace filtersim;

namespace {

TEST(ShakeRocking, AttitudeSwingsAboutTheStartWhileTheShakeAccelerates) {
  SimulatorConfig c;
  c.earthRate = false;
  c.initialAttitude = Quat(Eigen::AngleAxisd(0.4, Vec3::UnitZ()));
  const double angle = 8.0 * M_PI / 180.0, f = 0.9;
  const Vec3 amplitude(5.0, 5.0, 0.0), frequency(1.3, 0.9, 0.0);
  MotionSimulator sim(c, {Segment::shakeRocking(10.0, amplitude, frequency, Vec3::UnitX(), angle, f)});
  Sample s;
  Quat composed = c.initialAttitude;
  double worstAngle = 0.0, worstAttitude = 0.0, worstForce = 0.0;
  while (sim.next(s)) {
    // Roll about the body x axis of the start: angle sin(2 pi f t).
    const Quat expected = c.initialAttitude * Quat(Eigen::AngleAxisd(angle * std::sin(2.0 * M_PI * f * s.t), Vec3::UnitX()));
    worstAngle = std::max(worstAngle, attitudeError(c.initialAttitude, s.q));
    worstAttitude = std::max(worstAttitude, attitudeError(expected, s.q));
    composed = composed * s.dq;
    const Vec3 nav(amplitude.x() * std::sin(2.0 * M_PI * frequency.x() * s.t),
                   amplitude.y() * std::sin(2.0 * M_PI * frequency.y() * s.t), 0.0);
    EXPECT_LT((s.freeAcceleration - nav).norm(), 1e-9) << s.t;
    worstForce = std::max(worstForce, (s.q * s.acc - nav - Vec3(0.0, 0.0, c.gravity)).norm());
  }
  EXPECT_NEAR(worstAngle, angle, 1e-4);
  EXPECT_LT(worstAttitude, 1e-6);
  EXPECT_LT(attitudeError(composed, s.q), 1e-6);  // the increments carry the rocking
  EXPECT_LT(worstForce, 1e-9);
  // Without rocking the shake turns nothing.
  MotionSimulator plain(c, {Segment::shake(2.0, amplitude, frequency)});
  while (plain.next(s)) EXPECT_LT(attitudeError(c.initialAttitude, s.q), 1e-12);
}

}  // namespace
