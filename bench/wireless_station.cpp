// A wireless station with 32 trackers at 100 Hz: the library's cost per relayed packet beside a
// plain reader of the same bytes, in the same run.
//
//  - BM_StationStream/trackers:32/rate:100: the station's byte stream is made beforehand by the
//    emulator's own encoder (StationStreamRig: one legacy data message 0x32 per tracker and frame,
//    the SDI block of SdiPayload in floats, EmuFrame framing; the frame counter starts at 65000 so
//    it wraps during the run) and written to a pseudo-terminal one 10 ms tick at a time (32
//    messages per write) by a writer thread of this program.
//    Reference (first, in the same run): one thread ("ref reader") waits on the port (poll) and
//    reads the bytes, the least any reader costs. Library: a station (the station class itself,
//    its 32 trackers as scripted wireless trackers without host filter: no record to filter
//    with; StationStreamRig) opened through a test control on the emulator's station model, measuring; each
//    tracker's packets counted by a data callback. The library reads, parses, decodes the legacy
//    block, routes it to the tracker by its device id, numbers it by its frame range, caches it
//    and raises the data event.
//    Per window of 2 s (5 windows after 1 s of warm-up, medians over the windows):
//      ref_us_per_pkt     CPU of the reference reader per message
//      lib_us_per_pkt     CPU of every thread of the process but the measuring thread, the
//                         writer and the emulator's serving thread (which answer nothing while
//                         the stream runs), per delivered packet
//      ratio              lib_us_per_pkt / ref_us_per_pkt
//      reader_us_per_pkt, pool_us_per_pkt, other_us_per_pkt  lib_us_per_pkt by thread name: the
//                         link's reader ("KtThread"), the pool's workers ("Pooled Thread"), the
//                         other named threads (a thread that inherited the measuring thread's
//                         name counts in lib_us_per_pkt only)
//      wakeups_per_pkt    voluntary context switches of the reader and the workers per packet
//      pool_wakes_per_tick  sleeping pool workers woken (ThreadPool::wakeCount) per tick of
//                         trackers messages (goal: about one)
//      allocs_per_pkt     heap allocations of every thread (AllocationCounter) per delivered
//                         packet during the library's windows (goal 0)
//      delivered_per_s    packets delivered to the data callbacks per second (sent: 3200)
//      lost_share         1 - delivered / sent over the library's windows
//      load1_before, load1_after  the machine's one-minute load average (/proc/loadavg)
//
//  - BM_StationAllocations/trackers:32/rate:100: the library's part of BM_StationStream alone for
//    two minutes (60 windows of 2 s after the warm-up), to tell spare storage that grows to a cap
//    (allocations that stop) from growth that goes on (allocations in every window):
//      allocs_per_pkt_first_10s, allocs_per_pkt_last_60s  per delivered packet, in the first five
//                         and the last thirty windows
//      allocs_last_60s    allocations of the last thirty windows in all
//      windows_with_allocs  windows (of 60) in which anything was allocated
//      last_window_with_allocs  the last such window (0 to 59; -1: none)
//
//  - BM_StationMessages/trackers:32: the library's work per message without the port, for
//    comparing changes of the path on a loaded machine (the stream's CPU times move with the
//    load): the same station and trackers, the same ticks' messages handed to the station's
//    handleMessage by a pool task per tick (as the link's parse task hands them), one tick a
//    millisecond, 4000 ticks after 500 of warm-up.
//      cpu_us_per_msg     CPU of the whole process per message (the emulator is idle; this
//                         thread only adds the ticks)
//      pool_us_per_msg    of which the pool's workers'
//      allocs_per_msg     heap allocations of every thread per message (the benchmark's own task
//                         of each tick is one per tick)
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ThreadStats.h"
#include "foundation/ThreadPool.h"
#include "foundation/ThreadPoolTask.h"
#include "support/AllocationCounter.h"
#include "support/PtyPort.h"
#include "support/StationStreamRig.h"

