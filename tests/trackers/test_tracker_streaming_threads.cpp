// A tracker streaming at 1 kHz from the emulator while four application threads schedule
// resets, set the heading and the alignment and restart the filter: the filter is never used by
// two threads at once (run under the thread sanitizer), no packet is lost to the host filter,
// and a reset scheduled while streaming is applied by the packets that follow.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

#include "foundation/SettingsFile.h"
#include "math/Matrix3x3.h"
#include "support/EmulatedTracker.h"
#include "support/NullZkfFilter.h"

namespace zelto::test {
namespace {

// A filter with plain (unsynchronised) state: stepped on the processing task, reset by restart
// on the callers' threads. Any unserialised use is a data race.
class PlainStateFilter : public NullZkfFilter {
 public:
  void step() {
    ++steps;
    value += 1.0;
  }
  void restart(ZkfParams*) override { value = 0.0; }
  long steps = 0;
  double value = 0.0;
};

// Filters every packet: one step, then the orientation resets of a 0.3 rad turn about the
// vertical.
class StreamingTracker : public TestTracker {
 public:
  using TestTracker::TestTracker;
  void performFiltering(ZtDataPacket& packet) override {
    const NonIntrusiveSharedPointer<ZtZkfFilter> filter = zkfFilter();
    if (filter) static_cast<PlainStateFilter*>(filter.get())->step();
    const ZtQuaternion q = doOrientationResets(ZtQuaternion{std::cos(0.15), 0, 0, std::sin(0.15)});
    ZtDataPacket_setOrientationQuaternion(&packet, &q, 0);
    const double norm = q.w * q.w + q.x * q.x + q.y * q.y + q.z * q.z;
    if (std::fabs(norm - 1.0) > 1e-9) ++notUnit;
    ++filtered;
  }
  std::atomic<long> filtered{0};
  std::atomic<long> notUnit{0};
};

void putFloat(std::vector<uint8_t>& out, float v) {
  uint32_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(bits >> shift));
}

// Packet counter, calibrated acceleration and rate of turn.
std::vector<uint8_t> dataPayload(uint16_t counter) {
  std::vector<uint8_t> p{0x10, 0x20, 2, static_cast<uint8_t>(counter >> 8), static_cast<uint8_t>(counter)};
  p.insert(p.end(), {0x40, 0x20, 12});
  for (float v : {0.1f, 0.2f, 9.81f}) putFloat(p, v);
  p.insert(p.end(), {0x80, 0x20, 12});
  for (float v : {0.3f, -0.2f, 0.1f}) putFloat(p, v);
  return p;
}

bool waitUntil(const std::function<bool()>& done, int ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

TEST(TrackerStreamingThreads, ResetsHeadingAndRestartsWhileStreamingAtOneKilohertz) {
  StreamingTracker* tracker = nullptr;
  EmulatedTracker t([](TrackerModel&) {},
                    [&tracker](Communicator* link) { return tracker = new StreamingTracker(link); });
  t.emu->setDataRate(1000);
  t.emu->setDataPayload(dataPayload);
  t.emu->script(0xA4, EmuAction::reply());  // orientation resets done by the firmware
  SettingsFile settings;
  ASSERT_TRUE(tracker->initialize(settings));
  auto* filter = new PlainStateFilter();
  tracker->setZkfFilter(NonIntrusiveSharedPointer<ZtZkfFilter>(filter));
  ASSERT_TRUE(tracker->setSoftwareFilteringEnabled(true));
  ASSERT_FALSE(tracker->hasDataEnabled(0x2000));
  ASSERT_TRUE(tracker->gotoMeasurement());
  ASSERT_TRUE(waitUntil([&] { return tracker->filtered.load() > 20; }, 3000));

  std::atomic<bool> stop{false};
  std::atomic<long> scheduled{0};
  std::vector<std::thread> callers;
  for (int k = 0; k < 4; ++k) {
    callers.emplace_back([&, k] {
      Matrix3x3 identity;
      identity.isIdentity();
      for (int n = 0; !stop.load(); ++n) {
        switch ((n + k) % 4) {
          case 0:
            scheduled += tracker->scheduleOrientationReset((n & 2) ? ZRM_Heading : ZRM_Alignment);
            break;
          case 1:
            tracker->setHeadingOffset(0.001 * n);
            break;
          case 2:
            tracker->setObjectAlignment(identity);
            break;
          default:
            tracker->restartFilter(nullptr);
            break;
        }
      }
    });
  }
  const long before = tracker->filtered.load();
  ASSERT_TRUE(waitUntil([&] { return tracker->filtered.load() > before + 150; }, 5000));
  stop = true;
  for (std::thread& c : callers) c.join();
  EXPECT_GT(scheduled.load(), 0);

  // The last reset scheduled is taken by the next packet: the heading of the turn is undone.
  ASSERT_TRUE(tracker->setHeadingOffset(0.0));
  ASSERT_TRUE(tracker->scheduleOrientationReset(ZRM_Heading));
  const long at = tracker->filtered.load();
  ASSERT_TRUE(waitUntil([&] { return tracker->filtered.load() > at + 1; }, 3000));
  EXPECT_EQ(tracker->resetMethod(), ZRM_None);
  EXPECT_NEAR(tracker->headingOffset(), -0.3, 1e-9);

  ASSERT_TRUE(tracker->gotoConfig());
  // Every filtered packet stepped the filter once; every orientation a unit rotation.
  EXPECT_EQ(filter->steps, tracker->filtered.load());
  EXPECT_EQ(tracker->notUnit.load(), 0);
}

}  // namespace
}  // namespace zelto::test
