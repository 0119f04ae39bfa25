// The control under concurrent use: opens, closes, queries, broadcasts and a pool thread taking
// devices away at once; concurrent opens of one port; journalling threads while the log path is
// swapped.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <functional>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "control/ZtControl.h"
#include "foundation/JournalMacros.h"
#include "foundation/ThreadPool.h"
#include "foundation/ThreadPoolTask.h"
#include "control/BroadcastDevice.h"
#include "support/LogFileBuilder.h"
#include "support/TempDir.h"
#include "support/TestControl.h"
#include "zeltodeviceapi/zdalibrary.h"

namespace {

using namespace zelto::test;

class FunctionTask : public zelto::ThreadPoolTask {
 public:
  explicit FunctionTask(std::function<void()> f) : m_f(std::move(f)) {}
  bool exec() override {
    m_f();
    return true;
  }

 private:
  std::function<void()> m_f;
};

TEST(ControlConcurrency, OpensClosesQueriesBroadcastsAndPoolRemovalsAtOnce) {
  TempDir dir;
  constexpr int kFiles = 6;
  std::vector<std::string> files;
  std::vector<ZtDeviceId> fileIds;
  for (int i = 0; i < kFiles; ++i) {
    const ZtDeviceId id = 0x00110400 + static_cast<ZtDeviceId>(i);
    LogFileBuilder b;
    b.configuration(id).data(0);
    files.push_back(dir.file("rec" + std::to_string(i) + ".zlog"));
    ASSERT_TRUE(b.writeTo(files.back()));
    fileIds.push_back(id);
  }
  EmulatedPort portA(0x00110501), portB(0x00110502);
  TestControl control;
  ASSERT_TRUE(portB.openIn(control));
  constexpr int kRounds = 25;
  std::atomic<int> failures{0};

  std::vector<std::thread> threads;
  threads.emplace_back([&] {  // log files in and out
    for (int i = 0; i < kRounds; ++i) {
      if (!control.openLogFile(Text(files[i % kFiles]).s)) ++failures;
      control.closePort(fileIds[(i + 2) % kFiles]);
    }
  });
  threads.emplace_back([&] {  // a port opened and closed by name
    for (int i = 0; i < kRounds / 5; ++i) {
      if (!portA.openIn(control)) ++failures;
      control.closePort(Text(portA.path()).s);
    }
  });
  threads.emplace_back([&] {  // queries
    for (int i = 0; i < kRounds * 4; ++i) {
      (void)control.deviceIds();
      (void)control.mainDeviceIds();
      ZtDevicePtrArray all = control.mainDevices();
      ZtArray_destruct(ZTARRAY(&all));
      (void)control.findDevice(0);
      (void)control.deviceCount();
      (void)control.ktCount();
      (void)control.dockDeviceId(0x00080001);
      (void)control.testSynchronization();
      (void)control.getDeviceIdFromLocationId(3);
      (void)control.findZbusInterface(Text(portB.path()).s);
    }
  });
  threads.emplace_back([&] {  // broadcasts and settings
    for (int i = 0; i < kRounds * 2; ++i) {
      control.setQueueMode(i % 2 ? ZQM_Queue : ZQM_CallbacksOnly);
      control.setOptionEnabled(ZO_SoftwareFiltering, i % 2 == 0);
      (void)control.gotoMeasurement();
      (void)control.gotoConfig();
      (void)control.broadcastDevice()->isMeasuring();
      control.flushInputBuffers(false);
    }
  });
  threads.emplace_back([&] {  // a station making a child takes the existing device away on a pool thread
    for (int i = 0; i < kRounds; ++i) {
      const ZtDeviceId id = fileIds[i % kFiles];
      const unsigned task =
          zelto::ThreadPool::instance()->addTask(new FunctionTask([&control, id] { control.removeExistingDevice(id); }));
      zelto::ThreadPool::instance()->waitForCompletion(task);
    }
  });
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(control.findDevice(0x00110502)->deviceId(), 0x00110502u);

  control.close();
  EXPECT_EQ(control.mainDeviceCount(), 0u);
  // Every device made was destroyed exactly once.
  const std::vector<ZtDeviceId> made = control.made();
  EXPECT_EQ(linesStarting(control.log(), "~device").size(), made.size());
  for (ZtDeviceId id : std::set<ZtDeviceId>(made.begin(), made.end()))
    EXPECT_EQ(control.log().count("~device " + std::to_string(id)),
              static_cast<size_t>(std::count(made.begin(), made.end(), id)))
        << std::hex << id;
}

TEST(ControlConcurrency, ConcurrentOpensOfOnePortMakeOneDevice) {
  EmulatedPort port(0x00110601);
  TestControl control;
  std::atomic<int> opened{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i)
    threads.emplace_back([&] {
      if (port.openIn(control)) ++opened;
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(opened.load(), 4);
  EXPECT_EQ(control.made().size(), 1u);
  EXPECT_EQ(control.mainDeviceCount(), 1u);
}

// A close returns only once the device is gone, also while another thread's broadcast is inside
// that device; a close from inside a broadcast's device call (a callback) does not wait for
// itself.
TEST(ControlConcurrency, ClosingWaitsForAWalkInsideTheDevice) {
  TempDir dir;
  LogFileBuilder b;
  b.configuration(0x00110801).data(0);
  const std::string path = dir.file("rec.zlog");
  ASSERT_TRUE(b.writeTo(path));
  TestControl control;
  ASSERT_TRUE(control.openLogFile(Text(path).s));
  auto script = control.script(0x00110801);

  std::mutex gateMutex;
  std::condition_variable gate;
  bool inside = false, release = false;
  {
    std::lock_guard<std::mutex> lock(script->mutex);
    script->duringGotoMeasurement = [&] {
      std::unique_lock<std::mutex> g(gateMutex);
      inside = true;
      gate.notify_all();
      gate.wait(g, [&] { return release; });
    };
  }
  std::thread walker([&] { (void)control.gotoMeasurement(); });
  {
    std::unique_lock<std::mutex> g(gateMutex);
    gate.wait(g, [&] { return inside; });
  }
  std::atomic<bool> closed{false};
  std::thread closer([&] {
    control.closePort(ZtDeviceId(0x00110801));
    closed = true;
  });
  // The device left the list at once, but is not terminated while the walk is inside it.
  while (control.mainDeviceCount() != 0) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_FALSE(closed.load());
  EXPECT_EQ(control.log().count("~device " + std::to_string(0x00110801)), 0u);
  {
    std::lock_guard<std::mutex> g(gateMutex);
    release = true;
  }
  gate.notify_all();
  closer.join();
  walker.join();
  EXPECT_TRUE(closed.load());
  EXPECT_EQ(control.log().count("~device " + std::to_string(0x00110801)), 1u);

  // Closing from inside the walk's own call.
  ASSERT_TRUE(control.openLogFile(Text(path).s));
  {
    std::lock_guard<std::mutex> lock(script->mutex);
    script->duringGotoMeasurement = [&control] { control.closePort(ZtDeviceId(0x00110801)); };
  }
  (void)control.gotoMeasurement();
  EXPECT_EQ(control.mainDeviceCount(), 0u);
  EXPECT_EQ(control.log().count("~device " + std::to_string(0x00110801)), 2u);
}

TEST(ControlConcurrency, JournallingThreadsWhileTheLogPathIsSwapped) {
  TempDir a, b;
  const std::string dirs[2] = {a.path() + "/", b.path() + "/"};
  std::atomic<bool> stop{false};
  std::atomic<long> lines{0};
  std::vector<std::thread> writers;
  for (int t = 0; t < 3; ++t)
    writers.emplace_back([&, t] {
      while (!stop.load()) {
        JLOG_FATAL("writer " << t << " line " << lines.fetch_add(1));
        (void)JLOG_ENABLED(JLL_ERROR);
      }
    });
  TestControl control;
  for (int i = 0; i < 20; ++i) {
    const Text path(dirs[i % 2]);
    if (i % 2)
      control.setLogPath(path.s);
    else
      zdaSetLogPath(&path.s);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  stop = true;
  for (auto& t : writers) t.join();
  replaceGlobalJournal(nullptr);
  EXPECT_EQ(gJournal.load(), nullptr);
  EXPECT_GT(lines.load(), 0);
  // The last journal wrote its header and the writers' lines into the second directory.
  std::ifstream in(dirs[1] + "zda.log");
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_NE(text.str().find("Journaller logging to"), std::string::npos);
  // Journalling off: lines go nowhere and nothing breaks.
  JLOG_FATAL("dropped");
  EXPECT_FALSE(JLOG_ENABLED(JLL_FATAL));
}

}  // namespace
