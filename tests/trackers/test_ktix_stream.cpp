// The host-filtered tracker through ZtControl on a pseudo-terminal: a 60 s trajectory at 100 Hz
// followed against its truth.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <vector>

#include "trackers/KtixStreamRig.h"

namespace zelto::test {
namespace {

using filtersim::Quat;
using filtersim::Segment;
using filtersim::Vec3;
constexpr double kKtixStreamDeg = M_PI / 180.0;

// The 60 s trajectory: still, tilted, 90 deg/s about a tilted axis, a sinusoid, still. Under the
// sanitizers the final still part is 10 s instead of 30 s (the program stays short there).
#ifdef ZDA_UNDER_SANITIZER
constexpr double kFinalStill = 10.0;
#else
constexpr double kFinalStill = 30.0;
#endif
constexpr int kSamples = static_cast<int>((30.0 + kFinalStill) * 100.0);

std::vector<Segment> sixtySeconds() {
  return {Segment::still(5.0),
          Segment::tilt(2.0, Vec3(1.0, 1.0, 0.0), 30.0 * kKtixStreamDeg),
          Segment::still(3.0),
          Segment::rotate(8.0, Vec3(0.3, 0.2, 1.0), 90.0 * kKtixStreamDeg),
          Segment::still(2.0),
          Segment::sinusoid(10.0, Vec3(1.0, 0.0, 0.5), 60.0 * kKtixStreamDeg, 0.5),
          Segment::still(kFinalStill)};
}

bool stillAt(double t) {
  // Still windows, each from a second after it began (the low-passed free acceleration settles).
  return (t >= 1.0 && t < 5.0) || (t >= 8.0 && t < 10.0) || (t >= 19.0 && t < 20.0) || (t >= 31.0);
}

TEST(KtixStream, SixtySecondsAtOneHundredHertzFollowTheTruth) {
  RawStreamOptions options;
  options.statusOmittedEvery = 50;
  KtixStreamRig rig(streamConfig(100.0, yawTilt(20.0, 0.0)), sixtySeconds(), [](TrackerModel&) {}, 1152, options);
  ASSERT_TRUE(rig.opened);
  ASSERT_NE(rig.ktix, nullptr);
  ASSERT_EQ(rig.ktix->updateRate(), 100);
  ASSERT_TRUE(rig.startMeasuring());
  for (int i = 0; i < kSamples / 1000; ++i) ASSERT_TRUE(rig.burst(1000)) << i;
  const std::vector<SeenPacket> packets = rig.collector.packets();
  ASSERT_GE(packets.size(), static_cast<size_t>(kSamples));

  double maxTilt = 0, maxHeading = 0, maxFree = 0;
  size_t compared = 0, settled = 0, withStatus = 0, withoutStatus = 0;
  for (size_t i = 0; i < packets.size(); ++i) {
    const SeenPacket& p = packets[i];
    ASSERT_TRUE(p.hasCounter);
    // Every packet, in order.
    ASSERT_EQ(p.counter, static_cast<uint16_t>(i)) << i;
    ASSERT_TRUE(p.hasOrientation) << i;
    ASSERT_EQ(p.frame, 0x0008);
    ASSERT_TRUE(p.hasFreeAcceleration);
    ASSERT_TRUE(p.finite);
    filtersim::Sample truth;
    ASSERT_TRUE(rig.stream->truth(p.counter, truth));
    // The status goes where the tracker sent one, and only there.
    EXPECT_EQ(p.hasStatus, p.counter % 50 != 49) << i;
    p.hasStatus ? ++withStatus : ++withoutStatus;
    if (truth.t < 5.0) continue;
    const ZtQuaternion q = fromEigen(truth.q);
    maxTilt = std::max(maxTilt, tiltErrorDeg(p.q, q));
    maxHeading = std::max(maxHeading, std::fabs(wrapDeg(headingErrorDeg(p.q, q))));
    ++compared;
    if (p.hasStatus) {
      EXPECT_EQ(p.status & 0x18u, 0u);
      if (p.status & 0x02u) ++settled;
    }
    if (stillAt(truth.t)) {
      const double* f = p.freeAcceleration;
      maxFree = std::max(maxFree, std::sqrt(f[0] * f[0] + f[1] * f[1] + f[2] * f[2]));
    }
  }
  std::printf("60 s at 100 Hz: max tilt error %.3f deg, max heading error %.3f deg, max still free acceleration "
              "%.4f m/s^2, settled %zu of %zu\n",
              maxTilt, maxHeading, maxFree, settled, compared);
  EXPECT_GT(compared, static_cast<size_t>(kSamples - 600));
  // Noise of 0.005 rad/s on the rate, 0.02 m/s^2 and 0.005 of the field per sample: the tilt
  // stays within 1 degree and the heading within 2 degrees.
  EXPECT_LT(maxTilt, 1.0);
  EXPECT_LT(maxHeading, 2.0);
  EXPECT_LT(maxFree, 0.15);
  EXPECT_GE(withoutStatus, static_cast<size_t>(kSamples / 50));
  EXPECT_GT(withStatus, static_cast<size_t>(kSamples * 9 / 10));
  // Settled: the filter reports it on (nearly) every packet after the start.
  EXPECT_GT(settled, compared * 9 / 10 - withoutStatus);
}

}  // namespace
}  // namespace zelto::test
