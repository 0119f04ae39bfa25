// Zkf3w filter step on simulated increments, with per-step median and 99th percentile: steady
// T_int (the time-dependent table cached) and alternating T_int (recomputed every step, as after
// lost packets); the parts of a step; and beside them the same model's step in covariance form
// with Eigen fixed-size matrices, fed the transition, noise and measurement matrices the filter
// used on a settled, turning step, alone and paired with the filter's step on the same sample
// (with the ratio of the medians). Counter allocs = heap allocations per step after the first
// (in the paired run: per filter step and reference step together).
#include <benchmark/benchmark.h>

#include <Eigen/Dense>
#include <algorithm>
#include <chrono>
#include <vector>

#include "filters/common/KtHardwareParams.h"
#include "filters/common/ZkfUserParams.h"
#include "filters/zkf3w/Zkf3wFilter.h"
#include "filters/zkf3w/Zkf3wScenarioParams.h"
#include "filtersim/MotionSimulator.h"
#include "support/AllocationCounter.h"

namespace {

constexpr double kT = 0.01;

zelto::Zkf3wParams makeParams() {
  zelto::Zkf3wScenarioParams s;
  s.f_gyr_oor = s.f_acc_oor = 10.0;
  s.ndAcc = 0.002;
  s.ndGyr = 0.0005;
  s.sd_v_mag = 0.00015;
  s.deltaGyrBias = 1e-5;
  s.f_acc_dynamic = 0.05;
  s.tau_acc = 0.5;
  s.sd_v_accLowpass = 0.05;
  s.tau_magavg = s.tau_magvar = 10.0;
  s.tau_mag_temp = 100.0;
  s.sd_w_mag_temp_max = 0.01;
  s.f_magvar = 1.0;
  s.c_mag_max = 0.1;
  s.tau_vel = 1.0;
  s.dp_boost = s.p_mag_spat = 1.0;
  s.sd_w_mag_spat = 0.01;
  s.validity_accThreshold = s.validity_magThreshold = 1e6;
  s.validity_gyroBiasThreshold = s.validity_angularUncertaintyThreshold = 1.0;
  s.initialConditions.sd_init_orient = 0.05;
  s.initialConditions.sd_init_acc = 0.1;
  s.initialConditions.sd_init_gyrBias = 0.01;
  s.initialConditions.sd_init_magvar[0] = s.initialConditions.sd_init_magvar[1] =
      s.initialConditions.sd_init_magvar[2] = 0.01;
  s.initialConditions.sd_init_mag = 0.1;
  s.flags = 3;
  KtHardwareParams h;
  h.acc_range = 160.0;
  h.gyr_range = 2000.0;
  ZkfUserParams u;
  u.sampleRate = 100.0;
  u.enabledFixedGravity = true;
  u.gravityMagnitude = 9.81;
  u.storedLatLongAlt = zelto::Vector3(52.0, 6.0, 10.0);
  zelto::Zkf3wParams p;
  p.initialize(s, h, u, zelto::Zkf3wFilterSteps());
  return p;
}

struct Input {
  zelto::Zkf3wSensorData sd;
  zelto::Zkf3wAiding ad;
};

std::vector<Input> samples(bool moving) {
  filtersim::SimulatorConfig c;
  c.truthRate = 1000.0;
  c.outputRate = 100.0;
  c.latitude = 52.0 * M_PI / 180.0;
  c.acc.noiseDensity = 0.002;
  c.gyr.noiseDensity = 0.0005;
  c.mag.noiseDensity = 0.0005;
  c.gyr.bias = filtersim::Vec3(0.002, -0.001, 0.003);
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
    in.sd.dq = zelto::Quaternion(s.dq.w(), s.dq.x(), s.dq.y(), s.dq.z());
    for (int i = 0; i < 3; ++i) {
      in.sd.dv[i] = s.dv[i];
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

// range(0): 0 still, 1 turning; range(1): 0 steady T_int, 1 alternating 0.01 / 0.02 s.
void BM_Zkf3wStep(benchmark::State& state) {
  const std::vector<Input> in = samples(state.range(0) != 0);
  const bool alternating = state.range(1) != 0;
  const zelto::Zkf3wParams p = makeParams();
  zelto::Zkf3wFilter f(&p);
  zelto::Zkf3wRealTimeParameters rt;
  zelto::Zkf3wFilterOutput out;
  f.doOneKalmanStep(in[0].sd, in[0].ad, rt, out, kT);  // initialisation, not timed
  std::vector<double> ns;
  ns.reserve(1 << 20);
  size_t i = 1;
  const uint64_t tablesBefore = f.timeDependentParams().recomputations();
  AllocationCounter counter;
  for (auto _ : state) {
    const double T = alternating && (i & 1) != 0 ? 2.0 * kT : kT;
    const auto t0 = std::chrono::steady_clock::now();
    f.doOneKalmanStep(in[i].sd, in[i].ad, rt, out, T);
    const auto t1 = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(out.orientation.w);
    if (ns.size() < ns.capacity()) ns.push_back(std::chrono::duration<double, std::nano>(t1 - t0).count());
    if (++i == in.size()) i = 1;  // the trajectory repeats
  }
  const double iterations = static_cast<double>(state.iterations());
  state.counters["allocs"] = static_cast<double>(counter.count()) / iterations;
  state.counters["tables_per_step"] =
      static_cast<double>(f.timeDependentParams().recomputations() - tablesBefore) / iterations;
  percentiles(state, ns);
}
BENCHMARK(BM_Zkf3wStep)
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->ArgNames({"moving", "alternating"})
    ->Iterations(200000)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

// One part of a step on a settled, turning filter. Each iteration first restores the settled
// state (so repeated parts do not drift); "restore" is that copy alone, to subtract.
void BM_Zkf3wPart(benchmark::State& state) {
  const std::vector<Input> in = samples(true);
  const zelto::Zkf3wParams p = makeParams();
  zelto::Zkf3wFilter f(&p);
  zelto::Zkf3wRealTimeParameters rt;
  zelto::Zkf3wFilterOutput out;
  for (size_t i = 0; i < 200; ++i) f.doOneKalmanStep(in[i].sd, in[i].ad, rt, out, kT);
  zelto::Zkf3wState settled;
  f.getFullState(&settled);
  AllocationCounter counter;
  for (auto _ : state) {
    f.setFullState(&settled);
    switch (state.range(0)) {
      case 4: break;
      case 0: f.predict(rt); break;
      case 1: f.doAccelerationUpdate(); break;
      case 2: f.doMagnetometerUpdate(); break;
      default: f.correct(); break;
    }
    benchmark::DoNotOptimize(f.state().sx.data[0]);
  }
  state.counters["allocs"] = static_cast<double>(counter.count()) / static_cast<double>(state.iterations());
  static const char* const names[] = {"predict", "accUpdate", "magUpdate", "correct", "restore"};
  state.SetLabel(names[state.range(0)]);
}
BENCHMARK(BM_Zkf3wPart)->DenseRange(0, 4)->Repetitions(5)->ReportAggregatesOnly(true);

// The model of one settled, turning step as the filter applied it.
struct Model : zelto::Zkf3wStepObserver {
  Eigen::Matrix<double, 12, 12> Phi, Q;
  Eigen::Matrix<double, 3, 12> H[2];
  Eigen::Matrix3d R[2];
  Eigen::Matrix<double, 3, 1> y[2];
  int updates = 0;
  void predicted(const zelto::Matrix& phi, const zelto::Matrix& b, const zelto::Vector&) override {
    Eigen::Matrix<double, 12, 12> B;
    for (int r = 0; r < 12; ++r)
      for (int c = 0; c < 12; ++c) {
        Phi(r, c) = phi(r, c);
        B(r, c) = b(r, c);
      }
    Q = B * B.transpose();
    updates = 0;
  }
  void measurementUpdate(const zelto::Vector& v, const zelto::Matrix& h, const zelto::Matrix& sR) override {
    if (updates > 1) return;
    for (int r = 0; r < 3; ++r) {
      y[updates][r] = v[r];
      for (int c = 0; c < 12; ++c) H[updates](r, c) = h(r, c);
      for (int c = 0; c < 3; ++c) R[updates](r, c) = sR(r, c) * sR(c, c);
    }
    ++updates;
  }
  void corrected(const zelto::Matrix&, ZtSize, bool) override {}
};

// The same step in covariance form: P = Phi P Phi^T + Q, two updates of three measurements
// with K = P H^T (H P H^T + R)^-1 and the Joseph form, x updated alongside.
void BM_DenseCovarianceStep(benchmark::State& state) {
  using M12 = Eigen::Matrix<double, 12, 12>;
  using M3 = Eigen::Matrix3d;
  using V12 = Eigen::Matrix<double, 12, 1>;
  const std::vector<Input> in = samples(true);
  const zelto::Zkf3wParams p = makeParams();
  zelto::Zkf3wFilter f(&p);
  zelto::Zkf3wRealTimeParameters rt;
  zelto::Zkf3wFilterOutput out;
  for (size_t i = 0; i < 200; ++i) f.doOneKalmanStep(in[i].sd, in[i].ad, rt, out, kT);
  Model model;
  f.setStepObserver(&model);
  f.doOneKalmanStep(in[200].sd, in[200].ad, rt, out, kT);
  M12 S;
  V12 x0;
  for (int r = 0; r < 12; ++r) {
    x0[r] = f.state().x[r];
    for (int c = 0; c < 12; ++c) S(r, c) = f.state().sQx(r, c);
  }
  const M12 P0 = S * S.transpose();
  M12 P = P0;
  V12 x = x0;
  AllocationCounter counter;
  for (auto _ : state) {
    P = model.Phi * P * model.Phi.transpose() + model.Q;
    for (int k = 0; k < 2; ++k) {
      const auto& H = model.H[k];
      const M3 Sk = H * P * H.transpose() + model.R[k];
      const Eigen::Matrix<double, 12, 3> K = P * H.transpose() * Sk.inverse();
      x += K * (model.y[k] - H * x);
      const M12 IKH = M12::Identity() - K * H;
      P = IKH * P * IKH.transpose() + K * model.R[k] * K.transpose();
    }
    benchmark::DoNotOptimize(P.data());
    benchmark::DoNotOptimize(x.data());
    P = P0;  // every iteration the same step
    x = x0;
  }
  state.counters["allocs"] = static_cast<double>(counter.count()) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_DenseCovarianceStep)->Repetitions(5)->ReportAggregatesOnly(true);

// The filter's step and the dense reference's step on the same settled, turning sample, timed
// one after the other in every iteration so that both see the same machine load: median and
// 99th percentile of each and ratio = filter median / reference median. The filter's state is
// restored before its step, untimed.
void BM_StepVersusDense(benchmark::State& state) {
  using M12 = Eigen::Matrix<double, 12, 12>;
  using M3 = Eigen::Matrix3d;
  using V12 = Eigen::Matrix<double, 12, 1>;
  const std::vector<Input> in = samples(true);
  const zelto::Zkf3wParams p = makeParams();
  zelto::Zkf3wFilter f(&p);
  zelto::Zkf3wRealTimeParameters rt;
  zelto::Zkf3wFilterOutput out;
  for (size_t i = 0; i < 200; ++i) f.doOneKalmanStep(in[i].sd, in[i].ad, rt, out, kT);
  zelto::Zkf3wState settled;
  f.getFullState(&settled);
  Model model;
  f.setStepObserver(&model);
  f.doOneKalmanStep(in[200].sd, in[200].ad, rt, out, kT);
  f.setStepObserver(nullptr);
  M12 S;
  V12 x0;
  for (int r = 0; r < 12; ++r) {
    x0[r] = settled.x[r];
    for (int c = 0; c < 12; ++c) S(r, c) = settled.sQx(r, c);
  }
  const M12 P0 = S * S.transpose();
  M12 P = P0;
  V12 x = x0;
  std::vector<double> filterNs, denseNs;
  filterNs.reserve(1 << 20);
  denseNs.reserve(1 << 20);
  AllocationCounter counter;
  for (auto _ : state) {
    f.setFullState(&settled);
    const auto t0 = std::chrono::steady_clock::now();
    f.doOneKalmanStep(in[200].sd, in[200].ad, rt, out, kT);
    const auto t1 = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(out.orientation.w);
    P = P0;
    x = x0;
    const auto t2 = std::chrono::steady_clock::now();
    P = model.Phi * P * model.Phi.transpose() + model.Q;
    for (int k = 0; k < 2; ++k) {
      const auto& H = model.H[k];
      const M3 Sk = H * P * H.transpose() + model.R[k];
      const Eigen::Matrix<double, 12, 3> K = P * H.transpose() * Sk.inverse();
      x += K * (model.y[k] - H * x);
      const M12 IKH = M12::Identity() - K * H;
      P = IKH * P * IKH.transpose() + K * model.R[k] * K.transpose();
    }
    benchmark::DoNotOptimize(P.data());
    benchmark::DoNotOptimize(x.data());
    const auto t3 = std::chrono::steady_clock::now();
    if (filterNs.size() < filterNs.capacity()) {
      filterNs.push_back(std::chrono::duration<double, std::nano>(t1 - t0).count());
      denseNs.push_back(std::chrono::duration<double, std::nano>(t3 - t2).count());
    }
  }
  state.counters["allocs"] = static_cast<double>(counter.count()) / static_cast<double>(state.iterations());
  if (filterNs.empty()) return;
  std::sort(filterNs.begin(), filterNs.end());
  std::sort(denseNs.begin(), denseNs.end());
  const size_t mid = filterNs.size() / 2, p99 = std::min(filterNs.size() - 1, filterNs.size() * 99 / 100);
  state.counters["filter_median_ns"] = filterNs[mid];
  state.counters["filter_p99_ns"] = filterNs[p99];
  state.counters["dense_median_ns"] = denseNs[mid];
  state.counters["dense_p99_ns"] = denseNs[p99];
  state.counters["ratio"] = filterNs[mid] / denseNs[mid];
}
BENCHMARK(BM_StepVersusDense)->Iterations(200000)->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace
