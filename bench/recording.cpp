// Log-file recording and playback by the device.
//   BM_Burst/0           reference: the emulator's bursts through the packet path of a measuring
//                        master that does not record (packets per second, allocations per packet:
//                        allocs/pkt of every thread, the emulator's encoding on the sending thread
//                        included; lib allocs/pkt of every other thread, i.e. the library's reader,
//                        parsing, processing, caches and log writes)
//   BM_Burst/1           the same while recording into a log file; afterwards the file is checked
//                        for every data frame the emulator sent while recording ("missing")
//   BM_PlainWrite        reference: the same frames written one by one with fwrite (plain code)
//   BM_LoadLogFile       loadLogFile of a 100 MB recording into a master made on the file:
//                        packets per second, and the resident memory the fast-index ready cache
//                        holds per packet (RSS after the load minus before, per packet)
//   BM_ReadLogFile       reference: the same file read by the link alone into a device that only
//                        counts messages
// Iteration times are reported as medians over the repetitions; p50/p90 per burst come from the
// per-iteration samples.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/AllocationCounter.h"
#include "support/LogFileBuilder.h"
#include "support/NullLinkDevice.h"
#include "support/PtyPort.h"
#include "support/TempDir.h"
#include "support/TestDevice.h"
#include "support/emulator/DeviceEmulator.h"
#include "transport/link/Communicator.h"

namespace {

using zelto::test::DeviceEmulator;
using zelto::test::EmuFrame;
using zelto::test::EmuFrameDecoder;
using zelto::test::FdEmulatorLink;
using zelto::test::LogFileBuilder;
using zelto::test::PtyPort;
using zelto::test::TempDir;
using zelto::test::TestDevice;
using Clock = std::chrono::steady_clock;

constexpr ZtDeviceId kId = 0x00345678;
constexpr size_t kBurst = 20000;

struct Text {
  ZtString s;
  explicit Text(const std::string& text) { ZtString_construct(&s, text.c_str()); }
  ~Text() { ZtString_destruct(&s); }
};

// Wakes the benchmark thread once a number of packets (or the final progress) has arrived.
class Waiter : public ZtCallback {
 public:
  void onDataAvailable(ZtDevice*, const ZtDataPacket*) override {
    if (delivered.fetch_add(1, std::memory_order_acq_rel) + 1 == target.load(std::memory_order_acquire)) notify();
  }
  void onProgressUpdated(ZtDevice*, int current, int, const ZtString*) override {
    if (current == 100) {
      finished = true;
      notify();
    }
  }
  bool waitDelivered(uint64_t n) {
    target = n;
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cv.wait_for(lock, std::chrono::seconds(30), [&] { return delivered.load() >= n; });
  }
  bool waitFinished() {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cv.wait_for(lock, std::chrono::seconds(120), [&] { return finished.load(); });
  }
  std::atomic<uint64_t> delivered{0};
  std::atomic<uint64_t> target{~uint64_t(0)};
  std::atomic<bool> finished{false};

 private:
  void notify() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_cv.notify_all();
  }
  std::mutex m_mutex;
  std::condition_variable m_cv;
};

size_t residentBytes() {
  std::ifstream statm("/proc/self/statm");
  size_t total = 0, resident = 0;
  statm >> total >> resident;
  return resident * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

double percentile(std::vector<double> v, int p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, v.size() * static_cast<size_t>(p) / 100)];
}

// ---- Recording at the burst rate -----------------------------------------------------------------

void BM_Burst(benchmark::State& state) {
  const bool record = state.range(0) != 0;
  TempDir dir;
  PtyPort pty;
  DeviceEmulator emu(std::make_unique<FdEmulatorLink>(dup(pty.masterFd())));
  emu.setDeviceId(kId);
  emu.setDataRate(1);
  emu.start();
  auto* link = new Communicator();
  link->setGotoConfigTimeout(1000);
  {
    Text port(pty.slavePath());
    if (!link->openPort(port.s, B921600)) state.SkipWithError("open failed");
  }
  link->setGotoConfigTimeout(0);
  auto* device = new TestDevice(link);
  device->setSupportedRates({2000});
  device->createDataCache();
  Waiter waiter;
  device->addCallbackHandler(&waiter, false);
  device->addRef();
  device->gotoMeasurement();
  emu.setMeasuring(false);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  waiter.waitDelivered(emu.dataMessagesSent());
  device->finishLastProcessingTask();

  const std::string path = dir.file("burst.zlog");
  uint32_t firstCounter = 0;
  if (record) {
    Text name(path);
    if (device->createLogFile(name.s) != ZRV_OK || !device->startRecording()) state.SkipWithError("no recording");
    firstCounter = emu.dataMessagesSent();
  }
  uint64_t packets = 0, allocations = 0, libraryAllocations = 0;
  std::vector<double> rates;
  for (auto _ : state) {
    const uint64_t target = waiter.delivered.load() + kBurst;
    AllocationCounter counter;
    const auto start = Clock::now();
    emu.sendDataBurst(kBurst);
    if (!waiter.waitDelivered(target)) {
      state.SkipWithError("packets lost");
      break;
    }
    device->finishLastProcessingTask();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const uint64_t all = counter.countAllThreads();
    allocations += all;
    libraryAllocations += all - counter.count();  // the sending thread's own aside
    state.SetIterationTime(seconds);
    rates.push_back(kBurst / seconds);
    packets += kBurst;
  }
  if (record) {
    device->stopRecording();
    device->closeLogFile();
    std::ifstream in(path, std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EmuFrameDecoder decoder;
    decoder.feed(bytes.data(), bytes.size());
    uint64_t inFile = 0, outOfOrder = 0;
    uint32_t next = firstCounter;
    while (auto f = decoder.next()) {
      if (f->messageId != DeviceEmulator::Data) continue;
      if (f->payload != emu.defaultDataPayload(static_cast<uint16_t>(next))) ++outOfOrder;
      ++next;
      ++inFile;
    }
    state.counters["missing"] = static_cast<double>(packets - inFile);
    state.counters["misplaced"] = static_cast<double>(outOfOrder);
    state.counters["fileMB"] = static_cast<double>(bytes.size()) / 1e6;
  }
  device->removeRef();
  emu.stop();
  state.counters["pkt/s"] = benchmark::Counter(static_cast<double>(packets), benchmark::Counter::kIsRate);
  state.counters["p50 pkt/s"] = percentile(rates, 50);
  state.counters["p10 pkt/s"] = percentile(rates, 10);
  state.counters["allocs/pkt"] = packets ? static_cast<double>(allocations) / static_cast<double>(packets) : 0;
  state.counters["lib allocs/pkt"] =
      packets ? static_cast<double>(libraryAllocations) / static_cast<double>(packets) : 0;
}
BENCHMARK(BM_Burst)
    ->Arg(0)
    ->Arg(1)
    ->Iterations(30)
    ->Repetitions(3)
    ->UseManualTime()
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond);

