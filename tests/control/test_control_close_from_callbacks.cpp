// Ports closed from inside the handlers of their own device, through the C interface, against the
// emulator program in its own process (a host-filtered tracker and a 700-series tracker, each
// streaming at 100 Hz):
//  - from the hang-up report (onError 289) on the link's reader thread, the emulator killed: the
//    close returns inside the handler, the device leaves the control and is terminated, and the
//    reader thread ends (it deletes the link once it has returned from the handler); a handler
//    removal made meanwhile waits until the reader has left the handler;
//  - from a packet's handler (onDataAvailable) on the device's processing task, or from the
//    handler of a parsed message (onMessageReceivedFromDevice) on the link's parse task: the
//    close returns inside the handler, the device leaves the control at once, its termination
//    runs once the handler has returned (also on a pool of one worker), and ZtControl_destruct
//    waits for it: no handler is raised afterwards.
#include <dirent.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <termios.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "foundation/ThreadPool.h"
#include "support/EmulatorProcess.h"
#include "zeltodeviceapi/ztcallbackplainc.h"
#include "zeltodeviceapi/ztcontrol.h"
#include "zeltodeviceapi/ztdevice.h"

namespace {

using namespace std::chrono_literals;

// Bounds for events that come within milliseconds; only a hang reaches them.
#ifdef ZDA_UNDER_SANITIZER
constexpr auto kEventLimit = 30s;
constexpr auto kTestLimit = 180s;
#else
constexpr auto kEventLimit = 10s;
constexpr auto kTestLimit = 60s;
#endif

struct CloseFromHandlerFamily {
  const char* name;
  const char* idText;  // as the emulator takes it
  ZtDeviceId id;
};

const CloseFromHandlerFamily kCloseFromHandlerFamilies[] = {
    {"HostFiltered", "00071000", 0x00071000u},
    {"Series700", "00701000", 0x00701000u},
};

// The link readers of this process: threads named "KtThread" in /proc/self/task/*/comm.
int linkReaderThreads() {
  int n = 0;
  DIR* dir = opendir("/proc/self/task");
  if (!dir) return -1;
  while (const dirent* e = readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
    std::string name;
    if (std::getline(comm, name) && name == "KtThread") ++n;
  }
  closedir(dir);
  return n;
}

// Polls (no event tells when a thread has gone) until at most n readers are left.
bool linkReadersDropTo(int n, std::chrono::steady_clock::duration limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  for (;;) {
    if (linkReaderThreads() <= n) return true;
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(5ms);
  }
}

// Ends the process with the stage it was in when the test outlives its limit: a hung close or
// destruct fails here instead of at the test runner's time-out.
class CloseFromHandlerWatchdog {
 public:
  CloseFromHandlerWatchdog() : m_thread([this] { watch(); }) {}
  ~CloseFromHandlerWatchdog() {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_done = true;
    }
    m_changed.notify_all();
    m_thread.join();
  }
  void stage(const char* name) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stage = name;
  }

 private:
  void watch() {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_changed.wait_for(lock, kTestLimit, [this] { return m_done; })) return;
    std::fprintf(stderr, "hung: %s\n", m_stage);
    std::fflush(stderr);
    std::abort();
  }
  std::mutex m_mutex;
  std::condition_variable m_changed;
  bool m_done = false;
  const char* m_stage = "start";
  std::thread m_thread;
};

enum class CloseCall { ClosePort1, Close };

// A plain-C handler table that records every event with its device and, once, closes the port
// from inside a handler: on the hang-up report (289) or on the n-th packet. Events raised once
// the table is marked dead (its control destroyed) are counted as late.
class CloseFromHandlerRecorder {
 public:
  enum class Kind { StateChanged, Data, Error, Other, CloseReturned, HandlerLeaving, RemovalReturned };
  struct Event {
    Kind kind;
    ZtDevice* device;
    int value;  // StateChanged: new state; Error: the code; Other: the table entry
    bool late;
  };

