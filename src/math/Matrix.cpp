#include "math/Matrix.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <new>
#include <ostream>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "errors/ZtException.h"
#include "math/MatMulMatTemplate.h"
#include "math/SparseInfo.h"
#include "math/Matrix3x3.h"
#include "math/Vector3.h"

namespace zelto {

// ---------------------------------------------------------------------------------------------
// Storage

Matrix::Matrix() : ZtMatrix{nullptr, 0, 0, 0, 0} {}

// The companion library leaves a record empty (or unchanged) when it cannot allocate; callers
// size their loops by what they asked for, so every such failure throws std::bad_alloc.
Matrix::Matrix(ZtSize r, ZtSize c) : ZtMatrix{nullptr, 0, 0, 0, 0} {
  if (r == 0 || c == 0) return;
  ZtMatrix_construct(this, r, c, c, nullptr);
  if (data == nullptr) throw std::bad_alloc();
}

Matrix::Matrix(ZtSize r, ZtSize c, const double* src) : ZtMatrix{nullptr, 0, 0, 0, 0} {
  if (r != 0 && c != 0 && !assignSize(r, c)) throw std::bad_alloc();
  if (data != nullptr && src != nullptr) std::memcpy(data, src, r * c * sizeof(double));
}

Matrix::Matrix(ZtSize r, ZtSize c, ZtSize s, double* viewData, ZtDataFlags viewFlags)
    : ZtMatrix{viewData, r, c, s, viewFlags} {}

Matrix::Matrix(const ZtMatrix& other) : ZtMatrix{nullptr, 0, 0, 0, 0} {
  if (ZtMatrix_copy(this, &other) != 0) throw std::bad_alloc();
}

Matrix::Matrix(const Matrix& other) : ZtMatrix{nullptr, 0, 0, 0, 0} {
  if (ZtMatrix_copy(this, &other) != 0) throw std::bad_alloc();
}

Matrix::~Matrix() {
  if ((flags & kOwnedStorage) != 0) ZtMatrix_destruct(this);
}

Matrix& Matrix::operator=(const ZtMatrix& other) {
  if (&other == this || ZtMatrix_copy(this, &other) == 0) return *this;
  // Nothing was copied: a view too small for the source, or owned storage that could not grow.
  if (data != nullptr && (flags & kOwnedStorage) == 0)
    throwMathError("zelto::Matrix& zelto::Matrix::operator=(const ZtMatrix&)",
                   "resizing of this object is not allowed");
  throw std::bad_alloc();
}

Matrix& Matrix::operator=(const Matrix& other) { return *this = static_cast<const ZtMatrix&>(other); }

bool Matrix::assignSize(ZtSize r, ZtSize c) {
  if (data == nullptr) {
    if (r == 0 || c == 0) {
      rows = r;
      cols = c;
      stride = c;
      return true;
    }
    ZtMatrix_construct(this, r, c, c, nullptr);
    return data != nullptr;
  }
  return ZtMatrix_assign(this, r, c, 0, nullptr) == 0;
}

void Matrix::setArray(double* dst) const {
  for (ZtSize r = 0; r < rows; ++r)
    for (ZtSize c = 0; c < cols; ++c) *dst++ = data[r * stride + c];
}

void Matrix::isArray(const double* src) {
  for (ZtSize r = 0; r < rows; ++r)
    for (ZtSize c = 0; c < cols; ++c) data[r * stride + c] = *src++;
}

Vector Matrix::row(ZtSize r) const { return Vector(cols, data + r * stride); }

Vector Matrix::col(ZtSize c) const {
  Vector v(rows);
  for (ZtSize r = 0; r < rows; ++r) v.data[r] = data[r * stride + c];
  return v;
}

void Matrix::changeSize(ZtSize newRows, ZtSize newCols) {
  if (newRows == rows && newCols == cols) return;
  if (data == nullptr) {
    if (!assignSize(newRows, newCols)) throw std::bad_alloc();
    return;
  }
  if ((flags & kOwnedStorage) == 0)
    throwMathError("void zelto::Matrix::changeSize(ZtSize, ZtSize)", "resizing of this object is not allowed");
  if (rows == 0 || cols == 0) {
    if (ZtMatrix_assign(this, newRows, newCols, newCols, nullptr) != 0) throw std::bad_alloc();
    return;
  }
  Matrix m(newRows, newCols);
  if (m.data != nullptr) {
    if (newRows > rows || newCols > cols) m.isZero();
    const ZtSize nr = std::min(rows, newRows);
    const ZtSize nc = std::min(cols, newCols);
    for (ZtSize r = 0; r < nr; ++r)
      for (ZtSize c = 0; c < nc; ++c) m.data[ZtMatrix_offset(&m, r, c)] = data[ZtMatrix_offset(this, r, c)];
  }
  ZtMatrix_swap(this, &m);
}

void Matrix::insertRows(ZtSize pos, ZtSize count, ZtReal value) {
  if (data != nullptr && (flags & kOwnedStorage) == 0)
    throwMathError("void zelto::Matrix::insertRows(ZtSize, ZtSize, ZtReal)", "resizing of this object is not allowed");
  const ZtSize oldRows = rows;
  changeSize(oldRows + count, cols);
  if (oldRows > pos)
    for (ZtSize k = 1; k <= oldRows - pos; ++k)
      std::memmove(rowPtr(oldRows - k + count), rowPtr(oldRows - k), cols * sizeof(double));
  for (ZtSize r = pos; r < pos + count; ++r) setRow(value, r);
}

void Matrix::insertCols(ZtSize pos, ZtSize count, ZtReal value) {
  if (data != nullptr && (flags & kOwnedStorage) == 0)
    throwMathError("void zelto::Matrix::insertCols(ZtSize, ZtSize, ZtReal)", "resizing of this object is not allowed");
  const ZtSize oldCols = cols;
  changeSize(rows, oldCols + count);
  if (oldCols > pos)
    for (ZtSize k = 1; k <= oldCols - pos; ++k)
      for (ZtSize r = 0; r < rows; ++r) (*this)(r, oldCols - k + count) = (*this)(r, oldCols - k);
  for (ZtSize c = pos; c < pos + count; ++c) setCol(value, c);
}

bool Matrix::isValid(double maxAbs) const {
  for (ZtSize r = 0; r < rows; ++r)
    for (ZtSize c = 0; c < cols; ++c) {
      const double x = (*this)(r, c);
      if (!ZtMath_isFinite(x)) return false;
      if (maxAbs > 0.0 && (x < -maxAbs || x > maxAbs)) return false;
    }
  return true;
}

bool Matrix::operator==(const ZtMatrix& o) const {
  if (rows != o.rows || cols != o.cols || rows == 0 || cols == 0) return false;
  for (ZtSize r = 0; r < rows; ++r)
    for (ZtSize c = 0; c < cols; ++c)
      if (!fuzzyCompare((*this)(r, c), o.data[r * o.stride + c])) return false;
  return true;
}

bool Matrix::compare(const ZtMatrix& o, double tolerance) const {
  if (rows != o.rows || cols != o.cols || rows == 0 || cols == 0) return false;
  for (ZtSize r = 0; r < rows; ++r)
    for (ZtSize c = 0; c < cols; ++c)
      if (!fuzzyCompare((*this)(r, c), o.data[r * o.stride + c], tolerance)) return false;
  return true;
}

bool Matrix::compare(const ZtMatrix& o, uint64_t ulpsDiagonal, uint64_t ulpsOffDiagonal) const {
  if (rows != o.rows || cols != o.cols || rows == 0 || cols == 0) return false;
  if (ulpsOffDiagonal == 0) ulpsOffDiagonal = ulpsDiagonal;
  for (ZtSize r = 0; r < rows; ++r)
    for (ZtSize c = 0; c < cols; ++c)
      if (!ulpCompare((*this)(r, c), o.data[r * o.stride + c], r == c ? ulpsDiagonal : ulpsOffDiagonal))
        return false;
  return true;
}

// ---------------------------------------------------------------------------------------------
// Text and binary forms

int Matrix::writeToString(char* buffer) const {
  if (buffer == nullptr) {
    int total = std::snprintf(nullptr, 0, "%d,%d: ", static_cast<int>(rows), static_cast<int>(cols));
    for (ZtSize r = 0; r < rows; ++r)
      for (ZtSize c = 0; c < cols; ++c) total += std::snprintf(nullptr, 0, "%.16g ", (*this)(r, c));
    return total;
  }
  int total = std::sprintf(buffer, "%d,%d: ", static_cast<int>(rows), static_cast<int>(cols));
  for (ZtSize r = 0; r < rows; ++r)
    for (ZtSize c = 0; c < cols; ++c) total += std::sprintf(buffer + total, "%.16g ", (*this)(r, c));
  return total;
}

int Matrix::writeToString(std::string& s) const {
  char item[64];
  const size_t before = s.size();
  std::snprintf(item, sizeof item, "%d,%d: ", static_cast<int>(rows), static_cast<int>(cols));
  s += item;
  for (ZtSize r = 0; r < rows; ++r)
    for (ZtSize c = 0; c < cols; ++c) {
      std::snprintf(item, sizeof item, "%.16g ", (*this)(r, c));
      s += item;
    }
  return static_cast<int>(s.size() - before);
}

int Matrix::readFromString(const char* text) {
  size_t pos = 0;
  int r = 0;
  int c = 0;
  if (!parseTextInt(text, &pos, &r) || text[pos] != ',') return 0;
  ++pos;
  if (!parseTextInt(text, &pos, &c) || text[pos] != ':') return 0;
  ++pos;
  // Reject negative sizes and sizes the rest of the text could not hold before resizing.
  if (r < 0 || c < 0) return 0;
  const uint64_t count = static_cast<uint64_t>(r) * static_cast<uint64_t>(c);
  if (count > std::strlen(text + pos)) return 0;
  if (!assignSize(static_cast<ZtSize>(r), static_cast<ZtSize>(c))) return 0;
  // A shape without elements (n x 0) has no rows to walk.
  for (ZtSize i = 0; count != 0 && i < rows; ++i)
    for (ZtSize j = 0; j < cols; ++j)
      if (!parseTextDouble(text, &pos, &(*this)(i, j))) return 0;
  return static_cast<int>(pos);
}

int Matrix::readFromString(const std::string& text) { return readFromString(text.c_str()); }

int Matrix::serialize(char* buffer) const {
  if (buffer != nullptr) {
    const uint32_t r = static_cast<uint32_t>(rows);
    const uint32_t c = static_cast<uint32_t>(cols);
    std::memcpy(buffer, &r, 4);
    std::memcpy(buffer + 4, &c, 4);
    char* out = buffer + 8;
    for (ZtSize i = 0; cols != 0 && i < rows; ++i) {
      std::memcpy(out, rowPtr(i), 8 * cols);
      out += 8 * cols;
    }
  }
  return static_cast<int>(8 + 8 * rows * cols);
}

int Matrix::deserialize(const char* buffer) { return deserialize(buffer, SIZE_MAX); }

int Matrix::deserialize(const char* buffer, size_t length) {
  if (length < 8) return 0;
  uint32_t r;
  uint32_t c;
  std::memcpy(&r, buffer, 4);
  std::memcpy(&c, buffer + 4, 4);
  const uint64_t count = static_cast<uint64_t>(r) * c;
  if ((length - 8) / 8 < count) return 0;
  if (!assignSize(r, c)) return 0;
  const char* in = buffer + 8;
  for (ZtSize i = 0; count != 0 && i < rows; ++i) {
    std::memcpy(rowPtr(i), in, 8 * cols);
    in += 8 * cols;
  }
  return static_cast<int>(8 + 8 * count);
}

void Matrix::display(char* buffer) const {
  int at = std::sprintf(buffer, "Matrix %d,%d:\n", static_cast<int>(rows), static_cast<int>(cols));
  const char* rowFormat = rows <= 10 ? "%.1d " : (rows <= 100 ? "%.2d " : "%.3d ");
  for (ZtSize r = 0; r < rows; ++r) {
    // Box-drawing marks of code page 437.
    unsigned char open = 0xB3;
    unsigned char close = 0xB3;
    if (rows == 1) {
      open = '[';
      close = ']';
    } else if (r == 0) {
      open = 0xDA;
      close = 0xBF;
    } else if (r == rows - 1) {
      open = 0xC0;
      close = 0xD9;
    }
    at += std::sprintf(buffer + at, rowFormat, static_cast<int>(r));
    buffer[at++] = static_cast<char>(open);
    buffer[at++] = ' ';
    for (ZtSize c = 0; c < cols; ++c) at += std::sprintf(buffer + at, "%8.7g ", (*this)(r, c));
    buffer[at++] = static_cast<char>(close);
    buffer[at++] = '\n';
  }
  buffer[at] = '\0';
}

void Matrix::saveAsMatlab(const char* fileName, const char* variableName) const {
  saveAsMatlabFile(fileName, variableName, *this);
}

// ---------------------------------------------------------------------------------------------
// Element-wise

#define ZDA_FOR_EACH_ELEMENT                 \
  for (ZtSize r = 0; r < rows; ++r)          \
    for (ZtSize c = 0; c < cols; ++c)

namespace {
inline double at(const ZtMatrix& m, ZtSize r, ZtSize c) { return m.data[r * m.stride + c]; }
}  // namespace

void Matrix::isMatAddMat(const ZtMatrix& a, const ZtMatrix& b) {
  ZDA_FOR_EACH_ELEMENT(*this)(r, c) = at(a, r, c) + at(b, r, c);
}

void Matrix::isMatSubMat(const ZtMatrix& a, const ZtMatrix& b) {
  ZDA_FOR_EACH_ELEMENT(*this)(r, c) = at(a, r, c) - at(b, r, c);
}

void Matrix::isMatAddMatAddMatSubMat(const ZtMatrix& a, const ZtMatrix& b, const ZtMatrix& m, const ZtMatrix& n) {
  ZDA_FOR_EACH_ELEMENT(*this)(r, c) = at(a, r, c) + at(b, r, c) + at(m, r, c) - at(n, r, c);
}

void Matrix::isMatAddScaMulMat(const ZtMatrix& a, double s, const ZtMatrix& b) {
  ZDA_FOR_EACH_ELEMENT(*this)(r, c) = at(b, r, c) * s + at(a, r, c);
}

void Matrix::isScaMulMatAddScaMulMat(double s1, const ZtMatrix& a, double s2, const ZtMatrix& b) {
  ZDA_FOR_EACH_ELEMENT(*this)(r, c) = at(a, r, c) * s1 + at(b, r, c) * s2;
}

void Matrix::isScaMulMat(double s, const ZtMatrix& a) { ZDA_FOR_EACH_ELEMENT(*this)(r, c) = at(a, r, c) * s; }

void Matrix::isSelfAddScaMulMat(double s, const ZtMatrix& a) {
  ZDA_FOR_EACH_ELEMENT(*this)(r, c) = (*this)(r, c) + at(a, r, c) * s;
}

void Matrix::isMatEMulMat(const ZtMatrix& a, const ZtMatrix& b) {
  ZDA_FOR_EACH_ELEMENT(*this)(r, c) = at(a, r, c) * at(b, r, c);
}

void Matrix::isMatEDivMat(const ZtMatrix& a, const ZtMatrix& b) {
  ZDA_FOR_EACH_ELEMENT(*this)(r, c) = at(a, r, c) / at(b, r, c);
}

void Matrix::isScaMulMatEMulMat(double s, const ZtMatrix& a, const ZtMatrix& b) {
  if (a.stride == cols && b.stride == cols && stride == cols) {
    const ZtSize n = rows * cols;
    for (ZtSize i = 0; i < n; ++i) data[i] = a.data[i] * s * b.data[i];
    return;
  }
  ZDA_FOR_EACH_ELEMENT(*this)(r, c) = at(a, r, c) * s * at(b, r, c);
}

void Matrix::isAbs(const ZtMatrix& a) { ZDA_FOR_EACH_ELEMENT(*this)(r, c) = std::fabs(at(a, r, c)); }

void Matrix::isSqrt(const ZtMatrix& a) { ZDA_FOR_EACH_ELEMENT(*this)(r, c) = std::sqrt(at(a, r, c)); }

void Matrix::isMatAddIdentity(const ZtMatrix& a, double s) {
  ZDA_FOR_EACH_ELEMENT(*this)(r, c) = r == c ? at(a, r, c) + s : at(a, r, c);
}

void Matrix::isTransposeOf(const ZtMatrix& a) { ZDA_FOR_EACH_ELEMENT(*this)(r, c) = at(a, c, r); }

void Matrix::isZero() {
  if (data == nullptr) return;
  if (stride == cols) {
    std::memset(data, 0, rows * stride * sizeof(double));
    return;
  }
  for (ZtSize r = 0; r < rows; ++r) std::memset(rowPtr(r), 0, cols * sizeof(double));
}

// ---------------------------------------------------------------------------------------------
// Diagonal

void Matrix::isDiag(const ZtVector& v) { isDiag(v.data); }

void Matrix::isDiag(const double* values) {
  isZero();
  const ZtSize k = std::min(rows, cols);
  for (ZtSize i = 0; i < k; ++i) (*this)(i, i) = values[i];
}

void Matrix::isDiagSquared(const ZtVector& v) { isDiagSquared(v.data); }

void Matrix::isDiagSquared(const double* values) {
  isZero();
  const ZtSize k = std::min(rows, cols);
  for (ZtSize i = 0; i < k; ++i) (*this)(i, i) = values[i] * values[i];
}

void Matrix::isMatAddMatDiagonal(const ZtMatrix& a, const ZtMatrix& b) {
  const ZtSize k = std::min(rows, cols);
  for (ZtSize i = 0; i < k; ++i) (*this)(i, i) = at(a, i, i) + at(b, i, i);
}

void Matrix::isMatEMulMatDiagonal(const ZtMatrix& a, const ZtMatrix& b) {
  isZero();
  const ZtSize k = std::min(rows, cols);
  for (ZtSize i = 0; i < k; ++i) (*this)(i, i) = at(a, i, i) * at(b, i, i);
}

void Matrix::isSqrtDiagonal(const ZtMatrix& a) {
  // a may be this matrix: each row's diagonal element is read before that row is cleared.
  const ZtSize k = std::min(rows, cols);
  for (ZtSize r = 0; r < rows; ++r) {
    const double d = r < k ? std::sqrt(at(a, r, r)) : 0.0;
    std::memset(rowPtr(r), 0, cols * sizeof(double));
    if (r < k) (*this)(r, r) = d;
  }
}

// ---------------------------------------------------------------------------------------------
// Rows and columns

void Matrix::setRow(double s, ZtSize r) {
  for (ZtSize c = 0; c < cols; ++c) (*this)(r, c) = s;
}

void Matrix::setCol(double s, ZtSize c) {
  for (ZtSize r = 0; r < rows; ++r) (*this)(r, c) = s;
}

void Matrix::setRow(const ZtVector& v, ZtSize r) { setRow(v.data, r); }

void Matrix::setCol(const ZtVector& v, ZtSize c) { setCol(v.data, c); }

void Matrix::setRow(const double* values, ZtSize r) {
  if (cols != 0) std::memmove(rowPtr(r), values, cols * sizeof(double));
}

void Matrix::setCol(const double* values, ZtSize c) {
  for (ZtSize r = 0; r < rows; ++r) (*this)(r, c) = values[r];
}

void Matrix::setRow(const ZtQuaternion& q, ZtSize r) {
  double* p = rowPtr(r);
  p[0] = q.w;
  p[1] = q.x;
  p[2] = q.y;
  p[3] = q.z;
}

void Matrix::setCol(const ZtQuaternion& q, ZtSize c) {
  (*this)(0, c) = q.w;
  (*this)(1, c) = q.x;
  (*this)(2, c) = q.y;
  (*this)(3, c) = q.z;
}

void Matrix::getCol(ZtVector& out, ZtSize c) const {
  for (ZtSize r = 0; r < rows; ++r) out.data[r] = (*this)(r, c);
}

void Matrix::rowAddScaMulRow(ZtSize dst, double s, ZtSize src) {
  double* d = rowPtr(dst);
  const double* p = rowPtr(src);
  for (ZtSize c = 0; c < cols; ++c) d[c] = d[c] + p[c] * s;
}

void Matrix::swapRows(ZtSize r1, ZtSize r2, ZtSize count, ZtSize startCol) {
  if (r1 == r2 || count == 0) return;
  for (ZtSize k = 0; k < count; ++k) {
    double* a = rowPtr(r1 + k);
    double* b = rowPtr(r2 + k);
    for (ZtSize c = startCol; c < cols; ++c) std::swap(a[c], b[c]);
  }
}

void Matrix::swapCols(ZtSize c1, ZtSize c2, ZtSize count, ZtSize startRow) {
  if (c1 == c2 || count == 0) return;
  for (ZtSize k = 0; k < count; ++k)
    for (ZtSize r = startRow; r < rows; ++r) std::swap((*this)(r, c1 + k), (*this)(r, c2 + k));
}

// ---------------------------------------------------------------------------------------------
// Blocks

void Matrix::zeroSub(ZtSize row0, ZtSize col0, ZtSize nr, ZtSize nc) { setSubScalar(0.0, row0, col0, nr, nc); }

void Matrix::setSubScalar(double s, ZtSize row0, ZtSize col0, ZtSize nr, ZtSize nc) {
  for (ZtSize i = 0; i < nr; ++i)
    for (ZtSize j = 0; j < nc; ++j) (*this)(row0 + i, col0 + j) = s;
}

void Matrix::setSubIdentity(double s, ZtSize row0, ZtSize col0, ZtSize nr, ZtSize nc) {
  for (ZtSize i = 0; i < nr; ++i)
    for (ZtSize j = 0; j < nc; ++j) (*this)(row0 + i, col0 + j) = i == j ? s : 0.0;
}

void Matrix::setSubDiag(const ZtVector& v, ZtSize row0, ZtSize col0) {
  for (ZtSize i = 0; i < v.size; ++i)
    for (ZtSize j = 0; j < v.size; ++j) (*this)(row0 + i, col0 + j) = i == j ? v.data[i] : 0.0;
}

void Matrix::setSubMatrix(const ZtMatrix& src, ZtSize dstRow, ZtSize dstCol, ZtSize nr, ZtSize nc, ZtSize srcRow,
                          ZtSize srcCol) {
  for (ZtSize i = 0; i < nr; ++i)
    for (ZtSize j = 0; j < nc; ++j) (*this)(dstRow + i, dstCol + j) = at(src, srcRow + i, srcCol + j);
}

void Matrix::setSubScaMulMatrix(double s, const ZtMatrix& src, ZtSize dstRow, ZtSize dstCol, ZtSize nr, ZtSize nc,
                                ZtSize srcRow, ZtSize srcCol) {
  for (ZtSize i = 0; i < nr; ++i)
    for (ZtSize j = 0; j < nc; ++j) (*this)(dstRow + i, dstCol + j) = at(src, srcRow + i, srcCol + j) * s;
}

void Matrix::setSubMatAddMat(const ZtMatrix& a, const ZtMatrix& b, ZtSize dstRow, ZtSize dstCol, ZtSize nr, ZtSize nc,
                             ZtSize srcRow, ZtSize srcCol) {
  for (ZtSize i = 0; i < nr; ++i)
    for (ZtSize j = 0; j < nc; ++j)
      (*this)(dstRow + i, dstCol + j) = at(a, srcRow + i, srcCol + j) + at(b, srcRow + i, srcCol + j);
}

// ---------------------------------------------------------------------------------------------
// Triangular

void Matrix::isTransposeOfTriU(const ZtMatrix& u) { ZDA_FOR_EACH_ELEMENT(*this)(r, c) = c <= r ? at(u, c, r) : 0.0; }

void Matrix::isInverseOfTriU(const ZtMatrix& u) {
  isZero();
  const ZtSize n = rows;
  for (ZtSize j = 0; j < n; ++j) {
    (*this)(j, j) = 1.0 / at(u, j, j);
    for (ZtSize i = j; i-- > 0;) {
      double acc = 0.0;
      for (ZtSize k = i + 1; k <= j; ++k) acc -= at(u, i, k) * (*this)(k, j);
      (*this)(i, j) = (*this)(i, i) * acc;
    }
  }
}

void Matrix::isInverseOfTriUSelf() {
  const ZtSize n = rows;
  for (ZtSize j = 0; j < n; ++j) (*this)(j, j) = 1.0 / (*this)(j, j);
  // U stays in the strict upper triangle while X(i, j), i < j, is kept transposed at (j, i).
  for (ZtSize j = 1; j < n; ++j)
    for (ZtSize i = j; i-- > 0;) {
      double acc = 0.0;
      for (ZtSize k = i + 1; k <= j; ++k) acc -= (*this)(i, k) * (k == j ? (*this)(j, j) : (*this)(j, k));
      (*this)(j, i) = (*this)(i, i) * acc;
    }
  for (ZtSize r = 0; r < rows; ++r)
    for (ZtSize c = r + 1; c < cols; ++c) {
      (*this)(r, c) = (*this)(c, r);
      (*this)(c, r) = 0.0;
    }
}

// ---------------------------------------------------------------------------------------------
// Reductions and symmetric forms

double Matrix::minVal() const { return rows == 0 || cols == 0 ? 0.0 : minVal(0, 0, rows, cols); }

double Matrix::maxVal() const { return rows == 0 || cols == 0 ? 0.0 : maxVal(0, 0, rows, cols); }

double Matrix::maxAbsVal() const {
  if (rows == 0 || cols == 0) return 0.0;
  double m = std::fabs(data[0]);
  ZDA_FOR_EACH_ELEMENT {
    const double a = std::fabs((*this)(r, c));
    if (a > m) m = a;
  }
  return m;
}

double Matrix::sumVal(ZtSize row0, ZtSize col0, ZtSize nr, ZtSize nc) const {
  double s = 0.0;
  for (ZtSize i = 0; i < nr; ++i)
    for (ZtSize j = 0; j < nc; ++j) s += (*this)(row0 + i, col0 + j);
  return s;
}

double Matrix::minVal(ZtSize row0, ZtSize col0, ZtSize nr, ZtSize nc) const {
  double m = (*this)(row0, col0);
  for (ZtSize i = 0; i < nr; ++i)
    for (ZtSize j = 0; j < nc; ++j)
      if ((*this)(row0 + i, col0 + j) < m) m = (*this)(row0 + i, col0 + j);
  return m;
}

double Matrix::maxVal(ZtSize row0, ZtSize col0, ZtSize nr, ZtSize nc) const {
  double m = (*this)(row0, col0);
  for (ZtSize i = 0; i < nr; ++i)
    for (ZtSize j = 0; j < nc; ++j)
      if ((*this)(row0 + i, col0 + j) > m) m = (*this)(row0 + i, col0 + j);
  return m;
}

double Matrix::trace() const {
  const ZtSize k = std::min(rows, cols);
  double s = 0.0;
  for (ZtSize i = 0; i < k; ++i) s += (*this)(i, i);
  return s;
}

bool Matrix::isEqual(const ZtMatrix& a, double tolerance) const {
  if (rows != a.rows || cols != a.cols) return false;
  try {
    Matrix d(rows, cols);
    d.isMatSubMat(*this, a);
    return tolerance >= d.maxAbsVal();
  } catch (const ZtException&) {
    return false;
  }
}

void Matrix::isMin(const ZtMatrix& a, const ZtMatrix& b) {
  ZDA_FOR_EACH_ELEMENT(*this)(r, c) = at(a, r, c) <= at(b, r, c) ? at(a, r, c) : at(b, r, c);
}

void Matrix::isPermutation(const ZtMatrix& a, const ZtVector& p) {
  ZDA_FOR_EACH_ELEMENT(*this)(r, c) = at(a, static_cast<ZtSize>(p.data[r]), static_cast<ZtSize>(p.data[c]));
}

void Matrix::isSymmetricTriL(const ZtMatrix& a) { ZDA_FOR_EACH_ELEMENT(*this)(r, c) = c <= r ? at(a, r, c) : at(a, c, r); }

void Matrix::isSymmetric(const ZtMatrix& a) {
  for (ZtSize i = 0; i < rows; ++i)
    for (ZtSize j = 0; j < i; ++j) {
      const double v = (at(a, i, j) + at(a, j, i)) * 0.5;
      (*this)(i, j) = v;
      (*this)(j, i) = v;
    }
}

#undef ZDA_FOR_EACH_ELEMENT

}  // namespace zelto

