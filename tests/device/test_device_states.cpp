// Device states: the mode switches and recording states on the wire, the order of a master's
// and its children's changes, termination of a measuring master, and a switch asked for from
// inside one of the device's own tasks.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "foundation/JournalMacros.h"
#include "foundation/ThreadPool.h"
#include "support/CallbackRecorder.h"
#include "support/EmulatedMaster.h"
#include "support/LogFileBuilder.h"
#include "support/TempDir.h"
#include "support/ZtValues.h"

using zelto::test::Bytes;
using zelto::test::DeviceEmulator;
using zelto::test::EmuAction;
using zelto::test::EmuFrame;
using zelto::test::EmulatedMaster;
using zelto::test::TestDevice;
using Kind = CallbackRecorder::Kind;
using namespace std::chrono_literals;

namespace {

constexpr ZtDeviceId kDeviceStatesChild1 = 0x00345601;
constexpr ZtDeviceId kDeviceStatesChild2 = 0x00345602;

// The state changes one device went through, as (old, new) pairs in order.
std::vector<std::pair<int, int>> changesOf(const CallbackRecorder& recorder, const ZtDevice* device) {
  std::vector<std::pair<int, int>> changes;
  for (const auto& e : recorder.events(Kind::DeviceStateChanged))
    if (e.device == device) changes.emplace_back(e.values[1], e.values[0]);
  return changes;
}

std::vector<Bytes> deviceStatesEncoded(const std::vector<EmuFrame>& frames) {
  std::vector<Bytes> out;
  for (const EmuFrame& f : frames) out.push_back(f.encode());
  return out;
}

// A pool task that sleeps and then says so.
class SlowTask : public zelto::ThreadPoolTask {
 public:
  SlowTask(std::chrono::milliseconds duration, std::atomic<bool>& done) : m_duration(duration), m_done(done) {}
  bool exec() override {
    std::this_thread::sleep_for(m_duration);
    m_done = true;
    return true;
  }

 private:
  std::chrono::milliseconds m_duration;
  std::atomic<bool>& m_done;
};

const Bytes kGotoMeasurement{0xFA, 0xFF, 0x10, 0x00, 0xF1};
const Bytes kDeviceStatesGotoConfig{0xFA, 0xFF, 0x30, 0x00, 0xD1};

}  // namespace

// The transitions of the base class, one after another on one master with two children: the
// result, both states afterwards, and the exact frames each step put on the wire. Every actual
// change is reported once, on a pool thread, the children's before the master's.
TEST(DeviceStates, TransitionTableOnTheWire) {
  EmulatedMaster scene({kDeviceStatesChild1, kDeviceStatesChild2});
  TestDevice* master = scene.master;
  TestDevice* child = scene.children[0];
  CallbackRecorder recorder;
  master->addCallbackHandler(&recorder, true);

  struct Step {
    const char* name;
    std::function<bool()> operation;
    bool result;
    ZtDeviceState masterState;
    ZtDeviceState childState;
    std::vector<Bytes> frames;
    size_t changes;  // state-change events of the step (master and both children)
  };
  const Step steps[] = {
      {"gotoMeasurement from Initial", [&] { return master->gotoMeasurement(); }, true, ZDS_Measurement,
       ZDS_Measurement, {kGotoMeasurement}, 3},
      {"gotoMeasurement in Measurement", [&] { return master->gotoMeasurement(); }, true, ZDS_Measurement,
       ZDS_Measurement, {}, 0},
      {"stopRecording in Measurement", [&] { return master->stopRecording(); }, false, ZDS_Measurement,
       ZDS_Measurement, {}, 0},
      {"startRecording on a child starts the master", [&] { return child->startRecording(); }, true, ZDS_Recording,
       ZDS_Recording, {}, 3},
      {"startRecording in Recording", [&] { return master->startRecording(); }, false, ZDS_Recording, ZDS_Recording,
       {}, 0},
      {"stopRecording", [&] { return master->stopRecording(); }, true, ZDS_Measurement, ZDS_Measurement, {}, 3},
      {"gotoMeasurement on a child", [&] { return child->gotoMeasurement(); }, false, ZDS_Measurement,
       ZDS_Measurement, {}, 0},
      {"gotoConfig on a child", [&] { return child->gotoConfig(); }, false, ZDS_Measurement, ZDS_Measurement, {}, 0},
      {"gotoConfig from Measurement", [&] { return master->gotoConfig(); }, true, ZDS_Config, ZDS_Config,
       {kDeviceStatesGotoConfig}, 3},
      {"gotoConfig in Config", [&] { return master->gotoConfig(); }, true, ZDS_Config, ZDS_Config, {}, 0},
      {"startRecording in Config", [&] { return master->startRecording(); }, false, ZDS_Config, ZDS_Config, {}, 0},
      {"gotoMeasurement from Config", [&] { return master->gotoMeasurement(); }, true, ZDS_Measurement,
       ZDS_Measurement, {kGotoMeasurement}, 3},
  };
  size_t seen = scene.framesSinceOpen().size();
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    const size_t eventsBefore = recorder.count(Kind::DeviceStateChanged);
    EXPECT_EQ(step.operation(), step.result);
    EXPECT_EQ(master->deviceState(), step.masterState);
    for (TestDevice* c : scene.children) EXPECT_EQ(c->deviceState(), step.childState);
    // Frames the emulator heard, less the data stream's: only requests go this way.
    std::vector<EmuFrame> frames = scene.framesSinceOpen();
    frames.erase(frames.begin(), frames.begin() + static_cast<long>(seen));
    seen += frames.size();
    EXPECT_EQ(deviceStatesEncoded(frames), step.frames);
    EXPECT_EQ(recorder.count(Kind::DeviceStateChanged) - eventsBefore, step.changes);
  }

  // Once per actual change, never for a repeated state, and on pool threads.
  const std::vector<std::pair<int, int>> path{{ZDS_Initial, ZDS_Measurement},   {ZDS_Measurement, ZDS_Recording},
                                              {ZDS_Recording, ZDS_Measurement}, {ZDS_Measurement, ZDS_Config},
                                              {ZDS_Config, ZDS_Measurement}};
  EXPECT_EQ(changesOf(recorder, master), path);
  for (TestDevice* c : scene.children) EXPECT_EQ(changesOf(recorder, c), path);
  const auto events = recorder.events(Kind::DeviceStateChanged);
  for (const auto& e : events) EXPECT_NE(e.thread, std::this_thread::get_id());
  // Within each change, both children come before the master.
  for (size_t i = 0; i + 2 < events.size(); i += 3) {
    EXPECT_NE(events[i].device, master);
    EXPECT_NE(events[i + 1].device, master);
    EXPECT_EQ(events[i + 2].device, master);
  }
  // Host filtering is on for a master: every gotoMeasurement starts the filter first, also the
  // one that found the device measuring already.
  EXPECT_EQ(master->log().count("initializeFilter " + std::to_string(EmulatedMaster::kMasterId)), 3u);
  master->removeCallbackHandler(&recorder, true);
}

