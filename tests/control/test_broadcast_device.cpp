// The broadcast device: its own answers, the forwarded operations over no devices and over
// several (AND of the answers, every device called, the control's lastResult at success).
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "control/BroadcastDevice.h"
#include "support/LogFileBuilder.h"
#include "support/TempDir.h"
#include "support/TestControl.h"

namespace {

using namespace zelto::test;

struct Op {
  const char* name;
  std::function<bool(ZtDevice&)> call;
};

// Every bool operation the broadcast device forwards.
std::vector<Op> forwardedOps() {
  static double values[3] = {1, 2, 3};
  static double matrix[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  return {
      {"setQueueMode", [](ZtDevice& d) { return d.setQueueMode(ZQM_Queue); }},
      {"isOptionEnabled", [](ZtDevice& d) { return d.isOptionEnabled(ZO_SoftwareFiltering); }},
      {"setOptionEnabled", [](ZtDevice& d) { return d.setOptionEnabled(ZO_SoftwareFiltering, true); }},
      {"resetDroppedPacketCount", [](ZtDevice& d) { return d.resetDroppedPacketCount(); }},
      {"setLatLonAlt", [](ZtDevice& d) { return d.setLatLonAlt(ZtVector{values, 3, 0}); }},
      {"storeFilterState", [](ZtDevice& d) { return d.storeFilterState(); }},
      {"setSoftwareFilteringEnabled", [](ZtDevice& d) { return d.setSoftwareFilteringEnabled(true); }},
      {"setSoftwareCalibrationEnabled", [](ZtDevice& d) { return d.setSoftwareCalibrationEnabled(true); }},
      {"setGravityMagnitude", [](ZtDevice& d) { return d.setGravityMagnitude(9.81); }},
      {"setOnboardFilterProfile", [](ZtDevice& d) { return d.setOnboardFilterProfile(1); }},
      {"setZdaFilterProfile", [](ZtDevice& d) { return d.setZdaFilterProfile(1); }},
      {"updateCachedDeviceInformation", [](ZtDevice& d) { return d.updateCachedDeviceInformation(); }},
      {"setTransportMode", [](ZtDevice& d) { return d.setTransportMode(false); }},
      {"reset", [](ZtDevice& d) { return d.reset(); }},
      {"initializeFilter", [](ZtDevice& d) { return d.initializeFilter(); }},
      {"restoreFactoryDefaults", [](ZtDevice& d) { return d.restoreFactoryDefaults(); }},
      {"resetOrientation", [](ZtDevice& d) { return d.resetOrientation(static_cast<ZtResetMethod>(0)); }},
      {"setLocationId", [](ZtDevice& d) { return d.setLocationId(4); }},
      {"setLabMagneticField", [](ZtDevice& d) { return d.setLabMagneticField(ZtVector{values, 3, 0}); }},
      {"setHeadingOffset", [](ZtDevice& d) { return d.setHeadingOffset(0.5); }},
      {"setSyncSettings", [](ZtDevice& d) { return d.setSyncSettings({}); }},
      {"setDeviceMode", [](ZtDevice& d) { return d.setDeviceMode(ZtDeviceMode{}); }},
      {"isReadingFromFile", [](ZtDevice& d) { return d.isReadingFromFile(); }},
      {"isRecording", [](ZtDevice& d) { return d.isRecording(); }},
      {"isMeasuring", [](ZtDevice& d) { return d.isMeasuring(); }},
      {"abortFlushing", [](ZtDevice& d) { return d.abortFlushing(); }},
      {"requestGpsStatus", [](ZtDevice& d) { return d.requestGpsStatus(); }},
      {"requestBatteryLevel", [](ZtDevice& d) { return d.requestBatteryLevel(); }},
      {"setNoRotation", [](ZtDevice& d) { return d.setNoRotation(5); }},
      {"setSerialBaudRate", [](ZtDevice& d) { return d.setSerialBaudRate(0); }},
      {"setObjectAlignment", [](ZtDevice& d) { return d.setObjectAlignment(ZtMatrix{matrix, 3, 3, 3, 0}); }},
      {"startRecording", [](ZtDevice& d) { return d.startRecording(); }},
      {"stopRecording", [](ZtDevice& d) { return d.stopRecording(); }},
      {"gotoMeasurement", [](ZtDevice& d) { return d.gotoMeasurement(); }},
      {"gotoConfig", [](ZtDevice& d) { return d.gotoConfig(); }},
  };
}

TEST(BroadcastDevice, OwnAnswers) {
  TestControl control;
  BroadcastDevice& all = *control.broadcastDevice();
  EXPECT_EQ(all.deviceId(), ZtDeviceId_broadcast());
  ZtString code = all.productCode();
  EXPECT_STREQ(ZtString_c_str(&code), "Broadcaster");
  ZtString_destruct(&code);
  const ZtVersion v = all.hardwareVersion();
  EXPECT_EQ(v.major + v.minor + v.revision + v.build, 0u);
  EXPECT_FALSE(all.initialize(zelto::SettingsFile()));
  EXPECT_TRUE(all.supportedUpdateRates(0).empty());
  EXPECT_TRUE(all.children().empty());
  all.clear();
  all.clearCache();
  all.flushInputBuffers(true);
}

TEST(BroadcastDevice, EveryForwardedOperationIsTrueWithoutDevices) {
  TestControl control;
  for (const Op& op : forwardedOps()) {
    control.setLastResult(ZRV_TIMEOUT);
    EXPECT_TRUE(op.call(*control.broadcastDevice())) << op.name;
    EXPECT_EQ(control.lastResult(), ZRV_OK) << op.name;
  }
}

TEST(BroadcastDevice, ForwardedOperationsAnswerTheAndOfTheDevices) {
  TempDir dir;
  TestControl control;
  const std::vector<ZtDeviceId> ids = {0x00110701, 0x00110702};
  for (ZtDeviceId id : ids) {
    LogFileBuilder b;
    b.configuration(id).data(0);
    const std::string path = dir.file(std::to_string(id) + ".zlog");
    ASSERT_TRUE(b.writeTo(path));
    ASSERT_TRUE(control.openLogFile(Text(path).s));
  }
  ZtDevice* first = control.findDevice(ids[0]);
  ZtDevice* second = control.findDevice(ids[1]);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  // The devices' own answers decide; no device is skipped after a false one.
  control.script(ids[0])->gotoConfig = false;
  control.script(ids[1])->startRecording = false;
  for (const Op& op : forwardedOps()) {
    const std::string name = op.name;
    const ZtDeviceState firstState = first->deviceState();
    const ZtDeviceState secondState = second->deviceState();
    const bool expected = op.call(*first) && op.call(*second);
    // The direct calls may change the devices' states (recording): the broadcast starts from the
    // same states.
    first->setDeviceState(firstState, true);
    second->setDeviceState(secondState, true);
    control.log().clear();
    control.setLastResult(ZRV_TIMEOUT);
    EXPECT_EQ(op.call(*control.broadcastDevice()), expected) << name;
    EXPECT_EQ(control.lastResult(), ZRV_OK) << name;
    if (name == "gotoConfig" || name == "gotoMeasurement" || name == "startRecording") {
      EXPECT_EQ(control.log().count(name + " " + std::to_string(ids[1])), 1u) << name;
    }
  }
  // The arguments reach every device.
  control.log().clear();
  control.broadcastDevice()->flushInputBuffers(true);
  EXPECT_EQ(control.log().lines(), (std::vector<std::string>{"flushInputBuffers 1 " + std::to_string(ids[0]),
                                                            "flushInputBuffers 1 " + std::to_string(ids[1])}));
  EXPECT_EQ(control.broadcastDevice()->children(), (std::vector<ZtDevice*>{first, second}));
}

}  // namespace
