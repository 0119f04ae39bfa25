// Links on pseudo-terminals, each figure beside a plain reference measured in the same run.
//  - BM_Latency/<pace µs>/<0 link, 1 reference, 2 hand-off reference>: a device-side thread
//    writes a 40-byte data message stamped with the steady clock to the pty master every pace;
//    the link's master handleMessage (or the reference: a plain thread in poll + read on the
//    slave, cutting the frames itself; or the hand-off reference: that thread only reads and a
//    second thread cuts) reads the clock. 10 000 samples per pace (20 s of them at slower paces):
//    p50_us, p99_us; allocs_per_msg counts every operator new in the process while the messages
//    flow.
//  - BM_LatencyPaired/<pace µs>: the link, the reference and the hand-off reference in turn,
//    six rounds of 4 s each (at least 100 messages), all three set up for the whole run and only
//    the one being written to not idle, so a change of the machine's load falls on all three
//    alike: p50_us and p99_us of each over all rounds (link_, ref_, handoff_), the ratios of
//    the link's p50 to the references' (ratio_p50, ratio_handoff_p50), and the spread of the
//    rounds' own ratios of link p50 to reference p50 (ratio_p50_min, ratio_p50_median,
//    ratio_p50_max). Writing two ports at once instead would keep the processors busier than
//    either stream alone does, and so hide the cost of waking a second thread from idle.
//  - BM_RequestReply/<0 link getDeviceId, 1 plain write + poll + read>: the device emulator
//    answers ReqDeviceId; p50_us, p99_us over 3000 exchanges.
//  - BM_Throughput: batches of 40-byte messages as fast as the line takes them; msgs/s and lost.
//  - BM_IdlePorts/<0 link, 1 reference>: 4 ports open, nothing sent; CPU and wake-ups per second
//    per port of every thread of this program but the measuring one: the library's readers and
//    pool (also when an earlier benchmark created the pool), or 4 plain poll threads.
//  - BM_Soak/<ports>/<0 link, 1 reference, 2 hand-off reference>/<pace µs>: every port gets a
//    message per pace (2000 or 100 messages/s) for 3 s, written by the measuring thread; CPU and
//    wake-ups per message handled of every other thread of this program (the library's readers
//    and pool, or the references' threads). The stale sleeping workers of an earlier pool cost
//    nothing, so the reference is counted the same way.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "ThreadStats.h"
#include "foundation/ThreadPool.h"
#include "support/NullLinkDevice.h"
#include "support/PtyPort.h"
#include "support/emulator/DeviceEmulator.h"
#include "transport/link/Communicator.h"

// Allocation hook: counts every operator new of the process while armed.
namespace {
std::atomic<bool> gCountAllocations{false};
std::atomic<uint64_t> gAllocations{0};
}  // namespace

void* operator new(std::size_t size) {
  if (gCountAllocations.load(std::memory_order_relaxed)) gAllocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
// The replaced operator new allocates with malloc, so free is the matching release; the compiler
// cannot see that pairing.
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

using zelto::test::DeviceEmulator;
using zelto::test::EmuFrame;
using zelto::test::FdEmulatorLink;
using zelto::test::PtyPort;
using Clock = std::chrono::steady_clock;

constexpr size_t kFrameSize = 40;  // 35-byte payload
constexpr size_t kSamples = 10000;

int64_t nowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// FA FF 36 23 <stamp: 8 bytes big-endian> <counter: 4> <zeros> <checksum>
void stampFrame(uint8_t* f, uint32_t counter) {
  f[0] = 0xFA;
  f[1] = 0xFF;
  f[2] = 0x36;
  f[3] = static_cast<uint8_t>(kFrameSize - 5);
  std::memset(f + 4, 0, kFrameSize - 5);
  const uint64_t t = static_cast<uint64_t>(nowNs());
  for (int i = 0; i < 8; ++i) f[4 + i] = static_cast<uint8_t>(t >> (56 - 8 * i));
  for (int i = 0; i < 4; ++i) f[12 + i] = static_cast<uint8_t>(counter >> (24 - 8 * i));
  uint8_t sum = 0;
  for (size_t i = 1; i < kFrameSize - 1; ++i) sum = static_cast<uint8_t>(sum + f[i]);
  f[kFrameSize - 1] = static_cast<uint8_t>(-sum);
}

int64_t stampOf(const uint8_t* payload) {
  uint64_t t = 0;
  for (int i = 0; i < 8; ++i) t = t << 8 | payload[i];
  return static_cast<int64_t>(t);
}

// Records the latency of every handled message into preallocated storage.
class LatencySink {
 public:
  void reset(size_t capacity) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_ns.clear();
    m_ns.reserve(capacity);
    m_count = 0;
  }
  void record(int64_t sentNs) {
    const int64_t now = nowNs();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_ns.size() < m_ns.capacity()) m_ns.push_back(now - sentNs);
    ++m_count;
    if (m_waitFor && m_count >= m_waitFor) m_changed.notify_all();
  }
  bool waitFor(uint64_t count, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_waitFor = count;
    const bool ok = m_changed.wait_for(lock, limit, [&] { return m_count >= count; });
    m_waitFor = 0;
    return ok;
  }
  uint64_t count() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_count;
  }
  std::vector<int64_t> take() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_ns;
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::vector<int64_t> m_ns;
  uint64_t m_count = 0;
  uint64_t m_waitFor = 0;
};

