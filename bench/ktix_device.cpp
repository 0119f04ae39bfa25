// The host-filtered tracker (KtixDevice), per packet and as a 2000 Hz stream.
//
//  - BM_KtixPacket/<0 device, 1 reference>: one raw packet of a turning trajectory (100 Hz)
//    through KtixDevice::doProcessing on a device opened by ZtControl and initialised with the
//    built-in profiles (calibration, strapdown window, Zkf3 step, orientation resets, insertion
//    into its caches and the data callback). The reference does the same arithmetic without the
//    device, in the same run: the packet copied, calibrated with Eigen (three 3x3 inverses at the
//    sample's temperature), one step of a Zkf3Filter of the same parameters, the orientation
//    written back. Per-packet times of 20 000 packets after 2 000 warm-up packets: p50_us and
//    p99_us, and allocs_per_packet (AllocationCounter, every thread); for the device also the
//    allocations of its own steps (allocs_steps_per_packet) and of the insertion into the device
//    model's caches (allocs_insert_per_packet). Target: device p50 <= 10 us, 0 allocations.
//  - BM_PathStages: the library's own per-packet path stage by stage on a warm processor (the
//    link's parse step, the device model up to the queued processing task, the caches, the data
//    callback) beside the tracker's arithmetic; see there.
//  - BM_Stream2000Hz/<tracker>: zda_emulator in its own process serves a tracker at 2000 Hz (0:
//    this tracker, sample period 58; 1: the 20-series fourth-generation tracker with its Zkf3i
//    filter, raw data 0xA010; 2: the navigation tracker with Zkf700 and the sample mixer, raw
//    data, GNSS solutions at 4 Hz and pressure at 50 Hz; 3: the GNSS-aided tracker with Zkf6,
//    sample period 58, GNSS PVT items at 4 Hz); this process opens it through
//    ZtControl and measures for 6 s, then the emulator stops its stream (SIGUSR1) and the
//    device, still measuring, idles for 3 s. Counters: CPU and voluntary context switches
//    (wake-ups) per packet of the link's reader thread ("KtThread"), of the pool's workers
//    ("Pooled Thread") and of every other thread (reader_us_per_pkt, worker_us_per_pkt,
//    other_us_per_pkt, total_us_per_pkt, reader_wakeups_per_pkt, worker_wakeups_per_pkt);
//    cpu_streaming_pct and cpu_idle_pct (this process's CPU time as % of one core), their
//    difference cpu_per_stream_pct, and packets_per_s delivered while streaming, oriented_share
//    (packets with an orientation), and allocs_per_packet over the streaming window (every
//    thread; goal 0). Threads are told apart by name, so a pool that an earlier benchmark of
//    this program made is counted all the same. The emulator is found beside this program's
//    build tree (<build>/tests/support/emulator/zda_emulator).
//  - BM_Stream2000HzReference/<0 plain reader, 1 reader handing each read to a second thread>/
//    <tracker>: the same emulator's stream of that tracker read without the library, in the same
//    run, with the same counters for its reader and worker threads.
//  - BM_KtixPacketAfterIdle/<reference>/<sleeps>: as BM_KtixPacket with a 450 us gap before each
//    packet, slept (the processor may go idle, as a pool worker's does between packets of a
//    2000 Hz stream) or busy-waited: what the same work costs on a processor woken from idle.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <Eigen/Dense>
#include <algorithm>
#include <cstdio>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ThreadStats.h"
#include "filters/zkf3/Zkf3Filter.h"
#include "foundation/ThreadPool.h"
#include "support/AllocationCounter.h"
#include "support/EmulatorProcess.h"
#include "support/TempDir.h"
#include "support/emulator/RawTrajectory.h"
#include "trackers/CalibrationInfo.h"
#include "trackers/KtixStreamRig.h"
#include "trackers/Mk4Profiles.h"
#include "transport/link/Communicator.h"
#include "transport/link/MessageList.h"
#include "zttypes/ztdeviceid.h"

