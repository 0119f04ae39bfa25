// The host-filtered tracker recorded and replayed through ZtControl, and hostile streams: a
// sample period of 0 and a scenario whose constants are all zero.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/TempDir.h"
#include "trackers/KtixStreamRig.h"

namespace zelto::test {
namespace {

using filtersim::Quat;
using filtersim::Segment;
using filtersim::Vec3;
constexpr double kKtixReplayDeg = M_PI / 180.0;

ZtString ktixReplayText(const std::string& s) {
  ZtString t;
  ZtString_construct(&t, s.c_str());
  return t;
}

double angleDeg(const ZtQuaternion& a, const ZtQuaternion& b) {
  const double dot = std::fabs(a.w * b.w + a.x * b.x + a.y * b.y + a.z * b.z);
  return 2.0 * std::acos(std::min(1.0, dot)) / kKtixReplayDeg;
}

TEST(KtixReplay, TheReplayFromTheRecordedStateAgreesWithTheLiveStream) {
  TempDir dir;
  const std::string path = dir.file("ktix.log");
  KtixStreamRig rig(streamConfig(100.0, Quat(Eigen::AngleAxisd(25.0 * kKtixReplayDeg, Vec3::UnitZ()))),
                    {Segment::still(8.0), Segment::rotate(5.0, Vec3(0.2, 0.1, 1.0), 60.0 * kKtixReplayDeg),
                     Segment::sinusoid(5.0, Vec3(1.0, 0.0, 0.0), 45.0 * kKtixReplayDeg, 0.5), Segment::still(10.0)});
  ASSERT_TRUE(rig.opened);
  ASSERT_NE(rig.ktix, nullptr);
  ZtString name = ktixReplayText(path);
  ASSERT_EQ(rig.device->createLogFile(name), 0);
  ZtString_destruct(&name);
  ASSERT_TRUE(rig.startMeasuring());
  ASSERT_TRUE(rig.burst(300));
  // Recording starts while still, three seconds in.
  ASSERT_TRUE(rig.device->startRecording());
  rig.clearCollected();
  ASSERT_TRUE(rig.burst(1200));
  ASSERT_TRUE(rig.device->stopRecording());
  ASSERT_TRUE(rig.device->gotoConfig());
  ASSERT_TRUE(rig.device->closeLogFile());
  const std::vector<SeenPacket> live = rig.collector.packets();
  ASSERT_EQ(live.size(), 1200u);
  std::map<uint16_t, ZtQuaternion> liveByCounter;
  for (const SeenPacket& p : live) liveByCounter[p.counter] = p.q;

  rig.control->close();
  name = ktixReplayText(path);
  ASSERT_TRUE(rig.control->openLogFile(name));
  ZtString_destruct(&name);
  ZtDevice* player = rig.control->device(0);
  ASSERT_NE(player, nullptr);
  ASSERT_NE(dynamic_cast<KtixDevice*>(player), nullptr);
  // The state written when recording started is the replay's initial state.
  ASSERT_NE(dynamic_cast<KtixDevice*>(player)->initialState(), nullptr);
  PacketCollector replayed;
  player->addCallbackHandler(&replayed, false);
  ASSERT_TRUE(player->loadLogFile());
  ASSERT_TRUE(replayed.waitFor(1200, std::chrono::milliseconds(10000)));
  const std::vector<SeenPacket> packets = replayed.packets();
  EXPECT_EQ(packets.size(), live.size());
  double worst = 0.0;
  for (const SeenPacket& p : packets) {
    ASSERT_TRUE(p.hasOrientation);
    auto it = liveByCounter.find(p.counter);
    ASSERT_NE(it, liveByCounter.end()) << p.counter;
    worst = std::max(worst, angleDeg(p.q, it->second));
  }
  std::printf("replay against live: largest difference %.6f deg over %zu packets\n", worst, packets.size());
  // The same samples from the same state: the orientations agree to a hundredth of a degree.
  EXPECT_LT(worst, 0.01);
  player->removeCallbackHandler(&replayed, false);
}

TEST(KtixHostile, SamplePeriodZeroGivesPacketsWithoutOrientationAndWithoutNaN) {
  KtixStreamRig rig(streamConfig(100.0), {Segment::still(2.0), Segment::rotate(2.0, Vec3::UnitZ(), 1.0)},
                    [](TrackerModel&) {}, 0);
  ASSERT_TRUE(rig.opened);
  ASSERT_NE(rig.ktix, nullptr);
  EXPECT_EQ(rig.ktix->updateRate(), 0);
  ASSERT_TRUE(rig.startMeasuring());
  ASSERT_TRUE(rig.burst(400));
  const std::vector<SeenPacket> packets = rig.collector.packets();
  ASSERT_EQ(packets.size(), rig.stream->samplesMade());
  for (const SeenPacket& p : packets) {
    EXPECT_FALSE(p.hasOrientation);
    EXPECT_FALSE(p.hasFreeAcceleration);
    EXPECT_TRUE(p.finite);
  }
}

// The built-in profiles with every number of the ZKF-3 scenario set to 0.
std::string zeroScenarioProfiles(const TempDir& dir) {
  std::ifstream in(ZDA_SOURCE_DIR "/data/scenarios/scenarios.zsa");
  std::ostringstream out;
  std::string line;
  while (std::getline(in, line)) {
    const bool zkf3 = line.rfind("ZKF.zkf3.", 0) == 0 && line.find(".gp.") == std::string::npos;
    const size_t eq = line.find('=');
    if (zkf3 && eq != std::string::npos && line.compare(eq + 1, 2, "F:") == 0) line = line.substr(0, eq + 1) + "F:0";
    if (zkf3 && eq != std::string::npos && line.compare(eq + 1, 2, "V:") == 0) line = line.substr(0, eq + 1) + "V:3: 0 0 0";
    out << line << "\n";
  }
  const std::string path = dir.file("zero.zsa");
  std::ofstream(path) << out.str();
  return path;
}

TEST(KtixHostile, AScenarioWithZeroConstantsDoesNotPoisonTheStream) {
  TempDir dir;
  const std::string profiles = zeroScenarioProfiles(dir);
  KtixStreamRig rig(
      streamConfig(100.0), {Segment::still(2.0), Segment::rotate(3.0, Vec3(0.0, 1.0, 1.0), 1.0), Segment::still(2.0)},
      [](TrackerModel&) {}, 1152, RawStreamOptions{},
      [&](ZtControl& control) {
        ZtString name = ktixReplayText(profiles);
        EXPECT_TRUE(control.loadFilterProfiles(name));
        ZtString_destruct(&name);
      });
  ASSERT_TRUE(rig.opened);
  ASSERT_NE(rig.ktix, nullptr);
  ASSERT_TRUE(rig.startMeasuring());
  ASSERT_TRUE(rig.burst(700));
  const std::vector<SeenPacket> packets = rig.collector.packets();
  ASSERT_EQ(packets.size(), rig.stream->samplesMade());
  size_t oriented = 0;
  for (size_t i = 0; i < packets.size(); ++i) {
    const SeenPacket& p = packets[i];
    ASSERT_EQ(p.counter, static_cast<uint16_t>(i));
    EXPECT_TRUE(p.finite) << i;
    if (!p.hasOrientation) continue;
    ++oriented;
    const double norm = std::sqrt(p.q.w * p.q.w + p.q.x * p.q.x + p.q.y * p.q.y + p.q.z * p.q.z);
    EXPECT_NEAR(norm, 1.0, 1e-6) << i;
  }
  std::printf("zero-constant scenario: %zu of %zu packets with orientation\n", oriented, packets.size());
}

}  // namespace
}  // namespace zelto::test
