#ifndef ZDA_MATH_QUATERNION_H
#define ZDA_MATH_QUATERNION_H
// Orientation quaternion over the companion ZtQuaternion record (w, x, y, z; w is the scalar
// part), Hamilton products. No virtual operations and no fields beyond the record.
// Operations named is... assign their result to this quaternion.
#include <cstdint>
#include <iosfwd>
#include <string>

#include "math/MathBase.h"

namespace zelto {

class Quaternion : public ZtQuaternion {
 public:
  constexpr Quaternion() : ZtQuaternion{1.0, 0.0, 0.0, 0.0} {}
  constexpr Quaternion(double w_, double x_, double y_, double z_) : ZtQuaternion{w_, x_, y_, z_} {}
  explicit Quaternion(const double* p) : ZtQuaternion{p[0], p[1], p[2], p[3]} {}
  constexpr Quaternion(const ZtQuaternion& q) : ZtQuaternion(q) {}
  // The first four items of v (v must have at least four).
  explicit Quaternion(const ZtVector& v) : ZtQuaternion{v.data[0], v.data[1], v.data[2], v.data[3]} {}

  Quaternion& operator=(const ZtQuaternion& q) {
    w = q.w;
    x = q.x;
    y = q.y;
    z = q.z;
    return *this;
  }
  Quaternion& operator=(const ZtVector& v);

  void setArray(double* out) const;
  void isArray(const double* p);

  // True for q itself, or when all four components (or all four negated ones) match:
  // q and -q are the same rotation.
  bool compare(const ZtQuaternion& q) const;
  bool compare(const ZtQuaternion& q, double tolerance) const;
  bool compare(const ZtQuaternion& q, uint64_t ulps) const;
  bool operator==(const ZtQuaternion& q) const { return compare(q); }
  bool operator!=(const ZtQuaternion& q) const { return !compare(q); }

  void isIdentity();
  void isInverseSelf();
  void isInverseOf(const ZtQuaternion& q);
  // a or b may be this quaternion.
  void isQuatMulQuat(const ZtQuaternion& a, const ZtQuaternion& b);
  void isRotateX(double a);
  void isRotateY(double a);
  void isRotateZ(double a);
  void isMatCol(const ZtMatrix& m, ZtSize c);
  void isMatRow(const ZtMatrix& m, ZtSize r);
  void isNormalizeSelf();
  void isNormalizeQuat(const ZtQuaternion& q);
  void makePositiveDefinite();
  void isRmat(const ZtMatrix& r);
  // Euler angles (roll, pitch, yaw) in degrees, R = Rz(yaw) Ry(pitch) Rx(roll).
  void isEuler(const ZtVector& v);
  void isEulerYUp(const ZtVector& v);
  void isHelical(const ZtVector& v);
  void isSlerp(const ZtQuaternion& a, const ZtQuaternion& b, double t, double threshold);

  double cartesianLength() const;
  // All components finite and, for tolerance > 0, |w^2 + x^2 + y^2 + z^2 - 1| <= tolerance.
  bool isValid(double tolerance) const;
  void setEuler(ZtVector& v) const;
  void setEulerZXY(ZtVector& v) const;
  void setEulerYUp(ZtVector& v) const;
  void setHelical(ZtVector& v, double& s) const;

  // Text form "%.16g " for w, x, y, z. A null buffer only counts.
  int writeToString(char* buffer) const;
  int writeToString(std::string& s) const;
  // Reads four numbers and normalises; 0 (unchanged) when fewer than four parse.
  int readFromString(const char* text);
  int readFromString(const std::string& text);
  // Binary form: w, x, y, z as host-order doubles, 32 bytes. Null buffer: count only.
  int serialize(char* buffer) const;
  // Reads the binary form and normalises. The bounded form returns 0 (unchanged) when fewer
  // than 32 bytes are given.
  int deserialize(const char* buffer);
  int deserialize(const char* buffer, size_t length);
  void display(char* buffer) const;
  void saveAsMatlab(const char* fileName, const char* variableName) const;
};

// The rotation by 120 degrees about (1, 1, 1)/sqrt(3) between the Y-up and the Z-up world
// frames, and its inverse.
extern const Quaternion qgm;
extern const Quaternion qmg;

}  // namespace zelto

std::ostream& operator<<(std::ostream& os, const ZtQuaternion& q);

#endif
