// The Zkf3i square-root filter against the dense covariance-form reference: fed the same linear
// model each step (transition, process-noise root, measurement matrices and noise, rollbacks of
// refused magnetometer updates, the correction transform with its heading redefinition), the
// covariance P = sQx sQx^T and the state agree with the textbook equations at every step.
#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "Zkf3iTestKit.h"
#include "filtersim/DenseReferenceEkf.h"
#include "filtersim/FilterMetrics.h"

using namespace zkf3itest;
using filtersim::Segment;
using filtersim::Vec3;

namespace {

struct Reference : ::FilterStepObserver {
  filtersim::DenseReferenceEkf ekf{12};
  filtersim::DenseReferenceEkf beforeUpdate{12};
  int predictions = 0, updates = 0, rollbacks = 0, corrections = 0, drops = 0, redefinitions = 0;

  void predicted(const zelto::Matrix& Phi, const zelto::Matrix& G, const zelto::Vector& x) override {
    const Eigen::MatrixXd g = toEigen(G);
    ekf.predict(toEigen(Phi), g * g.transpose(), toEigen(x));
    ++predictions;
  }
  void measurementUpdate(const zelto::Vector& y, const zelto::Matrix& H, const zelto::Matrix& Rd) override {
    beforeUpdate = ekf;
    const Eigen::MatrixXd r = toEigen(Rd);
    ekf.update(toEigen(H), r * r.transpose(), toEigen(y));
    ++updates;
  }
  void rolledBack() override {
    ekf = beforeUpdate;
    ++rollbacks;
  }
  void corrected(const zelto::Matrix& T, ZtSize first, bool dropped) override {
    const int f = static_cast<int>(first);
    if (dropped) {
      ekf.zeroElements(f, 3);
      ++drops;
    }
    const Eigen::MatrixXd t = toEigen(T);
    if (!t.block(0, 0, 3, 3).isIdentity(0.0)) ++redefinitions;
    ekf.transform(t);
    ekf.zeroElements(f, 3);
    ++corrections;
  }
};

struct Worst {
  double P = 0.0, x = 0.0;
  // |dP_ij| / sqrt(P_ii P_jj) and |dx_i| / max(|x_i|, sqrt(P_ii)).
  void add(const zelto::Zkf3iState& s, const filtersim::DenseReferenceEkf& ref) {
    const Eigen::MatrixXd Pf = covariance(s);
    const Eigen::MatrixXd Pr = ref.P();
    const Eigen::VectorXd xf = stateOf(s);
    const Eigen::VectorXd xr = ref.x();
    for (int i = 0; i < 12; ++i) {
      const double si = std::sqrt(Pr(i, i));
      x = std::max(x, std::fabs(xf[i] - xr[i]) / std::max(std::fabs(xr[i]), si));
      for (int j = 0; j < 12; ++j) P = std::max(P, std::fabs(Pf(i, j) - Pr(i, j)) / (si * std::sqrt(Pr(j, j))));
    }
  }
};

// Turns, tilts and accelerations with noise, a gyroscope bias, clipped samples, a no-rotation
// window, hard-iron steps the gate refuses, and yaw turns that redefine the heading.
TEST(Zkf3iReference, SquareRootFilterMatchesTheCovarianceForm) {
  const Noise n;
  zelto::Zkf3iScenarioParams sc = scenario();
  sc.nrMagCheck[0] = 3.0;
  sc.nrMagCheck[1] = 5.0;
  const zelto::Zkf3iParams p = params(n, true, sc);
  filtersim::SimulatorConfig c = simConfig(n, p, true, 77);
  c.initialAttitude = filtersim::Quat(Eigen::AngleAxisd(0.6, Vec3(1, -2, 1).normalized()));
  c.gyr.bias = Vec3(0.004, -0.002, 0.003);
  c.gyr.range = 6.0;
  c.mag.hardIron.push_back({{14.0, 16.0}, Vec3(0.4, -0.3, 0.1)});
  c.mag.hardIron.push_back({{30.0, 31.0}, Vec3(-0.3, 0.3, 0.0)});
  filtersim::MotionSimulator sim(
      c, {Segment::still(12.0), Segment::rotate(4.0, Vec3(0, 0, 1), 1.2), Segment::accelerate(3.0, Vec3(1.5, -0.5, 0.2)),
          Segment::rotate(1.0, Vec3(1, 1, 2).normalized(), 6.5), Segment::turn(8.0, 0.6, 2.0),
          Segment::sinusoid(6.0, Vec3(0, 1, 0.3).normalized(), 1.5, 0.7), Segment::still(8.0)});
  zelto::Zkf3iFilter f(&p);
  Reference ref;
  zelto::Zkf3iSensorData sd;
  zelto::Zkf3iAiding ad;
  zelto::Zkf3iRealTimeParameters rt;
  zelto::Zkf3iFilterOutput out;
  filtersim::Sample s;
  ASSERT_TRUE(sim.next(s));
  toRecords(s, sd, ad);
  ASSERT_TRUE(f.doOneKalmanStep(sd, ad, rt, out));
  ASSERT_TRUE(f.isInitialized());
  ref.ekf.reset(stateOf(f.state()), covariance(f.state()));
  f.setStepObserver(&ref);
  Worst worst;
  int steps = 0;
  while (sim.next(s)) {
    toRecords(s, sd, ad);
    rt.noRotationDuration = steps == 300 ? 3 : 0;
    ASSERT_TRUE(f.doOneKalmanStep(sd, ad, rt, out));
    ++steps;
    worst.add(f.state(), ref.ekf);
    ASSERT_LT(worst.P, 1e-9) << "step " << steps;
    ASSERT_LT(worst.x, 1e-9) << "step " << steps;
  }
  EXPECT_EQ(ref.predictions, steps);
  EXPECT_EQ(ref.corrections, steps);
  EXPECT_GT(ref.rollbacks, 5);
  EXPECT_GE(ref.drops, 299);
  EXPECT_GT(ref.redefinitions, 50);
  char text[64];
  std::snprintf(text, sizeof(text), "%.3g / %.3g", worst.P, worst.x);
  RecordProperty("worst_relative_P_x", text);
  RecordProperty("rollbacks", std::to_string(ref.rollbacks));
  RecordProperty("redefinitions", std::to_string(ref.redefinitions));
  // The run is a real filtering problem: the filter stays near the truth.
  EXPECT_LT(filtersim::attitudeError(toNwu(out.q_ls), s.q), 3.0 * kDeg);
}

}  // namespace
