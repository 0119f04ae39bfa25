// The Zkf3 time update where it leaves the well-travelled path: a shaken sensor with the
// magnetometer update off (the bias about the vertical is not observable then), the damping of
// the orientation error about the global vertical on a tilted sensor, and a gyroscope sample
// beyond its range.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numeric>
#include <string>
#include <vector>

#include "Zkf3TestTuning.h"
#include "filtersim/FilterMetrics.h"
#include "filtersim/NormalSource.h"

using namespace zkf3test;
using filtersim::Segment;
using filtersim::Vec3;

namespace {

constexpr double kZkf3TimeUpdateDeg = M_PI / 180.0;
constexpr int kSeeds = 20;

Eigen::MatrixXd covariance(const zelto::Zkf3State& s) {
  Eigen::MatrixXd S(12, 12);
  for (int r = 0; r < 12; ++r)
    for (int c = 0; c < 12; ++c) S(r, c) = s.sQx(r, c);
  return S * S.transpose();
}

double meanOf(const std::vector<double>& v) {
  double sum = 0.0;
  for (double x : v) sum += x;
  return v.empty() ? 0.0 : sum / static_cast<double>(v.size());
}

// What one run of the shaken sensor shows about the heading and the bias about the vertical
// (the sensor's z axis: it stays level).
struct ShakeRun {
  double worstVerticalBiasMove = 0.0;   // |estimate - start|, rad/s
  double worstHeadingExcess = 0.0;      // heading drift beyond |true vertical bias| t, rad
  double worstLateHeadingError = 0.0;   // |heading error| after the first 30 s, rad
  double finalVerticalBiasError = 0.0;  // |estimate - truth| at the end, rad/s
  std::vector<double> biasNees, headingNees;  // one degree of freedom each, at the checkpoints
};

// A level sensor that never rotates: 10 s at rest, then shaken horizontally at 5 m/s^2 (1.3 Hz
// north, 0.9 Hz west) for 60 s. The gyroscope bias is drawn from the filter's own prior.
ShakeRun shakenLevelSensor(uint16_t updateFlags, uint64_t seed) {
  static const double kCheckpoints[] = {30.0, 50.0, 70.0};
  filtersim::SimulatorConfig c = simConfig(Noise(), 7000 + seed);
  c.truthRate = 100.0;  // one truth step per sample: the sensor does not rotate
  zelto::Zkf3ScenarioParams s = scenario();
  s.updateFlags = updateFlags;
  filtersim::NormalSource prior(seed);
  const double biasSd = s.initialConditions.sd_init_gyrBias;
  c.gyr.bias = Vec3(biasSd * prior.normal(), biasSd * prior.normal(), biasSd * prior.normal());
  c.initialAttitude = filtersim::Quat(Eigen::AngleAxisd(0.3 * static_cast<double>(seed), Vec3::UnitZ()));
  filtersim::MotionSimulator sim(c, {Segment::still(10.0), Segment::shake(60.0, Vec3(5.0, 5.0, 0.0), Vec3(1.3, 0.9, 0.0))});
  zelto::Zkf3Filter f(params(s).release());
  zelto::Zkf3SensorData sd;
  zelto::Zkf3Aiding ad;
  zelto::Zkf3RealTimeParameters rt;
  zelto::Zkf3FilterOutput out;
  filtersim::Sample sample;
  ShakeRun run;
  bool first = true;
  double heading0 = 0.0, t0 = 0.0, bias0 = 0.0;
  size_t next = 0;
  while (sim.next(sample)) {
    toRecords(sample, sd, ad);
    EXPECT_TRUE(f.doOneKalmanStep(sd, ad, rt, out));
    const zelto::Zkf3State& st = f.state();
    const double bias = st.x[5];
    const double heading = filtersim::headingError(toEigen(out.q_gs), sample.q);
    if (first) {
      heading0 = heading;
      t0 = sample.t;
      bias0 = bias;
      first = false;
      continue;
    }
    run.worstVerticalBiasMove = std::max(run.worstVerticalBiasMove, std::fabs(bias - bias0));
    double drift = std::fabs(heading - heading0);
    drift = std::min(drift, 2.0 * M_PI - drift);
    run.worstHeadingExcess = std::max(run.worstHeadingExcess, drift - std::fabs(sample.gyrBias[2]) * (sample.t - t0));
    if (sample.t >= 30.0) run.worstLateHeadingError = std::max(run.worstLateHeadingError, std::fabs(heading));
    run.finalVerticalBiasError = std::fabs(bias - sample.gyrBias[2]);
    if (next < std::size(kCheckpoints) && sample.t + 1e-9 >= kCheckpoints[next]) {
      // The orientation error about the sensor's z axis, the frame of x[9..11].
      const Eigen::Quaterniond e = sample.q.conjugate() * toEigen(out.q_gs);
      const Eigen::AngleAxisd aa(e.w() < 0 ? Eigen::Quaterniond(-e.coeffs()) : e);
      const double psi = (aa.axis() * aa.angle())[2];
      const Eigen::MatrixXd P = covariance(st);
      const double b = bias - sample.gyrBias[2];
      run.biasNees.push_back(b * b / P(5, 5));
      run.headingNees.push_back(psi * psi / P(11, 11));
      ++next;
    }
  }
  EXPECT_EQ(next, std::size(kCheckpoints));
  return run;
}

struct ShakeSummary {
  double worstVerticalBiasMove = 0.0, worstHeadingExcess = 0.0, worstLateHeadingError = 0.0,
         worstFinalVerticalBiasError = 0.0;
  std::vector<double> meanBiasNees, meanHeadingNees;
};

ShakeSummary shakeOverSeeds(uint16_t updateFlags) {
  ShakeSummary sum;
  std::vector<std::vector<double>> biasNees, headingNees;
  for (int seed = 0; seed < kSeeds; ++seed) {
    const ShakeRun r = shakenLevelSensor(updateFlags, static_cast<uint64_t>(seed));
    sum.worstVerticalBiasMove = std::max(sum.worstVerticalBiasMove, r.worstVerticalBiasMove);
    sum.worstHeadingExcess = std::max(sum.worstHeadingExcess, r.worstHeadingExcess);
    sum.worstLateHeadingError = std::max(sum.worstLateHeadingError, r.worstLateHeadingError);
    sum.worstFinalVerticalBiasError = std::max(sum.worstFinalVerticalBiasError, r.finalVerticalBiasError);
    biasNees.resize(r.biasNees.size());
    headingNees.resize(r.headingNees.size());
    for (size_t k = 0; k < r.biasNees.size(); ++k) biasNees[k].push_back(r.biasNees[k]);
    for (size_t k = 0; k < r.headingNees.size(); ++k) headingNees[k].push_back(r.headingNees[k]);
  }
  for (const auto& v : biasNees) sum.meanBiasNees.push_back(meanOf(v));
  for (const auto& v : headingNees) sum.meanHeadingNees.push_back(meanOf(v));
  auto record = [](const std::string& key, double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.4g", value);
    ::testing::Test::RecordProperty(key, text);
  };
  record("worst_vertical_bias_move_deg_s", sum.worstVerticalBiasMove / kZkf3TimeUpdateDeg);
  record("worst_heading_excess_deg", sum.worstHeadingExcess / kZkf3TimeUpdateDeg);
  record("worst_late_heading_error_deg", sum.worstLateHeadingError / kZkf3TimeUpdateDeg);
  record("worst_final_vertical_bias_error_deg_s", sum.worstFinalVerticalBiasError / kZkf3TimeUpdateDeg);
  for (size_t k = 0; k < sum.meanBiasNees.size(); ++k) {
    record("mean_nees_vertical_bias_" + std::to_string(k), sum.meanBiasNees[k]);
    record("mean_nees_heading_" + std::to_string(k), sum.meanHeadingNees[k]);
  }
  return sum;
}

}  // namespace

