// The fourth-generation orientation trackers with the Zkf3i host filter (20- and 200-series),
// end to end through the C interface on an emulated tracker: the scenarios each series takes
// (filter name, version, the restricted series' magnetometer flag), the orientation of a 2000 Hz
// raw stream against the trajectory's truth with the filter's status bits, a filter step that
// fails or gives no finite estimate, and a recording replayed bit for bit.
#include <gtest/gtest.h>

#include <cmath>

#include "filters/common/KtMk4HardwareParams.h"
#include "filters/zkf3i/Zkf3iFilter.h"
#include "filters/zkf3i/Zkf3iFilterOutput.h"
#include "support/TempDir.h"
#include "trackers/KtMk4_X00Device.h"
#include "trackers/Mk4Profiles.h"
#include "trackers/Mk4StreamRig.h"

namespace zelto::test {
namespace {

using filtersim::Segment;
using filtersim::Vec3;
constexpr uint32_t kMk4X0Filter10Series = 0x00101234;
constexpr uint32_t k20Series = 0x00201234;
constexpr uint32_t k100Series = 0x00401234;
constexpr uint32_t k200Series = 0x00501234;
constexpr double kMk4X0FilterDeg = M_PI / 180.0;

// The built-in "ZKF-3I" scenario under five labels: the restricted series takes only those
// with the magnetometer update (flag bit 2) off, of the filter's name in any case and version.
std::string writeZkf3iProfiles(const TempDir& dir) {
  const std::string path = dir.file("mk4.zsa");
  const std::pair<std::string, std::string> magOff{"doMagUpdate", "B:N"};
  EXPECT_TRUE(writeProfiles(path, "ZKF", "zkf3i",
                            {{"plain", 2, "", "", {magOff}},
                             {"lower", 3, "zkf-3i", "", {magOff}},
                             {"flagged", 4, "", "", {{"doMagUpdate", "B:Y"}}},
                             {"older", 5, "", "0.9.0", {magOff}},
                             {"zkf3", 6, "ZKF-3", "", {magOff}}}));
  return path;
}

std::vector<Segment> mk4X0FilterTurning() {
  return {Segment::still(1.0), Segment::rotate(1.0, Vec3(0.3, -0.2, 1.0), 50.0 * kMk4X0FilterDeg),
          Segment::sinusoid(2.0, Vec3(1.0, 0.5, 0.0), 20.0 * kMk4X0FilterDeg, 1.0), Segment::still(1.0)};
}

// The simulator's truth (body to north-west-up) as body to east-north-up, the filter's frame.
filtersim::Quat enuOfNwu(const filtersim::Quat& q) {
  return filtersim::Quat(Eigen::AngleAxisd(M_PI / 2, Vec3::UnitZ())) * q;
}

filtersim::Quat quatOf(const double q[4]) { return filtersim::Quat(q[0], q[1], q[2], q[3]).normalized(); }

double angleOf(const filtersim::Quat& e) { return 2.0 * std::atan2(e.vec().norm(), std::fabs(e.w())); }

TEST(Mk4Filter, EachSeriesTakesTheScenariosItMayRun) {
  TempDir dir;
  const std::string profiles = writeZkf3iProfiles(dir);
  const struct {
    const char* name;
    uint32_t id;
    bool filtered;
  } cases[] = {
      {"10-series", kMk4X0Filter10Series, false},
      {"20-series", k20Series, true},
      {"100-series", k100Series, false},
      {"200-series", k200Series, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Mk4StreamRig rig(c.id, {{0xA010, 2000}}, {Segment::still(0.5)}, [](TrackerModel&) {}, {}, profiles);
    ASSERT_TRUE(rig.opened);
    ASSERT_NE(rig.mk4, nullptr);
    std::vector<int> types;
    for (const ZtFilterProfile& p : rig.mk4->availableZdaFilterProfiles()) types.push_back(p.type);
    EXPECT_EQ(types, c.filtered ? (std::vector<int>{2, 3}) : (std::vector<int>{}));
    ASSERT_EQ(rig.mk4->hasZkfFilter(), c.filtered);
    if (c.filtered) {
      EXPECT_EQ(rig.mk4->zkfFilter()->type(), 'I');
      const int current = rig.mk4->zdaFilterProfile().type;
      EXPECT_TRUE(current == 2 || current == 3) << current;
      // The processed configuration adds the host's orientation and status at 100 Hz.
      const Pairs processed = rig.processed();
      EXPECT_NE(std::find(processed.begin(), processed.end(), std::pair<uint16_t, uint16_t>{0x2010, 100}),
                processed.end());
    }
    // The no-filter series keeps no filter even when asked to build one.
    if (!c.filtered) {
      EXPECT_FALSE(rig.mk4->initializeFilter());
    }
  }
}

TEST(Mk4Filter, ARawStreamGetsZkf3iOrientationWithinBoundsOfTheTruth) {
  TempDir dir;
  // The emulated record's noise densities are zeros (never programmed): the filter runs on the
  // defaults a record without them gets, not on a sensor without noise.
  Mk4StreamRig rig(k20Series, {{0xA010, 2000}}, mk4X0FilterTurning(), [](TrackerModel&) {}, {}, writeZkf3iProfiles(dir));
  ASSERT_TRUE(rig.opened);
  ASSERT_TRUE(rig.mk4->hasZkfFilter());
  const auto* hardware = dynamic_cast<const KtMk4HardwareParams*>(&rig.mk4->hardwareParameters());
  ASSERT_NE(hardware, nullptr);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(hardware->ndAcc[i], 0.002);
    EXPECT_EQ(hardware->ndGyr[i], 0.0347);
  }
  EXPECT_EQ(rig.mk4->outputWindowDecimation(), 4);
  // No timed stream while the switch to measurement runs (however long a loaded machine makes
  // it): the burst starts the filter, whose first packets come before its first estimate.
  rig.emu->setStreamOnMeasurement(false);
  ASSERT_TRUE(rig.startMeasuring());
  rig.clearCollected();
  ASSERT_TRUE(rig.burst(9000));

  size_t oriented = 0, zero = 0, valid = 0;
  bool first = true;
  filtersim::Quat offset = filtersim::Quat::Identity();
  double worstTilt = 0, worstRelative = 0;
  for (const Mk4Packet& p : rig.collector.packets()) {
    // Orientation on every packet with increments (400 Hz), none between them.
    ASSERT_EQ(p.hasOrientation, p.hasSdi) << p.counter;
    if (!p.hasOrientation) continue;
    ++oriented;
    ASSERT_TRUE(p.hasStatus) << p.counter;
    for (double v : p.q) ASSERT_TRUE(std::isfinite(v)) << p.counter;
    if (p.q[0] == 0 && p.q[1] == 0 && p.q[2] == 0 && p.q[3] == 0) {
      // Before the first estimate: the zero quaternion and the valid bit clear.
      EXPECT_EQ(valid, 0u) << p.counter;
      EXPECT_EQ(p.status & 0x2, 0u) << p.counter;
      ++zero;
      continue;
    }
    if ((p.status & 0x2) == 0) continue;
    ++valid;
    filtersim::Sample s;
    ASSERT_TRUE(rig.stream->truth(p.counter, s));
    const filtersim::Quat e = quatOf(p.q) * enuOfNwu(s.q).conjugate();  // navigation-frame error
    // Tilt: the error moves the vertical by at most its tilt part.
    const Vec3 up = e * Vec3::UnitZ();
    worstTilt = std::max(worstTilt, std::acos(std::min(1.0, up.z())));
    // Without the magnetometer update (the restricted series' scenarios) the filter starts with
    // the sensor's y axis as north: the heading error is whatever that gives and must not grow.
    if (first) offset = e, first = false;
    worstRelative = std::max(worstRelative, angleOf(e * offset.conjugate()));
  }
  RecordProperty("worst_tilt_deg", std::to_string(worstTilt / kMk4X0FilterDeg));
  RecordProperty("worst_relative_deg", std::to_string(worstRelative / kMk4X0FilterDeg));
  EXPECT_EQ(oriented, 9000u / 5);
  EXPECT_GT(zero, 0u);
  EXPECT_GT(valid, oriented / 2);
  EXPECT_LT(worstTilt, 1.0 * kMk4X0FilterDeg);
  EXPECT_LT(worstRelative, 1.0 * kMk4X0FilterDeg);
}

// A Zkf3i filter whose step throws or answers true with an estimate that is not a number.
class HostileZkf3i : public Zkf3iFilter {
 public:
  enum class Mode { Throw, NotANumber };
  explicit HostileZkf3i(Mode mode) : Zkf3iFilter(nullptr), m_mode(mode) {}
  bool doOneKalmanStep(const ZkfSensorData&, const ZkfAiding&, const ZkfRealTimeParameters&, ZkfFilterOutput& output,
                       const ZkfTime*) override {
    ++steps;
    if (m_mode == Mode::Throw) throw std::runtime_error("step failed");
    auto& out = static_cast<Zkf3iFilterOutput&>(output);
    out.q_ls = Quaternion(NAN, 0.0, 0.0, 0.0);
    out.valid = true;
    return true;
  }
  bool isInitialized() const override { return false; }
  int steps = 0;

 private:
  Mode m_mode;
};

TEST(Mk4Filter, AFailingOrNonFiniteStepDeliversThePacketWithoutOrientation) {
  TempDir dir;
  for (const auto mode : {HostileZkf3i::Mode::Throw, HostileZkf3i::Mode::NotANumber}) {
    SCOPED_TRACE(mode == HostileZkf3i::Mode::Throw ? "throws" : "not a number");
    Mk4StreamRig rig(k20Series, {{0xA010, 2000}}, {Segment::still(1.0)}, [](TrackerModel&) {}, {},
                     writeZkf3iProfiles(dir));
    ASSERT_TRUE(rig.opened);
    ASSERT_TRUE(rig.startMeasuring());
    auto* hostile = new HostileZkf3i(mode);
    rig.mk4->setZkfFilter(NonIntrusiveSharedPointer<ZtZkfFilter>(hostile));
    rig.clearCollected();
    ASSERT_TRUE(rig.burst(400));
    const std::vector<Mk4Packet> packets = rig.collector.packets();
    ASSERT_EQ(packets.size(), 400u);
    size_t withIncrements = 0;
    for (const Mk4Packet& p : packets) {
      withIncrements += p.hasSdi;
      if (!p.hasOrientation) continue;
      // Only the packets between steps carry one: the zero quaternion of a filter not started.
      for (double v : p.q) EXPECT_EQ(v, 0.0) << p.counter;
      EXPECT_EQ(p.status & 0x2, 0u) << p.counter;
    }
    EXPECT_EQ(withIncrements, 80u);
    EXPECT_EQ(hostile->steps, 20);
    size_t stepped = 0;
    for (const Mk4Packet& p : packets) stepped += p.hasSdi && !p.hasOrientation;
    EXPECT_EQ(stepped, 20u);
  }
}

TEST(Mk4Filter, ARecordingReplaysToTheSameOrientations) {
  TempDir dir;
  const std::string path = dir.file("mk4-filtered.log");
  // With the record's noise densities, so that the filter's covariance and orientation carry
  // every bit of their precision into the state the recording holds.
  const auto noisy = [](TrackerModel& m) {
    m.sensor.ndAcc = 0.002;
    m.sensor.ndGyr = 0.0347;
  };
  Mk4StreamRig rig(k20Series, {{0xA010, 2000}}, mk4X0FilterTurning(), noisy, {}, writeZkf3iProfiles(dir));
  ASSERT_TRUE(rig.opened);
  ZtString name = cText(path);
  ASSERT_EQ(ZtDevice_createLogFile(rig.device, &name), 0);
  ZtString_destruct(&name);
  ASSERT_TRUE(rig.startMeasuring());
  // Recording starts mid-stream in the middle of an output window (20 raw samples since
  // measurement began): the filter state is written with the window's partial content.
  const size_t seen = rig.collector.count();
  ASSERT_TRUE(rig.burst((20 - seen % 20) % 20 + 2000 + 13));
  ASSERT_EQ(rig.collector.count() % 20, 13u);
  ASSERT_EQ(ZtDevice_startRecording(rig.device), 1);
  rig.clearCollected();
  ASSERT_TRUE(rig.burst(4000));
  ASSERT_EQ(ZtDevice_stopRecording(rig.device), 1);
  ASSERT_EQ(ZtDevice_gotoConfig(rig.device), 1);
  ASSERT_EQ(ZtDevice_closeLogFile(rig.device), 1);
  const std::vector<Mk4Packet> live = rig.collector.packets();
  ASSERT_EQ(live.size(), 4000u);
  ZtControl_close(rig.control);

  name = cText(path);
  ASSERT_EQ(ZtControl_openLogFile(rig.control, &name), 1);
  ZtString_destruct(&name);
  ZtDevice* player = ZtControl_device(rig.control, k20Series);
  ASSERT_NE(player, nullptr);
  PlainCCollector replayed;
  ZtDevice_addCallbackHandler(player, replayed.handler(), 0);
  ASSERT_EQ(ZtDevice_loadLogFile(player), 1);
  ASSERT_TRUE(replayed.waitFor(live.size(), std::chrono::milliseconds(20000)));
  const std::vector<Mk4Packet> packets = replayed.packets();
  ASSERT_EQ(packets.size(), live.size());
  size_t valid = 0;
  for (size_t i = 0; i < live.size(); ++i) {
    ASSERT_EQ(packets[i], live[i]) << "packet " << i << ", counter " << live[i].counter;
    valid += live[i].hasOrientation && (live[i].status & 0x2) != 0;
  }
  EXPECT_GT(valid, 600u);
}

// A started Zkf3i filter that keeps each step's no-rotation request.
class RequestRecorder : public Zkf3iFilter {
 public:
  RequestRecorder() : Zkf3iFilter(nullptr) {}
  bool doOneKalmanStep(const ZkfSensorData&, const ZkfAiding&, const ZkfRealTimeParameters& realTime,
                       ZkfFilterOutput&, const ZkfTime*) override {
    requests.push_back(static_cast<const Zkf3iRealTimeParameters&>(realTime).noRotationDuration);
    return false;
  }
  bool isInitialized() const override { return true; }
  std::vector<uint16_t> requests;
};

TEST(Mk4Filter, ANoRotationRequestReachesExactlyOneStep) {
  TempDir dir;
  Mk4StreamRig rig(k20Series, {{0xA010, 2000}}, {Segment::still(1.0)}, [](TrackerModel&) {}, {},
                   writeZkf3iProfiles(dir));
  ASSERT_TRUE(rig.opened);
  ASSERT_TRUE(rig.startMeasuring());
  auto* recorder = new RequestRecorder();
  const NonIntrusiveSharedPointer<ZtZkfFilter> handle(recorder);
  rig.mk4->setZkfFilter(handle);
  ASSERT_TRUE(rig.burst(40));
  // Kept on the host for the filter's next step (the device gets no command).
  ASSERT_EQ(ZtDevice_setNoRotation(rig.device, 7), 1);
  EXPECT_EQ(rig.mk4->pendingNoRotation(), 7);
  ASSERT_TRUE(rig.burst(60));
  const size_t before = recorder->requests.size() - 3;
  ASSERT_GE(recorder->requests.size(), 4u);
  std::vector<uint16_t> after(recorder->requests.begin() + static_cast<std::ptrdiff_t>(before), recorder->requests.end());
  EXPECT_EQ(after, (std::vector<uint16_t>{7, 0, 0}));
  for (size_t i = 0; i < before; ++i) EXPECT_EQ(recorder->requests[i], 0) << i;
  EXPECT_EQ(rig.mk4->pendingNoRotation(), 0);
}

}  // namespace
}  // namespace zelto::test
