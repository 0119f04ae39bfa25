// The data bundler over trackers that a control opened on pseudo-terminals, each played by the
// device emulator and streaming data messages: samples of trackers on one counter sequence line
// up into one bundle each, whatever the chunking and pacing of their streams and with one of them
// dropping packets; a tracker on another sequence, at twice the rate, completes no bundle and the
// real-time queue stays at its bound until that tracker is removed.
//
// Each tracker's packets arrive on the device's processing thread. The streams run side by side
// from their own threads; the test waits for events by condition, never by time, and asserts
// only what does not depend on how the streams interleave.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "control/DataBundleQueue.h"
#include "control/ZtDataBundler.h"
#include "support/TestControl.h"
#include "support/emulator/TrackerModel.h"

namespace {

using namespace zelto::test;
using namespace std::chrono_literals;

#ifdef ZDA_UNDER_SANITIZER
constexpr auto kWait = 60000ms;
#else
constexpr auto kWait = 20000ms;
#endif

constexpr int kTrackers = 4;
constexpr ZtDeviceId kIds[kTrackers] = {0x00110401, 0x00110402, 0x00110403, 0x00110404};
constexpr size_t kBound = DataBundleQueue::kMaxRealTimeBundles;

// One packet of a delivered bundle.
struct Member {
  ZtDeviceId device;
  int64_t packetId;
  int counter;  // -1 without a packet counter
};
struct Bundle {
  std::vector<Member> members;
};

// The application's handler on the bundler: copies what count and at show of each bundle.
class BundleRecorder : public ZtCallback {
 public:
  explicit BundleRecorder(ZtDataBundler& bundler) : m_bundler(bundler) {}

  void onDataAvailable(ZtDevice* dev, const ZtDataPacket* packet) override {
    Bundle b;
    const unsigned n = m_bundler.count();
    for (unsigned i = 0; i < n; ++i) {
      const ZtDataPacket* p = m_bundler.at(i);
      b.members.push_back(Member{p->deviceId, p->packetId,
                                 ZtDataPacket_containsPacketCounter(p) ? ZtDataPacket_packetCounter(p) : -1});
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    if (dev || packet) m_nonNullArguments = true;
    m_bundles.push_back(std::move(b));
    m_changed.notify_all();
  }

  std::vector<Bundle> bundles() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bundles;
  }
  bool nonNullArguments() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_nonNullArguments;
  }
  // True once a delivered bundle satisfies done; false at the time-out.
  bool waitFor(const std::function<bool(const Bundle&)>& done, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    size_t seen = 0;
    return m_changed.wait_for(lock, timeout, [&] {
      for (; seen < m_bundles.size(); ++seen)
        if (done(m_bundles[seen])) return true;
      return false;
    });
  }

 private:
  ZtDataBundler& m_bundler;
  mutable std::mutex m_mutex;
  mutable std::condition_variable m_changed;
  std::vector<Bundle> m_bundles;  // guarded by m_mutex
  bool m_nonNullArguments = false;
};

// Counts the packets a device delivered and keeps the counts of its missed-packet reports.
class DeviceWatch : public ZtCallback {
 public:
  void onDataAvailable(ZtDevice*, const ZtDataPacket* packet) override {
    if (!packet) return;
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_packets;
    m_changed.notify_all();
  }
  void onMissedPackets(ZtDevice*, int count, int, int) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_missed.push_back(count);
  }
  // True once n packets were delivered; false at the time-out.
  bool waitForPackets(size_t n, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_packets >= n; });
  }
  size_t packets() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_packets;
  }
  std::vector<int> missed() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_missed;
  }

 private:
  mutable std::mutex m_mutex;
  mutable std::condition_variable m_changed;
  size_t m_packets = 0;       // guarded by m_mutex
  std::vector<int> m_missed;  // guarded by m_mutex
};

bool hasKey(const Bundle& b, int64_t key) { return !b.members.empty() && b.members.front().packetId == key; }

// How one stream is written: the largest write (0: all at once), a pause after every so many
// messages, and a pause before the first (the trackers start at different moments).
struct Pacing {
  size_t chunk;
  size_t framesPerPause;
  std::chrono::microseconds pause;
  std::chrono::milliseconds startDelay;
};

