// The fourth-generation navigation tracker (700-series, factory type 22) with the Zkf700 host
// filter and the sample mixer, through the C interface on an emulated tracker in navigation
// mode: its rates, processed configuration, synchronisation list and scenarios; GNSS aiding
// gathered from the device's raw solution (fix and status rules, the frame of the velocity);
// position, velocity and orientation of a drive against the trajectory's truth with the
// navigation state in the status; a filter step that fails or gives no finite estimate; and a
// recording replayed bit for bit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "control/ZtSyncLines.h"
#include "filters/common/KtMk4_700HardwareParams.h"
#include "filters/zkf700/Zkf700Filter.h"
#include "filtersim/GeodeticFrame.h"
#include "filtersim/VehicleRoute.h"
#include "support/NullZkfFilter.h"
#include "support/TempDir.h"
#include "trackers/KtMk4_700Device.h"
#include "trackers/Mk4Profiles.h"
#include "trackers/Mk4StreamRig.h"
#include "transport/link/Communicator.h"

namespace zelto::test {
namespace {

using filtersim::GeodeticFrame;
using filtersim::Segment;
using filtersim::Vec3;
constexpr uint32_t k700Series = 0x00701234;
constexpr double kMk4700DeviceDeg = M_PI / 180.0;

KtMk4_700Device* navigator(Mk4StreamRig& rig) { return dynamic_cast<KtMk4_700Device*>(rig.device); }

TEST(Mk4Navigation, RatesConfigurationsAndSynchronisationList) {
  Mk4StreamRig rig(k700Series, {}, {Segment::still(0.5)});
  ASSERT_TRUE(rig.opened);
  KtMk4_700Device* nav = navigator(rig);
  ASSERT_NE(nav, nullptr);
  ASSERT_TRUE(nav->hasZkfFilter());  // the built-in "ZKF700" profile
  EXPECT_EQ(nav->zkfFilter()->type(), '7');

  const struct {
    uint16_t id;
    int frequency;
  } rates[] = {{0x0000, 2000}, {0xA010, 2000}, {0xB000, 2000}, {0xE020, 2000}, {0x0810, 400}, {0x2010, 400},
               {0x4010, 400},  {0x5040, 400},  {0x8030, 400},  {0xD010, 400},  {0x3010, 50},  {0x8840, 4},
               {0xC020, 100},  {0x1020, 0},    {0x6000, 0}};
  for (const auto& r : rates) EXPECT_EQ(nav->getBaseFrequency(r.id), r.frequency) << std::hex << r.id;

  const struct {
    const char* name;
    Pairs configuration;
    Pairs added;
  } cases[] = {
      {"raw alone",
       {{0xA010, 2000}},
       {{0x8020, 2000}, {0x4020, 2000}, {0x8030, 400}, {0x4010, 400}, {0xC020, 2000}, {0x2010, 400}, {0xE020, 400}}},
      {"raw with GNSS",
       {{0xA010, 2000}, {0x8840, 4}},
       {{0x8020, 2000}, {0x4020, 2000}, {0x8030, 400}, {0x4010, 400}, {0xC020, 2000}, {0x2010, 400}, {0xE020, 400},
        {0x5040, 400}, {0x5020, 400}, {0xD010, 400}}},
      {"the device's own orientation",
       {{0xA010, 2000}, {0x2010, 100}, {0x8840, 4}},
       {{0x8020, 2000}, {0x4020, 2000}, {0x8030, 400}, {0x4010, 400}, {0xC020, 2000}}},
      {"increments without raw",
       {{0x8030, 400}, {0x4010, 400}, {0xE020, 400}},
       {{0x2010, 400}, {0x8020, 400}, {0x4020, 400}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(rig.setConfiguration(c.configuration));
    Pairs expected = c.configuration;
    expected.insert(expected.end(), c.added.begin(), c.added.end());
    EXPECT_EQ(rig.processed(), expected);
  }

  // Seven entries as (function, fourth-generation line): the added (9, 1) right before (9, 0).
  const std::vector<ZtSyncSetting> sync = nav->supportedSyncSettings();
  const std::vector<std::pair<int, int>> expected = {{3, 2}, {8, 2}, {8, 6}, {4, 4}, {9, 1}, {9, 0}, {11, 2}};
  ASSERT_EQ(sync.size(), expected.size());
  for (size_t i = 0; i < sync.size(); ++i) {
    EXPECT_EQ(sync[i].function, expected[i].first) << i;
    EXPECT_EQ(ztlToZtl4(sync[i].line), expected[i].second) << i;
  }
  const ZtSyncSetting& added = sync[4];
  EXPECT_EQ(added.polarity, 1);
  EXPECT_EQ(added.pulseWidth, 0u);
  EXPECT_EQ(added.offset, 0);
  EXPECT_EQ(added.skipFirst, 0);
  EXPECT_EQ(added.skipFactor, 1);
  EXPECT_EQ(added.clockPeriod, 1);
  EXPECT_EQ(added.triggerOnce, 0);
}

TEST(Mk4Navigation, ScenariosByFilterNameAndTheFilterWithoutOne) {
  TempDir dir;
  const std::string path = dir.file("nav.zsa");
  ASSERT_TRUE(writeProfiles(path, "ZEE.ZKF700", "zkf700",
                            {{"lower", 5, "zkf700", "", {}}, {"other", 6, "ZKF-3I", "", {}}, {"older", 7, "", "1.0.0", {}}}));
  Mk4StreamRig rig(k700Series, {{0xA010, 2000}}, {Segment::still(0.5)}, [](TrackerModel&) {}, {}, path);
  ASSERT_TRUE(rig.opened);
  KtMk4_700Device* nav = navigator(rig);
  ASSERT_NE(nav, nullptr);
  const std::vector<ZtFilterProfile> profiles = nav->availableZdaFilterProfiles();
  ASSERT_EQ(profiles.size(), 1u);
  EXPECT_EQ(profiles[0].type, 5);
  EXPECT_EQ(profiles[0].filterType, '7');
  EXPECT_TRUE(nav->hasZkfFilter());
}

// A packet holding one raw GNSS solution.
struct SolutionPacket {
  SolutionPacket(uint8_t fixType, int32_t x, int32_t y, int32_t z, int32_t vx, int32_t vy, int32_t vz) {
    ZtDataPacket_construct(&packet);
    ZtRawGpsSol sol{};
    sol.fixType = fixType;
    sol.ecefX = x, sol.ecefY = y, sol.ecefZ = z;
    sol.ecefVX = vx, sol.ecefVY = vy, sol.ecefVZ = vz;
    sol.pAcc = 250;
    sol.sAcc = 40;
    ZtDataPacket_setRawGpsSol(&packet, &sol);
  }
  ~SolutionPacket() { ZtDataPacket_destruct(&packet); }
  ZtDataPacket packet;
};

TEST(Mk4Navigation, GnssAidingFromTheDeviceSolution) {
  Mk4StreamRig rig(k700Series, {}, {Segment::still(0.5)});
  ASSERT_TRUE(rig.opened);
  KtMk4_700Device* nav = navigator(rig);
  ASSERT_NE(nav, nullptr);
  constexpr int32_t kEquator = 637813700;  // the WGS-84 semi-major axis, cm
  const struct {
    const char* name;
    uint8_t fixType;
    uint32_t status;
    bool taken;
  } rules[] = {{"3-D fix, status 0", 3, 0, true},        {"3-D fix, status bit 2", 3, 0x4, true},
               {"3-D fix, status 0x0001", 3, 0x1, false}, {"2-D fix", 2, 0, false},
               {"no fix", 0, 0x4, false}};
  for (const auto& r : rules) {
    SCOPED_TRACE(r.name);
    // Eastward at 10 m/s at latitude 0, longitude 0: ECEF +y.
    SolutionPacket p(r.fixType, kEquator, 0, 0, 0, 1000, 0);
    zelto::Zkf700Aiding aiding;
    aiding.gpsPos = Vector3(1.0, 2.0, 3.0);
    nav->gatherGpsAidingData(p.packet, aiding, r.status);
    EXPECT_EQ(aiding.gpsValid, r.taken);
    if (!r.taken) {
      EXPECT_EQ(aiding.gpsPos[0], 1.0);
      continue;
    }
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(aiding.gpsPos[i], 0.0, 1e-9) << i;
    // The filters' frame is east-north-up: eastward is +x.
    EXPECT_NEAR(aiding.gpsVel[0], 10.0, 1e-12);
    EXPECT_NEAR(aiding.gpsVel[1], 0.0, 1e-12);
    EXPECT_NEAR(aiding.gpsVel[2], 0.0, 1e-12);
    EXPECT_DOUBLE_EQ(aiding.gpsPAcc, 2.5);
    EXPECT_DOUBLE_EQ(aiding.gpsSAcc, 0.4);
  }
  // Away from the axes: northward 10 m/s and up 2 m/s at 45 N, 90 E, 100 m.
  const Vec3 geodetic(45.0 * kMk4700DeviceDeg, 90.0 * kMk4700DeviceDeg, 100.0);
  const Vec3 ecef = GeodeticFrame::toEcef(geodetic) * 100.0;
  const Vec3 v = GeodeticFrame::nwuToEcef(geodetic.x(), geodetic.y()) * Vec3(10.0, 0.0, 2.0) * 100.0;
  auto cm = [](double x) { return static_cast<int32_t>(std::lround(x)); };
  SolutionPacket p(3, cm(ecef.x()), cm(ecef.y()), cm(ecef.z()), cm(v.x()), cm(v.y()), cm(v.z()));
  zelto::Zkf700Aiding aiding;
  nav->gatherGpsAidingData(p.packet, aiding, 0);
  ASSERT_TRUE(aiding.gpsValid);
  EXPECT_NEAR(aiding.gpsPos[0], 45.0, 1e-6);
  EXPECT_NEAR(aiding.gpsPos[1], 90.0, 1e-6);
  EXPECT_NEAR(aiding.gpsPos[2], 100.0, 0.02);
  EXPECT_NEAR(aiding.gpsVel[0], 0.0, 0.01);
  EXPECT_NEAR(aiding.gpsVel[1], 10.0, 0.01);
  EXPECT_NEAR(aiding.gpsVel[2], 2.0, 0.01);
}

// A drive at 52.25 N: standing, accelerating northward, cruising, a turn, cruising; GNSS fixes
// at 4 Hz (1 m, 0.05 m/s) and the barometer at 10 Hz. 32 s: a filter without process noise
// (a record without noise densities) keeps its heading for about 25 s only.
std::vector<Segment> drive() {
  filtersim::VehicleRoute route;
  route.stop(5).accelerate(4, 2).cruise(5).turn(6, M_PI / 12).cruise(12);
  return route.segments();
}

RawStreamOptions navigationStream() {
  NavigationStream n;
  n.gnss.rate = 4.0;
  n.gnss.sigmaHorizontal = 1.0;
  n.gnss.sigmaVertical = 1.0;
  n.gnss.sigmaVelocity = 0.05;
  RawStreamOptions o;
  o.navigation = n;
  return o;
}

TEST(Mk4Navigation, ADriveGetsPositionVelocityAndOrientationAndARecordStartedMidStreamReplaysBitForBit) {
  TempDir dir;
  const std::string path = dir.file("nav.log");
  Mk4StreamRig rig(k700Series, {{0xA010, 2000}, {0x8840, 4}, {0x3010, 50}}, drive(),
                   [](TrackerModel& m) {
                     m.sensor.ndAcc = 0.002;
                     m.sensor.ndGyr = 0.0347;
                   },
                   navigationStream());
  ASSERT_TRUE(rig.opened);
  ASSERT_NE(navigator(rig), nullptr);
  // The filter's process noise comes from the record's noise densities.
  const auto* hardware = dynamic_cast<const KtMk4_700HardwareParams*>(&navigator(rig)->hardwareParameters());
  ASSERT_NE(hardware, nullptr);
  for (int i = 0; i < 3; ++i) {
    EXPECT_GT(hardware->ndAcc[i], 0.0);
    EXPECT_GT(hardware->ndGyr[i], 0.0);
  }
  ZtString name = cText(path);
  ASSERT_EQ(ZtDevice_createLogFile(rig.device, &name), 0);
  ZtString_destruct(&name);
  rig.emu->setStreamOnMeasurement(false);
  ASSERT_TRUE(rig.startMeasuring());
  rig.clearCollected();
  constexpr size_t kSamples = 32 * 2000;
  // The recording starts mid-stream, while the filter navigates and in the middle of an output
  // window: its replay has to continue from the filter state, the mixer, the latched aiding,
  // the step clock and the partly filled window as they were live.
  constexpr size_t kRecordFrom = 12 * 2000 + 7;
  for (size_t sent = 0; sent < kSamples;) {
    if (sent == kRecordFrom) {
      ASSERT_EQ(ZtDevice_startRecording(rig.device), 1);
    }
    const size_t n = std::min<size_t>(2000, (sent < kRecordFrom ? kRecordFrom : kSamples) - sent);
    ASSERT_TRUE(rig.burst(n, std::chrono::milliseconds(20000))) << rig.collector.count();
    sent += n;
  }
  ASSERT_EQ(ZtDevice_stopRecording(rig.device), 1);
  ASSERT_EQ(ZtDevice_gotoConfig(rig.device), 1);
  ASSERT_EQ(ZtDevice_closeLogFile(rig.device), 1);
  const std::vector<Mk4Packet> live = rig.collector.packets();
  ASSERT_EQ(live.size(), kSamples);

  const filtersim::Vec3 origin = GeodeticFrame::fromDegrees(Vec3(52.25, 0.0, 0.0));
  const GeodeticFrame frame(origin);
  size_t oriented = 0, positioned = 0;
  double worstPosition = 0, worstVelocity = 0, worstTilt = 0, worstHeading = 0;
  bool started = false;
  for (const Mk4Packet& p : live) {
    // Orientation on the increment packets (400 Hz) from the filter's first estimate on.
    started = started || p.hasOrientation;
    ASSERT_EQ(p.hasOrientation, started && p.hasSdi) << p.counter;
    if (!p.hasOrientation) continue;
    ++oriented;
    ASSERT_TRUE(p.hasStatus) << p.counter;
    const uint32_t state = (p.status >> 23) & 0x7;
    // Position and velocity exactly when the navigation state says there is one.
    ASSERT_EQ(p.hasPosition, state != 0) << p.counter;
    ASSERT_EQ(p.hasVelocity, state != 0) << p.counter;
    for (double v : p.q) ASSERT_TRUE(std::isfinite(v)) << p.counter;
    filtersim::Sample s;
    ASSERT_TRUE(rig.stream->truth(p.counter, s));
    if (s.t < 10.0) continue;  // aligned, anchored and settled
    ASSERT_EQ(state, 3u) << p.counter;
    ++positioned;
    const Vec3 estimate = frame.geodeticToLocal(GeodeticFrame::fromDegrees(Vec3(p.lla[0], p.lla[1], p.lla[2])));
    const Vec3 truth = frame.geodeticToLocal(GeodeticFrame::fromDegrees(s.latLongAltDeg));
    worstPosition = std::max(worstPosition, (estimate - truth).norm());
    const Vec3 velocity(p.velocity[0], p.velocity[1], p.velocity[2]);
    worstVelocity = std::max(worstVelocity, (velocity - GeodeticFrame::enuFromNwu(s.velocity)).norm());
    const filtersim::Quat q = filtersim::Quat(p.q[0], p.q[1], p.q[2], p.q[3]).normalized();
    const filtersim::Quat e = q * GeodeticFrame::enuFromNwu(s.q).conjugate();
    const Vec3 up = e * Vec3::UnitZ();
    worstTilt = std::max(worstTilt, std::acos(std::min(1.0, up.z())));
    const Vec3 east = e * Vec3::UnitX();
    worstHeading = std::max(worstHeading, std::fabs(std::atan2(east.y(), east.x())));
  }
  RecordProperty("worst_position_m", std::to_string(worstPosition));
  RecordProperty("worst_velocity_mps", std::to_string(worstVelocity));
  RecordProperty("worst_tilt_deg", std::to_string(worstTilt / kMk4700DeviceDeg));
  RecordProperty("worst_heading_deg", std::to_string(worstHeading / kMk4700DeviceDeg));
  EXPECT_GT(oriented, kSamples / 5 - 10);
  EXPECT_GT(positioned, oriented / 2);
  EXPECT_LT(worstPosition, 3.0);
  EXPECT_LT(worstVelocity, 0.3);
  EXPECT_LT(worstTilt, 1.0 * kMk4700DeviceDeg);
  EXPECT_LT(worstHeading, 3.0 * kMk4700DeviceDeg);

  ZtControl_close(rig.control);
  name = cText(path);
  ASSERT_EQ(ZtControl_openLogFile(rig.control, &name), 1);
  ZtString_destruct(&name);
  ZtDevice* player = ZtControl_device(rig.control, k700Series);
  ASSERT_NE(dynamic_cast<KtMk4_700Device*>(player), nullptr);
  PlainCCollector replayed;
  ZtDevice_addCallbackHandler(player, replayed.handler(), 0);
  ASSERT_EQ(ZtDevice_loadLogFile(player), 1);
  const size_t recorded = kSamples - kRecordFrom;
  ASSERT_TRUE(replayed.waitFor(recorded, std::chrono::milliseconds(60000)));
  const std::vector<Mk4Packet> packets = replayed.packets();
  ASSERT_EQ(packets.size(), recorded);
  // From the first packet on: a navigation solution with position and the valid bit.
  ASSERT_TRUE(live[kRecordFrom].hasStatus);
  EXPECT_EQ((live[kRecordFrom].status >> 23) & 0x7, 3u);
  for (size_t i = 0; i < recorded; ++i)
    ASSERT_EQ(packets[i], live[kRecordFrom + i]) << "packet " << i << ", counter " << live[kRecordFrom + i].counter;
}

// A burst far faster than the line, into the tracker with the most processing per packet: every
// sample the emulator sent is delivered, or reported missed (the counter gap, with the error),
// and a loss has its cause counted on the link (the parse backlog's dropped bytes, reported to
// the link's handlers; a message candidate given up). Under the sanitizers a smaller burst keeps
// the test to a few seconds.
TEST(Mk4Navigation, ALargeBurstIsDeliveredWholeOrItsLossIsReported) {
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
  constexpr size_t kBurst = 12000;
#else
  constexpr size_t kBurst = 52000;
#endif
  Mk4StreamRig rig(k700Series, {{0xA010, 2000}, {0x8840, 4}, {0x3010, 50}}, drive(),
                   [](TrackerModel& m) {
                     m.sensor.ndAcc = 0.002;
                     m.sensor.ndGyr = 0.0347;
                   },
                   navigationStream());
  ASSERT_TRUE(rig.opened);
  rig.emu->setStreamOnMeasurement(false);
  ASSERT_TRUE(rig.startMeasuring());
  rig.clearCollected();
  ASSERT_EQ(rig.emu->sendDataBurst(kBurst), kBurst);
  ASSERT_TRUE(rig.collector.waitForAccounted(kBurst, std::chrono::milliseconds(60000)))
      << rig.collector.count() << " delivered, " << rig.collector.missed() << " reported missed";
  const std::vector<Mk4Packet> packets = rig.collector.packets();
  const size_t missed = rig.collector.missed();
  EXPECT_EQ(packets.size() + missed, kBurst);
  // In order, none twice, and no gap larger than what was reported.
  for (size_t i = 1; i < packets.size(); ++i) {
    const auto step = static_cast<uint16_t>(packets[i].counter - packets[i - 1].counter);
    ASSERT_GE(step, 1u) << i;
    ASSERT_LE(step, missed + 1) << i;
  }
  const Communicator* link = rig.device->communicator();
  ASSERT_NE(link, nullptr);
  const uint64_t droppedBytes = link->droppedBacklogBytes();
  const uint64_t givenUp = link->messageCutter().giveUpCount();
  const std::vector<ZtResultValue> errors = rig.collector.errors();
  const auto reported = [&](ZtResultValue e) { return std::find(errors.begin(), errors.end(), e) != errors.end(); };
  RecordProperty("missed", std::to_string(missed));
  RecordProperty("backlog_dropped_bytes", std::to_string(droppedBytes));
  RecordProperty("candidates_given_up", std::to_string(givenUp));
  if (missed > 0) {
    EXPECT_TRUE(reported(ZRV_MISSEDPACKETS));
    EXPECT_TRUE(droppedBytes > 0 || givenUp > 0) << "packets lost without a cause on the link";
  }
}

}  // namespace
}  // namespace zelto::test

namespace zelto::test {
namespace {

// A navigation filter that records the aiding of each step and answers by script: false for
// the first steps, then estimates at the origin, then estimates that are not numbers, and one
// step that throws.
class ScriptedNavigationFilter : public NullZkfFilter {
 public:
  struct Seen {
    bool gps, mag, baro;
  };
  bool doOneKalmanStep(const ZkfSensorData&, const ZkfAiding& aiding, const ZkfRealTimeParameters&,
                       ZkfFilterOutput& output, const ZkfTime*) override {
    const auto& a = static_cast<const Zkf700Aiding&>(aiding);
    seen.push_back({a.gpsValid, a.magValid, a.baroValid});
    const size_t step = seen.size();
    if (step == kThrows) throw std::runtime_error("scripted failure");
    if (step <= kFalseSteps) return false;
    auto& out = static_cast<Zkf700FilterOutput&>(output);
    const double v = step > kNumberSteps ? NAN : 0.0;
    out.m_orientation = Quaternion(1.0, v, 0.0, 0.0);
    out.m_latLongAlt = Vector3(52.25, v, 0.0);
    out.m_gravity = Vector3(0.0, 0.0, -9.81);
    out.m_filterMode = 3;
    out.m_valid = true;
    return true;
  }
  bool isInitialized() const override { return true; }
  char type() const override { return '7'; }

