#include "filters/zkf700/Zkf700ScenarioParams.h"

#include <cstring>

#include "errors/ZtException.h"
#include "filters/common/DecryptedScenarioPage.h"

namespace zelto {

namespace {

using S = Zkf700ScenarioParams;

// Settings order of the doubles (the file writer puts "nrMagCheck" after "f_gyr_clip", the
// reader after the last of these).
constexpr RealSettingKey<Zkf700ScenarioParams> kFileOrder[] = {
    {"accDivMon_tauDecay", &S::accDivMon_tauDecay},
    {"accDivMon_threshold", &S::accDivMon_threshold},
    {"accDivMon_time", &S::accDivMon_time},
    {"accDivMon_time_above_threshold", &S::accDivMon_time_above_threshold},
    {"c_baroadaptation", &S::c_baroadaptation},
    {"f_acc_boost", &S::f_acc_boost},
    {"f_acc_clip", &S::f_acc_clip},
    {"f_gyr_clip", &S::f_gyr_clip},
    {"f_magvar", &S::f_magvar},
    {"f_norotThreshold", &S::f_norotThreshold},
    {"f_norotNoise", &S::f_norotNoise},
    {"f_mag_temporal_min", &S::f_mag_temporal_min},
    {"f_mag_temporal_max", &S::f_mag_temporal_max},
    {"gpsCoastingTime", &S::gpsCoastingTime},
    {"gpsLocalConstant", &S::gpsLocalConstant},
    {"gpsOutageThreshold", &S::gpsOutageThreshold},
    {"gpsPositionAccuracyThreshold", &S::gpsPositionAccuracyThreshold},
    {"gpsPlatform", &S::gpsPlatform},
    {"sd_holonomic", &S::sd_holonomic},
    {"sd_v_accLowPass", &S::sd_v_accLowPass},
    {"sd_w_mag_spat", &S::sd_w_mag_spat},
    {"sd_w_mag", &S::sd_w_mag},
    {"stab.sd_v_mag", &S::sd_v_mag},
    {"dp_boost", &S::dp_boost},
    {"p_mag_spat", &S::p_mag_spat},
    {"tau_acc", &S::tau_acc},
    {"tau_magavg", &S::tau_magavg},
    {"tau_magvar", &S::tau_magvar},
    {"tau_vel", &S::tau_vel},
    {"tau_mag_max", &S::tau_mag_max},
    {"velocity_holonomic", &S::velocity_holonomic},
    {"velocity_zero_rotation", &S::velocity_zero_rotation},
};
constexpr size_t kNrMagCheckWritePosition = 8;  // before "f_magvar"

constexpr const char* kSwitchKeys[5] = {"doAccUpdate", "barometerUpdate", "gpsUpdate", "holonomicUpdate",
                                        "magFieldUpdate"};

constexpr size_t kValuesOffset = 22;
constexpr size_t kFlagsOffset = 262;

void putReal(unsigned char* page, size_t k, double value) {
  const float f = static_cast<float>(value);
  std::memcpy(page + kValuesOffset + 4 * k, &f, sizeof f);
}

double getReal(const unsigned char* page, size_t k) {
  float f;
  std::memcpy(&f, page + kValuesOffset + 4 * k, sizeof f);
  return static_cast<double>(f);
}

}  // namespace

Zkf700ScenarioParams::~Zkf700ScenarioParams() = default;

bool Zkf700ScenarioParams::setScenarioName(const char* name) {
  const size_t n = std::strlen(name);
  if (n >= kNameSize) return false;
  std::memset(scenarioName, 0, kNameSize);
  std::memcpy(scenarioName, name, n);
  return true;
}

void Zkf700ScenarioParams::readFromFile(const SettingsFile& file, const std::string& prefix) {
  readReals(file, prefix, kFileOrder);
  readVector(file, prefix, "nrMagCheck", nrMagCheck, 2);
  for (size_t bit = 0; bit < 5; ++bit) {
    const uint16_t mask = static_cast<uint16_t>(1u << bit);
    if (readSetting(file, prefix, kSwitchKeys[bit]).toBool())
      updateFlags = static_cast<uint16_t>(updateFlags | mask);
    else
      updateFlags = static_cast<uint16_t>(updateFlags & ~mask);
  }
  type = readSetting(file, prefix, "gp.type").toInt32();
  version = readSetting(file, prefix, "gp.version").toInt32();
  const std::string name = readSetting(file, prefix, "gp.scenario").toStdString();
  if (name.size() >= kNameSize || !setScenarioName(name.c_str())) throw ZtException(256, "strcpy failed");
  filterTypeVersion.readFromFile(file, prefix);
  initialConditions.readFromFile(file, prefix);
}

void Zkf700ScenarioParams::writeToFile(SettingsFile& file, const std::string& prefix) const {
  size_t i = 0;
  for (const RealSettingKey<Zkf700ScenarioParams>& f : kFileOrder) {
    if (i++ == kNrMagCheckWritePosition) writeVector(file, prefix, "nrMagCheck", nrMagCheck, 2);
    writeSetting(file, prefix, f.key, Variant(this->*f.field));
  }
  for (size_t bit = 0; bit < 5; ++bit)
    writeSetting(file, prefix, kSwitchKeys[bit], Variant((updateFlags & (1u << bit)) != 0));
  filterTypeVersion.writeToFile(file, prefix);
  writeSetting(file, prefix, "gp.type", Variant(static_cast<int>(type)));
  writeSetting(file, prefix, "gp.version", Variant(static_cast<int>(version)));
  char name[kNameSize + 1] = {};
  std::memcpy(name, scenarioName, kNameSize);
  writeSetting(file, prefix, "gp.scenario", Variant(static_cast<const char*>(name)));
  initialConditions.writeToFile(file, prefix);
}

namespace {

// Page order k = 0..43 (k 12 and 13 are the two values of "nrMagCheck", 33..42 the initial
// conditions).
template <typename Visit>
void forEachPageValue(Zkf700ScenarioParams& s, Visit visit) {
  double* const values[Zkf700ScenarioParams::kPageValues] = {
      &s.accDivMon_tauDecay, &s.accDivMon_threshold, &s.accDivMon_time, &s.accDivMon_time_above_threshold,
      &s.c_baroadaptation,   &s.f_acc_boost,         &s.f_acc_clip,     &s.f_gyr_clip,
      &s.f_norotThreshold,   &s.f_norotNoise,        &s.f_mag_temporal_min, &s.f_mag_temporal_max,
      &s.nrMagCheck[0],      &s.nrMagCheck[1],       &s.f_magvar,       &s.gpsCoastingTime,
      &s.gpsLocalConstant,   &s.gpsOutageThreshold,  &s.gpsPositionAccuracyThreshold, &s.sd_holonomic,
      &s.sd_v_accLowPass,    &s.sd_w_mag_spat,       &s.sd_w_mag,       &s.sd_v_mag,
      &s.p_mag_spat,         &s.dp_boost,            &s.tau_acc,        &s.tau_magavg,
      &s.tau_magvar,         &s.tau_vel,             &s.tau_mag_max,    &s.velocity_holonomic,
      &s.velocity_zero_rotation, &s.initialConditions.sd_init_acc, &s.initialConditions.sd_init_accBias,
      &s.initialConditions.sd_init_mag, &s.initialConditions.sd_init_gyrBias, &s.initialConditions.sd_init_magVar,
      &s.initialConditions.sd_init_orient[0], &s.initialConditions.sd_init_orient[1],
      &s.initialConditions.sd_init_orient[2], &s.initialConditions.sd_init_pos, &s.initialConditions.sd_init_vel,
      &s.gpsPlatform};
  for (size_t k = 0; k < Zkf700ScenarioParams::kPageValues; ++k) visit(k, *values[k]);
}

}  // namespace

void Zkf700ScenarioParams::writeToDecryptedScenarioPage(void* page) {
  auto* p = static_cast<DecryptedScenarioPage*>(page);
  auto* bytes = static_cast<unsigned char*>(page);
  p->type = static_cast<unsigned char>(type & 0xFF);
  p->version = static_cast<unsigned char>(version & 0xFF);
  char name[kNameSize + 1] = {};
  std::memcpy(name, scenarioName, kNameSize);
  p->setLabel(name);
  forEachPageValue(*this, [bytes](size_t k, double& v) { putReal(bytes, k, v); });
  bytes[kFlagsOffset] = static_cast<unsigned char>(updateFlags & 0xFF);
  bytes[kFlagsOffset + 1] = static_cast<unsigned char>(updateFlags >> 8);
}

void Zkf700ScenarioParams::readFromDecryptedScenarioPage(const void* page) {
  const auto* bytes = static_cast<const unsigned char*>(page);
  forEachPageValue(*this, [bytes](size_t k, double& v) { v = getReal(bytes, k); });
  updateFlags = static_cast<uint16_t>(bytes[kFlagsOffset] | (bytes[kFlagsOffset + 1] << 8));
}

}  // namespace zelto
