// The Zkf6 step: first iteration and anchoring, new-data detection by the age counters, the
// outage rule, the default schedule's update codes, the barometer baseline, the custom schedule,
// the validity countdown, and the refusal of unusable parameters, inputs and states.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "Zkf6TestTuning.h"
#include "support/AllocationCounter.h"

using namespace zkf6test;
using zelto::Zkf6Filter;
using zelto::Zkf6State;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Counts the time updates the filter runs.
struct PredictCounter : zelto::Zkf6StepObserver {
  int predicts = 0, updates = 0;
  void initialized(const zelto::Vector&, const zelto::Matrix&) override {}
  void stateWritten(const zelto::Vector&) override {}
  void predicted(const zelto::Matrix&, const zelto::Matrix&, const zelto::Vector&) override { ++predicts; }
  void measurementUpdate(const zelto::Vector&, const zelto::Matrix&, const zelto::Matrix&) override { ++updates; }
  void corrected(const zelto::Matrix&, ZtSize, bool) override {}
  void positionFolded() override {}
};

// Still, level samples with a scripted GNSS/barometer sample.
class Feeder {
 public:
  explicit Feeder(zelto::Zkf6ScenarioParams s = scenario(), const ZkfUserParams& u = user())
      : filter(params(s, u).get()) {
    sensor.inertial.acc = zelto::Vector3(0.0, 0.0, 9.806);
    const Vec3 w = GeodeticFrame::earthRateNwu(kLatitudeDeg * GeodeticFrame::kDeg);
    sensor.inertial.gyr = zelto::Vector3(w[0], w[1], w[2]);
    aiding.mag = zelto::Vector3(0.45, 0.0, -0.89);
    aiding.gps.clear();
    aiding.gps.posLatLongAlt = zelto::Vector3(kLatitudeDeg, kLongitudeDeg, kAltitude);
    aiding.gps.hAcc = 1.5;
    aiding.gps.vAcc = 3.0;
    aiding.gps.sAcc = 0.1;
    filter.setStepObserver(&counter);
  }
  bool step(uint8_t gpsAge, uint8_t pressureAge = 255) {
    aiding.gps.gpsAge = gpsAge;
    aiding.gps.pressureAge = pressureAge;
    return filter.doOneKalmanStep(sensor, aiding, realTime, out);
  }

  Zkf6Filter filter;
  zelto::Zkf6SensorData sensor;
  zelto::Zkf6Aiding aiding;
  zelto::Zkf6RealTimeParameters realTime;
  zelto::Zkf6FilterOutput out;
  PredictCounter counter;
};

TEST(Zkf6Filter, FirstStepAnchorsOnANewFixOnlyAndNeverPredicts) {
  Feeder withFix;
  ASSERT_TRUE(withFix.step(3));
  EXPECT_TRUE(withFix.filter.isInitialized());
  EXPECT_FALSE(withFix.filter.state().firstGps);
  // Anchored on the fix, the sensor placed the lever arm (1.5 m along its x axis) behind the
  // antenna: the sensor's x points north here (magnetometer north along x, declination 0).
  zelto::Vector3 offset;
  Zkf6State::offsetOf(withFix.out.position, withFix.aiding.gps.posLatLongAlt, offset);
  EXPECT_NEAR(offset[0], -1.5, 1e-6);
  EXPECT_NEAR(offset[1], 0.0, 1e-6);
  EXPECT_NEAR(offset[2], 0.0, 1e-9);
  EXPECT_EQ(withFix.filter.state().lla0[0], withFix.out.position[0]);
  EXPECT_EQ(withFix.counter.predicts, 0);
  EXPECT_EQ(withFix.filter.state().gpsAgeLong, 3u);

  Feeder without;
  ASSERT_TRUE(without.step(255));
  EXPECT_TRUE(without.filter.isInitialized());
  EXPECT_TRUE(without.filter.state().firstGps);
  EXPECT_EQ(without.out.position[0], 0.0);
  EXPECT_EQ(without.counter.predicts, 0);
  EXPECT_FALSE(without.out.valid);
  ASSERT_TRUE(without.step(255));
  EXPECT_EQ(without.counter.predicts, 1);
}

