// Zkf3w records and parameters: keys and their failures, the state's read rules, isValid,
// initialisation from a measurement, permutation, step selection, the scenario reader's order,
// labels, bias-key choice and initial conditions, the scenario page bytes, and the derivation of
// the run-time parameters.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "Zkf3wTestTuning.h"
#include "errors/ZtException.h"
#include "filters/common/DecryptedScenarioPage.h"
#include "filters/common/EstimationRoutines.h"
#include "foundation/SettingsFile.h"
#include "math/fastfloat/FastFloat.h"
#include "support/TempDir.h"

using namespace zkf3wtest;
using zelto::SettingsFile;
using zelto::Variant;
using zelto::Vector3;
using zelto::Zkf3wState;

namespace {

constexpr double kZkf3wRecordsNaN = std::numeric_limits<double>::quiet_NaN();

std::vector<std::string> labels(const SettingsFile& f) {
  std::vector<std::string> out;
  for (uint32_t i = 0; f.getLabel(i) != nullptr; ++i) out.emplace_back(f.getLabel(i));
  return out;
}

// A state with every field holding a distinct, non-trivial value.
Zkf3wState filledState() {
  Zkf3wState s;
  for (ZtSize i = 0; i < 12; ++i) {
    s.x[i] = 0.1 * static_cast<double>(i) - 0.35;
    s.sx[i] = 1.0 / (3.0 + static_cast<double>(i));
    for (ZtSize j = 0; j <= i; ++j) s.sQx(i, j) = 0.01 * static_cast<double>(i + 1) + 0.001 * static_cast<double>(j);
  }
  s.q_ls = zelto::Quaternion(0.5, -0.5, 0.5, 0.5);
  s.a_l = Vector3(0.1, -0.2, 0.3);
  s.v_l = Vector3(1.0 / 3.0, 2.0 / 7.0, -5.0 / 11.0);
  s.magAvg = Vector3(0.5, -0.1, -0.8);
  s.magVar = Vector3(1e-4, 2e-4, 3e-4);
  s.valid = true;
  s.firstIteration = false;
  s.okAge = -123456;
  s.resetTimeDependent = true;
  s.sampleCount = 77;
  return s;
}

void expectSameState(const Zkf3wState& a, const Zkf3wState& b, double tol) {
  for (ZtSize i = 0; i < 12; ++i) {
    EXPECT_NEAR(a.x[i], b.x[i], tol) << i;
    EXPECT_NEAR(a.sx[i], b.sx[i], tol) << i;
    for (ZtSize j = 0; j < 12; ++j) EXPECT_NEAR(a.sQx(i, j), b.sQx(i, j), tol) << i << "," << j;
  }
  EXPECT_NEAR(a.q_ls.w, b.q_ls.w, tol);
  EXPECT_NEAR(a.q_ls.x, b.q_ls.x, tol);
  EXPECT_NEAR(a.q_ls.y, b.q_ls.y, tol);
  EXPECT_NEAR(a.q_ls.z, b.q_ls.z, tol);
  for (ZtSize i = 0; i < 3; ++i) {
    EXPECT_NEAR(a.a_l[i], b.a_l[i], tol);
    EXPECT_NEAR(a.v_l[i], b.v_l[i], tol);
    EXPECT_NEAR(a.magAvg[i], b.magAvg[i], tol);
    EXPECT_NEAR(a.magVar[i], b.magVar[i], tol);
  }
  EXPECT_EQ(a.valid, b.valid);
  EXPECT_EQ(a.firstIteration, b.firstIteration);
  EXPECT_EQ(a.okAge, b.okAge);
}

}  // namespace

TEST(Zkf3wInputRecords, RoundTripAndStopAtTheFirstMissingKey) {
  zelto::Zkf3wSensorData sd;
  sd.dv = Vector3(0.01, -0.02, 0.098);
  sd.dq = zelto::Quaternion(0.999, 0.01, -0.02, 0.03);
  sd.bGyr = Vector3(1e-3, -2e-3, 3e-3);
  zelto::Zkf3wAiding ad;
  ad.mag = Vector3(0.4, -0.1, -0.9);
  SettingsFile file;
  sd.writeToFile(file, "s.");
  ad.writeToFile(file, "a.");
  EXPECT_EQ(labels(file), (std::vector<std::string>{"a.mag", "s.bGyr", "s.dq", "s.dv"}));
  zelto::Zkf3wSensorData sd2;
  zelto::Zkf3wAiding ad2;
  sd2.readFromFile(file, "s.");
  ad2.readFromFile(file, "a.");
  EXPECT_EQ(sd2.dv, sd.dv);
  EXPECT_EQ(sd2.dq, sd.dq);
  EXPECT_EQ(sd2.bGyr, sd.bGyr);
  EXPECT_EQ(ad2.mag, ad.mag);

  // "dq" missing: dv read, bGyr not.
  ASSERT_EQ(file.clear("s.dq", false, true), 1);
  zelto::Zkf3wSensorData sd3;
  EXPECT_THROW(sd3.readFromFile(file, "s."), ZtException);
  EXPECT_EQ(sd3.dv, sd.dv);
  EXPECT_EQ(sd3.bGyr, Vector3(0, 0, 0));
}

TEST(Zkf3wState, FreshStateIsValueInitialisedAndNotValid) {
  Zkf3wState s;
  EXPECT_FALSE(s.isValid());
  EXPECT_TRUE(s.firstIteration);
  EXPECT_FALSE(s.valid);
  EXPECT_EQ(s.okAge, 0);
  EXPECT_EQ(s.sampleCount, 0);
  EXPECT_FALSE(s.resetTimeDependent);
  EXPECT_TRUE(s.isFinite());
  for (ZtSize i = 0; i < 12; ++i) {
    EXPECT_EQ(s.x[i], 0.0);
    EXPECT_EQ(s.sx[i], 0.0);
    for (ZtSize j = 0; j < 12; ++j) EXPECT_EQ(s.sQx(i, j), i == j ? 1.0 : 0.0);
  }
  EXPECT_EQ(s.q_ls, zelto::Quaternion(1, 0, 0, 0));
  for (const zelto::Vector3* v : {&s.a_l, &s.v_l, &s.magAvg, &s.magVar}) EXPECT_EQ(*v, Vector3(0, 0, 0));
  // The views are over x.
  s.x[0] = 1;
  s.x[3] = 2;
  s.x[6] = 3;
  s.x[9] = 4;
  EXPECT_EQ(s.orientError[0], 1.0);
  EXPECT_EQ(s.accLowpass[0], 2.0);
  EXPECT_EQ(s.gyrBias[0], 3.0);
  EXPECT_EQ(s.magField[0], 4.0);
}

TEST(Zkf3wState, CopiesEveryFieldBitForBit) {
  const Zkf3wState a = filledState();
  Zkf3wState b;
  b = a;
  expectSameState(b, a, 0.0);
  EXPECT_EQ(b.resetTimeDependent, a.resetTimeDependent);
  EXPECT_EQ(b.sampleCount, a.sampleCount);
  const Zkf3wState c(a);
  expectSameState(c, a, 0.0);
  EXPECT_EQ(c.sampleCount, 77);
  // The copy's views are over its own storage.
  b.x[6] = 42.0;
  EXPECT_EQ(b.gyrBias[0], 42.0);
  EXPECT_NE(a.gyrBias[0], 42.0);
  Zkf3wState& self = b;
  b = self;
  EXPECT_EQ(b.x[6], 42.0);
}

TEST(Zkf3wState, RoundTripInMemoryZsbAndZsa) {
  const Zkf3wState a = filledState();
  SettingsFile file;
  a.writeToFile(file, "st.");
  EXPECT_EQ(labels(file), (std::vector<std::string>{"st.a_l", "st.firstIteration", "st.magAvg", "st.magVar",
                                                    "st.okAge", "st.q_ls", "st.sQx", "st.sx", "st.v_l", "st.valid",
                                                    "st.x"}));
  Zkf3wState b;
  b.sampleCount = 9;
  b.readFromFile(file, "st.");
  expectSameState(b, a, 0.0);
  EXPECT_TRUE(b.resetTimeDependent);
  EXPECT_EQ(b.sampleCount, 0);

  zelto::test::TempDir dir;
  SettingsFile bin;
  const std::string zsb = dir.file("state.zsb");
  ASSERT_EQ(bin.create(zsb.c_str()), ZRV_OK);
  a.writeToFile(bin, "");
  ASSERT_EQ(bin.save(), ZRV_OK);
  bin.close();
  Zkf3wState c;
  ASSERT_TRUE(c.readFromFile(zsb));
  expectSameState(c, a, 0.0);

  SettingsFile text;
  a.writeToFile(text, "");
  const std::string zsa = dir.file("state.zsa");
  ASSERT_EQ(text.writeZsa(zsa.c_str()), ZRV_OK);
  Zkf3wState d;
  ASSERT_TRUE(d.readFromFile(zsa));
  expectSameState(d, a, 1e-12);
}

TEST(Zkf3wState, MissingValidReadsTrueAndResetsTheTable) {
  Zkf3wState a = filledState();
  a.valid = false;
  SettingsFile file;
  a.writeToFile(file, "");
  ASSERT_EQ(file.clear("valid", false, true), 1);
  Zkf3wState b;
  b.readFromFile(file, "");
  EXPECT_TRUE(b.valid);
  EXPECT_TRUE(b.resetTimeDependent);
  EXPECT_EQ(b.okAge, a.okAge);
}

