// The plain products A * B and A * B^T compute several result elements at once; each element must still be the
// sum from 0.0 over l ascending of b(l, j) * a(i, l) (a(i, l) * b(j, l)), bit for bit, for every shape the blocking
// splits differently (row and column remainders), for strided operands and results, and with
// elements spread over many orders of magnitude so that any other order changes the last bits.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "math/Matrix.h"

using namespace zelto;

namespace {

// Element (r, c) = normal * 10^uniform(-6, 6), with a few exact zeros and negative zeros.
void fill(Matrix& m, std::mt19937_64& rng) {
  std::normal_distribution<double> d(0.0, 1.0);
  std::uniform_real_distribution<double> e(-6.0, 6.0);
  std::uniform_int_distribution<int> pick(0, 19);
  for (ZtSize r = 0; r < m.rows; ++r)
    for (ZtSize c = 0; c < m.cols; ++c) {
      const int p = pick(rng);
      m(r, c) = p == 0 ? 0.0 : p == 1 ? -0.0 : d(rng) * std::pow(10.0, e(rng));
    }
}

bool sameBits(double x, double y) { return std::memcmp(&x, &y, sizeof x) == 0; }

void checkShape(ZtSize m, ZtSize k, ZtSize n, ZtSize pad, std::mt19937_64& rng) {
  std::vector<double> sa(m * (k + pad) + 1), sb(k * (n + pad) + 1), sr(m * (n + pad) + 1, 42.0);
  Matrix a(m, k, k + pad, sa.data(), 0), b(k, n, n + pad, sb.data(), 0), r(m, n, n + pad, sr.data(), 0);
  fill(a, rng);
  fill(b, rng);
  r.isMatMulMat(a, b);
  for (ZtSize i = 0; i < m; ++i)
    for (ZtSize j = 0; j < n; ++j) {
      double s = 0.0;
      for (ZtSize l = 0; l < k; ++l) s += b(l, j) * a(i, l);
      ASSERT_TRUE(sameBits(r(i, j), s)) << m << "x" << k << "x" << n << " pad " << pad << " at " << i << "," << j
                                        << ": " << r(i, j) << " vs " << s;
    }
  // Padding columns of the result and the element after it stay untouched.
  for (ZtSize i = 0; i < m; ++i)
    for (ZtSize j = n; j < n + pad; ++j) ASSERT_EQ(sr[i * (n + pad) + j], 42.0);
  ASSERT_EQ(sr.back(), 42.0);
}

// The same for A * B^T with B given as n x k.
void checkTransShape(ZtSize m, ZtSize k, ZtSize n, ZtSize pad, std::mt19937_64& rng) {
  std::vector<double> sa(m * (k + pad) + 1), sb(n * (k + pad) + 1), sr(m * (n + pad) + 1, 42.0);
  Matrix a(m, k, k + pad, sa.data(), 0), b(n, k, k + pad, sb.data(), 0), r(m, n, n + pad, sr.data(), 0);
  fill(a, rng);
  fill(b, rng);
  r.isMatMulTransMat(a, b);
  for (ZtSize i = 0; i < m; ++i)
    for (ZtSize j = 0; j < n; ++j) {
      double s = 0.0;
      for (ZtSize l = 0; l < k; ++l) s += a(i, l) * b(j, l);
      ASSERT_TRUE(sameBits(r(i, j), s)) << m << "x" << k << "x" << n << " pad " << pad << " at " << i << "," << j;
    }
  for (ZtSize i = 0; i < m; ++i)
    for (ZtSize j = n; j < n + pad; ++j) ASSERT_EQ(sr[i * (n + pad) + j], 42.0);
  ASSERT_EQ(sr.back(), 42.0);
}

}  // namespace

TEST(ProductBlocks, EveryElementKeepsItsSummationOrder) {
  std::mt19937_64 rng(2024);
  for (ZtSize n = 1; n <= 37; ++n) checkShape(n, n, n, 0, rng);
  const ZtSize shapes[][3] = {{12, 12, 3}, {15, 15, 15}, {18, 18, 6}, {1, 9, 1},  {5, 1, 7},
                              {7, 3, 1},   {3, 7, 9},    {9, 2, 5},   {13, 11, 10}, {6, 0, 4}};
  for (const auto& s : shapes)
    for (ZtSize pad : {0u, 3u}) checkShape(s[0], s[1], s[2], pad, rng);
  for (ZtSize m = 1; m <= 9; ++m)
    for (ZtSize n = 1; n <= 9; ++n) checkShape(m, 5, n, 1, rng);
}

TEST(ProductBlocks, TransposedProductKeepsItsSummationOrder) {
  std::mt19937_64 rng(2025);
  for (ZtSize n = 1; n <= 37; ++n) checkTransShape(n, n, n, 0, rng);
  const ZtSize shapes[][3] = {{12, 12, 3}, {15, 15, 15}, {18, 18, 6}, {1, 9, 1}, {5, 1, 7}, {9, 2, 5}, {6, 0, 4}};
  for (const auto& s : shapes)
    for (ZtSize pad : {0u, 3u}) checkTransShape(s[0], s[1], s[2], pad, rng);
  for (ZtSize m = 1; m <= 9; ++m)
    for (ZtSize n = 1; n <= 9; ++n) checkTransShape(m, 7, n, 2, rng);
}
