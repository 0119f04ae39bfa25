// Zkf700 filter step by kind of sample (ordinary sample with the magnetometer update, barometer
// sample, GNSS epoch, first GNSS epoch, sample in a no-rotation window), each timed 10 000 times
// from the same settled state for the median and the 99th percentile, and beside them the same
// model's step in covariance form with Eigen fixed-size matrices (18-state time update, a
// six-row GNSS and two three-row updates). Counter allocs = heap allocations per step.
#include <benchmark/benchmark.h>

#include <Eigen/Dense>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "filters/zkf700/Zkf700TestTuning.h"
#include "filtersim/VehicleRoute.h"
#include "support/AllocationCounter.h"

namespace {

using namespace zkf700test;

enum Kind { Magnetometer = 0, Barometer, GnssEpoch, FirstGnssEpoch, NoRotation };

struct Case {
  zelto::Zkf700Params params;
  zelto::Zkf700State state;  // just before the timed sample
  zelto::Zkf700SensorData sensor;
  zelto::Zkf700Aiding aiding;
  zelto::Zkf700RealTimeParameters realTime;
};

// Runs the built-in profile over a vehicle route with GNSS at 1 Hz and a barometer at 10 Hz and
// stops just before the first sample of the requested kind.
Case prepare(Kind kind) {
  Case c;
  zelto::Zkf700ScenarioParams s = builtInProfile();
  s.updateFlags |= zelto::Zkf700ScenarioParams::kHolonomicUpdate;
  ZkfUserParams u = user();
  u.n_s_m = zelto::Vector3(1.0, 0.0, 0.0);
  c.params.initialize(s, hardware(), u, zelto::Zkf700FilterSteps());
  filtersim::SimulatorConfig config = simConfig(c.params, 5);
  config.gyr.noiseDensity = 0.0347 * M_PI / 180.0;
  config.acc.noiseDensity = 0.002;
  config.mag.noiseDensity = 0.001;
  filtersim::VehicleRoute route(0.3);
  route.stop(12).accelerate(4, 2).cruise(10).turn(6, 0.1).cruise(10);
  config.initialAttitude = route.initialAttitude();
  filtersim::MotionSimulator sim(config, route.segments());
  filtersim::GnssConfig g;
  filtersim::GnssReceiver rx(g, sim.frame());
  filtersim::Barometer baro(filtersim::BarometerConfig{});
  Driver d(c.params);
  filtersim::Sample sample;
  int n = 0;
  // The first epoch: fixes are held back for the first 5 s, so the filter is settled when the
  // first one arrives.
  const double after = kind == FirstGnssEpoch ? 5.0 : kind == NoRotation ? 1.0 : 20.0;
  while (sim.next(sample)) {
    ++n;
    if (kind == NoRotation && n == 500) d.realTime.m_noRotationDuration = 5;
    const bool fix = rx.update(sample) && !(kind == FirstGnssEpoch && sample.t < after);
    const bool pressure = baro.update(sample);
    bool wanted = false;
    if (d.filter.isInitialized() && (sample.t > after || kind == FirstGnssEpoch)) {
      switch (kind) {
        case Magnetometer: wanted = !fix && !pressure; break;
        case Barometer: wanted = pressure && !fix; break;
        case GnssEpoch: wanted = fix; break;
        case FirstGnssEpoch: wanted = fix && d.filter.state().firstGPS; break;
        case NoRotation: wanted = d.filter.state().zruSamplesToProcess > 10 && !fix && !pressure; break;
      }
    }
    toSensor(sample, d.sensor);
    d.aiding.mag = zelto::Vector3(sample.mag.x(), sample.mag.y(), sample.mag.z());
    d.aiding.magValid = true;
    if (fix) setGnss(rx.last(), d.aiding);
    if (pressure) {
      d.aiding.baro = baro.pressure();
      d.aiding.baroValid = true;
    }
    if (wanted) {
      c.state = d.filter.state();
      c.sensor = d.sensor;
      c.aiding = d.aiding;
      c.realTime = d.realTime;
      return c;
    }
    if (d.filter.doOneKalmanStep(d.sensor, d.aiding, d.realTime, d.output, zelto::Zkf700Filter::WholeStep))
      d.aiding = zelto::Zkf700Aiding();
    d.realTime.m_noRotationDuration = 0;
  }
  std::fprintf(stderr, "no sample of kind %d found\n", static_cast<int>(kind));
  std::abort();
}

void percentiles(benchmark::State& state, std::vector<double>& ns) {
  if (ns.empty()) return;
  std::sort(ns.begin(), ns.end());
  state.counters["median_ns"] = ns[ns.size() / 2];
  state.counters["p99_ns"] = ns[std::min(ns.size() - 1, ns.size() * 99 / 100)];
}

void BM_Zkf700Step(benchmark::State& state) {
  const Kind kind = static_cast<Kind>(state.range(0));
  const Case c = prepare(kind);
  zelto::Zkf700Filter f(&c.params);
  zelto::Zkf700FilterOutput out;
  // The magnetometer flag of the filter is set once and stays.
  f.setFullStateChecked(&c.state);
  std::vector<double> ns;
  ns.reserve(state.max_iterations);
  uint64_t allocations = 0;
  for (auto _ : state) {
    f.setFullStateChecked(&c.state);
    AllocationCounter counter;
    const auto t0 = std::chrono::steady_clock::now();
    f.doOneKalmanStep(c.sensor, c.aiding, c.realTime, out, zelto::Zkf700Filter::WholeStep);
    const auto t1 = std::chrono::steady_clock::now();
    allocations += counter.count();
    benchmark::DoNotOptimize(out.m_orientation.w);
    ns.push_back(std::chrono::duration<double, std::nano>(t1 - t0).count());
  }
  state.counters["allocs"] = static_cast<double>(allocations) / static_cast<double>(state.iterations());
  static const char* const names[] = {"magnetometer", "barometer", "gnss epoch", "first gnss epoch", "no-rotation"};
  state.SetLabel(names[kind]);
  percentiles(state, ns);
}
BENCHMARK(BM_Zkf700Step)->DenseRange(0, 4)->Iterations(10000)->Repetitions(3)->ReportAggregatesOnly(true);

// The same model in covariance form: P = Phi P Phi^T + G G^T, then a six-row GNSS update and
// two three-row updates (magnetometer, acceleration) with K = P H^T (H P H^T + R)^-1 and the
// Joseph form, x updated alongside.
void BM_DenseCovarianceStep(benchmark::State& state) {
  using M18 = Eigen::Matrix<double, 18, 18>;
  using V18 = Eigen::Matrix<double, 18, 1>;
  M18 Phi = M18::Identity(), G = M18::Identity() * 1e-3, P = M18::Identity() * 0.01;
  Phi.block<3, 3>(0, 3) = Eigen::Matrix3d::Identity() * 0.01;
  Phi.block<3, 3>(0, 15) = Eigen::Matrix3d::Random() * 1e-3;
  Phi.block<3, 3>(3, 15) = Eigen::Matrix3d::Random() * 0.1;
  Phi.block<3, 3>(12, 15) = Eigen::Matrix3d::Random() * 0.1;
  Phi.block<3, 3>(15, 9) = Eigen::Matrix3d::Identity() * 0.01;
  Eigen::Matrix<double, 6, 18> Hg = Eigen::Matrix<double, 6, 18>::Zero();
  Hg.block<6, 6>(0, 0).setIdentity();
  Eigen::Matrix<double, 3, 18> Hm = Eigen::Matrix<double, 3, 18>::Zero(), Ha = Hm;
  Hm.block<3, 3>(0, 6) = Eigen::Vector3d(1, 1, 0).asDiagonal();
  Hm.block<3, 3>(0, 15) = Eigen::Matrix3d::Random();
  Ha.block<3, 3>(0, 12).setIdentity();
  const Eigen::Matrix<double, 6, 6> Rg = Eigen::Matrix<double, 6, 6>::Identity();
  const Eigen::Matrix3d R3 = Eigen::Matrix3d::Identity() * 0.01;
  V18 x = V18::Zero();
  const Eigen::Matrix<double, 6, 1> yg = Eigen::Matrix<double, 6, 1>::Constant(0.1);
  const Eigen::Vector3d y3(0.01, -0.02, 0.0);
  std::vector<double> ns;
  ns.reserve(state.max_iterations);
  uint64_t allocations = 0;
  for (auto _ : state) {
    AllocationCounter counter;
    const auto t0 = std::chrono::steady_clock::now();
    P = Phi * P * Phi.transpose() + G * G.transpose();
    {
      const Eigen::Matrix<double, 6, 6> S = Hg * P * Hg.transpose() + Rg;
      const Eigen::Matrix<double, 18, 6> K = P * Hg.transpose() * S.inverse();
      x += K * (yg - Hg * x);
      const M18 IKH = M18::Identity() - K * Hg;
      P = IKH * P * IKH.transpose() + K * Rg * K.transpose();
    }
    for (const Eigen::Matrix<double, 3, 18>* H : {&Hm, &Ha}) {
      const Eigen::Matrix3d S = *H * P * H->transpose() + R3;
      const Eigen::Matrix<double, 18, 3> K = P * H->transpose() * S.inverse();
      x += K * (y3 - *H * x);
      const M18 IKH = M18::Identity() - K * *H;
      P = IKH * P * IKH.transpose() + K * R3 * K.transpose();
    }
    const auto t1 = std::chrono::steady_clock::now();
    allocations += counter.count();
    benchmark::DoNotOptimize(P.data());
    benchmark::DoNotOptimize(x.data());
    ns.push_back(std::chrono::duration<double, std::nano>(t1 - t0).count());
    if ((ns.size() & 1023) == 0) P = M18::Identity() * 0.01;  // keep the numbers in range
  }
  state.counters["allocs"] = static_cast<double>(allocations) / static_cast<double>(state.iterations());
  percentiles(state, ns);
}
BENCHMARK(BM_DenseCovarianceStep)->Iterations(10000)->Repetitions(3)->ReportAggregatesOnly(true);

}  // namespace
