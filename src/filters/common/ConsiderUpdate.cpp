#include "filters/common/ConsiderUpdate.h"

#include <cmath>

namespace zelto {

bool ConsiderUpdate::prepare(const Matrix& S, const Vector& sx, const Matrix& H, const Matrix& Rn, const Vector& z,
                             const double* N, ZtSize k) {
  const ZtSize n = S.rows, m = H.rows;
  m_n = m_m = m_k = 0;
  if (n > kMaxStates || m > kMaxRows || k > kMaxKept || m == 0 || H.cols != n || sx.size != n || z.size < m) return false;
  // H S (m x n), P H^T = S (H S)^T and C = H P H^T + D^2 = L L^T with D the diagonal of Rn: the
  // array updates this wraps read only that diagonal, and W must come from the covariance they
  // use, or restore() moves the kept directions.
  double HS[kMaxRows * kMaxStates];
  for (ZtSize i = 0; i < m; ++i)
    for (ZtSize c = 0; c < n; ++c) {
      double v = 0.0;
      for (ZtSize r = c; r < n; ++r) v += H(i, r) * S(r, c);
      HS[i * n + c] = v;
    }
  double L[kMaxRows][kMaxRows] = {};
  for (ZtSize i = 0; i < m; ++i)
    for (ZtSize j = 0; j <= i; ++j) {
      double c = 0.0;
      for (ZtSize q = 0; q < n; ++q) c += HS[i * n + q] * HS[j * n + q];
      if (i == j) c += Rn(i, i) * Rn(i, i);
      for (ZtSize q = 0; q < j; ++q) c -= L[i][q] * L[j][q];
      if (i == j) {
        if (!(c > 0.0) || !std::isfinite(c)) return false;
        L[i][i] = std::sqrt(c);
      } else {
        L[i][j] = c / L[j][j];
      }
    }
  // e = z - H S sx, whitened: we = L^-1 e.
  for (ZtSize i = 0; i < m; ++i) {
    double v = z[i];
    for (ZtSize c = 0; c < n; ++c) v -= HS[i * n + c] * sx[c];
    for (ZtSize j = 0; j < i; ++j) v -= L[i][j] * m_we[j];
    m_we[i] = v / L[i][i];
  }
  // V = N^T P H^T = (N^T S)(H S)^T (k x m); W^T = L^-1 V^T; a = W we.
  for (ZtSize j = 0; j < k; ++j) {
    double NS[kMaxStates];
    for (ZtSize c = 0; c < n; ++c) {
      double v = 0.0;
      for (ZtSize r = c; r < n; ++r) v += N[r * k + j] * S(r, c);
      NS[c] = v;
    }
    double w[kMaxRows];
    for (ZtSize i = 0; i < m; ++i) {
      double v = 0.0;
      for (ZtSize c = 0; c < n; ++c) v += NS[c] * HS[i * n + c];
      for (ZtSize q = 0; q < i; ++q) v -= L[i][q] * w[q];
      w[i] = v / L[i][i];
    }
    m_a[j] = 0.0;
    for (ZtSize i = 0; i < m; ++i) {
      m_W[j * m + i] = w[i];
      m_a[j] += w[i] * m_we[i];
    }
  }
  for (ZtSize i = 0; i < n * k; ++i) m_N[i] = N[i];
  m_n = n;
  m_m = m;
  m_k = k;
  return true;
}

void ConsiderUpdate::addColumnToRoot(Matrix& S, Vector& sx, double* v, ZtSize from, ZtSize n) {
  double t = 0.0;
  for (ZtSize k = from; k < n; ++k) {
    if (v[k] == 0.0) continue;
    const double d = S(k, k);
    const double r = std::sqrt(d * d + v[k] * v[k]);
    const double c = d / r, sn = v[k] / r;
    S(k, k) = r;
    for (ZtSize i = k + 1; i < n; ++i) {
      const double l = S(i, k);
      S(i, k) = c * l + sn * v[i];
      v[i] = c * v[i] - sn * l;
    }
    const double sk = sx[k];
    sx[k] = c * sk + sn * t;
    t = c * t - sn * sk;
  }
}

void ConsiderUpdate::restore(Matrix& S, Vector& sx) const {
  const ZtSize n = m_n, m = m_m, k = m_k;
  if (n == 0) return;
  // N W W^T N^T = (N W)(N W)^T: each of the m columns v of N W joins S by plane rotations of
  // [S v] from the right; the same rotations of [sx 0] keep S sx.
  for (ZtSize j = 0; j < m; ++j) {
    double v[kMaxStates];
    for (ZtSize r = 0; r < n; ++r) {
      double s = 0.0;
      for (ZtSize i = 0; i < k; ++i) s += m_N[r * k + i] * m_W[i * m + j];
      v[r] = s;
    }
    addColumnToRoot(S, sx, v, 0, n);
  }
  // x' = S sx - N a: sx -= S^-1 N a by forward substitution.
  double y[kMaxStates];
  for (ZtSize r = 0; r < n; ++r) {
    double v = 0.0;
    for (ZtSize j = 0; j < k; ++j) v += m_N[r * k + j] * m_a[j];
    for (ZtSize c = 0; c < r; ++c) v -= S(r, c) * y[c];
    y[r] = v / S(r, r);
    sx[r] -= y[r];
  }
}

}  // namespace zelto
