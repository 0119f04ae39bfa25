// Zkf3i scenario and run-time parameters: the built-in tuning and its scenario page, the settings
// forms with their fallback key and read orders, initialize against the figures it must produce,
// the inputs it refuses, time constants of 0, and the built-in profile loaded the way a tracker
// loads it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

#include "errors/ZtException.h"
#include "filters/common/DecryptedScenarioPage.h"
#include "filters/common/EstimationRoutines.h"
#include "filters/common/FilterTypeVersion.h"
#include "filters/common/KtMk4HardwareParams.h"
#include "filters/common/ZkfUserParams.h"
#include "filters/zkf3i/Zkf3iFilter.h"
#include "filters/zkf3i/Zkf3iFilterIdentity.h"
#include "filters/zkf3i/Zkf3iParams.h"
#include "filters/zkf3i/Zkf3iScenarioParams.h"
#include "foundation/SettingsFile.h"
#include "foundation/StringToVersion.h"
#include "math/geomag/EarthMagModel.h"

namespace {

using zelto::SettingsFile;
using zelto::Variant;
using zelto::Zkf3iParams;
using zelto::Zkf3iScenarioParams;
using Sc = Zkf3iScenarioParams;

constexpr double kDeg = 0.017453292519943295;

Zkf3iScenarioParams builtIn() {
  Zkf3iScenarioParams s;
  s.initHardCoded();
  return s;
}

// User parameters at 100 Hz; the position and date given, the gravity switch off.
ZkfUserParams user100(double lat = 48.0, double lon = 11.0, double alt = 500.0) {
  ZkfUserParams u;
  u.sampleRate = 100.0;
  u.storedLatLongAlt = zelto::Vector3(lat, lon, alt);
  u.storedYear = 2024;
  u.storedMonth = 6;
  u.storedDay = 1;
  u.enabledFixedGravity = false;
  return u;
}

Zkf3iParams initialized(const Zkf3iScenarioParams& s = builtIn(), const ZkfUserParams& u = user100()) {
  Zkf3iParams p;
  const KtMk4HardwareParams h;
  EXPECT_TRUE(p.initialize(s, h, u, zelto::Zkf3iFilterSteps())) << p.error();
  return p;
}

TEST(Zkf3iScenarioParams, NewRecordIsZeroAndBuiltInTuningSetsTheDefaults) {
  const Zkf3iScenarioParams empty;
  EXPECT_EQ(empty.flags, 0);
  EXPECT_EQ(empty.tau_acc, 0.0);
  EXPECT_EQ(empty.initialConditions.sd_init_orient, 0.0);
  EXPECT_EQ(empty.label[0], '\0');
  const Zkf3iScenarioParams s = builtIn();
  EXPECT_EQ(s.flags, Sc::kDoAccUpdate | Sc::kDoMagUpdate | Sc::kDoRedefine | Sc::kDoRedefineSpatial);
  EXPECT_STREQ(s.label, "demo");
  EXPECT_EQ(s.type, 38);
  EXPECT_EQ(s.version, 255);
  EXPECT_EQ(s.filterTypeVersion.type, 'I');
  EXPECT_EQ(s.filterTypeVersion.major * 100 + s.filterTypeVersion.minor * 10 + s.filterTypeVersion.revision, 100);
  EXPECT_EQ(s.f_clipSolve_boost[3], 1000.0);
  EXPECT_EQ(s.nrMagCheck[1], 50.0);
  EXPECT_EQ(s.initialConditions.sd_init_gyrBias, 0.15);
  // "doMfmInUse" keeps what it held.
  Zkf3iScenarioParams m;
  m.setFlag(Sc::kDoMfmInUse, true);
  m.initHardCoded();
  EXPECT_TRUE(m.flag(Sc::kDoMfmInUse));
}

TEST(Zkf3iScenarioParams, PageGoldenBytesAndRoundTrip) {
  Zkf3iScenarioParams s = builtIn();
  DecryptedScenarioPage page;
  std::memset(&page, 0xA5, sizeof page);
  s.writeToDecryptedScenarioPage(&page);
  const auto* bytes = reinterpret_cast<const unsigned char*>(&page);
  EXPECT_EQ(bytes[0], 38);
  EXPECT_EQ(bytes[1], 255);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes + 2), 20), "demo" + std::string(16, ' '));
  const unsigned char ten[] = {0x00, 0x00, 0x20, 0x41};
  EXPECT_EQ(std::memcmp(bytes + 22, ten, 4), 0);
  EXPECT_EQ(bytes[262] | bytes[263] << 8, 0x020D);
  // k = 43, 44 hold the two times, k = 45 the decay time constant; k = 59 the orientation
  // deviation, the last value.
  auto valueAt = [&](size_t k) {
    float f;
    std::memcpy(&f, bytes + 22 + 4 * k, 4);
    return f;
  };
  EXPECT_EQ(valueAt(3), 0.25f);
  EXPECT_EQ(valueAt(13), 50.0f);
  EXPECT_EQ(valueAt(30), 6.0f);
  EXPECT_EQ(valueAt(43), 0.5f);
  EXPECT_EQ(valueAt(49), 100.0f);
  EXPECT_EQ(valueAt(59), 0.3f);

  // Back into another record: single precision, header and label untouched, bits above 12
  // ignored.
  page.trailer |= 0xE000;
  Zkf3iScenarioParams r;
  r.setLabel("keep");
  r.type = 7;
  r.readFromDecryptedScenarioPage(&page);
  EXPECT_STREQ(r.label, "keep");
  EXPECT_EQ(r.type, 7);
  EXPECT_EQ(r.flags, 0x020D);
  EXPECT_EQ(r.f_gyr_dynamic, static_cast<double>(2e-09f));
  EXPECT_NE(r.f_gyr_dynamic, 2e-09);
  EXPECT_EQ(r.sdHeading_threshold, static_cast<double>(0.6f));
  EXPECT_EQ(r.accUpdate_tauDecay, 0.5);
  EXPECT_EQ(r.initialConditions.sd_init_orient, static_cast<double>(0.3f));
}