// A refused GotoMeasurement leaves the master where it was; its children went to Measurement
// (before the request) and are brought back to Config. The link sends GotoConfig after the
// refusal.
TEST(DeviceStates, RefusedGotoMeasurementLeavesTheChildrenInConfig) {
  struct Case {
    const char* name;
    EmuAction answer;
  };
  const Case cases[] = {{"error reply", EmuAction::error(0x04)}, {"no reply", EmuAction::silence()}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EmulatedMaster scene({kDeviceStatesChild1, kDeviceStatesChild2});
    CallbackRecorder recorder;
    scene.master->addCallbackHandler(&recorder, true);
    scene.emu->script(DeviceEmulator::GotoMeasurement, c.answer);
    EXPECT_FALSE(scene.master->gotoMeasurement());
    EXPECT_EQ(scene.master->deviceState(), ZDS_Initial);
    EXPECT_FALSE(scene.link->isMeasuring());
    const std::vector<std::pair<int, int>> there{{ZDS_Initial, ZDS_Measurement}, {ZDS_Measurement, ZDS_Config}};
    for (TestDevice* child : scene.children) {
      EXPECT_EQ(child->deviceState(), ZDS_Config);
      EXPECT_EQ(changesOf(recorder, child), there);
    }
    EXPECT_TRUE(changesOf(recorder, scene.master).empty());
    EXPECT_EQ(deviceStatesEncoded(scene.framesSinceOpen()), (std::vector<Bytes>{kGotoMeasurement, kDeviceStatesGotoConfig}));
    scene.master->removeCallbackHandler(&recorder, true);
  }
}

// The termination of a measuring master by its owner: Destructing at once on the terminating
// thread, then GotoConfig on the wire, which brings the master and its children to Config; the
// children then end in Destructing through their own termination. (Dropping the last reference
// instead ends the children first, each on its own.)
TEST(DeviceStates, TerminationOfAMeasuringMasterSendsGotoConfigAfterDestructing) {
  EmulatedMaster scene({kDeviceStatesChild1, kDeviceStatesChild2});
  TestDevice* master = scene.master;
  const std::vector<TestDevice*> children = scene.children;
  ASSERT_TRUE(master->gotoMeasurement());
  CallbackRecorder recorder;
  master->addCallbackHandler(&recorder, true);
  // What the emulator had heard of GotoConfig when the master reported Destructing.
  std::atomic<long> gotoConfigsAtDestructing{-1};
  recorder.setHook([&](const CallbackRecorder::Event& e) {
    if (e.kind == Kind::DeviceStateChanged && e.device == master && e.values[0] == ZDS_Destructing)
      gotoConfigsAtDestructing = static_cast<long>(scene.emu->receivedCount(DeviceEmulator::GotoConfig));
  });
  const size_t gotoConfigsBefore = scene.emu->receivedCount(DeviceEmulator::GotoConfig);
  master->prepareForTermination();
  EXPECT_EQ(master->deviceState(), ZDS_Config);
  for (TestDevice* child : children) EXPECT_EQ(child->deviceState(), ZDS_Destructing);
  scene.end();
  EXPECT_EQ(gotoConfigsAtDestructing.load(), static_cast<long>(gotoConfigsBefore));
  EXPECT_EQ(scene.emu->receivedCount(DeviceEmulator::GotoConfig), gotoConfigsBefore + 1);
  EXPECT_EQ(changesOf(recorder, master),
            (std::vector<std::pair<int, int>>{{ZDS_Measurement, ZDS_Destructing}, {ZDS_Destructing, ZDS_Config}}));
  for (TestDevice* child : children)
    EXPECT_EQ(changesOf(recorder, child),
              (std::vector<std::pair<int, int>>{{ZDS_Measurement, ZDS_Config}, {ZDS_Config, ZDS_Destructing}}));
}

