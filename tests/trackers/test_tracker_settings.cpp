// The tracker base's settings read from its record and configuration, and the edge cases of its
// requests: sensor ranges, synchronisation role, enabled data, update rates, configuration
// entries, requests refused before sending, short replies, the configuration requests and the
// records the emulator builds.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <thread>

#include "device/config/DeviceConfigurationMessages.h"
#include "ekts/EktsManager.h"
#include "errors/ZtDeviceConfigurationException.h"
#include "support/EmulatedMaster.h"
#include "support/EmulatedTracker.h"
#include "support/TrackerSetterCases.h"

namespace zelto::test {
namespace {

std::string trackerSettingsText(ZtString s) {
  std::string out = ZtString_c_str(&s);
  ZtString_destruct(&s);
  return out;
}

// A tracker without link holding the record of a model.
struct OfflineTracker {
  explicit OfflineTracker(const TrackerModel& model = TrackerModel())
      : tracker(new TestTracker(static_cast<Communicator*>(nullptr))) {
    EXPECT_TRUE(tracker->loadRecord(model.recordImage()));
  }
  ~OfflineTracker() { delete tracker; }
  OfflineTracker(const OfflineTracker&) = delete;
  OfflineTracker& operator=(const OfflineTracker&) = delete;
  TestTracker* tracker;
};

// The requests of a collection, by name.
struct TrackerSettingsPeek : DeviceConfigurationMessages {
  static const std::map<std::string, Internal::RequestMessage>& requests(const DeviceConfigurationMessages& m) {
    return m.*(&TrackerSettingsPeek::m_requests);
  }
};

TEST(TrackerRanges, ProductCodeTable) {
  const struct {
    const char* code;
    const char* type;
    double acc, actualAcc, gyr, actualGyr;
  } cases[] = {
      {"KT-A3G2-MTX", "A3G2-MTX", 17, 17, 1200, 1700},
      {"MT-A3G2-MTX", "", 10000, 10000, 10000, 10000},  // no "KT"
      {"KTA1G0", "A1G0", 100, 100, 1000, 1000},
      {"KT-A9G9", "A9G9", 10000, 10000, 900, 1080},  // accelerometer digit out of the table
      {"KT-A5", "", 10000, 10000, 10000, 10000},     // no G after the A
      {"KT-G2A3", "", 10000, 10000, 10000, 10000},   // the G comes first
      {"KT-A3GX", "A3GX", 17, 17, 10000, 10000},     // no digit after the G
      {"KT-A3G", "A3G", 17, 17, 10000, 10000},       // nothing after the G
      {"KT-AxG1", "AxG1", 10000, 10000, 150, 180},
      {"", "", 10000, 10000, 10000, 10000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    EXPECT_EQ(KtDevice::findHardwareType(c.code), c.type);
    EXPECT_EQ(KtDevice::accelerometerRange(c.code), c.acc);
    EXPECT_EQ(KtDevice::actualAccelerometerRange(c.code), c.actualAcc);
    EXPECT_EQ(KtDevice::gyroscopeRange(c.code), c.gyr);
    EXPECT_EQ(KtDevice::actualGyroscopeRange(c.code), c.actualGyr);
  }
  const double acc[8] = {100, 20, 17, 10000, 50, 60, 160, 180};
  for (int d = 1; d <= 8; ++d) {
    const std::string code = "KT-A" + std::to_string(d) + "G0";
    EXPECT_EQ(KtDevice::accelerometerRange(code), acc[d - 1]) << code;
    EXPECT_EQ(KtDevice::actualAccelerometerRange(code), acc[d - 1]) << code;
  }
  const double gyr[10] = {1000, 150, 1200, 300, 450, 2500, 10000, 10000, 10000, 900};
  const double actualGyr[10] = {1000, 180, 1700, 420, 450, 2500, 10000, 10000, 10000, 1080};
  for (int d = 0; d <= 9; ++d) {
    const std::string code = "KT-A1G" + std::to_string(d);
    EXPECT_EQ(KtDevice::gyroscopeRange(code), gyr[d]) << code;
    EXPECT_EQ(KtDevice::actualGyroscopeRange(code), actualGyr[d]) << code;
  }
}

TEST(TrackerRanges, DeviceReadsItsProductCodeCutAtTheFirstBlank) {
  TrackerModel model;
  model.productCode = "KT-A7G5 EXTRA";
  model.hardwareVersion = 0x0203;
  OfflineTracker o(model);
  EXPECT_EQ(trackerSettingsText(o.tracker->productCode()), "KT-A7G5");
  EXPECT_EQ(o.tracker->accelerometerRange(), 160);
  EXPECT_EQ(o.tracker->gyroscopeRange(), 2500);
  const ZtVersion v = o.tracker->hardwareVersion();
  EXPECT_EQ(v.major, 2u);
  EXPECT_EQ(v.minor, 3u);
  EXPECT_EQ(o.tracker->serialBaudRate(), static_cast<ZtBaudRate>(B115200));
  EXPECT_TRUE(o.tracker->isMotionTracker());
}

TEST(TrackerSettings, SyncRoleFromTheSyncInMode) {
  const struct {
    uint16_t mode;
    int role;
  } cases[] = {{0x00, 1}, {0x01, 3}, {0x03, 3}, {0x04, 2}, {0x05, 2}, {0x06, 2},
               {0x08, 2}, {0x0C, 2}, {0x10, 1}, {0x11, 3}, {0x14, 3}, {0x13, 3}};
  OfflineTracker o;
  for (const auto& c : cases) {
    o.tracker->ekts()->setSyncInMode(c.mode);
    EXPECT_EQ(o.tracker->syncRole(), c.role) << "mode " << c.mode;
  }
}

TEST(TrackerSettings, HasDataEnabledFromOutputModeAndSettings) {
  const struct {
    uint16_t mode;
    uint32_t settings;
    ZtDataIdentifier id;
    bool enabled;
  } cases[] = {
      {0x4000, 0, 0xA010, true},  {0x4000, 0, 0xA013, true},  {0x0000, 0, 0xA010, false},
      {0x0002, 0, 0x8020, true},  {0x0002, 0, 0x4020, true},  {0x0002, 0, 0x8030, false},
      {0x0004, 0, 0x2000, true},  {0x0002, 0, 0x2000, false}, {0x0200, 0, 0x4010, true},
      {0x0200, 0, 0x8030, true},  {0x0800, 0x80, 0xE020, true}, {0x0800, 0x00, 0xE020, false},
      {0x0000, 0x80, 0xE020, false}, {0x0800, 0x80, 0xC020, false}, {0xFFFF, 0xFFFFFFFFu, 0x1020, false},
  };
  OfflineTracker o;
  for (const auto& c : cases) {
    o.tracker->ekts()->setOutputMode(c.mode);
    o.tracker->ekts()->setOutputSettings(c.settings);
    EXPECT_EQ(o.tracker->hasDataEnabled(c.id), c.enabled)
        << std::hex << "mode " << c.mode << " settings " << c.settings << " id " << c.id;
  }
}

TEST(TrackerSettings, UpdateRateFromPeriodAndSkipFactorAChildAsksItsMaster) {
  const struct {
    uint16_t period, skip;
    int rate;
  } cases[] = {{1152, 0, 100}, {58, 0, 2000}, {1152, 1, 50}, {576, 0, 200}};
  OfflineTracker o;
  for (const auto& c : cases) {
    o.tracker->ekts()->setSamplePeriod(c.period);
    o.tracker->ekts()->setOutputSkipFactor(c.skip);
    EXPECT_EQ(o.tracker->updateRate(), c.rate) << c.period << "/" << c.skip;
    EXPECT_EQ(o.tracker->updateRateForDataIdentifier(0x2010), c.rate);
    EXPECT_EQ(o.tracker->updateRateForProcessedDataIdentifier(0x4020), c.rate);
  }
  o.tracker->ekts()->setSamplePeriod(58);
  o.tracker->ekts()->setOutputSkipFactor(0);
  auto* child = new TestTracker(o.tracker, 0x00071235);
  ASSERT_TRUE(child->loadRecord(TrackerModel().recordImage()));  // its own record says 100 Hz
  EXPECT_EQ(child->samplePeriod(), 1152);
  EXPECT_EQ(child->updateRate(), 2000);
  EXPECT_EQ(child->updateRateForDataIdentifier(0x2010), 2000);
  EXPECT_EQ(child->updateRateForProcessedDataIdentifier(0x2010), 2000);
  EXPECT_EQ(child->serialBaudRate(), o.tracker->serialBaudRate());
  delete child;
}

TEST(TrackerSettings, ConfigurationEntryOfTheDevice) {
  OfflineTracker o;
  // No entries: the data length and the configuration-changing setters throw.
  EXPECT_THROW(o.tracker->dataLength(), ZtDeviceConfigurationException);
  EXPECT_THROW(o.tracker->setOutputMode(0x0004), ZtDeviceConfigurationException);
  EXPECT_THROW(o.tracker->setOutputSettings(0x42), ZtDeviceConfigurationException);
  EXPECT_EQ(o.tracker->outputMode(), 0x0002u);  // nothing cached

  o.tracker->setConfiguredDevices({0x00071234});
  const_cast<ZtDeviceConfiguration&>(o.tracker->deviceConfiguration()).deviceInfo[0].dataLength = 31;
  EXPECT_EQ(o.tracker->dataLength(), 31);
  // A child takes the entry that carries its id, wherever it stands; a child the configuration
  // does not list takes none (not the entry at its bus id).
  auto* unlisted = new TestTracker(o.tracker, 0x00071235);
  auto* listed = new TestTracker(o.tracker, 0x00071234);
  EXPECT_EQ(listed->busId(), 2);
  EXPECT_EQ(listed->dataLength(), 31);
  EXPECT_THROW(unlisted->dataLength(), ZtDeviceConfigurationException);
  delete listed;
  delete unlisted;
}

TEST(TrackerSettings, FilteringNeedsCalibration) {
  OfflineTracker o;
  KtDevice& d = *o.tracker;
  EXPECT_TRUE(d.isSoftwareFilteringEnabled());
  EXPECT_TRUE(d.isSoftwareCalibrationEnabled());
  EXPECT_TRUE(d.setSoftwareCalibrationEnabled(false));
  EXPECT_FALSE(d.isSoftwareFilteringEnabled());
  EXPECT_FALSE(d.isSoftwareCalibrationEnabled());
  EXPECT_TRUE(d.setSoftwareFilteringEnabled(true));
  EXPECT_TRUE(d.isSoftwareCalibrationEnabled());
  EXPECT_TRUE(d.setSoftwareFilteringEnabled(false));
  EXPECT_TRUE(d.isSoftwareCalibrationEnabled());
  EXPECT_TRUE(d.isOptionEnabled(ZO_SoftwareCalibration));
  EXPECT_FALSE(d.isOptionEnabled(ZO_SoftwareFiltering));
}

TEST(TrackerSettings, InitialStateIsAnOwnedCopyOfANonEmptyFile) {
  OfflineTracker o;
  EXPECT_EQ(o.tracker->initialState(), nullptr);
  zelto::SettingsFile state;
  state.setSetting("ZKF.state.", "x", zelto::Variant(1.5));
  o.tracker->setInitialState(state);
  ASSERT_NE(o.tracker->initialState(), nullptr);
  EXPECT_NE(o.tracker->initialState(), &state);
  EXPECT_TRUE(o.tracker->initialState()->hasSetting("ZKF.state.", "x"));
  o.tracker->setInitialState(*o.tracker->initialState());  // given back: kept
  ASSERT_NE(o.tracker->initialState(), nullptr);
  EXPECT_TRUE(o.tracker->initialState()->hasSetting("ZKF.state.", "x"));
  zelto::SettingsFile empty;
  o.tracker->setInitialState(empty);
  EXPECT_EQ(o.tracker->initialState(), nullptr);
}

TEST(TrackerRequests, RefusedBeforeSending) {
  EmulatedTracker t;
  double two[2] = {51.0, 7.0};
  double four[4] = {51.0, 7.0, 1.0, 2.0};
  const struct {
    const char* name;
    std::function<bool()> call;
  } cases[] = {
      {"setLatLonAlt with 2 values", [&] { return t.tracker->setLatLonAlt(ZtVector{two, 2, 0}); }},
      {"setLatLonAlt with 4 values", [&] { return t.tracker->setLatLonAlt(ZtVector{four, 4, 0}); }},
      {"setLabMagneticField with 2 values", [&] { return t.tracker->setLabMagneticField(ZtVector{two, 2, 0}); }},
      {"storeFilterState while measuring",
       [&] {
         t.tracker->setState(ZDS_Measurement);
         const bool r = t.tracker->storeFilterState();
         t.tracker->setState(ZDS_Config);
         return r;
       }},
      {"requestData without output on request", [&] { return t.tracker->requestData(); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    t.mark();
    EXPECT_FALSE(c.call());
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(t.framesSinceMark().empty());
  }
}

TEST(TrackerRequests, RequestDataWhileOutputIsOnRequest) {
  EmulatedTracker t;
  t.tracker->ekts()->setOutputSkipFactor(0xFFFF);
  EXPECT_TRUE(t.tracker->requestData());
  ASSERT_TRUE(t.emu->waitForReceived(0x34, 1, EmulatedMaster::kWaitMs));
  const std::vector<EmuFrame> frames = t.framesSinceMark();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_TRUE(frames[0].payload.empty());
  EXPECT_EQ(frames[0].busId, 0xFF);
}

TEST(TrackerRequests, ShortRepliesCacheNothing) {
  EmulatedTracker t;
  const double heading = t.tracker->headingOffset();
  const zelto::Quaternion internalHeading = t.tracker->internalHeading();
  for (std::vector<uint8_t> payload : {std::vector<uint8_t>{}, std::vector<uint8_t>{0x3F, 0x00, 0x00}}) {
    SCOPED_TRACE(payload.size());
    t.emu->script(0x82, EmuAction::reply(payload));
    t.tracker->updateHeadingOffset();
    EXPECT_EQ(t.tracker->headingOffset(), heading);
    EXPECT_EQ(t.tracker->internalHeading(), internalHeading);
  }
  ZtMatrix before = t.tracker->objectAlignment();
  std::vector<uint8_t> eightFloats = floatBytes({0, -1, 0, 1, 0, 0, 0, 0});
  t.emu->script(0xE0, EmuAction::reply(eightFloats));
  t.tracker->updateObjectAlignmentMatrix();
  ZtMatrix after = t.tracker->objectAlignment();
  for (size_t i = 0; i < 9; ++i) EXPECT_EQ(after.data[i], before.data[i]) << i;
  EXPECT_EQ(t.tracker->internalObjectAlignment(), zelto::Quaternion());
  ZtMatrix_destruct(&before);
  ZtMatrix_destruct(&after);
  t.emu->script(0x24, EmuAction::reply({0x01}));
  EXPECT_EQ(t.tracker->runSelfTest(), 0);
  EXPECT_EQ(t.emu->receivedCount(0x24), 1u);
}

TEST(TrackerRequests, OutputConfigurationTakesTheWholePairsOfTheAcknowledgement) {
  EmulatedTracker t;
  // Two pairs and a 2-byte tail.
  t.emu->script(0xC0, EmuAction::reply({0x20, 0x10, 0x00, 0x64, 0x80, 0x20, 0x00, 0x32, 0xE0, 0x20}));
  ZtOutputConfigurationArray a;
  ZtOutputConfigurationArray_construct(&a, 0, nullptr);
  EXPECT_TRUE(t.tracker->setOutputConfiguration(a));
  ASSERT_EQ(a.size, 2u);
  EXPECT_EQ(a.data[0].dataIdentifier, 0x2010);
  EXPECT_EQ(a.data[0].frequency, 100);
  EXPECT_EQ(a.data[1].dataIdentifier, 0x8020);
  EXPECT_EQ(a.data[1].frequency, 50);
  ZtArray_destruct(ZTARRAY(&a));
  // The empty array went out as one zero pair.
  const std::vector<EmuFrame> frames = t.framesSinceMark();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].payload, (std::vector<uint8_t>{0, 0, 0, 0}));
  // The tracker base itself reports no output configuration.
  ZtOutputConfigurationArray own = t.tracker->outputConfiguration();
  EXPECT_EQ(own.size, 0u);
  ZtArray_destruct(ZTARRAY(&own));
}

TEST(TrackerRequests, ConfigurationRequestsByteForByte) {
  OfflineTracker o;
  std::unique_ptr<DeviceConfigurationMessages> messages(o.tracker->determineConfigurationMessages());
  const std::map<std::string, std::vector<uint8_t>> expected = {
      {"OutputMode", {0xFA, 0xFF, 0xD0, 0x00, 0x31}},       {"OutputSettings", {0xFA, 0xFF, 0xD2, 0x00, 0x2F}},
      {"BaudRate", {0xFA, 0xFF, 0x18, 0x00, 0xE9}},         {"Period", {0xFA, 0xFF, 0x04, 0x00, 0xFD}},
      {"OutputSkipFactor", {0xFA, 0xFF, 0xD4, 0x00, 0x2D}}, {"LocationID", {0xFA, 0xFF, 0x84, 0x00, 0x7D}},
  };
  const auto& requests = TrackerSettingsPeek::requests(*messages);
  ASSERT_EQ(requests.size(), expected.size());
  for (const auto& [name, bytes] : expected) {
    SCOPED_TRACE(name);
    auto it = requests.find(name);
    ASSERT_NE(it, requests.end());
    const ZtMessage& m = it->second.getMessage();
    ASSERT_EQ(ZtMessage_getTotalMessageSize(&m), 5u);
    const uint8_t* start = ZtMessage_getMessageStart(&m);
    EXPECT_EQ(std::vector<uint8_t>(start, start + 5), bytes);
  }
}

TEST(TrackerRequests, ConfigurationRequestsAreAnsweredWithTheCachedValues) {
  EmulatedTracker t;
  TestTracker& d = *t.tracker;
  ASSERT_TRUE(d.setOutputMode(0x0006));
  ASSERT_TRUE(d.setOutputSettings(0x00000081));
  ASSERT_TRUE(d.setSamplePeriod(576));
  ASSERT_TRUE(d.setOutputSkipFactor(4));
  ASSERT_TRUE(d.setLocationId(33));
  const std::map<std::string, uint32_t> cached = {
      {"OutputMode", d.outputMode()},
      {"OutputSettings", d.outputSettings()},
      {"BaudRate", ZtBaud_rateToCode(d.serialBaudRate())},
      {"Period", static_cast<uint32_t>(d.samplePeriod())},
      {"OutputSkipFactor", static_cast<uint32_t>(d.outputSkipFactor())},
      {"LocationID", static_cast<uint32_t>(d.locationId())},
  };
  std::unique_ptr<DeviceConfigurationMessages> messages(d.determineConfigurationMessages());
  for (const auto& [name, request] : TrackerSettingsPeek::requests(*messages)) {
    SCOPED_TRACE(name);
    ZtMessage reply;
    ZtMessage_construct(&reply);
    ASSERT_TRUE(d.sendCustomMessage(request.getMessage(), true, reply, 500));
    uint32_t value = 0;
    for (size_t i = 0; i < ZtMessage_dataSize(&reply); ++i) value = (value << 8) | ZtMessage_getDataByte(&reply, i);
    EXPECT_EQ(value, cached.at(name));
    ZtMessage_destruct(&reply);
  }
}

TEST(TrackerRecord, VersionsWithAndWithoutPage5) {
  const struct {
    int version;
    bool page5;
  } cases[] = {{3, true}, {3, false}, {5, true}, {5, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.version) + (c.page5 ? " with page 5" : " without page 5"));
    EmulatedTracker t([&](TrackerModel& m) {
      m.recordVersion = c.version;
      m.page5 = c.page5;
      m.setRow(TrackerModel::LocationId, {0x00, 0x2A});
      m.setRow(TrackerModel::OutputMode, {0x00, 0x06});
    });
    EktsManager& r = *t.tracker->ekts();
    EXPECT_EQ(r.ktsVersionMajor(), c.version);
    EXPECT_EQ(r.hasPage5(), c.page5);
    EXPECT_EQ(trackerSettingsText(t.tracker->productCode()), "KT-A3G2-MTX");
    EXPECT_EQ(t.tracker->deviceId(), t.model.deviceId);
    EXPECT_EQ(r.deviceId(), t.model.deviceId);
    EXPECT_EQ(t.tracker->locationId(), 42);
    EXPECT_EQ(t.tracker->outputMode(), 0x0006u);
    EXPECT_EQ(t.tracker->samplePeriod(), 1152);
    const zelto::Vector3 gain = r.gainAcc();
    for (size_t i = 0; i < 3; ++i) EXPECT_NEAR(gain[i], t.model.sensor.gainAcc[i], 1e-3);
    const zelto::Matrix3x3 misalignment = r.rGyr();
    EXPECT_NEAR(misalignment(0, 1), t.model.sensor.rGyr[1], 1e-6);
    // The page-5 hardware block (read through the version-3 layout).
    if (c.version == 3 && c.page5) {
      EXPECT_NEAR(r.accRange(), t.model.sensor.accRange, 1e-6);
      EXPECT_NEAR(r.gyrRange(), t.model.sensor.gyrRange, 1e-6);
    }
    // The configuration's one entry.
    const ZtDeviceConfiguration& cfg = t.tracker->deviceConfiguration();
    ASSERT_EQ(cfg.numberOfDevices, 1);
    EXPECT_EQ(cfg.deviceInfo[0].deviceId, t.model.deviceId);
    EXPECT_EQ(cfg.deviceInfo[0].outputMode, 0x0006);
    EXPECT_EQ(cfg.deviceInfo[0].currentScenario, 0x0103);
    EXPECT_EQ(cfg.deviceInfo[0].filterType, '3');
    EXPECT_EQ(cfg.deviceInfo[0].filterMajor, 1);
    EXPECT_EQ(cfg.deviceInfo[0].filterMinor, 2);
    EXPECT_EQ(std::string(cfg.date, 8), "20261209");
    EXPECT_EQ(t.tracker->dataLength(), 42);
    // Page by page, the emulator sends the same stored form.
    const std::vector<uint8_t> whole = t.model.recordImage();
    std::vector<uint8_t> pages;
    for (uint8_t page = 0; page < (c.page5 ? 5 : 4); ++page) {
      ZtMessage request, reply;
      ZtMessage_constructSized(&request, 2);
      ZtMessage_setMessageId(&request, 0x90);
      ZtMessage_setDataByte(&request, page, 1);
      ZtMessage_construct(&reply);
      EXPECT_TRUE(t.tracker->sendCustomMessage(request, true, reply, 1000));
      EXPECT_EQ(ZtMessage_getMessageId(&reply), 0x91);
      const uint8_t* data = ZtMessage_constData(&reply);
      if (data) pages.insert(pages.end(), data, data + ZtMessage_dataSize(&reply));
      ZtMessage_destruct(&request);
      ZtMessage_destruct(&reply);
    }
    EXPECT_EQ(pages, whole);
    EXPECT_EQ(whole.size(), c.page5 ? 1320u : 1056u);
  }
}

}  // namespace
}  // namespace zelto::test