TEST(Zkf3iScenarioParams, SettingsRoundTripFallbackKeyAndOptionalHeader) {
  Zkf3iScenarioParams s = builtIn();
  s.setFlag(Sc::kDoMfmInUse, true);
  s.setFlag(Sc::kDoCZruUpdate, true);
  SettingsFile file;
  s.writeToFile(file, "sc.");
  EXPECT_TRUE(file.hasSetting("sc.", "f_zruThreshold"));
  EXPECT_FALSE(file.hasSetting("sc.", "f_zruTheshold"));
  Zkf3iScenarioParams r;
  ASSERT_TRUE(r.readFromFileNoThrow(file, "sc."));
  EXPECT_TRUE(r == s);

  // Only the misspelt key: it is the threshold. Both: the correct one wins.
  file.setSetting("sc.", "f_zruTheshold", Variant(4.5));
  file.setSetting("sc.", "f_zruThreshold", Variant(7.5));
  ASSERT_TRUE(r.readFromFileNoThrow(file, "sc."));
  EXPECT_EQ(r.f_zruThreshold, 7.5);
  file.clear("sc.f_zruThreshold", false, true);
  ASSERT_TRUE(r.readFromFileNoThrow(file, "sc."));
  EXPECT_EQ(r.f_zruThreshold, 4.5);
  // Neither: the read stops there.
  file.clear("sc.f_zruTheshold", false, true);
  Zkf3iScenarioParams t;
  EXPECT_FALSE(t.readFromFileNoThrow(file, "sc."));
  EXPECT_EQ(t.zruDuration, 2.0);
  EXPECT_EQ(t.delta_x0_threshold, 0.0);
  file.setSetting("sc.", "f_zruThreshold", Variant(6.0));

  // Without the filter keys the record takes the Zkf3i filter's type and version.
  file.clear("sc.gp.filter", false, true);
  file.clear("sc.gp.filterVersion", false, true);
  Zkf3iScenarioParams u;
  ASSERT_TRUE(u.readFromFileNoThrow(file, "sc."));
  EXPECT_EQ(u.filterTypeVersion.type, 'I');
  EXPECT_EQ(u.filterTypeVersion.major, 1);

  // A label of 20 characters is not copied; two values of "f_clipSolve_boost" fill the first
  // two elements.
  file.setSetting("sc.", "gp.scenario", Variant("abcdefghijklmnopqrst"));
  const double two[] = {3.0, 4.0};
  file.setSetting("sc.", "f_clipSolve_boost", Variant(two, 2));
  ASSERT_TRUE(u.readFromFileNoThrow(file, "sc."));
  EXPECT_STREQ(u.label, "demo");
  EXPECT_EQ(u.f_clipSolve_boost[0], 3.0);
  EXPECT_EQ(u.f_clipSolve_boost[1], 4.0);
  EXPECT_EQ(u.f_clipSolve_boost[2], 0.25);
}

