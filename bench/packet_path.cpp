// The whole packet path: emulator on a pseudo-terminal -> link reader -> parse task -> device
// (missed-packet check, stamping, processing task) -> caches -> onDataAvailable.
//   BM_PtyWakeup          reference: a plain write on the pty master and a blocking poll+read of
//                         the slave on another thread (what the kernel alone costs), paced as
//                         below, 10 000 samples. The writer is the same as BM_Latency's: this
//                         thread stamps and encodes a frame, writes it on the master, spins until
//                         the far end has it (bounded), then sleeps the pace
//   BM_Latency            one device, paced (interval in µs as argument), 10 000 samples: per
//                         stage, p50 and p99 in µs, from the emulator's write (stamp in the
//                         payload) to
//                           read  the link's reader thread has read the bytes (pty wake-up and
//                                 reader wait; taken by a read() wrapper in this program)
//                           cut   the parse task has cut the message (hand-over to the pool, the
//                                 parse task's wake-up, cutting)
//                           hand  the device's handleMessage begins
//                           proc  the device's processing task begins (check, stamp, queueing,
//                                 the processing task's start)
//                           app   onDataAvailable (caches, event)
//                         and the heap allocations per packet on the library's threads
//   BM_PtyThroughput      reference: bytes of the same bursts read by a plain reader, as
//                         messages per second
//   BM_Throughput/n       n devices, each emulator bursting; packets per second delivered to
//                         onDataAvailable in total, lost (sent - delivered) and missed reports
//   BM_Allocations/n      heap allocations per packet in steady state, bursts of n packets: the
//                         whole path (all threads but the emulator's), and the device part alone
//                         (handleMessage on the calling thread, then the processing task)
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/AllocationCounter.h"
#include "support/PtyPort.h"
#include "support/TestDevice.h"
#include "support/ZtValues.h"
#include "support/emulator/DeviceEmulator.h"
#include "transport/link/Communicator.h"

namespace {

using zelto::test::DeviceEmulator;
using zelto::test::EmuFrame;
using zelto::test::FdEmulatorLink;
using zelto::test::PtyPort;
using zelto::test::TestDevice;
using Clock = std::chrono::steady_clock;

int64_t nowNs() { return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count(); }

// The descriptor the link reads its port through, and when a read of it last returned bytes.
std::atomic<int> gWatchedFd{-1};
std::atomic<int64_t> gLastReadNs{0};

}  // namespace

// Wraps read() for the whole program (the link's serial port reads through it) to time the
// reader stage; every call goes straight to the system call.
extern "C" ssize_t read(int fd, void* buffer, size_t size) {
  const ssize_t n = syscall(SYS_read, fd, buffer, size);
  if (n > 0 && fd == gWatchedFd.load(std::memory_order_relaxed)) gLastReadNs.store(nowNs(), std::memory_order_relaxed);
  return n;
}