namespace {

using zelto::test::KtixStreamRig;
using zelto::test::RawTrajectory;

// Calibration in Eigen (reference): inverse(gain, diagonal scaled) (counts - offset), with the
// gyroscope's acceleration dependency.
void eigenCalibrate(const ZtScrData& raw, const CalibrationInfo& c, zelto::Zkf3SensorData& sd, zelto::Zkf3Aiding& ad) {
  const double t = static_cast<int16_t>(raw.temp[0]) * 0.00390625 - 35.0;
  auto one = [&](const uint16_t* counts, const double* gain, const Eigen::Vector3d& off, const Eigen::Vector3d& scale) {
    Eigen::Matrix3d g = Eigen::Map<const Eigen::Matrix<double, 3, 3, Eigen::RowMajor>>(gain);
    for (int i = 0; i < 3; ++i) g(i, i) *= scale[i];
    Eigen::Vector3d d(counts[0], counts[1], counts[2]);
    return Eigen::Vector3d(g.inverse() * (d - off));
  };
  Eigen::Vector3d oa, og, om, sa, sg, sm;
  for (int i = 0; i < 3; ++i) {
    oa[i] = c.offsetAcc[i] + c.tempLinOffsetAcc[i] * t;
    og[i] = c.offsetGyr[i] + c.tempLinOffsetGyr[i] * t + c.tempQuadOffsetGyr[i] * t * t;
    om[i] = c.offsetMag[i] + c.tempLinOffsetMag[i] * t;
    sa[i] = 1.0 + c.tempLinGainAcc[i] * t;
    sg[i] = 1.0 + (c.tempQuadGainGyr[i] * t + c.tempLinGainGyr[i]) * t;
    sm[i] = 1.0 + c.tempLinGainMag[i] * t;
  }
  const Eigen::Vector3d acc = one(raw.acc, c.gainAcc, oa, sa);
  const Eigen::Vector3d gyr = one(raw.gyr, c.gainGyr, og, sg) -
                              Eigen::Map<const Eigen::Matrix<double, 3, 3, Eigen::RowMajor>>(c.gyrOffsetAccDependency) * acc;
  const Eigen::Vector3d mag = one(raw.mag, c.gainMag, om, sm);
  for (int i = 0; i < 3; ++i) {
    sd.inertial.acc[i] = acc[i];
    sd.inertial.gyr[i] = gyr[i];
    ad.mag[i] = mag[i];
  }
}

// The steps of KtDevice::doProcessing before the caches, reached from outside.
struct KtixProbe : KtixDevice {
  static void steps(KtixDevice& d, ZtDataPacket& p) {
    (d.*(&KtixProbe::performCalibration))(p);
    (d.*(&KtixProbe::performSdiCalculation))(p);
    d.performFiltering(p);
    (d.*(&KtixProbe::performInverseSdi))(p);
  }
};

class CountingHandler : public ZtCallback {
 public:
  void onDataAvailable(ZtDevice*, const ZtDataPacket* packet) override {
    if (ZtDataPacket_containsOrientationQuaternion(packet)) oriented.fetch_add(1, std::memory_order_relaxed);
    delivered.fetch_add(1, std::memory_order_relaxed);
  }
  std::atomic<long> delivered{0}, oriented{0};
};

// One raw packet at a time through the device (doProcessing) or through the reference arithmetic.
class PacketRun {
 public:
  PacketRun() : rig(zelto::test::streamConfig(100.0), {filtersim::Segment::still(1.0)}) {
    if (!rig.opened || !rig.ktix || !rig.ktix->hasZkfFilter()) return;
    device = rig.ktix;
    // The rig's collector keeps every packet it sees (its vector's growth is no cost of the device).
    device->removeCallbackHandler(&rig.collector, false);
    device->addCallbackHandler(&handler, false);
    calibration.readFrom(*device->ekts());
    auto* params = dynamic_cast<zelto::Zkf3Params*>(device->zkfFilter()->getFilterParameters());
    filter = std::make_unique<zelto::Zkf3Filter>(new zelto::Zkf3Params(*params));
    const std::vector<ZtScrData> raws = zelto::test::turningRawSamples(rig.model.sensor, 3000);
    sources.resize(raws.size());
    for (size_t i = 0; i < raws.size(); ++i) {
      ZtDataPacket_construct(&sources[i]);
      sources[i].deviceId = device->deviceId();
      ZtDataPacket_setPacketCounter(&sources[i], static_cast<uint16_t>(i));
      ZtDataPacket_setRawData(&sources[i], &raws[i]);
      ZtDataPacket_setStatus(&sources[i], 0);
    }
    ZtDataPacket_construct(&work);
  }
  ~PacketRun() {
    if (device) device->removeCallbackHandler(&handler, false);
    ZtDataPacket_destruct(&work);
    for (ZtDataPacket& p : sources) ZtDataPacket_destruct(&p);
  }
  PacketRun(const PacketRun&) = delete;
  PacketRun& operator=(const PacketRun&) = delete;

  bool ready() const { return device != nullptr; }

  // The next source packet, copied into the work packet.
  void next() {
    ZtDataPacket_copy(&work, &sources[m_next]);
    if (++m_next == sources.size()) m_next = 0;
    work.packetId = ++m_packetId;
  }

  void once(bool reference) {
    next();
    if (!reference) {
      device->doProcessing(work);
      return;
    }
    ZtScrData raw;
    ZtDataPacket_rawData(&work, &raw);
    eigenCalibrate(raw, calibration, sd, ad);
    filter->doOneKalmanStep(sd, ad, rt, out);
    const Eigen::Quaterniond q = Eigen::Quaterniond(out.q_gs.w, out.q_gs.x, out.q_gs.y, out.q_gs.z) *
                                 Eigen::Quaterniond::Identity();
    const ZtQuaternion z{q.w(), q.x(), q.y(), q.z()};
    ZtDataPacket_setOrientationQuaternion(&work, &z, 8);
    ZtDataPacket_setFreeAcceleration(&work, &out.freeAcceleration);
  }

  KtixStreamRig rig;
  KtixDevice* device = nullptr;
  CountingHandler handler;
  ZtDataPacket work;

 private:
  CalibrationInfo calibration;
  std::unique_ptr<zelto::Zkf3Filter> filter;
  std::vector<ZtDataPacket> sources;
  zelto::Zkf3SensorData sd;
  zelto::Zkf3Aiding ad;
  zelto::Zkf3RealTimeParameters rt;
  zelto::Zkf3FilterOutput out;
  int64_t m_packetId = 0;
  size_t m_next = 0;
};

void BM_KtixPacket(benchmark::State& state) {
  const bool reference = state.range(0) == 1;
  PacketRun run;
  if (!run.ready()) {
    state.SkipWithError("the emulated tracker did not open with a filter");
    return;
  }
  for (int i = 0; i < 2000; ++i) run.once(reference);  // warm-up: the filter starts, rooms grow to fit
  // Where the device's allocations are: its own steps (calibration, strapdown, filter with the
  // resets, rates from increments) against the insertion into the device model's caches.
  uint64_t stepAllocations = 0, insertAllocations = 0;
  if (!reference) {
    for (int k = 0; k < 1000; ++k) {
      run.next();
      AllocationCounter steps;
      KtixProbe::steps(*run.device, run.work);
      stepAllocations += steps.count();
      AllocationCounter insert;
      run.device->insertPacketInCaches(run.work);
      insertAllocations += insert.count();
    }
  }
  std::vector<double> us;
  us.reserve(20000);
  uint64_t allocations = 0;
  long packets = 0;
  for (auto _ : state) {
    us.clear();
    AllocationCounter counter;
    for (int i = 0; i < 20000; ++i) {
      const auto t0 = std::chrono::steady_clock::now();
      run.once(reference);
      const auto t1 = std::chrono::steady_clock::now();
      us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    }
    allocations += counter.countAllThreads();
    packets += 20000;
  }
  std::sort(us.begin(), us.end());
  state.counters["p50_us"] = us[us.size() / 2];
  state.counters["p99_us"] = us[us.size() * 99 / 100];
  state.counters["allocs_per_packet"] = static_cast<double>(allocations) / static_cast<double>(packets);
  if (!reference) {
    state.counters["oriented_share"] = static_cast<double>(run.handler.oriented) / run.handler.delivered;
    state.counters["allocs_steps_per_packet"] = static_cast<double>(stepAllocations) / 1000.0;
    state.counters["allocs_insert_per_packet"] = static_cast<double>(insertAllocations) / 1000.0;
  }
}
BENCHMARK(BM_KtixPacket)->Arg(0)->Arg(1)->ArgName("reference")->Iterations(3)->Unit(benchmark::kMillisecond);

// The same packet 450 us after the previous one, as in a 2000 Hz stream: the thread either sleeps
// in between (its processor may go idle, as a woken pool worker's does) or keeps its processor
// busy. Per-packet times of 4 000 packets after 2 000 warm-up packets (p50_us, p90_us).
void BM_KtixPacketAfterIdle(benchmark::State& state) {
  const bool reference = state.range(0) == 1;
  const bool sleeps = state.range(1) == 1;
  PacketRun run;
  if (!run.ready()) {
    state.SkipWithError("the emulated tracker did not open with a filter");
    return;
  }
  for (int i = 0; i < 2000; ++i) run.once(reference);
  std::vector<double> us;
  us.reserve(4000);
  for (auto _ : state) {
    us.clear();
    for (int i = 0; i < 4000; ++i) {
      const auto gapEnd = std::chrono::steady_clock::now() + std::chrono::microseconds(450);
      if (sleeps)
        std::this_thread::sleep_until(gapEnd);
      else
        while (std::chrono::steady_clock::now() < gapEnd) {
        }
      const auto t0 = std::chrono::steady_clock::now();
      run.once(reference);
      const auto t1 = std::chrono::steady_clock::now();
      us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    }
  }
  std::sort(us.begin(), us.end());
  state.counters["p50_us"] = us[us.size() / 2];
  state.counters["p90_us"] = us[us.size() * 9 / 10];
}
BENCHMARK(BM_KtixPacketAfterIdle)
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->ArgNames({"reference", "sleeps"})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// The library's own per-packet path stage by stage, on one thread with warm caches (per-packet
// p50 in us over 20 000 packets of the turning trajectory, after a warm-up):
//   cut_us       the link's parse step for one data message: appended to the receive buffer,
//                cut, reported as received, offered to the reply monitor (Communicator's
//                processBufferedData and handleMessage, on a link of its own without device)
//   model_us     the device's handleMessage: the packet made, checked for missed packets,
//                stamped, its processing task made and chained in the pool (the pool is
//                suspended meanwhile, so nothing is woken and the tasks run afterwards)
//   arith_us     the tracker's own arithmetic: calibration, strapdown, the Zkf3 step with the
//                orientation resets, rates from increments (not the library's path)
//   caches_us    insertPacketInCaches less the callback: working cache in and out, queue mode
//   callback_us  the data event through the callback manager to one counting handler
//   own_us       cut + model + caches + callback: the library's own path on a warm processor
// What a stream's pool worker spends beyond own_us + arith_us per packet is the pool's hand-over
// (two tasks), the wake-up and the cold caches of a woken processor (BM_Stream2000Hz).
void BM_PathStages(benchmark::State& state) {
  PacketRun run;
  if (!run.ready()) {
    state.SkipWithError("the emulated tracker did not open with a filter");
    return;
  }
  // A link of its own (port open, no reader, no device) for the parse step.
  zelto::test::PtyPort pty;
  Communicator link;
  ZtString name;
  ZtString_construct(&name, pty.slavePath().c_str());
  const bool linked = link.openPort(name, B115200, OPS_OpenPort);
  ZtString_destruct(&name);
  if (!linked) {
    state.SkipWithError("link did not open");
    return;
  }
  MessageList parsed;
  ZtByteArray bytes;
  ZtByteArray_construct(&bytes, 0, nullptr);
  zelto::ThreadPool* pool = zelto::ThreadPool::instance();
  constexpr int kPackets = 20000, kRound = 2000;
  std::vector<double> cut, model, arith, caches, callback;
  for (auto* v : {&cut, &model, &arith, &caches, &callback}) v->reserve(kPackets);
  uint16_t counter = 0;
  const auto timed = [](std::vector<double>& into, auto&& step) {
    const auto t0 = std::chrono::steady_clock::now();
    step();
    into.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
  };
  for (auto _ : state) {
    for (int pass = 0; pass < 2; ++pass) {  // the first pass warms up
      for (auto* v : {&cut, &model, &arith, &caches, &callback}) v->clear();
      for (int done = 0; done < kPackets; done += kRound) {
        pool->suspend(true);
        for (int i = 0; i < kRound; ++i) {
          run.next();
          ZtDataPacket_setPacketCounter(&run.work, counter++);
          const ZtMessage& m = run.work.message;
          ZtArray_assign(ZTARRAY(&bytes), ZtMessage_getTotalMessageSize(&m), ZtMessage_getMessageStart(&m));
          timed(cut, [&] {
            link.processBufferedData(bytes, parsed);
            for (size_t k = 0; k < parsed.size(); ++k) link.handleMessage(parsed[k]);
          });
          timed(model, [&] { run.device->handleMessage(m); });
        }
        pool->resume();
        run.device->finishLastProcessingTask();
        for (int i = 0; i < kRound; ++i) {
          run.next();
          timed(arith, [&] { KtixProbe::steps(*run.device, run.work); });
          timed(caches, [&] { run.device->insertPacketInCaches(run.work); });
          timed(callback, [&] { run.device->onDataAvailable(run.device, &run.work); });
        }
      }
    }
  }
  ZtByteArray_destruct(&bytes);
  link.closePort();
  const auto p50 = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
  };
  const double c = p50(cut), m = p50(model), a = p50(arith), all = p50(caches), cb = p50(callback);
  state.counters["cut_us"] = c;
  state.counters["model_us"] = m;
  state.counters["arith_us"] = a;
  state.counters["caches_us"] = all - cb;
  state.counters["callback_us"] = cb;
  state.counters["own_us"] = c + m + all;
}
BENCHMARK(BM_PathStages)->Iterations(1)->Unit(benchmark::kMillisecond);

// ---- 2000 Hz from another process ----------------------------------------------------------------------

std::string emulatorPath() {
  char self[4096] = {};
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  std::string dir = n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string();
  dir = dir.substr(0, dir.find_last_of('/'));   // <build>/bench
  dir = dir.substr(0, dir.find_last_of('/'));   // <build>
  return dir + "/tests/support/emulator/zda_emulator";
}

double processCpuSeconds() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// This process's CPU time over a window of wall time, as % of one core.
class CpuWindow {
 public:
  CpuWindow() : m_cpu0(processCpuSeconds()), m_wall0(std::chrono::steady_clock::now()) {}
  void stop() {
    m_cpu = processCpuSeconds() - m_cpu0;
    m_wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - m_wall0).count();
  }
  double wallSeconds() const { return m_wall; }
  double percent() const { return m_cpu / m_wall * 100.0; }

 private:
  double m_cpu0;
  std::chrono::steady_clock::time_point m_wall0;
  double m_cpu = 0, m_wall = 1;
};

// The CPU of this process while the calling thread sleeps for the given time, % of one core.
double cpuPercentWhileSleeping(double seconds) {
  CpuWindow window;
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  window.stop();
  return window.percent();
}

constexpr double kStreamSeconds = 6.0;
constexpr double kIdleSeconds = 3.0;

