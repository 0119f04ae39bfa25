// The per-sample strapdown path beside a plain Eigen rendering of the same steps, and the
// geodetic conversions. Counter allocs = heap allocations per call (must be 0).
#include <benchmark/benchmark.h>

#include <Eigen/Dense>
#include <Eigen/Geometry>
#include <cmath>
#include <random>

#include "support/AllocationCounter.h"
#include "math/geodetic/GeodeticConversions.h"
#include "math/strapdown/Strapdown.h"

namespace {

struct Inputs {
  double acc[3] = {0.3, -0.2, 9.81};
  double gyr[3] = {0.4, -0.3, 1.1};
  double dv[3] = {0, 0, 0};
  double outA[3] = {0, 0, 0}, outG[3] = {0, 0, 0};
  ZtVector a{acc, 3, 2}, g{gyr, 3, 2}, v{dv, 3, 2}, oa{outA, 3, 2}, og{outG, 3, 2};
  ZtQuaternion dq{1, 0, 0, 0};
};

void allocsPerCall(benchmark::State& state, const AllocationCounter& c) {
  state.counters["allocs"] = static_cast<double>(c.count()) / static_cast<double>(state.iterations());
}

void BM_sdiDelta(benchmark::State& state) {
  Inputs in;
  AllocationCounter c;
  for (auto _ : state) {
    zelto::sdiDelta(in.a, in.g, in.dq, in.v, 0.01);
    benchmark::DoNotOptimize(in.dv);
  }
  allocsPerCall(state, c);
}

// The same closed form written with Eigen fixed-size types.
void BM_EigenDelta(benchmark::State& state) {
  const Eigen::Vector3d acc(0.3, -0.2, 9.81), gyr(0.4, -0.3, 1.1);
  Eigen::Quaterniond dq;
  Eigen::Vector3d dv;
  const double dt = 0.01;
  for (auto _ : state) {
    benchmark::DoNotOptimize(gyr.data());
    const double w = gyr.norm(), th = w * dt;
    dq = Eigen::Quaterniond(Eigen::AngleAxisd(th, gyr / w));
    Eigen::Matrix3d S;
    S << 0, -gyr.z(), gyr.y(), gyr.z(), 0, -gyr.x(), -gyr.y(), gyr.x(), 0;
    dv = (dt * Eigen::Matrix3d::Identity() + (1 - std::cos(th)) / (w * w) * S + (th - std::sin(th)) / (w * w * w) * S * S) * acc;
    benchmark::DoNotOptimize(dv.data());
  }
}

void BM_sdiWindowAdd(benchmark::State& state) {
  Inputs in;
  in.dv[0] = 0.01;
  // A unit increment, so the composition keeps its length (no drift into subnormals).
  const double n = std::sqrt(0.9999 * 0.9999 + 0.01 * 0.01);
  ZtQuaternion inc{0.9999 / n, 0.01 / n, 0.0, 0.0};
  double w[3] = {0, 0, 0};
  ZtVector wv{w, 3, 2};
  ZtQuaternion q{1, 0, 0, 0};
  AllocationCounter c;
  for (auto _ : state) {
    zelto::sdiWindowAdd(q, wv, inc, in.v);
    benchmark::DoNotOptimize(w);
    if (w[0] > 1e6) {
      q = ZtQuaternion{1, 0, 0, 0};
      w[0] = 0;
    }
  }
  allocsPerCall(state, c);
}

void BM_EigenWindowAdd(benchmark::State& state) {
  Eigen::Quaterniond q = Eigen::Quaterniond::Identity();
  const Eigen::Quaterniond inc = Eigen::Quaterniond(0.9999, 0.01, 0.0, 0.0).normalized();
  Eigen::Vector3d w = Eigen::Vector3d::Zero();
  const Eigen::Vector3d dv(0.01, 0, 0);
  for (auto _ : state) {
    w += q * dv;
    q = q * inc;
    benchmark::DoNotOptimize(w.data());
  }
}

void BM_inverseSdi(benchmark::State& state) {
  Inputs in;
  zelto::sdiDelta(in.a, in.g, in.dq, in.v, 0.01);
  AllocationCounter c;
  for (auto _ : state) {
    zelto::inverseSdi(in.oa, in.og, in.dq, in.v, 0.01);
    benchmark::DoNotOptimize(in.outA);
  }
  allocsPerCall(state, c);
}

void BM_getAverageAccGyrLocalFrame(benchmark::State& state) {
  Inputs in;
  zelto::sdiDelta(in.a, in.g, in.dq, in.v, 0.01);
  AllocationCounter c;
  for (auto _ : state) {
    zelto::getAverageAccGyrLocalFrame(in.oa, in.og, in.dq, in.v, 0.01);
    benchmark::DoNotOptimize(in.outA);
  }
  allocsPerCall(state, c);
}

void BM_lla2ecef(benchmark::State& state) {
  const double lla[3] = {0.91, 0.12, 310.0};
  double ecef[3];
  AllocationCounter c;
  for (auto _ : state) {
    zelto::convert_lla2ecefRadians<double>(lla, ecef);
    benchmark::DoNotOptimize(ecef);
  }
  allocsPerCall(state, c);
}

void BM_ecef2lla(benchmark::State& state) {
  const double lla[3] = {0.91, 0.12, 310.0};
  double ecef[3], back[3];
  zelto::convert_lla2ecefRadians<double>(lla, ecef);
  AllocationCounter c;
  for (auto _ : state) {
    zelto::convert_ecef2llaRadians<double>(ecef, back, true);
    benchmark::DoNotOptimize(back);
  }
  allocsPerCall(state, c);
}

}  // namespace

BENCHMARK(BM_sdiDelta)->Repetitions(10)->ReportAggregatesOnly(true);
BENCHMARK(BM_EigenDelta)->Repetitions(10)->ReportAggregatesOnly(true);
BENCHMARK(BM_sdiWindowAdd)->Repetitions(10)->ReportAggregatesOnly(true);
BENCHMARK(BM_EigenWindowAdd)->Repetitions(10)->ReportAggregatesOnly(true);
BENCHMARK(BM_inverseSdi)->Repetitions(10)->ReportAggregatesOnly(true);
BENCHMARK(BM_getAverageAccGyrLocalFrame)->Repetitions(10)->ReportAggregatesOnly(true);
BENCHMARK(BM_lla2ecef)->Repetitions(10)->ReportAggregatesOnly(true);
BENCHMARK(BM_ecef2lla)->Repetitions(10)->ReportAggregatesOnly(true);