class BundlerOverTrackers : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int i = 0; i < kTrackers; ++i) {
      control.setKind(kIds[i], TestControl::Tracker);
      // The emulator answers as a tracker: configuration and device record agree with its id.
      models[i].deviceId = kIds[i];
      models[i].attachTo(ports[i].emu);
    }
    for (int i = 0; i < kTrackers; ++i) {
      ASSERT_TRUE(ports[i].openIn(control)) << ports[i].path() << " " << control.lastResult();
      devices[i] = control.findDevice(kIds[i]);
      ASSERT_NE(devices[i], nullptr);
      // The caches a device delivers its packets through (made afresh if initialisation made
      // them already): without them no onDataAvailable is raised.
      devices[i]->createDataCache();
    }
    bundler.addCallbackHandler(&bundles, false);
  }
  void TearDown() override {
    bundler.removeDevice(nullptr);
    for (int i = 0; i < kTrackers; ++i)
      if (devices[i] && watching[i]) devices[i]->removeCallbackHandler(&seen[i], false);
    control.close();
  }

  // Adds the tracker to the bundler, then a watch on the device: the device calls its handlers
  // in the order they came, so once the watch saw a packet the bundler has taken it.
  void bundle(int i) {
    bundler.addDevice(devices[i]);
    if (!watching[i]) devices[i]->addCallbackHandler(&seen[i], false);
    watching[i] = true;
  }
  // Every tracker's stream at once, each from its own thread; n[i] messages from tracker i (none
  // for 0). Returns when all are written.
  void stream(const std::vector<size_t>& n, const std::vector<Pacing>& pacing) {
    std::vector<std::thread> writers;
    for (size_t i = 0; i < n.size(); ++i) {
      if (n[i] == 0) continue;
      writers.emplace_back([this, i, count = n[i], p = pacing[i]] {
        if (p.startDelay.count() > 0) std::this_thread::sleep_for(p.startDelay);
        EXPECT_EQ(ports[i].emu.sendDataChunked(count, p.chunk, p.framesPerPause, p.pause), count) << i;
      });
    }
    for (auto& w : writers) w.join();
  }
  // Waits until the bundler has taken n packets of tracker i (counted from the start).
  bool taken(int i, size_t n) {
    const bool ok = seen[i].waitForPackets(n, kWait);
    EXPECT_TRUE(ok) << "tracker " << i << " delivered " << seen[i].packets() << " of " << n << " packets";
    return ok;
  }

  TrackerModel models[kTrackers];  // outlive the emulators that answer from them
  EmulatedPort ports[kTrackers] = {EmulatedPort(kIds[0]), EmulatedPort(kIds[1]), EmulatedPort(kIds[2]),
                                   EmulatedPort(kIds[3])};
  TestControl control;
  DeviceWatch seen[kTrackers];
  bool watching[kTrackers] = {};
  ZtDevice* devices[kTrackers] = {};
  ZtDataBundler bundler;
  BundleRecorder bundles{bundler};
};

TEST_F(BundlerOverTrackers, ThreeTrackersOnOneSequenceGiveEverySampleOnceWithGapsCarryingTheNextPacket) {
  // Ids from 65200 on: the 16-bit counters wrap on the way, the unwrapped ids go on.
  constexpr int64_t kFirst = 65200;
  constexpr size_t kSamples = 800;
  constexpr int64_t kLast = kFirst + static_cast<int64_t>(kSamples) - 1;
  // Tracker 2 drops one packet, a run of five, and two at the wrap of its counter.
  const std::set<int64_t> dropped = {65210, 65300, 65301, 65302, 65303, 65304, 65536, 65537};
  std::vector<uint16_t> counters2;
  for (int64_t id = kFirst; id <= kLast; ++id)
    if (!dropped.count(id)) counters2.push_back(static_cast<uint16_t>(id & 0xFFFF));
  for (int i = 0; i < kTrackers; ++i) ports[i].emu.scriptCounters({static_cast<uint16_t>(kFirst & 0xFFFF)});
  ports[2].emu.scriptCounters(counters2);
  for (int i = 0; i < 3; ++i) bundle(i);

  // Whole stream in one write; every frame cut in two, started later; mid-sized chunks with
  // pauses.
  stream({kSamples, kSamples, counters2.size()},
         {{0, 0, 0us, 0ms}, {7, 50, 200us, 5ms}, {64, 10, 300us, 2ms}});
  ASSERT_TRUE(taken(0, kSamples) && taken(1, kSamples) && taken(2, counters2.size()));
  ASSERT_TRUE(bundles.waitFor([&](const Bundle& b) { return hasKey(b, kLast); }, kWait));

  // The dropping tracker reported its losses; the bundler filled them from its next packet.
  EXPECT_EQ(seen[2].missed(), (std::vector<int>{1, 5, 2}));

  const std::vector<Bundle> got = bundles.bundles();
  ASSERT_EQ(got.size(), kSamples);
  EXPECT_FALSE(bundles.nonNullArguments());
  for (size_t s = 0; s < got.size(); ++s) {
    const int64_t key = kFirst + static_cast<int64_t>(s);
    SCOPED_TRACE(key);
    ASSERT_EQ(got[s].members.size(), 3u);
    std::set<ZtDeviceId> from;
    for (const Member& m : got[s].members) {
      from.insert(m.device);
      EXPECT_EQ(m.packetId, key);
      // A filled position carries the tracker's next packet (its counter).
      int64_t source = key;
      if (m.device == kIds[2])
        while (dropped.count(source)) ++source;
      EXPECT_EQ(m.counter, static_cast<int>(source & 0xFFFF));
    }
    EXPECT_EQ(from, (std::set<ZtDeviceId>{kIds[0], kIds[1], kIds[2]}));
  }
  EXPECT_EQ(bundler.getQueue(0).size(), 0u);
  EXPECT_EQ(bundler.getQueue(0).lastRemovedId(), kLast);
}