TEST(Zkf3iParams, InitializeFiguresWithTheBuiltInTuning) {
  const KtMk4HardwareParams h;
  const Zkf3iParams p = initialized();
  EXPECT_EQ(p.sampleTime, 0.01);
  EXPECT_NEAR(p.sQvAcc(0, 0), 10.0 * h.ndAcc[0], 1e-15);
  EXPECT_EQ(p.sQvAcc(0, 1), 0.0);
  EXPECT_NEAR(p.c_acc, std::exp(-0.001), 1e-15);
  EXPECT_NEAR(p.c_mag_avg, std::exp(-0.00125), 1e-15);
  EXPECT_NEAR(p.accUpdate_cDecay, std::exp(-0.02), 1e-15);
  EXPECT_EQ(p.accUpdateIgnoreSamples, 50u);
  EXPECT_EQ(p.accUpdate_samples_above_threshold_preset, 50);
  EXPECT_EQ(p.cZruSamplesThreshold, 100u);
  EXPECT_NEAR(p.maxRedefAngleRad, 0.0087266, 1e-7);
  EXPECT_NEAR(p.sdHeadingThresholdRad, 0.0104720, 1e-7);
  EXPECT_EQ(p.sQw_mag(1, 1), 0.001);
  EXPECT_EQ(p.zruThreshold, 6.0);
  EXPECT_EQ(p.magVerticalAngle, 85.0);
  EXPECT_EQ(p.okAgeInit, 200);
  EXPECT_EQ(p.RnMagUpdate(2, 2), 0.0);
  EXPECT_EQ(p.sd_w_mag_temporal_max, 0.1);
  EXPECT_TRUE(p.doAccUpdate && p.doMagUpdate && p.doRedefine && p.doRedefineSpatial && p.doRedefineMagDist);
  EXPECT_FALSE(p.doClipSolve || p.doCZruUpdate || p.doRedefineTemporal);
  // With the default hardware the still threshold is 6 sd of the rate noise, about 2.1 deg/s.
  const double sd = h.ndGyr[0] * 10.0 * kDeg;
  EXPECT_NEAR(p.sQvGyr(0, 0), sd, 1e-15);
  EXPECT_NEAR(p.zruThresholdSquared, 36.0 * sd * sd, 1e-15);
  EXPECT_NEAR(std::sqrt(p.zruThresholdSquared) / kDeg, 2.08, 0.01);
  EXPECT_NEAR(p.sQwGyrBias(2, 2), h.biasCoeffGyr[2] * std::sqrt(3.0 / h.biasTauGyr[2]) * kDeg * 0.1, 1e-18);
  EXPECT_NEAR(p.sQvMag(0, 0), std::sqrt(h.sdMag[0] * h.sdMag[0] + 1e-4), 1e-15);
  EXPECT_EQ(p.accRange, h.clipAcc);
  EXPECT_EQ(p.gyrRange, h.clipGyr);
  // Frames.
  EXPECT_NEAR(p.q_NWU2ENU.w, 0.7071067811865476, 1e-16);
  EXPECT_NEAR(p.q_NWU2ENU.z, 0.7071067811865475, 1e-16);
  EXPECT_EQ(p.q_NWU2ENU.x, 0.0);
  EXPECT_EQ(p.q_NWU2ENU.y, 0.0);
  const double d = p.declination_angle_rad;
  EXPECT_NEAR(p.m0[0], std::sin(d), 1e-15);
  EXPECT_NEAR(p.m0[1], std::cos(d), 1e-15);
  EXPECT_NEAR(p.axis_redef[0], 0.0, 1e-15);
  EXPECT_NEAR(p.axis_redef[1], 1.0, 1e-15);
  // Earth rate in east-north-up: nothing east, cos(lat) north, sin(lat) up.
  const double we = 7.292115e-5;
  EXPECT_NEAR(p.earthRotation_l[0], 0.0, 1e-18);
  EXPECT_NEAR(p.earthRotation_l[1], we * std::cos(48.0 * kDeg), 1e-15);
  EXPECT_NEAR(p.earthRotation_l[2], we * std::sin(48.0 * kDeg), 1e-15);
  // Gravity from the formula at the stored position.
  double g = 0.0;
  gravityIgf1980(zelto::Vector3(48.0, 11.0, 500.0), g);
  EXPECT_EQ(p.gravity_l[2], g);
  EXPECT_LT(g, -9.7);
  // Steps: a separate object equal to the one given.
  zelto::Zkf3iFilterSteps steps;
  steps.predict = true;
  steps.defaultSchedule = false;
  Zkf3iParams q;
  EXPECT_TRUE(Zkf3iParams().zkf3iSteps()->defaultSchedule);
  ASSERT_TRUE(q.initialize(builtIn(), h, user100(), steps));
  ASSERT_NE(q.zkf3iSteps(), nullptr);
  EXPECT_NE(q.zkf3iSteps(), &steps);
  EXPECT_TRUE(*q.zkf3iSteps() == steps);
}

