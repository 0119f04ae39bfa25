#pragma once
// Covariance-form extended Kalman filter of any size, run beside a square-root filter under
// test: the filter under test hands over each step's linear model (transition, process noise,
// measurement matrix and noise, the nonlinear prediction of the state) and this keeps x and P
// by the textbook equations, in Eigen only, so the two can be compared element by element.
// It computes in long double: a covariance whose condition number reaches 1e10 (a bias known
// far better than the rest) costs the covariance form about that many ulps of its gains, and
// the reference must stay well clear of the square-root filter it checks.
#include <Eigen/Dense>

namespace filtersim {

class DenseReferenceEkf {
 public:
  using Matrix = Eigen::MatrixXd;
  using Vector = Eigen::VectorXd;
  using MatrixL = Eigen::Matrix<long double, Eigen::Dynamic, Eigen::Dynamic>;
  using VectorL = Eigen::Matrix<long double, Eigen::Dynamic, 1>;

  explicit DenseReferenceEkf(int n) : m_x(VectorL::Zero(n)), m_P(MatrixL::Identity(n, n)) {}

  void reset(const Vector& x, const Matrix& P) {
    m_x = x.cast<long double>();
    m_P = P.cast<long double>();
  }
  // P = Phi P Phi^T + Q; x = the filter's own (nonlinear) prediction.
  void predict(const Matrix& Phi, const Matrix& Q, const Vector& predictedX);
  // Innovation y - H x with noise covariance R (Joseph form keeps P symmetric and positive).
  // Returns the innovation whitened by the Cholesky factor of its covariance.
  Vector update(const Matrix& H, const Matrix& R, const Vector& y);
  // The same update with a gain that is zero along the orthonormal columns of N (a consider
  // update): the state and variance along them stay, the rest follows in Joseph form with the
  // projected gain.
  Vector updateKeeping(const Matrix& H, const Matrix& R, const Vector& y, const Matrix& N);
  // x = T x, P = T P T^T.
  void transform(const Matrix& T);
  // Replaces x, keeping P (a filter that writes its state directly, e.g. when anchoring).
  void setX(const Vector& x) { m_x = x.cast<long double>(); }
  // Sets elements [first, first + count) of x to zero (an error state moved elsewhere).
  void zeroElements(int first, int count) { m_x.segment(first, count).setZero(); }
  // Sets elements [first, first + values.size()) of x (a block written directly).
  void setElements(int first, const Vector& values) {
    m_x.segment(first, values.size()) = values.cast<long double>();
  }

  Vector x() const { return m_x.cast<double>(); }
  Matrix P() const { return m_P.cast<double>(); }

 private:
  VectorL m_x;
  MatrixL m_P;
};

// Largest |a - b| relative to max(|b|, floor), element by element.
double maxRelativeDifference(const Eigen::MatrixXd& a, const Eigen::MatrixXd& b, double floor);

}  // namespace filtersim
