// The control over emulated ports: opening, the list order, the settings pushed into every
// device, the broadcast walks, synchronisation checks and closing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "control/ZtControl.h"
#include "control/BroadcastDevice.h"
#include "support/TestControl.h"

namespace {

using namespace zelto::test;

std::vector<ZtDeviceId> ids(const ZtDevicePtrArray& devices) {
  std::vector<ZtDeviceId> out;
  for (size_t i = 0; i < devices.size; ++i) out.push_back(devices.data[i]->deviceId());
  return out;
}

TEST(ControlPorts, APortOpenedTwiceMakesOneDevice) {
  EmulatedPort port(0x00110001);
  TestControl control;
  ASSERT_TRUE(port.openIn(control)) << control.lastResult();
  EXPECT_EQ(control.lastResult(), ZRV_OK);
  EXPECT_TRUE(port.openIn(control));
  EXPECT_EQ(control.lastResult(), ZRV_ALREADYOPEN);
  EXPECT_EQ(control.mainDeviceCount(), 1u);
  EXPECT_EQ(control.made().size(), 1u);
  EXPECT_EQ(control.mainDeviceIds(), std::vector<ZtDeviceId>{0x00110001});
  // The device was initialised with the built-in profiles.
  EXPECT_EQ(control.log().count("initialize " + std::to_string(0x00110001)), 1u);
}

TEST(ControlPorts, FailedOpensLeaveNoDevice) {
  TestControl control;
  // No such port: the link's own code.
  EXPECT_FALSE(control.openPort(Text("/nonexistent/ttyZDA0").s, B115200));
  EXPECT_NE(control.lastResult(), ZRV_OK);
  EXPECT_EQ(control.mainDeviceCount(), 0u);

  // A device that refuses initialisation is terminated and not listed.
  EmulatedPort port(0x00110002);
  control.script(0x00110002)->initialize = false;
  EXPECT_FALSE(port.openIn(control));
  EXPECT_EQ(control.lastResult(), ZRV_INITIALIZATIONFAILED);
  EXPECT_EQ(control.mainDeviceCount(), 0u);
  EXPECT_GE(control.log().count("prepareForTermination " + std::to_string(0x00110002)), 1u);
  EXPECT_EQ(control.log().count("~device " + std::to_string(0x00110002)), 1u);
  // The port was released with the device: it opens again.
  control.script(0x00110002)->initialize = true;
  EXPECT_TRUE(port.openIn(control)) << control.lastResult();
  EXPECT_EQ(control.mainDeviceCount(), 1u);

  // The outside units' open: a port a master has already, and a unit type that does not exist.
  EXPECT_TRUE(control.openImarPort_internal(Text(port.path()).s, B115200, 1));
  EXPECT_EQ(control.lastResult(), ZRV_ALREADYOPEN);
  EXPECT_EQ(control.mainDeviceCount(), 1u);
  EXPECT_FALSE(control.openImarPort_internal(Text("/nonexistent/ttyZDA1").s, B115200, 2));
  EXPECT_EQ(control.lastResult(), ZRV_INVALIDPARAM);
  EXPECT_EQ(control.mainDeviceCount(), 1u);
}

// The port-info form takes name and rate from the info and asks for repeated GotoConfig (an
// RS-485 line) exactly when the info's device id says RS-485; closing by the info closes it.
TEST(ControlPorts, PortInfoFormDetectsRs485FromTheDeviceId) {
  EmulatedPort port(0x00130001);
  port.emu.setGotoConfigAfterTries(3);  // answers only a repeated request
  TestControl control;
  ZtPortInfo info = {};
  std::snprintf(info.portName, sizeof info.portName, "%s", port.path().c_str());
  info.baudRate = B115200;
  info.deviceId = 0x00110001;  // no RS-485 variant: one request, no answer
  EXPECT_FALSE(control.openPort(info, 100));
  EXPECT_EQ(control.mainDeviceCount(), 0u);
  info.deviceId = 0x00130001;  // variant 3: RS-485
  ASSERT_TRUE(control.openPort(info, 1000)) << control.lastResult();
  EXPECT_EQ(control.mainDeviceIds(), std::vector<ZtDeviceId>{0x00130001});
  control.closePort(info);
  EXPECT_EQ(control.mainDeviceCount(), 0u);
  EXPECT_EQ(control.log().count("~device " + std::to_string(0x00130001)), 1u);
}

TEST(ControlPorts, MastersAreListedByRisingSyncRole) {
  EmulatedPort a(0x00110011), b(0x00110012), c(0x00110013);
  TestControl control;
  control.script(0x00110011)->syncRole = 3;
  control.script(0x00110012)->syncRole = -1;  // signed: goes first
  control.script(0x00110013)->syncRole = 2;
  for (auto* p : {&a, &b, &c}) ASSERT_TRUE(p->openIn(control));
  EXPECT_EQ(control.mainDeviceIds(), (std::vector<ZtDeviceId>{0x00110012, 0x00110013, 0x00110011}));
  ZtDevicePtrArray devices = control.mainDevices();
  EXPECT_EQ(ids(devices), (std::vector<ZtDeviceId>{0x00110012, 0x00110013, 0x00110011}));
  ZtArray_destruct(ZTARRAY(&devices));
  EXPECT_EQ(control.deviceCount(), 3);
  EXPECT_EQ(control.deviceIds(), (std::vector<ZtDeviceId>{0x00110012, 0x00110013, 0x00110011}));
  // Plain devices are no trackers and have no children.
  EXPECT_EQ(control.ktCount(), 0);
  EXPECT_TRUE(control.ktDeviceIds().empty());
}

TEST(ControlPorts, SettingsReachEveryDeviceAlsoThoseOpenedLater) {
  EmulatedPort early(0x00110021), late(0x00110022);
  TestControl control;
  ASSERT_TRUE(early.openIn(control));
  control.log().clear();

  control.setQueueMode(ZQM_Queue);
  control.setOptionEnabled(ZO_SoftwareCalibration, false);
  control.setOptionEnabled(static_cast<ZtOption>(5), false);  // no such option: nothing happens
  double three[3] = {52, 6, 40};
  EXPECT_TRUE(control.setLatLonAlt(ZtVector{three, 3, 0}));
  const std::string e = " " + std::to_string(0x00110021);
  EXPECT_EQ(control.log().lines(),
            (std::vector<std::string>{"setQueueMode 1" + e, "setOptionEnabled 0 off" + e, "setLatLonAlt 52 6 40" + e}));
  EXPECT_EQ(control.queueMode(), ZQM_Queue);
  EXPECT_FALSE(control.isOptionEnabled(ZO_SoftwareCalibration));
  EXPECT_TRUE(control.isOptionEnabled(ZO_SoftwareFiltering));
  EXPECT_FALSE(control.isOptionEnabled(static_cast<ZtOption>(2)));

  // A vector shorter than three is refused whole: nothing stored, nothing sent.
  double two[2] = {1, 2};
  control.log().clear();
  EXPECT_FALSE(control.setLatLonAlt(ZtVector{two, 2, 0}));
  EXPECT_EQ(control.lastResult(), ZRV_INVALIDPARAM);
  EXPECT_FALSE(control.setLatLonAlt(ZtVector{nullptr, 0, 0}));
  EXPECT_TRUE(control.log().lines().empty());

  ASSERT_TRUE(late.openIn(control));
  const std::string l = " " + std::to_string(0x00110022);
  EXPECT_EQ(linesStarting(control.log(), "set"),
            (std::vector<std::string>{"setQueueMode 1" + l, "setOptionEnabled 0 off" + l, "setOptionEnabled 1 on" + l,
                                      "setLatLonAlt 52 6 40" + l}));
}

TEST(ControlPorts, LatLonAltIsOnlyPushedOnceSet) {
  EmulatedPort port(0x00110025);
  TestControl control;
  ASSERT_TRUE(port.openIn(control));
  EXPECT_TRUE(linesStarting(control.log(), "setLatLonAlt").empty());
  EXPECT_EQ(linesStarting(control.log(), "setOptionEnabled").size(), 2u);
}

class ControlBroadcast : public ::testing::Test {
 protected:
  void SetUp() override {
    for (auto* p : {&a, &b, &c}) ASSERT_TRUE(p->openIn(control));
    control.log().clear();
  }
  std::string at(ZtDeviceId id) const { return " " + std::to_string(id); }

  EmulatedPort a{0x00110031}, b{0x00110032}, c{0x00110033};
  TestControl control;
};

TEST_F(ControlBroadcast, AFailingDeviceDoesNotStopTheWalkAndMeasurementFallsBack) {
  control.script(0x00110032)->gotoMeasurement = false;
  control.setLastResult(ZRV_TIMEOUT);
  EXPECT_FALSE(control.gotoMeasurement());
  EXPECT_EQ(control.lastResult(), ZRV_OK);
  // All three were asked in list order, then all went back to configuration from the last.
  EXPECT_EQ(control.log().lines(),
            (std::vector<std::string>{"gotoMeasurement" + at(0x00110031), "gotoMeasurement" + at(0x00110032),
                                      "gotoMeasurement" + at(0x00110033), "gotoConfig" + at(0x00110033),
                                      "gotoConfig" + at(0x00110032), "gotoConfig" + at(0x00110031)}));
  EXPECT_FALSE(control.broadcastDevice()->isMeasuring());
}

TEST_F(ControlBroadcast, MeasurementSucceedsOnAllAndConfigWalksInReverse) {
  EXPECT_TRUE(control.gotoMeasurement());
  EXPECT_TRUE(control.broadcastDevice()->isMeasuring());
  control.log().clear();
  control.script(0x00110033)->gotoConfig = false;
  EXPECT_FALSE(control.gotoConfig());
  EXPECT_EQ(control.log().lines(), (std::vector<std::string>{"gotoConfig" + at(0x00110033), "gotoConfig" + at(0x00110032),
                                                            "gotoConfig" + at(0x00110031)}));
  control.log().clear();
  control.flushInputBuffers(true);
  EXPECT_EQ(control.log().lines(),
            (std::vector<std::string>{"flushInputBuffers 1" + at(0x00110031), "flushInputBuffers 1" + at(0x00110032),
                                      "flushInputBuffers 1" + at(0x00110033)}));
}

TEST_F(ControlBroadcast, TheBroadcastIdReachesTheBroadcastDevice) {
  ZtDevice* all = control.device(ZtDeviceId_broadcast());
  ASSERT_EQ(all, control.broadcastDevice());
  EXPECT_EQ(all->children().size(), 3u);
  EXPECT_TRUE(all->setQueueMode(ZQM_LatestOnly));
  EXPECT_EQ(linesStarting(control.log(), "setQueueMode 2").size(), 3u);
  // Queries by id.
  EXPECT_EQ(control.device(0x00110032)->deviceId(), 0x00110032u);
  EXPECT_EQ(control.findDevice(0)->deviceId(), 0x00110031u);
  EXPECT_EQ(control.findDevice(0x00119999), nullptr);
  EXPECT_EQ(control.lastResult(), ZRV_NOTAVAILABLE);
  EXPECT_EQ(control.findZbusInterface(Text(b.path()).s), control.device(0x00110032)->communicator());
  EXPECT_EQ(control.findZbusInterface(0x00110033), control.device(0x00110033)->communicator());
  EXPECT_EQ(control.findZbusInterface(Text("/dev/none").s), nullptr);
}

TEST_F(ControlBroadcast, ClosingByNameByIdAndAll) {
  control.closePort(Text(b.path()).s);
  EXPECT_EQ(control.mainDeviceIds(), (std::vector<ZtDeviceId>{0x00110031, 0x00110033}));
  EXPECT_EQ(control.log().count("~device" + at(0x00110032)), 1u);
  control.closePort(ZtDeviceId(0x00119999));  // not found: nothing
  EXPECT_EQ(control.mainDeviceCount(), 2u);
  control.closePort(ZtDeviceId(0x00110033));
  EXPECT_EQ(control.mainDeviceIds(), std::vector<ZtDeviceId>{0x00110031});
  // A closed port opens again.
  ASSERT_TRUE(b.openIn(control));
  EXPECT_EQ(control.mainDeviceCount(), 2u);

  control.log().clear();
  control.setLastResult(ZRV_TIMEOUT);
  control.close();
  EXPECT_EQ(control.mainDeviceCount(), 0u);
  EXPECT_EQ(control.lastResult(), ZRV_OK);
  EXPECT_EQ(control.lastHardwareError(), 0);
  // Every device went to configuration (last first) before any was terminated.
  const auto lines = control.log().lines();
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[0], "gotoConfig" + at(0x00110032));
  EXPECT_EQ(lines[1], "gotoConfig" + at(0x00110031));
  EXPECT_EQ(linesStarting(control.log(), "~device").size(), 2u);
  EXPECT_EQ(control.findDevice(0), nullptr);
  EXPECT_EQ(control.lastResult(), ZRV_PORTCLOSED);
}

TEST(ControlSync, TestSynchronizationCodes) {
  EmulatedPort a(0x00110041), b(0x00110042);
  struct Side {
    bool master, slave;
  };
  struct Case {
    const char* name;
    Side first, second;
    bool measuring, recording;
    ZtResultValue expected;
  };
  const Case cases[] = {
      {"master then slave", {true, false}, {false, true}, false, false, ZRV_OK},
      {"two masters", {true, false}, {true, false}, false, false, ZRV_MULTIPLESYNCMASTERS},
      {"master and slave at once", {false, true}, {true, true}, false, false, ZRV_ERROR},
      {"second master also slave", {true, false}, {true, true}, false, false, ZRV_MULTIPLESYNCMASTERS},
      {"neither", {true, false}, {false, false}, false, false, ZRV_NOTSYNCHRONIZED},
      {"measuring first", {true, false}, {true, false}, true, false, ZRV_UNSUPPORTED},
      {"recording first", {false, false}, {false, false}, false, true, ZRV_UNSUPPORTED},
  };
  TestControl control;
  // No device: the broadcast answers true for an empty list, so "measuring" comes first.
  EXPECT_EQ(control.testSynchronization(), ZRV_UNSUPPORTED);
  ASSERT_TRUE(a.openIn(control));
  ASSERT_TRUE(b.openIn(control));
  auto sa = control.script(0x00110041), sb = control.script(0x00110042);
  for (const Case& c : cases) {
    sa->syncMaster = c.first.master;
    sa->syncSlave = c.first.slave;
    sb->syncMaster = c.second.master;
    sb->syncSlave = c.second.slave;
    sa->measuring = c.measuring;
    sb->measuring = c.measuring;
    sa->recording = c.recording;
    sb->recording = c.recording;
    EXPECT_EQ(control.testSynchronization(), c.expected) << c.name;
    EXPECT_EQ(control.lastResult(), c.expected) << c.name;
  }
}

TEST(ControlSync, OneDeviceMustNotWaitForASyncInput) {
  EmulatedPort a(0x00110051);
  TestControl control;
  ASSERT_TRUE(a.openIn(control));
  auto s = control.script(0x00110051);
  s->syncMaster = false;
  s->syncSlave = false;  // one device needs no role
  EXPECT_EQ(control.testSynchronization(), ZRV_OK);
  struct Case {
    int line, function;
    ZtResultValue expected;
  };
  const Case cases[] = {{0, 7, ZRV_SYNCINPUTWITHOUTMASTER}, {3, 8, ZRV_SYNCINPUTWITHOUTMASTER},
                        {0, 9, ZRV_OK}, {9, 7, ZRV_OK} /* an output line */};
  for (const Case& c : cases) {
    ZtSyncSetting setting = {};
    setting.line = c.line;
    setting.function = c.function;
    {
      std::lock_guard<std::mutex> lock(s->mutex);
      s->syncSettings = {setting};
    }
    EXPECT_EQ(control.testSynchronization(), c.expected) << c.line << "/" << c.function;
  }
}

}  // namespace
