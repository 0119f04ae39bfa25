#include "filters/common/EstimationRoutines.h"

#include <cmath>
#include <memory>
#include <new>
#include <vector>

#include "errors/ZtException.h"
#include "math/Matrix3x3.h"
#include "math/MathBase.h"
#include "math/Vector3.h"

namespace {

constexpr double kDeg2Rad = 0.017453292519943295;
constexpr double kRad2Deg = 57.29577951308232;
constexpr double kEarthRate = 7.292115e-5;  // rad/s, WGS-84: one turn per sidereal day
constexpr double kHalfPi = 1.5707963267948966;

// Per-thread scratch of the square-root updates. It only grows, so once a thread has run the
// largest problem it meets, later calls allocate nothing. A call that rejects measurements runs
// again on the same block; by then the first run no longer needs its contents.
double* scratch(size_t count) {
  thread_local std::vector<double> block;
  if (block.size() < count) {
    try {
      block.resize(count);
    } catch (const std::bad_alloc&) {
      throw ZtException(ZRV_INSUFFICIENTSPACE, "square-root update: scratch block");
    }
  }
  return block.data();
}

inline double at(const ZtMatrix& m, size_t r, size_t c) { return m.data[r * m.stride + c]; }

void orientationMatrix(const ZtVector& acc, const ZtVector& mag, double angle, bool eastNorthUp, zelto::Matrix& out) {
  zelto::Vector3 z, m, first, second;
  z.isNormalizeVec(acc);
  m.isNormalizeVec(mag);
  if (eastNorthUp) {
    zelto::Vector3 t;
    t.isVecCrossVec(m, z);
    first.isNormalizeVec(t);
    second.isVecCrossVec(z, first);
  } else {
    zelto::Vector3 t;
    t.isVecCrossVec(z, m);
    second.isNormalizeVec(t);
    first.isVecCrossVec(second, z);
  }
  zelto::Matrix3x3 rows, rz;
  rows.setRow(first, 0);
  rows.setRow(second, 1);
  rows.setRow(z, 2);
  rz.isRotateZ(angle);
  out.isMatMulMat(rz, rows);
}

void quaternionOf(const zelto::Matrix& r, ZtQuaternion& q) {
  zelto::Quaternion result;
  result.isRmat(r);
  result.isNormalizeSelf();
  q = result;
}

// --------------------------------------------------------------------------------------------
// Array-form measurement update.
//
// The pre-array A ((m + n + 1) x (m + n)) is built transposed, T = A^T ((m + n) x (m + n + 1),
// row stride m + n + 1), and triangularised in place; the lower-triangular post-array is then
// L = the transpose of T's upper triangle:
//   A = [ Rs      H S ]        L = [ Re      0   ]
//       [ 0       S   ]   ->       [ Kb      S'  ]
//       [ -Rs^-1 y  xn^T ]         [ -r^T    xn'^T ]
// With k > 0 the last k rows of T (the last k state columns, already triangular when H's last
// k columns are zero and S is lower triangular) stay out of the decomposition.

enum class NoiseForm { Diagonal, LowerTriangular };

struct ArrayLayout {
  size_t m, n, k, cols;
  double* t;  // T
  double* y;  // whitened measurement, m
  double* hs;  // H S, m x n
  double* qr;  // Householder scratch
  double& T(size_t r, size_t c) const { return t[r * cols + c]; }
};

// yIn: the measurement referred to the state (m items).
ArrayLayout triangularise(size_t measurements, const double* yIn, const ZtVector& xn, const ZtMatrix& S,
                          const ZtMatrix& H, const ZtMatrix& Rs, NoiseForm form, size_t k) {
  ArrayLayout a;
  a.m = measurements;
  a.n = xn.size;
  a.k = k < a.n ? k : a.n;
  a.cols = a.m + a.n + 1;
  const size_t m = a.m, n = a.n;
  const size_t qrRows = m + n - a.k;
  const size_t qrDoubles = qrRows * qrRows + qrRows + a.cols;
  double* block = scratch((m + n) * a.cols + m + m * n + qrDoubles);
  a.t = block;
  a.y = a.t + (m + n) * a.cols;
  a.hs = a.y + m;
  a.qr = a.hs + m * n;

  if (form == NoiseForm::Diagonal) {
    for (size_t i = 0; i < m; ++i) a.y[i] = yIn[i] / at(Rs, i, i);
  } else {
    zelto::Vector y(m, a.y, 0);
    const zelto::Vector yv(m, const_cast<double*>(yIn), 0);
    y.isLeftDivideTriL(Rs, yv);
  }
  zelto::Matrix hs(m, n, n, a.hs, 0);
  if (m > 0) hs.isMatMulMatTriL(H, S);

  for (size_t i = 0; i < m; ++i) {
    double* row = a.t + i * a.cols;
    for (size_t j = 0; j < m; ++j) row[j] = at(Rs, j, i);
    for (size_t j = m; j < m + n; ++j) row[j] = 0.0;
    row[m + n] = -a.y[i];
  }
  for (size_t c = 0; c < n; ++c) {
    double* row = a.t + (m + c) * a.cols;
    for (size_t j = 0; j < m; ++j) row[j] = a.hs[j * n + c];
    for (size_t b = 0; b < n; ++b) row[m + b] = at(S, b, c);
    row[m + n] = xn.data[c];
  }
  zelto::Matrix top(qrRows, a.cols, a.cols, a.t, 0);
  top.QRdecomposition(a.qr);
  return a;
}

void writeBack(const ArrayLayout& a, zelto::Vector& xn, zelto::Matrix& S) {
  const size_t m = a.m, n = a.n;
  for (size_t r = 0; r < n; ++r) {
    for (size_t c = 0; c <= r; ++c) S(r, c) = a.T(m + c, m + r);
    for (size_t c = r + 1; c < n; ++c) S(r, c) = 0.0;
  }
  for (size_t r = 0; r < n; ++r) xn[r] = a.T(m + r, m + n);
}

unsigned measurementUpdate(NoiseForm form, zelto::Vector& xn, zelto::Matrix& S, zelto::Vector& x, const ZtVector& z,
                           const ZtVector& h, const ZtMatrix& H, const ZtMatrix& Rs, double threshold, bool reject,
                           uint32_t k) {
  const size_t m = z.size, n = xn.size;
  // y = H x + z - h, kept in the first m doubles of a scratch slot of its own so that the
  // array build below may reuse the block.
  std::unique_ptr<double[]> heapY;
  double yLocal[16];
  double* y = yLocal;
  if (m > 16) {
    heapY.reset(new (std::nothrow) double[m]);
    if (!heapY) throw ZtException(ZRV_INSUFFICIENTSPACE, "square-root update: measurement copy");
    y = heapY.get();
  }
  for (size_t i = 0; i < m; ++i) {
    double s = 0.0;
    for (size_t c = 0; c < n; ++c) s += at(H, i, c) * x.data[c];
    y[i] = s + z.data[i] - h.data[i];
  }
  const ArrayLayout a = triangularise(m, y, xn, S, H, Rs, form, k);

  if (reject && m > 0) {
    size_t accepted = 0;
    for (size_t i = 0; i < m; ++i)
      if (std::fabs(a.T(i, m + n)) < threshold) ++accepted;
    if (accepted == 0) return 0;
    if (accepted < m) {
      std::vector<size_t> keep;
      try {
        keep.reserve(accepted);
      } catch (const std::bad_alloc&) {
        throw ZtException(ZRV_INSUFFICIENTSPACE, "square-root update: accepted measurements");
      }
      for (size_t i = 0; i < m; ++i)
        if (std::fabs(a.T(i, m + n)) < threshold) keep.push_back(i);
      // From here on the scratch block belongs to the repeated run.
      const size_t q = keep.size();
      zelto::Vector zr(q), hr(q);
      zelto::Matrix Hr(q, n), Rr(q, q);
      for (size_t p = 0; p < q; ++p) {
        zr[p] = z.data[keep[p]];
        hr[p] = h.data[keep[p]];
        for (size_t c = 0; c < n; ++c) Hr(p, c) = at(H, keep[p], c);
      }
      if (form == NoiseForm::Diagonal) {
        for (size_t p = 0; p < q; ++p) Rr(p, p) = at(Rs, keep[p], keep[p]);
      } else {
        // Root of the accepted block of the full noise covariance Rs Rs^T.
        for (size_t p = 0; p < q; ++p)
          for (size_t s = 0; s <= p; ++s) {
            double v = 0.0;
            for (size_t c = 0; c < m; ++c) v += at(Rs, keep[p], c) * at(Rs, keep[s], c);
            Rr(p, s) = v;
          }
        Rr.Cholesky();
      }
      return measurementUpdate(form, xn, S, x, zr, hr, Hr, Rr, threshold, true, k);
    }
  }
  writeBack(a, xn, S);
  x.isMatTriLMulVec(S, xn);
  return static_cast<unsigned>(m);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Orientation

void orientAccMag(const ZtVector& acc, const ZtVector& mag, double declination, bool frameFlag, zelto::Matrix& R) {
  orientationMatrix(acc, mag, -declination, frameFlag, R);
}

void orientAccMag(const ZtVector& acc, const ZtVector& mag, double declination, bool frameFlag, ZtQuaternion& q) {
  zelto::Matrix3x3 r;
  orientationMatrix(acc, mag, -declination, frameFlag, r);
  quaternionOf(r, q);
}

void computeOrientationFromAccMagXNorth(const ZtVector& acc, const ZtVector& mag, ZtQuaternion& q,
                                        double declination) {
  zelto::Matrix3x3 r;
  orientationMatrix(acc, mag, -declination - kHalfPi, true, r);
  quaternionOf(r, q);
}

// ---------------------------------------------------------------------------------------------
// Range tests

bool anyOutOfRange(const ZtVector& v, double limit) {
  for (size_t i = 0; i < v.size; ++i)
    if (v.data[i] > limit) return true;
  return false;
}

bool doOutOfRangeQBoosting(const ZtVector& v, double limit, double boost, const ZtMatrix& Q, zelto::Matrix& Qout) {
  for (size_t r = 0; r < 3; ++r)
    for (size_t c = 0; c < 3; ++c) Qout(r, c) = at(Q, r, c);
  bool boosted = false;
  for (size_t i = 0; i < 3; ++i)
    if (std::fabs(v.data[i]) > limit) {
      Qout(i, i) = boost;
      boosted = true;
    }
  return boosted;
}

// ---------------------------------------------------------------------------------------------
// Earth models

void gravityIgf1980(const ZtVector& latLongAlt, double& g) {
  const double phi = latLongAlt.data[0] * kDeg2Rad;
  const double s = std::sin(phi);
  const double s2 = std::sin(2.0 * phi);
  g = 3.086e-6 * latLongAlt.data[2] - 9.780327 * (1.0 + 0.0053024 * s * s - 0.0000058 * s2 * s2);
}

void getFirstOrderLowpassFilterCoefs(double tau, double sd, double dt, double& a, double& b) {
  a = std::pow(2.718281828459045, -dt / tau);
  if (sd != 0.0) b = std::sqrt((1.0 - a * a) * sd * sd);
}

void computeEarthRotationInLtp(double latitudeDeg, ZtVector& w) {
  const double phi = latitudeDeg * kDeg2Rad;
  w.data[0] = kEarthRate * std::cos(phi);
  w.data[1] = 0.0;
  w.data[2] = kEarthRate * std::sin(phi);
}

void latLongAltSanityCheck(ZtVector& lla) {
  const double lat = lla.data[0], lon = lla.data[1], alt = lla.data[2];
  const bool allZero = lat == 0.0 && lon == 0.0 && alt == 0.0;
  // Written as "not inside" so that a NaN fails too.
  const bool inside = lat >= -90.0 && lat <= 90.0 && lon >= -360.0 && lon <= 360.0 && alt >= -1e6 && alt <= 1e6;
  if (allZero || !inside) {
    lla.data[0] = kDefaultLatitudeDeg;
    lla.data[1] = kDefaultLongitudeDeg;
    lla.data[2] = kDefaultAltitude;
  }
}

// ---------------------------------------------------------------------------------------------
// Increments

void effectiveAngularVelocity(ZtVector& w, const ZtQuaternion& dq, double dt) {
  const double v[3] = {dq.x, dq.y, dq.z};
  const double s = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
  const double f = s > 1e-8 ? 2.0 * zelto::asinClamped(s) / (s * dt) : 2.0 / dt;
  for (int i = 0; i < 3; ++i) w.data[i] = f * v[i];
}

void integrateOmegaOneStep(const ZtVector& omega, ZtQuaternion& q, ZtQuaternion& dq, double dt) {
  const double h = 0.5 * dt;
  zelto::Quaternion inc(1.0, omega.data[0] * h, omega.data[1] * h, omega.data[2] * h);
  inc.isNormalizeSelf();
  dq = inc;
  zelto::Quaternion r(q);
  r.isQuatMulQuat(r, inc);
  q = r;
}

// ---------------------------------------------------------------------------------------------
// Local tangent plane

namespace zelto {

namespace {
constexpr double kWgs84A = 6378137.0;
constexpr double kWgs84F = 0.0033528106647474805;

template <typename T>
T flatEarthRadius(T refLatRad) {
  const T s = std::sin(refLatRad);
  return static_cast<T>(kWgs84A) * (static_cast<T>(1) - static_cast<T>(kWgs84F) * s * s);
}
}  // namespace

template <typename T>
void convert_latLongAlt2LocalTangentPlane(const T* lla, const T* refLla, T* nwu) {
  const T d2r = static_cast<T>(kDeg2Rad);
  const T phi0 = refLla[0] * d2r;
  const T r = flatEarthRadius(phi0);
  T dLong = lla[1] - refLla[1];
  if (dLong > static_cast<T>(350))
    dLong -= static_cast<T>(360);
  else if (dLong < static_cast<T>(-350))
    dLong += static_cast<T>(360);
  nwu[0] = r * (lla[0] - refLla[0]) * d2r;
  nwu[1] = -r * std::cos(phi0) * dLong * d2r;
  nwu[2] = lla[2] - refLla[2];
}

template <typename T>
void convert_localTangentPlane2LatLongAlt(const T* nwu, const T* refLla, T* lla) {
  const T r2d = static_cast<T>(kRad2Deg);
  const T phi0 = refLla[0] * static_cast<T>(kDeg2Rad);
  const T r = flatEarthRadius(phi0);
  lla[0] = refLla[0] + nwu[0] * r2d / r;
  lla[1] = refLla[1] - nwu[1] * r2d / (r * std::cos(phi0));
  lla[2] = refLla[2] + nwu[2];
}

template void convert_latLongAlt2LocalTangentPlane<double>(const double*, const double*, double*);
template void convert_localTangentPlane2LatLongAlt<double>(const double*, const double*, double*);

void wgs84Radii(double latitudeDeg, double& meridian, double& primeVertical) {
  const double s = 0.0818191908426 * std::sin(latitudeDeg * kDeg2Rad);
  const double w = 1.0 - s * s;
  meridian = 6335439.327292843 / (w * std::sqrt(w));
  primeVertical = kWgs84A / std::sqrt(w);
}

namespace {
// Metres per radian of latitude and of longitude at a reference position.
void metresPerRadian(const double* refLla, double& north, double& east) {
  double m = 0.0, n = 0.0;
  wgs84Radii(refLla[0], m, n);
  north = m + refLla[2];
  east = (n + refLla[2]) * std::cos(refLla[0] * kDeg2Rad);
}
}  // namespace

void convert_latLongAlt2LocalTangentPlaneWgs84(const double* lla, const double* refLla, double* nwu) {
  double rn = 0.0, re = 0.0;
  metresPerRadian(refLla, rn, re);
  double dLong = lla[1] - refLla[1];
  if (dLong > 180.0) dLong -= 360.0;
  if (dLong < -180.0) dLong += 360.0;
  nwu[0] = (lla[0] - refLla[0]) * kDeg2Rad * rn;
  nwu[1] = -dLong * kDeg2Rad * re;
  nwu[2] = lla[2] - refLla[2];
}

void convert_localTangentPlane2LatLongAltWgs84(const double* nwu, const double* refLla, double* lla) {
  double rn = 0.0, re = 0.0;
  metresPerRadian(refLla, rn, re);
  lla[0] = refLla[0] + nwu[0] / rn * kRad2Deg;
  lla[1] = refLla[1] - nwu[1] / re * kRad2Deg;
  lla[2] = refLla[2] + nwu[2];
}

}  // namespace zelto

void convertLatLongAlt2LocalTangentPlane(const ZtVector& latLongAlt, double refLat, double refLong, double refAlt,
                                         double& north, double& west, double& up) {
  const double ref[3] = {refLat, refLong, refAlt};
  double out[3];
  zelto::convert_latLongAlt2LocalTangentPlane<double>(latLongAlt.data, ref, out);
  north = out[0];
  west = out[1];
  up = out[2];
}

void convertLocalTangentPlane2LatLongAlt(const ZtVector& northWestUp, double refLat, double refLong, double refAlt,
                                         double& lat, double& lon, double& alt) {
  const double ref[3] = {refLat, refLong, refAlt};
  double out[3];
  zelto::convert_localTangentPlane2LatLongAlt<double>(northWestUp.data, ref, out);
  lat = out[0];
  lon = out[1];
  alt = out[2];
}

double sumStandardDeviations(double a, double b) { return std::sqrt(a * a + b * b); }

// ---------------------------------------------------------------------------------------------
// Square-root Kalman updates

void doMeasurementUpdateSquareRoot(zelto::Vector& x, zelto::Matrix& S, zelto::Vector& r, const ZtVector& z,
                                   const ZtMatrix& H, const ZtMatrix& Rs) {
  const ArrayLayout a = triangularise(z.size, z.data, x, S, H, Rs, NoiseForm::Diagonal, 0);
  writeBack(a, x, S);
  for (size_t i = 0; i < a.m; ++i) r[i] = -a.T(i, a.m + a.n);
}

void doTimeUpdateSquareRoot(zelto::Vector& sx, zelto::Matrix& S, const ZtVector& x, const ZtMatrix& F,
                            const ZtMatrix& Qs) {
  const size_t n = sx.size;
  // T = A^T (2n x n): rows 0..n-1 (F S)^T, rows n..2n-1 Qs^T (upper triangular for a lower
  // triangular Qs, hence the skip n - 1).
  const size_t qrDoubles = 2 * n * n + n + n;
  double* block = scratch(2 * n * n + n * n + qrDoubles);
  double* t = block;
  double* fs = t + 2 * n * n;
  double* qr = fs + n * n;
  zelto::Matrix fsView(n, n, n, fs, 0);
  fsView.isMatMulMatTriL(F, S);
  for (size_t a = 0; a < n; ++a) {
    double* row = t + a * n;
    for (size_t b = 0; b < n; ++b) row[b] = fs[b * n + a];
  }
  for (size_t a = 0; a < n; ++a) {
    double* row = t + (n + a) * n;
    for (size_t b = 0; b < n; ++b) row[b] = at(Qs, b, a);
  }
  zelto::Matrix tv(2 * n, n, n, t, 0);
  tv.QRdecompositionTriSkip(n > 0 ? n - 1 : 0, qr);
  for (size_t r = 0; r < n; ++r) {
    for (size_t c = 0; c <= r; ++c) S(r, c) = t[c * n + r];
    for (size_t c = r + 1; c < n; ++c) S(r, c) = 0.0;
  }
  sx.isLeftDivideTriL(S, x);
}

unsigned doMeasurementUpdateSquareRootZDiag(zelto::Vector& xn, zelto::Matrix& S, zelto::Vector& x, const ZtVector& z,
                                            const ZtVector& h, const ZtMatrix& H, const ZtMatrix& Rs,
                                            double threshold, bool reject, uint32_t k) {
  return measurementUpdate(NoiseForm::Diagonal, xn, S, x, z, h, H, Rs, threshold, reject, k);
}

unsigned doMeasurementUpdateSquareRootZTriL(zelto::Vector& xn, zelto::Matrix& S, zelto::Vector& x, const ZtVector& z,
                                            const ZtVector& h, const ZtMatrix& H, const ZtMatrix& Rs,
                                            double threshold, bool reject, uint32_t k) {
  return measurementUpdate(NoiseForm::LowerTriangular, xn, S, x, z, h, H, Rs, threshold, reject, k);
}

void doMeasurementUpdate(zelto::Vector& x, zelto::Matrix& P, const ZtVector& z, const ZtMatrix& H,
                         const ZtMatrix& R) {
  const size_t n = x.size, m = R.rows;
  const size_t count = (2 * m + 2 * n + 1) * m + 2 * n * n;
  std::unique_ptr<double[]> block(new (std::nothrow) double[count != 0 ? count : 1]);
  if (!block) throw ZtException(ZRV_INSUFFICIENTSPACE, "doMeasurementUpdate: workspace");
  double* p = block.get();
  zelto::Matrix E(m, m, m, p, 0);
  p += m * m;
  zelto::Matrix Einv(m, m, m, p, 0);
  p += m * m;
  zelto::Matrix PHt(n, m, m, p, 0);
  p += n * m;
  zelto::Matrix K(n, m, m, p, 0);
  p += n * m;
  zelto::Vector e(m, p, 0);
  p += m;
  zelto::Matrix M(n, n, n, p, 0);
  p += n * n;
  zelto::Matrix Pold(n, n, n, p, 0);

  PHt.isMatMulTransMat(P, H);
  E.isMatMulMatSymmetrical(H, PHt);
  for (size_t r = 0; r < m; ++r)
    for (size_t c = 0; c < m; ++c) E(r, c) += at(R, r, c);
  Einv.isInverseOf(E);
  K.isMatMulMat(PHt, Einv);
  for (size_t i = 0; i < m; ++i) {
    double s = 0.0;
    for (size_t c = 0; c < n; ++c) s += at(H, i, c) * x[c];
    e[i] = z.data[i] - s;
  }
  x.isSelfAddScaMulMatMulVec(1.0, K, e);
  M.isMatMulMat(K, H);
  for (size_t r = 0; r < n; ++r)
    for (size_t c = 0; c < n; ++c) {
      M(r, c) = (r == c ? 1.0 : 0.0) - M(r, c);
      Pold(r, c) = P(r, c);
    }
  P.isMatMulMatSymmetrical(M, Pold);
}

// ---------------------------------------------------------------------------------------------
// Jacobians of an orientation increment

void jacobianBiasDq(const ZtVector& omega, double dt, zelto::Matrix& J) {
  const double h = 0.5 * dt;
  const double th[3] = {h * omega.data[0], h * omega.data[1], h * omega.data[2]};
  const double c2 = th[0] * th[0] + th[1] * th[1] + th[2] * th[2];
  const double c = std::sqrt(c2);
  // sinc = sin c / c; g = (cos c - sin c / c) / c^2. Below 0.1 their series (to c^8) are exact
  // to rounding, where the closed form of g would lose digits to cancellation; at c = 0 they
  // give the limit [0^T; I].
  double sinc, g;
  if (c < 0.1) {
    sinc = 1.0 + c2 * (-1.0 / 6.0 + c2 * (1.0 / 120.0 + c2 * (-1.0 / 5040.0 + c2 * (1.0 / 362880.0))));
    g = -1.0 / 3.0 + c2 * (1.0 / 30.0 + c2 * (-1.0 / 840.0 + c2 * (1.0 / 45360.0 + c2 * (-1.0 / 3991680.0))));
  } else {
    sinc = std::sin(c) / c;
    g = (std::cos(c) - sinc) / c2;
  }
  for (size_t j = 0; j < 3; ++j) J(0, j) = -h * sinc * th[j];
  for (size_t i = 0; i < 3; ++i)
    for (size_t j = 0; j < 3; ++j) J(i + 1, j) = h * ((i == j ? sinc : 0.0) + g * th[i] * th[j]);
}

void jacobianBiasDqReduced(const ZtQuaternion& dq, zelto::Matrix& J) {
  const double w = dq.w;
  const double v[3] = {dq.x, dq.y, dq.z};
  const double oneMinusW2 = 1.0 - w * w;
  // A slightly non-unit increment (|w| > 1) must not reach the square root.
  const double a = zelto::asincInv(std::sqrt(oneMinusW2 > 0.0 ? oneMinusW2 : 0.0));
  const double d = 1.0 - w > 0.0 ? 1.0 - w : 0.0;
  const double k = d < 5.4e-8 ? -1.0 / 3.0 - 0.15555555555555556 * d : (w - a) / oneMinusW2;
  for (size_t j = 0; j < 3; ++j) J(0, j) = -v[j];
  for (size_t i = 0; i < 3; ++i)
    for (size_t j = 0; j < 3; ++j) J(i + 1, j) = (i == j ? a : 0.0) + k * v[i] * v[j];
}
