// The Zkf6 filter on simulated drives (curved earth, 1 Hz GNSS with a 1.5 m lever arm):
// accuracy against the truth, a GNSS outage, the barometer.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

#include "Zkf6TestTuning.h"
#include "foundation/SettingsFile.h"

using namespace zkf6test;

namespace {

struct Stats {
  double sum2[3] = {0, 0, 0};
  double vel2 = 0;
  int n = 0;
  double worstHeadingAfterTurn = 0;
};

TEST(Zkf6Navigation, DriveWithinTheGnssAccuracy) {
  Drive setup;
  setup.declinationErrorDeg = 8.0;  // the magnetometer's heading is off: GNSS motion must fix it
  setup.scenario.updateSwitches = zelto::Zkf6ScenarioParams::kGpsUpdate;
  NavigationRig rig(setup);
  Stats st;
  while (rig.step()) {
    ASSERT_TRUE(rig.ok());
    const double t = rig.sample().t;
    if (t < 30) continue;
    const Vec3 e = rig.positionError();
    for (int i = 0; i < 3; ++i) st.sum2[i] += e[i] * e[i];
    st.vel2 += rig.velocityError().squaredNorm();
    ++st.n;
    if (t > 55) st.worstHeadingAfterTurn = std::max(st.worstHeadingAfterTurn, std::fabs(rig.headingError()));
  }
  const double rmsN = std::sqrt(st.sum2[0] / st.n), rmsW = std::sqrt(st.sum2[1] / st.n),
               rmsU = std::sqrt(st.sum2[2] / st.n), rmsV = std::sqrt(st.vel2 / (3 * st.n));
  RecordProperty("rms_north_m", std::to_string(rmsN));
  RecordProperty("rms_up_m", std::to_string(rmsU));
  RecordProperty("rms_velocity", std::to_string(rmsV));
  RecordProperty("worst_heading_deg", std::to_string(st.worstHeadingAfterTurn / GeodeticFrame::kDeg));
  EXPECT_LT(rmsN, 1.5);
  EXPECT_LT(rmsW, 1.5);
  EXPECT_LT(rmsU, 3.0);
  EXPECT_LT(rmsV, 0.1);
  EXPECT_LT(st.worstHeadingAfterTurn, 2.0 * GeodeticFrame::kDeg);
  EXPECT_TRUE(rig.output().valid);
  // The biases end within three of their deviations.
  const Eigen::Matrix<double, 15, 1> e = rig.stateError();
  const Eigen::Matrix<double, 15, 15> P = rig.covariance();
  for (int i = 6; i < 12; ++i) EXPECT_LT(std::fabs(e[i]), 3.0 * std::sqrt(P(i, i))) << i;
}

// 30 s without fixes in the middle of the drive (a turn included; the holonomic constraint
// holds the vehicle to its axis): the position error stays within three reported deviations at
// every step of the outage, and after it the filter re-anchors and is back within the GNSS
// accuracy. (The re-anchoring itself puts the position on the fix, whose error the kept
// covariance does not describe; the next updates take it from there.)
TEST(Zkf6Navigation, OutageOfThirtySeconds) {
  Drive d;
  d.seed = 5;
  d.scenario.updateSwitches = zelto::Zkf6ScenarioParams::kGpsUpdate | zelto::Zkf6ScenarioParams::kHolonomicUpdate |
                              zelto::Zkf6ScenarioParams::kZeroRotationUpdate;
  d.outages = {{95.0, 125.0}};
  NavigationRig rig(d);
  double worstRatio = 0, drift = 0, after2 = 0;
  int after = 0;
  bool sawOutage = false, validInOutage = false;
  while (rig.step()) {
    ASSERT_TRUE(rig.ok());
    const double t = rig.sample().t;
    sawOutage = sawOutage || rig.filter().gpsOutage();
    const Vec3 e = rig.positionError();
    if (t >= 95 && t < 124.995) {
      const Eigen::Matrix<double, 15, 15> P = rig.covariance();
      for (int i = 0; i < 3; ++i) worstRatio = std::max(worstRatio, std::fabs(e[i]) / std::sqrt(P(i, i)));
      drift = std::max(drift, e.head<2>().norm());
      validInOutage = validInOutage || (t > 106 && rig.output().valid);
    }
    if (t > 140) {
      after2 += e.head<2>().squaredNorm();
      ++after;
    }
  }
  RecordProperty("outage_drift_m", std::to_string(drift));
  RecordProperty("worst_error_over_sigma", std::to_string(worstRatio));
  EXPECT_TRUE(sawOutage);
  EXPECT_FALSE(validInOutage);
  EXPECT_LT(worstRatio, 3.0);
  EXPECT_GT(drift, 0.5);  // the outage shows
  EXPECT_LT(std::sqrt(after2 / (2 * after)), 1.5);
  EXPECT_TRUE(rig.output().valid);
}

// The holonomic constraint through the whole drive: turns and accelerations with fixes do not
// turn the orientation away (it is held against the state's current velocity, not the last
// fix's).
TEST(Zkf6Navigation, HolonomicConstraintThroughTurns) {
  Drive d;
  d.seed = 5;
  d.scenario.updateSwitches = zelto::Zkf6ScenarioParams::kGpsUpdate | zelto::Zkf6ScenarioParams::kHolonomicUpdate;
  NavigationRig rig(d);
  double worst = 0;
  while (rig.step()) {
    ASSERT_TRUE(rig.ok());
    if (rig.sample().t > 30) worst = std::max(worst, rig.orientationError().norm());
  }
  RecordProperty("holonomic_worst_orientation_deg", std::to_string(worst / GeodeticFrame::kDeg));
  EXPECT_LT(worst, 2.0 * GeodeticFrame::kDeg);
}

// With the barometer the height follows the barometer, not the 3 m GNSS height: about its
// offset (the baseline, taken from the GNSS altitude and adapted to it slowly) the height error
// varies within the barometer's deviation.
TEST(Zkf6Navigation, BarometerHoldsTheHeight) {
  for (uint64_t seed : {9u, 21u}) {
    Drive d;
    d.seed = seed;
    d.barometer = true;
    NavigationRig rig(d);
    double sum = 0, sum2 = 0;
    int n = 0;
    while (rig.step()) {
      ASSERT_TRUE(rig.ok());
      if (rig.sample().t < 60) continue;
      sum += rig.positionError()[2];
      sum2 += rig.positionError()[2] * rig.positionError()[2];
      ++n;
    }
    const double mean = sum / n, sd = std::sqrt(sum2 / n - mean * mean);
    RecordProperty("baro_up_offset_m_" + std::to_string(seed), std::to_string(mean));
    RecordProperty("baro_up_sd_m_" + std::to_string(seed), std::to_string(sd));
    EXPECT_LT(sd, 0.6);  // the barometer's deviation (6 Pa at about 12 Pa per metre)
    EXPECT_LT(std::fabs(mean), 3.0);
    EXPECT_FALSE(rig.filter().state().firstBaro);
  }
}

// The built-in "zkf6g" profile, with the sensor values of the library's hardware entry, on the
// drive: the filter version the trackers require, and the accuracies of the tests above.
TEST(Zkf6Navigation, BuiltInProfileOnTheDrive) {
  zelto::SettingsFile file;
  ASSERT_EQ(file.readZsa(ZDA_SOURCE_DIR "/data/scenarios/scenarios.zsa"), 0);
  zelto::Zkf6ScenarioParams profile;
  ASSERT_TRUE(profile.readFromFileNoThrow(file, "ZKF.zkf6g."));
  unsigned char type = 0, major = 0, minor = 0, revision = 0;
  zelto::Zkf6Filter::getTypeAndVersion(type, major, minor, revision);
  EXPECT_EQ(profile.filterTypeVersion.type, static_cast<char>(type));
  EXPECT_EQ(profile.filterTypeVersion.major, major);
  EXPECT_EQ(profile.filterTypeVersion.minor, minor);
  EXPECT_EQ(profile.filterTypeVersion.revision, revision);
  EXPECT_EQ(profile.type, 4);

  Drive d;
  d.seed = 21;
  d.barometer = true;
  d.scenario = profile;
  // The hardware entry's noise and bias walks (its values are deviations per sample).
  d.noise.acc = 0.01;
  d.noise.gyr = 0.002;
  d.noise.accWalk = 1e-4;
  d.noise.gyrWalk = 1e-5;
  NavigationRig rig(d);
  double sum2[3] = {0, 0, 0}, vel2 = 0, worstHeading = 0;
  int n = 0;
  while (rig.step()) {
    ASSERT_TRUE(rig.ok());
    if (rig.sample().t < 30) continue;
    const Vec3 e = rig.positionError();
    for (int i = 0; i < 3; ++i) sum2[i] += e[i] * e[i];
    vel2 += rig.velocityError().squaredNorm();
    worstHeading = std::max(worstHeading, std::fabs(rig.headingError()));
    ++n;
  }
  RecordProperty("profile_rms_north_m", std::to_string(std::sqrt(sum2[0] / n)));
  RecordProperty("profile_rms_up_m", std::to_string(std::sqrt(sum2[2] / n)));
  RecordProperty("profile_worst_heading_deg", std::to_string(worstHeading / GeodeticFrame::kDeg));
  EXPECT_LT(std::sqrt(sum2[0] / n), 1.5);
  EXPECT_LT(std::sqrt(sum2[1] / n), 1.5);
  EXPECT_LT(std::sqrt(sum2[2] / n), 3.0);
  EXPECT_LT(std::sqrt(vel2 / (3 * n)), 0.1);
  EXPECT_LT(worstHeading, 2.0 * GeodeticFrame::kDeg);
  EXPECT_TRUE(rig.output().valid);
}

}  // namespace
