// Operations of zelto::Vector on values: element-wise arithmetic, matrix-vector products,
// triangular and Gauss-Jordan solves, scaled norms, reductions, polynomials and power iteration.
// Eigen is the independent reference for the products and solves.
#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <functional>
#include <random>
#include <vector>

#include "math/Matrix.h"
#include "math/Vector.h"
#include "math/Vector3.h"

using namespace zelto;

namespace {

Vector vec(std::vector<double> v) { return Vector(v.size(), v.data()); }
std::vector<double> vectorOpsItems(const ZtVector& v) { return std::vector<double>(v.data, v.data + v.size); }

Eigen::MatrixXd vectorOpsToEigen(const ZtMatrix& m) {
  Eigen::MatrixXd e(m.rows, m.cols);
  for (ZtSize r = 0; r < m.rows; ++r)
    for (ZtSize c = 0; c < m.cols; ++c) e(r, c) = m.data[r * m.stride + c];
  return e;
}

Eigen::VectorXd vectorOpsToEigen(const ZtVector& v) { return Eigen::Map<const Eigen::VectorXd>(v.data, v.size); }

::testing::AssertionResult near(const ZtVector& v, const Eigen::VectorXd& ref, double tol) {
  if (static_cast<Eigen::Index>(v.size) != ref.size()) return ::testing::AssertionFailure() << "size";
  for (ZtSize i = 0; i < v.size; ++i)
    if (!(std::fabs(v.data[i] - ref[i]) <= tol * (1 + std::fabs(ref[i]))))
      return ::testing::AssertionFailure() << "item " << i << ": " << v.data[i] << " vs " << ref[i];
  return ::testing::AssertionSuccess();
}

void vectorOpsFillRandom(ZtMatrix& m, std::mt19937_64& rng) {
  std::normal_distribution<double> d(0.0, 1.0);
  for (ZtSize r = 0; r < m.rows; ++r)
    for (ZtSize c = 0; c < m.cols; ++c) m.data[r * m.stride + c] = d(rng);
}

Vector randomVector(ZtSize n, std::mt19937_64& rng) {
  std::normal_distribution<double> d(0.0, 1.0);
  Vector v(n);
  for (ZtSize i = 0; i < n; ++i) v[i] = d(rng);
  return v;
}

TEST(VectorOps, ElementWiseFamily) {
  const Vector a = vec({1, -2, 4}), b = vec({0.5, 3, -8}), c = vec({2, 2, 2});
  const Vector lo = vec({0, 0, 5}), hi = vec({1, 1, 1});
  struct Case {
    const char* name;
    std::function<void(Vector&)> op;
    std::vector<double> expected;
  } cases[] = {
      {"add", [&](Vector& t) { t.isVecAddVec(a, b); }, {1.5, 1, -4}},
      {"sub", [&](Vector& t) { t.isVecSubVec(a, b); }, {0.5, -5, 12}},
      {"add3", [&](Vector& t) { t.isVecAddVecAddVec(a, b, c); }, {3.5, 3, -2}},
      {"addSub", [&](Vector& t) { t.isVecAddVecSubVec(a, b, c); }, {-0.5, -1, -6}},
      {"scaMul", [&](Vector& t) { t.isScaMulVec(2, a); }, {2, -4, 8}},
      {"scaDiv", [&](Vector& t) { t.isScaDivVec(4, a); }, {4, -2, 1}},
      {"addScaMul", [&](Vector& t) { t.isVecAddScaMulVec(a, 2, b); }, {2, 4, -12}},
      {"scaMulAdd", [&](Vector& t) { t.isScaMulVecAddScaMulVec(2, a, -1, b); }, {1.5, -7, 16}},
      {"eMul", [&](Vector& t) { t.isVecEMulVec(a, b); }, {0.5, -6, -32}},
      {"eDiv", [&](Vector& t) { t.isVecEDivVec(a, b); }, {2, -2.0 / 3, -0.5}},
      {"neg", [&](Vector& t) { t.isNegVec(a); }, {-1, 2, -4}},
      {"abs", [&](Vector& t) { t.isAbs(a); }, {1, 2, 4}},
      {"sqrt", [&](Vector& t) { t.isSqrt(c); }, {std::sqrt(2.0), std::sqrt(2.0), std::sqrt(2.0)}},
      {"interpolate", [&](Vector& t) { t.isInterpolate(0.25, a, c); }, {1.75, 1, 2.5}},
      {"max", [&](Vector& t) { t.isMax(a, b); }, {1, 3, 4}},
      {"min", [&](Vector& t) { t.isMin(a, b); }, {0.5, -2, -8}},
      {"clampVec", [&](Vector& t) { t.isClamped(a, lo, hi); }, {1, 0, 5}},  // lo wins over hi
      {"clamp", [&](Vector& t) { t.isClamped(b, 0.0, 2.0); }, {0.5, 2, 0}},
      {"permute", [&](Vector& t) { t.isPermutation(a, vec({2.9, 0, 1})); }, {4, 1, -2}},
      {"cross", [&](Vector& t) { t.isVecCrossVec(a, b); }, {4, 10, 4}},
      {"zero", [&](Vector& t) { t.isZero(); }, {0, 0, 0}},
      {"subZero", [&](Vector& t) { t = a; t.isSubZero(1, 1); }, {1, 0, 4}},
      {"subVector", [&](Vector& t) { t = a; t.setSubVector(b, 1, 2, 0); }, {1, 0.5, 3}},
      {"subVectorStride", [&](Vector& t) { const double p[5] = {7, 0, 8, 0, 9}; t = a; t.setSubVector(p, 0, 3, 2); },
       {7, 8, 9}},
  };
  for (const Case& k : cases) {
    Vector t(3);
    k.op(t);
    EXPECT_EQ(vectorOpsItems(t), k.expected) << k.name;
  }
  Vector self = a;
  self.isVecAddVec(self, self);
  EXPECT_EQ(vectorOpsItems(self), (std::vector<double>{2, -4, 8}));
  Vector inv(3);
  inv.isInversePermutation(vec({2, 0, 1}));
  EXPECT_EQ(vectorOpsItems(inv), (std::vector<double>{1, 2, 0}));
  Vector sw = vec({1, 2, 3, 4, 5});
  sw.swapItems(0, 3, 2);
  EXPECT_EQ(vectorOpsItems(sw), (std::vector<double>{4, 5, 3, 1, 2}));
  sw.swapItems(0, 4, 1);
  EXPECT_EQ(vectorOpsItems(sw), (std::vector<double>{2, 5, 3, 1, 4}));
}

// Items spread over many orders of magnitude, so that a sum taken in another order (or from
// zero instead of from its first term) changes the last bits of the result.
void fillSpread(ZtMatrix& m, std::mt19937_64& rng) {
  std::normal_distribution<double> d(0.0, 1.0);
  std::uniform_real_distribution<double> e(-6.0, 6.0);
  for (ZtSize r = 0; r < m.rows; ++r)
    for (ZtSize c = 0; c < m.cols; ++c) m.data[r * m.stride + c] = d(rng) * std::pow(10.0, e(rng));
}

Vector spreadVector(ZtSize n, std::mt19937_64& rng) {
  Vector v(n);
  Matrix view(1, n, n, v.data, 0);
  fillSpread(view, rng);
  return v;
}

TEST(VectorOps, SumsRunInTheFixedOrderBitForBit) {
  std::mt19937_64 rng(9);
  std::vector<double> storage(6 * 9);
  Matrix m(6, 7, 9, storage.data(), 0);
  fillSpread(m, rng);
  const Vector v7 = spreadVector(7, rng), v6 = spreadVector(6, rng), w6 = spreadVector(6, rng);
  const double s = 0.3;
  Vector r6(6), r7(7);
  bool orderMatters = false;

  r6.isMatMulVec(m, v7);  // from the first term, c ascending
  for (ZtSize r = 0; r < 6; ++r) {
    double sum = m(r, 0) * v7[0];
    for (ZtSize c = 1; c < 7; ++c) sum += m(r, c) * v7[c];
    EXPECT_EQ(r6[r], sum) << r;
    double reversed = 0.0;
    for (ZtSize c = 7; c-- > 0;) reversed += m(r, c) * v7[c];
    orderMatters = orderMatters || reversed != sum;
  }
  EXPECT_TRUE(orderMatters) << "the data does not tell summation orders apart";

  r6.isMatMulVecAddVecMulSca(m, v7, w6, s);
  for (ZtSize r = 0; r < 6; ++r) {
    double sum = m(r, 0) * v7[0];
    for (ZtSize c = 1; c < 7; ++c) sum += m(r, c) * v7[c];
    EXPECT_EQ(r6[r], (sum + w6[r]) * s) << r;
  }
  r6 = w6;
  r6.isSelfAddScaMulMatMulVec(s, m, v7);  // term by term into the item
  for (ZtSize r = 0; r < 6; ++r) {
    double acc = w6[r];
    for (ZtSize c = 0; c < 7; ++c) acc += v7[c] * m(r, c) * s;
    EXPECT_EQ(r6[r], acc) << r;
  }
  r7.isTransMatMulVec(m, v6);  // from zero, r ascending
  Vector byRows(7);
  byRows.isVecMulMat(v6, m);  // row by row into the items: the same order
  for (ZtSize c = 0; c < 7; ++c) {
    double sum = 0.0;
    for (ZtSize r = 0; r < 6; ++r) sum += m(r, c) * v6[r];
    EXPECT_EQ(r7[c], sum) << c;
    EXPECT_EQ(byRows[c], sum) << c;
  }
  r6.isLeftDivideTriL(m, w6);
  for (ZtSize i = 0; i < 6; ++i) {
    double sum = 0.0;
    for (ZtSize j = 0; j < i; ++j) sum += m(i, j) * r6[j];
    EXPECT_EQ(r6[i], (w6[i] - sum) / m(i, i)) << i;
  }
  double dot = 0.0;
  for (ZtSize k = 2; k < 6; ++k) dot += v7[k] * v6[k];
  EXPECT_EQ(v7.dotProductOfSubVector(v6, 2, 4), dot);

  double largest = 0.0;
  for (ZtSize i = 0; i < 7; ++i) largest = std::max(largest, std::fabs(v7[i]));
  double squares = 0.0;
  for (ZtSize i = 0; i < 7; ++i) squares += (v7[i] * (1.0 / largest)) * (v7[i] * (1.0 / largest));
  EXPECT_EQ(v7.l2Norm(), std::sqrt(squares) * largest);
  double first = v7[0];
  for (ZtSize i = 1; i < 7; ++i) first += v7[i];
  EXPECT_EQ(v7.sumVal(), first);
}

TEST(VectorOps, MatrixVectorProductsAgainstEigen) {
  std::mt19937_64 rng(1);
  // A 5 x 4 view with stride 6.
  std::vector<double> storage(5 * 6, 1e300);
  Matrix m(5, 4, 6, storage.data(), 0);
  vectorOpsFillRandom(m, rng);
  const Eigen::MatrixXd em = vectorOpsToEigen(m);
  const Vector v4 = randomVector(4, rng), v5 = randomVector(5, rng), w5 = randomVector(5, rng);
  const double s = 0.75;
  Vector r5(5), r4(4);
  r5.isMatMulVec(m, v4);
  EXPECT_TRUE(near(r5, em * vectorOpsToEigen(v4), 1e-14));
  r5.isMatMulVecMulSca(m, v4, s);
  EXPECT_TRUE(near(r5, em * vectorOpsToEigen(v4) * s, 1e-14));
  r5.isMatMulVecAddVecMulSca(m, v4, w5, s);
  EXPECT_TRUE(near(r5, (em * vectorOpsToEigen(v4) + vectorOpsToEigen(w5)) * s, 1e-14));
  r5.isScaMulMatMulVecAddVec(s, m, v4, w5);
  EXPECT_TRUE(near(r5, em * vectorOpsToEigen(v4) * s + vectorOpsToEigen(w5), 1e-14));
  r5 = w5;
  r5.isSelfAddScaMulMatMulVec(s, m, v4);
  EXPECT_TRUE(near(r5, vectorOpsToEigen(w5) + s * em * vectorOpsToEigen(v4), 1e-14));
  r4.isTransMatMulVec(m, v5);
  EXPECT_TRUE(near(r4, em.transpose() * vectorOpsToEigen(v5), 1e-14));
  r4.isVecMulMat(v5, m);
  EXPECT_TRUE(near(r4, em.transpose() * vectorOpsToEigen(v5), 1e-14));
  r5.isMatTriLMulVec(m, v4);
  EXPECT_TRUE(near(r5, em.triangularView<Eigen::Lower>() * vectorOpsToEigen(v4), 1e-14));
  r5.isMatCol(m, 2);
  EXPECT_TRUE(near(r5, em.col(2), 0.0));
  r4.isMatRow(m, 3);
  EXPECT_TRUE(near(r4, em.row(3).transpose(), 0.0));
  r4.isDiag(m);
  EXPECT_TRUE(near(r4, em.diagonal(), 0.0));
  r4.isSumSquaresMat(m, 1, 0, 0);
  EXPECT_TRUE(near(r4, em.colwise().squaredNorm().transpose(), 1e-14));
  Vector two(2);
  two.isSumSquaresMat(m, 2, 3, 2);
  EXPECT_TRUE(near(two, em.rowwise().squaredNorm().segment(3, 2), 1e-14));
  r5.isNormOfRows(m);
  EXPECT_TRUE(near(r5, em.rowwise().norm(), 1e-14));

  Matrix b(4, 5);
  vectorOpsFillRandom(b, rng);
  Vector d5(5);
  d5.isDiagMatMulMat(m, b);
  EXPECT_TRUE(near(d5, (em * vectorOpsToEigen(b)).diagonal(), 1e-14));
  Matrix bt(5, 4);
  vectorOpsFillRandom(bt, rng);
  d5.isDiagMatMulTransMat(m, bt);
  EXPECT_TRUE(near(d5, (em * vectorOpsToEigen(bt).transpose()).diagonal(), 1e-14));
  for (ZtSize r = 0; r < 5; ++r) EXPECT_EQ(storage[r * 6 + 5], 1e300);
}

TEST(VectorOps, Solves) {
  std::mt19937_64 rng(2);
  Matrix a(4, 4);
  vectorOpsFillRandom(a, rng);
  for (ZtSize i = 0; i < 4; ++i) a(i, i) += 4.0;
  const Eigen::MatrixXd ea = vectorOpsToEigen(a);
  const Vector b = randomVector(4, rng);
  Vector x(4);
  x.isLeftDivideTriL(a, b);
  EXPECT_TRUE(near(x, ea.triangularView<Eigen::Lower>().solve(vectorOpsToEigen(b)), 1e-13));
  x.isLeftDivideTriU(a, b);  // 3 x 3 and the like: every item written
  EXPECT_TRUE(near(x, ea.triangularView<Eigen::Upper>().solve(vectorOpsToEigen(b)), 1e-13));
  x.isLeftDivideDiag(a, b);
  EXPECT_TRUE(near(x, vectorOpsToEigen(b).cwiseQuotient(ea.diagonal()), 1e-15));

  // A wide U: its last n columns form the triangle, x is aligned to the end of the result.
  Matrix wide(2, 4);
  vectorOpsFillRandom(wide, rng);
  wide(0, 2) = 3;
  wide(1, 3) = 2;
  Vector tail = vec({-5, -5, 0, 0});
  tail.isLeftDivideTriU(wide, vec({1, 4}));
  EXPECT_EQ(tail[0], -5.0);
  EXPECT_EQ(tail[3], 2.0);
  EXPECT_EQ(tail[2], (1 - wide(0, 3) * 2) / 3);

  Vector g(4);
  ASSERT_TRUE(g.isSolve_y_is_M_x(b, a));
  EXPECT_TRUE(near(g, ea.lu().solve(vectorOpsToEigen(b)), 1e-12));
  Vector swapped(2);
  ASSERT_TRUE(swapped.isSolve_y_is_M_x(vec({2, 3}), Matrix(2, 2, std::vector<double>{0, 1, 1, 0}.data())));
  EXPECT_EQ(vectorOpsItems(swapped), (std::vector<double>{3, 2}));
  Vector unchanged = vec({7, 7});
  Matrix zero(2, 2);
  zero.isZero();
  EXPECT_FALSE(unchanged.isSolve_y_is_M_x(vec({1, 1}), zero));
  EXPECT_FALSE(unchanged.isSolve_y_is_M_x(vec({1}), Matrix(1, 2, std::vector<double>{1, 1}.data())));
  EXPECT_EQ(vectorOpsItems(unchanged), (std::vector<double>{7, 7}));
}

TEST(VectorOps, NormsAndReductions) {
  // No overflow or underflow of the squares.
  EXPECT_DOUBLE_EQ(vec({3e200, 4e200}).l2Norm(), 5e200);
  EXPECT_DOUBLE_EQ(vec({3e-200, -4e-200}).l2Norm(), 5e-200);
  EXPECT_EQ(vec({0, 0}).l2Norm(), 0.0);
  EXPECT_EQ(Vector().l2Norm(), 0.0);

  Vector n(2);
  EXPECT_DOUBLE_EQ(n.isNormalizeVecL2(vec({3e200, 4e200})), 5e200);
  EXPECT_DOUBLE_EQ(n[0], 0.6);
  EXPECT_EQ(n.isNormalizeVecL2(vec({0, 0})), 0.0);
  EXPECT_EQ(vectorOpsItems(n), (std::vector<double>{0, 0}));
  n = vec({5, 5});
  EXPECT_EQ(n.isNormalizeVec(vec({1e-17, 0})), 0.0);
  EXPECT_EQ(vectorOpsItems(n), (std::vector<double>{0, 0}));
  EXPECT_EQ(n.isNormalizeVec(vec({0, 2})), 2.0);
  EXPECT_EQ(vectorOpsItems(n), (std::vector<double>{0, 1}));

  const Vector v = vec({3, 4});
  EXPECT_TRUE(v.cartesianLengthLargerThan(4.99));
  EXPECT_FALSE(v.cartesianLengthLargerThan(5));
  EXPECT_TRUE(v.cartesianLengthLargerOrEqual(5));
  EXPECT_EQ(vec({1, 2, 3, 4}).dotProductOfSubVector(vec({9, 1, 1, 9}), 1, 2), 5.0);
  EXPECT_NEAR(vec({1, 0}).angleWith(vec({1, 1})), std::acos(-1.0) / 4, 1e-15);
  EXPECT_EQ(vec({1, 0}).angleWith(vec({2, 0})), 0.0);

  const Vector r = vec({1, 2, 9});
  EXPECT_EQ(r.unweightedAvgVal(), 5.0);
  EXPECT_EQ(r.avgVal(), 4.0);
  EXPECT_EQ(r.sumVal(), 12.0);
  EXPECT_EQ(r.minVal(), 1.0);
  EXPECT_EQ(r.maxVal(), 9.0);
  ZtSize index = 99;
  EXPECT_EQ(vec({-3, 3}).maxAbsVal(&index), 3.0);
  EXPECT_EQ(index, 0u);
  EXPECT_EQ(vec({1, -4, 4}).maxAbsVal(&index), 4.0);
  EXPECT_EQ(index, 1u);
  index = 99;
  const Vector empty;
  EXPECT_EQ(empty.maxAbsVal(&index), 0.0);
  EXPECT_EQ(index, 99u);
  EXPECT_EQ(empty.minVal(), 0.0);
  EXPECT_EQ(empty.avgVal(), 0.0);
  EXPECT_EQ(empty.unweightedAvgVal(), 0.0);
}

TEST(VectorOps, Polynomials) {
  const Vector p = vec({2, -3, 1});  // 2x^2 - 3x + 1 = (2x - 1)(x - 1)
  EXPECT_EQ(p.polyVal(2.0), 3.0);
  EXPECT_EQ(p.polyCauchyBound(), 2.5);
  Vector grad(2);
  grad.isPolyGrad(p);
  EXPECT_EQ(vectorOpsItems(grad), (std::vector<double>{4, -3}));

  double root = 0;
  EXPECT_FALSE(p.polyRootFalsePosition(root, 2, 3));
  EXPECT_TRUE(p.polyRootFalsePosition(root, 0.75, 3));
  EXPECT_NEAR(root, 1.0, 1e-12);
  EXPECT_TRUE(p.polyRootFalsePosition(root, 1.0, 3));  // a root at an end
  EXPECT_EQ(root, 1.0);

  Vector roots(2);
  ASSERT_EQ(vec({1, 0, -1}).polyRoot(roots, 0, 0), 2u);  // searches [-2, 2]
  EXPECT_NEAR(roots[0], -1.0, 1e-12);
  EXPECT_NEAR(roots[1], 1.0, 1e-12);

  // (x + 3)(x - 0.5)(x - 2) = x^3 + 0.5x^2 - 6.5x + 3
  Vector cubic(3);
  ASSERT_EQ(vec({1, 0.5, -6.5, 3}).polyRoot(cubic, 0, 0), 3u);
  EXPECT_NEAR(cubic[0], -3.0, 1e-10);
  EXPECT_NEAR(cubic[1], 0.5, 1e-10);
  EXPECT_NEAR(cubic[2], 2.0, 1e-10);
  Vector line(1);
  EXPECT_EQ(vec({2, -1}).polyRoot(line, 5, 6), 1u);  // a line ignores the interval
  EXPECT_EQ(line[0], 0.5);
  Vector none(2);
  EXPECT_EQ(vec({1, 0, 1}).polyRoot(none, 0, 0), 0u);  // x^2 + 1
}

TEST(VectorOps, PrincipalEigen) {
  Vector e(2);
  double lambda = 0;
  Matrix d(2, 2);
  const double diag[2] = {2, 1};
  d.isDiag(diag);
  e.isPrincipalEigen(d, lambda);
  EXPECT_EQ(vectorOpsItems(e), (std::vector<double>{1, 0}));
  EXPECT_EQ(lambda, 2.0);

  std::mt19937_64 rng(3);
  Matrix a(4, 4);
  vectorOpsFillRandom(a, rng);
  Matrix s(4, 4);
  s.isTransMatMulMat(a);  // symmetric positive semi-definite
  s(0, 0) += 10;          // a clearly dominant eigenvalue
  Vector v(4);
  v.isPrincipalEigen(s, lambda);
  Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> solver(vectorOpsToEigen(s));
  EXPECT_NEAR(lambda, solver.eigenvalues()[3], 1e-9 * lambda);
  const Eigen::VectorXd ref = solver.eigenvectors().col(3);
  EXPECT_NEAR(std::fabs(vectorOpsToEigen(v).dot(ref)), 1.0, 1e-9);
}

}  // namespace
