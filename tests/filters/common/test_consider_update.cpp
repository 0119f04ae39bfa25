// The consider update (an array update whose gain is zero along kept directions) against the
// covariance form with the projected gain, for the sizes the filters use, and its refusals.
#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <random>

#include "ZtToEigen.h"
#include "filters/common/ConsiderUpdate.h"
#include "filters/common/EstimationRoutines.h"
#include "filters/common/MeasurementUpdateZkf3Fw.h"
#include "filtersim/DenseReferenceEkf.h"

namespace {

using Eigen::MatrixXd;
using Eigen::VectorXd;
using filtertest::toEigen;

zelto::Matrix considerMatrix(const MatrixXd& m) {
  zelto::Matrix r(m.rows(), m.cols());
  for (int i = 0; i < m.rows(); ++i)
    for (int j = 0; j < m.cols(); ++j) r(i, j) = m(i, j);
  return r;
}

TEST(ConsiderUpdate, MatchesTheCovarianceFormWithTheProjectedGain) {
  const struct {
    int n, m, k;
  } cases[] = {{18, 3, 4}, {18, 3, 13}, {15, 3, 4}, {15, 1, 2}, {6, 2, 1}, {4, 3, 0}};
  std::mt19937_64 rng(5);
  std::normal_distribution<double> g;
  auto random = [&](int r, int c) {
    MatrixXd a(r, c);
    for (int i = 0; i < r; ++i)
      for (int j = 0; j < c; ++j) a(i, j) = g(rng);
    return a;
  };
  for (const auto& c : cases) {
    MatrixXd S = random(c.n, c.n).triangularView<Eigen::Lower>();
    for (int i = 0; i < c.n; ++i) S(i, i) = 1.0 + std::fabs(S(i, i));
    const VectorXd sx = random(c.n, 1), z = random(c.m, 1);
    const MatrixXd H = random(c.m, c.n);
    MatrixXd Rn = MatrixXd::Zero(c.m, c.m);
    for (int i = 0; i < c.m; ++i) Rn(i, i) = 0.5 + i;
    // Orthonormal kept directions.
    const MatrixXd N = random(c.n, std::max(c.k, 1)).householderQr().householderQ() * MatrixXd::Identity(c.n, c.k);

    filtersim::DenseReferenceEkf ref(c.n);
    ref.reset(S * sx, S * S.transpose());
    const VectorXd whitened = ref.updateKeeping(H, Rn * Rn.transpose(), z, N);

    zelto::Matrix zS = considerMatrix(S), zH = considerMatrix(H), zRn = considerMatrix(Rn);
    zelto::Vector zsx(c.n), zz(c.m), r(c.n);
    for (int i = 0; i < c.n; ++i) zsx[i] = sx[i];
    for (int i = 0; i < c.m; ++i) zz[i] = z[i];
    std::vector<double> kept(c.n * c.k);
    for (int i = 0; i < c.n; ++i)
      for (int j = 0; j < c.k; ++j) kept[i * c.k + j] = N(i, j);
    zelto::ConsiderUpdate keep;
    ASSERT_TRUE(keep.prepare(zS, zsx, zH, zRn, zz, kept.data(), c.k)) << c.n;
    doMeasurementUpdateSquareRoot(zsx, zS, r, zz, zH, zRn);
    keep.restore(zS, zsx);

    const MatrixXd S1 = toEigen(zS);
    const VectorXd x1 = S1 * toEigen(zsx);
    EXPECT_TRUE(S1.isLowerTriangular()) << c.n;
    EXPECT_LT((S1 * S1.transpose() - ref.P()).norm(), 1e-11 * ref.P().norm()) << c.n << " " << c.k;
    EXPECT_LT((x1 - ref.x()).norm(), 1e-11 * (1.0 + ref.x().norm())) << c.n << " " << c.k;
    for (int i = 0; i < c.m; ++i) EXPECT_NEAR(keep.whitenedInnovation()[i], whitened[i], 1e-11) << c.n;
    // Nothing moved along the kept directions, nor did their variance.
    const MatrixXd P0 = S * S.transpose();
    EXPECT_LT((N.transpose() * (x1 - S * sx)).norm(), 1e-11) << c.n;
    EXPECT_LT((N.transpose() * (S1 * S1.transpose() - P0) * N).norm(), 1e-11) << c.n;
  }
}

// A noise root read from a parameter file may hold an off-diagonal entry. The array updates of
// the filters use only its diagonal, so the consider update must too: the kept directions (the tilt, in the
// magnetometer updates) keep their estimate and variance exactly, and the result is the
// covariance form's with the diagonal noise.
TEST(ConsiderUpdate, AnOffDiagonalNoiseEntryKeepsTheDirections) {
  const int n = 18, m = 3, k = 4;
  std::mt19937_64 rng(11);
  std::normal_distribution<double> g;
  MatrixXd S(n, n), H(m, n), N0(n, k);
  VectorXd sx(n), z(m);
  for (int i = 0; i < n; ++i) {
    sx[i] = g(rng);
    for (int j = 0; j < n; ++j) S(i, j) = j < i ? 0.3 * g(rng) : (j == i ? 1.0 + std::fabs(g(rng)) : 0.0);
    for (int j = 0; j < k; ++j) N0(i, j) = g(rng);
  }
  for (int i = 0; i < m; ++i) {
    z[i] = g(rng);
    for (int j = 0; j < n; ++j) H(i, j) = g(rng);
  }
  const MatrixXd N = N0.householderQr().householderQ() * MatrixXd::Identity(n, k);
  MatrixXd Rn = MatrixXd::Zero(m, m);
  for (int i = 0; i < m; ++i) Rn(i, i) = 0.4 + 0.2 * i;
  Rn(0, 1) = Rn(1, 0) = 0.3;
  const MatrixXd D = Rn.diagonal().asDiagonal();

  filtersim::DenseReferenceEkf ref(n);
  ref.reset(S * sx, S * S.transpose());
  const VectorXd whitened = ref.updateKeeping(H, D * D, z, N);

  zelto::Matrix zS = considerMatrix(S), zH = considerMatrix(H), zRn = considerMatrix(Rn);
  zelto::Vector zsx(n), zz(m), r(n);
  for (int i = 0; i < n; ++i) zsx[i] = sx[i];
  for (int i = 0; i < m; ++i) zz[i] = z[i];
  std::vector<double> kept(n * k);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < k; ++j) kept[i * k + j] = N(i, j);
  zelto::ConsiderUpdate keep;
  ASSERT_TRUE(keep.prepare(zS, zsx, zH, zRn, zz, kept.data(), k));
  // The rotation form of the Zkf700 (and the Zkf6 array) update: off-diagonal entries unread.
  ASSERT_TRUE(doMeasurementUpdateSquareRootRotations(n, m, zsx, zS, r, zz, zH, zRn, 0));
  keep.restore(zS, zsx);