// A master's tasks form one chain: the completion task over the children's changes waits for the
// master's earlier tasks too, so a change queued behind a slow task runs only after it.
TEST(DeviceStates, MastersChangeWaitsForItsEarlierTasks) {
  auto* master = new TestDevice(ZtDeviceId(0x00345678));
  new TestDevice(master, kDeviceStatesChild1);
  new TestDevice(master, kDeviceStatesChild2);
  master->addRef();
  CallbackRecorder recorder;
  master->addCallbackHandler(&recorder, true);
  std::atomic<bool> slowDone{false};
  std::atomic<int> masterChangesBeforeSlowEnd{0};
  recorder.setHook([&](const CallbackRecorder::Event& e) {
    if (e.kind == Kind::DeviceStateChanged && e.device == master && !slowDone) ++masterChangesBeforeSlowEnd;
  });
  zelto::ThreadPool* pool = zelto::ThreadPool::instance();
  master->setLastScheduledProcessTask(
      pool->addTask(new SlowTask(300ms, slowDone), master->lastScheduledProcessTask()));
  const unsigned id = master->setDeviceState(ZDS_Config, false);
  EXPECT_NE(id, 0u);
  pool->waitForCompletion(id);
  EXPECT_TRUE(slowDone);
  EXPECT_EQ(masterChangesBeforeSlowEnd.load(), 0);
  for (ZtDevice* child : master->children()) EXPECT_EQ(child->deviceState(), ZDS_Config);
  EXPECT_EQ(changesOf(recorder, master), (std::vector<std::pair<int, int>>{{ZDS_Initial, ZDS_Config}}));
  master->removeCallbackHandler(&recorder, true);
  master->removeRef();
}

// Queued and awaited changes: a queued change has a task id and shows once it ran; an awaited
// one returns 0. A child and a master without children queue no completion task.
TEST(DeviceStates, QueuedAndAwaitedChanges) {
  auto* master = new TestDevice(ZtDeviceId(0x00345678));
  auto* child = new TestDevice(master, kDeviceStatesChild1);
  master->addRef();
  const unsigned before = child->lastScheduledProcessTask();
  EXPECT_EQ(child->setChildDeviceStates(ZDS_Config, false), 0u);
  EXPECT_EQ(child->lastScheduledProcessTask(), before);
  EXPECT_EQ(child->deviceState(), ZDS_Initial);

  EXPECT_EQ(master->setDeviceState(ZDS_Measurement, true), 0u);
  EXPECT_EQ(master->deviceState(), ZDS_Measurement);
  EXPECT_EQ(child->deviceState(), ZDS_Measurement);
  const unsigned queued = master->setDeviceState(ZDS_Config, false);
  EXPECT_NE(queued, 0u);
  EXPECT_EQ(master->lastScheduledProcessTask(), queued);
  zelto::ThreadPool::instance()->waitForCompletion(queued);
  EXPECT_EQ(master->deviceState(), ZDS_Config);

  auto* lone = new TestDevice(ZtDeviceId(0x00345699));
  lone->addRef();
  EXPECT_EQ(lone->setChildDeviceStates(ZDS_Config, true), 0u);
  EXPECT_EQ(lone->lastScheduledProcessTask(), 0u);
  lone->removeRef();
  master->removeRef();
}

// A master reading a log file measures from the start: GotoMeasurement finds it measuring,
// GotoConfig is refused, and nothing changes.
TEST(DeviceStates, LogFileMasterStaysInMeasurement) {
  zelto::test::TempDir dir;
  zelto::test::LogFileBuilder builder;
  builder.configuration(0x00345678, {0x00345678}).data(0);
  const std::string path = dir.file("states.zlog");
  ASSERT_TRUE(builder.writeTo(path));
  auto* link = new Communicator();
  ZtString name;
  ZtString_construct(&name, path.c_str());
  ASSERT_TRUE(link->openLogFile(name));
  ZtString_destruct(&name);
  auto* master = new TestDevice(link);
  master->addRef();
  CallbackRecorder recorder;
  master->addCallbackHandler(&recorder, true);
  EXPECT_FALSE(master->gotoConfig());
  EXPECT_TRUE(master->gotoMeasurement());
  EXPECT_EQ(master->deviceState(), ZDS_Measurement);
  EXPECT_TRUE(recorder.events(Kind::DeviceStateChanged).empty());
  master->removeCallbackHandler(&recorder, true);
  master->removeRef();
}

