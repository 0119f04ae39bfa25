// The fourth-generation tracker base and its classes, opened by the factory on an emulated
// tracker: the six series with their built-in host profiles, the setters that go by message and
// their refusals (processing flags, synchronisation, output configuration), processed
// configurations, the legacy switch, host orientation resets and the calibration's refusal of a
// record without gains.
#include <gtest/gtest.h>

#include <cmath>

#include "ekts/EktsManager.h"
#include "errors/ZtException.h"
#include "trackers/KtMk4CalibrationInfo.h"
#include "trackers/KtMk4_X00Device.h"
#include "trackers/Mk4StreamRig.h"

namespace zelto::test {
namespace {

using filtersim::Segment;
constexpr uint32_t k10Series = 0x00101234;
constexpr double kMk4DeviceDeg = M_PI / 180.0;

std::vector<EmuFrame> framesOf(const DeviceEmulator& emu, uint8_t id) {
  std::vector<EmuFrame> out;
  for (const EmuFrame& f : emu.received())
    if (f.messageId == id) out.push_back(f);
  return out;
}

// The host profiles of each series from the built-in profiles, as the C interface lists them:
// the no-filter series none, the restricted series only the "ZKF-3I" scenario without the
// magnetometer update (type 6), the other filtered series both, choosing the first (type 2).
TEST(Mk4Device, TheFactoryMakesEachSeriesWithItsBuiltInHostProfile) {
  const struct {
    const char* name;
    uint32_t id;
    bool x00;
    bool noFilterSeries;
    bool restrictedSeries;
    std::vector<int> hostTypes;
    int chosen;
    const char* label;
  } cases[] = {
      {"10-series", 0x00101234, false, true, false, {}, 0, ""},
      {"20-series", 0x00201234, false, false, true, {6}, 6, "general_nomag"},
      {"30-series", 0x00301234, false, false, false, {2, 6}, 2, "general"},
      {"100-series", 0x00401234, true, true, false, {}, 0, ""},
      {"200-series", 0x00501234, true, false, true, {6}, 6, "general_nomag"},
      {"300-series", 0x00601234, true, false, false, {2, 6}, 2, "general"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Mk4StreamRig rig(c.id, {{0xA010, 2000}}, {Segment::still(1.0)}, [](TrackerModel& m) {
      m.setOnboardProfiles({{1, 1, "general"}, {2, 1, "dynamic"}});
    });
    ASSERT_TRUE(rig.opened);
    ASSERT_NE(rig.mk4, nullptr);
    EXPECT_EQ(dynamic_cast<KtMk4_X00Device*>(rig.device) != nullptr, c.x00);
    EXPECT_EQ(ZtDevice_isInitialized(rig.device), 1);
    EXPECT_EQ(rig.mk4->isNoFilterSeries(), c.noFilterSeries);
    EXPECT_EQ(rig.mk4->isRestrictedSeries(), c.restrictedSeries);
    ZtFilterProfileArray host;
    ZtFilterProfileArray_construct(&host, 0, nullptr);
    ASSERT_EQ(ZtDevice_availableZdaFilterProfiles(rig.device, &host), &host);
    std::vector<int> types;
    for (size_t i = 0; i < host.size; ++i) {
      types.push_back(host.data[i].type);
      EXPECT_EQ(host.data[i].filterType, 'I') << i;
    }
    ZtArray_destruct(ZTARRAY(&host));
    EXPECT_EQ(types, c.hostTypes);
    const ZtFilterProfile chosen = ZtDevice_zdaFilterProfile(rig.device);
    EXPECT_EQ(chosen.type, c.chosen);
    EXPECT_STREQ(chosen.label, c.label);
    EXPECT_EQ(rig.mk4->hasZkfFilter(), !c.noFilterSeries);
    // The no-filter series lists no onboard scenarios; the filtered ones ask the device.
    EXPECT_EQ(rig.mk4->availableOnboardFilterProfiles().size(), c.noFilterSeries ? 0u : 2u);
    EXPECT_EQ(rig.mk4->getBaseFrequency(0x3010), c.x00 ? 50 : 0);
    EXPECT_EQ(rig.mk4->getBaseFrequency(0x5040), 0);  // not a GNSS variant
    EXPECT_EQ(rig.mk4->supportedUpdateRates(0xA010),
              (std::vector<int>{2000, 1000, 400, 200, 100, 80, 50, 40, 25, 20, 16, 10, 8, 5, 4, 2, 1}));
    EXPECT_EQ(rig.mk4->supportedUpdateRates(0x2010),
              (std::vector<int>{400, 200, 100, 80, 50, 40, 25, 20, 16, 10, 8, 5, 4, 2, 1}));
    EXPECT_TRUE(rig.mk4->supportedUpdateRates(0x3010).empty() != c.x00);
  }
}

TEST(Mk4Device, ProcessingFlagsAreSentWhenTheyDifferFromTheAcknowledgedOnes) {
  // The device has fixed gravity on; the version-5 record has no field that says so.
  Mk4StreamRig rig(k10Series, {}, {Segment::still(1.0)}, [](TrackerModel& m) { m.setRow(0x20, {0x00, 0x02}); });
  ASSERT_TRUE(rig.opened);
  ASSERT_FALSE(rig.mk4->ekts()->hasProcessingFlags());
  const struct {
    const char* name;
    bool fixedGravity;  // else initial bias update
    bool enable;
    bool sent;
    std::vector<uint8_t> deviceFlags;
  } steps[] = {
      {"switch off what the device has on", true, false, true, {0x00, 0x00}},
      {"the same again", true, false, false, {0x00, 0x00}},
      {"the other flag on", false, true, true, {0x00, 0x01}},
      {"the other flag on again", false, true, false, {0x00, 0x01}},
      {"fixed gravity back on", true, true, true, {0x00, 0x03}},
  };
  for (const auto& s : steps) {
    SCOPED_TRACE(s.name);
    const size_t before = rig.emu->receivedCount(0x20);
    const int ok = s.fixedGravity ? ZtDevice_setFixedGravityEnabled(rig.device, s.enable)
                                  : ZtDevice_setInitialBiasUpdateEnabled(rig.device, s.enable);
    EXPECT_EQ(ok, 1);
    EXPECT_EQ(rig.emu->receivedCount(0x20), before + (s.sent ? 1 : 0));
    EXPECT_EQ(rig.model.row(0x20), s.deviceFlags);
    EXPECT_EQ(ZtDevice_isFixedGravityEnabled(rig.device), (s.deviceFlags[1] & 2) ? 1 : 0);
    EXPECT_EQ(ZtDevice_isInitialBiasUpdateEnabled(rig.device), (s.deviceFlags[1] & 1) ? 1 : 0);
  }
  // Unacknowledged: false, and the flags stay as acknowledged last.
  rig.emu->script(0x20, EmuAction::silence());
  EXPECT_EQ(ZtDevice_setFixedGravityEnabled(rig.device, false), 0);
  EXPECT_EQ(ZtDevice_isFixedGravityEnabled(rig.device), 1);
}

ZtSyncSetting syncSetting(int32_t line, int32_t function, uint32_t pulseWidth, int32_t offset, uint16_t clock = 0) {
  ZtSyncSetting s{};
  s.line = line;
  s.function = function;
  s.polarity = 1;
  s.pulseWidth = pulseWidth;
  s.offset = offset;
  s.skipFirst = 3;
  s.skipFactor = 2;
  s.clockPeriod = clock;
  s.triggerOnce = 1;
  return s;
}

TEST(Mk4Device, SynchronisationSettingsFitTheirMessageOrAreRefused) {
  Mk4StreamRig rig(k10Series, {}, {Segment::still(1.0)});
  ASSERT_TRUE(rig.opened);
  const struct {
    const char* name;
    std::vector<ZtSyncSetting> settings;
  } refused[] = {
      {"eleven settings", std::vector<ZtSyncSetting>(11, syncSetting(0, 3, 100, 100))},
      {"pulse width past 16 bits of 100 us", {syncSetting(8, 4, 6553600, 0)}},
      {"negative offset", {syncSetting(0, 3, 0, -100)}},
      {"offset past 16 bits of 100 us", {syncSetting(0, 3, 0, 6553600)}},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(rig.mk4->setSyncSettings(c.settings));
    EXPECT_EQ(rig.emu->receivedCount(0x2C), 0u);
  }
  // Ten settings: 120 bytes; the clock function carries its period in place of the offset.
  std::vector<ZtSyncSetting> ten;
  for (int i = 0; i < 9; ++i) ten.push_back(syncSetting(0, 3, 6553500, 100 * i));
  ten.push_back(syncSetting(3, 9, 0, -7, 40));
  ASSERT_TRUE(rig.mk4->setSyncSettings(ten));
  const std::vector<EmuFrame> mk4DeviceSent = framesOf(*rig.emu, 0x2C);
  ASSERT_EQ(mk4DeviceSent.size(), 1u);
  ASSERT_EQ(mk4DeviceSent[0].payload.size(), 120u);
  const uint8_t* clock = mk4DeviceSent[0].payload.data() + 108;
  EXPECT_EQ(clock[0], 9);
  EXPECT_EQ(clock[1], 0);  // generic line 3 is line 0 of the fourth generation
  EXPECT_EQ((clock[10] << 8) | clock[11], 40);
  EXPECT_EQ((mk4DeviceSent[0].payload[8] << 8) | mk4DeviceSent[0].payload[9], 65535);
  // Read back from the record: lines translated back, times in microseconds again.
  const std::vector<ZtSyncSetting> back = rig.mk4->syncSettings();
  ASSERT_EQ(back.size(), 10u);
  for (int i = 0; i < 9; ++i) {
    EXPECT_EQ(back[i].line, 0);
    EXPECT_EQ(back[i].function, 3);
    EXPECT_EQ(back[i].pulseWidth, 6553500u);
    EXPECT_EQ(back[i].offset, 100 * i);
    EXPECT_EQ(back[i].skipFirst, 3);
    EXPECT_EQ(back[i].skipFactor, 2);
    EXPECT_EQ(back[i].triggerOnce, 1);
  }
  EXPECT_EQ(back[9].line, 3);
  EXPECT_EQ(back[9].clockPeriod, 40);
  EXPECT_EQ(back[9].offset, 0);
}

TEST(Mk4Device, OutputConfigurationsAndTheirProcessedForm) {
  Mk4StreamRig rig(k10Series, {}, {Segment::still(1.0)});
  ASSERT_TRUE(rig.opened);
  // More entries than the record's 32 rows: refused unsent. The same configuration: nothing sent.
  Pairs tooMany;
  for (uint16_t i = 0; i < 33; ++i) tooMany.emplace_back(static_cast<uint16_t>(0x1000 + 16 * i), 1);
  EXPECT_FALSE(rig.setConfiguration(tooMany));
  EXPECT_EQ(rig.emu->receivedCount(0xC0), 0u);
  tooMany.pop_back();
  EXPECT_TRUE(rig.setConfiguration(tooMany));
  EXPECT_EQ(rig.model.outputConfiguration(), tooMany);
  EXPECT_TRUE(rig.setConfiguration(tooMany));
  EXPECT_EQ(rig.emu->receivedCount(0xC0), 1u);

  const struct {
    const char* name;
    Pairs configuration;
    Pairs appended;
    int rawDecimation, outputDecimation;
  } cases[] = {
      {"increments at 100 Hz, no raw readout", {{0x8030, 100}, {0x4010, 100}}, {{0x8020, 100}, {0x4020, 100}}, 1, 1},
      {"raw readout at 2000 Hz alone",
       {{0xA010, 2000}},
       {{0x8020, 2000}, {0x4020, 2000}, {0xC020, 2000}, {0x8030, 400}, {0x4010, 400}, {0x2010, 100}, {0xE020, 100}},
       5,
       4},
      {"rates at 400 Hz",
       {{0x8020, 400}, {0x4020, 400}},
       {{0x8030, 400}, {0x4010, 400}, {0x2010, 100}, {0xE020, 100}},
       1,
       4},
      {"raw readout at 2000 Hz with status", {{0xA010, 2000}, {0xE020, 50}},
       {{0x8020, 2000}, {0x4020, 2000}, {0xC020, 2000}, {0x8030, 400}, {0x4010, 400}, {0x2010, 100}}, 5, 4},
      {"raw readout at 1000 Hz (no 400 Hz window)", {{0xA010, 1000}},
       {{0x8020, 1000}, {0x4020, 1000}, {0xC020, 1000}}, 1, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(rig.setConfiguration(c.configuration));
    Pairs expected = c.configuration;
    expected.insert(expected.end(), c.appended.begin(), c.appended.end());
    EXPECT_EQ(rig.processed(), expected);
    EXPECT_EQ(rig.mk4->rawWindowDecimation(), c.rawDecimation);
    EXPECT_EQ(rig.mk4->outputWindowDecimation(), c.outputDecimation);
    EXPECT_EQ(ZtDevice_hasProcessedDataEnabled(rig.device, 0x2000), c.outputDecimation != 1 ? 1 : 0);
    EXPECT_EQ(ZtDevice_hasDataEnabled(rig.device, 0x2000), 0);
  }

  // A legacy device mode clears the configuration on the device first.
  ZtDeviceMode mode{};
  mode.outputMode = 0x0002;
  mode.outputSettings = 1;
  mode.period = 1152;
  ASSERT_EQ(ZtDevice_setDeviceMode(rig.device, &mode), 1);
  const std::vector<EmuFrame> cleared = framesOf(*rig.emu, 0xC0);
  EXPECT_EQ(cleared.back().payload, (std::vector<uint8_t>{0, 0, 0, 0}));
  EXPECT_EQ(ZtDevice_isInLegacyMode(rig.device), 1);
  EXPECT_EQ(rig.model.row(0xD0), (std::vector<uint8_t>{0x00, 0x02}));
  EXPECT_EQ(ZtDevice_updateRateForDataIdentifier(rig.device, 0x4020), 100);
}

TEST(Mk4Device, FixedSettingsAndCommandsWithoutHostFilter) {
  Mk4StreamRig rig(k10Series, {}, {Segment::still(1.0)});
  ASSERT_TRUE(rig.opened);
  EXPECT_EQ(rig.mk4->errorMode(), 2);
  EXPECT_TRUE(rig.mk4->setErrorMode(static_cast<ZtErrorMode>(2)));
  EXPECT_FALSE(rig.mk4->setErrorMode(static_cast<ZtErrorMode>(1)));
  EXPECT_TRUE(rig.mk4->setRs485TransmissionDelay(0));
  EXPECT_FALSE(rig.mk4->setRs485TransmissionDelay(5));
  EXPECT_EQ(rig.emu->receivedCount(0xDA) + rig.emu->receivedCount(0xDC), 0u);
  // Without a host filter the no-rotation request goes to the device.
  EXPECT_TRUE(rig.mk4->setNoRotation(5));
  EXPECT_EQ(rig.emu->receivedCount(0x22), 1u);
  EXPECT_EQ(rig.mk4->pendingNoRotation(), 0);
  // The heading offset goes by 0x82 and is kept once acknowledged.
  EXPECT_TRUE(rig.mk4->setHeadingOffset(0.25));
  EXPECT_NEAR(rig.mk4->headingOffset(), 0.25, 1e-9);
  EXPECT_EQ(rig.emu->receivedCount(0x82), 1u);
  EXPECT_EQ(rig.model.row(0x82).size(), 4u);
}

ZtQuaternion yawTilt(double yaw, double tilt) {
  const zelto::Quaternion z(std::cos(yaw / 2), 0, 0, std::sin(yaw / 2));
  const zelto::Quaternion x(std::cos(tilt / 2), std::sin(tilt / 2), 0, 0);
  zelto::Quaternion q;
  q.isQuatMulQuat(z, x);
  return q;
}

double yawOf(const ZtQuaternion& q) {
  return std::atan2(2 * (q.x * q.y + q.w * q.z), q.w * q.w + q.x * q.x - q.y * q.y - q.z * q.z);
}

double tiltOf(const ZtQuaternion& q) {
  // The angle between the sensor's z axis and the vertical.
  return std::acos(std::clamp(q.w * q.w - q.x * q.x - q.y * q.y + q.z * q.z, -1.0, 1.0));
}

TEST(Mk4Device, HostResetsGoThroughTheAlignmentRotations) {
  Mk4StreamRig rig(k10Series, {{0xA010, 2000}}, {Segment::still(100.0)});
  ASSERT_TRUE(rig.opened);
  ASSERT_TRUE(rig.startMeasuring());
  const ZtQuaternion q = yawTilt(30 * kMk4DeviceDeg, 20 * kMk4DeviceDeg);
  const struct {
    const char* name;
    ZtResetMethod method;
    double yaw, tilt;  // of the result for q
  } steps[] = {
      {"heading reset", ZRM_Heading, 0.0, 20.0},
      {"none pending: unchanged", ZRM_None, 0.0, 20.0},
      {"local rotation back to identity", static_cast<ZtResetMethod>(5), 30.0, 20.0},
      {"inclination reset", ZRM_Object, 30.0, 0.0},
      {"alignment reset", ZRM_Alignment, 0.0, 0.0},
      {"both back to identity", static_cast<ZtResetMethod>(7), 30.0, 20.0},
  };
  for (const auto& s : steps) {
    SCOPED_TRACE(s.name);
    // 1, 3 and 4 stay on the host (the device outputs no orientation); 5 to 7 also go to it.
    if (s.method != ZRM_None) {
      ASSERT_EQ(ZtDevice_resetOrientation(rig.device, s.method), 1);
    }
    const ZtQuaternion r = rig.mk4->doOrientationResets(q);
    EXPECT_NEAR(yawOf(r) / kMk4DeviceDeg, s.yaw, 1e-6);
    EXPECT_NEAR(tiltOf(r) / kMk4DeviceDeg, s.tilt, 1e-4);  // acos near 1 keeps about 1e-6 degrees
    EXPECT_EQ(rig.mk4->resetMethod(), ZRM_None);
  }
  EXPECT_EQ(rig.emu->receivedCount(0xA4), 2u);
}

TEST(Mk4Device, CalibrationRefusesARecordWithoutGains) {
  Mk4StreamRig rig(k10Series, {}, {Segment::still(1.0)});
  ASSERT_TRUE(rig.opened);
  ZtScrData raw{};
  raw.acc[0] = 33000;
  ZtCalibratedData out;
  const KtMk4CalibrationInfo empty;
  EXPECT_THROW(rig.mk4->calibrateData(raw, &empty, out), ZtException);
  // The older record form is not the fourth generation's.
  const CalibrationInfo older;
  EXPECT_FALSE(rig.mk4->calibrateData(raw, &older, out));
}

}  // namespace
}  // namespace zelto::test
