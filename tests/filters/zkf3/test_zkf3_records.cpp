// Zkf3 records and parameters: the state's settings form and its two starting operations, the
// scenario's settings and page forms, the step selection and the derivation of the run-time
// parameters.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "Zkf3TestTuning.h"
#include "errors/ZtException.h"
#include "filters/common/EstimationRoutines.h"
#include "filters/common/DecryptedScenarioPage.h"
#include "foundation/SettingsFile.h"
#include "math/fastfloat/FastFloat.h"

using namespace zkf3test;
using zelto::SettingsFile;
using zelto::Zkf3State;

namespace {

// A state with every field away from its default.
Zkf3State filledState() {
  Zkf3State s;
  s.q_gs = zelto::Quaternion(0.5, 0.5, -0.5, 0.5);
  for (int i = 0; i < 12; ++i) {
    s.x[i] = 0.1 * (i + 1);
    s.sx[i] = -0.2 * (i + 1);
    for (int j = 0; j <= i; ++j) s.sQx(i, j) = 1.0 + i + 0.01 * j;
  }
  s.velocity_g = zelto::Vector3(1, 2, 3);
  s.magVar = zelto::Vector3(4, 5, 6);
  s.magAvg = zelto::Vector3(7, 8, 9);
  s.acceleration_g = zelto::Vector3(-1, -2, -3);
  s.dynGravity = zelto::Vector3(0, 0, -9.81);
  s.we_g = zelto::Vector3(1e-5, 0, 2e-5);
  s.sslacc = 200;
  s.sslmag = 7;
  s.firstIteration = false;
  s.running = true;
  s.aborted = true;
  s.rejected = true;
  s.gbes = 54321;
  return s;
}

void expectSameState(const Zkf3State& a, const Zkf3State& b) {
  EXPECT_EQ(a.q_gs.w, b.q_gs.w);
  EXPECT_EQ(a.q_gs.z, b.q_gs.z);
  for (int i = 0; i < 12; ++i) {
    EXPECT_EQ(a.x[i], b.x[i]);
    EXPECT_EQ(a.sx[i], b.sx[i]);
    for (int j = 0; j < 12; ++j) EXPECT_EQ(a.sQx(i, j), b.sQx(i, j));
  }
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(a.velocity_g[i], b.velocity_g[i]);
    EXPECT_EQ(a.magVar[i], b.magVar[i]);
    EXPECT_EQ(a.magAvg[i], b.magAvg[i]);
    EXPECT_EQ(a.acceleration_g[i], b.acceleration_g[i]);
    EXPECT_EQ(a.dynGravity[i], b.dynGravity[i]);
    EXPECT_EQ(a.we_g[i], b.we_g[i]);
  }
  EXPECT_EQ(a.sslacc, b.sslacc);
  EXPECT_EQ(a.sslmag, b.sslmag);
  EXPECT_EQ(a.firstIteration, b.firstIteration);
  EXPECT_EQ(a.running, b.running);
  EXPECT_EQ(a.aborted, b.aborted);
  EXPECT_EQ(a.rejected, b.rejected);
  EXPECT_EQ(a.gbes, b.gbes);
}

}  // namespace

TEST(Zkf3State, DefaultsAndViews) {
  Zkf3State s;
  EXPECT_EQ(s.q_gs.w, 1.0);
  for (int i = 0; i < 12; ++i)
    for (int j = 0; j < 12; ++j) EXPECT_EQ(s.sQx(i, j), i == j ? 1.0 : 0.0);
  EXPECT_EQ(s.sslacc, 1);
  EXPECT_EQ(s.sslmag, 0);
  EXPECT_TRUE(s.firstIteration);
  EXPECT_EQ(s.gbes, 0);
  // The three views are the elements 3-5, 6-8 and 9-11 of x, also in copies.
  s.x[4] = 2.0;
  s.x[7] = 3.0;
  s.x[10] = 4.0;
  const Zkf3State copy(s);
  EXPECT_EQ(copy.gyrBias[1], 2.0);
  EXPECT_EQ(copy.magRef[1], 3.0);
  EXPECT_EQ(copy.orientError[1], 4.0);
  EXPECT_NE(copy.gyrBias.data, s.gyrBias.data);
}