// The CPU and wake-ups per packet of the named thread groups over a streaming window: reader
// ("KtThread" for the library, "ref reader" for the references), worker ("Pooled Thread", "ref
// worker") and the rest (every other thread but the measuring one, which only sleeps).
void reportPerPacket(benchmark::State& state, const std::map<std::string, benchstats::Sample>& spent, double packets,
                     const char* reader, const char* worker) {
  double readerUs = 0, workerUs = 0, otherUs = 0, readerWake = 0, workerWake = 0;
  for (const auto& [name, s] : spent) {
    if (name == reader) {
      readerUs += s.cpuNs / 1e3;
      readerWake += s.voluntary;
    } else if (name == worker) {
      workerUs += s.cpuNs / 1e3;
      workerWake += s.voluntary;
    } else {
      otherUs += s.cpuNs / 1e3;
    }
  }
  packets = std::max(1.0, packets);
  state.counters["reader_us_per_pkt"] = readerUs / packets;
  state.counters["worker_us_per_pkt"] = workerUs / packets;
  state.counters["other_us_per_pkt"] = otherUs / packets;
  state.counters["total_us_per_pkt"] = (readerUs + workerUs + otherUs) / packets;
  state.counters["reader_wakeups_per_pkt"] = readerWake / packets;
  state.counters["worker_wakeups_per_pkt"] = workerWake / packets;
}

// The library: the device opened through ZtControl, its packets (host-filtered) counted by the
// data callback. Beside the per-packet figures: cpu_streaming_pct and cpu_idle_pct (this
// process's CPU as % of one core; idle: the device still measuring, the stream stopped), their
// difference cpu_per_stream_pct, packets_per_s delivered.
// The trackers of BM_Stream2000Hz: the host-filtered tracker, the 20-series fourth-generation
// tracker with its Zkf3i filter (a built-in "ZKF-3I" scenario without the magnetometer update,
// which that series takes), the navigation tracker with Zkf700 and the mixer, the GNSS-aided
// tracker with its built-in Zkf6 profile.
const struct {
  const char* idText;
  uint32_t id;
} kStreamTrackers[] = {
    {"00071234", 0x00071234}, {"00201234", 0x00201234}, {"00701234", 0x00701234}, {"00061234", 0x00061234}};

void BM_Stream2000Hz(benchmark::State& state) {
  const auto& tracker = kStreamTrackers[state.range(0)];
  for (auto _ : state) {
    zelto::test::EmulatorProcess emulator(emulatorPath(), {tracker.idText, "2000", "serve"});
    if (emulator.port().empty()) {
      state.SkipWithError(("zda_emulator did not start: " + emulatorPath()).c_str());
      return;
    }
    auto control = std::make_unique<ZtControl>();
    zelto::test::TempDir dir;
    if (tracker.id == 0x00201234) {
      const std::string profiles = dir.file("mk4.zsa");
      const std::pair<std::string, std::string> magOff{"doMagUpdate", "B:N"};
      ZtString file;
      ZtString_construct(&file, profiles.c_str());
      const bool loaded = zelto::test::writeProfiles(profiles, "ZKF", "zkf3i", {{"plain", 2, "", "", {magOff}}}) &&
                          control->loadFilterProfiles(file);
      ZtString_destruct(&file);
      if (!loaded) {
        state.SkipWithError("filter profiles not loaded");
        return;
      }
    }
    ZtString name;
    ZtString_construct(&name, emulator.port().c_str());
    const bool opened = control->openPort(name, B115200);
    ZtString_destruct(&name);
    ZtDevice* device = opened ? control->device(tracker.id) : nullptr;
    const bool fourthGeneration = ZtDeviceId_isKtMk4(tracker.id) != 0;
    if (!device || (fourthGeneration ? device->updateRateForDataIdentifier(0xA010) : device->updateRate()) != 2000 ||
        (tracker.id != 0x00071234 && !device->hasZkfFilter())) {
      state.SkipWithError("the emulated tracker did not open at 2000 Hz with its host filter");
      return;
    }
    CountingHandler handler;
    device->addCallbackHandler(&handler, false);
    if (!device->gotoMeasurement()) {
      state.SkipWithError("gotoMeasurement failed");
      return;
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));  // the filter starts, rooms grow
    const long before = handler.delivered;
    const auto threads0 = benchstats::byName();
    AllocationCounter allocations;
    CpuWindow window;
    std::this_thread::sleep_for(std::chrono::duration<double>(kStreamSeconds));
    window.stop();
    const uint64_t allocated = allocations.countAllThreads();
    const auto spent = benchstats::difference(threads0, benchstats::byName());
    const double wall = window.wallSeconds();
    const double streaming = window.percent();
    const double packets = static_cast<double>(handler.delivered - before);
    const double orientedShare = static_cast<double>(handler.oriented) / std::max(1L, handler.delivered.load());

    // The same device, still measuring, without a stream.
    emulator.signal(SIGUSR1);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const double idle = cpuPercentWhileSleeping(kIdleSeconds);

    device->removeCallbackHandler(&handler, false);
    control.reset();
    reportPerPacket(state, spent, packets, "KtThread", "Pooled Thread");
    state.counters["cpu_streaming_pct"] = streaming;
    state.counters["cpu_idle_pct"] = idle;
    state.counters["cpu_per_stream_pct"] = streaming - idle;
    state.counters["packets_per_s"] = packets / wall;
    state.counters["oriented_share"] = orientedShare;
    state.counters["allocs_per_packet"] = static_cast<double>(allocated) / std::max(1.0, packets);
  }
}
BENCHMARK(BM_Stream2000Hz)->DenseRange(0, 3)->ArgName("tracker")->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

// Reference for BM_Stream2000Hz, in the same run: the same emulator's 2000 Hz stream read without
// the library. 0: one thread ("ref reader") waits on the port (poll with a stop descriptor) and
// reads, the least any reader costs; 1: as 0, each read handed to a second thread ("ref worker")
// through a mutex and condition, the least a reader that leaves the handling to another thread
// costs. Packets are the bytes read over the size of the stream's data message (taken from the
// smallest one among the first reads). Counters as for BM_Stream2000Hz.
void BM_Stream2000HzReference(benchmark::State& state) {
  const bool handOff = state.range(0) == 1;
  for (auto _ : state) {
    zelto::test::EmulatorProcess emulator(emulatorPath(), {kStreamTrackers[state.range(1)].idText, "2000", "serve"});
    const int fd = emulator.port().empty() ? -1 : open(emulator.port().c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0) {
      state.SkipWithError(("zda_emulator did not start: " + emulatorPath()).c_str());
      return;
    }
    termios raw{};
    tcgetattr(fd, &raw);
    cfmakeraw(&raw);
    tcsetattr(fd, TCSANOW, &raw);
    const int stop = eventfd(0, EFD_CLOEXEC);
    std::mutex mutex;
    std::condition_variable ready;
    size_t pending = 0, handled = 0;
    bool done = false;
    std::atomic<long> bytes{0};
    std::atomic<int> frameSize{0};
    std::thread worker;
    if (handOff)
      worker = std::thread([&] {
        pthread_setname_np(pthread_self(), "ref worker");
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
          ready.wait(lock, [&] { return pending != 0 || done; });
          if (pending == 0) return;
          handled += pending;
          pending = 0;
        }
      });
    std::thread reader([&] {
      pthread_setname_np(pthread_self(), "ref reader");
      uint8_t buffer[8192];
      int sizeChecks = 0;
      pollfd fds[2] = {{fd, POLLIN, 0}, {stop, POLLIN, 0}};
      for (;;) {
        if (poll(fds, 2, -1) < 0 || (fds[1].revents & POLLIN)) return;
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) continue;
        // The smallest data message among the first reads: a stream whose messages carry an
        // item now and then (GNSS at 4 Hz) is counted by its plain messages.
        if (sizeChecks < 200) {
          ++sizeChecks;
          for (ssize_t i = 0; i + 3 < n; ++i)
            if (buffer[i] == 0xFA && buffer[i + 1] == 0xFF && buffer[i + 2] == 0x36 && buffer[i + 3] != 0xFF) {
              const int size = buffer[i + 3] + 5;
              const int known = frameSize.load(std::memory_order_relaxed);
              if (known == 0 || size < known) frameSize.store(size, std::memory_order_relaxed);
              break;
            }
        }
        bytes.fetch_add(n, std::memory_order_relaxed);
        if (!handOff) continue;
        {
          std::lock_guard<std::mutex> lock(mutex);
          pending += static_cast<size_t>(n);
        }
        ready.notify_one();
      }
    });
    // The tracker streams without being configured by a host; asked again until bytes flow.
    for (int i = 0; i < 20 && bytes.load() == 0; ++i) {
      emulator.signal(SIGUSR2);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const long bytes0 = bytes;
    const auto threads0 = benchstats::byName();
    CpuWindow window;
    std::this_thread::sleep_for(std::chrono::duration<double>(kStreamSeconds));
    window.stop();
    const auto spent = benchstats::difference(threads0, benchstats::byName());
    const double streaming = window.percent();
    const double streamed = static_cast<double>(bytes - bytes0);
    const double packets = frameSize.load() > 0 ? streamed / frameSize.load() : 0.0;
    emulator.signal(SIGUSR1);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const double idle = cpuPercentWhileSleeping(kIdleSeconds);
    const uint64_t one = 1;
    if (write(stop, &one, sizeof one) != sizeof one) state.SkipWithError("stop descriptor");
    reader.join();
    if (handOff) {
      {
        std::lock_guard<std::mutex> lock(mutex);
        done = true;
      }
      ready.notify_one();
      worker.join();
    }
    close(stop);
    close(fd);
    if (packets <= 0) state.SkipWithError("the emulator did not stream");
    reportPerPacket(state, spent, packets, "ref reader", "ref worker");
    state.counters["cpu_streaming_pct"] = streaming;
    state.counters["cpu_idle_pct"] = idle;
    state.counters["cpu_per_stream_pct"] = streaming - idle;
    state.counters["packets_per_s"] = packets / window.wallSeconds();
  }
}
BENCHMARK(BM_Stream2000HzReference)->ArgsProduct({{0, 1}, {0, 1, 2, 3}})->ArgNames({"hand_off", "tracker"})->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace
