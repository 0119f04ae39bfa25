#include "filters/common/MeasurementUpdateZkf3Fw.h"

namespace {

constexpr ZtSize kStates = 12;
constexpr ZtSize kMeas = 3;
constexpr ZtSize kRows = kMeas + kStates;  // 15
constexpr ZtSize kCols = kRows + 1;        // 16
// Householder scratch of the widest decomposition (15 rows): V (15 x 15), beta (15), w (16).
constexpr ZtSize kQrScratch = kRows * kRows + kRows + kCols;

}  // namespace

void doMeasurementUpdateSquareRootZkf3_fw(zelto::Vector& sx, zelto::Matrix& sQx, zelto::Vector& out,
                                          const ZtVector& y, const ZtMatrix& H, const ZtMatrix& Rd, uint32_t skip) {
  double storage[kRows * kCols];
  double scratch[kQrScratch];
  zelto::Matrix M(kRows, kCols, kCols, storage, 0);
  M.isZero();
  const ZtSize hs = H.stride, rs = Rd.stride, ss = sQx.stride;
  for (ZtSize i = 0; i < kMeas; ++i) {
    for (ZtSize j = 0; j < kMeas; ++j) M(i, j) = Rd.data[j * rs + i];
    M(i, kRows) = -(y.data[i] / Rd.data[i * rs + i]);
  }
  // Rows 3..14: (H S)^T in columns 0..2 (S lower triangular: column j of S starts at row j),
  // S^T in columns 3..14, sx in column 15.
  for (ZtSize j = 0; j < kStates; ++j) {
    for (ZtSize i = 0; i < kMeas; ++i) {
      double sum = 0.0;
      for (ZtSize k = j; k < kStates; ++k) sum += H.data[i * hs + k] * sQx.data[k * ss + j];
      M(kMeas + j, i) = sum;
    }
    for (ZtSize l = j; l < kStates; ++l) M(kMeas + j, kMeas + l) = sQx.data[l * ss + j];
    M(kMeas + j, kRows) = sx.data[j];
  }
  const ZtSize k = skip > kStates ? kStates : skip;
  zelto::Matrix top(kRows - k, kCols, kCols, storage, 0);
  top.QRdecomposition(scratch);
  // Only the upper triangle of M' is read: S' = its block (3..14, 3..14) transposed.
  for (ZtSize r = 0; r < kStates; ++r) {
    for (ZtSize c = 0; c < kStates; ++c) sQx.data[r * ss + c] = c <= r ? M(kMeas + c, kMeas + r) : 0.0;
    sx.data[r] = M(kMeas + r, kRows);
  }
  for (ZtSize i = 0; i < kMeas; ++i) out.data[i] = -M(i, kRows);
}

void doMeasurementUpdateSquareRootZkf3w_fw(zelto::Vector& sx, zelto::Matrix& sQx, zelto::Vector& out,
                                           const ZtVector& y, const ZtMatrix& H, const ZtMatrix& Rd, uint32_t skip) {
  doMeasurementUpdateSquareRootZkf3_fw(sx, sQx, out, y, H, Rd, skip);
}
