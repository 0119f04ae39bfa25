// Factorisations of zelto::Matrix: SVD and symmetric eigen decomposition through LAPACK,
// Householder QR (with Q, in place over caller scratch, triangular bottom, applied to a second
// matrix), the QR solve and determinant, Givens and fast Givens QR, Hessenberg reduction and
// Cholesky. Every temporary is owned by an RAII holder so exceptions release it.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>

#include "math/Matrix.h"
#include "math/lapackGlue.h"

namespace zelto {

namespace {

const char kHouseholderSignature[] =
    "void zelto::Matrix::extractHouseholderVec(zelto::Matrix&, zelto::Vector&, ZtSize) const";

struct FreeDeleter {
  void operator()(double* p) const { std::free(p); }
};
using Array = std::unique_ptr<double, FreeDeleter>;

// n doubles from malloc (at least one, so a zero count still yields a valid pointer).
inline Array allocArray(size_t n) {
  return Array(static_cast<double*>(zeltoMathMalloc((n != 0 ? n : 1) * sizeof(double))));
}

// Householder state laid over one array: V (m x k, row stride k), beta (k), w (n).
struct HouseholderViews {
  HouseholderViews(double* p, ZtSize m, ZtSize n, ZtSize k)
      : V(m, k, k, p, 0), beta(k, p + m * k, 0), w(n, p + m * k + k, 0) {}
  static size_t doubles(ZtSize m, ZtSize n, ZtSize k) { return m * k + k + n; }
  Matrix V;
  Vector beta;
  Vector w;
};

// Triangularises a column by column; steps j < skip use the triangular-bottom reflection.
void eliminate(Matrix& a, HouseholderViews& h, ZtSize skip) {
  const ZtSize k = std::min(a.rows, a.cols);
  for (ZtSize j = 0; j < k; ++j) {
    a.extractHouseholderVec(h.V, h.beta, j);
    if (j < skip)
      a.householderReflectionTriSkip(h.V, h.beta, j, false, skip, h.w);
    else
      a.householderReflectionFast(h.V, h.beta, j, false, h.w);
  }
}

// y[c] += x[c] * v for c < n. Four independent columns per pass so the compiler can pair
// them in vector registers; each y[c] still sums its terms in row order.
inline void accumulateScaled(double* __restrict y, const double* __restrict x, double v, ZtSize n) {
  ZtSize c = 0;
  for (; c + 4 <= n; c += 4) {
    y[c] += x[c] * v;
    y[c + 1] += x[c + 1] * v;
    y[c + 2] += x[c + 2] * v;
    y[c + 3] += x[c + 3] * v;
  }
  for (; c < n; ++c) y[c] += x[c] * v;
}

// x[c] -= v * y[c] for c < n.
inline void subtractScaled(double* __restrict x, const double* __restrict y, double v, ZtSize n) {
  ZtSize c = 0;
  for (; c + 4 <= n; c += 4) {
    x[c] -= v * y[c];
    x[c + 1] -= v * y[c + 1];
    x[c + 2] -= v * y[c + 2];
    x[c + 3] -= v * y[c + 3];
  }
  for (; c < n; ++c) x[c] -= v * y[c];
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// LAPACK

void Matrix::SVDecomposition(Vector& s, Matrix* U, Matrix* Vt) const {
  static const char kSignature[] =
      "void zelto::Matrix::SVDecomposition(zelto::Vector&, zelto::Matrix*, zelto::Matrix*) const";
  if (rows == 0 || cols == 0) {
    // No singular values; any orthogonal factor will do.
    if (U != nullptr) U->isIdentity();
    if (Vt != nullptr) Vt->isIdentity();
    return;
  }
  Array a(lapackGlue::zeltoMatrixToLapackArray(*this));
  Array u(lapackGlue::alloc(U));
  Array vt(lapackGlue::alloc(Vt));
  const char jobu = U != nullptr ? 'A' : 'N';
  const char jobvt = Vt != nullptr ? 'A' : 'N';
  const int m = static_cast<int>(rows);
  const int n = static_cast<int>(cols);
  const int ldu = U != nullptr ? static_cast<int>(U->rows) : 1;
  const int ldvt = Vt != nullptr ? static_cast<int>(Vt->rows) : 1;
  int lwork = -1;
  int info = 0;
  double query = 0.0;
  dgesvd_(&jobu, &jobvt, &m, &n, a.get(), &m, s.data, u.get(), &ldu, vt.get(), &ldvt, &query, &lwork, &info, 1, 1);
  if (info != 0) throwMathError(kSignature, "LAPACK DGESVD failed");
  lwork = std::max(1, static_cast<int>(query));
  Array work = allocArray(static_cast<size_t>(lwork));
  dgesvd_(&jobu, &jobvt, &m, &n, a.get(), &m, s.data, u.get(), &ldu, vt.get(), &ldvt, work.get(), &lwork, &info, 1,
          1);
  if (info != 0) throwMathError(kSignature, "LAPACK DGESVD failed");
  if (U != nullptr) lapackGlue::lapackArrayToZeltoMatrix(u.get(), *U);
  if (Vt != nullptr) lapackGlue::lapackArrayToZeltoMatrix(vt.get(), *Vt);
}

void Matrix::symmetricEigen(Vector& w, Matrix* V) const {
  static const char kSignature[] = "void zelto::Matrix::symmetricEigen(zelto::Vector&, zelto::Matrix*) const";
  if (rows == 0) return;
  Array a(lapackGlue::zeltoMatrixToLapackArray(*this));
  const char jobz = V != nullptr ? 'V' : 'N';
  const char uplo = 'U';
  const int n = static_cast<int>(rows);
  int lwork = -1;
  int info = 0;
  double query = 0.0;
  dsyev_(&jobz, &uplo, &n, a.get(), &n, w.data, &query, &lwork, &info, 1, 1);
  if (info != 0) throwMathError(kSignature, "LAPACK DSYEV failed");
  lwork = std::max(1, static_cast<int>(query));
  Array work = allocArray(static_cast<size_t>(lwork));
  dsyev_(&jobz, &uplo, &n, a.get(), &n, w.data, work.get(), &lwork, &info, 1, 1);
  if (info != 0) throwMathError(kSignature, "LAPACK DSYEV failed");
  if (V != nullptr) lapackGlue::lapackArrayToZeltoMatrix(a.get(), *V);
}

// ---------------------------------------------------------------------------------------------
// Householder reflections

void Matrix::extractHouseholderVec(Matrix& V, Vector& beta, ZtSize j) const {
  const double alpha = (*this)(j, j);
  if (std::isnan(alpha)) throwMathError(kHouseholderSignature, "illegal value in matrix");
  V(j, j) = 1.0;
  if (rows - j <= 1) {
    beta[j] = 0.0;
    return;
  }
  double sigma = 0.0;
  for (ZtSize r = j + 1; r < rows; ++r) {
    const double x = (*this)(r, j);
    V(r, j) = x;
    sigma += x * x;
  }
  // Below sqrt(1e-307) the column counts as already zero: the step is the identity.
  if (std::fabs(sigma) <= 3.1622776601683795e-154 || std::isnan(sigma)) {
    beta[j] = 0.0;
    return;
  }
  const double mu = std::sqrt(alpha * alpha + sigma);
  // The second form avoids cancellation, so a positive alpha keeps a positive R(j, j).
  const double v = alpha <= 0.0 ? alpha - mu : -sigma / (alpha + mu);
  const double v2 = v * v;
  if (sigma + v2 == 0.0 || v == 0.0) throwMathError(kHouseholderSignature, "matrix is singular");
  const double b = 2.0 * v2 / (sigma + v2);
  if (std::isnan(b)) throwMathError(kHouseholderSignature, "matrix is singular");
  beta[j] = b;
  V(j, j) = 1.0;
  const double inv = 1.0 / v;
  for (ZtSize r = j + 1; r < rows; ++r) V(r, j) *= inv;
}

void Matrix::householderReflectionFast(const ZtMatrix& V, const ZtVector& beta, ZtSize j, bool allColumns,
                                       ZtVector& w) {
  const double b = beta.data[j];
  const ZtSize c0 = allColumns ? 0 : j;
  // A step with beta = 0 still runs: its w is 0 for finite data, and a NaN left below the
  // diagonal (which made beta 0) spreads into R instead of vanishing from the upper triangle.
  if (c0 >= cols || j >= rows) return;
  const ZtSize nc = cols - c0;
  double* wc = w.data + c0;
  for (ZtSize c = 0; c < nc; ++c) wc[c] = 0.0;
  for (ZtSize r = j; r < rows; ++r) accumulateScaled(wc, rowPtr(r) + c0, V.data[r * V.stride + j], nc);
  for (ZtSize c = 0; c < nc; ++c) wc[c] = b * wc[c];
  for (ZtSize r = j; r < rows; ++r) subtractScaled(rowPtr(r) + c0, wc, V.data[r * V.stride + j], nc);
}

void Matrix::householderReflection(const ZtMatrix& V, const ZtVector& beta, ZtSize j, bool allColumns) {
  Array w = allocArray(cols);
  Vector wv(cols, w.get(), 0);
  householderReflectionFast(V, beta, j, allColumns, wv);
}

void Matrix::householderReflectionTriSkip(const ZtMatrix& V, const ZtVector& beta, ZtSize j, bool allColumns,
                                          ZtSize skip, ZtVector& w) {
  const double b = beta.data[j];
  const ZtSize c0 = allColumns ? 0 : j;
  if (c0 >= cols || j >= rows) return;
  // Column c is zero from row base + c on.
  const ZtSize base = rows - std::min(skip, rows);
  const ZtSize nc = cols - c0;
  double* wc = w.data + c0;
  for (ZtSize c = 0; c < nc; ++c) wc[c] = 0.0;
  for (ZtSize r = j; r < rows; ++r) {
    const ZtSize first = r < base ? c0 : std::max(c0, r - base + 1);
    if (first >= cols) break;
    accumulateScaled(w.data + first, rowPtr(r) + first, V.data[r * V.stride + j], cols - first);
  }
  for (ZtSize c = 0; c < nc; ++c) wc[c] = b * wc[c];
  // v_j is zero from row base + j on, so those rows keep their values.
  const ZtSize end = std::min(base + j, rows);
  for (ZtSize r = j; r < end; ++r) subtractScaled(rowPtr(r) + c0, wc, V.data[r * V.stride + j], nc);
}

// ---------------------------------------------------------------------------------------------
// Householder QR

void Matrix::QRdecomposition(Matrix& Q) {
  const ZtSize k = std::min(rows, cols);
  Array buffer = allocArray(HouseholderViews::doubles(rows, cols, k) + Q.cols);
  HouseholderViews h(buffer.get(), rows, cols, k);
  Vector wq(Q.cols, buffer.get() + HouseholderViews::doubles(rows, cols, k), 0);
  eliminate(*this, h, 0);
  Q.isIdentity();
  // Backward accumulation: step j only touches rows and columns j.. of Q.
  for (ZtSize j = k; j-- > 0;) Q.householderReflectionFast(h.V, h.beta, j, false, wq);
}

void Matrix::QRdecomposition(double* scratch) {
  const ZtSize k = std::min(rows, cols);
  if (k == 0) return;
  Array owned;
  if (scratch == nullptr) {
    owned = allocArray(HouseholderViews::doubles(rows, cols, k));
    scratch = owned.get();
  }
  HouseholderViews h(scratch, rows, cols, k);
  eliminate(*this, h, 0);
}

void Matrix::QRdecompositionTriSkip(ZtSize skip) { QRdecompositionTriSkip(skip, nullptr); }

void Matrix::QRdecompositionTriSkip(ZtSize skip, double* scratch) {
  const ZtSize k = std::min(rows, cols);
  if (k == 0) return;
  Array owned;
  if (scratch == nullptr) {
    owned = allocArray(HouseholderViews::doubles(rows, cols, k));
    scratch = owned.get();
  }
  HouseholderViews h(scratch, rows, cols, k);
  eliminate(*this, h, skip);
}

void Matrix::QtCRdecomposition(Matrix& Y) {
  const ZtSize k = std::min(rows, cols);
  if (k == 0) return;
  Array buffer = allocArray(HouseholderViews::doubles(rows, cols, k) + Y.cols);
  HouseholderViews h(buffer.get(), rows, cols, k);
  Vector wy(Y.cols, buffer.get() + HouseholderViews::doubles(rows, cols, k), 0);
  eliminate(*this, h, 0);
  for (ZtSize j = 0; j < k; ++j) Y.householderReflectionFast(h.V, h.beta, j, true, wy);
}

void Matrix::isSolveQR(const Matrix& B, const ZtMatrix& A) {
  Matrix R(A);
  Matrix Q(A.rows, A.rows);
  R.QRdecomposition(Q);
  Q.isTransposeSelf();
  Matrix y(A.rows, 1);
  Vector yv(A.rows, y.data, 0);
  Vector x(rows);
  for (ZtSize c = 0; c < B.cols; ++c) {
    const Matrix column(B.rows, 1, B.stride, B.data + c, 0);
    y.isMatMulMat(Q, column);
    x.isLeftDivideTriU(R, yv);
    setCol(x, c);
  }
}

double Matrix::det() const {
  const ZtSize k = std::min(rows, cols);
  if (k == 0) return 1.0;
  Matrix r(*this);
  Array buffer = allocArray(HouseholderViews::doubles(rows, cols, k));
  HouseholderViews h(buffer.get(), rows, cols, k);
  eliminate(r, h, 0);
  // det(Q) = (-1)^(number of reflecting steps); a step with beta = 0 is the identity.
  double d = 1.0;
  bool negative = false;
  for (ZtSize i = 0; i < k; ++i) {
    d *= r(i, i);
    if (h.beta[i] != 0.0) negative = !negative;
  }
  return negative ? -d : d;
}

// ---------------------------------------------------------------------------------------------
// Givens rotations

void Givens(double& c, double& s, double a, double b) {
  if (b == 0.0) {
    c = 1.0;
    s = 0.0;
  } else if (std::fabs(b) > std::fabs(a)) {
    const double tau = -a / b;
    s = 1.0 / std::sqrt(1.0 + tau * tau);
    c = s * tau;
  } else {
    const double tau = -b / a;
    c = 1.0 / std::sqrt(1.0 + tau * tau);
    s = c * tau;
  }
}

void Matrix::GivensRotationRows(double c, double s, ZtSize i, ZtSize k) {
  double* ri = rowPtr(i);
  double* rk = rowPtr(k);
  for (ZtSize col = 0; col < cols; ++col) {
    const double t1 = ri[col];
    const double t2 = rk[col];
    ri[col] = c * t1 - s * t2;
    rk[col] = s * t1 + c * t2;
  }
}

void Matrix::GivensRotationCols(double c, double s, ZtSize i, ZtSize k) {
  for (ZtSize r = 0; r < rows; ++r) {
    const double t1 = (*this)(r, i);
    const double t2 = (*this)(r, k);
    (*this)(r, i) = c * t1 - s * t2;
    (*this)(r, k) = s * t1 + c * t2;
  }
}

void Matrix::QRdecompositionGivens(Matrix& Q) {
  Q.isIdentity();
  double c = 1.0, s = 0.0;
  for (ZtSize j = 0; j < cols; ++j)
    for (ZtSize i = rows; i-- > j + 1;) {
      Givens(c, s, (*this)(i - 1, j), (*this)(i, j));
      GivensRotationRows(c, s, i - 1, i);
      Q.GivensRotationCols(c, s, i - 1, i);
    }
}

void Matrix::Hessenberg(Matrix& Q) {
  Q.isIdentity();
  double c = 1.0, s = 0.0;
  for (ZtSize j = 0; j < cols; ++j)
    for (ZtSize i = rows; i-- > j + 2;) {
      Givens(c, s, (*this)(i - 1, j), (*this)(i, j));
      GivensRotationRows(c, s, i - 1, i);
      GivensRotationCols(c, s, i - 1, i);
      Q.GivensRotationCols(c, s, i - 1, i);
    }
}

void Matrix::HessenbergQRstep(Matrix& Q) {
  const ZtSize n = rows;
  if (n < 2) return;
  Array rotations = allocArray(2 * (n - 1));
  double* cs = rotations.get();
  for (ZtSize k = 0; k + 1 < n; ++k) {
    Givens(cs[2 * k], cs[2 * k + 1], (*this)(k, k), (*this)(k + 1, k));
    GivensRotationRows(cs[2 * k], cs[2 * k + 1], k, k + 1);
  }
  for (ZtSize k = 0; k + 1 < n; ++k) {
    GivensRotationCols(cs[2 * k], cs[2 * k + 1], k, k + 1);
    Q.GivensRotationCols(cs[2 * k], cs[2 * k + 1], k, k + 1);
  }
}

void fastGivens(double& alpha, double& beta, unsigned long& type, double x1, double x2, double& d1, double& d2) {
  if (x2 == 0.0) {
    type = 2;
    alpha = 0.0;
    beta = 0.0;
    return;
  }
  alpha = -x1 / x2;
  beta = -alpha * d2 / d1;
  double gamma = -alpha * beta;
  if (gamma <= 1.0) {
    type = 1;
    const double t = d1;
    d1 = (1.0 + gamma) * d2;
    d2 = (1.0 + gamma) * t;
  } else {
    type = 2;
    alpha = 1.0 / alpha;
    beta = 1.0 / beta;
    gamma = 1.0 / gamma;
    d1 = (1.0 + gamma) * d1;
    d2 = (1.0 + gamma) * d2;
  }
}

void Matrix::QRdecompositionFastGivens(Matrix& Q) {
  const ZtSize m = rows;
  Q.isIdentity();
  Array scaling = allocArray(m);
  double* d = scaling.get();
  for (ZtSize i = 0; i < m; ++i) d[i] = 1.0;
  for (ZtSize j = 0; j < cols; ++j)
    for (ZtSize i = m; i-- > j + 1;) {
      double alpha = 0.0, beta = 0.0;
      unsigned long type = 0;
      fastGivens(alpha, beta, type, (*this)(i - 1, j), (*this)(i, j), d[i - 1], d[i]);
      const double t[4] = {type == 1 ? beta : 1.0, type == 1 ? 1.0 : beta, type == 1 ? 1.0 : alpha,
                           type == 1 ? alpha : 1.0};
      double ti[4] = {t[0], t[1], t[2], t[3]};
      Matrix inverse(2, 2, 2, ti, 0);
      inverse.isInverseSelf();
      double* r1 = rowPtr(i - 1);
      double* r2 = rowPtr(i);
      for (ZtSize c = j; c < cols; ++c) {
        const double x1 = r1[c];
        const double x2 = r2[c];
        r1[c] = x1 * t[0] + x2 * t[1];
        r2[c] = x1 * t[2] + x2 * t[3];
      }
      for (ZtSize r = 0; r < Q.rows; ++r) {
        const double q1 = Q(r, i - 1);
        const double q2 = Q(r, i);
        Q(r, i - 1) = q1 * ti[0] + q2 * ti[2];
        Q(r, i) = q1 * ti[1] + q2 * ti[3];
      }
    }
  for (ZtSize k = 0; k < m; ++k) {
    const double root = std::sqrt(d[k]);
    for (ZtSize r = 0; r < Q.rows; ++r) Q(r, k) *= root;
    const double inv = 1.0 / root;
    double* row = rowPtr(k);
    for (ZtSize c = 0; c < cols; ++c) row[c] *= inv;
  }
}

// ---------------------------------------------------------------------------------------------
// Cholesky

void Matrix::Cholesky() {
  const ZtSize m = rows;
  for (ZtSize k = 0; k < m; ++k) {
    // A NaN pivot passes this test and spreads through the rest of the factor.
    if ((*this)(k, k) <= 0.0)
      throwMathError("void zelto::Matrix::Cholesky()", "matrix not symmetric positive-definite");
    const double pivot = std::sqrt((*this)(k, k));
    (*this)(k, k) = pivot;
    const double inv = 1.0 / pivot;
    for (ZtSize r = k + 1; r < m; ++r) (*this)(r, k) *= inv;
    for (ZtSize r = k + 1; r < m; ++r) {
      const double lrk = (*this)(r, k);
      double* row = rowPtr(r);
      for (ZtSize c = k + 1; c <= r; ++c) row[c] -= lrk * (*this)(c, k);
    }
  }
  for (ZtSize r = 0; r < m; ++r)
    for (ZtSize c = r + 1; c < cols; ++c) (*this)(r, c) = 0.0;
}

}  // namespace zelto