TEST(Zkf3State, SettingsRoundTripInMemoryAndZsb) {
  const Zkf3State original = filledState();
  SettingsFile file;
  original.writeToFile(file, "st.");
  Zkf3State back;
  ASSERT_TRUE(back.readFromFileNoThrow(file, "st."));
  expectSameState(original, back);

  std::vector<char> image(file.serialize(nullptr));
  ASSERT_EQ(file.serialize(image.data()), image.size());
  SettingsFile restored;
  ASSERT_EQ(restored.deserialize(image.data(), image.size()), image.size());
  Zkf3State fromZsb;
  ASSERT_TRUE(fromZsb.readFromFileNoThrow(restored, "st."));
  expectSameState(original, fromZsb);
}

TEST(Zkf3State, AccelerationIsOptionalOtherKeysAreNot) {
  const Zkf3State original = filledState();
  SettingsFile file;
  original.writeToFile(file, "");
  file.clear("acceleration_g", false, true);
  Zkf3State back;
  back.acceleration_g = zelto::Vector3(5, 5, 5);
  ASSERT_TRUE(back.readFromFileNoThrow(file, ""));
  EXPECT_EQ(back.acceleration_g[0], 0.0);
  EXPECT_EQ(back.we_g[2], original.we_g[2]);  // read after it
  EXPECT_EQ(back.gbes, original.gbes);

  // Without "x" the read stops there: sQx, sx and q_gs read, the rest untouched.
  SettingsFile partial;
  original.writeToFile(partial, "");
  partial.clear("x", false, true);
  Zkf3State stopped;
  EXPECT_FALSE(stopped.readFromFileNoThrow(partial, ""));
  EXPECT_EQ(stopped.sQx(5, 3), original.sQx(5, 3));
  EXPECT_EQ(stopped.sx[2], original.sx[2]);
  EXPECT_EQ(stopped.q_gs.x, original.q_gs.x);
  EXPECT_EQ(stopped.x[0], 0.0);
  EXPECT_EQ(stopped.gbes, 0);
  EXPECT_THROW(stopped.readFromFile(partial, ""), ZtException);
}

TEST(Zkf3State, StartNoRotation) {
  struct Case {
    double gyr[3];
    double seconds;
    double rate;
    bool aborted;
    uint16_t gbes;
  };
  const double limit = std::sqrt(Zkf3State::kNoRotationLimit2);  // 5 degrees/s
  const Case cases[] = {
      {{0, 0, 0}, 1.0, 100.0, false, 100},
      {{0, 0, 0}, 1.0, 120.0, false, 120},
      {{0, 0, 0}, 10.0, 100.0, false, 1000},
      {{limit, 0, 0}, 10.0, 100.0, true, 0},
      {{0, 0.999 * limit, 0}, 10.0, 100.0, false, 1000},
      {{0, 0, 0}, 65535.0, 100.0, false, 65535},  // saturates instead of wrapping
      {{std::nan(""), 0, 0}, 1.0, 100.0, true, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.gyr[0] << " " << c.seconds << " s at " << c.rate);
    auto p = params(scenario(), user(c.rate));
    ZkfInertialData in;
    in.gyr = zelto::Vector3(c.gyr[0], c.gyr[1], c.gyr[2]);
    Zkf3State s;
    s.running = s.rejected = true;
    s.startNoRotation(*p, in, c.seconds);
    EXPECT_EQ(s.aborted, c.aborted);
    EXPECT_EQ(s.gbes, c.gbes);
    EXPECT_FALSE(s.running);
    EXPECT_FALSE(s.rejected);
  }
}

