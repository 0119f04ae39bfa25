// Packet caches: insertion with trim into a weak FIFO held full (3000 and 60000 entries, 60-byte
// data messages), a live device's working-cache pass per packet (stored, then taken by the
// flush), atIndex on the fast-index cache and the weak FIFO, four threads pulling while
// one inserts, and the memory per packet of a 1 M-packet fast-index cache (playback).
//
// References in the same run: a plain std::map<long, std::vector<uint8_t>> held full the same way;
// one bare packet copy; a vector of packets indexed and copied; the same pulls on one thread
// without a writer; the bare packet copies in a vector.
//
// Allocations: malloc, calloc and realloc of the whole process (C and C++) are counted by the
// hook below; "allocs/op" is the count over the timed loop divided by its operations.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <vector>

#include "device/cache/FastIndexDataCache.h"
#include "device/cache/IPacketDataCache.h"
#include "device/cache/WeakFifoDataCache.h"
#include "support/LogFileBuilder.h"
#include "zttypes/ztdatapacket.h"

// ---- Allocation hook ----------------------------------------------------------------------------

namespace {
std::atomic<uint64_t> g_allocations{0};
}

// Sanitizers bring their own allocator: no hook there (allocs/op then reads 0).
#ifndef ZDA_UNDER_SANITIZER
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* p, size_t size);
void __libc_free(void* p);
}

extern "C" void* malloc(size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_malloc(size);
}
extern "C" void* calloc(size_t count, size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_calloc(count, size);
}
extern "C" void* realloc(void* p, size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_realloc(p, size);
}
extern "C" void free(void* p) { __libc_free(p); }
#endif

