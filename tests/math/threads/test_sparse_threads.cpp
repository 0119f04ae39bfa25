// Two threads build and multiply distinct sparse matrices at the same time. The random levels
// of the skip lists are per thread, so this is free of data races (run under TSan too), and
// each thread's lists come out as they would alone.
#include <gtest/gtest.h>

#include <random>
#include <thread>
#include <vector>

#include "support/SparseFixtures.h"
#include "math/sparse/SkipListRandom.h"

using namespace sparsetest;

namespace {

struct Outcome {
  bool kindsOk = false;
  bool productOk = false;
  std::vector<int> levels;  // list level of every row of the product
};

Outcome buildAndMultiply(unsigned seed) {
  SkipListRandom::reseed(seed);
  std::mt19937_64 rng(seed);
  const ZtSize n = 80;
  Outcome out;
  for (int round = 0; round < 4; ++round) {
    const Matrix da = randomDense(n, n, 0.1, rng), db = randomDense(n, n, 0.1, rng);
    SparseMatrix a(n, n, true, false), b(n, n, false, true), p(n, n, true, true);
    fillShuffled(a, da, rng);
    fillShuffled(b, db, rng);
    p.isMatMulMat(a, b);
    p.isSelfAddMat(p);
    Matrix want(n, n);
    want.isMatMulMat(da, db);
    want.isScaMulMat(2.0, Matrix(want));
    out.kindsOk = static_cast<bool>(kindsAgree(p));
    out.productOk = static_cast<bool>(sameDense(denseOf(p), want, 1e-13));
    out.levels.clear();
    for (ZtSize r = 0; r < n; ++r) out.levels.push_back(p.rowList(r).list().level());
    if (!out.kindsOk || !out.productOk) break;
  }
  return out;
}

TEST(SparseThreads, DistinctMatricesOnTwoThreads) {
  const Outcome alone1 = buildAndMultiply(101), alone2 = buildAndMultiply(202);
  Outcome got1, got2;
  std::thread t1([&] { got1 = buildAndMultiply(101); });
  std::thread t2([&] { got2 = buildAndMultiply(202); });
  t1.join();
  t2.join();
  EXPECT_TRUE(got1.kindsOk);
  EXPECT_TRUE(got1.productOk);
  EXPECT_TRUE(got2.kindsOk);
  EXPECT_TRUE(got2.productOk);
  // Per-thread generators: the shapes match those built alone.
  EXPECT_EQ(got1.levels, alone1.levels);
  EXPECT_EQ(got2.levels, alone2.levels);
}

}  // namespace