TEST(Zkf6Filter, ANewFixIsADropOfTheAgeCounter) {
  Feeder f;
  ASSERT_TRUE(f.step(255));
  // 5 is new after 255; 6 and 7 are the same fix growing older; 0 is the next one.
  const std::pair<uint8_t, uint32_t> script[] = {{5, 1}, {6, 2}, {7, 6}, {0, 1}, {1, 2}, {2, 6}};
  for (const auto& [age, code] : script) {
    ASSERT_TRUE(f.step(age));
    EXPECT_EQ(f.filter.state().previousUpdate, code) << int(age);
  }
}

TEST(Zkf6Filter, UpdateCodesOfTheDefaultScheduleAtATenSampleFixPeriod) {
  zelto::Zkf6ScenarioParams s = scenario();
  s.updateSwitches = zelto::Zkf6ScenarioParams::kGpsUpdate | zelto::Zkf6ScenarioParams::kMagFieldUpdate |
                     zelto::Zkf6ScenarioParams::kBarometerUpdate | zelto::Zkf6ScenarioParams::kZeroRotationUpdate;
  Feeder f(s);
  f.aiding.gps.pressure = 48000.0;
  ASSERT_TRUE(f.step(0, 0));  // anchored; the first pressure after it sets the baseline
  EXPECT_FALSE(f.filter.state().firstBaro);
  std::vector<uint32_t> codes;
  for (int k = 1; k <= 20; ++k) {
    const uint8_t gpsAge = static_cast<uint8_t>(k % 10);
    const uint8_t pressureAge = static_cast<uint8_t>(k % 5);  // a new pressure every fifth sample
    ASSERT_TRUE(f.step(gpsAge, pressureAge));
    codes.push_back(f.filter.state().previousUpdate);
  }
  const std::vector<uint32_t> expected = {6, 6, 6, 6, 4, 6, 6, 6, 6, 1, 2, 6, 6, 6, 4, 6, 6, 6, 6, 1};
  EXPECT_EQ(codes, expected);

  // Without the magnetometer and the holonomic constraint, the constraints branch picks the
  // zero-rotation update (code 7) between fixes.
  s.updateSwitches = zelto::Zkf6ScenarioParams::kGpsUpdate | zelto::Zkf6ScenarioParams::kZeroRotationUpdate;
  Feeder g(s);
  ASSERT_TRUE(g.step(0));
  ASSERT_TRUE(g.step(0));  // the same age: no new fix
  EXPECT_EQ(g.filter.state().previousUpdate, 7u);
}

TEST(Zkf6Filter, PressureBeforeAnyFixNeitherSetsTheBaselineNorUpdates) {
  zelto::Zkf6ScenarioParams s = scenario();
  s.updateSwitches |= zelto::Zkf6ScenarioParams::kBarometerUpdate;
  Feeder f(s);
  f.aiding.gps.pressure = 48000.0;
  ASSERT_TRUE(f.step(255, 0));
  for (int k = 1; k < 30; ++k) ASSERT_TRUE(f.step(255, static_cast<uint8_t>(k % 2)));
  EXPECT_TRUE(f.filter.state().firstBaro);
  EXPECT_NE(f.filter.state().previousUpdate, 4u);
  EXPECT_NEAR(f.filter.state().baroHeight, Zkf6State::baroHeightOf(48000.0), 1e-9);
}

TEST(Zkf6Filter, OutageAfterTenSecondsOfSamplesWhateverTheDeviceAgeDoes) {
  // Absent items (255) and an age saturating at 254 both end in an outage after 10 N samples.
  for (uint8_t stale : {uint8_t{255}, uint8_t{254}}) {
    Feeder f;
    ASSERT_TRUE(f.step(0));
    ASSERT_EQ(f.filter.samplesPerSecond(), 100u);
    int firstOutage = -1;
    for (int k = 1; k <= 1500; ++k) {
      const uint8_t age = stale == 255 ? 255 : static_cast<uint8_t>(std::min(k, 254));
      ASSERT_TRUE(f.step(age));
      if (firstOutage < 0 && f.filter.gpsOutage()) firstOutage = k;
      if (firstOutage > 0) {
        EXPECT_TRUE(f.filter.gpsOutage());
        EXPECT_FALSE(f.out.valid);
        EXPECT_TRUE(f.filter.state().firstGps);
      }
    }
    EXPECT_EQ(firstOutage, 1001) << int(stale);
    // The next fix ends it and re-anchors.
    ASSERT_TRUE(f.step(0));
    EXPECT_FALSE(f.filter.gpsOutage());
    EXPECT_FALSE(f.filter.state().firstGps);
  }
}