namespace {

using zelto::test::PtyPort;
using zelto::test::StationStreamRig;

constexpr double kWarmUpSeconds = 1.0;
constexpr double kWindowSeconds = 2.0;
constexpr int kWindows = 5;

pid_t ownTid() { return static_cast<pid_t>(syscall(SYS_gettid)); }

double cpuNs(pid_t tid) { return benchstats::clockNs(benchstats::threadCpuClock(tid)); }

double processCpuNs() { return benchstats::clockNs(CLOCK_PROCESS_CPUTIME_ID); }

double load1() {
  double load = -1.0;
  if (FILE* f = std::fopen("/proc/loadavg", "r")) {
    if (std::fscanf(f, "%lf", &load) != 1) load = -1.0;
    std::fclose(f);
  }
  return load;
}

double median(std::vector<double> v) {
  if (v.empty()) return 0.0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Writes the ticks to a descriptor at the rate, one write per tick, from its own thread;
// counts the messages written whole.
class TickWriter {
 public:
  TickWriter(int fd, const std::vector<std::vector<uint8_t>>& ticks, int rate, int perTick)
      : m_fd(fd), m_ticks(ticks), m_period(std::chrono::nanoseconds(1000000000 / rate)), m_perTick(perTick) {}
  ~TickWriter() { stop(); }
  TickWriter(const TickWriter&) = delete;
  TickWriter& operator=(const TickWriter&) = delete;

  void start() {
    m_thread = std::thread([this] {
      pthread_setname_np(pthread_self(), "bench writer");
      m_tid = ownTid();
      auto due = std::chrono::steady_clock::now();
      for (const std::vector<uint8_t>& tick : m_ticks) {
        if (m_stop.load()) return;
        size_t done = 0;
        while (done < tick.size()) {
          const ssize_t n = write(m_fd, tick.data() + done, tick.size() - done);
          if (n <= 0) return;
          done += static_cast<size_t>(n);
        }
        m_written.fetch_add(m_perTick);
        due += m_period;
        std::this_thread::sleep_until(due);
      }
    });
    while (m_tid.load() == 0) std::this_thread::yield();
  }
  void stop() {
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
  }
  pid_t tid() const { return m_tid.load(); }
  long written() const { return m_written.load(); }

 private:
  int m_fd;
  const std::vector<std::vector<uint8_t>>& m_ticks;
  std::chrono::nanoseconds m_period;
  long m_perTick;
  std::thread m_thread;
  std::atomic<pid_t> m_tid{0};
  std::atomic<bool> m_stop{false};
  std::atomic<long> m_written{0};
};

// The plain reader: waits on the port and reads, counting bytes.
class PlainReader {
 public:
  explicit PlainReader(const std::string& path) : m_fd(open(path.c_str(), O_RDWR | O_NOCTTY)), m_stop(eventfd(0, EFD_CLOEXEC)) {
    if (m_fd < 0) return;
    termios raw{};
    tcgetattr(m_fd, &raw);
    cfmakeraw(&raw);
    tcsetattr(m_fd, TCSANOW, &raw);
    m_thread = std::thread([this] {
      pthread_setname_np(pthread_self(), "ref reader");
      m_tid = ownTid();
      uint8_t buffer[8192];
      pollfd fds[2] = {{m_fd, POLLIN, 0}, {m_stop, POLLIN, 0}};
      for (;;) {
        if (poll(fds, 2, -1) < 0 || (fds[1].revents & POLLIN)) return;
        const ssize_t n = read(m_fd, buffer, sizeof buffer);
        if (n > 0) m_bytes.fetch_add(n, std::memory_order_relaxed);
      }
    });
    while (m_tid.load() == 0) std::this_thread::yield();
  }
  ~PlainReader() {
    const uint64_t one = 1;
    if (m_thread.joinable()) {
      if (write(m_stop, &one, sizeof one) == sizeof one) m_thread.join();
      else m_thread.detach();
    }
    if (m_fd >= 0) close(m_fd);
    close(m_stop);
  }
  PlainReader(const PlainReader&) = delete;
  PlainReader& operator=(const PlainReader&) = delete;
  bool ok() const { return m_fd >= 0; }
  pid_t tid() const { return m_tid.load(); }
  long bytes() const { return m_bytes.load(); }

 private:
  int m_fd;
  int m_stop;
  std::thread m_thread;
  std::atomic<pid_t> m_tid{0};
  std::atomic<long> m_bytes{0};
};

class CountingHandler : public ZtCallback {
 public:
  void onDataAvailable(ZtDevice*, const ZtDataPacket*) override { delivered.fetch_add(1, std::memory_order_relaxed); }
  // On a cache line of its own: the entries every fan-out reads stay shared in each processor's
  // cache instead of moving with each count (the application's false sharing, not the library's).
  alignas(64) std::atomic<long> delivered{0};
};

struct Window {
  double cpuNs = 0;
  double packets = 0;
  double allocations = 0;
  double seconds = 0;
  double poolWakes = 0;
  std::map<std::string, benchstats::Sample> byName;  // CPU of the threads by name
};

// Windows of the stream after the warm-up: the CPU of the counted threads (count(): every
// thread of the process less the excluded ones), the packets (packets()) and the allocations.
template <typename Cpu, typename Packets>
std::vector<Window> measure(Cpu cpu, Packets packets, bool pool, int windowCount = kWindows) {
  const auto wakes = [pool] { return pool ? static_cast<double>(zelto::ThreadPool::instance()->wakeCount()) : 0.0; };
  std::this_thread::sleep_for(std::chrono::duration<double>(kWarmUpSeconds));
  std::vector<Window> windows;
  for (int w = 0; w < windowCount; ++w) {
    const auto names0 = benchstats::byName();
    const double cpu0 = cpu();
    const double packets0 = packets();
    const double wakes0 = wakes();
    AllocationCounter allocations;
    const auto t0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(kWindowSeconds));
    Window win;
    win.allocations = static_cast<double>(allocations.countAllThreads());
    win.cpuNs = cpu() - cpu0;
    win.packets = packets() - packets0;
    win.poolWakes = wakes() - wakes0;
    win.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    win.byName = benchstats::difference(names0, benchstats::byName());
    windows.push_back(win);
  }
  return windows;
}

void BM_StationStream(benchmark::State& state) {
  const int trackers = static_cast<int>(state.range(0));
  const int rate = static_cast<int>(state.range(1));
  pthread_setname_np(pthread_self(), "bench main");
  const pid_t self = ownTid();
  const int ticks = static_cast<int>((kWarmUpSeconds + kWindows * kWindowSeconds + 2.0) * rate);
  const std::vector<std::vector<uint8_t>> stream = StationStreamRig::ticks(trackers, 0, ticks);
  const double frameSize = static_cast<double>(stream[0].size()) / trackers;
  for (auto _ : state) {
    const double loadBefore = load1();
    // Reference: the plain reader of the same bytes.
    std::vector<Window> reference;
    {
      PtyPort pty;
      PlainReader reader(pty.slavePath());
      if (!reader.ok()) {
        state.SkipWithError("the reference port did not open");
        return;
      }
      TickWriter writer(pty.masterFd(), stream, rate, trackers);
      writer.start();
      const pid_t readerTid = reader.tid();
      reference = measure([&] { return cpuNs(readerTid); }, [&] { return static_cast<double>(reader.bytes()) / frameSize; },
                          false);
      writer.stop();
    }
    // The library.
    std::vector<Window> library;
    long sent = 0, delivered = 0;
    {
      StationStreamRig rig(trackers);
      const std::vector<pid_t> before = benchstats::threadIds();
      rig.emu.start();
      const std::vector<pid_t> emulatorThreads = benchstats::newThreads(before);
      CountingHandler handler;
      if (!rig.open(&handler)) {
        state.SkipWithError("the station and its trackers did not open and measure");
        return;
      }
      TickWriter writer(rig.pty.masterFd(), stream, rate, trackers);
      writer.start();
      std::vector<pid_t> excluded = emulatorThreads;
      excluded.push_back(self);
      excluded.push_back(writer.tid());
      const auto counted = [&] {
        double ns = processCpuNs();
        for (pid_t tid : excluded) ns -= cpuNs(tid);
        return ns;
      };
      const long sent0 = writer.written(), delivered0 = handler.delivered.load();
      library = measure(counted, [&] { return static_cast<double>(handler.delivered.load()); }, true);
      sent = writer.written() - sent0;
      delivered = handler.delivered.load() - delivered0;
      writer.stop();
    }
    std::vector<double> refUs, libUs, allocs, perSecond, readerUs, poolUs, otherUs, wakeUps, poolWakes;
    for (const Window& w : reference) refUs.push_back(w.cpuNs / 1e3 / std::max(1.0, w.packets));
    for (const Window& w : library) {
      const double n = std::max(1.0, w.packets);
      libUs.push_back(w.cpuNs / 1e3 / n);
      double reader = 0, pool = 0, other = 0, wakes = 0;
      for (const auto& [name, spent] : w.byName) {
        if (name == "KtThread") {
          reader += spent.cpuNs;
          wakes += spent.voluntary;
        } else if (name == "Pooled Thread") {
          pool += spent.cpuNs;
          wakes += spent.voluntary;
        } else if (name != "bench main" && name != "bench writer") {
          other += spent.cpuNs;
        }
      }
      readerUs.push_back(reader / 1e3 / n);
      poolUs.push_back(pool / 1e3 / n);
      otherUs.push_back(other / 1e3 / n);
      wakeUps.push_back(wakes / n);
      poolWakes.push_back(w.poolWakes / n * trackers);
      allocs.push_back(w.allocations / std::max(1.0, w.packets));
      perSecond.push_back(w.packets / w.seconds);
    }
    state.counters["ref_us_per_pkt"] = median(refUs);
    state.counters["lib_us_per_pkt"] = median(libUs);
    state.counters["ratio"] = median(libUs) / std::max(1e-9, median(refUs));
    state.counters["reader_us_per_pkt"] = median(readerUs);
    state.counters["pool_us_per_pkt"] = median(poolUs);
    state.counters["other_us_per_pkt"] = median(otherUs);
    state.counters["wakeups_per_pkt"] = median(wakeUps);
    state.counters["pool_wakes_per_tick"] = median(poolWakes);
    state.counters["allocs_per_pkt"] = median(allocs);
    state.counters["delivered_per_s"] = median(perSecond);
    state.counters["lost_share"] = sent > 0 ? 1.0 - static_cast<double>(delivered) / static_cast<double>(sent) : 1.0;
    state.counters["load1_before"] = loadBefore;
    state.counters["load1_after"] = load1();
  }
}
void BM_StationAllocations(benchmark::State& state) {
  const int trackers = static_cast<int>(state.range(0));
  const int rate = static_cast<int>(state.range(1));
  constexpr int kLongWindows = 60;
  const int ticks = static_cast<int>((kWarmUpSeconds + kLongWindows * kWindowSeconds + 2.0) * rate);
  const std::vector<std::vector<uint8_t>> stream = StationStreamRig::ticks(trackers, 0, ticks);
  for (auto _ : state) {
    const double loadBefore = load1();
    StationStreamRig rig(trackers);
    rig.emu.start();
    CountingHandler handler;
    if (!rig.open(&handler)) {
      state.SkipWithError("the station and its trackers did not open and measure");
      return;
    }
    TickWriter writer(rig.pty.masterFd(), stream, rate, trackers);
    writer.start();
    const std::vector<Window> windows =
        measure([] { return 0.0; }, [&] { return static_cast<double>(handler.delivered.load()); }, false, kLongWindows);
    writer.stop();
    double firstAllocs = 0, firstPackets = 0, lastAllocs = 0, lastPackets = 0;
    int withAllocs = 0, lastWithAllocs = -1;
    for (int w = 0; w < kLongWindows; ++w) {
      const Window& win = windows[static_cast<size_t>(w)];
      if (w < 5) {
        firstAllocs += win.allocations;
        firstPackets += win.packets;
      }
      if (w >= kLongWindows - 30) {
        lastAllocs += win.allocations;
        lastPackets += win.packets;
      }
      if (win.allocations > 0) {
        ++withAllocs;
        lastWithAllocs = w;
      }
    }
    state.counters["allocs_per_pkt_first_10s"] = firstAllocs / std::max(1.0, firstPackets);
    state.counters["allocs_per_pkt_last_60s"] = lastAllocs / std::max(1.0, lastPackets);
    state.counters["allocs_last_60s"] = lastAllocs;
    state.counters["windows_with_allocs"] = withAllocs;
    state.counters["last_window_with_allocs"] = lastWithAllocs;
    state.counters["load1_before"] = loadBefore;
    state.counters["load1_after"] = load1();
  }
}
BENCHMARK(BM_StationAllocations)
    ->Args({32, 100})
    ->ArgNames({"trackers", "rate"})
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

// The messages of one tick, cut from its bytes (every message of a tick has the same size).
std::vector<ZtMessage> tickMessages(int trackers, int k) {
  const std::vector<uint8_t> bytes = StationStreamRig::tick(trackers, k);
  const size_t size = bytes.size() / static_cast<size_t>(trackers);
  std::vector<ZtMessage> out(static_cast<size_t>(trackers));
  for (size_t t = 0; t < out.size(); ++t) {
    ZtMessage_construct(&out[t]);
    ZtMessage_load(&out[t], size, bytes.data() + t * size);
  }
  return out;
}

// Hands one tick's messages to the station on a pool worker, as the link's parse task does.
class TickTask : public zelto::ThreadPoolTask {
 public:
  TickTask(TovanaStationDevice* station, const std::vector<ZtMessage>& messages)
      : m_station(station), m_messages(messages) {}
  bool exec() override {
    for (const ZtMessage& m : m_messages) m_station->handleMessage(m);
    return true;
  }

