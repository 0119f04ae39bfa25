#pragma once
// Conversions between geodetic coordinates on the WGS-84 ellipsoid (latitude, longitude in
// radians or degrees, height in metres) and earth-centred earth-fixed coordinates, and the
// rotation between ECEF and local east-north-up axes at a position. Instantiated for double.
#include "math/Quaternion.h"

namespace zelto {

template <typename T>
void convert_lla2ecefRadians(const T* lla, T* ecef);
// Closed form with one Bowring step. The height is written only when withHeight is set.
template <typename T>
void convert_ecef2llaRadians(const T* ecef, T* lla, bool withHeight);
// The inverse of the ECEF-to-ENU rotation at (latitude, longitude); the height is not used.
template <typename T>
void quat_ecef2enuFromLlaPositionRadiansInverse(const T* lla, Quaternion& q);

template <typename T>
inline void convert_lla2ecefDegrees(const T* lla, T* ecef) {
  static const T deg2Rad = static_cast<T>(0.017453292519943295);
  const T radians[3] = {lla[0] * deg2Rad, lla[1] * deg2Rad, lla[2]};
  convert_lla2ecefRadians<T>(radians, ecef);
}

template <typename T>
inline void convert_ecef2llaDegrees(const T* ecef, T* lla) {
  static const T rad2Deg = static_cast<T>(57.29577951308232);
  convert_ecef2llaRadians<T>(ecef, lla, true);
  lla[0] *= rad2Deg;
  lla[1] *= rad2Deg;
}

template <typename T>
inline void quat_ecef2enuFromLlaPositionDegreesInverse(const T* lla, Quaternion& q) {
  static const T deg2Rad = static_cast<T>(0.017453292519943295);
  const T radians[3] = {lla[0] * deg2Rad, lla[1] * deg2Rad, lla[2]};
  quat_ecef2enuFromLlaPositionRadiansInverse<T>(radians, q);
}

extern template void convert_lla2ecefRadians<double>(const double*, double*);
extern template void convert_ecef2llaRadians<double>(const double*, double*, bool);
extern template void quat_ecef2enuFromLlaPositionRadiansInverse<double>(const double*, Quaternion&);

}  // namespace zelto
