#ifndef ZDA_MATH_VECTOR_H
#define ZDA_MATH_VECTOR_H
// Dense vector over a ZtVector record: owned storage (flags bit 1, allocated and released through
// the companion library) or a view over caller storage that is never reallocated or freed.
// No virtual operations and no fields beyond the record, so a Vector may be passed wherever a
// ZtVector is expected. Operations named is... assign their result to this vector, which must
// already have the result's size; nothing checks sizes or indexes.
#include <cstdint>
#include <iosfwd>
#include <string>

#include "math/MathBase.h"

namespace zelto {

class Vector3;
class Matrix;

class Vector : public ZtVector {
 public:
  Vector();
  explicit Vector(ZtSize n);
  Vector(ZtSize n, const double* src);
  // View: data, n and flags are stored verbatim; nothing is allocated or freed.
  Vector(ZtSize n, double* data, ZtDataFlags flags);
  Vector(const ZtVector& other);
  Vector(const Vector& other);
  explicit Vector(const ZtQuaternion& q);
  ~Vector();

  static Vector constructRange(double start, double step, double end);

  Vector& operator=(const ZtVector& other);
  Vector& operator=(const Vector& other);
  Vector& operator=(const ZtQuaternion& q);
  Vector& operator=(const double* src);

  double& operator[](ZtSize i) { return data[i]; }
  const double& operator[](ZtSize i) const { return data[i]; }

  void relocate(double* newData, ZtDataFlags newFlags);
  void setArray(double* dst) const;
  void changeSize(ZtSize n);
  void insertItems(ZtSize pos, ZtSize count, ZtReal value);
  void rangeCheck() const {}
  bool isValid(double maxAbs) const;

  bool operator==(const ZtVector& other) const;
  bool operator!=(const ZtVector& other) const { return !(*this == other); }
  bool compare(const ZtVector& other) const { return *this == other; }
  bool compare(const ZtVector& other, double tolerance) const;
  bool compare(const ZtVector& other, uint64_t maxUlps) const;

  // Text form "%d: " then "%.16g " per item. A null buffer only counts.
  int writeToString(char* buffer) const;
  // Appends the text form; returns the number of characters appended.
  int writeToString(std::string& s) const;
  // Returns the characters consumed, 0 when the header or an item does not parse or the
  // header's size is negative or larger than the text could hold.
  int readFromString(const char* text);
  int readFromString(const std::string& text);
  // Binary form: u32 size, then the doubles (host order, unaligned). Null buffer: count only.
  int serialize(char* buffer) const;
  // Reads the binary form. The bounded form reads at most length bytes and returns 0 (vector
  // unchanged) when the form does not fit in them.
  int deserialize(const char* buffer);
  int deserialize(const char* buffer, size_t length);
  void display(char* buffer) const;
  void saveAsMatlab(const char* fileName, const char* variableName) const;

  // ---- element-wise (the result may be an operand unless stated) ----
  void isVecAddVec(const ZtVector& a, const ZtVector& b);
  void isVecSubVec(const ZtVector& a, const ZtVector& b);
  void isVecAddVecAddVec(const ZtVector& a, const ZtVector& b, const ZtVector& c);
  void isVecAddVecSubVec(const ZtVector& a, const ZtVector& b, const ZtVector& c);
  void isScaMulVec(double s, const ZtVector& a);
  void isScaDivVec(double s, const ZtVector& a);
  void isVecAddScaMulVec(const ZtVector& a, double s, const ZtVector& b);
  void isScaMulVecAddScaMulVec(double s1, const ZtVector& a, double s2, const ZtVector& b);
  void isVecEMulVec(const ZtVector& a, const ZtVector& b);
  void isVecEDivVec(const ZtVector& a, const ZtVector& b);
  void isNegVec(const ZtVector& a);
  void isAbs(const ZtVector& a);
  void isSqrt(const ZtVector& a);
  void isInterpolate(double t, const ZtVector& a, const ZtVector& b);
  void isMax(const ZtVector& a, const ZtVector& b);
  void isMin(const ZtVector& a, const ZtVector& b);
  void isClamped(const ZtVector& v, const ZtVector& lo, const ZtVector& hi);
  void isClamped(const ZtVector& v, double lo, double hi);
  void isPermutation(const ZtVector& v, const ZtVector& index);
  void isInversePermutation(const ZtVector& index);
  void isZero();
  void isSubZero(ZtSize start, ZtSize count);
  void setSubVector(const ZtVector& src, ZtSize dstStart, ZtSize count, ZtSize srcStart);
  void setSubVector(const double* src, ZtSize dstStart, ZtSize count, ZtSize srcStride);
  void swapItems(ZtSize i, ZtSize j, ZtSize count);
  // The result must not share storage with a or b.
  void isVecCrossVec(const ZtVector& a, const ZtVector& b);

