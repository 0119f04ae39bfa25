// Zkf700 records: the settings forms of the sensor data, aiding and state, the aiding's
// assignment rule, and the step selection.
#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "errors/ZtException.h"
#include "filters/zkf700/Zkf700Aiding.h"
#include "filters/zkf700/Zkf700FilterOutput.h"
#include "filters/zkf700/Zkf700FilterSteps.h"
#include "filters/zkf700/Zkf700SensorData.h"
#include "filters/zkf700/Zkf700State.h"
#include "foundation/LabelList.h"
#include "foundation/SettingsFile.h"

using zelto::SettingsFile;
using zelto::Variant;
using zelto::Zkf700Aiding;
using zelto::Zkf700FilterSteps;
using zelto::Zkf700SensorData;
using zelto::Zkf700State;

namespace {

Zkf700Aiding filledAiding() {
  Zkf700Aiding a;
  a.mag = zelto::Vector3(0.1, 0.2, -0.4);
  a.gpsPos = zelto::Vector3(47.5, 8.25, 412.0);
  a.gpsVel = zelto::Vector3(1.5, -2.0, 0.25);
  a.gpsPAcc = 2.5;
  a.gpsSAcc = 0.3;
  a.baro = 96000.0;
  a.magValid = a.gpsValid = a.baroValid = true;
  return a;
}

void expectSameAiding(const Zkf700Aiding& a, const Zkf700Aiding& b) {
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(a.mag[i], b.mag[i]);
    EXPECT_EQ(a.gpsPos[i], b.gpsPos[i]);
    EXPECT_EQ(a.gpsVel[i], b.gpsVel[i]);
  }
  EXPECT_EQ(a.gpsPAcc, b.gpsPAcc);
  EXPECT_EQ(a.gpsSAcc, b.gpsSAcc);
  EXPECT_EQ(a.baro, b.baro);
  EXPECT_EQ(a.magValid, b.magValid);
  EXPECT_EQ(a.gpsValid, b.gpsValid);
  EXPECT_EQ(a.baroValid, b.baroValid);
}

// Every saved field of a state away from its default.
Zkf700State filledState() {
  Zkf700State s;
  for (int i = 0; i < 18; ++i) {
    s.m_x[i] = 0.5 * (i + 1);
    s.m_sx[i] = -0.25 * (i + 1);
    for (int j = 0; j <= i; ++j) s.m_sQx(i, j) = 1.0 + i + 0.01 * j;
  }
  s.g_l = zelto::Vector3(0, 0, -9.8);
  s.firstIteration = false;
  s.acc_div = zelto::Vector3(1, 2, 3);
  s.mag_avg = zelto::Vector3(4, 5, 6);
  s.mag_var = zelto::Vector3(7, 8, 9);
  s.NR_magCounter = -7;
  s.v_l_m = zelto::Vector3(-1, -2, -3);
  s.m_q_ls = zelto::Quaternion(0.5, 0.5, -0.5, 0.5);
  s.gpsOutage = true;
  s.firstGPS = false;
  s.zruRunning = s.cZruRunning = s.zruAborted = s.zruSamplesRejected = true;
  s.zruSamplesToProcess = 70000;
  s.cZruSamplesBelowThreshold = 11;
  s.accDivMon_samples_to_ignore = 12;
  s.accDivMonSamplesAboveThreshold = 13;
  s.validAge = 14;
  s.lastAiding = filledAiding();
  s.lastKnownGpsTime = 123456789;
  s.firstBarometer = false;
  s.barometer_baseheight[0] = -3.5;
  s.barometer_baseheight[1] = 250.25;
  s.coastingGps = 1.75;
  s.lat_long_alt_zero = zelto::Vector3(47.0, 8.0, 400.0);
  s.lat_long_alt = zelto::Vector3(47.001, 8.002, 401.0);
  s.filterMode = 3;
  return s;
}

