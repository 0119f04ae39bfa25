#include "filters/common/MeasurementUpdateZkf3Fw.h"

#include <cmath>

namespace {

}  // namespace

// With a diagonal noise root the three measurements are independent and are taken one after
// the other; the result is the joint update's (the unique root with a positive diagonal, and e
// whitened by the lower-triangular factor of the innovation covariance in measurement order).
//
// For one measurement (h, r, y) the array, reduced from the right, is
//
//        [ r        f^T  ]                 [ rho   0     ]
//   A =  [ 0        S    ]  -- rotations -->  [ k     S'    ]     f = S^T h,
//        [ -y / r   sx^T ]                 [ -e    sx'^T ]
//
// and plane rotations of the first column against columns n, n - 1, ..., 1 (in that order) keep
// S lower triangular: when column j + 1 is turned, the first column is non-zero only in rows
// beyond j. The rotation that removes f_j has cos = rho_(j+1) / rho_j and sin = f_j / rho_j with
// rho_j^2 = r^2 + f_j^2 + ... + f_(n-1)^2, so all of them are known before any is applied, and
// each row of S (and the state row) is then turned by its own short recurrence. O(n^2) per
// measurement instead of O(n^3) for a triangularisation of the whole array.
bool doMeasurementUpdateSquareRootRotations(ZtSize kStates, ZtSize kMeas, zelto::Vector& sx, zelto::Matrix& sQx,
                                            zelto::Vector& out, const ZtVector& y, const ZtMatrix& H,
                                            const ZtMatrix& Rd, uint32_t skip) {
  if (kStates > kMaxRotationStates) return false;
  const ZtSize hs = H.stride, rs = Rd.stride, ss = sQx.stride;
  double* S = sQx.data;
  double* x = sx.data;
  // Columns from `top` on have zero H, so their f is zero and their rotations are the identity.
  const ZtSize top = kStates - (skip > kStates ? kStates : skip);
  double f[kMaxRotationStates], cs[kMaxRotationStates], sn[kMaxRotationStates];
  for (ZtSize m = 0; m < kMeas; ++m) {
    const double* h = H.data + m * hs;
    // f = S^T h, row by row of S (a zero h_i adds nothing).
    for (ZtSize j = 0; j < top; ++j) f[j] = 0.0;
    for (ZtSize i = 0; i < kStates; ++i) {
      const double hi = h[i];
      if (hi == 0.0) continue;
      const double* row = S + i * ss;
      const ZtSize n = i < top ? i + 1 : top;
      for (ZtSize j = 0; j < n; ++j) f[j] += hi * row[j];
    }
    // The sign of a noise root is immaterial (R = r^2); with |r| the diagonal stays positive.
    const double r = std::fabs(Rd.data[m * rs + m]);
    double sum = r * r, previous = r;
    for (ZtSize j = top; j-- > 0;) {
      sum += f[j] * f[j];
      const double rho = std::sqrt(sum);
      const double inv = 1.0 / rho;
      cs[j] = previous * inv;
      sn[j] = f[j] * inv;
      previous = rho;
    }
    // Rows in pairs: the second row's first turns, then both rows in step, so that the two
    // recurrences overlap (each row's own order of operations is unchanged).
    ZtSize i = 0;
    for (; i + 2 <= kStates; i += 2) {
      double* __restrict row0 = S + i * ss;
      double* __restrict row1 = row0 + ss;
      const ZtSize n0 = i < top ? i + 1 : top;
      double t0 = 0.0, t1 = 0.0;
      ZtSize j = i + 1 < top ? i + 2 : top;
      for (; j > n0;) {
        --j;
        const double s1 = row1[j];
        row1[j] = cs[j] * s1 - sn[j] * t1;
        t1 = cs[j] * t1 + sn[j] * s1;
      }
      while (j-- > 0) {
        const double s0 = row0[j], s1 = row1[j];
        row0[j] = cs[j] * s0 - sn[j] * t0;
        row1[j] = cs[j] * s1 - sn[j] * t1;
        t0 = cs[j] * t0 + sn[j] * s0;
        t1 = cs[j] * t1 + sn[j] * s1;
      }
    }
    for (; i < kStates; ++i) {
      double* row = S + i * ss;
      double t = 0.0;
      for (ZtSize j = i < top ? i + 1 : top; j-- > 0;) {
        const double sij = row[j];
        row[j] = cs[j] * sij - sn[j] * t;
        t = cs[j] * t + sn[j] * sij;
      }
    }
    double t = -(y.data[m] / r);
    for (ZtSize j = top; j-- > 0;) {
      const double xj = x[j];
      x[j] = cs[j] * xj - sn[j] * t;
      t = cs[j] * t + sn[j] * xj;
    }
    out.data[m] = -t;
  }
  return true;
}

void doMeasurementUpdateSquareRootZkf3_fw(zelto::Vector& sx, zelto::Matrix& sQx, zelto::Vector& out,
                                          const ZtVector& y, const ZtMatrix& H, const ZtMatrix& Rd, uint32_t skip) {
  doMeasurementUpdateSquareRootRotations(12, 3, sx, sQx, out, y, H, Rd, skip);
}

void doMeasurementUpdateSquareRootZkf3w_fw(zelto::Vector& sx, zelto::Matrix& sQx, zelto::Vector& out,
                                           const ZtVector& y, const ZtMatrix& H, const ZtMatrix& Rd, uint32_t skip) {
  doMeasurementUpdateSquareRootZkf3_fw(sx, sQx, out, y, H, Rd, skip);
}

void doMeasurementUpdateSquareRootZkf3i_fw(zelto::Vector& sx, zelto::Matrix& sQx, zelto::Vector& out,
                                           const ZtVector& y, const ZtMatrix& H, const ZtMatrix& Rd, double*,
                                           unsigned long skip) {
  doMeasurementUpdateSquareRootZkf3_fw(sx, sQx, out, y, H, Rd, static_cast<uint32_t>(skip > 12 ? 12 : skip));
}