TEST(Zkf3wState, MissingOkAgeThrowsAndKeepsTheKeysBefore) {
  const Zkf3wState a = filledState();
  SettingsFile file;
  a.writeToFile(file, "");
  ASSERT_EQ(file.clear("okAge", false, true), 1);
  Zkf3wState b;
  b.sampleCount = 5;
  b.okAge = 3;
  b.valid = false;
  try {
    b.readFromFile(file, "");
    FAIL() << "no exception";
  } catch (const ZtException& e) {
    EXPECT_NE(std::string(e.what()).find("okAge"), std::string::npos);
  }
  EXPECT_EQ(b.sampleCount, 0);
  EXPECT_EQ(b.x[4], a.x[4]);
  EXPECT_EQ(b.magVar, a.magVar);
  EXPECT_EQ(b.firstIteration, false);
  EXPECT_EQ(b.okAge, 3);
  EXPECT_FALSE(b.valid);  // after the failing key: not read
  EXPECT_FALSE(b.resetTimeDependent);
}

TEST(Zkf3wState, ShortStoredValuesAreRefused) {
  const Zkf3wState a = filledState();
  SettingsFile file;
  a.writeToFile(file, "");
  file.setSetting("", "sx", Variant(Vector3(1, 2, 3)));
  Zkf3wState b;
  EXPECT_THROW(b.readFromFile(file, ""), ZtException);
  EXPECT_EQ(b.x[1], a.x[1]);
}

TEST(Zkf3wState, IsValidRejectsEveryNonFiniteFieldAndNonUnitQuaternion) {
  Zkf3wState good = filledState();
  good.q_ls = zelto::Quaternion(1, 0, 0, 0);
  ASSERT_TRUE(good.isValid());
  struct Case {
    const char* what;
    void (*spoil)(Zkf3wState&);
  };
  const Case cases[] = {
      {"x", [](Zkf3wState& s) { s.x[11] = kZkf3wRecordsNaN; }},
      {"sQx", [](Zkf3wState& s) { s.sQx(5, 2) = INFINITY; }},
      {"sx", [](Zkf3wState& s) { s.sx[0] = kZkf3wRecordsNaN; }},
      {"a_l", [](Zkf3wState& s) { s.a_l[1] = kZkf3wRecordsNaN; }},
      {"v_l", [](Zkf3wState& s) { s.v_l[2] = -INFINITY; }},
      {"magAvg", [](Zkf3wState& s) { s.magAvg[0] = kZkf3wRecordsNaN; }},
      {"magVar", [](Zkf3wState& s) { s.magVar[2] = kZkf3wRecordsNaN; }},
      {"q_ls NaN", [](Zkf3wState& s) { s.q_ls.x = kZkf3wRecordsNaN; }},
      {"q_ls long", [](Zkf3wState& s) { s.q_ls = zelto::Quaternion(1.06, 0, 0, 0); }},
      {"q_ls short", [](Zkf3wState& s) { s.q_ls = zelto::Quaternion(0.94, 0, 0, 0); }},
      {"firstIteration", [](Zkf3wState& s) { s.firstIteration = true; }},
  };
  for (const Case& c : cases) {
    Zkf3wState s = good;
    c.spoil(s);
    EXPECT_FALSE(s.isValid()) << c.what;
  }
  Zkf3wState nearUnit = good;
  nearUnit.q_ls = zelto::Quaternion(1.04, 0, 0, 0);  // |q|^2 - 1 = 0.0816
  EXPECT_TRUE(nearUnit.isValid());
}

TEST(Zkf3wState, PermuteReordersStateAndRoot) {
  const Zkf3wState a = filledState();
  Zkf3wState b = a;
  zelto::Vector p(12);
  for (ZtSize i = 0; i < 12; ++i) p[i] = static_cast<double>((i + 5) % 12);
  ASSERT_TRUE(b.permute(p));
  for (ZtSize i = 0; i < 12; ++i) {
    const auto pi = static_cast<ZtSize>(p[i]);
    EXPECT_EQ(b.x[i], a.x[pi]);
    EXPECT_EQ(b.sx[i], a.sx[pi]);
    for (ZtSize j = 0; j < 12; ++j) EXPECT_EQ(b.sQx(i, j), a.sQx(pi, static_cast<ZtSize>(p[j])));
  }
  // Not a permutation: nothing changes (and nothing is read out of bounds).
  for (double bad : {12.0, -1.0, 0.5, kZkf3wRecordsNaN}) {
    zelto::Vector q(p);
    q[3] = bad;
    Zkf3wState c = a;
    EXPECT_FALSE(c.permute(q)) << bad;
    expectSameState(c, a, 0.0);
  }
  zelto::Vector dup(p);
  dup[0] = dup[1];
  Zkf3wState c = a;
  EXPECT_FALSE(c.permute(dup));
  EXPECT_FALSE(c.permute(zelto::Vector(3)));
}

