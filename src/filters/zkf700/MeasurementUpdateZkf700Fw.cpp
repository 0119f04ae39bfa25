#include "filters/zkf700/MeasurementUpdateZkf700Fw.h"

#include <cmath>

#include "filters/common/LowerTriangulariseRows.h"

namespace zelto {

namespace {

constexpr std::size_t kN = 18;
constexpr std::size_t kMaxCols = kZkf700MaxMeasurements + kN;
static_assert(kMaxCols <= kLowerTriangulariseMaxColumns, "update array too wide");

}  // namespace

bool doMeasurementUpdateSquareRootZkf700_fw_zkf6g(std::size_t m, Vector& sx, Matrix& S, Vector& w, const Vector& z,
                                                  const Matrix& H, const Matrix& Rn, std::size_t skip) {
  if (m == 0 || m > kZkf700MaxMeasurements || skip > kN) return false;
  for (std::size_t i = 0; i < m; ++i) {
    const double r = Rn(i, i);
    if (r == 0.0 || !std::isfinite(r)) return false;
  }
  const std::size_t cols = m + kN;  // columns of B
  const std::size_t rows = cols + 1;
  double B[(kMaxCols + 1) * kMaxCols];
  auto b = [&](std::size_t r, std::size_t c) -> double& { return B[r * cols + c]; };

  // [Rn  H L] over rows 0..m-1; H L reads only the lower triangle of S and skips the zero
  // trailing columns of H.
  const std::size_t hCols = kN - skip;
  for (std::size_t i = 0; i < m; ++i) {
    for (std::size_t c = 0; c < m; ++c) b(i, c) = c == i ? Rn(i, i) : 0.0;
    for (std::size_t j = 0; j < kN; ++j) {
      double s = 0.0;
      for (std::size_t k = j; k < hCols; ++k) s += H(i, k) * S(k, j);
      b(i, m + j) = s;
    }
  }
  // [0  S] over rows m..m+17, [-u  sx] in the last row.
  for (std::size_t i = 0; i < kN; ++i) {
    double* row = &b(m + i, 0);
    for (std::size_t c = 0; c < m; ++c) row[c] = 0.0;
    for (std::size_t j = 0; j < kN; ++j) row[m + j] = j <= i ? S(i, j) : 0.0;
  }
  for (std::size_t i = 0; i < m; ++i) b(kN + m, i) = -z[i] / Rn(i, i);
  for (std::size_t j = 0; j < kN; ++j) b(kN + m, m + j) = sx[j];

  lowerTriangulariseRows(B, cols, rows, cols - skip, cols - skip, nullptr);

  for (std::size_t i = 0; i < kN; ++i)
    for (std::size_t j = 0; j < kN; ++j) S(i, j) = j <= i ? b(m + i, m + j) : 0.0;
  for (std::size_t j = 0; j < kN; ++j) sx[j] = b(kN + m, m + j);
  for (std::size_t i = 0; i < m && i < w.size; ++i) w[i] = -b(kN + m, i);
  return true;
}

bool doMeasurementUpdateSquareRootZkf700_fw(Vector& sx, Matrix& S, Vector& w, const Vector& z, const Matrix& H,
                                            const Matrix& Rn, double* /*scratch*/, std::size_t skip) {
  return doMeasurementUpdateSquareRootZkf700_fw_zkf6g(3, sx, S, w, z, H, Rn, skip);
}

}  // namespace zelto
