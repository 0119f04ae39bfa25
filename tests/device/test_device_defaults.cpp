// The base behaviour of the device interface: the trivial defaults, the legacy device mode, the
// options, forwarding to the children, the output-configuration tests and the device's own
// settings.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "device/config/DeviceConfigurationMessages.h"
#include "device/config/ZtDeviceConfigurationMetaInformation.h"
#include "foundation/SettingsFile.h"
#include "foundation/Variant.h"
#include "support/CallbackRecorder.h"
#include "support/TestDevice.h"
#include "support/ZtValues.h"

using zelto::test::CallLog;
using zelto::test::TestDevice;

namespace {

bool emptyText(ZtString s) {
  const bool empty = ZtString_length(&s) == 0;
  ZtString_destruct(&s);
  return empty;
}

bool emptyMatrix(const ZtMatrix& m) { return !m.data && m.rows == 0 && m.cols == 0; }
bool emptyVector(const ZtVector& v) { return !v.data && v.size == 0; }
bool emptyProfile(const ZtFilterProfile& p) {
  return p.type == 0 && p.version == 0 && p.label[0] == '\0' && p.filterType == 0 && p.filterMajor == 0 &&
         p.filterMinor == 0;
}

// Every trivial default of the base class, on a plain ZtDevice.
TEST(DeviceDefaults, TrivialDefaults) {
  struct Row {
    const char* name;
    std::function<bool(ZtDevice&)> holds;
  };
  zelto::test::Message message(0x80);
  ZtMatrix matrix{nullptr, 0, 0, 0, 0};
  ZtVector vector{nullptr, 0, 0};
  ZtFilterProfile profile{};
  ZtOutputConfigurationArray configuration;
  ZtOutputConfigurationArray_construct(&configuration, 0, nullptr);
  ZtDataPacket packet;
  ZtDataPacket_construct(&packet);
  const Row rows[] = {
      {"batteryLevel", [](ZtDevice& d) { return d.batteryLevel() == 0; }},
      {"updateRateForDataIdentifier", [](ZtDevice& d) { return d.updateRateForDataIdentifier(0x2010) == 0; }},
      {"updateRateForProcessedDataIdentifier",
       [](ZtDevice& d) { return d.updateRateForProcessedDataIdentifier(0x2010) == 0; }},
      {"supportedUpdateRates", [](ZtDevice& d) { return d.supportedUpdateRates(0).empty(); }},
      {"maximumUpdateRate", [](ZtDevice& d) { return d.maximumUpdateRate() == 0; }},
      {"hasDataEnabled", [](ZtDevice& d) { return !d.hasDataEnabled(0x2010); }},
      {"hasProcessedDataEnabled", [](ZtDevice& d) { return !d.hasProcessedDataEnabled(0x2010); }},
      {"productCode", [](ZtDevice& d) { return emptyText(d.productCode()); }},
      {"portName", [](ZtDevice& d) { return emptyText(d.portName()); }},
      {"logFileName", [](ZtDevice& d) { return emptyText(d.logFileName()); }},
      {"serialBaudRate", [](ZtDevice& d) { return d.serialBaudRate() == 0; }},
      {"hardwareVersion",
       [](ZtDevice& d) {
         const ZtVersion v = d.hardwareVersion();
         return v.major == 0 && v.minor == 0 && v.revision == 0 && v.build == 0 && v.text[0] == '\0';
       }},
      {"startRecording", [](ZtDevice& d) { return !d.startRecording(); }},
      {"stopRecording", [](ZtDevice& d) { return !d.stopRecording(); }},
      {"isSoftwareFilteringEnabled", [](ZtDevice& d) { return !d.isSoftwareFilteringEnabled(); }},
      {"isSoftwareCalibrationEnabled", [](ZtDevice& d) { return !d.isSoftwareCalibrationEnabled(); }},
      {"setSoftwareCalibrationEnabled",
       [](ZtDevice& d) { return d.setSoftwareCalibrationEnabled(true) && !d.isSoftwareCalibrationEnabled(); }},
      {"initializeFilter", [](ZtDevice& d) { return d.initializeFilter(); }},
      {"isMotionTracker", [](ZtDevice& d) { return !d.isMotionTracker(); }},
      {"dataLength", [](ZtDevice& d) { return d.dataLength() == 0; }},
      {"outputMode", [](ZtDevice& d) { return d.outputMode() == 0; }},
      {"outputSettings", [](ZtDevice& d) { return d.outputSettings() == 0; }},
      {"updateRate", [](ZtDevice& d) { return d.updateRate() == 0; }},
      {"stringOutputType", [](ZtDevice& d) { return d.stringOutputType() == 0; }},
      {"setOutputConfiguration", [&](ZtDevice& d) { return !d.setOutputConfiguration(configuration); }},
      {"samplePeriod", [](ZtDevice& d) { return d.samplePeriod() == -1; }},
      {"outputSkipFactor", [](ZtDevice& d) { return d.outputSkipFactor() == -1; }},
      {"deviceMode",
       [](ZtDevice& d) {
         const ZtDeviceMode m = d.deviceMode();
         return m.outputMode == 0 && m.outputSettings == 0 && m.period == 0xFFFF && m.skipFactor == 0xFFFF;
       }},
      {"syncSettings", [](ZtDevice& d) { return d.syncSettings().empty(); }},
      {"supportedSyncSettings", [](ZtDevice& d) { return d.supportedSyncSettings().empty(); }},
      {"setSyncSettings", [](ZtDevice& d) { return !d.setSyncSettings({ZtSyncSetting{}}); }},
      {"syncRole", [](ZtDevice& d) { return d.syncRole() == 1; }},
      {"isSyncMaster", [](ZtDevice& d) { return !d.isSyncMaster(); }},
      {"isSyncSlave", [](ZtDevice& d) { return !d.isSyncSlave(); }},
      {"enableRadio", [](ZtDevice& d) { return !d.enableRadio(11); }},
      {"disableRadio", [](ZtDevice& d) { return !d.disableRadio(); }},
      {"radioChannel", [](ZtDevice& d) { return d.radioChannel() == -1; }},
      {"isRadioEnabled", [](ZtDevice& d) { return !d.isRadioEnabled(); }},
      {"makeOperational", [](ZtDevice& d) { return !d.makeOperational(); }},
      {"isOperational", [](ZtDevice& d) { return !d.isOperational(); }},
      {"isInSyncBoxMode", [](ZtDevice& d) { return !d.isInSyncBoxMode(); }},
      {"setSyncBoxMode", [](ZtDevice& d) { return !d.setSyncBoxMode(true); }},
      {"abortFlushing", [](ZtDevice& d) { return d.abortFlushing(); }},
      {"setDeviceAccepted", [](ZtDevice& d) { return !d.setDeviceAccepted(5); }},
      {"setDeviceRejected", [](ZtDevice& d) { return !d.setDeviceRejected(5); }},
      {"acceptConnection", [](ZtDevice& d) { return !d.acceptConnection(); }},
      {"rejectConnection", [](ZtDevice& d) { return !d.rejectConnection(); }},
      {"wirelessPriority", [](ZtDevice& d) { return d.wirelessPriority() == 0; }},
      {"setWirelessPriority", [](ZtDevice& d) { return !d.setWirelessPriority(3); }},
      {"rejectReason", [](ZtDevice& d) { return d.rejectReason() == ZRR_Unknown; }},
      {"requestBatteryLevel", [](ZtDevice& d) { return !d.requestBatteryLevel(); }},
      {"setTransportMode", [](ZtDevice& d) { return !d.setTransportMode(true); }},
      {"transportMode", [](ZtDevice& d) { return !d.transportMode(); }},
      {"lastKnownRssi", [](ZtDevice& d) { return d.lastKnownRssi() == -128; }},
      {"isBlueToothEnabled", [](ZtDevice& d) { return !d.isBlueToothEnabled(); }},
      {"setBlueToothEnabled", [](ZtDevice& d) { return !d.setBlueToothEnabled(true); }},
      {"isDualOutputEnabled", [](ZtDevice& d) { return !d.isDualOutputEnabled(); }},
      {"setDualOutputEnabled", [](ZtDevice& d) { return !d.setDualOutputEnabled(true); }},
      {"isBusPowerEnabled", [](ZtDevice& d) { return !d.isBusPowerEnabled(); }},
      {"setBusPowerEnabled", [](ZtDevice& d) { return !d.setBusPowerEnabled(true); }},
      {"powerDown", [](ZtDevice& d) { return !d.powerDown(); }},
      {"errorMode", [](ZtDevice& d) { return d.errorMode() == 4; }},
      {"setErrorMode", [](ZtDevice& d) { return !d.setErrorMode(2); }},
      {"setHeadingOffset", [](ZtDevice& d) { return !d.setHeadingOffset(0.5); }},
      {"headingOffset", [](ZtDevice& d) { return d.headingOffset() == 0.0; }},
      {"resetMethod", [](ZtDevice& d) { return d.resetMethod() == 8; }},
      {"setLocationId", [](ZtDevice& d) { return !d.setLocationId(4); }},
      {"locationId", [](ZtDevice& d) { return d.locationId() == 0; }},
      {"objectAlignment", [](ZtDevice& d) { return emptyMatrix(d.objectAlignment()); }},
      {"setObjectAlignment", [&](ZtDevice& d) { return !d.setObjectAlignment(matrix); }},
      {"labMagneticField", [](ZtDevice& d) { return emptyVector(d.labMagneticField()); }},
      {"setLabMagneticField", [&](ZtDevice& d) { return !d.setLabMagneticField(vector); }},
      {"gravityMagnitude", [](ZtDevice& d) { return d.gravityMagnitude() == 0.0; }},
      {"setGravityMagnitude", [](ZtDevice& d) { return !d.setGravityMagnitude(9.81); }},
      {"latLonAlt", [](ZtDevice& d) { return emptyVector(d.latLonAlt()); }},
      {"setLatLonAlt", [&](ZtDevice& d) { return !d.setLatLonAlt(vector); }},
      {"reinitialize", [](ZtDevice& d) { return !d.reinitialize(); }},
      {"zdaFilterProfile", [](ZtDevice& d) { return emptyProfile(d.zdaFilterProfile()); }},
      {"setZdaFilterProfile", [](ZtDevice& d) { return !d.setZdaFilterProfile(1); }},
      {"onboardFilterProfile", [](ZtDevice& d) { return emptyProfile(d.onboardFilterProfile()); }},
      {"setOnboardFilterProfile", [](ZtDevice& d) { return !d.setOnboardFilterProfile(1); }},
      {"replaceFilterProfile", [&](ZtDevice& d) { return !d.replaceFilterProfile(profile, profile); }},
      {"availableOnboardFilterProfiles", [](ZtDevice& d) { return d.availableOnboardFilterProfiles().empty(); }},
      {"availableZdaFilterProfiles", [](ZtDevice& d) { return d.availableZdaFilterProfiles().empty(); }},
      {"accelerometerRange", [](ZtDevice& d) { return d.accelerometerRange() == 0.0; }},
      {"gyroscopeRange", [](ZtDevice& d) { return d.gyroscopeRange() == 0.0; }},
      {"setNoRotation", [](ZtDevice& d) { return !d.setNoRotation(5); }},
      {"rs485TransmissionDelay", [](ZtDevice& d) { return d.rs485TransmissionDelay() == 0; }},
      {"setRs485TransmissionDelay", [](ZtDevice& d) { return !d.setRs485TransmissionDelay(5); }},
      {"runSelfTest", [](ZtDevice& d) { return d.runSelfTest() == 0; }},
      {"requestData", [](ZtDevice& d) { return !d.requestData(); }},
      {"storeFilterState", [](ZtDevice& d) { return !d.storeFilterState(); }},
      {"isInitialBiasUpdateEnabled", [](ZtDevice& d) { return !d.isInitialBiasUpdateEnabled(); }},
      {"setInitialBiasUpdateEnabled", [](ZtDevice& d) { return !d.setInitialBiasUpdateEnabled(true); }},
      {"isFixedGravityEnabled", [](ZtDevice& d) { return !d.isFixedGravityEnabled(); }},
      {"setFixedGravityEnabled", [](ZtDevice& d) { return !d.setFixedGravityEnabled(true); }},
      {"setAlignmentRotationMatrix", [&](ZtDevice& d) { return !d.setAlignmentRotationMatrix(ZAF_Local, matrix); }},
      {"alignmentRotationMatrix", [](ZtDevice& d) { return emptyMatrix(d.alignmentRotationMatrix(ZAF_Sensor)); }},
      {"setAlignmentRotationQuaternion",
       [](ZtDevice& d) { return !d.setAlignmentRotationQuaternion(ZAF_Local, ZtQuaternion{1, 0, 0, 0}); }},
      {"alignmentRotationQuaternion",
       [](ZtDevice& d) {
         const ZtQuaternion q = d.alignmentRotationQuaternion(ZAF_Local);
         return q.w == 0 && q.x == 0 && q.y == 0 && q.z == 0;
       }},
      {"requestGpsStatus", [](ZtDevice& d) { return !d.requestGpsStatus(); }},
      {"setLeverArm", [&](ZtDevice& d) { return !d.setLeverArm(vector); }},
      {"leverArm", [](ZtDevice& d) { return emptyVector(d.leverArm()); }},
      {"utcTime",
       [](ZtDevice& d) {
         const ZtUtcTime t = d.utcTime();
         return t.nano == 0 && t.year == 0 && t.month == 0 && t.day == 0 && t.valid == 0;
       }},
      {"requestUtcTime", [](ZtDevice& d) { return !d.requestUtcTime(); }},
      {"ekts", [](ZtDevice& d) { return d.ekts() == nullptr; }},
      {"determineConfigurationMessageTimeout",
       [](ZtDevice& d) { return d.determineConfigurationMessageTimeout() == 500; }},
      {"closeLogFile without a file", [](ZtDevice& d) { return d.closeLogFile(); }},
      {"isReadingFromFile without a link", [](ZtDevice& d) { return !d.isReadingFromFile(); }},
      {"loadLogFile without a link", [](ZtDevice& d) { return !d.loadLogFile(); }},
      {"abortLoadLogFile without a link", [](ZtDevice& d) { return !d.abortLoadLogFile(); }},
      {"resetLogFileReadPosition without a link", [](ZtDevice& d) { return !d.resetLogFileReadPosition(); }},
      {"children", [](ZtDevice& d) { return d.children().empty(); }},
      {"setSoftwareFilteringEnabled without children", [](ZtDevice& d) { return !d.setSoftwareFilteringEnabled(true); }},
      {"initializeSoftwareCalibration without children", [](ZtDevice& d) { return d.initializeSoftwareCalibration(); }},
      {"isInLegacyMode", [](ZtDevice& d) { return d.isInLegacyMode(); }},
      {"isInStringOutputMode", [](ZtDevice& d) { return !d.isInStringOutputMode(); }},
      {"usesLegacyDeviceMode", [](ZtDevice& d) { return d.usesLegacyDeviceMode(); }},
      {"outputConfiguration",
       [](ZtDevice& d) {
         ZtOutputConfigurationArray a = d.processedOutputConfiguration();
         const bool empty = a.size == 0;
         ZtArray_destruct(ZTARRAY(&a));
         return empty;
       }},
      // The commands whose exchanges belong to the device classes and the later device layers.
      {"gotoMeasurement", [](ZtDevice& d) { return !d.gotoMeasurement(); }},
      {"gotoConfig", [](ZtDevice& d) { return !d.gotoConfig(); }},
      {"restoreFactoryDefaults", [](ZtDevice& d) { return !d.restoreFactoryDefaults(); }},
      {"reset", [](ZtDevice& d) { return !d.reset(); }},
      {"setSerialBaudRate", [](ZtDevice& d) { return !d.setSerialBaudRate(4098); }},
      {"sendCustomMessage",
       [&](ZtDevice& d) {
         zelto::test::Message reply;
         return !d.sendCustomMessage(message.m, true, reply.m, 100);
       }},
      {"setDeviceMode", [](ZtDevice& d) { return !d.setDeviceMode(d.deviceMode()); }},
      {"setUpdateRate", [](ZtDevice& d) { return !d.setUpdateRate(100); }},
      {"scheduleOrientationReset", [](ZtDevice& d) { return !d.scheduleOrientationReset(ZRM_Heading); }},
      {"resetOrientation", [](ZtDevice& d) { return !d.resetOrientation(ZRM_Heading); }},
      {"createConfigFile without a link cannot switch to Config",
       [](ZtDevice& d) {
         ZtString name;
         ZtString_construct(&name, "x.zsa");
         const ZtResultValue r = d.createConfigFile(name);
         ZtString_destruct(&name);
         return r == ZRV_ERROR;
       }},
      {"setQueueMode", [](ZtDevice& d) { return d.setQueueMode(ZQM_Queue) && d.queueMode() == ZQM_Queue; }},
      {"doProcessing with an unknown id changes nothing",
       [&](ZtDevice& d) {
         packet.deviceId = 0x77;
         d.doProcessing(packet);
         return d.children().empty();
       }},
  };
  auto* device = new ZtDevice(ZtDeviceId(3));
  for (const Row& row : rows) EXPECT_TRUE(row.holds(*device)) << row.name;
  device->removeIfNoRefs();
  ZtDataPacket_destruct(&packet);
  ZtArray_destruct(ZTARRAY(&configuration));
}

// ---- Legacy device mode ------------------------------------------------------------------------

TEST(DeviceMode, SetDeviceModeSendsTheSettersInOrderAndStopsAtTheFirstRefusal) {
  struct Case {
    const char* what;
    uint16_t period;
    const char* refused;  // setter scripted to fail, or null
    bool result;
    std::vector<std::string> calls;
  };
  const Case cases[] = {
      {"all accepted", 1152, nullptr, true,
       {"setOutputMode 6", "setOutputSettings 4", "setSamplePeriod 1152", "setOutputSkipFactor 3"}},
      {"period 0 keeps the period", 0, nullptr, true, {"setOutputMode 6", "setOutputSettings 4", "setOutputSkipFactor 3"}},
      {"refused output mode", 1152, "setOutputMode", false, {"setOutputMode 6"}},
      {"refused settings", 1152, "setOutputSettings", false, {"setOutputMode 6", "setOutputSettings 4"}},
      {"refused period", 1152, "setSamplePeriod", false,
       {"setOutputMode 6", "setOutputSettings 4", "setSamplePeriod 1152"}},
      {"refused skip factor", 1152, "setOutputSkipFactor", false,
       {"setOutputMode 6", "setOutputSettings 4", "setSamplePeriod 1152", "setOutputSkipFactor 3"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto* device = new TestDevice(ZtDeviceId(1));
    if (c.refused) device->scriptResult(c.refused, false);
    const ZtDeviceMode mode{6, 4, c.period, 3};
    EXPECT_EQ(device->setDeviceMode(mode), c.result);
    EXPECT_EQ(device->log().lines(), c.calls);
    device->removeIfNoRefs();
  }
}

TEST(DeviceMode, SetUpdateRateGoesThroughTheLegacyMode) {
  struct Case {
    int rate;
    std::vector<std::string> calls;
  };
  // The base mode is output mode 0, settings 0, period and skip factor 0xFFFF.
  const Case cases[] = {
      {100, {"setOutputMode 0", "setOutputSettings 0", "setSamplePeriod 1152", "setOutputSkipFactor 0"}},
      {25, {"setOutputMode 0", "setOutputSettings 0", "setSamplePeriod 1152", "setOutputSkipFactor 3"}},
      {200, {"setOutputMode 0", "setOutputSettings 0", "setSamplePeriod 576", "setOutputSkipFactor 0"}},
      {0, {"setOutputMode 0", "setOutputSettings 0", "setOutputSkipFactor 0"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rate);
    auto* device = new TestDevice(ZtDeviceId(1));
    EXPECT_TRUE(device->setUpdateRate(c.rate));
    EXPECT_EQ(device->log().lines(), c.calls);
    device->removeIfNoRefs();
  }
}

// ---- Options and forwarding to the children -------------------------------------------------------

TEST(DeviceOptions, OptionsMapToCalibrationAndFiltering) {
  auto* device = new TestDevice(ZtDeviceId(1));
  EXPECT_TRUE(device->setOptionEnabled(ZO_SoftwareCalibration, true));
  EXPECT_TRUE(device->isOptionEnabled(ZO_SoftwareCalibration));
  EXPECT_FALSE(device->isOptionEnabled(ZO_SoftwareFiltering));
  EXPECT_TRUE(device->setOptionEnabled(ZO_SoftwareFiltering, true));
  EXPECT_TRUE(device->isOptionEnabled(ZO_SoftwareFiltering));
  device->log().clear();
  EXPECT_FALSE(device->setOptionEnabled(static_cast<ZtOption>(2), true));
  EXPECT_FALSE(device->isOptionEnabled(static_cast<ZtOption>(2)));
  EXPECT_TRUE(device->log().lines().empty());
  device->scriptResult("setSoftwareCalibrationEnabled", false);
  EXPECT_FALSE(device->setOptionEnabled(ZO_SoftwareCalibration, false));
  EXPECT_TRUE(device->isOptionEnabled(ZO_SoftwareCalibration));
  device->removeIfNoRefs();
}

class ForwardingFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    master = new TestDevice(static_cast<Communicator*>(nullptr));
    master->setDeviceId(1);
    a = new TestDevice(master, 2);
    b = new TestDevice(master, 3);
    master->addRef();
    master->log().clear();
  }
  void TearDown() override { master->removeRef(); }
  TestDevice* master = nullptr;
  TestDevice* a = nullptr;
  TestDevice* b = nullptr;
};

TEST_F(ForwardingFixture, CallsReachEveryChildInListOrder) {
  EXPECT_TRUE(master->ZtDevice::setSoftwareFilteringEnabled(true));
  master->ZtDevice::deinitializeSoftwareCalibration();
  master->ZtDevice::writeDeviceSettingsToFile();
  EXPECT_EQ(master->log().lines(),
            (std::vector<std::string>{"setSoftwareFilteringEnabled on 2", "setSoftwareFilteringEnabled on 3",
                                      "deinitializeSoftwareCalibration 2", "deinitializeSoftwareCalibration 3",
                                      "writeDeviceSettingsToFile 2", "writeDeviceSettingsToFile 3"}));
  EXPECT_TRUE(a->isSoftwareFilteringEnabled());
}

TEST_F(ForwardingFixture, CalibrationStopsAtTheFirstChildThatFails) {
  EXPECT_TRUE(master->ZtDevice::initializeSoftwareCalibration());
  a->scriptResult("initializeSoftwareCalibration", false);
  master->log().clear();
  EXPECT_FALSE(master->ZtDevice::initializeSoftwareCalibration());
  EXPECT_EQ(master->log().lines(), std::vector<std::string>{"initializeSoftwareCalibration 2"});
}

TEST_F(ForwardingFixture, FilterStateGoesOnlyToRecordingChildren) {
  b->setState(ZDS_Recording);
  a->setState(ZDS_Measurement);
  master->ZtDevice::writeFilterStateToFile();
  EXPECT_EQ(master->log().lines(), std::vector<std::string>{"writeFilterStateToFile 3"});
}

TEST_F(ForwardingFixture, PacketsGoToTheChildWithTheirDeviceId) {
  ZtDataPacket packet;
  ZtDataPacket_construct(&packet);
  struct Case {
    ZtDeviceId id;
    long a, b;
  };
  // Own id: the base does nothing with it; unknown id: nothing.
  const Case cases[] = {{3, 0, 1}, {2, 1, 1}, {9, 1, 1}, {1, 1, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    packet.deviceId = c.id;
    master->ZtDevice::doProcessing(packet);
    EXPECT_EQ(a->processedPackets(), c.a);
    EXPECT_EQ(b->processedPackets(), c.b);
    EXPECT_EQ(master->processedPackets(), 0);
  }
  ZtDataPacket_destruct(&packet);
}

TEST_F(ForwardingFixture, OrientationResetIsScheduledByTheMaster) {
  EXPECT_TRUE(b->resetOrientation(ZRM_Heading));
  EXPECT_TRUE(master->resetOrientation(ZRM_Object));
  EXPECT_EQ(master->log().lines(),
            (std::vector<std::string>{"scheduleOrientationReset 1 1", "scheduleOrientationReset 3 1"}));
}

// ---- Output configuration and synchronisation roles ----------------------------------------------

class ConfiguredDevice : public ZtDevice {
 public:
  ConfiguredDevice(size_t outputs, int flags, int stringType, int role)
      : ZtDevice(ZtDeviceId(1)), m_outputs(outputs), m_flags(flags), m_stringType(stringType), m_role(role) {}
  ZtOutputConfigurationArray outputConfiguration() const override {
    ZtOutputConfigurationArray a;
    const ZtOutputConfiguration item{0x2010, 100};
    std::vector<ZtOutputConfiguration> items(m_outputs, item);
    ZtOutputConfigurationArray_construct(&a, m_outputs, items.data());
    a.flags |= m_flags;
    return a;
  }
  int stringOutputType() const override {
    ++stringTypeAsked;
    return m_stringType;
  }
  int syncRole() const override { return m_role; }
  mutable int stringTypeAsked = 0;

 private:
  size_t m_outputs;
  int m_flags, m_stringType, m_role;
};

TEST(DeviceOutputConfiguration, LegacyAndStringOutputModes) {
  struct Case {
    size_t outputs;
    int flags;
    int stringType;
    bool legacy, stringMode, usesLegacy;
  };
  const Case cases[] = {
      {0, 0, 0, true, false, true},           {2, 0, 0, false, false, false},
      {2, ZTARRAY_EMPTY, 0, true, false, true}, {2, 0, 0x10000, false, false, false},
      {2, 0, 0x10001, false, true, true},     {0, 0, 0x0001, true, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.outputs << " outputs, flags " << c.flags << ", type " << c.stringType);
    auto* device = new ConfiguredDevice(c.outputs, c.flags, c.stringType, 1);
    EXPECT_EQ(device->isInLegacyMode(), c.legacy);
    EXPECT_EQ(device->isInStringOutputMode(), c.stringMode);
    device->stringTypeAsked = 0;
    EXPECT_EQ(device->usesLegacyDeviceMode(), c.usesLegacy);
    // A device in legacy mode is not asked for its string output type.
    EXPECT_EQ(device->stringTypeAsked, c.legacy ? 0 : 1);
    device->removeIfNoRefs();
  }
}

TEST(DeviceSync, RolesMakeMastersAndSlaves) {
  struct Case {
    int role;
    bool master, slave;
  };
  const Case cases[] = {{0, false, true}, {1, false, false}, {2, true, true}, {3, true, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.role);
    auto* device = new ConfiguredDevice(0, 0, 0, c.role);
    EXPECT_EQ(device->isSyncMaster(), c.master);
    EXPECT_EQ(device->isSyncSlave(), c.slave);
    device->removeIfNoRefs();
  }
}

// ---- States, settings and rates ------------------------------------------------------------------

TEST(DeviceStates, MeasuringAndRecordingByState) {
  auto* device = new TestDevice(ZtDeviceId(1));
  for (int s = ZDS_Initial; s <= ZDS_Destructing; ++s) {
    SCOPED_TRACE(s);
    device->setState(static_cast<ZtDeviceState>(s));
    EXPECT_EQ(device->isMeasuring(), s >= 2 && s <= 6);
    EXPECT_EQ(device->isRecording(), s >= 3 && s <= 6);
  }
  device->removeIfNoRefs();
}

TEST(DeviceStates, UpdateDeviceStateRaisesOnlyChanges) {
  CallbackRecorder recorder;
  auto* device = new TestDevice(ZtDeviceId(1));
  device->addCallbackHandler(&recorder, false);
  device->updateDeviceState(ZDS_Config);
  device->updateDeviceState(ZDS_Config);
  device->updateDeviceState(ZDS_Measurement);
  const auto events = recorder.events(CallbackRecorder::Kind::DeviceStateChanged);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].values[0], ZDS_Config);
  EXPECT_EQ(events[0].values[1], ZDS_Initial);
  EXPECT_EQ(events[1].values[0], ZDS_Measurement);
  EXPECT_EQ(events[1].values[1], ZDS_Config);
  EXPECT_EQ(device->deviceState(), ZDS_Measurement);
  device->removeCallbackHandler(&recorder, false);
  device->removeIfNoRefs();
}

TEST(DeviceSettings, InitializeKeepsACopyOfTheSettings) {
  zelto::SettingsFile given;
  given.setSetting("Filter.gain", zelto::Variant(3));
  given.setSetting("Port.name", zelto::Variant("ttyUSB0"));
  auto* device = new TestDevice(ZtDeviceId(1));
  EXPECT_FALSE(device->isInitialized());
  EXPECT_TRUE(device->initialize(given));
  EXPECT_TRUE(device->isInitialized());
  given.setSetting("Filter.gain", zelto::Variant(4));  // the device's copy does not follow
  EXPECT_EQ(device->settings().count(), 2u);
  EXPECT_EQ(device->settings().setting("Filter.gain"), zelto::Variant(3));

  // Re-reading while measuring is refused; otherwise the own settings stay as they are.
  device->setState(ZDS_Measurement);
  EXPECT_FALSE(device->updateCachedDeviceInformation());
  device->setState(ZDS_Config);
  EXPECT_TRUE(device->updateCachedDeviceInformation());
  EXPECT_EQ(device->settings().count(), 2u);
  EXPECT_EQ(device->settings().setting("Filter.gain"), zelto::Variant(3));

  // A second initialize replaces the copy.
  zelto::SettingsFile other;
  other.setSetting("Other", zelto::Variant(1));
  EXPECT_TRUE(device->initialize(other));
  EXPECT_EQ(device->settings().count(), 1u);
  device->removeIfNoRefs();
}

TEST(DeviceRates, MaximumUpdateRate) {
  auto* device = new TestDevice(ZtDeviceId(1));
  EXPECT_EQ(device->maximumUpdateRate(), 0);
  device->setSupportedRates({25, 100, 50});
  EXPECT_EQ(device->maximumUpdateRate(), 100);
  device->removeIfNoRefs();
}

// ---- Configuration messages -----------------------------------------------------------------------

TEST(DeviceConfigurationObjects, TheBaseHandsOutAnEmptyRequestListAndTwoInfoSettings) {
  auto* device = new TestDevice(ZtDeviceId(1));
  std::unique_ptr<DeviceConfigurationMessages> messages(device->determineConfigurationMessages());
  ASSERT_NE(messages, nullptr);
  EXPECT_EQ(messages->size(), 0u);
  const uint8_t request[] = {0xFA, 0xFF, 0xD0, 0x00, 0x31};
  EXPECT_TRUE(messages->add("OutputMode", request, sizeof request));
  EXPECT_FALSE(messages->add("OutputMode", Internal::RequestMessage(request, sizeof request)));
  EXPECT_TRUE(messages->add("outputMode", Internal::RequestMessage(request, sizeof request)));
  EXPECT_EQ(messages->size(), 2u);
  Internal::RequestMessage loaded(request, sizeof request);
  EXPECT_EQ(loaded.getMessageId(), 0xD0);
  EXPECT_EQ(loaded.getBusId(), 0xFF);
  loaded.setMessageId(0xD2);
  EXPECT_TRUE(ZtMessage_isChecksumOk(&loaded.getMessage()));
  EXPECT_EQ(Internal::RequestMessage().getMessageId(), 0);

  std::unique_ptr<DeviceConfigurationMetaInformation> meta(device->determineConfigurationMetaInformation());
  ASSERT_NE(meta, nullptr);
  EXPECT_EQ(meta->size(), 2u);
  zelto::SettingsFile file;
  EXPECT_TRUE(meta->write(*device, file));
  EXPECT_EQ(file.count(), 2u);
  EXPECT_TRUE(file.hasSetting("Info.ProductCode"));
  EXPECT_EQ(file.setting("Info.FirmwareVersion"), zelto::Variant("0.0.0"));
  device->removeIfNoRefs();
}

}  // namespace
