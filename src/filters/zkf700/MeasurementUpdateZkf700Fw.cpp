#include "filters/zkf700/MeasurementUpdateZkf700Fw.h"

#include <cmath>

#include "filters/common/MeasurementUpdateZkf3Fw.h"

namespace zelto {

namespace {

constexpr std::size_t kN = 18;
static_assert(kN <= kMaxRotationStates, "too many states for the rotation form");

}  // namespace

bool doMeasurementUpdateSquareRootZkf700_fw_zkf6g(std::size_t m, Vector& sx, Matrix& S, Vector& w, const Vector& z,
                                                  const Matrix& H, const Matrix& Rn, std::size_t skip) {
  if (m == 0 || m > kZkf700MaxMeasurements || skip > kN) return false;
  for (std::size_t i = 0; i < m; ++i) {
    const double r = Rn(i, i);
    if (r == 0.0 || !std::isfinite(r)) return false;
  }
  // With a diagonal Rn the rows are independent: the shared rotation form takes them one by one
  // in O(n^2) each and gives the array's result (the root with a positive diagonal, and w
  // whitened by the lower-triangular factor of the innovation covariance in row order).
  double wRows[kZkf700MaxMeasurements];
  Vector out(m, wRows, 0);
  doMeasurementUpdateSquareRootRotations(kN, m, sx, S, out, z, H, Rn, static_cast<uint32_t>(skip));
  for (std::size_t i = 0; i < m && i < w.size; ++i) w[i] = wRows[i];
  return true;
}

bool doMeasurementUpdateSquareRootZkf700_fw(Vector& sx, Matrix& S, Vector& w, const Vector& z, const Matrix& H,
                                            const Matrix& Rn, double* /*scratch*/, std::size_t skip) {
  return doMeasurementUpdateSquareRootZkf700_fw_zkf6g(3, sx, S, w, z, H, Rn, skip);
}

}  // namespace zelto
