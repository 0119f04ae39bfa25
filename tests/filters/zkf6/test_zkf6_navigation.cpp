// The Zkf6 filter on simulated drives (curved earth, 1 Hz GNSS with a 1.5 m lever arm):
// accuracy against the truth, a GNSS outage, the barometer.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

#include "Zkf6TestTuning.h"

using namespace zkf6test;

namespace {

struct Stats {
  double sum2[3] = {0, 0, 0};
  double vel2 = 0;
  int n = 0;
  double worstHeadingAfterTurn = 0;
};

TEST(Zkf6Navigation, DriveWithinTheGnssAccuracy) {
  Drive setup;
  setup.declinationErrorDeg = 8.0;  // the magnetometer's heading is off: GNSS motion must fix it
  setup.scenario.updateSwitches = zelto::Zkf6ScenarioParams::kGpsUpdate;
  NavigationRig rig(setup);
  Stats st;
  while (rig.step()) {
    ASSERT_TRUE(rig.ok());
    const double t = rig.sample().t;
    if (t < 30) continue;
    const Vec3 e = rig.positionError();
    for (int i = 0; i < 3; ++i) st.sum2[i] += e[i] * e[i];
    st.vel2 += rig.velocityError().squaredNorm();
    ++st.n;
    if (t > 55) st.worstHeadingAfterTurn = std::max(st.worstHeadingAfterTurn, std::fabs(rig.headingError()));
  }
  const double rmsN = std::sqrt(st.sum2[0] / st.n), rmsW = std::sqrt(st.sum2[1] / st.n),
               rmsU = std::sqrt(st.sum2[2] / st.n), rmsV = std::sqrt(st.vel2 / (3 * st.n));
  std::printf("rms N %.3f W %.3f U %.3f vel %.4f heading %.3f deg\n", rmsN, rmsW, rmsU, rmsV,
              st.worstHeadingAfterTurn / GeodeticFrame::kDeg);
  EXPECT_LT(rmsN, 1.5);
  EXPECT_LT(rmsW, 1.5);
  EXPECT_LT(rmsU, 3.0);
  EXPECT_LT(rmsV, 0.1);
  EXPECT_LT(st.worstHeadingAfterTurn, 2.0 * GeodeticFrame::kDeg);
  EXPECT_TRUE(rig.output().valid);
}

}  // namespace
