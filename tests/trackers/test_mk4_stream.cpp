// A fourth-generation tracker without host filter (10-series, factory type 20) through the C
// interface on a pseudo-terminal: output configurations set on the device and processed, the
// 2000 Hz raw stream calibrated with four temperatures, increments from the device and from the
// host, resets with device-side orientation, the alignment rotation round trip, configuration
// files and a recording replayed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>

#include "ekts/EktsManager.h"
#include "support/TempDir.h"
#include "trackers/Mk4StreamRig.h"

namespace zelto::test {
namespace {

using filtersim::Segment;
using filtersim::Vec3;
constexpr uint32_t kMk4Stream10Series = 0x00101234;
constexpr double kMk4StreamDeg = M_PI / 180.0;

// Temperature terms large enough that a temperature read from the wrong word shows.
void strongTemperatureTerms(TrackerModel& m) {
  const double linGainAcc[3] = {0.8, -0.6, 0.5}, quadGainAcc[3] = {0.01, -0.02, 0.015};
  const double linOffsetGyr[3] = {5.0, -4.0, 3.0}, linGainGyr[3] = {2.0, -1.5, 1.0};
  const double quadGainGyr[3] = {0.01, 0.02, -0.01}, quadOffsetGyr[3] = {0.05, -0.04, 0.03};
  for (int i = 0; i < 3; ++i) {
    m.sensor.tempLinGainAcc[i] = linGainAcc[i];
    m.sensor.tempQuadGainAcc[i] = quadGainAcc[i];
    m.sensor.tempLinOffsetGyr[i] = linOffsetGyr[i];
    m.sensor.tempLinGainGyr[i] = linGainGyr[i];
    m.sensor.tempQuadGainGyr[i] = quadGainGyr[i];
    m.sensor.tempQuadOffsetGyr[i] = quadOffsetGyr[i];
    m.sensor.tempLinGainMag[i] = 20.0;
  }
}

RawStreamOptions fourTemperatures() {
  RawStreamOptions o;
  o.temperature = 31.5;
  o.gyroTemperatures[0] = 20.0;
  o.gyroTemperatures[1] = 45.0;
  o.gyroTemperatures[2] = -5.0;
  o.status = 0x00000004;
  return o;
}

std::vector<Segment> turning() {
  return {Segment::still(0.5), Segment::rotate(1.0, Vec3(0.3, -0.2, 1.0), 50.0 * kMk4StreamDeg),
          Segment::sinusoid(2.0, Vec3(1.0, 0.5, 0.0), 20.0 * kMk4StreamDeg, 1.0), Segment::still(1.0)};
}

// The rate the emulator encoded for a sample: its mean over the increment interval.
Vec3 meanRate(const filtersim::Sample& s) {
  const Eigen::AngleAxisd a(s.dq);
  return a.axis() * a.angle() / s.T;
}

// The truth's increments composed over the counters first..last (frame at the first's start).
void composedTruth(const RawTrajectory& stream, uint16_t first, uint16_t last, filtersim::Quat& dq, Vec3& dv) {
  dq = filtersim::Quat::Identity();
  dv = Vec3::Zero();
  for (uint16_t c = first;; ++c) {
    filtersim::Sample s;
    EXPECT_TRUE(stream.truth(c, s)) << c;
    dv += dq * s.dv;
    dq = (dq * s.dq).normalized();
    if (c == last) break;
  }
}

// The angle of the rotation between a (not necessarily of unit length) and b.
double quatErrorRad(const double a[4], const filtersim::Quat& b) {
  const filtersim::Quat e = filtersim::Quat(a[0], a[1], a[2], a[3]).normalized().conjugate() * b;
  return 2.0 * std::atan2(e.vec().norm(), std::fabs(e.w()));
}

TEST(Mk4Stream, RawAt2000HzCalibratesWithFourTemperaturesAndTheIncrementsMatchTheTruth) {
  Mk4StreamRig rig(kMk4Stream10Series, {}, turning(), strongTemperatureTerms, fourTemperatures());
  ASSERT_TRUE(rig.opened);
  ASSERT_NE(rig.mk4, nullptr);
  EXPECT_EQ(ZtDevice_isInLegacyMode(rig.device), 1);

  // Raw data at 2000 Hz, increments at 100 Hz and status from the device.
  const Pairs withIncrements = {{0xA010, 2000}, {0x8030, 100}, {0x4010, 100}, {0xE020, 100}};
  ASSERT_TRUE(rig.setConfiguration(withIncrements));
  EXPECT_EQ(rig.model.outputConfiguration(), withIncrements);
  EXPECT_EQ(ZtDevice_isInLegacyMode(rig.device), 0);
  EXPECT_EQ(ZtDevice_updateRateForDataIdentifier(rig.device, 0xA010), 2000);
  EXPECT_EQ(ZtDevice_updateRateForDataIdentifier(rig.device, 0x2000), 0);
  // The host adds the calibrated values at the raw rate; the device's increments stand.
  Pairs expected = withIncrements;
  expected.insert(expected.end(), {{0x8020, 2000}, {0x4020, 2000}, {0xC020, 2000}});
  EXPECT_EQ(rig.processed(), expected);
  EXPECT_EQ(rig.mk4->rawWindowDecimation(), 5);
  EXPECT_EQ(rig.mk4->outputWindowDecimation(), 1);

  ASSERT_TRUE(rig.startMeasuring());
  rig.clearCollected();
  ASSERT_TRUE(rig.burst(4000));
  double worstAcc = 0, worstGyr = 0, worstMag = 0, worstDq = 0, worstDv = 0;
  size_t increments = 0;
  uint16_t previousIncrement = 0;
  for (const Mk4Packet& p : rig.collector.packets()) {
    filtersim::Sample s;
    ASSERT_TRUE(rig.stream->truth(p.counter, s));
    ASSERT_TRUE(p.hasRaw && p.hasCalibrated) << p.counter;
    const Vec3 rate = meanRate(s);
    for (int i = 0; i < 3; ++i) {
      worstAcc = std::max(worstAcc, std::fabs(p.acc[i] - s.acc[i]));
      worstGyr = std::max(worstGyr, std::fabs(p.gyr[i] - rate[i]));
      worstMag = std::max(worstMag, std::fabs(p.mag[i] - s.mag[i]));
    }
    EXPECT_EQ(p.hasStatus, p.hasSdi) << p.counter;
    if (!p.hasSdi) continue;
    // Only the device's 100 Hz increments: every 20th sample, over the 20 samples before.
    if (increments++ > 0) {
      EXPECT_EQ(static_cast<uint16_t>(p.counter - previousIncrement), 20);
    }
    previousIncrement = p.counter;
    filtersim::Quat dq;
    Vec3 dv;
    composedTruth(*rig.stream, static_cast<uint16_t>(p.counter - 19), p.counter, dq, dv);
    worstDq = std::max(worstDq, quatErrorRad(p.dq, dq));
    for (int i = 0; i < 3; ++i) worstDv = std::max(worstDv, std::fabs(p.dv[i] - dv[i]));
  }
  EXPECT_GE(increments, 199u);
  EXPECT_LT(worstAcc, 5e-3);
  EXPECT_LT(worstGyr, 1e-3);
  EXPECT_LT(worstMag, 1e-3);
  EXPECT_LT(worstDq, 1e-6);
  EXPECT_LT(worstDv, 1e-5);

  // Raw data alone: the host makes 400 Hz increments (the documented case, with status at the
  // host output's rate).
  ASSERT_EQ(ZtDevice_gotoConfig(rig.device), 1);
  ASSERT_TRUE(rig.setConfiguration({{0xA010, 2000}}));
  EXPECT_EQ(rig.processed(), (Pairs{{0xA010, 2000},
                                    {0x8020, 2000},
                                    {0x4020, 2000},
                                    {0xC020, 2000},
                                    {0x8030, 400},
                                    {0x4010, 400},
                                    {0x2010, 100},
                                    {0xE020, 100}}));
  EXPECT_EQ(rig.mk4->rawWindowDecimation(), 5);
  EXPECT_EQ(rig.mk4->outputWindowDecimation(), 4);
  EXPECT_DOUBLE_EQ(rig.mk4->sdiScale(), 1.0 / 2000);
  EXPECT_EQ(ZtDevice_updateRateForProcessedDataIdentifier(rig.device, 0x8030), 400);
  ASSERT_TRUE(rig.startMeasuring());
  const size_t before = rig.collector.count();
  ASSERT_TRUE(rig.burst(4000));
  const std::vector<Mk4Packet> packets = rig.collector.packets();
  worstDq = worstDv = 0;
  increments = 0;
  for (size_t i = before; i < packets.size(); ++i) {
    const Mk4Packet& p = packets[i];
    if (!p.hasSdi) continue;
    if (increments++ > 0) {
      EXPECT_EQ(static_cast<uint16_t>(p.counter - previousIncrement), 5);
    }
    previousIncrement = p.counter;
    filtersim::Quat dq;
    Vec3 dv;
    composedTruth(*rig.stream, static_cast<uint16_t>(p.counter - 4), p.counter, dq, dv);
    worstDq = std::max(worstDq, quatErrorRad(p.dq, dq));
    for (int k = 0; k < 3; ++k) worstDv = std::max(worstDv, std::fabs(p.dv[k] - dv[k]));
  }
  EXPECT_GE(increments, 799u);
  // Five samples of 0.5 ms: the rounding of the counts and the point values' sculling.
  EXPECT_LT(worstDq, 2e-6);
  EXPECT_LT(worstDv, 2e-5);
}

TEST(Mk4Stream, ResetsWithDeviceOrientationGoToTheDeviceOnly) {
  Mk4StreamRig rig(kMk4Stream10Series, {{0xA010, 2000}, {0x2010, 100}, {0xE020, 100}}, {Segment::still(100.0)},
                   [](TrackerModel&) {}, fourTemperatures());
  ASSERT_TRUE(rig.opened);
  ASSERT_TRUE(rig.startMeasuring());
  ASSERT_TRUE(rig.burst(400));
  const size_t resetRequests = rig.emu->receivedCount(0xA4);
  for (ZtResetMethod method : {ZRM_Heading, ZRM_Alignment}) {
    ASSERT_EQ(ZtDevice_resetOrientation(rig.device, method), 1);
    ASSERT_TRUE(rig.burst(400));
  }
  // Both went to the device, with their method.
  const std::vector<EmuFrame> frames = rig.emu->received();
  std::vector<uint16_t> methods;
  for (const EmuFrame& f : frames)
    if (f.messageId == 0xA4 && f.payload.size() == 2) methods.push_back(static_cast<uint16_t>(f.payload[0] << 8 | f.payload[1]));
  ASSERT_EQ(rig.emu->receivedCount(0xA4), resetRequests + 2);
  EXPECT_EQ(methods, (std::vector<uint16_t>{ZRM_Heading, ZRM_Alignment}));
  // The device's orientation reaches the application as sent: nothing applied again.
  size_t oriented = 0;
  for (const Mk4Packet& p : rig.collector.packets()) {
    if (!p.hasOrientation) continue;
    ++oriented;
    filtersim::Sample s;
    ASSERT_TRUE(rig.stream->truth(p.counter, s));
    EXPECT_LT(quatErrorRad(p.q, s.q), 1e-6) << p.counter;
  }
  EXPECT_GE(oriented, 60u);
  for (ZtAlignmentFrame frame : {ZAF_Sensor, ZAF_Local}) {
    ZtQuaternion q;
    ZtDevice_alignmentRotationQuaternion(rig.device, &q, frame);
    EXPECT_EQ(q.w, 1.0);
  }
}

TEST(Mk4Stream, TheAlignmentRotationRoundTrips) {
  Mk4StreamRig rig(kMk4Stream10Series, {{0xA010, 2000}}, {Segment::still(10.0)});
  ASSERT_TRUE(rig.opened);
  const double h = 0.3;
  const ZtQuaternion q{std::cos(h), 0.0, std::sin(h) * 0.6, std::sin(h) * 0.8};
  ASSERT_EQ(ZtDevice_setAlignmentRotationQuaternion(rig.device, ZAF_Local, &q), 1);
  // Seen by the device: frame 1 and the four floats.
  std::vector<EmuFrame> mk4StreamSent;
  for (const EmuFrame& f : rig.emu->received())
    if (f.messageId == 0xEC) mk4StreamSent.push_back(f);
  ASSERT_EQ(mk4StreamSent.size(), 1u);
  ASSERT_EQ(mk4StreamSent[0].payload.size(), 17u);
  EXPECT_EQ(mk4StreamSent[0].payload[0], 1);
  const std::vector<float> held = rig.model.alignmentRotation(1);
  EXPECT_FLOAT_EQ(held[0], static_cast<float>(q.w));
  EXPECT_FLOAT_EQ(held[2], static_cast<float>(q.y));
  EXPECT_FLOAT_EQ(held[3], static_cast<float>(q.z));
  EXPECT_EQ(rig.model.alignmentRotation(0)[0], 1.0f);
  // The record and the device object follow, and a new read of the record agrees.
  const zelto::Quaternion record = rig.mk4->ekts()->quatRotLocal();
  EXPECT_NEAR(record.w, q.w, 1e-6);
  EXPECT_NEAR(record.z, q.z, 1e-6);
  ASSERT_EQ(ZtDevice_reinitialize(rig.device), 1);
  ZtQuaternion back;
  ZtDevice_alignmentRotationQuaternion(rig.device, &back, ZAF_Local);
  EXPECT_NEAR(back.w, q.w, 1e-6);
  EXPECT_NEAR(back.y, q.y, 1e-6);
  EXPECT_NEAR(back.z, q.z, 1e-6);
  // A matrix that is not a rotation (scaled) is refused before anything is sent.
  ZtMatrix scaled;
  const double values[9] = {2, 0, 0, 0, 2, 0, 0, 0, 2};
  ZtMatrix_construct(&scaled, 3, 3, 3, values);
  EXPECT_EQ(ZtDevice_setAlignmentRotationMatrix(rig.device, ZAF_Sensor, &scaled), 0);
  ZtMatrix_destruct(&scaled);
  EXPECT_EQ(rig.emu->receivedCount(0xEC), 1u);
}

TEST(Mk4Stream, ConfigurationFilesCarryTheFourthGenerationRequests) {
  const uint8_t requests[] = {0xD0, 0xD2, 0x18, 0x04, 0xD4, 0x84, 0x86, 0xC0, 0x2C, 0x6E, 0x64};
  Mk4StreamRig source(kMk4Stream10Series, {{0xA010, 2000}, {0xE020, 100}}, {Segment::still(1.0)}, [](TrackerModel& m) {
    m.setRow(0x86, {0x00, 0x03});
    m.setRow(0x84, {0x00, 0x2A});
  });
  Mk4StreamRig target(kMk4Stream10Series + 1, {{0x2010, 100}}, {Segment::still(1.0)});
  ASSERT_TRUE(source.opened && target.opened);
  // Sync rows on the source, set through the device.
  ZtSyncSetting sync = source.mk4->supportedSyncSettings()[0];
  ASSERT_TRUE(source.mk4->setSyncSettings({sync}));
  int differing = 0;
  for (uint8_t id : requests) differing += source.model.row(id) != target.model.row(id);
  ASSERT_GE(differing, 4);
  TempDir dir;
  ZtString file = cText(dir.file("mk4.zsa"));
  ASSERT_EQ(ZtDevice_createConfigFile(source.device, &file), 0);
  ASSERT_EQ(ZtDevice_applyConfigFile(target.device, &file), 0);
  ZtString_destruct(&file);
  for (uint8_t id : requests)
    EXPECT_EQ(source.model.row(id), target.model.row(id)) << "request 0x" << std::hex << int(id);
}

TEST(Mk4Stream, ARecordingReplaysToTheSamePackets) {
  TempDir dir;
  const std::string path = dir.file("mk4.log");
  Mk4StreamRig rig(kMk4Stream10Series, {{0xA010, 2000}, {0xE020, 100}}, turning(), strongTemperatureTerms, fourTemperatures());
  ASSERT_TRUE(rig.opened);
  ZtString name = cText(path);
  ASSERT_EQ(ZtDevice_createLogFile(rig.device, &name), 0);
  ZtString_destruct(&name);
  ASSERT_TRUE(rig.startMeasuring());
  // Recording starts inside a window: the replay keeps the recording's window phase.
  const size_t seen = rig.collector.count();
  ASSERT_TRUE(rig.burst((7 - seen % 5) % 5 + 5));
  ASSERT_EQ(rig.collector.count() % 5, 2u);
  ASSERT_EQ(ZtDevice_startRecording(rig.device), 1);
  rig.clearCollected();
  ASSERT_TRUE(rig.burst(3000));
  ASSERT_EQ(ZtDevice_stopRecording(rig.device), 1);
  ASSERT_EQ(ZtDevice_gotoConfig(rig.device), 1);
  ASSERT_EQ(ZtDevice_closeLogFile(rig.device), 1);
  const std::vector<Mk4Packet> live = rig.collector.packets();
  ASSERT_EQ(live.size(), 3000u);
  ZtControl_close(rig.control);

  name = cText(path);
  ASSERT_EQ(ZtControl_openLogFile(rig.control, &name), 1);
  ZtString_destruct(&name);
  ZtDevice* player = ZtControl_device(rig.control, kMk4Stream10Series);
  ASSERT_NE(player, nullptr);
  ASSERT_NE(dynamic_cast<KtMk4_X0Device*>(player), nullptr);
  PlainCCollector replayed;
  ZtDevice_addCallbackHandler(player, replayed.handler(), 0);
  ASSERT_EQ(ZtDevice_loadLogFile(player), 1);
  ASSERT_TRUE(replayed.waitFor(live.size(), std::chrono::milliseconds(20000)));
  const std::vector<Mk4Packet> packets = replayed.packets();
  ASSERT_EQ(packets.size(), live.size());
  size_t increments = 0;
  for (size_t i = 0; i < live.size(); ++i) {
    EXPECT_EQ(packets[i], live[i]) << "packet " << i << ", counter " << live[i].counter;
    increments += live[i].hasSdi;
  }
  EXPECT_EQ(increments, 600u);
}

}  // namespace
}  // namespace zelto::test
