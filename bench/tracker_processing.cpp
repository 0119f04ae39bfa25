// Tracker per-packet processing, each figure beside a plain reference measured in the same run.
//  - BM_DoProcessing/<0 library, 1 reference>: one raw packet through KtDevice::doProcessing with
//    a no-op host filter (calibration, strapdown window, orientation resets, delivery to a
//    counting sink); the reference copies the packet and writes Eigen-calibrated data into it.
//    Per-packet times of 20 000 packets after warm-up: p50_us, p99_us; allocs_per_packet.
//  - BM_CalibrateData/<0 library, 1 Eigen>: one sample calibrated (three 3x3 inverses at the
//    sample's temperature); ns per call from the benchmark's own timing.
//  - BM_PacketWrites/<0 library, 1 plain>: a streamed packet (counter, raw data, status word)
//    copied and given what the host-filtered tracker writes into it (calibrated data, increments,
//    orientation, free acceleration, the status rewritten); the plain reference copies the same
//    frame into a buffer, appends the same items' bytes and sums the checksum once. ns per
//    packet from the benchmark's own timing, warm caches.
#include <benchmark/benchmark.h>

#include <Eigen/Dense>
#include <algorithm>
#include <chrono>
#include <cstring>
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

// Big-endian IEEE double, as the packet's double items hold their values.
uint8_t* plainDoubles(uint8_t* at, uint16_t id, const double* v, int n) {
  at[0] = static_cast<uint8_t>(id >> 8);
  at[1] = static_cast<uint8_t>(id);
  at[2] = static_cast<uint8_t>(8 * n);
  at += 3;
  for (int i = 0; i < n; ++i, at += 8) {
    uint64_t bits;
    std::memcpy(&bits, &v[i], sizeof bits);
    bits = __builtin_bswap64(bits);
    std::memcpy(at, &bits, sizeof bits);
  }
  return at;
}

void BM_PacketWrites(benchmark::State& state) {
  const bool reference = state.range(0) == 1;
  ZtDataPacket source, work;
  ZtDataPacket_construct(&source);
  ZtDataPacket_construct(&work);
  const ZtScrData raw = sampleRaw();
  ZtDataPacket_setPacketCounter(&source, 7);
  ZtDataPacket_setRawData(&source, &raw);
  ZtDataPacket_setStatus(&source, 1);
  const ZtCalibratedData cal{{0.5, -9.81, 1e-3}, {0.25, -0.125, 3.0}, {0.4, 0.0, -0.6}};
  const ZtSdiData sdi{{1.0, 1e-4, -2e-4, 3e-4}, {1e-3, -2e-3, 4.9e-3}};
  const ZtQuaternion q{0.5, 0.5, -0.5, 0.5};
  double freeValues[3] = {0.01, -0.02, 0.03};
  ZtVector free;
  ZtVector_construct(&free, 3, freeValues);
  uint8_t plain[512];
  for (auto _ : state) {
    if (!reference) {
      ZtDataPacket_copy(&work, &source);
      ZtDataPacket_setCalibratedData(&work, &cal);
      ZtDataPacket_setSdiData(&work, &sdi);
      ZtDataPacket_setOrientationQuaternion(&work, &q, ZDI_FrameNwu);
      ZtDataPacket_setFreeAcceleration(&work, &free);
      ZtDataPacket_setStatus(&work, 0x00801003);
      benchmark::DoNotOptimize(work.message.bytes.data);
    } else {
      const size_t size = ZtMessage_getTotalMessageSize(&source.message);
      std::memcpy(plain, ZtMessage_getMessageStart(&source.message), size);
      uint8_t* at = plain + size - 1;
      at = plainDoubles(at, 0x4023, cal.acc, 3);
      at = plainDoubles(at, 0x8023, cal.gyr, 3);
      at = plainDoubles(at, 0xC023, cal.mag, 3);
      const double dq[4] = {sdi.orientationIncrement.w, sdi.orientationIncrement.x, sdi.orientationIncrement.y,
                            sdi.orientationIncrement.z};
      at = plainDoubles(at, 0x8033, dq, 4);
      at = plainDoubles(at, 0x4013, sdi.velocityIncrement, 3);
      const double qv[4] = {q.w, q.x, q.y, q.z};
      at = plainDoubles(at, 0x201B, qv, 4);
      at = plainDoubles(at, 0x4033, freeValues, 3);
      plain[size - 2] = 0x03;  // the status word's last byte, as the tracker rewrites it
      plain[3] = static_cast<uint8_t>(at - plain - 4);
      unsigned sum = 0;
      for (const uint8_t* b = plain + 1; b < at; ++b) sum += *b;
      *at = static_cast<uint8_t>(0x100u - (sum & 0xFFu));
      benchmark::DoNotOptimize(plain);
    }
  }
  ZtVector_destruct(&free);
  ZtDataPacket_destruct(&work);
  ZtDataPacket_destruct(&source);
}
BENCHMARK(BM_PacketWrites)->Arg(0)->Arg(1);

}  // namespace
