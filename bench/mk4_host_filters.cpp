// Fourth-generation trackers with a host filter, per packet at 2000 Hz, beside the filter step
// alone, measured in the same run.
//  - BM_Mk4HostFilter/<kind>: 0 the 20-series tracker's packet (raw counts and status through
//    calibration, the raw window, the output window and, every 20th packet, one Zkf3i step, with
//    orientation, free acceleration and status written); 1 the Zkf3i step alone on the same kind
//    of 100 Hz increments; 2 the navigation tracker's packet (raw counts, pressure every 40th and
//    a raw GNSS solution every 500th packet, the latched aiding, one Zkf700 step every 20th
//    packet and the sample mixer on every increment packet, with position, velocity and
//    orientation written); 3 the Zkf700 step alone with the same aiding.
//    Times of 20 000 packets (steps) after warm-up: p50_us, p99_us; allocs_per_packet (goal 0).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <vector>

#include "ekts/EktsManager.h"
#include "filters/common/KtMk4HardwareParams.h"
#include "filters/common/ZkfUserParams.h"
#include "filters/zkf3i/Zkf3iFilter.h"
#include "filters/zkf3i/Zkf3iScenarioParams.h"
#include "filters/zkf700/Zkf700Filter.h"
#include "filters/zkf700/Zkf700TestTuning.h"
#include "math/geodetic/GeodeticConversions.h"
#include "support/AllocationCounter.h"
#include "support/TestDevice.h"
#include "support/emulator/RawTrajectory.h"
#include "support/emulator/TrackerModel.h"
#include "trackers/KtMk4_700Device.h"
#include "trackers/KtMk4_X0Device.h"

namespace {

using zelto::test::TrackerModel;

template <typename Device>
class Bench : public Device {
 public:
  Bench() : Device(zelto::test::TestDevice::noFactory(), nullptr) {}
  bool load(const std::vector<uint8_t>& image) {
    if (!this->m_ekts->initializeFromBuffer(image.data(), static_cast<int>(image.size()), true)) return false;
    this->refreshFromRecord();
    this->initializeSdiWindows();
    return this->initializeSoftwareCalibration();
  }
  void insertPacketInCaches(ZtDataPacket&) override { ++delivered; }
  long delivered = 0;
};

zelto::Zkf3iParams zkf3iParams() {
  zelto::Zkf3iScenarioParams s;
  s.initHardCoded();
  s.setFlag(zelto::Zkf3iScenarioParams::kDoMagUpdate, false);  // as the restricted series runs it
  KtMk4HardwareParams h;
  ZkfUserParams u;
  u.sampleRate = 100.0;
  u.gravityMagnitude = 9.81;
  u.storedLatLongAlt = zelto::Vector3(52.25, 0.0, 0.0);
  u.storedYear = 2024;
  u.storedMonth = 6;
  u.storedDay = 1;
  zelto::Zkf3iParams p;
  p.initialize(s, h, u, zelto::Zkf3iFilterSteps());
  return p;
}

zelto::Zkf700Params zkf700Params() {
  zelto::Zkf700Params p;
  p.initialize(zkf700test::builtInProfile(), zkf700test::hardware(), zkf700test::user(), zelto::Zkf700FilterSteps());
  return p;
}

// Counts of a tracker at rest: level, the field to the north and down.
ZtScrData restingCounts(const TrackerModel& model) {
  uint16_t counts[13];
  const double temperatures[4] = {25.0, 25.0, 25.0, 25.0};
  const double acc[3] = {0.0, 0.0, 9.81}, gyr[3] = {0.0, 0.0, 0.0}, mag[3] = {0.5, 0.0, -0.8};
  zelto::test::RawTrajectory::rawCountsMk4(model.sensor, temperatures, acc, gyr, mag, counts);
  ZtScrData raw{};
  for (int i = 0; i < 3; ++i) {
    raw.acc[i] = counts[i];
    raw.gyr[i] = counts[3 + i];
    raw.mag[i] = counts[6 + i];
  }
  for (int i = 0; i < 4; ++i) raw.temp[i] = counts[9 + i];
  return raw;
}

ZtRawGpsSol restingFix() {
  const double lla[3] = {52.25 * M_PI / 180.0, 0.0, 50.0};
  double ecef[3];
  zelto::convert_lla2ecefRadians(lla, ecef);
  ZtRawGpsSol sol{};
  sol.fixType = 3;
  sol.ecefX = static_cast<int32_t>(std::lround(ecef[0] * 100.0));
  sol.ecefY = static_cast<int32_t>(std::lround(ecef[1] * 100.0));
  sol.ecefZ = static_cast<int32_t>(std::lround(ecef[2] * 100.0));
  sol.pAcc = 150;
  sol.sAcc = 10;
  return sol;
}

struct Figures {
  std::vector<double> us;
  uint64_t allocations = 0;
  long samples = 0;
  void report(benchmark::State& state) {
    std::sort(us.begin(), us.end());
    state.counters["p50_us"] = us[us.size() / 2];
    state.counters["p99_us"] = us[us.size() * 99 / 100];
    state.counters["allocs_per_packet"] = static_cast<double>(allocations) / static_cast<double>(samples);
  }
};

template <typename Once>
void measure(benchmark::State& state, Once&& once, Figures& f) {
  for (int i = 0; i < 2000; ++i) once(i);  // warm-up: filter aligned, packet room grown
  f.us.reserve(20000);
  int n = 2000;
  for (auto _ : state) {
    f.us.clear();
    AllocationCounter counter;
    for (int i = 0; i < 20000; ++i, ++n) {
      const auto t0 = std::chrono::steady_clock::now();
      once(n);
      const auto t1 = std::chrono::steady_clock::now();
      f.us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    }
    f.allocations += counter.count();
    f.samples += 20000;
  }
}

void BM_Mk4HostFilter(benchmark::State& state) {
  const int kind = static_cast<int>(state.range(0));
  const bool navigation = kind >= 2;
  TrackerModel model;
  const uint32_t id = navigation ? 0x00701234 : 0x00201234;
  model.useFourthGeneration(id, {{0xA010, 2000}});
  const ZtScrData raw = restingCounts(model);
  Figures figures;
  if (kind == 1 || kind == 3) {
    // The step alone: 100 Hz increments of a resting tracker, the field with each.
    const zelto::Quaternion dq(1.0, 0.0, 0.0, 0.0);
    const zelto::Vector3 dv(0.0, 0.0, 0.0981), mag(0.5, 0.0, -0.8);
    if (kind == 1) {
      const zelto::Zkf3iParams p = zkf3iParams();
      zelto::Zkf3iFilter filter(&p);
      zelto::Zkf3iSensorData sd;
      sd.dq = dq;
      sd.dv = dv;
      zelto::Zkf3iAiding aiding;
      aiding.mag = mag;
      zelto::Zkf3iRealTimeParameters rt;
      zelto::Zkf3iFilterOutput out;
      measure(state, [&](int) { filter.doOneKalmanStep(sd, aiding, rt, out); }, figures);
    } else {
      const zelto::Zkf700Params p = zkf700Params();
      zelto::Zkf700Filter filter(&p);
      zelto::Zkf700SensorData sd;
      sd.dq = dq;
      sd.dv = dv;
      zelto::Zkf700RealTimeParameters rt;
      zelto::Zkf700FilterOutput out;
      zelto::Zkf700Aiding aiding;
      const ZtRawGpsSol fix = restingFix();
      measure(state, [&](int n) {
        aiding = zelto::Zkf700Aiding();
        aiding.mag = mag;
        aiding.magValid = true;
        if (n % 2 == 0) aiding.baro = 100725.0, aiding.baroValid = true;
        if (n % 25 == 0) {
          aiding.gpsPos = zelto::Vector3(52.25, 0.0, 50.0);
          aiding.gpsPAcc = fix.pAcc * 0.01;
          aiding.gpsSAcc = fix.sAcc * 0.01;
          aiding.gpsValid = true;
        }
        sd.time = n * 10;
        filter.doOneKalmanStep(sd, aiding, rt, out, nullptr);
      }, figures);
    }
    figures.report(state);
    return;
  }
  ZtDataPacket source, work;
  ZtDataPacket_construct(&source);
  ZtDataPacket_construct(&work);
  source.deviceId = id;
  ZtDataPacket_setRawData(&source, &raw);
  ZtDataPacket_setStatus(&source, 0);
  auto run = [&](auto& tracker, auto makeFilter) {
    if (!tracker.load(model.recordImage())) {
      state.SkipWithError("record not loaded");
      return;
    }
    tracker.setSoftwareFilteringEnabled(true);
    tracker.setZkfFilter(makeFilter());
    source.deviceId = tracker.deviceId();
    ZtDataPacket withPressure, withFix;
    ZtDataPacket_constructCopy(&withPressure, &source);
    ZtDataPacket_constructCopy(&withFix, &source);
    const ZtPressure pressure{100725.0, 0};
    ZtDataPacket_setPressure(&withPressure, &pressure);
    ZtDataPacket_setPressure(&withFix, &pressure);
    const ZtRawGpsSol fix = restingFix();
    ZtDataPacket_setRawGpsSol(&withFix, &fix);
    measure(state, [&](int n) {
      const ZtDataPacket* from = !navigation ? &source : n % 500 == 0 ? &withFix : n % 40 == 0 ? &withPressure : &source;
      ZtDataPacket_copy(&work, from);
      tracker.doProcessing(work);
    }, figures);
    ZtDataPacket_destruct(&withFix);
    ZtDataPacket_destruct(&withPressure);
    state.counters["delivered"] = static_cast<double>(tracker.delivered);
    state.counters["oriented"] = ZtDataPacket_containsOrientationQuaternion(&work);
  };
  if (!navigation) {
    Bench<KtMk4_X0Device> tracker;
    const zelto::Zkf3iParams p = zkf3iParams();
    run(tracker, [&] { return zelto::NonIntrusiveSharedPointer<ZtZkfFilter>(new zelto::Zkf3iFilter(&p)); });
  } else {
    Bench<KtMk4_700Device> tracker;
    const zelto::Zkf700Params p = zkf700Params();
    run(tracker, [&] { return zelto::NonIntrusiveSharedPointer<ZtZkfFilter>(new zelto::Zkf700Filter(&p)); });
  }
  figures.report(state);
  ZtDataPacket_destruct(&work);
  ZtDataPacket_destruct(&source);
}
BENCHMARK(BM_Mk4HostFilter)->Arg(0)->Arg(1)->Arg(2)->Arg(3)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace
