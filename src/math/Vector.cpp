#include "math/Vector.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <ostream>

#include "math/Matrix.h"
#include "math/Quaternion.h"
#include "math/Vector3.h"

namespace zelto {

Vector::Vector() : ZtVector{nullptr, 0, 0} {}

namespace {

// The companion library leaves a record empty (or unchanged) when it cannot allocate; callers
// size their loops by what they asked for, so that must not pass silently.
void constructOwned(ZtVector* v, ZtSize n, const double* src) {
  if (n == 0) return;
  ZtVector_construct(v, n, src);
  if (v->data == nullptr) throw std::bad_alloc();
}

}  // namespace

Vector::Vector(ZtSize n) : ZtVector{nullptr, 0, 0} { constructOwned(this, n, nullptr); }

Vector::Vector(ZtSize n, const double* src) : ZtVector{nullptr, 0, 0} { constructOwned(this, n, src); }

Vector::Vector(ZtSize n, double* viewData, ZtDataFlags viewFlags) : ZtVector{viewData, n, viewFlags} {}

Vector::Vector(const ZtVector& other) : ZtVector{nullptr, 0, 0} {
  if (ZtVector_copy(this, &other) != 0) throw std::bad_alloc();
}

Vector::Vector(const Vector& other) : ZtVector{nullptr, 0, 0} {
  if (ZtVector_copy(this, &other) != 0) throw std::bad_alloc();
}

Vector::Vector(const ZtQuaternion& q) : ZtVector{nullptr, 0, 0} {
  const double items[4] = {q.w, q.x, q.y, q.z};
  constructOwned(this, 4, items);
}

Vector::~Vector() {
  if ((flags & kOwnedStorage) != 0) ZtVector_destruct(this);
}

Vector Vector::constructRange(double start, double step, double end) {
  const double count = (end - start) / step + 1.0 + 0.5;
  // A step pointing away from end (or a NaN) gives no items; converting such a count to an
  // unsigned size is undefined.
  if (!(count >= 1.0)) return Vector();
  if (!(count < 18446744073709551616.0)) throw std::bad_alloc();
  const ZtSize n = static_cast<ZtSize>(count);
  Vector v(n);
  for (ZtSize i = 0; i < n; ++i) v.data[i] = static_cast<double>(i) * step + start;
  return v;
}

Vector& Vector::operator=(const ZtVector& other) {
  if (&other == this || ZtVector_copy(this, &other) == 0) return *this;
  // Nothing was copied: a view too small for the source, or owned storage that could not grow.
  if (data != nullptr && (flags & kOwnedStorage) == 0)
    throwMathError("zelto::Vector& zelto::Vector::operator=(const ZtVector&)",
                   "Resizing of this object is not allowed");
  throw std::bad_alloc();
}

Vector& Vector::operator=(const Vector& other) { return *this = static_cast<const ZtVector&>(other); }

Vector& Vector::operator=(const ZtQuaternion& q) {
  data[0] = q.w;
  data[1] = q.x;
  data[2] = q.y;
  data[3] = q.z;
  return *this;
}

Vector& Vector::operator=(const double* src) {
  if (size != 0 && src != nullptr && data != nullptr) std::memmove(data, src, size * sizeof(double));
  return *this;
}

bool Vector::assignSize(ZtSize n) {
  if (data == nullptr) {
    if (n == 0) {
      size = 0;
      return true;
    }
    ZtVector_construct(this, n, nullptr);
    return data != nullptr;
  }
  return ZtVector_assign(this, n, nullptr) == 0;
}

void Vector::relocate(double* newData, ZtDataFlags newFlags) {
  if (newData == data) return;
  const ZtSize n = size;
  if (data != nullptr && (flags & kOwnedStorage) != 0) ZtVector_destruct(this);
  data = newData;
  size = n;
  flags = newFlags;
}

void Vector::setArray(double* dst) const {
  if (size != 0) std::memmove(dst, data, size * sizeof(double));
}

void Vector::changeSize(ZtSize n) {
  if (n == size) return;
  if (data != nullptr && (flags & kOwnedStorage) == 0)
    throwMathError("void zelto::Vector::changeSize(ZtSize)", "Resizing of this object is not allowed");
  // Growing leaves the new items as the companion library's construct left them.
  Vector grown(n, n <= size ? data : nullptr);
  if (n > size && size != 0) std::memcpy(grown.data, data, size * sizeof(double));
  ZtVector_swap(this, &grown);
}

void Vector::insertItems(ZtSize pos, ZtSize count, ZtReal value) {
  if (count == 0) return;
  if ((flags & kOwnedStorage) == 0)
    throwMathError("void zelto::Vector::insertItems(ZtSize, ZtSize, ZtReal)",
                   "Resizing of this object is not allowed");
  Vector grown(size + count);
  for (ZtSize i = 0; i < pos; ++i) grown.data[i] = data[i];
  for (ZtSize i = pos; i < pos + count; ++i) grown.data[i] = value;
  for (ZtSize i = pos; i < size; ++i) grown.data[i + count] = data[i];
  ZtVector_swap(this, &grown);
}

bool Vector::isValid(double maxAbs) const {
  for (ZtSize i = 0; i < size; ++i) {
    const double x = data[i];
    if (!ZtMath_isFinite(x)) return false;
    if (maxAbs > 0.0 && (x < -maxAbs || x > maxAbs)) return false;
  }
  return true;
}

bool Vector::operator==(const ZtVector& other) const {
  if (size != other.size || size == 0) return false;
  for (ZtSize i = 0; i < size; ++i)
    if (!fuzzyCompare(data[i], other.data[i])) return false;
  return true;
}

bool Vector::compare(const ZtVector& other, double tolerance) const {
  if (size != other.size || size == 0) return false;
  for (ZtSize i = 0; i < size; ++i)
    if (!fuzzyCompare(data[i], other.data[i], tolerance)) return false;
  return true;
}

bool Vector::compare(const ZtVector& other, uint64_t maxUlps) const {
  if (size != other.size || size == 0) return false;
  for (ZtSize i = 0; i < size; ++i)
    if (!ulpCompare(data[i], other.data[i], maxUlps)) return false;
  return true;
}

int Vector::writeToString(char* buffer) const {
  if (buffer == nullptr) {
    int total = std::snprintf(nullptr, 0, "%d: ", static_cast<int>(size));
    for (ZtSize i = 0; i < size; ++i) total += std::snprintf(nullptr, 0, "%.16g ", data[i]);
    return total;
  }
  int total = std::sprintf(buffer, "%d: ", static_cast<int>(size));
  for (ZtSize i = 0; i < size; ++i) total += std::sprintf(buffer + total, "%.16g ", data[i]);
  return total;
}

int Vector::writeToString(std::string& s) const {
  char item[64];
  const size_t before = s.size();
  std::snprintf(item, sizeof item, "%d: ", static_cast<int>(size));
  s += item;
  for (ZtSize i = 0; i < size; ++i) {
    std::snprintf(item, sizeof item, "%.16g ", data[i]);
    s += item;
  }
  return static_cast<int>(s.size() - before);
}

int Vector::readFromString(const char* text) {
  size_t pos = 0;
  int n = 0;
  if (!parseTextInt(text, &pos, &n) || text[pos] != ':') return 0;
  ++pos;
  // Settings files are user-editable text: a negative size, or one larger than the rest of the
  // text could hold (each item takes at least one character), is rejected before resizing.
  if (n < 0 || static_cast<size_t>(n) > std::strlen(text + pos)) return 0;
  if (!assignSize(static_cast<ZtSize>(n))) return 0;
  for (ZtSize i = 0; i < size; ++i)
    if (!parseTextDouble(text, &pos, &data[i])) return 0;
  return static_cast<int>(pos);
}

int Vector::readFromString(const std::string& text) { return readFromString(text.c_str()); }

int Vector::serialize(char* buffer) const {
  if (buffer != nullptr) {
    const uint32_t n = static_cast<uint32_t>(size);
    std::memcpy(buffer, &n, 4);
    if (size != 0) std::memcpy(buffer + 4, data, 8 * size);
  }
  return static_cast<int>(4 + 8 * size);
}

int Vector::deserialize(const char* buffer) { return deserialize(buffer, SIZE_MAX); }

int Vector::deserialize(const char* buffer, size_t length) {
  if (length < 4) return 0;
  uint32_t n;
  std::memcpy(&n, buffer, 4);
  if ((length - 4) / 8 < n) return 0;
  if (!assignSize(n)) return 0;
  if (n != 0) std::memcpy(data, buffer + 4, 8 * static_cast<size_t>(n));
  return static_cast<int>(4 + 8 * static_cast<size_t>(n));
}

void Vector::display(char* buffer) const {
  int at = std::sprintf(buffer, "Vector %d: [ ", static_cast<int>(size));
  for (ZtSize i = 0; i < size; ++i) at += std::sprintf(buffer + at, "%.7g ", data[i]);
  std::sprintf(buffer + at, "]\n");
}

void Vector::saveAsMatlab(const char* fileName, const char* variableName) const {
  const ZtMatrix row{data, 1, size, size, 0};
  saveAsMatlabFile(fileName, variableName, row);
}

// ---------------------------------------------------------------------------------------------
// Element-wise

#define ZDA_FOR_EACH_ITEM for (ZtSize i = 0; i < size; ++i)

void Vector::isVecAddVec(const ZtVector& a, const ZtVector& b) { ZDA_FOR_EACH_ITEM data[i] = a.data[i] + b.data[i]; }

void Vector::isVecSubVec(const ZtVector& a, const ZtVector& b) { ZDA_FOR_EACH_ITEM data[i] = a.data[i] - b.data[i]; }

void Vector::isVecAddVecAddVec(const ZtVector& a, const ZtVector& b, const ZtVector& c) {
  ZDA_FOR_EACH_ITEM data[i] = a.data[i] + b.data[i] + c.data[i];
}

void Vector::isVecAddVecSubVec(const ZtVector& a, const ZtVector& b, const ZtVector& c) {
  ZDA_FOR_EACH_ITEM data[i] = a.data[i] + b.data[i] - c.data[i];
}

void Vector::isScaMulVec(double s, const ZtVector& a) { ZDA_FOR_EACH_ITEM data[i] = a.data[i] * s; }

void Vector::isScaDivVec(double s, const ZtVector& a) { ZDA_FOR_EACH_ITEM data[i] = s / a.data[i]; }

void Vector::isVecAddScaMulVec(const ZtVector& a, double s, const ZtVector& b) {
  ZDA_FOR_EACH_ITEM data[i] = b.data[i] * s + a.data[i];
}

void Vector::isScaMulVecAddScaMulVec(double s1, const ZtVector& a, double s2, const ZtVector& b) {
  ZDA_FOR_EACH_ITEM data[i] = a.data[i] * s1 + b.data[i] * s2;
}

void Vector::isVecEMulVec(const ZtVector& a, const ZtVector& b) { ZDA_FOR_EACH_ITEM data[i] = a.data[i] * b.data[i]; }

void Vector::isVecEDivVec(const ZtVector& a, const ZtVector& b) { ZDA_FOR_EACH_ITEM data[i] = a.data[i] / b.data[i]; }

void Vector::isNegVec(const ZtVector& a) { ZDA_FOR_EACH_ITEM data[i] = -a.data[i]; }

void Vector::isAbs(const ZtVector& a) { ZDA_FOR_EACH_ITEM data[i] = std::fabs(a.data[i]); }

void Vector::isSqrt(const ZtVector& a) { ZDA_FOR_EACH_ITEM data[i] = std::sqrt(a.data[i]); }

void Vector::isInterpolate(double t, const ZtVector& a, const ZtVector& b) {
  ZDA_FOR_EACH_ITEM data[i] = a.data[i] * t + b.data[i] * (1.0 - t);
}

void Vector::isMax(const ZtVector& a, const ZtVector& b) {
  ZDA_FOR_EACH_ITEM data[i] = a.data[i] > b.data[i] ? a.data[i] : b.data[i];
}

void Vector::isMin(const ZtVector& a, const ZtVector& b) {
  ZDA_FOR_EACH_ITEM data[i] = a.data[i] < b.data[i] ? a.data[i] : b.data[i];
}

void Vector::isClamped(const ZtVector& v, const ZtVector& lo, const ZtVector& hi) {
  ZDA_FOR_EACH_ITEM data[i] = std::max(std::min(v.data[i], hi.data[i]), lo.data[i]);
}

void Vector::isClamped(const ZtVector& v, double lo, double hi) {
  ZDA_FOR_EACH_ITEM data[i] = std::max(std::min(v.data[i], hi), lo);
}

void Vector::isPermutation(const ZtVector& v, const ZtVector& index) {
  ZDA_FOR_EACH_ITEM data[i] = v.data[static_cast<ZtSize>(index.data[i])];
}

void Vector::isInversePermutation(const ZtVector& index) {
  ZDA_FOR_EACH_ITEM data[static_cast<ZtSize>(index.data[i])] = static_cast<double>(i);
}

void Vector::isZero() {
  if (size != 0) std::memset(data, 0, size * sizeof(double));
}

void Vector::isSubZero(ZtSize start, ZtSize count) {
  if (count != 0) std::memset(data + start, 0, count * sizeof(double));
}

void Vector::setSubVector(const ZtVector& src, ZtSize dstStart, ZtSize count, ZtSize srcStart) {
  for (ZtSize k = 0; k < count; ++k) data[dstStart + k] = src.data[srcStart + k];
}

void Vector::setSubVector(const double* src, ZtSize dstStart, ZtSize count, ZtSize srcStride) {
  for (ZtSize k = 0; k < count; ++k) data[dstStart + k] = src[k * srcStride];
}

void Vector::swapItems(ZtSize i, ZtSize j, ZtSize count) {
  for (ZtSize k = 0; k < count; ++k) std::swap(data[i + k], data[j + k]);
}

void Vector::isVecCrossVec(const ZtVector& a, const ZtVector& b) {
  const double* p = a.data;
  const double* q = b.data;
  data[2] = p[0] * q[1] - p[1] * q[0];
  data[1] = p[2] * q[0] - p[0] * q[2];
  data[0] = p[1] * q[2] - p[2] * q[1];
}

#undef ZDA_FOR_EACH_ITEM

// ---------------------------------------------------------------------------------------------
// Matrix-vector

namespace {

inline double el(const ZtMatrix& m, ZtSize r, ZtSize c) { return m.data[r * m.stride + c]; }

// Row r of m times v, summed from the first term.
inline double rowDot(const ZtMatrix& m, ZtSize r, const ZtVector& v) {
  const double* row = m.data + r * m.stride;
  if (m.cols == 0) return 0.0;
  double s = row[0] * v.data[0];
  for (ZtSize c = 1; c < m.cols; ++c) s += row[c] * v.data[c];
  return s;
}

}  // namespace

void Vector::isMatMulVec(const ZtMatrix& m, const ZtVector& v) {
  for (ZtSize r = 0; r < m.rows; ++r) data[r] = rowDot(m, r, v);
}

void Vector::isMatMulVecMulSca(const ZtMatrix& m, const ZtVector& v, double s) {
  for (ZtSize r = 0; r < size; ++r) data[r] = rowDot(m, r, v) * s;
}

void Vector::isMatMulVecAddVecMulSca(const ZtMatrix& m, const ZtVector& v, const ZtVector& w, double s) {
  for (ZtSize r = 0; r < size; ++r) data[r] = (rowDot(m, r, v) + w.data[r]) * s;
}

void Vector::isScaMulMatMulVecAddVec(double s, const ZtMatrix& m, const ZtVector& v, const ZtVector& w) {
  for (ZtSize r = 0; r < size; ++r) data[r] = rowDot(m, r, v) * s + w.data[r];
}

void Vector::isSelfAddScaMulMatMulVec(double s, const ZtMatrix& m, const ZtVector& v) {
  for (ZtSize r = 0; r < m.rows; ++r)
    for (ZtSize c = 0; c < m.cols; ++c) data[r] += v.data[c] * el(m, r, c) * s;
}

void Vector::isTransMatMulVec(const ZtMatrix& m, const ZtVector& v) {
  for (ZtSize c = 0; c < m.cols; ++c) {
    double s = 0.0;
    for (ZtSize r = 0; r < m.rows; ++r) s += el(m, r, c) * v.data[r];
    data[c] = s;
  }
}

void Vector::isVecMulMat(const ZtVector& v, const ZtMatrix& m) {
  for (ZtSize c = 0; c < size; ++c) data[c] = v.data[0] * el(m, 0, c);
  for (ZtSize r = 1; r < m.rows; ++r)
    for (ZtSize c = 0; c < size; ++c) data[c] += v.data[r] * el(m, r, c);
}

void Vector::isMatTriLMulVec(const ZtMatrix& m, const ZtVector& v) {
  // Rows in pairs, so that their sums (each from 0.0 in column order) run side by side.
  const double* x = v.data;
  ZtSize r = 0;
  for (; r + 2 <= m.rows; r += 2) {
    const double* a0 = m.data + r * m.stride;
    const double* a1 = a0 + m.stride;
    const ZtSize n0 = std::min(r + 1, m.cols), n1 = std::min(r + 2, m.cols);
    double s0 = 0.0, s1 = 0.0;
    ZtSize c = 0;
    for (; c < n0; ++c) {
      s0 += a0[c] * x[c];
      s1 += a1[c] * x[c];
    }
    for (; c < n1; ++c) s1 += a1[c] * x[c];
    data[r] = s0;
    data[r + 1] = s1;
  }
  for (; r < m.rows; ++r) {
    double s = 0.0;
    for (ZtSize c = 0; c <= r && c < m.cols; ++c) s += el(m, r, c) * x[c];
    data[r] = s;
  }
}

void Vector::isDiagMatMulMat(const ZtMatrix& a, const ZtMatrix& b) {
  for (ZtSize i = 0; i < size; ++i) {
    double s = 0.0;
    for (ZtSize k = 0; k < a.cols; ++k) s += el(a, i, k) * el(b, k, i);
    data[i] = s;
  }
}

void Vector::isDiagMatMulTransMat(const ZtMatrix& a, const ZtMatrix& b) {
  for (ZtSize i = 0; i < size; ++i) {
    double s = 0.0;
    for (ZtSize k = 0; k < a.cols; ++k) s += el(a, i, k) * el(b, i, k);
    data[i] = s;
  }
}

void Vector::isMatCol(const ZtMatrix& m, ZtSize c) {
  for (ZtSize r = 0; r < size; ++r) data[r] = el(m, r, c);
}

void Vector::isMatRow(const ZtMatrix& m, ZtSize r) {
  if (size != 0) std::memmove(data, m.data + r * m.stride, size * sizeof(double));
}

void Vector::isDiag(const ZtMatrix& m) {
  for (ZtSize i = 0; i < size; ++i) data[i] = el(m, i, i);
}

void Vector::isSumSquaresMat(const ZtMatrix& m, int dim, ZtSize index, ZtSize count) {
  if (dim == 1) {
    if (count == 0) count = m.cols > index ? m.cols - index : 0;
    for (ZtSize k = 0; k < count; ++k) {
      double s = 0.0;
      for (ZtSize r = 0; r < m.rows; ++r) s += el(m, r, index + k) * el(m, r, index + k);
      data[k] = s;
    }
  } else {
    if (count == 0) count = m.rows > index ? m.rows - index : 0;
    for (ZtSize k = 0; k < count; ++k) {
      double s = 0.0;
      for (ZtSize c = 0; c < m.cols; ++c) s += el(m, index + k, c) * el(m, index + k, c);
      data[k] = s;
    }
  }
}

void Vector::isNormOfRows(const ZtMatrix& m) {
  Vector row(m.cols);
  for (ZtSize r = 0; r < m.rows; ++r) {
    row = m.data + r * m.stride;
    double s = 0.0;
    for (ZtSize c = 0; c < m.cols; ++c) s += row.data[c] * row.data[c];
    data[r] = std::sqrt(s);
  }
}

void Vector::isRotateVecByQuat(const ZtVector& v, const ZtQuaternion& q) {
  Quaternion inverse;
  inverse.isInverseOf(q);
  Quaternion p(0.0, v.data[0], v.data[1], v.data[2]);
  p.isQuatMulQuat(p, inverse);
  p.isQuatMulQuat(q, p);
  data[0] = p.x;
  data[1] = p.y;
  data[2] = p.z;
}

// ---------------------------------------------------------------------------------------------
// Solves

void Vector::isLeftDivideTriL(const ZtMatrix& l, const ZtVector& b) {
  for (ZtSize i = 0; i < size; ++i) {
    if (i == 0) {
      data[0] = b.data[0] / el(l, 0, 0);
      continue;
    }
    double s = el(l, i, 0) * data[0];
    for (ZtSize j = 1; j < i; ++j) s += el(l, i, j) * data[j];
    data[i] = (b.data[i] - s) / el(l, i, i);
  }
}

void Vector::isLeftDivideTriU(const ZtMatrix& u, const ZtVector& b) {
  const ZtSize n = std::min(u.rows, u.cols);
  if (n == 0) return;
  // T is the n x n block of rows 0..n-1 and the last n columns; x goes to the last n items.
  const ZtSize colOffset = u.cols - n;
  double* x = data + (size - n);
  auto T = [&](ZtSize i, ZtSize j) { return el(u, i, colOffset + j); };
  x[n - 1] = b.data[n - 1] / T(n - 1, n - 1);
  for (ZtSize i = n - 1; i-- > 0;) {
    double s = T(i, i + 1) * x[i + 1];
    for (ZtSize j = i + 2; j < n; ++j) s += T(i, j) * x[j];
    x[i] = (b.data[i] - s) / T(i, i);
  }
}

void Vector::isLeftDivideDiag(const ZtMatrix& d, const ZtVector& b) {
  for (ZtSize i = 0; i < size; ++i) data[i] = b.data[i] / el(d, i, i);
}

void Vector::isSolveQR(const ZtVector& b, Matrix& A) {
  Matrix y(b.size, 1, b.data);
  A.QtCRdecomposition(y);
  const Vector qtb(b.size, y.data);
  isLeftDivideTriU(A, qtb);
}

void Vector::isSolveCholesky(const ZtVector& b, Matrix& A) {
  A.Cholesky();
  Vector y(b.size);
  y.isLeftDivideTriL(A, b);
  A.isTransposeSelf();
  isLeftDivideTriU(A, y);
}

bool Vector::isSolve_y_is_M_x(const ZtVector& y, const ZtMatrix& m) {
  Matrix a(m.rows, m.cols + 1);
  a.setSubMatrix(m, 0, 0, m.rows, m.cols, 0, 0);
  a.setCol(y, m.cols);
  for (ZtSize c = 0; c < m.cols; ++c) {
    if (c >= m.rows) return false;
    if (std::fabs(a(c, c)) < 1e-16) {
      ZtSize r = c + 1;
      while (r < m.rows && std::fabs(a(r, c)) < 1e-16) ++r;
      if (r == m.rows) return false;
      a.swapRows(r, c, 1, 0);
    }
    for (ZtSize r = 0; r < m.rows; ++r)
      if (r != c) a.rowAddScaMulRow(r, -a(r, c) / a(c, c), c);
  }
  for (ZtSize i = 0; i < size; ++i) data[i] = a(i, m.cols) / a(i, i);
  return true;
}

// ---------------------------------------------------------------------------------------------
// Norms and reductions

namespace {

// Euclidean length scaled by the largest magnitude so that neither squares overflow nor
// underflow; 0 when that magnitude is 0.
double scaledLength(const ZtVector& v) {
  double m = 0.0;
  for (ZtSize i = 0; i < v.size; ++i) m = std::max(m, std::fabs(v.data[i]));
  if (m == 0.0) return 0.0;
  const double s = 1.0 / m;
  double sum = 0.0;
  for (ZtSize i = 0; i < v.size; ++i) sum += (v.data[i] * s) * (v.data[i] * s);
  return std::sqrt(sum) * m;
}

}  // namespace

double Vector::l2Norm() const { return scaledLength(*this); }

double Vector::isNormalizeVecL2(const ZtVector& v) {
  const double length = scaledLength(v);
  if (length == 0.0) {
    isZero();
    return 0.0;
  }
  const double inv = 1.0 / length;
  for (ZtSize i = 0; i < size; ++i) data[i] = v.data[i] * inv;
  return length;
}

double Vector::isNormalizeVec(const ZtVector& v) {
  const double length = ZtVector_cartesianLength(&v);
  if (length < 1e-16) {
    isZero();
    return 0.0;
  }
  const double inv = 1.0 / length;
  for (ZtSize i = 0; i < size; ++i) data[i] = v.data[i] * inv;
  return length;
}

bool Vector::cartesianLengthLargerThan(double x) const { return ZtVector_dotProduct(this, this) > x * x; }

bool Vector::cartesianLengthLargerOrEqual(double x) const { return ZtVector_dotProduct(this, this) >= x * x; }

double Vector::dotProductOfSubVector(const ZtVector& other, ZtSize start, ZtSize count) const {
  double s = 0.0;
  for (ZtSize k = 0; k < count; ++k) s += data[start + k] * other.data[start + k];
  return s;
}

double Vector::angleWith(const ZtVector& other) const {
  const double dot = ZtVector_dotProduct(this, &other);
  return acosClamped(dot / (ZtVector_cartesianLength(&other) * ZtVector_cartesianLength(this)));
}

double Vector::minVal() const {
  if (size == 0) return 0.0;
  double m = data[0];
  for (ZtSize i = 1; i < size; ++i)
    if (data[i] < m) m = data[i];
  return m;
}

double Vector::maxVal() const {
  if (size == 0) return 0.0;
  double m = data[0];
  for (ZtSize i = 1; i < size; ++i)
    if (data[i] > m) m = data[i];
  return m;
}

double Vector::maxAbsVal(ZtSize* index) const {
  if (size == 0) return 0.0;
  double m = std::fabs(data[0]);
  ZtSize at = 0;
  for (ZtSize i = 1; i < size; ++i)
    if (std::fabs(data[i]) > m) {
      m = std::fabs(data[i]);
      at = i;
    }
  if (index != nullptr) *index = at;
  return m;
}

double Vector::sumVal() const {
  if (size == 0) return 0.0;
  double s = data[0];
  for (ZtSize i = 1; i < size; ++i) s += data[i];
  return s;
}

double Vector::avgVal() const { return size == 0 ? 0.0 : sumVal() / static_cast<double>(size); }

double Vector::unweightedAvgVal() const { return size == 0 ? 0.0 : (minVal() + maxVal()) * 0.5; }

// ---------------------------------------------------------------------------------------------
// Polynomials

double Vector::polyVal(double x) const {
  double r = data[0];
  for (ZtSize k = 1; k < size; ++k) r = r * x + data[k];
  return r;
}

double Vector::polyCauchyBound() const {
  double m = std::fabs(data[1]);
  for (ZtSize k = 2; k < size; ++k) m = std::max(m, std::fabs(data[k]));
  return m / std::fabs(data[0]) + 1.0;
}

void Vector::isPolyGrad(const ZtVector& p) {
  for (ZtSize i = 0; i < size; ++i) data[i] = static_cast<double>(size - i) * p.data[i];
}

bool Vector::polyRootFalsePosition(double& root, double a, double b) const {
  double fa = polyVal(a);
  double fb = polyVal(b);
  if (fa * fb > 0.0) return false;
  double previousWidth = b - a;
  for (;;) {
    double w = std::fabs(fa) / (std::fabs(fa) + std::fabs(fb));
    if (!(w > 0.005)) w = 0.005;
    else if (w > 1.0 - 0.005) w = 1.0 - 0.005;
    const double x = a + w * (b - a);
    const double fx = polyVal(x);
    if (fa * fx > 0.0) {
      a = x;
      fa = fx;
    } else {
      b = x;
      fb = fx;
    }
    // The interval only shrinks, so the width reaches a fixed point and the loop ends.
    const double width = b - a;
    if (width <= 0.0 || width == previousWidth || !(fa * fb < 0.0)) break;
    previousWidth = width;
  }
  root = std::fabs(fa) > std::fabs(fb) ? b : a;
  return true;
}

ZtSize Vector::polyRoot(Vector& roots, double lo, double hi) const {
  const ZtSize n = size;
  if (n < 2) return 0;
  if (n == 2) {
    roots.data[0] = -data[1] / data[0];
    return 1;
  }
  if (lo == 0.0 && hi == 0.0) {
    const double bound = polyCauchyBound();
    lo = -bound;
    hi = bound;
  }
  Vector derivative(n - 1);
  for (ZtSize i = 0; i < n - 1; ++i) derivative.data[i] = static_cast<double>(n - 1 - i) * data[i];
  Vector stationary(n - 2);
  const ZtSize k = derivative.polyRoot(stationary, lo, hi);
  ZtSize found = 0;
  for (ZtSize i = 0; i <= k; ++i) {
    const double a = i == 0 ? lo : stationary.data[i - 1];
    const double b = i < k ? stationary.data[i] : hi;
    double root = 0.0;
    if (polyRootFalsePosition(root, a, b)) roots.data[found++] = root;
  }
  return found;
}

void Vector::isPrincipalEigen(const ZtMatrix& m, double& eigenvalue) {
  const ZtSize n = m.rows;
  Vector x(n);
  Vector y(n);
  Vector previous(n);
  x.isZero();
  if (n != 0) x.data[0] = 1.0;
  int left = 20;
  bool lastPass = false;
  for (;;) {
    previous = x.data;
    y.isMatMulVec(m, x);
    const double length = ZtVector_cartesianLength(&y);
    if (length < 1e-16)
      isZero();
    else
      for (ZtSize i = 0; i < n; ++i) data[i] = y.data[i] / length;
    x = data;
    double d = 0.0;
    for (ZtSize i = 0; i < n; ++i) d += (previous.data[i] - x.data[i]) * (previous.data[i] - x.data[i]);
    if (lastPass) break;
    if (d < 1e-28 && left > 2)
      lastPass = true;
    else if (--left == 0)
      break;
  }
  y.isMatMulVec(m, *this);
  eigenvalue = ZtVector_cartesianLength(&y);
}

Vector3 toVector3(const int32_t values[3], int fractionBits) {
  const double scale = std::pow(2.0, fractionBits);
  return Vector3(values[0] / scale, values[1] / scale, values[2] / scale);
}

}  // namespace zelto

std::ostream& operator<<(std::ostream& os, const ZtVector& v) {
  os << "[" << v.size << "](";
  for (ZtSize i = 0; i < v.size; ++i) os << " " << v.data[i];
  return os << " )";
}
