#ifndef ZDA_MATH_MATRIX3X3_H
#define ZDA_MATH_MATRIX3X3_H
#include <cstdint>

#include "math/Matrix.h"

namespace zelto {

// Unit of the Euler extractions: Degrees multiplies the angles by 180/pi, anything else
// leaves radians.
enum AngleType { Radians = 0, Degrees = 1 };

// 3 x 3 matrix whose record views the nine doubles inside this object (stride 3, flags 2).
// Copies keep the record pointing at the copy's own storage; never copy it bytewise.
class Matrix3x3 : public Matrix {
 public:
  Matrix3x3() : Matrix(3, 3, 3, m_items, kInternalStorage), m_items{} {}
  Matrix3x3(const Matrix3x3& o);
  // Copies the 3 x 3 elements of m (which must be at least 3 x 3), honouring its stride.
  explicit Matrix3x3(const ZtMatrix& m);

  Matrix3x3& operator=(const Matrix3x3& o);
  Matrix3x3& operator=(const ZtMatrix& m);

  // Euler angles of the rotations Ry(y)Rx(x)Rz(z), Rx(x)Rz(z)Ry(y) and Rz(z)Rx(x)Ry(y).
  void toEulerYxz(double& y, double& x, double& z, int unit) const;
  void toEulerXzyYup(double& x, double& y, double& z, int unit) const;
  void toEulerZxyYup(double& x, double& y, double& z, int unit) const;

 private:
  double m_items[9];
};

// Element i (row-major) = p[i] / 2^shift.
Matrix3x3 toMatrix3x3(const int32_t p[9], int shift);

}  // namespace zelto

#endif
