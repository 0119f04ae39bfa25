// Inverses of zelto::Matrix (closed forms up to 3 x 3, Crout LU without pivoting above), the
// block inverse with a lower-right identity, the diagonal inverse and the in-place transpose.
// All of them honour the stride of views.
#include <algorithm>
#include <cmath>

#include "math/Matrix.h"

namespace zelto {

namespace {

const char kInverseSelfSignature[] = "void zelto::Matrix::isInverseSelf()";
const char kInverseCheckedSignature[] = "void zelto::Matrix::isInverseSelfChecked()";
const char kSingular[] = "matrix is singular";
const char kNearZero[] = "determinant near 0.";

// Element (r, c) of a 3 x 3 read through its stride.
inline double at(const ZtMatrix& m, ZtSize r, ZtSize c) { return m.data[r * m.stride + c]; }

// this = adjugate(A) / det, every element of a read before the first write (a may be m).
// Throws through signature/message when failed(det).
template <typename Failed>
void inverse3x3(Matrix& m, const ZtMatrix& a, const char* signature, const char* message, Failed failed) {
  const double a00 = at(a, 0, 0), a01 = at(a, 0, 1), a02 = at(a, 0, 2);
  const double a10 = at(a, 1, 0), a11 = at(a, 1, 1), a12 = at(a, 1, 2);
  const double a20 = at(a, 2, 0), a21 = at(a, 2, 1), a22 = at(a, 2, 2);
  const double c00 = a11 * a22 - a12 * a21;
  const double c01 = a12 * a20 - a10 * a22;
  const double c02 = a10 * a21 - a11 * a20;
  const double det = a00 * c00 + a01 * c01 + a02 * c02;
  if (failed(det)) throwMathError(signature, message);
  const double r = 1.0 / det;
  m(0, 0) = c00 * r;
  m(0, 1) = (a02 * a21 - a01 * a22) * r;
  m(0, 2) = (a01 * a12 - a02 * a11) * r;
  m(1, 0) = c01 * r;
  m(1, 1) = (a00 * a22 - a02 * a20) * r;
  m(1, 2) = (a02 * a10 - a00 * a12) * r;
  m(2, 0) = c02 * r;
  m(2, 1) = (a01 * a20 - a00 * a21) * r;
  m(2, 2) = (a00 * a11 - a01 * a10) * r;
}

// 2 x 2 closed form; throws when failed(det), leaving m unchanged.
template <typename Failed>
void inverse2x2(Matrix& m, const char* signature, const char* message, Failed failed) {
  const double a00 = m(0, 0), a01 = m(0, 1), a10 = m(1, 0), a11 = m(1, 1);
  const double det = a00 * a11 - a01 * a10;
  if (failed(det)) throwMathError(signature, message);
  const double r = 1.0 / det;
  m(0, 0) = a11 * r;
  m(1, 1) = a00 * r;
  m(0, 1) = -a01 * r;
  m(1, 0) = -a10 * r;
}

// In-place inverse for N >= 4: Crout LU without pivoting (L in the lower triangle with its
// diagonal, unit U above), then L^-1 and U^-1 in place and their product U^-1 L^-1. Every
// pivot of L is tested for an exact zero before it divides anything.
void inverseCrout(Matrix& a, const char* signature, const char* message) {
  const ZtSize n = a.rows;
  if (a(0, 0) == 0.0) throwMathError(signature, message);
  for (ZtSize c = 1; c < n; ++c) a(0, c) /= a(0, 0);
  for (ZtSize i = 1; i < n; ++i) {
    for (ZtSize r = i; r < n; ++r) {
      double s = 0.0;
      for (ZtSize t = 0; t < i; ++t) s += a(r, t) * a(t, i);
      a(r, i) -= s;
    }
    if (a(i, i) == 0.0) throwMathError(signature, message);
    if (i + 1 < n)
      for (ZtSize c = i + 1; c < n; ++c) {
        double s = 0.0;
        for (ZtSize t = 0; t < i; ++t) s += a(i, t) * a(t, c);
        a(i, c) = (a(i, c) - s) / a(i, i);
      }
  }
  // L^-1, column by column: rows r > i still hold L, column i above r already the inverse.
  for (ZtSize i = 0; i < n; ++i)
    for (ZtSize r = i; r < n; ++r) {
      double x = 1.0;
      if (r != i) {
        double s = 0.0;
        for (ZtSize t = i; t < r; ++t) s += a(r, t) * a(t, i);
        x = -s;
      }
      a(r, i) = x / a(r, r);
    }
  // U^-1, row by row: row i left of c already the inverse, rows below still U.
  for (ZtSize i = 0; i < n; ++i)
    for (ZtSize c = i + 1; c < n; ++c) {
      double s = 0.0;
      for (ZtSize t = i + 1; t < c; ++t) s += a(i, t) * a(t, c);
      a(i, c) = -(a(i, c) + s);
    }
  // U^-1 L^-1 in place: element (r, c) needs u(r, t) for t >= r and l(t, c) for t >= max(r, c);
  // walking each column top-down overwrites l(r, c) only after the rows above no longer need it
  // and u(r, t) (t > r, above the diagonal) only in columns t that no later column reads.
  for (ZtSize c = 0; c < n; ++c)
    for (ZtSize r = 0; r < n; ++r) {
      const ZtSize t0 = std::max(r, c);
      double s = (t0 == r ? 1.0 : a(r, t0)) * a(t0, c);
      for (ZtSize t = t0 + 1; t < n; ++t) s += a(r, t) * a(t, c);
      a(r, c) = s;
    }
}

}  // namespace

void Matrix::isInverseOf3x3(const ZtMatrix& a) {
  inverse3x3(*this, a, "void zelto::Matrix::isInverseOf3x3(const ZtMatrix&)", kSingular,
             [](double det) { return det == 0.0; });
}

void Matrix::isInverseSelf() {
  const ZtSize n = rows;
  if (n == 0) return;
  if (n == 1) {
    if (data[0] == 0.0) throwMathError(kInverseSelfSignature, kSingular);
    data[0] = 1.0 / data[0];
    return;
  }
  if (n == 2) {
    inverse2x2(*this, kInverseSelfSignature, kSingular, [](double det) { return det == 0.0; });
    return;
  }
  if (n == 3) {
    isInverseOf3x3(*this);
    return;
  }
  inverseCrout(*this, kInverseSelfSignature, kSingular);
}

void Matrix::isInverseOf(const ZtMatrix& a) {
  *this = a;
  isInverseSelf();
}

void Matrix::isInverseSelfChecked() {
  const ZtSize n = rows;
  if (n == 0) return;
  auto nearZero = [](double det) { return std::fabs(det) < 1e-16; };
  if (n == 1) {
    if (data[0] == 0.0) throwMathError(kInverseCheckedSignature, kNearZero);
    data[0] = 1.0 / data[0];
    return;
  }
  if (n == 2) {
    inverse2x2(*this, kInverseCheckedSignature, kNearZero, nearZero);
    return;
  }
  if (n == 3) {
    inverse3x3(*this, *this, kInverseCheckedSignature, kNearZero, nearZero);
    return;
  }
  inverseCrout(*this, kInverseCheckedSignature, kNearZero);
}

void Matrix::isInverseOfWithLRIdentity(const ZtMatrix& a, ZtSize k) {
  if (&a != this) *this = a;
  k = std::min(k, rows);
  if (k == 0) {
    isInverseSelfChecked();
    return;
  }
  const ZtSize m = rows;
  const ZtSize p = m - k;
  // Blocks [P B; E D] of this; D is never read (taken as the identity).
  Matrix P(p, p, stride, data, 0);
  Matrix B(p, k, stride, data + p, 0);
  Matrix E(k, p, stride, data + p * stride, 0);
  Matrix D(k, k, stride, data + p * stride + p, 0);
  Matrix S(p, p);
  S.isMatMulMat(B, E);
  S.isMatSubMat(P, S);
  S.isInverseSelfChecked();
  Matrix T(p, k);
  T.isMatMulMat(S, B);
  P.setSubMatrix(S, 0, 0, p, p, 0, 0);
  D.isMatMulMat(E, T);
  for (ZtSize i = 0; i < k; ++i) D(i, i) += 1.0;
  B.isScaMulMat(-1.0, T);
  E.isTransposeOf(B);
}

void Matrix::isInverseDiagonal(const ZtMatrix& d) {
  for (ZtSize i = 0; i < rows; ++i) {
    const double x = d.data[i * d.stride + i];
    if (x == 0.0) throwMathError("void zelto::Matrix::isInverseDiagonal(const ZtMatrix&)", kSingular);
    (*this)(i, i) = 1.0 / x;
  }
}

void Matrix::isTransposeSelf() {
  if (rows == cols) {
    for (ZtSize r = 0; r < rows; ++r)
      for (ZtSize c = r + 1; c < cols; ++c) std::swap((*this)(r, c), (*this)(c, r));
    return;
  }
  if (rows == 0 || cols == 0) {
    std::swap(rows, cols);
    return;
  }
  if (data != nullptr && (flags & kOwnedStorage) == 0)
    throwMathError("void zelto::Matrix::isTransposeSelf()", "Resizing of this object is not allowed");
  Matrix t(cols, rows);
  for (ZtSize r = 0; r < rows; ++r)
    for (ZtSize c = 0; c < cols; ++c) t.data[ZtMatrix_offset(&t, c, r)] = data[ZtMatrix_offset(this, r, c)];
  ZtMatrix_swap(this, &t);
}

}  // namespace zelto
