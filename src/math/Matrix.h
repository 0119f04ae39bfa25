#ifndef ZDA_MATH_MATRIX_H
#define ZDA_MATH_MATRIX_H
// Dense row-major matrix over a ZtMatrix record: element (r, c) at data[r * stride + c]. The
// storage is owned (flags bit 1, allocated and released through the companion library) or a view
// over caller storage, possibly a block of a larger array (stride > cols), which is never
// reallocated or freed. No virtual operations and no fields beyond the record.
// Operations named is... assign their result to this matrix, which must already have the
// result's size; the result must not share storage with an operand unless stated. Nothing checks
// sizes or indexes. Blocks are given as (row, column, rows, columns).
#include <cstdint>
#include <iosfwd>
#include <string>

#include "math/MathBase.h"
#include "math/Vector.h"

namespace zelto {

class SparseInfo;
class MatMulMatTemplate;
class SparseMatrix;

class Matrix : public ZtMatrix {
 public:
  Matrix();
  Matrix(ZtSize rows, ZtSize cols);
  Matrix(ZtSize rows, ZtSize cols, const double* src);
  // View: data, sizes, stride and flags are stored verbatim; nothing is allocated or freed.
  Matrix(ZtSize rows, ZtSize cols, ZtSize stride, double* data, ZtDataFlags flags);
  Matrix(const ZtMatrix& other);
  Matrix(const Matrix& other);
  ~Matrix();

  Matrix& operator=(const ZtMatrix& other);
  Matrix& operator=(const Matrix& other);

  double& operator()(ZtSize r, ZtSize c) { return data[r * stride + c]; }
  const double& operator()(ZtSize r, ZtSize c) const { return data[r * stride + c]; }
  double* rowPtr(ZtSize r) { return data + r * stride; }
  const double* rowPtr(ZtSize r) const { return data + r * stride; }

  // ---- storage ----
  void setArray(double* dst) const;
  void isArray(const double* src);
  Vector row(ZtSize r) const;
  Vector col(ZtSize c) const;
  void changeSize(ZtSize rows, ZtSize cols);
  void insertRows(ZtSize pos, ZtSize count, ZtReal value);
  void insertCols(ZtSize pos, ZtSize count, ZtReal value);
  void rangeCheck() const {}
  bool isValid(double maxAbs) const;

  bool operator==(const ZtMatrix& other) const;
  bool operator!=(const ZtMatrix& other) const { return !(*this == other); }
  bool compare(const ZtMatrix& other) const { return *this == other; }
  bool compare(const ZtMatrix& other, double tolerance) const;
  // ulpsOffDiagonal == 0 makes ulpsDiagonal apply to every element.
  bool compare(const ZtMatrix& other, uint64_t ulpsDiagonal, uint64_t ulpsOffDiagonal) const;

  // Text form "%d,%d: " then "%.16g " per element, row by row. A null buffer only counts.
  int writeToString(char* buffer) const;
  int writeToString(std::string& s) const;
  // Returns the characters consumed; 0 on a parse failure or a negative or impossible size.
  int readFromString(const char* text);
  int readFromString(const std::string& text);
  // Binary form: u32 rows, u32 cols, then the elements row by row (the stride is not written).
  int serialize(char* buffer) const;
  // The bounded form returns 0 (matrix unchanged) when the form does not fit in length bytes.
  int deserialize(const char* buffer);
  int deserialize(const char* buffer, size_t length);
  void display(char* buffer) const;
  void saveAsMatlab(const char* fileName, const char* variableName) const;

  // ---- element-wise ----
  void isMatAddMat(const ZtMatrix& a, const ZtMatrix& b);
  void isMatSubMat(const ZtMatrix& a, const ZtMatrix& b);
  void isMatAddMatAddMatSubMat(const ZtMatrix& a, const ZtMatrix& b, const ZtMatrix& m, const ZtMatrix& n);
  void isMatAddScaMulMat(const ZtMatrix& a, double s, const ZtMatrix& b);
  void isScaMulMatAddScaMulMat(double s1, const ZtMatrix& a, double s2, const ZtMatrix& b);
  void isScaMulMat(double s, const ZtMatrix& a);
  void isSelfAddScaMulMat(double s, const ZtMatrix& a);
  void isMatEMulMat(const ZtMatrix& a, const ZtMatrix& b);
  void isMatEDivMat(const ZtMatrix& a, const ZtMatrix& b);
  void isScaMulMatEMulMat(double s, const ZtMatrix& a, const ZtMatrix& b);
  void isAbs(const ZtMatrix& a);
  void isSqrt(const ZtMatrix& a);
  void isMatAddIdentity(const ZtMatrix& a, double s);
  void isTransposeOf(const ZtMatrix& a);
  void isZero();

