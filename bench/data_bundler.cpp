// The data bundler fed through its devices' events, beside a plain aligner of the same packets.
//   BM_Bundler/devices/split      one thread raises every device's packet of each sample in turn;
//                                 split 1: each packet is a 3-frame increment (3 bundles per sample).
//                                 Counters: bundles/s, ns per packet, delivery latency p50/p99 (from
//                                 raising the completing packet to the handler), heap allocations per
//                                 bundle over the run (after a warm-up).
//   BM_PlainAligner/devices       the reference: copies each packet into a fixed ring slot per
//                                 sample and calls the handler when the slot is full (no lock, no
//                                 thread-local lookups, no gap or order handling).
//   BM_BundlerThreads/devices     one thread per device (threads = devices), each raising its own
//                                 packets; threads keep within 1024 samples of the deliveries, as
//                                 devices sampling at one rate do.
//   BM_BundlerBacklog/backlog      4 devices, the last lagging `backlog` samples behind the others:
//                                 each sample inserts three packets at the back and one near the
//                                 front, which completes the front bundle. ns per packet should not
//                                 grow with the backlog.
// Each runs 5 repetitions of a fixed number of samples; compare the medians.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <memory>
#include <vector>

#include "control/ZtDataBundler.h"
#include "support/AllocationCounter.h"
#include "support/TestDevice.h"