void expectSameState(const Zkf700State& a, const Zkf700State& b) {
  for (int i = 0; i < 18; ++i) {
    EXPECT_EQ(a.m_x[i], b.m_x[i]);
    EXPECT_EQ(a.m_sx[i], b.m_sx[i]);
    for (int j = 0; j < 18; ++j) EXPECT_EQ(a.m_sQx(i, j), b.m_sQx(i, j));
  }
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(a.g_l[i], b.g_l[i]);
    EXPECT_EQ(a.acc_div[i], b.acc_div[i]);
    EXPECT_EQ(a.mag_avg[i], b.mag_avg[i]);
    EXPECT_EQ(a.mag_var[i], b.mag_var[i]);
    EXPECT_EQ(a.v_l_m[i], b.v_l_m[i]);
    EXPECT_EQ(a.lat_long_alt_zero[i], b.lat_long_alt_zero[i]);
    EXPECT_EQ(a.lat_long_alt[i], b.lat_long_alt[i]);
  }
  EXPECT_EQ(a.firstIteration, b.firstIteration);
  EXPECT_EQ(a.NR_magCounter, b.NR_magCounter);
  EXPECT_TRUE(zelto::Quaternion(a.m_q_ls).compare(b.m_q_ls));
  EXPECT_EQ(a.gpsOutage, b.gpsOutage);
  EXPECT_EQ(a.firstGPS, b.firstGPS);
  EXPECT_EQ(a.zruRunning, b.zruRunning);
  EXPECT_EQ(a.cZruRunning, b.cZruRunning);
  EXPECT_EQ(a.zruAborted, b.zruAborted);
  EXPECT_EQ(a.zruSamplesRejected, b.zruSamplesRejected);
  EXPECT_EQ(a.zruSamplesToProcess, b.zruSamplesToProcess);
  EXPECT_EQ(a.cZruSamplesBelowThreshold, b.cZruSamplesBelowThreshold);
  EXPECT_EQ(a.accDivMon_samples_to_ignore, b.accDivMon_samples_to_ignore);
  EXPECT_EQ(a.accDivMonSamplesAboveThreshold, b.accDivMonSamplesAboveThreshold);
  EXPECT_EQ(a.validAge, b.validAge);
  expectSameAiding(a.lastAiding, b.lastAiding);
  EXPECT_EQ(a.lastKnownGpsTime, b.lastKnownGpsTime);
  EXPECT_EQ(a.firstBarometer, b.firstBarometer);
  EXPECT_EQ(a.barometer_baseheight[0], b.barometer_baseheight[0]);
  EXPECT_EQ(a.barometer_baseheight[1], b.barometer_baseheight[1]);
  EXPECT_EQ(a.coastingGps, b.coastingGps);
  EXPECT_EQ(a.filterMode, b.filterMode);
}

TEST(Zkf700SensorData, RoundTripWithMillisecondTimeAndSixteenBitMasks) {
  Zkf700SensorData d;
  d.dq = zelto::Quaternion(0.9, 0.1, -0.3, 0.2);
  d.dv = zelto::Vector3(0.01, -0.02, 0.098);
  d.clipAcc = 5;
  d.clipGyr = 0x8001;
  d.time = 1234567;
  SettingsFile file;
  d.writeToFile(file, "s.");
  Zkf700SensorData back;
  back.readFromFile(file, "s.");
  EXPECT_TRUE(back.dq.compare(d.dq));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(back.dv[i], d.dv[i]);
  EXPECT_EQ(back.clipAcc, 5);
  EXPECT_EQ(back.clipGyr, 0x8001);
  EXPECT_EQ(back.time, 1234567);

  // Stored seconds are truncated to whole milliseconds; masks keep their low 16 bits.
  file.setSetting("s.", "time", Variant(0.0015));
  file.setSetting("s.", "eventData.clip.acc", Variant(65537));
  back.readFromFile(file, "s.");
  EXPECT_EQ(back.time, 1);
  EXPECT_EQ(back.clipAcc, 1);
}

TEST(Zkf700SensorData, RateAndAccelerationOfTheIncrements) {
  Zkf700SensorData d;
  const double T = 0.01;
  d.dq.isHelical(zelto::Vector3(0.0, 0.0, 0.5 * T));  // 0.5 rad/s about z
  d.dv = zelto::Vector3(0.0, 0.0, 9.81 * T);
  d.computeGyrAcc(T);
  EXPECT_NEAR(d.m_gyr[2], 0.5, 1e-12);
  EXPECT_NEAR(d.m_gyr[0], 0.0, 1e-15);
  EXPECT_NEAR(d.m_acc[2], 9.81, 1e-12);
}

TEST(Zkf700Aiding, StartsAtZeroAndRoundTrips) {
  const Zkf700Aiding fresh;
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(fresh.mag[i], 0.0);
    EXPECT_EQ(fresh.gpsPos[i], 0.0);
    EXPECT_EQ(fresh.gpsVel[i], 0.0);
  }
  EXPECT_EQ(fresh.baro, 0.0);
  EXPECT_EQ(fresh.gpsPAcc, 0.0);
  EXPECT_EQ(fresh.gpsSAcc, 0.0);
  EXPECT_FALSE(fresh.magValid || fresh.gpsValid || fresh.baroValid);

  const Zkf700Aiding a = filledAiding();
  SettingsFile file;
  a.writeToFile(file, "a.");
  Zkf700Aiding back;
  back.baro = 1.0;  // a non-zero pressure lets the barometer group be read
  back.readFromFile(file, "a.");
  expectSameAiding(back, a);
}

