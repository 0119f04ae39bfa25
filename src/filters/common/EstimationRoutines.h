#pragma once
// Free routines shared by the host filters: orientation from accelerometer and magnetometer,
// range tests and process-noise boosting, normal gravity, low-pass coefficients, earth rotation,
// position sanity check, angular velocity of an increment, flat-earth local-tangent-plane
// conversions, and square-root Kalman updates in array form.
//
// The local navigation frame is north-west-up (x north, y west, z up). The square-root routines
// keep the covariance as a lower-triangular root S (P = S S^T) and the state also in normalised
// form S^-1 x. Nothing here holds state or locks; the square-root updates work in a per-thread
// scratch block that grows to the largest problem seen and is then reused, so after the first
// call of a size they allocate nothing (except when measurements are rejected).
#include <cstdint>

#include "math/Matrix.h"
#include "math/Quaternion.h"
#include "math/Vector.h"

// The position latLongAltSanityCheck substitutes for an impossible one, and the start value of
// the stored position of the user parameters: latitude and longitude in degrees, altitude m.
inline constexpr double kDefaultLatitudeDeg = 45.0;
inline constexpr double kDefaultLongitudeDeg = 10.0;
inline constexpr double kDefaultAltitude = 0.0;

// Rows of the body-to-navigation rotation from a gravity (acc, pointing up when still) and a
// magnetic field vector, turned about z by -declination (radians, east positive). frameFlag
// clear: north-west-up rows; set: east-north-up rows.
void orientAccMag(const ZtVector& acc, const ZtVector& mag, double declination, bool frameFlag, ZtQuaternion& q);
void orientAccMag(const ZtVector& acc, const ZtVector& mag, double declination, bool frameFlag, zelto::Matrix& R);
// North-west-up orientation with x to the north, built from east-north-up rows turned by
// -(declination + pi/2).
void computeOrientationFromAccMagXNorth(const ZtVector& acc, const ZtVector& mag, ZtQuaternion& q,
                                        double declination);

// True when some element is greater than limit (signed: large negative elements do not count);
// false for an empty vector.
bool anyOutOfRange(const ZtVector& v, double limit);
// Qout = Q, then Qout(i, i) = boost for each i < 3 with |v[i]| > limit; true when any was boosted.
bool doOutOfRangeQBoosting(const ZtVector& v, double limit, double boost, const ZtMatrix& Q, zelto::Matrix& Qout);

// Vertical gravity component (negative, z up) at latitude (degrees) and altitude (m): the 1980
// international gravity formula reduced by the free-air gradient.
void gravityIgf1980(const ZtVector& latLongAlt, double& g);
// a = e^(-dt/tau) as pow(2.718281828459045, -dt/tau); b = sqrt((1 - a^2) sd^2) unless sd is 0
// (b then untouched).
void getFirstOrderLowpassFilterCoefs(double tau, double sd, double dt, double& a, double& b);
// Earth rate (WGS-84, 7.292115e-5 rad/s: one turn per sidereal day) in the north-west-up frame
// at a latitude in degrees.
void computeEarthRotationInLtp(double latitudeDeg, ZtVector& w);
// Replaces an all-zero, out-of-range (|lat| > 90, |long| > 360, |alt| > 1e6) or not-a-number
// position by the default position; values on the bounds pass.
void latLongAltSanityCheck(ZtVector& latLongAlt);

// Rate that produces the increment dq over dt: (2 asin|v| / (|v| dt)) v, or (2/dt) v for
// |v| <= 1e-8 (v the vector part).
void effectiveAngularVelocity(ZtVector& w, const ZtQuaternion& dq, double dt);
// dq = normalise(1, omega dt/2); q = q dq.
void integrateOmegaOneStep(const ZtVector& omega, ZtQuaternion& q, ZtQuaternion& dq, double dt);

// Flat-earth north/west/up offsets (m) of a latitude/longitude/altitude (degrees, m) from a
// reference, with the radius a (1 - f sin^2 refLat) of WGS-84; a longitude difference beyond
// +-350 degrees is wrapped once by 360.
void convertLatLongAlt2LocalTangentPlane(const ZtVector& latLongAlt, double refLat, double refLong, double refAlt,
                                         double& north, double& west, double& up);
// The inverse (no longitude wrap).
void convertLocalTangentPlane2LatLongAlt(const ZtVector& northWestUp, double refLat, double refLong, double refAlt,
                                         double& lat, double& lon, double& alt);