  CloseFromHandlerRecorder() {
    ZtCallbackPlainC& t = m_table.callbacks;
    t.m_onDeviceStateChanged = [](ZtCallbackPlainC* cb, ZtDevice* dev, ZtDeviceState state, ZtDeviceState) {
      self(cb)->record(Kind::StateChanged, dev, state);
    };
    t.m_onDataAvailable = [](ZtCallbackPlainC* cb, ZtDevice* dev, const ZtDataPacket*) { self(cb)->onData(dev); };
    t.m_onMissedPackets = [](ZtCallbackPlainC* cb, ZtDevice* dev, int, int, int) { self(cb)->record(Kind::Other, dev, 2); };
    t.m_onWakeupReceived = [](ZtCallbackPlainC* cb, ZtDevice* dev) { self(cb)->record(Kind::Other, dev, 3); };
    t.m_onProgressUpdated = [](ZtCallbackPlainC* cb, ZtDevice* dev, int, int, const ZtString*) {
      self(cb)->record(Kind::Other, dev, 4);
    };
    t.m_onWriteMessageToLogFile = [](ZtCallbackPlainC* cb, ZtDevice* dev, const ZtMessage*) {
      self(cb)->record(Kind::Other, dev, 5);
      return 1;
    };
    t.m_onWriteDataToLogFile = [](ZtCallbackPlainC* cb, ZtDevice* dev, const ZtDataPacket*) {
      self(cb)->record(Kind::Other, dev, 6);
      return 1;
    };
    t.m_onConnectivityChanged = [](ZtCallbackPlainC* cb, ZtDevice* dev, ZtConnectivityState) {
      self(cb)->record(Kind::Other, dev, 7);
    };
    t.m_onInfoResponse = [](ZtCallbackPlainC* cb, ZtDevice* dev, ZtInfoRequest) { self(cb)->record(Kind::Other, dev, 8); };
    t.m_onError = [](ZtCallbackPlainC* cb, ZtDevice* dev, ZtResultValue error) { self(cb)->onError(dev, error); };
    t.m_onNonDataMessage = [](ZtCallbackPlainC* cb, ZtDevice* dev, const ZtMessage*) {
      self(cb)->record(Kind::Other, dev, 10);
    };
    t.m_onMessageReceivedFromDevice = [](ZtCallbackPlainC* cb, ZtDevice* dev, const ZtMessage* m) {
      self(cb)->onMessage(dev, m);
    };
    t.m_onMessageSentToDevice = [](ZtCallbackPlainC* cb, ZtDevice* dev, const ZtMessage*) {
      self(cb)->record(Kind::Other, dev, 12);
    };
    m_table.self = this;
  }
  CloseFromHandlerRecorder(const CloseFromHandlerRecorder&) = delete;
  CloseFromHandlerRecorder& operator=(const CloseFromHandlerRecorder&) = delete;

  ZtCallbackPlainC* handler() { return &m_table.callbacks; }

  // What the closing handler does; set before the handler is registered.
  ZtControl* control = nullptr;
  ZtDeviceId deviceId = 0;
  CloseCall call = CloseCall::ClosePort1;
  bool closeOnHangUp = false;
  int closeOnPacket = 0;           // 0: never
  int closeOnDataMessage = 0;      // the n-th data message parsed (link's parse task); 0: never
  bool holdAfterClose = false;     // the closing handler returns only once release was called

