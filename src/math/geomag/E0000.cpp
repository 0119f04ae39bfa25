#include "math/geomag/E0000.h"

#include <cmath>

#include "zttypes/ztmath.h"

namespace {
constexpr int kOrder = 13;  // degrees 0..12
}  // namespace

void E0000::run(int maxDegree, const WmmTable* model, const zelto::Vector3& position, double decimalYear,
                double* declination, double* dip, double* intensity, double* gridVariation) {
  const int maxord = maxDegree < 1 ? 1 : (maxDegree > kOrder - 1 ? kOrder - 1 : maxDegree);
  // c[m][n] (m <= n) holds g(n, m), c[n][m-1] holds h(n, m); cd the rates alike.
  double c[kOrder][kOrder] = {};
  double cd[kOrder][kOrder] = {};
  double tc[kOrder][kOrder] = {};
  double p[kOrder][kOrder] = {};
  double dp[kOrder][kOrder] = {};
  double snorm[kOrder][kOrder] = {};
  double k[kOrder][kOrder] = {};
  double sp[kOrder] = {};
  double cp[kOrder] = {};
  double fn[kOrder] = {};
  double fm[kOrder] = {};
  double pp[kOrder] = {};

  for (int i = 0; i < model->rowCount; ++i) {
    const WmmCoefficient& row = model->rows[i];
    const int n = row.n;
    const int m = row.m;
    if (n < 1 || n >= kOrder || m > n) continue;
    c[m][n] = row.g;
    cd[m][n] = row.gdot;
    if (m >= 1) {
      c[n][m - 1] = row.h;
      cd[n][m - 1] = row.hdot;
    }
  }
  c[0][0] = 0.0;
  cd[0][0] = 0.0;

  // Schmidt semi-normalised to unnormalised coefficients.
  snorm[0][0] = 1.0;
  for (int n = 1; n <= maxord; ++n) {
    snorm[0][n] = snorm[0][n - 1] * static_cast<double>(2 * n - 1) / static_cast<double>(n);
    int j = 2;
    for (int m = 0; m <= n; ++m) {
      k[m][n] = static_cast<double>((n - 1) * (n - 1) - m * m) / static_cast<double>((2 * n - 1) * (2 * n - 3));
      if (m > 0) {
        const double flnmj = static_cast<double>((n - m + 1) * j) / static_cast<double>(n + m);
        snorm[m][n] = snorm[m - 1][n] * std::sqrt(flnmj);
        j = 1;
        c[n][m - 1] *= snorm[m][n];
        cd[n][m - 1] *= snorm[m][n];
      }
      c[m][n] *= snorm[m][n];
      cd[m][n] *= snorm[m][n];
    }
    fn[n] = static_cast<double>(n + 1);
    fm[n] = static_cast<double>(n);
  }
  k[1][1] = 0.0;
  fm[0] = 0.0;

  // WGS84 ellipsoid and the mean radius in km, rounded to single precision as in the published
  // routine, then used in double precision.
  const float af = 6378.137f;
  const float bf = 6356.7523142f;
  const float a2f = af * af;
  const float b2f = bf * bf;
  const float a4f = a2f * a2f;
  const double re = static_cast<double>(6371.2f);
  const double a2 = a2f;
  const double b2 = b2f;
  const double c2 = static_cast<double>(a2f - b2f);
  const double a4 = a4f;
  const double c4 = static_cast<double>(a4f - b2f * b2f);

  const double latitude = position[0];
  const double longitude = position[1];
  const double alt = position[2];
  const double rlat = ZtMath_deg2rad(latitude);
  const double rlon = ZtMath_deg2rad(longitude);
  const double srlat = std::sin(rlat);
  const double crlat = std::cos(rlat);
  const double srlat2 = srlat * srlat;
  const double crlat2 = crlat * crlat;
  sp[0] = 0.0;
  cp[0] = 1.0;
  sp[1] = std::sin(rlon);
  cp[1] = std::cos(rlon);
  for (int m = 2; m <= maxord; ++m) {
    sp[m] = sp[1] * cp[m - 1] + cp[1] * sp[m - 1];
    cp[m] = cp[1] * cp[m - 1] - sp[1] * sp[m - 1];
  }

  // Geodetic to spherical coordinates.
  const double q = std::sqrt(a2 - c2 * srlat2);
  const double q1 = alt * q;
  const double q2 = ((q1 + a2) / (q1 + b2)) * ((q1 + a2) / (q1 + b2));
  const double ct = srlat / std::sqrt(q2 * crlat2 + srlat2);
  const double st = std::sqrt(1.0 - ct * ct);
  const double r = std::sqrt(alt * alt + 2.0 * q1 + (a4 - c4 * srlat2) / (q * q));
  const double d = std::sqrt(a2 * crlat2 + b2 * srlat2);
  const double ca = (alt + d) / r;
  const double sa = c2 * crlat * srlat / (r * d);

  const double dt = decimalYear - static_cast<double>(model->firstYear);
  const double aor = re / r;
  double ar = aor * aor;
  double br = 0.0, bt = 0.0, bp = 0.0, bpp = 0.0;
  p[0][0] = 1.0;
  dp[0][0] = 0.0;
  pp[0] = 1.0;
  for (int n = 1; n <= maxord; ++n) {
    ar *= aor;
    for (int m = 0; m <= n; ++m) {
      // Associated Legendre functions and their derivatives by recursion.
      if (n == m) {
        p[m][n] = st * p[m - 1][n - 1];
        dp[m][n] = st * dp[m - 1][n - 1] + ct * p[m - 1][n - 1];
      } else if (n == 1 && m == 0) {
        p[m][n] = ct * p[m][n - 1];
        dp[m][n] = ct * dp[m][n - 1] - st * p[m][n - 1];
      } else {
        if (m > n - 2) {
          p[m][n - 2] = 0.0;
          dp[m][n - 2] = 0.0;
        }
        p[m][n] = ct * p[m][n - 1] - k[m][n] * p[m][n - 2];
        dp[m][n] = ct * dp[m][n - 1] - st * p[m][n - 1] - k[m][n] * dp[m][n - 2];
      }
      // Coefficients at the date.
      tc[m][n] = c[m][n] + dt * cd[m][n];
      if (m != 0) tc[n][m - 1] = c[n][m - 1] + dt * cd[n][m - 1];

      const double par = ar * p[m][n];
      double temp1, temp2;
      if (m == 0) {
        temp1 = tc[m][n] * cp[m];
        temp2 = tc[m][n] * sp[m];
      } else {
        temp1 = tc[m][n] * cp[m] + tc[n][m - 1] * sp[m];
        temp2 = tc[m][n] * sp[m] - tc[n][m - 1] * cp[m];
      }
      bt = bt - ar * temp1 * dp[m][n];
      bp += fm[m] * temp2 * par;
      br += fn[n] * temp1 * par;
      // At a geographic pole the east component comes from the m = 1 terms alone.
      if (st == 0.0 && m == 1) {
        pp[n] = n == 1 ? pp[n - 1] : ct * pp[n - 1] - k[m][n] * pp[n - 2];
        bpp += fm[m] * temp2 * ar * pp[n];
      }
    }
  }
  bp = st == 0.0 ? bpp : bp / st;

  // Rotate to geodetic north, east and down.
  const double bx = -bt * ca - br * sa;
  const double by = bp;
  const double bz = bt * sa - br * ca;
  const double bh = std::sqrt(bx * bx + by * by);
  *intensity = std::sqrt(bh * bh + bz * bz);
  *declination = ZtMath_rad2deg(std::atan2(by, bx));
  *dip = ZtMath_rad2deg(std::atan2(bz, bh));

  double gv = -999.0;
  if (std::fabs(latitude) >= 55.0) {
    if (latitude > 0.0) {
      gv = longitude >= 0.0 ? *declination - longitude : *declination + std::fabs(longitude);
    } else {
      gv = longitude >= 0.0 ? *declination + longitude : *declination - std::fabs(longitude);
    }
    if (gv > 180.0) gv -= 360.0;
    if (gv < -180.0) gv += 360.0;
  }
  *gridVariation = gv;
}