std::ostream& operator<<(std::ostream& os, const ZtMatrix& m) {
  os << "[" << m.rows << "," << m.cols << "]{";
  for (ZtSize r = 0; r < m.rows; ++r) {
    os << "\n(";
    for (ZtSize c = 0; c < m.cols; ++c) os << " " << m.data[r * m.stride + c];
    os << " )";
  }
  return os << "}";
}

namespace zelto {

namespace {

inline double el(const ZtMatrix& m, ZtSize r, ZtSize c) { return m.data[r * m.stride + c]; }

// Dimension from which the products switch to the blocked recursive form.
constexpr ZtSize kBlockedThreshold = 259;

inline bool useBlocked(ZtSize rows, ZtSize cols, ZtSize inner) {
  return rows >= kBlockedThreshold && cols >= kBlockedThreshold && inner >= kBlockedThreshold;
}

// View of a block of m (not owned, never freed).
inline Matrix block(const ZtMatrix& m, ZtSize r, ZtSize c, ZtSize nr, ZtSize nc) {
  return Matrix(nr, nc, m.stride, m.data + r * m.stride + c, 0);
}

// dst(r, c) += src(r, c) over dst's rows and cols.
inline void accumulate(Matrix& dst, const ZtMatrix& src) {
  for (ZtSize r = 0; r < dst.rows; ++r) {
    double* d = dst.rowPtr(r);
    const double* p = src.data + r * src.stride;
    for (ZtSize c = 0; c < dst.cols; ++c) d[c] = d[c] + p[c];
  }
}

// Scratch row buffer released on every exit.
struct ScratchRow {
  explicit ScratchRow(ZtSize n) : p(static_cast<double*>(zeltoMathMalloc((n != 0 ? n : 1) * sizeof(double)))) {}
  ~ScratchRow() { std::free(p); }
  ScratchRow(const ScratchRow&) = delete;
  ScratchRow& operator=(const ScratchRow&) = delete;
  double* p;
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// Products

void Matrix::isMatMulMat(const ZtMatrix& a, const ZtMatrix& b) {
  if (useBlocked(rows, cols, a.cols))
    isMatMulMatBlocked(a, b);
  else
    isMatMulMatTrivial(a, b);
}

namespace {

// Register-blocked kernels of the plain product. Each computes an R x 2P block of the result
// with one running sum per element, summed from 0.0 over l ascending exactly as the one-element
// loop would: the speed comes from sharing the loads of A and B between the elements of the
// block, never from reordering a sum, so results are bit for bit those of the scalar form.
#if defined(__SSE2__)
// R rows by 2P columns, two columns per SSE2 register.
template <int R, int P>
inline void productBlock(const double* a, ZtSize as, const double* b, ZtSize bs, double* c, ZtSize cs, ZtSize k) {
  __m128d acc[R][P];
  #pragma GCC unroll 8
  for (int r = 0; r < R; ++r)
    #pragma GCC unroll 8
    for (int p = 0; p < P; ++p) acc[r][p] = _mm_setzero_pd();
  for (ZtSize l = 0; l < k; ++l) {
    const double* bl = b + l * bs;
    __m128d bv[P];
    #pragma GCC unroll 8
    for (int p = 0; p < P; ++p) bv[p] = _mm_loadu_pd(bl + 2 * p);
    #pragma GCC unroll 8
    for (int r = 0; r < R; ++r) {
      const __m128d av = _mm_set1_pd(a[r * as + l]);
      #pragma GCC unroll 8
      for (int p = 0; p < P; ++p) acc[r][p] = _mm_add_pd(acc[r][p], _mm_mul_pd(bv[p], av));
    }
  }
  #pragma GCC unroll 8
  for (int r = 0; r < R; ++r)
    #pragma GCC unroll 8
    for (int p = 0; p < P; ++p) _mm_storeu_pd(c + r * cs + 2 * p, acc[r][p]);
}
#else
template <int R, int P>
inline void productBlock(const double* a, ZtSize as, const double* b, ZtSize bs, double* c, ZtSize cs, ZtSize k) {
  double acc[R][2 * P] = {};
  for (ZtSize l = 0; l < k; ++l) {
    const double* bl = b + l * bs;
    #pragma GCC unroll 8
    for (int r = 0; r < R; ++r) {
      const double x = a[r * as + l];
      #pragma GCC unroll 8
      for (int q = 0; q < 2 * P; ++q) acc[r][q] += bl[q] * x;
    }
  }
  #pragma GCC unroll 8
  for (int r = 0; r < R; ++r)
    #pragma GCC unroll 8
    for (int q = 0; q < 2 * P; ++q) c[r * cs + q] = acc[r][q];
}
#endif

// R rows by one column.
template <int R>
inline void productColumn(const double* a, ZtSize as, const double* b, ZtSize bs, double* c, ZtSize cs, ZtSize k) {
  double acc[R] = {};
  for (ZtSize l = 0; l < k; ++l) {
    const double y = b[l * bs];
    #pragma GCC unroll 8
    for (int r = 0; r < R; ++r) acc[r] += y * a[r * as + l];
  }
  #pragma GCC unroll 8
  for (int r = 0; r < R; ++r) c[r * cs] = acc[r];
}

// Result rows i .. i + R - 1, every column.
template <int R>
inline void productRows(double* out, ZtSize os, const ZtMatrix& a, const ZtMatrix& b, ZtSize i, ZtSize n) {
  const double* ai = a.data + i * a.stride;
  double* ci = out + i * os;
  const ZtSize k = a.cols;
  ZtSize j = 0;
  for (; j + 4 <= n; j += 4) productBlock<R, 2>(ai, a.stride, b.data + j, b.stride, ci + j, os, k);
  if (j + 2 <= n) {
    productBlock<R, 1>(ai, a.stride, b.data + j, b.stride, ci + j, os, k);
    j += 2;
  }
  if (j < n) productColumn<R>(ai, a.stride, b.data + j, b.stride, ci + j, os, k);
}

}  // namespace

void Matrix::isMatMulMatTrivial(const ZtMatrix& a, const ZtMatrix& b) {
  // Element (i, j) = sum over l ascending of b(l, j) * a(i, l), from 0.0.
  const ZtSize n = cols;
  ZtSize i = 0;
  for (; i + 4 <= rows; i += 4) productRows<4>(data, stride, a, b, i, n);
  if (i + 2 <= rows) {
    productRows<2>(data, stride, a, b, i, n);
    i += 2;
  }
  if (i < rows) productRows<1>(data, stride, a, b, i, n);
}

void Matrix::isMatMulMatBlocked(const ZtMatrix& a, const ZtMatrix& b) {
  const ZtSize m = a.rows;
  const ZtSize k = a.cols;
  const ZtSize n = b.cols;
  ZtSize hm = m / 2;
  ZtSize hk = k / 2;
  ZtSize hn = n / 2;
  const bool deeper = hm >= kBlockedThreshold && hn >= kBlockedThreshold && hk >= kBlockedThreshold;
  auto product = [deeper](Matrix& r, const ZtMatrix& x, const ZtMatrix& y) {
    if (deeper)
      r.isMatMulMatBlocked(x, y);
    else
      r.isMatMulMatTrivial(x, y);
  };
  const bool seven = m == n && n == k && m % 2 == 0;
  if (!seven) {
    // Column split points are even in the eight-product form.
    hn &= ~static_cast<ZtSize>(1);
    hk &= ~static_cast<ZtSize>(1);
  }
  const Matrix a11 = block(a, 0, 0, hm, hk), a12 = block(a, 0, hk, hm, k - hk);
  const Matrix a21 = block(a, hm, 0, m - hm, hk), a22 = block(a, hm, hk, m - hm, k - hk);
  const Matrix b11 = block(b, 0, 0, hk, hn), b12 = block(b, 0, hn, hk, n - hn);
  const Matrix b21 = block(b, hk, 0, k - hk, hn), b22 = block(b, hk, hn, k - hk, n - hn);
  Matrix r11 = block(*this, 0, 0, hm, hn), r12 = block(*this, 0, hn, hm, n - hn);
  Matrix r21 = block(*this, hm, 0, m - hm, hn), r22 = block(*this, hm, hn, m - hm, n - hn);

  if (seven) {
    const ZtSize h = hm;
    Matrix s(h, h), t(h, h), m1(h, h), m2(h, h), m3(h, h), m4(h, h), m5(h, h), m6(h, h), m7(h, h);
    s.isMatAddMat(a11, a22);
    t.isMatAddMat(b11, b22);
    product(m1, s, t);
    s.isMatAddMat(a21, a22);
    product(m2, s, b11);
    s.isMatSubMat(b12, b22);
    product(m3, a11, s);
    s.isMatSubMat(b21, b11);
    product(m4, a22, s);
    s.isMatAddMat(a11, a12);
    product(m5, s, b22);
    s.isMatSubMat(a21, a11);
    t.isMatAddMat(b11, b12);
    product(m6, s, t);
    s.isMatSubMat(a12, a22);
    t.isMatAddMat(b21, b22);
    product(m7, s, t);
    for (ZtSize i = 0; i < h; ++i)
      for (ZtSize j = 0; j < h; ++j) {
        r11(i, j) = ((m1(i, j) + m4(i, j)) - m5(i, j)) + m7(i, j);
        r12(i, j) = m3(i, j) + m5(i, j);
        r21(i, j) = m2(i, j) + m4(i, j);
        r22(i, j) = ((m1(i, j) + m3(i, j)) - m2(i, j)) + m6(i, j);
      }
    return;
  }

  // One scratch block, the largest of the four shapes, reshaped (viewed densely) per use.
  Matrix w((m - hm), (n - hn));
  auto reshaped = [&w](ZtSize nr, ZtSize nc) { return Matrix(nr, nc, nc, w.data, 0); };
  product(r22, a21, b12);
  {
    Matrix v = reshaped(m - hm, n - hn);
    product(v, a22, b22);
    accumulate(r22, v);
  }
  product(r21, a21, b11);
  {
    Matrix v = reshaped(m - hm, hn);
    product(v, a22, b21);
    accumulate(r21, v);
  }
  product(r11, a11, b11);
  {
    Matrix v = reshaped(hm, hn);
    product(v, a12, b21);
    accumulate(r11, v);
  }
  product(r12, a11, b12);
  {
    Matrix v = reshaped(hm, n - hn);
    product(v, a12, b22);
    accumulate(r12, v);
  }
}

void Matrix::isMatMulTransMat(const ZtMatrix& a, const ZtMatrix& b) {
  if (useBlocked(rows, cols, a.cols))
    isMatMulTransMatBlocked(a, b);
  else
    isMatMulTransMatTrivial(a, b);
}

namespace {

// Kernels of A * B^T in the manner of the plain product's: an R x 2P block of the result, where
// the 2P result columns are rows of B, each element summed from 0.0 over l ascending.
#if defined(__SSE2__)
template <int R, int P>
inline void transProductBlock(const double* a, ZtSize as, const double* b, ZtSize bs, double* c, ZtSize cs,
                              ZtSize k) {
  __m128d acc[R][P];
  #pragma GCC unroll 8
  for (int r = 0; r < R; ++r)
    #pragma GCC unroll 8
    for (int p = 0; p < P; ++p) acc[r][p] = _mm_setzero_pd();
  for (ZtSize l = 0; l < k; ++l) {
    __m128d bv[P];
    #pragma GCC unroll 8
    for (int p = 0; p < P; ++p)
      bv[p] = _mm_loadh_pd(_mm_load_sd(b + (2 * p) * bs + l), b + (2 * p + 1) * bs + l);
    #pragma GCC unroll 8
    for (int r = 0; r < R; ++r) {
      const __m128d av = _mm_set1_pd(a[r * as + l]);
      #pragma GCC unroll 8
      for (int p = 0; p < P; ++p) acc[r][p] = _mm_add_pd(acc[r][p], _mm_mul_pd(av, bv[p]));
    }
  }
  #pragma GCC unroll 8
  for (int r = 0; r < R; ++r)
    #pragma GCC unroll 8
    for (int p = 0; p < P; ++p) _mm_storeu_pd(c + r * cs + 2 * p, acc[r][p]);
}
#else
template <int R, int P>
inline void transProductBlock(const double* a, ZtSize as, const double* b, ZtSize bs, double* c, ZtSize cs,
                              ZtSize k) {
  double acc[R][2 * P] = {};
  for (ZtSize l = 0; l < k; ++l)
    #pragma GCC unroll 8
    for (int r = 0; r < R; ++r)
      #pragma GCC unroll 8
      for (int q = 0; q < 2 * P; ++q) acc[r][q] += a[r * as + l] * b[q * bs + l];
  #pragma GCC unroll 8
  for (int r = 0; r < R; ++r)
    #pragma GCC unroll 8
    for (int q = 0; q < 2 * P; ++q) c[r * cs + q] = acc[r][q];
}
#endif

// R rows of A by one row of B.
template <int R>
inline void transProductColumn(const double* a, ZtSize as, const double* b, double* c, ZtSize cs, ZtSize k) {
  double acc[R] = {};
  for (ZtSize l = 0; l < k; ++l) {
    const double y = b[l];
    #pragma GCC unroll 8
    for (int r = 0; r < R; ++r) acc[r] += a[r * as + l] * y;
  }
  #pragma GCC unroll 8
  for (int r = 0; r < R; ++r) c[r * cs] = acc[r];
}

template <int R>
inline void transProductRows(double* out, ZtSize os, const ZtMatrix& a, const ZtMatrix& b, ZtSize i, ZtSize n) {
  const double* ai = a.data + i * a.stride;
  double* ci = out + i * os;
  const ZtSize k = a.cols;
  ZtSize j = 0;
  for (; j + 4 <= n; j += 4) transProductBlock<R, 2>(ai, a.stride, b.data + j * b.stride, b.stride, ci + j, os, k);
  if (j + 2 <= n) {
    transProductBlock<R, 1>(ai, a.stride, b.data + j * b.stride, b.stride, ci + j, os, k);
    j += 2;
  }
  if (j < n) transProductColumn<R>(ai, a.stride, b.data + j * b.stride, ci + j, os, k);
}

}  // namespace

void Matrix::isMatMulTransMatTrivial(const ZtMatrix& a, const ZtMatrix& b) {
  // Element (i, j) = sum over k ascending of a(i, k) * b(j, k), from 0.0.
  const ZtSize n = cols;
  ZtSize i = 0;
  for (; i + 4 <= rows; i += 4) transProductRows<4>(data, stride, a, b, i, n);
  if (i + 2 <= rows) {
    transProductRows<2>(data, stride, a, b, i, n);
    i += 2;
  }
  if (i < rows) transProductRows<1>(data, stride, a, b, i, n);
}

void Matrix::isMatMulTransMatBlocked(const ZtMatrix& a, const ZtMatrix& b) {
  Matrix bt(b.cols, b.rows);
  bt.isTransposeOf(b);
  isMatMulMatBlocked(a, bt);
}

void Matrix::isTransMatMulMat(const ZtMatrix& a, const ZtMatrix& b) {
  for (ZtSize i = 0; i < rows; ++i)
    for (ZtSize j = 0; j < cols; ++j) {
      double s = 0.0;
      for (ZtSize k = 0; k < a.rows; ++k) s += el(a, k, i) * el(b, k, j);
      (*this)(i, j) = s;
    }
}

void Matrix::isTransMatMulMat(const ZtMatrix& a) {
  for (ZtSize i = 0; i < rows; ++i)
    for (ZtSize j = i; j < cols; ++j) {
      double s = 0.0;
      for (ZtSize k = 0; k < a.rows; ++k) s += el(a, k, i) * el(a, k, j);
      (*this)(i, j) = s;
      (*this)(j, i) = s;
    }
}

void Matrix::isSelfAddScaMulMatMulMat(double s, const ZtMatrix& a, const ZtMatrix& b) {
  if (useBlocked(rows, cols, a.cols)) {
    Matrix t(a.rows, b.cols);
    t.isMatMulMatBlocked(a, b);
    for (ZtSize i = 0; i < rows; ++i)
      for (ZtSize j = 0; j < cols; ++j) (*this)(i, j) += s * t(i, j);
    return;
  }
  for (ZtSize i = 0; i < rows; ++i)
    for (ZtSize j = 0; j < cols; ++j)
      for (ZtSize k = 0; k < a.cols; ++k) (*this)(i, j) += (s * el(a, i, k)) * el(b, k, j);
}

void Matrix::isScaMulMatMulMat(double s, const ZtMatrix& a, const ZtMatrix& b) {
  for (ZtSize i = 0; i < rows; ++i)
    for (ZtSize j = 0; j < cols; ++j) {
      double sum = 0.0;
      for (ZtSize k = 0; k < a.cols; ++k) sum += el(a, i, k) * el(b, k, j);
      (*this)(i, j) = sum * s;
    }
}

void Matrix::isMatMulMatMulMat(const ZtMatrix& a, const ZtMatrix& b, const ZtMatrix& f) {
  isZero();
  // Each element of A*B is formed again for every column of F: no temporary.
  for (ZtSize j = 0; j < f.cols; ++j)
    for (ZtSize i = 0; i < a.rows; ++i)
      for (ZtSize l = 0; l < f.rows; ++l) {
        double ab = 0.0;
        for (ZtSize k = 0; k < a.cols; ++k) ab += el(a, i, k) * el(b, k, l);
        (*this)(i, j) += ab * el(f, l, j);
      }
}

void Matrix::isAtBA(const ZtMatrix& a, const ZtMatrix& b) {
  Matrix t(a.cols, a.rows);
  for (ZtSize i = 0; i < t.rows; ++i)
    for (ZtSize j = 0; j < t.cols; ++j) {
      double s = 0.0;
      for (ZtSize l = 0; l < a.rows; ++l) s += el(a, l, i) * el(b, l, j);
      t(i, j) = s;
    }
  isMatMulMat(t, a);
}

void Matrix::isABAt(const ZtMatrix& a, const ZtMatrix& b) {
  ScratchRow t(a.cols);
  for (ZtSize i = 0; i < a.rows; ++i) {
    for (ZtSize j = 0; j < a.cols; ++j) {
      double s = 0.0;
      for (ZtSize k = 0; k < a.cols; ++k) s += el(a, i, k) * el(b, k, j);
      t.p[j] = s;
    }
    for (ZtSize l = 0; l < a.rows; ++l) {
      double s = 0.0;
      for (ZtSize k = 0; k < b.cols; ++k) s += t.p[k] * el(a, l, k);
      (*this)(i, l) = s;
    }
  }
}

void Matrix::isABAtSymmetrical(const ZtMatrix& a, const ZtMatrix& b) {
  ScratchRow t(a.cols);
  for (ZtSize i = 0; i < a.rows; ++i) {
    for (ZtSize j = 0; j < a.cols; ++j) {
      double s = 0.0;
      for (ZtSize k = 0; k < a.cols; ++k) s += el(a, i, k) * el(b, j, k);
      t.p[j] = s;
    }
    for (ZtSize l = 0; l <= i; ++l) {
      double s = 0.0;
      for (ZtSize k = 0; k < b.cols; ++k) s += t.p[k] * el(a, l, k);
      (*this)(i, l) = s;
      (*this)(l, i) = s;
    }
  }
}

void Matrix::isABAtDiagonal(const ZtMatrix& a, const ZtMatrix& d) {
  Matrix t(a.rows, a.cols);
  for (ZtSize i = 0; i < a.rows; ++i)
    for (ZtSize j = 0; j < a.cols; ++j) t(i, j) = el(a, i, j) * el(d, j, j);
  isMatMulTransMatSymmetrical(t, a);
}

void Matrix::isMatMulMatSymmetrical(const ZtMatrix& a, const ZtMatrix& b) {
  for (ZtSize i = 0; i < rows; ++i)
    for (ZtSize j = i; j < cols; ++j) {
      double s = 0.0;
      for (ZtSize k = 0; k < a.cols; ++k) s += el(a, i, k) * el(b, k, j);
      (*this)(i, j) = s;
      (*this)(j, i) = s;
    }
}

void Matrix::isMatMulTransMatSymmetrical(const ZtMatrix& a, const ZtMatrix& b) {
  ZtSize g = 2;
  if (rows % 5 == 0)
    g = 5;
  else if (rows % 4 == 0)
    g = 4;
  else if (rows % 3 == 0)
    g = 3;
  else if (rows % 2 == 1)
    g = 1;
  for (ZtSize r0 = 0; r0 < rows; r0 += g)
    for (ZtSize j = r0; j < cols; ++j) {
      const double* bj = b.data + j * b.stride;
      for (ZtSize r = r0; r < r0 + g; ++r) {
        const double* ar = a.data + r * a.stride;
        double s = 0.0;
        for (ZtSize k = 0; k < a.cols; ++k) s += ar[k] * bj[k];
        (*this)(r, j) = s;
      }
      for (ZtSize r = r0; r < r0 + g; ++r) (*this)(j, r) = (*this)(r, j);
    }
}

void Matrix::isMatMulMatDiagonal(const ZtMatrix& a, const ZtMatrix& d) {
  for (ZtSize i = 0; i < rows; ++i)
    for (ZtSize j = 0; j < cols; ++j) (*this)(i, j) = el(a, i, j) * el(d, j, j);
}

void Matrix::isMatMulDiag(const ZtMatrix& a, const ZtVector& v) {
  for (ZtSize i = 0; i < rows; ++i)
    for (ZtSize j = 0; j < cols; ++j) (*this)(i, j) = el(a, i, j) * v.data[j];
}

void Matrix::isDiagMulMat(const ZtVector& v, const ZtMatrix& a) {
  for (ZtSize i = 0; i < rows; ++i)
    for (ZtSize j = 0; j < cols; ++j) (*this)(i, j) = v.data[i] * el(a, i, j);
}

void Matrix::isMatMulMatTriL(const ZtMatrix& a, const ZtMatrix& l) { isMatMulMatTriLSkip(a, l, 0); }

void Matrix::isMatMulMatTriLSkip(const ZtMatrix& a, const ZtMatrix& l, ZtSize skip) {
  for (ZtSize i = 0; i < rows; ++i)
    for (ZtSize j = 0; j < cols; ++j) {
      double s = 0.0;
      for (ZtSize k = std::max(j, skip); k < l.rows; ++k) s += el(a, i, k) * el(l, k, j);
      (*this)(i, j) = s;
    }
}

void Matrix::isKronMatMulMat(const ZtMatrix& a, const ZtMatrix& b) {
  for (ZtSize r = 0; r < rows; ++r)
    for (ZtSize c = 0; c < cols; ++c)
      (*this)(r, c) = el(a, r / b.rows, c / b.cols) * el(b, r % b.rows, c % b.cols);
}

void Matrix::isKronTransMatMulMat(const ZtMatrix& a, const ZtMatrix& b) {
  for (ZtSize r = 0; r < rows; ++r)
    for (ZtSize c = 0; c < cols; ++c)
      (*this)(r, c) = el(a, c / b.cols, r / b.rows) * el(b, r % b.rows, c % b.cols);
}

void Matrix::isSqrtCovarianceDiff(const ZtMatrix& a, const ZtMatrix& b) {
  Matrix p(a.rows, a.rows);
  p.isMatMulTransMat(a, a);
  Matrix q(b.rows, b.rows);
  q.isMatMulTransMat(b, b);
  for (ZtSize i = 0; i < rows; ++i)
    for (ZtSize j = 0; j < cols; ++j) {
      const double pv = p(i, j);
      const double qv = q(i, j);
      (*this)(i, j) = std::fabs(pv - qv) / std::max(std::max(1.0, std::fabs(qv)), std::fabs(pv));
    }
}

void Matrix::isMatMulMat(const ZtMatrix& a, const SparseInfo& infoA, const ZtMatrix& b, const SparseInfo& infoB) {
  for (ZtSize i = 0; i < a.rows; ++i) {
    const ZtSize* rowList = infoA.rowList(i);
    double* out = rowPtr(i);
    if (*rowList == terminator) {
      for (ZtSize j = 0; j < b.cols; ++j) out[j] = 0.0;
      continue;
    }
    const double* ai = a.data + i * a.stride;
    for (ZtSize j = 0; j < b.cols; ++j) {
      const ZtSize* colList = infoB.colList(j);
      out[j] = *colList == terminator ? 0.0 : SparseInfo::sparseMulAcc(ai, rowList, 1, b.data + j, colList, b.stride);
    }
  }
}

void Matrix::isMatMulTransMat(const ZtMatrix& a, const SparseInfo& infoA, const ZtMatrix& b,
                              const SparseInfo& infoB) {
  for (ZtSize i = 0; i < a.rows; ++i) {
    const ZtSize* rowList = infoA.rowList(i);
    double* out = rowPtr(i);
    if (*rowList == terminator) {
      for (ZtSize j = 0; j < b.rows; ++j) out[j] = 0.0;
      continue;
    }
    const double* ai = a.data + i * a.stride;
    for (ZtSize j = 0; j < b.rows; ++j) {
      const ZtSize* otherList = infoB.rowList(j);
      out[j] = *otherList == terminator
                   ? 0.0
                   : SparseInfo::sparseMulAcc(ai, rowList, 1, b.data + j * b.stride, otherList, 1);
    }
  }
}

void Matrix::isABAt(const ZtMatrix& a, const SparseInfo& infoA, const ZtMatrix& b, const SparseInfo& infoB) {
  Matrix t(a.rows, a.cols);
  t.isMatMulMat(a, infoA, b, infoB);
  const SparseInfo infoT(t, true, false);
  for (ZtSize i = 0; i < a.rows; ++i) {
    const ZtSize* tList = infoT.rowList(i);
    double* out = rowPtr(i);
    if (*tList == terminator) {
      for (ZtSize l = 0; l < a.rows; ++l) out[l] = 0.0;
      continue;
    }
    for (ZtSize l = 0; l < a.rows; ++l) {
      const ZtSize* aList = infoA.rowList(l);
      out[l] = *aList == terminator
                   ? 0.0
                   : SparseInfo::sparseMulAcc(t.rowPtr(i), tList, 1, a.data + l * a.stride, aList, 1);
    }
  }
}

void Matrix::isMatMulMat(const MatMulMatTemplate& t, const ZtMatrix& a, const ZtMatrix& b) {
  const ZtSize* e = t.entries();
  for (ZtSize i = 0; i < rows; ++i)
    for (ZtSize j = 0; j < cols; ++j) {
      double s = 0.0;
      while (*e != terminator) {
        s += a.data[e[0]] * b.data[e[1]];
        e += 2;
      }
      ++e;
      (*this)(i, j) = s;
    }
}

// ---------------------------------------------------------------------------------------------
// Special matrices and rotations

void Matrix::isIdentity(double s) {
  isZero();
  // The diagonal of a non-square matrix ends at the shorter side.
  const ZtSize n = rows < cols ? rows : cols;
  for (ZtSize i = 0; i < n; ++i) (*this)(i, i) = s;
}

void Matrix::isIdentity(double s, uint64_t mask) {
  isZero();
  const ZtSize n = rows < cols ? rows : cols;
  for (ZtSize i = 0; i < n && i < 64; ++i)
    if ((mask >> i) & 1u) (*this)(i, i) = s;
}

void Matrix::isRotateX(double a) {
  const double c = std::cos(a), s = std::sin(a);
  const double m[9] = {1, 0, 0, 0, c, -s, 0, s, c};
  isArray(m);
}

void Matrix::isRotateY(double a) {
  const double c = std::cos(a), s = std::sin(a);
  const double m[9] = {c, 0, s, 0, 1, 0, -s, 0, c};
  isArray(m);
}

void Matrix::isRotateZ(double a) {
  const double c = std::cos(a), s = std::sin(a);
  const double m[9] = {c, -s, 0, s, c, 0, 0, 0, 1};
  isArray(m);
}

void Matrix::isMcrossVec(const ZtVector& v) {
  const double* p = v.data;
  const double m[9] = {0, -p[2], p[1], p[2], 0, -p[0], -p[1], p[0], 0};
  isArray(m);
}

void Matrix::isMcrossNegVec(const ZtVector& v) {
  const double* p = v.data;
  const double m[9] = {0, p[2], -p[1], -p[2], 0, p[0], p[1], -p[0], 0};
  isArray(m);
}

void Matrix::isQuat(const ZtQuaternion& q) {
  const double w = q.w, x = q.x, y = q.y, z = q.z;
  const double m[9] = {w * w + x * x - y * y - z * z, 2 * (x * y - w * z),           2 * (x * z + w * y),
                       2 * (w * z + x * y),           w * w - x * x + y * y - z * z, 2 * (y * z - w * x),
                       2 * (x * z - w * y),           2 * (y * z + w * x),           w * w - x * x - y * y + z * z};
  isArray(m);
}

void Matrix::isLeftQuat(const ZtQuaternion& q) {
  const double w = q.w, x = q.x, y = q.y, z = q.z;
  const double m[16] = {w, -x, -y, -z, x, w, -z, y, y, z, w, -x, z, -y, x, w};
  isArray(m);
}

void Matrix::isRightQuat(const ZtQuaternion& q) {
  const double w = q.w, x = q.x, y = q.y, z = q.z;
  const double m[16] = {w, -x, -y, -z, x, w, z, -y, y, -z, w, x, z, y, -x, w};
  isArray(m);
}

void Matrix::isEuler(const ZtVector& v) {
  constexpr double kDegToRad = 0.017453292519943295;
  isIdentity();
  const double psi = v.data[2] * kDegToRad;
  (*this)(0, 0) = std::cos(psi);
  (*this)(1, 1) = std::cos(psi);
  (*this)(0, 1) = -std::sin(psi);
  (*this)(1, 0) = std::sin(psi);
  Matrix3x3 first;
  first.isIdentity();
  const double theta = v.data[1] * kDegToRad;
  first(0, 0) = std::cos(theta);
  first(2, 2) = std::cos(theta);
  first(0, 2) = std::sin(theta);
  first(2, 0) = -std::sin(theta);
  Matrix3x3 second;
  second.isMatMulMat(*this, first);
  first.isIdentity();
  const double phi = v.data[0] * kDegToRad;
  first(1, 1) = std::cos(phi);
  first(2, 2) = std::cos(phi);
  first(1, 2) = -std::sin(phi);
  first(2, 1) = std::sin(phi);
  isMatMulMat(second, first);
}

namespace {

void setColumns(Matrix& m, const Vector3& x, const Vector3& y, const Vector3& z) {
  for (ZtSize r = 0; r < 3; ++r) {
    m(r, 0) = x[r];
    m(r, 1) = y[r];
    m(r, 2) = z[r];
  }
}

}  // namespace

void Matrix::makeOrthonormalXZ(const ZtVector& a, const ZtVector& b) {
  Vector3 x, y, z, t;
  x.isNormalizeVec(a);
  t.isVecCrossVec(b, x);
  y.isNormalizeVec(t);
  z.isVecCrossVec(x, y);
  setColumns(*this, x, y, z);
}

void Matrix::makeOrthonormalYZ(const ZtVector& a, const ZtVector& b) {
  Vector3 x, y, z, t;
  y.isNormalizeVec(a);
  t.isVecCrossVec(y, b);
  x.isNormalizeVec(t);
  z.isVecCrossVec(x, y);
  setColumns(*this, x, y, z);
}

void Matrix::makeOrthonormalZX(const ZtVector& a, const ZtVector& b) {
  Vector3 x, y, z, t;
  z.isNormalizeVec(a);
  t.isVecCrossVec(z, b);
  y.isNormalizeVec(t);
  x.isVecCrossVec(y, z);
  setColumns(*this, x, y, z);
}

void Matrix::makeOrthonormalZY(const ZtVector& a, const ZtVector& b) {
  Vector3 x, y, z, t;
  z.isNormalizeVec(a);
  t.isVecCrossVec(b, z);
  x.isNormalizeVec(t);
  y.isVecCrossVec(z, x);
  setColumns(*this, x, y, z);
}

void Matrix::isExpMatrixInt(double rate, const ZtVector& axis, double t, Matrix* out1, Matrix* out2,
                            Matrix* out3) {
  Matrix3x3 k;
  k.isMcrossVec(axis);
  Matrix3x3 k2;
  k2.isMatMulMatTrivial(k, k);
  const double theta = rate * t;
  const double s = std::sin(theta);
  const double c = std::cos(theta);
  const double r = 1.0 / rate;
  auto id = [](ZtSize i, ZtSize j) { return i == j ? 1.0 : 0.0; };
  for (ZtSize i = 0; i < rows; ++i)
    for (ZtSize j = 0; j < cols; ++j) (*this)(i, j) = id(i, j) - s * k(i, j) + (1.0 - c) * k2(i, j);
  if (out1 != nullptr && out1->rows != 0)
    for (ZtSize i = 0; i < out1->rows; ++i)
      for (ZtSize j = 0; j < out1->cols; ++j)
        (*out1)(i, j) = t * (id(i, j) + k2(i, j)) + (1.0 - c) * r * k(i, j) - s * r * k2(i, j);
  if (out2 != nullptr && out2->rows != 0)
    for (ZtSize i = 0; i < out2->rows; ++i)
      for (ZtSize j = 0; j < out2->cols; ++j)
        (*out2)(i, j) = t * (id(i, j) + k2(i, j)) - (1.0 - c) * r * k(i, j) - s * r * k2(i, j);
  if (out3 != nullptr && out3->rows != 0) {
    const double r2 = r * r;
    for (ZtSize i = 0; i < out3->rows; ++i)
      for (ZtSize j = 0; j < out3->cols; ++j)
        (*out3)(i, j) = (t * t / 2) * (id(i, j) + k2(i, j)) + (s - theta) * r2 * k(i, j) - (1.0 - c) * r2 * k2(i, j);
  }
}

double Matrix::det2x2() const { return (*this)(0, 0) * (*this)(1, 1) - (*this)(1, 0) * (*this)(0, 1); }

double Matrix::det3x3() const {
  const Matrix& m = *this;
  return (m(1, 1) * m(2, 2) - m(2, 1) * m(1, 2)) * m(0, 0) - (m(2, 2) * m(1, 0) - m(1, 2) * m(2, 0)) * m(0, 1) +
         (m(1, 0) * m(2, 1) - m(2, 0) * m(1, 1)) * m(0, 2);
}

}  // namespace zelto