  // ---- diagonal ----
  void isDiag(const ZtVector& v);
  void isDiag(const double* values);
  void isDiagSquared(const ZtVector& v);
  void isDiagSquared(const double* values);
  void isMatAddMatDiagonal(const ZtMatrix& a, const ZtMatrix& b);
  void isMatEMulMatDiagonal(const ZtMatrix& a, const ZtMatrix& b);
  void isSqrtDiagonal(const ZtMatrix& a);

  // ---- rows and columns ----
  void setRow(double s, ZtSize r);
  void setCol(double s, ZtSize c);
  void setRow(const ZtVector& v, ZtSize r);
  void setCol(const ZtVector& v, ZtSize c);
  void setRow(const double* values, ZtSize r);
  void setCol(const double* values, ZtSize c);
  void setRow(const ZtQuaternion& q, ZtSize r);
  void setCol(const ZtQuaternion& q, ZtSize c);
  void getCol(ZtVector& out, ZtSize c) const;
  void rowAddScaMulRow(ZtSize dst, double s, ZtSize src);
  void swapRows(ZtSize r1, ZtSize r2, ZtSize count, ZtSize startCol);
  void swapCols(ZtSize c1, ZtSize c2, ZtSize count, ZtSize startRow);

  // ---- blocks ----
  void zeroSub(ZtSize row, ZtSize col, ZtSize rows, ZtSize cols);
  void setSubScalar(double s, ZtSize row, ZtSize col, ZtSize rows, ZtSize cols);
  void setSubIdentity(double s, ZtSize row, ZtSize col, ZtSize rows, ZtSize cols);
  void setSubDiag(const ZtVector& v, ZtSize row, ZtSize col);
  void setSubMatrix(const ZtMatrix& src, ZtSize dstRow, ZtSize dstCol, ZtSize rows, ZtSize cols, ZtSize srcRow,
                    ZtSize srcCol);
  // Block of a sparse matrix; forwards to src.getDenseSubMatrix (whose argument order differs).
  void setSubMatrix(const SparseMatrix& src, ZtSize dstRow, ZtSize dstCol, ZtSize rows, ZtSize cols, ZtSize srcRow,
                    ZtSize srcCol);
  void setSubScaMulMatrix(double s, const ZtMatrix& src, ZtSize dstRow, ZtSize dstCol, ZtSize rows, ZtSize cols,
                          ZtSize srcRow, ZtSize srcCol);
  void setSubMatAddMat(const ZtMatrix& a, const ZtMatrix& b, ZtSize dstRow, ZtSize dstCol, ZtSize rows, ZtSize cols,
                       ZtSize srcRow, ZtSize srcCol);

  // ---- triangular ----
  void isTransposeOfTriU(const ZtMatrix& u);
  void isInverseOfTriU(const ZtMatrix& u);
  void isInverseOfTriUSelf();

  // ---- reductions and symmetric forms ----
  // minVal/maxVal/maxAbsVal of a matrix without elements return 0.
  double minVal() const;
  double maxVal() const;
  double maxAbsVal() const;
  double sumVal(ZtSize row, ZtSize col, ZtSize rows, ZtSize cols) const;
  double minVal(ZtSize row, ZtSize col, ZtSize rows, ZtSize cols) const;
  double maxVal(ZtSize row, ZtSize col, ZtSize rows, ZtSize cols) const;
  double trace() const;
  bool isEqual(const ZtMatrix& a, double tolerance) const;
  void isMin(const ZtMatrix& a, const ZtMatrix& b);
  void isPermutation(const ZtMatrix& a, const ZtVector& p);
  void isSymmetricTriL(const ZtMatrix& a);
  void isSymmetric(const ZtMatrix& a);