  void release() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_released = true;
    m_changed.notify_all();
  }
  void markDead() { m_dead.store(true); }
  // An event of the test's own thread, in order with the handlers'.
  void note(Kind kind) { record(kind, nullptr, 0); }

  bool waitFor(const std::function<bool(const std::vector<Event>&)>& done) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, kEventLimit, [&] { return done(m_events); });
  }
  bool waitForCount(Kind kind, size_t n) {
    return waitFor([&](const std::vector<Event>& events) { return count(events, kind) >= n; });
  }
  // The first state event ZDS_Destructing of device.
  bool waitForDestructing(ZtDevice* device) {
    return waitFor([&](const std::vector<Event>& events) { return indexOfDestructing(events, device) >= 0; });
  }
  std::vector<Event> events() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_events;
  }
  // The system name of the thread the closing handler ran on.
  std::string closingThread() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_closingThread;
  }

  static size_t count(const std::vector<Event>& events, Kind kind) {
    return static_cast<size_t>(std::count_if(events.begin(), events.end(), [&](const Event& e) { return e.kind == kind; }));
  }
  static long indexOf(const std::vector<Event>& events, Kind kind) {
    const auto it = std::find_if(events.begin(), events.end(), [&](const Event& e) { return e.kind == kind; });
    return it == events.end() ? -1 : it - events.begin();
  }
  static long indexOfDestructing(const std::vector<Event>& events, ZtDevice* device) {
    const auto it = std::find_if(events.begin(), events.end(), [&](const Event& e) {
      return e.kind == Kind::StateChanged && e.device == device && e.value == ZDS_Destructing;
    });
    return it == events.end() ? -1 : it - events.begin();
  }
  static size_t lateCount(const std::vector<Event>& events) {
    return static_cast<size_t>(std::count_if(events.begin(), events.end(), [](const Event& e) { return e.late; }));
  }

 private:
  struct Table {
    ZtCallbackPlainC callbacks{};  // first: the library hands its address back
    CloseFromHandlerRecorder* self = nullptr;
  };
  static CloseFromHandlerRecorder* self(ZtCallbackPlainC* cb) { return reinterpret_cast<Table*>(cb)->self; }

  // Notifies under the lock: the test frees the recorder once it has seen the last event, and
  // its next lock then orders the free after this call's last use of the recorder.
  void record(Kind kind, ZtDevice* device, int value) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_events.push_back({kind, device, value, m_dead.load()});
    m_changed.notify_all();
  }
  void onData(ZtDevice* dev) {
    record(Kind::Data, dev, 0);
    if (closeOnPacket > 0 && ++m_packets == closeOnPacket && !m_closing.exchange(true)) closeHere(dev);
  }
  void onMessage(ZtDevice* dev, const ZtMessage* message) {
    record(Kind::Other, dev, 11);
    const uint8_t id = ZtMessage_getMessageId(message);
    if (closeOnDataMessage > 0 && (id == 0x32 || id == 0x36) && ++m_dataMessages == closeOnDataMessage &&
        !m_closing.exchange(true))
      closeHere(dev);
  }
  void onError(ZtDevice* dev, ZtResultValue error) {
    record(Kind::Error, dev, error);
    if (closeOnHangUp && error == ZRV_PORTCLOSED && !m_closing.exchange(true)) closeHere(dev);
  }
  void closeHere(ZtDevice* dev) {
    char name[16] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_closingThread = name;
    }
    if (call == CloseCall::ClosePort1)
      ZtControl_closePort_1(control, deviceId);
    else
      ZtControl_close(control);
    record(Kind::CloseReturned, dev, 0);
    if (holdAfterClose) {
      std::unique_lock<std::mutex> lock(m_mutex);
      m_changed.wait_for(lock, kEventLimit, [this] { return m_released; });
    }
    record(Kind::HandlerLeaving, dev, 0);
  }

  Table m_table;
  mutable std::mutex m_mutex;
  std::condition_variable m_changed;
  std::vector<Event> m_events;  // guarded by m_mutex
  bool m_released = false;      // guarded by m_mutex
  std::string m_closingThread;  // guarded by m_mutex
  std::atomic<bool> m_dead{false};
  std::atomic<bool> m_closing{false};
  std::atomic<int> m_packets{0};
  std::atomic<int> m_dataMessages{0};
};

using Kind = CloseFromHandlerRecorder::Kind;

// One emulator process serving a tracker, a control with the recorder chained to every device
// and link, the port opened and the device found. The recorder (on the heap) outlives the
// control, so a handler raised after ZtControl_destruct finds it marked dead, not freed.
struct CloseFromHandlerRun {
  explicit CloseFromHandlerRun(const CloseFromHandlerFamily& family)
      : emulator(std::make_unique<zelto::test::EmulatorProcess>(
            std::string(ZDA_BINARY_DIR) + "/tests/support/emulator/zda_emulator",
            std::vector<std::string>{family.idText, "100", "serve"})),
        recorder(std::make_unique<CloseFromHandlerRecorder>()),
        deviceId(family.id) {}
  ~CloseFromHandlerRun() {
    recorder->release();
    destruct();
    emulator.reset();
  }

  // Opens the port with the recorder set as configured; false (with a failure) when it does not.
  bool open() {
    if (emulator->port().empty()) {
      ADD_FAILURE() << "the emulator did not start";
      return false;
    }
    control = ZtControl_construct();
    recorder->control = control;
    recorder->deviceId = deviceId;
    ZtControl_addCallbackHandler(control, recorder->handler(), 1);
    ZtString name;
    ZtString_construct(&name, emulator->port().c_str());
    const int opened = ZtControl_openPort(control, &name, B115200, 0, 0);
    ZtString_destruct(&name);
    if (opened != 1) {
      ADD_FAILURE() << "openPort failed: " << ZtControl_lastResult(control);
      return false;
    }
    device = ZtControl_device(control, deviceId);
    if (!device) ADD_FAILURE() << "no device " << std::hex << deviceId;
    return device != nullptr;
  }
  void destruct() {
    if (!control) return;
    ZtControl_destruct(control);
    control = nullptr;
    recorder->markDead();
  }

  std::unique_ptr<zelto::test::EmulatorProcess> emulator;
  std::unique_ptr<CloseFromHandlerRecorder> recorder;
  ZtDeviceId deviceId;
  ZtControl* control = nullptr;
  ZtDevice* device = nullptr;
};