TEST(Zkf3State, InitializeFromMeasurement) {
  auto p = params();
  ZkfInertialData in;
  zelto::Zkf3Aiding ad;
  zelto::Vector3 up;
  // Level, x toward magnetic north: field (0.5, 0, -0.8) gives the identity.
  in.acc = zelto::Vector3(0, 0, 9.81);
  ad.mag = zelto::Vector3(0.5, 0, -0.8);
  Zkf3State s;
  ASSERT_TRUE(s.initializeFromMeasurement(*p, in, ad, up));
  EXPECT_NEAR(s.q_gs.w, 1.0, 1e-15);
  EXPECT_NEAR(s.magRef[0], 0.5, 1e-15);
  EXPECT_NEAR(s.magRef[1], 0.0, 1e-15);
  EXPECT_NEAR(s.magRef[2], -0.8, 1e-15);
  EXPECT_EQ(up[2], 1.0);
  EXPECT_EQ(s.magAvg[0], s.magRef[0]);
  EXPECT_EQ(s.sQx(0, 0), p->sd_init_acc);
  EXPECT_EQ(s.sQx(3, 3), p->sd_init_gyrbias);
  EXPECT_EQ(s.sQx(6, 6), p->sd_init_mag);
  EXPECT_EQ(s.sQx(9, 9), p->initialConditions.sd_init_orient);
  EXPECT_EQ(s.sQx(10, 9), 0.0);
  EXPECT_EQ(s.sx[6], s.x[6] / s.sQx(6, 6));
  EXPECT_EQ(s.we_g[0], p->angVelEarth_g[0]);

  // Inputs that give no orientation leave the state as it was.
  const double bad[][6] = {{0, 0, 0, 1, 0, 0}, {0, 0, 9.81, 0, 0, 0}, {0, 0, 9.81, 0, 0, -2},
                           {0, 0, 9.81, 0, 0, std::numeric_limits<double>::infinity()}};
  for (const auto& b : bad) {
    Zkf3State t = filledState();
    in.acc = zelto::Vector3(b[0], b[1], b[2]);
    ad.mag = zelto::Vector3(b[3], b[4], b[5]);
    EXPECT_FALSE(t.initializeFromMeasurement(*p, in, ad, up));
    expectSameState(t, filledState());
  }

  // With the initial bias update enabled and the gyroscope still, the bias estimation starts for
  // 2 s and the bias starts at the measured rate.
  zelto::Zkf3ScenarioParams sc = scenario();
  ZkfUserParams u = user();
  u.enabledInitialGyroBiasUpdate = true;
  auto pb = params(sc, u);
  in.acc = zelto::Vector3(0, 0, 9.81);
  ad.mag = zelto::Vector3(0.5, 0, -0.8);
  in.gyr = zelto::Vector3(0.001, -0.002, 0.003);
  Zkf3State b;
  ASSERT_TRUE(b.initializeFromMeasurement(*pb, in, ad, up));
  EXPECT_EQ(b.gbes, 200);
  EXPECT_EQ(b.gyrBias[2], 0.003);
  EXPECT_EQ(b.sQx(4, 4), 2.0 * pb->sQvGyr(0, 0));
}

TEST(Zkf3State, ZeroInitialDeviationsAreFloored) {
  zelto::Zkf3ScenarioParams sc = scenario();
  sc.initialConditions.sd_init_orient = 0.0;
  sc.initialConditions.sd_init_acc = 0.0;
  sc.initialConditions.sd_init_mag = -1.0;
  auto p = params(sc);
  ZkfInertialData in;
  zelto::Zkf3Aiding ad;
  zelto::Vector3 up;
  in.acc = zelto::Vector3(0, 0, 9.81);
  ad.mag = zelto::Vector3(0.5, 0, -0.8);
  Zkf3State s;
  ASSERT_TRUE(s.initializeFromMeasurement(*p, in, ad, up));
  for (int i = 0; i < 12; ++i) {
    EXPECT_GT(s.sQx(i, i), 0.0) << i;
    EXPECT_TRUE(std::isfinite(s.sx[i])) << i;
  }
}

TEST(Zkf3State, PermuteReordersStateAndRoot) {
  Zkf3State s = filledState();
  const Zkf3State before = s;
  zelto::Vector p(12);
  for (int i = 0; i < 12; ++i) p[i] = 11 - i;
  s.permute(p);
  for (int i = 0; i < 12; ++i) {
    EXPECT_EQ(s.x[i], before.x[11 - i]);
    EXPECT_EQ(s.sx[i], before.sx[11 - i]);
    for (int j = 0; j < 12; ++j) EXPECT_EQ(s.sQx(i, j), before.sQx(11 - i, 11 - j));
  }
}

