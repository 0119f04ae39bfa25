// Zkf700 step logic and updates on hand-made samples: the wait for the magnetometer, the
// initialising sample, the GNSS state machine and its thresholds, the decision logic with its
// no-rotation window, the parts, restart, custom selections, the assertions, the output, and
// the measurement updates' own rules and refusals.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <typeinfo>

#include "Zkf700TestTuning.h"
#include "errors/ZtException.h"
#include "filters/common/EstimationRoutines.h"
#include "filters/zkf700/MeasurementUpdateZkf700Fw.h"
#include "support/AllocationCounter.h"

using namespace zkf700test;
using zelto::Zkf700Aiding;
using zelto::Zkf700Filter;
using zelto::Zkf700FilterOutput;
using zelto::Zkf700Params;
using zelto::Zkf700RealTimeParameters;
using zelto::Zkf700ScenarioParams;
using zelto::Zkf700SensorData;

namespace {

constexpr double kG = 9.806;

// Records of another filter family.
struct ForeignAiding : ZkfAiding {
  void readFromFile(const zelto::SettingsFile&, const std::string&) override {}
  void writeToFile(zelto::SettingsFile&, const std::string&) const override {}
};
struct ForeignSensorData : ZkfSensorData {
  void readFromFile(const zelto::SettingsFile&, const std::string&) override {}
  void writeToFile(zelto::SettingsFile&, const std::string&) const override {}
};
struct ForeignRealTime : ZkfRealTimeParameters {};
struct ForeignOutput : ZkfFilterOutput {};
struct ForeignParams : ZkfParams {
  void readFromFile(const zelto::SettingsFile&, const std::string&) override {}
  void writeToFile(zelto::SettingsFile&, const std::string&) const override {}
};

Zkf700Params tuned(uint16_t setFlags, uint16_t clearFlags = 0) {
  Zkf700ScenarioParams s = builtInProfile();
  s.updateFlags = static_cast<uint16_t>((s.updateFlags | setFlags) & ~clearFlags);
  return params(s);
}

constexpr uint16_t kMag = Zkf700ScenarioParams::kMagFieldUpdate;
constexpr uint16_t kGps = Zkf700ScenarioParams::kGpsUpdate;
constexpr uint16_t kBaro = Zkf700ScenarioParams::kBarometerUpdate;
constexpr uint16_t kHol = Zkf700ScenarioParams::kHolonomicUpdate;

// A level, still sensor's sample at time ms.
struct Still {
  explicit Still(const Zkf700Params& p) : params(p) {
    stillSample(zelto::Quaternion(), p.declinationAngleRad, kG, sensor, aiding, p.sampleTime);
    aiding.magValid = false;
  }
  const Zkf700Params& params;
  Zkf700SensorData sensor;
  Zkf700Aiding aiding;  // values of a still sample; flags set per call
  Zkf700RealTimeParameters rt;
  Zkf700FilterOutput out;

