#include "filtersim/DenseReferenceEkf.h"

#include <algorithm>
#include <cmath>

namespace filtersim {

void DenseReferenceEkf::predict(const Matrix& PhiD, const Matrix& QD, const Vector& predictedX) {
  const MatrixL Phi = PhiD.cast<long double>();
  m_P = Phi * m_P * Phi.transpose() + QD.cast<long double>();
  m_P = 0.5L * (m_P + m_P.transpose());
  m_x = predictedX.cast<long double>();
}

DenseReferenceEkf::Vector DenseReferenceEkf::update(const Matrix& HD, const Matrix& RD, const Vector& yD) {
  const MatrixL H = HD.cast<long double>(), R = RD.cast<long double>();
  const MatrixL S = H * m_P * H.transpose() + R;
  const Eigen::LLT<MatrixL> llt(S);
  const MatrixL K = m_P * H.transpose() * llt.solve(MatrixL::Identity(S.rows(), S.cols()));
  const VectorL e = yD.cast<long double>() - H * m_x;
  m_x += K * e;
  const MatrixL I_KH = MatrixL::Identity(m_P.rows(), m_P.cols()) - K * H;
  m_P = I_KH * m_P * I_KH.transpose() + K * R * K.transpose();
  m_P = 0.5L * (m_P + m_P.transpose());
  const VectorL whitened = llt.matrixL().solve(e);
  return whitened.cast<double>();
}

DenseReferenceEkf::Vector DenseReferenceEkf::updateKeeping(const Matrix& HD, const Matrix& RD, const Vector& yD,
                                                            const Matrix& ND) {
  const MatrixL H = HD.cast<long double>(), R = RD.cast<long double>(), N = ND.cast<long double>();
  const MatrixL S = H * m_P * H.transpose() + R;
  const Eigen::LLT<MatrixL> llt(S);
  const MatrixL I = MatrixL::Identity(m_P.rows(), m_P.cols());
  const MatrixL K = (I - N * N.transpose()) * m_P * H.transpose() * llt.solve(MatrixL::Identity(S.rows(), S.cols()));
  const VectorL e = yD.cast<long double>() - H * m_x;
  m_x += K * e;
  const MatrixL I_KH = I - K * H;
  m_P = I_KH * m_P * I_KH.transpose() + K * R * K.transpose();
  m_P = 0.5L * (m_P + m_P.transpose());
  const VectorL whitened = llt.matrixL().solve(e);
  return whitened.cast<double>();
}

void DenseReferenceEkf::transform(const Matrix& TD) {
  const MatrixL T = TD.cast<long double>();
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
