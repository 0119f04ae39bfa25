// The square-root Kalman updates of the filter framework (n = 12 states, m = 3 measurements)
// beside the same array algorithms and the covariance update written with Eigen fixed-size
// types. Counter allocs = heap allocations per call after the first (warm) call.
#include <benchmark/benchmark.h>

#include <Eigen/Dense>
#include <algorithm>
#include <random>
#include <vector>

#include "filters/common/EstimationRoutines.h"
#include "support/AllocationCounter.h"

namespace {

constexpr int n = 12, m = 3;
using MatN = Eigen::Matrix<double, n, n>;

struct Problem {
  MatN S, F, Qs;
  Eigen::Matrix<double, m, n> H;
  Eigen::Matrix<double, m, m> Rs;
  Eigen::Matrix<double, n, 1> x;
  Eigen::Matrix<double, m, 1> z, h;
  explicit Problem(int zeroColumns) {
    std::mt19937_64 rng(17);
    std::normal_distribution<double> g;
    auto fill = [&](auto& a) {
      for (int i = 0; i < a.rows(); ++i)
        for (int j = 0; j < a.cols(); ++j) a(i, j) = g(rng);
    };
    fill(S);
    fill(F);
    fill(Qs);
    fill(H);
    fill(x);
    fill(z);
    fill(h);
    S = S.triangularView<Eigen::Lower>();
    Qs = 0.1 * Qs.triangularView<Eigen::Lower>().toDenseMatrix();
    for (int i = 0; i < n; ++i) S(i, i) = 1.0 + std::abs(S(i, i));
    F = 0.3 * F + MatN::Identity();
    H.rightCols(zeroColumns).setZero();
    Rs.setZero();
    for (int i = 0; i < m; ++i) Rs(i, i) = 0.5 + 0.1 * i;
  }
};

template <typename M>
zelto::Matrix toZ(const M& a) {
  zelto::Matrix r(a.rows(), a.cols());
  for (int i = 0; i < a.rows(); ++i)
    for (int j = 0; j < a.cols(); ++j) r(i, j) = a(i, j);
  return r;
}
template <typename V>
zelto::Vector toZv(const V& a) {
  zelto::Vector r(a.size());
  for (int i = 0; i < a.size(); ++i) r[i] = a[i];
  return r;
}

void copyInto(zelto::Matrix& dst, const zelto::Matrix& src) {
  for (size_t i = 0; i < src.rows; ++i)
    for (size_t j = 0; j < src.cols; ++j) dst(i, j) = src(i, j);
}

void perCall(benchmark::State& state, const AllocationCounter& c) {
  state.counters["allocs"] = static_cast<double>(c.count()) / static_cast<double>(state.iterations());
}

double percentile(const std::vector<double>& v, double p) {
  std::vector<double> s(v);
  std::sort(s.begin(), s.end());
  return s[static_cast<size_t>(p * static_cast<double>(s.size() - 1) + 0.5)];
}

// ---- time update ----

void BM_doTimeUpdateSquareRoot(benchmark::State& state) {
  const Problem p(0);
  const zelto::Matrix S0 = toZ(p.S), F = toZ(p.F), Qs = toZ(p.Qs);
  const zelto::Vector x = toZv(p.x);
  zelto::Matrix S = S0;
  zelto::Vector sx(n);
  doTimeUpdateSquareRoot(sx, S, x, F, Qs);
  AllocationCounter c;
  for (auto _ : state) {
    copyInto(S, S0);
    doTimeUpdateSquareRoot(sx, S, x, F, Qs);
    benchmark::DoNotOptimize(sx.data);
  }
  perCall(state, c);
}

// The same array algorithm with Eigen: QR of [F S, Qs]^T, then a triangular solve.
void BM_EigenTimeUpdateQR(benchmark::State& state) {
  const Problem p(0);
  Eigen::Matrix<double, 2 * n, n> At;
  Eigen::HouseholderQR<Eigen::Matrix<double, 2 * n, n>> qr(2 * n, n);
  Eigen::Matrix<double, n, 1> sx;
  for (auto _ : state) {
    At.topRows<n>() = (p.F * p.S).transpose();
    At.bottomRows<n>() = p.Qs.transpose();
    qr.compute(At);
    const MatN L = qr.matrixQR().topRows<n>().triangularView<Eigen::Upper>().transpose();
    sx = L.triangularView<Eigen::Lower>().solve(p.x);
    benchmark::DoNotOptimize(sx.data());
  }
}

// ---- measurement updates ----

void measurementBench(benchmark::State& state, int skip) {
  const Problem p(9);
  const zelto::Matrix S0 = toZ(p.S), H = toZ(p.H), Rs = toZ(p.Rs);
  const zelto::Vector xn0 = toZv(Eigen::Matrix<double, n, 1>(p.S.triangularView<Eigen::Lower>().solve(p.x)));
  const zelto::Vector x0 = toZv(p.x), z = toZv(p.z), h = toZv(p.h);
  zelto::Matrix S = S0;
  zelto::Vector xn = xn0, x = x0;
  doMeasurementUpdateSquareRootZDiag(xn, S, x, z, h, H, Rs, 1e9, true, static_cast<uint32_t>(skip));
  AllocationCounter c;
  for (auto _ : state) {
    copyInto(S, S0);
    for (int i = 0; i < n; ++i) {
      xn[i] = xn0[i];
      x[i] = x0[i];
    }
    benchmark::DoNotOptimize(
        doMeasurementUpdateSquareRootZDiag(xn, S, x, z, h, H, Rs, 1e9, true, static_cast<uint32_t>(skip)));
  }
  perCall(state, c);
}
void BM_doMeasurementUpdateSquareRootZDiag_skip0(benchmark::State& state) { measurementBench(state, 0); }
void BM_doMeasurementUpdateSquareRootZDiag_skip9(benchmark::State& state) { measurementBench(state, 9); }

// The same pre-array triangularised by Eigen's Householder QR.
void BM_EigenMeasurementUpdateQR(benchmark::State& state) {
  const Problem p(9);
  const Eigen::Matrix<double, n, 1> xn = p.S.triangularView<Eigen::Lower>().solve(p.x);
  Eigen::Matrix<double, m + n, m + n + 1> At;
  Eigen::HouseholderQR<Eigen::Matrix<double, m + n, m + n + 1>> qr(m + n, m + n + 1);
  Eigen::Matrix<double, n, 1> xOut;
  for (auto _ : state) {
    const Eigen::Matrix<double, m, 1> y = p.H * p.x + p.z - p.h;
    At.setZero();
    At.topLeftCorner<m, m>() = p.Rs.transpose();
    At.block<n, m>(m, 0) = (p.H * p.S).transpose();
    At.block<n, n>(m, m) = p.S.transpose();
    At.block<m, 1>(0, m + n) = -y.cwiseQuotient(p.Rs.diagonal());
    At.block<n, 1>(m, m + n) = xn;
    qr.compute(At);
    const auto& R = qr.matrixQR();
    const MatN S1 = R.block<n, n>(m, m).triangularView<Eigen::Upper>().transpose();
    xOut = S1 * R.block<n, 1>(m, m + n);
    benchmark::DoNotOptimize(xOut.data());
  }
}

void BM_doMeasurementUpdate(benchmark::State& state) {
  const Problem p(9);
  const zelto::Matrix P0 = toZ(MatN(p.S * p.S.transpose())), H = toZ(p.H);
  const zelto::Matrix R = toZ(Eigen::Matrix<double, m, m>(p.Rs * p.Rs));
  const zelto::Vector x0 = toZv(p.x), z = toZv(p.z);
  zelto::Matrix P = P0;
  zelto::Vector x = x0;
  AllocationCounter c;
  for (auto _ : state) {
    copyInto(P, P0);
    for (int i = 0; i < n; ++i) x[i] = x0[i];
    doMeasurementUpdate(x, P, z, H, R);
    benchmark::DoNotOptimize(x.data);
  }
  perCall(state, c);
}

void BM_EigenCovarianceUpdate(benchmark::State& state) {
  const Problem p(9);
  const MatN P0 = p.S * p.S.transpose();
  const Eigen::Matrix<double, m, m> R = p.Rs * p.Rs;
  MatN P;
  Eigen::Matrix<double, n, 1> x;
  for (auto _ : state) {
    P = P0;
    x = p.x;
    const Eigen::Matrix<double, n, m> PHt = P * p.H.transpose();
    const Eigen::Matrix<double, m, m> E = p.H * PHt + R;
    const Eigen::Matrix<double, n, m> K = PHt * E.inverse();
    x += K * (p.z - p.H * x);
    P = (MatN::Identity() - K * p.H) * P;
    benchmark::DoNotOptimize(x.data());
    benchmark::DoNotOptimize(P.data());
  }
}

}  // namespace

#define FILTER_BENCH(fn)                   \
  BENCHMARK(fn)                            \
      ->Repetitions(20)                    \
      ->ReportAggregatesOnly(true)         \
      ->ComputeStatistics("p10", [](const std::vector<double>& v) { return percentile(v, 0.10); }) \
      ->ComputeStatistics("p90", [](const std::vector<double>& v) { return percentile(v, 0.90); })

FILTER_BENCH(BM_doTimeUpdateSquareRoot);
FILTER_BENCH(BM_EigenTimeUpdateQR);
FILTER_BENCH(BM_doMeasurementUpdateSquareRootZDiag_skip0);
FILTER_BENCH(BM_doMeasurementUpdateSquareRootZDiag_skip9);
FILTER_BENCH(BM_EigenMeasurementUpdateQR);
FILTER_BENCH(BM_doMeasurementUpdate);
FILTER_BENCH(BM_EigenCovarianceUpdate);
