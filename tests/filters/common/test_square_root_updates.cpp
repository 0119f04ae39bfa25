// The square-root Kalman updates against the covariance form (computed here with Eigen), the
// skip of known-triangular columns, outlier rejection, allocation behaviour, and a filter run
// on simulated data whose errors must match its covariance.
#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "errors/ZtException.h"
#include "filters/common/EstimationRoutines.h"
#include "filtersim/FilterMetrics.h"
#include "filtersim/NormalSource.h"
#include "support/AllocationCounter.h"

namespace {

using Eigen::MatrixXd;
using Eigen::VectorXd;

zelto::Matrix toZ(const MatrixXd& m) {
  zelto::Matrix r(m.rows(), m.cols());
  for (int i = 0; i < m.rows(); ++i)
    for (int j = 0; j < m.cols(); ++j) r(i, j) = m(i, j);
  return r;
}
zelto::Vector toZ(const VectorXd& v) {
  zelto::Vector r(v.size());
  for (int i = 0; i < v.size(); ++i) r[i] = v[i];
  return r;
}
MatrixXd toE(const ZtMatrix& m) {
  MatrixXd r(m.rows, m.cols);
  for (size_t i = 0; i < m.rows; ++i)
    for (size_t j = 0; j < m.cols; ++j) r(i, j) = m.data[i * m.stride + j];
  return r;
}
VectorXd toE(const ZtVector& v) {
  VectorXd r(v.size);
  for (size_t i = 0; i < v.size; ++i) r[i] = v.data[i];
  return r;
}

struct Random {
  std::mt19937_64 rng;
  std::normal_distribution<double> n;
  explicit Random(uint64_t seed) : rng(seed) {}
  MatrixXd matrix(int r, int c) {
    MatrixXd m(r, c);
    for (int i = 0; i < r; ++i)
      for (int j = 0; j < c; ++j) m(i, j) = n(rng);
    return m;
  }
  VectorXd vector(int k) { return matrix(k, 1); }
  // Lower-triangular root with a diagonal well away from 0.
  MatrixXd lowerRoot(int k, double scale = 1.0) {
    MatrixXd s = matrix(k, k).triangularView<Eigen::Lower>();
    for (int i = 0; i < k; ++i) s(i, i) = (1.0 + std::fabs(s(i, i))) * (i % 2 ? -1 : 1);
    return scale * s;
  }
  MatrixXd diagonal(int k) {
    MatrixXd d = MatrixXd::Zero(k, k);
    for (int i = 0; i < k; ++i) d(i, i) = 0.2 + std::fabs(n(rng));
    return d;
  }
};

double relDiff(const MatrixXd& a, const MatrixXd& b) { return (a - b).norm() / std::max(1.0, b.norm()); }

bool isLower(const zelto::Matrix& s) { return filtersim::isLowerTriangular(s.data, s.rows, s.cols, s.stride); }

// Reference update with innovation e and noise covariance R.
struct Reference {
  VectorXd x;
  MatrixXd P;
  Reference(const VectorXd& x0, const MatrixXd& P0, const MatrixXd& H, const VectorXd& e, const MatrixXd& R) {
    const MatrixXd E = H * P0 * H.transpose() + R;
    const MatrixXd K = P0 * H.transpose() * E.inverse();
    x = x0 + K * e;
    P = P0 - K * H * P0;
  }
};

TEST(SquareRootUpdates, PlainMeasurementUpdateMatchesTheCovarianceForm) {
  Random r(1);
  for (int trial = 0; trial < 20; ++trial) {
    const int n = 2 + trial % 7, m = 1 + trial % 4;
    const MatrixXd S = r.lowerRoot(n), H = r.matrix(m, n), Rs = r.diagonal(m);
    const VectorXd xn = r.vector(n), z = r.vector(m);
    const VectorXd x = S * xn;
    const MatrixXd P = S * S.transpose();
    const Reference ref(x, P, H, z - H * x, Rs * Rs);

    zelto::Vector zx = toZ(xn), zr(m);
    zelto::Matrix zS = toZ(S);
    doMeasurementUpdateSquareRoot(zx, zS, zr, toZ(z), toZ(H), toZ(Rs));
    ASSERT_TRUE(isLower(zS));
    const MatrixXd S1 = toE(zS);
    EXPECT_LT(relDiff(S1 * S1.transpose(), ref.P), 1e-10) << trial;
    EXPECT_LT((S1 * toE(zx) - ref.x).norm(), 1e-10 * (1 + ref.x.norm())) << trial;
    // r is the innovation whitened by the Cholesky factor of E (up to the signs of its items).
    const MatrixXd E = H * P * H.transpose() + Rs * Rs;
    const VectorXd w = E.llt().matrixL().solve(z - H * x);
    for (int i = 0; i < m; ++i) EXPECT_NEAR(std::fabs(zr[i]), std::fabs(w[i]), 1e-10 * (1 + w.norm()));
  }
}

TEST(SquareRootUpdates, TimeUpdateGivesTheRootOfFPFtPlusQ) {
  Random r(2);
  for (int trial = 0; trial < 20; ++trial) {
    const int n = 1 + trial % 13;
    const MatrixXd S = r.lowerRoot(n), F = r.matrix(n, n), Qs = r.lowerRoot(n, 0.1);
    const VectorXd x = r.vector(n);
    zelto::Matrix zS = toZ(S);
    zelto::Vector sx(n);
    const zelto::Vector zxIn = toZ(x);
    doTimeUpdateSquareRoot(sx, zS, zxIn, toZ(F), toZ(Qs));
    ASSERT_TRUE(isLower(zS));
    const MatrixXd S1 = toE(zS);
    const MatrixXd expected = F * S * S.transpose() * F.transpose() + Qs * Qs.transpose();
    EXPECT_LT(relDiff(S1 * S1.transpose(), expected), 1e-10) << n;
    EXPECT_LT((S1 * toE(sx) - x).norm(), 1e-10 * (1 + x.norm()));
    EXPECT_EQ(toE(zxIn), x);  // x itself is the caller's to propagate
  }
}

struct ZForm {
  const char* name;
  bool triangularNoise;
};

unsigned runZ(bool tri, zelto::Vector& xn, zelto::Matrix& S, zelto::Vector& x, const VectorXd& z, const VectorXd& h,
              const MatrixXd& H, const MatrixXd& Rs, double threshold, bool reject, uint32_t k) {
  const zelto::Vector zz = toZ(z), zh = toZ(h);
  const zelto::Matrix zH = toZ(H), zR = toZ(Rs);
  return tri ? doMeasurementUpdateSquareRootZTriL(xn, S, x, zz, zh, zH, zR, threshold, reject, k)
             : doMeasurementUpdateSquareRootZDiag(xn, S, x, zz, zh, zH, zR, threshold, reject, k);
}

TEST(SquareRootUpdates, ZFormsMatchTheCovarianceFormAndSkipKnownColumns) {
  Random r(3);
  for (bool tri : {false, true}) {
    for (int trial = 0; trial < 20; ++trial) {
      SCOPED_TRACE(tri ? "TriL" : "Diag");
      const int n = 3 + trial % 10, m = 1 + trial % 3;
      const int k = trial % n;
      const MatrixXd S = r.lowerRoot(n);
      MatrixXd H = r.matrix(m, n);
      H.rightCols(k).setZero();
      const MatrixXd Rs = tri ? r.lowerRoot(m, 0.5) : r.diagonal(m);
      const VectorXd xn = r.vector(n), z = r.vector(m), h = r.vector(m);
      const VectorXd x = S * xn;
      const Reference ref(x, S * S.transpose(), H, z - h, Rs * Rs.transpose());

      for (uint32_t skip : {0u, static_cast<uint32_t>(k)}) {
        zelto::Vector zxn = toZ(xn), zx = toZ(x);
        zelto::Matrix zS = toZ(S);
        EXPECT_EQ(runZ(tri, zxn, zS, zx, z, h, H, Rs, 0.0, false, skip), static_cast<unsigned>(m));
        ASSERT_TRUE(isLower(zS));
        const MatrixXd S1 = toE(zS);
        EXPECT_LT(relDiff(S1 * S1.transpose(), ref.P), 1e-10) << trial << " skip " << skip;
        EXPECT_LT((toE(zx) - ref.x).norm(), 1e-10 * (1 + ref.x.norm()));
        EXPECT_LT((S1 * toE(zxn) - toE(zx)).norm(), 1e-12 * (1 + ref.x.norm()));
      }
    }
  }
}

// A case in which each measurement sees one state alone and the covariance is diagonal, so
// measurement i's whitened innovation is (z_i - h_i) / sqrt(P_ii + R_ii), up to its sign.
struct Separable {
  static constexpr int n = 5, m = 3;
  MatrixXd S = MatrixXd::Zero(n, n), H = MatrixXd::Zero(m, n), Rs = MatrixXd::Zero(m, m);
  VectorXd xn = VectorXd::Zero(n), h = VectorXd::Zero(m);
  Separable() {
    for (int i = 0; i < n; ++i) {
      S(i, i) = 1.0 + 0.25 * i;
      xn[i] = 0.1 * (i + 1);
    }
    for (int i = 0; i < m; ++i) {
      H(i, i + 1) = 1.0;
      Rs(i, i) = 0.5 + 0.1 * i;
      h[i] = 0.3 * i;
    }
  }
  double sigma(int i) const { return std::sqrt(S(i + 1, i + 1) * S(i + 1, i + 1) + Rs(i, i) * Rs(i, i)); }
  // z giving the whitened innovations w.
  VectorXd z(const VectorXd& w) const {
    VectorXd out(m);
    for (int i = 0; i < m; ++i) out[i] = h[i] + w[i] * sigma(i);
    return out;
  }
};

TEST(SquareRootUpdates, RejectionTable) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const struct {
    const char* name;
    Eigen::Vector3d w;
    std::vector<int> kept;  // empty: nothing written back
  } table[] = {
      {"none rejected", {0.5, -1.0, 2.5}, {0, 1, 2}},
      {"one rejected", {0.5, 5.0, -0.5}, {0, 2}},
      {"two rejected", {-4.0, 0.1, 9.0}, {1}},
      {"all rejected", {4.0, -5.0, 6.0}, {}},
      // A NaN measurement makes every whitened innovation NaN (each one is a combination of
      // all the innovations): nothing is used and nothing corrupted.
      {"not a number", {0.5, nan, 0.5}, {}},
  };
  for (bool tri : {false, true}) {
    for (const auto& row : table) {
      SCOPED_TRACE(std::string(row.name) + (tri ? " TriL" : " Diag"));
      Separable c;
      const VectorXd z = c.z(row.w);
      zelto::Vector xn = toZ(c.xn), x = toZ(VectorXd(c.S * c.xn));
      zelto::Matrix S = toZ(c.S);
      const unsigned used = runZ(tri, xn, S, x, z, c.h, c.H, c.Rs, 3.0, true, 0);
      EXPECT_EQ(used, row.kept.size());
      if (row.kept.empty()) {
        EXPECT_EQ(toE(xn), c.xn);
        EXPECT_EQ(toE(S), c.S);
        EXPECT_EQ(toE(x), VectorXd(c.S * c.xn));
        continue;
      }
      // Same as updating with the kept measurements alone.
      const int q = static_cast<int>(row.kept.size());
      MatrixXd Hk(q, Separable::n), Rk = MatrixXd::Zero(q, q);
      VectorXd ek(q);
      for (int p = 0; p < q; ++p) {
        Hk.row(p) = c.H.row(row.kept[p]);
        Rk(p, p) = c.Rs(row.kept[p], row.kept[p]) * c.Rs(row.kept[p], row.kept[p]);
        ek[p] = z[row.kept[p]] - c.h[row.kept[p]];
      }
      const Reference ref(c.S * c.xn, c.S * c.S.transpose(), Hk, ek, Rk);
      const MatrixXd S1 = toE(S);
      EXPECT_LT(relDiff(S1 * S1.transpose(), ref.P), 1e-12);
      EXPECT_LT((toE(x) - ref.x).norm(), 1e-12);
      EXPECT_TRUE(toE(x).allFinite());
    }
  }
}

