// Matrix products: the plain product with its fixed summation order, the blocked recursive
// product around its threshold, the transposed, symmetric, diagonal, triangular, Kronecker and
// congruence forms, and the zero-skipping products (SparseInfo, MatMulMatTemplate), checked
// against Eigen. Sizes stay small enough for sanitizer runs; the large sizes are benchmarked.
#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <cmath>
#include <functional>
#include <limits>
#include <new>
#include <random>
#include <vector>

#include "math/MatMulMatTemplate.h"
#include "math/Matrix.h"
#include "math/SparseInfo.h"
#include "math/Vector.h"

using namespace zelto;

namespace {

using EMat = Eigen::MatrixXd;

EMat matrixProductsToEigen(const ZtMatrix& m) {
  EMat e(m.rows, m.cols);
  for (ZtSize r = 0; r < m.rows; ++r)
    for (ZtSize c = 0; c < m.cols; ++c) e(r, c) = m.data[r * m.stride + c];
  return e;
}

Matrix random(ZtSize r, ZtSize c, std::mt19937_64& rng, double zeroFraction = 0.0) {
  std::normal_distribution<double> d(0.0, 1.0);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  Matrix m(r, c);
  for (ZtSize i = 0; i < r; ++i)
    for (ZtSize j = 0; j < c; ++j) m(i, j) = u(rng) < zeroFraction ? 0.0 : d(rng);
  return m;
}

// Largest element-wise difference relative to the largest reference magnitude.
double relError(const ZtMatrix& m, const EMat& ref) {
  const EMat diff = matrixProductsToEigen(m) - ref;
  return diff.cwiseAbs().maxCoeff() / std::max(1e-300, ref.cwiseAbs().maxCoeff());
}

TEST(MatrixProducts, PlainProductSumsInAscendingOrder) {
  std::mt19937_64 rng(1);
  for (ZtSize n : {3u, 14u, 15u, 17u}) {  // 17: three groups of five, then two single columns
    const Matrix a = random(2, 9, rng), b = random(9, n, rng);
    Matrix r(2, n);
    r.isMatMulMatTrivial(a, b);
    for (ZtSize i = 0; i < 2; ++i)
      for (ZtSize j = 0; j < n; ++j) {
        double s = 0.0;
        for (ZtSize k = 0; k < 9; ++k) s += a(i, k) * b(k, j);
        EXPECT_EQ(r(i, j), s) << n << ": " << i << "," << j;
      }
  }
  // Strided operands and result.
  std::vector<double> sa(4 * 7), sb(5 * 20), sr(4 * 20, 42.0);
  Matrix a(4, 5, 7, sa.data(), 0), b(5, 16, 20, sb.data(), 0), r(4, 16, 20, sr.data(), 0);
  a = random(4, 5, rng);
  b = random(5, 16, rng);
  r.isMatMulMat(a, b);
  EXPECT_LT(relError(r, matrixProductsToEigen(a) * matrixProductsToEigen(b)), 1e-15);
  for (ZtSize i = 0; i < 4; ++i)
    for (ZtSize j = 16; j < 20; ++j) EXPECT_EQ(sr[i * 20 + j], 42.0);
}

// Elements spread over many orders of magnitude: another summation order changes the last bits.
Matrix spread(ZtSize r, ZtSize c, std::mt19937_64& rng) {
  std::uniform_real_distribution<double> e(-6.0, 6.0);
  Matrix m = random(r, c, rng);
  for (ZtSize i = 0; i < r; ++i)
    for (ZtSize j = 0; j < c; ++j) m(i, j) *= std::pow(10.0, e(rng));
  return m;
}

TEST(MatrixProducts, SumsRunInAscendingOrderBitForBit) {
  std::mt19937_64 rng(8);
  const Matrix a = spread(5, 6, rng), b = spread(6, 4, rng), c = spread(4, 6, rng), d = spread(5, 4, rng);
  const Matrix sq = spread(6, 6, rng), f = spread(4, 3, rng), g = spread(6, 5, rng);
  const double s = -0.7;
  // sum over k < n of term(k), from 0.0, k ascending
  auto sum = [](ZtSize n, const std::function<double(ZtSize)>& term) {
    double acc = 0.0;
    for (ZtSize k = 0; k < n; ++k) acc += term(k);
    return acc;
  };
  auto ab = [&](ZtSize i, ZtSize l) { return sum(6, [&](ZtSize k) { return a(i, k) * b(k, l); }); };
  auto abat = [&](ZtSize i, ZtSize l) {
    return sum(6, [&](ZtSize k) { return sum(6, [&](ZtSize m) { return a(i, m) * sq(m, k); }) * a(l, k); });
  };
  Matrix before = spread(5, 4, rng);
  struct Case {
    const char* name;
    ZtSize rows, cols;
    std::function<void(Matrix&)> op;
    std::function<double(ZtSize, ZtSize)> expected;
  } cases[] = {
      {"A*Bt", 5, 4, [&](Matrix& r) { r.isMatMulTransMat(a, c); },
       [&](ZtSize i, ZtSize j) { return sum(6, [&](ZtSize k) { return a(i, k) * c(j, k); }); }},
      {"At*B", 6, 4, [&](Matrix& r) { r.isTransMatMulMat(a, d); },
       [&](ZtSize i, ZtSize j) { return sum(5, [&](ZtSize k) { return a(k, i) * d(k, j); }); }},
      {"At*A", 6, 6, [&](Matrix& r) { r.isTransMatMulMat(a); },
       [&](ZtSize i, ZtSize j) {
         const ZtSize lo = std::min(i, j), hi = std::max(i, j);
         return sum(5, [&](ZtSize k) { return a(k, lo) * a(k, hi); });
       }},
      {"s*A*B", 5, 4, [&](Matrix& r) { r.isScaMulMatMulMat(s, a, b); },
       [&](ZtSize i, ZtSize j) { return ab(i, j) * s; }},
      {"this += s*A*B", 5, 4, [&](Matrix& r) { r = before; r.isSelfAddScaMulMatMulMat(s, a, b); },
       [&](ZtSize i, ZtSize j) {
         double acc = before(i, j);
         for (ZtSize k = 0; k < 6; ++k) acc += (s * a(i, k)) * b(k, j);
         return acc;
       }},
      {"A*B*F", 5, 3, [&](Matrix& r) { r.isMatMulMatMulMat(a, b, f); },
       [&](ZtSize i, ZtSize j) { return sum(4, [&](ZtSize l) { return ab(i, l) * f(l, j); }); }},
      {"A*B*At", 5, 5, [&](Matrix& r) { r.isABAt(a, sq); }, abat},
      {"A*B sym", 5, 5, [&](Matrix& r) { r.isMatMulMatSymmetrical(a, g); },
       [&](ZtSize i, ZtSize j) {  // the upper triangle, mirrored
         const ZtSize lo = std::min(i, j), hi = std::max(i, j);
         return sum(6, [&](ZtSize k) { return a(lo, k) * g(k, hi); });
       }},
  };
  for (const Case& k : cases) {
    Matrix r(k.rows, k.cols);
    k.op(r);
    for (ZtSize i = 0; i < k.rows; ++i)
      for (ZtSize j = 0; j < k.cols; ++j)
        EXPECT_EQ(r(i, j), k.expected(i, j)) << k.name << " (" << i << ", " << j << ")";
  }
}

TEST(MatrixProducts, BlockedProductAroundThreshold) {
  std::mt19937_64 rng(2);
  struct Case {
    ZtSize m, k, n;
  } cases[] = {
      {258, 258, 258},  // below the threshold: the plain product, bit for bit
      {259, 259, 259},  // odd: eight-product form once
      {518, 518, 518},  // seven-product form on 259 x 259 blocks
      {300, 301, 299},  // non-square, odd
      {260, 260, 261},
      {518, 518, 520},  // eight-product form with blocked sub-products
  };
  for (const Case& c : cases) {
    const Matrix a = random(c.m, c.k, rng), b = random(c.k, c.n, rng);
    Matrix dispatched(c.m, c.n), plain(c.m, c.n);
    dispatched.isMatMulMat(a, b);
    plain.isMatMulMatTrivial(a, b);
    const EMat ref = matrixProductsToEigen(a) * matrixProductsToEigen(b);
    if (c.m < 259) {
      EXPECT_EQ(matrixProductsToEigen(dispatched), matrixProductsToEigen(plain));
    } else {
      const double err = relError(dispatched, matrixProductsToEigen(plain));
      EXPECT_LT(err, 1e-13) << c.m << "x" << c.k << "x" << c.n;
      EXPECT_LT(relError(dispatched, ref), 1e-13);
    }
    EXPECT_LT(relError(plain, ref), 1e-14);
  }
  // 1036: two levels of the seven-product form, then the eight-product form on 259 x 259
  // blocks. Checked against Eigen only: the plain product at this size costs seconds under ASan.
  {
    const Matrix a = random(1036, 1036, rng), b = random(1036, 1036, rng);
    Matrix r(1036, 1036);
    r.isMatMulMat(a, b);
    EXPECT_LT(relError(r, matrixProductsToEigen(a) * matrixProductsToEigen(b)), 1e-13);
  }
  // The blocked form on its own, also below the threshold and with tiny or odd shapes.
  for (const Case& c : {Case{4, 4, 4}, Case{5, 3, 7}, Case{1, 1, 1}, Case{2, 1, 3}}) {
    const Matrix a = random(c.m, c.k, rng), b = random(c.k, c.n, rng);
    Matrix r(c.m, c.n);
    r.isMatMulMatBlocked(a, b);
    EXPECT_LT(relError(r, matrixProductsToEigen(a) * matrixProductsToEigen(b)), 1e-14) << c.m << "x" << c.k << "x" << c.n;
  }
}

TEST(MatrixProducts, TransposedAndScaledForms) {
  std::mt19937_64 rng(3);
  const Matrix a = random(6, 4, rng), b = random(5, 4, rng), c = random(6, 5, rng), f = random(5, 3, rng);
  const Matrix sq = random(4, 4, rng), big = random(259, 259, rng), big2 = random(259, 259, rng);
  const double s = -1.5;
  struct Case {
    const char* name;
    ZtSize rows, cols;
    std::function<void(Matrix&)> op;
    EMat expected;
  } cases[] = {
      {"A*Bt", 6, 5, [&](Matrix& r) { r.isMatMulTransMat(a, b); }, matrixProductsToEigen(a) * matrixProductsToEigen(b).transpose()},
      {"A*Bt blocked", 6, 5, [&](Matrix& r) { r.isMatMulTransMatBlocked(a, b); }, matrixProductsToEigen(a) * matrixProductsToEigen(b).transpose()},
      {"A*Bt large", 259, 259, [&](Matrix& r) { r.isMatMulTransMat(big, big2); },
       matrixProductsToEigen(big) * matrixProductsToEigen(big2).transpose()},
      {"At*B", 4, 5, [&](Matrix& r) { r.isTransMatMulMat(a, c); }, matrixProductsToEigen(a).transpose() * matrixProductsToEigen(c)},
      {"At*A", 4, 4, [&](Matrix& r) { r.isTransMatMulMat(a); }, matrixProductsToEigen(a).transpose() * matrixProductsToEigen(a)},
      {"s*A*B", 6, 3, [&](Matrix& r) { r.isScaMulMatMulMat(s, c, f); }, s * matrixProductsToEigen(c) * matrixProductsToEigen(f)},
      {"A*B*At", 6, 6, [&](Matrix& r) { r.isABAt(a, sq); }, matrixProductsToEigen(a) * matrixProductsToEigen(sq) * matrixProductsToEigen(a).transpose()},
      {"A*diag*At", 6, 6, [&](Matrix& r) { r.isABAtDiagonal(a, sq); },
       matrixProductsToEigen(a) * EMat(matrixProductsToEigen(sq).diagonal().asDiagonal()) * matrixProductsToEigen(a).transpose()},
      {"A*diag(D)", 6, 4, [&](Matrix& r) { r.isMatMulMatDiagonal(a, sq); },
       matrixProductsToEigen(a) * EMat(matrixProductsToEigen(sq).diagonal().asDiagonal())},
  };
  for (const Case& k : cases) {
    Matrix r(k.rows, k.cols);
    k.op(r);
    EXPECT_LT(relError(r, k.expected), 1e-13) << k.name;
  }

  const Matrix b5 = random(5, 5, rng), b6 = random(6, 6, rng);
  Matrix r(6, 3);
  r.isMatMulMatMulMat(c, b5, f);
  EXPECT_LT(relError(r, matrixProductsToEigen(c) * matrixProductsToEigen(b5) * matrixProductsToEigen(f)), 1e-13);
  Matrix atba(4, 4);
  atba.isAtBA(a, b6);
  EXPECT_LT(relError(atba, matrixProductsToEigen(a).transpose() * matrixProductsToEigen(b6) * matrixProductsToEigen(a)), 1e-13);

  Matrix acc = random(6, 3, rng);
  const EMat before = matrixProductsToEigen(acc);
  acc.isSelfAddScaMulMatMulMat(s, c, f);
  EXPECT_LT(relError(acc, before + s * matrixProductsToEigen(c) * matrixProductsToEigen(f)), 1e-14);
  Matrix accBig = random(259, 259, rng);
  const EMat beforeBig = matrixProductsToEigen(accBig);
  accBig.isSelfAddScaMulMatMulMat(s, big, big2);
  EXPECT_LT(relError(accBig, beforeBig + s * matrixProductsToEigen(big) * matrixProductsToEigen(big2)), 1e-13);

  const double v4[4] = {1, -2, 3, 0.5}, v6[6] = {2, 1, 0, -1, 3, 4};
  Matrix md(6, 4), dm(6, 4);
  md.isMatMulDiag(a, Vector(4, v4));
  dm.isDiagMulMat(Vector(6, v6), a);
  EXPECT_EQ(matrixProductsToEigen(md), matrixProductsToEigen(a) * Eigen::Map<const Eigen::VectorXd>(v4, 4).asDiagonal());
  EXPECT_EQ(matrixProductsToEigen(dm), Eigen::Map<const Eigen::VectorXd>(v6, 6).asDiagonal() * matrixProductsToEigen(a));

  const Matrix ka = random(2, 3, rng), kb = random(3, 2, rng);
  Matrix kron(6, 6), kronT(9, 4);
  kron.isKronMatMulMat(ka, kb);
  kronT.isKronTransMatMulMat(ka, kb);
  for (ZtSize i = 0; i < 2; ++i)
    for (ZtSize j = 0; j < 3; ++j)
      for (ZtSize p = 0; p < 3; ++p)
        for (ZtSize q = 0; q < 2; ++q) {
          EXPECT_EQ(kron(i * 3 + p, j * 2 + q), ka(i, j) * kb(p, q));
          EXPECT_EQ(kronT(j * 3 + p, i * 2 + q), ka(i, j) * kb(p, q));
        }
}

TEST(MatrixProducts, SymmetricAndTriangularForms) {
  std::mt19937_64 rng(4);
  // Row counts that pick each row-group size of the transposed symmetric form: 5, 4, 3, 1, 2.
  for (ZtSize n : {10u, 8u, 9u, 7u, 14u}) {
    const Matrix a = random(n, 6, rng);
    Matrix r(n, n), g(n, n);
    r.isMatMulTransMatSymmetrical(a, a);
    EXPECT_LT(relError(r, matrixProductsToEigen(a) * matrixProductsToEigen(a).transpose()), 1e-14) << n;
    EXPECT_EQ(matrixProductsToEigen(r), matrixProductsToEigen(r).transpose());
    const Matrix sym = [&] {
      Matrix b = random(6, 6, rng);
      b.isSymmetric(b);
      return b;
    }();
    g.isABAtSymmetrical(a, sym);
    EXPECT_LT(relError(g, matrixProductsToEigen(a) * matrixProductsToEigen(sym) * matrixProductsToEigen(a).transpose()), 1e-13) << n;
    EXPECT_EQ(matrixProductsToEigen(g), matrixProductsToEigen(g).transpose());
  }
  const Matrix a = random(5, 5, rng);
  Matrix s(5, 5);
  Matrix at(5, 5);
  at.isTransposeOf(a);
  s.isMatMulMatSymmetrical(a, at);
  EXPECT_LT(relError(s, matrixProductsToEigen(a) * matrixProductsToEigen(a).transpose()), 1e-14);

  const Matrix x = random(4, 5, rng);
  Matrix l = random(5, 5, rng);
  for (ZtSize i = 0; i < 5; ++i)
    for (ZtSize j = i + 1; j < 5; ++j) l(i, j) = 1e300;  // never read
  Matrix t1(4, 5), t2(4, 5), t3(4, 5);
  t1.isMatMulMatTriL(x, l);
  t2.isMatMulMatTriLSkip(x, l, 0);
  EXPECT_EQ(matrixProductsToEigen(t1), matrixProductsToEigen(t2));
  const EMat el = matrixProductsToEigen(l).triangularView<Eigen::Lower>();
  EXPECT_LT(relError(t1, matrixProductsToEigen(x) * el), 1e-14);
  t3.isMatMulMatTriLSkip(x, l, 2);
  EMat skipped = el;
  skipped.block(0, 0, 2, 2).setZero();  // in the first two columns the rows above 2 count as zero
  EXPECT_LT(relError(t3, matrixProductsToEigen(x) * skipped), 1e-14);

  const Matrix pa = random(3, 4, rng), pb = random(3, 2, rng);
  Matrix diff(3, 3);
  diff.isSqrtCovarianceDiff(pa, pb);
  const EMat p = matrixProductsToEigen(pa) * matrixProductsToEigen(pa).transpose(), q = matrixProductsToEigen(pb) * matrixProductsToEigen(pb).transpose();
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      EXPECT_NEAR(diff(i, j),
                  std::fabs(p(i, j) - q(i, j)) / std::max({1.0, std::fabs(q(i, j)), std::fabs(p(i, j))}), 1e-14);
}

TEST(MatrixProducts, SparseInfoLists) {
  const ZtSize t = terminator;
  const double a[6] = {1, 2, 3, 4, 5, 6};
  const ZtSize la[3] = {0, 2, t}, lb[4] = {1, 2, 5, t}, empty[1] = {t};
  EXPECT_EQ(SparseInfo::sparseMulAcc(a, la, 1, a, lb, 1), 9.0);  // only index 2
  EXPECT_EQ(SparseInfo::sparseMulAcc(a, empty, 1, a, lb, 1), 0.0);
  EXPECT_EQ(SparseInfo::sparseMulAcc(a, la, 2, a, la, 1), 1.0 + 5 * 3);

  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double m[6] = {0, 2, nan, 0, 0, 0};
  SparseInfo info(Matrix(2, 3, m), true, true);
  EXPECT_EQ(std::vector<ZtSize>(info.rowList(0), info.rowList(0) + 3), (std::vector<ZtSize>{1, 2, t}));
  EXPECT_EQ(info.rowList(1)[0], t);
  EXPECT_EQ(info.colList(0)[0], t);
  EXPECT_EQ(std::vector<ZtSize>(info.colList(2), info.colList(2) + 2), (std::vector<ZtSize>{0, t}));
  // Refreshed for a matrix of another shape: the lists are rebuilt at the new size.
  const double bigger[12] = {0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 2};
  info.update(Matrix(3, 4, bigger), true, true);
  EXPECT_EQ(info.rowList(2)[0], 3u);
  EXPECT_EQ(info.colList(3)[1], 2u);
}

TEST(MatrixProducts, ZeroSkippingProductsMatchDense) {
  std::mt19937_64 rng(5);
  const Matrix a = random(7, 6, rng, 0.6), b = random(6, 5, rng, 0.6), bt = random(5, 6, rng, 0.6);
  Matrix rowsOnly = random(7, 6, rng);
  rowsOnly.setRow(0.0, 3);  // an all-zero row
  const SparseInfo ia(a, true, false), ib(b, false, true), ibt(bt, true, false);
  Matrix r(7, 5), dense(7, 5);
  r.isMatMulMat(a, ia, b, ib);
  dense.isMatMulMat(a, b);
  EXPECT_LT(relError(r, matrixProductsToEigen(dense)), 1e-15);
  r.isMatMulTransMat(a, ia, bt, ibt);
  EXPECT_LT(relError(r, matrixProductsToEigen(a) * matrixProductsToEigen(bt).transpose()), 1e-15);

  const Matrix sq = random(6, 6, rng, 0.5);
  const SparseInfo iz(rowsOnly, true, false), isq(sq, false, true);
  Matrix abat(7, 7);
  abat.isABAt(rowsOnly, iz, sq, isq);
  EXPECT_LT(relError(abat, matrixProductsToEigen(rowsOnly) * matrixProductsToEigen(sq) * matrixProductsToEigen(rowsOnly).transpose()), 1e-14);
  for (ZtSize j = 0; j < 7; ++j) EXPECT_EQ(abat(3, j), 0.0);
}

TEST(MatrixProducts, TermListTemplate) {
  std::mt19937_64 rng(6);
  const Matrix a = random(3, 3, rng), b = random(3, 3, rng);
  const MatMulMatTemplate full(a, ShapeGeneral, b, ShapeGeneral, 1.0);
  EXPECT_EQ(full.entryCount(), 63u);
  EXPECT_EQ(full.capacity(), 85u);  // 57, grown once by half
  EXPECT_DOUBLE_EQ(full.fillRatio(), 63.0 / 57.0);
  Matrix r(3, 3), dense(3, 3);
  r.isMatMulMat(full, a, b);
  dense.isMatMulMat(a, b);
  EXPECT_EQ(matrixProductsToEigen(r), matrixProductsToEigen(dense));

  // Triangular shapes and exact zeros are skipped; a tiny ratio still grows safely.
  Matrix lower = random(4, 4, rng), upper = random(4, 4, rng), general = random(4, 4, rng, 0.5);
  for (ZtSize i = 0; i < 4; ++i)
    for (ZtSize j = 0; j < 4; ++j) {
      if (j > i) lower(i, j) = 0.0;
      if (i > j) upper(i, j) = 0.0;
    }
  for (double ratio : {0.0, 0.01, 0.5}) {
    const MatMulMatTemplate tl(lower, ShapeLowerTriangular, upper, ShapeUpperTriangular, ratio);
    Matrix x(4, 4);
    x.isMatMulMat(tl, lower, upper);
    EXPECT_LT(relError(x, matrixProductsToEigen(lower) * matrixProductsToEigen(upper)), 1e-15) << ratio;
    const MatMulMatTemplate tg(general, ShapeGeneral, upper, ShapeUpperTriangular, ratio);
    x.isMatMulMat(tg, general, upper);
    EXPECT_LT(relError(x, matrixProductsToEigen(general) * matrixProductsToEigen(upper)), 1e-15) << ratio;
    EXPECT_LT(tg.entryCount(), 4u * (2 * 4 * 4 + 1));
  }
  // (L * U)(0, 0) has one term; an all-zero row of A gives lone terminators.
  const MatMulMatTemplate tl(lower, ShapeLowerTriangular, upper, ShapeUpperTriangular, 1.0);
  EXPECT_EQ(tl.entries()[2], terminator);
  Matrix zeroRow = random(2, 2, rng);
  zeroRow.setRow(0.0, 0);
  const MatMulMatTemplate tz(zeroRow, ShapeGeneral, b, ShapeGeneral, 1.0);
  EXPECT_EQ(tz.entries()[0], terminator);
  EXPECT_EQ(tz.entries()[1], terminator);
  EXPECT_TRUE(MatMulMatTemplate::isZeroElement(zeroRow, ShapeGeneral, 0, 1));
  EXPECT_TRUE(MatMulMatTemplate::isZeroElement(a, ShapeLowerTriangular, 0, 1));
  EXPECT_FALSE(MatMulMatTemplate::isZeroElement(a, ShapeUpperTriangular, 0, 1));

  // A capacity whose byte count would wrap is an allocation failure, not a short buffer.
  EXPECT_THROW(MatMulMatTemplate(a, ShapeGeneral, b, ShapeGeneral, 1e300), std::bad_alloc);
  EXPECT_THROW(MatMulMatTemplate(a, ShapeGeneral, b, ShapeGeneral, 1e17), std::bad_alloc);
}

}  // namespace