// Without heading aiding the bias about the vertical cannot be observed: the acceleration
// update must neither move it nor shrink its variance, so the heading drifts by the true bias
// alone and the filter's deviations of both stay consistent with their errors (mean NEES over
// 20 runs inside the two-sided 99 % band of one degree of freedom).
TEST(Zkf3TimeUpdate, ShakenLevelSensorWithoutMagnetometerKeepsTheVerticalBias) {
  const ShakeSummary s = shakeOverSeeds(zelto::Zkf3ScenarioParams::kAccUpdateFlag);
  EXPECT_LT(s.worstVerticalBiasMove, 0.05 * kZkf3TimeUpdateDeg);
  // Angle random walk of the gyroscope noise over 70 s is about 0.25 degrees (1 sigma).
  EXPECT_LT(s.worstHeadingExcess, 1.0 * kZkf3TimeUpdateDeg);
  double low = 0.0, high = 0.0;
  filtersim::chiSquareMeanBand(1, kSeeds, 0.01, low, high);
  ASSERT_EQ(s.meanBiasNees.size(), 3u);
  for (size_t k = 0; k < s.meanBiasNees.size(); ++k) {
    EXPECT_GT(s.meanBiasNees[k], low) << k;
    EXPECT_LT(s.meanBiasNees[k], high) << k;
    EXPECT_GT(s.meanHeadingNees[k], low) << k;
    EXPECT_LT(s.meanHeadingNees[k], high) << k;
  }
}