TEST(SquareRootUpdates, RejectionThresholdIsStrictAndNoMeasurementsStillWriteBack) {
  Separable c;
  const VectorXd z = c.z(Eigen::Vector3d(0.5, -2.0, 1.0));
  // The whitened innovations as the routine computes them: the plain update on y = H x + z - h
  // (the same arithmetic, so the same bits).
  const VectorXd x0 = c.S * c.xn;
  VectorXd y(3);
  for (int i = 0; i < 3; ++i) {
    double s = 0.0;
    for (int j = 0; j < Separable::n; ++j) s += c.H(i, j) * x0[j];
    y[i] = s + z[i] - c.h[i];
  }
  zelto::Vector pxn = toZ(c.xn), r(3);
  zelto::Matrix pS = toZ(c.S);
  doMeasurementUpdateSquareRoot(pxn, pS, r, toZ(y), toZ(c.H), toZ(c.Rs));
  const double largest = std::fabs(r[1]);
  ASSERT_GT(largest, std::fabs(r[0]));
  ASSERT_GT(largest, std::fabs(r[2]));
  for (const auto& [threshold, expected] :
       {std::pair{largest, 2u}, std::pair{std::nextafter(largest, 10.0), 3u}, std::pair{std::fabs(r[2]), 1u}}) {
    zelto::Vector xn = toZ(c.xn), x = toZ(x0);
    zelto::Matrix S = toZ(c.S);
    EXPECT_EQ(runZ(false, xn, S, x, z, c.h, c.H, c.Rs, threshold, true, 0), expected) << threshold;
  }
  // Rejection clear: every measurement, whatever its size.
  zelto::Vector xn = toZ(c.xn), x = toZ(x0);
  zelto::Matrix S = toZ(c.S);
  EXPECT_EQ(runZ(false, xn, S, x, c.z(Eigen::Vector3d(100, 200, 300)), c.h, c.H, c.Rs, 3.0, false, 0), 3u);

  // m = 0: result 0, and S, xn, x are still written back from the triangularised array.
  for (bool tri : {false, true}) {
    zelto::Vector xn0 = toZ(c.xn), x0z(Separable::n);
    x0z[0] = 1e9;  // inconsistent on purpose: must be replaced by S xn
    zelto::Matrix S0 = toZ(c.S);
    const VectorXd none(0);
    EXPECT_EQ(runZ(tri, xn0, S0, x0z, none, none, MatrixXd(0, Separable::n), MatrixXd(0, 0), 3.0, true, 0), 0u);
    const MatrixXd S1 = toE(S0);
    EXPECT_LT(relDiff(S1 * S1.transpose(), c.S * c.S.transpose()), 1e-14);
    EXPECT_LT((toE(x0z) - x0).norm(), 1e-14);
  }
}

TEST(SquareRootUpdates, TriangularRejectionUsesTheRootOfTheAcceptedCovarianceBlock) {
  Random r(4);
  const int n = 6, m = 3;
  const MatrixXd S = r.lowerRoot(n), H = r.matrix(m, n);
  const MatrixXd Rs = r.lowerRoot(m, 0.3);
  const VectorXd xn = r.vector(n), h = r.vector(m);
  const VectorXd x = S * xn;
  VectorXd z = h;
  z[2] += 1e4;  // a gross outlier on the last measurement (the earlier whitened ones do not see it)
  zelto::Vector zxn = toZ(xn), zx = toZ(x);
  zelto::Matrix zS = toZ(S);
  ASSERT_EQ(runZ(true, zxn, zS, zx, z, h, H, Rs, 3.0, true, 0), 2u);
  const MatrixXd R = Rs * Rs.transpose();
  MatrixXd Hk(2, n), Rk(2, 2);
  const int keep[2] = {0, 1};
  for (int p = 0; p < 2; ++p) {
    Hk.row(p) = H.row(keep[p]);
    for (int s = 0; s < 2; ++s) Rk(p, s) = R(keep[p], keep[s]);
  }
  const Reference ref(x, S * S.transpose(), Hk, VectorXd::Zero(2), Rk);
  const MatrixXd S1 = toE(zS);
  EXPECT_LT(relDiff(S1 * S1.transpose(), ref.P), 1e-10);
  EXPECT_LT((toE(zx) - ref.x).norm(), 1e-10);
}