  // ---- matrix-vector (the result must not share storage with v or w) ----
  void isMatMulVec(const ZtMatrix& m, const ZtVector& v);
  void isMatMulVecMulSca(const ZtMatrix& m, const ZtVector& v, double s);
  void isMatMulVecAddVecMulSca(const ZtMatrix& m, const ZtVector& v, const ZtVector& w, double s);
  void isScaMulMatMulVecAddVec(double s, const ZtMatrix& m, const ZtVector& v, const ZtVector& w);
  void isSelfAddScaMulMatMulVec(double s, const ZtMatrix& m, const ZtVector& v);
  void isTransMatMulVec(const ZtMatrix& m, const ZtVector& v);
  void isVecMulMat(const ZtVector& v, const ZtMatrix& m);
  void isMatTriLMulVec(const ZtMatrix& m, const ZtVector& v);
  void isDiagMatMulMat(const ZtMatrix& a, const ZtMatrix& b);
  void isDiagMatMulTransMat(const ZtMatrix& a, const ZtMatrix& b);
  void isMatCol(const ZtMatrix& m, ZtSize c);
  void isMatRow(const ZtMatrix& m, ZtSize r);
  void isDiag(const ZtMatrix& m);
  // dim 1: column sums of squares, else row sums; count 0 means all.
  void isSumSquaresMat(const ZtMatrix& m, int dim, ZtSize index, ZtSize count);
  void isNormOfRows(const ZtMatrix& m);
  // items 0..2 = the vector part of q (0, v) q^-1.
  void isRotateVecByQuat(const ZtVector& v, const ZtQuaternion& q);

  // ---- solves (no pivot test except isSolve_y_is_M_x) ----
  void isLeftDivideTriL(const ZtMatrix& l, const ZtVector& b);
  void isLeftDivideTriU(const ZtMatrix& u, const ZtVector& b);
  void isLeftDivideDiag(const ZtMatrix& d, const ZtVector& b);
  // Gauss-Jordan; false (vector unchanged) when M has more columns than rows or lacks a pivot.
  bool isSolve_y_is_M_x(const ZtVector& y, const ZtMatrix& m);
  // A x = b through QR; A becomes R.
  void isSolveQR(const ZtVector& b, Matrix& A);
  // A x = b for symmetric positive-definite A; A becomes the transposed Cholesky factor.
  void isSolveCholesky(const ZtVector& b, Matrix& A);

  // ---- norms and reductions ----
  double l2Norm() const;
  double isNormalizeVecL2(const ZtVector& v);
  double isNormalizeVec(const ZtVector& v);
  bool cartesianLengthLargerThan(double x) const;
  bool cartesianLengthLargerOrEqual(double x) const;
  double dotProductOfSubVector(const ZtVector& other, ZtSize start, ZtSize count) const;
  double angleWith(const ZtVector& other) const;
  double minVal() const;
  double maxVal() const;
  double maxAbsVal(ZtSize* index) const;
  double sumVal() const;
  double avgVal() const;
  double unweightedAvgVal() const;

  // ---- polynomials (coefficients highest power first) ----
  double polyVal(double x) const;
  double polyCauchyBound() const;
  void isPolyGrad(const ZtVector& p);
  bool polyRootFalsePosition(double& root, double a, double b) const;
  // roots must hold size - 1 items.
  ZtSize polyRoot(Vector& roots, double lo, double hi) const;

  // Dominant eigenvector of a square matrix by power iteration; eigenvalue gets its magnitude.
  void isPrincipalEigen(const ZtMatrix& m, double& eigenvalue);

 protected:
  // Makes this record an owned vector of n items (n = 0: empty), releasing owned storage.
  // Returns false when a view cannot hold n items.
  bool assignSize(ZtSize n);
};

Vector3 toVector3(const int32_t values[3], int fractionBits);

}  // namespace zelto

std::ostream& operator<<(std::ostream& os, const ZtVector& v);

#endif