  bool step(Zkf700Filter& f, int64_t timeMs, bool mag = false, Zkf700Filter::KalmanStepPart part = Zkf700Filter::WholeStep) {
    sensor.time = timeMs;
    Zkf700Aiding a = aiding;
    a.magValid = mag;
    const bool r = f.doOneKalmanStep(sensor, a, rt, out, part);
    aiding.gpsValid = aiding.baroValid = false;
    rt.m_noRotationDuration = 0;
    return r;
  }
  void fix(double lat, double lon, double alt, double pAcc, double sAcc = 0.2) {
    aiding.gpsPos = zelto::Vector3(lat, lon, alt);
    aiding.gpsVel = zelto::Vector3(0.0, 0.0, 0.0);
    aiding.gpsPAcc = pAcc;
    aiding.gpsSAcc = sAcc;
    aiding.gpsValid = true;
  }
};

TEST(Zkf700Filter, IdentityAndConstruction) {
  const Zkf700Params p = tuned(0);
  Zkf700Filter f(&p);
  EXPECT_EQ(f.type(), '7');
  int major = 0, minor = 0, revision = 9;
  f.getVersion(major, minor, revision);
  EXPECT_EQ(major, 2);
  EXPECT_EQ(minor, 2);
  EXPECT_EQ(revision, 0);
  EXPECT_STREQ(f.svnRevision(), "$Rev: 10761 $");
  unsigned char t, a, b, c;
  Zkf700Filter::getTypeAndVersion(t, a, b, c);
  EXPECT_EQ(t, '7');
  EXPECT_EQ(a, 2);
  EXPECT_FALSE(f.isInitialized());
  ASSERT_NE(f.getFilterParameters(), nullptr);
  EXPECT_NE(f.getFilterParameters(), &p);  // a private copy
  EXPECT_FALSE(f.magnetometerReceived() || f.gpsWaiting() || f.barometerWaiting());

  // initializeScratchies prepares nothing a running filter depends on: a twin that calls it
  // between its steps stays bit for bit the same.
  Zkf700Filter twin(&p);
  Still still(p), stillTwin(p);
  for (int i = 0; i < 5; ++i) {
    twin.initializeScratchies();
    EXPECT_EQ(still.step(f, 10 * i, true), stillTwin.step(twin, 10 * i, true));
  }
  EXPECT_TRUE(twin.isInitialized());
  EXPECT_EQ(std::memcmp(f.state().m_sQx.data, twin.state().m_sQx.data, 18 * 18 * sizeof(double)), 0);
  EXPECT_EQ(std::memcmp(&f.state().m_q_ls, &twin.state().m_q_ls, sizeof(ZtQuaternion)), 0);
}

TEST(Zkf700Filter, WaitsForTheMagnetometerThenInitialisesWithoutPrediction) {
  const Zkf700Params p = tuned(kMag);
  Zkf700Filter f(&p);
  Still still(p);
  for (int i = 0; i < 3; ++i) {
    still.out.m_latLongAlt = zelto::Vector3(1, 1, 1);
    EXPECT_FALSE(still.step(f, 10 * i));
    EXPECT_TRUE(still.out.m_done);
    EXPECT_EQ(still.out.m_filterMode, 0);
    EXPECT_FALSE(still.out.m_valid);
    EXPECT_EQ(still.out.m_latLongAlt[0], 0.0);
    EXPECT_FALSE(f.isInitialized());
  }
  // A magnetometer sample initialises, and one received earlier is enough later: the flag stays.
  EXPECT_TRUE(still.step(f, 30, true));
  EXPECT_TRUE(f.isInitialized());
  EXPECT_TRUE(f.magnetometerReceived());
  EXPECT_FALSE(still.out.m_valid);  // two seconds of samples to go
  const zelto::Zkf700State initial = f.state();
  EXPECT_EQ(initial.validAge, 200u);
  // The initialising sample made no prediction: sQx is the initial diagonal.
  EXPECT_EQ(initial.m_sQx(0, 0), p.initialConditions.sd_init_pos);
  EXPECT_TRUE(still.step(f, 40));
  EXPECT_NE(f.state().m_sQx(0, 0), p.initialConditions.sd_init_pos);
  EXPECT_EQ(f.state().validAge, 199u);
  for (int i = 0; i < 199; ++i) still.step(f, 50 + 10 * i);
  EXPECT_TRUE(still.out.m_valid);
  EXPECT_TRUE(still.out.m_doMagUpdate);
}

TEST(Zkf700Filter, WithoutMagnetometerUpdateItInitialisesOnTheFirstSample) {
  const Zkf700Params p = tuned(0, kMag);
  Zkf700Filter f(&p);
  Still still(p);
  EXPECT_TRUE(still.step(f, 0));
  EXPECT_TRUE(f.isInitialized());
  EXPECT_FALSE(still.out.m_doMagUpdate);
  EXPECT_LT(angleBetween(still.out.m_orientation, zelto::Quaternion()), 1e-9);
}

TEST(Zkf700Filter, GnssModesChangeExactlyAtTheThresholds) {
  const Zkf700Params p = tuned(kGps, kMag | kBaro);
  ASSERT_EQ(p.gpsOutageTimeThreshold, 2.0);
  ASSERT_EQ(p.gpsCoastingTime, 30.0);
  Zkf700Filter f(&p);
  Still still(p);
  still.step(f, 0);
  EXPECT_EQ(still.out.m_filterMode, 0);
  EXPECT_EQ(still.out.m_latLongAlt[0], 0.0);
  still.fix(47.4, 8.5, 400.0, 2.0);
  still.step(f, 10);
  EXPECT_EQ(still.out.m_filterMode, 3);
  EXPECT_FALSE(f.state().firstGPS);
  EXPECT_EQ(still.out.m_latLongAlt[0], 47.4);
  EXPECT_EQ(f.state().lastKnownGpsTime, 10);
  // Age 1.99 s: still aided; exactly 2 s: coasting; 29.99 s coasting; exactly 30 s: none.
  still.step(f, 10 + 1990);
  EXPECT_EQ(still.out.m_filterMode, 3);
  still.step(f, 10 + 2000);
  EXPECT_EQ(still.out.m_filterMode, 1);
  EXPECT_TRUE(f.state().gpsOutage);
  EXPECT_NE(still.out.m_latLongAlt[0], 0.0);
  still.step(f, 10 + 29990);
  EXPECT_EQ(still.out.m_filterMode, 1);
  still.step(f, 10 + 30000);
  EXPECT_EQ(still.out.m_filterMode, 0);
  EXPECT_TRUE(f.state().firstGPS);
  EXPECT_EQ(still.out.m_latLongAlt[0], 0.0);
  EXPECT_EQ(still.out.m_velocity[0], 0.0);
  // Back to aided with the next fix, the reference placed again.
  still.fix(47.5, 8.6, 410.0, 2.0);
  still.step(f, 10 + 30010);
  EXPECT_EQ(still.out.m_filterMode, 3);
  EXPECT_EQ(f.state().lat_long_alt_zero[0], 47.5);
}

TEST(Zkf700Filter, InaccurateOrUnweighableFixesMarkAnOutage) {
  const Zkf700Params p = tuned(kGps, kMag | kBaro);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    const char* what;
    double pAcc;
    bool anchors;  // the update still uses it
  };
  // Too inaccurate: an outage, yet the update runs (and the acceleration update is chosen).
  // Not a positive number: no outage refresh and no update either.
  const Case cases[] = {{"above threshold", 50.0, true}, {"NaN", nan, false}, {"zero", 0.0, false},
                        {"negative", -1.0, false}};
  for (const Case& c : cases) {
    Zkf700Filter f(&p);
    Still still(p);
    still.step(f, 0);
    still.fix(47.4, 8.5, 400.0, c.pAcc);
    still.step(f, 10);
    EXPECT_TRUE(f.state().gpsOutage) << c.what;
    EXPECT_EQ(f.state().lastKnownGpsTime, c.anchors ? 10 : 0) << c.what;
    EXPECT_EQ(f.state().firstGPS, !c.anchors) << c.what;
    EXPECT_TRUE(f.currentSteps().accUpdate) << c.what;
    EXPECT_FALSE(f.gpsWaiting()) << c.what;  // used up either way
    EXPECT_TRUE(std::isfinite(f.state().m_sQx(0, 0))) << c.what;
  }
}

