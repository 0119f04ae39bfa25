// The wireless station end to end through the C interface: a control opens an emulated station
// listing two wireless trackers; the channel read at construction, the radio, a device mode kept
// until the system is operational, measurement start with its exact exchange, trigger settings,
// the failure paths (no operational indication, unacknowledged channel), recording without
// trackers in sync-box mode, the sync-box query, closing, a station opened from a recording, and
// listed trackers keeping their objects while rejected ones are removed.
#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "filters/common/ZtZkfFilter.h"
#include "otherdevices/wireless/KtwDevice.h"
#include "support/CallbackRecorder.h"
#include "support/EmulatedStation.h"
#include "support/LogFileBuilder.h"
#include "support/TempDir.h"
#include "zeltodeviceapi/ztcontrol.h"
#include "zeltodeviceapi/ztdevice.h"

namespace {

using namespace zelto::test;
using namespace std::chrono_literals;

constexpr uint32_t kStationEndToEndChildA = 0x00B00011;
constexpr uint32_t kStationEndToEndChildB = 0x00B00022;

std::vector<ZtDevice*> childrenOf(ZtDevice* device) {
  ZtDevicePtrArray array;
  ZtArray_construct(ZTARRAY(&array), &g_ztDevicePtrArrayDescriptor, 0, nullptr);
  ZtDevice_children(device, &array);
  std::vector<ZtDevice*> out(array.data, array.data + array.size);
  ZtArray_destruct(ZTARRAY(&array));
  return out;
}

ZtDeviceId idOf(ZtDevice* device) {
  ZtDeviceId id = 0;
  ZtDevice_deviceId(device, &id);
  return id;
}

bool waitForState(const CallbackRecorder& rec, ZtDevice* device, ZtDeviceState state) {
  return rec.waitUntil(
      [&](const std::vector<CallbackRecorder::Event>& events) {
        for (const auto& e : events)
          if (e.kind == CallbackRecorder::Kind::DeviceStateChanged && e.device == device && e.values[0] == state)
            return true;
        return false;
      },
      std::chrono::milliseconds(EmulatedStation::kWaitMs));
}

TEST(StationEndToEnd, ThroughTheCInterface) {
  CallbackRecorder rec;
  EmulatedStation s({kStationEndToEndChildB, kStationEndToEndChildA});
  ZtControl* control = s.control.get();
  const Text port(s.path());
  ASSERT_TRUE(ZtControl_openPort(control, &port.s, B115200, 0, 0));
  ZtDevice* station = ZtControl_device(control, StationModel::kStationId);
  ASSERT_NE(station, nullptr);
  station->addCallbackHandler(&rec, true);
  // The channel was asked at construction.
  EXPECT_EQ(ZtDevice_radioChannel(station), 11);
  const std::vector<EmuFrame> opening = s.emu.received();
  ASSERT_GE(opening.size(), 3u);
  EXPECT_EQ(opening[2].messageId, 0xB6);
  std::vector<ZtDevice*> children = childrenOf(station);
  ASSERT_EQ(children.size(), 2u);
  EXPECT_EQ(idOf(children[0]), kStationEndToEndChildA);
  EXPECT_EQ(idOf(children[1]), kStationEndToEndChildB);

  // Enabling the radio: every tracker disconnected until the station reports it again.
  ASSERT_TRUE(ZtDevice_enableRadio(station, 12));
  EXPECT_EQ(ZtDevice_radioChannel(station), 12);
  for (ZtDevice* c : children) EXPECT_EQ(ZtDevice_connectivityState(c), ZCS_Disconnected);
  EXPECT_FALSE(ZtDevice_isOperational(station));

  // Not operational: the mode is kept for the next measurement start.
  const ZtDeviceMode mode{4, 1, 115200 / 50, 0};
  ASSERT_TRUE(ZtDevice_setDeviceMode(station, &mode));
  EXPECT_EQ(ZtDevice_deviceMode(station).period, mode.period);
  EXPECT_EQ(s.emu.receivedCount(0xBA), 0u);

  s.mark();
  ASSERT_TRUE(ZtDevice_gotoMeasurement(station));
  EXPECT_EQ(s.idsSinceMark(), (std::vector<uint8_t>{0xC0, 0xCA, 0xBA, 0x02, 0x0C, 0x12, 0x8A, 0x10}));
  EXPECT_EQ(ZtDevice_deviceState(station), ZDS_Measurement);
  for (ZtDevice* c : childrenOf(station)) EXPECT_EQ(ZtDevice_deviceState(c), ZDS_Measurement);
  EXPECT_EQ(ZtDevice_updateRate(station), 50);

  // Trigger settings: four sync-in and five sync-out messages, then read back.
  ZtSyncSetting settings[2] = {{0, 0, 1, 0, 0, 0, 1, 10, 0}, {9, 1, 2, 3000, 0, 0, 2, 0, 1}};
  ZtSyncSettingArray list;
  ZtArray_construct(ZTARRAY(&list), &g_ztSyncSettingArrayDescriptor, 2, settings);
  s.mark();
  ASSERT_TRUE(ZtDevice_setSyncSettings(station, &list));
  ZtArray_destruct(ZTARRAY(&list));
  EXPECT_EQ(s.idsSinceMark(), (std::vector<uint8_t>{0x26, 0x26, 0x26, 0x26, 0x28, 0x28, 0x28, 0x28, 0x28}));
  ZtSyncSettingArray readBack;
  ZtArray_construct(ZTARRAY(&readBack), &g_ztSyncSettingArrayDescriptor, 0, nullptr);
  ZtDevice_syncSettings(station, &readBack);
  ASSERT_EQ(readBack.size, 2u);
  EXPECT_EQ(readBack.data[0].clockPeriod, 10);
  EXPECT_EQ(readBack.data[1].line, 9);
  EXPECT_EQ(readBack.data[1].pulseWidth, 3000u);
  ZtArray_destruct(ZTARRAY(&readBack));

  // No operational indication: onError 305 and back to configuration.
  ASSERT_TRUE(ZtDevice_enableRadio(station, 13));
  s.model.setSendOperational(false);
  rec.clear();
  EXPECT_FALSE(ZtDevice_gotoMeasurement(station));
  const auto errors = rec.events(CallbackRecorder::Kind::Error);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].values[0], 305);
  EXPECT_EQ(errors[0].device, station);
  EXPECT_EQ(ZtDevice_deviceState(station), ZDS_Config);
  s.model.setSendOperational(true);

  // An unacknowledged channel request leaves the radio off.
  s.emu.script(0xB2, EmuAction::silence());
  EXPECT_FALSE(ZtDevice_enableRadio(station, 14));
  EXPECT_EQ(ZtDevice_radioChannel(station), -1);
  s.emu.unscript(0xB2);

  // Without trackers: the sync-box query, then a recording in sync-box mode.
  ASSERT_TRUE(ZtDevice_disableRadio(station));
  EXPECT_TRUE(childrenOf(station).empty());
  s.model.setChildren({});
  ASSERT_TRUE(ZtDevice_reinitialize(station));
  s.mark();
  EXPECT_FALSE(ZtDevice_isInSyncBoxMode(station));
  ASSERT_EQ(s.framesSinceMark().size(), 1u);
  EXPECT_EQ(s.framesSinceMark()[0].messageId, 0x2A);
  EXPECT_TRUE(s.framesSinceMark()[0].payload.empty());
  ASSERT_TRUE(ZtDevice_setSyncBoxMode(station, 1));
  EXPECT_TRUE(ZtDevice_isInSyncBoxMode(station));
  ASSERT_TRUE(ZtDevice_gotoMeasurement(station));
  // The start-recording trigger set above: the recording waits for the line, no 0xCC goes out;
  // stopped before it started, the station is back in Measurement and reports false.
  s.mark();
  ASSERT_TRUE(ZtDevice_startRecording(station));
  EXPECT_EQ(ZtDevice_deviceState(station), ZDS_WaitingForRecordingStart);
  EXPECT_FALSE(ZtDevice_stopRecording(station));
  EXPECT_EQ(ZtDevice_deviceState(station), ZDS_Measurement);
  EXPECT_EQ(s.emu.receivedCount(0xCC), 0u);
  ZtSyncSettingArray none;
  ZtArray_construct(ZTARRAY(&none), &g_ztSyncSettingArrayDescriptor, 0, nullptr);
  ASSERT_TRUE(ZtDevice_setSyncSettings(station, &none));
  ZtArray_destruct(ZTARRAY(&none));
  rec.clear();
  ASSERT_TRUE(ZtDevice_startRecording(station));
  ASSERT_TRUE(waitForState(rec, station, ZDS_Recording));
  ASSERT_TRUE(ZtDevice_stopRecording(station));
  ASSERT_TRUE(waitForState(rec, station, ZDS_Measurement));
  EXPECT_EQ(s.emu.receivedCount(0xCC), 1u);
  EXPECT_EQ(s.emu.receivedCount(0xCE), 1u);

  // Closing: the driver disconnect goes out (and is answered) before the link stops.
  s.mark();
  const auto start = std::chrono::steady_clock::now();
  ZtControl_close(control);
  const auto took = std::chrono::steady_clock::now() - start;
  const std::vector<uint8_t> closing = s.idsSinceMark();
  EXPECT_EQ(std::count(closing.begin(), closing.end(), 0x2E), 1);
