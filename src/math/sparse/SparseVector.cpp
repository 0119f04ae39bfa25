#include "math/sparse/SparseVector.h"

#include <cmath>

#include "math/Vector.h"
#include "math/sparse/SparseMatrix.h"

namespace zelto {

uint16_t SparseVector::maxLevelFor(ZtSize n) {
  if (n <= 1) return 1;
  uint16_t level = 2;
  uint64_t reach = 4;  // 4^(level - 1)
  while (reach < n) {
    ++level;
    if (reach > UINT64_MAX / 4) break;  // 4^32 exceeds every 64-bit size
    reach *= 4;
  }
  return level;
}

SparseVector::SparseVector(ZtSize n, Allocator* allocator)
    : m_size(n),
      m_allocator(allocator != nullptr ? allocator : &defaultAllocator),
      m_list(maxLevelFor(n), m_allocator, allocator == nullptr) {}

SparseVector::SparseVector(const SparseVector& other)
    : m_size(other.m_size),
      m_allocator(other.m_allocator),
      m_list(maxLevelFor(other.m_size), other.m_allocator, other.m_list.ownsAllocator()) {
  for (const Node* n = other.m_list.first(); n != nullptr; n = n->next()) m_list.append(n->key, n->value);
}

SparseVector::~SparseVector() = default;

SparseVector& SparseVector::operator=(const SparseVector& other) {
  if (&other == this) return *this;
  m_list.clear();
  for (const Node* n = other.m_list.first(); n != nullptr; n = n->next()) m_list.append(n->key, n->value);
  m_size = other.m_size;
  return *this;
}

SparseVector& SparseVector::operator=(const ZtVector& v) {
  m_list.clear();
  m_size = v.size;
  for (ZtSize i = 0; i < v.size; ++i)
    if (v.data[i] != 0.0) m_list.append(i, v.data[i]);
  return *this;
}

double SparseVector::operator[](ZtSize i) const {
  const Node* n = m_list.find(i);
  return n != nullptr ? n->value : 0.0;
}

double& SparseVector::operator[](ZtSize i) { return m_list.findOrInsert(i, 0.0)->value; }

void SparseVector::resize(ZtSize n) {
  if (n < m_size) m_list.eraseRange(n, ~ZtSize{0});
  m_size = n;
}

void SparseVector::isZero() { m_list.clear(); }

void SparseVector::isSubZero(ZtSize start, ZtSize count) {
  if (count != 0) m_list.eraseRange(start, start + count - 1);
}

void SparseVector::getSubVector(Vector& dst, ZtSize dstStart, ZtSize count, ZtSize srcStart) const {
  dst.isSubZero(dstStart, count);
  if (count == 0) return;
  const ZtSize srcLast = srcStart + count - 1;
  for (const Node* n = m_list.lowerBound(srcStart); n != nullptr && n->key <= srcLast; n = n->next())
    dst[n->key - srcStart + dstStart] = n->value;
}

void SparseVector::setSubVector(const SparseVector& src, ZtSize dstStart, ZtSize count, ZtSize srcStart) {
  if (count == 0) return;
  if (&src == this) {
    // The source range may overlap the erased one: read it from a copy.
    const SparseVector copy(*this);
    setSubVector(copy, dstStart, count, srcStart);
    return;
  }
  isSubZero(dstStart, count);
  const ZtSize srcLast = srcStart + count - 1;
  for (const Node* n = src.m_list.lowerBound(srcStart); n != nullptr && n->key <= srcLast; n = n->next())
    m_list.assign(n->key - srcStart + dstStart, n->value);
}

void SparseVector::setSubVector(const ZtVector& src, ZtSize dstStart, ZtSize count, ZtSize srcStart) {
  isSubZero(dstStart, count);
  for (ZtSize i = 0; i < count; ++i) {
    const double x = src.data[srcStart + i];
    if (x != 0.0) m_list.assign(dstStart + i, x);
  }
}

double SparseVector::sumVal() const {
  double sum = 0.0;
  for (const Node* n = m_list.first(); n != nullptr; n = n->next()) sum += n->value;
  return sum;
}

double SparseVector::cartesianLength() const {
  double sum = 0.0;
  for (const Node* n = m_list.first(); n != nullptr; n = n->next()) sum += n->value * n->value;
  return std::sqrt(sum);
}

double SparseVector::isNormalizeSelf() {
  const double length = cartesianLength();
  if (length >= 1e-16) {
    isSelfMulSca(1.0 / length);
    return length;
  }
  m_list.clear();
  return 0.0;
}

void SparseVector::isNegVec(const SparseVector& src) {
  if (&src == this) {
    isSelfNegVec();
    return;
  }
  m_list.clear();
  for (const Node* n = src.m_list.first(); n != nullptr; n = n->next()) m_list.append(n->key, -n->value);
}

void SparseVector::isSelfNegVec() {
  for (Node* n = m_list.first(); n != nullptr; n = n->next()) n->value = -n->value;
}

double SparseVector::dotProduct(const SparseVector& other) const {
  double sum = 0.0;
  const Node* a = m_list.first();
  const Node* b = other.m_list.first();
  while (a != nullptr && b != nullptr) {
    if (a->key < b->key) {
      a = a->next();
    } else if (b->key < a->key) {
      b = b->next();
    } else {
      sum += a->value * b->value;
      a = a->next();
      b = b->next();
    }
  }
  return sum;
}

double SparseVector::dotProduct(const double* p, ZtSize stride) const {
  double sum = 0.0;
  for (const Node* n = m_list.first(); n != nullptr; n = n->next()) sum += n->value * p[n->key * stride];
  return sum;
}

double SparseVector::dotProduct(const ZtVector& v) const { return dotProduct(v.data, 1); }

template <typename Op>
void SparseVector::mergeInPlace(const SparseVector& b, Op op) {
  // b may be this: then every index of b is found and nothing is inserted while walking.
  Node* p = m_list.first();
  const Node* q = b.m_list.first();
  for (; q != nullptr; q = q->next()) {
    while (p != nullptr && p->key < q->key) p = p->next();
    if (p == nullptr) break;
    if (p->key == q->key)
      p->value = op(p->value, q->value);
    else
      m_list.findOrInsert(q->key, op(0.0, q->value));
  }
  for (; q != nullptr; q = q->next()) m_list.append(q->key, op(0.0, q->value));
}

// The results use the same expressions as the dense forms (x + y, x + s * y, x - y) and start
// from 0 for absent entries, so stored zeros and signs follow the dense arithmetic.
void SparseVector::isSelfAddVec(const SparseVector& b) {
  mergeInPlace(b, [](double x, double y) { return x + y; });
}

void SparseVector::isSelfAddScaMulVec(double s, const SparseVector& b) {
  mergeInPlace(b, [s](double x, double y) { return x + s * y; });
}

void SparseVector::isSelfSubVec(const SparseVector& b) {
  mergeInPlace(b, [](double x, double y) { return x - y; });
}

template <typename Both, typename OnlyA, typename OnlyB>
void SparseVector::mergeInto(const SparseVector& a, const SparseVector& b, Both both, OnlyA onlyA, OnlyB onlyB) {
  m_list.clear();
  const Node* p = a.m_list.first();
  const Node* q = b.m_list.first();
  while (p != nullptr || q != nullptr) {
    if (q == nullptr || (p != nullptr && p->key < q->key)) {
      m_list.append(p->key, onlyA(p->value));
      p = p->next();
    } else if (p == nullptr || q->key < p->key) {
      m_list.append(q->key, onlyB(q->value));
      q = q->next();
    } else {
      m_list.append(p->key, both(p->value, q->value));
      p = p->next();
      q = q->next();
    }
  }
}

void SparseVector::isVecAddVec(const SparseVector& a, const SparseVector& b) {
  if (&a == this) {
    isSelfAddVec(b);
  } else if (&b == this) {
    isSelfAddVec(a);
  } else {
    mergeInto(
        a, b, [](double x, double y) { return x + y; }, [](double x) { return x; }, [](double y) { return y; });
  }
}

void SparseVector::isVecSubVec(const SparseVector& a, const SparseVector& b) {
  if (&a == this) {
    isSelfSubVec(b);
  } else if (&b == this) {
    isSelfSubVec(a);
    isSelfNegVec();
  } else {
    mergeInto(
        a, b, [](double x, double y) { return x - y; }, [](double x) { return x; }, [](double y) { return -y; });
  }
}

void SparseVector::isScaMulVecAddScaMulVec(double s1, const SparseVector& a, double s2, const SparseVector& b) {
  if (&a == this || &b == this) {
    // Clearing this would lose an operand: merge into a scratch vector instead.
    SparseVector result(m_size, m_allocator);
    result.isScaMulVecAddScaMulVec(s1, a, s2, b);
    *this = result;
    return;
  }
  mergeInto(
      a, b, [s1, s2](double x, double y) { return s1 * x + s2 * y; }, [s1](double x) { return s1 * x; },
      [s2](double y) { return s2 * y; });
}

void SparseVector::isSelfMulSca(double s) {
  for (Node* n = m_list.first(); n != nullptr; n = n->next()) n->value *= s;
}

void SparseVector::isMatMulVec(const SparseMatrix& m, const SparseVector& v) {
  if (&v == this) {
    const SparseVector copy(*this);
    isMatMulVec(m, copy);
    return;
  }
  m_list.clear();
  if (v.empty()) return;
  for (ZtSize r = 0; r < m.rows(); ++r) {
    const SparseVector& row = m.rowList(r);
    if (row.empty()) continue;
    const double dot = row.dotProduct(v);
    if (dot != 0.0) m_list.append(r, dot);
  }
}

void SparseVector::forEach(void* context, void (*function)(void*, ZtSize, double)) const {
  for (const Node* n = m_list.first(); n != nullptr; n = n->next()) function(context, n->key, n->value);
}

}  // namespace zelto