// A switch asked for from a state-change handler runs inside one of the device's own tasks:
// waiting there for the device's last task would never end. It is refused at once with false and
// a journal line, for the master's own task and for a child's; the device keeps working.
TEST(DeviceStates, SwitchFromInsideTheDevicesOwnTaskIsRefused) {
  zelto::test::TempDir dir;
  const std::string journalPath = dir.file("zda.log");
  auto* journal = new Journaller(journalPath.c_str(), true, JLL_ALERT);
  gJournal.store(journal);

  EmulatedMaster scene({kDeviceStatesChild1});
  TestDevice* master = scene.master;
  TestDevice* child = scene.children[0];
  ASSERT_TRUE(master->gotoMeasurement());
  CallbackRecorder recorder;
  master->addCallbackHandler(&recorder, true);
  struct Call {
    const ZtDevice* raisedOn;
    std::function<bool()> call;
    std::atomic<int> result{-1};
    std::atomic<long> ms{-1};
  };
  Call calls[] = {{master, [&] { return master->gotoConfig(); }},
                  {child, [&] { return master->gotoConfig(); }},
                  {master, [&] { return master->stopRecording(); }}};
  recorder.setHook([&](const CallbackRecorder::Event& e) {
    if (e.kind != Kind::DeviceStateChanged || e.values[0] != ZDS_Recording) return;
    for (Call& c : calls)
      if (c.raisedOn == e.device && c.result < 0) {
        const auto start = std::chrono::steady_clock::now();
        c.result = c.call() ? 1 : 0;
        c.ms = zelto::test::msSince(start);
      }
  });
  EXPECT_TRUE(master->startRecording());
  recorder.setHook(nullptr);
  for (const Call& c : calls) {
    EXPECT_EQ(c.result.load(), 0);
    EXPECT_GE(c.ms.load(), 0);
    EXPECT_LT(c.ms.load(), 1000);
  }
  EXPECT_EQ(master->deviceState(), ZDS_Recording);
  EXPECT_EQ(scene.emu->receivedCount(DeviceEmulator::GotoConfig), 1u);  // the open's only
  // Outside the handler the same calls work.
  EXPECT_TRUE(master->stopRecording());
  EXPECT_TRUE(master->gotoConfig());
  EXPECT_EQ(child->deviceState(), ZDS_Config);
  master->removeCallbackHandler(&recorder, true);
  scene.end();

  gJournal.store(nullptr);
  journal->flushFile();
  delete journal;
  std::ifstream in(journalPath);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_NE(text.str().find("gotoConfig of device 00345678 refused"), std::string::npos) << text.str();
  EXPECT_NE(text.str().find("stopRecording of device 00345678 refused"), std::string::npos) << text.str();
}

// With a recording link attached, recording starts only while that link's file is open; the
// filter state is written first. Without one the device records without writing.
TEST(DeviceStates, StartRecordingNeedsTheRecordingFileOpen) {
  struct RecordingMaster : TestDevice {
    using TestDevice::TestDevice;
    void attachRecordingLink(Communicator* link) { m_logFileInterface = link; }
  };
  zelto::test::TempDir dir;
  auto* master = new RecordingMaster(ZtDeviceId(0x00345678));
  const std::string filterWritten = "writeFilterStateToFile " + std::to_string(0x00345678);
  master->addRef();
  master->setDeviceState(ZDS_Measurement, true);
  auto* recording = new Communicator();
  master->attachRecordingLink(recording);
  EXPECT_FALSE(master->startRecording());
  EXPECT_EQ(master->deviceState(), ZDS_Measurement);
  EXPECT_EQ(master->log().count(filterWritten), 0u);

  ZtString name;
  ZtString_construct(&name, dir.file("rec.zlog").c_str());
  ASSERT_TRUE(recording->createLogFile(name));
  ZtString_destruct(&name);
  EXPECT_TRUE(master->startRecording());
  EXPECT_EQ(master->deviceState(), ZDS_Recording);
  EXPECT_EQ(master->log().count(filterWritten), 1u);
  EXPECT_TRUE(master->closeLogFile());
  EXPECT_TRUE(master->stopRecording());
  EXPECT_EQ(master->deviceState(), ZDS_Measurement);
  master->removeRef();
}
