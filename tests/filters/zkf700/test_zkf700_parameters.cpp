// Zkf700 scenario and run-time parameters: settings and page forms, the derivation by
// initialize, its refusals, and the built-in "zkf700" profile.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <string>

#include "Zkf700TestTuning.h"
#include "errors/ZtException.h"
#include "filters/common/DecryptedScenarioPage.h"
#include "math/geomag/EarthMagModel.h"

using namespace zkf700test;
using zelto::SettingsFile;
using zelto::Variant;
using zelto::Zkf700Params;
using zelto::Zkf700ScenarioParams;

namespace {

constexpr double kZkf700ParametersDeg = 0.017453292519943295;

void expectSameScenario(const Zkf700ScenarioParams& a, const Zkf700ScenarioParams& b, bool narrowed) {
  auto same = [narrowed](double x, double y) {
    if (narrowed)
      EXPECT_EQ(static_cast<double>(static_cast<float>(x)), y);
    else
      EXPECT_EQ(x, y);
  };
  const double* av[] = {&a.accDivMon_tauDecay, &a.accDivMon_threshold, &a.accDivMon_time,
                        &a.accDivMon_time_above_threshold, &a.c_baroadaptation, &a.f_acc_boost, &a.f_acc_clip,
                        &a.f_gyr_clip, &a.f_magvar, &a.f_norotThreshold, &a.f_norotNoise, &a.f_mag_temporal_min,
                        &a.f_mag_temporal_max, &a.nrMagCheck[0], &a.nrMagCheck[1], &a.gpsCoastingTime,
                        &a.gpsLocalConstant, &a.gpsOutageThreshold, &a.gpsPositionAccuracyThreshold, &a.sd_holonomic,
                        &a.sd_v_accLowPass, &a.sd_w_mag_spat, &a.sd_w_mag, &a.sd_v_mag, &a.p_mag_spat, &a.dp_boost,
                        &a.tau_acc, &a.tau_magavg, &a.tau_magvar, &a.tau_vel, &a.tau_mag_max, &a.velocity_holonomic,
                        &a.velocity_zero_rotation, &a.gpsPlatform, &a.initialConditions.sd_init_acc,
                        &a.initialConditions.sd_init_accBias, &a.initialConditions.sd_init_mag,
                        &a.initialConditions.sd_init_gyrBias, &a.initialConditions.sd_init_magVar,
                        &a.initialConditions.sd_init_orient[0], &a.initialConditions.sd_init_orient[1],
                        &a.initialConditions.sd_init_orient[2], &a.initialConditions.sd_init_pos,
                        &a.initialConditions.sd_init_vel};
  const auto* base = reinterpret_cast<const char*>(&a);
  for (const double* p : av) {
    const ptrdiff_t off = reinterpret_cast<const char*>(p) - base;
    same(*p, *reinterpret_cast<const double*>(reinterpret_cast<const char*>(&b) + off));
  }
  EXPECT_EQ(a.updateFlags, b.updateFlags);
}

// A scenario with every value distinct and not exact in single precision.
Zkf700ScenarioParams distinctScenario() {
  Zkf700ScenarioParams s;
  double* values[] = {&s.accDivMon_tauDecay, &s.accDivMon_threshold, &s.accDivMon_time,
                      &s.accDivMon_time_above_threshold, &s.c_baroadaptation, &s.f_acc_boost, &s.f_acc_clip,
                      &s.f_gyr_clip, &s.f_magvar, &s.f_norotThreshold, &s.f_norotNoise, &s.f_mag_temporal_min,
                      &s.f_mag_temporal_max, &s.nrMagCheck[0], &s.nrMagCheck[1], &s.gpsCoastingTime,
                      &s.gpsLocalConstant, &s.gpsOutageThreshold, &s.gpsPositionAccuracyThreshold, &s.sd_holonomic,
                      &s.sd_v_accLowPass, &s.sd_w_mag_spat, &s.sd_w_mag, &s.sd_v_mag, &s.p_mag_spat, &s.dp_boost,
                      &s.tau_acc, &s.tau_magavg, &s.tau_magvar, &s.tau_vel, &s.tau_mag_max, &s.velocity_holonomic,
                      &s.velocity_zero_rotation, &s.gpsPlatform, &s.initialConditions.sd_init_acc,
                      &s.initialConditions.sd_init_accBias, &s.initialConditions.sd_init_mag,
                      &s.initialConditions.sd_init_gyrBias, &s.initialConditions.sd_init_magVar,
                      &s.initialConditions.sd_init_pos, &s.initialConditions.sd_init_vel};
  double v = 0.1;
  for (double* p : values) *p = (v += 1.1);
  s.initialConditions.sd_init_orient = zelto::Vector3(0.31, 0.32, 0.33);
  s.updateFlags = 0x0015;
  s.type = 0x105;
  s.version = 7;
  s.filterTypeVersion = FilterTypeVersion('7', 2, 2, 0);
  s.setScenarioName("general");
  return s;
}

TEST(Zkf700ScenarioParams, SettingsRoundTrip) {
  const Zkf700ScenarioParams s = distinctScenario();
  SettingsFile file;
  s.writeToFile(file, "sc.");
  Zkf700ScenarioParams back;
  back.readFromFile(file, "sc.");
  expectSameScenario(s, back, false);
  EXPECT_EQ(back.type, s.type);
  EXPECT_EQ(back.version, 7);
  EXPECT_STREQ(back.scenarioName, "general");
  EXPECT_EQ(back.filterTypeVersion.type, '7');
  EXPECT_EQ(back.filterTypeVersion.major, 2);
  EXPECT_EQ(back.filterTypeVersion.minor, 2);
  std::string name;
  file.getSetting("sc.", "gp.filter", name);
  EXPECT_EQ(name, "ZKF700");
}

TEST(Zkf700ScenarioParams, SwitchesTouchBitsZeroToFourOnly) {
  SettingsFile file;
  distinctScenario().writeToFile(file, "sc.");
  Zkf700ScenarioParams back;
  back.updateFlags = 0xFFE0 | 0x0002;
  back.readFromFile(file, "sc.");
  EXPECT_EQ(back.updateFlags, 0xFFE0 | 0x0015);
}

TEST(Zkf700ScenarioParams, MissingPairAndLongLabelStopTheReader) {
  const Zkf700ScenarioParams s = distinctScenario();
  SettingsFile file;
  s.writeToFile(file, "sc.");
  file.setSetting("sc.", "nrMagCheck", Variant(1.0));  // not a pair
  Zkf700ScenarioParams back;
  back.updateFlags = 0x00A0;
  EXPECT_FALSE(back.readFromFileNoThrow(file, "sc."));
  EXPECT_EQ(back.gpsPlatform, s.gpsPlatform);
  EXPECT_EQ(back.velocity_zero_rotation, s.velocity_zero_rotation);
  EXPECT_EQ(back.updateFlags, 0x00A0);
  EXPECT_EQ(back.initialConditions.sd_init_pos, 0.0);

  SettingsFile labels;
  s.writeToFile(labels, "sc.");
  labels.setSetting("sc.", "gp.scenario", Variant("nineteen characters"));
  Zkf700ScenarioParams ok;
  ok.readFromFile(labels, "sc.");
  EXPECT_STREQ(ok.scenarioName, "nineteen characters");
  labels.setSetting("sc.", "gp.scenario", Variant("twenty characters..."));
  try {
    ok.readFromFile(labels, "sc.");
    FAIL() << "a 20-character label was accepted";
  } catch (const ZtException& e) {
    EXPECT_NE(std::string(e.what()).find("strcpy failed"), std::string::npos);
  }
  EXPECT_STREQ(ok.scenarioName, "nineteen characters");
}

TEST(Zkf700ScenarioParams, PageRoundTripNarrowsAndLeavesTheUnusedBytes) {
  Zkf700ScenarioParams s = distinctScenario();
  s.setScenarioName("nineteen characters");
  unsigned char page[264];
  std::memset(page, 0xA5, sizeof page);
  s.writeToDecryptedScenarioPage(page);
  EXPECT_EQ(page[0], 0x05);
  EXPECT_EQ(page[1], 7);
  EXPECT_EQ(std::memcmp(page + 2, "nineteen characters ", 20), 0);
  for (int i = 198; i < 262; ++i) EXPECT_EQ(page[i], 0xA5) << i;
  EXPECT_EQ(page[262], 0x15);
  EXPECT_EQ(page[263], 0x00);
  float k43;
  std::memcpy(&k43, page + 22 + 4 * 43, 4);
  EXPECT_EQ(k43, static_cast<float>(s.gpsPlatform));
  float k12;
  std::memcpy(&k12, page + 22 + 4 * 12, 4);
  EXPECT_EQ(k12, static_cast<float>(s.nrMagCheck[0]));

  Zkf700ScenarioParams back;
  back.type = 99;
  back.setScenarioName("kept");
  back.readFromDecryptedScenarioPage(page);
  expectSameScenario(s, back, true);
  EXPECT_EQ(back.type, 99);
  EXPECT_STREQ(back.scenarioName, "kept");
}

TEST(Zkf700Params, InitializeGivesThePartsNumbers) {
  Zkf700ScenarioParams s = distinctScenario();
  s.accDivMon_time = 0.504;
  s.accDivMon_time_above_threshold = 0.506;
  s.tau_acc = 0.5;
  s.updateFlags = Zkf700ScenarioParams::kMagFieldUpdate | Zkf700ScenarioParams::kGpsUpdate;
  KtMk4_700HardwareParams h = hardware();
  h.ndAcc = zelto::Vector3(0.001, 0.002, 0.003);
  h.ndGyr = zelto::Vector3(0.01, 0.02, 0.03);
  h.sdMag = zelto::Vector3(0.003, 0.004, 0.0);
  h.sdBarometer = 0.0;
  h.biasTauAcc = zelto::Vector3(100.0, 1.0, 1.0);
  h.biasCoeffAcc = zelto::Vector3(0.05, 1.0, 1.0);
  ZkfUserParams u = user(100.0);
  u.n_s_m = zelto::Vector3(1, 0, 0);
  u.storedGyrBias = zelto::Vector3(0.001, 0.002, 0.003);
  Zkf700Params p;
  p.initialize(s, h, u, zelto::Zkf700FilterSteps());
  EXPECT_DOUBLE_EQ(p.sampleTime, 0.01);
  EXPECT_EQ(p.samplesInTwoSeconds, 200);
  EXPECT_DOUBLE_EQ(p.sQwAcc(1, 1), 0.002 / 0.1);
  EXPECT_EQ(p.sQwAcc(0, 1), 0.0);
  EXPECT_DOUBLE_EQ(p.sQwGyr(2, 2), 0.03 / 0.1 * kZkf700ParametersDeg);
  EXPECT_DOUBLE_EQ(p.sQwGyrBias(1, 1), std::sqrt(0.03) * 0.01 / 200.0 * kZkf700ParametersDeg);
  EXPECT_DOUBLE_EQ(p.sQwAccBias(2, 2), std::sqrt(10.1115 * 0.01 / 100.0) * 0.05);
  EXPECT_EQ(p.sQwBarometer(0, 0), 2.0);
  EXPECT_DOUBLE_EQ(p.sQvMag(0, 0), std::sqrt(0.003 * 0.003 + s.sd_v_mag * s.sd_v_mag));
  EXPECT_DOUBLE_EQ(p.sQvMag(2, 2), s.sd_v_mag);
  EXPECT_EQ(p.accDivMonSamples, 50u);
  EXPECT_EQ(p.accDivMonSamplesAboveThresholdPreset, 51u);
  EXPECT_DOUBLE_EQ(p.c_acc, std::exp(-0.02));
  EXPECT_DOUBLE_EQ(p.sd_w_mag_temporal_min, s.f_mag_temporal_min * s.sd_v_mag);
  EXPECT_DOUBLE_EQ(p.sd_w_mag_temporal_max, s.f_mag_temporal_max * s.sd_v_mag);
  EXPECT_TRUE(p.doMagUpdate && p.doGpsUpdate);
  EXPECT_FALSE(p.doAccUpdate || p.doBaroUpdate || p.doHolonomicConstraintUpdate);
  EXPECT_EQ(p.nrMagCheck[1], s.nrMagCheck[1]);
  EXPECT_EQ(p.updateLocalConstant, s.gpsLocalConstant);
  EXPECT_EQ(p.gpsOutageTimeThreshold, s.gpsOutageThreshold);
  EXPECT_EQ(p.n_s[0], 1.0);
  EXPECT_EQ(p.storedGyrBias[2], 0.003);
  EXPECT_EQ(p.initialConditions.sd_init_orient[1], 0.32);
  EXPECT_EQ(p.gyrRangeDeg, h.clipGyr);
  EXPECT_EQ(p.accRange, h.clipAcc);
  // Declination at the stored place and date, the altitude handed over in kilometres.
  const double decl = estimateDeclination(2013, 6, 1, kLatitudeDeg, kLongitudeDeg, kAltitude / 1000.0) * kZkf700ParametersDeg;
  EXPECT_DOUBLE_EQ(p.declinationAngleRad, decl);
  EXPECT_DOUBLE_EQ(p.projectedMagEarth[0], std::sin(decl));
  EXPECT_DOUBLE_EQ(p.projectedMagEarth[1], std::cos(decl));
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) EXPECT_EQ(p.RnMagUpdate(r, c), r == c && r < 2 ? 1.0 : 0.0);
  EXPECT_EQ(p.baroMeasurementRow(0, 2), 1.0);
  EXPECT_EQ(p.baroMeasurementRow.sumVal(0, 0, 1, 18), 1.0);

