#ifndef ZDA_MATH_VECTORF_H
#define ZDA_MATH_VECTORF_H
#include <cstring>

#include "math/Vector.h"

namespace zelto {

// Vector of N items whose record views storage inside this object (flags 2). Used by the
// filters for their fixed-size state so that no step allocates. Never copy it bytewise.
template <ZtSize N>
class VectorF : public Vector {
  static_assert(N > 0, "VectorF needs at least one item");

 public:
  VectorF() : Vector(N, m_items, kInternalStorage), m_items{} {}
  VectorF(const VectorF& o) : Vector(N, m_items, kInternalStorage) { std::memcpy(m_items, o.m_items, sizeof m_items); }
  // Copies the first N items of v, which must have at least N.
  explicit VectorF(const ZtVector& v) : Vector(N, m_items, kInternalStorage) { std::memcpy(m_items, v.data, sizeof m_items); }

  VectorF& operator=(const VectorF& o) {
    std::memmove(m_items, o.m_items, sizeof m_items);
    return *this;
  }
  VectorF& operator=(const ZtVector& v) {
    std::memmove(m_items, v.data, sizeof m_items);
    return *this;
  }

 private:
  double m_items[N];
};

}  // namespace zelto

#endif
