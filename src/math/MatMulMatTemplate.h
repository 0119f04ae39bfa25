#ifndef ZDA_MATH_MATMULMATTEMPLATE_H
#define ZDA_MATH_MATMULMATTEMPLATE_H
#include "math/MathBase.h"

namespace zelto {

// Declared zero pattern of a template operand.
enum MatrixShape { ShapeGeneral = 0, ShapeLowerTriangular = 1, ShapeUpperTriangular = 2 };

// Precomputed non-zero term pairs of one product A*B: for every result element in row-major
// order, its (offset into A's data, offset into B's data) pairs, then terminator. Valid only for
// operands with the strides and zero pattern it was built from.
class MatMulMatTemplate {
 public:
  // ratio sets the initial capacity as a fraction of rows * (2 * inner * cols + 1) entries.
  MatMulMatTemplate(const ZtMatrix& a, int shapeA, const ZtMatrix& b, int shapeB, double ratio);
  ~MatMulMatTemplate();
  MatMulMatTemplate(const MatMulMatTemplate&) = delete;
  MatMulMatTemplate& operator=(const MatMulMatTemplate&) = delete;

  // shape 1: c > r; shape 2: r > c; otherwise m(r, c) == 0.0 (NaN is not zero).
  static bool isZeroElement(const ZtMatrix& m, int shape, ZtSize r, ZtSize c);

  ZtSize rows() const { return m_rows; }
  ZtSize cols() const { return m_cols; }
  ZtSize inner() const { return m_inner; }
  const ZtSize* entries() const { return m_entries; }
  ZtSize entryCount() const { return m_count; }
  ZtSize capacity() const { return m_capacity; }
  double fillRatio() const { return m_fillRatio; }

 private:
  void reserveFor(ZtSize needed);

  ZtSize m_rows;
  ZtSize m_cols;
  ZtSize m_inner;
  ZtSize* m_entries;
  double m_fillRatio;
  ZtSize m_count;
  ZtSize m_capacity;
};

}  // namespace zelto

#endif
