#include "math/lapackGlue.h"

namespace zelto {
namespace lapackGlue {

double* alloc(const ZtMatrix* m) {
  if (m == nullptr) return nullptr;
  const size_t n = m->rows * m->cols;
  return static_cast<double*>(zeltoMathMalloc((n != 0 ? n : 1) * sizeof(double)));
}

double* zeltoMatrixToLapackArray(const ZtMatrix& m) {
  double* a = alloc(&m);
  for (ZtSize c = 0; c < m.cols; ++c)
    for (ZtSize r = 0; r < m.rows; ++r) a[c * m.rows + r] = m.data[r * m.stride + c];
  return a;
}

void lapackArrayToZeltoMatrix(const double* array, ZtMatrix& m) {
  for (ZtSize c = 0; c < m.cols; ++c)
    for (ZtSize r = 0; r < m.rows; ++r) m.data[r * m.stride + c] = array[c * m.rows + r];
}

}  // namespace lapackGlue
}  // namespace zelto
