// WGS-84 geodetic <-> ECEF conversions against fixed points, round trips and an iterated
// inverse written here; the ECEF/ENU quaternion against the local axes.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>

#include "math/Matrix3x3.h"
#include "math/geodetic/GeodeticConversions.h"

using namespace zelto;

namespace {

constexpr double kA = 6378137.0;
constexpr double kB = 6356752.314245179;
constexpr double kE2 = 0.0066943799901414;

// Latitude iterated until it no longer changes.
void iteratedInverse(const double* ecef, double* lla) {
  const double p = std::hypot(ecef[0], ecef[1]);
  double phi = std::atan2(ecef[2], p * (1 - kE2));
  double h = 0;
  for (int i = 0; i < 100; ++i) {
    const double n = kA / std::sqrt(1 - kE2 * std::sin(phi) * std::sin(phi));
    h = p / std::cos(phi) - n;
    const double next = std::atan2(ecef[2], p * (1 - kE2 * n / (n + h)));
    if (next == phi) break;
    phi = next;
  }
  lla[0] = phi;
  lla[1] = std::atan2(ecef[1], ecef[0]);
  lla[2] = h;
}

TEST(Geodetic, FixedPoints) {
  double ecef[3];
  const double origin[3] = {0, 0, 0};
  convert_lla2ecefRadians<double>(origin, ecef);
  EXPECT_EQ(ecef[0], kA);
  EXPECT_EQ(ecef[1], 0.0);
  EXPECT_EQ(ecef[2], 0.0);
  for (double sign : {1.0, -1.0}) {
    const double pole[3] = {sign * M_PI / 2, 0, 0};
    convert_lla2ecefRadians<double>(pole, ecef);
    EXPECT_NEAR(ecef[0], 0.0, 1e-9);
    EXPECT_NEAR(ecef[2], sign * kB, 1e-8);
  }
  double lla[3] = {0, 0, 12345.0};
  const double onAxis[3] = {kA, 0, 0};
  convert_ecef2llaRadians<double>(onAxis, lla, false);
  EXPECT_EQ(lla[2], 12345.0);  // flag clear: height untouched
  EXPECT_NEAR(lla[0], 0.0, 1e-15);
}

TEST(Geodetic, RoundTripsAndAnIndependentInverse) {
  std::mt19937_64 rng(3);
  std::uniform_real_distribution<double> lat(-M_PI / 2, M_PI / 2), lon(-M_PI, M_PI), low(-500, 10000),
      high(10000, 100000);
  double worstLow = 0, worstHigh = 0;
  int polar = 0;
  for (int i = 0; i < 20000; ++i) {
    const bool isHigh = i % 4 == 3;
    const double in[3] = {lat(rng), lon(rng), isHigh ? high(rng) : low(rng)};
    polar += std::fabs(in[0]) > 1.3962634015954636;
    double e1[3], back[3], e2[3];
    convert_lla2ecefRadians<double>(in, e1);
    convert_ecef2llaRadians<double>(e1, back, true);
    convert_lla2ecefRadians<double>(back, e2);
    const double err = std::sqrt((e1[0] - e2[0]) * (e1[0] - e2[0]) + (e1[1] - e2[1]) * (e1[1] - e2[1]) +
                                 (e1[2] - e2[2]) * (e1[2] - e2[2]));
    double& worst = isHigh ? worstHigh : worstLow;
    worst = std::max(worst, err);
    if (i % 50 == 0 && std::fabs(in[0]) < 1.3) {
      double ref[3];
      iteratedInverse(e1, ref);
      EXPECT_NEAR(back[0], ref[0], 1e-12);
      EXPECT_NEAR(back[1], ref[1], 1e-12);
      EXPECT_NEAR(back[2], ref[2], isHigh ? 1e-3 : 2e-6);
    }
  }
  std::printf("round trip worst: %.3g m (heights to 10 km), %.3g m (to 100 km)\n", worstLow, worstHigh);
  EXPECT_GT(polar, 1000);  // both sides of the 80-degree switch were taken
  EXPECT_LT(worstLow, 2e-6) << worstLow;
  EXPECT_LT(worstHigh, 1e-3) << worstHigh;
}

TEST(Geodetic, QuaternionRowsAreTheLocalEastNorthUpAxes) {
  Quaternion q;
  const double zero[3] = {0, 0, 0};
  quat_ecef2enuFromLlaPositionRadiansInverse<double>(zero, q);
  EXPECT_NEAR(q.w, 0.5, 1e-15);
  EXPECT_NEAR(q.x, -0.5, 1e-15);
  EXPECT_NEAR(q.y, -0.5, 1e-15);
  EXPECT_NEAR(q.z, -0.5, 1e-15);
  std::mt19937_64 rng(4);
  std::uniform_real_distribution<double> lat(-1.5, 1.5), lon(-M_PI, M_PI);
  for (int i = 0; i < 200; ++i) {
    const double p[3] = {lat(rng), lon(rng), 0};
    quat_ecef2enuFromLlaPositionRadiansInverse<double>(p, q);
    Matrix3x3 r;
    r.isQuat(q);
    const double east[3] = {-std::sin(p[1]), std::cos(p[1]), 0};
    const double north[3] = {-std::sin(p[0]) * std::cos(p[1]), -std::sin(p[0]) * std::sin(p[1]), std::cos(p[0])};
    const double up[3] = {std::cos(p[0]) * std::cos(p[1]), std::cos(p[0]) * std::sin(p[1]), std::sin(p[0])};
    const double* rows[3] = {east, north, up};
    for (int row = 0; row < 3; ++row)
      for (int c = 0; c < 3; ++c) EXPECT_NEAR(r(row, c), rows[row][c], 1e-12) << i;
  }
}

TEST(Geodetic, DegreeFormsEqualTheRadianForms) {
  const double deg[3] = {47.5, -122.25, 300.0};
  const double rad[3] = {47.5 * 0.017453292519943295, -122.25 * 0.017453292519943295, 300.0};
  double a[3], b[3];
  convert_lla2ecefDegrees<double>(deg, a);
  convert_lla2ecefRadians<double>(rad, b);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(a[i], b[i]);
  double lla[3], llr[3];
  convert_ecef2llaDegrees<double>(a, lla);
  convert_ecef2llaRadians<double>(a, llr, true);
  EXPECT_EQ(lla[0], llr[0] * 57.29577951308232);
  EXPECT_EQ(lla[2], llr[2]);
  EXPECT_NEAR(lla[0], 47.5, 1e-9);
  Quaternion qd, qr;
  quat_ecef2enuFromLlaPositionDegreesInverse<double>(deg, qd);
  quat_ecef2enuFromLlaPositionRadiansInverse<double>(rad, qr);
  EXPECT_EQ(qd.w, qr.w);
  EXPECT_EQ(qd.z, qr.z);
}

}  // namespace