  // ---- products (the result must not share storage with an operand) ----
  // Blocked product when this.rows, this.cols and a.cols all reach 259, else the plain one.
  void isMatMulMat(const ZtMatrix& a, const ZtMatrix& b);
  void isMatMulMatTrivial(const ZtMatrix& a, const ZtMatrix& b);
  void isMatMulMatBlocked(const ZtMatrix& a, const ZtMatrix& b);
  void isMatMulTransMat(const ZtMatrix& a, const ZtMatrix& b);
  void isMatMulTransMatTrivial(const ZtMatrix& a, const ZtMatrix& b);
  void isMatMulTransMatBlocked(const ZtMatrix& a, const ZtMatrix& b);
  void isTransMatMulMat(const ZtMatrix& a, const ZtMatrix& b);
  void isTransMatMulMat(const ZtMatrix& a);
  void isSelfAddScaMulMatMulMat(double s, const ZtMatrix& a, const ZtMatrix& b);
  void isScaMulMatMulMat(double s, const ZtMatrix& a, const ZtMatrix& b);
  void isMatMulMatMulMat(const ZtMatrix& a, const ZtMatrix& b, const ZtMatrix& f);
  void isAtBA(const ZtMatrix& a, const ZtMatrix& b);
  void isABAt(const ZtMatrix& a, const ZtMatrix& b);
  void isABAtSymmetrical(const ZtMatrix& a, const ZtMatrix& b);
  void isABAtDiagonal(const ZtMatrix& a, const ZtMatrix& d);
  void isMatMulMatSymmetrical(const ZtMatrix& a, const ZtMatrix& b);
  void isMatMulTransMatSymmetrical(const ZtMatrix& a, const ZtMatrix& b);
  void isMatMulMatDiagonal(const ZtMatrix& a, const ZtMatrix& d);
  void isMatMulDiag(const ZtMatrix& a, const ZtVector& v);
  void isDiagMulMat(const ZtVector& v, const ZtMatrix& a);
  void isMatMulMatTriL(const ZtMatrix& a, const ZtMatrix& l);
  void isMatMulMatTriLSkip(const ZtMatrix& a, const ZtMatrix& l, ZtSize skip);
  void isKronMatMulMat(const ZtMatrix& a, const ZtMatrix& b);
  void isKronTransMatMulMat(const ZtMatrix& a, const ZtMatrix& b);
  void isSqrtCovarianceDiff(const ZtMatrix& a, const ZtMatrix& b);
  // Products that skip known zeros through index lists (infoA row lists; infoB column lists for
  // A*B, row lists for A*B^T).
  void isMatMulMat(const ZtMatrix& a, const SparseInfo& infoA, const ZtMatrix& b, const SparseInfo& infoB);
  void isMatMulTransMat(const ZtMatrix& a, const SparseInfo& infoA, const ZtMatrix& b, const SparseInfo& infoB);
  void isABAt(const ZtMatrix& a, const SparseInfo& infoA, const ZtMatrix& b, const SparseInfo& infoB);
  // A*B over a term list built for operands of these strides and zero pattern.
  void isMatMulMat(const MatMulMatTemplate& t, const ZtMatrix& a, const ZtMatrix& b);

  // ---- special matrices and rotations ----
  void isIdentity(double s = 1.0);
  void isIdentity(double s, uint64_t mask);
  void isRotateX(double a);
  void isRotateY(double a);
  void isRotateZ(double a);
  void isMcrossVec(const ZtVector& v);
  void isMcrossNegVec(const ZtVector& v);
  void isQuat(const ZtQuaternion& q);
  void isLeftQuat(const ZtQuaternion& q);
  void isRightQuat(const ZtQuaternion& q);
  // (roll, pitch, yaw) in degrees: Rz(yaw) Ry(pitch) Rx(roll).
  void isEuler(const ZtVector& v);
  void makeOrthonormalXZ(const ZtVector& a, const ZtVector& b);
  void makeOrthonormalYZ(const ZtVector& a, const ZtVector& b);
  void makeOrthonormalZX(const ZtVector& a, const ZtVector& b);
  void makeOrthonormalZY(const ZtVector& a, const ZtVector& b);
  // this = rotation by -rate*t about axis; out1..out3 (each skipped when null or without rows)
  // receive its integrals.
  void isExpMatrixInt(double rate, const ZtVector& axis, double t, Matrix* out1, Matrix* out2, Matrix* out3);
  double det2x2() const;
  double det3x3() const;