double sumStandardDeviations(double a, double b);

// Array-form measurement update of the linear model z = H (S x): x (normalised state) and S
// updated, r = whitened innovation. Rs must be diagonal (z is whitened by its diagonal).
void doMeasurementUpdateSquareRoot(zelto::Vector& x, zelto::Matrix& S, zelto::Vector& r, const ZtVector& z,
                                   const ZtMatrix& H, const ZtMatrix& Rs);
// S' S'^T = F S S^T F^T + Qs Qs^T with S' lower triangular; sx = S'^-1 x (n = sx.size). Qs must
// be lower triangular: the decomposition skips its known zeros (skip count n - 1).
void doTimeUpdateSquareRoot(zelto::Vector& sx, zelto::Matrix& S, const ZtVector& x, const ZtMatrix& F,
                            const ZtMatrix& Qs);
// Measurement update of z (predicted h from x) with a diagonal noise root Rs. skip k: the last k
// columns of H are zero and S is lower triangular, so the last k state columns stay out of the
// decomposition. With reject set, measurements whose whitened innovation is not below threshold
// (or not a number) are dropped and the update is redone with the rest; none left: nothing
// written, result 0. Returns the number of measurements used; xn, S and x = S xn are written back.
unsigned doMeasurementUpdateSquareRootZDiag(zelto::Vector& xn, zelto::Matrix& S, zelto::Vector& x, const ZtVector& z,
                                            const ZtVector& h, const ZtMatrix& H, const ZtMatrix& Rs,
                                            double threshold, bool reject, uint32_t k);
// The same with a lower-triangular noise root; after a rejection the root of the accepted
// measurements is the Cholesky factor of their block of Rs Rs^T.
unsigned doMeasurementUpdateSquareRootZTriL(zelto::Vector& xn, zelto::Matrix& S, zelto::Vector& x, const ZtVector& z,
                                            const ZtVector& h, const ZtMatrix& H, const ZtMatrix& Rs,
                                            double threshold, bool reject, uint32_t k);
// Covariance-form update with innovation z - H x. One allocation for all temporaries; throws
// ZtException when it fails or E = H P H^T + R is singular, x and P then unchanged.
void doMeasurementUpdate(zelto::Vector& x, zelto::Matrix& P, const ZtVector& z, const ZtMatrix& H,
                         const ZtMatrix& R);

// d(dq)/d(omega) of dq = (cos c, sin c / c theta), theta = omega dt/2, c = |theta| (4 x 3).
// At c = 0 it takes its limit (dt/2) [0^T; I]; small c use the series of the coefficients.
void jacobianBiasDq(const ZtVector& omega, double dt, zelto::Matrix& J);
// The same matrix before its factor dt/2, from the increment itself: row 0 = -v^T, rows 1..3 =
// a I + k v v^T with a = asincInv(sqrt(1 - w^2)) and k = (w - a)/(1 - w^2), or -1/3 - 7d/45
// (d = 1 - w) near the identity.
void jacobianBiasDqReduced(const ZtQuaternion& dq, zelto::Matrix& J);

namespace zelto {

// The flat-earth conversions over plain arrays: lla and refLla as (latitude deg, longitude deg,
// altitude m), nwu as (north, west, up) m.
template <typename T>
void convert_latLongAlt2LocalTangentPlane(const T* lla, const T* refLla, T* nwu);
template <typename T>
void convert_localTangentPlane2LatLongAlt(const T* nwu, const T* refLla, T* lla);

extern template void convert_latLongAlt2LocalTangentPlane<double>(const double*, const double*, double*);
extern template void convert_localTangentPlane2LatLongAlt<double>(const double*, const double*, double*);

// WGS-84 meridian and prime-vertical radii of curvature at a latitude in degrees.
void wgs84Radii(double latitudeDeg, double& meridian, double& primeVertical);
// The local conversions of the navigation filters, with the WGS-84 radii at the reference:
// north over the meridian radius plus height, west over the prime-vertical radius plus height
// times cos(latitude); a longitude difference is taken into +-180 degrees. Same array forms as
// above.
void convert_latLongAlt2LocalTangentPlaneWgs84(const double* lla, const double* refLla, double* nwu);
void convert_localTangentPlane2LatLongAltWgs84(const double* nwu, const double* refLla, double* lla);

}  // namespace zelto
