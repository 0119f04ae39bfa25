// The device's handle of its host-side filter: attaching, replacing (the old filter goes with its
// last reference), restarting, references handed to other threads, and all of it at once from
// several threads.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "device/ZtDevice.h"
#include "filters/common/ZtZkfFilter.h"
#include "support/NullZkfFilter.h"

namespace {

using FilterRef = zelto::NonIntrusiveSharedPointer<ZtZkfFilter>;

// Counts its own lives and restarts in counters the test owns.
struct FilterCounters {
  std::atomic<int> made{0};
  std::atomic<int> deleted{0};
  std::atomic<int> restarts{0};
  std::atomic<int> deletedDuringRestart{0};
  std::atomic<ZkfParams*> lastParameters{nullptr};
};

class CountingFilter : public zelto::test::NullZkfFilter {
 public:
  explicit CountingFilter(FilterCounters& counters) : m_counters(counters) { ++m_counters.made; }
  ~CountingFilter() override {
    if (m_running != 0) ++m_counters.deletedDuringRestart;
    ++m_counters.deleted;
  }
  void restart(ZkfParams* parameters) override {
    ++m_running;
    ++m_counters.restarts;
    m_counters.lastParameters = parameters;
    std::this_thread::yield();
    --m_running;
  }

 private:
  FilterCounters& m_counters;
  std::atomic<int> m_running{0};
};

ZkfParams* fakeParameters() {
  static int storage;
  return reinterpret_cast<ZkfParams*>(&storage);
}

}  // namespace

TEST(DeviceFilterHandle, AttachRestartReplaceAndRelease) {
  FilterCounters counters;
  auto* device = new ZtDevice(ZtDeviceId(0x42));
  // Without a filter: nothing to restart, a null reference.
  EXPECT_FALSE(device->hasZkfFilter());
  EXPECT_FALSE(device->zkfFilter());
  device->restartFilter();
  EXPECT_EQ(counters.restarts, 0);

  device->setZkfFilter(FilterRef(new CountingFilter(counters)));
  EXPECT_TRUE(device->hasZkfFilter());
  device->restartFilter(fakeParameters());
  EXPECT_EQ(counters.lastParameters.load(), fakeParameters());
  // Without argument: the filter's own defaults (null parameters).
  device->restartFilter();
  EXPECT_EQ(counters.restarts, 2);
  EXPECT_EQ(counters.lastParameters.load(), nullptr);

  // Replacing drops the device's reference: the old filter, held by nobody else, goes.
  device->setZkfFilter(FilterRef(new CountingFilter(counters)));
  EXPECT_EQ(counters.deleted, 1);
  // A reference handed out keeps the filter after the device lets go of it.
  FilterRef held = device->zkfFilter();
  EXPECT_EQ(held.useCount(), 2);
  device->setZkfFilter(FilterRef());
  EXPECT_FALSE(device->hasZkfFilter());
  EXPECT_EQ(counters.deleted, 1);
  EXPECT_EQ(held.useCount(), 1);
  held.reset();
  EXPECT_EQ(counters.deleted, 2);

  // The device's end releases its filter.
  device->setZkfFilter(FilterRef(new CountingFilter(counters)));
  device->removeIfNoRefs();
  EXPECT_EQ(counters.deleted, 3);
  EXPECT_EQ(counters.made, 3);
}

// Four threads restart, replace and take references of one device's filter at once. Every filter
// ever attached is deleted exactly once and none while a restart runs on it; the sanitizer builds
// watch the shared reference counts.
TEST(DeviceFilterHandle, RestartAndReplaceFromFourThreads) {
  FilterCounters counters;
  auto* device = new ZtDevice(ZtDeviceId(0x43));
  device->setZkfFilter(FilterRef(new CountingFilter(counters)));
  constexpr int kThreads = 4;
  constexpr int kRounds = 400;
  std::atomic<int> restarted{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        switch ((i + t) % 4) {
          case 0:
            device->setZkfFilter(FilterRef(new CountingFilter(counters)));
            break;
          case 1: {
            // A reference copied and dropped on this thread, away from the device's lock.
            FilterRef mine = device->zkfFilter();
            FilterRef copy = mine;
            if (copy) copy->restart(nullptr);
            break;
          }
          default:
            device->restartFilter();
            ++restarted;
            break;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(restarted.load(), kThreads * kRounds / 2);
  EXPECT_GE(counters.restarts.load(), restarted.load());
  EXPECT_EQ(counters.made - counters.deleted, 1);
  EXPECT_EQ(counters.deletedDuringRestart.load(), 0);
  device->removeIfNoRefs();
  EXPECT_EQ(counters.made.load(), counters.deleted.load());
  EXPECT_EQ(counters.made.load(), 1 + kThreads * kRounds / 4);
}