  // ---- decompositions (Householder vectors V: m x k, column j holds v_j with v_j(j) = 1;
  //      beta: k scales, H_j = I - beta_j v_j v_j^T; k = min(rows, cols)) ----
  // this = U diag(s) Vt through LAPACK; s must hold min(m, n) items; U (m x m) and Vt (n x n)
  // are filled only when given.
  void SVDecomposition(Vector& s, Matrix* U, Matrix* Vt) const;
  // Eigenvalues (ascending) of this symmetric matrix, upper triangle read; eigenvectors as the
  // columns of V (m x m) when given.
  void symmetricEigen(Vector& w, Matrix* V) const;
  void extractHouseholderVec(Matrix& V, Vector& beta, ZtSize j) const;
  // this = H_j this over rows j.. and columns j.. (all columns when allColumns); w holds one
  // double per column of this.
  void householderReflectionFast(const ZtMatrix& V, const ZtVector& beta, ZtSize j, bool allColumns, ZtVector& w);
  void householderReflection(const ZtMatrix& V, const ZtVector& beta, ZtSize j, bool allColumns);
  // The same for a matrix whose bottom skip rows are triangular (column c is zero from row
  // m - skip + c on): those zeros are neither read nor written.
  void householderReflectionTriSkip(const ZtMatrix& V, const ZtVector& beta, ZtSize j, bool allColumns, ZtSize skip,
                                    ZtVector& w);
  // this = R, Q (m x m, sized by the caller) = H_0 ... H_(k-1).
  void QRdecomposition(Matrix& Q);
  // this = R in place. scratch holds m*k + k + n doubles (V, row stride k; beta; w) and makes
  // the call allocation-free; null allocates them for the call.
  void QRdecomposition(double* scratch);
  void QRdecompositionTriSkip(ZtSize skip);
  void QRdecompositionTriSkip(ZtSize skip, double* scratch);
  // this = R, Y (m rows) = Q^T Y.
  void QtCRdecomposition(Matrix& Y);
  // this = X with A X = B, column by column, through QR of A.
  void isSolveQR(const Matrix& B, const ZtMatrix& A);
  // Determinant of this square matrix through QR.
  double det() const;
  void GivensRotationRows(double c, double s, ZtSize i, ZtSize k);
  void GivensRotationCols(double c, double s, ZtSize i, ZtSize k);
  void QRdecompositionGivens(Matrix& Q);
  // this = Q^T this Q, upper Hessenberg.
  void Hessenberg(Matrix& Q);
  // One unshifted QR step on an upper Hessenberg this (this = R Q_step); Q accumulates Q_step.
  void HessenbergQRstep(Matrix& Q);
  void QRdecompositionFastGivens(Matrix& Q);
  // this = L (lower triangular), L L^T = this; only the lower triangle is read.
  void Cholesky();

  // ---- inverses (no pivoting; every exact-zero pivot throws) ----
  void isInverseOf3x3(const ZtMatrix& a);
  void isInverseSelf();
  void isInverseOf(const ZtMatrix& a);
  // 2 x 2 and 3 x 3 throw when |det| < 1e-16.
  void isInverseSelfChecked();
  // Inverse of A = [P B; E I] whose lower-right k x k block is taken as the identity. Exact
  // for symmetric A only: the lower-left block is set to the transposed upper-right one.
  void isInverseOfWithLRIdentity(const ZtMatrix& a, ZtSize k);
  // Diagonal of this = 1 / diagonal of d; off-diagonal elements untouched.
  void isInverseDiagonal(const ZtMatrix& d);
  // In place; a non-square view that holds data cannot be transposed (it would need resizing).
  void isTransposeSelf();

 protected:
  // Makes this record hold rows x cols densely (owned unless a view can hold it).
  bool assignSize(ZtSize rows, ZtSize cols);
};

// Rotation [c -s; s c] that zeroes b against a (c = 1, s = 0 when b = 0).
void Givens(double& c, double& s, double a, double b);
// One fast Givens transformation of (x1, x2) with diagonal scaling (d1, d2); type 1 or 2.
void fastGivens(double& alpha, double& beta, unsigned long& type, double x1, double x2, double& d1, double& d2);

}  // namespace zelto

std::ostream& operator<<(std::ostream& os, const ZtMatrix& m);

#endif
