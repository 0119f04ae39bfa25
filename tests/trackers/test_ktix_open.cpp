// The host-filtered tracker through ZtControl on a pseudo-terminal: opened by the factory and
// initialised with the built-in profiles, hardware parameters from the "KT9" entry or page 5;
// orientation resets mid-stream (heading, object) and the output turned by bit 31 of the output
// settings.
#include <gtest/gtest.h>

#include <cmath>

#include "filters/common/KtHardwareParams.h"
#include "trackers/KtixStreamRig.h"

namespace zelto::test {
namespace {

using filtersim::Quat;
using filtersim::Segment;
using filtersim::Vec3;
constexpr double kKtixOpenDeg = M_PI / 180.0;

TEST(KtixOpen, TheFactoryMakesTheTrackerWithTheBuiltInProfiles) {
  KtixStreamRig rig(streamConfig(100.0), {Segment::still(1.0)});
  ASSERT_TRUE(rig.opened);
  ASSERT_NE(rig.ktix, nullptr);
  EXPECT_TRUE(rig.ktix->isInitialized());
  EXPECT_TRUE(rig.ktix->hasZkfFilter());
  const ZtFilterProfile current = rig.ktix->zdaFilterProfile();
  EXPECT_EQ(current.type, 1);
  EXPECT_EQ(current.filterType, '3');
  EXPECT_STREQ(current.label, "general");
  // Only the ZKF-3 scenario of the built-in list suits this tracker.
  const std::vector<ZtFilterProfile> host = rig.ktix->availableZdaFilterProfiles();
  ASSERT_EQ(host.size(), 1u);
  EXPECT_EQ(host[0].type, 1);
  // The emulated record has hardware 1.2 and page 5: the "KT9" entry comes first.
  EXPECT_EQ(rig.ktix->hardwareParameters().acc_range, 80.0);
  EXPECT_EQ(rig.ktix->hardwareParameters().hardwareType(), "A3G2-MTX");
}

TEST(KtixOpen, HardwareFromTheEntryWithoutPage5AndFromPage5WithoutEntry) {
  const struct {
    const char* name;
    bool page5;
    uint16_t hardwareVersion;
    double accRange;
  } cases[] = {
      {"entry, record without page 5", false, 0x0102, 80.0},
      {"no entry matches, page 5", true, 0x0103, 17.0},
      {"1.8 counts as 1.0: no entry, page 5", true, 0x0108, 17.0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    KtixStreamRig rig(streamConfig(100.0), {Segment::still(1.0)}, [&](TrackerModel& m) {
      m.page5 = c.page5;
      m.hardwareVersion = c.hardwareVersion;
    });
    ASSERT_TRUE(rig.opened);
    ASSERT_NE(rig.ktix, nullptr);
    EXPECT_NEAR(rig.ktix->hardwareParameters().acc_range, c.accRange, 1e-6);
    EXPECT_TRUE(rig.ktix->hasZkfFilter());
  }
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
