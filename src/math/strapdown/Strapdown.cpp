#include "math/strapdown/Strapdown.h"

#include <algorithm>
#include <cmath>

#include "math/Matrix3x3.h"

namespace zelto {

namespace {

// Hamilton product a (x) b, all inputs read before the result is written.
ZtQuaternion multiply(const ZtQuaternion& a, const ZtQuaternion& b) {
  return ZtQuaternion{a.w * b.w - a.x * b.x - a.y * b.y - a.z * b.z, a.x * b.w + a.w * b.x - a.z * b.y + a.y * b.z,
                      a.y * b.w + a.z * b.x + a.w * b.y - a.x * b.z, a.z * b.w - a.y * b.x + a.x * b.y + a.w * b.z};
}

// Vector part of q (x) (0, v) (x) conj(q).
void rotate(const ZtQuaternion& q, const double v[3], double out[3]) {
  const ZtQuaternion p{0.0, v[0], v[1], v[2]};
  const ZtQuaternion conj{q.w, -q.x, -q.y, -q.z};
  const ZtQuaternion r = multiply(multiply(q, p), conj);
  out[0] = r.x;
  out[1] = r.y;
  out[2] = r.z;
}

// M = c1 * I + c2 * S + c3 * S*S for the cross-product matrix S of g.
void integrationMatrix(const double g[3], double c1, double c2, double c3, double m[9]) {
  const double s[9] = {0.0, -g[2], g[1], g[2], 0.0, -g[0], -g[1], g[0], 0.0};
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) {
      double ss = 0.0;
      for (int k = 0; k < 3; ++k) ss += s[3 * r + k] * s[3 * k + c];
      m[3 * r + c] = (r == c ? c1 : 0.0) + c2 * s[3 * r + c] + c3 * ss;
    }
}

}  // namespace

void sdiDelta(const ZtVector& acc, const ZtVector& gyr, ZtQuaternion& dq, ZtVector& dv, double dt) {
  const double w = ZtVector_cartesianLength(&gyr);
  const double a[3] = {acc.data[0], acc.data[1], acc.data[2]};
  if (w == 0.0) {
    dq = *ZtQuaternion_identity();
    for (int i = 0; i < 3; ++i) dv.data[i] = dt * a[i];
    return;
  }
  const double g[3] = {gyr.data[0], gyr.data[1], gyr.data[2]};
  const double theta = w * dt;
  const double h = std::sin(theta / 2.0) / w;
  ZtQuaternion q{std::cos(theta / 2.0), g[0] * h, g[1] * h, g[2] * h};
  const double len = std::sqrt(q.w * q.w + q.x * q.x + q.y * q.y + q.z * q.z);
  const double inv = 1.0 / len;
  dq = ZtQuaternion{q.w * inv, q.x * inv, q.y * inv, q.z * inv};

  const double w2 = w * w;
  const double w3 = w2 * w;
  double c2, c3;
  if (w2 == 0.0 || w3 == 0.0) {
    // Rates so small that w^2 or w^3 underflows: the coefficients' limits.
    c2 = dt * dt / 2.0;
    c3 = dt * dt * dt / 6.0;
  } else {
    c2 = (1.0 - std::cos(theta)) / w2;
    c3 = (theta - std::sin(theta)) / w3;
  }
  double m[9];
  integrationMatrix(g, dt, c2, c3, m);
  for (int r = 0; r < 3; ++r) dv.data[r] = m[3 * r] * a[0] + m[3 * r + 1] * a[1] + m[3 * r + 2] * a[2];
}

void sdiWindowAdd(ZtQuaternion& q, ZtVector& v, const ZtQuaternion& dq, const ZtVector& dv) {
  const double d[3] = {dv.data[0], dv.data[1], dv.data[2]};
  double r[3];
  rotate(q, d, r);
  for (int i = 0; i < 3; ++i) v.data[i] += r[i];
  q = multiply(q, dq);
}

void calcCalGyr(ZtVector& gyr, const ZtQuaternion& dq, double dt) {
  const double s = std::sqrt(dq.x * dq.x + dq.y * dq.y + dq.z * dq.z);
  if (!(s >= ZtMath_epsilon)) {
    // Also NaN: no rotation can be read from it; a NaN increment gives NaN below instead.
    if (std::isnan(s)) {
      for (int i = 0; i < 3; ++i) gyr.data[i] = s;
      return;
    }
    for (int i = 0; i < 3; ++i) gyr.data[i] = 0.0;
    return;
  }
  // Near a half turn rounding can put the length of a unit quaternion's vector part 1 ulp
  // above 1: clamp so the rate stays finite.
  const double angle = 2.0 * std::asin(std::min(s, 1.0)) / dt;
  gyr.data[0] = dq.x / s * angle;
  gyr.data[1] = dq.y / s * angle;
  gyr.data[2] = dq.z / s * angle;
}

void getAverageAccGyrLocalFrame(ZtVector& acc, ZtVector& gyr, const ZtQuaternion& dq, const ZtVector& dv,
                                double dt) {
  calcCalGyr(gyr, dq, dt);
  const ZtQuaternion inv{dq.w, -dq.x, -dq.y, -dq.z};
  const double d[3] = {dv.data[0], dv.data[1], dv.data[2]};
  double r[3];
  rotate(inv, d, r);
  for (int i = 0; i < 3; ++i) acc.data[i] = r[i] / dt;
}

void inverseSdi(ZtVector& acc, ZtVector& gyr, const ZtQuaternion& dq, const ZtVector& dv, double dt) {
  calcCalGyr(gyr, dq, dt);
  const double g[3] = {gyr.data[0], gyr.data[1], gyr.data[2]};
  const double w = ZtVector_cartesianLength(&gyr);
  const double d[3] = {dv.data[0], dv.data[1], dv.data[2]};
  if (w < ZtMath_epsilon) {
    for (int i = 0; i < 3; ++i) acc.data[i] = d[i] / dt;
    return;
  }
  const double theta = dt * w;
  const double w2 = w * w;
  const double w3 = w2 * w;
  Matrix3x3 m;
  integrationMatrix(g, dt, (1.0 - std::cos(theta)) / w2, dt / w2 - std::sin(theta) / w3, m.data);
  Matrix3x3 inv;
  inv.isInverseOf3x3(m);
  for (int r = 0; r < 3; ++r) acc.data[r] = inv(r, 0) * d[0] + inv(r, 1) * d[1] + inv(r, 2) * d[2];
}

}  // namespace zelto
