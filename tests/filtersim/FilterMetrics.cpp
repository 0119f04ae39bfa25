#include "filtersim/FilterMetrics.h"

#include <cmath>

namespace filtersim {

double tiltError(const Eigen::Quaterniond& estimate, const Eigen::Quaterniond& truth) {
  const Eigen::Vector3d upEst = estimate.conjugate() * Eigen::Vector3d::UnitZ();
  const Eigen::Vector3d upTrue = truth.conjugate() * Eigen::Vector3d::UnitZ();
  return std::atan2(upEst.cross(upTrue).norm(), upEst.dot(upTrue));
}

double headingError(const Eigen::Quaterniond& estimate, const Eigen::Quaterniond& truth) {
  const Eigen::Matrix3d e = (estimate * truth.conjugate()).toRotationMatrix();
  return std::atan2(e(1, 0), e(0, 0));
}

double attitudeError(const Eigen::Quaterniond& estimate, const Eigen::Quaterniond& truth) {
  return Eigen::AngleAxisd(estimate * truth.conjugate()).angle();
}

Eigen::Vector3d attitudeErrorVector(const Eigen::Quaterniond& estimate, const Eigen::Quaterniond& truth) {
  Eigen::Quaterniond e = estimate * truth.conjugate();
  if (e.w() < 0) e.coeffs() = -e.coeffs();
  const Eigen::AngleAxisd aa(e);
  return aa.axis() * aa.angle();
}

double nees(const Eigen::VectorXd& error, const Eigen::MatrixXd& covariance) {
  return error.dot(covariance.ldlt().solve(error));
}

void chiSquareMeanBand(int dof, int runs, double alpha, double& low, double& high) {
  // The sum of runs NEES values is chi-square with k = dof * runs degrees of freedom.
  const double k = static_cast<double>(dof) * runs;
  // Two-sided normal quantile for 1 - alpha by bisection of erfc.
  double lo = 0.0, hi = 10.0;
  for (int i = 0; i < 100; ++i) {
    const double mid = 0.5 * (lo + hi);
    if (0.5 * std::erfc(mid / std::sqrt(2.0)) > alpha / 2.0) lo = mid;
    else hi = mid;
  }
  const double z = 0.5 * (lo + hi);
  const double c = 2.0 / (9.0 * k);
  low = k * std::pow(1.0 - c - z * std::sqrt(c), 3.0) / runs;
  high = k * std::pow(1.0 - c + z * std::sqrt(c), 3.0) / runs;
}

void WindowedRms::add(double v) {
  m_sumSquares -= m_values[m_next] * m_values[m_next];
  m_values[m_next] = v;
  m_sumSquares += v * v;
  m_next = (m_next + 1) % m_values.size();
  ++m_count;
}

double WindowedRms::value() const {
  const size_t n = count();
  if (n == 0) return 0.0;
  // Re-sum to keep rounding from drifting over long runs.
  double s = 0.0;
  for (size_t i = 0; i < n; ++i) s += m_values[i] * m_values[i];
  return std::sqrt(s / static_cast<double>(n));
}

bool allFinite(const double* values, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (!std::isfinite(values[i])) return false;
  return true;
}

bool isLowerTriangular(const double* m, size_t rows, size_t cols, size_t stride) {
  for (size_t r = 0; r < rows; ++r)
    for (size_t c = r + 1; c < cols; ++c)
      if (m[r * stride + c] != 0.0) return false;
  return true;
}

bool isUnitQuaternion(double w, double x, double y, double z, double tolerance) {
  return std::fabs(std::sqrt(w * w + x * x + y * y + z * z) - 1.0) <= tolerance;
}

}  // namespace filtersim