class TimingDevice : public zelto::test::NullLinkDevice {
 public:
  explicit TimingDevice(LatencySink* sink) : m_sink(sink) {}
  void handleMessage(const ZtMessage& message) override {
    if (ZtMessage_getMessageId(&message) != 0x36) return;
    m_sink->record(stampOf(ZtMessage_getDataBuffer(&message, 0)));
  }

 private:
  LatencySink* m_sink;
};

// The references: one plain thread per descriptor, poll + read (up to 8192 bytes), frames cut
// in place; a stop eventfd ends it. With hand-off the reader only reads: each read is appended
// under a mutex to bytes that a second thread, woken through a condition, takes and cuts (the
// least a reader that leaves the handling to another thread costs).
class PlainReader {
 public:
  PlainReader(int fd, LatencySink* sink, bool handOff = false)
      : m_fd(fd), m_sink(sink), m_stop(eventfd(0, EFD_CLOEXEC)), m_handOff(handOff) {
    m_pending.reserve(1 << 16);
    if (m_handOff) m_worker = std::thread([this] { work(); });
    m_thread = std::thread([this] { run(); });
  }
  ~PlainReader() {
    const uint64_t one = 1;
    ssize_t ignored = ::write(m_stop, &one, sizeof one);
    (void)ignored;
    m_thread.join();
    if (m_handOff) {
      {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_done = true;
      }
      m_ready.notify_one();
      m_worker.join();
    }
    ::close(m_stop);
  }

 private:
  // Cuts the whole frames at the front of buffer[0, have), records them, keeps the rest.
  void cut(std::vector<uint8_t>& buffer, size_t& have) {
    size_t at = 0;
    while (have - at >= 4) {
      if (buffer[at] != 0xFA) {
        ++at;
        continue;
      }
      const size_t size = 5 + buffer[at + 3];
      if (have - at < size) break;
      m_sink->record(stampOf(&buffer[at + 4]));
      at += size;
    }
    std::memmove(buffer.data(), buffer.data() + at, have - at);
    have -= at;
  }
  void run() {
    std::vector<uint8_t> buffer(16384);
    size_t have = 0;
    for (;;) {
      pollfd fds[2] = {{m_fd, POLLIN, 0}, {m_stop, POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) continue;
      if (fds[1].revents) return;
      const ssize_t n = ::read(m_fd, buffer.data() + have, 8192);
      if (n <= 0) continue;
      if (!m_handOff) {
        have += static_cast<size_t>(n);
        cut(buffer, have);
        continue;
      }
      {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_pending.size() + static_cast<size_t>(n) <= m_pending.capacity())
          m_pending.insert(m_pending.end(), buffer.data(), buffer.data() + n);
      }
      m_ready.notify_one();
    }
  }
  void work() {
    std::vector<uint8_t> buffer(1 << 17);
    size_t have = 0;
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
      m_ready.wait(lock, [&] { return !m_pending.empty() || m_done; });
      if (m_pending.empty()) return;
      const size_t n = std::min(m_pending.size(), buffer.size() - have);
      std::memcpy(buffer.data() + have, m_pending.data(), n);
      m_pending.erase(m_pending.begin(), m_pending.begin() + static_cast<std::ptrdiff_t>(n));
      lock.unlock();
      have += n;
      cut(buffer, have);
      lock.lock();
    }
  }

  int m_fd;
  LatencySink* m_sink;
  int m_stop;
  bool m_handOff;
  std::mutex m_mutex;
  std::condition_variable m_ready;
  std::vector<uint8_t> m_pending;  // read, not yet taken by the worker
  bool m_done = false;
  std::thread m_worker;
  std::thread m_thread;
};

// One link reading a pty with a timing master device.
struct LinkUnderTest {
  LatencySink* sink;
  Communicator link;
  TimingDevice device;
  explicit LinkUnderTest(const PtyPort& pty, LatencySink* s) : sink(s), device(s) {
    ZtString name;
    ZtString_construct(&name, pty.slavePath().c_str());
    link.openPort(name, B921600, static_cast<OpenPortStage>(OPS_OpenPort | OPS_StartThread));
    ZtString_destruct(&name);
    link.setMasterDevice(&device);
  }
  ~LinkUnderTest() {
    link.closePort();
    link.setMasterDevice(nullptr);
  }
};

// Writes one stamped frame to each master every pace (absolute schedule) until count rounds.
void paceWrites(const std::vector<int>& masters, std::chrono::microseconds pace, size_t rounds) {
  uint8_t frame[kFrameSize];
  timespec next{};
  clock_gettime(CLOCK_MONOTONIC, &next);
  const long step = static_cast<long>(pace.count()) * 1000;
  for (size_t r = 0; r < rounds; ++r) {
    next.tv_nsec += step;
    while (next.tv_nsec >= 1000000000) {
      next.tv_nsec -= 1000000000;
      ++next.tv_sec;
    }
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
    for (int fd : masters) {
      stampFrame(frame, static_cast<uint32_t>(r));
      size_t off = 0;
      while (off < kFrameSize) {
        const ssize_t n = ::write(fd, frame + off, kFrameSize - off);
        if (n > 0) {
          off += static_cast<size_t>(n);
        } else {
          pollfd p{fd, POLLOUT, 0};
          ::poll(&p, 1, 10);
        }
      }
    }
  }
}

void reportPercentiles(benchmark::State& state, std::vector<int64_t> ns) {
  if (ns.empty()) return;
  std::sort(ns.begin(), ns.end());
  state.counters["p50_us"] = static_cast<double>(ns[ns.size() / 2]) / 1000.0;
  state.counters["p99_us"] = static_cast<double>(ns[std::min(ns.size() - 1, ns.size() * 99 / 100)]) / 1000.0;
  state.counters["samples"] = static_cast<double>(ns.size());
}

void BM_Latency(benchmark::State& state) {
  const auto pace = std::chrono::microseconds(state.range(0));
  const bool reference = state.range(1) != 0;
  const bool handOff = state.range(1) == 2;
  const size_t samples = std::min<size_t>(kSamples, static_cast<size_t>(20000000 / pace.count()));
  for (auto _ : state) {
    PtyPort pty;
    LatencySink sink;
    std::unique_ptr<LinkUnderTest> link;
    std::unique_ptr<PlainReader> plain;
    if (reference)
      plain = std::make_unique<PlainReader>(pty.slaveFd(), &sink, handOff);
    else
      link = std::make_unique<LinkUnderTest>(pty, &sink);
    // Warm-up, then the measured samples.
    sink.reset(0);
    paceWrites({pty.masterFd()}, pace, 200);
    sink.waitFor(200, std::chrono::milliseconds(2000));
    sink.reset(samples);
    gAllocations = 0;
    gCountAllocations = true;
    paceWrites({pty.masterFd()}, pace, samples);
    const bool all = sink.waitFor(samples, std::chrono::milliseconds(5000));
    gCountAllocations = false;
    if (!all) state.SkipWithError("messages not handled");
    state.counters["allocs_per_msg"] = static_cast<double>(gAllocations.load()) / static_cast<double>(samples);
    reportPercentiles(state, sink.take());
  }
}
BENCHMARK(BM_Latency)
    ->ArgsProduct({{250, 500, 1000, 2000, 5000, 10000}, {0, 1, 2}})
    ->ArgNames({"pace_us", "ref"})
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

int64_t medianOf(std::vector<int64_t> v) {
  if (v.empty()) return 0;
  std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2), v.end());
  return v[v.size() / 2];
}

