// The Zkf3i filter's step logic: life cycle and refused inputs, waiting for a usable first
// sample, the no-rotation window and the continuous detection, the settle countdown, the custom
// schedule, the correction, the magnetometer gate, the prediction's clipping and bias handling,
// and no allocation per step.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "Zkf3iTestKit.h"
#include "support/AllocationCounter.h"

using namespace zkf3itest;
using zelto::Zkf3iFilter;
using zelto::Zkf3iFilterOutput;

namespace {

constexpr double kG = 9.81;

// One interval of a still, level sensor whose y axis points to magnetic north (field of unit
// strength, inclination kInclination); optionally turning about z at rate.
struct Sample {
  zelto::Zkf3iSensorData sd;
  zelto::Zkf3iAiding ad;
  zelto::Zkf3iRealTimeParameters rt;
  explicit Sample(double rate = 0.0, bool mag = true) {
    sd.dq = zelto::Quaternion(std::cos(0.5 * rate * kT), 0.0, 0.0, std::sin(0.5 * rate * kT));
    sd.dv = zelto::Vector3(0.0, 0.0, kG * kT);
    if (mag) ad.mag = zelto::Vector3(0.0, std::cos(kInclination), -std::sin(kInclination));
  }
};

zelto::Zkf3iParams quietParams(zelto::Zkf3iScenarioParams sc = scenario()) {
  zelto::Zkf3iParams p = params(Noise(), false, sc);
  p.declination_angle_rad = 0.0;
  p.m0 = zelto::Vector3(0.0, 1.0, 0.0);
  return p;
}

bool step(Zkf3iFilter& f, Sample& s, Zkf3iFilterOutput& out) { return f.doOneKalmanStep(s.sd, s.ad, s.rt, out); }

TEST(Zkf3iFilter, IdentityLifeCycleAndRefusedInputs) {
  unsigned char t, ma, mi, re;
  Zkf3iFilter::getTypeAndVersion(t, ma, mi, re);
  EXPECT_EQ(t, 'I');
  EXPECT_EQ(ma * 100 + mi * 10 + re, 100);
  // Without parameters every step is refused and nothing is initialised.
  Zkf3iFilter none(nullptr);
  EXPECT_EQ(none.type(), 'I');
  EXPECT_STREQ(none.svnRevision(), "$Rev: 10761 $");
  Sample s;
  Zkf3iFilterOutput out;
  EXPECT_FALSE(step(none, s, out));
  EXPECT_FALSE(none.isInitialized());
  EXPECT_EQ(none.getFilterParameters(), nullptr);
  // Unusable parameters (a refused initialize) are refused as well.
  zelto::Zkf3iParams bad;
  EXPECT_FALSE(bad.isUsable());
  none.restart(&bad);
  EXPECT_FALSE(step(none, s, out));
  const zelto::Zkf3iParams p = quietParams();
  none.restart(const_cast<zelto::Zkf3iParams*>(&p));
  ASSERT_TRUE(step(none, s, out));
  EXPECT_TRUE(none.isInitialized());
  EXPECT_TRUE(out.valid);
  EXPECT_NE(none.getFilterParameters(), &p);
  // Parameters of another kind are ignored; the filter still starts over.
  struct Foreign : ZkfParams {
    void readFromFile(const zelto::SettingsFile&, const std::string&) override {}
    void writeToFile(zelto::SettingsFile&, const std::string&) const override {}
  } foreign;
  ZkfParams* held = none.getFilterParameters();
  none.restart(&foreign);
  EXPECT_EQ(none.getFilterParameters(), held);
  EXPECT_FALSE(none.isInitialized());
  // Non-finite inputs and an increment without length: refused, nothing changed.
  ASSERT_TRUE(step(none, s, out));
  const zelto::Zkf3iState before = none.state();
  Sample nan;
  nan.ad.mag[1] = NAN;
  Sample zeroDq;
  zeroDq.sd.dq = zelto::Quaternion(0, 0, 0, 0);
  Sample infDv;
  infDv.sd.dv[0] = INFINITY;
  for (Sample* b : {&nan, &zeroDq, &infDv}) EXPECT_FALSE(step(none, *b, out));
  EXPECT_TRUE(none.state().q_ls == before.q_ls);
  EXPECT_TRUE(none.state().sx == before.sx);
  // Records of another filter through the interface: refused.
  struct OtherSensorData : ZkfSensorData {
    void readFromFile(const zelto::SettingsFile&, const std::string&) override {}
    void writeToFile(zelto::SettingsFile&, const std::string&) const override {}
  } other;
  ZtZkfFilter& base = none;
  EXPECT_FALSE(base.doOneKalmanStep(other, s.ad, s.rt, out, nullptr));
  EXPECT_TRUE(base.doOneKalmanStep(s.sd, s.ad, s.rt, out, nullptr));
}

TEST(Zkf3iFilter, WaitsForAFieldAndForAFrame) {
  const zelto::Zkf3iParams p = quietParams();
  Zkf3iFilter f(&p);
  Zkf3iFilterOutput out;
  // No magnetometer sample: waiting, but the request bookkeeping and mag_s_prev go on.
  Sample noMag(0.0, false);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(step(f, noMag, out));
  EXPECT_FALSE(f.isInitialized());
  EXPECT_FALSE(out.valid);
  // A zero force or a field along the force gives no frame: still waiting, not valid.
  Sample zeroForce;
  zeroForce.sd.dv.isZero();
  Sample parallel;
  parallel.ad.mag = zelto::Vector3(0.0, 0.0, -0.7);
  for (Sample* s : {&zeroForce, &parallel}) {
    ASSERT_TRUE(step(f, *s, out));
    EXPECT_FALSE(f.isInitialized());
    EXPECT_FALSE(out.valid);
  }
  Sample good;
  ASSERT_TRUE(step(f, good, out));
  EXPECT_TRUE(f.isInitialized());
  EXPECT_TRUE(out.valid);
  // Level with y to magnetic north and no declination: the identity.
  EXPECT_NEAR(out.q_ls.w, 1.0, 1e-12);
  // With the magnetometer update off the sensor's y axis is north whatever the field says.
  zelto::Zkf3iScenarioParams sc = scenario();
  sc.setFlag(zelto::Zkf3iScenarioParams::kDoMagUpdate, false);
  zelto::Zkf3iParams off = quietParams(sc);
  off.declination_angle_rad = 0.3;
  Zkf3iFilter g(&off);
  Sample turned;
  turned.ad.mag = zelto::Vector3(0.4, 0.1, -0.5);
  ASSERT_TRUE(step(g, turned, out));
  EXPECT_NEAR(out.q_ls.w, 1.0, 1e-12);
}

TEST(Zkf3iFilter, NoRotationWindowRequestsAndRejectedSamples) {
  const zelto::Zkf3iParams p = quietParams();
  ASSERT_NEAR(std::sqrt(p.zruThresholdSquared), 6.0 * 0.003, 1e-12);
  Zkf3iFilter f(&p);
  Zkf3iFilterOutput out;
  Sample still;
  ASSERT_TRUE(step(f, still, out));
  // Turning at 3 sd above the threshold: refused.
  Sample turning(0.05);
  turning.rt.noRotationDuration = 10;
  ASSERT_TRUE(step(f, turning, out));
  EXPECT_TRUE(out.zruAborted);
  EXPECT_FALSE(out.zruRunning);
  EXPECT_EQ(out.zruSamplesToProcess, 0);
  // Still: 10 s at 0.01 s open 1000 samples; one is used in the same step.
  still.rt.noRotationDuration = 10;
  ASSERT_TRUE(step(f, still, out));
  still.rt.noRotationDuration = 0;
  EXPECT_FALSE(out.zruAborted);
  EXPECT_TRUE(out.zruRunning);
  EXPECT_EQ(out.zruSamplesToProcess, 999);
  int running = 1;
  for (int i = 0; i < 1200; ++i) {
    Sample& s = i == 100 ? turning : still;
    turning.rt.noRotationDuration = 0;
    ASSERT_TRUE(step(f, s, out));
    if (i == 100) {
      EXPECT_TRUE(out.zruSamplesRejected);
    }
    if (!out.zruRunning) break;
    ++running;
  }
  EXPECT_EQ(running, 1000);
  EXPECT_TRUE(out.zruSamplesRejected);
  EXPECT_EQ(out.zruSamplesToProcess, 0);
}

TEST(Zkf3iFilter, ContinuousDetectionAfterThreshold) {
  zelto::Zkf3iScenarioParams sc = scenario();
  sc.setFlag(zelto::Zkf3iScenarioParams::kDoCZruUpdate, true);
  zelto::Zkf3iParams p = quietParams(sc);
  p.cZruSamplesThreshold = 3;
  Zkf3iFilter f(&p);
  Zkf3iFilterOutput out;
  Sample still, turning(0.2);
  ASSERT_TRUE(step(f, still, out));
  for (int i = 1; i <= 4; ++i) {
    ASSERT_TRUE(step(f, still, out));
    EXPECT_EQ(out.zruRunning, i == 4) << i;
  }
  EXPECT_TRUE(f.state().cZruRunning);
  EXPECT_EQ(f.state().cZruSamplesBelowThreshold, 4u);
  ASSERT_TRUE(step(f, turning, out));
  EXPECT_FALSE(out.zruRunning);
  EXPECT_EQ(f.state().cZruSamplesBelowThreshold, 0u);
  EXPECT_TRUE(f.state().cZruRunning);
}

// One clipped sample invalidates okAgeInit - 1 outputs, the one of its own step included.
TEST(Zkf3iFilter, SettleCountdownAfterAClippedSample) {
  for (const uint16_t age : {uint16_t(200), uint16_t(1)}) {
    zelto::Zkf3iParams p = quietParams();
    p.okAgeInit = age;
    Zkf3iFilter f(&p);
    Zkf3iFilterOutput out;
    Sample still, clipped;
    clipped.sd.clipAcc = 0x2;
    ASSERT_TRUE(step(f, still, out));
    ASSERT_TRUE(step(f, still, out));
    ASSERT_TRUE(out.valid);
    ASSERT_TRUE(step(f, clipped, out));
    int invalid = out.valid ? 0 : 1;
    for (int i = 0; i < 300; ++i) {
      ASSERT_TRUE(step(f, still, out));
      if (!out.valid) ++invalid;
    }
    EXPECT_EQ(invalid, age - 1) << age;
    EXPECT_EQ(f.state().clippedAccDivCounter, 0);
  }
  // A clipped gyroscope stops the disturbance measure for tau_acc / T samples.
  const zelto::Zkf3iParams p = quietParams();
  Zkf3iFilter f(&p);
  Zkf3iFilterOutput out;
  Sample still, clipped;
  clipped.sd.clipGyr = 0x4;
  ASSERT_TRUE(step(f, still, out));
  ASSERT_TRUE(step(f, clipped, out));
  EXPECT_EQ(f.state().clippedAccDivCounter, 1000);
  ASSERT_TRUE(step(f, still, out));
  EXPECT_EQ(f.state().clippedAccDivCounter, 999);
}

TEST(Zkf3iFilter, CustomScheduleAndCorrection) {
  zelto::Zkf3iParams p = quietParams();
  zelto::Zkf3iFilterSteps steps;
  zelto::LabelList labels;
  labels.append("init");
  labels.append("predict");
  ASSERT_TRUE(steps.enableSteps(labels));
  p.setFilterSteps(steps.duplicate());
  Zkf3iFilter f(&p);
  Zkf3iFilterOutput out;
  Sample turning(0.5);
  ASSERT_TRUE(step(f, turning, out));
  EXPECT_FALSE(f.isInitialized());
  EXPECT_FALSE(out.valid);
  // Initialised and then predicted over the turn.
  EXPECT_NEAR(out.q_ls.z, std::sin(0.25 * kT), 1e-9);

  // correct alone: q_ls identity and an orientation error (0, 0, 0.02) give (1, 0, 0, -0.01)
  // normalised, and the error is folded away; with the window running nothing turns.
  labels.clearItems();
  labels.append("correct");
  ASSERT_TRUE(steps.enableSteps(labels));
  p.setFilterSteps(steps.duplicate());
  for (const bool window : {false, true}) {
    Zkf3iFilter g(&p);
    zelto::Zkf3iState s;
    s.sx[11] = 0.02;
    s.zruRunning = window;
    ASSERT_TRUE(g.setFullStateChecked(&s));
    Sample still;
    ASSERT_TRUE(step(g, still, out));
    const double n = std::sqrt(1.0 + 1e-4);
    EXPECT_NEAR(out.q_ls.w, window ? 1.0 : 1.0 / n, 1e-15) << window;
    EXPECT_NEAR(out.q_ls.z, window ? 0.0 : -0.01 / n, 1e-15) << window;
    EXPECT_EQ(g.state().x[11], 0.0);
    EXPECT_EQ(g.state().sx[11], 0.0);
  }
  // Null steps run the built-in schedule.
  zelto::Zkf3iParams q = quietParams();
  q.setFilterSteps(nullptr);
  Zkf3iFilter h(&q);
  Sample still;
  ASSERT_TRUE(step(h, still, out));
  EXPECT_TRUE(h.isInitialized());
}

TEST(Zkf3iFilter, FullStateChecks) {
  const zelto::Zkf3iParams p = quietParams();
  Zkf3iFilter f(&p);
  EXPECT_FALSE(f.setFullStateChecked(nullptr));
  zelto::Zkf3iState bad;
  bad.sQx(0, 5) = 1.0;  // not lower triangular
  EXPECT_FALSE(f.setFullStateChecked(&bad));
  bad = zelto::Zkf3iState();
  bad.normMag = NAN;
  EXPECT_FALSE(f.setFullStateChecked(&bad));
  zelto::Zkf3iState good;
  good.firstIteration = false;
  good.q_ls = zelto::Quaternion(std::cos(0.2), 0.0, 0.0, std::sin(0.2));
  ASSERT_TRUE(f.setFullStateChecked(&good));
  zelto::Zkf3iState copy;
  f.getFullState(&copy);
  EXPECT_TRUE(copy.q_ls == good.q_ls);
  // The installed orientation is the one the next step starts from.
  Zkf3iFilterOutput out;
  Sample still;
  still.ad.mag.isZero();
  ASSERT_TRUE(step(f, still, out));
  EXPECT_NEAR(out.q_ls.z, std::sin(0.2), 1e-6);
  // R_ls follows the installed orientation (initializeScratchies): the free acceleration, R_ls dv
  // / T + g, of a state tilted by 30 degrees about x reading a level sensor's dv is the tilt's
  // share of gravity.
  zelto::Zkf3iState tilted = good;
  tilted.q_ls = zelto::Quaternion(std::cos(M_PI / 12), std::sin(M_PI / 12), 0.0, 0.0);
  ASSERT_TRUE(f.setFullStateChecked(&tilted));
  ASSERT_TRUE(step(f, still, out));
  const double g = -p.gravity_l[2];
  EXPECT_NEAR(out.a_l[0], 0.0, 1e-9);
  EXPECT_NEAR(out.a_l[1], -kG * 0.5, 1e-9);
  EXPECT_NEAR(out.a_l[2], kG * std::cos(M_PI / 6) - g, 1e-9);
  // Recomputed from the state, it is what the filter already holds: steps after it are the same
  // to the bit as without it.
  Zkf3iFilter g1(&p), g2(&p);
  Zkf3iFilterOutput o1, o2;
  Sample turning(0.3);
  for (int k = 0; k < 20; ++k) {
    ASSERT_TRUE(step(g1, turning, o1));
    ASSERT_TRUE(step(g2, turning, o2));
    g2.initializeScratchies();
  }
  EXPECT_TRUE(o1.q_ls == o2.q_ls);
  EXPECT_TRUE(g1.state().sx == g2.state().sx);
}

// With nrMagCheck (3, 2) a persistent disturbance is refused twice, then taken, and so on; with
// a limit of 0 nothing is refused.
TEST(Zkf3iFilter, MagnetometerGateRefusesAtMostMaxRejectsInARow) {
  for (const double limit : {3.0, 0.0}) {
    zelto::Zkf3iScenarioParams sc = scenario();
    sc.nrMagCheck[0] = limit;
    sc.nrMagCheck[1] = 2.0;
    zelto::Zkf3iParams p = quietParams(sc);
    Zkf3iFilter f(&p);
    Zkf3iFilterOutput out;
    Sample still;
    ASSERT_TRUE(step(f, still, out));
    const zelto::Zkf3iState base = f.state();
    // Only the magnetometer update from here on, each time from the same covariance and state:
    // the residual is the same every time, only the counter carries over.
    zelto::Zkf3iFilterSteps steps;
    zelto::LabelList labels;
    labels.append("magUpdate");
    ASSERT_TRUE(steps.enableSteps(labels));
    f.getFilterParameters()->setFilterSteps(steps.duplicate());
    Sample disturbed;
    disturbed.ad.mag[0] = 0.5;
    std::vector<int> counters;
    for (int i = 0; i < 6; ++i) {
      zelto::Zkf3iState s = f.state();
      s.sQx = base.sQx;
      s.sx = base.sx;
      ASSERT_TRUE(f.setFullStateChecked(&s));
      ASSERT_TRUE(step(f, disturbed, out));
      counters.push_back(f.state().NR_magCounter);
      // A refused update leaves the covariance root and the state exactly as they were.
      EXPECT_EQ(f.state().sQx == base.sQx, counters.back() != 0) << i;
      EXPECT_EQ(f.state().sx == base.sx, counters.back() != 0) << i;
    }
    if (limit > 0.0)
      EXPECT_EQ(counters, (std::vector<int>{1, 2, 0, 1, 2, 0}));
    else
      EXPECT_EQ(counters, std::vector<int>(6, 0));
  }
}

// At an exactly zero rate the increment is still corrected by the bias estimate (the
// Jacobian's limit), so a still sensor with a known bias does not turn.
TEST(Zkf3iFilter, ZeroRateIncrementIsCorrectedByTheBias) {
  zelto::Zkf3iParams p = quietParams();
  zelto::Zkf3iFilterSteps steps;
  zelto::LabelList labels;
  labels.append("predict");
  ASSERT_TRUE(steps.enableSteps(labels));
  p.setFilterSteps(steps.duplicate());
  Zkf3iFilter f(&p);
  zelto::Zkf3iState s;
  s.firstIteration = false;
  s.x[5] = 0.01;
  s.sx.isLeftDivideTriL(s.sQx, s.x);
  ASSERT_TRUE(f.setFullStateChecked(&s));
  Sample still;
  // The sensor measures exactly the bias: the true rate is zero.
  still.sd.dq = zelto::Quaternion(std::cos(0.005 * kT), 0.0, 0.0, std::sin(0.005 * kT));
  Zkf3iFilterOutput out;
  ASSERT_TRUE(step(f, still, out));
  EXPECT_NEAR(out.q_ls.z, 0.0, 1e-12);
  // A zero increment with the same bias turns the other way by the bias.
  ASSERT_TRUE(f.setFullStateChecked(&s));
  Sample zero;
  ASSERT_TRUE(step(f, zero, out));
  EXPECT_NEAR(out.q_ls.z, -0.005 * kT, 1e-12);
}

TEST(Zkf3iFilter, ClipOperationsAndDisturbanceBookkeeping) {
  const zelto::Zkf3iParams p = quietParams();
  Zkf3iFilter f(&p);
  Zkf3iFilterOutput out;
  Sample s;
  ASSERT_TRUE(step(f, s, out));
  zelto::Matrix3x3 qg, qa;
  EXPECT_FALSE(f.clipHandler(qg, qa));
  EXPECT_FALSE(f.clipSolve(qg));
  zelto::Vector3 solved(1, 2, 3);
  Zkf3iFilter::solveClipSolve(solved);
  EXPECT_TRUE(solved == zelto::Vector3(0, 0, 0));
  // A fresh disturbance measure with |mag| 1 now and before: disturbed (|0 - 1| > 0.2).
  zelto::Zkf3iState st;
  st.mag_s_prev = zelto::Vector3(0, 1, 0);
  ASSERT_TRUE(f.setFullStateChecked(&st));
  Sample unit;
  unit.ad.mag = zelto::Vector3(0, 0, 1);
  zelto::Zkf3iFilterSteps none;
  none.defaultSchedule = false;
  zelto::Zkf3iParams q = p;
  q.setFilterSteps(none.duplicate());
  Zkf3iFilter g(&q);
  ASSERT_TRUE(g.setFullStateChecked(&st));
  ASSERT_TRUE(step(g, unit, out));
  zelto::Quaternion dq;
  bool ok = true;
  g.getClipSolveSdi(dq, qg, ok);
  EXPECT_FALSE(ok);
  // mag_s_prev is now this sample's field, also of length 1.
  EXPECT_EQ(g.state().clipSolve_state[0], 1.0);
  EXPECT_EQ(g.state().clipSolve_state[1], 0.0);
  EXPECT_EQ(g.state().clipSolve_state[2], 0.0);
}

// After the first steps, a step allocates nothing: updates, a refused magnetometer sample, a
// window, clipping and redefinitions included.
TEST(Zkf3iFilter, StepsAllocateNothing) {
  zelto::Zkf3iScenarioParams sc = scenario();
  sc.nrMagCheck[0] = 3.0;
  sc.setFlag(zelto::Zkf3iScenarioParams::kDoCZruUpdate, true);
  const zelto::Zkf3iParams p = quietParams(sc);
  Zkf3iFilter f(&p);
  Zkf3iFilterOutput out;
  Sample still, turning(0.4), clipped, disturbed;
  clipped.sd.clipGyr = 1;
  disturbed.ad.mag[0] = 0.5;
  ASSERT_TRUE(step(f, still, out));
  ASSERT_TRUE(step(f, still, out));
  AllocationCounter counter;
  still.rt.noRotationDuration = 1;
  ASSERT_TRUE(step(f, still, out));
  still.rt.noRotationDuration = 0;
  for (int i = 0; i < 150; ++i) {
    Sample& s = i % 7 == 0 ? turning : i % 11 == 0 ? clipped : i % 5 == 0 ? disturbed : still;
    ASSERT_TRUE(step(f, s, out));
  }
  EXPECT_EQ(counter.count(), 0u);
}

}  // namespace
