// Dense products of zelto::Matrix beside Eigen (dynamic-size MatrixXd) and reference BLAS
// dgemm, at the small sizes of the filters and the large sizes of the blocked product.
// Counters: FLOPS = 2mnk per second; relErr (zelto, sizes >= 259) = largest element-wise
// difference of the blocked against the plain product, relative to the largest plain element.
#include <benchmark/benchmark.h>

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "math/Matrix.h"

extern "C" void dgemm_(const char* transa, const char* transb, const int* m, const int* n, const int* k,
                       const double* alpha, const double* a, const int* lda, const double* b, const int* ldb,
                       const double* beta, double* c, const int* ldc);

namespace {

const int kSizes[] = {3, 6, 9, 12, 18, 24, 48, 96, 259, 518, 1036, 2048};

zelto::Matrix randomMatrix(int n, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> d(0.0, 1.0);
  zelto::Matrix m(n, n);
  for (int i = 0; i < n * n; ++i) m.data[i] = d(rng);
  return m;
}

void setFlops(benchmark::State& state, int n) {
  state.counters["FLOPS"] = benchmark::Counter(2.0 * n * n * n, benchmark::Counter::kIsIterationInvariantRate,
                                               benchmark::Counter::OneK::kIs1000);
}

void BM_Zelto(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const zelto::Matrix a = randomMatrix(n, 1), b = randomMatrix(n, 2);
  zelto::Matrix c(n, n);
  for (auto _ : state) {
    c.isMatMulMat(a, b);
    benchmark::DoNotOptimize(c.data);
    benchmark::ClobberMemory();
  }
  setFlops(state, n);
  if (n >= 259) {
    zelto::Matrix plain(n, n);
    plain.isMatMulMatTrivial(a, b);
    double maxDiff = 0.0, maxRef = 0.0;
    for (int i = 0; i < n * n; ++i) {
      maxDiff = std::max(maxDiff, std::fabs(c.data[i] - plain.data[i]));
      maxRef = std::max(maxRef, std::fabs(plain.data[i]));
    }
    state.counters["relErr"] = maxDiff / maxRef;
  }
}

void BM_ZeltoPlain(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const zelto::Matrix a = randomMatrix(n, 1), b = randomMatrix(n, 2);
  zelto::Matrix c(n, n);
  for (auto _ : state) {
    c.isMatMulMatTrivial(a, b);
    benchmark::DoNotOptimize(c.data);
    benchmark::ClobberMemory();
  }
  setFlops(state, n);
}

void BM_Eigen(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const Eigen::MatrixXd a = Eigen::MatrixXd::Random(n, n), b = Eigen::MatrixXd::Random(n, n);
  Eigen::MatrixXd c(n, n);
  for (auto _ : state) {
    c.noalias() = a * b;
    benchmark::DoNotOptimize(c.data());
    benchmark::ClobberMemory();
  }
  setFlops(state, n);
}

void BM_BlasDgemm(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const zelto::Matrix a = randomMatrix(n, 1), b = randomMatrix(n, 2);
  std::vector<double> c(static_cast<size_t>(n) * n);
  const double one = 1.0, zero = 0.0;
  for (auto _ : state) {
    // Row-major C = A B is column-major C^T = B^T A^T.
    dgemm_("N", "N", &n, &n, &n, &one, b.data, &n, a.data, &n, &zero, c.data(), &n);
    benchmark::DoNotOptimize(c.data());
    benchmark::ClobberMemory();
  }
  setFlops(state, n);
}

void sizes(benchmark::internal::Benchmark* b) {
  for (int n : kSizes) b->Arg(n);
}

void largeSizes(benchmark::internal::Benchmark* b) {
  for (int n : kSizes)
    if (n >= 259 && n <= 1036) b->Arg(n);
}

// ---- The filters' small products: (m x k) * (k x n), every square size from 3 to 36 and the
// rectangular shapes of their steps; median and p10/p90 over repetitions.

zelto::Matrix randomShape(int rows, int cols, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> d(0.0, 1.0);
  zelto::Matrix m(rows, cols);
  for (int i = 0; i < rows * cols; ++i) m.data[i] = d(rng);
  return m;
}

void BM_SmallZelto(benchmark::State& state) {
  const int m = static_cast<int>(state.range(0)), k = static_cast<int>(state.range(1)),
            n = static_cast<int>(state.range(2));
  const zelto::Matrix a = randomShape(m, k, 1), b = randomShape(k, n, 2);
  zelto::Matrix c(m, n);
  for (auto _ : state) {
    c.isMatMulMat(a, b);
    benchmark::DoNotOptimize(c.data);
    benchmark::ClobberMemory();
  }
}

void BM_SmallEigen(benchmark::State& state) {
  const int m = static_cast<int>(state.range(0)), k = static_cast<int>(state.range(1)),
            n = static_cast<int>(state.range(2));
  const Eigen::MatrixXd a = Eigen::MatrixXd::Random(m, k), b = Eigen::MatrixXd::Random(k, n);
  Eigen::MatrixXd c(m, n);
  for (auto _ : state) {
    c.noalias() = a * b;
    benchmark::DoNotOptimize(c.data());
    benchmark::ClobberMemory();
  }
}

// A * B^T (the filters' covariance products), B given as n x k.
void BM_SmallZeltoABt(benchmark::State& state) {
  const int m = static_cast<int>(state.range(0)), k = static_cast<int>(state.range(1)),
            n = static_cast<int>(state.range(2));
  const zelto::Matrix a = randomShape(m, k, 1), b = randomShape(n, k, 2);
  zelto::Matrix c(m, n);
  for (auto _ : state) {
    c.isMatMulTransMat(a, b);
    benchmark::DoNotOptimize(c.data);
    benchmark::ClobberMemory();
  }
}

void BM_SmallEigenABt(benchmark::State& state) {
  const int m = static_cast<int>(state.range(0)), k = static_cast<int>(state.range(1)),
            n = static_cast<int>(state.range(2));
  const Eigen::MatrixXd a = Eigen::MatrixXd::Random(m, k), b = Eigen::MatrixXd::Random(n, k);
  Eigen::MatrixXd c(m, n);
  for (auto _ : state) {
    c.noalias() = a * b.transpose();
    benchmark::DoNotOptimize(c.data());
    benchmark::ClobberMemory();
  }
}

double percentile(const std::vector<double>& v, double p) {
  std::vector<double> s(v);
  std::sort(s.begin(), s.end());
  return s.empty() ? 0.0 : s[static_cast<size_t>(p * static_cast<double>(s.size() - 1) + 0.5)];
}

void smallShapes(benchmark::internal::Benchmark* b) {
  for (int n = 3; n <= 36; ++n) b->Args({n, n, n});
  b->Args({12, 12, 3})->Args({18, 18, 6});
  b->Repetitions(9)
      ->ReportAggregatesOnly(true)
      ->MinTime(0.02)
      ->ComputeStatistics("p10", [](const std::vector<double>& v) { return percentile(v, 0.10); })
      ->ComputeStatistics("p90", [](const std::vector<double>& v) { return percentile(v, 0.90); })
      ->Unit(benchmark::kNanosecond);
}

}  // namespace

BENCHMARK(BM_SmallZelto)->Apply(smallShapes);
BENCHMARK(BM_SmallEigen)->Apply(smallShapes);
BENCHMARK(BM_SmallZeltoABt)->Apply(smallShapes);
BENCHMARK(BM_SmallEigenABt)->Apply(smallShapes);
BENCHMARK(BM_Zelto)->Apply(sizes)->Unit(benchmark::kNanosecond);
BENCHMARK(BM_ZeltoPlain)->Apply(largeSizes)->Unit(benchmark::kNanosecond);
BENCHMARK(BM_Eigen)->Apply(sizes)->Unit(benchmark::kNanosecond);
BENCHMARK(BM_BlasDgemm)->Apply(sizes)->Unit(benchmark::kNanosecond);
