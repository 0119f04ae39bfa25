#include "math/sparse/SparseMatrix.h"

#include <algorithm>
#include <new>

#include "math/Matrix.h"
#include "math/Vector.h"

namespace zelto {

namespace {

constexpr ZtSize kAll = ~ZtSize{0};

}  // namespace

SparseMatrix::SparseMatrix(ZtSize rows, ZtSize cols, bool rowData, bool colData, Allocator* allocator)
    : m_allocator(allocator != nullptr ? allocator : &defaultAllocator),
      m_canFree(m_allocator->canFree()),
      m_rows(rows),
      m_cols(cols) {
  if (rowData) {
    allocRowData();
    m_hasRowData = true;
  }
  if (colData) {
    try {
      allocColData();
    } catch (...) {
      freeRowData();
      throw;
    }
    m_hasColData = true;
  }
}

SparseMatrix::SparseMatrix(const SparseMatrix& other)
    : m_allocator(other.m_allocator), m_canFree(other.m_canFree), m_rows(other.m_rows), m_cols(other.m_cols) {
  if (other.m_hasRowData) {
    allocRowData();
    m_hasRowData = true;
    for (ZtSize r = 0; r < m_rows; ++r) *m_rowData[r] = *other.m_rowData[r];
  }
  if (other.m_hasColData) {
    try {
      allocColData();
    } catch (...) {
      freeRowData();
      throw;
    }
    m_hasColData = true;
    for (ZtSize c = 0; c < m_cols; ++c) *m_colData[c] = *other.m_colData[c];
  }
}

SparseMatrix::~SparseMatrix() {
  if (!m_canFree) return;
  if (m_rowData != nullptr) {
    releaseLists(m_rowData, 0, m_rows);
    releaseArray(m_rowData);
  }
  if (m_colData != nullptr) {
    releaseLists(m_colData, 0, m_cols);
    releaseArray(m_colData);
  }
}

// ---------------------------------------------------------------------------------------------
// List arrays

void SparseMatrix::growLists(SparseVector**& lists, ZtSize count, ZtSize newCount, ZtSize size) {
  const size_t bytes = newCount * sizeof(SparseVector*);
  lists = static_cast<SparseVector**>(lists != nullptr ? m_allocator->realloc(lists, bytes)
                                                       : m_allocator->malloc(bytes));
  ZtSize k = count;
  try {
    for (; k < newCount; ++k) {
      void* mem = m_allocator->malloc(sizeof(SparseVector));
      try {
        lists[k] = new (mem) SparseVector(size, m_allocator);
      } catch (...) {
        if (m_canFree) m_allocator->free(mem);
        throw;
      }
    }
  } catch (...) {
    releaseLists(lists, count, k);
    throw;
  }
}

SparseVector** SparseMatrix::makeLists(ZtSize count, ZtSize size) {
  SparseVector** lists = nullptr;
  if (count == 0) return lists;
  try {
    growLists(lists, 0, count, size);
  } catch (...) {
    releaseArray(lists);
    throw;
  }
  return lists;
}

void SparseMatrix::releaseLists(SparseVector** lists, ZtSize from, ZtSize to) {
  for (ZtSize k = from; k < to; ++k) {
    lists[k]->~SparseVector();
    if (m_canFree) m_allocator->free(lists[k]);
  }
}

void SparseMatrix::releaseArray(SparseVector** lists) {
  if (m_canFree && lists != nullptr) m_allocator->free(lists);
}

void SparseMatrix::shrinkLists(SparseVector**& lists, ZtSize count, ZtSize newCount) {
  releaseLists(lists, newCount, count);
  if (newCount == 0) {
    // realloc to 0 bytes may release the array and return null: give it back directly.
    releaseArray(lists);
    lists = nullptr;
    return;
  }
  try {
    lists = static_cast<SparseVector**>(m_allocator->realloc(lists, newCount * sizeof(SparseVector*)));
  } catch (const std::bad_alloc&) {
    // The larger array still holds the kept lists.
  }
}

void SparseMatrix::allocRowData() {
  if (m_rowData != nullptr) {
    releaseLists(m_rowData, 0, m_rows);
    releaseArray(m_rowData);
    m_rowData = nullptr;
  }
  m_rowData = makeLists(m_rows, m_cols);
}

void SparseMatrix::allocColData() {
  if (m_colData != nullptr) {
    releaseLists(m_colData, 0, m_cols);
    releaseArray(m_colData);
    m_colData = nullptr;
  }
  m_colData = makeLists(m_cols, m_rows);
}

void SparseMatrix::freeRowData() {
  if (m_rowData != nullptr) {
    releaseLists(m_rowData, 0, m_rows);
    releaseArray(m_rowData);
    m_rowData = nullptr;
  }
  m_hasRowData = false;
}

void SparseMatrix::freeColData() {
  if (m_colData != nullptr) {
    releaseLists(m_colData, 0, m_cols);
    releaseArray(m_colData);
    m_colData = nullptr;
  }
  m_hasColData = false;
}

void SparseMatrix::addRowData() {
  if (m_hasRowData) return;
  allocRowData();
  m_hasRowData = true;
  rebuildRowData();
}

void SparseMatrix::addColData() {
  if (m_hasColData) return;
  allocColData();
  m_hasColData = true;
  rebuildColData();
}

void SparseMatrix::fillRowsFromCols(const SparseMatrix& src) {
  zeroRows();
  for (ZtSize c = 0; c < src.m_cols; ++c)
    for (const SparseVector::Node* n = src.m_colData[c]->list().first(); n != nullptr; n = n->next())
      if (n->key < m_rows) m_rowData[n->key]->m_list.append(c, n->value);
}

void SparseMatrix::fillColsFromRows(const SparseMatrix& src) {
  zeroCols();
  for (ZtSize r = 0; r < src.m_rows; ++r)
    for (const SparseVector::Node* n = src.m_rowData[r]->list().first(); n != nullptr; n = n->next())
      if (n->key < m_cols) m_colData[n->key]->m_list.append(r, n->value);
}

void SparseMatrix::rebuildRowData() {
  if (m_hasColData)
    fillRowsFromCols(*this);
  else
    zeroRows();
}

void SparseMatrix::rebuildColData() {
  if (m_hasRowData)
    fillColsFromRows(*this);
  else
    zeroCols();
}

void SparseMatrix::zeroRows() {
  if (m_rowData == nullptr) return;
  for (ZtSize r = 0; r < m_rows; ++r) m_rowData[r]->isZero();
}

void SparseMatrix::zeroCols() {
  if (m_colData == nullptr) return;
  for (ZtSize c = 0; c < m_cols; ++c) m_colData[c]->isZero();
}

void SparseMatrix::resize(ZtSize newRows, ZtSize newCols) {
  const bool rowLists = m_hasRowData || m_rowData != nullptr;
  const bool colLists = m_hasColData || m_colData != nullptr;
  // Allocate first, so a failure leaves the matrix as it was.
  const bool growRows = rowLists && newRows > m_rows;
  if (growRows) growLists(m_rowData, m_rows, newRows, newCols);
  if (colLists && newCols > m_cols) {
    try {
      growLists(m_colData, m_cols, newCols, newRows);
    } catch (...) {
      if (growRows) releaseLists(m_rowData, m_rows, newRows);
      throw;
    }
  }
  if (rowLists) {
    for (ZtSize r = 0, n = std::min(m_rows, newRows); r < n; ++r) m_rowData[r]->resize(newCols);
    if (newRows < m_rows) shrinkLists(m_rowData, m_rows, newRows);
  }
  if (colLists) {
    for (ZtSize c = 0, n = std::min(m_cols, newCols); c < n; ++c) m_colData[c]->resize(newRows);
    if (newCols < m_cols) shrinkLists(m_colData, m_cols, newCols);
  }
  m_rows = newRows;
  m_cols = newCols;
}

// ---------------------------------------------------------------------------------------------
// Elements

void SparseMatrix::appendValue(ZtSize r, ZtSize c, double x) {
  if (m_hasRowData) m_rowData[r]->m_list.append(c, x);
  if (m_hasColData) m_colData[c]->m_list.append(r, x);
}

void SparseMatrix::setValue(ZtSize r, ZtSize c, double x) {
  if (m_hasRowData) m_rowData[r]->m_list.assign(c, x);
  if (m_hasColData) m_colData[c]->m_list.assign(r, x);
}

double SparseMatrix::getValue(ZtSize r, ZtSize c) const {
  if (!m_hasRowData && !m_hasColData)
    throwMathError("ZtReal zelto::SparseMatrix::getValue(ZtSize, ZtSize) const", "no data!");
  // Both kinds get the entry, so reading never breaks the invariant.
  double x = 0.0;
  if (m_hasColData) x = (*m_colData[c])[r];
  if (m_hasRowData) x = (*m_rowData[r])[c];
  return x;
}

void SparseMatrix::isZero() {
  zeroRows();
  zeroCols();
}

void SparseMatrix::isIdentity(double s) {
  isZero();
  for (ZtSize i = 0, n = std::min(m_rows, m_cols); i < n; ++i) appendValue(i, i, s);
}

// ---------------------------------------------------------------------------------------------
// Products

void SparseMatrix::isMatMulMat(const ZtMatrix& a, const SparseMatrix& b) {
  if (&b == this) {
    const SparseMatrix copy(*this);
    isMatMulMat(a, copy);
    return;
  }
  isZero();
  for (ZtSize r = 0; r < m_rows; ++r) {
    const double* aRow = a.data + r * a.stride;
    for (ZtSize c = 0; c < m_cols; ++c) {
      const SparseVector& bCol = *b.m_colData[c];
      if (bCol.empty()) continue;
      const double x = bCol.dotProduct(aRow, 1);
      if (x != 0.0) appendValue(r, c, x);
    }
  }
}

void SparseMatrix::isMatMulMat(const SparseMatrix& a, const SparseMatrix& b) {
  if (&a == this || &b == this) {
    const SparseMatrix copy(*this);
    isMatMulMat(&a == this ? copy : a, &b == this ? copy : b);
    return;
  }
  productOfLists(a.m_rowData, b);
}

void SparseMatrix::isTransMatMulMat(const SparseMatrix& a, const SparseMatrix& b) {
  if (&a == this || &b == this) {
    const SparseMatrix copy(*this);
    isTransMatMulMat(&a == this ? copy : a, &b == this ? copy : b);
    return;
  }
  productOfLists(a.m_colData, b);
}

// Element (r, c) is the merge dot product of left[r] with b's column list c: the sum, from
// 0 and in increasing k, of left[r](k) * b(k, c) over the k stored in both. Rather than merging
// every (r, c) pair, b's column lists are laid out once by row (k -> columns, increasing) and
// each left row scatters its products into a per-column accumulator. Every element gets the
// same terms in the same order, so the results are bit for bit those of the merges, and they
// are appended in the same order (row by row, increasing column). The scratch memory comes
// from the allocator.
void SparseMatrix::productOfLists(SparseVector* const* left, const SparseMatrix& b) {
  isZero();
  const ZtSize inner = b.m_rows;
  ZtSize stored = 0;
  for (ZtSize c = 0; c < m_cols; ++c)
    for (const SparseVector::Node* n = b.m_colData[c]->list().first(); n != nullptr; n = n->next())
      if (n->key < inner) ++stored;
  if (stored == 0) return;

  // One block: rowStart[inner + 1], cursor[inner], column[stored], mark[cols], value[stored],
  // sum[cols].
  const size_t bytes = (2 * inner + 1 + stored + m_cols) * sizeof(ZtSize) + (stored + m_cols) * sizeof(double);
  void* block = m_allocator->malloc(bytes);
  ZtSize* rowStart = static_cast<ZtSize*>(block);
  ZtSize* cursor = rowStart + inner + 1;
  ZtSize* column = cursor + inner;
  ZtSize* mark = column + stored;
  double* value = reinterpret_cast<double*>(mark + m_cols);
  double* sum = value + stored;
  std::fill(rowStart, rowStart + inner + 1, ZtSize{0});
  std::fill(mark, mark + m_cols, ZtSize{0});
  for (ZtSize c = 0; c < m_cols; ++c)
    for (const SparseVector::Node* n = b.m_colData[c]->list().first(); n != nullptr; n = n->next())
      if (n->key < inner) ++rowStart[n->key + 1];
  for (ZtSize k = 0; k < inner; ++k) rowStart[k + 1] += rowStart[k];
  std::copy(rowStart, rowStart + inner, cursor);
  for (ZtSize c = 0; c < m_cols; ++c)
    for (const SparseVector::Node* n = b.m_colData[c]->list().first(); n != nullptr; n = n->next())
      if (n->key < inner) {
        const ZtSize at = cursor[n->key]++;
        column[at] = c;
        value[at] = n->value;
      }

  try {
    for (ZtSize r = 0; r < m_rows; ++r) {
      bool any = false;
      for (const SparseVector::Node* n = left[r]->list().first(); n != nullptr; n = n->next()) {
        if (n->key >= inner) continue;
        for (ZtSize at = rowStart[n->key]; at < rowStart[n->key + 1]; ++at) {
          const ZtSize c = column[at];
          if (mark[c] != r + 1) {
            mark[c] = r + 1;
            sum[c] = 0.0;
          }
          sum[c] += n->value * value[at];
          any = true;
        }
      }
      if (!any) continue;
      for (ZtSize c = 0; c < m_cols; ++c)
        if (mark[c] == r + 1 && sum[c] != 0.0) appendValue(r, c, sum[c]);
    }
  } catch (...) {
    if (m_canFree) m_allocator->free(block);
    throw;
  }
  if (m_canFree) m_allocator->free(block);
}

// ---------------------------------------------------------------------------------------------
// Sums and assignment

void SparseMatrix::rebuildMissing(const SparseMatrix& other) {
  if (m_hasRowData && !other.m_hasRowData) rebuildRowData();
  if (m_hasColData && !other.m_hasColData) rebuildColData();
}

template <typename Op>
void SparseMatrix::sumByKind(const SparseMatrix& b, Op op) {
  if (m_hasRowData && b.m_hasRowData)
    for (ZtSize r = 0; r < m_rows; ++r) op(*m_rowData[r], *b.m_rowData[r]);
  if (m_hasColData && b.m_hasColData)
    for (ZtSize c = 0; c < m_cols; ++c) op(*m_colData[c], *b.m_colData[c]);
  rebuildMissing(b);
}

void SparseMatrix::isSelfAddMat(const SparseMatrix& b) {
  sumByKind(b, [](SparseVector& x, const SparseVector& y) { x.isSelfAddVec(y); });
}

void SparseMatrix::isSelfAddScaMulMat(double s, const SparseMatrix& b) {
  sumByKind(b, [s](SparseVector& x, const SparseVector& y) { x.isSelfAddScaMulVec(s, y); });
}

void SparseMatrix::isSelfSubMat(const SparseMatrix& b) {
  sumByKind(b, [](SparseVector& x, const SparseVector& y) { x.isSelfSubVec(y); });
}

void SparseMatrix::isScaMulMatAddScaMulMat(double s1, const SparseMatrix& a, double s2, const SparseMatrix& b) {
  if (&a == this || &b == this) {
    const SparseMatrix copy(*this);
    isScaMulMatAddScaMulMat(s1, &a == this ? copy : a, s2, &b == this ? copy : b);
    return;
  }
  isZero();
  if (m_hasRowData && a.m_hasRowData && b.m_hasRowData) {
    for (ZtSize r = 0; r < m_rows; ++r) m_rowData[r]->isScaMulVecAddScaMulVec(s1, *a.m_rowData[r], s2, *b.m_rowData[r]);
    if (m_hasColData) rebuildColData();
  } else {
    for (ZtSize c = 0; c < m_cols; ++c) m_colData[c]->isScaMulVecAddScaMulVec(s1, *a.m_colData[c], s2, *b.m_colData[c]);
    if (m_hasRowData) rebuildRowData();
  }
}

SparseMatrix& SparseMatrix::operator=(const SparseMatrix& b) {
  if (&b == this) return *this;
  isZero();
  if (m_hasRowData && b.m_hasRowData)
    for (ZtSize r = 0, n = std::min(m_rows, b.m_rows); r < n; ++r) *m_rowData[r] = *b.m_rowData[r];
  if (m_hasColData && b.m_hasColData)
    for (ZtSize c = 0, n = std::min(m_cols, b.m_cols); c < n; ++c) *m_colData[c] = *b.m_colData[c];
  if (m_hasRowData && !b.m_hasRowData) {
    // From this matrix's own column lists when they were copied, else straight from b's.
    if (m_hasColData && b.m_hasColData)
      rebuildRowData();
    else if (b.m_hasColData)
      fillRowsFromCols(b);
  }
  if (m_hasColData && !b.m_hasColData) {
    if (m_hasRowData && b.m_hasRowData)
      rebuildColData();
    else if (b.m_hasRowData)
      fillColsFromRows(b);
  }
  return *this;
}

SparseMatrix& SparseMatrix::operator=(const ZtMatrix& m) {
  isZero();
  for (ZtSize r = 0; r < m_rows; ++r) {
    const double* row = m.data + r * m.stride;
    for (ZtSize c = 0; c < m_cols; ++c)
      if (row[c] != 0.0) appendValue(r, c, row[c]);
  }
  return *this;
}

void SparseMatrix::isSelfMulSca(double s) {
  if (m_hasRowData)
    for (ZtSize r = 0; r < m_rows; ++r) m_rowData[r]->isSelfMulSca(s);
  if (m_hasColData)
    for (ZtSize c = 0; c < m_cols; ++c) m_colData[c]->isSelfMulSca(s);
}

// ---------------------------------------------------------------------------------------------
// Blocks

void SparseMatrix::eraseBlock(ZtSize row, ZtSize col, ZtSize rows, ZtSize cols) {
  if (rows == 0 || cols == 0) return;
  if (m_hasRowData)
    for (ZtSize r = row; r < row + rows; ++r) m_rowData[r]->isSubZero(col, cols);
  if (m_hasColData)
    for (ZtSize c = col; c < col + cols; ++c) m_colData[c]->isSubZero(row, rows);
}

void SparseMatrix::zeroSub(ZtSize row, ZtSize col, ZtSize rows, ZtSize cols) { eraseBlock(row, col, rows, cols); }

void SparseMatrix::setSubMatrix(const ZtMatrix& src, ZtSize dstRow, ZtSize dstCol, ZtSize rows, ZtSize cols,
                                ZtSize srcRow, ZtSize srcCol) {
  if (rows == kAll) rows = src.rows;
  if (cols == kAll) cols = src.cols;
  eraseBlock(dstRow, dstCol, rows, cols);
  for (ZtSize i = 0; i < rows; ++i) {
    const double* row = src.data + (srcRow + i) * src.stride + srcCol;
    for (ZtSize j = 0; j < cols; ++j)
      if (row[j] != 0.0) setValue(dstRow + i, dstCol + j, row[j]);  // NaN counts as non-zero
  }
}

void SparseMatrix::setSubMatrix(const SparseMatrix& src, ZtSize dstRow, ZtSize dstCol, ZtSize rows, ZtSize cols,
                                ZtSize srcRow, ZtSize srcCol) {
  if (&src == this) {
    // The source block may overlap the erased one: read it from a copy.
    const SparseMatrix copy(*this);
    setSubMatrix(copy, dstRow, dstCol, rows, cols, srcRow, srcCol);
    return;
  }
  if (rows == kAll) rows = src.m_rows;
  if (cols == kAll) cols = src.m_cols;
  // Whole rows: list copies. A wider source would bring entries beyond this matrix's columns
  // into the row lists, so it takes the general path.
  if (dstCol == 0 && srcCol == 0 && cols == m_cols && src.m_cols == m_cols && m_hasRowData && src.m_hasRowData) {
    for (ZtSize k = 0; k < rows; ++k) *m_rowData[dstRow + k] = *src.m_rowData[srcRow + k];
    if (m_hasColData) rebuildColData();
    return;
  }
  eraseBlock(dstRow, dstCol, rows, cols);
  if (rows == 0 || cols == 0) return;
  if (src.m_hasRowData) {
    for (ZtSize r = dstRow; r < dstRow + rows; ++r) {
      const SparseVector::List& list = src.m_rowData[r - dstRow + srcRow]->list();
      for (const SparseVector::Node* n = list.lowerBound(srcCol); n != nullptr && n->key - srcCol < cols;
           n = n->next())
        setValue(r, n->key - srcCol + dstCol, n->value);
    }
  } else if (src.m_hasColData) {
    for (ZtSize c = dstCol; c < dstCol + cols; ++c) {
      const SparseVector::List& list = src.m_colData[c - dstCol + srcCol]->list();
      for (const SparseVector::Node* n = list.lowerBound(srcRow); n != nullptr && n->key - srcRow < rows;
           n = n->next())
        setValue(n->key - srcRow + dstRow, c, n->value);
    }
  } else {
    throwMathError(
        "void zelto::SparseMatrix::setSubMatrix(const zelto::SparseMatrix&, ZtSize, ZtSize, ZtSize, ZtSize, "
        "ZtSize, ZtSize)",
        "source has no data");
  }
}

void SparseMatrix::setCol(const ZtVector& v, ZtSize c) {
  for (ZtSize i = 0; i < v.size; ++i) setValue(i, c, v.data[i]);
}

void SparseMatrix::setRow(const ZtVector& v, ZtSize r) {
  for (ZtSize j = 0; j < v.size; ++j) setValue(r, j, v.data[j]);
}

void SparseMatrix::isTransposeSelf() {
  std::swap(m_rows, m_cols);
  std::swap(m_hasRowData, m_hasColData);
  std::swap(m_rowData, m_colData);
}

// ---------------------------------------------------------------------------------------------
// Dense reads

void SparseMatrix::getDenseRowVector(Vector& dst, ZtSize r, ZtSize colStart, ZtSize count, ZtSize dstStart) const {
  if (m_hasRowData) {
    m_rowData[r]->getSubVector(dst, dstStart, count, colStart);
  } else if (m_hasColData) {
    for (ZtSize i = 0; i < count; ++i) dst[dstStart + i] = (*m_colData[colStart + i])[r];
  } else {
    throwMathError(
        "void zelto::SparseMatrix::getDenseRowVector(zelto::Vector&, ZtSize, ZtSize, ZtSize, ZtSize) const",
        "index out of range");
  }
}

void SparseMatrix::getDenseColVector(Vector& dst, ZtSize rowStart, ZtSize c, ZtSize count, ZtSize dstStart) const {
  if (m_hasColData) {
    m_colData[c]->getSubVector(dst, dstStart, count, rowStart);
  } else if (m_hasRowData) {
    for (ZtSize i = 0; i < count; ++i) dst[dstStart + i] = (*m_rowData[rowStart + i])[c];
  } else {
    throwMathError(
        "void zelto::SparseMatrix::getDenseColVector(zelto::Vector&, ZtSize, ZtSize, ZtSize, ZtSize) const",
        "index out of range");
  }
}

void SparseMatrix::getDenseSubMatrix(Matrix& dst, ZtSize srcRow, ZtSize srcCol, ZtSize rows, ZtSize cols,
                                     ZtSize dstRow, ZtSize dstCol) const {
  dst.zeroSub(dstRow, dstCol, rows, cols);
  if (m_hasRowData) {
    for (ZtSize i = 0; i < rows; ++i) {
      const SparseVector::List& list = m_rowData[srcRow + i]->list();
      for (const SparseVector::Node* n = list.lowerBound(srcCol); n != nullptr && n->key - srcCol < cols;
           n = n->next())
        dst(dstRow + i, n->key - srcCol + dstCol) = n->value;
    }
  } else if (m_hasColData) {
    for (ZtSize j = 0; j < cols; ++j) {
      const SparseVector::List& list = m_colData[srcCol + j]->list();
      for (const SparseVector::Node* n = list.lowerBound(srcRow); n != nullptr && n->key - srcRow < rows;
           n = n->next())
        dst(n->key - srcRow + dstRow, dstCol + j) = n->value;
    }
  } else {
    throwMathError(
        "void zelto::SparseMatrix::getDenseSubMatrix(zelto::Matrix&, ZtSize, ZtSize, ZtSize, ZtSize, ZtSize, "
        "ZtSize) const",
        "index out of range");
  }
}

void SparseMatrix::isSelfAddVecMulMat(const ZtVector& v, const SparseMatrix& m) {
  Vector w(m_cols);
  for (ZtSize r = 0; r < m.m_rows; ++r)
    for (const SparseVector::Node* n = m.m_rowData[r]->list().first(); n != nullptr; n = n->next())
      w[n->key] += v.data[r] * n->value;
  for (ZtSize c = 0; c < m_cols; ++c)
    if (w[c] != 0.0) setValue(0, c, getValue(0, c) + w[c]);
}

void SparseMatrix::forEach(void* context, void (*function)(void*, ZtSize, ZtSize, double)) const {
  if (m_hasRowData) {
    for (ZtSize r = 0; r < m_rows; ++r)
      for (const SparseVector::Node* n = m_rowData[r]->list().first(); n != nullptr; n = n->next())
        function(context, r, n->key, n->value);
  } else if (m_hasColData) {
    for (ZtSize c = 0; c < m_cols; ++c)
      for (const SparseVector::Node* n = m_colData[c]->list().first(); n != nullptr; n = n->next())
        function(context, n->key, c, n->value);
  }
}

}  // namespace zelto
