// Zkf6 filter step per kind of step of the default schedule (no aiding update, a GNSS position
// epoch, the GNSS velocity step after it, a magnetometer step, a step in a GNSS outage with the
// holonomic constraint) with per-step median and 99th percentile over 10 000 steps, each from the
// same settled state of a simulated drive; beside them the same model's step in covariance form
// with Eigen fixed-size matrices (15-state time update and one 3-row update). Counter allocs =
// heap allocations per step.
#include <benchmark/benchmark.h>

#include <Eigen/Dense>
#include <algorithm>
#include <chrono>
#include <vector>

#include "filters/zkf6/Zkf6TestTuning.h"
#include "support/AllocationCounter.h"

namespace {

using S = zelto::Zkf6ScenarioParams;

enum Kind { kNoAiding, kGpsPosition, kGpsVelocity, kMagnetometer, kOutage };

struct Settled {
  zelto::Zkf6State state;
  zelto::Zkf6SensorData sensor;
  zelto::Zkf6Aiding aiding;
};

// The state after a minute of the test drive, and the inputs of that sample.
const Settled& settled() {
  static const Settled s = [] {
    Settled out;
    zkf6test::Drive d;
    d.truthRate = 200.0;
    zkf6test::NavigationRig rig(d);
    while (rig.step() && rig.sample().t < 60.0) {
    }
    out.state = rig.filter().state();
    for (int i = 0; i < 3; ++i) {
      out.sensor.inertial.acc[i] = rig.sample().meanSpecificForce()[i];
      out.sensor.inertial.gyr[i] = rig.sample().meanRate()[i];
    }
    out.aiding = rig.aiding();
    return out;
  }();
  return s;
}

void BM_Zkf6Step(benchmark::State& state) {
  const Kind kind = static_cast<Kind>(state.range(0));
  static const char* const names[] = {"no aiding", "GNSS position", "GNSS velocity", "magnetometer", "outage"};
  state.SetLabel(names[kind]);
  zelto::Zkf6ScenarioParams s = zkf6test::scenario();
  s.updateSwitches = kind == kMagnetometer ? S::kGpsUpdate | S::kMagFieldUpdate
                     : kind == kOutage     ? S::kGpsUpdate | S::kHolonomicUpdate
                                           : S::kGpsUpdate;
  zelto::Zkf6Filter f(zkf6test::params(s).get());
  Settled in = settled();
  in.state.previousUpdate = kind == kGpsVelocity ? 1 : 0;
  in.state.gps.gpsAge = kind == kGpsPosition ? 10 : 3;
  in.aiding.gps.gpsAge = kind == kGpsPosition ? 0 : kind == kOutage ? 255 : 3;
  in.aiding.gps.pressureAge = in.state.gps.pressureAge;
  if (kind == kOutage) in.state.gpsAgeLong = 5000;
  zelto::Zkf6RealTimeParameters rt;
  zelto::Zkf6FilterOutput out;
  if (!f.setFullStateChecked(&in.state)) {
    state.SkipWithError("settled state refused");
    return;
  }
  f.doOneKalmanStep(in.sensor, in.aiding, rt, out);  // warms the work storage, not timed
  if (f.state().previousUpdate != (kind == kGpsPosition   ? 1u
                                   : kind == kGpsVelocity ? 2u
                                   : kind == kMagnetometer ? 6u
                                   : kind == kOutage       ? 5u
                                                           : 0u)) {
    state.SkipWithError("the step ran another update");
    return;
  }
  std::vector<double> ns;
  ns.reserve(1 << 20);
  AllocationCounter counter;
  for (auto _ : state) {
    f.setFullState(&in.state);
    const auto t0 = std::chrono::steady_clock::now();
    f.doOneKalmanStep(in.sensor, in.aiding, rt, out);
    const auto t1 = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(out.orientation.w);
    if (ns.size() < ns.capacity()) ns.push_back(std::chrono::duration<double, std::nano>(t1 - t0).count());
  }
  state.counters["allocs"] = static_cast<double>(counter.count()) / static_cast<double>(state.iterations());
  std::sort(ns.begin(), ns.end());
  state.counters["median_ns"] = ns[ns.size() / 2];
  state.counters["p99_ns"] = ns[std::min(ns.size() - 1, ns.size() * 99 / 100)];
}
BENCHMARK(BM_Zkf6Step)->DenseRange(0, 4)->Iterations(20000)->Repetitions(5)->ReportAggregatesOnly(true);

// The same model in covariance form: P = F P F^T + G G^T with the filter's block structure,
// then one update of three measurements with K = P H^T (H P H^T + R)^-1 and the Joseph form.
void BM_DenseCovarianceStep(benchmark::State& state) {
  using M15 = Eigen::Matrix<double, 15, 15>;
  using M3x15 = Eigen::Matrix<double, 3, 15>;
  using V15 = Eigen::Matrix<double, 15, 1>;
  M15 F = M15::Identity(), G = M15::Zero(), P = M15::Identity() * 0.01;
  F.block<3, 3>(0, 3) = Eigen::Matrix3d::Identity() * 0.01;
  F.block<3, 3>(0, 12) = Eigen::Matrix3d::Random() * 1e-4;
  F.block<3, 3>(0, 6) = Eigen::Matrix3d::Random() * 1e-4;
  F.block<3, 3>(3, 12) = Eigen::Matrix3d::Random() * 0.1;
  F.block<3, 3>(3, 6) = Eigen::Matrix3d::Random() * 0.01;
  F.block<3, 3>(12, 12) = Eigen::Matrix3d::Identity();
  F.block<3, 3>(12, 9) = Eigen::Matrix3d::Identity() * 0.01;
  for (int b = 0; b < 5; ++b) G.block<3, 3>(3 * b, 3 * b) = Eigen::Matrix3d::Random() * 1e-3;
  M3x15 H = M3x15::Zero();
  H.block<3, 3>(0, 0).setIdentity();
  H.block<3, 3>(0, 12) = Eigen::Matrix3d::Random();
  const Eigen::Matrix3d R = Eigen::Matrix3d::Identity() * 2.25;
  V15 x = V15::Zero();
  const Eigen::Vector3d z(0.3, -0.2, 0.5);
  std::vector<double> ns;
  ns.reserve(1 << 20);
  AllocationCounter counter;
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    P = F * P * F.transpose() + G * G.transpose();
    x = F * x;
    const Eigen::Matrix3d Sm = H * P * H.transpose() + R;
    const Eigen::Matrix<double, 15, 3> K = P * H.transpose() * Sm.inverse();
    x += K * (z - H * x);
    const M15 IKH = M15::Identity() - K * H;
    P = IKH * P * IKH.transpose() + K * R * K.transpose();
    const auto t1 = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(P.data());
    benchmark::DoNotOptimize(x.data());
    if (ns.size() < ns.capacity()) ns.push_back(std::chrono::duration<double, std::nano>(t1 - t0).count());
  }
  state.counters["allocs"] = static_cast<double>(counter.count()) / static_cast<double>(state.iterations());
  std::sort(ns.begin(), ns.end());
  state.counters["median_ns"] = ns[ns.size() / 2];
  state.counters["p99_ns"] = ns[std::min(ns.size() - 1, ns.size() * 99 / 100)];
}
BENCHMARK(BM_DenseCovarianceStep)->Iterations(20000)->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace
