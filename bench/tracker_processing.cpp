// Tracker per-packet processing, each figure beside a plain reference measured in the same run.
//  - BM_DoProcessing/<0 library, 1 reference>: one raw packet through KtDevice::doProcessing with
//    a no-op host filter (calibration, strapdown window, orientation resets, delivery to a
//    counting sink); the reference copies the packet and writes Eigen-calibrated data into it.
//    Per-packet times of 20 000 packets after warm-up: p50_us, p99_us; allocs_per_packet.
//  - BM_CalibrateData/<0 library, 1 Eigen>: one sample calibrated (three 3x3 inverses at the
//    sample's temperature); ns per call from the benchmark's own timing.
#include <benchmark/benchmark.h>

#include <Eigen/Dense>
#include <algorithm>
#include <chrono>
#include <vector>

#include "support/AllocationCounter.h"
#include "support/TestTracker.h"
#include "support/emulator/TrackerModel.h"
#include "trackers/CalibrationInfo.h"

namespace {

using zelto::test::TestTracker;
using zelto::test::TrackerModel;

class BenchTracker : public TestTracker {
 public:
  BenchTracker() : TestTracker(static_cast<Communicator*>(nullptr)) {}
  void insertPacketInCaches(ZtDataPacket&) override { ++delivered; }
  void performFiltering(ZtDataPacket& packet) override {
    const ZtQuaternion q = doOrientationResets(ZtQuaternion{1, 0, 0, 0});
    ZtDataPacket_setOrientationQuaternion(&packet, &q, 0);
  }
  using KtDevice::calibrationInfo;
  long delivered = 0;
};

ZtScrData sampleRaw() {
  ZtScrData raw{};
  for (int i = 0; i < 3; ++i) {
    raw.acc[i] = static_cast<uint16_t>(33000 + 100 * i);
    raw.gyr[i] = static_cast<uint16_t>(32800 - 50 * i);
    raw.mag[i] = static_cast<uint16_t>(36000 + 500 * i);
  }
  raw.temp[0] = 15360;
  return raw;
}

// Plain Eigen calibration of the same sample (reference).
void eigenCalibrate(const ZtScrData& raw, const CalibrationInfo& c, double out[9]) {
  const double t = static_cast<int16_t>(raw.temp[0]) * 0.00390625 - 35.0;
  auto one = [&](const uint16_t* counts, const double* gain, const double* off, const double* linOff,
                 const double* linGain, double* o) {
    Eigen::Matrix3d g = Eigen::Map<const Eigen::Matrix<double, 3, 3, Eigen::RowMajor>>(gain);
    Eigen::Vector3d d;
    for (int i = 0; i < 3; ++i) {
      g(i, i) *= 1 + linGain[i] * t;
      d[i] = counts[i] - (off[i] + linOff[i] * t);
    }
    const Eigen::Vector3d r = g.inverse() * d;
    for (int i = 0; i < 3; ++i) o[i] = r[i];
  };
  one(raw.acc, c.gainAcc, c.offsetAcc, c.tempLinOffsetAcc, c.tempLinGainAcc, out);
  one(raw.gyr, c.gainGyr, c.offsetGyr, c.tempLinOffsetGyr, c.tempLinGainGyr, out + 3);
  one(raw.mag, c.gainMag, c.offsetMag, c.tempLinOffsetMag, c.tempLinGainMag, out + 6);
}

void BM_DoProcessing(benchmark::State& state) {
  const bool reference = state.range(0) == 1;
  BenchTracker tracker;
  TrackerModel model;
  tracker.loadRecord(model.recordImage());
  tracker.initializeSoftwareCalibration();
  tracker.setSoftwareFilteringEnabled(true);
  ZtDataPacket source, work;
  ZtDataPacket_construct(&source);
  ZtDataPacket_construct(&work);
  source.deviceId = tracker.deviceId();
  const ZtScrData raw = sampleRaw();
  ZtDataPacket_setRawData(&source, &raw);
  ZtDataPacket_setStatus(&source, 0);
  auto once = [&] {
    ZtDataPacket_copy(&work, &source);
    if (reference) {
      ZtCalibratedData cal;
      double out[9];
      eigenCalibrate(raw, *tracker.calibrationInfo(), out);
      std::copy(out, out + 3, cal.acc);
      std::copy(out + 3, out + 6, cal.gyr);
      std::copy(out + 6, out + 9, cal.mag);
      ZtDataPacket_setCalibratedData(&work, &cal);
    } else {
      tracker.doProcessing(work);
    }
  };
  for (int i = 0; i < 1000; ++i) once();  // warm-up: the work packet's room grows to fit
  std::vector<double> us;
  us.reserve(20000);
  uint64_t allocations = 0;
  long packets = 0;
  for (auto _ : state) {
    us.clear();
    AllocationCounter counter;
    for (int i = 0; i < 20000; ++i) {
      const auto t0 = std::chrono::steady_clock::now();
      once();
      const auto t1 = std::chrono::steady_clock::now();
      us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    }
    allocations += counter.count();
    packets += 20000;
  }
  std::sort(us.begin(), us.end());
  state.counters["p50_us"] = us[us.size() / 2];
  state.counters["p99_us"] = us[us.size() * 99 / 100];
  state.counters["allocs_per_packet"] = static_cast<double>(allocations) / static_cast<double>(packets);
  ZtDataPacket_destruct(&work);
  ZtDataPacket_destruct(&source);
}
BENCHMARK(BM_DoProcessing)->Arg(0)->Arg(1)->Iterations(3)->Unit(benchmark::kMillisecond);

void BM_CalibrateData(benchmark::State& state) {
  BenchTracker tracker;
  TrackerModel model;
  tracker.loadRecord(model.recordImage());
  tracker.initializeSoftwareCalibration();
  const ZtScrData raw = sampleRaw();
  ZtCalibratedData out{};
  double eigenOut[9];
  for (auto _ : state) {
    if (state.range(0) == 0) {
      tracker.calibrateData(raw, tracker.calibrationInfo(), out);
      benchmark::DoNotOptimize(out);
    } else {
      eigenCalibrate(raw, *tracker.calibrationInfo(), eigenOut);
      benchmark::DoNotOptimize(eigenOut);
    }
  }
}
BENCHMARK(BM_CalibrateData)->Arg(0)->Arg(1);

}  // namespace