void BM_LatencyPaired(benchmark::State& state) {
  const auto pace = std::chrono::microseconds(state.range(0));
  constexpr size_t kRounds = 6;
  const size_t perRound = std::max<size_t>(100, std::min<size_t>(kSamples, static_cast<size_t>(4000000 / pace.count())));
  for (auto _ : state) {
    // All three set up for the whole run; only the one written to is not idle.
    PtyPort linkPty, refPty, handOffPty;
    LatencySink sinks[3];
    LinkUnderTest link(linkPty, &sinks[0]);
    PlainReader plain(refPty.slaveFd(), &sinks[1], false);
    PlainReader handOff(handOffPty.slaveFd(), &sinks[2], true);
    const int masters[3] = {linkPty.masterFd(), refPty.masterFd(), handOffPty.masterFd()};
    std::vector<int64_t> all[3];
    std::vector<double> roundRatios;
    bool complete = true;
    for (size_t round = 0; round < kRounds && complete; ++round) {
      int64_t p50[3] = {0, 0, 0};
      for (int v = 0; v < 3 && complete; ++v) {
        sinks[v].reset(0);
        paceWrites({masters[v]}, pace, 20);  // the stream's first messages after the idle rounds
        complete = sinks[v].waitFor(20, std::chrono::milliseconds(2000));
        sinks[v].reset(perRound);
        paceWrites({masters[v]}, pace, perRound);
        complete = complete && sinks[v].waitFor(perRound, std::chrono::milliseconds(5000));
        const std::vector<int64_t> ns = sinks[v].take();
        p50[v] = medianOf(ns);
        all[v].insert(all[v].end(), ns.begin(), ns.end());
      }
      roundRatios.push_back(static_cast<double>(p50[0]) / static_cast<double>(std::max<int64_t>(1, p50[1])));
    }
    if (!complete) state.SkipWithError("messages not handled");
    const char* names[3] = {"link", "ref", "handoff"};
    double p50us[3] = {0, 0, 0};
    for (int v = 0; v < 3; ++v) {
      std::vector<int64_t>& ns = all[v];
      if (ns.empty()) continue;
      std::sort(ns.begin(), ns.end());
      p50us[v] = static_cast<double>(ns[ns.size() / 2]) / 1000.0;
      state.counters[std::string(names[v]) + "_p50_us"] = p50us[v];
      state.counters[std::string(names[v]) + "_p99_us"] =
          static_cast<double>(ns[std::min(ns.size() - 1, ns.size() * 99 / 100)]) / 1000.0;
    }
    state.counters["ratio_p50"] = p50us[0] / std::max(1e-9, p50us[1]);
    state.counters["ratio_handoff_p50"] = p50us[0] / std::max(1e-9, p50us[2]);
    std::sort(roundRatios.begin(), roundRatios.end());
    if (!roundRatios.empty()) {
      state.counters["ratio_p50_min"] = roundRatios.front();
      state.counters["ratio_p50_median"] = roundRatios[roundRatios.size() / 2];
      state.counters["ratio_p50_max"] = roundRatios.back();
    }
    state.counters["samples"] = static_cast<double>(all[0].size());
  }
}
BENCHMARK(BM_LatencyPaired)
    ->Arg(1000)
    ->Arg(10000)
    ->ArgName("pace_us")
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