 private:
  TovanaStationDevice* m_station;
  const std::vector<ZtMessage>& m_messages;
};

void BM_StationMessages(benchmark::State& state) {
  const int trackers = static_cast<int>(state.range(0));
  constexpr int kWarmUpTicks = 500, kTicks = 4000, kPaceUs = 1000;
  std::vector<std::vector<ZtMessage>> ticks;
  for (int k = 0; k < kWarmUpTicks + kTicks; ++k) ticks.push_back(tickMessages(trackers, k));
  for (auto _ : state) {
    const double loadBefore = load1();
    StationStreamRig rig(trackers);
    rig.emu.start();
    CountingHandler handler;
    if (!rig.open(&handler)) {
      state.SkipWithError("the station and its trackers did not open and measure");
      return;
    }
    zelto::ThreadPool* pool = zelto::ThreadPool::instance();
    const auto run = [&](int from, int to) {
      for (int k = from; k < to; ++k) {
        pool->addTask(new TickTask(rig.station, ticks[static_cast<size_t>(k)]));
        std::this_thread::sleep_for(std::chrono::microseconds(kPaceUs));
      }
      for (KtwDevice* t : rig.trackers) t->finishLastProcessingTask();
    };
    run(0, kWarmUpTicks);
    const long delivered0 = handler.delivered.load();
    const double cpu0 = processCpuNs();
    const auto names0 = benchstats::byName();
    AllocationCounter allocations;
    run(kWarmUpTicks, kWarmUpTicks + kTicks);
    const double messages = static_cast<double>(kTicks) * trackers;
    for (const auto& [name, spent] : benchstats::difference(names0, benchstats::byName()))
      if (name == "Pooled Thread") state.counters["pool_us_per_msg"] = spent.cpuNs / 1e3 / messages;
    state.counters["cpu_us_per_msg"] = (processCpuNs() - cpu0) / 1e3 / messages;
    state.counters["allocs_per_msg"] = static_cast<double>(allocations.countAllThreads()) / messages;
    state.counters["delivered_share"] = static_cast<double>(handler.delivered.load() - delivered0) / messages;
    state.counters["load1_before"] = loadBefore;
  }
  for (std::vector<ZtMessage>& tick : ticks)
    for (ZtMessage& m : tick) ZtMessage_destruct(&m);
}
BENCHMARK(BM_StationMessages)
    ->Args({32})
    ->ArgNames({"trackers"})
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

BENCHMARK(BM_StationStream)
    ->Args({32, 100})
    ->ArgNames({"trackers", "rate"})
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

}  // namespace
