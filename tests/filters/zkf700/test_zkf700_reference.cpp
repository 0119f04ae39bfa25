// The Zkf700 filter against a dense covariance-form EKF of the same model run beside it through
// the step observer: the square-root arithmetic, the banded pre-array, the array updates, the
// magnetometer rollback, the no-rotation window, the correction and the direct writes must give
// the textbook covariance and state.
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

constexpr double kZkf700ReferenceDeg = M_PI / 180.0;

// Feeds every phase of the filter to the covariance-form reference; records the normalised
// innovation squared of the six-row GNSS updates.
class ReferenceObserver : public FilterStepObserver {
 public:
  filtersim::DenseReferenceEkf ekf{18};
  filtersim::DenseReferenceEkf beforeUpdate{18};
  std::vector<double> gnssNis;
  int predictions = 0, updates = 0, rollbacks = 0, corrections = 0, writes = 0, drops = 0;

  void predicted(const zelto::Matrix& Phi, const zelto::Matrix& G, const zelto::Vector& x) override {
    const Eigen::MatrixXd g = toEigen(G);
    ekf.predict(toEigen(Phi), g * g.transpose(), toEigen(x));
    ++predictions;
  }
  // Directions the next update keeps (the magnetometer's: the tilt); empty for the others.
  Eigen::MatrixXd kept;
  int considered = 0;
  void keptDirections(const zelto::Matrix& N) override { kept = toEigen(N); }
  void measurementUpdate(const zelto::Vector& y, const zelto::Matrix& H, const zelto::Matrix& Rd) override {
    beforeUpdate = ekf;
    const Eigen::MatrixXd rd = toEigen(Rd);
    Eigen::VectorXd w;
    if (kept.size() > 0) {
      w = ekf.updateKeeping(toEigen(H), rd * rd.transpose(), toEigen(y), kept);
      kept.resize(0, 0);
      ++considered;
    } else {
      w = ekf.update(toEigen(H), rd * rd.transpose(), toEigen(y));
    }
    if (H.rows == 6) gnssNis.push_back(w.squaredNorm());
    ++updates;
  }
  void rolledBack() override {
    ekf = beforeUpdate;
    ++rollbacks;
  }
  void corrected(const zelto::Matrix& T, ZtSize first, bool dropped) override {
    if (dropped) {
      ekf.zeroElements(static_cast<int>(first), 3);
      ++drops;
    }
    ekf.transform(toEigen(T));
    ekf.zeroElements(static_cast<int>(first), 3);
    ++corrections;
  }
  void elementsSet(ZtSize first, const zelto::Vector& values) override {
    ekf.setElements(static_cast<int>(first), toEigen(values));
    ++writes;
  }
};

// About 35 s: after every step P = sQx sQx^T and x agree with the reference to 1e-9 of their
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
    if (++n == 3000) d.realTime.m_noRotationDuration = 3;  // at the final stop
    d.step(s, &rx, &baro, true);
    const zelto::Zkf700State& st = d.filter.state();
    const Eigen::MatrixXd P = covariance(st);
    if (!started) {
      if (!d.filter.isInitialized()) continue;
      obs.ekf.reset(toEigen(st.m_x), P);
      d.filter.setStepObserver(&obs);
      started = true;
      continue;
    }
    const Eigen::MatrixXd Pr = obs.ekf.P();
    const Eigen::VectorXd xr = obs.ekf.x(), x = toEigen(st.m_x);
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
  EXPECT_GT(obs.considered, 1000);  // the magnetometer's, keeping the tilt
  EXPECT_GT(obs.drops, 100);  // the no-rotation window ran
  EXPECT_GT(obs.writes, obs.corrections);  // position folds and the first fix's velocity
  EXPECT_EQ(d.output.m_filterMode, 3);
}

}  // namespace