TEST(Zkf700Aiding, ReaderSkipsGroupsByFlagAndByAZeroPressure) {
  SettingsFile file;
  filledAiding().writeToFile(file, "a.");
  // A zero pressure: neither barometer key is read, the flag is cleared.
  Zkf700Aiding zeroBaro;
  zeroBaro.baroValid = true;
  zeroBaro.readFromFile(file, "a.");
  EXPECT_FALSE(zeroBaro.baroValid);
  EXPECT_EQ(zeroBaro.baro, 0.0);

  // "gpsValid" false: the GNSS values stay and their keys need not exist.
  SettingsFile sparse;
  sparse.setSetting("a.", "magValid", Variant(false));
  sparse.setSetting("a.", "gpsValid", Variant(false));
  Zkf700Aiding keep = filledAiding();
  keep.baro = 0.0;
  keep.readFromFile(sparse, "a.");
  EXPECT_FALSE(keep.gpsValid);
  EXPECT_EQ(keep.gpsPos[0], 47.5);
  EXPECT_EQ(keep.gpsPAcc, 2.5);
  EXPECT_EQ(keep.mag[2], -0.4);
}

TEST(Zkf700Aiding, AssignmentCopiesFlagsAlwaysAndGroupsByTheirFlags) {
  Zkf700Aiding src = filledAiding();
  src.magValid = false;
  src.gpsValid = false;
  src.baroValid = false;
  src.mag = zelto::Vector3(9, 9, 9);
  src.gpsPos = zelto::Vector3(9, 9, 9);
  src.baro = 12345.0;
  Zkf700Aiding dst;
  dst.mag = zelto::Vector3(1, 2, 3);
  dst.gpsPos = zelto::Vector3(4, 5, 6);
  dst.magValid = dst.gpsValid = dst.baroValid = true;
  dst = src;
  EXPECT_FALSE(dst.magValid || dst.gpsValid || dst.baroValid);
  EXPECT_EQ(dst.mag[0], 1.0);
  EXPECT_EQ(dst.gpsPos[0], 4.0);
  EXPECT_EQ(dst.baro, 12345.0);  // copied whatever its flag says
  src.magValid = src.gpsValid = true;
  dst = src;
  EXPECT_EQ(dst.mag[0], 9.0);
  EXPECT_EQ(dst.gpsPos[2], 9.0);
  const Zkf700Aiding copy(src);
  expectSameAiding(copy, src);
}

TEST(Zkf700State, ConstructorDefaults) {
  const Zkf700State s;
  for (int i = 0; i < 18; ++i) {
    EXPECT_EQ(s.m_x[i], 0.0);
    for (int j = 0; j < 18; ++j) EXPECT_EQ(s.m_sQx(i, j), i == j ? 1.0 : 0.0);
  }
  EXPECT_TRUE(zelto::Quaternion(s.m_q_ls).compare(zelto::Quaternion(1, 0, 0, 0)));
  EXPECT_TRUE(s.firstIteration);
  EXPECT_TRUE(s.firstBarometer);
  EXPECT_FALSE(s.zruRunning || s.cZruRunning || s.zruAborted || s.zruSamplesRejected);
  EXPECT_EQ(s.filterMode, 0u);
  EXPECT_EQ(s.validAge, 0u);
  EXPECT_EQ(s.coastingGps, 0.0);
  EXPECT_EQ(s.lastKnownGpsTime, 0);
  // Views stay on the record's own x.
  EXPECT_EQ(s.m_xOrient.data, s.m_x.data + 15);
  EXPECT_EQ(s.m_xMag.data, s.m_xAccBias.data);
}

TEST(Zkf700State, RoundTripRestoresEverySavedField) {
  const Zkf700State s = filledState();
  SettingsFile file;
  s.writeToFile(file, "st.");
  EXPECT_TRUE(file.hasSetting("st.", "lastAiding.gps.pos"));
  Zkf700State back;
  back.lastAiding.baro = 1.0;  // lets the last aiding's barometer group be read
  ASSERT_TRUE(back.readFromFileNoThrow(file, "st."));
  expectSameState(back, s);

  // Copies copy values, not views.
  Zkf700State copy(s);
  expectSameState(copy, s);
  EXPECT_EQ(copy.m_xVel.data, copy.m_x.data + 3);
  Zkf700State assigned;
  assigned = s;
  assigned = assigned;
  expectSameState(assigned, s);
}