namespace {

// The descriptor of path opened by the library: the one that is not the fixture's own.
int findPortFd(const std::string& path, int exclude) {
  DIR* dir = opendir("/proc/self/fd");
  if (!dir) return -1;
  int found = -1;
  while (dirent* e = readdir(dir)) {
    const int fd = std::atoi(e->d_name);
    if (e->d_name[0] == '.' || fd == exclude) continue;
    char target[256];
    const ssize_t n = readlink((std::string("/proc/self/fd/") + e->d_name).c_str(), target, sizeof target - 1);
    if (n <= 0) continue;
    target[n] = 0;
    if (path == target) found = fd;
  }
  closedir(dir);
  return found;
}

// Data payload: the 16-bit counter item, then an item the library does not interpret holding the
// send time (ns, big-endian) at payload offset 8, then filler up to 40-byte frames.
std::vector<uint8_t> stampedPayload(uint16_t counter) {
  std::vector<uint8_t> p = {0x10, 0x20, 2, static_cast<uint8_t>(counter >> 8), static_cast<uint8_t>(counter), 0x7F, 0xF0, 8};
  const uint64_t t = static_cast<uint64_t>(nowNs());
  for (int i = 0; i < 8; ++i) p.push_back(static_cast<uint8_t>(t >> (56 - 8 * i)));
  p.resize(35, 0);
  return p;
}

int64_t sentNs(const ZtMessage& m) { return static_cast<int64_t>(ZtMessage_getDataLongLong(&m, 8)); }

// A device that notes when each stage of its packets begins.
class StagedDevice : public TestDevice {
 public:
  enum Stage { Read, Cut, Hand, Proc, App, kStages };
  explicit StagedDevice(Communicator* link) : TestDevice(link) {}
  void messageReceivedFromDevice(const ZtMessage& m) override {
    if (ZtMessage_getMessageId(&m) != 0x36) return;
    const int64_t sent = sentNs(m);
    if (m_recording) m_stageNs[Read].push_back(gLastReadNs.load(std::memory_order_relaxed) - sent);
    note(Cut, sent);
  }
  void handleMessage(const ZtMessage& m) override {
    if (ZtMessage_getMessageId(&m) == 0x36) note(Hand, sentNs(m));
    TestDevice::handleMessage(m);
  }
  void doProcessing(ZtDataPacket& packet) override {
    note(Proc, sentNs(packet.message));
    TestDevice::doProcessing(packet);
  }
  void note(Stage s, int64_t sent) {
    if (m_recording) m_stageNs[s].push_back(nowNs() - sent);
  }
  void startRecording(size_t n) {
    for (auto& v : m_stageNs) {
      v.clear();
      v.reserve(n);
    }
    m_recording = true;
  }
  std::vector<int64_t> m_stageNs[kStages];
  std::atomic<bool> m_recording{false};
};

// Counts deliveries and missed-packet reports; optionally notes the app stage.
class Counter : public ZtCallback {
 public:
  void onDataAvailable(ZtDevice*, const ZtDataPacket* packet) override {
    if (staged) staged->note(StagedDevice::App, sentNs(packet->message));
    delivered.fetch_add(1, std::memory_order_release);
  }
  void onMissedPackets(ZtDevice*, int, int, int) override { missed.fetch_add(1); }
  // The latency writer's wait, as the reference's: spinning, so both keep their processor awake.
  bool spinFor(uint64_t n, std::chrono::milliseconds timeout) const {
    const auto until = Clock::now() + timeout;
    while (delivered.load(std::memory_order_acquire) < n)
      if (Clock::now() > until) return false;
    return true;
  }
  bool waitFor(uint64_t n, std::chrono::milliseconds timeout) const {
    const auto until = Clock::now() + timeout;
    while (delivered.load(std::memory_order_acquire) < n) {
      if (Clock::now() > until) return false;
      std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    return true;
  }
  std::atomic<uint64_t> delivered{0};
  std::atomic<uint64_t> missed{0};
  StagedDevice* staged = nullptr;
};

struct Rig {
  PtyPort pty;
  DeviceEmulator emu{std::make_unique<FdEmulatorLink>(dup(pty.masterFd()))};
  Communicator* link = new Communicator();
  StagedDevice* device = nullptr;
  Counter counter;

  Rig() {
    emu.setDeviceId(0x00345678);
    emu.setDataPayload(stampedPayload);
    emu.start();
    ZtString name;
    ZtString_construct(&name, pty.slavePath().c_str());
    link->openPort(name, B921600, OPS_OpenPort | OPS_StartThread);
    ZtString_destruct(&name);
    device = new StagedDevice(link);
    device->setDeviceId(0x00345678);
    device->setSupportedRates({2000});
    device->createDataCache();
    device->addCallbackHandler(&counter, false);
    device->addRef();
  }
  ~Rig() {
    device->removeRef();
    emu.stop();
  }
};

// The writer of both latency figures: a frame stamped now, encoded and written on the master by
// this thread.
void sendStamped(PtyPort& pty, uint16_t counter) { pty.send(EmuFrame{0xFF, 0x36, stampedPayload(counter)}.encode()); }

double percentileUs(std::vector<int64_t> v, int p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return static_cast<double>(v[std::min(v.size() - 1, v.size() * static_cast<size_t>(p) / 100)]) / 1000.0;
}

// ---- Latency ----------------------------------------------------------------------------------

void BM_PtyWakeup(benchmark::State& state) {
  PtyPort pty;
  int slave = ::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY);
  termios t;
  tcgetattr(slave, &t);
  cfmakeraw(&t);
  tcsetattr(slave, TCSANOW, &t);
  std::atomic<int64_t> readAt{0};  // latency of the last frame read (ns)
  std::atomic<uint64_t> frames{0};
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    uint8_t buffer[256];
    while (!stop.load()) {
      pollfd p{slave, POLLIN, 0};
      // A frame of 40 bytes arrives whole: its stamp is at payload offset 8 (frame offset 12).
      if (::poll(&p, 1, 20) > 0 && ::read(slave, buffer, sizeof buffer) >= 20) {
        int64_t stamp = 0;
        for (int i = 0; i < 8; ++i) stamp = stamp << 8 | buffer[12 + i];
        readAt.store(nowNs() - stamp);
        frames.fetch_add(1, std::memory_order_release);
      }
    }
  });
  std::vector<int64_t> lat;
  lat.reserve(static_cast<size_t>(state.max_iterations));
  const auto interval = std::chrono::microseconds(state.range(0));
  uint64_t sent = 0;
  for (auto _ : state) {
    sendStamped(pty, static_cast<uint16_t>(sent));
    ++sent;
    const auto until = Clock::now() + std::chrono::seconds(2);
    while (frames.load(std::memory_order_acquire) < sent && Clock::now() < until) {
    }
    if (frames.load() < sent) {
      state.SkipWithError("frame not read");
      break;
    }
    lat.push_back(readAt.load());
    state.PauseTiming();
    std::this_thread::sleep_for(interval);
    state.ResumeTiming();
  }
  stop = true;
  reader.join();
  ::close(slave);
  state.counters["p50_us"] = percentileUs(lat, 50);
  state.counters["p99_us"] = percentileUs(lat, 99);
}
constexpr int kLatencySamples = 10000;
BENCHMARK(BM_PtyWakeup)
    ->Arg(250)
    ->Arg(1000)
    ->Arg(5000)
    ->Iterations(kLatencySamples)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