TEST(SquareRootUpdates, CovarianceFormAndItsFailure) {
  Random r(5);
  for (int trial = 0; trial < 10; ++trial) {
    const int n = 2 + trial, m = 1 + trial % 5;
    const MatrixXd S = r.lowerRoot(n), H = r.matrix(m, n), Rs = r.lowerRoot(m, 0.5);
    const MatrixXd P = S * S.transpose(), R = Rs * Rs.transpose();
    const VectorXd x = r.vector(n), z = r.vector(m);
    const Reference ref(x, P, H, z - H * x, R);
    zelto::Vector zx = toZ(x);
    zelto::Matrix zP = toZ(P);
    doMeasurementUpdate(zx, zP, toZ(z), toZ(H), toZ(R));
    EXPECT_LT(relDiff(toE(zP), ref.P), 1e-10);
    EXPECT_LT((toE(zx) - ref.x).norm(), 1e-10 * (1 + ref.x.norm()));
    EXPECT_EQ(toE(zP), toE(zP).transpose());
  }
  // A singular innovation covariance throws; x and P stay as they were.
  zelto::Vector zx = toZ(VectorXd(VectorXd::Ones(3)));
  zelto::Matrix zP = toZ(MatrixXd(MatrixXd::Identity(3, 3)));
  EXPECT_THROW(doMeasurementUpdate(zx, zP, toZ(VectorXd(VectorXd::Ones(2))), zelto::Matrix(2, 3), zelto::Matrix(2, 2)),
               ZtException);
  EXPECT_EQ(toE(zx), VectorXd::Ones(3));
  EXPECT_EQ(toE(zP), MatrixXd::Identity(3, 3));
}