namespace {

// The field of the simulator: north, west, up with inclination i (down positive).
Vector3 field(double inclination) { return Vector3(std::cos(inclination), 0.0, -std::sin(inclination)); }

Eigen::Matrix3d rotationOf(const zelto::Quaternion& q) { return toEigen(q).toRotationMatrix(); }

}  // namespace

TEST(Zkf3wState, InitializeFromMeasurementBuildsFrameStateAndRoot) {
  zelto::Zkf3wParams p = params();
  p.storedGyrBias = Vector3(0.001, -0.002, 0.003);
  // Sensor turned 30 degrees about z and 20 degrees about x: dv and mag in sensor axes.
  const Eigen::Matrix3d Rt =
      (Eigen::AngleAxisd(0.5, Eigen::Vector3d::UnitZ()) * Eigen::AngleAxisd(0.35, Eigen::Vector3d::UnitX()))
          .toRotationMatrix();
  const Eigen::Vector3d up(0, 0, kGravity), m(std::cos(kInclination), 0, -std::sin(kInclination));
  zelto::Zkf3wSensorData sd;
  zelto::Zkf3wAiding ad;
  const double dt = 0.02;
  const Eigen::Vector3d dvS = Rt.transpose() * up * dt, mS = Rt.transpose() * m;
  for (int i = 0; i < 3; ++i) {
    sd.dv[i] = dvS[i];
    ad.mag[i] = mS[i];
  }
  Zkf3wState s;
  s.okAge = 9;
  Vector3 z;
  ASSERT_TRUE(s.initializeFromMeasurement(p, sd, ad, dt, z));
  EXPECT_LT((rotationOf(s.q_ls) - Rt).norm(), 1e-12);
  EXPECT_NEAR(s.q_ls.w * s.q_ls.w + s.q_ls.x * s.q_ls.x + s.q_ls.y * s.q_ls.y + s.q_ls.z * s.q_ls.z, 1.0, 1e-15);
  const Eigen::Vector3d zs = Rt.transpose() * Eigen::Vector3d::UnitZ();
  for (int i = 0; i < 3; ++i) {
    EXPECT_NEAR(z[i], zs[i], 1e-12);
    EXPECT_NEAR(s.magField[i], m[i], 1e-12);
    EXPECT_EQ(s.magAvg[i], s.magField[i]);
    EXPECT_EQ(s.magVar[i], p.sd_init_magvar[i]);
    EXPECT_EQ(s.gyrBias[i], p.storedGyrBias[i]);
    EXPECT_EQ(s.orientError[i], 0.0);
    EXPECT_EQ(s.accLowpass[i], 0.0);
    EXPECT_EQ(s.a_l[i], 0.0);
    EXPECT_EQ(s.v_l[i], 0.0);
  }
  const double diag[12] = {0.05, 0.05, 0.05, 0.1, 0.1, 0.1, 0.01, 0.01, 0.01, 0.1, 0.1, 0.1};
  for (ZtSize i = 0; i < 12; ++i) {
    for (ZtSize j = 0; j < 12; ++j) EXPECT_EQ(s.sQx(i, j), i == j ? diag[i] : 0.0) << i << "," << j;
    EXPECT_NEAR(s.sx[i], s.x[i] / diag[i], 1e-15);
  }
  EXPECT_TRUE(s.valid);
  EXPECT_EQ(s.okAge, 0);

  // Declination 10 degrees east: the same sensor reads a heading 10 degrees further east, the
  // local frame being true north.
  zelto::Zkf3wParams pd = params(scenario(), user(kRate, 10.0));
  Zkf3wState sdecl;
  ASSERT_TRUE(sdecl.initializeFromMeasurement(pd, sd, ad, dt, z));
  const Eigen::Matrix3d expected = Eigen::AngleAxisd(-10.0 * M_PI / 180.0, Eigen::Vector3d::UnitZ()) * Rt;
  EXPECT_LT((rotationOf(sdecl.q_ls) - expected).norm(), 1e-12);
}

