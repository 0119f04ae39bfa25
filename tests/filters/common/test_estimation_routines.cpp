// The small estimation routines: orientation from gravity and field, range tests, earth models,
// increments and their Jacobians, and the flat-earth conversions.
#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <Eigen/Geometry>
#include <cmath>
#include <limits>
#include <random>

#include "filters/common/EstimationRoutines.h"
#include "math/Matrix3x3.h"
#include "math/Vector3.h"
#include "math/geodetic/GeodeticConversions.h"

namespace {

using zelto::Vector3;

Eigen::Quaterniond randomRotation(std::mt19937_64& rng) {
  std::normal_distribution<double> n;
  Eigen::Quaterniond q(n(rng), n(rng), n(rng), n(rng));
  return q.normalized();
}

Vector3 v3(const Eigen::Vector3d& v) { return Vector3(v.x(), v.y(), v.z()); }

TEST(OrientAccMag, RecoversRandomRotationsInBothFrames) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> angle(-1.2, 1.2);
  for (int i = 0; i < 200; ++i) {
    const Eigen::Quaterniond q = randomRotation(rng);  // body to north-west-up
    const double dec = angle(rng), inc = angle(rng);
    const Eigen::Vector3d fieldNav(std::cos(inc) * std::cos(dec), -std::cos(inc) * std::sin(dec), -std::sin(inc));
    const Vector3 acc = v3(q.inverse() * Eigen::Vector3d(0, 0, 9.81));
    const Vector3 mag = v3(q.inverse() * (0.5 * fieldNav));

    zelto::Quaternion got;
    orientAccMag(acc, mag, dec, false, got);
    const zelto::Quaternion truth(q.w(), q.x(), q.y(), q.z());
    EXPECT_TRUE(got.compare(truth, 1e-9)) << i << ": " << got << " vs " << truth;
    EXPECT_NEAR(got.cartesianLength(), 1.0, 1e-14);

    zelto::Quaternion xNorth;
    computeOrientationFromAccMagXNorth(acc, mag, xNorth, dec);
    EXPECT_TRUE(xNorth.compare(truth, 1e-9)) << i;

    // Matrix forms: north-west-up rows, and east-north-up rows with the flag set.
    zelto::Matrix3x3 nwu, enu;
    orientAccMag(acc, mag, dec, false, nwu);
    orientAccMag(acc, mag, dec, true, enu);
    const Eigen::Matrix3d r = q.toRotationMatrix();
    Eigen::Matrix3d toEnu;
    toEnu << 0, -1, 0, 1, 0, 0, 0, 0, 1;
    const Eigen::Matrix3d re = toEnu * r;
    for (int a = 0; a < 3; ++a)
      for (int b = 0; b < 3; ++b) {
        EXPECT_NEAR(nwu(a, b), r(a, b), 1e-9);
        EXPECT_NEAR(enu(a, b), re(a, b), 1e-9);
      }
  }
}

TEST(OrientAccMag, DegenerateInputsGiveAUnitQuaternion) {
  const Vector3 cases[][2] = {{Vector3(0, 0, 0), Vector3(1, 0, 0)},
                              {Vector3(0, 0, 1), Vector3(0, 0, 0)},
                              {Vector3(0, 0, 1), Vector3(0, 0, -2)},  // field along gravity
                              {Vector3(1e-300, 0, 0), Vector3(0, 1e-300, 0)}};
  for (const auto& c : cases) {
    zelto::Quaternion q, x;
    orientAccMag(c[0], c[1], 0.3, false, q);
    computeOrientationFromAccMagXNorth(c[0], c[1], x, 0.3);
    EXPECT_TRUE(q.isValid(1e-12)) << c[0] << c[1];
    EXPECT_TRUE(x.isValid(1e-12)) << c[0] << c[1];
  }
}

TEST(RangeTests, SignedTestAndMagnitudeBoosting) {
  const struct {
    Vector3 v;
    double limit;
    bool any;
    bool boosted[3];
  } table[] = {
      {Vector3(-10, 0, 0), 5, false, {true, false, false}},
      {Vector3(6, 0, 0), 5, true, {true, false, false}},
      {Vector3(5, -5, 5), 5, false, {false, false, false}},  // on the limit: not out of range
      {Vector3(0, 7, -8), 5, true, {false, true, true}},
      {Vector3(0, 0, 0), 0, false, {false, false, false}},
  };
  for (const auto& row : table) {
    EXPECT_EQ(anyOutOfRange(row.v, row.limit), row.any) << row.v;
    zelto::Matrix3x3 q, out;
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 3; ++c) q(r, c) = 10 * r + c + 1;
    const bool anyBoost = row.boosted[0] || row.boosted[1] || row.boosted[2];
    EXPECT_EQ(doOutOfRangeQBoosting(row.v, row.limit, 99.0, q, out), anyBoost) << row.v;
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 3; ++c) EXPECT_EQ(out(r, c), r == c && row.boosted[r] ? 99.0 : q(r, c));
  }
  zelto::Vector empty;
  EXPECT_FALSE(anyOutOfRange(empty, -1e300));
  zelto::Vector five(5);
  five[4] = 3;
  EXPECT_TRUE(anyOutOfRange(five, 2));
}