TEST(Zkf3iParams, DeclinationPositionGravityAndSwitches) {
  // The geomagnetic model takes kilometres: 3000 m high gives the declination at 3 km.
  const Zkf3iParams high = initialized(builtIn(), user100(-33.0, 151.0, 3000.0));
  EXPECT_NEAR(high.declination_angle_rad / kDeg, estimateDeclination(2024, 6, 1, -33.0, 151.0, 3.0), 1e-12);
  EXPECT_GT(std::fabs(estimateDeclination(2024, 6, 1, -33.0, 151.0, 3000.0) -
                      estimateDeclination(2024, 6, 1, -33.0, 151.0, 3.0)),
            1e-3);
  EXPECT_GT(std::fabs(high.declination_angle_rad), 5.0 * kDeg);
  // An all-zero position is replaced before the declination, earth rate and gravity.
  const Zkf3iParams zero = initialized(builtIn(), user100(0.0, 0.0, 0.0));
  EXPECT_TRUE(zero.storedLatLongAlt == zelto::Vector3(kDefaultLatitudeDeg, kDefaultLongitudeDeg, kDefaultAltitude));
  EXPECT_NEAR(zero.declination_angle_rad / kDeg,
              estimateDeclination(2024, 6, 1, kDefaultLatitudeDeg, kDefaultLongitudeDeg, 0.0), 1e-12);
  EXPECT_NEAR(zero.earthRotation_l[2], 7.292115e-5 * std::sin(kDefaultLatitudeDeg * kDeg), 1e-15);
  // The two switches the scenario lacks come from the user parameters.
  ZkfUserParams u = user100();
  u.enabledFixedGravity = true;
  u.gravityMagnitude = 9.80665;
  u.enabledInitialGyroBiasUpdate = true;
  const Zkf3iParams fixed = initialized(builtIn(), u);
  EXPECT_TRUE(fixed.doFixedGravity);
  EXPECT_TRUE(fixed.doInitialGyroBiasUpdate);
  EXPECT_EQ(fixed.gravity_l[2], -9.80665);
  const Zkf3iParams formula = initialized();
  EXPECT_FALSE(formula.doFixedGravity || formula.doInitialGyroBiasUpdate);
  // The magnetic-disturbance switch is the inverse of its scenario flag.
  Zkf3iScenarioParams s = builtIn();
  s.setFlag(Sc::kNoRedefineMagDist, true);
  EXPECT_FALSE(initialized(s).doRedefineMagDist);
  // A count is a count whatever the rate; the times follow the rate.
  ZkfUserParams fast = user100();
  fast.sampleRate = 400.0;
  const Zkf3iParams p400 = initialized(builtIn(), fast);
  EXPECT_EQ(p400.cZruSamplesThreshold, 100u);
  EXPECT_EQ(p400.accUpdateIgnoreSamples, 200u);
}