namespace {

using zelto::test::TestDevice;
using Clock = std::chrono::steady_clock;

class RateDevice : public TestDevice {
 public:
  explicit RateDevice(ZtDeviceId id) : TestDevice(id) {}
  int updateRateForDataIdentifier(ZtDataIdentifier) const override { return 100; }
};

struct DeviceEnd {
  void operator()(ZtDevice* d) const { d->removeIfNoRefs(); }
};

// Counts delivered bundles and, when asked, records the latency since `raised`.
class Sink : public ZtCallback {
 public:
  explicit Sink(ZtDataBundler& b) : m_bundler(b) { m_latencies.reserve(1 << 20); }
  void onDataAvailable(ZtDevice*, const ZtDataPacket*) override {
    if (measureLatency && m_latencies.size() < m_latencies.capacity())
      m_latencies.push_back(std::chrono::duration<double, std::nano>(Clock::now() - raised).count());
    benchmark::DoNotOptimize(m_bundler.at(m_bundler.count() - 1));
    delivered.store(delivered.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    if (notify) delivered.notify_all();
  }
  double percentile(double q) {
    if (m_latencies.empty()) return 0;
    std::vector<double> v = m_latencies;
    std::sort(v.begin(), v.end());
    return v[static_cast<size_t>(q * static_cast<double>(v.size() - 1))];
  }

  std::atomic<int64_t> delivered{0};
  Clock::time_point raised;
  bool measureLatency = false;
  bool notify = false;

 private:
  ZtDataBundler& m_bundler;
  std::vector<double> m_latencies;
};

struct Packet {
  ZtDataPacket p;
  Packet(ZtDeviceId device, bool sdi) {
    ZtDataPacket_construct(&p);
    p.deviceId = device;
    ZtDataPacket_setPacketCounter(&p, 0);
    double acc[3] = {0.1, 0.2, 9.8};
    const ZtVector accV{acc, 3, 0};
    ZtDataPacket_setCalibratedAcceleration(&p, &accV);
    if (sdi) {
      ZtSdiData s;
      s.orientationIncrement = ZtQuaternion{std::cos(0.01), std::sin(0.01), 0.0, 0.0};
      s.velocityIncrement[0] = 0.01;
      s.velocityIncrement[1] = 0.02;
      s.velocityIncrement[2] = 0.098;
      ZtDataPacket_setSdiData(&p, &s);
      const ZtVector mag{acc, 3, 0};
      ZtDataPacket_setCalibratedMagneticField(&p, &mag);
    }
  }
  ~Packet() { ZtDataPacket_destruct(&p); }
  // Sample s: id s (unsplit), or frames (3s, 3s+3) with id 3s+3 (split).
  void setSample(int64_t s, bool sdi) {
    if (!sdi) {
      p.packetId = s;
      return;
    }
    const ZtRange range{static_cast<int32_t>(3 * s), static_cast<int32_t>(3 * s + 3)};
    ZtDataPacket_setFrameRange(&p, &range);
    p.packetId = 3 * s + 3;
  }
};

struct Rig {
  std::vector<std::unique_ptr<RateDevice, DeviceEnd>> devices;
  std::vector<std::unique_ptr<Packet>> packets;
  ZtDataBundler bundler;
  Sink sink{bundler};
  Rig(int n, bool sdi) {
    bundler.addCallbackHandler(&sink, false);
    for (int i = 0; i < n; ++i) {
      devices.emplace_back(new RateDevice(static_cast<ZtDeviceId>(i + 1)));
      packets.push_back(std::make_unique<Packet>(static_cast<ZtDeviceId>(i + 1), sdi));
      bundler.addDevice(devices.back().get());
    }
  }
  ~Rig() { bundler.removeDevice(nullptr); }
  void raise(int d) { devices[static_cast<size_t>(d)]->onDataAvailable(devices[static_cast<size_t>(d)].get(), &packets[static_cast<size_t>(d)]->p); }
};

constexpr int64_t kSamples = 100000;
constexpr int64_t kWarmup = 2000;
// Split frame ids take the frame range's 16-bit counter: samples restart before it wraps.
constexpr int64_t kSplitSamplesPerRun = 20000;

void BM_Bundler(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const bool split = state.range(1) != 0;
  Rig rig(n, split);
  int64_t s = 0;
  auto sample = [&] {
    if (split && s == kSplitSamplesPerRun) {
      rig.bundler.clearQueues();
      s = 0;
    }
    for (int d = 0; d < n; ++d) {
      rig.packets[static_cast<size_t>(d)]->setSample(s, split);
      if (d == n - 1) rig.sink.raised = Clock::now();
      rig.raise(d);
    }
    ++s;
  };
  for (int64_t i = 0; i < kWarmup; ++i) sample();
  rig.sink.measureLatency = true;
  const int64_t before = rig.sink.delivered.load();
  AllocationCounter allocations;
  for (auto _ : state) sample();
  const double allocs = static_cast<double>(allocations.count());
  const double bundles = static_cast<double>(rig.sink.delivered.load() - before);
  state.counters["bundles/s"] = benchmark::Counter(bundles, benchmark::Counter::kIsRate);
  state.counters["ns/packet"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * n, benchmark::Counter::kIsRate | benchmark::Counter::kInvert) ;
  state.counters["lat_p50_ns"] = rig.sink.percentile(0.5);
  state.counters["lat_p99_ns"] = rig.sink.percentile(0.99);
  state.counters["allocs/bundle"] = bundles > 0 ? allocs / bundles : 0;
}
BENCHMARK(BM_Bundler)
    ->ArgsProduct({{4, 16}, {0, 1}})
    ->Iterations(kSamples)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond);

// Insertion with a standing backlog of incomplete bundles.
void BM_BundlerBacklog(benchmark::State& state) {
  const int64_t backlog = state.range(0);
  constexpr int n = 4;
  Rig rig(n, false);
  auto raiseSample = [&](int d, int64_t s) {
    rig.packets[static_cast<size_t>(d)]->setSample(s, false);
    rig.raise(d);
  };
  // The first three run `backlog` samples ahead of the fourth.
  for (int64_t s = 0; s < backlog; ++s)
    for (int d = 0; d < n - 1; ++d) raiseSample(d, s);
  int64_t lead = backlog, lag = 0;
  auto sample = [&] {
    for (int d = 0; d < n - 1; ++d) raiseSample(d, lead);
    raiseSample(n - 1, lag);
    ++lead;
    ++lag;
  };
  // Warm-up past the backlog: the bundles made while filling it hold three packets' room and
  // take the fourth when they complete.
  for (int64_t i = 0; i < backlog + kWarmup; ++i) sample();
  const int64_t before = rig.sink.delivered.load();
  AllocationCounter allocations;
  for (auto _ : state) sample();
  const double bundles = static_cast<double>(rig.sink.delivered.load() - before);
  state.counters["ns/packet"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * n, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["allocs/bundle"] = bundles > 0 ? static_cast<double>(allocations.count()) / bundles : 0;
  state.counters["delivered/sample"] = bundles / static_cast<double>(state.iterations());
}
BENCHMARK(BM_BundlerBacklog)
    ->Arg(0)
    ->Arg(1024)
    ->Arg(8192)
    ->Iterations(kSamples)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond);

// The reference: the least a bundler of in-order samples must do.
void BM_PlainAligner(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  constexpr size_t kSlots = 64;
  std::vector<std::unique_ptr<Packet>> in;
  for (int d = 0; d < n; ++d) in.push_back(std::make_unique<Packet>(static_cast<ZtDeviceId>(d + 1), false));
  std::vector<ZtDataPacket> ring(kSlots * static_cast<size_t>(n));
  for (auto& p : ring) ZtDataPacket_construct(&p);
  std::vector<int> filled(kSlots, 0);
  int64_t delivered = 0;
  auto handler = [&](size_t slot) {
    benchmark::DoNotOptimize(&ring[slot * static_cast<size_t>(n) + static_cast<size_t>(n - 1)]);
    ++delivered;
  };
  int64_t s = 0;
  for (auto _ : state) {
    for (int d = 0; d < n; ++d) {
      in[static_cast<size_t>(d)]->setSample(s, false);
      const size_t slot = static_cast<size_t>(s) % kSlots;
      ZtDataPacket_copy(&ring[slot * static_cast<size_t>(n) + static_cast<size_t>(filled[slot])], &in[static_cast<size_t>(d)]->p);
      if (++filled[slot] == n) {
        handler(slot);
        filled[slot] = 0;
      }
    }
    ++s;
  }
  for (auto& p : ring) ZtDataPacket_destruct(&p);
  state.counters["bundles/s"] = benchmark::Counter(static_cast<double>(delivered), benchmark::Counter::kIsRate);
  state.counters["ns/packet"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * n, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_PlainAligner)->Arg(4)->Arg(16)->Iterations(kSamples)->Repetitions(5)->ReportAggregatesOnly(true)->Unit(benchmark::kMillisecond);

// One thread per device.
Rig* g_rig = nullptr;

void BM_BundlerThreads(benchmark::State& state) {
  const int n = state.threads();
  const bool split = state.range(0) != 0;
  if (state.thread_index() == 0) {
    g_rig = new Rig(n, split);
    g_rig->sink.notify = true;
  }
  // The loop's start is a barrier: every thread sees the rig from here on.
  int64_t s = 0;
  constexpr int64_t kWindow = 1024;
  const int d = state.thread_index();
  for (auto _ : state) {
    Rig& rig = *g_rig;
    const int64_t perSample = split ? 3 : 1;
    for (int64_t seen = rig.sink.delivered.load(std::memory_order_acquire); s * perSample - seen > kWindow * perSample;
         seen = rig.sink.delivered.load(std::memory_order_acquire))
      rig.sink.delivered.wait(seen);
    rig.packets[static_cast<size_t>(d)]->setSample(s, split);
    rig.raise(d);
    ++s;
  }
  if (state.thread_index() == 0) {
    // The loop's end is a barrier too.
    state.counters["bundles/s"] =
        benchmark::Counter(static_cast<double>(g_rig->sink.delivered.load()), benchmark::Counter::kIsRate);
    delete g_rig;
    g_rig = nullptr;
  }
  state.counters["ns/packet"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_BundlerThreads)
    ->Arg(0)
    ->Arg(1)
    ->Threads(4)
    ->Threads(16)
    ->Iterations(kSplitSamplesPerRun)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
