#pragma once
// Square-root measurement updates of the 18-state Zkf700 filter: m measurements z = H x + v,
// cov(v) = Rn Rn^T with Rn diagonal, covariance root S (18 x 18, lower triangular) and whitened
// state sx = S^-1 x, in array form. The transposed pre-array
//
//        [ Rn      H L ]                         [ T^T   0  ]
//   B =  [ 0       S   ]   reflections from  ->  [ K     S' ]      L = lower triangle of S
//        [ -u^T    sx^T]   the right             [ -w^T  sx'^T]    u_i = z_i / Rn(i, i)
//
// is lower-triangularised from the right: S' S'^T = P - K H P (P = S S^T), S' sx' = x + K (z - H x),
// and the whitened innovation w solves T^T w = z - H x. skip k: the last k columns of H are zero,
// so the last k state rows of B are already in place and stay out of the reduction. With Rn
// diagonal the rows are taken one at a time by plane rotations (the shared rotation form of
// filters/common), which gives the same result in O(m n^2). Nothing is allocated.
#include <cstddef>

#include "math/Matrix.h"
#include "math/Vector.h"

namespace zelto {

// Largest m the update routines take.
inline constexpr std::size_t kZkf700MaxMeasurements = 8;

// m rows (m <= kZkf700MaxMeasurements); w receives m values (it may be longer). False, with
// nothing written, for m = 0 or too large, skip beyond 18, or an Rn diagonal element that is 0
// or not finite (such a measurement cannot be whitened).
bool doMeasurementUpdateSquareRootZkf700_fw_zkf6g(std::size_t m, Vector& sx, Matrix& S, Vector& w, const Vector& z,
                                                  const Matrix& H, const Matrix& Rn, std::size_t skip);
// Three rows; scratch is not needed (kept for callers that pass their own) and may be null.
bool doMeasurementUpdateSquareRootZkf700_fw(Vector& sx, Matrix& S, Vector& w, const Vector& z, const Matrix& H,
                                            const Matrix& Rn, double* scratch, std::size_t skip);

}  // namespace zelto
