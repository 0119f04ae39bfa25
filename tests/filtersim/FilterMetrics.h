#pragma once
// Error measures and per-step invariants for filter tests.
#include <Eigen/Dense>
#include <Eigen/Geometry>
#include <cstddef>
#include <vector>

namespace filtersim {

// Angle between the estimated and true up directions seen from the body, rad.
double tiltError(const Eigen::Quaterniond& estimate, const Eigen::Quaterniond& truth);
// Heading error about the navigation up axis, rad in (-pi, pi]: the yaw of estimate * truth^-1.
double headingError(const Eigen::Quaterniond& estimate, const Eigen::Quaterniond& truth);
// Total rotation angle between estimate and truth, rad.
double attitudeError(const Eigen::Quaterniond& estimate, const Eigen::Quaternion<double>& truth);
// Small-angle error vector of estimate relative to truth in the navigation frame (rotation
// vector of estimate * truth^-1).
Eigen::Vector3d attitudeErrorVector(const Eigen::Quaterniond& estimate, const Eigen::Quaterniond& truth);

// Normalised estimation error squared: e^T P^-1 e.
double nees(const Eigen::VectorXd& error, const Eigen::MatrixXd& covariance);
// Two-sided chi-square band of the mean of runs NEES values of dof degrees of freedom
// (Wilson-Hilferty), for a probability of 1 - alpha.
void chiSquareMeanBand(int dof, int runs, double alpha, double& low, double& high);

// Root mean square over a sliding window of the last n values.
class WindowedRms {
 public:
  explicit WindowedRms(size_t n) : m_values(n, 0.0) {}
  void add(double v);
  double value() const;
  size_t count() const { return m_count < m_values.size() ? m_count : m_values.size(); }

 private:
  std::vector<double> m_values;
  size_t m_next = 0, m_count = 0;
  double m_sumSquares = 0.0;
};

// Invariants a square-root filter keeps at every step.
bool allFinite(const double* values, size_t n);
// rows x cols row-major with the given stride: nothing above the diagonal.
bool isLowerTriangular(const double* m, size_t rows, size_t cols, size_t stride);
bool isUnitQuaternion(double w, double x, double y, double z, double tolerance = 1e-12);

}  // namespace filtersim