TEST(EarthModels, GravityLowpassEarthRateSanity) {
  double g = 0;
  gravityIgf1980(Vector3(0, 0, 0), g);
  EXPECT_EQ(g, -9.780327);
  gravityIgf1980(Vector3(90, 12, 1000), g);
  EXPECT_NEAR(g, 3.086e-3 - 9.780327 * 1.0053024, 1e-12);
  gravityIgf1980(Vector3(45, 0, 0), g);
  EXPECT_NEAR(g, -9.780327 * (1 + 0.0053024 * 0.5 - 0.0000058), 1e-12);

  double a = 7, b = 7;
  getFirstOrderLowpassFilterCoefs(2.0, 0.0, 0.5, a, b);
  EXPECT_EQ(a, std::pow(2.718281828459045, -0.25));
  EXPECT_EQ(b, 7);  // sd 0: b untouched
  getFirstOrderLowpassFilterCoefs(2.0, 3.0, 0.5, a, b);
  EXPECT_NEAR(b, std::sqrt((1 - a * a) * 9), 1e-15);

  Vector3 w;
  // The earth turns once per sidereal day (WGS-84 rate), not once per 86400 s.
  computeEarthRotationInLtp(0, w);
  EXPECT_EQ(w, Vector3(7.292115e-5, 0, 0));
  computeEarthRotationInLtp(90, w);
  EXPECT_NEAR(w[0], 0, 1e-20);
  EXPECT_EQ(w[2], 7.292115e-5);
  computeEarthRotationInLtp(-30, w);
  EXPECT_NEAR(w[2], -0.5 * 7.292115e-5, 1e-18);

  const double nan = std::numeric_limits<double>::quiet_NaN();
  const Vector3 def(kDefaultLatitudeDeg, kDefaultLongitudeDeg, kDefaultAltitude);
  const struct {
    Vector3 in;
    bool replaced;
  } table[] = {
      {Vector3(0, 0, 0), true},        {Vector3(91, 0, 0), true},        {Vector3(90, 360, 1e6), false},
      {Vector3(-90, -360, -1e6), false}, {Vector3(0, 360.5, 0), true},     {Vector3(0, 0, -1.5e6), true},
      {Vector3(0, 0, 1), false},       {Vector3(nan, 5, 5), true},        {Vector3(5, 5, nan), true},
      {Vector3(-0.0, 0.0, 0.0), true},
  };
  for (const auto& row : table) {
    Vector3 v = row.in;
    latLongAltSanityCheck(v);
    if (row.replaced)
      EXPECT_EQ(v, def) << row.in;
    else
      EXPECT_EQ(v, row.in);
  }
  EXPECT_FALSE(def[0] == 0 && def[1] == 0);  // the default passes its own check
  Vector3 d = def;
  latLongAltSanityCheck(d);
  EXPECT_EQ(d, def);

  EXPECT_EQ(sumStandardDeviations(3, 4), 5);
  EXPECT_EQ(sumStandardDeviations(0, -2), 2);
}

TEST(Increments, EffectiveRateInvertsTheExactIncrement) {
  std::mt19937_64 rng(3);
  std::normal_distribution<double> n;
  for (int i = 0; i < 100; ++i) {
    const Eigen::Vector3d omega(n(rng) * 3, n(rng) * 3, n(rng) * 3);
    const double dt = 0.01;
    const Eigen::Quaterniond dq(Eigen::AngleAxisd(omega.norm() * dt, omega.normalized()));
    Vector3 w;
    effectiveAngularVelocity(w, zelto::Quaternion(dq.w(), dq.x(), dq.y(), dq.z()), dt);
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(w[k], omega[k], 1e-10);
  }
  Vector3 w(1, 1, 1);
  effectiveAngularVelocity(w, zelto::Quaternion(), 0.01);
  EXPECT_EQ(w, Vector3(0, 0, 0));
  // Below 1e-8 the vector part is scaled by 2/dt.
  effectiveAngularVelocity(w, zelto::Quaternion(1, 3e-9, 0, -4e-9), 0.5);
  EXPECT_EQ(w, Vector3(1.2e-8, 0, -1.6e-8));

  // One integration step: dq = normalise(1, omega dt/2), increment on the right.
  const Vector3 omega(0.4, -0.2, 1.0);
  const double dt = 0.02;
  zelto::Quaternion q(0.5, 0.5, -0.5, 0.5), dq;
  const zelto::Quaternion q0 = q;
  integrateOmegaOneStep(omega, q, dq, dt);
  Eigen::Quaterniond e(1, 0.004, -0.002, 0.01);
  e.normalize();
  EXPECT_TRUE(dq.compare(zelto::Quaternion(e.w(), e.x(), e.y(), e.z()), 1e-15));
  const Eigen::Quaterniond expected = Eigen::Quaterniond(q0.w, q0.x, q0.y, q0.z) * e;
  EXPECT_TRUE(q.compare(zelto::Quaternion(expected.w(), expected.x(), expected.y(), expected.z()), 1e-15));
}

