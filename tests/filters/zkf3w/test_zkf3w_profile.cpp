// The built-in "ZKF-3W" filter profile, read the way a wireless tracker reads its host
// scenarios: the profile list, the generic profile keys, the filter's name and version against
// the Zkf3w filter, then the scenario record; the parameters derived from it run the filter.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "Zkf3wTestTuning.h"
#include "filters/common/FilterTypeVersion.h"
#include "filtersim/FilterMetrics.h"
#include "foundation/SettingsFile.h"
#include "foundation/StringToVersion.h"

using namespace zkf3wtest;
using filtersim::Segment;
using filtersim::Vec3;

namespace {

constexpr double kZkf3wProfileDeg = M_PI / 180.0;

// The prefix of the first listed scenario whose filter is named "ZKF-3W"; empty when none.
std::string zkf3wScenarioPrefix(const zelto::SettingsFile& file) {
  zelto::Variant list;
  if (file.getSetting("ZKF.scenarios", "", list) != ZRV_OK || list.kind() != zelto::Variant::KindLabelList) return {};
  const zelto::LabelList labels = list.toLabelList();
  for (uint32_t i = 0; i < labels.size(); ++i) {
    const std::string prefix = std::string(labels[i].c_str()) + ".";
    zelto::Variant name;
    if (file.getSetting(prefix.c_str(), "gp.filter", name) == ZRV_OK &&
        FilterTypeVersion::typeOfName(name.toStdString().c_str()) == zelto::Zkf3wFilter::kType)
      return prefix;
  }
  return {};
}

}  // namespace

TEST(Zkf3wProfile, BuiltInProfileLoadsAndRunsTheFilter) {
  zelto::SettingsFile file;
  ASSERT_EQ(file.readZsa(ZDA_SOURCE_DIR "/data/scenarios/scenarios.zsa"), 0);
  const std::string prefix = zkf3wScenarioPrefix(file);
  ASSERT_EQ(prefix, "ZKF.zkf3w.");

  // The version the wireless trackers require: the filter's major, at least its minor.
  zelto::Variant value;
  ASSERT_EQ(file.getSetting(prefix.c_str(), "gp.filterVersion", value), ZRV_OK);
  unsigned char major = 0, minor = 0, revision = 0, type = 0, fMajor = 0, fMinor = 0, fRevision = 0;
  ASSERT_TRUE(stringToVersion(value.toStdString().c_str(), major, minor, revision));
  zelto::Zkf3wFilter::getTypeAndVersion(type, fMajor, fMinor, fRevision);
  EXPECT_EQ(major, fMajor);
  EXPECT_GE(minor, fMinor);
  for (const char* key : {"gp.scenario", "gp.type", "gp.version"}) EXPECT_TRUE(file.hasSetting(prefix.c_str(), key)) << key;

  // Every key of the scenario record is there (the reader stops at the first missing one).
  zelto::Zkf3wScenarioParams s;
  ASSERT_TRUE(s.readFromFileNoThrow(file, prefix));
  EXPECT_TRUE(file.hasSetting(prefix.c_str(), "stab.deltaGyrBias"));
  for (const char* key : {"sd_init_orient", "sd_init_acc", "stab.sd_init_gyrBias", "sd_init_magvar", "sd_init_mag"})
    EXPECT_TRUE(file.hasSetting(prefix.c_str(), key)) << key;
  EXPECT_EQ(s.flags & (zelto::Zkf3wScenarioParams::kAccUpdateFlag | zelto::Zkf3wScenarioParams::kMagUpdateFlag),
            zelto::Zkf3wScenarioParams::kAccUpdateFlag | zelto::Zkf3wScenarioParams::kMagUpdateFlag);
  EXPECT_STREQ(s.label, "general");
  EXPECT_GT(s.ndAcc, 0.0);
  EXPECT_GT(s.ndGyr, 0.0);
  EXPECT_GT(s.sd_v_mag, 0.0);
  EXPECT_GT(s.initialConditions.sd_init_orient, 0.0);

  // On a tracker whose own noise adds nothing, the profile keeps the attitude through a rotation
  // as well as the tuning the filter's tests use.
  zelto::Zkf3wParams p;
  p.initialize(s, hardware(), user(), zelto::Zkf3wFilterSteps());
  zelto::Zkf3wFilter f(&p);
  filtersim::SimulatorConfig c = simConfig(Noise(), 21);
  c.initialAttitude = filtersim::Quat(Eigen::AngleAxisd(1.0, Vec3::UnitZ()) * Eigen::AngleAxisd(0.3, Vec3::UnitX()));
  c.gyr.bias = Vec3(0.004, -0.003, 0.002);
  filtersim::MotionSimulator sim(c, {Segment::still(10.0), Segment::rotate(4.0, Vec3(1, 1, 2).normalized(), 90 * kZkf3wProfileDeg),
                                     Segment::still(10.0)});
  zelto::Zkf3wSensorData sd;
  zelto::Zkf3wAiding ad;
  zelto::Zkf3wRealTimeParameters rt;
  zelto::Zkf3wFilterOutput out;
  filtersim::Sample sample;
  double sum = 0.0;
  int count = 0;
  while (sim.next(sample)) {
    toRecords(sample, sd, ad);
    ASSERT_TRUE(f.doOneKalmanStep(sd, ad, rt, out, sample.T));
    if (sample.t < 5.0) continue;
    const double e = filtersim::attitudeError(toEigen(out.orientation), sample.q);
    sum += e * e;
    ++count;
  }
  ASSERT_GT(count, 0);
  EXPECT_LT(std::sqrt(sum / count), 1.0 * kZkf3wProfileDeg);
}