TEST(Zkf3ScenarioParams, SettingsRoundTripAndNameLimit) {
  zelto::Zkf3ScenarioParams s = scenario();
  ASSERT_TRUE(s.setScenarioName("nineteen_characters"));
  SettingsFile file;
  s.writeToFile(file, "sc.");
  zelto::Zkf3ScenarioParams back;
  ASSERT_TRUE(back.readFromFileNoThrow(file, "sc."));
  EXPECT_EQ(back.tau_acc, s.tau_acc);
  EXPECT_EQ(back.validity_angularUncertaintyThreshold, s.validity_angularUncertaintyThreshold);
  EXPECT_EQ(back.sd_w_mag_spat, s.sd_w_mag_spat);
  EXPECT_EQ(back.updateFlags, 3);
  EXPECT_EQ(back.type, '3');
  EXPECT_EQ(back.version, 1);
  EXPECT_STREQ(back.scenarioName, "nineteen_characters");
  EXPECT_EQ(back.initialConditions.sd_init_magvar[2], s.initialConditions.sd_init_magvar[2]);
  EXPECT_EQ(back.initialConditions.sd_init_mag, s.initialConditions.sd_init_mag);
  EXPECT_TRUE(file.hasSetting("sc.stab.sd_init_gyrBias"));
  EXPECT_TRUE(file.hasSetting("sc.validity.TBD"));

  // 20 characters do not fit the name buffer.
  file.setSetting("sc.", "gp.scenario", zelto::Variant("twenty_characters_xx"));
  zelto::Zkf3ScenarioParams refused;
  try {
    refused.readFromFile(file, "sc.");
    FAIL() << "no exception";
  } catch (const ZtException& e) {
    EXPECT_EQ(e.result(), 256);
    EXPECT_NE(std::string(e.what()).find("strcpy failed"), std::string::npos);
  }
  EXPECT_EQ(refused.version, 1);  // read before the name
  EXPECT_EQ(refused.initialConditions.sd_init_mag, 0.0);  // after it
  EXPECT_FALSE(refused.setScenarioName("twenty_characters_xx"));
}

TEST(Zkf3ScenarioParams, PageBytesPinned) {
  zelto::Zkf3ScenarioParams s;
  s.type = 0x133;  // low byte '3'
  s.version = 0x202;
  ASSERT_TRUE(s.setScenarioName("abc"));
  s.f_gyr_oor = 1.0;                // k = 0
  s.f_acc_oor = 0.5;                // k = 1
  s.validity_TBD = -1.0;            // k = 24
  s.initialConditions.sd_init_orient = 2.0;  // first initial value
  s.initialConditions.sd_init_mag = 1.0;     // last
  s.updateFlags = 0x0203;
  unsigned char page[264];
  std::memset(page, 0xAA, sizeof(page));
  s.writeToDecryptedScenarioPage(page);
  EXPECT_EQ(page[0], 0x33);
  EXPECT_EQ(page[1], 0x02);
  EXPECT_EQ(std::memcmp(page + 2, "abc                 ", 20), 0);
  const unsigned char one[6] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x40};   // 2^30 * 2^(1-31)
  const unsigned char half[6] = {0x00, 0x00, 0x00, 0x00, 0x00, 0x40};  // 2^30 * 2^(0-31)
  const unsigned char minusOne[6] = {0x00, 0x00, 0x00, 0x00, 0x00, 0x80};  // -2^31 * 2^(0-31)
  const unsigned char two[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x40};
  const unsigned char zero[6] = {0, 0, 0, 0, 0, 0};
  EXPECT_EQ(std::memcmp(page + 22, one, 6), 0);
  EXPECT_EQ(std::memcmp(page + 28, half, 6), 0);
  EXPECT_EQ(std::memcmp(page + 34, zero, 6), 0);
  EXPECT_EQ(std::memcmp(page + 22 + 6 * 24, minusOne, 6), 0);
  EXPECT_EQ(std::memcmp(page + 172, two, 6), 0);
  EXPECT_EQ(std::memcmp(page + 172 + 36, one, 6), 0);
  for (int i = 214; i < 262; ++i) EXPECT_EQ(page[i], 0xAA) << i;
  EXPECT_EQ(page[262], 0x03);
  EXPECT_EQ(page[263], 0x02);

  // Unpacking takes the 32 values and the flags only.
  zelto::Zkf3ScenarioParams back;
  back.type = 7;
  ASSERT_TRUE(back.setScenarioName("keep"));
  back.readFromDecryptedScenarioPage(page);
  EXPECT_EQ(back.f_gyr_oor, 1.0);
  EXPECT_EQ(back.f_acc_oor, 0.5);
  EXPECT_EQ(back.validity_TBD, -1.0);
  EXPECT_EQ(back.initialConditions.sd_init_orient, 2.0);
  EXPECT_EQ(back.initialConditions.sd_init_mag, 1.0);
  EXPECT_EQ(back.updateFlags, 0x0203);
  EXPECT_EQ(back.type, 7);
  EXPECT_STREQ(back.scenarioName, "keep");

  // Every value of a full scenario survives the page within the 31-bit mantissa.
  const zelto::Zkf3ScenarioParams full = scenario();
  zelto::Zkf3ScenarioParams copy = full;
  copy.writeToDecryptedScenarioPage(page);
  zelto::Zkf3ScenarioParams unpacked;
  unpacked.readFromDecryptedScenarioPage(page);
  EXPECT_NEAR(unpacked.sd_v_gyr, full.sd_v_gyr, 1e-9 * full.sd_v_gyr);
  EXPECT_NEAR(unpacked.tau_acc, full.tau_acc, 1e-9);
  EXPECT_NEAR(unpacked.validity_gyroBiasThreshold, full.validity_gyroBiasThreshold, 1e-10);
  EXPECT_NEAR(unpacked.initialConditions.sd_init_magvar[1], full.initialConditions.sd_init_magvar[1], 1e-11);
}