TEST(SquareRootUpdates, NoAllocationOnceWarm) {
  Random r(6);
  const int n = 12, m = 3;
  const MatrixXd S = r.lowerRoot(n), F = r.matrix(n, n), Qs = r.lowerRoot(n, 0.1);
  MatrixXd H = r.matrix(m, n);
  H.rightCols(9).setZero();
  const zelto::Matrix zF = toZ(F), zQ = toZ(Qs), zH = toZ(H), zR = toZ(r.diagonal(m));
  const zelto::Vector z = toZ(r.vector(m)), h = toZ(r.vector(m));
  zelto::Matrix zS = toZ(S);
  zelto::Vector x = toZ(r.vector(n)), xn(n), res(m);
  // Warm: the per-thread scratch reaches its size.
  doTimeUpdateSquareRoot(xn, zS, x, zF, zQ);
  doMeasurementUpdateSquareRootZDiag(xn, zS, x, z, h, zH, zR, 1e9, true, 0);
  doMeasurementUpdateSquareRoot(xn, zS, res, z, zH, zR);
  const zelto::Matrix start = toZ(S);
  unsigned used[4] = {0, 0, 0, 0};
  AllocationCounter allocations;
  for (int i = 0; i < 10; ++i) {
    doTimeUpdateSquareRoot(xn, zS, x, zF, zQ);
    used[0] += doMeasurementUpdateSquareRootZDiag(xn, zS, x, z, h, zH, zR, 1e9, true, 0);
    used[1] += doMeasurementUpdateSquareRootZDiag(xn, zS, x, z, h, zH, zR, 1e9, true, 9);
    used[2] += doMeasurementUpdateSquareRootZTriL(xn, zS, x, z, h, zH, zR, 1e9, false, 9);
    doMeasurementUpdateSquareRoot(xn, zS, res, z, zH, zR);
    // Back to the start so that the repeated propagation stays in range.
    for (int a = 0; a < n; ++a)
      for (int b = 0; b < n; ++b) zS(a, b) = start(a, b);
  }
  const uint64_t count = allocations.count();
  EXPECT_EQ(count, 0u);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(used[i], 30u) << i;
  zelto::Matrix P = toZ(MatrixXd(S * S.transpose()));
  allocations.reset();
  doMeasurementUpdate(x, P, z, zH, zR);
  EXPECT_EQ(allocations.count(), 1u);
}

