// The Zkf700 filter against a dense covariance-form EKF of the same model run beside it through
// the step observer (square-root arithmetic, banded pre-array, the m-row and 3-row updates, the
// magnetometer rollback, the correction and the direct writes must give the textbook covariance
// and state), and the statistical consistency of its GNSS innovations over Monte-Carlo runs.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <vector>

#include "Zkf700TestTuning.h"
#include "filters/common/FilterStepObserver.h"
#include "filtersim/DenseReferenceEkf.h"
#include "filtersim/FilterMetrics.h"
#include "filtersim/VehicleRoute.h"

using namespace zkf700test;
using filtersim::Vec3;
using zelto::Zkf700Params;
using zelto::Zkf700ScenarioParams;

namespace {

constexpr double kDeg = M_PI / 180.0;

Eigen::MatrixXd toEigenM(const ZtMatrix& m) {
  Eigen::MatrixXd e(m.rows, m.cols);
  for (ZtSize r = 0; r < m.rows; ++r)
    for (ZtSize c = 0; c < m.cols; ++c) e(r, c) = m.data[r * m.stride + c];
  return e;
}

Eigen::VectorXd toEigenV(const ZtVector& v) {
  Eigen::VectorXd e(v.size);
  for (ZtSize i = 0; i < v.size; ++i) e[i] = v.data[i];
  return e;
}

// Feeds every phase of the filter to the covariance-form reference; records the normalised
// innovation squared of the six-row GNSS updates.
class ReferenceObserver : public FilterStepObserver {
 public:
  filtersim::DenseReferenceEkf ekf{18};
  filtersim::DenseReferenceEkf beforeUpdate{18};
  std::vector<double> gnssNis;
  int predictions = 0, updates = 0, rollbacks = 0, corrections = 0, writes = 0;