// The device is gone from the control: not found by id, none counted.
void expectOutOfControl(ZtControl* control, ZtDeviceId id) {
  EXPECT_EQ(ZtControl_device(control, id), nullptr);
  EXPECT_EQ(ZtControl_deviceCount(control), 0);
  EXPECT_EQ(ZtControl_mainDeviceCount(control), 0);
}

// ---- From the hang-up report on the reader thread ------------------------------------------------

// What the closing hang-up handler calls, and whether the test removes the handler (chained,
// from the control) while the closing handler is still inside: the removal must wait for it.
struct CloseFromHangUpCase {
  const char* name;
  CloseCall call;
  bool removeWhileHeld;
};

const CloseFromHangUpCase kCloseFromHangUpCases[] = {
    {"closePort_1", CloseCall::ClosePort1, false},
    {"close", CloseCall::Close, false},
    {"closePort_1_RemovalWaitsForTheHandler", CloseCall::ClosePort1, true},
};

class CloseFromHangUp : public ::testing::TestWithParam<std::tuple<CloseFromHandlerFamily, CloseFromHangUpCase>> {};

// The emulator killed while streaming: the link reports the hang-up (289) on its reader thread
// and the handler closes the port there. The close returns, the device leaves the control and is
// terminated, the reader thread ends, and the control is destroyed.
TEST_P(CloseFromHangUp, ClosesInsideTheReportAndTheReaderEnds) {
  const auto& [family, c] = GetParam();
  CloseFromHandlerWatchdog watch;
  const int readersBefore = linkReaderThreads();
  ASSERT_GE(readersBefore, 0);
  CloseFromHandlerRun run(family);
  run.recorder->closeOnHangUp = true;
  run.recorder->call = c.call;
  run.recorder->holdAfterClose = c.removeWhileHeld;
  watch.stage("opening the port");
  ASSERT_TRUE(run.open());
  ASSERT_EQ(linkReaderThreads(), readersBefore + 1);
  watch.stage("measuring");
  ASSERT_EQ(ZtDevice_gotoMeasurement(run.device), 1);
  ASSERT_TRUE(run.recorder->waitForCount(Kind::Data, 20)) << "no stream";

  watch.stage("closing from the hang-up report");
  run.emulator->signal(SIGKILL);
  run.emulator.reset();
  ASSERT_TRUE(run.recorder->waitForCount(Kind::CloseReturned, 1)) << "no hang-up report, or the close did not return";
  EXPECT_EQ(run.recorder->closingThread(), "KtThread");
  expectOutOfControl(run.control, family.id);
  EXPECT_TRUE(run.recorder->waitForDestructing(run.device)) << "the device was not terminated";
  if (c.removeWhileHeld) {
    watch.stage("removing the handler");
    auto removal = std::async(std::launch::async, [&run] {
      ZtControl_removeCallbackHandler(run.control, run.recorder->handler(), 1);
      run.recorder->note(Kind::RemovalReturned);
    });
    // The reader is still inside the handler, which may not be freed yet.
    EXPECT_EQ(removal.wait_for(200ms), std::future_status::timeout) << "the removal did not wait for the handler";
    run.recorder->release();
    ASSERT_EQ(removal.wait_for(kEventLimit), std::future_status::ready) << "the removal did not return";
    const std::vector<CloseFromHandlerRecorder::Event> events = run.recorder->events();
    EXPECT_LT(CloseFromHandlerRecorder::indexOf(events, Kind::HandlerLeaving),
              CloseFromHandlerRecorder::indexOf(events, Kind::RemovalReturned));
  }
  watch.stage("the reader ending");
  EXPECT_TRUE(linkReadersDropTo(readersBefore, kEventLimit)) << linkReaderThreads() << " readers left";
  watch.stage("ZtControl_destruct");
  run.destruct();
  const std::vector<CloseFromHandlerRecorder::Event> events = run.recorder->events();
  EXPECT_EQ(CloseFromHandlerRecorder::count(events, Kind::CloseReturned), 1u);
  EXPECT_EQ(CloseFromHandlerRecorder::count(events, Kind::HandlerLeaving), 1u);
}

INSTANTIATE_TEST_SUITE_P(Families, CloseFromHangUp,
                         ::testing::Combine(::testing::ValuesIn(kCloseFromHandlerFamilies),
                                            ::testing::ValuesIn(kCloseFromHangUpCases)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) + "_" + std::get<1>(info.param).name;
                         });

