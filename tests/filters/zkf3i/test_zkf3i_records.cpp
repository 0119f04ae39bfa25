// The Zkf3i records and step selection: constructor values, settings round trips, the state's
// read order that differs from its write order, the stored widths of counters and clip words,
// partial reads, the derived rate and force of the sensor data, permutation and the step labels.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "errors/ZtException.h"
#include "filters/zkf3i/Zkf3iAiding.h"
#include "filters/zkf3i/Zkf3iFilterOutput.h"
#include "filters/zkf3i/Zkf3iFilterSteps.h"
#include "filters/zkf3i/Zkf3iRealTimeParameters.h"
#include "filters/zkf3i/Zkf3iSensorData.h"
#include "filters/zkf3i/Zkf3iState.h"
#include "foundation/SettingsFile.h"
#include "math/strapdown/Strapdown.h"

namespace {

using zelto::SettingsFile;
using zelto::Variant;
using zelto::Zkf3iState;

// A state whose every member holds a value of its own.
Zkf3iState distinctState() {
  Zkf3iState s;
  double v = 1.0;
  for (ZtSize i = 0; i < Zkf3iState::kStates; ++i) {
    s.x[i] = v++;
    s.sx[i] = -v++;
    for (ZtSize j = 0; j <= i; ++j) s.sQx(i, j) = 0.01 * (i + 1) + 0.001 * j;
  }
  zelto::Vector3* vectors[] = {&s.a_l,    &s.clipSolve_state, &s.m0_def, &s.mag_s_prev, &s.mag_avg,
                               &s.mag_var, &s.v_l,            &s.m0_proj_def, &s.acc_div, &s.mag_l};
  for (zelto::Vector3* p : vectors) *p = zelto::Vector3(v, v + 0.5, v + 0.25), v += 1.0;
  s.firstIteration = false;
  s.isValidAge = -7;
  s.NR_magCounter = 11;
  s.q_ls = zelto::Quaternion(0.5, -0.5, 0.5, 0.5);
  s.q_redefine = zelto::Quaternion(0.0, 0.6, 0.0, 0.8);
  s.zruRunning = s.cZruRunning = s.zruAborted = s.zruSamplesRejected = true;
  s.zruSamplesToProcess = 1234;
  s.cZruSamplesBelowThreshold = 99;
  s.magFieldDipAngleRad = 1.1;
  s.normMag = 48.5;
  s.sdMagVar = 0.03;
  s.accUpdateIgnoreSamples = 50;
  s.accUpdateSamplesAboveThreshold = 49;
  s.c_mag_spat = 0.77;
  s.clippedAccDivCounter = 1000;
  return s;
}

void expectSameKeyedMembers(const Zkf3iState& a, const Zkf3iState& b) {
  EXPECT_TRUE(a.x == b.x);
  EXPECT_TRUE(a.sx == b.sx);
  EXPECT_TRUE(a.sQx == b.sQx);
  const zelto::Vector3* va[] = {&a.a_l, &a.clipSolve_state, &a.m0_def, &a.mag_s_prev, &a.mag_avg,
                                &a.mag_var, &a.v_l, &a.m0_proj_def, &a.acc_div};
  const zelto::Vector3* vb[] = {&b.a_l, &b.clipSolve_state, &b.m0_def, &b.mag_s_prev, &b.mag_avg,
                                &b.mag_var, &b.v_l, &b.m0_proj_def, &b.acc_div};
  for (size_t i = 0; i < std::size(va); ++i) EXPECT_TRUE(*va[i] == *vb[i]) << i;
  EXPECT_EQ(a.firstIteration, b.firstIteration);
  EXPECT_EQ(a.isValidAge, b.isValidAge);
  EXPECT_EQ(a.NR_magCounter, b.NR_magCounter);
  EXPECT_TRUE(a.q_ls == b.q_ls);
  EXPECT_TRUE(a.q_redefine == b.q_redefine);
  EXPECT_EQ(a.zruRunning, b.zruRunning);
  EXPECT_EQ(a.cZruRunning, b.cZruRunning);
  EXPECT_EQ(a.zruAborted, b.zruAborted);
  EXPECT_EQ(a.zruSamplesRejected, b.zruSamplesRejected);
  EXPECT_EQ(a.zruSamplesToProcess, b.zruSamplesToProcess);
  EXPECT_EQ(a.cZruSamplesBelowThreshold, b.cZruSamplesBelowThreshold);
  EXPECT_EQ(a.magFieldDipAngleRad, b.magFieldDipAngleRad);
  EXPECT_EQ(a.normMag, b.normMag);
  EXPECT_EQ(a.sdMagVar, b.sdMagVar);
  EXPECT_EQ(a.accUpdateIgnoreSamples, b.accUpdateIgnoreSamples);
  EXPECT_EQ(a.accUpdateSamplesAboveThreshold, b.accUpdateSamplesAboveThreshold);
  EXPECT_EQ(a.c_mag_spat, b.c_mag_spat);
  EXPECT_EQ(a.clippedAccDivCounter, b.clippedAccDivCounter);
}

TEST(Zkf3iState, ConstructorValues) {
  const Zkf3iState s;
  EXPECT_TRUE(s.isValid());
  EXPECT_TRUE(s.isUsable());
  EXPECT_TRUE(s.firstIteration);
  zelto::Matrix I(12, 12);
  I.isIdentity();
  EXPECT_TRUE(s.sQx == I);
  EXPECT_TRUE(s.q_ls == zelto::Quaternion(1, 0, 0, 0));
  EXPECT_TRUE(s.q_redefine == zelto::Quaternion(0, 0, 0, 0));
  EXPECT_EQ(s.normMag, 1.0);
  // The members the filter fills only at its initialisation are zero, not indeterminate.
  const zelto::Vector3* zeroed[] = {&s.a_l, &s.clipSolve_state, &s.m0_def, &s.mag_l, &s.mag_s_prev,
                                    &s.mag_avg, &s.mag_var, &s.v_l, &s.m0_proj_def, &s.acc_div};
  for (const zelto::Vector3* v : zeroed) EXPECT_TRUE(*v == zelto::Vector3(0, 0, 0));
  for (ZtSize i = 0; i < 12; ++i) EXPECT_EQ(s.x[i] + s.sx[i], 0.0);
  EXPECT_EQ(s.zruSamplesToProcess + s.cZruSamplesBelowThreshold + s.accUpdateIgnoreSamples, 0u);
  // The views look into x.
  Zkf3iState t;
  t.x[4] = 2.0;
  t.x[10] = 3.0;
  EXPECT_EQ(t.gyrBias[1], 2.0);
  EXPECT_EQ(t.orientError[1], 3.0);
}

TEST(Zkf3iState, WriteReadRoundTripAndCopies) {
  const Zkf3iState a = distinctState();
  SettingsFile file;
  a.writeToFile(file, "st.");
  Zkf3iState b;
  ASSERT_TRUE(b.readFromFileNoThrow(file, "st."));
  expectSameKeyedMembers(a, b);
  // mag_l is not stored; the copy carries it, and its views look into its own x.
  EXPECT_FALSE(file.hasSetting("st.", "mag_l"));
  EXPECT_TRUE(b.mag_l == zelto::Vector3(0, 0, 0));
  Zkf3iState c(a);
  EXPECT_TRUE(c.mag_l == a.mag_l);
  c.x[3] = -100.0;
  EXPECT_EQ(c.gyrBias[0], -100.0);
  EXPECT_NE(a.x[3], -100.0);
  Zkf3iState d;
  d = a;
  d = d;
  expectSameKeyedMembers(a, d);
}

TEST(Zkf3iState, StoredWidthsOfCountersAndKinds) {
  Zkf3iState a = distinctState();
  a.zruSamplesToProcess = 4294967296ull;
  a.cZruSamplesBelowThreshold = 4294967297ull;
  SettingsFile file;
  a.writeToFile(file, "");
  const struct {
    const char* key;
    uint32_t kind;
  } kinds[] = {{"x", Variant::KindVector},          {"sQx", Variant::KindMatrix},
               {"q_ls", Variant::KindQuaternion},   {"firstIteration", Variant::KindBool},
               {"isValidAge", Variant::KindInt32},  {"zruSamplesToProcess", Variant::KindInt32},
               {"normMag", Variant::KindDouble},    {"accUpdateSamplesAboveThreshold", Variant::KindInt32}};
  for (const auto& k : kinds) {
    Variant v;
    ASSERT_EQ(file.getSetting("", k.key, v), ZRV_OK) << k.key;
    EXPECT_EQ(v.kind(), k.kind) << k.key;
  }
  Zkf3iState b;
  ASSERT_TRUE(b.readFromFileNoThrow(file, ""));
  EXPECT_EQ(b.zruSamplesToProcess, 0u);
  EXPECT_EQ(b.cZruSamplesBelowThreshold, 1u);
}

TEST(Zkf3iState, PartialReadsFollowTheReadOrder) {
  const Zkf3iState written = distinctState();
  // Each case removes one key: the members before it in the read order take the file's values,
  // the missing one and the later ones keep the fresh state's values.
  const struct {
    const char* missing;
    bool clippedAccDivCounterRead, sQxRead, q_lsRead;
  } cases[] = {
      {"sQx", true, false, false},                 // "clippedAccDivCounter" is read before "sQx"
      {"clippedAccDivCounter", false, false, false},  // right after "NR_magCounter"
      {"q_redefine", true, true, true},
      {"accUpdateIgnoreSamples", true, true, true},  // the last key
  };
  for (const auto& c : cases) {
    SettingsFile file;
    written.writeToFile(file, "p.");
    ASSERT_EQ(file.clear((std::string("p.") + c.missing).c_str(), false, true), 1) << c.missing;
    Zkf3iState s;
    EXPECT_THROW(s.readFromFile(file, "p."), ZtException) << c.missing;
    EXPECT_TRUE(s.x == written.x) << c.missing;
    EXPECT_EQ(s.NR_magCounter, written.NR_magCounter) << c.missing;
    EXPECT_EQ(s.clippedAccDivCounter == written.clippedAccDivCounter, c.clippedAccDivCounterRead) << c.missing;
    EXPECT_EQ(s.sQx == written.sQx, c.sQxRead) << c.missing;
    EXPECT_EQ(s.q_ls == written.q_ls, c.q_lsRead) << c.missing;
  }
  // A stored vector shorter than the member is refused like a missing key.
  SettingsFile file;
  written.writeToFile(file, "");
  const double two[] = {1.0, 2.0};
  file.setSetting("", "sx", Variant(two, 2));
  Zkf3iState s;
  EXPECT_FALSE(s.readFromFileNoThrow(file, ""));
  EXPECT_TRUE(s.sQx == written.sQx);
  EXPECT_FALSE(s.sx == written.sx);
}

TEST(Zkf3iState, PermuteReordersOrRefuses) {
  Zkf3iState s = distinctState();
  const Zkf3iState before = s;
  double idx[12];
  for (int i = 0; i < 12; ++i) idx[i] = (i + 3) % 12;
  const zelto::Vector p(12, idx);
  ASSERT_TRUE(s.permute(p));
  for (ZtSize i = 0; i < 12; ++i) {
    EXPECT_EQ(s.x[i], before.x[(i + 3) % 12]);
    EXPECT_EQ(s.sx[i], before.sx[(i + 3) % 12]);
    for (ZtSize j = 0; j < 12; ++j) EXPECT_EQ(s.sQx(i, j), before.sQx((i + 3) % 12, (j + 3) % 12));
  }
  // Not a permutation of 0..11: out of range, repeated, fractional, wrong length.
  const Zkf3iState kept = s;
  for (double bad : {12.0, -1.0, 0.5, 4.0}) {
    double q[12];
    for (int i = 0; i < 12; ++i) q[i] = i;
    q[3] = bad;
    EXPECT_FALSE(s.permute(zelto::Vector(12, q))) << bad;
  }
  EXPECT_FALSE(s.permute(zelto::Vector(3, idx)));
  expectSameKeyedMembers(s, kept);
}

TEST(Zkf3iSensorData, RoundTripClipWordsAndDerivedValues) {
  zelto::Zkf3iSensorData a;
  EXPECT_TRUE(a.dq == zelto::Quaternion(1, 0, 0, 0));
  a.dq = zelto::Quaternion(0.9998, 0.01, -0.015, 0.005);
  a.dq.isNormalizeSelf();
  a.dv = zelto::Vector3(0.01, -0.02, 0.098);
  a.clipAcc = 0x0300;
  a.clipGyr = 0x2800;
  // acc and gyr stay zero until computeGyrAcc, and are not stored.
  EXPECT_TRUE(a.acc == zelto::Vector3(0, 0, 0));
  EXPECT_TRUE(a.gyr == zelto::Vector3(0, 0, 0));
  EXPECT_FALSE(a.computeGyrAcc(0.0));
  EXPECT_FALSE(a.computeGyrAcc(-0.01));
  EXPECT_TRUE(a.acc == zelto::Vector3(0, 0, 0));
  ASSERT_TRUE(a.computeGyrAcc(0.01));
  zelto::Vector3 acc, gyr;
  inverseSdi(acc, gyr, a.dq, a.dv, 0.01);
  EXPECT_TRUE(a.acc == acc);
  EXPECT_TRUE(a.gyr == gyr);
  const zelto::Zkf3iSensorData copy(a);
  EXPECT_TRUE(copy.acc == acc);

  SettingsFile file;
  a.writeToFile(file, "sd.");
  for (const char* key : {"acc", "gyr"}) EXPECT_FALSE(file.hasSetting("sd.", key));
  Variant word;
  ASSERT_EQ(file.getSetting("sd.", "eventData.clip.acc", word), ZRV_OK);
  EXPECT_EQ(word.kind(), Variant::KindInt64);
  // A stored clip word above 16 bits keeps its low bits.
  file.setSetting("sd.", "eventData.clip.gyr", Variant(static_cast<long>(65537)));
  zelto::Zkf3iSensorData b;
  ASSERT_TRUE(b.readFromFileNoThrow(file, "sd."));
  EXPECT_EQ(b.clipAcc, 0x0300);
  EXPECT_EQ(b.clipGyr, 1);
  EXPECT_TRUE(b.dq == a.dq);
  EXPECT_TRUE(b.dv == a.dv);
  EXPECT_TRUE(b.acc == zelto::Vector3(0, 0, 0));

  zelto::Zkf3iAiding m, n;
  EXPECT_FALSE(m.hasMag());
  m.mag = zelto::Vector3(0.2, 0.0, -0.4);
  EXPECT_TRUE(m.hasMag());
  m.writeToFile(file, "ad.");
  ASSERT_TRUE(n.readFromFileNoThrow(file, "ad."));
  EXPECT_TRUE(n.mag == m.mag);

  const zelto::Zkf3iRealTimeParameters rt;
  EXPECT_EQ(rt.noRotationDuration, 0);
  const zelto::Zkf3iFilterOutput out;
  EXPECT_TRUE(out.q_ls == zelto::Quaternion(0, 0, 0, 0));
  EXPECT_FALSE(out.valid);
}

std::vector<std::string> labelsOf(const zelto::LabelList& l) {
  std::vector<std::string> out;
  for (uint32_t i = 0; i < l.count(); ++i) out.emplace_back(l[i].c_str());
  return out;
}

zelto::LabelList listOf(std::initializer_list<const char*> labels) {
  zelto::LabelList l;
  for (const char* s : labels) l.append(s);
  return l;
}

TEST(Zkf3iFilterSteps, SelectionsAndLabels) {
  using Steps = zelto::Zkf3iFilterSteps;
  using V = std::vector<std::string>;
  Steps s;
  zelto::LabelList out;
  out.append("stale");
  s.enabledSteps(out);
  EXPECT_EQ(labelsOf(out), V{"default"});
  s.availableSteps(out);
  EXPECT_EQ(labelsOf(out), (V{"init", "predict", "correct", "zeroRotationUpdate", "caZeroRotationUpdate", "accUpdate",
                              "magUpdate", "userMagModel", "default"}));

  const struct {
    std::initializer_list<const char*> list;
    bool result;
    V enabled;
  } cases[] = {
      {{}, true, {"default"}},
      {{"PREDICT", "Correct"}, true, {"predict", "correct"}},
      {{"predict", "nonsense", "correct"}, false, {"predict"}},
      {{"magUpdate", "init"}, true, {"init", "magUpdate"}},
      {{"userMagModel", "userMagModel", "default"}, true, {"userMagModel", "default"}},
      {{"caZeroRotationUpdate"}, true, {"caZeroRotationUpdate"}},
  };
  for (const auto& c : cases) {
    Steps t;
    t.enableSteps(listOf({"accUpdate"}));
    EXPECT_EQ(t.enableSteps(listOf(c.list)), c.result);
    t.enabledSteps(out);
    EXPECT_EQ(labelsOf(out), c.enabled);
  }
  Steps u;
  u.enableSteps(listOf({"init", "zeroRotationUpdate"}));
  std::unique_ptr<ZkfFilterSteps> dup(u.duplicate());
  auto* d = dynamic_cast<Steps*>(dup.get());
  ASSERT_NE(d, nullptr);
  EXPECT_NE(d, &u);
  EXPECT_TRUE(*d == u);
}

}  // namespace