void BM_Latency(benchmark::State& state) {
  Rig rig;
  gWatchedFd = findPortFd(rig.pty.slavePath(), rig.pty.slaveFd());
  if (gWatchedFd.load() < 0) {
    state.SkipWithError("port descriptor not found");
    return;
  }
  rig.counter.staged = rig.device;
  const auto interval = std::chrono::microseconds(state.range(0));
  // Warm-up: pool workers, scratch packets and cache nodes reach their steady sizes.
  for (uint16_t i = 0; i < 200; ++i) rig.emu.sendFrame(EmuFrame{0xFF, 0x36, stampedPayload(i)});
  rig.counter.waitFor(200, std::chrono::seconds(5));
  rig.device->startRecording(static_cast<size_t>(state.max_iterations));
  uint64_t sent = 200;
  // This thread encodes and sends the frames: only the other threads' allocations are the path's.
  AllocationCounter allocations;
  for (auto _ : state) {
    sendStamped(rig.pty, static_cast<uint16_t>(sent));
    ++sent;
    if (!rig.counter.spinFor(sent, std::chrono::seconds(2))) {
      state.SkipWithError("packet not delivered");
      break;
    }
    state.PauseTiming();
    std::this_thread::sleep_for(interval);
    state.ResumeTiming();
  }
  rig.device->m_recording = false;
  gWatchedFd = -1;
  const double pathAllocations = static_cast<double>(allocations.countAllThreads() - allocations.count());
  state.counters["allocs/pkt"] = pathAllocations / static_cast<double>(sent - 200);
  static const char* names[] = {"read", "cut", "hand", "proc", "app"};
  for (int s = 0; s < StagedDevice::kStages; ++s) {
    state.counters[std::string(names[s]) + "_p50_us"] = percentileUs(rig.device->m_stageNs[s], 50);
    state.counters[std::string(names[s]) + "_p99_us"] = percentileUs(rig.device->m_stageNs[s], 99);
  }
  state.counters["missed"] = static_cast<double>(rig.counter.missed.load());
}
BENCHMARK(BM_Latency)
    ->Arg(250)
    ->Arg(1000)
    ->Arg(5000)
    ->Iterations(kLatencySamples)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

// ---- Throughput -------------------------------------------------------------------------------

constexpr size_t kBurst = 20000;

