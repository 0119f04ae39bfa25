// Orientation resets of the host-filtered tracker mid-stream, through ZtControl on a
// pseudo-terminal: heading reset, object reset, and the output turned by bit 31 of the output
// settings.
#include <gtest/gtest.h>

#include <cmath>

#include "trackers/KtixStreamRig.h"

namespace zelto::test {
namespace {

using filtersim::Quat;
using filtersim::Segment;
using filtersim::Vec3;
constexpr double kDeg = M_PI / 180.0;

Quat yawTilt(double yawDeg, double tiltDeg) {
  return Quat(Eigen::AngleAxisd(yawDeg * kDeg, Vec3::UnitZ())) * Quat(Eigen::AngleAxisd(tiltDeg * kDeg, Vec3::UnitX()));
}

TEST(KtixStream, ResetsMidStream) {
  // Still at yaw 30 degrees, level.
  {
    SCOPED_TRACE("heading reset");
    KtixStreamRig rig(streamConfig(100.0, yawTilt(30.0, 0.0)), {Segment::still(100.0)});
    ASSERT_TRUE(rig.opened);
    ASSERT_TRUE(rig.startMeasuring());
    ASSERT_TRUE(rig.burst(300));
    SeenPacket before = rig.collector.packets().back();
    EXPECT_NEAR(yawDeg(before.q), 30.0, 2.0);
    ASSERT_TRUE(rig.device->resetOrientation(ZRM_Heading));
    rig.clearCollected();
    ASSERT_TRUE(rig.burst(200));
    for (const SeenPacket& p : rig.collector.packets()) {
      EXPECT_NEAR(yawDeg(p.q), 0.0, 2.0);
      filtersim::Sample truth;
      ASSERT_TRUE(rig.stream->truth(p.counter, truth));
      EXPECT_LT(tiltErrorDeg(p.q, fromEigen(truth.q)), 1.0);
    }
  }
  // Still, tilted by 20 degrees about x: the object reset levels the output.
  {
    SCOPED_TRACE("object reset");
    KtixStreamRig rig(streamConfig(100.0, yawTilt(10.0, 20.0)), {Segment::still(100.0)});
    ASSERT_TRUE(rig.opened);
    ASSERT_TRUE(rig.startMeasuring());
    ASSERT_TRUE(rig.burst(300));
    const SeenPacket before = rig.collector.packets().back();
    EXPECT_NEAR(tiltErrorDeg(before.q, ZtQuaternion{1, 0, 0, 0}), 20.0, 1.0);
    ASSERT_TRUE(rig.device->resetOrientation(ZRM_Object));
    rig.clearCollected();
    ASSERT_TRUE(rig.burst(200));
    for (const SeenPacket& p : rig.collector.packets()) EXPECT_LT(tiltErrorDeg(p.q, ZtQuaternion{1, 0, 0, 0}), 1.0);
  }
  // Bit 31 of the output settings: the output is turned by 180 degrees about x.
  {
    SCOPED_TRACE("output settings bit 31");
    KtixStreamRig rig(streamConfig(100.0, yawTilt(40.0, 15.0)), {Segment::still(100.0)});
    ASSERT_TRUE(rig.opened);
    ASSERT_TRUE(rig.device->setOutputSettings(0x80000001u));
    ASSERT_TRUE(rig.startMeasuring());
    ASSERT_TRUE(rig.burst(300));
    const ZtQuaternion qx180{0, 1, 0, 0};
    for (const SeenPacket& p : rig.collector.packets()) {
      filtersim::Sample truth;
      ASSERT_TRUE(rig.stream->truth(p.counter, truth));
      if (truth.t < 1.0) continue;
      const ZtQuaternion expected = quatMul(qx180, fromEigen(truth.q));
      EXPECT_LT(tiltErrorDeg(p.q, expected), 1.0);
      EXPECT_LT(std::fabs(wrapDeg(headingErrorDeg(p.q, expected))), 2.0);
    }
  }
}

}  // namespace
}  // namespace zelto::test