TEST(Zkf3FilterSteps, EnableListAndDuplicate) {
  using zelto::Zkf3FilterSteps;
  struct Case {
    std::vector<const char*> labels;
    bool result;
    std::vector<const char*> enabled;
  };
  const Case cases[] = {
      {{}, true, {"default"}},
      {{"PREDICT"}, true, {"predict"}},
      {{"init", "magupdate", "Correct"}, true, {"correct", "magUpdate"}},
      {{"accUpdate", "bogus", "correct"}, false, {"accUpdate"}},
      {{"zeroRotationUpdate", "default"}, true, {"zeroRotationUpdate", "default"}},
  };
  for (const Case& c : cases) {
    Zkf3FilterSteps steps;
    zelto::LabelList in, out;
    for (const char* l : c.labels) in.append(l);
    EXPECT_EQ(steps.enableSteps(in), c.result);
    steps.enabledSteps(out);
    ASSERT_EQ(out.count(), c.enabled.size());
    for (size_t i = 0; i < c.enabled.size(); ++i) EXPECT_STREQ(out[i].c_str(), c.enabled[i]);
  }
  Zkf3FilterSteps steps;
  EXPECT_TRUE(steps.defaultSchedule);
  zelto::LabelList available;
  steps.availableSteps(available);
  ASSERT_EQ(available.count(), 6u);
  EXPECT_STREQ(available[0].c_str(), "predict");
  EXPECT_STREQ(available[5].c_str(), "default");
  steps.predict = true;
  std::unique_ptr<ZkfFilterSteps> copy(steps.duplicate());
  steps.predict = false;
  auto* typed = dynamic_cast<Zkf3FilterSteps*>(copy.get());
  ASSERT_NE(typed, nullptr);
  EXPECT_TRUE(typed->predict);
}

TEST(Zkf3Params, InitializeDerivesTheRunTimeParameters) {
  zelto::Zkf3ScenarioParams s = scenario();
  KtHardwareParams h = hardware();
  h.sd_v_acc = 0.03;
  h.sd_v_gyr = 0.004;
  h.deltaGyrBias = 2e-4;
  h.f_dynamic_gyro = 0.1;
  h.sd_init_gyrBias = 0.02;
  ZkfUserParams u = user();
  zelto::Zkf3FilterSteps steps;
  steps.defaultSchedule = false;
  steps.correct = true;
  zelto::Zkf3Params p;
  p.initialize(s, h, u, steps);
  EXPECT_EQ(p.sampleTime, 0.01);
  EXPECT_EQ(p.okAgeInit, 200);
  EXPECT_DOUBLE_EQ(p.c_acc, std::exp(-0.02));
  EXPECT_DOUBLE_EQ(p.sQvAcc(1, 1), std::hypot(0.03, s.sd_v_acc));
  EXPECT_EQ(p.sQvAcc(0, 1), 0.0);
  EXPECT_DOUBLE_EQ(p.sTqvGyr(2, 2), 0.01 * std::hypot(0.004, s.sd_v_gyr));
  EXPECT_DOUBLE_EQ(p.sQw_gyr_bias(0, 0), 0.1 * (2e-4 + s.deltaGyrBias));
  EXPECT_NEAR(p.Qw_acclowpass(0, 0), (1 - std::exp(-0.04)) * s.sd_v_accLowpass * s.sd_v_accLowpass, 1e-15);
  EXPECT_DOUBLE_EQ(p.c_mag_max, std::exp(-s.c_mag_max * 0.01));
  EXPECT_DOUBLE_EQ(p.f_dynamic_gyro, 0.1 + s.f_dynamic_gyro);
  EXPECT_DOUBLE_EQ(p.gyroscope_range, 1200.0 * M_PI / 180.0);
  EXPECT_EQ(p.accelerometer_range, 160.0);
  EXPECT_DOUBLE_EQ(p.sd_init_gyrbias, std::hypot(0.02, s.initialConditions.sd_init_gyrBias));
  EXPECT_TRUE(p.enabledAccUpdate);
  EXPECT_TRUE(p.enabledMagUpdate);
  EXPECT_EQ(p.Hm(0, 0), 1.0);
  EXPECT_EQ(p.Hm(2, 2), 0.0);
  EXPECT_EQ(p.gravity_g[2], -kGravity);
  EXPECT_NEAR(p.angVelEarth_g[2], 7.292115e-5 * std::sin(kLatitudeDeg * M_PI / 180), 1e-18);
  ASSERT_NE(p.zkf3Steps(), nullptr);
  EXPECT_TRUE(p.zkf3Steps()->correct);
  EXPECT_FALSE(p.zkf3Steps()->defaultSchedule);
  EXPECT_TRUE(p.isUsable());

  // Normal gravity at the stored position; an impossible position is replaced by the default.
  u.enabledFixedGravity = false;
  u.storedLatLongAlt = zelto::Vector3(0, 0, 0);
  p.initialize(s, h, u, steps);
  EXPECT_EQ(p.storedLatLongAlt[0], kDefaultLatitudeDeg);
  double g = 0.0;
  gravityIgf1980(p.storedLatLongAlt, g);
  EXPECT_EQ(p.gravity_g[2], g);
  EXPECT_LT(g, -9.8);
}