// The same runs with the magnetometer on, whose behaviour the mend leaves as it was (worst of 20
// runs then: 0.73 degrees of heading after 30 s, 0.023 degrees/s of vertical bias at the end).
TEST(Zkf3TimeUpdate, ShakenLevelSensorWithMagnetometer) {
  const ShakeSummary s =
      shakeOverSeeds(zelto::Zkf3ScenarioParams::kAccUpdateFlag | zelto::Zkf3ScenarioParams::kMagUpdateFlag);
  EXPECT_LT(s.worstLateHeadingError, 1.0 * kZkf3TimeUpdateDeg);
  EXPECT_LT(s.worstFinalVerticalBiasError, 0.05 * kZkf3TimeUpdateDeg);
}

namespace {

// What one run of the rocking sensor shows during its shaking (from 30 s on).
struct RockingRun {
  double worstBiasSigmas = 0.0;  // |horizontal bias error| over the filter's own deviation
  double worstBiasError = 0.0;   // rad/s
  double worstTilt = 0.0;        // rad
  std::vector<double> nees;      // tilt (2) and gyroscope bias (3), at the checkpoints
};

// 30 s at rest, then 60 s shaken horizontally at 5 m/s^2 (1.3 Hz north, 0.9 Hz west) while the
// sensor rolls +-8 degrees about its x axis at 0.9 Hz: with x pointing north the roll tilts the
// y axis in step with the west acceleration, which then looks like tilt to the accelerometer.
// The gyroscope bias is drawn from the filter's own prior.
RockingRun rockingShake(uint16_t updateFlags, uint64_t seed) {
  static const double kCheckpoints[] = {40.0, 50.0, 60.0, 70.0, 80.0, 90.0};
  filtersim::SimulatorConfig c = simConfig(Noise(), 9000 + seed);
  c.truthRate = 100.0;  // one truth step per sample, the rocking rate held over it
  zelto::Zkf3ScenarioParams s = scenario();
  s.updateFlags = updateFlags;
  filtersim::NormalSource prior(100 + seed);
  const double biasSd = s.initialConditions.sd_init_gyrBias;
  c.gyr.bias = Vec3(biasSd * prior.normal(), biasSd * prior.normal(), biasSd * prior.normal());
  filtersim::MotionSimulator sim(c, {Segment::still(30.0),
                                     Segment::shakeRocking(60.0, Vec3(5.0, 5.0, 0.0), Vec3(1.3, 0.9, 0.0),
                                                           Vec3::UnitX(), 8.0 * kZkf3TimeUpdateDeg, 0.9)});
  zelto::Zkf3Filter f(params(s).release());
  zelto::Zkf3SensorData sd;
  zelto::Zkf3Aiding ad;
  zelto::Zkf3RealTimeParameters rt;
  zelto::Zkf3FilterOutput out;
  filtersim::Sample sample;
  RockingRun run;
  size_t next = 0;
  while (sim.next(sample)) {
    toRecords(sample, sd, ad);
    EXPECT_TRUE(f.doOneKalmanStep(sd, ad, rt, out));
    if (sample.t < 30.0) continue;
    const zelto::Zkf3State& st = f.state();
    for (int i = 0; i < 2; ++i) {
      double var = 0.0;
      for (int j = 0; j < 12; ++j) var += st.sQx(3 + i, j) * st.sQx(3 + i, j);
      const double e = std::fabs(st.x[3 + i] - sample.gyrBias[i]);
      run.worstBiasError = std::max(run.worstBiasError, e);
      run.worstBiasSigmas = std::max(run.worstBiasSigmas, e / std::sqrt(var));
    }
    run.worstTilt = std::max(run.worstTilt, filtersim::tiltError(toEigen(out.q_gs), sample.q));
    if (next < std::size(kCheckpoints) && sample.t + 1e-9 >= kCheckpoints[next]) {
      // x[9..11] estimates the rotation d (sensor frame) with estimate = truth * exp(d), so the
      // estimate's error is -d; the tilt is its north and west part, R (-d).
      const Eigen::Matrix3d R = toEigen(out.q_gs).toRotationMatrix();
      const Eigen::Quaterniond e = sample.q.conjugate() * toEigen(out.q_gs);
      const Eigen::AngleAxisd aa(e.w() < 0 ? Eigen::Quaterniond(-e.coeffs()) : e);
      const Eigen::Vector3d tilt = -(R * (aa.axis() * aa.angle()));
      Eigen::VectorXd err(5);
      err << tilt.x(), tilt.y(), st.x[3] - sample.gyrBias[0], st.x[4] - sample.gyrBias[1], st.x[5] - sample.gyrBias[2];
      const Eigen::MatrixXd P = covariance(st);
      Eigen::MatrixXd J = Eigen::MatrixXd::Zero(5, 12);
      J.block(0, 9, 2, 3) = R.topRows(2);
      J.block(2, 3, 3, 3) = Eigen::Matrix3d::Identity();
      run.nees.push_back(filtersim::nees(err, J * P * J.transpose()));
      ++next;
    }
  }
  EXPECT_EQ(next, std::size(kCheckpoints));
  return run;
}

}  // namespace

