#include "filtersim/GeodeticFrame.h"

#include <cmath>

namespace filtersim {

GeodeticFrame::GeodeticFrame(const Vec3& originGeodetic)
    : m_origin(originGeodetic),
      m_originEcef(toEcef(originGeodetic)),
      m_nwuToEcef(nwuToEcef(originGeodetic.x(), originGeodetic.y())) {}

GeodeticFrame GeodeticFrame::fromDegrees(double latDeg, double lonDeg, double height) {
  return GeodeticFrame(Vec3(latDeg * kDeg, lonDeg * kDeg, height));
}

GeodeticFrame::Vec3 GeodeticFrame::toEcef(const Vec3& g) {
  const double s = std::sin(g.x()), c = std::cos(g.x());
  const double n = kSemiMajor / std::sqrt(1.0 - kE2 * s * s);
  return Vec3((n + g.z()) * c * std::cos(g.y()), (n + g.z()) * c * std::sin(g.y()), (n * (1.0 - kE2) + g.z()) * s);
}

GeodeticFrame::Vec3 GeodeticFrame::fromEcef(const Vec3& e) {
  const double p = std::hypot(e.x(), e.y());
  const double lon = std::atan2(e.y(), e.x());
  double lat = std::atan2(e.z(), p * (1.0 - kE2));
  double h = 0.0;
  // Fixed-point iteration on the latitude; the height uses the form that stays exact at the
  // poles (no division by cos(lat)). Converges to double precision in a handful of rounds.
  for (int i = 0; i < 20; ++i) {
    const double s = std::sin(lat), c = std::cos(lat);
    const double n = kSemiMajor / std::sqrt(1.0 - kE2 * s * s);
    h = p * c + e.z() * s - kSemiMajor * std::sqrt(1.0 - kE2 * s * s);
    const double next = std::atan2(e.z(), p * (1.0 - kE2 * n / (n + h)));
    const bool done = std::fabs(next - lat) < 1e-15;
    lat = next;
    if (done) break;
  }
  const double s = std::sin(lat), c = std::cos(lat);
  h = p * c + e.z() * s - kSemiMajor * std::sqrt(1.0 - kE2 * s * s);
  return Vec3(lat, lon, h);
}

GeodeticFrame::Mat3 GeodeticFrame::nwuToEcef(double lat, double lon) {
  const double sl = std::sin(lat), cl = std::cos(lat), so = std::sin(lon), co = std::cos(lon);
  Mat3 r;
  // north, west (= -east), up
  r.col(0) = Vec3(-sl * co, -sl * so, cl);
  r.col(1) = Vec3(so, -co, 0.0);
  r.col(2) = Vec3(cl * co, cl * so, sl);
  return r;
}

GeodeticFrame::Vec3 GeodeticFrame::localToEcef(const Vec3& nwu) const { return m_originEcef + m_nwuToEcef * nwu; }

GeodeticFrame::Vec3 GeodeticFrame::ecefToLocal(const Vec3& ecef) const {
  return m_nwuToEcef.transpose() * (ecef - m_originEcef);
}

void GeodeticFrame::radii(double lat, double& meridian, double& primeVertical) {
  const double s = std::sin(lat);
  const double w = 1.0 - kE2 * s * s;
  primeVertical = kSemiMajor / std::sqrt(w);
  meridian = kSemiMajor * (1.0 - kE2) / (w * std::sqrt(w));
}

GeodeticFrame::Vec3 GeodeticFrame::earthRateNwu(double lat, double rate) {
  return Vec3(rate * std::cos(lat), 0.0, rate * std::sin(lat));
}

GeodeticFrame::Vec3 GeodeticFrame::transportRateNwu(const Vec3& g, const Vec3& v) {
  double m = 0.0, n = 0.0;
  radii(g.x(), m, n);
  return Vec3(-v.y() / (n + g.z()), v.x() / (m + g.z()), -v.y() * std::tan(g.x()) / (n + g.z()));
}

GeodeticFrame::Vec3 GeodeticFrame::geodeticRate(const Vec3& g, const Vec3& v) {
  double m = 0.0, n = 0.0;
  radii(g.x(), m, n);
  return Vec3(v.x() / (m + g.z()), -v.y() / ((n + g.z()) * std::cos(g.x())), v.z());
}

double GeodeticFrame::gravity(Gravity model, double lat, double h, double constant) {
  switch (model) {
    case Gravity::Constant: return constant;
    case Gravity::Igf1980: {
      const double s = std::sin(lat), s2 = std::sin(2.0 * lat);
      return 9.780327 * (1.0 + 0.0053024 * s * s - 0.0000058 * s2 * s2) - 3.086e-6 * h;
    }
    case Gravity::Normal: {
      const double s2 = std::sin(lat) * std::sin(lat);
      const double g0 = 9.7803253359 * (1.0 + 0.00193185265241 * s2) / std::sqrt(1.0 - kE2 * s2);
      const double m = 0.00344978650684;  // omega^2 a^2 b / GM
      return g0 * (1.0 - 2.0 / kSemiMajor * (1.0 + kFlattening + m - 2.0 * kFlattening * s2) * h +
                   3.0 * h * h / (kSemiMajor * kSemiMajor));
    }
  }
  return constant;
}

GeodeticFrame::Quat GeodeticFrame::enuFromNwu(const Quat& q) {
  return Quat(Eigen::AngleAxisd(M_PI / 2.0, Vec3::UnitZ())) * q;
}

GeodeticFrame::Quat GeodeticFrame::nwuFromEnu(const Quat& q) {
  return Quat(Eigen::AngleAxisd(-M_PI / 2.0, Vec3::UnitZ())) * q;
}

}  // namespace filtersim