TEST(Zkf3iParams, InitializeRefusesInputsThatGiveNoUsableFilter) {
  const KtMk4HardwareParams h;
  const struct {
    const char* name;
    void (*spoil)(Zkf3iScenarioParams&, KtMk4HardwareParams&, ZkfUserParams&);
  } cases[] = {
      {"zero rate", [](Zkf3iScenarioParams&, KtMk4HardwareParams&, ZkfUserParams& u) { u.sampleRate = 0.0; }},
      {"negative rate", [](Zkf3iScenarioParams&, KtMk4HardwareParams&, ZkfUserParams& u) { u.sampleRate = -100.0; }},
      {"NaN rate", [](Zkf3iScenarioParams&, KtMk4HardwareParams&, ZkfUserParams& u) { u.sampleRate = NAN; }},
      {"NaN tau", [](Zkf3iScenarioParams& s, KtMk4HardwareParams&, ZkfUserParams&) { s.tau_magvar = NAN; }},
      {"negative tau", [](Zkf3iScenarioParams& s, KtMk4HardwareParams&, ZkfUserParams&) { s.accUpdate_tauDecay = -1; }},
      {"zero bias tau", [](Zkf3iScenarioParams&, KtMk4HardwareParams& k, ZkfUserParams&) { k.biasTauGyr[1] = 0.0; }},
      {"negative bias tau",
       [](Zkf3iScenarioParams&, KtMk4HardwareParams& k, ZkfUserParams&) { k.biasTauGyr[2] = -200.0; }},
      {"infinite noise",
       [](Zkf3iScenarioParams&, KtMk4HardwareParams& k, ZkfUserParams&) { k.ndGyr[0] = INFINITY; }},
      {"zero gyroscope noise",
       [](Zkf3iScenarioParams&, KtMk4HardwareParams& k, ZkfUserParams&) { k.ndGyr = zelto::Vector3(0.0, 0.0, 0.0); }},
      {"zero accelerometer noise",
       [](Zkf3iScenarioParams&, KtMk4HardwareParams& k, ZkfUserParams&) { k.ndAcc[1] = 0.0; }},
      {"zero initial orientation deviation",
       [](Zkf3iScenarioParams& s, KtMk4HardwareParams&, ZkfUserParams&) { s.initialConditions.sd_init_orient = 0; }},
      {"zero initial bias deviation",
       [](Zkf3iScenarioParams& s, KtMk4HardwareParams&, ZkfUserParams&) { s.initialConditions.sd_init_gyrBias = 0; }},
  };
  for (const auto& c : cases) {
    Zkf3iScenarioParams s = builtIn();
    KtMk4HardwareParams hw = h;
    ZkfUserParams u = user100();
    c.spoil(s, hw, u);
    Zkf3iParams p = initialized();
    ASSERT_TRUE(p.isUsable());
    EXPECT_FALSE(p.initialize(s, hw, u, zelto::Zkf3iFilterSteps())) << c.name;
    EXPECT_FALSE(p.isUsable()) << c.name;
    EXPECT_FALSE(p.error().empty()) << c.name;
  }
  EXPECT_FALSE(Zkf3iParams().isUsable());
}

// A scenario time constant of 0 gives the coefficient 0 (no memory) and a usable record, each of
// the ten; a filter over all of them at 0 steps to finite, valid output.
TEST(Zkf3iParams, ZeroTimeConstantGivesCoefficientZero) {
  const struct {
    const char* name;
    double Zkf3iScenarioParams::*tau;
    double Zkf3iParams::*coefficient;
  } cases[] = {
      {"tau_acc", &Sc::tau_acc, &Zkf3iParams::c_acc},
      {"tau_magavg", &Sc::tau_magavg, &Zkf3iParams::c_mag_avg},
      {"tau_magvar", &Sc::tau_magvar, &Zkf3iParams::c_mag_var},
      {"tau_vel", &Sc::tau_vel, &Zkf3iParams::c_vel},
      {"tau_mag_max", &Sc::tau_mag_max, &Zkf3iParams::c_mag_max},
      {"tau_mag_local", &Sc::tau_mag_local, &Zkf3iParams::c_mag_local},
      {"tau_redefine_temporal", &Sc::tau_redefine_temporal, &Zkf3iParams::c_redefine_temporal},
      {"tau_redefine_delta_x0", &Sc::tau_redefine_delta_x0, &Zkf3iParams::c_redefine_delta_x0},
      {"tau_redefine_sdHeading", &Sc::tau_redefine_sdHeading, &Zkf3iParams::c_redefine_sdHeading},
      {"accUpdate_tauDecay", &Sc::accUpdate_tauDecay, &Zkf3iParams::accUpdate_cDecay},
  };
  const KtMk4HardwareParams h;
  Zkf3iScenarioParams all = builtIn();
  for (const auto& c : cases) {
    Zkf3iScenarioParams s = builtIn();
    s.*c.tau = 0.0;
    all.*c.tau = 0.0;
    Zkf3iParams p;
    ASSERT_TRUE(p.initialize(s, h, user100(), zelto::Zkf3iFilterSteps())) << c.name << ": " << p.error();
    EXPECT_TRUE(p.isUsable()) << c.name;
    EXPECT_EQ(p.*c.coefficient, 0.0) << c.name;
    EXPECT_TRUE(p.error().empty()) << c.name;
  }
  Zkf3iParams p;
  ASSERT_TRUE(p.initialize(all, h, user100(), zelto::Zkf3iFilterSteps())) << p.error();
  zelto::Zkf3iFilter f(&p);
  zelto::Zkf3iSensorData sd;
  zelto::Zkf3iAiding ad;
  zelto::Zkf3iRealTimeParameters rt;
  zelto::Zkf3iFilterOutput out;
  sd.dv = zelto::Vector3(0.0, 0.0, 9.81 * 0.01);
  ad.mag = zelto::Vector3(0.0, 0.45, -0.89);
  for (int k = 0; k < 300; ++k) ASSERT_TRUE(f.doOneKalmanStep(sd, ad, rt, out)) << k;
  EXPECT_TRUE(out.valid);
  EXPECT_TRUE(std::isfinite(out.q_ls.w) && std::isfinite(out.q_ls.z) && std::isfinite(out.a_l[2]));
  EXPECT_TRUE(f.state().isUsable());
}

TEST(Zkf3iParams, SettingsRoundTripReadOrderAndRecomputedThreshold) {
  const Zkf3iParams p = initialized();
  SettingsFile file;
  p.writeToFile(file, "rp.");
  EXPECT_TRUE(file.hasSetting("rp.", "zruThreshold"));
  EXPECT_TRUE(file.hasSetting("rp.", "f_zruThreshold"));
  EXPECT_FALSE(file.hasSetting("rp.", "zruThresholdSquared"));
  Zkf3iParams r;
  ASSERT_TRUE(r.readFromFileNoThrow(file, "rp."));
  SettingsFile again;
  r.writeToFile(again, "rp.");
  std::string a, b;
  ASSERT_EQ(file.writeZsaString(nullptr, a), 0);
  ASSERT_EQ(again.writeZsaString(nullptr, b), 0);
  EXPECT_EQ(a, b);
  EXPECT_EQ(r.zruThresholdSquared, p.zruThresholdSquared);
  EXPECT_TRUE(r.initialConditions == p.initialConditions);
  EXPECT_EQ(r.q_NWU2ENU.z, p.q_NWU2ENU.z);
  // "f_zruThreshold", read later, wins over "zruThreshold".
  file.setSetting("rp.", "zruThreshold", Variant(1.0));
  file.setSetting("rp.", "f_zruThreshold", Variant(3.0));
  ASSERT_TRUE(r.readFromFileNoThrow(file, "rp."));
  EXPECT_EQ(r.zruThreshold, 3.0);
  EXPECT_NEAR(r.zruThresholdSquared, 9.0 * p.sQvGyr(0, 0) * p.sQvGyr(0, 0), 1e-18);

  const struct {
    const char* missing;
    bool doClipSolveRead, doMfmInUseRead, tauAccRead, magDistRead;
  } cases[] = {
      {"axis_redef", true, true, false, false},
      {"doMfmInUse", true, false, false, false},  // "doClipSolve" is read first
      {"doClipSolve", false, false, false, false},
      {"tau_acc", true, true, false, true},  // read after "magDistNorm_max"
  };
  for (const auto& c : cases) {
    SettingsFile f;
    Zkf3iParams w = initialized();
    w.doClipSolve = w.doMfmInUse = true;
    w.writeToFile(f, "");
    ASSERT_EQ(f.clear(c.missing, false, true), 1);
    Zkf3iParams q;
    EXPECT_THROW(q.readFromFile(f, ""), ZtException) << c.missing;
    EXPECT_EQ(q.accRange, w.accRange) << c.missing;
    EXPECT_EQ(q.doClipSolve, c.doClipSolveRead) << c.missing;
    EXPECT_EQ(q.doMfmInUse, c.doMfmInUseRead) << c.missing;
    EXPECT_EQ(q.tau_acc == w.tau_acc, c.tauAccRead) << c.missing;
    EXPECT_EQ(q.magDist_threshold == w.magDist_threshold, c.magDistRead) << c.missing;
    // The threshold is not recomputed and the initial conditions not read after a failure.
    EXPECT_EQ(q.zruThresholdSquared, 0.0) << c.missing;
    EXPECT_EQ(q.initialConditions.sd_init_acc, 0.0) << c.missing;
  }
}

// The built-in profiles as a tracker takes them: the entry's header keys, its filter version
// against the filter's, then the scenario through readFromFileNoThrow. The second entry is the
// first without the magnetometer update (and the heading redefinition, which follows it): the
// one the trackers that may not run that update take.
TEST(Zkf3iProfile, TheBuiltInEntriesLoadAndInitialize) {
  SettingsFile file;
  ASSERT_EQ(file.readZsa(ZDA_SOURCE_DIR "/data/scenarios/scenarios.zsa"), 0);
  Variant list;
  ASSERT_EQ(file.getSetting("ZKF.scenarios", "", list), ZRV_OK);
  const struct {
    const char* label;
    const char* name;
    int type;
    bool magnetometer;
  } cases[] = {{"ZKF.zkf3i", "general", 2, true}, {"ZKF.zkf3i_nomag", "general_nomag", 6, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    bool listed = false;
    for (uint32_t i = 0; i < list.toLabelList().count(); ++i)
      listed = listed || std::string(list.toLabelList()[i].c_str()) == c.label;
    EXPECT_TRUE(listed);
    const std::string prefix = std::string(c.label) + ".";
    Variant v;
    ASSERT_EQ(file.getSetting(prefix.c_str(), "gp.filter", v), ZRV_OK);
    EXPECT_EQ(FilterTypeVersion::typeOfName(v.toStdString().c_str()), zelto::kZkf3iFilterIdentity.type);
    ASSERT_EQ(file.getSetting(prefix.c_str(), "gp.filterVersion", v), ZRV_OK);
    unsigned char major = 0, minor = 0, revision = 0;
    ASSERT_TRUE(stringToVersion(v.toStdString().c_str(), major, minor, revision));
    EXPECT_EQ(major, zelto::kZkf3iFilterIdentity.major);

    Zkf3iScenarioParams s;
    ASSERT_TRUE(s.readFromFileNoThrow(file, prefix));
    Zkf3iScenarioParams expected = builtIn();
    expected.setLabel(c.name);
    expected.type = c.type;
    expected.version = 1;
    expected.setFlag(Sc::kDoMagUpdate, c.magnetometer);
    expected.setFlag(Sc::kDoRedefine, c.magnetometer);
    EXPECT_TRUE(s == expected);
    Zkf3iParams p;
    EXPECT_TRUE(p.initialize(s, KtMk4HardwareParams(), user100(), zelto::Zkf3iFilterSteps())) << p.error();
    EXPECT_EQ(p.doMagUpdate, c.magnetometer);
  }
}

}  // namespace
