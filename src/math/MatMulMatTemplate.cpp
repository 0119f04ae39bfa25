#include "math/MatMulMatTemplate.h"

#include <cstdint>
#include <cstdlib>
#include <new>

#include "math/SparseInfo.h"

namespace zelto {

MatMulMatTemplate::MatMulMatTemplate(const ZtMatrix& a, int shapeA, const ZtMatrix& b, int shapeB, double ratio)
    : m_rows(a.rows), m_cols(b.cols), m_inner(a.cols), m_entries(nullptr), m_fillRatio(0.0), m_count(0),
      m_capacity(0) {
  const ZtSize full = m_rows * (2 * m_inner * m_cols + 1);
  const double wanted = ratio * static_cast<double>(full);
  // Growth by half cannot enlarge a capacity below 2; a capacity whose byte count does not fit
  // a size is a failed allocation, not a wrapped (too small) one.
  if (wanted >= static_cast<double>(SIZE_MAX / sizeof(ZtSize))) throw std::bad_alloc();
  m_capacity = wanted > 2.0 ? static_cast<ZtSize>(wanted) : 2;
  m_entries = static_cast<ZtSize*>(zeltoMathMalloc(m_capacity * sizeof(ZtSize)));
  try {
    for (ZtSize i = 0; i < m_rows; ++i)
      for (ZtSize j = 0; j < m_cols; ++j) {
        for (ZtSize k = 0; k < m_inner; ++k) {
          if (isZeroElement(a, shapeA, i, k) || isZeroElement(b, shapeB, k, j)) continue;
          reserveFor(2);
          m_entries[m_count++] = i * a.stride + k;
          m_entries[m_count++] = k * b.stride + j;
        }
        reserveFor(1);
        m_entries[m_count++] = terminator;
      }
  } catch (...) {
    std::free(m_entries);  // no destructor runs for a constructor that throws
    throw;
  }
  m_fillRatio = full != 0 ? static_cast<double>(m_count) / static_cast<double>(full) : 0.0;
}

MatMulMatTemplate::~MatMulMatTemplate() {
  std::free(m_entries);
  m_entries = nullptr;
}

void MatMulMatTemplate::reserveFor(ZtSize needed) {
  while (m_count + needed >= m_capacity) {
    const ZtSize grown = m_capacity + m_capacity / 2;
    if (grown > SIZE_MAX / sizeof(ZtSize)) throw std::bad_alloc();
    void* p = std::realloc(m_entries, grown * sizeof(ZtSize));
    if (p == nullptr) throw std::bad_alloc();
    m_entries = static_cast<ZtSize*>(p);
    m_capacity = grown;
  }
}

bool MatMulMatTemplate::isZeroElement(const ZtMatrix& m, int shape, ZtSize r, ZtSize c) {
  if (shape == ShapeLowerTriangular) return c > r;
  if (shape == ShapeUpperTriangular) return r > c;
  return m.data[r * m.stride + c] == 0.0;
}

}  // namespace zelto