void BM_PlainWrite(benchmark::State& state) {
  TempDir dir;
  const std::string path = dir.file("plain.bin");
  std::vector<std::vector<uint8_t>> frames;
  for (size_t i = 0; i < kBurst; ++i) {
    EmuFrame f;
    f.messageId = DeviceEmulator::Data;
    f.payload = {0x10, 0x20, 2, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)};
    frames.push_back(f.encode());
  }
  std::FILE* file = std::fopen(path.c_str(), "wb");
  uint64_t packets = 0;
  for (auto _ : state) {
    for (const auto& f : frames) std::fwrite(f.data(), 1, f.size(), file);
    packets += kBurst;
  }
  std::fclose(file);
  state.counters["pkt/s"] = benchmark::Counter(static_cast<double>(packets), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_PlainWrite)->Iterations(30)->Repetitions(3)->ReportAggregatesOnly(true)->Unit(benchmark::kMillisecond);

// ---- Loading a 100 MB recording ------------------------------------------------------------------

struct Recording {
  std::string path;
  size_t bytes = 0;
  size_t packets = 0;
};

const Recording& recording() {
  static TempDir dir;
  static Recording r;
  if (!r.path.empty()) return r;
  r.path = dir.file("recording.zlog");
  LogFileBuilder b;
  b.configuration(kId, {kId});
  uint16_t counter = 0;
  while (r.bytes < (100u << 20)) {
    for (int i = 0; i < 4096; ++i) b.data(counter++, 30);
    r.bytes += b.bytes().size();
    b.appendTo(r.path);
  }
  r.packets = b.frameCount() - 1;
  return r;
}

void BM_LoadLogFile(benchmark::State& state) {
  const Recording& file = recording();
  uint64_t packets = 0;
  double perPacket = 0;
  for (auto _ : state) {
    malloc_trim(0);
    const size_t before = residentBytes();
    auto* link = new Communicator();
    Text name(file.path);
    if (!link->openLogFile(name.s)) {
      delete link;
      state.SkipWithError("open failed");
      break;
    }
    auto* device = new TestDevice(link);
    device->setSupportedRates({100});
    device->createDataCache();
    Waiter waiter;
    device->addCallbackHandler(&waiter, true);
    device->addRef();
    device->loadLogFile();
    const bool finished = waiter.waitFinished();
    state.PauseTiming();
    const size_t after = residentBytes();
    const size_t held = device->queueLength();
    if (!finished || waiter.delivered.load() != file.packets || held != file.packets) {
      state.SkipWithError("short load");
      device->removeRef();
      break;
    }
    perPacket = static_cast<double>(after - before) / static_cast<double>(held);
    packets += waiter.delivered.load();
    device->removeRef();
    state.ResumeTiming();
  }
  state.counters["pkt/s"] = benchmark::Counter(static_cast<double>(packets), benchmark::Counter::kIsRate);
  state.counters["RSS B/pkt"] = perPacket;
  state.counters["packets"] = static_cast<double>(file.packets);
}
BENCHMARK(BM_LoadLogFile)->Iterations(1)->Repetitions(3)->UseRealTime()->Unit(benchmark::kMillisecond);

class CountingDevice : public zelto::test::NullLinkDevice {
 public:
  void handleMessage(const ZtMessage&) override { ++handled; }
  uint64_t handled = 0;
};

void BM_ReadLogFile(benchmark::State& state) {
  const Recording& file = recording();
  uint64_t packets = 0;
  for (auto _ : state) {
    Communicator link;
    CountingDevice device;
    Text name(file.path);
    if (!link.openLogFile(name.s)) {
      state.SkipWithError("open failed");
      break;
    }
    link.setMasterDevice(&device);
    link.readLogFile(nullptr);
    link.setMasterDevice(nullptr);
    packets += device.handled - 1;
  }
  state.counters["pkt/s"] = benchmark::Counter(static_cast<double>(packets), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ReadLogFile)->Iterations(1)->Repetitions(3)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