TEST_F(BundlerOverTrackers, ATrackerAtTwiceTheRateOnItsOwnSequenceMatchesNothingAndTheQueueStaysBounded) {
  // Trackers 0-2 count from 0; tracker 3 from 30000, twice as many packets over the same span,
  // so its ids run further from theirs with every sample. Together they open more bundles than
  // the real-time queue holds, tracker 3 alone fewer.
  constexpr size_t kSamples = 5600;
  constexpr int64_t kFourthFirst = 30000;
  static_assert(3 * kSamples > kBound && 2 * kSamples < kBound);
  for (int i = 0; i < kTrackers; ++i) bundle(i);
  ports[3].emu.scriptCounters({static_cast<uint16_t>(kFourthFirst)});

  // The first samples go in first, in order, so no stream starts below another's front.
  const Pacing whole{0, 0, 0us, 0ms};
  stream({1, 1, 1, 0}, {whole, whole, whole, whole});
  ASSERT_TRUE(taken(0, 1) && taken(1, 1) && taken(2, 1));
  stream({0, 0, 0, 1}, {whole, whole, whole, whole});
  ASSERT_TRUE(taken(3, 1));
  stream({kSamples - 1, kSamples - 1, kSamples - 1, 2 * kSamples - 1},
         {whole, {61, 0, 0us, 0ms}, {512, 40, 200us, 1ms}, {1024, 100, 100us, 0ms}});
  ASSERT_TRUE(taken(0, kSamples) && taken(1, kSamples) && taken(2, kSamples) && taken(3, 2 * kSamples));

  // Nothing completed; the oldest samples of trackers 0-2 made way for the newer ones.
  EXPECT_TRUE(bundles.bundles().empty());
  const DataBundleQueue& queue = bundler.getQueue(0);
  ASSERT_EQ(queue.size(), kBound);
  EXPECT_EQ(queue.bundle(0).key(), static_cast<int64_t>(3 * kSamples - kBound));
  EXPECT_EQ(queue.bundle(kBound - 1).key(), kFourthFirst + static_cast<int64_t>(2 * kSamples) - 1);
  EXPECT_EQ(queue.bundle(kBound - 2 * kSamples).key(), kFourthFirst);

  // Without the fourth tracker the samples of the other three complete again. Its packets
  // leave with it: left behind, its bundles would stand in front of every later sample.
  bundler.removeDevice(devices[3]);
  EXPECT_EQ(queue.size(), kBound - 2 * kSamples);
  // Takes the bundler's lock after the unlocked look at its queue, before the next packets.
  EXPECT_EQ(bundler.deviceCount(), 3u);
  constexpr size_t kMore = 300;
  constexpr int64_t kLast = static_cast<int64_t>(kSamples + kMore) - 1;
  stream({kMore, kMore, kMore, 0}, {{0, 0, 0us, 1ms}, {3, 0, 0us, 0ms}, {96, 10, 300us, 0ms}, whole});
  ASSERT_TRUE(bundles.waitFor([&](const Bundle& b) { return hasKey(b, kLast); }, kWait));
  ASSERT_TRUE(taken(0, kSamples + kMore) && taken(1, kSamples + kMore) && taken(2, kSamples + kMore));

  const std::vector<Bundle> got = bundles.bundles();
  std::set<int64_t> keys;
  int64_t previous = -1;
  for (const Bundle& b : got) {
    ASSERT_EQ(b.members.size(), 3u);
    const int64_t key = b.members.front().packetId;
    SCOPED_TRACE(key);
    EXPECT_GT(key, previous);
    previous = key;
    keys.insert(key);
    std::set<ZtDeviceId> from;
    for (const Member& m : b.members) {
      from.insert(m.device);
      EXPECT_EQ(m.packetId, key);
      // The samples sent after the removal came in order, without gaps.
      if (key >= static_cast<int64_t>(kSamples)) {
        EXPECT_EQ(m.counter, static_cast<int>(key & 0xFFFF));
      }
    }
    EXPECT_EQ(from, (std::set<ZtDeviceId>{kIds[0], kIds[1], kIds[2]}));
    // Only samples the queue still held: nothing older than its front, nothing of the fourth.
    EXPECT_GE(key, static_cast<int64_t>(3 * kSamples - kBound));
    EXPECT_LE(key, kLast);
  }
  for (int64_t key = kSamples; key <= kLast; ++key) EXPECT_EQ(keys.count(key), 1u) << key;
  // The newest sample completed: whatever was older is delivered or dropped.
  EXPECT_EQ(queue.size(), 0u);
  EXPECT_EQ(queue.lastRemovedId(), kLast);
}

}  // namespace
