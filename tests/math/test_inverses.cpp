// Inverses, Cholesky and the in-place transpose of zelto::Matrix: worked values and thresholds,
// zero pivots, agreement with LAPACK (dgetrf + dgetri, dpotrf) and Eigen, strided views with
// guard values, the state left after a failure, the Cholesky vector solve and allocation counts.
#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "errors/ZtException.h"
#include "math/Matrix.h"
#include "math/Vector.h"
#include "support/AllocationCounter.h"

extern "C" {
void dgetrf_(const int* m, const int* n, double* a, const int* lda, int* ipiv, int* info);
void dgetri_(const int* n, double* a, const int* lda, const int* ipiv, double* work, const int* lwork, int* info);
void dpotrf_(const char* uplo, const int* n, double* a, const int* lda, int* info, size_t uploLength);
}

using namespace zelto;

namespace {

using EMat = Eigen::MatrixXd;
constexpr double kInversesEps = std::numeric_limits<double>::epsilon();
constexpr double kInversesGuard = -999.0;

EMat inversesToEigen(const ZtMatrix& m) {
  EMat e(m.rows, m.cols);
  for (ZtSize r = 0; r < m.rows; ++r)
    for (ZtSize c = 0; c < m.cols; ++c) e(r, c) = m.data[r * m.stride + c];
  return e;
}

Matrix inversesFromEigen(const EMat& e) {
  Matrix m(e.rows(), e.cols());
  for (ZtSize r = 0; r < m.rows; ++r)
    for (ZtSize c = 0; c < m.cols; ++c) m(r, c) = e(r, c);
  return m;
}

Matrix inversesFromRows(ZtSize rows, ZtSize cols, std::vector<double> values) { return Matrix(rows, cols, values.data()); }

Matrix inversesRandomMatrix(ZtSize rows, ZtSize cols, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> d(0.0, 1.0);
  Matrix m(rows, cols);
  for (ZtSize r = 0; r < rows; ++r)
    for (ZtSize c = 0; c < cols; ++c) m(r, c) = d(rng);
  return m;
}

// Random plus n on the diagonal: no tiny pivots without pivoting.
Matrix wellConditioned(ZtSize n, unsigned seed) {
  Matrix m = inversesRandomMatrix(n, n, seed);
  for (ZtSize i = 0; i < n; ++i) m(i, i) += static_cast<double>(n);
  return m;
}

Matrix spd(ZtSize n, unsigned seed) {
  const EMat m = inversesToEigen(inversesRandomMatrix(n, n, seed));
  return inversesFromEigen(m * m.transpose() + static_cast<double>(n) * EMat::Identity(n, n));
}

Matrix inversesHilbert(ZtSize n) {
  Matrix m(n, n);
  for (ZtSize r = 0; r < n; ++r)
    for (ZtSize c = 0; c < n; ++c) m(r, c) = 1.0 / static_cast<double>(r + c + 1);
  return m;
}

EMat lapackInverse(const ZtMatrix& a) {
  EMat e = inversesToEigen(a);
  const int n = static_cast<int>(a.rows);
  std::vector<int> ipiv(n);
  int info = 0;
  dgetrf_(&n, &n, e.data(), &n, ipiv.data(), &info);
  EXPECT_EQ(info, 0);
  int lwork = -1;
  double query = 0.0;
  dgetri_(&n, e.data(), &n, ipiv.data(), &query, &lwork, &info);
  lwork = static_cast<int>(query);
  std::vector<double> work(lwork);
  dgetri_(&n, e.data(), &n, ipiv.data(), work.data(), &lwork, &info);
  EXPECT_EQ(info, 0);
  return e;
}

// Lower Cholesky factor from LAPACK: the upper factor of the column-major (transposed) array.
EMat lapackCholesky(const ZtMatrix& a) {
  EMat e = inversesToEigen(a);
  const int n = static_cast<int>(a.rows);
  const char uplo = 'L';
  int info = 0;
  dpotrf_(&uplo, &n, e.data(), &n, &info, 1);
  EXPECT_EQ(info, 0);
  return e.triangularView<Eigen::Lower>();
}

void inversesExpectMathError(const std::function<void()>& f, const std::string& description) {
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

const std::string kSelf = "void zelto::Matrix::isInverseSelf() matrix is singular";
const std::string kChecked = "void zelto::Matrix::isInverseSelfChecked() determinant near 0.";
const std::string k3x3 = "void zelto::Matrix::isInverseOf3x3(const ZtMatrix&) matrix is singular";
const std::string kCholesky = "void zelto::Matrix::Cholesky() matrix not symmetric positive-definite";

bool sameElements(const ZtMatrix& a, const ZtMatrix& b) {
  if (a.rows != b.rows || a.cols != b.cols) return false;
  for (ZtSize r = 0; r < a.rows; ++r)
    for (ZtSize c = 0; c < a.cols; ++c) {
      const double x = a.data[r * a.stride + c], y = b.data[r * b.stride + c];
      if (!(x == y || (std::isnan(x) && std::isnan(y)))) return false;
    }
  return true;
}

// An n x n view at (2, 2) of an array of (n + 4) x (n + 4) guard values.
struct GuardedBlock {
  GuardedBlock(const Matrix& content) : n(content.rows), stride(n + 4), storage((n + 4) * stride, kInversesGuard) {
    Matrix v = view();
    for (ZtSize r = 0; r < n; ++r)
      for (ZtSize c = 0; c < n; ++c) v(r, c) = content(r, c);
  }
  Matrix view() { return Matrix(n, n, stride, storage.data() + 2 * stride + 2, 0); }
  bool guardsIntact() const {
    for (ZtSize i = 0; i < storage.size(); ++i) {
      const ZtSize r = i / stride, c = i % stride;
      const bool inside = r >= 2 && r < n + 2 && c >= 2 && c < n + 2;
      if (!inside && storage[i] != kInversesGuard) return false;
    }
    return true;
  }
  ZtSize n;
  ZtSize stride;
  std::vector<double> storage;
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// Worked values and thresholds

TEST(InverseValues, ClosedFormsAndThresholds) {
  const struct {
    const char* what;
    Matrix a;
    bool checked;
    const std::string* error;  // null: succeeds
    std::vector<double> want;  // expected inverse when it succeeds
  } cases[] = {
      {"swap is its own inverse", inversesFromRows(2, 2, {0, 1, 1, 0}), false, nullptr, {0, 1, 1, 0}},
      {"2x2 det 0", inversesFromRows(2, 2, {1, 2, 2, 4}), false, &kSelf, {}},
      {"2x2 det 1e-17 unchecked", inversesFromRows(2, 2, {1e-17, 0, 0, 1}), false, nullptr, {1e17, 0, 0, 1}},
      {"2x2 det 1e-17 checked", inversesFromRows(2, 2, {1e-17, 0, 0, 1}), true, &kChecked, {}},
      {"2x2 det 1e20 checked", inversesFromRows(2, 2, {1e10, 0, 0, 1e10}), true, nullptr, {1e-10, 0, 0, 1e-10}},
      {"3x3 det 1e-17 checked", inversesFromRows(3, 3, {1e-17, 0, 0, 0, 1, 0, 0, 0, 1}), true, &kChecked, {}},
      {"3x3 det 1e20 checked", inversesFromRows(3, 3, {1e10, 0, 0, 0, 1e10, 0, 0, 0, 1}), true, nullptr,
       {1e-10, 0, 0, 0, 1e-10, 0, 0, 0, 1}},
      {"3x3 det 0", inversesFromRows(3, 3, {1, 2, 3, 2, 4, 6, 1, 1, 1}), false, &k3x3, {}},
      {"3x3 det 0 checked", inversesFromRows(3, 3, {1, 2, 3, 2, 4, 6, 1, 1, 1}), true, &kChecked, {}},
      {"3x3", inversesFromRows(3, 3, {2, 0, 0, 0, 4, 0, 1, 0, 1}), false, nullptr, {0.5, 0, 0, 0, 0.25, 0, -0.5, 0, 1}},
      {"1x1", inversesFromRows(1, 1, {4}), false, nullptr, {0.25}},
      {"1x1 zero", inversesFromRows(1, 1, {0}), false, &kSelf, {}},
      {"1x1 zero checked", inversesFromRows(1, 1, {0}), true, &kChecked, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Matrix m = c.a;
    if (c.error != nullptr) {
      inversesExpectMathError([&] { c.checked ? m.isInverseSelfChecked() : m.isInverseSelf(); }, *c.error);
      // Closed forms leave the matrix as it was.
      EXPECT_TRUE(sameElements(m, c.a));
      continue;
    }
    c.checked ? m.isInverseSelfChecked() : m.isInverseSelf();
    for (ZtSize i = 0; i < c.want.size(); ++i)
      EXPECT_NEAR(m.data[i], c.want[i], 4 * kInversesEps * std::max(1.0, std::fabs(c.want[i]))) << i;
  }
}

// Every exact-zero pivot throws; without pivoting a zero leading principal minor throws even
// when the matrix is regular. NaN is not a zero pivot: it spreads.
TEST(InverseValues, ZeroPivotsThrow) {
  const struct {
    const char* what;
    Matrix a;
    bool throws;
  } cases[] = {
      {"4x4 regular, a(0,0) = 0", inversesFromRows(4, 4, {0, 1, 0, 0, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}), true},
      {"4x4 regular, leading 2x2 minor 0",
       inversesFromRows(4, 4, {1, 2, 0, 1, 2, 4, 1, 0, 0, 1, 1, 0, 1, 0, 0, 1}), true},
      {"5x5 singular, last pivot 0",
       inversesFromRows(5, 5, {1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1, 0, 1, 1, 1, 1, 0}), true},
      {"6x6 all ones", inversesFromRows(6, 6, std::vector<double>(36, 1.0)), true},
      {"4x4 identity", inversesFromRows(4, 4, {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    for (int checked = 0; checked < 2; ++checked) {
      Matrix m = c.a;
      if (c.throws) {
        inversesExpectMathError([&] { checked ? m.isInverseSelfChecked() : m.isInverseSelf(); }, checked ? kChecked : kSelf);
        continue;
      }
      checked ? m.isInverseSelfChecked() : m.isInverseSelf();
      EXPECT_LE((inversesToEigen(m) * inversesToEigen(c.a) - EMat::Identity(c.a.rows, c.a.rows)).norm(), 1e-15);
    }
    if (c.throws) {
      Matrix m = c.a;
      inversesExpectMathError([&] { m.isInverseOf(c.a); }, kSelf);
    }
  }
  for (ZtSize n : {1u, 2u, 3u, 5u}) {
    Matrix m = wellConditioned(n, 5);
    m(n - 1, n - 1) = std::nan("");
    m.isInverseSelf();
    EXPECT_TRUE(std::isnan(m(n - 1, n - 1))) << n;
  }
}

// ---------------------------------------------------------------------------------------------
// References

TEST(Inverses, MatchLapackAndEigen) {
  std::vector<Matrix> inputs;
  for (ZtSize n = 1; n <= 40; ++n) inputs.push_back(wellConditioned(n, 10 + n));
  for (ZtSize n = 1; n <= 6; ++n) inputs.push_back(inversesHilbert(n));
  for (const Matrix& a : inputs) {
    const ZtSize n = a.rows;
    SCOPED_TRACE(n);
    const EMat A = inversesToEigen(a);
    const EMat ref = lapackInverse(a);
    const double cond = A.norm() * ref.norm();
    Matrix self = a, of(n, n), checked = a;
    self.isInverseSelf();
    of.isInverseOf(a);
    checked.isInverseSelfChecked();
    EXPECT_TRUE(sameElements(self, of));
    EXPECT_TRUE(sameElements(self, checked));
    const EMat X = inversesToEigen(self);
    EXPECT_LE((A * X - EMat::Identity(n, n)).norm(), 64 * n * kInversesEps * cond);
    EXPECT_LE((X - ref).norm() / ref.norm(), 64 * n * kInversesEps * cond);
    EXPECT_LE((X - A.inverse()).norm() / ref.norm(), 64 * n * kInversesEps * cond);
    // The closed 3x3 form beside the general one.
    if (n == 3) {
      Matrix three(3, 3);
      three.isInverseOf3x3(a);
      EXPECT_TRUE(sameElements(three, self));
    }
  }
}

TEST(Inverses, BlockInverseWithLowerRightIdentity) {
  for (ZtSize m : {4u, 9u, 15u}) {
    for (ZtSize k : {ZtSize{0}, ZtSize{1}, m / 2, m - 1, m}) {
      SCOPED_TRACE(std::to_string(m) + " k=" + std::to_string(k));
      // Symmetric with an identity in the lower-right k x k block.
      Matrix a = spd(m, 30 + m);
      for (ZtSize r = m - k; r < m; ++r)
        for (ZtSize c = m - k; c < m; ++c) a(r, c) = r == c ? 1.0 : 0.0;
      Matrix x(m, m);
      x.isInverseOfWithLRIdentity(a, k);
      if (k == 0) {
        Matrix checked = a;
        checked.isInverseSelfChecked();
        EXPECT_TRUE(sameElements(x, checked));
      }
      if (k == m) {
        EXPECT_TRUE(sameElements(x, inversesFromEigen(EMat::Identity(m, m))));
      }
      const double cond = inversesToEigen(a).norm() * inversesToEigen(a).inverse().norm();
      EXPECT_LE((inversesToEigen(a) * inversesToEigen(x) - EMat::Identity(m, m)).norm(), 64 * m * kInversesEps * cond);
      // The same in place.
      Matrix self = a;
      self.isInverseOfWithLRIdentity(self, k);
      EXPECT_TRUE(sameElements(self, x));
    }
  }
}

TEST(Inverses, Diagonal) {
  const Matrix d = inversesFromRows(3, 3, {2, 7, 7, 7, -4, 7, 7, 7, 0.5});
  Matrix m = inversesFromRows(3, 3, {9, 9, 9, 9, 9, 9, 9, 9, 9});
  m.isInverseDiagonal(d);
  EXPECT_TRUE(sameElements(m, inversesFromRows(3, 3, {0.5, 9, 9, 9, -0.25, 9, 9, 9, 2})));
  // A zero stops it there: earlier elements are written, the rest untouched.
  const Matrix z = inversesFromRows(3, 3, {4, 0, 0, 0, 0, 0, 0, 0, 5});
  Matrix n = inversesFromRows(3, 3, {9, 9, 9, 9, 9, 9, 9, 9, 9});
  inversesExpectMathError([&] { n.isInverseDiagonal(z); },
                  "void zelto::Matrix::isInverseDiagonal(const ZtMatrix&) matrix is singular");
  EXPECT_TRUE(sameElements(n, inversesFromRows(3, 3, {0.25, 9, 9, 9, 9, 9, 9, 9, 9})));
}

// ---------------------------------------------------------------------------------------------
// Strided views

TEST(Inverses, StridedViewsTouchOnlyTheirBlock) {
  for (ZtSize n : {3u, 5u}) {
    SCOPED_TRACE(n);
    const Matrix a = wellConditioned(n, 60 + n);
    Matrix dense = a;
    dense.isInverseSelf();
    for (int checked = 0; checked < 2; ++checked) {
      GuardedBlock g(a);
      Matrix v = g.view();
      checked ? v.isInverseSelfChecked() : v.isInverseSelf();
      EXPECT_TRUE(sameElements(v, dense));
      EXPECT_TRUE(g.guardsIntact());
    }
    GuardedBlock target(inversesFromEigen(EMat::Zero(n, n)));
    Matrix t = target.view();
    t.isInverseOf(a);
    EXPECT_TRUE(sameElements(t, dense));
    EXPECT_TRUE(target.guardsIntact());
  }
  // The cofactor form with a strided source and a compact target, and the other way round.
  const Matrix a = wellConditioned(3, 61);
  Matrix dense(3, 3);
  dense.isInverseOf3x3(a);
  GuardedBlock source(a);
  Matrix compact(3, 3);
  compact.isInverseOf3x3(source.view());
  EXPECT_TRUE(sameElements(compact, dense));
  EXPECT_TRUE(source.guardsIntact());
  GuardedBlock target(inversesFromEigen(EMat::Zero(3, 3)));
  Matrix t = target.view();
  t.isInverseOf3x3(a);
  EXPECT_TRUE(sameElements(t, dense));
  EXPECT_TRUE(target.guardsIntact());
  // A singular strided block leaves its block and the guards as they were.
  GuardedBlock singular(inversesFromRows(3, 3, {1, 2, 3, 2, 4, 6, 1, 1, 1}));
  Matrix s = singular.view();
  inversesExpectMathError([&] { s.isInverseSelf(); }, k3x3);
  EXPECT_TRUE(sameElements(s, inversesFromRows(3, 3, {1, 2, 3, 2, 4, 6, 1, 1, 1})));
  EXPECT_TRUE(singular.guardsIntact());
}

// ---------------------------------------------------------------------------------------------
// Cholesky

TEST(Cholesky, MatchesLapackAndEigen) {
  for (ZtSize n = 1; n <= 40; ++n) {
    SCOPED_TRACE(n);
    const Matrix a = spd(n, 70 + n);
    // Only the lower triangle is read.
    Matrix l = a;
    for (ZtSize r = 0; r < n; ++r)
      for (ZtSize c = r + 1; c < n; ++c) l(r, c) = 1e9;
    l.Cholesky();
    const EMat L = inversesToEigen(l);
    const double normA = inversesToEigen(a).norm();
    EXPECT_TRUE(L.isLowerTriangular(0.0));
    EXPECT_LE((L - lapackCholesky(a)).norm(), 1e-12 * normA);
    EXPECT_LE((L - Eigen::LLT<EMat>(inversesToEigen(a)).matrixL().toDenseMatrix()).norm(), 1e-12 * normA);
    EXPECT_LE((L * L.transpose() - inversesToEigen(a)).norm(), 16 * n * kInversesEps * normA);
  }
}

TEST(Cholesky, FailuresAndViews) {
  // The failing pivot is reached after column 0 was factored and the rest updated.
  Matrix m = inversesFromRows(2, 2, {1, 2, 2, 1});
  inversesExpectMathError([&] { m.Cholesky(); }, kCholesky);
  EXPECT_TRUE(sameElements(m, inversesFromRows(2, 2, {1, 2, 2, -3})));
  // Semi-definite: an exact zero pivot.
  Matrix z = inversesFromRows(3, 3, {1, 1, 0, 1, 1, 0, 0, 0, 1});
  inversesExpectMathError([&] { z.Cholesky(); }, kCholesky);
  // A NaN diagonal passes the test and spreads.
  Matrix nan = spd(4, 80);
  nan(2, 2) = std::nan("");
  nan.Cholesky();
  EXPECT_TRUE(std::isnan(nan(2, 2)));
  EXPECT_TRUE(std::isnan(nan(3, 3)));
  EXPECT_FALSE(std::isnan(nan(1, 1)));
  // A view inside guards.
  const Matrix a = spd(5, 81);
  Matrix dense = a;
  dense.Cholesky();
  GuardedBlock g(a);
  Matrix v = g.view();
  v.Cholesky();
  EXPECT_TRUE(sameElements(v, dense));
  EXPECT_TRUE(g.guardsIntact());
}

TEST(Cholesky, VectorSolve) {
  for (ZtSize n : {1u, 3u, 12u, 30u}) {
    SCOPED_TRACE(n);
    const Matrix a = spd(n, 90 + n);
    Vector b(n), x(n);
    for (ZtSize i = 0; i < n; ++i) b[i] = std::sin(static_cast<double>(i) + 1.0);
    Matrix factor = a;
    x.isSolveCholesky(b, factor);
    Eigen::VectorXd xe(n), be(n);
    for (ZtSize i = 0; i < n; ++i) {
      xe[i] = x[i];
      be[i] = b[i];
    }
    EXPECT_LE((inversesToEigen(a) * xe - be).norm(), 64 * n * kInversesEps * inversesToEigen(a).norm() * xe.norm());
    // The matrix holds the transposed factor.
    Matrix l = a;
    l.Cholesky();
    EXPECT_TRUE(sameElements(factor, inversesFromEigen(inversesToEigen(l).transpose())));
  }
  Matrix bad = inversesFromRows(2, 2, {1, 2, 2, 1});
  Vector b(2), x(2);
  b[0] = b[1] = 1.0;
  inversesExpectMathError([&] { x.isSolveCholesky(b, bad); }, kCholesky);
}

// ---------------------------------------------------------------------------------------------
// In-place transpose

TEST(TransposeSelf, Cases) {
  Matrix owned = inversesFromRows(2, 3, {1, 2, 3, 4, 5, 6});
  owned.isTransposeSelf();
  EXPECT_EQ(owned.rows, 3u);
  EXPECT_EQ(owned.cols, 2u);
  EXPECT_TRUE(sameElements(owned, inversesFromRows(3, 2, {1, 4, 2, 5, 3, 6})));

  double storage[6] = {1, 2, 3, 4, 5, 6};
  Matrix view(2, 3, 3, storage, 0);
  inversesExpectMathError([&] { view.isTransposeSelf(); },
                  "void zelto::Matrix::isTransposeSelf() Resizing of this object is not allowed");
  EXPECT_EQ(view.rows, 2u);
  EXPECT_EQ(view.cols, 3u);
  EXPECT_EQ(view.data, storage);
  EXPECT_EQ(storage[1], 2.0);

  Matrix empty;
  empty.rows = 0;
  empty.cols = 3;
  {
    AllocationCounter counter;
    empty.isTransposeSelf();
    EXPECT_EQ(counter.count(), 0u);
  }
  EXPECT_EQ(empty.rows, 3u);
  EXPECT_EQ(empty.cols, 0u);
  EXPECT_EQ(empty.data, nullptr);

  // A square block inside guards transposes in place.
  GuardedBlock g(inversesFromRows(3, 3, {1, 2, 3, 4, 5, 6, 7, 8, 9}));
  Matrix v = g.view();
  v.isTransposeSelf();
  EXPECT_TRUE(sameElements(v, inversesFromRows(3, 3, {1, 4, 7, 2, 5, 8, 3, 6, 9})));
  EXPECT_TRUE(g.guardsIntact());
}

// ---------------------------------------------------------------------------------------------
// Allocations

TEST(InverseAllocations, InPlaceFormsAllocateNothing) {
  std::vector<Matrix> inputs;
  for (ZtSize n : {1u, 2u, 3u, 6u, 12u}) inputs.push_back(wellConditioned(n, 120 + n));
  const Matrix s = spd(12, 130);
  Matrix chol = s;
  Matrix three(3, 3);
  AllocationCounter counter;
  for (Matrix& m : inputs) {
    m.isInverseSelf();
    m.isInverseSelfChecked();
  }
  three.isInverseOf3x3(inputs[2]);
  chol.Cholesky();
  EXPECT_EQ(counter.count(), 0u);
}