// The acceleration update must not read the shaking as tilt. With the magnetometer off the
// horizontal bias stays within 5 of its deviations and 0.1 degrees/s, the tilt within 1.25
// degrees, and the NEES of tilt and bias (5 degrees of freedom, mean of 20 runs) inside the
// two-sided 99 % band (3.5 to 5.4 at the checkpoints). Before the update's deviation followed
// the specific force these runs gave 13.2 deviations (0.28 degrees/s), 1.6 degrees and mean NEES
// 26 to 61. With the magnetometer on the update keeps its model's noise (its widening tilted real
// recordings; AccelerationNoiseWidensOnlyWithoutTheMagnetometer) and gives 5.4 deviations (0.10
// degrees/s) and 1.4 degrees here.
TEST(Zkf3TimeUpdate, RockingShakenSensorIsNotTiltedByTheAcceleration) {
  RockingRun worst;
  std::vector<double> meanNees;
  for (int seed = 0; seed < kSeeds; ++seed) {
    const RockingRun r = rockingShake(zelto::Zkf3ScenarioParams::kAccUpdateFlag, static_cast<uint64_t>(seed));
    worst.worstBiasSigmas = std::max(worst.worstBiasSigmas, r.worstBiasSigmas);
    worst.worstBiasError = std::max(worst.worstBiasError, r.worstBiasError);
    worst.worstTilt = std::max(worst.worstTilt, r.worstTilt);
    meanNees.resize(r.nees.size(), 0.0);
    for (size_t k = 0; k < r.nees.size(); ++k) meanNees[k] += r.nees[k] / kSeeds;
  }
  auto record = [](const std::string& key, double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.4g", value);
    ::testing::Test::RecordProperty(key, text);
  };
  record("worst_bias_sigmas", worst.worstBiasSigmas);
  record("worst_bias_error_deg_s", worst.worstBiasError / kZkf3TimeUpdateDeg);
  record("worst_tilt_deg", worst.worstTilt / kZkf3TimeUpdateDeg);
  for (size_t k = 0; k < meanNees.size(); ++k) record("mean_nees_" + std::to_string(k), meanNees[k]);
  EXPECT_LT(worst.worstBiasSigmas, 5.0);
  EXPECT_LT(worst.worstBiasError, 0.1 * kZkf3TimeUpdateDeg);
  EXPECT_LT(worst.worstTilt, 1.25 * kZkf3TimeUpdateDeg);
  // The six checkpoints' means averaged: a mean over more (correlated) values than the band's
  // 20, so the band is, if anything, wide for it.
  ASSERT_EQ(meanNees.size(), 6u);
  const double overall = std::accumulate(meanNees.begin(), meanNees.end(), 0.0) / 6.0;
  double low = 0.0, high = 0.0;
  filtersim::chiSquareMeanBand(5, kSeeds, 0.01, low, high);
  EXPECT_GT(overall, low);
  EXPECT_LT(overall, high);
}

