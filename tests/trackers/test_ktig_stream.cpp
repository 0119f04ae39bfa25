// The GNSS-aided tracker (factory type 11) end to end through the C interface: a control opens a
// pseudo-terminal served by the emulator in its GNSS-aided mode, which streams raw samples of a
// vehicle drive (the navigation kit's curved-earth truth through the record's calibration) with
// GNSS PVT items at the receiver's rate. The Zkf6 output (position, velocity, orientation) is
// compared with the truth by counter, in north-west-up and, with bit 31 of the output settings,
// in north-east-down; an object reset turns the lever arm once; a 30 s GNSS outage shows in the
// status and the output recovers after it; a recording replays to the same outputs.
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "filters/zkf6/Zkf6Params.h"
#include "filtersim/FilterMetrics.h"
#include "support/TempDir.h"
#include "trackers/KtigStreamRig.h"

namespace zelto::test {
namespace {

constexpr double kDeg = M_PI / 180.0;

// Estimate minus truth of the position, north-west-up metres about the drive's origin.
Vec3 positionError(const GeodeticFrame& frame, const NavPacket& p, const filtersim::Sample& s) {
  return frame.geodeticToLocal(GeodeticFrame::fromDegrees(p.lla)) - s.position;
}

// The sensor sits on the vehicle rolled by 20 degrees about the vehicle's x axis (forward), so
// the object frame is the vehicle's: v_sensor = R(N) v_object with N the rotation by -20 degrees.
const Quat kMount(Eigen::AngleAxisd(20.0 * kDeg, Vec3::UnitX()));

TEST(KtigStream, DriveWithObjectResetAndAThirtySecondOutageInNorthWestUp) {
  const Quat vehicle(Eigen::AngleAxisd(0.4, Vec3::UnitZ()));
  // Still 20 s, 10 m/s after 5 s, 20 s at that speed, braking, still 40 s (the outage from 55 to
  // 85 s), and off again: 110 s. (Without the holonomic switch the filter coasts through an
  // outage on zero-velocity updates, which hold only while the vehicle stands.)
  std::vector<Segment> drive = {Segment::still(20.0),       Segment::forward(5.0, 2.0), Segment::forward(20.0, 0.0),
                                Segment::forward(5.0, -2.0), Segment::still(40.0),      Segment::forward(5.0, 2.0),
                                Segment::forward(15.0, 0.0)};
  const Vec3 armObject(kKtigLeverArm[0], kKtigLeverArm[1], kKtigLeverArm[2]);
  const Vec3 armSensor = kMount.conjugate() * armObject;
  filtersim::GnssConfig g;
  g.rate = 2.0;
  g.leverArm = armSensor;
  g.sigmaHorizontal = 1.0;
  g.sigmaVertical = 2.0;
  g.sigmaVelocity = 0.05;
  g.outages = {{55.0, 85.0}};
  KtigStreamRig rig(driveConfig(vehicle * kMount), drive, g, 0x00000001);
  ASSERT_TRUE(rig.opened);
  ASSERT_NE(rig.ktig, nullptr);

  // Through the C interface: 32 rates, and the heading offset is refused without a message.
  ZtInt32Array rates;
  ZtArray_construct(ZTARRAY(&rates), &g_ztInt32ArrayDescriptor, 0, nullptr);
  ASSERT_NE(ZtDevice_supportedUpdateRates(rig.device, &rates, 0x2010), nullptr);
  EXPECT_EQ(rates.size, 32u);
  ZtArray_destruct(ZTARRAY(&rates));
  EXPECT_EQ(ZtDevice_setHeadingOffset(rig.device, 0.5), 0);
  EXPECT_EQ(rig.emu->receivedCount(0x82), 0u);
  EXPECT_EQ(ZtDevice_updateRate(rig.device), 100);

  ASSERT_TRUE(rig.startMeasuring());
  const size_t before = rig.collector.count();
  ASSERT_TRUE(rig.burst(1200 - before));
  // Object reset while still: the vehicle's frame from the sensor's levelled orientation.
  ASSERT_EQ(ZtDevice_resetOrientation(rig.device, ZRM_Object), 1);
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(rig.burst(980)) << i;
  EXPECT_EQ(rig.ktig->resetMethod(), ZRM_None);
  auto* params = dynamic_cast<zelto::Zkf6Params*>(rig.ktig->zkfFilter()->getFilterParameters());
  ASSERT_NE(params, nullptr);
  const Vec3 filterArm(params->leverArm[0], params->leverArm[1], params->leverArm[2]);
  std::printf("lever arm after the reset (%.3f %.3f %.3f), in the sensor frame (%.3f %.3f %.3f)\n", filterArm[0],
              filterArm[1], filterArm[2], armSensor[0], armSensor[1], armSensor[2]);
  EXPECT_LT((filterArm - armSensor).norm(), 0.05);

  const GeodeticFrame frame(Vec3(52.25 * kDeg, 6.875 * kDeg, 12.5));
  double worstPos = 0, worstVel = 0, worstTilt = 0, worstHeading = 0, worstAfter = 0, worstStill = 0;
  size_t compared = 0, settledBefore = 0, flaggedInOutage = 0, settledAfter = 0;
  const std::vector<NavPacket> packets = rig.collector.packets();
  ASSERT_GE(packets.size(), 11000u);
  for (size_t i = 0; i < packets.size(); ++i) {
    const NavPacket& p = packets[i];
    ASSERT_EQ(p.counter, static_cast<uint16_t>(i));
    ASSERT_TRUE(p.hasOrientation && p.hasPosition && p.hasVelocity && p.hasStatus) << i;
    ASSERT_EQ(p.frame, 0x0008);
    const filtersim::Sample s = rig.truth(p.counter);
    const bool settled = (p.status & 0x02u) != 0;
    if (s.t > 30.0 && s.t < 55.0) settledBefore += settled;
    if (s.t > 66.0 && s.t < 85.0) flaggedInOutage += !settled;
    if (s.t > 90.0) settledAfter += settled;
    if (s.t > 55.0 && s.t < 85.0) worstStill = std::max(worstStill, positionError(frame, p, s).head<2>().norm());
    if (s.t < 30.0 || (s.t > 55.0 && s.t < 95.0)) continue;
    // Outside the outage (and once settled after it): the object frame's navigation solution.
    ++compared;
    const Quat object = s.q * kMount.conjugate();
    const Vec3 e = positionError(frame, p, s);
    worstPos = std::max(worstPos, Vec3(e.x(), e.y(), 0).norm());
    worstVel = std::max(worstVel, (p.velocity - s.velocity).norm());
    worstTilt = std::max(worstTilt, filtersim::tiltError(p.q, object) / kDeg);
    worstHeading = std::max(worstHeading, std::fabs(filtersim::headingError(p.q, object)) / kDeg);
    if (s.t > 95.0) worstAfter = std::max(worstAfter, Vec3(e.x(), e.y(), 0).norm());
  }
  std::printf("standing through the outage: horizontal position within %.2f m\n", worstStill);
  std::printf("drive: horizontal position %.2f m (after the outage %.2f m), velocity %.3f m/s, tilt %.2f deg, "
              "heading %.2f deg over %zu packets; settled %zu before, not settled %zu in the outage, settled %zu "
              "after; %zu PVT items\n",
              worstPos, worstAfter, worstVel, worstTilt, worstHeading, compared, settledBefore, flaggedInOutage,
              settledAfter, rig.gnss.itemsSent());
  // Fixes with 1 m horizontal deviation: the filtered position stays within 2.5 sigma.
  EXPECT_LT(worstPos, 2.5);
  EXPECT_LT(worstVel, 0.2);
  EXPECT_LT(worstTilt, 1.0);
  EXPECT_LT(worstHeading, 2.0);
  // The status: settled before, flagged from ten seconds into the outage, settled again after it.
  EXPECT_EQ(settledBefore, 2500u - 1u);
  EXPECT_EQ(flaggedInOutage, 1900u - 1u);
  EXPECT_EQ(settledAfter, 2000u);
  EXPECT_LT(worstStill, 3.0);
}

TEST(KtigStream, NorthEastDownWithBit31AndARecordingReplaysToTheSameOutputs) {
  const Quat vehicle(Eigen::AngleAxisd(-0.7, Vec3::UnitZ()));
  std::vector<Segment> drive = {Segment::still(10.0), Segment::forward(4.0, 2.0), Segment::forward(16.0, 0.0)};
  filtersim::GnssConfig g;
  g.rate = 2.0;
  g.leverArm = Vec3(kKtigLeverArm[0], kKtigLeverArm[1], kKtigLeverArm[2]);
  g.sigmaHorizontal = 1.0;
  g.sigmaVertical = 2.0;
  g.sigmaVelocity = 0.05;
  TempDir dir;
  const std::string path = dir.file("ktig.log");
  KtigStreamRig rig(driveConfig(vehicle), drive, g, 0x80000001u);
  ASSERT_TRUE(rig.opened);
  ASSERT_NE(rig.ktig, nullptr);
  ZtString name = ktigText(path);
  ASSERT_EQ(ZtDevice_createLogFile(rig.device, &name), 0);
  ZtString_destruct(&name);
  ASSERT_TRUE(rig.startMeasuring());
  ASSERT_TRUE(rig.burst(500 - rig.collector.count()));
  ASSERT_EQ(ZtDevice_startRecording(rig.device), 1);
  ASSERT_TRUE(rig.burst(2500));
  ASSERT_EQ(ZtDevice_stopRecording(rig.device), 1);
  ASSERT_EQ(ZtDevice_gotoConfig(rig.device), 1);
  ASSERT_EQ(ZtDevice_closeLogFile(rig.device), 1);

  const GeodeticFrame frame(Vec3(52.25 * kDeg, 6.875 * kDeg, 12.5));
  const std::vector<NavPacket> live = rig.collector.packets();
  ASSERT_EQ(live.size(), 3000u);
  const Quat qx180(0.0, 1.0, 0.0, 0.0);
  double worstPos = 0, worstVel = 0, worstTilt = 0, worstHeading = 0;
  for (const NavPacket& p : live) {
    ASSERT_TRUE(p.hasOrientation && p.hasVelocity && p.hasPosition);
    ASSERT_EQ(p.frame, 0x0004);
    const filtersim::Sample s = rig.truth(p.counter);
    if (s.t < 15.0) continue;
    // North-east-down: the orientation is qx180 x the north-west-up one, the velocity (n, e, d).
    const Quat nwu = qx180 * p.q;
    worstTilt = std::max(worstTilt, filtersim::tiltError(nwu, s.q) / kDeg);
    worstHeading = std::max(worstHeading, std::fabs(filtersim::headingError(nwu, s.q)) / kDeg);
    worstVel = std::max(worstVel, (p.velocity - GeodeticFrame::nedFromNwu(s.velocity)).norm());
    const Vec3 e = frame.geodeticToLocal(GeodeticFrame::fromDegrees(p.lla)) - s.position;
    worstPos = std::max(worstPos, Vec3(e.x(), e.y(), 0).norm());
  }
  std::printf("north-east-down: horizontal position %.2f m, velocity %.3f m/s, tilt %.2f deg, heading %.2f deg\n",
              worstPos, worstVel, worstTilt, worstHeading);
  EXPECT_LT(worstPos, 3.0);
  EXPECT_LT(worstVel, 0.3);
  EXPECT_LT(worstTilt, 1.5);
  EXPECT_LT(worstHeading, 3.0);

  // The recording, replayed from the filter state written when it started.
  std::map<uint16_t, NavPacket> liveByCounter;
  for (size_t i = 500; i < live.size(); ++i) liveByCounter[live[i].counter] = live[i];
  ZtControl_close(rig.control);
  name = ktigText(path);
  ASSERT_EQ(ZtControl_openLogFile(rig.control, &name), 1);
  ZtString_destruct(&name);
  ZtDevice* player = ZtControl_device(rig.control, 0);
  ASSERT_NE(player, nullptr);
  ASSERT_NE(dynamic_cast<KtigDevice*>(player), nullptr);
  NavCollector replayed;
  ZtDevice_addCallbackHandler(player, replayed.handler(), 0);
  ASSERT_EQ(ZtDevice_loadLogFile(player), 1);
  ASSERT_TRUE(replayed.waitFor(2500, std::chrono::milliseconds(20000)));
  double qDiff = 0, posDiff = 0, velDiff = 0;
  for (const NavPacket& p : replayed.packets()) {
    auto it = liveByCounter.find(p.counter);
    ASSERT_NE(it, liveByCounter.end()) << p.counter;
    ASSERT_TRUE(p.hasOrientation && p.hasPosition && p.hasVelocity) << p.counter;
    EXPECT_EQ(p.frame, 0x0004);
    qDiff = std::max(qDiff, p.q.angularDistance(it->second.q) / kDeg);
    posDiff = std::max(posDiff, (frame.geodeticToLocal(GeodeticFrame::fromDegrees(p.lla)) -
                                 frame.geodeticToLocal(GeodeticFrame::fromDegrees(it->second.lla)))
                                    .norm());
    velDiff = std::max(velDiff, (p.velocity - it->second.velocity).norm());
  }
  std::printf("replay against live: orientation %.2e deg, position %.2e m, velocity %.2e m/s over %zu packets\n",
              qDiff, posDiff, velDiff, replayed.count());
  EXPECT_EQ(replayed.count(), 2500u);
  EXPECT_LT(qDiff, 1e-3);
  EXPECT_LT(posDiff, 1e-3);
  EXPECT_LT(velDiff, 1e-4);
  ZtDevice_removeCallbackHandler(player, replayed.handler(), 0);
}

}  // namespace
}  // namespace zelto::test
