// Statistical consistency of the Zkf6 filter over 20 Monte-Carlo drives: the mean normalised
// estimation error squared of position, velocity, orientation and gyroscope bias at checkpoints,
// and the mean normalised innovation squared of the GNSS updates, inside their 99 % bands.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "Zkf6TestTuning.h"

using namespace zkf6test;

namespace {

constexpr int kRuns = 20;

// Innovation and its covariance of each GNSS update, from the filter's own P at that moment.
class InnovationObserver : public zelto::Zkf6StepObserver {
 public:
  explicit InnovationObserver(const zelto::Zkf6Filter& f) : m_filter(f) {}
  double nisPosition = 0, nisVelocity = 0;
  int positions = 0, velocities = 0;
  bool record = false;
  void initialized(const zelto::Vector&, const zelto::Matrix&) override {}
  void stateWritten(const zelto::Vector&) override {}
  void predicted(const zelto::Matrix&, const zelto::Matrix&, const zelto::Vector&) override {}
  void corrected(const zelto::Matrix&, ZtSize, bool) override {}
  void positionFolded() override {}
  void measurementUpdate(const zelto::Vector& z, const zelto::Matrix& H, const zelto::Matrix& Rs) override {
    if (!record || z.size != 3) return;
    const bool position = H(0, 0) == 1.0, velocity = H(0, 3) == 1.0 && H(2, 5) == 1.0 && H(0, 12) == 0.0;
    if (!position && !velocity) return;
    const zelto::Zkf6State& s = m_filter.state();
    Eigen::Matrix<double, 15, 15> L;
    Eigen::Matrix<double, 15, 1> x;
    Eigen::Matrix<double, 3, 15> h;
    for (int r = 0; r < 15; ++r) {
      x[r] = s.x[r];
      for (int c = 0; c < 15; ++c) L(r, c) = s.sQx(r, c);
    }
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 15; ++c) h(r, c) = H(r, c);
    Eigen::Vector3d nu;
    Eigen::Matrix3d R = Eigen::Matrix3d::Zero();
    for (int r = 0; r < 3; ++r) {
      nu[r] = z[r];
      R(r, r) = Rs(r, r) * Rs(r, r);
    }
    nu -= h * x;
    const Eigen::Matrix3d S = h * L * L.transpose() * h.transpose() + R;
    const double nis = nu.dot(S.ldlt().solve(nu));
    if (position) {
      nisPosition += nis;
      ++positions;
    } else {
      nisVelocity += nis;
      ++velocities;
    }
  }

 private:
  const zelto::Zkf6Filter& m_filter;
};

double nees(const Eigen::Matrix<double, 15, 1>& e, const Eigen::Matrix<double, 15, 15>& P, int first) {
  const Eigen::Vector3d v = e.segment<3>(first);
  const Eigen::Matrix3d B = P.block<3, 3>(first, first);
  return v.dot(B.ldlt().solve(v));
}

}  // namespace

TEST(Zkf6Consistency, NeesAndNisInsideTheirBands) {
  const double checkpoints[] = {25.0, 45.0, 60.0};
  const int blocks[] = {0, 3, 9, 12};
  const char* names[] = {"position", "velocity", "gyroscope bias", "orientation"};
  double sums[3][4] = {};
  double nisP = 0, nisV = 0;
  int countP = 0, countV = 0;
  for (int run = 0; run < kRuns; ++run) {
    Drive d;
    d.seed = 100 + run;
    d.truthRate = 200.0;
    filtersim::VehicleRoute r(0.3 * run);
    r.stop(10).accelerate(5, 2.0).turn(10, M_PI / 20).cruise(10).turn(10, -M_PI / 20).accelerate(5, 1.0).cruise(10.1);
    d.segments = r.segments();
    d.initialAttitude = r.initialAttitude();
    d.declinationErrorDeg = 2.0;  // the initial heading is off by that much; no magnetometer updates
    d.scenario.updateSwitches = zelto::Zkf6ScenarioParams::kGpsUpdate;
    NavigationRig rig(d);
    InnovationObserver obs(rig.filter());
    rig.filter().setStepObserver(&obs);
    size_t next = 0;
    while (rig.step()) {
      ASSERT_TRUE(rig.ok());
      obs.record = rig.sample().t > 20.0;
      if (next < 3 && rig.sample().t + 1e-9 >= checkpoints[next]) {
        const auto e = rig.stateError();
        const auto P = rig.covariance();
        for (int b = 0; b < 4; ++b) sums[next][b] += nees(e, P, blocks[b]);
        ++next;
      }
    }
    ASSERT_EQ(next, 3u);
    nisP += obs.nisPosition;
    nisV += obs.nisVelocity;
    countP += obs.positions;
    countV += obs.velocities;
  }
  double low = 0, high = 0;
  filtersim::chiSquareMeanBand(3, kRuns, 0.01, low, high);
  for (int k = 0; k < 3; ++k)
    for (int b = 0; b < 4; ++b) {
      const double mean = sums[k][b] / kRuns;
      RecordProperty(std::string("nees_") + std::to_string(static_cast<int>(checkpoints[k])) + "_" + std::to_string(b),
                     std::to_string(mean));
      EXPECT_GT(mean, low) << names[b] << " at " << checkpoints[k];
      EXPECT_LT(mean, high) << names[b] << " at " << checkpoints[k];
    }
  double lowP = 0, highP = 0, lowV = 0, highV = 0;
  filtersim::chiSquareMeanBand(3, countP, 0.01, lowP, highP);
  filtersim::chiSquareMeanBand(3, countV, 0.01, lowV, highV);
  RecordProperty("nis_position", std::to_string(nisP / countP));
  RecordProperty("nis_velocity", std::to_string(nisV / countV));
  EXPECT_GT(nisP / countP, lowP);
  EXPECT_LT(nisP / countP, highP);
  EXPECT_GT(nisV / countV, lowV);
  EXPECT_LT(nisV / countV, highV);
}