#ifndef ZDA_UNDER_SANITIZER
  EXPECT_LT(took, 450ms);
#endif
  (void)took;
}

TEST(StationEndToEnd, OpenedFromARecording) {
  StationModel model;
  model.setProductCode("WS-REC 7");
  TempDir dir;
  const std::string path = dir.file("station.mtb");
  LogFileBuilder b;
  b.configuration(StationModel::kStationId, {kStationEndToEndChildB, kStationEndToEndChildA});
  b.message(0x8B, model.settingsPayload());
  ASSERT_TRUE(b.writeTo(path));
  TestControl control;
  control.setKind(StationModel::kStationId, TestControl::WirelessStation);
  for (uint32_t id : {kStationEndToEndChildA, kStationEndToEndChildB}) control.setKind(id, TestControl::Wireless);
  const Text file(path);
  ASSERT_TRUE(ZtControl_openLogFile(&control, &file.s));
  ZtDevice* station = ZtControl_device(&control, StationModel::kStationId);
  ASSERT_NE(station, nullptr);
  ZtString code;
  ZtString_construct(&code, "");
  ZtDevice_productCode(station, &code);
  EXPECT_STREQ(code.data, "WS-REC");
  ZtString_destruct(&code);
  const std::vector<ZtDevice*> children = childrenOf(station);
  ASSERT_EQ(children.size(), 2u);
  EXPECT_EQ(idOf(children[0]), kStationEndToEndChildA);
  EXPECT_EQ(ZtDevice_radioChannel(station), -2);
  ZtControl_close(&control);
}

