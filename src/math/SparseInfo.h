#ifndef ZDA_MATH_SPARSEINFO_H
#define ZDA_MATH_SPARSEINFO_H
#include "math/MathBase.h"

namespace zelto {

// End mark of every index list of the zero-skipping products.
constexpr ZtSize terminator = SIZE_MAX;

// Per-row and per-column lists of the indexes of a dense matrix's elements that are not exactly
// zero (NaN counts as non-zero), each list ascending and ended by terminator. Row list i holds
// up to cols + 1 entries, column list j up to rows + 1.
class SparseInfo {
 public:
  SparseInfo(const ZtMatrix& m, bool rowLists, bool colLists);
  ~SparseInfo();
  SparseInfo(const SparseInfo&) = delete;
  SparseInfo& operator=(const SparseInfo&) = delete;

  // Rebuilds the requested lists from m, reusing the lists held when m keeps the size.
  void update(const ZtMatrix& m, bool rowLists, bool colLists);

  const ZtSize* rowList(ZtSize i) const { return m_rowLists + i * (m_cols + 1); }
  const ZtSize* colList(ZtSize j) const { return m_colLists + j * (m_rows + 1); }
  bool hasRowLists() const { return m_rowLists != nullptr; }
  bool hasColLists() const { return m_colLists != nullptr; }

  // Writes the k < count with p[k * stride] != 0, then the terminator; returns how many.
  static ZtSize getSparseIndexes(const double* p, ZtSize stride, ZtSize count, ZtSize* out);
  // Sum of a[x * aStride] * b[x * bStride] over the indexes x present in both lists.
  static double sparseMulAcc(const double* a, const ZtSize* aList, ZtSize aStride, const double* b,
                             const ZtSize* bList, ZtSize bStride);

 private:
  ZtSize m_rows;
  ZtSize m_cols;
  ZtSize* m_rowLists;
  ZtSize* m_colLists;
};

}  // namespace zelto

#endif
