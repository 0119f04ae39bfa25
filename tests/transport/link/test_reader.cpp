// The link's reader thread and its hand-over to the parse task: closing while the reader waits
// on a silent line, the repeat GotoConfig block's pace and jitter, and the bounded parse backlog
// when handling is slower than the line (dropping, reporting once per episode, bounded close).
#include <gtest/gtest.h>
#include <termios.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "foundation/ThreadPool.h"
#include "support/AllocationCounter.h"
#include "support/CallbackRecorder.h"
#include "support/PtyPort.h"
#include "support/emulator/EmuFrame.h"
#include "support/emulator/RecordingLinkDevice.h"
#include "transport/link/Communicator.h"
#include "transport/link/KtThread.h"
#include "transport/link/ParseMessageTask.h"

namespace {

using zelto::test::EmuFrame;
using zelto::test::PtyPort;
using zelto::test::RecordingLinkDevice;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// "At once" for closing a link whose reader waits without a time-out on a silent line: a wait the
// close failed to end would last for ever, and a reader that polled would wait its period; the
// bound leaves room for two loaded processors (a thread woken there may wait tens of ms to run).
#ifdef ZDA_UNDER_SANITIZER
constexpr auto kReaderWait = 20000ms;
constexpr double kAtOnceMs = 1000.0;
#else
constexpr auto kReaderWait = 5000ms;
constexpr double kAtOnceMs = 500.0;
#endif

struct ReaderString {
  ZtString s;
  explicit ReaderString(const std::string& text) { ZtString_construct(&s, text.c_str()); }
  ~ReaderString() { ZtString_destruct(&s); }
};

double msSince(Clock::time_point t0) { return std::chrono::duration<double, std::milli>(Clock::now() - t0).count(); }

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  const auto end = Clock::now() + limit;
  while (!condition()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// A data frame whose payload starts with a 32-bit counter.
Bytes dataFrame(uint32_t counter, size_t payloadSize) {
  EmuFrame f{0xFF, 0x36, Bytes(payloadSize, 0x5A)};
  for (int i = 0; i < 4; ++i) f.payload[static_cast<size_t>(i)] = static_cast<uint8_t>(counter >> (24 - 8 * i));
  return f.encode();
}
uint32_t counterOf(const EmuFrame& f) {
  return static_cast<uint32_t>(f.payload[0]) << 24 | static_cast<uint32_t>(f.payload[1]) << 16 |
         static_cast<uint32_t>(f.payload[2]) << 8 | f.payload[3];
}

class ReaderFixture : public ::testing::Test {
 protected:
  void TearDown() override {
    link->setMasterDevice(nullptr);
    link.reset();
  }
  bool open(OpenPortStage stages = static_cast<OpenPortStage>(OPS_OpenPort | OPS_StartThread)) {
    ReaderString name(pty.slavePath());
    return link->openPort(name.s, B921600, stages, false);
  }

  PtyPort pty;
  std::unique_ptr<Communicator> link = std::make_unique<Communicator>();
  RecordingLinkDevice master;
};

TEST_F(ReaderFixture, ClosingWhileTheReaderWaitsOnASilentLineReturnsAtOnce) {
  link->setMasterDevice(&master);
  for (int round = 0; round < 5; ++round) {
    ASSERT_TRUE(open()) << link->lastResult();
    // Something to read first, so the reader is known to be back in its wait afterwards.
    ASSERT_TRUE(pty.send(dataFrame(static_cast<uint32_t>(round), 8)));
    ASSERT_TRUE(master.waitForHandled(static_cast<size_t>(round) + 1, kReaderWait));
    std::this_thread::sleep_for(30ms);
    const auto t0 = Clock::now();
    link->closePort();
    EXPECT_LT(msSince(t0), kAtOnceMs) << "round " << round;
    EXPECT_FALSE(link->isPortOpen());
    EXPECT_FALSE(link->readerThread()->isAlive());
  }
  // Destroying a link whose reader waits is as quick.
  ASSERT_TRUE(open());
  std::this_thread::sleep_for(30ms);
  const auto t0 = Clock::now();
  link->setMasterDevice(nullptr);
  link.reset();
  EXPECT_LT(msSince(t0), kAtOnceMs);
  link = std::make_unique<Communicator>();
}

// A reader started before the port waits for it (rather than polling) and starts reading as
// soon as the port opens.
TEST_F(ReaderFixture, AReaderStartedWithoutAPortStartsReadingWhenItOpens) {
  link->setMasterDevice(&master);
  link->startThread();
  std::this_thread::sleep_for(30ms);
  ASSERT_TRUE(link->readerThread()->isAlive());
  ASSERT_TRUE(open(OPS_OpenPort)) << link->lastResult();
  ASSERT_TRUE(pty.send(dataFrame(7, 8)));
  ASSERT_TRUE(master.waitForHandled(1, kReaderWait));
  EXPECT_EQ(counterOf(master.handled()[0]), 7u);
  const auto t0 = Clock::now();
  link->closePort();
  EXPECT_LT(msSince(t0), kAtOnceMs);
}

// While a repeat GotoConfig waits, the reader writes the 69-byte block after each pause it chose
// at random from 5 to 15 ms, whether or not bytes arrive in between (small reads, each followed by
// the reader's own short pause), and stops with the acknowledge. Judged on the reader's record of
// its writes and of the pauses it chose, not on arrival times, which a loaded machine spreads: no
// write comes before the pause chosen after the one before it, the pauses are spread over the
// range, and every block recorded reached the port.
TEST_F(ReaderFixture, RepeatGotoConfigBlockKeepsItsPaceAndJitter) {
  ASSERT_TRUE(open());
  link->setGotoConfigTimeout(5000);
  KtThread& reader = *link->readerThread();
  const size_t blockSize = reader.gotoConfigBlock().size;
  ASSERT_EQ(blockSize, 69u);
  auto pending = std::async(std::launch::async, [&] { return link->gotoConfig(true); });
  size_t bytes = 0;
  uint32_t sent = 0;
  const auto end = Clock::now() + kReaderWait;
  while (bytes < 21 * blockSize && Clock::now() < end) {
    bytes += pty.receive(4096, 100).size();
    // Unrelated traffic from the device between the blocks.
    if (bytes >= 5 * blockSize && sent < 10) pty.send(dataFrame(sent++, 8));
  }
  ASSERT_GE(bytes, 21 * blockSize);
  pty.send(EmuFrame{0xFF, 0x31, {}}.encode());
  EXPECT_EQ(pending.get(), ZRV_OK);
  // The writes end with the acknowledge.
  EXPECT_FALSE(reader.doGotoConfig());
  std::this_thread::sleep_for(30ms);
  for (Bytes more; !(more = pty.receive(4096, 0)).empty();) bytes += more.size();
  EXPECT_TRUE(pty.receive(4096, 60).empty());
  EXPECT_EQ(bytes, reader.repeatWriteCount() * blockSize);

  const std::vector<KtThread::RepeatWrite> writes = reader.repeatWrites();
  ASSERT_GE(writes.size(), 21u);
  std::vector<unsigned> pauses;
  for (size_t i = 0; i < writes.size(); ++i) {
    EXPECT_GE(writes[i].pauseMs, 5u);
    EXPECT_LE(writes[i].pauseMs, 15u);
    pauses.push_back(writes[i].pauseMs);
    if (i > 0) {
      EXPECT_GE(writes[i].at - writes[i - 1].at, std::chrono::milliseconds(writes[i - 1].pauseMs))
          << "write " << i << " came before its pause had passed";
    }
  }
  // Jitter: the pauses are spread, not one fixed period.
  std::sort(pauses.begin(), pauses.end());
  EXPECT_GE(pauses[pauses.size() * 3 / 4] - pauses[pauses.size() / 4], 2u)
      << "quartiles " << pauses[pauses.size() / 4] << " .. " << pauses[pauses.size() * 3 / 4];
}

// A handler slower than the line: the backlog stays bounded, the oldest unparsed bytes go, the
// newest are handled in order, onError(ZRV_INSUFFICIENTSPACE) comes once per episode, and the
// count of dropped bytes says how much was lost.
TEST_F(ReaderFixture, SlowHandlingDropsTheOldestBytesAndReportsOncePerEpisode) {
  CallbackRecorder recorder;
  link->addCallbackHandler(&recorder, false);
  link->setMasterDevice(&master);
  std::mutex gateMutex;
  std::condition_variable gateChanged;
  bool blocked = true;
  std::atomic<bool> inHandler{false};
  master.setHook([&](const ZtMessage&) {
    std::unique_lock<std::mutex> lock(gateMutex);
    inHandler = true;
    gateChanged.wait(lock, [&] { return !blocked; });
  });
  ASSERT_TRUE(open());
  constexpr size_t kPayload = 200;  // 205-byte frames
  const size_t frameSize = dataFrame(0, kPayload).size();
  const uint32_t perEpisode = static_cast<uint32_t>(KtThread::kParseBacklogLimit * 3 / 2 / frameSize);
  uint32_t counter = 0;

  for (int episode = 1; episode <= 2; ++episode) {
    {
      std::lock_guard<std::mutex> lock(gateMutex);
      blocked = true;
    }
    inHandler = false;
    ASSERT_TRUE(pty.send(dataFrame(counter++, kPayload)));
    ASSERT_TRUE(waitUntil([&] { return inHandler.load(); }, kReaderWait));
    // One and a half backlogs' worth behind the blocked handler.
    Bytes burst;
    for (uint32_t i = 0; i < perEpisode; ++i) {
      const Bytes f = dataFrame(counter++, kPayload);
      burst.insert(burst.end(), f.begin(), f.end());
    }
    ASSERT_TRUE(pty.send(burst));
    ASSERT_TRUE(waitUntil([&] { return link->droppedBacklogBytes() >= KtThread::kParseBacklogLimit / 3; }, kReaderWait))
        << "dropped " << link->droppedBacklogBytes();
    ASSERT_TRUE(recorder.waitFor(CallbackRecorder::Kind::Error, static_cast<size_t>(episode), kReaderWait));
    EXPECT_LE(link->readerThread()->backlogSize(), KtThread::kParseBacklogLimit);
    {
      std::lock_guard<std::mutex> lock(gateMutex);
      blocked = false;
    }
    gateChanged.notify_all();
    // The newest frame is always kept and handled.
    ASSERT_TRUE(waitUntil(
        [&] {
          const auto handled = master.handled();
          return !handled.empty() && counterOf(handled.back()) == counter - 1;
        },
        kReaderWait));
    ASSERT_TRUE(waitUntil([&] { return link->readerThread()->backlogSize() == 0; }, kReaderWait));
  }
  link->closePort();
  const auto errors = recorder.events(CallbackRecorder::Kind::Error);
  ASSERT_EQ(errors.size(), 2u) << "one report per episode";
  for (const auto& e : errors) {
    EXPECT_EQ(e.values[0], ZRV_INSUFFICIENTSPACE);
    EXPECT_EQ(e.device, master.linkedDevice());
  }
  // What was handled came in order, and with what was dropped accounts for every byte sent: the
  // gap of an episode may cut one frame on each side, which are not counted as dropped.
  const auto handled = master.handled();
  for (size_t i = 1; i < handled.size(); ++i) ASSERT_LT(counterOf(handled[i - 1]), counterOf(handled[i]));
  EXPECT_LT(handled.size(), counter);
  const uint64_t dropped = link->droppedBacklogBytes();
  const uint64_t sent = static_cast<uint64_t>(counter) * frameSize;
  EXPECT_GE(dropped + handled.size() * frameSize + 2 * 2 * frameSize, sent);
  EXPECT_LE(dropped + handled.size() * frameSize, sent);
  link->removeCallbackHandler(&recorder, false);
}

// Closing while a slow handler has a large backlog waits for the drain limit and the chunk in
// hand, not for the whole backlog; nothing is handled after closePort returns.
TEST_F(ReaderFixture, ClosingBehindASlowHandlerWaitsNoLongerThanTheDrainLimit) {
  link->setMasterDevice(&master);
  master.setHook([](const ZtMessage&) { std::this_thread::sleep_for(5ms); });
  ASSERT_TRUE(open());
  constexpr size_t kPayload = 200;
  const size_t frameSize = dataFrame(0, kPayload).size();
  // About 1500 frames: 7.5 s of handling at 5 ms each.
  Bytes burst;
  for (uint32_t i = 0; i < 1500; ++i) {
    const Bytes f = dataFrame(i, kPayload);
    burst.insert(burst.end(), f.begin(), f.end());
  }
  ASSERT_TRUE(pty.send(burst));
  ASSERT_TRUE(waitUntil([&] { return link->readerThread()->backlogSize() > 100 * frameSize; }, kReaderWait));
  const auto t0 = Clock::now();
  link->closePort();
  const double took = msSince(t0);
  // The limit, plus the chunk in hand (8192 bytes: 40 frames, 200 ms), plus room for a slow machine.
  EXPECT_LT(took, KtThread::kCloseDrainMs + 200.0 + 1500.0);
  EXPECT_GE(took, KtThread::kCloseDrainMs - 50.0);
  const size_t handled = master.handledCount();
  EXPECT_LT(handled, 1500u);
  EXPECT_GT(link->droppedBacklogBytes(), 0u);
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(master.handledCount(), handled);
}

// The pool the reader hands over to exists once the reader runs: made on the first hand-over, its
// workers' start would count against the first reply's time-out (a GotoConfig's 150 ms).
TEST(ReaderPool, StartingTheReaderMakesThePoolItHandsOverTo) {
  zelto::ThreadPool::destroy();
  ASSERT_EQ(zelto::gPool.load(), nullptr);
  Communicator link;
  link.startThread();
  EXPECT_NE(zelto::gPool.load(), nullptr);
  link.stopThread();
}

// The reader's parse tasks are placed in slots it keeps: two live at once (a running task and
// its follower) take no heap, a third goes to the heap, and the pool's deletion (through the
// task's base) gives a slot back for the next task.
TEST(ParseTaskSlots, TwoLiveTasksTakeTheSlotsAndDeletionGivesThemBack) {
  ParseMessageTask::Slot slots[2];
  // The task made and the allocations its placement made.
  const auto make = [&](uint64_t& allocations) -> zelto::ThreadPoolTask* {
    AllocationCounter counter;
    zelto::ThreadPoolTask* task =
        new (slots, 2) ParseMessageTask(static_cast<Communicator*>(nullptr), nullptr, nullptr);
    allocations = counter.count();
    return task;
  };
  const auto busy = [&] { return std::vector<bool>{slots[0].busy.load(), slots[1].busy.load()}; };
  uint64_t allocations[4] = {};
  zelto::ThreadPoolTask* first = make(allocations[0]);
  zelto::ThreadPoolTask* second = make(allocations[1]);
  EXPECT_EQ(busy(), (std::vector<bool>{true, true}));
  zelto::ThreadPoolTask* third = make(allocations[2]);
  delete first;
  EXPECT_EQ(busy(), (std::vector<bool>{false, true}));
  zelto::ThreadPoolTask* fourth = make(allocations[3]);
  EXPECT_EQ(busy(), (std::vector<bool>{true, true}));
  EXPECT_EQ(std::vector<uint64_t>(allocations, allocations + 4), (std::vector<uint64_t>{0, 0, 1, 0}));
  delete third;  // from the heap: the slots stay taken
  EXPECT_EQ(busy(), (std::vector<bool>{true, true}));
  delete second;
  delete fourth;
  EXPECT_EQ(busy(), (std::vector<bool>{false, false}));
}

}  // namespace
