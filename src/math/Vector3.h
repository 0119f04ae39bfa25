#ifndef ZDA_MATH_VECTOR3_H
#define ZDA_MATH_VECTOR3_H
#include "math/Vector.h"

namespace zelto {

// Three-item vector whose record views the three doubles inside this object (flags 2).
// Never copy it bytewise: its data pointer points into itself.
class Vector3 : public Vector {
 public:
  Vector3() : Vector(3, m_items, kInternalStorage), m_items{0.0, 0.0, 0.0} {}
  Vector3(double x, double y, double z) : Vector(3, m_items, kInternalStorage), m_items{x, y, z} {}
  Vector3(const Vector3& o) : Vector(3, m_items, kInternalStorage), m_items{o.m_items[0], o.m_items[1], o.m_items[2]} {}
  // Copies the first three items of v, which must have at least three.
  explicit Vector3(const ZtVector& v) : Vector(3, m_items, kInternalStorage), m_items{v.data[0], v.data[1], v.data[2]} {}

  Vector3& operator=(const Vector3& o) {
    m_items[0] = o.m_items[0];
    m_items[1] = o.m_items[1];
    m_items[2] = o.m_items[2];
    return *this;
  }
  Vector3& operator=(const ZtVector& v) {
    m_items[0] = v.data[0];
    m_items[1] = v.data[1];
    m_items[2] = v.data[2];
    return *this;
  }

 private:
  double m_items[3];
};

}  // namespace zelto

#endif