// ---- From a handler of the device's own work on the pool -----------------------------------------

// Where the handler that closes runs, and what the test does once the close has returned there.
struct CloseFromWorkCase {
  const char* name;
  bool onParse;      // the 50th data message's onMessageReceivedFromDevice (the link's parse task),
                     // else the 50th packet's onDataAvailable (the device's processing task)
  bool holdHandler;  // ZtControl_destruct while the closing handler is still inside (the ending is
                     // then still to come and the destruct must wait for it), else the ending awaited
  bool oneWorker;    // a pool of one worker: the ending must not need a second pool thread
};

const CloseFromWorkCase kCloseFromWorkCases[] = {
    {"Packet_EndingAwaited", false, false, false},
    {"Packet_DestructWhileHandlerHeld", false, true, false},
    {"Packet_OneWorkerPool", false, false, true},
    {"ParsedMessage_EndingAwaited", true, false, false},
};

class CloseFromWork : public ::testing::TestWithParam<std::tuple<CloseFromHandlerFamily, CloseFromWorkCase>> {};

// closePort_1 from the 50th packet's (or parsed data message's) handler: it returns there, the
// device leaves the control at once, its termination comes only after the handler has returned,
// and no handler is raised once ZtControl_destruct has returned.
TEST_P(CloseFromWork, EndsAfterTheHandlerAndNothingFollowsTheDestruct) {
  const auto& [family, c] = GetParam();
  CloseFromHandlerWatchdog watch;
  zelto::ThreadPool* pool = zelto::ThreadPool::instance();
  const unsigned poolSize = pool->poolSize();
  if (c.oneWorker) pool->setPoolSize(1);
  struct PoolSizeBack {
    zelto::ThreadPool* pool;
    unsigned size;
    ~PoolSizeBack() { pool->setPoolSize(size); }
  } poolSizeBack{pool, poolSize};
  const int readersBefore = linkReaderThreads();
  ASSERT_GE(readersBefore, 0);
  CloseFromHandlerRun run(family);
  (c.onParse ? run.recorder->closeOnDataMessage : run.recorder->closeOnPacket) = 50;
  run.recorder->holdAfterClose = c.holdHandler;
  watch.stage("opening the port");
  ASSERT_TRUE(run.open());
  watch.stage("closing from the 50th packet");
  ASSERT_EQ(ZtDevice_gotoMeasurement(run.device), 1);
  ASSERT_TRUE(run.recorder->waitForCount(Kind::CloseReturned, 1)) << "no 50th packet, or the close did not return";
  EXPECT_EQ(run.recorder->closingThread(), "Pooled Thread");
  expectOutOfControl(run.control, family.id);

  if (!c.holdHandler) {
    watch.stage("the deferred ending");
    EXPECT_TRUE(run.recorder->waitForDestructing(run.device)) << "the device was not terminated";
  } else {
    // The handler is still inside: the ending waits for it.
    EXPECT_LT(CloseFromHandlerRecorder::indexOfDestructing(run.recorder->events(), run.device), 0);
    run.recorder->release();
  }
  watch.stage("ZtControl_destruct");
  run.destruct();
  // Raised before the destruct returned, or late (and then counted below); never missing.
  EXPECT_TRUE(run.recorder->waitForDestructing(run.device)) << "the device was not terminated";
  watch.stage("the reader ending");
  EXPECT_TRUE(linkReadersDropTo(readersBefore, kEventLimit)) << linkReaderThreads() << " readers left";

  const std::vector<CloseFromHandlerRecorder::Event> events = run.recorder->events();
  const long leaving = CloseFromHandlerRecorder::indexOf(events, Kind::HandlerLeaving);
  const long destructing = CloseFromHandlerRecorder::indexOfDestructing(events, run.device);
  ASSERT_GE(leaving, 0) << "the closing handler had not returned when ZtControl_destruct returned";
  EXPECT_LT(CloseFromHandlerRecorder::indexOf(events, Kind::CloseReturned), leaving);
  EXPECT_GT(destructing, leaving) << "the device was terminated inside the handler that closed it";
  EXPECT_EQ(CloseFromHandlerRecorder::lateCount(events), 0u) << "handlers raised after ZtControl_destruct returned";
}

INSTANTIATE_TEST_SUITE_P(Families, CloseFromWork,
                         ::testing::Combine(::testing::ValuesIn(kCloseFromHandlerFamilies),
                                            ::testing::ValuesIn(kCloseFromWorkCases)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) + "_" + std::get<1>(info.param).name;
                         });

}  // namespace
