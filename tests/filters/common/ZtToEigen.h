#pragma once
// Copies of the library's plain matrix, vector and quaternion values as Eigen objects, for the
// filter tests that check a filter's numbers against an Eigen computation. A test namespace
// brings them in with `using filtertest::toEigen;`.
#include "math/MathBase.h"

#include <Eigen/Dense>
#include <Eigen/Geometry>

namespace filtertest {

inline Eigen::MatrixXd toEigen(const ZtMatrix& m) {
  Eigen::MatrixXd e(m.rows, m.cols);
  for (ZtSize r = 0; r < m.rows; ++r)
    for (ZtSize c = 0; c < m.cols; ++c)
      e(static_cast<Eigen::Index>(r), static_cast<Eigen::Index>(c)) = m.data[r * m.stride + c];
  return e;
}

inline Eigen::VectorXd toEigen(const ZtVector& v) {
  Eigen::VectorXd e(v.size);
  for (ZtSize i = 0; i < v.size; ++i) e[static_cast<Eigen::Index>(i)] = v.data[i];
  return e;
}

inline Eigen::Quaterniond toEigen(const ZtQuaternion& q) { return Eigen::Quaterniond(q.w, q.x, q.y, q.z); }

}  // namespace filtertest
