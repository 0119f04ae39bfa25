// A station's burst (one write carrying a message for each of its trackers) reaches the trackers'
// processing with one pool worker woken for the whole burst, not one per message; and a data
// callback that blocks holds up neither the station's other trackers nor another port.
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "foundation/ThreadPool.h"
#include "support/PtyPort.h"
#include "support/StationStreamRig.h"
#include "support/TestDevice.h"
#include "support/emulator/DeviceEmulator.h"
#include "transport/link/Communicator.h"

namespace {

using zelto::ThreadPool;
using zelto::test::StationStreamRig;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

#ifdef ZDA_UNDER_SANITIZER
constexpr auto kLimit = 30s;
#else
constexpr auto kLimit = 10s;
#endif

bool waitUntil(const std::function<bool()>& condition) {
  const auto end = Clock::now() + kLimit;
  while (!condition()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// The process-wide pool with four workers for the test (two processors' worth would leave no
// worker to spare beside a blocked one), back to its usual size afterwards, its new workers
// started and idle before the next test (which may count what every thread allocates).
struct FourWorkers {
  ThreadPool* pool = ThreadPool::instance();
  FourWorkers() { pool->setPoolSize(4); }
  ~FourWorkers() {
    pool->setRunNextBudget(ThreadPool::kRunNextBudget);
    pool->setPoolSize(0);
    EXPECT_TRUE(waitUntil([&] { return allAsleep(); }));
  }
  bool allAsleep() { return pool->count() == 0 && pool->sleepingWorkers() == pool->poolSize(); }
};

// Packets per device, by index (a station's trackers by their id's offset; anything else at
// index kOther); one index's callback can be made to block at its next packet until released.
class DeliveryCounts : public ZtCallback {
 public:
  static constexpr size_t kOther = 32;

  void onDataAvailable(ZtDevice* device, const ZtDataPacket*) override {
    const uint32_t offset = device->deviceId() - StationStreamRig::kFirstTracker;
    const size_t i = offset < kOther ? offset : kOther;
    std::unique_lock<std::mutex> lock(m_mutex);
    if (static_cast<int>(i) == m_gated) {
      m_blocked = true;
      m_changed.notify_all();
      m_changed.wait(lock, [&] { return m_gated < 0; });
      m_blocked = false;
    }
    ++m_counts[i];
  }
  long count(size_t i) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_counts[i];
  }
  long total() {
    std::lock_guard<std::mutex> lock(m_mutex);
    long sum = 0;
    for (long c : m_counts) sum += c;
    return sum;
  }
  // The callback of index i blocks at its next packet.
  void gate(size_t i) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_gated = static_cast<int>(i);
  }
  bool blocked() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_blocked;
  }
  void release() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_gated = -1;
    m_changed.notify_all();
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::array<long, kOther + 1> m_counts{};
  int m_gated = -1;
  bool m_blocked = false;
};

// Counted, not timed: with a budget no machine reaches, load cannot make the worker that parsed
// a burst hand its processing on. A read that took only part of the write may add a second parse
// task, hence two.
TEST(PacketBurst, ABurstOfThirtyTwoMessagesWakesAtMostTwoWorkers) {
  FourWorkers workers;
  workers.pool->setRunNextBudget(std::chrono::microseconds(100s));
  constexpr int kTrackers = 32;
  DeliveryCounts counts;
  StationStreamRig rig(kTrackers);
  rig.emu.start();
  ASSERT_TRUE(rig.open(&counts));
  for (int k = 0; k < 6; ++k) {
    ASSERT_TRUE(waitUntil([&] { return workers.allAsleep(); })) << "burst " << k;
    const uint64_t before = workers.pool->wakeCount();
    ASSERT_TRUE(rig.pty.send(StationStreamRig::tick(kTrackers, k)));
    ASSERT_TRUE(waitUntil([&] { return counts.total() == kTrackers * (k + 1); })) << "burst " << k;
    ASSERT_TRUE(waitUntil([&] { return workers.allAsleep(); })) << "burst " << k;
    EXPECT_LE(workers.pool->wakeCount() - before, 2u) << "burst " << k;
  }
  for (int t = 0; t < kTrackers; ++t) EXPECT_EQ(counts.count(static_cast<size_t>(t)), 6) << "tracker " << t;
}

// The callback of one tracker blocks: the station's other trackers go on being delivered from the
// following bursts on (the worker holding them is behind, so the pool hands them to others), and
// so does a device on another port; the blocked tracker's packets all follow once it returns.
TEST(PacketBurst, ABlockedCallbackHoldsUpNeitherTheOtherTrackersNorAnotherPort) {
  FourWorkers workers;
  constexpr int kTrackers = 8;
  DeliveryCounts counts;
  StationStreamRig rig(kTrackers);
  rig.emu.start();
  ASSERT_TRUE(rig.open(&counts));

  // Another port: a device fed by the emulator.
  zelto::test::PtyPort otherPty;
  zelto::test::DeviceEmulator otherEmu(std::make_unique<zelto::test::FdEmulatorLink>(dup(otherPty.masterFd())));
  otherEmu.setDeviceId(0x00345678);
  otherEmu.start();
  auto* link = new Communicator();
  ZtString name;
  ZtString_construct(&name, otherPty.slavePath().c_str());
  const bool opened = link->openPort(name, B921600);
  ZtString_destruct(&name);
  auto* other = new zelto::test::TestDevice(link);
  other->setSupportedRates({100});
  other->createDataCache();
  other->addCallbackHandler(&counts, false);
  other->addRef();
  ASSERT_TRUE(opened);

  counts.gate(0);
  int sent = 0;
  ASSERT_TRUE(rig.pty.send(StationStreamRig::tick(kTrackers, sent++)));
  ASSERT_TRUE(waitUntil([&] { return counts.blocked(); }));
  // Bursts at the station's pace: a burst after the budget finds the blocked worker behind.
  for (; sent < 20; ++sent) {
    std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(rig.pty.send(StationStreamRig::tick(kTrackers, sent)));
  }
  ASSERT_EQ(otherEmu.sendDataBurst(200), 200u);
  EXPECT_TRUE(waitUntil([&] {
    for (int t = 1; t < kTrackers; ++t)
      if (counts.count(static_cast<size_t>(t)) < sent) return false;
    return counts.count(DeliveryCounts::kOther) == 200;
  })) << "tracker 1: " << counts.count(1) << " of " << sent << ", other port: " << counts.count(DeliveryCounts::kOther);
  EXPECT_TRUE(counts.blocked());
  EXPECT_EQ(counts.count(0), 0);
  counts.release();
  EXPECT_TRUE(waitUntil([&] { return counts.count(0) == sent; })) << counts.count(0);

  other->removeCallbackHandler(&counts, false);
  other->removeRef();
  otherEmu.stop();
}

}  // namespace
