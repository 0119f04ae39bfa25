#ifndef ZDA_MATH_SPARSE_SPARSEMATRIX_H
#define ZDA_MATH_SPARSE_SPARSEMATRIX_H
// Matrix of doubles whose entries are mostly zero, kept as a sparse list per row (keyed by
// column, of size cols), a list per column (keyed by row, of size rows), or both.
// Invariant: when both kinds exist they hold the same entries (row list r has (c, x) exactly
// when column list c has (r, x)); every writing operation keeps both or rebuilds one kind from
// the other. Stored zeros follow the rules of SparseVector.
// The list arrays and the list objects come from the allocator; when it cannot free, nothing
// is ever released. Indexes are not compared with the sizes, and operations that read a kind of
// list (products, sums, rebuilds) need the caller to have created it. Not synchronised.
#include "math/MathBase.h"
#include "math/sparse/Allocator.h"
#include "math/sparse/SparseVector.h"

namespace zelto {

class Matrix;
class Vector;

class SparseMatrix {
 public:
  // A null allocator means defaultAllocator.
  SparseMatrix(ZtSize rows, ZtSize cols, bool rowData, bool colData, Allocator* allocator = nullptr);
  SparseMatrix(const SparseMatrix& other);
  ~SparseMatrix();

  // Allocate the array and empty lists of one kind; the flag is not changed.
  void allocRowData();
  void allocColData();
  // Release the lists and the array of one kind and clear its flag.
  void freeRowData();
  void freeColData();
  // Create a missing kind and fill it from the other.
  void addRowData();
  void addColData();
  // Clear one kind and fill it from the other.
  void rebuildRowData();
  void rebuildColData();
  void zeroRows();
  void zeroCols();
  // Lists of removed rows or columns are released; kept lists are cut to the new sizes.
  void resize(ZtSize rows, ZtSize cols);

  // The caller appends in increasing order within every list.
  void appendValue(ZtSize r, ZtSize c, double x);
  void setValue(ZtSize r, ZtSize c, double x);
  // Stores an absent entry as 0 (in every kind present). Throws "no data!" without lists.
  double getValue(ZtSize r, ZtSize c) const;
  void isZero();
  void isIdentity(double s);

  // Products store non-zero results only; the dimensions are this matrix's.
  // this = a * b from b's column lists.
  void isMatMulMat(const ZtMatrix& a, const SparseMatrix& b);
  // this = a * b from a's row lists and b's column lists.
  void isMatMulMat(const SparseMatrix& a, const SparseMatrix& b);
  // this = a^T * b from the column lists of both.
  void isTransMatMulMat(const SparseMatrix& a, const SparseMatrix& b);

  // Sums over the kinds this and b share; a kind this has and b lacks is rebuilt afterwards.
  void isSelfAddMat(const SparseMatrix& b);
  void isSelfAddScaMulMat(double s, const SparseMatrix& b);
  void isSelfSubMat(const SparseMatrix& b);
  void isScaMulMatAddScaMulMat(double s1, const SparseMatrix& a, double s2, const SparseMatrix& b);

  // Copies b's entries into this matrix's kinds; flags and sizes stay this matrix's.
  SparseMatrix& operator=(const SparseMatrix& b);
  // Stores the non-zero elements of m's leading rows x cols block.
  SparseMatrix& operator=(const ZtMatrix& m);
  void isSelfMulSca(double s);
  void zeroSub(ZtSize row, ZtSize col, ZtSize rows, ZtSize cols);

  // Block copies: rows or cols of ~0 (-1) stand for the source's count. The destination block
  // is erased, then the source's non-zero elements (dense) or stored entries (sparse) written.
  void setSubMatrix(const ZtMatrix& src, ZtSize dstRow, ZtSize dstCol, ZtSize rows, ZtSize cols, ZtSize srcRow,
                    ZtSize srcCol);
  // Throws "source has no data" (destination block erased) when src has no lists.
  void setSubMatrix(const SparseMatrix& src, ZtSize dstRow, ZtSize dstCol, ZtSize rows, ZtSize cols,
                    ZtSize srcRow, ZtSize srcCol);
  // Write every item of v, zeros included.
  void setCol(const ZtVector& v, ZtSize c);
  void setRow(const ZtVector& v, ZtSize r);
  // Exchanges the sizes, the flags and the two arrays; no entry moves.
  void isTransposeSelf();

  // dst[dstStart + i] = element (r, colStart + i) for i < count. Without row lists the
  // elements are read from the column lists, storing absent ones as 0.
  // Throws "index out of range" without lists.
  void getDenseRowVector(Vector& dst, ZtSize r, ZtSize colStart, ZtSize count, ZtSize dstStart) const;
  void getDenseColVector(Vector& dst, ZtSize rowStart, ZtSize c, ZtSize count, ZtSize dstStart) const;
  // Zeroes the rows x cols block of dst at (dstRow, dstCol) and writes into it the stored
  // entries of the block at (srcRow, srcCol). Throws "index out of range" without lists.
  void getDenseSubMatrix(Matrix& dst, ZtSize srcRow, ZtSize srcCol, ZtSize rows, ZtSize cols, ZtSize dstRow,
                         ZtSize dstCol) const;
  // Row 0 of this += v^T * m (m's row lists).
  void isSelfAddVecMulMat(const ZtVector& v, const SparseMatrix& m);

  // Calls function(context, r, c, value) for every stored entry: row by row when there are row
  // lists, else column by column.
  void forEach(void* context, void (*function)(void*, ZtSize, ZtSize, double)) const;

  ZtSize rows() const { return m_rows; }
  ZtSize cols() const { return m_cols; }
  bool hasRowData() const { return m_hasRowData; }
  bool hasColData() const { return m_hasColData; }
  Allocator* allocator() const { return m_allocator; }
  const SparseVector& rowList(ZtSize r) const { return *m_rowData[r]; }
  const SparseVector& colList(ZtSize c) const { return *m_colData[c]; }

 private:
  // count lists of the given size in a new array (null for count 0).
  SparseVector** makeLists(ZtSize count, ZtSize size);
  // Destroys lists[from ... to - 1] and gives their memory back.
  void releaseLists(SparseVector** lists, ZtSize from, ZtSize to);
  void releaseArray(SparseVector** lists);
  // Grows an array of count lists to newCount (new lists of the given size).
  void growLists(SparseVector**& lists, ZtSize count, ZtSize newCount, ZtSize size);
  // Cuts an array of count lists to newCount (0: the array is released, not reallocated).
  void shrinkLists(SparseVector**& lists, ZtSize count, ZtSize newCount);
  // this's row lists from src's column lists, and the mirror.
  void fillRowsFromCols(const SparseMatrix& src);
  void fillColsFromRows(const SparseMatrix& src);
  // Erases the block in every kind present.
  void eraseBlock(ZtSize row, ZtSize col, ZtSize rows, ZtSize cols);
  // Rebuilds each kind this has and other lacks from this's other kind.
  void rebuildMissing(const SparseMatrix& other);
  // this = left * b, where left[r] is the r-th row of the left operand and b has column lists.
  void productOfLists(SparseVector* const* left, const SparseMatrix& b);
  template <typename Op>
  void sumByKind(const SparseMatrix& b, Op op);

  Allocator* m_allocator;
  bool m_canFree;
  bool m_hasRowData = false;
  bool m_hasColData = false;
  ZtSize m_rows;
  ZtSize m_cols;
  SparseVector** m_rowData = nullptr;
  SparseVector** m_colData = nullptr;
};

}  // namespace zelto

#endif