// A constant-velocity model along three axes (n = 6) with position measurements, run on
// simulated data from the normal source: the mean NEES over many runs must lie in the
// chi-square band, and the factor must stay finite and lower triangular at every step.
TEST(SquareRootUpdates, FilterOnSimulatedDataIsConsistent) {
  const int n = 6, m = 3, runs = 50, steps = 100;
  const double dt = 0.1, q = 0.5, sdPos = 0.8;
  MatrixXd F = MatrixXd::Identity(n, n);
  for (int i = 0; i < 3; ++i) F(i, i + 3) = dt;
  // Process noise of a white acceleration, its root by Cholesky.
  MatrixXd Q = MatrixXd::Zero(n, n);
  for (int i = 0; i < 3; ++i) {
    Q(i, i) = q * q * dt * dt * dt / 3;
    Q(i, i + 3) = Q(i + 3, i) = q * q * dt * dt / 2;
    Q(i + 3, i + 3) = q * q * dt;
  }
  const MatrixXd Qs = Q.llt().matrixL();
  MatrixXd H = MatrixXd::Zero(m, n);
  for (int i = 0; i < 3; ++i) H(i, i) = 1;
  const zelto::Matrix zF = toZ(F), zQ = toZ(Qs), zH = toZ(H), zR = toZ(MatrixXd(sdPos * MatrixXd::Identity(m, m)));
  const Eigen::LLT<MatrixXd> qChol(Q);

  filtersim::NormalSource noise(42);
  double neesSum = 0.0;
  for (int run = 0; run < runs; ++run) {
    const MatrixXd S0 = 2.0 * MatrixXd::Identity(n, n);
    VectorXd truth(n);
    for (int i = 0; i < n; ++i) truth[i] = 2.0 * noise.normal();  // x0 ~ N(0, S0 S0^T)
    zelto::Matrix S = toZ(S0);
    zelto::Vector x(n), xn(n);
    for (int step = 0; step < steps; ++step) {
      VectorXd w(n);
      for (int i = 0; i < n; ++i) w[i] = noise.normal();
      truth = F * truth + Qs * w;
      const VectorXd xPred = F * toE(x);
      const zelto::Vector zxPred = toZ(xPred);
      doTimeUpdateSquareRoot(xn, S, zxPred, zF, zQ);
      x = zxPred;
      VectorXd zMeas(m);
      for (int i = 0; i < m; ++i) zMeas[i] = truth[i] + sdPos * noise.normal();
      const zelto::Vector hPred = toZ(VectorXd(H * toE(x)));
      ASSERT_EQ(doMeasurementUpdateSquareRootZDiag(xn, S, x, toZ(zMeas), hPred, zH, zR, 0.0, false, 3), 3u);
      ASSERT_TRUE(filtersim::allFinite(S.data, n * n));
      ASSERT_TRUE(isLower(S));
    }
    const MatrixXd S1 = toE(S);
    neesSum += filtersim::nees(toE(x) - truth, S1 * S1.transpose());
  }
  double low = 0, high = 0;
  filtersim::chiSquareMeanBand(n, runs, 0.01, low, high);
  const double mean = neesSum / runs;
  EXPECT_GT(mean, low);
  EXPECT_LT(mean, high);
}

}  // namespace