TEST(Zkf3wState, InitializeRefusesWhatGivesNoFrameAndFloorsZeroDeviations) {
  zelto::Zkf3wParams p = params();
  const Zkf3wState before = filledState();
  Vector3 z;
  struct Case {
    const char* what;
    Vector3 dv, mag;
    double dt;
  };
  const Case cases[] = {
      {"zero dv", Vector3(0, 0, 0), field(1.0), 0.01},
      {"zero mag", Vector3(0, 0, 0.1), Vector3(0, 0, 0), 0.01},
      {"parallel", Vector3(0, 0, 0.1), Vector3(0, 0, -0.7), 0.01},
      {"NaN dv", Vector3(kZkf3wRecordsNaN, 0, 0.1), field(1.0), 0.01},
      {"infinite mag", Vector3(0, 0, 0.1), Vector3(INFINITY, 0, 0), 0.01},
      {"dt 0", Vector3(0, 0, 0.1), field(1.0), 0.0},
      {"dt negative", Vector3(0, 0, 0.1), field(1.0), -0.01},
      {"dt NaN", Vector3(0, 0, 0.1), field(1.0), kZkf3wRecordsNaN},
  };
  for (const Case& c : cases) {
    zelto::Zkf3wSensorData sd;
    zelto::Zkf3wAiding ad;
    sd.dv = c.dv;
    ad.mag = c.mag;
    Zkf3wState s = before;
    EXPECT_FALSE(s.initializeFromMeasurement(p, sd, ad, c.dt, z)) << c.what;
    expectSameState(s, before, 0.0);
  }

  // Initial conditions never set (a scenario from a settings file without them): the root stays
  // invertible and the state finite.
  zelto::Zkf3wParams bare = p;
  bare.initialConditions = zelto::Zkf3wInitialConditions();
  bare.sd_init_acc = 0.0;
  bare.sd_init_gyrbias = -1.0;
  zelto::Zkf3wSensorData sd;
  zelto::Zkf3wAiding ad;
  sd.dv = Vector3(0, 0, 0.1);
  ad.mag = field(1.0);
  Zkf3wState s;
  ASSERT_TRUE(s.initializeFromMeasurement(bare, sd, ad, 0.01, z));
  for (ZtSize i = 0; i < 12; ++i) {
    EXPECT_GT(s.sQx(i, i), 0.0) << i;
    EXPECT_TRUE(std::isfinite(s.sx[i])) << i;
  }
}

TEST(Zkf3wFilterSteps, EnableListAndDuplicate) {
  struct Case {
    std::vector<const char*> in;
    bool ok;
    std::vector<std::string> enabled;
    bool init;
  };
  const Case cases[] = {
      {{}, true, {"default"}, false},
      {{"PREDICT"}, true, {"predict"}, false},
      {{"init", "Correct", "accupdate", "MAGUPDATE"}, true, {"correct", "accUpdate", "magUpdate"}, true},
      {{"predict", "zeroRotationUpdate", "correct"}, false, {"predict"}, false},
      {{"default", "predict"}, true, {"predict", "default"}, false},
  };
  for (const Case& c : cases) {
    zelto::Zkf3wFilterSteps s;
    s.correct = true;  // cleared by every call
    zelto::LabelList in;
    for (const char* l : c.in) in.append(l);
    EXPECT_EQ(s.enableSteps(in), c.ok);
    zelto::LabelList out;
    s.enabledSteps(out);
    std::vector<std::string> got;
    for (uint32_t i = 0; i < out.count(); ++i) got.push_back(out[i].c_str());
    EXPECT_EQ(got, c.enabled);
    EXPECT_EQ(s.init, c.init);
  }
  zelto::Zkf3wFilterSteps s;
  zelto::LabelList av;
  s.availableSteps(av);
  std::vector<std::string> got;
  for (uint32_t i = 0; i < av.count(); ++i) got.push_back(av[i].c_str());
  EXPECT_EQ(got, (std::vector<std::string>{"predict", "correct", "accUpdate", "magUpdate", "default"}));
  s.predict = true;
  s.defaultSchedule = false;
  std::unique_ptr<ZkfFilterSteps> d(s.duplicate());
  auto* w = dynamic_cast<zelto::Zkf3wFilterSteps*>(d.get());
  ASSERT_NE(w, nullptr);
  EXPECT_TRUE(w->predict);
  EXPECT_FALSE(w->defaultSchedule);
}

TEST(Zkf3wScenarioParams, RoundTripThroughASettingsFile) {
  zelto::Zkf3wScenarioParams a = scenario();
  a.sd_w_mag_temp_max = 0.75;
  SettingsFile file;
  a.writeToFile(file, "sc.");
  const std::vector<std::string> keys = labels(file);
  EXPECT_EQ(keys.size(), 29u + 5u);
  EXPECT_EQ(std::set<std::string>(keys.begin(), keys.end()).count("sc.stab.deltaGyrBias"), 1u);
  zelto::Zkf3wScenarioParams b;
  b.readFromFile(file, "sc.");
  SettingsFile again;
  b.writeToFile(again, "sc.");
  std::string t1, t2;
  ASSERT_EQ(file.writeZsaString("", t1), ZRV_OK);
  ASSERT_EQ(again.writeZsaString("", t2), ZRV_OK);
  t1.erase(0, t1.find('\n', t1.find('\n') + 1));
  t2.erase(0, t2.find('\n', t2.find('\n') + 1));
  EXPECT_EQ(t1, t2);
  EXPECT_STREQ(b.label, "test");
  EXPECT_EQ(b.flags, 3);
  EXPECT_EQ(b.initialConditions.sd_init_orient, 0.05);
  EXPECT_EQ(b.initialConditions.sd_init_mag, 0.1);
}

TEST(Zkf3wScenarioParams, ReaderOrderLabelsBiasKeyAndInitialConditions) {
  const zelto::Zkf3wScenarioParams a = scenario();
  SettingsFile base;
  a.writeToFile(base, "");

  // The flags come before "gp.type": without it they are read, type and version are not.
  {
    SettingsFile f;
    base.copyTo(f, "");
    ASSERT_EQ(f.clear("gp.type", false, true), 1);
    zelto::Zkf3wScenarioParams b;
    EXPECT_THROW(b.readFromFile(f, ""), ZtException);
    EXPECT_EQ(b.flags, 3);
    EXPECT_EQ(b.sd_w_mag_spat, a.sd_w_mag_spat);
    EXPECT_EQ(b.type, 0);
    EXPECT_EQ(b.label[0], '\0');
  }
  // A label of 20 characters is not copied; reading goes on.
  {
    SettingsFile f;
    base.copyTo(f, "");
    f.setSetting("", "gp.scenario", Variant("twenty-characters-xx"));
    f.setSetting("", "sd_init_mag", Variant(0.25));
    zelto::Zkf3wScenarioParams b;
    ASSERT_TRUE(b.setLabel("keep"));
    b.readFromFile(f, "");
    EXPECT_STREQ(b.label, "keep");
    EXPECT_EQ(b.version, 1);
    EXPECT_EQ(b.initialConditions.sd_init_mag, 0.25);
    f.setSetting("", "gp.scenario", Variant("nineteen-characters"));
    b.readFromFile(f, "");
    EXPECT_STREQ(b.label, "nineteen-characters");
  }
  // Bias stability: "stab.deltaGyrBias" first, "stab.sd_w_gyrBias" when only that is stored,
  // neither: the reader stops there.
  {
    SettingsFile f;
    base.copyTo(f, "");
    f.setSetting("", "stab.sd_w_gyrBias", Variant(7e-4));
    zelto::Zkf3wScenarioParams b;
    b.readFromFile(f, "");
    EXPECT_EQ(b.deltaGyrBias, a.deltaGyrBias);
    ASSERT_EQ(f.clear("stab.deltaGyrBias", false, true), 1);
    b.readFromFile(f, "");
    EXPECT_EQ(b.deltaGyrBias, 7e-4);
    ASSERT_EQ(f.clear("stab.sd_w_gyrBias", false, true), 1);
    zelto::Zkf3wScenarioParams c;
    try {
      c.readFromFile(f, "");
      FAIL() << "no exception";
    } catch (const ZtException& e) {
      EXPECT_NE(std::string(e.what()).find("stab.deltaGyrBias"), std::string::npos);
    }
    EXPECT_EQ(c.ndAcc, a.ndAcc);
    EXPECT_EQ(c.f_gyr_dynamic, 0.0);
  }
  // Initial conditions absent keep their values; present ones are read.
  {
    SettingsFile f;
    base.copyTo(f, "");
    for (const char* k : {"sd_init_orient", "sd_init_acc", "stab.sd_init_gyrBias", "sd_init_magvar"})
      ASSERT_EQ(f.clear(k, false, true), 1);
    zelto::Zkf3wScenarioParams b;
    b.initialConditions.sd_init_orient = 0.3;
    b.readFromFile(f, "");
    EXPECT_EQ(b.initialConditions.sd_init_orient, 0.3);
    EXPECT_EQ(b.initialConditions.sd_init_acc, 0.0);
    EXPECT_EQ(b.initialConditions.sd_init_mag, a.initialConditions.sd_init_mag);
  }
}