namespace {

// The largest ratio, over the acceleration updates of a run and the three axes, of the noise
// variance the update used to its model's, Qw_acclowpass + f_dynamic_acc (|acc| + g_z)^2.
class AccelerationNoiseObserver : public zelto::Zkf3StepObserver {
 public:
  AccelerationNoiseObserver(const zelto::Zkf3Filter& f, const zelto::Zkf3Params& p) : m_filter(f), m_params(p) {}
  double accNorm = 0.0;  // |acc| of the step about to run
  double worstRatio = 0.0;
  int updates = 0;

  void predicted(const zelto::Matrix&, const zelto::Matrix&, const zelto::Vector&) override {}
  void corrected(const zelto::Matrix&, ZtSize, bool) override {}
  void measurementUpdate(const zelto::Vector&, const zelto::Matrix& H, const zelto::Matrix& Rd) override {
    if (H(0, 0) != 1.0) return;  // not the acceleration update
    const double g = accNorm + m_filter.state().dynGravity[2];
    for (ZtSize i = 0; i < 3; ++i) {
      const double model = m_params.Qw_acclowpass(i, i) + m_params.f_dynamic_acc * g * g;
      worstRatio = std::max(worstRatio, Rd(i, i) * Rd(i, i) / model);
    }
    ++updates;
  }

 private:
  const zelto::Zkf3Filter& m_filter;
  const zelto::Zkf3Params& m_params;
};

}  // namespace

// Shaken at 5 m/s^2 for 20 s, the acceleration update widens its noise only where no
// magnetometer update runs: with one, a widened update left the tilt to the magnetometer's, and
// on real recordings of hand motion the field's residue tilted the estimate by degrees (tens
// near a magnet). With the magnetometer the update's variance is its model's to rounding.
TEST(Zkf3TimeUpdate, AccelerationNoiseWidensOnlyWithoutTheMagnetometer) {
  const struct {
    uint16_t flags;
    bool widens;
  } cases[] = {{zelto::Zkf3ScenarioParams::kAccUpdateFlag | zelto::Zkf3ScenarioParams::kMagUpdateFlag, false},
               {zelto::Zkf3ScenarioParams::kAccUpdateFlag, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.flags);
    zelto::Zkf3ScenarioParams s = scenario();
    s.updateFlags = c.flags;
    filtersim::SimulatorConfig config = simConfig(Noise(), 31);
    config.truthRate = 100.0;  // no rotation: one truth step per sample is exact
    filtersim::MotionSimulator sim(config, {Segment::still(10.0), Segment::shake(20.0, Vec3(5.0, 5.0, 0.0), Vec3(1.3, 0.9, 0.0))});
    auto owned = params(s);
    const zelto::Zkf3Params& p = *owned;
    zelto::Zkf3Filter f(owned.release());
    AccelerationNoiseObserver observer(f, p);
    f.setStepObserver(&observer);
    zelto::Zkf3SensorData sd;
    zelto::Zkf3Aiding ad;
    zelto::Zkf3RealTimeParameters rt;
    zelto::Zkf3FilterOutput out;
    filtersim::Sample sample;
    while (sim.next(sample)) {
      toRecords(sample, sd, ad);
      observer.accNorm = sample.acc.norm();
      ASSERT_TRUE(f.doOneKalmanStep(sd, ad, rt, out));
    }
    EXPECT_GT(observer.updates, 1000);
    if (c.widens)
      EXPECT_GT(observer.worstRatio, 10.0);
    else
      EXPECT_NEAR(observer.worstRatio, 1.0, 1e-12);
  }
}

// A slow translation, 1 m/s^2 at 0.1 Hz north (0.075 Hz west, 0.3 m/s^2 at 0.13 Hz up) for 150 s
// on a tilted sensor without magnetometer: the band-pass of the specific force sees such motion
// only in part, and a widening that came and went with it would let the update read the
// acceleration as tilt with the gain the pause had built up. The horizontal bias estimates stay
// within 0.8 degrees/s of the truth and the one about the vertical, which the update keeps,
// within 0.4 degrees/s of where it was (worst of 5 runs: 0.59 and 0.24; before the widening 3.4
// and 3.1; widened without the hold 1.3 and 0.58).
TEST(Zkf3TimeUpdate, SlowlyTranslatedSensorKeepsItsGyroscopeBias) {
  double worstHorizontal = 0.0, worstVerticalMove = 0.0;
  for (uint64_t seed = 0; seed < 5; ++seed) {
    filtersim::SimulatorConfig c = simConfig(Noise(), 500 + seed);
    c.truthRate = 100.0;  // no rotation: one truth step per sample is exact
    zelto::Zkf3ScenarioParams s = scenario();
    s.updateFlags = zelto::Zkf3ScenarioParams::kAccUpdateFlag;
    filtersim::NormalSource prior(seed);
    const double biasSd = s.initialConditions.sd_init_gyrBias;
    c.gyr.bias = Vec3(biasSd * prior.normal(), biasSd * prior.normal(), biasSd * prior.normal());
    c.initialAttitude = filtersim::Quat(Eigen::AngleAxisd(0.2, Vec3(1, 0.3, 0).normalized()));
    filtersim::MotionSimulator sim(c, {Segment::still(30.0), Segment::shake(150.0, Vec3(1.0, 1.0, 0.3), Vec3(0.1, 0.075, 0.13))});
    zelto::Zkf3Filter f(params(s).release());
    zelto::Zkf3SensorData sd;
    zelto::Zkf3Aiding ad;
    zelto::Zkf3RealTimeParameters rt;
    zelto::Zkf3FilterOutput out;
    filtersim::Sample sample;
    double vertical0 = 0.0;
    while (sim.next(sample)) {
      toRecords(sample, sd, ad);
      ASSERT_TRUE(f.doOneKalmanStep(sd, ad, rt, out));
      const zelto::Zkf3State& st = f.state();
      if (sample.t < 30.0) {
        vertical0 = st.x[5];
        continue;
      }
      for (int i = 0; i < 2; ++i)
        worstHorizontal = std::max(worstHorizontal, std::fabs(st.x[3 + i] - sample.gyrBias[i]));
      worstVerticalMove = std::max(worstVerticalMove, std::fabs(st.x[5] - vertical0));
    }
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.4g", worstHorizontal / kZkf3TimeUpdateDeg);
  RecordProperty("worst_horizontal_bias_error_deg_s", text);
  std::snprintf(text, sizeof text, "%.4g", worstVerticalMove / kZkf3TimeUpdateDeg);
  RecordProperty("worst_vertical_bias_move_deg_s", text);
  EXPECT_LT(worstHorizontal, 0.8 * kZkf3TimeUpdateDeg);
  EXPECT_LT(worstVerticalMove, 0.4 * kZkf3TimeUpdateDeg);
}

namespace {

// Noise-free records of a sensor at rest with orientation q (sensor to global).
void atRest(const Eigen::Quaterniond& q, zelto::Zkf3SensorData& sd, zelto::Zkf3Aiding& ad) {
  const Eigen::Vector3d acc = q.conjugate() * Vec3(0.0, 0.0, kGravity);
  const Eigen::Vector3d mag = q.conjugate() * Vec3(std::cos(1.0), 0.0, -std::sin(1.0));
  for (int i = 0; i < 3; ++i) {
    sd.inertial.acc[i] = acc[i];
    sd.inertial.gyr[i] = 0.0;
    ad.mag[i] = mag[i];
  }
}

}  // namespace

// Without heading aiding the orientation error is damped by 0.9999 per step about the global
// vertical. The error lives in the sensor frame, where that axis is R^T e_z; on a sensor tilted
// by 40 degrees the axis R e_z is 80 degrees away from it. From a unit covariance one time
// update gives P' = M M^T + T^2 M M^T (the bias block feeds the error) + the small gyroscope
// noise, so the variance along R^T e_z falls by 2e-4 relative to the horizontal.
TEST(Zkf3TimeUpdate, DampingIsAboutTheGlobalVerticalOnATiltedSensor) {
  zelto::Zkf3ScenarioParams s = scenario();
  s.updateFlags = zelto::Zkf3ScenarioParams::kAccUpdateFlag;
  zelto::Zkf3Filter f(params(s).release());
  const Eigen::Quaterniond q(Eigen::AngleAxisd(40.0 * kZkf3TimeUpdateDeg, Vec3::UnitX()) * Eigen::AngleAxisd(0.7, Vec3::UnitZ()));
  zelto::Zkf3SensorData sd;
  zelto::Zkf3Aiding ad;
  zelto::Zkf3RealTimeParameters rt;
  zelto::Zkf3FilterOutput out;
  atRest(q, sd, ad);
  ASSERT_TRUE(f.doOneKalmanStep(sd, ad, rt, out));
  zelto::Zkf3State st;
  f.getFullState(&st);
  st.sQx.isIdentity();
  st.sx = st.x;
  ASSERT_TRUE(f.setFullStateChecked(&st));
  const Eigen::Matrix3d R = toEigen(f.state().q_gs).toRotationMatrix();
  ASSERT_LT(filtersim::tiltError(toEigen(f.state().q_gs), q), 0.01 * kZkf3TimeUpdateDeg);
  f.predict();
  const Eigen::Matrix3d P = covariance(f.state()).block(9, 9, 3, 3);
  const Eigen::Vector3d up = R.transpose() * Vec3::UnitZ();
  const Eigen::Vector3d h1 = up.unitOrthogonal(), h2 = up.cross(h1);
  const double horizontal = h1.dot(P * h1);
  EXPECT_NEAR(h2.dot(P * h2), horizontal, 1e-8);
  EXPECT_NEAR(up.dot(P * up) / horizontal, 0.9999 * 0.9999, 1e-8);
  // Damped components do not mix with the others.
  EXPECT_NEAR(up.dot(P * h1), 0.0, 1e-8);
  EXPECT_NEAR(up.dot(P * h2), 0.0, 1e-8);
}

// A gyroscope sample beyond the range costs the orientation about that axis what the rate
// could have turned it by in one step, f_gyr_oor x range x T (2.1 rad with this tuning, not
// the 210 rad of a rate taken as an angle); the other axes keep their deviation and the output
// is not valid for the hold time.
TEST(Zkf3TimeUpdate, OneClippedGyroscopeSampleCostsABoundedLossOfCertainty) {
  const zelto::Zkf3ScenarioParams s = scenario();
  auto owned = params(s);
  const double range = owned->gyroscope_range, T = owned->sampleTime;
  const double boost = s.f_gyr_oor * range * T;
  const uint16_t hold = owned->okAgeInit;
  zelto::Zkf3Filter f(owned.release());
  const Eigen::Quaterniond q(Eigen::AngleAxisd(0.3, Vec3(1, 2, 3).normalized()));
  zelto::Zkf3SensorData sd;
  zelto::Zkf3Aiding ad;
  zelto::Zkf3RealTimeParameters rt;
  zelto::Zkf3FilterOutput out;
  atRest(q, sd, ad);
  for (int k = 0; k < 300; ++k) ASSERT_TRUE(f.doOneKalmanStep(sd, ad, rt, out));
  ASSERT_TRUE(out.valid);
  const Eigen::Vector3d before = covariance(f.state()).block(9, 9, 3, 3).diagonal();

  // One time update alone, with the x axis beyond the range.
  auto* steps = static_cast<zelto::Zkf3Params*>(f.getFilterParameters())->zkf3Steps();
  ASSERT_NE(steps, nullptr);
  steps->defaultSchedule = false;
  steps->predict = true;
  zelto::Zkf3SensorData clipped = sd;
  clipped.inertial.gyr[0] = 1.05 * range;
  ASSERT_TRUE(f.doOneKalmanStep(clipped, ad, rt, out));
  const Eigen::Vector3d after = covariance(f.state()).block(9, 9, 3, 3).diagonal();
  EXPECT_NEAR(after[0] - before[0], boost * boost, 1e-3 * boost * boost);
  EXPECT_LT(after[0], M_PI * M_PI);
  // The 0.22 rad the step turns about x mixes the other two; their sum stays.
  EXPECT_NEAR(after[1] + after[2], before[1] + before[2], 0.01 * (before[1] + before[2]));
  EXPECT_EQ(f.countdown(), hold - 1);
  EXPECT_FALSE(out.valid);

  // The next steps carry on from there: the deviation comes down with the updates.
  steps->predict = false;
  steps->defaultSchedule = true;
  for (int k = 0; k < 100; ++k) ASSERT_TRUE(f.doOneKalmanStep(sd, ad, rt, out));
  const Eigen::Vector3d later = covariance(f.state()).block(9, 9, 3, 3).diagonal();
  EXPECT_TRUE(later.allFinite());
  EXPECT_LT(later.maxCoeff(), 0.01 * boost * boost);
}