void BM_PtyThroughput(benchmark::State& state) {
  PtyPort pty;
  int slave = ::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY);
  termios t;
  tcgetattr(slave, &t);
  cfmakeraw(&t);
  tcsetattr(slave, TCSANOW, &t);
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < kBurst; ++i) {
    const auto f = EmuFrame{0xFF, 0x36, stampedPayload(static_cast<uint16_t>(i))}.encode();
    bytes.insert(bytes.end(), f.begin(), f.end());
  }
  uint64_t frames = 0;
  for (auto _ : state) {
    std::thread writer([&] { pty.send(bytes); });
    size_t got = 0;
    uint8_t buffer[8192];
    while (got < bytes.size()) {
      pollfd p{slave, POLLIN, 0};
      if (::poll(&p, 1, 1000) <= 0) break;
      const ssize_t n = ::read(slave, buffer, sizeof buffer);
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    writer.join();
    frames += kBurst;
  }
  ::close(slave);
  state.counters["msgs/s"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_PtyThroughput)->Iterations(20)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_Throughput(benchmark::State& state) {
  const size_t n = static_cast<size_t>(state.range(0));
  std::vector<std::unique_ptr<Rig>> rigs;
  for (size_t i = 0; i < n; ++i) rigs.push_back(std::make_unique<Rig>());
  uint64_t sent = 0;
  for (auto _ : state) {
    std::vector<std::thread> bursts;
    for (auto& rig : rigs) bursts.emplace_back([&rig] { rig->emu.sendDataBurst(kBurst); });
    for (auto& t : bursts) t.join();
    sent += kBurst;
    for (auto& rig : rigs)
      if (!rig->counter.waitFor(sent, std::chrono::seconds(20))) {
        state.SkipWithError("packets not delivered");
        break;
      }
  }
  uint64_t delivered = 0, missed = 0;
  for (auto& rig : rigs) {
    delivered += rig->counter.delivered.load();
    missed += rig->counter.missed.load();
  }
  state.counters["pkts/s"] = benchmark::Counter(static_cast<double>(delivered), benchmark::Counter::kIsRate);
  state.counters["lost"] = static_cast<double>(sent * n - delivered);
  state.counters["missed"] = static_cast<double>(missed);
}
BENCHMARK(BM_Throughput)->Arg(1)->Arg(4)->Arg(16)->Iterations(5)->UseRealTime()->Unit(benchmark::kMillisecond);

// ---- Allocations ------------------------------------------------------------------------------

void BM_Allocations(benchmark::State& state) {
  // Bursts of this many packets: the larger one leaves a processing backlog of many thousand
  // tasks (beyond 4096), which the spare lists and the pool's record stash retain once seen. A
  // burst much larger overflows the link's parse backlog (4 MB sent faster than it is parsed).
  const size_t burst = static_cast<size_t>(state.range(0));
  Rig rig;
  // Warm-up: the parse output list, the spare lists and the pool's record table reach the sizes
  // the bursts need.
  uint64_t sent = 0;
  for (int i = 0; i < 5; ++i) {
    rig.emu.sendDataBurst(burst);
    sent += burst;
    rig.counter.waitFor(sent, std::chrono::seconds(10));
  }
  double wholePath = 0, handleThread = 0, processing = 0;
  // A device without a port: the parsing worker's call made here, the processing on the pool.
  TestDevice* direct = new TestDevice(new Communicator());
  direct->setSupportedRates({2000});
  direct->createDataCache();
  Counter directCounter;
  direct->addCallbackHandler(&directCounter, false);
  direct->addRef();
  std::vector<zelto::test::Message*> messages;
  for (uint16_t i = 0; i < 1000; ++i) messages.push_back(new zelto::test::Message(0x36, stampedPayload(i)));
  uint64_t directSent = 0;
  for (auto& m : messages) direct->handleMessage(m->m);  // warm-up
  directSent += messages.size();
  directCounter.waitFor(directSent, std::chrono::seconds(10));
  for (auto _ : state) {
    {
      AllocationCounter all;
      rig.emu.sendDataBurst(burst);
      sent += burst;
      rig.counter.waitFor(sent, std::chrono::seconds(10));
      // The emulator encodes the burst on this thread: only the other threads are the path's.
      wholePath += static_cast<double>(all.countAllThreads() - all.count());
    }
    {
      direct->finishLastProcessingTask();
      AllocationCounter mine;
      // Rounds of 1000, each processed before the next: a backlog of at most 1000 tasks.
      for (uint16_t round = 0; round < 20; ++round) {
        for (size_t i = 0; i < messages.size(); ++i) {
          ZtMessage_setDataShort(&messages[i]->m, static_cast<uint16_t>(directSent + i), 3);
          direct->handleMessage(messages[i]->m);
        }
        directSent += messages.size();
        directCounter.waitFor(directSent, std::chrono::seconds(10));
      }
      handleThread += static_cast<double>(mine.count());
      processing += static_cast<double>(mine.countAllThreads() - mine.count());
    }
  }
  const double packets = static_cast<double>(state.iterations()) * static_cast<double>(burst);
  const double directPackets = static_cast<double>(state.iterations()) * 20 * 1000;
  state.counters["path_allocs/pkt"] = wholePath / packets;
  state.counters["handle_allocs/pkt"] = handleThread / directPackets;
  state.counters["processing_allocs/pkt"] = processing / directPackets;
  state.counters["missed"] = static_cast<double>(rig.counter.missed.load() + directCounter.missed.load());
  direct->removeRef();
  for (auto* m : messages) delete m;
}
BENCHMARK(BM_Allocations)->Arg(2000)->Arg(20000)->Iterations(10)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
