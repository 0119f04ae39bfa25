#pragma once
// A measurement update whose gain is zero along chosen directions of the error state (a
// consider update): the estimate and the variance along those directions stay as they were,
// the rest of the covariance follows in Joseph form with the projected gain, and the
// innovation's covariance still counts their uncertainty. It wraps the ordinary square-root
// array update of a filter:
//
//   ConsiderUpdate keep;
//   if (keep.prepare(S, sx, H, Rn, z, N, k)) { <ordinary update of S, sx>; keep.restore(S, sx); }
//
// With the optimal gain K, C = H P H^T + R = L L^T, e = z - H x (x = S sx) and N the kept
// directions (orthonormal columns), the gain (I - N N^T) K gives
//   P' = P_opt + N W W^T N^T,  x' = x_opt - N W L^-1 e,  W = N^T P H^T L^-T,
// so prepare() computes W and W L^-1 e before the update and restore() adds N W back to the
// root by plane rotations (the same rotations of [sx 0] keep S sx) and moves x back along N.
// Rn is the noise root handed to the array update, which reads only its diagonal; so does this
// class (C holds Rn(i, i)^2 and no off-diagonal term), whatever else the matrix holds. Fixed
// storage: nothing is allocated.
#include "math/Matrix.h"
#include "math/Vector.h"

namespace zelto {

class ConsiderUpdate {
 public:
  static constexpr ZtSize kMaxStates = 18, kMaxRows = 3, kMaxKept = kMaxStates;

  // S: n x n lower triangular; sx: n; H: m x n; Rn: m x m; z: m; N: n x k row-major (the kept
  // directions as its columns, orthonormal). False (nothing to restore; the caller skips the
  // update) for sizes beyond the limits or an innovation covariance that is not positive.
  bool prepare(const Matrix& S, const Vector& sx, const Matrix& H, const Matrix& Rn, const Vector& z, const double* N,
               ZtSize k);
  // After the ordinary update of S and sx with the same H, Rn and z.
  void restore(Matrix& S, Vector& sx) const;
  // The whitened innovation L^-1 e of the update (m values).
  const double* whitenedInnovation() const { return m_we; }

  // S S^T += v v^T for the n x n lower-triangular root S by plane rotations of [S v] from the
  // right, starting at row `from` (v is zero above it); the same rotations of [sx 0] keep S sx.
  // v is used up.
  static void addColumnToRoot(Matrix& S, Vector& sx, double* v, ZtSize from, ZtSize n);

 private:
  ZtSize m_n = 0, m_m = 0, m_k = 0;
  double m_N[kMaxStates * kMaxKept] = {};
  double m_W[kMaxKept * kMaxRows] = {};
  double m_we[kMaxRows] = {};
  double m_a[kMaxKept] = {};
};

}  // namespace zelto