  static constexpr size_t kFalseSteps = 30, kNumberSteps = 45, kThrows = 55;
  std::vector<Seen> seen;
};

TEST(Mk4Navigation, AidingStaysLatchedUntilAStepTakesItAndNoNaNOrExceptionReachesAPacket) {
  Mk4StreamRig rig(k700Series, {{0xA010, 2000}, {0x8840, 4}, {0x3010, 50}}, {Segment::still(1.0)},
                   [](TrackerModel&) {}, navigationStream());
  ASSERT_TRUE(rig.opened);
  KtMk4_700Device* nav = navigator(rig);
  ASSERT_NE(nav, nullptr);
  // No timed stream: the scripted filter sees the stream from its first sample, whatever the
  // replies of the switch to measurement take.
  rig.emu->setStreamOnMeasurement(false);
  ASSERT_TRUE(rig.startMeasuring());
  ASSERT_EQ(rig.collector.count(), 0u);
  // Installed once measuring (entering it builds the filter anew); the handle keeps it alive.
  auto* scripted = new ScriptedNavigationFilter();
  const NonIntrusiveSharedPointer<ZtZkfFilter> handle(scripted);
  rig.device->setZkfFilter(handle);
  rig.clearCollected();
  ASSERT_TRUE(rig.burst(60 * 20));
  ASSERT_GE(scripted->seen.size(), 59u);
  const auto& seen = scripted->seen;
  // Fixes come at 4 Hz (every 25 steps). The first stays latched through the refused steps and
  // reaches the first step that takes it; the next steps have none until the next fix.
  const size_t kTaken = ScriptedNavigationFilter::kFalseSteps;  // index of the first true step
  size_t first = 0;
  while (first < seen.size() && !seen[first].gps) ++first;
  ASSERT_LT(first, kTaken);
  for (size_t i = first; i <= kTaken; ++i) EXPECT_TRUE(seen[i].gps) << i;
  for (size_t i = kTaken + 1; i < first + 25; ++i) EXPECT_FALSE(seen[i].gps) << i;
  EXPECT_TRUE(seen[first + 25].gps);
  // The field comes with every sample; the 50 Hz pressure stays latched as the fix does.
  for (size_t i = 0; i < seen.size(); ++i) EXPECT_TRUE(seen[i].mag) << i;
  for (size_t i = 2; i <= kTaken; ++i) EXPECT_TRUE(seen[i].baro) << i;
  EXPECT_FALSE(seen[kTaken + 2].baro && seen[kTaken + 3].baro);

  size_t oriented = 0, incrementsSince = 0;
  for (const Mk4Packet& p : rig.collector.packets()) {
    for (double v : p.q) ASSERT_TRUE(std::isfinite(v)) << p.counter;
    for (double v : p.lla) ASSERT_TRUE(std::isfinite(v)) << p.counter;
    for (double v : p.velocity) ASSERT_TRUE(std::isfinite(v)) << p.counter;
    for (double v : p.freeAcc) ASSERT_TRUE(std::isfinite(v)) << p.counter;
    oriented += p.hasOrientation;
    incrementsSince += p.hasSdi && (oriented > 0);
  }
  // From the first estimate on every increment packet has an orientation (the mixer carries
  // the last finite estimate over the steps that are not numbers) but the one whose step threw.
  ASSERT_GT(oriented, 0u);
  EXPECT_EQ(oriented, incrementsSince - 1);
}

}  // namespace
}  // namespace zelto::test