TEST(Zkf700Filter, WithGnssUpdatesOffFixesAreIgnoredAndNoPositionIsPublished) {
  const Zkf700Params p = tuned(0, kGps | kMag | kBaro);
  Zkf700Filter f(&p);
  Still still(p);
  still.step(f, 0);
  for (int i = 1; i < 500; ++i) {
    if (i % 100 == 0) still.fix(47.4, 8.5, 400.0, 2.0);
    still.step(f, 10 * i);
    ASSERT_EQ(still.out.m_filterMode, 0) << i;
    ASSERT_EQ(still.out.m_latLongAlt[0], 0.0);
    ASSERT_EQ(still.out.m_velocity[0], 0.0);
  }
  EXPECT_FALSE(f.gpsWaiting());
  EXPECT_TRUE(f.state().firstGPS);
}

TEST(Zkf700Filter, TheFirstFixPlacesReferenceAndKeepsItsVelocity) {
  const Zkf700Params p = tuned(kGps, kMag | kBaro);
  Zkf700Filter f(&p);
  Still still(p);
  still.step(f, 0);
  still.fix(47.4, 8.5, 400.0, 2.0, 0.05);
  still.aiding.gpsVel = zelto::Vector3(3.0, -4.0, 0.5);
  still.step(f, 10);
  const zelto::Zkf700State& s = f.state();
  EXPECT_EQ(s.lat_long_alt_zero[0], 47.4);
  EXPECT_EQ(s.lat_long_alt[1], 8.5);
  // The velocity survives the correction (x is rebuilt from sQx and sx there).
  EXPECT_NEAR(s.m_xVel[0], 3.0, 1e-9);
  EXPECT_NEAR(s.m_xVel[1], -4.0, 1e-9);
  EXPECT_NEAR(s.m_xVel[2], 0.5, 1e-9);
  EXPECT_NEAR(still.out.m_velocity[0], 3.0, 1e-9);
  EXPECT_TRUE(s.lastAiding.gpsValid);
  EXPECT_EQ(s.lastAiding.gpsSAcc, 0.05);
}

TEST(Zkf700Filter, LaterFixesPullThePositionAndWrapTheLongitude) {
  const Zkf700Params p = tuned(kGps, kMag | kBaro);
  Zkf700Filter f(&p);
  Still still(p);
  still.step(f, 0);
  still.fix(10.0, 179.9999, 0.0, 1.0);
  still.step(f, 10);
  // 0.0002 degrees further east across the date line (355 degrees apart as numbers).
  still.fix(10.0, -179.9999, 0.0, 0.01);
  still.step(f, 1010);
  const double lon = f.state().lat_long_alt[1];
  // The flat conversion puts the new position east of the reference, past 180 degrees.
  EXPECT_GT(lon, 179.9999);
  EXPECT_LT(lon, 180.00011);
}

