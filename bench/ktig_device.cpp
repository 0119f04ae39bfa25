// The GNSS-aided tracker (KtigDevice) per packet, beside the Zkf6 step alone, in the same run.
//
//  BM_KtigPacket: one raw packet of a vehicle drive at 100 Hz, every 50th with a GNSS PVT item
//  (2 Hz fixes of the navigation kit's receiver), through KtigDevice::doProcessing on a device
//  opened by the control on the emulated tracker and initialised with the built-in "ZKF-6G"
//  profile: calibration, strapdown window, the PVT item into the GNSS sample, the Zkf6 step,
//  orientation, position, velocity and status into the packet, insertion into the caches and the
//  data callback. Then, in the same run, the Zkf6 step alone: a filter over a copy of the
//  device's parameters fed the same samples (the values the raw counts were made from) and the
//  same GNSS samples. Per-packet times of 20 000 packets after 2 000 warm-up packets each:
//  device_p50_us, device_p99_us, step_p50_us, step_p99_us, their ratios (p50_ratio, p99_ratio),
//  and allocations per packet (AllocationCounter, every thread): device_allocs_per_packet
//  (target 0) and step_allocs_per_packet.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <vector>

#include "filters/zkf6/Zkf6Filter.h"
#include "filtersim/GnssReceiver.h"
#include "filtersim/VehicleRoute.h"
#include "support/AllocationCounter.h"
#include "trackers/KtigStreamRig.h"

namespace {

using zelto::test::KtigStreamRig;
constexpr size_t kWarmUp = 2000;
constexpr size_t kMeasured = 20000;

class CountingHandler : public ZtCallback {
 public:
  void onDataAvailable(ZtDevice*, const ZtDataPacket* packet) override {
    if (ZtDataPacket_containsPositionLLA(packet)) navigated.fetch_add(1, std::memory_order_relaxed);
    delivered.fetch_add(1, std::memory_order_relaxed);
  }
  std::atomic<long> delivered{0}, navigated{0};
};

filtersim::GnssConfig gnssConfig() {
  filtersim::GnssConfig g;
  g.rate = 2.0;
  g.leverArm = filtersim::Vec3(zelto::test::kKtigLeverArm[0], zelto::test::kKtigLeverArm[1],
                               zelto::test::kKtigLeverArm[2]);
  g.sigmaHorizontal = 1.0;
  g.sigmaVertical = 2.0;
  g.sigmaVelocity = 0.05;
  return g;
}

// The drive's packets (device) and samples (step alone), made once.
class PacketRun {
 public:
  PacketRun()
      : rig(zelto::test::driveConfig(filtersim::Quat(Eigen::AngleAxisd(0.4, filtersim::Vec3::UnitZ()))),
            {filtersim::Segment::still(1.0)}, gnssConfig(), 0x00000001) {
    if (!rig.opened || !rig.ktig || !rig.ktig->hasZkfFilter()) return;
    device = rig.ktig;
    ZtDevice_removeCallbackHandler(device, rig.collector.handler(), 0);
    device->addCallbackHandler(&handler, false);
    auto* params = dynamic_cast<zelto::Zkf6Params*>(device->zkfFilter()->getFilterParameters());
    if (!params) return;
    filter = std::make_unique<zelto::Zkf6Filter>(params);

    filtersim::VehicleRoute route(0.4);
    route.stop(20).accelerate(5, 2.0).cruise(60).turn(10, M_PI / 20).cruise(60).brakeToStop(2.0).stop(70);
    filtersim::MotionSimulator sim(zelto::test::driveConfig(route.initialAttitude()), route.segments());
    filtersim::GnssReceiver receiver(gnssConfig(), sim.frame());
    filtersim::Sample s;
    const size_t n = kWarmUp + kMeasured;
    packets.resize(n);
    sensors.resize(n);
    aidings.resize(n);
    for (size_t i = 0; i < n && sim.next(s); ++i) {
      const filtersim::Vec3 rate = s.meanRate();
      double acc[3], gyr[3], mag[3];
      for (int k = 0; k < 3; ++k) {
        acc[k] = s.acc[k];
        gyr[k] = rate[k];
        mag[k] = s.mag[k];
        sensors[i].inertial.acc[k] = acc[k];
        sensors[i].inertial.gyr[k] = gyr[k];
        aidings[i].mag[k] = mag[k];
      }
      uint16_t counts[10];
      zelto::test::RawTrajectory::rawCounts(rig.model.sensor, 25.0, acc, gyr, mag, counts);
      ZtScrData raw{};
      std::copy(counts, counts + 3, raw.acc);
      std::copy(counts + 3, counts + 6, raw.gyr);
      std::copy(counts + 6, counts + 9, raw.mag);
      raw.temp[0] = counts[9];
      ZtDataPacket& p = packets[i];
      ZtDataPacket_construct(&p);
      p.deviceId = device->deviceId();
      ZtDataPacket_setPacketCounter(&p, static_cast<uint16_t>(i));
      ZtDataPacket_setRawData(&p, &raw);
      ZtDataPacket_setStatus(&p, 0);
      aidings[i].gps.clear();
      if (receiver.update(s)) {
        const filtersim::GnssFix& f = receiver.last();
        ZtGpsPvtData pvt{};
        pvt.latitude = static_cast<int32_t>(std::lround(f.latLongAltDeg[0] * 1e7));
        pvt.longitude = static_cast<int32_t>(std::lround(f.latLongAltDeg[1] * 1e7));
        pvt.height = static_cast<int32_t>(std::lround(f.latLongAltDeg[2] * 1e3));
        pvt.velN = static_cast<int32_t>(std::lround(f.velNorthEastDown[0] * 100));
        pvt.velE = static_cast<int32_t>(std::lround(f.velNorthEastDown[1] * 100));
        pvt.velD = static_cast<int32_t>(std::lround(f.velNorthEastDown[2] * 100));
        pvt.hAcc = static_cast<uint32_t>(std::lround(f.hAcc * 1e3));
        pvt.vAcc = static_cast<uint32_t>(std::lround(f.vAcc * 1e3));
        pvt.sAcc = static_cast<uint32_t>(std::lround(f.sAcc * 100));
        pvt.gpsAge = 0;
        pvt.pressureAge = 255;
        ZtDataPacket_setGpsPvtData(&p, &pvt);
        ZkfGpsPrintData& g = aidings[i].gps;
        for (int k = 0; k < 3; ++k) {
          g.posLatLongAlt[k] = f.latLongAltDeg[k];
          g.velNorthEastDown[k] = f.velNorthEastDown[k];
        }
        g.hAcc = f.hAcc;
        g.vAcc = f.vAcc;
        g.sAcc = f.sAcc;
        g.gpsAge = 0;
        g.pressureAge = 255;
      }
    }
    ZtDataPacket_construct(&work);
  }
  ~PacketRun() {
    if (device) device->removeCallbackHandler(&handler, false);
    ZtDataPacket_destruct(&work);
    for (ZtDataPacket& p : packets) ZtDataPacket_destruct(&p);
  }
  PacketRun(const PacketRun&) = delete;
  PacketRun& operator=(const PacketRun&) = delete;

