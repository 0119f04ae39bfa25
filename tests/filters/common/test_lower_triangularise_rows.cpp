// The row-wise Householder reduction under the square-root time update: the Gram matrix of the
// rows is kept, the pivot rows come out lower triangular with a non-negative diagonal, and
// columns beyond a pivot's declared end are neither read nor written.
#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <cmath>
#include <limits>
#include <random>
#include <utility>
#include <vector>

#include "filters/common/LowerTriangulariseRows.h"

namespace {

using RowMatrix = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

struct Case {
  const char* name;
  size_t rows, pivots, cols;
  std::vector<size_t> end;  // empty: every pivot reaches cols
};

// Random rows with row i zero from its end on (the last end for rows past the pivots).
RowMatrix randomArray(const Case& c, std::mt19937_64& rng) {
  std::normal_distribution<double> n(0.0, 1.0);
  RowMatrix a = RowMatrix::Zero(static_cast<Eigen::Index>(c.rows), static_cast<Eigen::Index>(c.cols));
  for (size_t r = 0; r < c.rows; ++r) {
    const size_t e = c.end.empty() ? c.cols : c.end[std::min(r, c.end.size() - 1)];
    for (size_t k = 0; k < e; ++k) a(static_cast<Eigen::Index>(r), static_cast<Eigen::Index>(k)) = n(rng);
  }
  return a;
}

}  // namespace

TEST(LowerTriangulariseRows, KeepsTheRowGramMatrixAndTriangularises) {
  const std::vector<Case> cases = {
      {"square", 12, 12, 12, {}},
      {"wide, full rows", 12, 12, 24, {}},
      {"wide, block-diagonal right half", 12, 12, 24, {15, 15, 15, 18, 18, 18, 21, 21, 21, 24, 24, 24}},
      {"carried rows below the pivots", 16, 15, 15, {}},
      {"fewer pivots than columns", 12, 3, 3, {}},
  };
  std::mt19937_64 rng(42);
  for (const Case& c : cases) {
    for (int trial = 0; trial < 10; ++trial) {
      SCOPED_TRACE(::testing::Message() << c.name << ", trial " << trial);
      const RowMatrix a0 = randomArray(c, rng);
      RowMatrix a = a0;
      // Beyond a pivot row's end the reduction must not look: a NaN there would spread.
      std::vector<std::pair<size_t, size_t>> poisoned;
      for (size_t r = 0; r < c.pivots && !c.end.empty(); ++r)
        for (size_t k = c.end[r]; k < c.cols; ++k) {
          a(static_cast<Eigen::Index>(r), static_cast<Eigen::Index>(k)) = std::numeric_limits<double>::quiet_NaN();
          poisoned.emplace_back(r, k);
        }
      ASSERT_TRUE(lowerTriangulariseRows(a.data(), c.cols, c.rows, c.pivots, c.cols,
                                         c.end.empty() ? nullptr : c.end.data()));
      RowMatrix clean = a;
      for (const auto& [r, k] : poisoned) {
        EXPECT_TRUE(std::isnan(a(static_cast<Eigen::Index>(r), static_cast<Eigen::Index>(k)))) << r << ", " << k;
        clean(static_cast<Eigen::Index>(r), static_cast<Eigen::Index>(k)) = 0.0;
      }
      ASSERT_TRUE(clean.allFinite());
      const Eigen::MatrixXd g0 = a0 * a0.transpose();
      const Eigen::MatrixXd g = clean * clean.transpose();
      EXPECT_LT((g - g0).cwiseAbs().maxCoeff(), 1e-13 * g0.cwiseAbs().maxCoeff());
      for (size_t r = 0; r < c.pivots; ++r) {
        EXPECT_GT(clean(static_cast<Eigen::Index>(r), static_cast<Eigen::Index>(r)), 0.0) << r;
        for (size_t k = r + 1; k < c.cols; ++k)
          EXPECT_EQ(clean(static_cast<Eigen::Index>(r), static_cast<Eigen::Index>(k)), 0.0) << r << ", " << k;
      }
    }
  }
}

// The block structure only skips zeros: with and without the ends the factor is the same.
TEST(LowerTriangulariseRows, EndsChangeNothingButTheWork) {
  const std::vector<size_t> end = {15, 15, 15, 18, 18, 18, 21, 21, 21, 24, 24, 24};
  std::mt19937_64 rng(7);
  const RowMatrix a0 = randomArray({"", 12, 12, 24, end}, rng);
  RowMatrix withEnds = a0, without = a0;
  ASSERT_TRUE(lowerTriangulariseRows(withEnds.data(), 24, 12, 12, 24, end.data()));
  ASSERT_TRUE(lowerTriangulariseRows(without.data(), 24, 12, 12, 24, nullptr));
  EXPECT_LT((withEnds - without).cwiseAbs().maxCoeff(), 1e-13 * a0.cwiseAbs().maxCoeff());
}

// Rows already zero beyond their pivots take no reflection: a negative pivot has its column
// negated, a zero row gives no NaN. Arrays wider than the bound are refused untouched.
TEST(LowerTriangulariseRows, DegenerateRowsAndTooWideArrays) {
  RowMatrix a(3, 3);
  a << -2.0, 0.0, 0.0,  //
      0.0, 0.0, 0.0,    //
      1.0, 2.0, 3.0;
  ASSERT_TRUE(lowerTriangulariseRows(a.data(), 3, 3, 3, 3, nullptr));
  RowMatrix expected(3, 3);
  expected << 2.0, 0.0, 0.0,  //
      0.0, 0.0, 0.0,          //
      -1.0, 2.0, 3.0;
  EXPECT_EQ(a, expected);

  const size_t wide = kLowerTriangulariseMaxColumns + 1;
  std::vector<double> big(2 * wide, 1.0);
  EXPECT_FALSE(lowerTriangulariseRows(big.data(), wide, 2, 2, wide, nullptr));
  const std::vector<size_t> ends = {2, wide};
  EXPECT_FALSE(lowerTriangulariseRows(big.data(), wide, 2, 2, 2, ends.data()));
  for (double v : big) EXPECT_EQ(v, 1.0);
}