// The library's own factory makes the station class for the station, dongle and OEM families.
TEST(StationEndToEnd, TheFactoryMakesTheStationForItsFamilies) {
  for (uint32_t id : {0x00020123u, 0x00040123u, 0x00050123u}) {
    PtyPort pty;
    StationModel model;
    model.setStationId(id);
    model.setChannel(3);
    model.setChildren({0x00080001});
    DeviceEmulator emu(std::make_unique<FdEmulatorLink>(dup(pty.masterFd())));
    model.attachTo(emu);
    emu.start();
    {
      ZtControl control;
      const Text port(pty.slavePath());
      ASSERT_TRUE(ZtControl_openPort(&control, &port.s, B115200, 0, 0)) << std::hex << id;
      ZtDevice* station = ZtControl_device(&control, id);
      ASSERT_NE(dynamic_cast<TovanaStationDevice*>(station), nullptr) << std::hex << id;
      EXPECT_EQ(ZtDevice_radioChannel(station), 3);
      // Its tracker is the library's wireless tracker, its record the no-pages image with the
      // identity and location id the tracker answered.
      const std::vector<ZtDevice*> children = childrenOf(station);
      ASSERT_EQ(children.size(), 1u);
      auto* tracker = dynamic_cast<KtwDevice*>(children[0]);
      ASSERT_NE(tracker, nullptr);
      EXPECT_TRUE(tracker->isInitialized());
      EXPECT_EQ(tracker->ekts()->deviceId(), 0x00080001u);
      EXPECT_EQ(tracker->ekts()->locationId(), 7);
      EXPECT_EQ(tracker->updateRate(), 100);
      // The built-in "ZKF-3W" profile is its host profile, its Zkf3w filter built.
      EXPECT_EQ(tracker->zdaFilterProfile().filterType, 'W');
      ASSERT_TRUE(tracker->zkfFilter());
      EXPECT_EQ(tracker->zkfFilter()->type(), 'W');
      ZtControl_close(&control);
    }
    emu.stop();
  }
}

