#ifndef ZDA_MATH_SPARSE_SPARSEVECTOR_H
#define ZDA_MATH_SPARSE_SPARSEVECTOR_H
// Vector of doubles whose entries are mostly zero: the stored entries sit in a skip list
// ordered by index. An entry whose value is 0 is stored like any other: element writes and the
// sums keep zeros; the conversions from dense values and the products store non-zeros only.
// size is the logical length; element access does not compare indexes with it. The list's
// maxLevel is fixed from the size at construction and kept by resize and assignment.
// Not synchronised.
#include <cstdint>

#include "math/MathBase.h"
#include "math/sparse/Allocator.h"
#include "math/sparse/SkipList.h"

namespace zelto {

class Vector;
class SparseMatrix;

class SparseVector {
 public:
  using List = SkipList<unsigned long, double>;
  using Node = List::Node;

  // A null allocator means defaultAllocator.
  explicit SparseVector(ZtSize n, Allocator* allocator = nullptr);
  // Same size and allocator as other, same entries.
  SparseVector(const SparseVector& other);
  ~SparseVector();

  // Takes the source's size and entries.
  SparseVector& operator=(const SparseVector& other);
  // Takes the dense size and stores its non-zero items.
  SparseVector& operator=(const ZtVector& v);

  // Stored value, or 0 when absent (nothing is stored).
  double operator[](ZtSize i) const;
  // Reference to the stored value; an absent index is stored with value 0 first.
  double& operator[](ZtSize i);

  // Shrinking erases the entries at and above n.
  void resize(ZtSize n);
  void isZero();
  // Erases indexes start ... start + count - 1 (nothing when count is 0).
  void isSubZero(ZtSize start, ZtSize count);

  // Zeroes dst[dstStart ... dstStart + count - 1], then writes there the stored entries with
  // index in [srcStart, srcStart + count).
  void getSubVector(Vector& dst, ZtSize dstStart, ZtSize count, ZtSize srcStart) const;
  // Erases dstStart ... dstStart + count - 1, then stores there src's entries of
  // [srcStart, srcStart + count) (the dense form: its non-zero items).
  void setSubVector(const SparseVector& src, ZtSize dstStart, ZtSize count, ZtSize srcStart);
  void setSubVector(const ZtVector& src, ZtSize dstStart, ZtSize count, ZtSize srcStart);

  double sumVal() const;
  double cartesianLength() const;
  // Scales to unit length and returns the former length; a length below 1e-16 erases every
  // entry and returns 0.
  double isNormalizeSelf();
  // this = -src (this keeps its size).
  void isNegVec(const SparseVector& src);
  void isSelfNegVec();

  double dotProduct(const SparseVector& other) const;
  // Sum of x * p[index * stride] over the stored entries.
  double dotProduct(const double* p, ZtSize stride) const;
  double dotProduct(const ZtVector& v) const;

  // Sums keep zero results stored and do not change the size.
  void isSelfAddVec(const SparseVector& b);
  void isSelfAddScaMulVec(double s, const SparseVector& b);
  void isSelfSubVec(const SparseVector& b);
  void isVecAddVec(const SparseVector& a, const SparseVector& b);
  void isVecSubVec(const SparseVector& a, const SparseVector& b);
  void isScaMulVecAddScaMulVec(double s1, const SparseVector& a, double s2, const SparseVector& b);
  void isSelfMulSca(double s);
  // this = m * v through m's row lists (which must exist); non-zero results only.
  void isMatMulVec(const SparseMatrix& m, const SparseVector& v);

  // Calls function(context, index, value) for every stored entry in increasing index.
  void forEach(void* context, void (*function)(void*, ZtSize, double)) const;

  ZtSize size() const { return m_size; }
  Allocator* allocator() const { return m_allocator; }
  const List& list() const { return m_list; }
  bool empty() const { return m_list.empty(); }
  // 1 for n <= 1, else the smallest L >= 2 with 4^(L-1) >= n.
  static uint16_t maxLevelFor(ZtSize n);

 private:
  // The matrix appends to and rebuilds its lists directly.
  friend class SparseMatrix;

  // this += s * b over the merged lists; insertion before this's last index, append after it.
  template <typename Op>
  void mergeInPlace(const SparseVector& b, Op op);
  // Clears this and appends op(a, b) over the union of the indexes of a and b.
  template <typename Both, typename OnlyA, typename OnlyB>
  void mergeInto(const SparseVector& a, const SparseVector& b, Both both, OnlyA onlyA, OnlyB onlyB);

  ZtSize m_size;
  Allocator* m_allocator;
  List m_list;
};

}  // namespace zelto

#endif
