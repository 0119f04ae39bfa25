// The Zkf6 filter against a dense covariance-form EKF of the same model run beside it through
// the step observer: the square-root time update with its full-block noise input, the array
// measurement updates, the orientation-row turn with its re-triangularisation and the position
// fold must give the textbook covariance and state at every step.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "Zkf6TestTuning.h"
#include "filtersim/DenseReferenceEkf.h"

using namespace zkf6test;

namespace {

class ReferenceObserver : public zelto::Zkf6StepObserver {
 public:
  filtersim::DenseReferenceEkf ekf{15};
  int initializations = 0, writes = 0, predictions = 0, updates = 0, corrections = 0, folds = 0;
  int updatesOfRows[4] = {0, 0, 0, 0};

  void initialized(const zelto::Vector& x, const zelto::Matrix& L) override {
    const Eigen::MatrixXd l = toEigen(L);
    ekf.reset(toEigen(x), l * l.transpose());
    ++initializations;
  }
  void stateWritten(const zelto::Vector& x) override {
    ekf.setX(toEigen(x));
    ++writes;
  }
  void predicted(const zelto::Matrix& F, const zelto::Matrix& G, const zelto::Vector& x) override {
    const Eigen::MatrixXd g = toEigen(G);
    ekf.predict(toEigen(F), g * g.transpose(), toEigen(x));
    ++predictions;
  }
  // Directions the next update keeps (the magnetometer's: the tilt); empty for the others.
  Eigen::MatrixXd kept;
  int considered = 0;
  void keptDirections(const zelto::Matrix& N) override { kept = toEigen(N); }
  void measurementUpdate(const zelto::Vector& z, const zelto::Matrix& H, const zelto::Matrix& Rs) override {
    Eigen::MatrixXd r = Eigen::MatrixXd::Zero(z.size, z.size);
    for (ZtSize i = 0; i < z.size; ++i) r(i, i) = Rs(i, i) * Rs(i, i);
    if (kept.size() > 0) {
      ekf.updateKeeping(toEigen(H), r, toEigen(z), kept);
      kept.resize(0, 0);
      ++considered;
    } else {
      ekf.update(toEigen(H), r, toEigen(z));
    }
    ++updates;
    ++updatesOfRows[z.size];
  }
  void corrected(const zelto::Matrix& T, ZtSize errorFirst, bool dropped) override {
    if (dropped) ekf.zeroElements(static_cast<int>(errorFirst), 3);
    ekf.transform(toEigen(T));
    ekf.zeroElements(static_cast<int>(errorFirst), 3);
    ++corrections;
  }
  void positionFolded() override {
    ekf.zeroElements(0, 3);
    ++folds;
  }
};

struct ReferenceCase {
  const char* name;
  uint16_t switches;
  bool barometer;
  std::vector<filtersim::TimeWindow> outages;
};

}  // namespace

// 25 s of a noisy drive per case; after every step P = sQx sQx^T and x agree with the reference
// to 1e-9 of their scale (sqrt(P_ii P_jj) for P, max(|x_i|, sqrt(P_ii)) for x).
TEST(Zkf6Reference, SquareRootFilterMatchesCovarianceForm) {
  using S = zelto::Zkf6ScenarioParams;
  const ReferenceCase cases[] = {
      {"GNSS, magnetometer, barometer, zero rotation", S::kGpsUpdate | S::kMagFieldUpdate | S::kZeroRotationUpdate,
       true, {}},
      {"GNSS and holonomic constraint with an outage", S::kGpsUpdate | S::kHolonomicUpdate, false, {{7.0, 25.0}}},
      {"no GNSS: magnetometer and zero velocity alternate", S::kMagFieldUpdate, false, {}},
  };
  for (const ReferenceCase& rc : cases) {
    SCOPED_TRACE(rc.name);
    Drive d;
    d.seed = 41;
    d.truthRate = 100.0;  // the comparison needs no finer truth
    d.barometer = rc.barometer;
    d.outages = rc.outages;
    d.scenario.updateSwitches = rc.switches;
    filtersim::VehicleRoute r(0.4);
    r.stop(5).accelerate(5, 2.0).turn(5, M_PI / 10).cruise(3).turn(3, -M_PI / 6).accelerate(3, -1.0).cruise(1);
    d.segments = r.segments();
    NavigationRig rig(d);
    ReferenceObserver ref;
    rig.filter().setStepObserver(&ref);
    double worstP = 0.0, worstX = 0.0;
    int steps = 0;
    while (rig.step()) {
      ASSERT_TRUE(rig.ok());
      ++steps;
      const zelto::Zkf6State& st = rig.filter().state();
      const Eigen::MatrixXd L = toEigen(st.sQx);
      const Eigen::MatrixXd P = L * L.transpose();
      const Eigen::MatrixXd Pr = ref.ekf.P();
      const Eigen::VectorXd xr = ref.ekf.x();
      const Eigen::VectorXd x = toEigen(st.x);
      for (int i = 0; i < 15; ++i) {
        const double scaleX = std::max(std::fabs(xr[i]), std::sqrt(Pr(i, i)));
        worstX = std::max(worstX, std::fabs(x[i] - xr[i]) / scaleX);
        for (int j = 0; j < 15; ++j)
          worstP = std::max(worstP, std::fabs(P(i, j) - Pr(i, j)) / std::sqrt(Pr(i, i) * Pr(j, j)));
      }
    }
    EXPECT_EQ(ref.initializations, 1);
    EXPECT_EQ(ref.predictions, steps - 1);
    EXPECT_EQ(ref.corrections, ref.predictions);
    EXPECT_EQ(ref.folds, ref.corrections);
    EXPECT_GT(ref.updates, steps / 2);
    EXPECT_GT(ref.updatesOfRows[3], 0);
    if (rc.switches & S::kMagFieldUpdate) {
      EXPECT_GT(ref.considered, 0);  // the magnetometer's, keeping the tilt
    }
    RecordProperty(std::string("worst_P_") + std::to_string(rc.switches), std::to_string(worstP));
    EXPECT_LT(worstP, 1e-9);
    EXPECT_LT(worstX, 1e-9);
  }
}
