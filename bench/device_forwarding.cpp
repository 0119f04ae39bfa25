// Forwarding a packet from a master to the child with the packet's device id, the per-packet walk
// of the device tree, beside a plain search of an unguarded vector of the same children (the
// reference: no lock, no hold, not safe against removal).
//   BM_ForwardToChild       ZtDevice::doProcessing over 8 children; allocations per packet
//   BM_PlainVectorLookup    the reference: find by id in a std::vector and call the child
//   BM_ForwardToChild threads:2  two forwarding threads on one master (lock contention)
// Each runs 10 repetitions; compare the medians.
#include <benchmark/benchmark.h>

#include <vector>

#include "support/AllocationCounter.h"
#include "support/TestDevice.h"

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
  AllocationCounter counter;  // this thread's allocations only
  for (auto _ : state) {
    packet.deviceId = 2 + i++ % kChildren;
    t.master->doProcessing(packet);
  }
  const long allocations = static_cast<long>(counter.count());
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
