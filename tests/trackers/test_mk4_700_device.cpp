// The fourth-generation navigation tracker (700-series, factory type 22) with the Zkf700 host
// filter and the sample mixer, through the C interface on an emulated tracker in navigation
// mode: its rates, processed configuration, synchronisation list and scenarios; GNSS aiding
// gathered from the device's raw solution (fix and status rules, the frame of the velocity);
// position, velocity and orientation of a drive against the trajectory's truth with the
// navigation state in the status; a filter step that fails or gives no finite estimate; and a
// recording replayed bit for bit.
#include <gtest/gtest.h>

#include <cmath>

#include "control/ZtSyncLines.h"
#include "filters/zkf700/Zkf700Filter.h"
#include "filtersim/GeodeticFrame.h"
#include "filtersim/VehicleRoute.h"
#include "support/TempDir.h"
#include "trackers/KtMk4_700Device.h"
#include "trackers/Mk4Profiles.h"
#include "trackers/Mk4StreamRig.h"

namespace zelto::test {
namespace {

using filtersim::GeodeticFrame;
using filtersim::Segment;
using filtersim::Vec3;
constexpr uint32_t k700Series = 0x00701234;
constexpr double kDeg = M_PI / 180.0;

KtMk4_700Device* navigator(Mk4StreamRig& rig) { return dynamic_cast<KtMk4_700Device*>(rig.device); }

TEST(Mk4Navigation, RatesConfigurationsAndSynchronisationList) {
  Mk4StreamRig rig(k700Series, {}, {Segment::still(0.5)});
  ASSERT_TRUE(rig.opened);
  KtMk4_700Device* nav = navigator(rig);
  ASSERT_NE(nav, nullptr);
  ASSERT_TRUE(nav->hasZkfFilter());  // the built-in "ZKF700" profile
  EXPECT_EQ(nav->zkfFilter()->type(), '7');

  const struct {
    uint16_t id;
    int frequency;
  } rates[] = {{0x0000, 2000}, {0xA010, 2000}, {0xB000, 2000}, {0xE020, 2000}, {0x0810, 400}, {0x2010, 400},
               {0x4010, 400},  {0x5040, 400},  {0x8030, 400},  {0xD010, 400},  {0x3010, 50},  {0x8840, 4},
               {0xC020, 100},  {0x1020, 0},    {0x6000, 0}};
  for (const auto& r : rates) EXPECT_EQ(nav->getBaseFrequency(r.id), r.frequency) << std::hex << r.id;

  const struct {
    const char* name;
    Pairs configuration;
    Pairs added;
  } cases[] = {
      {"raw alone",
       {{0xA010, 2000}},
       {{0x8020, 2000}, {0x4020, 2000}, {0x8030, 400}, {0x4010, 400}, {0xC020, 2000}, {0x2010, 400}, {0xE020, 400}}},
      {"raw with GNSS",
       {{0xA010, 2000}, {0x8840, 4}},
       {{0x8020, 2000}, {0x4020, 2000}, {0x8030, 400}, {0x4010, 400}, {0xC020, 2000}, {0x2010, 400}, {0xE020, 400},
        {0x5040, 400}, {0x5020, 400}, {0xD010, 400}}},
      {"the device's own orientation",
       {{0xA010, 2000}, {0x2010, 100}, {0x8840, 4}},
       {{0x8020, 2000}, {0x4020, 2000}, {0x8030, 400}, {0x4010, 400}, {0xC020, 2000}}},
      {"increments without raw",
       {{0x8030, 400}, {0x4010, 400}, {0xE020, 400}},
       {{0x2010, 400}, {0x8020, 400}, {0x4020, 400}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(rig.setConfiguration(c.configuration));
    Pairs expected = c.configuration;
    expected.insert(expected.end(), c.added.begin(), c.added.end());
    EXPECT_EQ(rig.processed(), expected);
  }

  // Seven entries as (function, fourth-generation line): the added (9, 1) right before (9, 0).
  const std::vector<ZtSyncSetting> sync = nav->supportedSyncSettings();
  const std::vector<std::pair<int, int>> expected = {{3, 2}, {8, 2}, {8, 6}, {4, 4}, {9, 1}, {9, 0}, {11, 2}};
  ASSERT_EQ(sync.size(), expected.size());
  for (size_t i = 0; i < sync.size(); ++i) {
    EXPECT_EQ(sync[i].function, expected[i].first) << i;
    EXPECT_EQ(ztlToZtl4(sync[i].line), expected[i].second) << i;
  }
  const ZtSyncSetting& added = sync[4];
  EXPECT_EQ(added.polarity, 1);
  EXPECT_EQ(added.pulseWidth, 0u);
  EXPECT_EQ(added.offset, 0);
  EXPECT_EQ(added.skipFirst, 0);
  EXPECT_EQ(added.skipFactor, 1);
  EXPECT_EQ(added.clockPeriod, 1);
  EXPECT_EQ(added.triggerOnce, 0);
}

TEST(Mk4Navigation, ScenariosByFilterNameAndTheFilterWithoutOne) {
  TempDir dir;
  const std::string path = dir.file("nav.zsa");
  ASSERT_TRUE(writeProfiles(path, "ZEE.ZKF700", "zkf700",
                            {{"lower", 5, "zkf700", "", {}}, {"other", 6, "ZKF-3I", "", {}}, {"older", 7, "", "1.0.0", {}}}));
  Mk4StreamRig rig(k700Series, {{0xA010, 2000}}, {Segment::still(0.5)}, [](TrackerModel&) {}, {}, path);
  ASSERT_TRUE(rig.opened);
  KtMk4_700Device* nav = navigator(rig);
  ASSERT_NE(nav, nullptr);
  const std::vector<ZtFilterProfile> profiles = nav->availableZdaFilterProfiles();
  ASSERT_EQ(profiles.size(), 1u);
  EXPECT_EQ(profiles[0].type, 5);
  EXPECT_EQ(profiles[0].filterType, '7');
  EXPECT_TRUE(nav->hasZkfFilter());
}

// A packet holding one raw GNSS solution.
struct SolutionPacket {
  SolutionPacket(uint8_t fixType, int32_t x, int32_t y, int32_t z, int32_t vx, int32_t vy, int32_t vz) {
    ZtDataPacket_construct(&packet);
    ZtRawGpsSol sol{};
    sol.fixType = fixType;
    sol.ecefX = x, sol.ecefY = y, sol.ecefZ = z;
    sol.ecefVX = vx, sol.ecefVY = vy, sol.ecefVZ = vz;
    sol.pAcc = 250;
    sol.sAcc = 40;
    ZtDataPacket_setRawGpsSol(&packet, &sol);
  }
  ~SolutionPacket() { ZtDataPacket_destruct(&packet); }
  ZtDataPacket packet;
};

TEST(Mk4Navigation, GnssAidingFromTheDeviceSolution) {
  Mk4StreamRig rig(k700Series, {}, {Segment::still(0.5)});
  ASSERT_TRUE(rig.opened);
  KtMk4_700Device* nav = navigator(rig);
  ASSERT_NE(nav, nullptr);
  constexpr int32_t kEquator = 637813700;  // the WGS-84 semi-major axis, cm
  const struct {
    const char* name;
    uint8_t fixType;
    uint32_t status;
    bool taken;
  } rules[] = {{"3-D fix, status 0", 3, 0, true},        {"3-D fix, status bit 2", 3, 0x4, true},
               {"3-D fix, status 0x0001", 3, 0x1, false}, {"2-D fix", 2, 0, false},
               {"no fix", 0, 0x4, false}};
  for (const auto& r : rules) {
    SCOPED_TRACE(r.name);
    // Eastward at 10 m/s at latitude 0, longitude 0: ECEF +y.
    SolutionPacket p(r.fixType, kEquator, 0, 0, 0, 1000, 0);
    zelto::Zkf700Aiding aiding;
    aiding.gpsPos = Vector3(1.0, 2.0, 3.0);
    nav->gatherGpsAidingData(p.packet, aiding, r.status);
    EXPECT_EQ(aiding.gpsValid, r.taken);
    if (!r.taken) {
      EXPECT_EQ(aiding.gpsPos[0], 1.0);
      continue;
    }
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(aiding.gpsPos[i], 0.0, 1e-9) << i;
    // The filters' frame is east-north-up: eastward is +x.
    EXPECT_NEAR(aiding.gpsVel[0], 10.0, 1e-12);
    EXPECT_NEAR(aiding.gpsVel[1], 0.0, 1e-12);
    EXPECT_NEAR(aiding.gpsVel[2], 0.0, 1e-12);
    EXPECT_DOUBLE_EQ(aiding.gpsPAcc, 2.5);
    EXPECT_DOUBLE_EQ(aiding.gpsSAcc, 0.4);
  }
  // Away from the axes: northward 10 m/s and up 2 m/s at 45 N, 90 E, 100 m.
  const Vec3 geodetic(45.0 * kDeg, 90.0 * kDeg, 100.0);
  const Vec3 ecef = GeodeticFrame::toEcef(geodetic) * 100.0;
  const Vec3 v = GeodeticFrame::nwuToEcef(geodetic.x(), geodetic.y()) * Vec3(10.0, 0.0, 2.0) * 100.0;
  auto cm = [](double x) { return static_cast<int32_t>(std::lround(x)); };
  SolutionPacket p(3, cm(ecef.x()), cm(ecef.y()), cm(ecef.z()), cm(v.x()), cm(v.y()), cm(v.z()));
  zelto::Zkf700Aiding aiding;
  nav->gatherGpsAidingData(p.packet, aiding, 0);
  ASSERT_TRUE(aiding.gpsValid);
  EXPECT_NEAR(aiding.gpsPos[0], 45.0, 1e-6);
  EXPECT_NEAR(aiding.gpsPos[1], 90.0, 1e-6);
  EXPECT_NEAR(aiding.gpsPos[2], 100.0, 0.02);
  EXPECT_NEAR(aiding.gpsVel[0], 0.0, 0.01);
  EXPECT_NEAR(aiding.gpsVel[1], 10.0, 0.01);
  EXPECT_NEAR(aiding.gpsVel[2], 2.0, 0.01);
}

}  // namespace
}  // namespace zelto::test
