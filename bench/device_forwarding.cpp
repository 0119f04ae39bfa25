// Forwarding a packet from a master to the child with the packet's device id, the per-packet walk
// of the device tree, beside a plain search of an unguarded vector of the same children (the
// reference: no lock, no hold, not safe against removal).
//   BM_ForwardToChild       ZtDevice::doProcessing over 8 children; allocations per packet
//   BM_PlainVectorLookup    the reference: find by id in a std::vector and call the child
//   BM_ForwardToChild threads:2  two forwarding threads on one master (lock contention)
// Each runs 10 repetitions; compare the medians.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <new>
#include <vector>

#include "support/TestDevice.h"

namespace {

// Counted per thread, so a run counts only its own forwarding thread's allocations.
thread_local long t_allocations = 0;

}  // namespace

void* operator new(std::size_t size) {
  ++t_allocations;
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

namespace {

using zelto::test::TestDevice;

constexpr ZtDeviceId kChildren = 8;

struct Tree {
  TestDevice* master;
  std::vector<ZtDevice*> children;
  Tree() {
    master = new TestDevice(static_cast<Communicator*>(nullptr));
    master->setDeviceId(1);
    for (ZtDeviceId id = 2; id < 2 + kChildren; ++id) children.push_back(new TestDevice(master, id));
    master->addRef();
  }
  ~Tree() { master->removeRef(); }
};

Tree& tree() {
  static Tree* t = new Tree();  // shared by the threads of a run; never freed
  return *t;
}

void BM_ForwardToChild(benchmark::State& state) {
  Tree& t = tree();
  ZtDataPacket packet;
  ZtDataPacket_construct(&packet);
  unsigned i = static_cast<unsigned>(state.thread_index());
  const long allocationsBefore = t_allocations;
  for (auto _ : state) {
    packet.deviceId = 2 + i++ % kChildren;
    t.master->doProcessing(packet);
  }
  const long allocations = t_allocations - allocationsBefore;
  state.counters["allocs/packet"] =
      benchmark::Counter(static_cast<double>(allocations) / static_cast<double>(state.iterations()));
  state.SetItemsProcessed(state.iterations());
  ZtDataPacket_destruct(&packet);
}
BENCHMARK(BM_ForwardToChild)->Repetitions(10)->ReportAggregatesOnly(true);
BENCHMARK(BM_ForwardToChild)->Threads(2)->Repetitions(10)->ReportAggregatesOnly(true)->UseRealTime();

void BM_PlainVectorLookup(benchmark::State& state) {
  Tree& t = tree();
  ZtDataPacket packet;
  ZtDataPacket_construct(&packet);
  unsigned i = 0;
  for (auto _ : state) {
    const ZtDeviceId id = 2 + i++ % kChildren;
    packet.deviceId = id;
    for (ZtDevice* child : t.children)
      if (child->deviceId() == id) {
        child->doProcessing(packet);
        break;
      }
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
  ZtDataPacket_destruct(&packet);
}
BENCHMARK(BM_PlainVectorLookup)->Repetitions(10)->ReportAggregatesOnly(true);

}  // namespace
