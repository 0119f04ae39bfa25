// Decompositions of zelto::Matrix: Householder QR in all its forms, the QR solve and the
// determinant, Givens, fast Givens and Hessenberg, and the LAPACK-backed SVD and symmetric eigen
// decomposition. Checked against worked values, LAPACK (dgeqrf) and Eigen on random,
// ill-conditioned and rank-deficient inputs, strided views with guard values, failure paths
// and allocation counts.
#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "support/AllocationCounter.h"
#include "errors/ZtException.h"
#include "math/Matrix.h"
#include "math/Vector.h"

extern "C" void dgeqrf_(const int* m, const int* n, double* a, const int* lda, double* tau, double* work,
                        const int* lwork, int* info);

using namespace zelto;

namespace {

using EMat = Eigen::MatrixXd;
constexpr double kEps = std::numeric_limits<double>::epsilon();

EMat toEigen(const ZtMatrix& m) {
  EMat e(m.rows, m.cols);
  for (ZtSize r = 0; r < m.rows; ++r)
    for (ZtSize c = 0; c < m.cols; ++c) e(r, c) = m.data[r * m.stride + c];
  return e;
}

Matrix fromEigen(const EMat& e) {
  Matrix m(e.rows(), e.cols());
  for (ZtSize r = 0; r < m.rows; ++r)
    for (ZtSize c = 0; c < m.cols; ++c) m(r, c) = e(r, c);
  return m;
}

Matrix fromRows(ZtSize rows, ZtSize cols, std::vector<double> values) { return Matrix(rows, cols, values.data()); }

Matrix randomMatrix(ZtSize rows, ZtSize cols, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> d(0.0, 1.0);
  Matrix m(rows, cols);
  for (ZtSize r = 0; r < rows; ++r)
    for (ZtSize c = 0; c < cols; ++c) m(r, c) = d(rng);
  return m;
}

// Elements 1 / (i + j + 1): condition numbers up to about 1e13 for n = 10.
Matrix hilbert(ZtSize n) {
  Matrix m(n, n);
  for (ZtSize r = 0; r < n; ++r)
    for (ZtSize c = 0; c < n; ++c) m(r, c) = 1.0 / static_cast<double>(r + c + 1);
  return m;
}

// Product of a rows x rank and a rank x cols random matrix.
Matrix rankDeficient(ZtSize rows, ZtSize cols, ZtSize rank, unsigned seed) {
  return fromEigen(toEigen(randomMatrix(rows, rank, seed)) * toEigen(randomMatrix(rank, cols, seed + 1)));
}

struct Input {
  std::string name;
  Matrix a;
};

// Random shapes 1..40 (square, tall, wide), the filters' stacked shapes, ill-conditioned and
// rank-deficient matrices.
std::vector<Input> qrInputs() {
  std::vector<Input> in;
  for (ZtSize n = 1; n <= 40; ++n) {
    in.push_back({"random " + std::to_string(n), randomMatrix(n, n, 100 + n)});
    in.push_back({"tall " + std::to_string(n), randomMatrix(n + 3, n, 200 + n)});
    if (n > 2) in.push_back({"wide " + std::to_string(n), randomMatrix(n - 2, n, 300 + n)});
  }
  const ZtSize shapes[][2] = {{15, 16}, {30, 15}, {36, 18}, {24, 12}, {18, 6}};
  for (auto& s : shapes)
    in.push_back({"filter " + std::to_string(s[0]) + "x" + std::to_string(s[1]), randomMatrix(s[0], s[1], 7)});
  for (ZtSize n = 2; n <= 10; ++n) in.push_back({"hilbert " + std::to_string(n), hilbert(n)});
  in.push_back({"rank 3 of 8x8", rankDeficient(8, 8, 3, 11)});
  in.push_back({"rank 1 of 12x5", rankDeficient(12, 5, 1, 13)});
  in.push_back({"rank 4 of 20x10", rankDeficient(20, 10, 4, 17)});
  return in;
}

double frob(const EMat& e) { return e.norm(); }

// |R(i, i)| of LAPACK's dgeqrf.
std::vector<double> lapackRDiagonal(const ZtMatrix& a) {
  const int m = static_cast<int>(a.rows), n = static_cast<int>(a.cols);
  EMat col = toEigen(a);  // Eigen stores column-major, leading dimension m.
  std::vector<double> tau(std::min(m, n) + 1);
  int lwork = -1, info = 0;
  double query = 0.0;
  dgeqrf_(&m, &n, col.data(), &m, tau.data(), &query, &lwork, &info);
  lwork = static_cast<int>(query);
  std::vector<double> work(lwork);
  dgeqrf_(&m, &n, col.data(), &m, tau.data(), work.data(), &lwork, &info);
  EXPECT_EQ(info, 0);
  std::vector<double> d;
  for (int i = 0; i < std::min(m, n); ++i) d.push_back(std::fabs(col(i, i)));
  return d;
}

// Runs f, expecting a ZtException with code 256 whose text ends in the given description.
void expectMathError(const std::function<void()>& f, const std::string& description) {
  try {
    f();
    ADD_FAILURE() << "no exception, expected: " << description;
  } catch (const ZtException& e) {
    EXPECT_EQ(e.result(), 256);
    const std::string text = e.what();
    const std::string tail = "\tInfo: " + description;
    EXPECT_TRUE(text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0)
        << text;
  }
}

const std::string kHouseholderSignature =
    "void zelto::Matrix::extractHouseholderVec(zelto::Matrix&, zelto::Vector&, ZtSize) const";

// Scratch of the in-place QR forms.
std::vector<double> scratchFor(const ZtMatrix& a) {
  const ZtSize k = std::min(a.rows, a.cols);
  return std::vector<double>(a.rows * k + k + a.cols);
}

bool upperTriangularWithin(const ZtMatrix& r, double tol) {
  for (ZtSize i = 0; i < r.rows; ++i)
    for (ZtSize j = 0; j < std::min(i, r.cols); ++j)
      if (std::fabs(r.data[i * r.stride + j]) > tol) return false;
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Worked values

TEST(DecompositionValues, WorkedExamples) {
  const Matrix a = fromRows(2, 2, {3, 1, 4, 2});
  Matrix v(2, 2);
  Vector beta(2);
  a.extractHouseholderVec(v, beta, 0);
  Matrix r = a;
  Matrix q(2, 2);
  r.QRdecomposition(q);
  double gc = 0, gs = 0, gc0 = 0, gs0 = 0;
  Givens(gc, gs, 3, 4);
  Givens(gc0, gs0, 3, 0);
  double fa = 0, fb = 0, d1 = 1, d2 = 1;
  unsigned long type = 0;
  fastGivens(fa, fb, type, 3, 4, d1, d2);
  Matrix chol = fromRows(2, 2, {4, 2, 2, 3});
  chol.Cholesky();
  const Matrix diag = fromRows(2, 2, {3, 0, 0, 2});
  Vector sFull(2), sOnly(2);
  Matrix u(2, 2), vt(2, 2);
  diag.SVDecomposition(sFull, &u, &vt);
  diag.SVDecomposition(sOnly, nullptr, nullptr);

  const struct {
    const char* what;
    double got;
    double want;
  } cases[] = {
      {"beta_0", beta[0], 0.4},
      {"v_0(0)", v(0, 0), 1.0},
      {"v_0(1)", v(1, 0), -2.0},
      {"R(0,0)", r(0, 0), 5.0},
      {"R(0,1)", r(0, 1), 2.2},
      {"R(1,1)", r(1, 1), -0.4},
      {"Q(0,0)", q(0, 0), 0.6},
      {"Q(0,1)", q(0, 1), 0.8},
      {"Q(1,0)", q(1, 0), 0.8},
      {"Q(1,1)", q(1, 1), -0.6},
      {"det", a.det(), 2.0},
      {"Givens(3,4) c", gc, -0.6},
      {"Givens(3,4) s", gs, 0.8},
      {"Givens(3,0) c", gc0, 1.0},
      {"Givens(3,0) s", gs0, 0.0},
      {"fastGivens type", static_cast<double>(type), 1.0},
      {"fastGivens alpha", fa, -0.75},
      {"fastGivens beta", fb, 0.75},
      {"fastGivens d1", d1, 1.5625},
      {"fastGivens d2", d2, 1.5625},
      {"Cholesky L(0,0)", chol(0, 0), 2.0},
      {"Cholesky L(0,1)", chol(0, 1), 0.0},
      {"Cholesky L(1,0)", chol(1, 0), 1.0},
      {"Cholesky L(1,1)", chol(1, 1), std::sqrt(2.0)},
      {"SVD s0 with U, Vt", sFull[0], 3.0},
      {"SVD s1 with U, Vt", sFull[1], 2.0},
      {"SVD s0 alone", sOnly[0], 3.0},
      {"SVD s1 alone", sOnly[1], 2.0},
      {"SVD |U(0,0)|", std::fabs(u(0, 0)), 1.0},
      {"SVD |Vt(1,1)|", std::fabs(vt(1, 1)), 1.0},
  };
  for (const auto& c : cases) EXPECT_NEAR(c.got, c.want, 8 * kEps * std::max(1.0, std::fabs(c.want))) << c.what;
  EXPECT_LT(std::fabs(r(1, 0)), 1e-15);
  // A positive diagonal element keeps a positive R(j, j).
  EXPECT_GT(r(0, 0), 0.0);
}

// The determinant's sign is (-1)^(reflecting steps): steps with beta = 0 (already triangular
// columns) contribute nothing.
TEST(DecompositionValues, DeterminantSign) {
  const struct {
    ZtSize n;
    std::vector<double> a;
    double det;
  } cases[] = {
      {1, {-3}, -3},
      {2, {1, 0, 0, 1}, 1},
      {2, {3, 1, 4, 2}, 2},
      {2, {1, 2, 3, 4}, -2},
      {2, {0, 1, 1, 0}, -1},
      {3, {1, 0, 0, 0, 1, 0, 0, 0, 1}, 1},
      {3, {2, 1, 1, 0, 3, 1, 0, 0, 4}, 24},
      {3, {0, 1, 0, 0, 0, 1, 1, 0, 0}, 1},
      {3, {0, 1, 0, 1, 0, 0, 0, 0, 1}, -1},
      {4, {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}, 1},
      {4, {2, 0, 0, 0, 0, 3, 0, 0, 0, 0, 4, 0, 0, 0, 0, 5}, 120},
  };
  for (const auto& c : cases) {
    const Matrix a(c.n, c.n, c.a.data());
    EXPECT_NEAR(a.det(), c.det, 1e-13 * std::fabs(c.det)) << a;
  }
  for (ZtSize n = 1; n <= 12; ++n) {
    // Hilbert determinants (down to 1e-65) keep only their sign and a few digits.
    for (const Matrix& a : {randomMatrix(n, n, 40 + n), hilbert(std::min<ZtSize>(n, 10))}) {
      const double want = toEigen(a).determinant();
      const double got = a.det();
      EXPECT_EQ(std::signbit(got), std::signbit(want)) << a;
      EXPECT_NEAR(got, want, (a(0, 0) == 1.0 ? 1e-2 : 1e-10) * std::fabs(want)) << a;
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Householder QR against LAPACK and Eigen

TEST(HouseholderQR, MatchesLapackAndEigen) {
  for (const Input& in : qrInputs()) {
    SCOPED_TRACE(in.name);
    const ZtSize m = in.a.rows, n = in.a.cols, k = std::min(m, n);
    Matrix r = in.a;
    Matrix q(m, m);
    r.QRdecomposition(q);
    const EMat A = toEigen(in.a), Q = toEigen(q), R = toEigen(r).triangularView<Eigen::Upper>();
    const double normA = std::max(frob(A), 1e-300);
    // Backward error of order n * eps.
    const double bound = 4.0 * static_cast<double>(std::max(m, n)) * kEps;
    EXPECT_LE(frob(Q * R - A) / normA, bound);
    EXPECT_LE(frob(Q.transpose() * Q - EMat::Identity(m, m)), bound);
    EXPECT_TRUE(upperTriangularWithin(r, bound * normA));

    const std::vector<double> ref = lapackRDiagonal(in.a);
    const EMat eigenR = Eigen::HouseholderQR<EMat>(A).matrixQR().triangularView<Eigen::Upper>();
    for (ZtSize i = 0; i < k; ++i) {
      EXPECT_NEAR(std::fabs(r(i, i)), ref[i], 1e-12 * std::max(1.0, normA)) << "i=" << i;
      EXPECT_NEAR(std::fabs(r(i, i)), std::fabs(eigenR(i, i)), 1e-12 * std::max(1.0, normA)) << "i=" << i;
    }

    // The scratch form gives the same R (same steps), bit for bit; null scratch allocates.
    Matrix r2 = in.a;
    std::vector<double> scratch = scratchFor(in.a);
    r2.QRdecomposition(scratch.data());
    Matrix r3 = in.a;
    r3.QRdecomposition(nullptr);
    for (ZtSize i = 0; i < m; ++i)
      for (ZtSize j = 0; j < n; ++j) {
        ASSERT_EQ(r2(i, j), r(i, j));
        ASSERT_EQ(r3(i, j), r(i, j));
      }
  }
}

TEST(HouseholderQR, QtCRAppliesQTransposedToSecondMatrix) {
  const ZtSize shapes[][3] = {{6, 6, 2}, {12, 5, 3}, {30, 15, 1}, {4, 7, 4}};
  for (const auto& s : shapes) {
    const Matrix a = randomMatrix(s[0], s[1], 50 + s[0]);
    const Matrix y0 = randomMatrix(s[0], s[2], 60 + s[0]);
    Matrix r = a, y = y0;
    r.QtCRdecomposition(y);
    Matrix rq = a, q(s[0], s[0]);
    rq.QRdecomposition(q);
    for (ZtSize i = 0; i < a.rows; ++i)
      for (ZtSize j = 0; j < a.cols; ++j) ASSERT_EQ(r(i, j), rq(i, j));
    const EMat want = toEigen(q).transpose() * toEigen(y0);
    EXPECT_LE(frob(toEigen(y) - want), 16 * s[0] * kEps * frob(toEigen(y0)));
  }
}

// Reflections touch only the non-zero rows of a triangular bottom, and give the same numbers.
TEST(HouseholderQR, TriSkipEqualsFullForm) {
  for (ZtSize skip : {0u, 9u, 11u}) {
    SCOPED_TRACE(skip);
    Matrix a = randomMatrix(24, 12, 70 + skip);
    for (ZtSize c = 0; c < a.cols; ++c)
      for (ZtSize r = a.rows - skip + c; r < a.rows; ++r) a(r, c) = 0.0;
    Matrix full = a, withScratch = a, withNull = a, allocating = a;
    std::vector<double> s1 = scratchFor(a), s2 = scratchFor(a);
    full.QRdecomposition(s1.data());
    withScratch.QRdecompositionTriSkip(skip, s2.data());
    withNull.QRdecompositionTriSkip(skip, nullptr);
    allocating.QRdecompositionTriSkip(skip);
    for (ZtSize i = 0; i < a.rows; ++i)
      for (ZtSize j = 0; j < a.cols; ++j) {
        ASSERT_EQ(withScratch(i, j), full(i, j)) << i << "," << j;
        ASSERT_EQ(withNull(i, j), full(i, j)) << i << "," << j;
        ASSERT_EQ(allocating(i, j), full(i, j)) << i << "," << j;
      }
  }
}

TEST(HouseholderQR, EdgeCases) {
  // A column already zero below the diagonal: beta = 0, the column is left as it was; the last
  // step of a square matrix is always the identity.
  const Matrix a = fromRows(3, 3, {2, 1, 1, 0, 3, 1, 0, 0, 4});
  Matrix v(3, 3);
  Vector beta(3);
  for (ZtSize j = 0; j < 3; ++j) a.extractHouseholderVec(v, beta, j);
  EXPECT_EQ(beta[0], 0.0);
  EXPECT_EQ(beta[1], 0.0);
  EXPECT_EQ(beta[2], 0.0);
  Matrix r = a;
  std::vector<double> scratch = scratchFor(a);
  r.QRdecomposition(scratch.data());
  for (ZtSize i = 0; i < 9; ++i) EXPECT_EQ(r.data[i], a.data[i]);

  // Zero dimensions touch nothing.
  Matrix empty;
  empty.QRdecomposition(nullptr);
  empty.QRdecompositionTriSkip(3, nullptr);
  EXPECT_EQ(empty.det(), 1.0);
  Matrix qEmpty;
  empty.QRdecomposition(qEmpty);
  EXPECT_EQ(empty.rows, 0u);
}

TEST(HouseholderQR, NaNDiagonalThrowsIllegalValueInEveryForm) {
  const Matrix a = fromRows(3, 3, {3, 1, 2, 4, std::nan(""), 1, 0, 5, 7});
  const std::string description = kHouseholderSignature + " illegal value in matrix";
  const struct {
    const char* form;
    std::function<void(Matrix&)> run;
  } forms[] = {
      {"with Q", [](Matrix& m) { Matrix q(3, 3); m.QRdecomposition(q); }},
      {"scratch", [](Matrix& m) { std::vector<double> s(3 * 3 + 3 + 3); m.QRdecomposition(s.data()); }},
      {"null scratch", [](Matrix& m) { m.QRdecomposition(nullptr); }},
      {"tri skip", [](Matrix& m) { m.QRdecompositionTriSkip(1); }},
      {"QtC", [](Matrix& m) { Matrix y(3, 1); m.QtCRdecomposition(y); }},
      {"det", [](Matrix& m) { (void)m.det(); }},
  };
  for (const auto& f : forms) {
    SCOPED_TRACE(f.form);
    Matrix m = a;
    expectMathError([&] { f.run(m); }, description);
    // The first column was eliminated before the NaN diagonal was met (det works on a copy).
    if (std::string(f.form) != "det") {
      EXPECT_DOUBLE_EQ(m(0, 0), 5.0);
      EXPECT_LT(std::fabs(m(1, 0)), 1e-15);
    } else {
      EXPECT_EQ(m(0, 0), 3.0);
    }
  }
}

// NaN below the diagonal makes that step the identity (beta = 0) but still reaches the rows it
// reflects: the next step meets a NaN diagonal and throws, and a single column keeps NaN in R.
// Nothing silently drops it from the upper triangle a caller reads.
TEST(HouseholderQR, NaNBelowTheDiagonalIsNotDropped) {
  Matrix a = randomMatrix(5, 4, 77);
  a(3, 0) = std::nan("");
  std::vector<double> scratch = scratchFor(a);
  expectMathError([&] { a.QRdecomposition(scratch.data()); }, kHouseholderSignature + " illegal value in matrix");
  Matrix column = randomMatrix(5, 1, 78);
  column(2, 0) = std::nan("");
  column.QRdecomposition(nullptr);
  EXPECT_TRUE(std::isnan(column(0, 0)));
}

// A block inside guard values: every QR form reads and writes only its block.
TEST(HouseholderQR, StridedViewTouchesOnlyItsBlock) {
  constexpr double kGuard = -777.0;
  for (ZtSize n : {3u, 5u}) {
    SCOPED_TRACE(n);
    const ZtSize stride = n + 4;
    const Matrix dense = randomMatrix(n, n, 90 + n);
    Matrix denseR = dense, denseQ(n, n);
    denseR.QRdecomposition(denseQ);
    const struct {
      const char* form;
      std::function<void(Matrix&)> run;
    } forms[] = {
        {"with Q", [&](Matrix& m) { Matrix q(n, n); m.QRdecomposition(q); }},
        {"scratch", [&](Matrix& m) { std::vector<double> s = scratchFor(m); m.QRdecomposition(s.data()); }},
        {"tri skip", [&](Matrix& m) { m.QRdecompositionTriSkip(0, nullptr); }},
        {"QtC", [&](Matrix& m) { Matrix y(n, 2); m.QtCRdecomposition(y); }},
    };
    for (const auto& f : forms) {
      SCOPED_TRACE(f.form);
      std::vector<double> storage((n + 4) * stride, kGuard);
      Matrix view(n, n, stride, storage.data() + 2 * stride + 2, 0);
      for (ZtSize r = 0; r < n; ++r)
        for (ZtSize c = 0; c < n; ++c) view(r, c) = dense(r, c);
      f.run(view);
      for (ZtSize r = 0; r < n; ++r)
        for (ZtSize c = 0; c < n; ++c) EXPECT_EQ(view(r, c), denseR(r, c));
      for (ZtSize i = 0; i < storage.size(); ++i) {
        const ZtSize r = i / stride, c = i % stride;
        if (r >= 2 && r < n + 2 && c >= 2 && c < n + 2) continue;
        ASSERT_EQ(storage[i], kGuard) << "outside the block at " << r << "," << c;
      }
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Solvers

TEST(QRSolve, MatrixAndVectorSolvesHaveSmallResiduals) {
  for (ZtSize n : {1u, 2u, 3u, 7u, 12u, 25u}) {
    SCOPED_TRACE(n);
    const Matrix a = randomMatrix(n, n, 400 + n);
    const Matrix b = randomMatrix(n, 3, 500 + n);
    Matrix x(n, 3);
    x.isSolveQR(b, a);
    const EMat residual = toEigen(a) * toEigen(x) - toEigen(b);
    const double scale = frob(toEigen(a)) * frob(toEigen(x)) + frob(toEigen(b));
    EXPECT_LE(frob(residual), 64 * n * kEps * scale);

    // The vector form overwrites its matrix with R.
    Matrix r = a;
    Vector bv(n), xv(n);
    for (ZtSize i = 0; i < n; ++i) bv[i] = b(i, 0);
    xv.isSolveQR(bv, r);
    for (ZtSize i = 0; i < n; ++i) EXPECT_NEAR(xv[i], x(i, 0), 1e-9 * (1 + std::fabs(x(i, 0))));
    Eigen::VectorXd xe(n), be(n);
    for (ZtSize i = 0; i < n; ++i) {
      xe[i] = xv[i];
      be[i] = bv[i];
    }
    EXPECT_LE((toEigen(a) * xe - be).norm(), 64 * n * kEps * (frob(toEigen(a)) * xe.norm() + be.norm()));
    EXPECT_TRUE(upperTriangularWithin(r, 64 * n * kEps * frob(toEigen(a))));
  }
}

// ---------------------------------------------------------------------------------------------
// Givens, fast Givens, Hessenberg

TEST(GivensQR, BothFormsFactorAndMatchLapack) {
  const ZtSize shapes[][2] = {{1, 1}, {2, 2}, {5, 5}, {8, 5}, {12, 12}, {20, 9}, {4, 6}};
  for (const auto& s : shapes) {
    const Matrix a = randomMatrix(s[0], s[1], 600 + s[0] * 7 + s[1]);
    const std::vector<double> ref = lapackRDiagonal(a);
    const double normA = frob(toEigen(a));
    const double bound = 16.0 * static_cast<double>(std::max(s[0], s[1])) * kEps;
    for (int fast = 0; fast < 2; ++fast) {
      SCOPED_TRACE(std::to_string(s[0]) + "x" + std::to_string(s[1]) + (fast ? " fast" : " plain"));
      Matrix r = a, q(s[0], s[0]);
      if (fast)
        r.QRdecompositionFastGivens(q);
      else
        r.QRdecompositionGivens(q);
      const EMat Q = toEigen(q), R = toEigen(r);
      EXPECT_LE(frob(Q * R - toEigen(a)) / normA, bound);
      EXPECT_LE(frob(Q.transpose() * Q - EMat::Identity(s[0], s[0])), bound);
      EXPECT_TRUE(upperTriangularWithin(r, bound * normA));
      for (ZtSize i = 0; i < std::min(s[0], s[1]); ++i) EXPECT_NEAR(std::fabs(r(i, i)), ref[i], 1e-12 * normA);
    }
  }
}

TEST(Hessenberg, ReductionAndQRStepKeepTheSpectrum) {
  for (ZtSize n : {3u, 6u, 11u}) {
    SCOPED_TRACE(n);
    const EMat m = toEigen(randomMatrix(n, n, 700 + n));
    const Matrix a = fromEigen(m + m.transpose());  // real spectrum
    Matrix h = a, q(n, n);
    h.Hessenberg(q);
    const EMat Q = toEigen(q);
    const double normA = frob(toEigen(a));
    const double bound = 32.0 * n * kEps * normA;
    EXPECT_LE(frob(Q.transpose() * toEigen(a) * Q - toEigen(h)), bound);
    EXPECT_LE(frob(Q.transpose() * Q - EMat::Identity(n, n)), 32.0 * n * kEps);
    for (ZtSize r = 2; r < n; ++r)
      for (ZtSize c = 0; c + 1 < r; ++c) EXPECT_LE(std::fabs(h(r, c)), bound) << r << "," << c;

    Matrix step = h;
    step.HessenbergQRstep(q);
    const EMat Q2 = toEigen(q);
    EXPECT_LE(frob(Q2.transpose() * toEigen(a) * Q2 - toEigen(step)), 2 * bound);
    const Eigen::VectorXd before = Eigen::SelfAdjointEigenSolver<EMat>(toEigen(a)).eigenvalues();
    Eigen::VectorXd after = Eigen::EigenSolver<EMat>(toEigen(step)).eigenvalues().real();
    std::sort(after.data(), after.data() + after.size());
    for (ZtSize i = 0; i < n; ++i) EXPECT_NEAR(after[i], before[i], 1e-12 * normA);
    for (ZtSize r = 2; r < n; ++r)
      for (ZtSize c = 0; c + 1 < r; ++c) EXPECT_LE(std::fabs(step(r, c)), 2 * bound);
  }
}

// ---------------------------------------------------------------------------------------------
// LAPACK-backed decompositions

TEST(LapackDecompositions, SingularValuesMatchEigen) {
  const ZtSize shapes[][2] = {{1, 1}, {3, 3}, {12, 12}, {7, 4}, {4, 9}, {40, 40}, {96, 96}};
  for (const auto& s : shapes) {
    SCOPED_TRACE(std::to_string(s[0]) + "x" + std::to_string(s[1]));
    const Matrix a = randomMatrix(s[0], s[1], 800 + s[0] + s[1]);
    const ZtSize k = std::min(s[0], s[1]);
    Vector sv(k), svOnly(k);
    Matrix u(s[0], s[0]), vt(s[1], s[1]);
    a.SVDecomposition(sv, &u, &vt);
    a.SVDecomposition(svOnly, nullptr, nullptr);
    const Eigen::JacobiSVD<EMat> ref(toEigen(a));
    const double normA = frob(toEigen(a));
    for (ZtSize i = 0; i < k; ++i) {
      EXPECT_NEAR(sv[i], ref.singularValues()[i], 1e-12 * normA);
      EXPECT_NEAR(svOnly[i], sv[i], 1e-12 * normA);
      if (i > 0) {
        EXPECT_GE(sv[i - 1], sv[i]);
      }
    }
    EMat sigma = EMat::Zero(s[0], s[1]);
    for (ZtSize i = 0; i < k; ++i) sigma(i, i) = sv[i];
    EXPECT_LE(frob(toEigen(u) * sigma * toEigen(vt) - toEigen(a)), 1e-12 * normA);
  }
  // Rank-deficient and ill-conditioned inputs.
  for (const Matrix& a : {rankDeficient(9, 6, 2, 31), hilbert(10)}) {
    Vector sv(a.cols);
    a.SVDecomposition(sv, nullptr, nullptr);
    const Eigen::JacobiSVD<EMat> ref(toEigen(a));
    for (ZtSize i = 0; i < a.cols; ++i) EXPECT_NEAR(sv[i], ref.singularValues()[i], 1e-12 * frob(toEigen(a)));
  }
}

TEST(LapackDecompositions, SymmetricEigenMatchesEigen) {
  for (ZtSize n : {1u, 2u, 5u, 12u, 40u, 96u}) {
    SCOPED_TRACE(n);
    const EMat m = toEigen(randomMatrix(n, n, 900 + n));
    const EMat sym = m + m.transpose();
    // Only the upper triangle is read: garbage below it changes nothing.
    Matrix a = fromEigen(sym);
    for (ZtSize r = 1; r < n; ++r)
      for (ZtSize c = 0; c < r; ++c) a(r, c) = 1e6;
    Vector w(n), wOnly(n);
    Matrix v(n, n);
    a.symmetricEigen(w, &v);
    a.symmetricEigen(wOnly, nullptr);
    const Eigen::VectorXd ref = Eigen::SelfAdjointEigenSolver<EMat>(sym).eigenvalues();
    const double normA = frob(sym);
    for (ZtSize i = 0; i < n; ++i) {
      EXPECT_NEAR(w[i], ref[i], 1e-12 * normA);
      EXPECT_NEAR(wOnly[i], w[i], 1e-12 * normA);
    }
    const EMat V = toEigen(v);
    EMat lambda = EMat::Zero(n, n);
    for (ZtSize i = 0; i < n; ++i) lambda(i, i) = w[i];
    EXPECT_LE(frob(sym * V - V * lambda), 1e-12 * normA);
  }
}

// ---------------------------------------------------------------------------------------------
// Allocations

TEST(DecompositionAllocations, ScratchFormsAllocateNothing) {
  const Matrix a = randomMatrix(24, 12, 1000);
  std::vector<double> scratch = scratchFor(a);
  Matrix r = a, r2 = a, r3 = a, r4 = a;
  {
    AllocationCounter counter;
    r.QRdecomposition(scratch.data());
    r2.QRdecompositionTriSkip(11, scratch.data());
    EXPECT_EQ(counter.count(), 0u);
  }
  {
    // The hook is live: the forms without scratch allocate theirs.
    AllocationCounter counter;
    r3.QRdecomposition(nullptr);
    r4.QRdecompositionTriSkip(11);
    EXPECT_GE(counter.count(), 2u);
  }
}

// Shapes with a zero dimension over null storage: any access would fault.
TEST(DecompositionEdges, ZeroDimensionsTouchNoMemory) {
  const struct {
    const char* what;
    std::function<void()> run;
  } cases[] = {
      {"QR with Q", [] { Matrix a(0, 3, 3, nullptr, 0), q(0, 0, 0, nullptr, 0); a.QRdecomposition(q); }},
      {"QR scratch", [] { Matrix a(3, 0, 0, nullptr, 0); a.QRdecomposition(nullptr); }},
      {"QR tri skip", [] { Matrix a(0, 4, 4, nullptr, 0); a.QRdecompositionTriSkip(2, nullptr); }},
      {"QtC", [] { Matrix a(0, 2, 2, nullptr, 0), y(0, 1, 1, nullptr, 0); a.QtCRdecomposition(y); }},
      {"Givens QR", [] { Matrix a(0, 0, 0, nullptr, 0), q(0, 0, 0, nullptr, 0); a.QRdecompositionGivens(q); }},
      {"fast Givens QR", [] { Matrix a(0, 0, 0, nullptr, 0), q(0, 0, 0, nullptr, 0); a.QRdecompositionFastGivens(q); }},
      {"Hessenberg", [] { Matrix a(0, 0, 0, nullptr, 0), q(0, 0, 0, nullptr, 0); a.Hessenberg(q); a.HessenbergQRstep(q); }},
      {"Cholesky", [] { Matrix a(0, 0, 0, nullptr, 0); a.Cholesky(); }},
      {"inverse", [] { Matrix a(0, 0, 0, nullptr, 0); a.isInverseSelf(); a.isInverseSelfChecked(); }},
      {"block inverse", [] { Matrix a(0, 0, 0, nullptr, 0); a.isInverseOfWithLRIdentity(a, 2); }},
      {"SVD", [] { Matrix a(0, 3, 3, nullptr, 0); Vector s(0, nullptr, 0); a.SVDecomposition(s, nullptr, nullptr); }},
      {"eigen", [] { Matrix a(0, 0, 0, nullptr, 0); Vector w(0, nullptr, 0); a.symmetricEigen(w, nullptr); }},
      {"det", [] { Matrix a(0, 0, 0, nullptr, 0); EXPECT_EQ(a.det(), 1.0); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    c.run();
  }
  // A 0 x 3 SVD still hands back an orthogonal Vt.
  Matrix a(0, 3, 3, nullptr, 0), vt(3, 3);
  Vector s(0, nullptr, 0);
  a.SVDecomposition(s, nullptr, &vt);
  EXPECT_LE(frob(toEigen(vt) - EMat::Identity(3, 3)), 0.0);
}
