// Zkf3 filter on simulated motion: the first output, levelling and heading at rest, rotation,
// predict-only integration, magnetic disturbance, bias estimation at rest, validity countdown,
// the update schedule, free acceleration and the refusals of unusable input.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <vector>

#include "Zkf3TestTuning.h"
#include "filtersim/FilterMetrics.h"

using namespace zkf3test;
using filtersim::Quat;
using filtersim::Segment;
using filtersim::Vec3;

namespace {

constexpr double kZkf3FilterDeg = M_PI / 180.0;

struct StepRecord {
  filtersim::Sample sample;
  zelto::Zkf3FilterOutput out;
  bool ok = false;
};

// Runs the filter over the whole trajectory; each step is handed to the visitor.
void run(zelto::Zkf3Filter& f, filtersim::MotionSimulator& sim,
         const std::function<void(const StepRecord&, const zelto::Zkf3Filter&)>& visit,
         const std::function<uint16_t(const filtersim::Sample&)>& request = nullptr) {
  zelto::Zkf3SensorData sd;
  zelto::Zkf3Aiding ad;
  zelto::Zkf3RealTimeParameters rt;
  StepRecord r;
  while (sim.next(r.sample)) {
    toRecords(r.sample, sd, ad);
    rt.noRotationDuration = request ? request(r.sample) : 0;
    r.ok = f.doOneKalmanStep(sd, ad, rt, r.out);
    visit(r, f);
  }
}

Quat attitude(double rollDeg, double pitchDeg, double yawDeg) {
  return Quat(Eigen::AngleAxisd(yawDeg * kZkf3FilterDeg, Vec3::UnitZ()) * Eigen::AngleAxisd(pitchDeg * kZkf3FilterDeg, Vec3::UnitY()) *
              Eigen::AngleAxisd(rollDeg * kZkf3FilterDeg, Vec3::UnitX()));
}

struct Attitude {
  double roll, pitch, yaw;
};

const Attitude kAttitudes[] = {{0, 0, 0},     {80, 0, 45},    {-80, 10, 135}, {30, -60, -135}, {-45, 80, -45},
                               {10, -80, 170}, {170, 20, 100}, {-120, -30, -80}, {60, 45, 10},  {0, 0, -179}};

}  // namespace

TEST(Zkf3Filter, FirstOutputIsTheMeasuredOrientationAndValid) {
  for (const Attitude& a : kAttitudes) {
    SCOPED_TRACE(::testing::Message() << a.roll << " " << a.pitch << " " << a.yaw);
    filtersim::SimulatorConfig c = simConfig(Noise{0, 0, 0});
    c.earthRate = false;
    c.initialAttitude = attitude(a.roll, a.pitch, a.yaw);
    filtersim::MotionSimulator sim(c, {Segment::still(0.02)});
    zelto::Zkf3Filter f(params().release());
    EXPECT_FALSE(f.isInitialized());
    int steps = 0;
    run(f, sim, [&](const StepRecord& r, const zelto::Zkf3Filter&) {
      if (steps++ != 0) return;
      ASSERT_TRUE(r.ok);
      EXPECT_TRUE(r.out.valid);
      EXPECT_LT(filtersim::attitudeError(toEigen(r.out.q_gs), r.sample.q), 1e-9);
    });
    EXPECT_TRUE(f.isInitialized());
  }
}

