// The 12-state square-root measurement update taken one measurement at a time by rotations:
// over a long chain of updates it stays with the covariance form, the root stays lower
// triangular with a positive diagonal, and only the diagonal of the noise root is read (its
// sign does not matter).
#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "filters/common/MeasurementUpdateZkf3Fw.h"
#include "filters/common/ZtToEigen.h"
#include "math/Matrix.h"
#include "math/Vector.h"

namespace {

struct Problem {
  Eigen::MatrixXd H = Eigen::MatrixXd::Zero(3, 12);
  Eigen::Vector3d y, rd;
};

Problem randomProblem(std::mt19937_64& rng, int skip) {
  std::normal_distribution<double> n(0.0, 1.0);
  Problem p;
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 12 - skip; ++c) p.H(r, c) = n(rng);
  for (int i = 0; i < 3; ++i) {
    p.y[i] = n(rng);
    p.rd[i] = 0.05 + 0.5 * std::fabs(n(rng));
  }
  return p;
}

void update(zelto::Vector& sx, zelto::Matrix& sQx, zelto::Vector& out, const Problem& p, uint32_t skip,
            const zelto::Matrix& Rd) {
  zelto::Matrix H(3, 12);
  zelto::Vector y(3);
  for (int r = 0; r < 3; ++r) {
    y[r] = p.y[r];
    for (int c = 0; c < 12; ++c) H(r, c) = p.H(r, c);
  }
  doMeasurementUpdateSquareRootZkf3_fw(sx, sQx, out, y, H, Rd, skip);
}

using filtertest::toEigen;

bool sameBits(const zelto::Matrix& a, const zelto::Matrix& b) {
  for (int r = 0; r < 12; ++r)
    if (std::memcmp(a.rowPtr(r), b.rowPtr(r), 12 * sizeof(double)) != 0) return false;
  return true;
}

}  // namespace

// 300 chained updates (every skip the filters use) with a small process noise added between
// them, so the covariance shrinks by orders of magnitude: the root's covariance and state keep
// to the covariance form (Joseph form) relative to its deviations.
TEST(MeasurementUpdateZkf3Fw, LongChainStaysWithTheCovarianceForm) {
  std::mt19937_64 rng(11);
  Eigen::MatrixXd P = Eigen::MatrixXd::Identity(12, 12);
  Eigen::VectorXd x = Eigen::VectorXd::Zero(12);
  zelto::Matrix sQx(12, 12), Rd(3, 3);
  sQx.isIdentity();
  zelto::Vector sx(12), out(3);
  sx.isZero();
  double worstP = 0.0, worstX = 0.0;
  const uint32_t skips[] = {0, 6, 9};
  for (int step = 0; step < 300; ++step) {
    const uint32_t skip = skips[step % 3];
    const Problem p = randomProblem(rng, static_cast<int>(skip));
    Rd.isZero();
    for (int i = 0; i < 3; ++i) Rd(i, i) = p.rd[i];
    update(sx, sQx, out, p, skip, Rd);

    const Eigen::Matrix3d R = p.rd.cwiseProduct(p.rd).asDiagonal();
    const Eigen::MatrixXd E = p.H * P * p.H.transpose() + R;
    const Eigen::MatrixXd K = P * p.H.transpose() * E.inverse();
    x += K * (p.y - p.H * x);
    const Eigen::MatrixXd IKH = Eigen::MatrixXd::Identity(12, 12) - K * p.H;
    P = IKH * P * IKH.transpose() + K * R * K.transpose();

    const Eigen::MatrixXd S = toEigen(sQx);
    ASSERT_TRUE(S.isLowerTriangular(0.0)) << step;
    for (int i = 0; i < 12; ++i) ASSERT_GT(S(i, i), 0.0) << step << ", " << i;
    const Eigen::MatrixXd Ps = S * S.transpose();
    Eigen::VectorXd sxe(12);
    for (int i = 0; i < 12; ++i) sxe[i] = sx[i];
    const Eigen::VectorXd xs = S * sxe;
    for (int i = 0; i < 12; ++i) {
      const double si = std::sqrt(P(i, i));
      worstX = std::max(worstX, std::fabs(xs[i] - x[i]) / si);
      for (int j = 0; j < 12; ++j) worstP = std::max(worstP, std::fabs(Ps(i, j) - P(i, j)) / (si * std::sqrt(P(j, j))));
    }
    // A little process noise, added to each form's own covariance, keeps the chain from
    // collapsing; each form carries on from its own result.
    P += 1e-6 * Eigen::MatrixXd::Identity(12, 12);
    const Eigen::MatrixXd L = Eigen::MatrixXd(Ps + 1e-6 * Eigen::MatrixXd::Identity(12, 12)).llt().matrixL();
    for (int r = 0; r < 12; ++r)
      for (int c = 0; c < 12; ++c) sQx(r, c) = L(r, c);
    const Eigen::VectorXd sxn = L.triangularView<Eigen::Lower>().solve(xs);
    for (int i = 0; i < 12; ++i) sx[i] = sxn[i];
  }
  EXPECT_LT(worstP, 1e-10);
  EXPECT_LT(worstX, 1e-10);
}

// Only the diagonal of the noise root is read, and its sign is immaterial: a negated root and
// NaN off the diagonal give the same bits as the plain diagonal root.
TEST(MeasurementUpdateZkf3Fw, ReadsOnlyTheMagnitudeOfTheNoiseDiagonal) {
  std::mt19937_64 rng(3);
  const Problem p = randomProblem(rng, 0);
  zelto::Matrix S0(12, 12);
  S0.isZero();
  std::normal_distribution<double> n(0.0, 1.0);
  for (int r = 0; r < 12; ++r)
    for (int c = 0; c <= r; ++c) S0(r, c) = r == c ? 1.0 + std::fabs(n(rng)) : 0.3 * n(rng);
  zelto::Vector sx0(12);
  for (int i = 0; i < 12; ++i) sx0[i] = n(rng);

  zelto::Matrix plain(3, 3), odd(3, 3);
  plain.isZero();
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) odd(r, c) = std::numeric_limits<double>::quiet_NaN();
  for (int i = 0; i < 3; ++i) {
    plain(i, i) = p.rd[i];
    odd(i, i) = -p.rd[i];
  }
  zelto::Matrix Sa(S0), Sb(S0);
  zelto::Vector sxa(sx0), sxb(sx0), outa(3), outb(3);
  update(sxa, Sa, outa, p, 0, plain);
  update(sxb, Sb, outb, p, 0, odd);
  EXPECT_TRUE(sameBits(Sa, Sb));
  for (int i = 0; i < 12; ++i) EXPECT_EQ(sxa[i], sxb[i]) << i;
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(outa[i], outb[i]) << i;
    EXPECT_TRUE(std::isfinite(outa[i])) << i;
  }
}