  void predicted(const zelto::Matrix& Phi, const zelto::Matrix& G, const zelto::Vector& x) override {
    const Eigen::MatrixXd g = toEigenM(G);
    ekf.predict(toEigenM(Phi), g * g.transpose(), toEigenV(x));
    ++predictions;
  }
  void measurementUpdate(const zelto::Vector& y, const zelto::Matrix& H, const zelto::Matrix& Rd) override {
    beforeUpdate = ekf;
    const Eigen::MatrixXd rd = toEigenM(Rd);
    const Eigen::VectorXd w = ekf.update(toEigenM(H), rd * rd.transpose(), toEigenV(y));
    if (H.rows == 6) gnssNis.push_back(w.squaredNorm());
    ++updates;
  }
  void rolledBack() override {
    ekf = beforeUpdate;
    ++rollbacks;
  }
  void corrected(const zelto::Matrix& T, ZtSize first, bool dropped) override {
    if (dropped) ekf.zeroElements(static_cast<int>(first), 3);
    ekf.transform(toEigenM(T));
    ekf.zeroElements(static_cast<int>(first), 3);
    ++corrections;
  }
  void elementsSet(ZtSize first, const zelto::Vector& values) override {
    ekf.setElements(static_cast<int>(first), toEigenV(values));
    ++writes;
  }
};

Eigen::MatrixXd covariance(const zelto::Zkf700State& s) {
  const Eigen::MatrixXd S = toEigenM(s.m_sQx);
  return S * S.transpose();
}

// The reference route: GNSS at 2 Hz, barometer at 10 Hz, the magnetometer with a disturbance
// that its gate rejects, a no-rotation window at a stop, turns and a slope.
struct Scenario {
  Zkf700Params params;
  filtersim::SimulatorConfig sim;
  filtersim::VehicleRoute route{0.4};
  filtersim::GnssConfig gnss;
  filtersim::BarometerConfig baro;
};

Scenario referenceScenario(uint64_t seed) {
  Scenario sc;
  Zkf700ScenarioParams s = builtInProfile();
  s.updateFlags |= Zkf700ScenarioParams::kHolonomicUpdate;
  ZkfUserParams u = user();
  u.n_s_m = zelto::Vector3(1.0, 0.0, 0.0);
  sc.params.initialize(s, hardware(), u, zelto::Zkf700FilterSteps());
  const KtMk4_700HardwareParams h = hardware();
  sc.sim = simConfig(sc.params, seed);
  sc.sim.gyr.noiseDensity = h.ndGyr[0] * kDeg;
  sc.sim.acc.noiseDensity = h.ndAcc[0];
  sc.sim.mag.noiseDensity = 0.001;
  sc.sim.mag.hardIron.push_back({{22.0, 23.0}, Vec3(0.3, -0.2, 0.0)});
  sc.route.stop(8).accelerate(4, 2).cruise(8).turn(6, M_PI / 12).climb(3, 0.05).cruise(5).brakeToStop(2).stop(8);
  sc.sim.initialAttitude = sc.route.initialAttitude();
  sc.gnss.rate = 2.0;
  sc.gnss.sigmaHorizontal = sc.gnss.sigmaVertical = 1.0;
  sc.gnss.sigmaVelocity = 0.05;
  sc.gnss.seed = seed + 7;
  sc.baro.seed = seed + 9;
  return sc;
}

// About 45 s: after every step P = sQx sQx^T and x agree with the reference to 1e-9 of their
// scale (sqrt(P_ii P_jj) for P, max(|x_i|, sqrt(P_ii)) for x).
TEST(Zkf700Reference, SquareRootFilterMatchesCovarianceForm) {
  Scenario sc = referenceScenario(3);
  filtersim::MotionSimulator sim(sc.sim, sc.route.segments());
  filtersim::GnssReceiver rx(sc.gnss, sim.frame());
  filtersim::Barometer baro(sc.baro);
  Driver d(sc.params);
  ReferenceObserver obs;
  filtersim::Sample s;
  bool started = false;
  double worstP = 0.0, worstX = 0.0;
  int n = 0;
  while (sim.next(s)) {
    if (++n == 1300) d.realTime.m_noRotationDuration = 3;  // at the final stop
    d.step(s, &rx, &baro, true);
    const zelto::Zkf700State& st = d.filter.state();
    const Eigen::MatrixXd P = covariance(st);
    if (!started) {
      if (!d.filter.isInitialized()) continue;
      obs.ekf.reset(toEigenV(st.m_x), P);
      d.filter.setStepObserver(&obs);
      started = true;
      continue;
    }
    const Eigen::MatrixXd Pr = obs.ekf.P();
    const Eigen::VectorXd xr = obs.ekf.x(), x = toEigenV(st.m_x);
    for (int i = 0; i < 18; ++i) {
      for (int j = 0; j < 18; ++j)
        worstP = std::max(worstP, std::fabs(P(i, j) - Pr(i, j)) / std::sqrt(Pr(i, i) * Pr(j, j)));
      worstX = std::max(worstX, std::fabs(x[i] - xr[i]) / std::max(std::fabs(xr[i]), std::sqrt(Pr(i, i))));
    }
    ASSERT_LT(worstP, 1e-9) << "step " << n;
    ASSERT_LT(worstX, 1e-9) << "step " << n;
  }
  std::printf("reference: worst P %.2g, worst x %.2g; %d predictions, %d updates, %d rollbacks, %d writes\n", worstP,
              worstX, obs.predictions, obs.updates, obs.rollbacks, obs.writes);
  EXPECT_GT(obs.updates, 1000);
  EXPECT_GT(obs.rollbacks, 0);
  EXPECT_GT(obs.writes, obs.corrections);  // position folds and the first fix's velocity
  EXPECT_EQ(d.output.m_filterMode, 3);
}

// Normalised innovation squared of the six-row GNSS updates from the filter's own state just
// before each update: all six rows, and the four horizontal ones (position and velocity).
class InnovationObserver : public FilterStepObserver {
 public:
  explicit InnovationObserver(const zelto::Zkf700Filter& f) : filter(f) {}
  const zelto::Zkf700Filter& filter;
  std::vector<double> all, horizontal;