namespace {

using Fifo = WeakFifoDataCache<long, ZtDataPacket>;
using Fast = FastIndexDataCache<long, ZtDataPacket>;

// A packet holding a 60-byte data message (55-byte payload: the packet counter item and filler).
struct Packet60 {
  ZtDataPacket p;
  explicit Packet60(long key) {
    ZtDataPacket_construct(&p);
    const auto payload = zelto::test::LogFileBuilder::dataPayload(static_cast<uint16_t>(key), 50);
    ZtMessage m;
    ZtMessage_constructSized(&m, payload.size());
    ZtMessage_setMessageId(&m, ZTDATAPACKET_MESSAGE_ID);
    ZtMessage_setDataBuffer(&m, payload.data(), payload.size(), 0);
    ZtDataPacket_setMessage(&p, &m);
    ZtMessage_destruct(&m);
    p.packetId = key;
  }
  ~Packet60() { ZtDataPacket_destruct(&p); }
  size_t messageBytes() const { return ZtMessage_getTotalMessageSize(&p.message); }
};

// The 90th percentile of the repetitions (with the median: the spread of the samples).
double p90(const std::vector<double>& samples) {
  std::vector<double> sorted(samples);
  std::sort(sorted.begin(), sorted.end());
  return sorted.empty() ? 0.0 : sorted[(sorted.size() * 9) / 10 < sorted.size() ? (sorted.size() * 9) / 10 : sorted.size() - 1];
}

void reportAllocations(benchmark::State& state, uint64_t before, uint64_t operations) {
  const uint64_t count = g_allocations.load(std::memory_order_relaxed) - before;
  state.counters["allocs/op"] = operations ? static_cast<double>(count) / static_cast<double>(operations) : 0.0;
}

// ---- Insertion with trim into a full cache ------------------------------------------------------

void BM_FifoInsertFull(benchmark::State& state) {
  const long size = state.range(0);
  Packet60 packet(0);
  if (packet.messageBytes() != 60) state.SkipWithError("packet is not 60 bytes");
  Fifo cache;
  cache.setMaxSize(static_cast<unsigned long>(size));
  long key = 0;
  for (; key < size; ++key) cache.insert(key, packet.p, false);
  const uint64_t before = g_allocations.load();
  for (auto _ : state) {
    packet.p.packetId = key;
    cache.insert(key++, packet.p, false);
  }
  reportAllocations(state, before, static_cast<uint64_t>(state.iterations()));
  if (cache.size() != static_cast<unsigned long>(size)) state.SkipWithError("not held full");
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FifoInsertFull)->Arg(3000)->Arg(60000)->Repetitions(15)->ComputeStatistics("p90", p90)->ReportAggregatesOnly(true);

// Plain code: a std::map of byte vectors held full (erase the lowest, insert a copy).
void BM_Reference_MapInsertFull(benchmark::State& state) {
  const long size = state.range(0);
  Packet60 packet(0);
  const std::vector<uint8_t> bytes(ZtMessage_getMessageStart(&packet.p.message),
                                   ZtMessage_getMessageStart(&packet.p.message) + packet.messageBytes());
  std::map<long, std::vector<uint8_t>> map;
  long key = 0;
  for (; key < size; ++key) map.emplace(key, bytes);
  const uint64_t before = g_allocations.load();
  for (auto _ : state) {
    map.erase(map.begin());
    map.emplace(key++, bytes);
  }
  reportAllocations(state, before, static_cast<uint64_t>(state.iterations()));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Reference_MapInsertFull)->Arg(3000)->Arg(60000)->Repetitions(15)->ComputeStatistics("p90", p90)->ReportAggregatesOnly(true);

// ---- The working cache's pass per packet ------------------------------------------------------

// What a live device does with each processed packet: stored in its working cache (a weak FIFO
// made by the factory, as the devices make it) and taken straight out again by the flush.
//   0: the current steps, insertIfAbsent and takeLowest (the entry handed over by exchange);
//   1: the same done as before, contains + insert, then a copy out (lowestInto) and remove.
// Reference in the same run: one bare packet copy into a grown target.
void BM_WorkingCachePass(benchmark::State& state) {
  const bool earlier = state.range(0) == 1;
  Packet60 packet(0);
  zelto::PacketDataCacheConfiguration configuration;
  configuration.useFifo = true;
  std::unique_ptr<zelto::IPacketDataCache> cache(zelto::IPacketDataCache::create(nullptr, configuration, 6000));
  ZtDataPacket out;
  ZtDataPacket_construct(&out);
  long key = 0;
  const auto pass = [&] {
    packet.p.packetId = key;
    if (earlier) {
      if (!cache->contains(key)) cache->insert(key, packet.p, true);
      cache->lowestInto(out);
      cache->remove(out.packetId);
    } else {
      cache->insertIfAbsent(key, packet.p, true);
      cache->takeLowest(out);
    }
    ++key;
  };
  for (int i = 0; i < 16; ++i) pass();
  const uint64_t before = g_allocations.load();
  for (auto _ : state) pass();
  reportAllocations(state, before, static_cast<uint64_t>(state.iterations()));
  if (!cache->empty() || out.packetId != key - 1) state.SkipWithError("the packet did not pass");
  ZtDataPacket_destruct(&out);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_WorkingCachePass)->Arg(0)->Arg(1)->ArgName("earlier")->Repetitions(9)->ReportAggregatesOnly(true);

void BM_Reference_PacketCopy(benchmark::State& state) {
  Packet60 packet(0);
  ZtDataPacket out;
  ZtDataPacket_construct(&out);
  ZtDataPacket_copy(&out, &packet.p);
  for (auto _ : state) {
    ++packet.p.packetId;
    ZtDataPacket_copy(&out, &packet.p);
    benchmark::DoNotOptimize(out.packetId);
  }
  ZtDataPacket_destruct(&out);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Reference_PacketCopy)->Repetitions(9)->ReportAggregatesOnly(true);

// ---- atIndex ----------------------------------------------------------------------------------

template <class Cache>
void BM_AtIndex(benchmark::State& state) {
  const long size = state.range(0);
  Packet60 packet(0);
  Cache cache;
  for (long key = 0; key < size; ++key) cache.insert(key, packet.p, false);
  unsigned long index = 0, step = 7919;
  const uint64_t before = g_allocations.load();
  for (auto _ : state) {
    ZtDataPacket p = cache.atIndex(index);
    benchmark::DoNotOptimize(p.packetId);
    ZtDataPacket_destruct(&p);
    index = (index + step) % static_cast<unsigned long>(size);
  }
  reportAllocations(state, before, static_cast<uint64_t>(state.iterations()));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK_TEMPLATE(BM_AtIndex, Fast)->Arg(3000)->Arg(60000)->Repetitions(15)->ComputeStatistics("p90", p90)->ReportAggregatesOnly(true);
BENCHMARK_TEMPLATE(BM_AtIndex, Fifo)->Arg(3000)->Arg(60000)->Repetitions(5)->ComputeStatistics("p90", p90)->ReportAggregatesOnly(true);

// Plain code: a vector of packets, indexed and copied out.
void BM_Reference_VectorIndexCopy(benchmark::State& state) {
  const long size = state.range(0);
  Packet60 packet(0);
  std::vector<ZtDataPacket> packets(static_cast<size_t>(size));
  for (auto& p : packets) ZtDataPacket_constructCopy(&p, &packet.p);
  unsigned long index = 0, step = 7919;
  for (auto _ : state) {
    ZtDataPacket p;
    ZtDataPacket_constructCopy(&p, &packets[index]);
    benchmark::DoNotOptimize(p.packetId);
    ZtDataPacket_destruct(&p);
    index = (index + step) % static_cast<unsigned long>(size);
  }
  for (auto& p : packets) ZtDataPacket_destruct(&p);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Reference_VectorIndexCopy)->Arg(3000)->Arg(60000)->Repetitions(15)->ComputeStatistics("p90", p90)->ReportAggregatesOnly(true);

// ---- Pulling while inserting ------------------------------------------------------------------

// Thread 0 inserts into a weak FIFO held full at 3000; the others pull recent packets by key.
// With one thread there is no writer: the reference pull rate of a single puller.
Fifo* g_shared = nullptr;
std::atomic<long> g_newest{0};

void BM_PullWhileInserting(benchmark::State& state) {
  constexpr long kSize = 3000;
  static Packet60* packet = nullptr;
  const bool writer = state.thread_index() == 0 && state.threads() > 1;
  if (state.thread_index() == 0) {
    packet = new Packet60(0);
    g_shared = new Fifo;
    g_shared->setMaxSize(kSize);
    for (long key = 0; key < kSize; ++key) g_shared->insert(key, packet->p, false);
    g_newest = kSize - 1;
  }
  long misses = 0;
  unsigned seed = static_cast<unsigned>(state.thread_index()) + 1;
  for (auto _ : state) {
    if (writer) {
      const long key = g_newest.load(std::memory_order_relaxed) + 1;
      g_shared->insert(key, packet->p, false);
      g_newest.store(key, std::memory_order_relaxed);
    } else {
      seed = seed * 1103515245u + 12345u;
      const long key = g_newest.load(std::memory_order_relaxed) - static_cast<long>((seed >> 8) % 2000u);
      try {
        ZtDataPacket p = g_shared->object(key);
        benchmark::DoNotOptimize(p.packetId);
        ZtDataPacket_destruct(&p);
      } catch (...) {
        ++misses;
      }
    }
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["misses"] = static_cast<double>(misses);
  state.counters[writer ? "writer" : "puller"] = 1;
  if (state.thread_index() == 0) {
    delete g_shared;
    delete packet;
  }
}
BENCHMARK(BM_PullWhileInserting)->Threads(1)->Threads(5)->UseRealTime()->Repetitions(5)->ComputeStatistics("p90", p90)->ReportAggregatesOnly(true);

// ---- Memory per packet during playback ----------------------------------------------------------

size_t residentBytes() {
  long pages = 0, resident = 0;
  FILE* f = std::fopen("/proc/self/statm", "r");
  if (!f) return 0;
  if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
  std::fclose(f);
  return static_cast<size_t>(resident) * 4096u;
}

void BM_FastIndexMemory(benchmark::State& state) {
  constexpr long kPackets = 1000000;
  for (auto _ : state) {
    Packet60 packet(0);
    malloc_trim(0);
    const size_t heapBefore = mallinfo2().uordblks;
    const size_t rssBefore = residentBytes();
    auto cache = std::make_unique<Fast>();
    for (long key = 0; key < kPackets; ++key) {
      packet.p.packetId = key;
      cache->insert(key, packet.p, false);
    }
    const size_t heap = mallinfo2().uordblks - heapBefore;
    const size_t rss = residentBytes() - rssBefore;
    state.counters["heap B/packet"] = static_cast<double>(heap) / kPackets;
    state.counters["RSS B/packet"] = static_cast<double>(rss) / kPackets;
    state.counters["message B"] = static_cast<double>(packet.messageBytes());
  }
}
BENCHMARK(BM_FastIndexMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

// Reference: the bare packet copies in a vector (no cache structure).
void BM_Reference_PacketVectorMemory(benchmark::State& state) {
  constexpr long kPackets = 1000000;
  for (auto _ : state) {
    Packet60 packet(0);
    malloc_trim(0);
    const size_t heapBefore = mallinfo2().uordblks;
    const size_t rssBefore = residentBytes();
    std::vector<ZtDataPacket> packets(kPackets);
    for (auto& p : packets) ZtDataPacket_constructCopy(&p, &packet.p);
    const size_t heap = mallinfo2().uordblks - heapBefore;
    const size_t rss = residentBytes() - rssBefore;
    state.counters["heap B/packet"] = static_cast<double>(heap) / kPackets;
    state.counters["RSS B/packet"] = static_cast<double>(rss) / kPackets;
    for (auto& p : packets) ZtDataPacket_destruct(&p);
  }
}
BENCHMARK(BM_Reference_PacketVectorMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
