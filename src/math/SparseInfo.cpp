#include "math/SparseInfo.h"

#include <cstdlib>

namespace zelto {

SparseInfo::SparseInfo(const ZtMatrix& m, bool rowLists, bool colLists)
    : m_rows(m.rows), m_cols(m.cols), m_rowLists(nullptr), m_colLists(nullptr) {
  update(m, rowLists, colLists);
}

SparseInfo::~SparseInfo() {
  std::free(m_rowLists);
  std::free(m_colLists);
}

void SparseInfo::update(const ZtMatrix& m, bool rowLists, bool colLists) {
  if (m.rows != m_rows || m.cols != m_cols) {
    // Lists sized for another shape would be overrun: start again for this one.
    std::free(m_rowLists);
    std::free(m_colLists);
    m_rowLists = nullptr;
    m_colLists = nullptr;
    m_rows = m.rows;
    m_cols = m.cols;
  }
  if (rowLists) {
    if (m_rowLists == nullptr)
      m_rowLists = static_cast<ZtSize*>(zeltoMathMalloc(m_rows * (m_cols + 1) * sizeof(ZtSize)));
    for (ZtSize i = 0; i < m_rows; ++i) getSparseIndexes(m.data + i * m.stride, 1, m_cols, m_rowLists + i * (m_cols + 1));
  }
  if (colLists) {
    if (m_colLists == nullptr)
      m_colLists = static_cast<ZtSize*>(zeltoMathMalloc(m_cols * (m_rows + 1) * sizeof(ZtSize)));
    for (ZtSize j = 0; j < m_cols; ++j) getSparseIndexes(m.data + j, m.stride, m_rows, m_colLists + j * (m_rows + 1));
  }
}

ZtSize SparseInfo::getSparseIndexes(const double* p, ZtSize stride, ZtSize count, ZtSize* out) {
  ZtSize n = 0;
  for (ZtSize k = 0; k < count; ++k)
    if (p[k * stride] != 0.0) out[n++] = k;
  out[n] = terminator;
  return n;
}

double SparseInfo::sparseMulAcc(const double* a, const ZtSize* aList, ZtSize aStride, const double* b,
                                const ZtSize* bList, ZtSize bStride) {
  if (*aList == terminator || *bList == terminator) return 0.0;
  double sum = 0.0;
  while (*aList != terminator && *bList != terminator) {
    if (*aList == *bList) {
      sum += a[*aList * aStride] * b[*bList * bStride];
      ++aList;
      ++bList;
    } else if (*aList < *bList) {
      ++aList;
    } else {
      ++bList;
    }
  }
  return sum;
}

}  // namespace zelto
