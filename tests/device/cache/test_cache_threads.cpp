// Caches shared between threads: a fetch that re-enters the asking cache on its own thread while
// another thread waits for that cache; readers pulling while a writer inserts into a full cache;
// a recorder flushing while packets arrive, with every modified packet written back exactly once;
// several takers emptying a cache a writer fills, each packet taken by exactly one.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "CacheTestKit.h"
#include "device/cache/FastIndexDataCache.h"
#include "device/cache/IPacketDataCache.h"
#include "device/cache/WeakFifoDataCache.h"

namespace {

using namespace cachetest;
using namespace std::chrono_literals;

#ifdef ZDA_UNDER_SANITIZER
constexpr auto kLimit = 30s;
constexpr long kPackets = 3000;
#else
constexpr auto kLimit = 10s;
constexpr long kPackets = 20000;
#endif

// Waits for a future and ends the test program (instead of hanging) past the limit.
template <class T>
T within(std::future<T>& f, const char* what) {
  if (f.wait_for(kLimit) != std::future_status::ready) {
    ADD_FAILURE() << what << ": deadlock";
    std::fflush(nullptr);
    std::_Exit(1);
  }
  return f.get();
}

template <class Kind>
class ReEntry : public ::testing::Test {};
using ReEntryKinds = ::testing::Types<FastIndexDataCache<long, ZtDataPacket>, WeakFifoDataCache<long, ZtDataPacket>>;
TYPED_TEST_SUITE(ReEntry, ReEntryKinds);

// The fetch inserts into the same cache on the asking thread (the lock is recursive) while a
// second thread waits for the cache; the waiter sees the cache only after the whole fetch.
TYPED_TEST(ReEntry, FetchInsertsWhileAnotherThreadWaits) {
  TypeParam cache;
  RecordingSource source;
  cache.setDataSource(&source);
  std::promise<void> fetching, waiterReady;
  std::shared_future<void> fetchingSeen = fetching.get_future().share();
  auto waiterStarted = waiterReady.get_future();
  source.onFetch = [&](long key, Cache& c) {
    fetching.set_value();
    waiterStarted.wait();
    std::this_thread::sleep_for(20ms);  // let the waiter block on the cache's lock
    for (long k = 0; k <= key; ++k) c.insert(k, packet(k).p, false);
  };
  auto waiter = std::async(std::launch::async, [&] {
    fetchingSeen.wait();
    waiterReady.set_value();
    return cache.size();
  });
  auto asker = std::async(std::launch::async, [&] { return Got(cache.object(9)).key(); });
  EXPECT_EQ(within(asker, "asker"), 9);
  EXPECT_EQ(within(waiter, "waiter"), 10u);
  EXPECT_EQ(source.fetches, std::vector<long>{9});
}

TEST(SharedCache, ReadersPullWhileAWriterFillsAFullCache) {
  WeakFifoDataCache<long, ZtDataPacket> cache;
  cache.setMaxSize(64);
  std::atomic<long> newest{-1};
  std::atomic<bool> done{false};
  std::atomic<long> reads{0}, misses{0}, wrong{0}, oversize{0};
  auto reader = [&](unsigned seed) {
    while (!done.load()) {
      const long top = newest.load();
      if (top < 0) continue;
      const long key = top - static_cast<long>((seed = seed * 1103515245u + 12345u) % 80u);
      try {
        Got g(cache.object(key));
        if (g.key() != key || g.tag() != static_cast<ZtTimeStamp>(key * 2)) ++wrong;
        ++reads;
      } catch (const ZtException&) {
        ++misses;  // trimmed already (or not yet there)
      }
      try {
        Got g(cache.closest(key));
        if (g.tag() != static_cast<ZtTimeStamp>(g.key() * 2)) ++wrong;
        Got h(cache.atIndex(0));
        if (h.tag() != static_cast<ZtTimeStamp>(h.key() * 2)) ++wrong;
      } catch (const ZtException&) {
      }
      const auto list = cache.objects(key - 10, key + 10);
      for (const ZtDataPacket& p : list)
        if (p.toa != static_cast<ZtTimeStamp>(p.packetId * 2)) ++wrong;
      if (cache.size() > 64) ++oversize;
    }
  };
  std::vector<std::thread> readers;
  for (unsigned i = 0; i < 4; ++i) readers.emplace_back(reader, i + 1);
  auto writer = std::async(std::launch::async, [&] {
    for (long k = 0; k < kPackets; ++k) {
      cache.insert(k, packet(k, static_cast<ZtTimeStamp>(k * 2)).p, false);
      newest.store(k);
    }
  });
  within(writer, "writer");
  // On a loaded machine the writer may finish before a reader was scheduled: the readers then
  // pull from the full cache until one read lands (bounded).
  const auto readDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (reads.load() == 0 && std::chrono::steady_clock::now() < readDeadline) std::this_thread::yield();
  done = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(oversize.load(), 0);
  EXPECT_GT(reads.load(), 0);
  EXPECT_EQ(cache.size(), 64u);
  EXPECT_EQ(cache.lowestKey(), kPackets - 64);
}

// The live-port working cache: discard after write, trimmed when full, flushed by the recorder
// from another thread. Every modified packet reaches the source exactly once.
class CountingSource : public zelto::IPacketDataSource {
 public:
  bool validKey(long key) const override { return key >= 0; }
  void fetch(long, Cache&) override {}
  // Called with the cache's lock held: one caller at a time.
  void update(long key, const ZtDataPacket& p) override {
    if (p.packetId != key) ++mismatched;
    written.push_back(key);
  }
  std::vector<long> written;
  long mismatched = 0;
};

TEST(SharedCache, RecorderFlushesWhilePacketsArrive) {
  CountingSource source;
  std::unique_ptr<zelto::IPacketDataCache> cache(
      zelto::IPacketDataCache::create(&source, zelto::PacketDataCacheConfiguration{false, true, false}, 100));
  std::atomic<bool> done{false};
  auto recorder = std::async(std::launch::async, [&] {
    while (!done.load()) {
      cache->flush();
      std::this_thread::yield();
    }
  });
  for (long k = 0; k < kPackets; ++k) cache->insert(k, packet(k).p, true);
  done = true;
  within(recorder, "recorder");
  cache->flush();
  EXPECT_TRUE(cache->empty());
  std::vector<long> written = source.written;
  std::sort(written.begin(), written.end());
  ASSERT_EQ(written.size(), static_cast<size_t>(kPackets));
  for (long k = 0; k < kPackets; ++k) ASSERT_EQ(written[static_cast<size_t>(k)], k);
  EXPECT_EQ(source.mismatched, 0);
}

// The working cache flushed from two threads at once (a device's processing and its master's):
// takeLowest hands each packet, intact, to exactly one taker.
TEST(SharedCache, TakersShareThePacketsAWriterInserts) {
  WeakFifoDataCache<long, ZtDataPacket> cache;
  std::atomic<bool> done{false};
  auto taker = [&] {
    std::vector<long> keys;
    long damaged = 0;
    zelto::test::Packet target;
    for (;;) {
      const bool finished = done.load();
      if (cache.takeLowest(target.p)) {
        if (target->toa != static_cast<ZtTimeStamp>(target->packetId * 5) ||
            ZtDataPacket_packetCounter(target.get()) != static_cast<uint16_t>(target->packetId))
          ++damaged;
        keys.push_back(target->packetId);
      } else if (finished) {
        break;
      } else {
        std::this_thread::yield();
      }
    }
    return std::make_pair(keys, damaged);
  };
  std::vector<std::future<std::pair<std::vector<long>, long>>> takers;
  for (int i = 0; i < 3; ++i) takers.push_back(std::async(std::launch::async, taker));
  for (long k = 0; k < kPackets; ++k) cache.insert(k, packet(k, static_cast<ZtTimeStamp>(k * 5)).p, true);
  done = true;
  std::vector<long> all;
  for (auto& f : takers) {
    const auto [keys, damaged] = within(f, "taker");
    EXPECT_EQ(damaged, 0);
    EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end()));  // each taker sees rising keys
    all.insert(all.end(), keys.begin(), keys.end());
  }
  std::sort(all.begin(), all.end());
  ASSERT_EQ(all.size(), static_cast<size_t>(kPackets));
  for (long k = 0; k < kPackets; ++k) ASSERT_EQ(all[static_cast<size_t>(k)], k);
  EXPECT_TRUE(cache.empty());
}

}  // namespace
