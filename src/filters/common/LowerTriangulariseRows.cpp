#include "filters/common/LowerTriangulariseRows.h"

#include <cmath>

namespace {

// Below sqrt(1e-307) the part beyond the pivot counts as zero: the step is the identity (the
// same threshold as the library's column Householder decomposition).
constexpr double kTinySquare = 3.1622776601683795e-154;

// sum_c x[c] y[c] over n items, in four interleaved partial sums (combined pairwise) so the
// additions do not form one dependency chain.
inline double dot(const double* __restrict x, const double* __restrict y, std::size_t n) {
  double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
  std::size_t c = 0;
  for (; c + 4 <= n; c += 4) {
    s0 += x[c] * y[c];
    s1 += x[c + 1] * y[c + 1];
    s2 += x[c + 2] * y[c + 2];
    s3 += x[c + 3] * y[c + 3];
  }
  for (; c < n; ++c) s0 += x[c] * y[c];
  return (s0 + s2) + (s1 + s3);
}

// Applies the reflection (1, v) with scale beta to rows [first, rows) of a over the pivot column
// and the n columns after it, two rows at a time: their sums are independent chains that
// overlap, each row's arithmetic in the order of the one-row form.
inline void reflectRows(double* a, std::size_t stride, std::size_t first, std::size_t rows, std::size_t j,
                        const double* __restrict v, std::size_t n, double beta) {
  std::size_t r = first;
  for (; r + 2 <= rows; r += 2) {
    double* __restrict row0 = a + r * stride + j;
    double* __restrict row1 = row0 + stride;
    const double w0 = beta * (row0[0] + dot(row0 + 1, v, n));
    const double w1 = beta * (row1[0] + dot(row1 + 1, v, n));
    row0[0] -= w0;
    row1[0] -= w1;
    for (std::size_t c = 1; c <= n; ++c) {
      row0[c] -= w0 * v[c - 1];
      row1[c] -= w1 * v[c - 1];
    }
  }
  for (; r < rows; ++r) {
    double* row = a + r * stride + j;
    const double w = beta * (row[0] + dot(row + 1, v, n));
    row[0] -= w;
    double* __restrict tail = row + 1;
    for (std::size_t c = 0; c < n; ++c) tail[c] -= w * v[c];
  }
}

}  // namespace

bool lowerTriangulariseRows(double* a, std::size_t stride, std::size_t rows, std::size_t pivots, std::size_t cols,
                            const std::size_t* end) {
  double v[kLowerTriangulariseMaxColumns];
  if (pivots > rows) pivots = rows;
  if (cols > kLowerTriangulariseMaxColumns) return false;
  if (end != nullptr)
    for (std::size_t j = 0; j < pivots; ++j)
      if (end[j] > kLowerTriangulariseMaxColumns) return false;
  for (std::size_t j = 0; j < pivots; ++j) {
    const std::size_t e = end != nullptr ? end[j] : cols;
    double* pr = a + j * stride;
    const std::size_t n = e > j + 1 ? e - j - 1 : 0;  // items beyond the pivot
    const double alpha = pr[j];
    const double* x = pr + j + 1;
    const double sigma = dot(x, x, n);
    if (sigma <= kTinySquare) {
      // Nothing to reflect; a negative pivot is turned positive by negating its column.
      if (alpha < 0.0)
        for (std::size_t r = j; r < rows; ++r) a[r * stride + j] = -a[r * stride + j];
      continue;
    }
    const double mu = std::sqrt(alpha * alpha + sigma);
    // The second form avoids cancellation; both map the row onto +mu at the pivot.
    const double v0 = alpha <= 0.0 ? alpha - mu : -sigma / (alpha + mu);
    const double v02 = v0 * v0;
    const double beta = 2.0 * v02 / (sigma + v02);
    const double inv = 1.0 / v0;
    // v = (1, x / v0); the pivot row becomes (mu, 0, ..., 0).
    for (std::size_t c = 0; c < n; ++c) v[c] = x[c] * inv;
    pr[j] = mu;
    for (std::size_t c = 0; c < n; ++c) pr[j + 1 + c] = 0.0;
    reflectRows(a, stride, j + 1, rows, j, v, n, beta);
  }
  return true;
}