// Levelling and heading at rest with noise: after settling, the RMS tilt error stays below the
// accelerometer noise over gravity and the RMS heading error below the magnetometer noise over
// the horizontal field (one sample's error as an angle: the updates average many), the worst
// sample within twice that.
TEST(Zkf3Filter, StaticLevellingAndHeadingWithNoise) {
  const Noise n;
  const double horizontal = std::cos(1.0);
  const double tiltBound = n.acc / kGravity;
  const double headingBound = n.mag / horizontal;
  uint64_t seed = 11;
  for (const Attitude& a : kAttitudes) {
    SCOPED_TRACE(::testing::Message() << a.roll << " " << a.pitch << " " << a.yaw);
    filtersim::SimulatorConfig c = simConfig(n, seed++);
    c.initialAttitude = attitude(a.roll, a.pitch, a.yaw);
    filtersim::MotionSimulator sim(c, {Segment::still(20.0)});
    zelto::Zkf3Filter f(params().release());
    double worstTilt = 0.0, worstHeading = 0.0, sumTilt2 = 0.0, sumHeading2 = 0.0;
    int count = 0;
    run(f, sim, [&](const StepRecord& r, const zelto::Zkf3Filter&) {
      ASSERT_TRUE(r.ok);
      if (r.sample.t < 10.0) return;
      const double tilt = filtersim::tiltError(toEigen(r.out.q_gs), r.sample.q);
      const double heading = std::fabs(filtersim::headingError(toEigen(r.out.q_gs), r.sample.q));
      worstTilt = std::max(worstTilt, tilt);
      worstHeading = std::max(worstHeading, heading);
      sumTilt2 += tilt * tilt;
      sumHeading2 += heading * heading;
      ++count;
      EXPECT_TRUE(r.out.valid);
    });
    ASSERT_GT(count, 0);
    EXPECT_LT(std::sqrt(sumTilt2 / count), tiltBound);
    EXPECT_LT(std::sqrt(sumHeading2 / count), headingBound);
    EXPECT_LT(worstTilt, 2.0 * tiltBound);
    EXPECT_LT(worstHeading, 2.0 * headingBound);
  }
}

// 90 degrees/s about a tilted axis, a sinusoid about another, then still.
TEST(Zkf3Filter, RotationSequenceKeepsAttitude) {
  filtersim::SimulatorConfig c = simConfig(Noise(), 21);
  c.initialAttitude = attitude(20, -10, 60);
  const Vec3 tilted = Vec3(1, 1, 2).normalized();
  const Vec3 other = Vec3(-1, 2, 0.5).normalized();
  filtersim::MotionSimulator sim(c, {Segment::still(5.0), Segment::rotate(4.0, tilted, 90 * kZkf3FilterDeg),
                                     Segment::sinusoid(6.0, other, 120 * kZkf3FilterDeg, 0.5), Segment::still(10.0)});
  zelto::Zkf3Filter f(params().release());
  double movingSum = 0.0, afterSum = 0.0;
  int movingCount = 0, afterCount = 0;
  run(f, sim, [&](const StepRecord& r, const zelto::Zkf3Filter&) {
    ASSERT_TRUE(r.ok);
    const double e = filtersim::attitudeError(toEigen(r.out.q_gs), r.sample.q);
    if (r.sample.t >= 5.0 && r.sample.t < 15.0) {
      movingSum += e * e;
      ++movingCount;
    } else if (r.sample.t >= 20.0) {
      afterSum += e * e;
      ++afterCount;
    }
  });
  const double movingRms = std::sqrt(movingSum / movingCount), afterRms = std::sqrt(afterSum / afterCount);
  RecordProperty("moving_rms_deg", std::to_string(movingRms / kZkf3FilterDeg));
  RecordProperty("after_rms_deg", std::to_string(afterRms / kZkf3FilterDeg));
  EXPECT_LT(movingRms, 1.0 * kZkf3FilterDeg);
  EXPECT_LT(afterRms, 0.3 * kZkf3FilterDeg);
}

// Only the time update selected: the orientation integrates the gyroscope, each step turning by
// 2 atan(|w| T / 2), and the filter never counts as initialised.
TEST(Zkf3Filter, PredictOnlyIntegratesTheGyroscope) {
  auto p = params();
  zelto::Zkf3FilterSteps steps;
  zelto::LabelList labels;
  labels.append("PREDICT");
  ASSERT_TRUE(steps.enableSteps(labels));
  p->setFilterSteps(steps.duplicate());
  zelto::Zkf3Filter f(p.release());
  zelto::Zkf3SensorData sd;
  zelto::Zkf3Aiding ad;
  zelto::Zkf3RealTimeParameters rt;
  zelto::Zkf3FilterOutput out;
  sd.inertial.acc = zelto::Vector3(0, 0, kGravity);
  ad.mag = zelto::Vector3(1, 0, -1);
  sd.inertial.gyr = zelto::Vector3(0.3, -1.2, 0.9);
  const double w = std::sqrt(0.09 + 1.44 + 0.81);
  const double perStep = 2.0 * std::atan(w * 0.01 / 2.0);
  Eigen::Quaterniond previous = Eigen::Quaterniond::Identity();
  for (int i = 0; i < 50; ++i) {
    ASSERT_TRUE(f.doOneKalmanStep(sd, ad, rt, out));
    const Eigen::Quaterniond q = toEigen(out.q_gs);
    EXPECT_NEAR(q.angularDistance(previous), perStep, 1e-12) << i;
    previous = q;
    EXPECT_FALSE(f.isInitialized());
    EXPECT_TRUE(f.state().firstIteration);
  }
  EXPECT_NEAR(previous.angularDistance(Eigen::Quaterniond::Identity()), 50 * perStep, 1e-9);
}

// Tuning that lets the magnetic reference absorb a disturbance: fast field average and variance
// estimates raise the reference's process noise while the field seen in the global frame jumps,
// and the reference hardly decays towards the average, so the heading stays with the gyroscope.
zelto::Zkf3ScenarioParams disturbanceTuning() {
  zelto::Zkf3ScenarioParams s = scenario();
  s.tau_magavg = 0.2;
  s.tau_magvar = 0.05;
  s.tau_mag_temp = 1.0;
  s.sd_w_mag_temp_max = 30.0;
  s.c_mag_max = 0.001;
  s.deltaGyrBias = 1e-6;
  return s;
}

struct HardIronRun {
  double direct = 0.0;       // heading change of the measured field's direction, rad
  double worstDuring = 0.0;  // rad
  double worstAfter = 0.0;   // 10 s after the offset is gone, rad
  int invalidDuring = 0;
};

// A hard-iron offset of half the field, across the horizontal field, from 10 s to 15 s.
HardIronRun hardIronRun() {
  filtersim::SimulatorConfig c = simConfig(Noise(), 31);
  c.initialAttitude = attitude(0, 0, 30);
  filtersim::MagneticModel::Step step;
  step.when = {10.0, 15.0};
  step.offset = Vec3(0.0, 0.5, 0.0);
  c.mag.hardIron.push_back(step);
  filtersim::MotionSimulator sim(c, {Segment::still(30.0)});
  HardIronRun result;
  result.direct = std::atan(0.5 / std::cos(c.mag.inclination));
  zelto::Zkf3Filter f(params(disturbanceTuning()).release());
  run(f, sim, [&](const StepRecord& r, const zelto::Zkf3Filter&) {
    ASSERT_TRUE(r.ok);
    const double h = std::fabs(filtersim::headingError(toEigen(r.out.q_gs), r.sample.q));
    if (step.when.contains(r.sample.t)) {
      result.worstDuring = std::max(result.worstDuring, h);
      if (!r.out.valid) ++result.invalidDuring;
    } else if (r.sample.t >= 25.0) {
      result.worstAfter = std::max(result.worstAfter, h);
    }
  });
  return result;
}

// While the offset lasts the heading moves by less than half of what the offset does to the
// measured field's direction, and the output is flagged not valid while the innovation is large.
TEST(Zkf3Filter, HardIronStepIsDampedAndFlagged) {
  const HardIronRun r = hardIronRun();
  RecordProperty("worst_during_deg", std::to_string(r.worstDuring / kZkf3FilterDeg));
  EXPECT_LT(r.worstDuring, 0.5 * r.direct);
  EXPECT_GT(r.invalidDuring, 0);
}

// 10 s after the offset is gone the heading is back within the clean bound (twice the
// magnetometer noise over the horizontal field).
TEST(Zkf3Filter, HardIronStepRecoversWithinTenSeconds) {
  const HardIronRun r = hardIronRun();
  RecordProperty("worst_after_deg", std::to_string(r.worstAfter / kZkf3FilterDeg));
  EXPECT_LT(r.worstAfter, 2.0 * Noise().mag / std::cos(1.0));
}
