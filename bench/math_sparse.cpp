// Sparse vectors and matrices: skip-list insert, lookup and erase at 10^3 ... 10^5 entries
// beside std::map, appends in increasing key order, and a sparse x sparse product of 500 x 500
// matrices at 1 % density beside the dense product and Eigen's sparse product.
// Counters: ns_per_op (seconds per operation, shown in ns), allocs = allocator calls per
// iteration (the sparse allocations all go through an Allocator, counted by the one here).
// The phases timed by hand (insert, erase, append) use this thread's CPU time, so a busy
// machine that deschedules the process does not inflate them.
// Run with --benchmark_repetitions=N for medians and percentiles (p90 is reported).
#include <benchmark/benchmark.h>

#include <Eigen/SparseCore>
#include <algorithm>
#include <ctime>
#include <cstdlib>
#include <map>
#include <numeric>
#include <random>
#include <vector>

#include "math/Matrix.h"
#include "math/sparse/SkipList.h"
#include "math/sparse/SparseMatrix.h"
#include "math/sparse/SparseVector.h"

namespace {

double threadSeconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}
using zelto::SparseMatrix;
using zelto::SparseVector;

class CountingAllocator : public Allocator {
 public:
  void* malloc(size_t size) override {
    ++calls;
    return Allocator::malloc(size);
  }
  void* realloc(void* p, size_t size) override {
    ++calls;
    return Allocator::realloc(p, size);
  }
  size_t calls = 0;
};

double p90(const std::vector<double>& v) {
  std::vector<double> s(v);
  std::sort(s.begin(), s.end());
  return s[std::min(s.size() - 1, static_cast<size_t>(0.9 * static_cast<double>(s.size())))];
}

std::vector<unsigned long> distinctKeys(size_t n, unsigned seed) {
  std::vector<unsigned long> keys(n);
  std::iota(keys.begin(), keys.end(), 0ul);
  for (auto& k : keys) k *= 7;  // spread over 7n
  std::shuffle(keys.begin(), keys.end(), std::mt19937_64(seed));
  return keys;
}

void perOp(benchmark::State& state, size_t opsPerIteration) {
  state.counters["ns_per_op"] = benchmark::Counter(static_cast<double>(opsPerIteration),
                                                   benchmark::Counter::kIsIterationInvariantRate |
                                                       benchmark::Counter::kInvert);
}

// ---- random insert and erase (manual time: each phase alone) ----

void BM_SparseInsert(benchmark::State& state) {
  const size_t n = static_cast<size_t>(state.range(0));
  const auto keys = distinctKeys(n, 1);
  CountingAllocator alloc;
  for (auto _ : state) {
    SparseVector v(7 * n, &alloc);
    const double t0 = threadSeconds();
    for (unsigned long k : keys) v[k] = 1.0;
    state.SetIterationTime(threadSeconds() - t0);
  }
  perOp(state, n);
  state.counters["allocs_per_op"] =
      static_cast<double>(alloc.calls) / static_cast<double>(state.iterations()) / static_cast<double>(n);
}

void BM_MapInsert(benchmark::State& state) {
  const size_t n = static_cast<size_t>(state.range(0));
  const auto keys = distinctKeys(n, 1);
  for (auto _ : state) {
    std::map<unsigned long, double> m;
    const double t0 = threadSeconds();
    for (unsigned long k : keys) m[k] = 1.0;
    state.SetIterationTime(threadSeconds() - t0);
  }
  perOp(state, n);
}

void BM_SparseErase(benchmark::State& state) {
  const size_t n = static_cast<size_t>(state.range(0));
  const auto keys = distinctKeys(n, 1);
  const auto order = distinctKeys(n, 2);
  for (auto _ : state) {
    SparseVector v(7 * n);
    for (unsigned long k : keys) v[k] = 1.0;
    const double t0 = threadSeconds();
    for (unsigned long k : order) v.isSubZero(k, 1);
    state.SetIterationTime(threadSeconds() - t0);
  }
  perOp(state, n);
}

void BM_MapErase(benchmark::State& state) {
  const size_t n = static_cast<size_t>(state.range(0));
  const auto keys = distinctKeys(n, 1);
  const auto order = distinctKeys(n, 2);
  for (auto _ : state) {
    std::map<unsigned long, double> m;
    for (unsigned long k : keys) m[k] = 1.0;
    const double t0 = threadSeconds();
    for (unsigned long k : order) m.erase(k);
    state.SetIterationTime(threadSeconds() - t0);
  }
  perOp(state, n);
}

// ---- lookups of present keys ----

constexpr size_t kLookups = 4096;

void BM_SparseLookup(benchmark::State& state) {
  const size_t n = static_cast<size_t>(state.range(0));
  const auto keys = distinctKeys(n, 1);
  SparseVector v(7 * n);
  for (unsigned long k : keys) v[k] = static_cast<double>(k);
  const SparseVector& cv = v;
  std::vector<unsigned long> probe(kLookups);
  for (size_t i = 0; i < kLookups; ++i) probe[i] = keys[(i * 2654435761u) % n];
  for (auto _ : state) {
    double sum = 0.0;
    for (unsigned long k : probe) sum += cv[k];
    benchmark::DoNotOptimize(sum);
  }
  perOp(state, kLookups);
}

void BM_MapLookup(benchmark::State& state) {
  const size_t n = static_cast<size_t>(state.range(0));
  const auto keys = distinctKeys(n, 1);
  std::map<unsigned long, double> m;
  for (unsigned long k : keys) m[k] = static_cast<double>(k);
  std::vector<unsigned long> probe(kLookups);
  for (size_t i = 0; i < kLookups; ++i) probe[i] = keys[(i * 2654435761u) % n];
  for (auto _ : state) {
    double sum = 0.0;
    for (unsigned long k : probe) sum += m.find(k)->second;
    benchmark::DoNotOptimize(sum);
  }
  perOp(state, kLookups);
}

// ---- appends in increasing key order ----

void BM_SparseAppend(benchmark::State& state) {
  const size_t n = static_cast<size_t>(state.range(0));
  CountingAllocator alloc;
  for (auto _ : state) {
    SkipList<unsigned long, double> list(SparseVector::maxLevelFor(n), &alloc, false);
    const double t0 = threadSeconds();
    for (unsigned long k = 0; k < n; ++k) list.append(k, 1.0);
    state.SetIterationTime(threadSeconds() - t0);
  }
  perOp(state, n);
  state.counters["allocs_per_op"] =
      static_cast<double>(alloc.calls) / static_cast<double>(state.iterations()) / static_cast<double>(n);
}

void BM_MapAppend(benchmark::State& state) {
  const size_t n = static_cast<size_t>(state.range(0));
  for (auto _ : state) {
    std::map<unsigned long, double> m;
    const double t0 = threadSeconds();
    for (unsigned long k = 0; k < n; ++k) m.emplace_hint(m.end(), k, 1.0);
    state.SetIterationTime(threadSeconds() - t0);
  }
  perOp(state, n);
}

// ---- 500 x 500 product at 1 % ----

constexpr int kN = 500;
constexpr double kDensity = 0.01;

zelto::Matrix randomSparseDense(unsigned seed) {
  std::mt19937_64 rng(seed);
  std::bernoulli_distribution keep(kDensity);
  std::uniform_real_distribution<double> value(-1.0, 1.0);
  zelto::Matrix m(kN, kN);
  for (int i = 0; i < kN * kN; ++i)
    if (keep(rng)) m.data[i] = value(rng);
  return m;
}

void BM_SparseProduct(benchmark::State& state) {
  const zelto::Matrix da = randomSparseDense(1), db = randomSparseDense(2);
  CountingAllocator alloc;
  SparseMatrix a(kN, kN, true, false, &alloc), b(kN, kN, false, true, &alloc), c(kN, kN, true, false, &alloc);
  a = static_cast<const ZtMatrix&>(da);
  b = static_cast<const ZtMatrix&>(db);
  alloc.calls = 0;
  for (auto _ : state) {
    c.isMatMulMat(a, b);
    benchmark::ClobberMemory();
  }
  state.counters["allocs"] = static_cast<double>(alloc.calls) / static_cast<double>(state.iterations());
}

void BM_DenseProduct(benchmark::State& state) {
  const zelto::Matrix da = randomSparseDense(1), db = randomSparseDense(2);
  zelto::Matrix c(kN, kN);
  for (auto _ : state) {
    c.isMatMulMat(da, db);
    benchmark::DoNotOptimize(c.data);
    benchmark::ClobberMemory();
  }
}

void BM_EigenSparseProduct(benchmark::State& state) {
  const zelto::Matrix da = randomSparseDense(1), db = randomSparseDense(2);
  auto toEigen = [](const zelto::Matrix& d) {
    std::vector<Eigen::Triplet<double>> t;
    for (int r = 0; r < kN; ++r)
      for (int c = 0; c < kN; ++c)
        if (d(r, c) != 0.0) t.emplace_back(r, c, d(r, c));
    Eigen::SparseMatrix<double> s(kN, kN);
    s.setFromTriplets(t.begin(), t.end());
    return s;
  };
  const Eigen::SparseMatrix<double> a = toEigen(da), b = toEigen(db);
  Eigen::SparseMatrix<double> c(kN, kN);
  for (auto _ : state) {
    c = a * b;
    benchmark::DoNotOptimize(c.valuePtr());
    benchmark::ClobberMemory();
  }
}

#define SIZES ->Arg(1000)->Arg(10000)->Arg(100000)
#define STATS ->ComputeStatistics("p90", p90)

BENCHMARK(BM_SparseInsert) SIZES->UseManualTime() STATS;
BENCHMARK(BM_MapInsert) SIZES->UseManualTime() STATS;
BENCHMARK(BM_SparseLookup) SIZES STATS;
BENCHMARK(BM_MapLookup) SIZES STATS;
BENCHMARK(BM_SparseErase) SIZES->UseManualTime() STATS;
BENCHMARK(BM_MapErase) SIZES->UseManualTime() STATS;
BENCHMARK(BM_SparseAppend) SIZES->UseManualTime() STATS;
BENCHMARK(BM_MapAppend) SIZES->UseManualTime() STATS;
BENCHMARK(BM_SparseProduct)->Unit(benchmark::kMicrosecond) STATS;
BENCHMARK(BM_DenseProduct)->Unit(benchmark::kMicrosecond) STATS;
BENCHMARK(BM_EigenSparseProduct)->Unit(benchmark::kMicrosecond) STATS;

}  // namespace
