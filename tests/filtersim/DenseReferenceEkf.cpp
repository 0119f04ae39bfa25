#include "filtersim/DenseReferenceEkf.h"

#include <algorithm>
#include <cmath>

namespace filtersim {

void DenseReferenceEkf::predict(const Matrix& Phi, const Matrix& Q, const Vector& predictedX) {
  m_P = Phi * m_P * Phi.transpose() + Q;
  m_P = 0.5 * (m_P + m_P.transpose());
  m_x = predictedX;
}

DenseReferenceEkf::Vector DenseReferenceEkf::update(const Matrix& H, const Matrix& R, const Vector& y) {
  const Matrix S = H * m_P * H.transpose() + R;
  const Eigen::LLT<Matrix> llt(S);
  const Matrix K = m_P * H.transpose() * llt.solve(Matrix::Identity(S.rows(), S.cols()));
  const Vector e = y - H * m_x;
  m_x += K * e;
  const Matrix I_KH = Matrix::Identity(m_P.rows(), m_P.cols()) - K * H;
  m_P = I_KH * m_P * I_KH.transpose() + K * R * K.transpose();
  m_P = 0.5 * (m_P + m_P.transpose());
  return llt.matrixL().solve(e);
}

void DenseReferenceEkf::transform(const Matrix& T) {
  m_x = T * m_x;
  m_P = T * m_P * T.transpose();
}

double maxRelativeDifference(const Eigen::MatrixXd& a, const Eigen::MatrixXd& b, double floor) {
  double worst = 0.0;
  for (Eigen::Index r = 0; r < a.rows(); ++r)
    for (Eigen::Index c = 0; c < a.cols(); ++c)
      worst = std::max(worst, std::fabs(a(r, c) - b(r, c)) / std::max(std::fabs(b(r, c)), floor));
  return worst;
}

}  // namespace filtersim