void BM_RequestReply(benchmark::State& state) {
  const bool reference = state.range(0) != 0;
  constexpr int kExchanges = 3000;
  for (auto _ : state) {
    PtyPort pty;
    DeviceEmulator emu(std::make_unique<FdEmulatorLink>(dup(pty.masterFd())));
    emu.setDeviceId(0x00345678);
    emu.start();
    std::vector<int64_t> ns;
    ns.reserve(kExchanges);
    if (reference) {
      const uint8_t request[5] = {0xFA, 0xFF, 0x00, 0x00, 0x01};
      const int fd = pty.slaveFd();
      uint8_t reply[64];
      for (int i = 0; i < kExchanges; ++i) {
        const int64_t t0 = nowNs();
        if (::write(fd, request, sizeof request) != static_cast<ssize_t>(sizeof request)) break;
        size_t have = 0;
        while (have < 9) {  // FA FF 01 04 <id: 4> <checksum>
          pollfd p{fd, POLLIN, 0};
          if (::poll(&p, 1, 1000) <= 0) break;
          const ssize_t n = ::read(fd, reply + have, sizeof reply - have);
          if (n > 0) have += static_cast<size_t>(n);
        }
        ns.push_back(nowNs() - t0);
      }
    } else {
      Communicator link;
      ZtString name;
      ZtString_construct(&name, pty.slavePath().c_str());
      link.openPort(name, B921600, static_cast<OpenPortStage>(OPS_OpenPort | OPS_StartThread));
      ZtString_destruct(&name);
      for (int i = 0; i < kExchanges; ++i) {
        const int64_t t0 = nowNs();
        if (link.getDeviceId() != ZRV_OK) {
          state.SkipWithError("no device id");
          break;
        }
        ns.push_back(nowNs() - t0);
      }
      link.closePort();
    }
    emu.stop();
    reportPercentiles(state, std::move(ns));
  }
}
BENCHMARK(BM_RequestReply)->Arg(0)->Arg(1)->ArgName("ref")->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_Throughput(benchmark::State& state) {
  PtyPort pty;
  LatencySink sink;
  LinkUnderTest rig(pty, &sink);
  sink.reset(0);
  constexpr size_t kBatch = 200;
  uint64_t sent = 0;
  std::vector<uint8_t> batch(kBatch * kFrameSize);
  for (auto _ : state) {
    for (size_t i = 0; i < kBatch; ++i) stampFrame(&batch[i * kFrameSize], static_cast<uint32_t>(sent + i));
    pty.send(batch);
    sent += kBatch;
    // One batch stays in flight while the next is written.
    if (!sink.waitFor(sent - kBatch, std::chrono::milliseconds(5000))) {
      state.SkipWithError("messages not handled");
      break;
    }
  }
  sink.waitFor(sent, std::chrono::milliseconds(5000));
  state.counters["msgs/s"] = benchmark::Counter(static_cast<double>(sent), benchmark::Counter::kIsRate);
  state.counters["lost"] = static_cast<double>(sent - sink.count());
}
BENCHMARK(BM_Throughput)->Iterations(2000)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_IdlePorts(benchmark::State& state) {
  const bool reference = state.range(0) != 0;
  constexpr int kPorts = 4;
  for (auto _ : state) {
    std::vector<std::unique_ptr<PtyPort>> ptys;
    LatencySink sink;
    for (int i = 0; i < kPorts; ++i) ptys.push_back(std::make_unique<PtyPort>());
    std::vector<std::unique_ptr<LinkUnderTest>> links;
    std::vector<std::unique_ptr<PlainReader>> plain;
    for (auto& p : ptys) {
      if (reference)
        plain.push_back(std::make_unique<PlainReader>(p->slaveFd(), &sink));
      else
        links.push_back(std::make_unique<LinkUnderTest>(*p, &sink));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto s0 = benchstats::othersSample();
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const auto s1 = benchstats::othersSample();
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    state.counters["cpu_ms_per_s_all"] = (s1.cpuNs - s0.cpuNs) / 1e6 / seconds;
    state.counters["wakeups_per_s_per_port"] = (s1.voluntary - s0.voluntary) / seconds / kPorts;
  }
}
BENCHMARK(BM_IdlePorts)->Arg(0)->Arg(1)->ArgName("ref")->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_Soak(benchmark::State& state) {
  const int ports = static_cast<int>(state.range(0));
  const bool reference = state.range(1) != 0;
  const bool handOff = state.range(1) == 2;
  const auto kPace = std::chrono::microseconds(state.range(2));
  const size_t kRounds = static_cast<size_t>(3000000 / kPace.count());  // 3 s
  for (auto _ : state) {
    std::vector<std::unique_ptr<PtyPort>> ptys;
    LatencySink sink;
    sink.reset(0);
    for (int i = 0; i < ports; ++i) ptys.push_back(std::make_unique<PtyPort>());
    std::vector<std::unique_ptr<LinkUnderTest>> links;
    std::vector<std::unique_ptr<PlainReader>> plain;
    std::vector<int> masters;
    for (auto& p : ptys) {
      masters.push_back(p->masterFd());
      if (reference)
        plain.push_back(std::make_unique<PlainReader>(p->slaveFd(), &sink, handOff));
      else
        links.push_back(std::make_unique<LinkUnderTest>(*p, &sink));
    }
    paceWrites(masters, kPace, 200);
    sink.waitFor(200u * static_cast<unsigned>(ports), std::chrono::milliseconds(3000));
    const uint64_t handled0 = sink.count();
    const auto s0 = benchstats::othersSample();
    paceWrites(masters, kPace, kRounds);
    sink.waitFor(handled0 + kRounds * static_cast<unsigned>(ports), std::chrono::milliseconds(3000));
    const auto s1 = benchstats::othersSample();
    const uint64_t handled = sink.count() - handled0;
    state.counters["cpu_us_per_msg"] = (s1.cpuNs - s0.cpuNs) / 1e3 / static_cast<double>(handled);
    state.counters["wakeups_per_msg"] = (s1.voluntary - s0.voluntary) / static_cast<double>(handled);
    state.counters["lost"] = static_cast<double>(kRounds * static_cast<unsigned>(ports)) - static_cast<double>(handled);
  }
}
BENCHMARK(BM_Soak)
    ->ArgsProduct({{1, 32}, {0, 1, 2}, {500, 10000}})
    ->ArgNames({"ports", "ref", "pace_us"})
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