// dq(omega) of the full Jacobian, built independently.
Eigen::Vector4d increment(const Eigen::Vector3d& omega, double dt) {
  const Eigen::Vector3d th = 0.5 * dt * omega;
  const double c = th.norm();
  const double s = c == 0 ? 1.0 : std::sin(c) / c;
  return Eigen::Vector4d(std::cos(c), s * th.x(), s * th.y(), s * th.z());
}

TEST(Jacobians, FullFormAgainstFiniteDifferencesAndItsLimit) {
  std::mt19937_64 rng(11);
  std::normal_distribution<double> n;
  for (double scale : {5.0, 0.5, 0.05, 1e-3}) {
    for (int i = 0; i < 20; ++i) {
      const Eigen::Vector3d omega(n(rng) * scale, n(rng) * scale, n(rng) * scale);
      const double dt = 0.1;
      zelto::Matrix J(4, 3);
      jacobianBiasDq(Vector3(omega.x(), omega.y(), omega.z()), dt, J);
      const double e = 1e-5;
      for (int j = 0; j < 3; ++j) {
        Eigen::Vector3d p = omega, m = omega;
        p[j] += e;
        m[j] -= e;
        const Eigen::Vector4d d = (increment(p, dt) - increment(m, dt)) / (2 * e);
        for (int r = 0; r < 4; ++r) EXPECT_NEAR(J(r, j), d[r], 1e-9) << scale << " " << r << j;
      }
    }
  }
  // Exactly still: the limit dt/2 [0^T; I], so a still increment still carries the bias.
  zelto::Matrix J(4, 3);
  jacobianBiasDq(Vector3(0, 0, 0), 0.01, J);
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 3; ++c) EXPECT_EQ(J(r, c), r == c + 1 ? 0.005 : 0.0);
  jacobianBiasDq(Vector3(1, 2, 3), 0.0, J);
  EXPECT_TRUE(J.isEqual(zelto::Matrix(4, 3), 0.0));
  // On both sides of c = 0.1 (series below, closed form above) against the closed form in
  // extended precision.
  for (double c : {0.03, 0.0999999, 0.1000001, 0.3}) {
    const double th[3] = {0.6 * c, -0.8 * c, 0.0};
    jacobianBiasDq(Vector3(th[0], th[1], th[2]), 2.0, J);
    const long double cl = c;
    const long double sinc = std::sin(cl) / cl, g = (std::cos(cl) - sinc) / (cl * cl);
    for (int j = 0; j < 3; ++j) {
      EXPECT_NEAR(J(0, j), static_cast<double>(-sinc * th[j]), 2e-16) << c;
      for (int i = 0; i < 3; ++i)
        EXPECT_NEAR(J(i + 1, j), static_cast<double>((i == j ? sinc : 0.0L) + g * th[i] * th[j]), 2e-16) << c;
    }
  }
}

