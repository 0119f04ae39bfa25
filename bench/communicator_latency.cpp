// One link on a pseudo-terminal served by the device emulator.
//  - Latency: the emulator writes a data message stamped with the steady clock; the master's
//    handleMessage reads the clock. Messages are paced (interval in µs as the argument; 0 sends
//    the next one as soon as the previous one was handled). Counters p50_us and p99_us.
//  - Throughput: the emulator writes batches of 40-byte data messages as fast as the line takes
//    them; msgs/s and bytes/s one port sustains.
#include <benchmark/benchmark.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "support/NullLinkDevice.h"
#include "support/PtyPort.h"
#include "support/emulator/DeviceEmulator.h"
#include "transport/link/Communicator.h"

namespace {

using zelto::test::DeviceEmulator;
using zelto::test::EmuFrame;
using zelto::test::FdEmulatorLink;
using zelto::test::PtyPort;
using Clock = std::chrono::steady_clock;

int64_t nowNs() { return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count(); }

// Takes the stamp out of every handled data message.
class TimingDevice : public zelto::test::NullLinkDevice {
 public:
  void handleMessage(const ZtMessage& message) override {
    const int64_t now = nowNs();
    const int64_t sent = static_cast<int64_t>(ZtMessage_getDataLongLong(&message, 0));
    std::lock_guard<std::mutex> lock(m_mutex);
    m_latencyNs.push_back(now - sent);
    ++m_handled;
    m_changed.notify_all();
  }

  bool waitFor(uint64_t count, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_handled >= count; });
  }
  uint64_t handled() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_handled;
  }
  std::vector<int64_t> takeLatencies() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return std::move(m_latencyNs);
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::vector<int64_t> m_latencyNs;
  uint64_t m_handled = 0;
};

struct Rig {
  PtyPort pty;
  DeviceEmulator emu{std::make_unique<FdEmulatorLink>(dup(pty.masterFd()))};
  Communicator link;
  TimingDevice device;

  Rig() {
    emu.start();
    ZtString name;
    ZtString_construct(&name, pty.slavePath().c_str());
    link.openPort(name, B921600, OPS_OpenPort | OPS_StartThread);
    ZtString_destruct(&name);
    link.setMasterDevice(&device);
  }
  ~Rig() {
    link.closePort();
    link.setMasterDevice(nullptr);
    emu.stop();
  }
};

EmuFrame stamped(uint16_t counter, size_t payloadSize) {
  EmuFrame f{0xFF, 0x36, std::vector<uint8_t>(payloadSize, 0)};
  const uint64_t t = static_cast<uint64_t>(nowNs());
  for (int i = 0; i < 8; ++i) f.payload[static_cast<size_t>(i)] = static_cast<uint8_t>(t >> (56 - 8 * i));
  f.payload[8] = static_cast<uint8_t>(counter >> 8);
  f.payload[9] = static_cast<uint8_t>(counter);
  return f;
}

void BM_HandleLatency(benchmark::State& state) {
  Rig rig;
  const auto interval = std::chrono::microseconds(state.range(0));
  uint64_t sent = 0;
  for (auto _ : state) {
    const auto next = Clock::now() + interval;
    rig.emu.sendFrame(stamped(static_cast<uint16_t>(sent), 35));
    ++sent;
    if (!rig.device.waitFor(sent, std::chrono::milliseconds(2000))) {
      state.SkipWithError("message not handled");
      break;
    }
    state.PauseTiming();
    std::this_thread::sleep_until(next);
    state.ResumeTiming();
  }
  auto lat = rig.device.takeLatencies();
  if (!lat.empty()) {
    std::sort(lat.begin(), lat.end());
    state.counters["p50_us"] = static_cast<double>(lat[lat.size() / 2]) / 1000.0;
    state.counters["p99_us"] = static_cast<double>(lat[std::min(lat.size() - 1, lat.size() * 99 / 100)]) / 1000.0;
  }
}
BENCHMARK(BM_HandleLatency)->Arg(0)->Arg(5000)->Arg(10000)->Iterations(400)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_Throughput(benchmark::State& state) {
  Rig rig;
  constexpr size_t kBatch = 200;
  constexpr size_t kPayload = 35;  // 40-byte frames
  uint64_t sent = 0;
  std::vector<uint8_t> batch;
  for (auto _ : state) {
    batch.clear();
    for (size_t i = 0; i < kBatch; ++i) {
      const auto bytes = stamped(static_cast<uint16_t>(sent + i), kPayload).encode();
      batch.insert(batch.end(), bytes.begin(), bytes.end());
    }
    rig.emu.injectRaw(batch);
    sent += kBatch;
    // One batch stays in flight while the next is written.
    if (!rig.device.waitFor(sent - kBatch, std::chrono::milliseconds(5000))) {
      state.SkipWithError("messages not handled");
      break;
    }
  }
  if (!rig.device.waitFor(sent, std::chrono::milliseconds(5000))) state.SkipWithError("messages not handled");
  state.counters["msgs/s"] = benchmark::Counter(static_cast<double>(sent), benchmark::Counter::kIsRate);
  state.counters["bytes/s"] = benchmark::Counter(static_cast<double>(sent * (kPayload + 5)), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Throughput)->Iterations(200)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
