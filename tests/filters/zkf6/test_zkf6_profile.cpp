// The Zkf6 filter on the simulated drive with the barometer, and the built-in profile.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "Zkf6TestTuning.h"
#include "foundation/SettingsFile.h"

using namespace zkf6test;

namespace {

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
