#include "filters/zkf3i/Zkf3iScenarioParams.h"

#include <cstring>
#include <iterator>

#include "filters/common/DecryptedScenarioPage.h"
#include "filters/zkf3i/Zkf3iFilterIdentity.h"

namespace zelto {

namespace {

// Keys of the flag bits, bit 0 first.
constexpr const char* kFlagKeys[Zkf3iScenarioParams::kFlagCount] = {
    "doAccUpdate",        "doClipSolve",         "doMagUpdate",        "doRedefine",
    "doMfmInUse",         "doRedefineTemporal",  "doRedefineDelta_x0", "noRedefineMagDist",
    "doRedefineSdHeading", "doRedefineSpatial",  "doRedefineDominantMagField",
    "convergeNorthWithoutRedefine", "doCZruUpdate"};
// The writer's flag order: "doMfmInUse" (bit 4) before "doRedefine" (bit 3).
constexpr unsigned kWriteFlagOrder[Zkf3iScenarioParams::kFlagCount] = {0, 1, 2, 4, 3, 5, 6, 7, 8, 9, 10, 11, 12};
constexpr const char* kThresholdKey = "f_zruThreshold";
// The misspelt key older files carry instead.
constexpr const char* kThresholdKeyFallback = "f_zruTheshold";

void setTypeVersionOfFilter(FilterTypeVersion& tv) {
  unsigned char t, major, minor, revision;
  ZkfFilterBase::typeAndVersion(kZkf3iFilterIdentity, t, major, minor, revision);
  tv = FilterTypeVersion(static_cast<char>(t), major, minor, revision);
}

}  // namespace

Zkf3iScenarioParams::~Zkf3iScenarioParams() = default;

bool Zkf3iScenarioParams::setLabel(const char* text) {
  if (text == nullptr) return false;
  const size_t n = std::strlen(text);
  if (n >= kLabelSize) return false;
  std::memset(label, 0, kLabelSize);
  std::memcpy(label, text, n);
  return true;
}

void Zkf3iScenarioParams::readFromFile(const SettingsFile& file, const std::string& prefix) {
  using F = SettingField;
  // 1.
  for (unsigned bit = 0; bit < kFlagCount; ++bit)
    setFlag(static_cast<Flag>(1u << bit), readSetting(file, prefix, kFlagKeys[bit]).toBool());
  // 2.
  const F head[] = {F::real("dp_boost", dp_boost),
                    F::real("f_acc_clip", f_acc_clip),
                    F::real("f_acc_dynamic", f_acc_dynamic),
                    F::leadingValues("f_clipSolve_boost", f_clipSolve_boost, 4),
                    F::real("f_gyr_clip", f_gyr_clip),
                    F::real("f_gyr_dynamic", f_gyr_dynamic),
                    F::real("f_mag_temporal_max", f_mag_temporal_max),
                    F::real("f_mag_temporal_min", f_mag_temporal_min),
                    F::real("f_magvar", f_magvar)};
  readFields(file, prefix, head);
  // 3.
  setLabel(readSetting(file, prefix, "gp.scenario").toStdString().c_str());
  type = readSetting(file, prefix, "gp.type").toInt32();
  version = readSetting(file, prefix, "gp.version").toInt32();
  // 4.
  if (!filterTypeVersion.readFromFileNoThrow(file, prefix)) setTypeVersionOfFilter(filterTypeVersion);
  // 5.
  const F middle[] = {F::real("maxRedefRate", maxRedefRate),
                      F::leadingValues("nrMagCheck", nrMagCheck, 2),
                      F::real("omegaRedefTyp", omegaRedefTyp),
                      F::real("p_mag_spat", p_mag_spat),
                      F::real("sd_v_accLowPass", sd_v_accLowPass),
                      F::real("sd_w_mag_spat", sd_w_mag_spat),
                      F::real("sd_w_mag", sd_w_mag),
                      F::real("stab.sd_v_mag", stab_sd_v_mag),
                      F::real("tau_acc", tau_acc),
                      F::real("tau_mag_local", tau_mag_local),
                      F::real("tau_mag_max", tau_mag_max),
                      F::real("tau_magavg", tau_magavg),
                      F::real("tau_magvar", tau_magvar),
                      F::real("tau_vel", tau_vel),
                      F::real("validity.accThreshold", validity_accThreshold),
                      F::real("validity.magThreshold", validity_magThreshold),
                      F::real("validity.gyroBiasThreshold", validity_gyroBiasThreshold),
                      F::real("validity.angularUncertaintyThreshold", validity_angularUncertaintyThreshold),
                      F::real("zruDuration", zruDuration)};
  readFields(file, prefix, middle);
  // 6.
  const bool current = file.hasSetting(prefix.c_str(), kThresholdKey);
  f_zruThreshold = readDouble(file, prefix, current ? kThresholdKey : kThresholdKeyFallback);
  // 7.
  const F tail[] = {F::real("delta_x0_threshold", delta_x0_threshold),
                    F::real("sdHeading_threshold", sdHeading_threshold),
                    F::real("magDist_threshold", magDist_threshold),
                    F::real("magVerticalAngle", magVerticalAngle),
                    F::real("magDistNorm_max", magDistNorm_max),
                    F::real("tau_redefine_temporal", tau_redefine_temporal),
                    F::real("tau_redefine_delta_x0", tau_redefine_delta_x0),
                    F::real("tau_redefine_sdHeading", tau_redefine_sdHeading),
                    F::real("omegaRedefMin", omegaRedefMin),
                    F::real("accUpdate_threshold", accUpdate_threshold),
                    F::real("accUpdate_tauDecay", accUpdate_tauDecay),
                    F::real("accUpdate_time", accUpdate_time),
                    F::real("accUpdate_time_above_threshold", accUpdate_time_above_threshold),
                    F::real("f_acc_boost", f_acc_boost),
                    F::real("f_zruNoise", f_zruNoise),
                    F::real("f_cZruNoise", f_cZruNoise),
                    F::realCount("cZruSamplesThreshold", cZruSamplesThreshold),
                    F::real("mfm_C", mfm_C),
                    F::real("mfm_N_ratio", mfm_N_ratio),
                    F::real("mfm_threshold_b", mfm_threshold_b),
                    F::real("mfm_threshold_MM", mfm_threshold_MM),
                    F::real("mfm_f_gyrRange", mfm_f_gyrRange)};
  readFields(file, prefix, tail);
  // 8.
  initialConditions.readFromFile(file, prefix);
}

void Zkf3iScenarioParams::writeToFile(SettingsFile& file, const std::string& prefix) const {
  using F = SettingField;
  auto& s = const_cast<Zkf3iScenarioParams&>(*this);
  for (unsigned bit : kWriteFlagOrder) writeSetting(file, prefix, kFlagKeys[bit], Variant(flag(static_cast<Flag>(1u << bit))));
  const F head[] = {F::real("dp_boost", s.dp_boost),
                    F::real("f_acc_clip", s.f_acc_clip),
                    F::real("f_acc_dynamic", s.f_acc_dynamic),
                    F::leadingValues("f_clipSolve_boost", s.f_clipSolve_boost, 4),
                    F::real("f_gyr_clip", s.f_gyr_clip),
                    F::real("f_gyr_dynamic", s.f_gyr_dynamic),
                    F::real("f_mag_temporal_max", s.f_mag_temporal_max),
                    F::real("f_mag_temporal_min", s.f_mag_temporal_min),
                    F::real("f_magvar", s.f_magvar)};
  writeFields(file, prefix, head);
  writeSetting(file, prefix, "gp.scenario", Variant(std::string(label, strnlen(label, kLabelSize))));
  writeSetting(file, prefix, "gp.type", Variant(static_cast<int>(type)));
  writeSetting(file, prefix, "gp.version", Variant(static_cast<int>(version)));
  filterTypeVersion.writeToFile(file, prefix);
  const F middle[] = {F::real("maxRedefRate", s.maxRedefRate),
                      F::leadingValues("nrMagCheck", s.nrMagCheck, 2),
                      F::real("omegaRedefTyp", s.omegaRedefTyp),
                      F::real("p_mag_spat", s.p_mag_spat),
                      F::real("sd_v_accLowPass", s.sd_v_accLowPass),
                      F::real("sd_w_mag_spat", s.sd_w_mag_spat),
                      F::real("sd_w_mag", s.sd_w_mag),
                      F::real("stab.sd_v_mag", s.stab_sd_v_mag),
                      F::real("tau_acc", s.tau_acc),
                      F::real("tau_mag_local", s.tau_mag_local),
                      F::real("tau_mag_max", s.tau_mag_max),
                      F::real("tau_magavg", s.tau_magavg),
                      F::real("tau_magvar", s.tau_magvar),
                      F::real("tau_vel", s.tau_vel),
                      F::real("validity.accThreshold", s.validity_accThreshold),
                      F::real("validity.magThreshold", s.validity_magThreshold),
                      F::real("validity.gyroBiasThreshold", s.validity_gyroBiasThreshold),
                      F::real("validity.angularUncertaintyThreshold", s.validity_angularUncertaintyThreshold),
                      F::real("zruDuration", s.zruDuration),
                      F::real(kThresholdKey, s.f_zruThreshold),
                      F::real("delta_x0_threshold", s.delta_x0_threshold),
                      F::real("sdHeading_threshold", s.sdHeading_threshold),
                      F::real("magDist_threshold", s.magDist_threshold),
                      F::real("magVerticalAngle", s.magVerticalAngle),
                      F::real("magDistNorm_max", s.magDistNorm_max),
                      F::real("tau_redefine_temporal", s.tau_redefine_temporal),
                      F::real("tau_redefine_delta_x0", s.tau_redefine_delta_x0),
                      F::real("tau_redefine_sdHeading", s.tau_redefine_sdHeading),
                      F::real("omegaRedefMin", s.omegaRedefMin),
                      F::real("accUpdate_threshold", s.accUpdate_threshold),
                      F::real("accUpdate_tauDecay", s.accUpdate_tauDecay),
                      F::real("accUpdate_time", s.accUpdate_time),
                      F::real("accUpdate_time_above_threshold", s.accUpdate_time_above_threshold),
                      F::real("f_acc_boost", s.f_acc_boost),
                      F::real("f_zruNoise", s.f_zruNoise),
                      F::real("f_cZruNoise", s.f_cZruNoise),
                      F::realCount("cZruSamplesThreshold", s.cZruSamplesThreshold),
                      F::real("mfm_C", s.mfm_C),
                      F::real("mfm_N_ratio", s.mfm_N_ratio),
                      F::real("mfm_threshold_b", s.mfm_threshold_b),
                      F::real("mfm_threshold_MM", s.mfm_threshold_MM),
                      F::real("mfm_f_gyrRange", s.mfm_f_gyrRange)};
  writeFields(file, prefix, middle);
  initialConditions.writeToFile(file, prefix);
}

void Zkf3iScenarioParams::pageValues(double* (&v)[kPageValues]) {
  double* const order[kPageValues] = {&dp_boost,
                                      &f_acc_clip,
                                      &f_acc_dynamic,
                                      &f_clipSolve_boost[0],
                                      &f_clipSolve_boost[1],
                                      &f_clipSolve_boost[2],
                                      &f_clipSolve_boost[3],
                                      &f_gyr_clip,
                                      &f_gyr_dynamic,
                                      &f_mag_temporal_max,
                                      &f_mag_temporal_min,
                                      &f_magvar,
                                      &nrMagCheck[0],
                                      &nrMagCheck[1],
                                      &p_mag_spat,
                                      &sd_v_accLowPass,
                                      &sd_w_mag_spat,
                                      &sd_w_mag,
                                      &stab_sd_v_mag,
                                      &tau_acc,
                                      &tau_mag_local,
                                      &tau_mag_max,
                                      &tau_magavg,
                                      &tau_magvar,
                                      &tau_vel,
                                      &validity_accThreshold,
                                      &validity_magThreshold,
                                      &validity_gyroBiasThreshold,
                                      &validity_angularUncertaintyThreshold,
                                      &zruDuration,
                                      &f_zruThreshold,
                                      &omegaRedefTyp,
                                      &maxRedefRate,
                                      &delta_x0_threshold,
                                      &sdHeading_threshold,
                                      &magDist_threshold,
                                      &magVerticalAngle,
                                      &magDistNorm_max,
                                      &tau_redefine_temporal,
                                      &tau_redefine_delta_x0,
                                      &tau_redefine_sdHeading,
                                      &omegaRedefMin,
                                      &accUpdate_threshold,
                                      &accUpdate_time,
                                      &accUpdate_time_above_threshold,
                                      &accUpdate_tauDecay,
                                      &f_acc_boost,
                                      &f_zruNoise,
                                      &f_cZruNoise,
                                      &cZruSamplesThreshold,
                                      &mfm_C,
                                      &mfm_N_ratio,
                                      &mfm_threshold_b,
                                      &mfm_threshold_MM,
                                      &mfm_f_gyrRange,
                                      &initialConditions.sd_init_acc,
                                      &initialConditions.sd_init_gyrBias,
                                      &initialConditions.sd_init_mag,
                                      &initialConditions.sd_init_magvar,
                                      &initialConditions.sd_init_orient};
  std::copy(std::begin(order), std::end(order), std::begin(v));
}

void Zkf3iScenarioParams::writeToDecryptedScenarioPage(void* pagePtr) {
  auto* page = static_cast<DecryptedScenarioPage*>(pagePtr);
  page->type = static_cast<unsigned char>(type & 0xFF);
  page->version = static_cast<unsigned char>(version & 0xFF);
  char text[kLabelSize + 1] = {};
  std::memcpy(text, label, kLabelSize);
  page->setLabel(text);
  double* values[kPageValues];
  pageValues(values);
  for (size_t k = 0; k < kPageValues; ++k) {
    const float f = static_cast<float>(*values[k]);
    std::memcpy(page->values + 4 * k, &f, sizeof f);
  }
  page->trailer = static_cast<uint16_t>(flags & kFlagMask);
}

void Zkf3iScenarioParams::readFromDecryptedScenarioPage(const void* pagePtr) {
  const auto* page = static_cast<const DecryptedScenarioPage*>(pagePtr);
  double* values[kPageValues];
  pageValues(values);
  for (size_t k = 0; k < kPageValues; ++k) {
    float f;
    std::memcpy(&f, page->values + 4 * k, sizeof f);
    *values[k] = f;
  }
  flags = static_cast<uint16_t>(page->trailer & kFlagMask);
}

void Zkf3iScenarioParams::initHardCoded() {
  dp_boost = 10.0;
  f_acc_clip = 1.0;
  f_acc_dynamic = 0.0;
  f_clipSolve_boost[0] = 0.25;
  f_clipSolve_boost[1] = 0.1;
  f_clipSolve_boost[2] = 0.25;
  f_clipSolve_boost[3] = 1000.0;
  f_gyr_clip = 0.5;
  f_gyr_dynamic = 2e-09;
  f_mag_temporal_max = 100.0;
  f_mag_temporal_min = 1.0;
  f_magvar = 500.0;
  nrMagCheck[0] = 2.0;
  nrMagCheck[1] = 50.0;
  p_mag_spat = 0.1;
  sd_v_accLowPass = 0.05;
  sd_w_mag_spat = 0.03;
  sd_w_mag = 0.001;
  stab_sd_v_mag = 0.01;
  tau_acc = 10.0;
  tau_mag_local = 1.0;
  tau_mag_max = 1.0;
  tau_magavg = 8.0;
  tau_magvar = 0.1;
  tau_vel = 2.0;
  validity_accThreshold = 100.0;
  validity_magThreshold = 100.0;
  validity_gyroBiasThreshold = 100.0;
  validity_angularUncertaintyThreshold = 100.0;
  zruDuration = 2.0;
  f_zruThreshold = 6.0;
  omegaRedefTyp = 100.0;
  maxRedefRate = 50.0;
  delta_x0_threshold = 0.5;
  sdHeading_threshold = 0.6;
  magDist_threshold = 0.1;
  magVerticalAngle = 85.0;
  magDistNorm_max = 2.0;
  tau_redefine_temporal = 2.0;
  tau_redefine_delta_x0 = 0.1;
  tau_redefine_sdHeading = 0.1;
  omegaRedefMin = 5.0;
  accUpdate_threshold = 0.5;
  accUpdate_tauDecay = 0.5;
  accUpdate_time = 0.5;
  accUpdate_time_above_threshold = 0.5;
  f_acc_boost = 200.0;
  f_zruNoise = 0.2;
  f_cZruNoise = 1.0;
  cZruSamplesThreshold = 100.0;
  mfm_C = 1.0;
  mfm_N_ratio = 100.0;
  mfm_threshold_b = 10000.0;
  mfm_threshold_MM = 0.2;
  mfm_f_gyrRange = 0.8;
  initialConditions.sd_init_acc = 1.0;
  initialConditions.sd_init_gyrBias = 0.15;
  initialConditions.sd_init_mag = 0.01;
  initialConditions.sd_init_magvar = 0.01;
  initialConditions.sd_init_orient = 0.3;
  flags = static_cast<uint16_t>((flags & kDoMfmInUse) | kDoAccUpdate | kDoMagUpdate | kDoRedefine | kDoRedefineSpatial);
  setLabel("demo");
  type = 38;
  version = 255;
  setTypeVersionOfFilter(filterTypeVersion);
}

bool Zkf3iScenarioParams::operator==(const Zkf3iScenarioParams& o) const {
  auto& a = const_cast<Zkf3iScenarioParams&>(*this);
  auto& b = const_cast<Zkf3iScenarioParams&>(o);
  double* va[kPageValues];
  double* vb[kPageValues];
  a.pageValues(va);
  b.pageValues(vb);
  for (size_t k = 0; k < kPageValues; ++k)
    if (*va[k] != *vb[k]) return false;
  return flags == o.flags && type == o.type && version == o.version &&
         std::strncmp(label, o.label, kLabelSize) == 0 && filterTypeVersion.type == o.filterTypeVersion.type &&
         filterTypeVersion.major == o.filterTypeVersion.major && filterTypeVersion.minor == o.filterTypeVersion.minor &&
         filterTypeVersion.revision == o.filterTypeVersion.revision;
}

}  // namespace zelto