TEST(Zkf3wScenarioParams, PageBytesArePinned) {
  zelto::Zkf3wScenarioParams a = scenario();
  a.type = 0x157;  // low byte only
  a.version = 0x203;
  a.flags = 0x0102;
  unsigned char page[264];
  std::memset(page, 0xAB, sizeof(page));
  a.writeToDecryptedScenarioPage(page);
  EXPECT_EQ(page[0], 0x57);
  EXPECT_EQ(page[1], 0x03);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(page + 2), 20), std::string("test") + std::string(16, ' '));
  const zelto::Zkf3wInitialConditions& ic = a.initialConditions;
  const double order[30] = {a.f_gyr_oor,
                            a.f_acc_oor,
                            a.ndAcc,
                            a.ndGyr,
                            a.sd_v_mag,
                            a.deltaGyrBias,
                            a.f_gyr_dynamic,
                            a.f_acc_dynamic,
                            a.tau_acc,
                            a.sd_v_accLowpass,
                            a.tau_magavg,
                            a.tau_magvar,
                            a.tau_mag_temp,
                            a.f_magvar,
                            a.c_mag_max,
                            a.tau_vel,
                            a.dp_boost,
                            a.p_mag_spat,
                            a.sd_w_mag_spat,
                            a.validity_accThreshold,
                            a.validity_magThreshold,
                            a.validity_gyroBiasThreshold,
                            a.validity_angularUncertaintyThreshold,
                            ic.sd_init_orient,
                            ic.sd_init_acc,
                            ic.sd_init_gyrBias,
                            ic.sd_init_magvar[0],
                            ic.sd_init_magvar[1],
                            ic.sd_init_magvar[2],
                            ic.sd_init_mag};
  for (size_t k = 0; k < 30; ++k) {
    FastFloat f;
    f = order[k];
    EXPECT_EQ(std::memcmp(page + 22 + 6 * k, &f, 6), 0) << k;
  }
  // tau_vel (k = 15) decodes from its six bytes as 1.0.
  FastFloat one;
  std::memcpy(static_cast<void*>(&one), page + 22 + 6 * 15, 6);
  EXPECT_EQ(static_cast<double>(one), 1.0);
  for (size_t i = 202; i < 262; ++i) EXPECT_EQ(page[i], 0xAB) << i;
  EXPECT_EQ(page[262], 0x02);
  EXPECT_EQ(page[263], 0x01);

  zelto::Zkf3wScenarioParams b;
  b.readFromDecryptedScenarioPage(page);
  EXPECT_EQ(b.flags, 0x0102);
  EXPECT_EQ(b.type, 0);
  EXPECT_NEAR(b.tau_vel, 1.0, 1e-9);
  EXPECT_NEAR(b.ndAcc, a.ndAcc, 1e-9 * a.ndAcc);
  EXPECT_NEAR(b.initialConditions.sd_init_mag, ic.sd_init_mag, 1e-9);
  EXPECT_NEAR(b.initialConditions.sd_init_magvar[2], ic.sd_init_magvar[2], 1e-11);
  EXPECT_EQ(b.sd_w_mag_temp_max, 0.0);  // not on the page
}

TEST(Zkf3wParams, InitializeDerivesEveryField) {
  zelto::Zkf3wScenarioParams s = scenario();
  s.f_gyr_dynamic = 0.3;
  s.sd_w_mag_temp_max = 0.4;
  KtHardwareParams h = hardware();
  h.sd_v_acc = 3e-3;
  h.sd_v_gyr = 4e-4;
  h.deltaGyrBias = 2e-5;
  h.sd_v_mag = 1e-4;
  h.sd_init_gyrBias = 0.02;
  h.f_dynamic_gyro = 0.2;
  ZkfUserParams u = user(100.0, 0.0);
  u.enabledFixedGravity = false;
  u.storedGyrBias = Vector3(1, 2, 3);
  u.x_alignment = zelto::Quaternion(0, 1, 0, 0);
  zelto::Zkf3wFilterSteps steps;
  steps.predict = true;
  steps.defaultSchedule = false;
  zelto::Zkf3wParams p;
  p.enabledInitialGyroBiasUpdate = true;
  p.initialize(s, h, u, steps);

  EXPECT_EQ(p.sampleTime, 0.01);
  EXPECT_EQ(p.okAgeInit, 200);
  EXPECT_EQ(p.f_dynamic_acc, s.f_acc_dynamic);
  EXPECT_DOUBLE_EQ(p.f_dynamic_gyro, 0.5);
  EXPECT_EQ(p.tau_acc, s.tau_acc);
  EXPECT_EQ(p.tau_mag_temp, s.tau_mag_temp);
  EXPECT_EQ(p.sd_w_mag_temp_max, 0.4);
  EXPECT_EQ(p.validity_angularUncertaintyThreshold, s.validity_angularUncertaintyThreshold);
  EXPECT_DOUBLE_EQ(p.gyroscope_range, 2000.0 * M_PI / 180.0);
  EXPECT_EQ(p.accelerometer_range, 160.0);
  EXPECT_DOUBLE_EQ(p.ndAcc, std::hypot(3e-3, s.ndAcc));
  EXPECT_DOUBLE_EQ(p.ndGyr, std::hypot(4e-4, s.ndGyr));
  EXPECT_DOUBLE_EQ(p.sdWGyrBias, std::hypot(2e-5, s.deltaGyrBias));
  EXPECT_DOUBLE_EQ(p.sdvMag, std::hypot(1e-4, s.sd_v_mag));
  EXPECT_DOUBLE_EQ(p.sd_init_gyrbias, std::hypot(0.02, s.initialConditions.sd_init_gyrBias));
  for (ZtSize r = 0; r < 3; ++r)
    for (ZtSize c = 0; c < 3; ++c) EXPECT_EQ(p.sQw_mag_spat(r, c), r == c ? s.sd_w_mag_spat : 0.0);
  EXPECT_TRUE(p.enabledAccUpdate);
  EXPECT_TRUE(p.enabledMagUpdate);
  EXPECT_TRUE(p.enabledInitialGyroBiasUpdate);  // left as it was
  EXPECT_EQ(p.m0, Vector3(1, 0, 0));
  double g = 0.0;
  gravityIgf1980(p.storedLatLongAlt, g);
  EXPECT_EQ(p.gravity_l, Vector3(0, 0, g));
  Vector3 w;
  computeEarthRotationInLtp(kLatitudeDeg, w);
  EXPECT_EQ(p.angVelEarth_g, w);
  EXPECT_EQ(p.sd_init_acc, s.initialConditions.sd_init_acc);
  EXPECT_EQ(p.sd_init_magvar, Vector3(0.01, 0.01, 0.01));
  EXPECT_EQ(p.initialConditions.sd_init_orient, s.initialConditions.sd_init_orient);
  EXPECT_EQ(p.storedGyrBias, Vector3(1, 2, 3));
  EXPECT_EQ(p.x_alignment, zelto::Quaternion(0, 1, 0, 0));
  ASSERT_NE(p.zkf3wSteps(), nullptr);
  EXPECT_NE(p.zkf3wSteps(), &steps);
  EXPECT_TRUE(p.zkf3wSteps()->predict);
  EXPECT_FALSE(p.zkf3wSteps()->defaultSchedule);

  // Declination, fixed gravity, an impossible position, update flags, sample-rate truncation.
  u = user(40000.0, 30.0);
  u.storedLatLongAlt = Vector3(0, 0, 0);
  s.flags = zelto::Zkf3wScenarioParams::kMagUpdateFlag;
  p.initialize(s, h, u, steps);
  EXPECT_NEAR(p.m0[0], std::cos(M_PI / 6), 1e-15);
  EXPECT_NEAR(p.m0[1], -0.5, 1e-15);
  EXPECT_EQ(p.m0[2], 0.0);
  EXPECT_EQ(p.gravity_l, Vector3(0, 0, -kGravity));
  EXPECT_EQ(p.storedLatLongAlt, Vector3(kDefaultLatitudeDeg, kDefaultLongitudeDeg, kDefaultAltitude));
  EXPECT_FALSE(p.enabledAccUpdate);
  EXPECT_TRUE(p.enabledMagUpdate);
  EXPECT_EQ(p.okAgeInit, 80000 & 0xFFFF);
  // A sample rate that is no rate.
  p.initialize(s, h, user(0.0), steps);
  EXPECT_EQ(p.sampleTime, 0.0);
  EXPECT_EQ(p.okAgeInit, 0);
}

