// Zkf3 filter step, still and turning, with both updates alternating and with the acceleration
// update alone, with per-step median and 99th percentile, the parts of a step, and beside them
// the same model's step in covariance form with Eigen fixed-size matrices (time update and two
// 3-measurement updates). Counter allocs = heap allocations per step.
#include <benchmark/benchmark.h>

#include <Eigen/Dense>
#include <algorithm>
#include <chrono>
#include <vector>

#include "filters/common/KtHardwareParams.h"
#include "filters/common/ZkfUserParams.h"
#include "filters/zkf3/Zkf3Filter.h"
#include "filters/zkf3/Zkf3ScenarioParams.h"
#include "filtersim/MotionSimulator.h"
#include "support/AllocationCounter.h"

namespace {

// updateFlags 3: acceleration and magnetometer updates alternating; 1: the acceleration update
// alone (heading unaided).
zelto::Zkf3Params* makeParams(uint16_t updateFlags = 3) {
  zelto::Zkf3ScenarioParams s;
  s.f_gyr_oor = s.f_acc_oor = 10.0;
  s.sd_v_acc = 0.02;
  s.sd_v_gyr = 0.005;
  s.sd_v_mag = 0.005;
  s.deltaGyrBias = 1e-4;
  s.f_dynamic_acc = 0.05;
  s.tau_acc = 0.5;
  s.sd_v_accLowpass = 1.0;
  s.tau_magavg = s.tau_magvar = 10.0;
  s.tau_mag_temp = 100.0;
  s.sd_w_mag_temp_max = 0.01;
  s.f_magvar = 1.0;
  s.c_mag_max = 0.1;
  s.tau_vel = 1.0;
  s.dp_boost = s.p_mag_spat = 1.0;
  s.sd_w_mag_spat = 0.01;
  s.validity_accThreshold = s.validity_magThreshold = 30.0;
  s.validity_gyroBiasThreshold = 0.1;
  s.validity_angularUncertaintyThreshold = 0.2;
  s.initialConditions.sd_init_orient = 0.05;
  s.initialConditions.sd_init_acc = 0.1;
  s.initialConditions.sd_init_gyrBias = 0.01;
  s.initialConditions.sd_init_mag = 0.1;
  s.updateFlags = updateFlags;
  KtHardwareParams h;
  h.acc_range = 160.0;
  h.gyr_range = 1200.0;
  ZkfUserParams u;
  u.sampleRate = 100.0;
  u.enabledFixedGravity = true;
  u.gravityMagnitude = 9.81;
  u.storedLatLongAlt = zelto::Vector3(52.0, 6.0, 10.0);
  auto* p = new zelto::Zkf3Params;
  p->initialize(s, h, u, zelto::Zkf3FilterSteps());
  return p;
}

struct Input {
  zelto::Zkf3SensorData sd;
  zelto::Zkf3Aiding ad;
};

std::vector<Input> samples(bool moving) {
  filtersim::SimulatorConfig c;
  c.truthRate = 1000.0;
  c.outputRate = 100.0;
  c.latitude = 52.0 * M_PI / 180.0;
  c.acc.noiseDensity = 0.002;
  c.gyr.noiseDensity = 0.0005;
  c.mag.noiseDensity = 0.0005;
  std::vector<filtersim::Segment> segments;
  if (moving)
    segments = {filtersim::Segment::rotate(10.0, filtersim::Vec3(1, 1, 2).normalized(), 1.5),
                filtersim::Segment::sinusoid(10.0, filtersim::Vec3(1, 0, 0), 2.0, 0.5)};
  else
    segments = {filtersim::Segment::still(20.0)};
  filtersim::MotionSimulator sim(c, segments);
  std::vector<Input> out;
  filtersim::Sample s;
  while (sim.next(s)) {
    Input in;
    for (int i = 0; i < 3; ++i) {
      in.sd.inertial.acc[i] = s.acc[i];
      in.sd.inertial.gyr[i] = s.gyr[i];
      in.ad.mag[i] = s.mag[i];
    }
    out.push_back(in);
  }
  return out;
}

void percentiles(benchmark::State& state, std::vector<double>& ns) {
  if (ns.empty()) return;
  std::sort(ns.begin(), ns.end());
  state.counters["median_ns"] = ns[ns.size() / 2];
  state.counters["p99_ns"] = ns[std::min(ns.size() - 1, ns.size() * 99 / 100)];
}

void BM_Zkf3Step(benchmark::State& state) {
  const std::vector<Input> in = samples(state.range(0) != 0);
  zelto::Zkf3Filter f(makeParams(state.range(1) != 0 ? 1 : 3));
  zelto::Zkf3RealTimeParameters rt;
  zelto::Zkf3FilterOutput out;
  f.doOneKalmanStep(in[0].sd, in[0].ad, rt, out);  // initialisation, not timed
  std::vector<double> ns;
  ns.reserve(1 << 20);
  size_t i = 1;
  AllocationCounter counter;
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    f.doOneKalmanStep(in[i].sd, in[i].ad, rt, out);
    const auto t1 = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(out.q_gs.w);
    if (ns.size() < ns.capacity()) ns.push_back(std::chrono::duration<double, std::nano>(t1 - t0).count());
    if (++i == in.size()) i = 1;
  }
  state.counters["allocs"] = static_cast<double>(counter.count()) / static_cast<double>(state.iterations());
  percentiles(state, ns);
}
BENCHMARK(BM_Zkf3Step)
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->ArgNames({"moving", "accOnly"})
    ->Iterations(200000)->Repetitions(5)->ReportAggregatesOnly(true);