TEST(Zkf6Filter, ValidOnlyAfterTheResetCountMinusOneAnchoredSteps) {
  Feeder f;
  for (int k = 0; k < 50; ++k) ASSERT_TRUE(f.step(255));
  EXPECT_FALSE(f.out.valid);
  EXPECT_EQ(f.filter.state().okAge, 199u);
  int firstValid = -1;
  for (int k = 1; k <= 300 && firstValid < 0; ++k) {
    ASSERT_TRUE(f.step(k == 1 ? 0 : static_cast<uint8_t>(std::min(k - 1, 9))));
    if (f.out.valid) firstValid = k;
  }
  EXPECT_EQ(firstValid, 199);
}

TEST(Zkf6Filter, CustomPredictOnlyMovesTheOffsetNotThePosition) {
  Feeder f;
  f.aiding.gps.velNorthEastDown = zelto::Vector3(3.0, 4.0, 0.0);
  ASSERT_TRUE(f.step(0));
  const Zkf6State before = f.filter.state();
  auto* p = dynamic_cast<zelto::Zkf6Params*>(f.filter.getFilterParameters());
  zelto::LabelList l;
  l.append("predict");
  ASSERT_TRUE(p->zkf6Steps()->enableSteps(l));
  for (int k = 0; k < 100; ++k) ASSERT_TRUE(f.step(0));
  const Zkf6State& s = f.filter.state();
  EXPECT_NEAR(s.positionOffset[0], 3.0, 0.05);   // 1 s north at 3 m/s
  EXPECT_NEAR(s.positionOffset[1], -4.0, 0.05);  // east is -west
  EXPECT_EQ(s.posLatLongAlt[0], before.posLatLongAlt[0]);
  EXPECT_EQ(s.posLatLongAlt[1], before.posLatLongAlt[1]);
  EXPECT_EQ(f.counter.updates, 0);
}

TEST(Zkf6Filter, RefusesWhatItCannotUse) {
  // No parameters, a sample rate of 0: every step refused.
  {
    Zkf6Filter f(nullptr);
    zelto::Zkf6SensorData sd;
    zelto::Zkf6Aiding ad;
    zelto::Zkf6RealTimeParameters rt;
    zelto::Zkf6FilterOutput out;
    EXPECT_FALSE(f.doOneKalmanStep(sd, ad, rt, out));
    EXPECT_EQ(f.samplesPerSecond(), 100u);
    f.restart(nullptr);
    EXPECT_FALSE(f.doOneKalmanStep(sd, ad, rt, out));
    EXPECT_EQ(f.getFilterParameters(), nullptr);
  }
  {
    Feeder f(scenario(), user(0.0));
    auto* p = dynamic_cast<zelto::Zkf6Params*>(f.filter.getFilterParameters());
    EXPECT_FALSE(p->isUsable());
    EXPECT_EQ(p->sampleTime, 0.0);
    EXPECT_FALSE(f.step(0));
    EXPECT_FALSE(f.filter.isInitialized());
  }
  // Non-finite inertial or magnetometer input, and a first sample without an orientation.
  {
    Feeder f;
    f.sensor.inertial.gyr[1] = kNaN;
    EXPECT_FALSE(f.step(0));
    f.sensor.inertial.gyr[1] = 0.0;
    f.sensor.inertial.acc = zelto::Vector3(0.0, 0.0, 0.0);
    EXPECT_FALSE(f.step(0));
    EXPECT_FALSE(f.filter.isInitialized());
    EXPECT_TRUE(f.filter.state().firstGps);
    EXPECT_EQ(f.filter.state().gps.gpsAge, 0);  // untouched
    f.sensor.inertial.acc = zelto::Vector3(0.0, 0.0, 9.8);
    EXPECT_TRUE(f.step(0));
  }
  // A fix without a finite position does not anchor.
  {
    Feeder f;
    f.aiding.gps.posLatLongAlt[0] = kNaN;
    ASSERT_TRUE(f.step(0));
    EXPECT_TRUE(f.filter.state().firstGps);
    EXPECT_TRUE(f.filter.state().isUsable());
  }
  // States: null, foreign, not finite, not triangular are refused; the records of another
  // filter through the interface give false.
  {
    Feeder f;
    ASSERT_TRUE(f.step(0));
    const Zkf6State good = f.filter.state();
    EXPECT_FALSE(f.filter.setFullStateChecked(nullptr));
    f.filter.setFullState(nullptr);
    f.filter.getFullState(nullptr);
    Zkf6State bad = good;
    bad.x[4] = kNaN;
    EXPECT_FALSE(f.filter.setFullStateChecked(&bad));
    bad = good;
    bad.sQx(2, 7) = 1.0;
    EXPECT_FALSE(f.filter.setFullStateChecked(&bad));
    bad = good;
    bad.q_gs = zelto::Quaternion(2.0, 0.0, 0.0, 0.0);
    EXPECT_FALSE(f.filter.setFullStateChecked(&bad));
    EXPECT_EQ(f.filter.state().x[4], good.x[4]);
    EXPECT_TRUE(f.filter.setFullStateChecked(&good));
    Zkf6State copy;
    f.filter.getFullState(&copy);
    EXPECT_EQ(copy.lla0[0], good.lla0[0]);

    zelto::Zkf6SensorData sd;
    zelto::Zkf6Aiding ad;
    zelto::Zkf6FilterOutput out;
    struct OtherRealTime : ZkfRealTimeParameters {};
    OtherRealTime other;
    ZtZkfFilter& base = f.filter;
    EXPECT_FALSE(base.doOneKalmanStep(sd, ad, other, out, nullptr));
  }
}

TEST(Zkf6Filter, StepsAllocateNothing) {
  zelto::Zkf6ScenarioParams s = scenario();
  s.updateSwitches = 0x1F;  // every update kind in turn
  Feeder f(s);
  f.aiding.gps.pressure = 48000.0;
  f.aiding.gps.velNorthEastDown = zelto::Vector3(5.0, 0.0, 0.0);
  ASSERT_TRUE(f.step(0, 0));
  AllocationCounter counter;
  for (int k = 1; k < 3000; ++k) {
    // Fixes every tenth sample, an outage from sample 1000 to 2200, pressure every fifth.
    const bool outage = k > 1000 && k < 2200;
    ASSERT_TRUE(f.step(outage ? 255 : static_cast<uint8_t>(k % 10), static_cast<uint8_t>(k % 5)));
  }
  EXPECT_EQ(counter.count(), 0u);
}

TEST(Zkf6Filter, IdentityAndRestart) {
  Feeder f;
  EXPECT_EQ(f.filter.type(), '6');
  int major = 0, minor = 0, revision = 0;
  f.filter.getVersion(major, minor, revision);
  EXPECT_EQ(major * 100 + minor * 10 + revision, 220);
  EXPECT_STREQ(f.filter.svnRevision(), "$Rev: 20226 $");
  ASSERT_TRUE(f.step(0));
  ASSERT_TRUE(f.filter.isInitialized());
  auto other = params(scenario(), user(50.0));
  f.filter.restart(other.get());
  EXPECT_FALSE(f.filter.isInitialized());
  EXPECT_EQ(f.filter.samplesPerSecond(), 50u);
  EXPECT_NE(f.filter.getFilterParameters(), other.get());  // a copy is owned
  // Construction copies too: parameters on the caller's stack stay the caller's (freeing them
  // with the filter aborts), and later changes to them do not reach the filter.
  {
    zelto::Zkf6Params onStack = *params(scenario(), user(50.0));
    {
      Zkf6Filter g(&onStack);
      auto* own = dynamic_cast<zelto::Zkf6Params*>(g.getFilterParameters());
      ASSERT_NE(own, nullptr);
      EXPECT_NE(own, &onStack);
      onStack.sampleTime = 0.5;
      EXPECT_EQ(own->sampleTime, 0.02);
      EXPECT_EQ(g.samplesPerSecond(), 50u);
    }
    EXPECT_EQ(onStack.sampleTime, 0.5);
  }
  double M = 0, Nr = 0;
  Zkf6Filter::earthRadii(M, Nr, 0.0);
  EXPECT_NEAR(Nr, 6378137.0, 1e-6);
  EXPECT_NEAR(M, 6335439.327292843, 1e-6);
}

}  // namespace
