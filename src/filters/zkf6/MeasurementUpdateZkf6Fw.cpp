#include "filters/zkf6/MeasurementUpdateZkf6Fw.h"

#include <cmath>

#include "filters/common/LowerTriangulariseRows.h"

namespace zelto {

namespace {
constexpr ZtSize kN = 15;
constexpr ZtSize kMaxM = 3;
constexpr ZtSize kCols = kMaxM + kN;
}  // namespace

bool doMeasurementUpdateSquareRootZkf6_fw(uint64_t m, Vector& sx, Matrix& L, Vector& r, const Vector& z,
                                          const Matrix& H, const Matrix& Rs, uint64_t skip) {
  if (m < 1 || m > kMaxM || skip > kN || z.size < m || H.rows < m || H.cols < kN || Rs.rows < m || Rs.cols < m ||
      sx.size < kN || L.rows < kN || L.cols < kN)
    return false;
  for (ZtSize i = 0; i < m; ++i) {
    const double d = Rs(i, i);
    if (!(d > 0.0) || !std::isfinite(d) || !std::isfinite(z[i])) return false;
    for (ZtSize c = 0; c < kN; ++c)
      if (!std::isfinite(H(i, c))) return false;
  }
  const ZtSize cols = m + kN;
  double a[(kCols + 1) * kCols];
  const ZtSize stride = cols;
  for (ZtSize i = 0; i < (cols + 1) * cols; ++i) a[i] = 0.0;
  for (ZtSize i = 0; i < m; ++i) {
    double* row = a + i * stride;
    row[i] = Rs(i, i);
    // (H L)(i, j) = sum over k >= j of H(i, k) L(k, j).
    for (ZtSize j = 0; j < kN; ++j) {
      double sum = 0.0;
      for (ZtSize k = j; k < kN; ++k) sum += H(i, k) * L(k, j);
      row[m + j] = sum;
    }
  }
  for (ZtSize i = 0; i < kN; ++i) {
    double* row = a + (m + i) * stride;
    for (ZtSize j = 0; j <= i; ++j) row[m + j] = L(i, j);
  }
  double* last = a + (m + kN) * stride;
  for (ZtSize i = 0; i < m; ++i) last[i] = -z[i] / Rs(i, i);
  for (ZtSize j = 0; j < kN; ++j) last[m + j] = sx[j];

  const ZtSize pivots = cols - static_cast<ZtSize>(skip);
  ZtSize end[kCols];
  for (ZtSize j = 0; j < pivots; ++j) end[j] = pivots;
  lowerTriangulariseRows(a, stride, cols + 1, pivots, cols, end);

  for (ZtSize i = 0; i < kN; ++i) {
    const double* row = a + (m + i) * stride;
    for (ZtSize j = 0; j < kN; ++j) L(i, j) = j <= i ? row[m + j] : 0.0;
  }
  for (ZtSize j = 0; j < kN; ++j) sx[j] = last[m + j];
  for (ZtSize i = 0; i < r.size && i < cols; ++i) r[i] = -last[i];
  return true;
}

}  // namespace zelto
