// Fourth-generation tracker per-packet processing at 2000 Hz, beside the same arithmetic without
// the device, measured in the same run.
//  - BM_Mk4Packet/<0 library, 1 reference>: one raw packet (counts, temperature, status) through
//    KtMk4Device's chain (fourth-generation calibration with four temperatures, the raw strapdown
//    window of five samples writing 400 Hz increments, no host filter, delivery to a counting
//    sink); the reference copies the packet, calibrates it with Eigen (quadratic temperature
//    models, K diag(1/gain), acceleration sensitivity), integrates the same increment and writes
//    the calibrated data and, every fifth packet, the increments into the packet.
//    Per-packet times of 20 000 packets after warm-up: p50_us, p99_us; allocs_per_packet.
#include <benchmark/benchmark.h>

#include <Eigen/Dense>
#include <Eigen/Geometry>
#include <algorithm>
#include <chrono>
#include <vector>

#include "ekts/EktsManager.h"
#include "support/AllocationCounter.h"
#include "support/TestDevice.h"
#include "support/emulator/TrackerModel.h"
#include "trackers/KtMk4CalibrationInfo.h"
#include "trackers/KtMk4_X0Device.h"

namespace {

using zelto::test::TrackerModel;

class BenchMk4 : public KtMk4_X0Device {
 public:
  BenchMk4() : KtMk4_X0Device(zelto::test::TestDevice::noFactory(), nullptr) {}
  bool load(const std::vector<uint8_t>& image) {
    if (!m_ekts->initializeFromBuffer(image.data(), static_cast<int>(image.size()), true)) return false;
    refreshFromRecord();
    initializeSdiWindows();
    return initializeSoftwareCalibration();
  }
  void insertPacketInCaches(ZtDataPacket&) override { ++delivered; }
  const KtMk4CalibrationInfo& info() const { return *static_cast<const KtMk4CalibrationInfo*>(calibrationInfo()); }
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

// The same calibration in Eigen (reference).
void eigenCalibrate(const ZtScrData& raw, const KtMk4CalibrationInfo& c, Eigen::Vector3d out[3]) {
  const uint16_t* counts[3] = {raw.acc, raw.gyr, raw.mag};
  for (int s = 0; s < 3; ++s) {
    Eigen::Vector3d v;
    for (int k = 0; k < 3; ++k) {
      const double t = static_cast<int16_t>(raw.temp[s == 1 ? 1 + k : 0]) * 0.00390625 - 35.0;
      const double offset = c.coefficients[s][0][k] + c.coefficients[s][2][k] * t + c.coefficients[s][4][k] * t * t;
      const double gain = c.coefficients[s][1][k] + c.coefficients[s][3][k] * t + c.coefficients[s][5][k] * t * t;
      v[k] = (counts[s][k] - offset) / gain;
    }
    out[s] = Eigen::Map<const Eigen::Matrix<double, 3, 3, Eigen::RowMajor>>(c.k[s]) * v;
  }
  out[1] -= Eigen::Map<const Eigen::Matrix<double, 3, 3, Eigen::RowMajor>>(c.g) * out[0];
}

void BM_Mk4Packet(benchmark::State& state) {
  const bool reference = state.range(0) == 1;
  BenchMk4 tracker;
  TrackerModel model;
  model.useFourthGeneration(0x00101234, {{0xA010, 2000}, {0xE020, 2000}});
  if (!tracker.load(model.recordImage())) {
    state.SkipWithError("record not loaded");
    return;
  }
  tracker.setSoftwareFilteringEnabled(true);
  ZtDataPacket source, work;
  ZtDataPacket_construct(&source);
  ZtDataPacket_construct(&work);
  source.deviceId = tracker.deviceId();
  const ZtScrData raw = sampleRaw();
  ZtDataPacket_setRawData(&source, &raw);
  ZtDataPacket_setStatus(&source, 0);
  const double dt = 1.0 / 2000.0;
  Eigen::Quaterniond windowDq = Eigen::Quaterniond::Identity();
  Eigen::Vector3d windowDv = Eigen::Vector3d::Zero();
  int windowCount = 0;
  auto once = [&] {
    ZtDataPacket_copy(&work, &source);
    if (!reference) {
      tracker.doProcessing(work);
      return;
    }
    Eigen::Vector3d c[3];
    eigenCalibrate(raw, tracker.info(), c);
    ZtCalibratedData cal;
    for (int i = 0; i < 3; ++i) {
      cal.acc[i] = c[0][i];
      cal.gyr[i] = c[1][i];
      cal.mag[i] = c[2][i];
    }
    ZtDataPacket_setCalibratedData(&work, &cal);
    const Eigen::Vector3d angle = c[1] * dt;
    const Eigen::Quaterniond dq(Eigen::AngleAxisd(angle.norm(), angle.norm() > 0 ? angle.normalized() : Eigen::Vector3d::UnitX()));
    windowDv += windowDq * (c[0] * dt);
    windowDq = (windowDq * dq).normalized();
    if (++windowCount == 5) {
      ZtSdiData sdi;
      sdi.orientationIncrement = ZtQuaternion{windowDq.w(), windowDq.x(), windowDq.y(), windowDq.z()};
      for (int i = 0; i < 3; ++i) sdi.velocityIncrement[i] = windowDv[i];
      ZtDataPacket_setSdiData(&work, &sdi);
      windowDq = Eigen::Quaterniond::Identity();
      windowDv.setZero();
      windowCount = 0;
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
  if (!reference) state.counters["delivered"] = static_cast<double>(tracker.delivered);
  ZtDataPacket_destruct(&work);
  ZtDataPacket_destruct(&source);
}
BENCHMARK(BM_Mk4Packet)->Arg(0)->Arg(1)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace
