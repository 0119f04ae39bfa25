#pragma once
// Geodetic truth for navigation tests: exact WGS-84 conversions between geodetic coordinates
// (latitude, longitude in radians, height in m), earth-centred earth-fixed coordinates and a
// local tangent-plane frame at an origin, the earth radii, earth and transport rate, gravity
// models, and the adapters between the navigation frames the filters use.
//
// Local frame: north-west-up (x north, y west, z up), Cartesian, tangent to the ellipsoid at
// the origin. The adapters give east-north-up (v_ENU = (-w, n, u), q_ENU = Rz(+90 deg) q_NWU)
// and north-east-down vectors. Own code only (Eigen), never the library's conversions, so a
// fault there cannot cancel out.
#include <Eigen/Dense>
#include <Eigen/Geometry>

namespace filtersim {

class GeodeticFrame {
 public:
  using Vec3 = Eigen::Vector3d;
  using Mat3 = Eigen::Matrix3d;
  using Quat = Eigen::Quaterniond;

  static constexpr double kSemiMajor = 6378137.0;
  static constexpr double kFlattening = 1.0 / 298.257223563;
  static constexpr double kE2 = kFlattening * (2.0 - kFlattening);
  // WGS-84 earth rate: one turn per sidereal day.
  static constexpr double kEarthRate = 7.292115e-5;
  static constexpr double kDeg = M_PI / 180.0;

  enum class Gravity {
    Constant,  // the given magnitude everywhere
    Igf1980,   // 1980 formula with the free-air gradient 3.086e-6 /s^2 per m (the filters' model)
    Normal     // Somigliana normal gravity with the second-order height correction
  };

  // Origin as latitude, longitude (radians) and height (m).
  explicit GeodeticFrame(const Vec3& originGeodetic = Vec3::Zero());
  static GeodeticFrame fromDegrees(double latDeg, double lonDeg, double height);

  const Vec3& origin() const { return m_origin; }
  Vec3 originDegrees() const { return toDegrees(m_origin); }

  // Geodetic (rad, rad, m) <-> ECEF (m). fromEcef iterates to full double precision (any
  // height above the earth's centre region, poles included).
  static Vec3 toEcef(const Vec3& geodetic);
  static Vec3 fromEcef(const Vec3& ecef);
  // Columns: north, west and up at the given latitude and longitude, in ECEF.
  static Mat3 nwuToEcef(double lat, double lon);

  // Local NWU Cartesian coordinates about the origin.
  Vec3 localToEcef(const Vec3& nwu) const;
  Vec3 ecefToLocal(const Vec3& ecef) const;
  Vec3 localToGeodetic(const Vec3& nwu) const { return fromEcef(localToEcef(nwu)); }
  Vec3 geodeticToLocal(const Vec3& geodetic) const { return ecefToLocal(toEcef(geodetic)); }

  // Meridian (M) and prime-vertical (N) radii of curvature at a latitude.
  static void radii(double lat, double& meridian, double& primeVertical);
  // Earth rate in NWU at a latitude.
  static Vec3 earthRateNwu(double lat, double rate = kEarthRate);
  // Rate of the local NWU frame over the earth when moving at vNwu at a geodetic point:
  // (-v_w / (N + h), v_n / (M + h), -v_w tan(lat) / (N + h)).
  static Vec3 transportRateNwu(const Vec3& geodetic, const Vec3& vNwu);
  // Rate of change of the geodetic coordinates (lat, lon, h) when moving at vNwu.
  static Vec3 geodeticRate(const Vec3& geodetic, const Vec3& vNwu);
  // Magnitude of gravity (positive, pointing down) at a latitude and height.
  static double gravity(Gravity model, double lat, double height, double constant = 9.81);

  // Frame adapters.
  static Vec3 enuFromNwu(const Vec3& v) { return Vec3(-v.y(), v.x(), v.z()); }
  static Vec3 nwuFromEnu(const Vec3& v) { return Vec3(v.y(), -v.x(), v.z()); }
  static Vec3 nedFromNwu(const Vec3& v) { return Vec3(v.x(), -v.y(), -v.z()); }
  static Vec3 nwuFromNed(const Vec3& v) { return Vec3(v.x(), -v.y(), -v.z()); }
  // Body-to-navigation orientation in ENU from the one in NWU (and back).
  static Quat enuFromNwu(const Quat& q);
  static Quat nwuFromEnu(const Quat& q);

  static Vec3 toDegrees(const Vec3& geodetic) { return Vec3(geodetic.x() / kDeg, geodetic.y() / kDeg, geodetic.z()); }
  static Vec3 fromDegrees(const Vec3& deg) { return Vec3(deg.x() * kDeg, deg.y() * kDeg, deg.z()); }

 private:
  Vec3 m_origin;
  Vec3 m_originEcef;
  Mat3 m_nwuToEcef;
};

}  // namespace filtersim
