// The wireless station against the emulator's station model: opening (channel, configuration,
// children, settings), children listed by id with their configuration entries looked up by id,
// the radio, the operational mode and pending device mode, measurement start (its exact
// exchange, also on a pool of one worker), trigger settings, recording, the sync-box query,
// requests of two children, indications that must change nothing, closing and playback.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "foundation/ThreadPool.h"
#include "otherdevices/wireless/KtwDevice.h"
#include "support/CallbackRecorder.h"
#include "support/EmulatedStation.h"
#include "support/LogFileBuilder.h"
#include "support/TempDir.h"

namespace {

using namespace zelto::test;
using namespace std::chrono_literals;

constexpr uint32_t kChildA = 0x00B00011;
constexpr uint32_t kChildB = 0x00B00022;
constexpr uint32_t kChildC = 0x00B00015;  // sorts between A and B

// Waits until the device reported the state.
bool waitForState(const CallbackRecorder& rec, const ZtDevice* device, ZtDeviceState state) {
  return rec.waitUntil(
      [&](const std::vector<CallbackRecorder::Event>& events) {
        for (const auto& e : events)
          if (e.kind == CallbackRecorder::Kind::DeviceStateChanged && e.device == device && e.values[0] == state)
            return true;
        return false;
      },
      std::chrono::milliseconds(EmulatedStation::kWaitMs));
}

ZtDeviceMode modeOfRate(int rate) { return ZtDeviceMode{4, 1, static_cast<uint16_t>(115200 / rate), 0}; }

std::vector<uint8_t> ids(const std::vector<EmuFrame>& frames) {
  std::vector<uint8_t> out;
  for (const EmuFrame& f : frames) out.push_back(f.messageId);
  return out;
}

TEST(StationDevice, OpensReadsChannelConfigurationChildrenAndSettings) {
  EmulatedStation s({kChildB, kChildA});
  ASSERT_TRUE(s.open());
  TovanaStationDevice* station = s.station();
  ASSERT_NE(station, nullptr);
  // The channel is asked right after the device id, before the initialisation's exchange.
  EXPECT_EQ(ids(s.emu.received()), (std::vector<uint8_t>{0x30, 0x00, 0xB6, 0x30, 0x02, 0x0C, 0x12, 0x8A}));
  EXPECT_EQ(station->radioChannel(), 11);
  EXPECT_TRUE(station->isRadioEnabled());
  EXPECT_TRUE(station->isOperational());  // reinitialised with the radio on
  EXPECT_EQ(s.childIds(), (std::vector<ZtDeviceId>{kChildA, kChildB}));
  ZtString code = station->productCode();
  EXPECT_STREQ(code.data, "WS-TEST");
  ZtString_destruct(&code);
  EXPECT_EQ(station->hardwareVersion().major, 2u);
  EXPECT_EQ(station->hardwareVersion().minor, 3u);
  EXPECT_EQ(station->updateRate(), 100);
  EXPECT_EQ(station->outputMode(), 0u);
  EXPECT_EQ(station->outputSettings(), 1u);
  for (const EmuFrame& f : s.emu.received()) EXPECT_EQ(f.busId, 0xFF) << std::hex << int(f.messageId);
}

TEST(StationDevice, ChildrenSortedByIdTakeTheirOwnConfigurationEntries) {
  EmulatedStation s({kChildB, kChildA}, [](StationModel& m) { m.setChildren({kChildB, kChildA}, true); });
  ASSERT_TRUE(s.open());
  ASSERT_EQ(s.childIds(), (std::vector<ZtDeviceId>{kChildA, kChildB}));
  // The configuration lists B first: A (bus id 1) takes entry 1, B (bus id 2) entry 0.
  EXPECT_EQ(s.child(kChildA)->busId(), 1);
  EXPECT_EQ(s.child(kChildA)->configurationIndex(), 1);
  EXPECT_EQ(s.child(kChildB)->configurationIndex(), 0);
  // A tracker that connects after the configuration was read gets its place by id, and no entry
  // of another child.
  s.control->setKind(kChildC, TestControl::Wireless);
  s.model.connect(kChildC, -50, 1, 7);
  ASSERT_TRUE(s.settle(1));
  ASSERT_EQ(s.childIds(), (std::vector<ZtDeviceId>{kChildA, kChildC, kChildB}));
  ZtDevice* late = s.child(kChildC);
  EXPECT_EQ(late->configurationIndex(), -1);
  EXPECT_FALSE(late->readDeviceConfiguration());
  auto* ktw = dynamic_cast<KtwDevice*>(late);
  ASSERT_NE(ktw, nullptr);
  EXPECT_EQ(ktw->connectivityState(), ZCS_Wireless);
  EXPECT_EQ(ktw->lastKnownRssi(), -50);
  EXPECT_EQ(ktw->connectionStatus(), 1);
  EXPECT_EQ(s.child(kChildB)->configurationIndex(), 0);
}

TEST(StationDevice, RadioAndPendingDeviceMode) {
  EmulatedStation s({kChildA, kChildB});
  ASSERT_TRUE(s.open());
  TovanaStationDevice* station = s.station();
  ASSERT_TRUE(station->enableRadio(12));
  EXPECT_EQ(station->radioChannel(), 12);
  EXPECT_EQ(s.model.channel(), 12);
  EXPECT_FALSE(station->isOperational());
  EXPECT_EQ(station->syncBoxState(), 1u);
  EXPECT_EQ(station->deviceState(), ZDS_Config);
  for (uint32_t id : {kChildA, kChildB}) EXPECT_EQ(s.child(id)->connectivityState(), ZCS_Disconnected) << id;
  // A rate the station does not list is refused without touching the pending mode.
  EXPECT_TRUE(station->setDeviceMode(modeOfRate(50)));
  EXPECT_FALSE(station->setDeviceMode(modeOfRate(120)));
  EXPECT_EQ(station->deviceMode().period, 115200 / 50);
  EXPECT_EQ(s.emu.receivedCount(0xBA), 0u);  // not operational: stored only
  // A negative channel is disableRadio: the radio off, the children gone, configuration read.
  s.mark();
  ASSERT_TRUE(station->enableRadio(-1));
  EXPECT_EQ(s.idsSinceMark(), (std::vector<uint8_t>{0xB4, 0x02, 0x0C, 0x12}));
  EXPECT_EQ(station->radioChannel(), TovanaStationDevice::kRadioDisabled);
  EXPECT_FALSE(station->isRadioEnabled());
  EXPECT_TRUE(s.childIds().empty());
  EXPECT_FALSE(station->gotoMeasurement());
}

// Measurement start with a pending mode: operational, the mode (rate query, configuration and
// its indication), reinitialisation (configuration, children, settings), then measurement. Run on
// a pool of one worker, so that nothing it waits for needs a second pool thread.
TEST(StationDevice, GotoMeasurementRunsTheWholeSequenceOnAOneWorkerPool) {
  zelto::ThreadPool* pool = zelto::ThreadPool::instance();
  const unsigned size = pool->poolSize();
  pool->setPoolSize(1);
  {
    EmulatedStation s({kChildA, kChildB});
    ASSERT_TRUE(s.open());
    TovanaStationDevice* station = s.station();
    ASSERT_TRUE(station->enableRadio(12));
    ASSERT_TRUE(station->setDeviceMode(modeOfRate(50)));
    s.mark();
    ASSERT_TRUE(station->gotoMeasurement());
    EXPECT_EQ(s.idsSinceMark(), (std::vector<uint8_t>{0xC0, 0xCA, 0xBA, 0x02, 0x0C, 0x12, 0x8A, 0x10}));
    const std::vector<EmuFrame> frames = s.framesSinceMark();
    EXPECT_EQ(frames[2].payload, (std::vector<uint8_t>{0, 50, 0, 1}));
    EXPECT_EQ(station->deviceState(), ZDS_Measurement);
    for (uint32_t id : {kChildA, kChildB}) EXPECT_EQ(s.child(id)->deviceState(), ZDS_Measurement) << id;
    EXPECT_TRUE(station->isOperational());
    EXPECT_EQ(station->updateRate(), 50);
    EXPECT_EQ(TovanaStationDevice::updateRateOf(station->deviceMode()), 50);
    EXPECT_TRUE(s.model.measuring());
    // Measurement again: nothing to do. Back to configuration, then a start without waiting.
    s.mark();
    EXPECT_TRUE(station->gotoMeasurement());
    EXPECT_TRUE(s.idsSinceMark().empty());
    ASSERT_TRUE(station->gotoConfig());
    ASSERT_TRUE(station->gotoMeasurementImpl(false));
    ASSERT_TRUE(station->waitForRequests(EmulatedStation::kWaitMs));
    EXPECT_EQ(station->deviceState(), ZDS_Measurement);
  }
  pool->setPoolSize(size);
}

TEST(StationDevice, TriggerSettingsAreSentAndReadBack) {
  EmulatedStation s({kChildA});
  ASSERT_TRUE(s.open());
  TovanaStationDevice* station = s.station();
  std::vector<ZtSyncSetting> settings(3);
  settings[0] = ZtSyncSetting{1, 1, 2, 0, 0, 2, 3, 40, 1};      // sync-in line 1, action 1
  settings[1] = ZtSyncSetting{8, 0, 3, 2500, 0, 0, 1, 0, 0};    // sync-out line 8, event 0
  settings[2] = ZtSyncSetting{9, 4, 1, 1000, 0, 1, 0, 0, 0};    // sync-out line 9, event 3
  s.mark();
  ASSERT_TRUE(station->setSyncSettings(settings));
  EXPECT_EQ(s.idsSinceMark(), (std::vector<uint8_t>{0x26, 0x26, 0x26, 0x26, 0x28, 0x28, 0x28, 0x28, 0x28}));
  EXPECT_EQ(s.model.syncInEntries().at(1), (std::vector<uint8_t>{1, 2, 2, 1, 0, 2, 0, 3, 0, 40}));
  EXPECT_EQ(s.model.syncOutEntries().at(0), (std::vector<uint8_t>{0, 1, 3, 0, 0, 0, 0, 1, 0, 3}));
  EXPECT_EQ(s.model.syncInEntries().at(0)[1], 0);  // no setting named action 0
  const std::vector<ZtSyncSetting> cached = station->syncSettings();
  ASSERT_EQ(cached.size(), 3u);
  EXPECT_EQ(cached[0].line, 1);
  EXPECT_EQ(cached[0].clockPeriod, 40);
  EXPECT_EQ(cached[0].pulseWidth, 1000u);
  EXPECT_EQ(cached[1].line, 8);
  EXPECT_EQ(cached[1].pulseWidth, 3000u);
  EXPECT_EQ(cached[2].function, 4);
  // What the station holds reads back the same through its settings record.
  ASSERT_TRUE(station->readMasterSettings());
  const std::vector<ZtSyncSetting> readBack = station->syncSettings();
  ASSERT_EQ(readBack.size(), cached.size());
  for (size_t i = 0; i < cached.size(); ++i) {
    EXPECT_EQ(readBack[i].line, cached[i].line) << i;
    EXPECT_EQ(readBack[i].function, cached[i].function) << i;
    EXPECT_EQ(readBack[i].polarity, cached[i].polarity) << i;
    EXPECT_EQ(readBack[i].skipFactor, cached[i].skipFactor) << i;
  }
  // An empty list clears all nine entries: line mask 0, polarity 1.
  s.mark();
  ASSERT_TRUE(station->setSyncSettings({}));
  const std::vector<EmuFrame> frames = s.framesSinceMark();
  ASSERT_EQ(frames.size(), 9u);
  for (const EmuFrame& f : frames) {
    EXPECT_EQ(f.payload[1], 0);
    EXPECT_EQ(f.payload[2], 1);
  }
  EXPECT_TRUE(station->syncSettings().empty());
  EXPECT_EQ(station->supportedSyncSettings().size(), 18u);
  EXPECT_EQ(station->syncRole(), 1);
}

// Without children the station measures in sync-box mode; a recording starts with 0xCC, moves on
// with the start indication and ends with the acknowledged stop.
TEST(StationDevice, SyncBoxRecordingWithoutChildren) {
  CallbackRecorder rec;  // outlives the station, which calls it
  EmulatedStation s({}, [](StationModel& m) { m.setChannel(-1); });
  ASSERT_TRUE(s.open());
  TovanaStationDevice* station = s.station();
  EXPECT_EQ(station->radioChannel(), -1);
  // The query goes out once; its answer is kept.
  s.mark();
  EXPECT_FALSE(station->isInSyncBoxMode());
  EXPECT_FALSE(station->isInSyncBoxMode());
  EXPECT_EQ(s.idsSinceMark(), (std::vector<uint8_t>{0x2A}));
  ASSERT_TRUE(station->setSyncBoxMode(true));
  EXPECT_TRUE(s.model.syncBox());
  EXPECT_TRUE(station->isInSyncBoxMode());
  ASSERT_TRUE(station->gotoMeasurement());
  EXPECT_EQ(station->deviceState(), ZDS_Measurement);
  station->addCallbackHandler(&rec, true);
  s.mark();
  ASSERT_TRUE(station->startRecording());
  ASSERT_TRUE(waitForState(rec, station, ZDS_Recording));
  EXPECT_TRUE(s.model.recording());
  rec.clear();
  ASSERT_TRUE(station->stopRecording());
  EXPECT_FALSE(s.model.recording());
  ASSERT_TRUE(waitForState(rec, station, ZDS_Measurement));
  EXPECT_EQ(s.idsSinceMark(), (std::vector<uint8_t>{0xCC, 0xCE}));
}

TEST(StationDevice, RecordingWithChildrenFlushesWithProgress) {
  CallbackRecorder rec;  // outlives the station, which calls it
  EmulatedStation s({kChildA, kChildB}, [](StationModel& m) { m.setSendRecordingStarted(true, 500); });
  ASSERT_TRUE(s.open());
  TovanaStationDevice* station = s.station();
  ASSERT_TRUE(station->gotoMeasurement());
  station->addCallbackHandler(&rec, true);
  ASSERT_TRUE(station->startRecording());
  ASSERT_TRUE(waitForState(rec, station, ZDS_Recording));
  for (uint32_t id : {kChildA, kChildB})
    EXPECT_EQ(dynamic_cast<KtwDevice*>(s.child(id))->recordingStartFrame(), 500) << id;
  // A start with a start trigger configured sends no 0xCC: covered below by gotoConfig refusing
  // the waiting state.
  ASSERT_TRUE(station->stopRecording());
  EXPECT_EQ(station->deviceState(), ZDS_FlushingData);
  for (uint32_t id : {kChildA, kChildB}) EXPECT_EQ(s.child(id)->deviceState(), ZDS_FlushingData) << id;
  rec.clear();
  s.model.flushingProgress(30, 600);
  s.model.flushingProgress(12, 620);
  s.model.flushingProgress(0, 640);
  ASSERT_TRUE(rec.waitFor(CallbackRecorder::Kind::ProgressUpdated, 3, std::chrono::milliseconds(EmulatedStation::kWaitMs)));
  const auto progress = rec.events(CallbackRecorder::Kind::ProgressUpdated);
  EXPECT_EQ(progress[0].values[0], 30);
  EXPECT_EQ(progress[0].values[1], 30);
  EXPECT_EQ(progress[1].values[0], 12);
  EXPECT_EQ(progress[1].values[1], 30);
  EXPECT_EQ(progress[2].values[0], 0);
  EXPECT_EQ(progress[2].text, "Flushing");
  for (uint32_t id : {kChildA, kChildB}) EXPECT_EQ(dynamic_cast<KtwDevice*>(s.child(id))->flushingLimit(), 640) << id;
  ASSERT_TRUE(waitForState(rec, station, ZDS_FinalizingRecording));
  EXPECT_EQ(station->flushingTotals(), std::make_pair(0, 0));
  // A later progress indication is ignored; children that never return to Measurement do not
  // keep the station from configuration.
  s.model.flushingProgress(5, 700);
  EXPECT_TRUE(station->gotoConfig());
  EXPECT_EQ(station->deviceState(), ZDS_Config);
}

TEST(StationDevice, RequestsOfTwoChildrenDoNotOverlap) {
  EmulatedStation s({kChildA, kChildB});
  ASSERT_TRUE(s.open());
  auto* a = dynamic_cast<KtwDevice*>(s.child(kChildA));
  auto* b = dynamic_cast<KtwDevice*>(s.child(kChildB));
  ASSERT_TRUE(a && b);
  std::atomic<int> ok{0};
  auto run = [&](KtwDevice* k, int base) {
    for (int i = 0; i < 4; ++i) ok += k->setWirelessPriority(base + i) ? 1 : 0;
  };
  std::thread ta(run, a, 10);
  std::thread tb(run, b, 20);
  ta.join();
  tb.join();
  EXPECT_EQ(ok.load(), 8);
  EXPECT_EQ(s.model.priorityOverlaps(), 0);
  EXPECT_EQ(a->wirelessPriority(), 13);
  EXPECT_EQ(s.station()->ktwPriority(kChildB), 23);
  EXPECT_EQ(s.station()->ktwPriority(0x00B00099), 0);
}

TEST(StationDevice, MalformedAndStrayIndicationsChangeNothing) {
  CallbackRecorder rec;  // outlives the station, which calls it
  EmulatedStation s({kChildA, kChildB});
  ASSERT_TRUE(s.open());
  TovanaStationDevice* station = s.station();
  auto* a = dynamic_cast<KtwDevice*>(s.child(kChildA));
  station->addCallbackHandler(&rec, true);
  s.model.battery(9, 200);                         // bus id outside the configuration
  s.model.sendIndication(2, {0x00, 0xB0});          // connect too short for its id
  s.model.sendIndication(19, {0x00, 0x05});         // progress outside flushing
  s.model.sendIndication(15, {1, 0, 0});            // trigger too short
  s.model.sendIndication(30, {1, 2, 3});            // sub-id above 19
  s.model.sendIndication(3, {});                    // unlisted sub-id
  s.model.recordingEnded();                         // not recording
  s.model.clientError(kChildA, 2);                  // code other than 1
  s.model.clientError(0x00B00099, 1);               // no such child
  s.model.connect(0x00C00001);                      // an id of no wireless class
  s.model.battery(2, 80);                           // a sound one, last: all before it are handled
  ASSERT_TRUE(rec.waitFor(CallbackRecorder::Kind::InfoResponse, 1, std::chrono::milliseconds(EmulatedStation::kWaitMs)));
  ASSERT_TRUE(station->waitForRequests(EmulatedStation::kWaitMs));
  EXPECT_EQ(rec.events(CallbackRecorder::Kind::InfoResponse)[0].device, s.child(kChildB));
  EXPECT_EQ(rec.count(CallbackRecorder::Kind::Error), 0u);
  EXPECT_EQ(s.childIds(), (std::vector<ZtDeviceId>{kChildA, kChildB}));
  EXPECT_EQ(station->deviceState(), ZDS_Config);
  EXPECT_EQ(a->batteryLevel(), 0);
  ZtTriggerIndicationData t;
  EXPECT_FALSE(a->pendingTrigger(1, t));
  // A sound trigger and a tracker error reach the trackers.
  s.model.trigger(2, 1, 1234, 77);
  s.model.clientError(kChildA, 1);
  ASSERT_TRUE(rec.waitFor(CallbackRecorder::Kind::Error, 1, std::chrono::milliseconds(EmulatedStation::kWaitMs)));
  EXPECT_EQ(rec.events(CallbackRecorder::Kind::Error)[0].values[0], ZRV_TRACKERERROR);
  EXPECT_EQ(rec.events(CallbackRecorder::Kind::Error)[0].device, a);
  ASSERT_TRUE(a->pendingTrigger(2, t));
  EXPECT_EQ(t.frameNumber, 77);
  EXPECT_EQ(t.timestamp, 1234u);
}

TEST(StationDevice, UnaskedRadioDisableRunsOffTheParseThread) {
  EmulatedStation s({kChildA});
  ASSERT_TRUE(s.open());
  s.mark();
  s.model.radioDisabledUnasked();
  ASSERT_TRUE(s.emu.waitForReceived(0xB4, 1, EmulatedStation::kWaitMs));
  ASSERT_TRUE(s.station()->waitForRequests(EmulatedStation::kWaitMs));
  EXPECT_EQ(s.station()->radioChannel(), TovanaStationDevice::kRadioDisabled);
  EXPECT_TRUE(s.childIds().empty());
}

TEST(StationDevice, ClosingSendsTheDriverDisconnectWhileTheLinkRuns) {
  EmulatedStation s({kChildA});
  ASSERT_TRUE(s.open());
  s.mark();
  const auto start = std::chrono::steady_clock::now();
  s.control->close();
  const auto took = std::chrono::steady_clock::now() - start;
  const std::vector<uint8_t> sent = s.idsSinceMark();
  EXPECT_EQ(std::count(sent.begin(), sent.end(), 0x2E), 1);
#ifndef ZDA_UNDER_SANITIZER
  // The acknowledgement was received: the 500 ms allowance was not used up.
  EXPECT_LT(took, 450ms);
#endif
  (void)took;
}

TEST(StationDevice, OpenedFromARecordingReinitialisesFromIt) {
  StationModel model;
  model.setProductCode("WS-FILE A");
  TempDir dir;
  const std::string path = dir.file("station.mtb");
  LogFileBuilder b;
  b.configuration(StationModel::kStationId, {kChildB, kChildA});
  b.message(0x8B, model.settingsPayload());
  b.message(0x46, {2, 0x00, 0xB0, 0x00, 0x33, 0, 0, 1, 0, 0, 0});  // a connect: not replayed
  b.message(0x46, {15, 1, 0, 0, 0, 0, 9, 0, 42});                  // a trigger: replayed
  ASSERT_TRUE(b.writeTo(path));
  TestControl control;
  control.setKind(StationModel::kStationId, TestControl::WirelessStation);
  for (uint32_t id : {kChildA, kChildB, 0x00B00033u}) control.setKind(id, TestControl::Wireless);
  ASSERT_TRUE(control.openLogFile(Text(path).s));
  auto* station = dynamic_cast<TovanaStationDevice*>(control.device(StationModel::kStationId));
  ASSERT_NE(station, nullptr);
  EXPECT_EQ(station->radioChannel(), TovanaStationDevice::kChannelUnknown);
  ZtString code = station->productCode();
  EXPECT_STREQ(code.data, "WS-FILE");
  ZtString_destruct(&code);
  std::vector<ZtDeviceId> children;
  for (ZtDevice* c : station->children()) children.push_back(c->deviceId());
  EXPECT_EQ(children, (std::vector<ZtDeviceId>{kChildA, kChildB}));
  // The rest of the file, read on this thread.
  station->communicator()->readLogFile(station);
  ASSERT_TRUE(station->waitForRequests(EmulatedStation::kWaitMs));
  ZtTriggerIndicationData t;
  auto* a = dynamic_cast<KtwDevice*>(station->findDevice(kChildA));
  ASSERT_NE(a, nullptr);
  ASSERT_TRUE(a->pendingTrigger(1, t));
  EXPECT_EQ(t.frameNumber, 42);
  EXPECT_EQ(station->findDevice(0x00B00033), nullptr);
}

// A tracker open as a master of its own (docked) that connects wirelessly: its master is closed
// and it becomes the station's child; the closing runs on the station's request thread, never on
// the parse thread that read the indication.
TEST(StationDevice, ConnectOfATrackerOpenElsewhereClosesThatMasterOffTheParseThread) {
  EmulatedStation s({kChildA});
  ASSERT_TRUE(s.open());
  s.control->setKind(kChildC, TestControl::Wireless);
  EmulatedPort docked(kChildC);
  ASSERT_TRUE(docked.openIn(*s.control));
  ZtDevice* master = s.control->device(kChildC);
  ASSERT_NE(master, nullptr);
  ASSERT_TRUE(master->isMasterDevice());
  s.model.connect(kChildC);
  ASSERT_TRUE(s.settle(1));
  EXPECT_GE(s.control->log().count("prepareForTermination " + std::to_string(kChildC)), 1u);
  EXPECT_EQ(s.control->mainDeviceIds(), (std::vector<ZtDeviceId>{StationModel::kStationId}));
  ZtDevice* now = s.control->device(kChildC);
  ASSERT_NE(now, nullptr);
  EXPECT_EQ(now->master(), s.station());
  EXPECT_EQ(s.childIds(), (std::vector<ZtDeviceId>{kChildA, kChildC}));
}

// Work queued on the request thread does not outlive the station: closing while a measurement
// start waits for its reply ends it first (under ASan a run on a deleted station would show).
TEST(StationDevice, QueuedWorkEndsBeforeTheStation) {
  EmulatedStation s({kChildA});
  ASSERT_TRUE(s.open());
  TovanaStationDevice* station = s.station();
  ASSERT_TRUE(station->enableRadio(12));
  s.emu.script(0xC0, EmuAction::reply({}, 100));
  ASSERT_TRUE(station->gotoMeasurementImpl(false));
  station->gotoMeasurementImpl(false);
  ASSERT_TRUE(s.emu.waitForReceived(0xC0, 1, EmulatedStation::kWaitMs));
  s.control->close();
  EXPECT_EQ(s.control->mainDeviceCount(), 0u);
}

// The station's child lookups. getChildDevice holds the wireless child with the id while its
// handle lives (removed from the station meanwhile, it is still a whole object until then);
// getOrCreateChildDevice makes a missing child through the factory, initialised only when asked,
// and finds an existing one again. Neither yields a device for an id of no child, the station's
// own id, or an id the factory has no wireless class for.
TEST(StationDevice, ChildLookupsHoldTheTrackerAndMakeMissingOnes) {
  EmulatedStation s({kChildA});
  ASSERT_TRUE(s.open());
  TovanaStationDevice* station = s.station();
  auto a = station->getChildDevice(kChildA);
  ASSERT_TRUE(a);
  EXPECT_EQ(a.get(), s.child(kChildA));
  EXPECT_FALSE(station->getChildDevice(kChildB));
  EXPECT_FALSE(station->getChildDevice(StationModel::kStationId));
  station->disconnectChild(*a);
  EXPECT_TRUE(s.childIds().empty());
  EXPECT_EQ(a->deviceId(), kChildA);
  EXPECT_EQ(a->connectivityState(), ZCS_Disconnected);
  a.reset();
  EXPECT_FALSE(a);

  s.control->setKind(kChildB, TestControl::Wireless);
  s.control->setKind(kChildC, TestControl::Wireless);
  const auto b = station->getOrCreateChildDevice(kChildB, false);
  ASSERT_TRUE(b);
  EXPECT_FALSE(b->isInitialized());
  EXPECT_EQ(station->getOrCreateChildDevice(kChildB, true).get(), b.get());
  const auto c = station->getOrCreateChildDevice(kChildC, true);
  ASSERT_TRUE(c);
  EXPECT_TRUE(c->isInitialized());
  EXPECT_FALSE(station->getOrCreateChildDevice(0x00C00001, false));  // no class for the id
  EXPECT_EQ(s.childIds(), (std::vector<ZtDeviceId>{kChildC, kChildB}));
  const std::vector<ZtDeviceId> made = s.control->made();
  EXPECT_EQ(std::count(made.begin(), made.end(), kChildB), 1);
}

TEST(StationDevice, NoDockingWithoutLinks) {
  TovanaStationDevice station(TestDevice::noFactory(), nullptr);
  TestDevice other(ZtDeviceId(0x00080001));
  EXPECT_FALSE(station.deviceIsDocked(nullptr));
  EXPECT_FALSE(station.deviceIsDocked(&other));
  EXPECT_FALSE(station.deviceIsDocked(&station));
  EXPECT_EQ(station.radioChannel(), TovanaStationDevice::kChannelUnknown);
  EXPECT_EQ(station.supportedUpdateRates(0), (std::vector<int>{150, 120, 100, 75, 60, 50, 40, 25, 24, 20}));
}

}  // namespace