  p.initialize(s, h, user(400.0), zelto::Zkf700FilterSteps());
  EXPECT_DOUBLE_EQ(p.sampleTime, 0.0025);
  EXPECT_EQ(p.samplesInTwoSeconds, 800);
  h.sdBarometer = 0.75;
  p.initialize(s, h, u, zelto::Zkf700FilterSteps());
  EXPECT_EQ(p.sQwBarometer(0, 0), 0.75);
}

TEST(Zkf700Params, AltitudeReachesTheGeomagneticModelInKilometres) {
  // 9 km above the position: taken as metres the model would be evaluated 9000 km up.
  ZkfUserParams u = user();
  u.storedLatLongAlt = zelto::Vector3(75.0, -100.0, 9000.0);
  Zkf700Params p;
  p.initialize(builtInProfile(), hardware(), u, zelto::Zkf700FilterSteps());
  const double km = estimateDeclination(2013, 6, 1, 75.0, -100.0, 9.0);
  const double asMetres = estimateDeclination(2013, 6, 1, 75.0, -100.0, 9000.0);
  ASSERT_GT(std::fabs(km - asMetres), 1.0);
  EXPECT_DOUBLE_EQ(p.declinationAngleRad, km * kZkf700ParametersDeg);
}

TEST(Zkf700Params, BiasWithoutATimeConstantDropsItsNoiseTerm) {
  // The hardware record leaves the accelerometer bias time constant at 0 unless a file sets it.
  KtMk4_700HardwareParams h;
  ASSERT_EQ(h.biasTauAcc[0], 0.0);
  Zkf700Params p;
  p.initialize(builtInProfile(), h, user(), zelto::Zkf700FilterSteps());
  EXPECT_TRUE(p.isUsable());
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) EXPECT_EQ(p.sQwAccBias(r, c), 0.0);
  h.biasTauAcc = zelto::Vector3(-5.0, 1.0, 1.0);
  p.initialize(builtInProfile(), h, user(), zelto::Zkf700FilterSteps());
  EXPECT_EQ(p.sQwAccBias(0, 0), 0.0);
}