// A station sets up its trackers with no lock of the control held. While a tracker's record read
// waits, at the opening and in a measurement start that sets up a newcomer (the station then
// holds its child lock), loading filter profiles through the control waits for neither: with the
// control's profile lock held around a device's set-up, the load waited for the record read,
// and a station holding its child lock against it was one waiting writer away from a deadlock.
TEST(StationEndToEnd, LoadingProfilesWaitsForNoTrackerSetUp) {
  constexpr uint32_t kStation = 0x00020123;
  constexpr uint32_t kFirst = 0x00080001;
  constexpr uint32_t kNewcomer = 0x00080002;
  for (const bool atOpening : {true, false}) {
    SCOPED_TRACE(atOpening ? "opening" : "measurement start");
    PtyPort pty;
    StationModel model;
    model.setStationId(kStation);
    model.setChannel(11);
    model.setChildren({kFirst});
    DeviceEmulator emu(std::make_unique<FdEmulatorLink>(dup(pty.masterFd())));
    model.attachTo(emu);
    emu.start();
    CallbackRecorder rec;  // outlives the station, which calls it
    {
      ZtControl control;
      const Text port(pty.slavePath());
      const auto open = [&] { return ZtControl_openPort(&control, &port.s, B115200, 0, 0) != 0; };
      std::future<bool> setUp;
      if (atOpening) {
        model.holdRecordAnswers(true);
        setUp = std::async(std::launch::async, open);
      } else {
        ASSERT_TRUE(open());
        auto* station = dynamic_cast<TovanaStationDevice*>(ZtControl_device(&control, kStation));
        ASSERT_NE(station, nullptr);
        station->addCallbackHandler(&rec, false);
        model.setChildren({kFirst, kNewcomer});
        model.connect(kNewcomer);
        ASSERT_TRUE(rec.waitFor(CallbackRecorder::Kind::NonDataMessage, 1, std::chrono::milliseconds(EmulatedStation::kWaitMs)));
        ASSERT_TRUE(station->waitForRequests(EmulatedStation::kWaitMs));
        ASSERT_NE(station->findDevice(kNewcomer), nullptr);
        EXPECT_FALSE(station->findDevice(kNewcomer)->isInitialized());
        model.holdRecordAnswers(true);
        setUp = std::async(std::launch::async, [station] { return ZtDevice_gotoMeasurement(station) != 0; });
      }
      ASSERT_TRUE(emu.waitForReceived(0x90, atOpening ? 1 : 2, EmulatedStation::kWaitMs));
      const Text builtIn("");
      auto load = std::async(std::launch::async, [&] { return ZtControl_loadFilterProfiles(&control, &builtIn.s); });
      EXPECT_EQ(load.wait_for(std::chrono::milliseconds(EmulatedStation::kWaitMs)), std::future_status::ready);
      model.releaseRecordAnswers();
      EXPECT_TRUE(setUp.get());
      EXPECT_TRUE(load.get());
      ZtDevice* station = ZtControl_device(&control, kStation);
      ASSERT_NE(station, nullptr);
      EXPECT_EQ(childrenOf(station).size(), atOpening ? 1u : 2u);
      for (ZtDevice* c : childrenOf(station)) EXPECT_TRUE(c->isInitialized());
      ZtControl_close(&control);
    }
    emu.stop();
  }
}

// A listed tracker keeps its object, the handle the application holds, across enabling the
// radio (which leaves every tracker disconnected), the measurement start and reinitialisation;
// a listed tracker the station rejected is removed by reinitialisation, the other kept.
TEST(StationEndToEnd, ListedTrackersKeepTheirObjectsAndRejectedOnesAreRemoved) {
  EmulatedStation s({kStationEndToEndChildA, kStationEndToEndChildB});
  ZtControl* control = s.control.get();
  const Text port(s.path());
  ASSERT_TRUE(ZtControl_openPort(control, &port.s, B115200, 0, 0));
  ZtDevice* station = ZtControl_device(control, StationModel::kStationId);
  ASSERT_NE(station, nullptr);
  const std::vector<ZtDevice*> listed = childrenOf(station);
  ASSERT_EQ(listed.size(), 2u);
  ZtDevice* a = listed[0];
  ZtDevice* b = listed[1];
  ASSERT_EQ(idOf(b), kStationEndToEndChildB);
  // Made once each: a tracker made again could sit at the old address.
  const auto madeOnce = [&] {
    const std::vector<ZtDeviceId> made = s.control->made();
    return std::count(made.begin(), made.end(), kStationEndToEndChildA) == 1 &&
           std::count(made.begin(), made.end(), kStationEndToEndChildB) == 1;
  };
  ASSERT_TRUE(madeOnce());

  ASSERT_TRUE(ZtDevice_enableRadio(station, 12));
  for (ZtDevice* c : listed) ASSERT_EQ(ZtDevice_connectivityState(c), ZCS_Disconnected);
  ASSERT_TRUE(ZtDevice_gotoMeasurement(station));
  EXPECT_EQ(childrenOf(station), listed);
  EXPECT_TRUE(madeOnce());
  for (ZtDevice* c : listed) EXPECT_EQ(ZtDevice_deviceState(c), ZDS_Measurement);
  ASSERT_TRUE(ZtDevice_gotoConfig(station));
  ASSERT_TRUE(ZtDevice_reinitialize(station));
  EXPECT_EQ(childrenOf(station), listed);
  EXPECT_TRUE(madeOnce());

  // The station rejects B and still lists it.
  ASSERT_TRUE(ZtDevice_rejectConnection(b));
  ASSERT_TRUE(dynamic_cast<TovanaStationDevice*>(station)->waitForRequests(EmulatedStation::kWaitMs));
  ASSERT_EQ(ZtDevice_connectivityState(b), ZCS_Rejected);
  EXPECT_EQ(s.model.rejected(), (std::vector<uint32_t>{kStationEndToEndChildB}));
  ASSERT_TRUE(ZtDevice_reinitialize(station));
  EXPECT_EQ(childrenOf(station), (std::vector<ZtDevice*>{a}));
  EXPECT_TRUE(madeOnce());
  ZtControl_close(control);
}

}  // namespace