  void predicted(const zelto::Matrix&, const zelto::Matrix&, const zelto::Vector&) override {}
  void corrected(const zelto::Matrix&, ZtSize, bool) override {}
  void measurementUpdate(const zelto::Vector& y, const zelto::Matrix& H, const zelto::Matrix& Rd) override {
    if (H.rows != 6) return;
    const zelto::Zkf700State& st = filter.state();
    const Eigen::MatrixXd S = toEigenM(st.m_sQx);
    const Eigen::VectorXd x = S * toEigenV(st.m_sx);
    const Eigen::MatrixXd h = toEigenM(H), rd = toEigenM(Rd);
    const Eigen::MatrixXd E = h * S * S.transpose() * h.transpose() + rd * rd.transpose();
    const Eigen::VectorXd r = toEigenV(y) - h * x;
    all.push_back(r.dot(E.ldlt().solve(r)));
    const int rows[4] = {0, 1, 3, 4};
    Eigen::MatrixXd Eh(4, 4);
    Eigen::VectorXd rh(4);
    for (int i = 0; i < 4; ++i) {
      rh[i] = r[rows[i]];
      for (int j = 0; j < 4; ++j) Eh(i, j) = E(rows[i], rows[j]);
    }
    horizontal.push_back(rh.dot(Eh.ldlt().solve(rh)));
  }
};

// Twenty runs: the mean NEES of tilt and horizontal velocity, and the mean horizontal NIS of the GNSS updates stays in the two-sided 99 %
// chi-square band of its mean. (The vertical rows are deliberately pessimistic: the filter
// gives the vertical acceleration a hundredfold noise, so their NIS is only bounded above.)
TEST(Zkf700Reference, GnssInnovationsAreConsistent) {
  const int runs = 20;
  double sumH = 0.0, sumAll = 0.0;
  int count = 0;
  std::vector<double> nees;
  double headingNees = 0.0, tiltNees = 0.0, velocityNees = 0.0;
  for (int r = 0; r < runs; ++r) {
    Scenario sc = referenceScenario(100 + r);
    sc.sim.mag.hardIron.clear();
    filtersim::MotionSimulator sim(sc.sim, sc.route.segments());
    filtersim::GnssReceiver rx(sc.gnss, sim.frame());
    Driver d(sc.params);
    InnovationObserver obs(d.filter);
    d.filter.setStepObserver(&obs);
    filtersim::Sample s;
    int n = 0;
    while (sim.next(s)) {
      d.step(s, &rx, nullptr, true);
      // Tilt (the sensor's x and y errors of a level vehicle) and horizontal velocity, 10 s
      // apart (well decorrelated). The heading is left out: the magnetometer rows take only
      // the heading's effect on the horizontal field (the cross product with the horizontal
      // part), so a tilt error reaches the heading through the vertical field unmodelled;
      // with this field (63 degrees dip) its NEES is several times its degrees of freedom.
      if (++n % 1000 != 0 || n < 2000) continue;
      const zelto::Zkf700State& st = d.filter.state();
      const Eigen::MatrixXd P = covariance(st);
      const Eigen::Quaterniond qe = truthEnu(s).conjugate() * toEigen(st.m_q_ls);
      const Eigen::AngleAxisd aa(qe);
      // The rotation from the estimate to the truth in sensor axes (q_true = q_ls exp(t)): the
      // sense of the filter's orientation error state.
      const Eigen::Vector3d t = -aa.angle() * aa.axis();
      const Eigen::Vector3d dv = toEigen3(st.m_xVel) - velocityEnu(s);
      Eigen::VectorXd e(4);
      e << t.head<2>(), dv.head<2>();
      const int idx[4] = {15, 16, 3, 4};
      Eigen::MatrixXd Pe(4, 4);
      for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) Pe(i, j) = P(idx[i], idx[j]);
      nees.push_back(filtersim::nees(e, Pe));
      headingNees += t[2] * t[2] / P(17, 17);
      tiltNees += filtersim::nees(e.head<2>(), Pe.topLeftCorner<2, 2>());
      velocityNees += filtersim::nees(e.tail<2>(), Pe.bottomRightCorner<2, 2>());
    }
    // The first fixes are dominated by the initial deviations.
    for (size_t k = 10; k < obs.horizontal.size(); ++k) {
      sumH += obs.horizontal[k];
      sumAll += obs.all[k];
      ++count;
    }
  }
  double low = 0.0, high = 0.0;
  filtersim::chiSquareMeanBand(4, count, 0.01, low, high);
  const double mean = sumH / count;
  double lowAll = 0.0, highAll = 0.0;
  filtersim::chiSquareMeanBand(6, count, 0.01, lowAll, highAll);
  std::printf("GNSS NIS: horizontal mean %.3f over %d fixes, band [%.3f, %.3f]; all six rows %.3f (band [%.3f, %.3f])\n",
              mean, count, low, high, sumAll / count, lowAll, highAll);
  EXPECT_GT(mean, low);
  EXPECT_LT(mean, high);
  EXPECT_LT(sumAll / count, highAll);

  double neesSum = 0.0;
  for (double v : nees) neesSum += v;
  double lowN = 0.0, highN = 0.0;
  filtersim::chiSquareMeanBand(4, static_cast<int>(nees.size()), 0.01, lowN, highN);
  std::printf("NEES (tilt, horizontal velocity): mean %.3f over %zu, band [%.3f, %.3f]; heading alone %.2f, tilt %.2f, "
              "velocity %.2f\n",
              neesSum / nees.size(), nees.size(), lowN, highN, headingNees / nees.size(), tiltNees / nees.size(),
              velocityNees / nees.size());
  EXPECT_GT(neesSum / nees.size(), lowN);
  EXPECT_LT(neesSum / nees.size(), highN);
}

}  // namespace
