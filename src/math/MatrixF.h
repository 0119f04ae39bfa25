#ifndef ZDA_MATH_MATRIXF_H
#define ZDA_MATH_MATRIXF_H
#include <cstring>

#include "math/Matrix.h"

namespace zelto {

// R x C matrix whose record views dense storage inside this object (stride C, flags 2), so
// that the filters' fixed-size steps never allocate. Never copy it bytewise.
template <ZtSize R, ZtSize C>
class MatrixF : public Matrix {
  static_assert(R > 0 && C > 0, "MatrixF needs at least one row and one column");

 public:
  MatrixF() : Matrix(R, C, C, m_items, kInternalStorage), m_items{} {}
  MatrixF(const MatrixF& o) : Matrix(R, C, C, m_items, kInternalStorage) {
    std::memcpy(m_items, o.m_items, sizeof m_items);
  }
  // Copies the R x C elements of m (which must have at least that size), honouring its stride.
  explicit MatrixF(const ZtMatrix& m) : Matrix(R, C, C, m_items, kInternalStorage) { copyFrom(m); }

  MatrixF& operator=(const MatrixF& o) {
    std::memmove(m_items, o.m_items, sizeof m_items);
    return *this;
  }
  MatrixF& operator=(const ZtMatrix& m) {
    if (&m != this) copyFrom(m);
    return *this;
  }

 private:
  void copyFrom(const ZtMatrix& m) {
    for (ZtSize r = 0; r < R; ++r) std::memmove(m_items + r * C, m.data + r * m.stride, C * sizeof(double));
  }

  double m_items[R * C];
};

}  // namespace zelto

#endif
