#include "math/geodetic/GeodeticConversions.h"

#include <cmath>

#include "zttypes/ztmath.h"

namespace zelto {

namespace {

template <typename T>
struct Wgs84 {
  T a, b, e2, ep2;
};

template <typename T>
const Wgs84<T>& wgs84() {
  // Thread-safe one-time initialisation.
  static const Wgs84<T> c{static_cast<T>(6378137.0), static_cast<T>(6356752.314245179),
                          static_cast<T>(0.0066943799901414), static_cast<T>(0.006739496742276519)};
  return c;
}

}  // namespace

template <typename T>
void convert_lla2ecefRadians(const T* lla, T* ecef) {
  const Wgs84<T>& w = wgs84<T>();
  const T phi = lla[0], lambda = lla[1], h = lla[2];
  const T s = std::sin(phi);
  const T n = w.a / std::sqrt(1 - w.e2 * s * s);
  const T c = std::cos(phi);
  ecef[0] = (n + h) * c * std::cos(lambda);
  ecef[1] = (n + h) * c * std::sin(lambda);
  ecef[2] = ((1 - w.e2) * n + h) * s;
}

template <typename T>
void convert_ecef2llaRadians(const T* ecef, T* lla, bool withHeight) {
  const Wgs84<T>& w = wgs84<T>();
  const T x = ecef[0], y = ecef[1], z = ecef[2];
  const T p = std::sqrt(x * x + y * y);
  const T theta = std::atan2(z * w.a, p * w.b);
  const T st = std::sin(theta), ct = std::cos(theta);
  const T phi = std::atan2(z + w.ep2 * w.b * st * st * st, p - w.e2 * w.a * ct * ct * ct);
  lla[0] = phi;
  lla[1] = std::atan2(y, x);
  if (!withHeight) return;
  const T sp = std::sin(phi);
  const T n = w.a / std::sqrt(1 - w.e2 * sp * sp);
  static const T switchLatitude = static_cast<T>(1.3962634015954636);  // 80 degrees
  if (std::fabs(phi) < switchLatitude)
    lla[2] = p / std::cos(phi) - n;
  else
    lla[2] = z / sp - (1 - w.e2) * n;
}

template <typename T>
void quat_ecef2enuFromLlaPositionRadiansInverse(const T* lla, Quaternion& q) {
  const T hp = lla[0] / 2, hl = lla[1] / 2;
  const T cp = std::cos(hp), sp = std::sin(hp), cl = std::cos(hl), sl = std::sin(hl);
  const Quaternion q1(cl * cp, -sp * sl, cl * sp, -cp * sl);
  const Quaternion base(ZtMath_pt5, ZtMath_minusPt5, ZtMath_minusPt5, ZtMath_minusPt5);
  q.isQuatMulQuat(base, q1);
}

template void convert_lla2ecefRadians<double>(const double*, double*);
template void convert_ecef2llaRadians<double>(const double*, double*, bool);
template void quat_ecef2enuFromLlaPositionRadiansInverse<double>(const double*, Quaternion&);

}  // namespace zelto