TEST(Zkf700State, ReadStopsAtTheFirstMissingOrShortKey) {
  const Zkf700State s = filledState();
  SettingsFile file;
  s.writeToFile(file, "st.");
  std::string text, kept;
  ASSERT_EQ(file.writeZsaString(nullptr, text), 0);
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);)
    if (line.rfind("st.validAge=", 0) != 0) kept += line + "\n";
  SettingsFile noAge;
  ASSERT_EQ(noAge.readZsaString(kept.c_str()), 0);
  Zkf700State partial;
  EXPECT_FALSE(partial.readFromFileNoThrow(noAge, "st."));
  EXPECT_EQ(partial.m_x[17], s.m_x[17]);
  EXPECT_EQ(partial.lat_long_alt[0], s.lat_long_alt[0]);
  EXPECT_EQ(partial.validAge, 0u);
  EXPECT_EQ(partial.coastingGps, 0.0);
  EXPECT_EQ(partial.filterMode, 0u);

  // The barometer baseline must hold its two values.
  file.setSetting("st.", "barometer_baseheight", Variant(zelto::Vector(1, s.barometer_baseheight)));
  Zkf700State shortBase;
  EXPECT_FALSE(shortBase.readFromFileNoThrow(file, "st."));
  EXPECT_EQ(shortBase.validAge, s.validAge);
  EXPECT_EQ(shortBase.coastingGps, 0.0);
}

TEST(Zkf700State, PermuteReordersStateAndCovarianceRoot) {
  Zkf700State s = filledState();
  const Zkf700State before = s;
  double order[18];
  for (int i = 0; i < 18; ++i) order[i] = 17 - i + 0.9;  // truncated: 17 - i
  order[0] = 17.0;
  s.permute(zelto::Vector(18, order));
  for (int i = 0; i < 18; ++i) {
    EXPECT_EQ(s.m_x[i], before.m_x[17 - i]);
    EXPECT_EQ(s.m_sx[i], before.m_sx[17 - i]);
    for (int j = 0; j < 18; ++j) EXPECT_EQ(s.m_sQx(i, j), before.m_sQx(17 - i, 17 - j));
  }
}

struct StepCase {
  std::vector<const char*> labels;
  bool result;
  std::vector<const char*> enabled;
};

TEST(Zkf700FilterSteps, LabelsSelectStepsWithoutRegardToCase) {
  const std::vector<StepCase> cases = {
      {{}, true, {"default"}},
      {{"PrEdIcT"}, true, {"predict"}},
      {{"predict", "correct"}, true, {"predict", "correct"}},
      {{"predict", "nonsense", "correct"}, false, {"predict"}},
      {{"default", "gpsUpdate", "init"}, true, {"init", "gpsUpdate", "default"}},
      {{"localConstantUpdate", "noRotationUpdate", "holonomicConstraintUpdate"},
       true,
       {"holonomicConstraintUpdate", "noRotationUpdate", "localConstantUpdate"}},
  };
  for (const StepCase& c : cases) {
    Zkf700FilterSteps steps;
    steps.correct = true;
    zelto::LabelList in;
    for (const char* l : c.labels) in.append(l);
    EXPECT_EQ(steps.enableSteps(in), c.result);
    zelto::LabelList out;
    out.append("stale");
    steps.enabledSteps(out);
    ASSERT_EQ(out.count(), c.enabled.size());
    for (size_t i = 0; i < c.enabled.size(); ++i) EXPECT_STREQ(out[i].c_str(), c.enabled[i]);
  }
  Zkf700FilterSteps steps;
  zelto::LabelList all;
  steps.availableSteps(all);
  const char* expected[] = {"init",       "decisionLogic", "updateGpsState",
                            "predict",    "correct",       "gpsUpdate",
                            "baroUpdate", "magUpdate",     "holonomicConstraintUpdate",
                            "accUpdate",  "noRotationUpdate", "localConstantUpdate",
                            "default"};
  ASSERT_EQ(all.count(), 13u);
  for (uint32_t i = 0; i < 13; ++i) EXPECT_STREQ(all[i].c_str(), expected[i]);
  steps.gpsUpdate = true;
  steps.defaultSteps = false;
  std::unique_ptr<ZkfFilterSteps> dup(steps.duplicate());
  auto* copy = dynamic_cast<Zkf700FilterSteps*>(dup.get());
  ASSERT_NE(copy, nullptr);
  EXPECT_TRUE(copy->gpsUpdate);
  EXPECT_FALSE(copy->defaultSteps);
}

TEST(Zkf700FilterOutput, StartsWithAZeroOrientation) {
  const zelto::Zkf700FilterOutput out;
  EXPECT_EQ(out.m_orientation.w, 0.0);
  EXPECT_FALSE(out.m_valid);
  EXPECT_FALSE(out.m_done);
}

}  // namespace