TEST(Jacobians, ReducedFormMatchesTheFullOneBeforeItsFactor) {
  std::mt19937_64 rng(5);
  std::normal_distribution<double> n;
  for (double scale : {20.0, 1.0, 1e-2, 2e-4}) {
    for (int i = 0; i < 20; ++i) {
      const Eigen::Vector3d omega(n(rng) * scale, n(rng) * scale, n(rng) * scale);
      const double dt = 0.1;
      if ((0.5 * dt * omega).norm() >= 1.5) continue;  // the reduced form assumes c < pi/2
      const Eigen::Vector4d q = increment(omega, dt);
      zelto::Matrix full(4, 3), reduced(4, 3);
      jacobianBiasDq(Vector3(omega.x(), omega.y(), omega.z()), dt, full);
      jacobianBiasDqReduced(zelto::Quaternion(q[0], q[1], q[2], q[3]), reduced);
      for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 3; ++c) EXPECT_NEAR(reduced(r, c) * 0.5 * dt, full(r, c), 1e-10) << scale;
    }
  }
  zelto::Matrix J(4, 3);
  jacobianBiasDqReduced(zelto::Quaternion(), J);
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 3; ++c) EXPECT_EQ(J(r, c), r == c + 1 ? 1.0 : 0.0);

  // Near the identity k takes its first-order form -1/3 - 7d/45; J(1, 1) = k for v = (1, 1, 0).
  for (double d : {4e-8, 1e-8}) {
    const long double w = 1.0L - static_cast<long double>(d);
    const long double s = std::sqrt(1.0L - w * w);
    const long double a = s / std::asin(s);
    const long double k = (w - a) / (1.0L - w * w);
    jacobianBiasDqReduced(zelto::Quaternion(static_cast<double>(w), 1, 1, 0), J);
    EXPECT_NEAR(J(1, 1), static_cast<double>(k), 2e-10) << d;
    EXPECT_NEAR(J(1, 1), -1.0 / 3.0 - 7.0 * d / 45.0, 1e-15);
  }
  // A scalar part just above 1 (a non-unit increment) stays finite.
  jacobianBiasDqReduced(zelto::Quaternion(1.0 + 1e-15, 1e-9, 0, 0), J);
  EXPECT_TRUE(J.isValid(1e300));
}

TEST(LocalTangentPlane, FlatEarthFormsAndTheirInverse) {
  const double a = 6378137.0, f = 0.0033528106647474805, d2r = 0.017453292519943295;
  const double ref[3] = {52.0, 6.0, 10.0};
  const double rad = a * (1 - f * std::sin(52 * d2r) * std::sin(52 * d2r));
  double north, west, up;
  convertLatLongAlt2LocalTangentPlane(Vector3(52.01, 6.02, 25.0), ref[0], ref[1], ref[2], north, west, up);
  EXPECT_NEAR(north, rad * 0.01 * d2r, 1e-9);
  EXPECT_NEAR(west, -rad * std::cos(52 * d2r) * 0.02 * d2r, 1e-9);
  EXPECT_EQ(up, 15.0);

  // A longitude difference of 355 degrees is -5 degrees (and -355 is +5); 350 itself stays.
  const struct {
    double lon, ref, expectedDeg;
  } wraps[] = {{177.5, -177.5, -5}, {-177.5, 177.5, 5}, {175, -175, 350}, {10, 5, 5}};
  for (const auto& w : wraps) {
    convertLatLongAlt2LocalTangentPlane(Vector3(0, w.lon, 0), 0, w.ref, 0, north, west, up);
    EXPECT_NEAR(west, -a * w.expectedDeg * d2r, 1e-6) << w.lon;
  }

  // Inverse and the template forms.
  std::mt19937_64 rng(9);
  std::uniform_real_distribution<double> u(-5000, 5000);
  for (int i = 0; i < 50; ++i) {
    const double nwu[3] = {u(rng), u(rng), u(rng)};
    double lla[3], back[3];
    zelto::convert_localTangentPlane2LatLongAlt<double>(nwu, ref, lla);
    zelto::convert_latLongAlt2LocalTangentPlane<double>(lla, ref, back);
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(back[k], nwu[k], 1e-8);
    double lat, lon, alt;
    convertLocalTangentPlane2LatLongAlt(Vector3(nwu[0], nwu[1], nwu[2]), ref[0], ref[1], ref[2], lat, lon, alt);
    EXPECT_EQ(lat, lla[0]);
    EXPECT_EQ(lon, lla[1]);
    EXPECT_EQ(alt, lla[2]);

    // Against the ellipsoid: the flat-earth radius is within 1 % of the local radii, so offsets
    // of a few km agree with the geodetic ECEF difference rotated into the local frame to 1 %.
    const double pr[3] = {ref[0] * d2r, ref[1] * d2r, ref[2]}, pl[3] = {lla[0] * d2r, lla[1] * d2r, lla[2]};
    double e0[3], e1[3];
    zelto::convert_lla2ecefRadians<double>(pr, e0);
    zelto::convert_lla2ecefRadians<double>(pl, e1);
    const Eigen::Vector3d dEcef(e1[0] - e0[0], e1[1] - e0[1], e1[2] - e0[2]);
    const double sl = std::sin(pr[0]), cl = std::cos(pr[0]), so = std::sin(pr[1]), co = std::cos(pr[1]);
    const double east = -so * dEcef.x() + co * dEcef.y();
    const double northExact = -sl * co * dEcef.x() - sl * so * dEcef.y() + cl * dEcef.z();
    EXPECT_NEAR(northExact, nwu[0], 0.01 * std::fabs(nwu[0]) + 5.0);
    EXPECT_NEAR(-east, nwu[1], 0.01 * std::fabs(nwu[1]) + 5.0);
  }
}

}  // namespace
