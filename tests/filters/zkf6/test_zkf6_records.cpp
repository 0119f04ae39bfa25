// Zkf6 records and parameters: the state's settings form (with its shared position key), the
// permutation and initialisation, the aiding's settings, the step selection, the scenario's
// settings and page forms and the derivation of the run-time parameters.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "Zkf6TestTuning.h"
#include "errors/ZtException.h"
#include "filters/common/DecryptedScenarioPage.h"
#include "filters/common/EstimationRoutines.h"
#include "foundation/SettingsFile.h"

using namespace zkf6test;
using zelto::SettingsFile;
using zelto::Zkf6State;

namespace {

Zkf6State filledState() {
  Zkf6State s;
  for (int i = 0; i < 15; ++i) {
    s.x[i] = 0.1 * (i + 1);
    s.sx[i] = -0.2 * (i + 1);
    for (int j = 0; j <= i; ++j) s.sQx(i, j) = 1.0 + i + 0.01 * j;
  }
  s.q_gs = zelto::Quaternion(0.5, 0.5, -0.5, 0.5);
  s.baroBaseHeight[0] = 12.5;
  s.baroBaseHeight[1] = 430.0;
  s.magAvg = zelto::Vector3(1, 2, 3);
  s.magVar = zelto::Vector3(4, 5, 6);
  s.lla0 = zelto::Vector3(47.0, 8.0, 400.0);
  s.posLatLongAlt = zelto::Vector3(47.0, 8.0, 400.0);
  s.firstIteration = false;
  s.firstGps = true;
  s.firstBaro = false;
  s.gpsOutage = true;
  s.gpsAgeLong = 123456;
  s.baroHeight = 431.5;
  s.previousUpdate = 5;
  s.gps.posLatLongAlt = zelto::Vector3(46.0, 7.0, 300.0);  // the sample's own position
  s.gps.velNorthEastDown = zelto::Vector3(1, -2, 0.5);
  s.gps.hAcc = 2.5;
  s.gps.gpsAge = 17;
  s.gps.pressure = 48000;
  s.gps.pressureAge = 3;
  s.okAge = 150;
  return s;
}

TEST(Zkf6State, SettingsRoundTripKeepsThePositionApartFromTheSample) {
  const Zkf6State original = filledState();
  SettingsFile file;
  original.writeToFile(file, "st.");
  // One key serves both positions: the file holds the sample's.
  zelto::Variant stored;
  file.getSetting("st.", "posLatLongAlt", stored);
  EXPECT_EQ(stored.toVector()[0], 46.0);
  Zkf6State back;
  ASSERT_TRUE(back.readFromFileNoThrow(file, "st."));
  for (int i = 0; i < 15; ++i) {
    EXPECT_EQ(back.x[i], original.x[i]);
    EXPECT_EQ(back.sx[i], original.sx[i]);
    for (int j = 0; j < 15; ++j) EXPECT_EQ(back.sQx(i, j), original.sQx(i, j));
  }
  EXPECT_EQ(back.q_gs.z, original.q_gs.z);
  EXPECT_EQ(back.baroBaseHeight[0], 12.5);
  EXPECT_EQ(back.baroBaseHeight[1], 430.0);
  EXPECT_EQ(back.magVar[2], 6.0);
  EXPECT_EQ(back.lla0[2], 400.0);
  EXPECT_EQ(back.firstGps, true);
  EXPECT_EQ(back.firstBaro, false);
  EXPECT_EQ(back.gpsOutage, true);
  EXPECT_EQ(back.gpsAgeLong, 123456u);
  EXPECT_EQ(back.baroHeight, 431.5);
  EXPECT_EQ(back.previousUpdate, 5u);
  EXPECT_EQ(back.okAge, 150);
  EXPECT_EQ(back.gps.posLatLongAlt[0], 46.0);
  EXPECT_EQ(back.gps.gpsAge, 17);
  EXPECT_EQ(back.gps.pressure, 48000);
  // The state's position is where the reference and the offset (x 0..2: 0.1 m north, 0.2 m
  // west, 0.3 m up) put it, not the sample's.
  zelto::Vector3 expected;
  Zkf6State::positionOf(original.positionOffset, original.lla0, expected);
  EXPECT_EQ(back.posLatLongAlt[0], expected[0]);
  EXPECT_EQ(back.posLatLongAlt[1], expected[1]);
  // 0.1 m north and 0.2 m west with the meridian and prime-vertical radii at 47 degrees.
  EXPECT_NEAR((expected[0] - 47.0) * M_PI / 180 * 6367417.0, 0.1, 1e-4);
  EXPECT_NEAR((8.0 - expected[1]) * M_PI / 180 * 6388838.0 * std::cos(47.0 * M_PI / 180), 0.2, 1e-4);
  EXPECT_NEAR(back.posLatLongAlt[2], 400.3, 1e-12);
  EXPECT_GT(back.posLatLongAlt[0], 47.0);
  EXPECT_LT(back.posLatLongAlt[1], 8.0);

  // Without "okAge" the reading throws; everything before it in the read order holds the file's.
  file.clear("st.okAge", false, true);
  Zkf6State partial;
  EXPECT_THROW(partial.readFromFile(file, "st."), ZtException);
  EXPECT_EQ(partial.gpsAgeLong, 123456u);
  EXPECT_EQ(partial.lla0[0], 47.0);
  EXPECT_EQ(partial.okAge, 0);
}

TEST(Zkf6State, PositionAndOffsetAreInverse) {
  const zelto::Vector3 ref(-33.9, 151.2, 30.0), offset(1234.5, -678.9, 12.0);
  zelto::Vector3 lla, back;
  Zkf6State::positionOf(offset, ref, lla);
  Zkf6State::offsetOf(lla, ref, back);
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(back[i], offset[i], 1e-8);
  // Across the antimeridian.
  const zelto::Vector3 east(0.0, 179.9999, 0.0), west(0.0, -179.9999, 0.0);
  Zkf6State::offsetOf(west, east, back);
  EXPECT_NEAR(back[1], -0.0002 * M_PI / 180 * 6378137.0, 1e-6);  // 22 m east
  // Against exact WGS-84 for a 100 m offset: the mechanisation's radii are right to 1e-6.
  const GeodeticFrame frame = GeodeticFrame::fromDegrees(47.4, 8.5, 420.0);
  const Vec3 exact = GeodeticFrame::toDegrees(frame.localToGeodetic(Vec3(60.0, -80.0, 0.0)));
  Zkf6State::offsetOf(zelto::Vector3(exact[0], exact[1], exact[2]), zelto::Vector3(47.4, 8.5, 420.0), back);
  EXPECT_NEAR(back[0], 60.0, 1e-3);
  EXPECT_NEAR(back[1], -80.0, 1e-3);
}

TEST(Zkf6State, ViewsCopiesPermutationAndBarometricHeight) {
  Zkf6State s = filledState();
  const Zkf6State copy(s);
  EXPECT_EQ(copy.velocity[0], s.x[3]);
  EXPECT_EQ(copy.accBias[0], s.x[6]);
  EXPECT_EQ(copy.gyrBias[2], s.x[11]);
  EXPECT_EQ(copy.orientError[0], s.x[12]);
  EXPECT_NE(copy.velocity.data, s.velocity.data);

  // Indices are rounded; an index outside 0..14 or a short vector is refused.
  double pd[15];
  zelto::Vector p(15, pd, 0);
  for (int i = 0; i < 15; ++i) pd[i] = 14 - i + (i % 2 ? 0.3 : -0.3);
  ASSERT_TRUE(s.permute(p));
  for (int i = 0; i < 15; ++i) {
    EXPECT_EQ(s.x[i], copy.x[14 - i]);
    EXPECT_EQ(s.sQx(i, 3), copy.sQx(14 - i, 11));
  }
  pd[4] = 15.2;
  EXPECT_FALSE(s.permute(p));
  pd[4] = -0.7;
  EXPECT_FALSE(s.permute(p));
  zelto::Vector shortP(3, pd, 0);
  EXPECT_FALSE(s.permute(shortP));
  EXPECT_EQ(s.x[0], copy.x[14]);

  EXPECT_TRUE(s.updateBaroHeight(101325.0 / 2));
  EXPECT_NEAR(s.baroHeight, 0.0, 1e-9);
  EXPECT_TRUE(s.updateBaroHeight(filtersim::Barometer::pressureAt(850.0) / 2));
  EXPECT_NEAR(s.baroHeight, 850.0, 1e-6);
  EXPECT_FALSE(s.updateBaroHeight(0.0));
  EXPECT_NEAR(s.baroHeight, 850.0, 1e-6);
}

TEST(Zkf6State, InitializeFromMeasurement) {
  auto p = params();
  p->storedGyrBias = zelto::Vector3(1e-3, 2e-3, 3e-3);
  Zkf6State s = filledState();
  ZkfInertialData in;
  in.acc = zelto::Vector3(0, 0, 9.8);
  zelto::Zkf6Aiding ad;
  ad.mag = zelto::Vector3(0.0, -0.45, -0.89);  // magnetic north along the sensor's -y
  const zelto::Vector3 v(1, 2, 3);
  ASSERT_TRUE(s.initializeFromMeasurement(*p, in, ad, v));
  // Sensor -y points north: a turn of +90 degrees about up.
  const Quat q = toEigen(s.q_gs);
  EXPECT_LT((q * Vec3(0, -1, 0) - Vec3(1, 0, 0)).norm(), 1e-9);
  EXPECT_NEAR(s.magAvg[0], 0.45, 1e-9);
  for (int i = 0; i < 15; ++i) {
    const double expected = i >= 3 && i < 6 ? v[i - 3] : i >= 9 && i < 12 ? 1e-3 * (i - 8) : 0.0;
    EXPECT_NEAR(s.x[i], expected, 1e-15);
    const double sd = i < 3 ? 10.0 : i < 6 ? 1.0 : i < 9 ? 0.1 : i < 12 ? 0.005 : 0.1;
    EXPECT_NEAR(s.sQx(i, i), sd, 1e-15) << i;
    EXPECT_NEAR(s.sx[i] * s.sQx(i, i), s.x[i], 1e-15);
  }
  EXPECT_EQ(s.lla0[0], 0.0);
  EXPECT_EQ(s.baroBaseHeight[1], 0.0);
  EXPECT_EQ(s.magVar[0], 0.01);
  // No orientation from parallel or empty vectors: nothing changes.
  ad.mag = zelto::Vector3(0, 0, 2);
  EXPECT_FALSE(s.initializeFromMeasurement(*p, in, ad, v));
  EXPECT_NEAR(s.magAvg[0], 0.45, 1e-9);
}

TEST(Zkf6Records, AidingStoresOnlyTheMagnetometer) {
  zelto::Zkf6Aiding a;
  a.mag = zelto::Vector3(1, 2, 3);
  a.gps.hAcc = 7.0;
  SettingsFile file;
  a.writeToFile(file, "a.");
  EXPECT_FALSE(file.hasSetting("a.hAcc"));
  zelto::Zkf6Aiding b;
  b.gps.hAcc = 9.0;
  ASSERT_TRUE(b.readFromFileNoThrow(file, "a."));
  EXPECT_EQ(b.mag[2], 3.0);
  EXPECT_EQ(b.gps.hAcc, 9.0);
}

TEST(Zkf6Records, StepSelection) {
  struct Case {
    std::vector<const char*> labels;
    bool result;
    std::vector<const char*> enabled;
  };
  const Case cases[] = {
      {{}, true, {"default"}},
      {{"predict", "bogus", "correct"}, false, {"predict"}},
      {{"INIT", "Default"}, true, {"init", "default"}},
      {{"zeroRotationUpdate", "magupdate", "holonomicUpdate"}, true, {"magUpdate", "zeroRotationUpdate", "holonomicUpdate"}},
  };
  for (const Case& c : cases) {
    zelto::Zkf6FilterSteps steps;
    zelto::LabelList in, out;
    for (const char* l : c.labels) in.append(l);
    EXPECT_EQ(steps.enableSteps(in), c.result);
    steps.enabledSteps(out);
    ASSERT_EQ(out.count(), c.enabled.size());
    for (size_t i = 0; i < c.enabled.size(); ++i) EXPECT_STREQ(out[i].c_str(), c.enabled[i]);
  }
  zelto::Zkf6FilterSteps steps;
  zelto::LabelList all;
  steps.availableSteps(all);
  ASSERT_EQ(all.count(), 11u);
  EXPECT_STREQ(all[0].c_str(), "init");
  EXPECT_STREQ(all[3].c_str(), "magUpdate");
  EXPECT_STREQ(all[4].c_str(), "zeroRotationUpdate");
  EXPECT_STREQ(all[10].c_str(), "default");
  steps.baroUpdate = true;
  std::unique_ptr<ZkfFilterSteps> dup(steps.duplicate());
  auto* typed = dynamic_cast<zelto::Zkf6FilterSteps*>(dup.get());
  ASSERT_NE(typed, nullptr);
  EXPECT_TRUE(typed->baroUpdate);
}

TEST(Zkf6Scenario, SettingsAndPageForms) {
  zelto::Zkf6ScenarioParams s = scenario();
  s.sd_pos_gps[0] = 0.7;
  s.sd_vel_gps[1] = 0.09;
  s.updateSwitches = 0x15;
  s.setLabel("a label of more than nineteen characters");
  EXPECT_STREQ(s.label, "a label of more tha");
  SettingsFile file;
  s.writeToFile(file, "sc.");
  zelto::Zkf6ScenarioParams back;
  ASSERT_TRUE(back.readFromFileNoThrow(file, "sc."));
  EXPECT_EQ(back.sd_v_gyr, s.sd_v_gyr);
  EXPECT_EQ(back.sd_pos_gps[0], 0.7);
  EXPECT_EQ(back.sd_vel_gps[1], 0.09);
  EXPECT_EQ(back.velocity_holonomic, s.velocity_holonomic);
  EXPECT_EQ(back.updateSwitches, 0x15);
  EXPECT_EQ(back.type, 4);
  EXPECT_STREQ(back.label, s.label);
  EXPECT_EQ(back.initialConditions.sd_init_pos, 10.0);
  EXPECT_EQ(back.filterTypeVersion.type, '6');
  EXPECT_EQ(back.filterTypeVersion.major, 2);
  EXPECT_EQ(back.filterTypeVersion.minor, 2);

  // Filter type and version are optional; the initial conditions are not (read last).
  file.clear("sc.gp.filter", false, true);
  file.clear("sc.gp.filterVersion", false, true);
  zelto::Zkf6ScenarioParams noType;
  noType.filterTypeVersion.type = 'x';
  ASSERT_TRUE(noType.readFromFileNoThrow(file, "sc."));
  EXPECT_EQ(noType.filterTypeVersion.type, '6');
  file.clear("sc.sd_init_magvar", false, true);
  zelto::Zkf6ScenarioParams noMagVar;
  EXPECT_THROW(noMagVar.readFromFile(file, "sc."), ZtException);
  EXPECT_EQ(noMagVar.sd_zero_rotation, s.sd_zero_rotation);
  EXPECT_EQ(noMagVar.initialConditions.sd_init_accBias, s.initialConditions.sd_init_accBias);

  // Page: values within FastFloat precision, the switches; the reader keeps its identity.
  DecryptedScenarioPage page;
  std::memset(&page, 0xAB, sizeof page);
  s.writePage(&page);
  const auto* bytes = reinterpret_cast<const unsigned char*>(&page);
  for (size_t i = 196; i < 262; ++i) EXPECT_EQ(bytes[i], 0) << i;
  EXPECT_EQ(page.type, 4);
  EXPECT_EQ(page.trailer, 0x15);
  zelto::Zkf6ScenarioParams fromPage;
  fromPage.type = 9;
  fromPage.setLabel("mine");
  fromPage.readFromDecryptedScenarioPage(&page);
  EXPECT_EQ(fromPage.type, 9);
  EXPECT_STREQ(fromPage.label, "mine");
  EXPECT_EQ(fromPage.updateSwitches, 0x15);
  EXPECT_NEAR(fromPage.sd_v_acc, s.sd_v_acc, 1e-6 * s.sd_v_acc);
  EXPECT_NEAR(fromPage.sd_zero_rotation, s.sd_zero_rotation, 1e-6 * s.sd_zero_rotation);
  EXPECT_NEAR(fromPage.sd_pos_gps[0], 0.7, 1e-6);
  EXPECT_NEAR(fromPage.initialConditions.sd_init_magvar[2], 0.01, 1e-8);
  EXPECT_NEAR(fromPage.initialConditions.sd_init_orient, 0.1, 1e-7);
}

TEST(Zkf6Params, DerivedValues) {
  auto p = params();
  EXPECT_EQ(p->sampleTime, 0.01);
  EXPECT_EQ(p->resetCount, 200);
  EXPECT_NEAR(p->gyrBiasWalk(0, 0), 0.1 * Noise().gyrWalk, 1e-18);
  EXPECT_NEAR(p->accBiasWalk(2, 2), 0.1 * Noise().accWalk, 1e-18);
  EXPECT_EQ(p->gyrBiasWalk(0, 1), 0.0);
  EXPECT_EQ(p->magMeasDev(2, 2), 100.0);
  EXPECT_EQ(p->gpsVelH(0, 3), 1.0);
  EXPECT_EQ(p->baroH(0, 2), 1.0);
  EXPECT_EQ(p->baroNoise, 0.6);
  EXPECT_TRUE(p->isUsable());
  EXPECT_TRUE(p->gpsSwitch);
  EXPECT_FALSE(p->baroSwitch);
  // Gravity from the stored position when not fixed.
  double g = 0;
  gravityIgf1980(zelto::Vector3(kLatitudeDeg, kLongitudeDeg, kAltitude), g);
  EXPECT_EQ(p->gravity[2], g);

  ZkfUserParams u = user(2.0);
  u.enabledFixedGravity = true;
  u.declination_angle_deg = 90.0;
  p = params(scenario(), u);
  EXPECT_EQ(p->resetCount, 5);  // trunc(4) is not above 4
  EXPECT_EQ(p->gravity[2], -9.81);
  EXPECT_EQ(p->magRef[0], 6.123233995736766e-17);
  EXPECT_EQ(p->magRef[1], -1.0);

  // GNSS deviations: scenario and hardware parts summed as deviations; the position variance.
  zelto::Zkf6ScenarioParams s = scenario();
  s.sd_pos_gps[0] = 0.3;
  s.sd_pos_gps[1] = 0.5;
  KtigHardwareParams h = hardware();
  h.sd_pos_gps[0] = 0.4;
  h.sd_pos_gps[1] = 1.2;
  p = params(s, user(), h);
  EXPECT_NEAR(p->gpsPosDev(0, 0), 0.5, 1e-15);
  EXPECT_NEAR(p->gpsPosVar(2, 2), 1.69, 1e-14);
  // Hardware without GNSS deviations: those parts 0.
  auto q = std::make_unique<zelto::Zkf6Params>();
  KtHardwareParams plain;
  q->initialize(s, plain, user(), zelto::Zkf6FilterSteps());
  EXPECT_NEAR(q->gpsPosDev(0, 0), 0.3, 1e-15);
  EXPECT_EQ(q->baroNoise, 0.0);

  // A sample rate of 0, negative or not a number gives no usable parameters.
  for (double rate : {0.0, -100.0, std::nan("")}) {
    p = params(scenario(), user(rate));
    EXPECT_FALSE(p->isUsable()) << rate;
    EXPECT_EQ(p->resetCount, 5);
  }
  // Copies own their step selection.
  zelto::Zkf6Params copy(*params());
  EXPECT_NE(copy.zkf6Steps(), nullptr);
  EXPECT_TRUE(copy.zkf6Steps()->defaultSchedule);
}

}  // namespace