TEST(Zkf3wParams, FortyTwoKeysRoundTripAndOkAgeTruncation) {
  zelto::Zkf3wParams a = params();
  a.x_alignment = zelto::Quaternion(0.5, 0.5, -0.5, 0.5);
  a.enabledFixedGravity = true;
  a.sQw_mag_spat(0, 1) = 0.125;
  SettingsFile file;
  a.writeToFile(file, "p.");
  EXPECT_EQ(labels(file).size(), 42u);
  zelto::Zkf3wParams b;
  b.readFromFile(file, "p.");
  SettingsFile again;
  b.writeToFile(again, "p.");
  std::string t1, t2;
  ASSERT_EQ(file.writeZsaString("", t1), ZRV_OK);
  ASSERT_EQ(again.writeZsaString("", t2), ZRV_OK);
  t1.erase(0, t1.find('\n', t1.find('\n') + 1));
  t2.erase(0, t2.find('\n', t2.find('\n') + 1));
  EXPECT_EQ(t1, t2);
  EXPECT_EQ(b.sQw_mag_spat(0, 1), 0.125);
  EXPECT_EQ(b.x_alignment, a.x_alignment);

  file.setSetting("p.", "okAgeInit", Variant(70000u));
  b.readFromFile(file, "p.");
  EXPECT_EQ(b.okAgeInit, 70000 & 0xFFFF);

  // A missing key stops the reader; the ones before it stay.
  ASSERT_EQ(file.clear("p.okAgeInit", false, true), 1);
  zelto::Zkf3wParams c;
  EXPECT_THROW(c.readFromFile(file, "p."), ZtException);
  EXPECT_EQ(c.gravity_l, a.gravity_l);
  EXPECT_EQ(c.c_mag_max, 0.0);
  EXPECT_EQ(c.sd_w_mag_temp_max, 1.0);
}

TEST(Zkf3wParams, CopiesDuplicateTheSteps) {
  zelto::Zkf3wParams a = params();
  a.zkf3wSteps()->magUpdate = true;
  zelto::Zkf3wParams b(a);
  ASSERT_NE(b.zkf3wSteps(), nullptr);
  EXPECT_NE(b.zkf3wSteps(), a.zkf3wSteps());
  EXPECT_TRUE(b.zkf3wSteps()->magUpdate);
  zelto::Zkf3wParams c;
  c = a;
  EXPECT_NE(c.zkf3wSteps(), a.zkf3wSteps());
  EXPECT_TRUE(c.zkf3wSteps()->magUpdate);
  EXPECT_EQ(c.ndAcc, a.ndAcc);
}
