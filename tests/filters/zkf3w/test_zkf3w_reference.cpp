// The Zkf3w square-root filter against the dense covariance-form reference: fed the same linear
// model each step (transition, process-noise root, measurement matrices and noise, the
// correction transform), the covariance P = sQx sQx^T and the state agree with the textbook
// equations over a 60 s noisy run with motion.
#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "Zkf3wTestTuning.h"
#include "filtersim/DenseReferenceEkf.h"

using namespace zkf3wtest;
using filtersim::Segment;
using filtersim::Vec3;

namespace {

// Runs the reference beside the filter through the filter's observer.
struct Reference : zelto::Zkf3wStepObserver {
  filtersim::DenseReferenceEkf ekf{12};
  int predictions = 0, updates = 0, corrections = 0;
  void predicted(const zelto::Matrix& Phi, const zelto::Matrix& B, const zelto::Vector& x) override {
    const Eigen::MatrixXd b = toEigen(B);
    ekf.predict(toEigen(Phi), b * b.transpose(), toEigen(x));
    ++predictions;
  }
  void measurementUpdate(const zelto::Vector& y, const zelto::Matrix& H, const zelto::Matrix& sR) override {
    const Eigen::MatrixXd r = toEigen(sR);
    ekf.update(toEigen(H), r * r.transpose(), toEigen(y));
    ++updates;
  }
  void corrected(const zelto::Matrix& T, ZtSize first, bool dropped) override {
    if (dropped) ekf.zeroElements(static_cast<int>(first), 3);
    ekf.transform(toEigen(T));
    ekf.zeroElements(static_cast<int>(first), 3);
    ++corrections;
  }
};

Eigen::MatrixXd zkf3wReferenceCovariance(const zelto::Zkf3wState& s) {
  const Eigen::MatrixXd S = toEigen(s.sQx);
  return S * S.transpose();
}

Eigen::VectorXd stateOf(const zelto::Zkf3wState& s) {
  return toEigen(s.sQx).triangularView<Eigen::Lower>() * toEigen(s.sx);
}

}  // namespace

// Differences are measured against the reference's deviations: |dP_ij| / sqrt(P_ii P_jj) and
// |dx_i| / max(|x_i|, sqrt(P_ii)), both below 1e-9 at every step.
TEST(Zkf3wReference, SquareRootFilterMatchesTheCovarianceForm) {
  filtersim::SimulatorConfig c = simConfig(Noise(), 77);
  c.initialAttitude = filtersim::Quat(Eigen::AngleAxisd(0.6, Vec3(1, -2, 1).normalized()));
  c.gyr.bias = Vec3(0.004, -0.002, 0.003);
  c.earthRate = true;
  filtersim::MotionSimulator sim(
      c, {Segment::still(10.0), Segment::rotate(4.0, Vec3(1, 1, 2).normalized(), 1.2),
          Segment::accelerate(3.0, Vec3(1.5, -0.5, 0.2)), Segment::turn(8.0, 0.4, 2.0),
          Segment::sinusoid(10.0, Vec3(0, 1, 0.3).normalized(), 1.5, 0.7), Segment::cruise(5.0), Segment::still(20.0)});
  const zelto::Zkf3wParams p = params();
  zelto::Zkf3wFilter f(&p);
  Reference ref;
  zelto::Zkf3wSensorData sd;
  zelto::Zkf3wAiding ad;
  zelto::Zkf3wRealTimeParameters rt;
  zelto::Zkf3wFilterOutput out;
  filtersim::Sample s;
  ASSERT_TRUE(sim.next(s));
  toRecords(s, sd, ad);
  ASSERT_TRUE(f.doOneKalmanStep(sd, ad, rt, out, s.T));
  ref.ekf.reset(stateOf(f.state()), zkf3wReferenceCovariance(f.state()));
  f.setStepObserver(&ref);
  double worstP = 0.0, worstX = 0.0;
  int steps = 0;
  while (sim.next(s)) {
    toRecords(s, sd, ad);
    // Every fifth sample the tracker reports an axis clipped: the boosted noise enters both.
    rt.status = static_cast<uint16_t>(steps % 5 == 0 ? 0x0005 : 0);
    ASSERT_TRUE(f.doOneKalmanStep(sd, ad, rt, out, s.T));
    ++steps;
    const Eigen::MatrixXd P = zkf3wReferenceCovariance(f.state());
    const Eigen::MatrixXd& Pr = ref.ekf.P();
    const Eigen::VectorXd x = stateOf(f.state());
    const Eigen::VectorXd& xr = ref.ekf.x();
    for (int i = 0; i < 12; ++i) {
      const double si = std::sqrt(Pr(i, i));
      worstX = std::max(worstX, std::fabs(x[i] - xr[i]) / std::max(std::fabs(xr[i]), si));
      for (int j = 0; j < 12; ++j) worstP = std::max(worstP, std::fabs(P(i, j) - Pr(i, j)) / (si * std::sqrt(Pr(j, j))));
    }
    ASSERT_LT(worstP, 1e-9) << "step " << steps;
    ASSERT_LT(worstX, 1e-9) << "step " << steps;
  }
  EXPECT_EQ(steps, 5999);
  EXPECT_EQ(ref.predictions, steps);
  EXPECT_EQ(ref.corrections, steps);
  EXPECT_EQ(ref.updates, 2 * steps);
  char text[64];
  std::snprintf(text, sizeof(text), "%.3g / %.3g", worstP, worstX);
  RecordProperty("worst_relative_P_x", text);
  // The run is a real filtering problem: the filter stays near the truth.
  EXPECT_LT(Eigen::AngleAxisd(filtersim::Quat(out.orientation.w, out.orientation.x, out.orientation.y,
                                               out.orientation.z) *
                              s.q.conjugate())
                .angle(),
            2.0 * M_PI / 180.0);
}
