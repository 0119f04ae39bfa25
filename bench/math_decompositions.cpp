// Householder QR of zelto::Matrix over caller scratch (the filters' stacked shapes and the
// triangular-bottom form of their time update) beside Eigen's HouseholderQR (one object,
// compute() per iteration) and LAPACK dgeqrf with a preallocated workspace; the in-place
// inverse, Cholesky, SVD and symmetric eigen decomposition beside Eigen.
// Every iteration copies the same input into the working storage (all contenders alike).
// Counter allocs/iter: heap allocations per iteration, counted by the test allocation hook.
// Each case runs 15 repetitions and reports median, p10 and p90; add
// --benchmark_enable_random_interleaving=true on a shared machine so load drifts hit all alike.
#include <benchmark/benchmark.h>

#include <Eigen/Dense>
#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "math/Matrix.h"
#include "math/Vector.h"
#include "support/AllocationCounter.h"

extern "C" void dgeqrf_(const int* m, const int* n, double* a, const int* lda, double* tau, double* work,
                        const int* lwork, int* info);

namespace {

using EMat = Eigen::MatrixXd;

EMat randomEigen(int rows, int cols, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> d(0.0, 1.0);
  EMat m(rows, cols);
  for (int r = 0; r < rows; ++r)
    for (int c = 0; c < cols; ++c) m(r, c) = d(rng);
  return m;
}

// Stacked input whose bottom skip rows are triangular (column c zero from row rows - skip + c).
EMat stackedInput(int rows, int cols, int skip) {
  EMat m = randomEigen(rows, cols, 7);
  for (int c = 0; c < cols; ++c)
    for (int r = rows - skip + c; r < rows; ++r)
      if (r >= 0) m(r, c) = 0.0;
  return m;
}

EMat spdEigen(int n) {
  const EMat m = randomEigen(n, n, 11);
  return m * m.transpose() + n * EMat::Identity(n, n);
}

zelto::Matrix toZelto(const EMat& e) {
  zelto::Matrix m(e.rows(), e.cols());
  for (ZtSize r = 0; r < m.rows; ++r)
    for (ZtSize c = 0; c < m.cols; ++c) m(r, c) = e(r, c);
  return m;
}

double percentile(const std::vector<double>& v, double p) {
  std::vector<double> s(v);
  std::sort(s.begin(), s.end());
  if (s.empty()) return 0.0;
  return s[static_cast<size_t>(p * static_cast<double>(s.size() - 1) + 0.5)];
}

void finish(benchmark::State& state, const AllocationCounter& counter) {
  state.counters["allocs/iter"] =
      static_cast<double>(counter.count()) / static_cast<double>(std::max<benchmark::IterationCount>(1, state.iterations()));
}

// ---- QR: args (rows, cols, skip); skip < 0 selects the plain scratch form ----

void BM_ZeltoQR(benchmark::State& state) {
  const int rows = static_cast<int>(state.range(0)), cols = static_cast<int>(state.range(1));
  const int skip = static_cast<int>(state.range(2));
  const zelto::Matrix input = toZelto(stackedInput(rows, cols, std::max(skip, 0)));
  zelto::Matrix work(rows, cols);
  const size_t k = std::min(rows, cols);
  std::vector<double> scratch(rows * k + k + cols);
  AllocationCounter counter;
  for (auto _ : state) {
    std::memcpy(work.data, input.data, sizeof(double) * rows * cols);
    if (skip < 0)
      work.QRdecomposition(scratch.data());
    else
      work.QRdecompositionTriSkip(static_cast<ZtSize>(skip), scratch.data());
    benchmark::DoNotOptimize(work.data);
    benchmark::ClobberMemory();
  }
  finish(state, counter);
}

void BM_EigenQR(benchmark::State& state) {
  const int rows = static_cast<int>(state.range(0)), cols = static_cast<int>(state.range(1));
  const EMat input = stackedInput(rows, cols, std::max(static_cast<int>(state.range(2)), 0));
  Eigen::HouseholderQR<EMat> qr(rows, cols);
  AllocationCounter counter;
  for (auto _ : state) {
    qr.compute(input);
    benchmark::DoNotOptimize(qr.matrixQR().data());
    benchmark::ClobberMemory();
  }
  finish(state, counter);
}

void BM_LapackQR(benchmark::State& state) {
  const int rows = static_cast<int>(state.range(0)), cols = static_cast<int>(state.range(1));
  const EMat input = stackedInput(rows, cols, std::max(static_cast<int>(state.range(2)), 0));
  EMat a = input;
  std::vector<double> tau(std::min(rows, cols));
  int lwork = -1, info = 0;
  double query = 0.0;
  dgeqrf_(&rows, &cols, a.data(), &rows, tau.data(), &query, &lwork, &info);
  lwork = static_cast<int>(query);
  std::vector<double> work(lwork);
  AllocationCounter counter;
  for (auto _ : state) {
    std::memcpy(a.data(), input.data(), sizeof(double) * rows * cols);
    dgeqrf_(&rows, &cols, a.data(), &rows, tau.data(), work.data(), &lwork, &info);
    benchmark::DoNotOptimize(a.data());
    benchmark::ClobberMemory();
  }
  finish(state, counter);
}

void qrShapes(benchmark::internal::Benchmark* b) {
  b->Args({15, 16, -1})->Args({30, 15, -1})->Args({36, 18, -1})->Args({24, 12, 11})->Args({24, 12, 9});
}

// ---- inverse ----

void BM_ZeltoInverse(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const zelto::Matrix input = toZelto(randomEigen(n, n, 3) + n * EMat::Identity(n, n));
  zelto::Matrix work(n, n);
  AllocationCounter counter;
  for (auto _ : state) {
    std::memcpy(work.data, input.data, sizeof(double) * n * n);
    work.isInverseSelf();
    benchmark::DoNotOptimize(work.data);
    benchmark::ClobberMemory();
  }
  finish(state, counter);
}

template <int N>
void BM_EigenInverse(benchmark::State& state) {
  using Fixed = Eigen::Matrix<double, N, N>;
  const Fixed input = randomEigen(N, N, 3) + N * EMat::Identity(N, N);
  Fixed out;
  AllocationCounter counter;
  for (auto _ : state) {
    out = input.inverse();
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  finish(state, counter);
}

void BM_EigenInverseDynamic(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const EMat input = randomEigen(n, n, 3) + n * EMat::Identity(n, n);
  Eigen::PartialPivLU<EMat> lu(n);
  EMat out(n, n);
  AllocationCounter counter;
  for (auto _ : state) {
    lu.compute(input);
    out = lu.inverse();
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  finish(state, counter);
}

// ---- Cholesky ----

void BM_ZeltoCholesky(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const zelto::Matrix input = toZelto(spdEigen(n));
  zelto::Matrix work(n, n);
  AllocationCounter counter;
  for (auto _ : state) {
    std::memcpy(work.data, input.data, sizeof(double) * n * n);
    work.Cholesky();
    benchmark::DoNotOptimize(work.data);
    benchmark::ClobberMemory();
  }
  finish(state, counter);
}

void BM_EigenCholesky(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const EMat input = spdEigen(n);
  Eigen::LLT<EMat> llt(n);
  AllocationCounter counter;
  for (auto _ : state) {
    llt.compute(input);
    benchmark::DoNotOptimize(llt.matrixLLT().data());
    benchmark::ClobberMemory();
  }
  finish(state, counter);
}

// ---- SVD (singular values only) and symmetric eigen decomposition (with vectors) ----

void BM_ZeltoSVD(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const zelto::Matrix input = toZelto(randomEigen(n, n, 5));
  zelto::Vector s(n);
  AllocationCounter counter;
  for (auto _ : state) {
    input.SVDecomposition(s, nullptr, nullptr);
    benchmark::DoNotOptimize(s.data);
    benchmark::ClobberMemory();
  }
  finish(state, counter);
}

void BM_EigenJacobiSVD(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const EMat input = randomEigen(n, n, 5);
  Eigen::JacobiSVD<EMat> svd(n, n);
  AllocationCounter counter;
  for (auto _ : state) {
    svd.compute(input);
    benchmark::DoNotOptimize(svd.singularValues().data());
    benchmark::ClobberMemory();
  }
  finish(state, counter);
}

void BM_EigenBDCSVD(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const EMat input = randomEigen(n, n, 5);
  Eigen::BDCSVD<EMat> svd(n, n);
  AllocationCounter counter;
  for (auto _ : state) {
    svd.compute(input);
    benchmark::DoNotOptimize(svd.singularValues().data());
    benchmark::ClobberMemory();
  }
  finish(state, counter);
}

void BM_ZeltoSymmetricEigen(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const zelto::Matrix input = toZelto(spdEigen(n));
  zelto::Vector w(n);
  zelto::Matrix v(n, n);
  AllocationCounter counter;
  for (auto _ : state) {
    input.symmetricEigen(w, &v);
    benchmark::DoNotOptimize(w.data);
    benchmark::ClobberMemory();
  }
  finish(state, counter);
}

void BM_EigenSymmetricEigen(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const EMat input = spdEigen(n);
  Eigen::SelfAdjointEigenSolver<EMat> es(n);
  AllocationCounter counter;
  for (auto _ : state) {
    es.compute(input);
    benchmark::DoNotOptimize(es.eigenvalues().data());
    benchmark::ClobberMemory();
  }
  finish(state, counter);
}

void stats(benchmark::internal::Benchmark* b) {
  b->Repetitions(15)
      ->ReportAggregatesOnly(true)
      ->ComputeStatistics("p10", [](const std::vector<double>& v) { return percentile(v, 0.10); })
      ->ComputeStatistics("p90", [](const std::vector<double>& v) { return percentile(v, 0.90); })
      ->Unit(benchmark::kNanosecond);
}

}  // namespace

BENCHMARK(BM_ZeltoQR)->Apply(qrShapes)->Apply(stats);
BENCHMARK(BM_EigenQR)->Apply(qrShapes)->Apply(stats);
BENCHMARK(BM_LapackQR)->Apply(qrShapes)->Apply(stats);
BENCHMARK(BM_ZeltoInverse)->Arg(3)->Arg(6)->Arg(12)->Apply(stats);
BENCHMARK(BM_EigenInverse<3>)->Apply(stats);
BENCHMARK(BM_EigenInverse<6>)->Apply(stats);
BENCHMARK(BM_EigenInverse<12>)->Apply(stats);
BENCHMARK(BM_EigenInverseDynamic)->Arg(3)->Arg(6)->Arg(12)->Apply(stats);
BENCHMARK(BM_ZeltoCholesky)->Arg(12)->Arg(15)->Apply(stats);
BENCHMARK(BM_EigenCholesky)->Arg(12)->Arg(15)->Apply(stats);
BENCHMARK(BM_ZeltoSVD)->Arg(12)->Arg(96)->Apply(stats)->MinTime(0.05);
BENCHMARK(BM_EigenJacobiSVD)->Arg(12)->Arg(96)->Apply(stats)->MinTime(0.05);
BENCHMARK(BM_EigenBDCSVD)->Arg(12)->Arg(96)->Apply(stats)->MinTime(0.05);
BENCHMARK(BM_ZeltoSymmetricEigen)->Arg(12)->Arg(96)->Apply(stats)->MinTime(0.05);
BENCHMARK(BM_EigenSymmetricEigen)->Arg(12)->Arg(96)->Apply(stats)->MinTime(0.05);