  bool ready() const { return device != nullptr && filter != nullptr; }

  void devicePacket(size_t i) {
    ZtDataPacket_copy(&work, &packets[i]);
    work.packetId = static_cast<int64_t>(i + 1);
    device->doProcessing(work);
  }
  bool step(size_t i) { return filter->doOneKalmanStep(sensors[i], aidings[i], realTime, output); }

  KtigStreamRig rig;
  KtigDevice* device = nullptr;
  CountingHandler handler;
  std::unique_ptr<zelto::Zkf6Filter> filter;

 private:
  std::vector<ZtDataPacket> packets;
  std::vector<zelto::Zkf6SensorData> sensors;
  std::vector<zelto::Zkf6Aiding> aidings;
  zelto::Zkf6RealTimeParameters realTime;
  zelto::Zkf6FilterOutput output;
  ZtDataPacket work;
};

template <typename F>
std::vector<double> timed(F&& f, uint64_t& allocations) {
  std::vector<double> us;
  us.reserve(kMeasured);
  AllocationCounter counter;
  for (size_t i = kWarmUp; i < kWarmUp + kMeasured; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    f(i);
    const auto t1 = std::chrono::steady_clock::now();
    us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
  }
  allocations = counter.countAllThreads();
  std::sort(us.begin(), us.end());
  return us;
}

void BM_KtigPacket(benchmark::State& state) {
  PacketRun run;
  if (!run.ready()) {
    state.SkipWithError("the emulated GNSS-aided tracker did not open with a filter");
    return;
  }
  for (size_t i = 0; i < kWarmUp; ++i) run.devicePacket(i);
  for (size_t i = 0; i < kWarmUp; ++i) run.step(i);
  std::vector<double> device, step;
  uint64_t deviceAllocations = 0, stepAllocations = 0;
  for (auto _ : state) {
    device = timed([&](size_t i) { run.devicePacket(i); }, deviceAllocations);
    step = timed([&](size_t i) { benchmark::DoNotOptimize(run.step(i)); }, stepAllocations);
  }
  const size_t p50 = kMeasured / 2, p99 = kMeasured * 99 / 100;
  state.counters["device_p50_us"] = device[p50];
  state.counters["device_p99_us"] = device[p99];
  state.counters["step_p50_us"] = step[p50];
  state.counters["step_p99_us"] = step[p99];
  state.counters["p50_ratio"] = device[p50] / step[p50];
  state.counters["p99_ratio"] = device[p99] / step[p99];
  state.counters["device_allocs_per_packet"] = static_cast<double>(deviceAllocations) / kMeasured;
  state.counters["step_allocs_per_packet"] = static_cast<double>(stepAllocations) / kMeasured;
  state.counters["navigated_share"] = static_cast<double>(run.handler.navigated) / run.handler.delivered;
}
BENCHMARK(BM_KtigPacket)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
