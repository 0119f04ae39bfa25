// Element-wise, diagonal, row/column, block and triangular operations of zelto::Matrix, and its
// reductions and symmetric forms. Most cases run on strided views inside a guarded array so
// that a write outside the view's elements shows up.
#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <utility>
#include <vector>

#include "math/Matrix.h"
#include "math/Vector.h"

using namespace zelto;

namespace {

const double kMatrixOpsGuard = -777.0;

// A rows x cols view with stride cols + 2 inside an array filled with a guard value.
struct Strided {
  Strided(ZtSize r, ZtSize c) : storage((r + 1) * (c + 2), kMatrixOpsGuard), m(r, c, c + 2, storage.data(), 0) {}
  bool guardsIntact() const {
    for (ZtSize i = 0; i < storage.size(); ++i) {
      const ZtSize r = i / m.stride, c = i % m.stride;
      if ((r >= m.rows || c >= m.cols) && storage[i] != kMatrixOpsGuard) return false;
    }
    return true;
  }
  std::vector<double> storage;
  Matrix m;
};

std::vector<double> elements(const ZtMatrix& m) {
  std::vector<double> out;
  for (ZtSize r = 0; r < m.rows; ++r)
    for (ZtSize c = 0; c < m.cols; ++c) out.push_back(m.data[r * m.stride + c]);
  return out;
}

Matrix make(ZtSize r, ZtSize c, std::vector<double> v) { return Matrix(r, c, v.data()); }

void fillRandom(Matrix& m, std::mt19937_64& rng) {
  std::uniform_real_distribution<double> d(0.5, 4.0);
  for (ZtSize r = 0; r < m.rows; ++r)
    for (ZtSize c = 0; c < m.cols; ++c) m(r, c) = (rng() % 2 ? -1 : 1) * d(rng);
}

TEST(MatrixOps, ElementWiseFamilyOnStridedViews) {
  std::mt19937_64 rng(1);
  Matrix a(3, 4), b(3, 4), m(3, 4), n(3, 4);
  for (Matrix* x : {&a, &b, &m, &n}) fillRandom(*x, rng);
  const double s = 1.7, s2 = -0.3;
  Matrix pos(3, 4);
  pos.isAbs(b);
  struct Case {
    const char* name;
    std::function<void(Matrix&)> op;
    std::function<double(ZtSize, ZtSize)> expected;
  } cases[] = {
      {"add", [&](Matrix& t) { t.isMatAddMat(a, b); }, [&](ZtSize r, ZtSize c) { return a(r, c) + b(r, c); }},
      {"sub", [&](Matrix& t) { t.isMatSubMat(a, b); }, [&](ZtSize r, ZtSize c) { return a(r, c) - b(r, c); }},
      {"add3sub", [&](Matrix& t) { t.isMatAddMatAddMatSubMat(a, b, m, n); },
       [&](ZtSize r, ZtSize c) { return a(r, c) + b(r, c) + m(r, c) - n(r, c); }},
      {"addScaMul", [&](Matrix& t) { t.isMatAddScaMulMat(a, s, b); },
       [&](ZtSize r, ZtSize c) { return b(r, c) * s + a(r, c); }},
      {"scaMulAddScaMul", [&](Matrix& t) { t.isScaMulMatAddScaMulMat(s, a, s2, b); },
       [&](ZtSize r, ZtSize c) { return a(r, c) * s + b(r, c) * s2; }},
      {"scaMul", [&](Matrix& t) { t.isScaMulMat(s, a); }, [&](ZtSize r, ZtSize c) { return a(r, c) * s; }},
      {"eMul", [&](Matrix& t) { t.isMatEMulMat(a, b); }, [&](ZtSize r, ZtSize c) { return a(r, c) * b(r, c); }},
      {"eDiv", [&](Matrix& t) { t.isMatEDivMat(a, b); }, [&](ZtSize r, ZtSize c) { return a(r, c) / b(r, c); }},
      {"scaEMul", [&](Matrix& t) { t.isScaMulMatEMulMat(s, a, b); },
       [&](ZtSize r, ZtSize c) { return a(r, c) * s * b(r, c); }},
      {"abs", [&](Matrix& t) { t.isAbs(a); }, [&](ZtSize r, ZtSize c) { return std::fabs(a(r, c)); }},
      {"sqrt", [&](Matrix& t) { t.isSqrt(pos); }, [&](ZtSize r, ZtSize c) { return std::sqrt(pos(r, c)); }},
      {"addIdentity", [&](Matrix& t) { t.isMatAddIdentity(a, s); },
       [&](ZtSize r, ZtSize c) { return r == c ? a(r, c) + s : a(r, c); }},
      {"min", [&](Matrix& t) { t.isMin(a, b); }, [&](ZtSize r, ZtSize c) { return std::min(a(r, c), b(r, c)); }},
      {"zero", [&](Matrix& t) { t.isZero(); }, [&](ZtSize, ZtSize) { return 0.0; }},
  };
  for (const Case& c : cases) {
    Strided t(3, 4);
    c.op(t.m);
    for (ZtSize r = 0; r < 3; ++r)
      for (ZtSize k = 0; k < 4; ++k)
        EXPECT_EQ(t.m(r, k), c.expected(r, k)) << c.name << " " << r << "," << k;
    EXPECT_TRUE(t.guardsIntact()) << c.name;
  }
  // Dense operands and result take the single-run path of isScaMulMatEMulMat: same values.
  Matrix dense(3, 4);
  dense.isScaMulMatEMulMat(s, a, b);
  Strided strided(3, 4);
  strided.m.isScaMulMatEMulMat(s, a, b);
  EXPECT_EQ(elements(dense), elements(strided.m));
  // An operand may be the result itself.
  Matrix self(a);
  self.isMatAddMat(self, b);
  Matrix sum(3, 4);
  sum.isMatAddMat(a, b);
  EXPECT_EQ(elements(self), elements(sum));
  self = a;
  self.isSelfAddScaMulMat(s, b);
  for (ZtSize r = 0; r < 3; ++r)
    for (ZtSize c = 0; c < 4; ++c) EXPECT_EQ(self(r, c), a(r, c) + b(r, c) * s);
  Matrix t(4, 3);
  t.isTransposeOf(a);
  using Rm34 = Eigen::Matrix<double, 3, 4, Eigen::RowMajor>;
  using Rm43 = Eigen::Matrix<double, 4, 3, Eigen::RowMajor>;
  const Rm43 expected = Eigen::Map<const Rm34>(a.data).transpose();
  EXPECT_TRUE(expected == Eigen::Map<const Rm43>(t.data));
}

TEST(MatrixOps, DiagonalFamily) {
  const double v[2] = {1, 2};
  const Vector dv(2, v);
  Matrix wide(2, 3);
  wide.isDiag(dv);
  EXPECT_EQ(elements(wide), (std::vector<double>{1, 0, 0, 0, 2, 0}));
  Matrix tall(3, 2);
  tall.isDiag(v);
  EXPECT_EQ(elements(tall), (std::vector<double>{1, 0, 0, 2, 0, 0}));
  tall.isDiagSquared(dv);
  EXPECT_EQ(elements(tall), (std::vector<double>{1, 0, 0, 4, 0, 0}));

  const Matrix a = make(2, 2, {1, 2, 3, 4}), b = make(2, 2, {10, 20, 30, 40});
  Matrix keep = make(2, 2, {-1, -2, -3, -4});
  keep.isMatAddMatDiagonal(a, b);
  EXPECT_EQ(elements(keep), (std::vector<double>{11, -2, -3, 44}));
  keep.isMatEMulMatDiagonal(a, b);
  EXPECT_EQ(elements(keep), (std::vector<double>{10, 0, 0, 160}));
  Matrix sq = make(2, 2, {4, 7, 8, 9});
  sq.isSqrtDiagonal(sq);  // in place
  EXPECT_EQ(elements(sq), (std::vector<double>{2, 0, 0, 3}));

  Strided s(3, 3);
  const double v3[3] = {1, 2, 9};
  s.m.isDiag(v3);
  s.m.isSqrtDiagonal(s.m);
  EXPECT_TRUE(s.guardsIntact());
  EXPECT_EQ(elements(s.m), (std::vector<double>{1, 0, 0, 0, std::sqrt(2.0), 0, 0, 0, 3}));
}

TEST(MatrixOps, RowsAndColumns) {
  Strided s(4, 4);
  s.m.isZero();
  s.m.setRow(1.5, 0);
  s.m.setCol(2.5, 3);
  const double vals[4] = {1, 2, 3, 4};
  s.m.setRow(Vector(4, vals), 1);
  s.m.setCol(vals, 0);
  EXPECT_EQ(elements(s.m), (std::vector<double>{1, 1.5, 1.5, 2.5, 2, 2, 3, 4, 3, 0, 0, 2.5, 4, 0, 0, 2.5}));
  s.m.setRow(ZtQuaternion{9, 8, 7, 6}, 2);
  s.m.setCol(ZtQuaternion{5, 4, 3, 2}, 1);
  Vector col(4);
  s.m.getCol(col, 1);
  EXPECT_EQ(std::vector<double>(col.data, col.data + 4), (std::vector<double>{5, 4, 3, 2}));
  EXPECT_EQ(s.m(2, 0), 9.0);
  EXPECT_EQ(s.m(2, 3), 6.0);
  EXPECT_TRUE(s.guardsIntact());

  Matrix m = make(3, 3, {1, 2, 3, 4, 5, 6, 7, 8, 9});
  m.rowAddScaMulRow(2, -2.0, 0);
  EXPECT_EQ(elements(m), (std::vector<double>{1, 2, 3, 4, 5, 6, 5, 4, 3}));
  m = make(3, 3, {1, 2, 3, 4, 5, 6, 7, 8, 9});
  m.swapRows(0, 2, 1, 1);  // all but column 0
  EXPECT_EQ(elements(m), (std::vector<double>{1, 8, 9, 4, 5, 6, 7, 2, 3}));
  m.swapRows(1, 1, 1, 0);
  m.swapRows(0, 1, 0, 0);
  EXPECT_EQ(elements(m), (std::vector<double>{1, 8, 9, 4, 5, 6, 7, 2, 3}));
  m = make(3, 3, {1, 2, 3, 4, 5, 6, 7, 8, 9});
  m.swapCols(0, 1, 2, 1);  // columns 0,1 with 1,2 from row 1 on
  EXPECT_EQ(elements(m), (std::vector<double>{1, 2, 3, 5, 6, 4, 8, 9, 7}));
}

TEST(MatrixOps, Blocks) {
  const Matrix src = make(3, 3, {1, 2, 3, 4, 5, 6, 7, 8, 9});
  Matrix m(4, 5);
  m.isZero();
  m.setSubMatrix(src, 1, 2, 2, 2, 0, 0);
  EXPECT_EQ(elements(m), (std::vector<double>{0, 0, 0, 0, 0, 0, 0, 1, 2, 0, 0, 0, 4, 5, 0, 0, 0, 0, 0, 0}));
  m.setSubScaMulMatrix(2.0, src, 0, 0, 1, 2, 2, 1);
  EXPECT_EQ(m(0, 0), 16.0);
  EXPECT_EQ(m(0, 1), 18.0);
  m.setSubMatAddMat(src, src, 3, 3, 1, 2, 1, 1);  // both sources read at (1, 1)
  EXPECT_EQ(m(3, 3), 10.0);
  EXPECT_EQ(m(3, 4), 12.0);
  m.setSubMatrix(src, 0, 0, 0, 3, 0, 0);  // empty block: nothing
  EXPECT_EQ(m(0, 0), 16.0);

  Strided s(3, 3);
  s.m.setSubScalar(7.0, 0, 0, 3, 3);
  const double d[2] = {1, 2};
  s.m.setSubDiag(Vector(2, d), 0, 0);
  EXPECT_EQ(elements(s.m), (std::vector<double>{1, 0, 7, 0, 2, 7, 7, 7, 7}));
  s.m.setSubIdentity(3.0, 1, 0, 2, 3);
  EXPECT_EQ(elements(s.m), (std::vector<double>{1, 0, 7, 3, 0, 0, 0, 3, 0}));
  s.m.zeroSub(0, 1, 1, 2);
  EXPECT_EQ(elements(s.m), (std::vector<double>{1, 0, 0, 3, 0, 0, 0, 3, 0}));
  EXPECT_TRUE(s.guardsIntact());
}

TEST(MatrixOps, TriangularForms) {
  Matrix self = make(2, 2, {2, 1, 0, 4});
  self.isInverseOfTriUSelf();
  EXPECT_EQ(elements(self), (std::vector<double>{0.5, -0.125, 0, 0.25}));

  std::mt19937_64 rng(2);
  for (ZtSize n : {1u, 3u, 7u}) {
    Matrix u(n, n);
    fillRandom(u, rng);
    for (ZtSize r = 0; r < n; ++r)
      for (ZtSize c = 0; c < r; ++c) u(r, c) = 99.0;  // not read
    Matrix inv(n, n);
    inv.isInverseOfTriU(u);
    Matrix inPlace(u);
    for (ZtSize r = 0; r < n; ++r)
      for (ZtSize c = 0; c < r; ++c) inPlace(r, c) = 0.0;
    inPlace.isInverseOfTriUSelf();
    EXPECT_EQ(elements(inv), elements(inPlace));  // same summation order, bit for bit
    Eigen::MatrixXd eu(n, n);
    for (ZtSize r = 0; r < n; ++r)
      for (ZtSize c = 0; c < n; ++c) eu(r, c) = c >= r ? u(r, c) : 0.0;
    const Eigen::MatrixXd ref = eu.inverse();
    for (ZtSize r = 0; r < n; ++r)
      for (ZtSize c = 0; c < n; ++c) EXPECT_NEAR(inv(r, c), ref(r, c), 1e-12 * (1 + std::fabs(ref(r, c))));
  }
  Matrix lower(3, 3);
  lower.isTransposeOfTriU(make(3, 3, {1, 2, 3, 9, 5, 6, 9, 9, 8}));
  EXPECT_EQ(elements(lower), (std::vector<double>{1, 0, 0, 2, 5, 0, 3, 6, 8}));
}

TEST(MatrixOps, ReductionsAndSymmetricForms) {
  const Matrix m = make(2, 3, {3, -7, 2, 5, 1, -1});
  EXPECT_EQ(m.minVal(), -7.0);
  EXPECT_EQ(m.maxVal(), 5.0);
  EXPECT_EQ(m.maxAbsVal(), 7.0);
  EXPECT_EQ(m.trace(), 4.0);  // two diagonal elements of a 2 x 3
  EXPECT_EQ(m.sumVal(0, 1, 2, 2), -5.0);
  EXPECT_EQ(m.sumVal(1, 1, 0, 5), 0.0);
  EXPECT_EQ(m.minVal(1, 1, 0, 5), 1.0);  // element (1, 1)
  EXPECT_EQ(m.maxVal(0, 1, 2, 1), 1.0);
  EXPECT_EQ(Matrix().minVal(), 0.0);

  const Matrix sq = make(2, 2, {1, 2, 3, 4});
  EXPECT_TRUE(sq.isEqual(sq, 0.0));
  EXPECT_FALSE(sq.isEqual(m, 1e300));
  EXPECT_TRUE(sq.isEqual(make(2, 2, {1, 2.5, 3, 4}), 0.5));
  EXPECT_FALSE(sq.isEqual(make(2, 2, {1, 2.5, 3, 4}), 0.49));

  Matrix sym = make(2, 2, {1, 2, 4, 3});
  sym.isSymmetric(sym);
  EXPECT_EQ(elements(sym), (std::vector<double>{1, 3, 3, 3}));
  Matrix tri(2, 2);
  tri.isSymmetricTriL(make(2, 2, {1, 9, 2, 3}));
  EXPECT_EQ(elements(tri), (std::vector<double>{1, 2, 2, 3}));
  Matrix perm(2, 2);
  const double p[2] = {1.9, 0.2};
  perm.isPermutation(sq, Vector(2, p));
  EXPECT_EQ(elements(perm), (std::vector<double>{4, 3, 2, 1}));

  const double nan = std::numeric_limits<double>::quiet_NaN();
  Matrix mn(1, 3);
  mn.isMin(make(1, 3, {1, nan, 5}), make(1, 3, {2, 3, nan}));
  EXPECT_EQ(mn(0, 0), 1.0);
  EXPECT_EQ(mn(0, 1), 3.0);  // NaN on either side gives B's element
  EXPECT_TRUE(std::isnan(mn(0, 2)));
}

}  // namespace

// A non-square matrix gets ones on its diagonal only: the diagonal ends at the shorter side,
// and nothing is written past the storage (ASan).
TEST(MatrixIdentityShapes, NonSquareStopsAtTheShorterSide) {
  for (auto [r, c] : {std::pair<int, int>{33, 20}, {3, 5}}) {
    zelto::Matrix m(r, c);
    m.isIdentity(2.0);
    m.isIdentity(3.0, ~0ull);
    for (int i = 0; i < r; ++i)
      for (int j = 0; j < c; ++j) EXPECT_EQ(m(i, j), i == j ? 3.0 : 0.0) << r << "x" << c;
  }
}