TEST(Zkf700Filter, BarometerBaselineAndUpdate) {
  double h = 1.0;
  Zkf700Filter::pressureToHeight(101325.0, h);
  EXPECT_NEAR(h, 0.0, 1e-12);
  Zkf700Filter::pressureToHeight(100000.0, h);
  EXPECT_NEAR(h, 110.84435100293315, 1e-9);
  Zkf700Filter::pressureToHeight(0.0, h);
  EXPECT_EQ(h, 44330.0);

  const Zkf700Params p = tuned(kGps | kBaro, kMag);
  Zkf700Filter f(&p);
  Still still(p);
  still.step(f, 0);
  // Before any fix: no baseline and no change but the used-up flag (mode 0 selects no update;
  // a direct call shows it).
  still.aiding.baro = 96000.0;
  still.aiding.baroValid = true;
  still.step(f, 10);
  EXPECT_TRUE(f.barometerWaiting());
  const zelto::Zkf700State before = f.state();
  f.doBarometerUpdate();
  EXPECT_FALSE(f.barometerWaiting());
  EXPECT_TRUE(f.state().firstBarometer);
  EXPECT_EQ(f.state().m_sQx(2, 2), before.m_sQx(2, 2));

  still.fix(47.4, 8.5, 400.0, 2.0);
  still.step(f, 20);
  double h0 = 0.0;
  Zkf700Filter::pressureToHeight(96000.0, h0);
  still.aiding.baro = 96000.0;
  still.aiding.baroValid = true;
  still.step(f, 30);
  EXPECT_FALSE(f.state().firstBarometer);
  EXPECT_NEAR(f.state().barometer_baseheight[0], h0 - f.state().lat_long_alt_zero[2], 1e-3);
  EXPECT_EQ(f.state().barometer_baseheight[1], h0);
  // One hundred pascals less: about 9 m higher, the altitude moves up.
  const double altBefore = f.state().lat_long_alt[2];
  for (int i = 0; i < 20; ++i) {
    still.aiding.baro = 95900.0;
    still.aiding.baroValid = true;
    still.step(f, 40 + 10 * i);
  }
  EXPECT_GT(f.state().lat_long_alt[2], altBefore + 1.0);
  // A pressure of 0 or below, or not a number, is skipped.
  for (double bad : {0.0, -5.0, std::numeric_limits<double>::quiet_NaN()}) {
    const zelto::Zkf700State s0 = f.state();
    still.aiding.baro = bad;
    still.aiding.baroValid = true;
    still.step(f, 1000, false, Zkf700Filter::PartOne);
    EXPECT_TRUE(f.barometerWaiting());
    f.doBarometerUpdate();
    EXPECT_FALSE(f.barometerWaiting());
    EXPECT_EQ(f.state().barometer_baseheight[1], s0.barometer_baseheight[1]);
  }
}

TEST(Zkf700Filter, NoRotationWindowRunsNPlusOneSamplesAndIsNotRestarted) {
  const Zkf700Params p = tuned(0, kMag | kGps);
  Zkf700Filter f(&p);
  Still still(p);
  still.step(f, 0);
  still.rt.m_noRotationDuration = 1;  // N = 1 / 0.01 = 100
  still.step(f, 10);
  EXPECT_TRUE(f.currentSteps().noRotationUpdate);
  EXPECT_EQ(f.state().zruSamplesToProcess, 100u);
  EXPECT_TRUE(still.out.m_zruRunning);
  int updates = 1;
  for (int i = 0; i < 150; ++i) {
    if (i == 10) still.rt.m_noRotationDuration = 5;  // a second request: the count goes on
    still.step(f, 20 + 10 * i);
    if (f.currentSteps().noRotationUpdate) ++updates;
    if (i == 10) {
      EXPECT_EQ(f.state().zruSamplesToProcess, 89u);
    }
  }
  EXPECT_EQ(updates, 101);
  EXPECT_FALSE(f.state().zruRunning);
  EXPECT_FALSE(f.state().zruAborted);

  // A moving sample aborts at once.
  still.rt.m_noRotationDuration = 2;
  still.step(f, 5000);
  EXPECT_TRUE(f.state().zruRunning);
  Zkf700SensorData moving = still.sensor;
  moving.dq.isHelical(zelto::Vector3(0.0, 0.0, 0.2 * p.sampleTime));  // 0.2 rad/s
  Zkf700Aiding none;
  f.doOneKalmanStep(moving, none, still.rt, still.out, Zkf700Filter::WholeStep);
  EXPECT_TRUE(f.state().zruAborted);
  EXPECT_EQ(f.state().zruSamplesToProcess, 0u);
  EXPECT_FALSE(f.currentSteps().noRotationUpdate);
  EXPECT_TRUE(still.out.m_zruAborted);
}