// One part of a step on a settled, turning filter. Each iteration first restores the settled
// state (so repeated parts do not drift); "restore" is that copy alone, to subtract.
void BM_Zkf3Part(benchmark::State& state) {
  const std::vector<Input> in = samples(true);
  zelto::Zkf3Filter f(makeParams());
  zelto::Zkf3RealTimeParameters rt;
  zelto::Zkf3FilterOutput out;
  for (size_t i = 0; i < 200; ++i) f.doOneKalmanStep(in[i].sd, in[i].ad, rt, out);
  zelto::Zkf3State settled;
  f.getFullState(&settled);
  AllocationCounter counter;
  for (auto _ : state) {
    f.setFullState(&settled);
    switch (state.range(0)) {
      case 5: break;
      case 0: f.predict(); break;
      case 1: f.doAccelerationUpdate(); break;
      case 2: f.doMagnetometerUpdate(); break;
      case 3: f.doGyroBiasUpdate(); break;
      default: f.correctError(); break;
    }
    benchmark::DoNotOptimize(f.state().sx.data[0]);
  }
  state.counters["allocs"] = static_cast<double>(counter.count()) / static_cast<double>(state.iterations());
  static const char* const names[] = {"predict", "accUpdate", "magUpdate", "gyroBiasUpdate", "correctError",
                                      "restore"};
  state.SetLabel(names[state.range(0)]);
}
BENCHMARK(BM_Zkf3Part)->DenseRange(0, 5)->Repetitions(5)->ReportAggregatesOnly(true);

// The same model in covariance form: P = Phi P Phi^T + Q, then two updates of three
// measurements with K = P H^T (H P H^T + R)^-1 and the Joseph form, x updated alongside.
void BM_DenseCovarianceStep(benchmark::State& state) {
  using M12 = Eigen::Matrix<double, 12, 12>;
  using M3x12 = Eigen::Matrix<double, 3, 12>;
  using M3 = Eigen::Matrix3d;
  using V12 = Eigen::Matrix<double, 12, 1>;
  M12 Phi = M12::Identity(), Q = M12::Identity() * 1e-6, P = M12::Identity() * 0.01;
  Phi.block<3, 3>(0, 9) = Eigen::Matrix3d::Random() * 0.1;
  Phi.block<3, 3>(9, 3) = Eigen::Matrix3d::Identity() * 0.01;
  M3x12 Ha = M3x12::Zero(), Hm = M3x12::Zero();
  Ha.block<3, 3>(0, 0).setIdentity();
  Hm.block<3, 3>(0, 6) = Eigen::Vector3d(1, 1, 0).asDiagonal();
  Hm.block<3, 3>(0, 9) = Eigen::Matrix3d::Random();
  const M3 R = M3::Identity() * 0.04;
  V12 x = V12::Zero();
  const Eigen::Vector3d y(0.01, -0.02, 0.0);
  AllocationCounter counter;
  for (auto _ : state) {
    P = Phi * P * Phi.transpose() + Q;
    for (const M3x12* H : {&Ha, &Hm}) {
      const M3 S = *H * P * H->transpose() + R;
      const Eigen::Matrix<double, 12, 3> K = P * H->transpose() * S.inverse();
      x += K * (y - *H * x);
      const M12 IKH = M12::Identity() - K * *H;
      P = IKH * P * IKH.transpose() + K * R * K.transpose();
    }
    benchmark::DoNotOptimize(P.data());
    benchmark::DoNotOptimize(x.data());
  }
  state.counters["allocs"] = static_cast<double>(counter.count()) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_DenseCovarianceStep)->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace
