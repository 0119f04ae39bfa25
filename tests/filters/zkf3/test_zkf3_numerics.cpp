// The array algorithms under the Zkf3 filter: the shared 3-measurement square-root update
// against the covariance form, its skip of trailing triangular rows, and the triangular skip of
// the time-update pre-array (whose first noise block is full, so only 9 columns may skip).
#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <random>

#include "filters/common/MeasurementUpdateZkf3Fw.h"
#include "filters/common/ZtToEigen.h"
#include "math/Matrix.h"
#include "math/Vector.h"

namespace {

using filtertest::toEigen;

void fromEigen(const Eigen::MatrixXd& e, zelto::Matrix& m) {
  for (Eigen::Index r = 0; r < e.rows(); ++r)
    for (Eigen::Index c = 0; c < e.cols(); ++c) m(r, c) = e(r, c);
}

}  // namespace

TEST(Zkf3MeasurementUpdate, MatchesCovarianceFormForEverySkip) {
  std::mt19937_64 rng(5);
  std::normal_distribution<double> n(0.0, 1.0);
  for (int trial = 0; trial < 20; ++trial) {
    for (uint32_t skip : {0u, 6u, 9u}) {
      SCOPED_TRACE(::testing::Message() << "trial " << trial << " skip " << skip);
      Eigen::MatrixXd S = Eigen::MatrixXd::Zero(12, 12);
      for (int r = 0; r < 12; ++r)
        for (int c = 0; c <= r; ++c) S(r, c) = r == c ? 0.5 + std::fabs(n(rng)) : 0.3 * n(rng);
      Eigen::MatrixXd H = Eigen::MatrixXd::Zero(3, 12);
      for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 12 - static_cast<int>(skip); ++c) H(r, c) = n(rng);
      Eigen::VectorXd x(12), y(3), rd(3);
      for (int i = 0; i < 12; ++i) x[i] = n(rng);
      for (int i = 0; i < 3; ++i) {
        y[i] = n(rng);
        rd[i] = 0.2 + std::fabs(n(rng));
      }
      // Covariance form.
      const Eigen::MatrixXd P = S * S.transpose();
      const Eigen::MatrixXd R = rd.cwiseProduct(rd).asDiagonal();
      const Eigen::MatrixXd E = H * P * H.transpose() + R;
      const Eigen::MatrixXd K = P * H.transpose() * E.inverse();
      const Eigen::VectorXd xExpected = x + K * (y - H * x);
      const Eigen::MatrixXd PExpected = P - K * H * P;
      const Eigen::VectorXd eExpected = Eigen::LLT<Eigen::MatrixXd>(E).matrixL().solve(y - H * x);

      zelto::Matrix sQx(12, 12), Hm(3, 12), Rd(3, 3);
      fromEigen(S, sQx);
      fromEigen(H, Hm);
      Rd.isZero();
      for (int i = 0; i < 3; ++i) Rd(i, i) = rd[i];
      zelto::Vector sx(12), out(3), yv(3);
      const Eigen::VectorXd sxe = S.triangularView<Eigen::Lower>().solve(x);
      for (int i = 0; i < 12; ++i) sx[i] = sxe[i];
      for (int i = 0; i < 3; ++i) yv[i] = y[i];
      doMeasurementUpdateSquareRootZkf3_fw(sx, sQx, out, yv, Hm, Rd, skip);

      const Eigen::MatrixXd S2 = toEigen(sQx);
      EXPECT_TRUE(S2.isLowerTriangular(0.0));
      const Eigen::VectorXd x2 = S2 * toEigen(static_cast<const ZtVector&>(sx));
      EXPECT_LT((S2 * S2.transpose() - PExpected).cwiseAbs().maxCoeff(), 1e-12 * P.cwiseAbs().maxCoeff());
      EXPECT_LT((x2 - xExpected).cwiseAbs().maxCoeff(), 1e-12 * (1.0 + xExpected.cwiseAbs().maxCoeff()));
      // The whitened innovation has the norm of the innovation under its covariance (its sign
      // follows the factor's).
      EXPECT_NEAR(toEigen(static_cast<const ZtVector&>(out)).squaredNorm(), eExpected.squaredNorm(), 1e-10 * (1 + eExpected.squaredNorm()));
    }
  }
}

TEST(Zkf3MeasurementUpdate, BothNamesAreOneComputation) {
  zelto::Matrix sQx(12, 12), H(3, 12), Rd(3, 3);
  sQx.isIdentity(0.5);
  H.isZero();
  H.setSubIdentity(1.0, 0, 3, 3, 3);
  Rd.isIdentity(0.1);
  zelto::Vector sx(12), out(3), y(3);
  for (int i = 0; i < 12; ++i) sx[i] = 0.1 * i;
  y[0] = 1.0;
  y[1] = -2.0;
  y[2] = 0.5;
  zelto::Matrix sQx2(sQx);
  zelto::Vector sx2(sx), out2(3);
  doMeasurementUpdateSquareRootZkf3_fw(sx, sQx, out, y, H, Rd, 6);
  doMeasurementUpdateSquareRootZkf3w_fw(sx2, sQx2, out2, y, H, Rd, 6);
  for (int i = 0; i < 12; ++i) {
    EXPECT_EQ(sx[i], sx2[i]);
    for (int j = 0; j < 12; ++j) EXPECT_EQ(sQx(i, j), sQx2(i, j));
  }
  for (int i = 0; i < 3; ++i) EXPECT_EQ(out[i], out2[i]);
}

// The time-update pre-array [ (Phi S)^T ; Qs^T ]: Qs^T is upper triangular but for its first 3 x 3
// block, so column c is zero only from row 15 + c on. A triangular skip of 9 keeps the
// factorisation exact; a skip of 11 leaves rows 13 and 14 out of the first columns and the
// covariance comes out wrong.
TEST(Zkf3TimeUpdate, TriangularSkipMustStopAtNineColumns) {
  std::mt19937_64 rng(9);
  std::normal_distribution<double> n(0.0, 1.0);
  Eigen::MatrixXd A = Eigen::MatrixXd::Zero(24, 12);
  for (int r = 0; r < 12; ++r)
    for (int c = 0; c < 12; ++c) A(r, c) = n(rng);
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) A(12 + r, c) = n(rng);  // (1 - c_acc) R A, transposed: full
  for (int i = 3; i < 12; ++i) A(12 + i, i) = 0.1 + std::fabs(n(rng));  // diagonal blocks
  const Eigen::MatrixXd expected = A.transpose() * A;
  auto covarianceAfter = [&](ZtSize skip) {
    zelto::Matrix M(24, 12);
    fromEigen(A, M);
    M.QRdecompositionTriSkip(skip);
    Eigen::MatrixXd R = toEigen(M).topRows(12).triangularView<Eigen::Upper>();
    return Eigen::MatrixXd(R.transpose() * R);
  };
  const double scale = expected.cwiseAbs().maxCoeff();
  EXPECT_LT((covarianceAfter(9) - expected).cwiseAbs().maxCoeff(), 1e-12 * scale);
  EXPECT_LT((covarianceAfter(0) - expected).cwiseAbs().maxCoeff(), 1e-12 * scale);
  EXPECT_GT((covarianceAfter(11) - expected).cwiseAbs().maxCoeff(), 1e-3 * scale);
}