TEST(Zkf3Params, SampleRatesThatGiveNoSampleTime) {
  const double rates[] = {0.0, -100.0, std::nan(""), std::numeric_limits<double>::infinity()};
  for (double rate : rates) {
    SCOPED_TRACE(rate);
    auto p = params(scenario(), user(rate));
    EXPECT_FALSE(p->isUsable());
    EXPECT_EQ(p->okAgeInit, 0);
    zelto::Zkf3Filter f(p.release());
    zelto::Zkf3SensorData sd;
    zelto::Zkf3Aiding ad;
    zelto::Zkf3RealTimeParameters rt;
    zelto::Zkf3FilterOutput out;
    sd.inertial.acc = zelto::Vector3(0, 0, 9.81);
    ad.mag = zelto::Vector3(0.5, 0, -0.8);
    EXPECT_FALSE(f.doOneKalmanStep(sd, ad, rt, out));
    EXPECT_FALSE(f.isInitialized());
  }
  // A very high rate keeps the countdown within its 16 bits.
  auto fast = params(scenario(), user(1e6));
  EXPECT_TRUE(fast->isUsable());
  EXPECT_EQ(fast->okAgeInit, 32767);
}

TEST(Zkf3Params, SettingsRoundTripWithTheDoubleKeys) {
  auto p = params();
  p->sd_init_acc = 1.0;  // written first, then overwritten by the initial conditions' value
  p->initialConditions.sd_init_acc = 2.0;
  SettingsFile file;
  p->writeToFile(file, "p.");
  zelto::Variant v;
  ASSERT_EQ(file.getSetting("p.", "sd_init_acc", v), 0);
  EXPECT_EQ(v.toDouble(), 2.0);
  zelto::Zkf3Params back;
  ASSERT_TRUE(back.readFromFileNoThrow(file, "p."));
  EXPECT_EQ(back.sd_init_acc, 2.0);
  EXPECT_EQ(back.initialConditions.sd_init_acc, 2.0);
  EXPECT_EQ(back.c_acc, p->c_acc);
  EXPECT_EQ(back.okAgeInit, p->okAgeInit);
  EXPECT_EQ(back.c_mag_max, p->c_mag_max);
  EXPECT_EQ(back.sQw_gyr_bias(1, 1), p->sQw_gyr_bias(1, 1));
  EXPECT_EQ(back.x_alignment.w, p->x_alignment.w);
  EXPECT_EQ(back.Hm(1, 1), 1.0);

  // A count beyond the 16-bit countdown is held at its largest value, a negative one at 0.
  file.setSetting("p.", "okAgeInit", zelto::Variant(40000));
  ASSERT_TRUE(back.readFromFileNoThrow(file, "p."));
  EXPECT_EQ(back.okAgeInit, 32767);
  file.setSetting("p.", "okAgeInit", zelto::Variant(-5));
  ASSERT_TRUE(back.readFromFileNoThrow(file, "p."));
  EXPECT_EQ(back.okAgeInit, 0);

  // Copies duplicate the step flags.
  zelto::Zkf3Params copy(*p);
  EXPECT_NE(copy.filterSteps(), p->filterSteps());
  ASSERT_NE(copy.zkf3Steps(), nullptr);
  EXPECT_TRUE(copy.zkf3Steps()->defaultSchedule);
}