TEST(Zkf700Params, InitializeRefusesUnusableValues) {
  struct Case {
    const char* what;
    double rate;
    double scenarioValue;  // written into sd_v_accLowPass
    const char* named;
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const Case cases[] = {{"zero rate", 0.0, 0.5, "sampleTime"},
                        {"negative rate", -100.0, 0.5, "sampleTime"},
                        {"NaN rate", nan, 0.5, "sampleTime"},
                        {"NaN tunable", 100.0, nan, "sd_vAccLowPass"},
                        {"infinite tunable", 100.0, inf, "sd_vAccLowPass"}};
  for (const Case& c : cases) {
    Zkf700ScenarioParams s = builtInProfile();
    s.sd_v_accLowPass = c.scenarioValue;
    Zkf700Params p;
    try {
      p.initialize(s, hardware(), user(c.rate), zelto::Zkf700FilterSteps());
      ADD_FAILURE() << c.what << " accepted";
    } catch (const ZtException& e) {
      EXPECT_NE(std::string(e.what()).find(c.named), std::string::npos) << c.what << ": " << e.what();
    }
    EXPECT_FALSE(p.isUsable()) << c.what;
  }
  // A sensor without noise: refused, naming the densities.
  for (const bool gyroscope : {false, true}) {
    KtMk4_700HardwareParams h = hardware();
    (gyroscope ? h.ndGyr : h.ndAcc)[1] = 0.0;
    Zkf700Params p;
    try {
      p.initialize(builtInProfile(), h, user(100.0), zelto::Zkf700FilterSteps());
      ADD_FAILURE() << (gyroscope ? "gyroscope" : "accelerometer") << " noise 0 accepted";
    } catch (const ZtException& e) {
      EXPECT_NE(std::string(e.what()).find(gyroscope ? "ndGyr" : "ndAcc"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(p.isUsable());
  }
  // A freshly constructed record is not usable either (sample time 0).
  const Zkf700Params fresh;
  EXPECT_FALSE(fresh.isUsable());
  EXPECT_EQ(fresh.samplesInTwoSeconds, 0);
  EXPECT_EQ(fresh.baroMeasurementRow(0, 2), 1.0);
  EXPECT_EQ(fresh.baroMeasurementRow.sumVal(0, 0, 1, 18), 1.0);
  EXPECT_EQ(fresh.sQwBarometer(0, 0), 1.0);
  EXPECT_EQ(fresh.updateLocalConstant, 2000.0);
}

TEST(Zkf700Params, SettingsRoundTripIncludingTheMagneticCheckPair) {
  Zkf700ScenarioParams s = distinctScenario();
  Zkf700Params p;
  zelto::Zkf700FilterSteps steps;
  steps.defaultSteps = false;
  steps.predict = true;
  p.initialize(s, hardware(), user(), steps);
  p.c_magDist = 0.125;
  p.initialConditions.sd_init_mag = 0.75;  // its own value, apart from sd_init_accBias
  SettingsFile file;
  p.writeToFile(file, "p.");
  Zkf700Params back;
  back.readFromFile(file, "p.");
  SettingsFile again;
  back.writeToFile(again, "p.");
  std::string a, b;
  file.writeZsaString(nullptr, a);
  again.writeZsaString(nullptr, b);
  EXPECT_EQ(a, b);
  EXPECT_EQ(back.nrMagCheck[0], s.nrMagCheck[0]);
  EXPECT_EQ(back.nrMagCheck[1], s.nrMagCheck[1]);
  EXPECT_EQ(back.initialConditions.sd_init_mag, 0.75);
  EXPECT_EQ(back.initialConditions.sd_init_accBias, s.initialConditions.sd_init_accBias);
  EXPECT_EQ(back.accDivMonSamples, p.accDivMonSamples);
  EXPECT_EQ(back.samplesInTwoSeconds, 200);
  EXPECT_EQ(back.c_magDist, 0.125);

  // A file written before the pair was stored reads with the pair kept as it was.
  std::string text, kept;
  ASSERT_EQ(file.writeZsaString(nullptr, text), 0);
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);)
    if (line.rfind("p.nrMagCheck=", 0) != 0) kept += line + "\n";
  SettingsFile old;
  ASSERT_EQ(old.readZsaString(kept.c_str()), 0);
  Zkf700Params fromOld;
  fromOld.nrMagCheck[0] = 42.0;
  EXPECT_TRUE(fromOld.readFromFileNoThrow(old, "p."));
  EXPECT_EQ(fromOld.nrMagCheck[0], 42.0);

  // Copies and assignment carry the steps; self-assignment keeps them.
  Zkf700Params copy(p);
  ASSERT_NE(copy.zkf700Steps(), nullptr);
  EXPECT_TRUE(copy.zkf700Steps()->predict);
  EXPECT_EQ(copy.samplesInTwoSeconds, 200);
  Zkf700Params& self = copy;
  copy = self;
  ASSERT_NE(copy.zkf700Steps(), nullptr);
  EXPECT_FALSE(copy.zkf700Steps()->defaultSteps);
  EXPECT_EQ(copy.sQwAcc(0, 0), p.sQwAcc(0, 0));
}

TEST(Zkf700Profile, TheBuiltInProfileFitsTheFilterAndGivesUsableParameters) {
  const Zkf700ScenarioParams s = builtInProfile();
  EXPECT_EQ(s.filterTypeVersion.type, '7');
  EXPECT_EQ(s.filterTypeVersion.major, 2);
  EXPECT_EQ(s.filterTypeVersion.minor, 2);
  EXPECT_EQ(s.filterTypeVersion.revision, 0);
  EXPECT_STREQ(s.scenarioName, "general");
  EXPECT_EQ(s.type, 5);
  EXPECT_NE(s.updateFlags & Zkf700ScenarioParams::kGpsUpdate, 0);
  EXPECT_NE(s.updateFlags & Zkf700ScenarioParams::kBarometerUpdate, 0);
  EXPECT_NE(s.updateFlags & Zkf700ScenarioParams::kMagFieldUpdate, 0);
  const Zkf700Params p = params(s);
  EXPECT_TRUE(p.isUsable());
  EXPECT_GT(p.accDivMonSamples, 0u);
  EXPECT_GT(p.initialConditions.sd_init_orient[2], 0.0);
}

}  // namespace