TEST(Zkf700Filter, PartsAloneAndCustomSelections) {
  const Zkf700Params p = tuned(0, kMag | kGps);
  Zkf700Filter f(&p);
  Still still(p);
  still.step(f, 0);
  EXPECT_FALSE(still.step(f, 10, false, Zkf700Filter::PartOne));
  EXPECT_FALSE(still.out.m_done);
  EXPECT_FALSE(still.step(f, 10, false, Zkf700Filter::PartTwo));
  EXPECT_TRUE(still.step(f, 10, false, Zkf700Filter::PartThree));
  EXPECT_TRUE(still.out.m_done);
  EXPECT_FALSE(still.step(f, 10, false, static_cast<Zkf700Filter::KalmanStepPart>(4)));
  EXPECT_FALSE(still.step(f, 10, false, static_cast<Zkf700Filter::KalmanStepPart>(-1)));

  // Custom: exactly the named steps; "decisionLogic" stops part one with its selection made.
  Zkf700Params custom = p;
  zelto::LabelList labels;
  labels.append("predict");
  labels.append("correct");
  custom.zkf700Steps()->enableSteps(labels);
  Zkf700Filter c(&custom);
  EXPECT_TRUE(still.step(c, 0));
  EXPECT_FALSE(c.isInitialized());  // custom mode never clears it
  EXPECT_FALSE(c.currentSteps().accUpdate);
  labels.append("decisionLogic");
  labels.append("init");
  custom.zkf700Steps()->enableSteps(labels);
  c.restart(&custom);
  EXPECT_FALSE(still.step(c, 10));
  EXPECT_TRUE(still.out.m_done);
  EXPECT_TRUE(c.currentSteps().predict && c.currentSteps().defaultSteps);
  EXPECT_TRUE(c.currentSteps().accUpdate);  // firstGPS after the "init" step
}

TEST(Zkf700Filter, RestartRealignsAndClearsTheNewDataFlags) {
  const Zkf700Params p = tuned(kMag | kGps);
  Zkf700Filter f(&p);
  Still still(p);
  still.step(f, 0, true);
  still.step(f, 10, true);
  ASSERT_TRUE(f.isInitialized());
  f.restart(static_cast<ZkfParams*>(nullptr));
  EXPECT_FALSE(f.isInitialized());
  EXPECT_FALSE(f.magnetometerReceived());
  EXPECT_FALSE(still.step(f, 20));  // waits for the magnetometer again
  // Foreign parameters keep the copy; new ones replace it.
  ForeignParams other;
  f.restart(&other);
  EXPECT_NE(dynamic_cast<Zkf700Params*>(f.getFilterParameters()), nullptr);
  Zkf700Params slower = tuned(kMag);
  slower.sampleTime = 0.02;
  slower.initSpeedups();
  f.restart(&slower);
  EXPECT_EQ(dynamic_cast<Zkf700Params*>(f.getFilterParameters())->sampleTime, 0.02);
}

TEST(Zkf700Filter, RefusesWithoutUsableParametersOrInputs) {
  Zkf700Filter none(nullptr);
  const Zkf700Params p = tuned(0, kMag);
  Still still(p);
  EXPECT_FALSE(still.step(none, 0));
  EXPECT_FALSE(still.out.m_done);
  const Zkf700Params fresh;  // sample time 0: what a device without a scenario would install
  Zkf700Filter unusable(&fresh);
  EXPECT_FALSE(still.step(unusable, 0));
  EXPECT_FALSE(unusable.isInitialized());

  Zkf700Filter f(&p);
  // Another filter's records through the interface: std::bad_cast, with nothing changed (the
  // filter is still waiting to align and the output untouched).
  {
    ForeignSensorData sensor;
    ForeignAiding aiding;
    ForeignRealTime rt;
    ForeignOutput output;
    Zkf700SensorData mySensor = still.sensor;
    Zkf700Aiding myAiding = still.aiding;
    myAiding.magValid = true;
    Zkf700RealTimeParameters myRt;
    Zkf700FilterOutput myOutput;
    myOutput.m_done = true;
    myOutput.m_filterMode = 7;
    ZtZkfFilter& base = f;
    const struct {
      const ZkfSensorData& sensor;
      const ZkfAiding& aiding;
      const ZkfRealTimeParameters& rt;
      ZkfFilterOutput& out;
    } cases[] = {{sensor, myAiding, myRt, myOutput},
                 {mySensor, aiding, myRt, myOutput},
                 {mySensor, myAiding, rt, myOutput},
                 {mySensor, myAiding, myRt, output},
                 {sensor, aiding, rt, output}};
    for (const auto& c : cases) {
      EXPECT_THROW(base.doOneKalmanStep(c.sensor, c.aiding, c.rt, c.out, nullptr), std::bad_cast);
      EXPECT_FALSE(f.isInitialized());
      EXPECT_FALSE(f.magnetometerReceived());
      EXPECT_TRUE(myOutput.m_done);
      EXPECT_EQ(myOutput.m_filterMode, 7);
    }
  }
  Zkf700FilterOutput out;
  Zkf700SensorData bad = still.sensor;
  bad.dv[1] = std::numeric_limits<double>::infinity();
  EXPECT_FALSE(f.doOneKalmanStep(bad, still.aiding, still.rt, out, Zkf700Filter::WholeStep));
  EXPECT_FALSE(f.isInitialized());
  EXPECT_TRUE(f.doOneKalmanStep(still.sensor, still.aiding, still.rt, out, nullptr));

  // States: null, foreign and non-finite ones are refused.
  zelto::Zkf700State s = f.state();
  EXPECT_FALSE(f.setFullStateChecked(nullptr));
  s.m_sx[4] = std::numeric_limits<double>::quiet_NaN();
  EXPECT_FALSE(f.setFullStateChecked(&s));
  s.m_sx[4] = 0.0;
  EXPECT_TRUE(f.setFullStateChecked(&s));
  zelto::Zkf700State copy;
  f.getFullState(&copy);
  EXPECT_EQ(copy.m_sQx(3, 3), s.m_sQx(3, 3));
}

TEST(Zkf700Filter, AnAssertionFailureRestartsTheFilterInsteadOfFailingForever) {
  const Zkf700Params p = tuned(0, kMag | kGps);
  Zkf700Filter f(&p);
  Still still(p);
  still.step(f, 0);
  zelto::Zkf700State s = f.state();
  s.m_q_ls = zelto::Quaternion(1e300, 0.0, 0.0, 0.0);  // finite, but its rotation is not
  ASSERT_TRUE(f.setFullStateChecked(&s));
  // The part itself throws with the part's signature and the assertion.
  try {
    f.doOneKalmanStepPartOne(still.sensor, still.aiding, still.rt, still.out);
    FAIL() << "no assertion";
  } catch (const ZtException& e) {
    const std::string text = e.what();
    EXPECT_NE(text.find("bool zelto::Zkf700Filter::doOneKalmanStepPartOne(const zelto::Zkf700SensorData&"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("Assertion 'm_state.m_x.isValid()' failed."), std::string::npos) << text;
    EXPECT_EQ(text.find("256"), 0u) << text;
  }
  ASSERT_TRUE(f.setFullStateChecked(&s));
  EXPECT_FALSE(still.step(f, 20));  // caught: false, and the filter starts again
  EXPECT_FALSE(f.isInitialized());
  EXPECT_NE(f.lastError().find("m_x.isValid"), std::string::npos);
  EXPECT_TRUE(still.step(f, 30));  // aligned again
  EXPECT_TRUE(still.step(f, 40));
  EXPECT_NEAR(f.state().m_q_ls.w, 1.0, 1e-6);
}

TEST(Zkf700Filter, MagnetometerGateRollsBackExactly) {
  Zkf700ScenarioParams sc = builtInProfile();
  sc.updateFlags = static_cast<uint16_t>((sc.updateFlags | kMag) & ~(kGps | kBaro | kHol));
  sc.nrMagCheck[0] = 3.0;
  sc.nrMagCheck[1] = 3.0;
  const Zkf700Params p = params(sc);
  Zkf700Filter f(&p);
  Still still(p);
  still.aiding.magValid = true;
  for (int i = 0; i < 100; ++i) still.step(f, 10 * i, true);
  // A field turned by 60 degrees: far outside the gate.
  const zelto::Vector3 good = still.aiding.mag;
  still.aiding.mag = zelto::Vector3(good[0] * 0.5 - good[1] * 0.866, good[0] * 0.866 + good[1] * 0.5, good[2]);
  for (int k = 0; k < 4; ++k) {
    Zkf700Aiding a = still.aiding;
    a.magValid = true;
    still.sensor.time = 1000 + 10 * k;
    f.doOneKalmanStep(still.sensor, a, still.rt, still.out, Zkf700Filter::PartOne);
    const zelto::Zkf700State before = f.state();
    f.doOneKalmanStep(still.sensor, a, still.rt, still.out, Zkf700Filter::PartTwo);
    const zelto::Zkf700State& after = f.state();
    if (k < 3) {
      EXPECT_EQ(after.NR_magCounter, k + 1);
      EXPECT_EQ(std::memcmp(after.m_sQx.data, before.m_sQx.data, 18 * 18 * sizeof(double)), 0) << k;
      EXPECT_EQ(std::memcmp(after.m_sx.data, before.m_sx.data, 18 * sizeof(double)), 0) << k;
      // The averages keep their new values.
      EXPECT_NE(after.mag_avg[0], before.mag_avg[0]);
    } else {
      EXPECT_EQ(after.NR_magCounter, 0);  // the fourth is accepted
      EXPECT_NE(after.m_sQx(17, 17), before.m_sQx(17, 17));
    }
    f.doOneKalmanStep(still.sensor, a, still.rt, still.out, Zkf700Filter::PartThree);
  }
}

TEST(Zkf700Filter, HolonomicChoiceAndItsRefusals) {
  Zkf700ScenarioParams sc = builtInProfile();
  sc.updateFlags = static_cast<uint16_t>((sc.updateFlags | kHol | kGps) & ~(kMag | kBaro));
  Zkf700Params p = params(sc);
  Zkf700Filter f(&p);
  Still still(p);
  still.step(f, 0);
  still.fix(47.4, 8.5, 400.0, 1.0);
  still.aiding.gpsVel = zelto::Vector3(0.0, 2.0, 0.0);  // exactly velocity_holonomic
  still.step(f, 10);
  ASSERT_TRUE(f.currentSteps().holonomicConstraintUpdate || !f.state().firstGPS);
  // At exactly the holonomic speed: no holonomic update (n_s is zero: it would be refused
  // anyway); the zero-rotation test then looks at |v| < 0.2: not met either.
  const zelto::Zkf700State before = f.state();
  f.doHolonomicConstraintUpdate();
  EXPECT_EQ(f.state().m_sQx(16, 16), before.m_sQx(16, 16));
  // Slow and not turning about z (a large x rate does not matter): zero-rotation update.
  Zkf700Params slow = p;
  slow.velocityZeroRotation = 5.0;
  Zkf700Filter g(&slow);
  Still s2(slow);
  s2.step(g, 0);
  s2.fix(47.4, 8.5, 400.0, 1.0);
  s2.aiding.gpsVel = zelto::Vector3(0.0, 2.0, 0.0);
  s2.sensor.dq.isHelical(zelto::Vector3(0.5 * slow.sampleTime, 0.0, 0.0));
  s2.step(g, 10, false, Zkf700Filter::PartOne);
  const double biasVarBefore = g.state().m_sQx(11, 11);
  g.doHolonomicConstraintUpdate();
  EXPECT_LT(g.state().m_sQx(11, 11), biasVarBefore);
}

TEST(Zkf700Filter, DegenerateParametersAndRestoredCountdownsAreGuarded) {
  // Parameters restored without a horizontal earth field and without a ramp length, over a
  // state whose divergence countdown is running: every step stays finite and the countdown ends.
  Zkf700Params p = tuned(kMag, kGps | kBaro);
  p.projectedMagEarth = zelto::Vector3(0.0, 0.0, 0.0);
  p.accDivMonSamples = 0;
  Zkf700Filter f(&p);
  Still still(p);
  still.step(f, 0, true);
  zelto::Zkf700State s = f.state();
  s.accDivMon_samples_to_ignore = 5;
  ASSERT_TRUE(f.setFullStateChecked(&s));
  for (int i = 1; i < 50; ++i) ASSERT_TRUE(still.step(f, 10 * i, true)) << f.lastError();
  EXPECT_TRUE(f.isInitialized());
  EXPECT_EQ(f.state().accDivMon_samples_to_ignore, 0u);
  for (int i = 0; i < 18; ++i) EXPECT_TRUE(std::isfinite(f.state().m_x[i]));
  // A fix whose speed accuracy is not a number keeps its position rows only.
  Zkf700Params g = tuned(kGps, kMag | kBaro);
  Zkf700Filter h(&g);
  Still s2(g);
  s2.step(h, 0);
  s2.fix(47.4, 8.5, 400.0, 2.0, std::numeric_limits<double>::quiet_NaN());
  s2.aiding.gpsVel = zelto::Vector3(5.0, 0.0, 0.0);
  EXPECT_TRUE(s2.step(h, 10));
  EXPECT_FALSE(h.state().firstGPS);
  EXPECT_EQ(h.state().m_xVel[0], 0.0);  // the velocity of a fix without a speed accuracy is not taken
  for (int i = 0; i < 18; ++i) EXPECT_TRUE(std::isfinite(h.state().m_sx[i]));
}

TEST(Zkf700Update, MRowRoutineMatchesTheCovarianceForm) {
  // A random lower-triangular S, an update of 6 rows with skip 12 against the textbook update.
  double Sd[18 * 18] = {}, sxd[18], wd[18];
  uint64_t seed = 7;
  auto rnd = [&seed]() {
    seed = seed * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<double>((seed >> 11) % 1000000) / 1000000.0 - 0.5;
  };
  for (int i = 0; i < 18; ++i) {
    for (int j = 0; j < i; ++j) Sd[i * 18 + j] = rnd();
    Sd[i * 18 + i] = 1.0 + rnd();
    sxd[i] = rnd();
  }
  zelto::Matrix S(18, 18, 18, Sd, 0);
  zelto::Vector sx(18, sxd, 0), w(18, wd, 0);
  double Hd[6 * 18] = {}, Rd[36] = {}, zd[6];
  for (int i = 0; i < 6; ++i) {
    for (int j = 0; j < 6; ++j) Hd[i * 18 + j] = rnd();
    Rd[i * 6 + i] = 0.5 + rnd();
    zd[i] = rnd();
  }
  const zelto::Matrix H(6, 18, 18, Hd, 0), Rn(6, 6, 6, Rd, 0);
  const zelto::Vector z(6, zd, 0);
  Eigen::MatrixXd Se(18, 18), He(6, 18), Re = Eigen::MatrixXd::Zero(6, 6);
  Eigen::VectorXd sxe(18), ze(6);
  for (int i = 0; i < 18; ++i) {
    sxe[i] = sxd[i];
    for (int j = 0; j < 18; ++j) Se(i, j) = Sd[i * 18 + j];
  }
  for (int i = 0; i < 6; ++i) {
    ze[i] = zd[i];
    Re(i, i) = Rd[i * 6 + i] * Rd[i * 6 + i];
    for (int j = 0; j < 18; ++j) He(i, j) = Hd[i * 18 + j];
  }
  const Eigen::MatrixXd P = Se * Se.transpose();
  const Eigen::VectorXd x = Se * sxe;
  const Eigen::MatrixXd E = He * P * He.transpose() + Re;
  const Eigen::MatrixXd K = P * He.transpose() * E.inverse();
  const Eigen::MatrixXd P1 = P - K * He * P;
  const Eigen::VectorXd x1 = x + K * (ze - He * x);
  AllocationCounter counter;
  ASSERT_TRUE(zelto::doMeasurementUpdateSquareRootZkf700_fw_zkf6g(6, sx, S, w, z, H, Rn, 12));
  EXPECT_EQ(counter.count(), 0u);
  Eigen::MatrixXd S1(18, 18);
  Eigen::VectorXd sx1(18), we(6);
  for (int i = 0; i < 18; ++i) {
    sx1[i] = sxd[i];
    for (int j = 0; j < 18; ++j) S1(i, j) = Sd[i * 18 + j];
  }
  for (int i = 0; i < 6; ++i) we[i] = wd[i];
  EXPECT_LT((S1 * S1.transpose() - P1).cwiseAbs().maxCoeff(), 1e-12);
  EXPECT_LT((S1 * sx1 - x1).cwiseAbs().maxCoeff(), 1e-12);
  for (int i = 0; i < 18; ++i)
    for (int j = i + 1; j < 18; ++j) EXPECT_EQ(S1(i, j), 0.0);
  // Squared whitened innovation = Mahalanobis distance.
  const Eigen::VectorXd r = ze - He * x;
  EXPECT_NEAR(we.squaredNorm(), r.dot(E.inverse() * r), 1e-10);
  // A zero noise deviation cannot whiten: refused, nothing written.
  Rd[7] = 0.0;
  const double before = Sd[5 * 18 + 5];
  EXPECT_FALSE(zelto::doMeasurementUpdateSquareRootZkf700_fw_zkf6g(6, sx, S, w, z, H, Rn, 12));
  EXPECT_EQ(Sd[5 * 18 + 5], before);
}

TEST(Zkf700Filter, StepAllocatesNothing) {
  Zkf700ScenarioParams sc = builtInProfile();
  sc.updateFlags |= kHol;
  Zkf700Params p = params(sc);
  p.n_s = zelto::Vector3(0.0, 1.0, 0.0);
  Zkf700Filter f(&p);
  Still still(p);
  still.step(f, 0, true);
  still.step(f, 10, true);
  AllocationCounter counter;
  for (int i = 0; i < 300; ++i) {
    if (i % 100 == 0) {
      still.fix(47.4, 8.5, 400.0, 2.0);
      still.aiding.gpsVel = zelto::Vector3(0.0, 3.0, 0.0);
    }
    if (i % 10 == 5) {
      still.aiding.baro = 96000.0 - i * 0.01;
      still.aiding.baroValid = true;
    }
    if (i == 150) still.rt.m_noRotationDuration = 1;
    still.step(f, 20 + 10 * i, true);
  }
  EXPECT_EQ(counter.count(), 0u);
  EXPECT_EQ(still.out.m_filterMode, 3);
}

}  // namespace
