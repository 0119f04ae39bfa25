#include "math/Quaternion.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ostream>

#include "math/Matrix3x3.h"
#include "math/Vector.h"
#include "math/Vector3.h"

namespace zelto {

constinit const Quaternion qgm(0.5, 0.5, 0.5, 0.5);
constinit const Quaternion qmg(0.5, -0.5, -0.5, -0.5);

namespace {

constexpr double kRadToDeg = 57.29577951308232;
constexpr double kDegToRad = 0.017453292519943295;
// 0.5 - 2^-53: the gimbal-lock limit of the ZXY and Y-up extractions.
constexpr double kGimbalLimit = 0.4999999999999999;

double clampUnit(double v) { return std::max(-1.0, std::min(1.0, v)); }

}  // namespace

Quaternion& Quaternion::operator=(const ZtVector& v) {
  w = v.data[0];
  x = v.data[1];
  y = v.data[2];
  z = v.data[3];
  return *this;
}

void Quaternion::setArray(double* out) const {
  out[0] = w;
  out[1] = x;
  out[2] = y;
  out[3] = z;
}

void Quaternion::isArray(const double* p) {
  w = p[0];
  x = p[1];
  y = p[2];
  z = p[3];
}

bool Quaternion::compare(const ZtQuaternion& q) const {
  if (&q == this) return true;
  if (fuzzyCompare(w, q.w) && fuzzyCompare(x, q.x) && fuzzyCompare(y, q.y) && fuzzyCompare(z, q.z)) return true;
  return fuzzyCompare(w, -q.w) && fuzzyCompare(x, -q.x) && fuzzyCompare(y, -q.y) && fuzzyCompare(z, -q.z);
}

bool Quaternion::compare(const ZtQuaternion& q, double tolerance) const {
  if (&q == this) return true;
  if (fuzzyCompare(w, q.w, tolerance) && fuzzyCompare(x, q.x, tolerance) && fuzzyCompare(y, q.y, tolerance) &&
      fuzzyCompare(z, q.z, tolerance))
    return true;
  return fuzzyCompare(w, -q.w, tolerance) && fuzzyCompare(x, -q.x, tolerance) && fuzzyCompare(y, -q.y, tolerance) &&
         fuzzyCompare(z, -q.z, tolerance);
}

bool Quaternion::compare(const ZtQuaternion& q, uint64_t ulps) const {
  if (&q == this) return true;
  if (ulpCompare(w, q.w, ulps) && ulpCompare(x, q.x, ulps) && ulpCompare(y, q.y, ulps) && ulpCompare(z, q.z, ulps))
    return true;
  return ulpCompare(w, -q.w, ulps) && ulpCompare(x, -q.x, ulps) && ulpCompare(y, -q.y, ulps) &&
         ulpCompare(z, -q.z, ulps);
}

void Quaternion::isIdentity() { *this = Quaternion(1.0, 0.0, 0.0, 0.0); }

void Quaternion::isInverseSelf() {
  x = -x;
  y = -y;
  z = -z;
}

void Quaternion::isInverseOf(const ZtQuaternion& q) { *this = Quaternion(q.w, -q.x, -q.y, -q.z); }

void Quaternion::isQuatMulQuat(const ZtQuaternion& a, const ZtQuaternion& b) {
  const double aw = a.w, ax = a.x, ay = a.y, az = a.z;
  const double bw = b.w, bx = b.x, by = b.y, bz = b.z;
  w = aw * bw - ax * bx - ay * by - az * bz;
  x = ax * bw + aw * bx - az * by + ay * bz;
  y = ay * bw + az * bx + aw * by - ax * bz;
  z = az * bw - ay * bx + ax * by + aw * bz;
}

void Quaternion::isRotateX(double a) { *this = Quaternion(std::cos(a / 2), std::sin(a / 2), 0.0, 0.0); }

void Quaternion::isRotateY(double a) { *this = Quaternion(std::cos(a / 2), 0.0, std::sin(a / 2), 0.0); }

void Quaternion::isRotateZ(double a) { *this = Quaternion(std::cos(a / 2), 0.0, 0.0, std::sin(a / 2)); }

void Quaternion::isMatCol(const ZtMatrix& m, ZtSize c) {
  *this = Quaternion(m.data[c], m.data[m.stride + c], m.data[2 * m.stride + c], m.data[3 * m.stride + c]);
}

void Quaternion::isMatRow(const ZtMatrix& m, ZtSize r) { isArray(m.data + r * m.stride); }

void Quaternion::isNormalizeSelf() { isNormalizeQuat(*this); }

void Quaternion::isNormalizeQuat(const ZtQuaternion& q) {
  const double inv = 1.0 / std::sqrt(q.w * q.w + q.x * q.x + q.y * q.y + q.z * q.z);
  *this = Quaternion(q.w * inv, q.x * inv, q.y * inv, q.z * inv);
}

void Quaternion::makePositiveDefinite() {
  if (w < 0.0) *this = Quaternion(-w, -x, -y, -z);
}

void Quaternion::isRmat(const ZtMatrix& rm) {
  auto R = [&rm](ZtSize r, ZtSize c) { return rm.data[r * rm.stride + c]; };
  const double t = 1.0 + R(0, 0) + R(1, 1) + R(2, 2);
  if (t * t >= 1e-16) {
    const double d = 2.0 * std::sqrt(t);
    *this = Quaternion(d / 4, (R(2, 1) - R(1, 2)) / d, (R(0, 2) - R(2, 0)) / d, (R(1, 0) - R(0, 1)) / d);
  } else if (R(0, 0) > R(1, 1) && R(0, 0) > R(2, 2)) {
    // Near 180 degrees: these branches give the negated quaternion, the same rotation.
    const double d = 2.0 * std::sqrt(1.0 + R(0, 0) - R(1, 1) - R(2, 2));
    *this = Quaternion((R(1, 2) - R(2, 1)) / d, -d / 4, -(R(0, 1) + R(1, 0)) / d, -(R(2, 0) + R(0, 2)) / d);
  } else if (R(1, 1) > R(2, 2)) {
    const double d = 2.0 * std::sqrt(1.0 + R(1, 1) - R(0, 0) - R(2, 2));
    *this = Quaternion((R(2, 0) - R(0, 2)) / d, -(R(0, 1) + R(1, 0)) / d, -d / 4, -(R(1, 2) + R(2, 1)) / d);
  } else {
    const double d = 2.0 * std::sqrt(1.0 + R(2, 2) - R(0, 0) - R(1, 1));
    *this = Quaternion((R(0, 1) - R(1, 0)) / d, -(R(2, 0) + R(0, 2)) / d, -(R(1, 2) + R(2, 1)) / d, -d / 4);
  }
}

void Quaternion::isEuler(const ZtVector& v) {
  Matrix3x3 m;
  m.isEuler(v);
  isRmat(m);
}

void Quaternion::isEulerYUp(const ZtVector& v) {
  const double h0 = v.data[0] * 0.5 * kDegToRad;
  const double h1 = v.data[1] * 0.5 * kDegToRad;
  const double h2 = v.data[2] * 0.5 * kDegToRad;
  const double c0 = std::cos(h0), s0 = std::sin(h0);
  const double c1 = std::cos(h1), s1 = std::sin(h1);
  const double c2 = std::cos(h2), s2 = std::sin(h2);
  const Quaternion p(c0 * c1 * c2 - s0 * s1 * s2, c0 * c1 * s2 + s0 * s1 * c2, s0 * c1 * c2 + c0 * s1 * s2,
                     c0 * s1 * c2 - s0 * c1 * s2);
  isQuatMulQuat(qgm, p);
}

void Quaternion::isHelical(const ZtVector& v) {
  Vector3 n;
  const double theta = n.isNormalizeVec(v);
  const double s = std::sin(theta / 2);
  *this = Quaternion(std::cos(theta / 2), n.data[0] * s, n.data[1] * s, n.data[2] * s);
  makePositiveDefinite();
}

void Quaternion::isSlerp(const ZtQuaternion& a, const ZtQuaternion& b, double t, double threshold) {
  const double d = clampUnit(a.w * b.w + a.x * b.x + a.y * b.y + a.z * b.z);
  // A negative dot product interpolates from -a, the shorter way round.
  const double theta = d < 0.0 ? acosClamped(-d) : acosClamped(d);
  if (!(theta > threshold)) {
    *this = a;
    return;
  }
  const double sinTheta = std::sin(theta);
  double wa = std::sin((1.0 - t) * theta) / sinTheta;
  if (d < 0.0) wa = -wa;
  const double wb = std::sin(t * theta) / sinTheta;
  *this = Quaternion(wa * a.w + wb * b.w, wa * a.x + wb * b.x, wa * a.y + wb * b.y, wa * a.z + wb * b.z);
  isNormalizeSelf();
}

double Quaternion::cartesianLength() const { return std::sqrt(w * w + x * x + y * y + z * z); }

bool Quaternion::isValid(double tolerance) const {
  if (!ZtMath_isFinite(w) || !ZtMath_isFinite(x) || !ZtMath_isFinite(y) || !ZtMath_isFinite(z)) return false;
  if (tolerance > 0.0) return std::fabs(w * w + x * x + y * y + z * z - 1.0) <= tolerance;
  return true;
}

void Quaternion::setEuler(ZtVector& v) const {
  v.data[0] = std::atan2(2 * (w * x + y * z), 2 * (w * w + z * z) - 1) * kRadToDeg;
  v.data[1] = -std::asin(clampUnit(2 * (x * z - w * y))) * kRadToDeg;
  v.data[2] = std::atan2(2 * (x * y + w * z), 2 * (w * w + x * x) - 1) * kRadToDeg;
}

void Quaternion::setEulerZXY(ZtVector& v) const {
  const double g = x * y + z * w;
  if (g > kGimbalLimit) {
    v.data[0] = 0.0;
    v.data[1] = 2 * std::atan2(x, w) * kRadToDeg;
    v.data[2] = 90.0;
  } else if (g < -kGimbalLimit) {
    v.data[0] = 0.0;
    v.data[1] = -2 * std::atan2(x, w) * kRadToDeg;
    v.data[2] = -90.0;
  } else {
    v.data[0] = std::atan2(2 * (w * x - y * z), 1 - 2 * (x * x + y * y)) * kRadToDeg;
    v.data[1] = std::asin(clampUnit(2 * (w * y + x * z))) * kRadToDeg;
    v.data[2] = std::atan2(2 * (w * z - x * y), 1 - 2 * (y * y + z * z)) * kRadToDeg;
  }
}

void Quaternion::setEulerYUp(ZtVector& v) const {
  Quaternion p;
  p.isQuatMulQuat(qmg, *this);
  const double g = p.x * p.y + p.z * p.w;
  if (g > kGimbalLimit) {
    v.data[0] = 2 * std::atan2(p.x, p.w) * kRadToDeg;
    v.data[1] = 90.0;
    v.data[2] = 0.0;
  } else if (g < -kGimbalLimit) {
    v.data[0] = -2 * std::atan2(p.x, p.w) * kRadToDeg;
    v.data[1] = -90.0;
    v.data[2] = 0.0;
  } else {
    v.data[0] = std::atan2(2 * (p.y * p.w - p.z * p.x), 1 - 2 * (p.y * p.y + p.z * p.z)) * kRadToDeg;
    v.data[1] = std::asin(clampUnit(2 * g)) * kRadToDeg;
    v.data[2] = std::atan2(2 * (p.x * p.w - p.y * p.z), 1 - 2 * (p.x * p.x + p.z * p.z)) * kRadToDeg;
  }
}

void Quaternion::setHelical(ZtVector& v, double& s) const {
  Vector3 axis(x, y, z);
  Vector3 n;
  s = n.isNormalizeVecL2(axis);
  double phi = std::asin(clampUnit(s));
  if (s * s > 2.0) phi = std::acos(clampUnit(w));
  if (w < 0.0) phi = -phi;
  v.data[0] = 2 * phi * n.data[0];
  v.data[1] = 2 * phi * n.data[1];
  v.data[2] = 2 * phi * n.data[2];
}

int Quaternion::writeToString(char* buffer) const {
  char scratch[256];
  return std::snprintf(buffer != nullptr ? buffer : scratch, 256, "%.16g %.16g %.16g %.16g ", w, x, y, z);
}

int Quaternion::writeToString(std::string& s) const {
  char text[256];
  const int n = std::snprintf(text, sizeof text, "%.16g %.16g %.16g %.16g ", w, x, y, z);
  s += text;
  return n;
}

int Quaternion::readFromString(const char* text) {
  size_t pos = 0;
  double q[4];
  for (double& item : q)
    if (!parseTextDouble(text, &pos, &item)) return 0;
  isArray(q);
  isNormalizeSelf();
  return static_cast<int>(pos);
}

int Quaternion::readFromString(const std::string& text) { return readFromString(text.c_str()); }

int Quaternion::serialize(char* buffer) const {
  if (buffer != nullptr) {
    const double q[4] = {w, x, y, z};
    std::memcpy(buffer, q, sizeof q);
  }
  return 32;
}

int Quaternion::deserialize(const char* buffer) { return deserialize(buffer, 32); }

int Quaternion::deserialize(const char* buffer, size_t length) {
  if (length < 32) return 0;
  double q[4];
  std::memcpy(q, buffer, sizeof q);
  isArray(q);
  isNormalizeSelf();
  return 32;
}

void Quaternion::display(char* buffer) const { std::sprintf(buffer, "Quat: [ %.7g %.7g %.7g %.7g ]\n", w, x, y, z); }

void Quaternion::saveAsMatlab(const char* fileName, const char* variableName) const {
  double q[4] = {w, x, y, z};
  const ZtMatrix row{q, 1, 4, 4, 0};
  saveAsMatlabFile(fileName, variableName, row);
}

}  // namespace zelto

std::ostream& operator<<(std::ostream& os, const ZtQuaternion& q) {
  return os << "[Q]( " << q.w << " " << q.x << " " << q.y << " " << q.z << " )";
}
