#include "math/Matrix3x3.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace zelto {

namespace {

constexpr double kRadToDeg = 57.29577951308232;

// asin of an argument that rounding may have pushed just outside [-1, 1].
double asinUnit(double v) { return std::asin(std::max(-1.0, std::min(1.0, v))); }

void copy3x3(double* dst, const ZtMatrix& m) {
  for (ZtSize r = 0; r < 3; ++r) std::memmove(dst + 3 * r, m.data + r * m.stride, 3 * sizeof(double));
}

}  // namespace

Matrix3x3::Matrix3x3(const Matrix3x3& o) : Matrix(3, 3, 3, m_items, kInternalStorage) {
  std::memcpy(m_items, o.m_items, sizeof m_items);
}

Matrix3x3::Matrix3x3(const ZtMatrix& m) : Matrix(3, 3, 3, m_items, kInternalStorage) { copy3x3(m_items, m); }

Matrix3x3& Matrix3x3::operator=(const Matrix3x3& o) {
  std::memmove(m_items, o.m_items, sizeof m_items);
  return *this;
}

Matrix3x3& Matrix3x3::operator=(const ZtMatrix& m) {
  if (&m != this) copy3x3(m_items, m);
  return *this;
}

void Matrix3x3::toEulerYxz(double& y, double& x, double& z, int unit) const {
  const double* R = m_items;
  x = asinUnit(-R[5]);
  const double k = 1.0 / std::cos(x);
  y = std::atan2(k * R[2], k * R[8]);
  z = std::atan2(k * R[3], k * R[4]);
  if (unit == Degrees) {
    y *= kRadToDeg;
    x *= kRadToDeg;
    z *= kRadToDeg;
  }
}

void Matrix3x3::toEulerXzyYup(double& x, double& y, double& z, int unit) const {
  const double* R = m_items;
  z = asinUnit(-R[1]);
  const double c = std::cos(z);
  const double k = c < 1e-16 ? 1e16 : 1.0 / c;
  x = std::atan2(k * R[7], k * R[4]);
  y = std::atan2(k * R[2], k * R[0]);
  if (unit == Degrees) {
    x *= kRadToDeg;
    y *= kRadToDeg;
    z *= kRadToDeg;
  }
}

void Matrix3x3::toEulerZxyYup(double& x, double& y, double& z, int unit) const {
  const double* R = m_items;
  x = asinUnit(R[7]);
  const double c = std::cos(x);
  const double k = c < 1e-16 ? 1e16 : 1.0 / c;
  y = std::atan2(-k * R[6], k * R[8]);
  z = std::atan2(-k * R[1], k * R[4]);
  if (unit == Degrees) {
    x *= kRadToDeg;
    y *= kRadToDeg;
    z *= kRadToDeg;
  }
}

Matrix3x3 toMatrix3x3(const int32_t p[9], int shift) {
  const double scale = std::pow(2.0, shift);
  Matrix3x3 m;
  for (int i = 0; i < 9; ++i) m.data[i] = static_cast<double>(p[i]) / scale;
  return m;
}

}  // namespace zelto