  const MatrixXd S1 = toEigen(zS), P0 = S * S.transpose();
  const VectorXd x1 = S1 * toEigen(zsx);
  EXPECT_LT((N.transpose() * (x1 - S * sx)).norm(), 1e-11);
  EXPECT_LT((N.transpose() * (S1 * S1.transpose() - P0) * N).norm(), 1e-11);
  EXPECT_LT((S1 * S1.transpose() - ref.P()).norm(), 1e-11 * ref.P().norm());
  EXPECT_LT((x1 - ref.x()).norm(), 1e-11 * (1.0 + ref.x().norm()));
  for (int i = 0; i < m; ++i) EXPECT_NEAR(keep.whitenedInnovation()[i], whitened[i], 1e-11);
}

TEST(ConsiderUpdate, RefusesWhatItCannotHold) {
  zelto::Matrix S(19, 19), H(3, 19), Rn(3, 3);
  S.isIdentity();
  Rn.isIdentity();
  zelto::Vector sx(19), z(3);
  constexpr ZtSize kTooMany = zelto::ConsiderUpdate::kMaxKept + 1;
  double kept[19 * kTooMany] = {};
  zelto::ConsiderUpdate keep;
  EXPECT_FALSE(keep.prepare(S, sx, H, Rn, z, kept, 2));  // 19 states
  zelto::Matrix S4(4, 4), H4(4, 4), H1(1, 4), R4(4, 4), R1(1, 1);
  S4.isIdentity();
  R4.isIdentity();
  zelto::Vector sx4(4), z4(4);
  EXPECT_FALSE(keep.prepare(S4, sx4, H4, R4, z4, kept, 2));  // 4 rows
  R1(0, 0) = 1.0;
  EXPECT_TRUE(keep.prepare(S4, sx4, H1, R1, z4, kept, zelto::ConsiderUpdate::kMaxKept));
  EXPECT_FALSE(keep.prepare(S4, sx4, H1, R1, z4, kept, kTooMany));  // more directions than it holds
  H1.isZero();
  R1.isZero();
  EXPECT_FALSE(keep.prepare(S4, sx4, H1, R1, z4, kept, 1));  // no innovation variance
  // After a refusal restore changes nothing.
  keep.restore(S4, sx4);
  EXPECT_EQ(S4(2, 2), 1.0);
}

}  // namespace
