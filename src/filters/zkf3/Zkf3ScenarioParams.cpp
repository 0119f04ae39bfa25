#include "filters/zkf3/Zkf3ScenarioParams.h"

#include <cstring>

#include "errors/ZtException.h"
#include "filters/common/DecryptedScenarioPage.h"
#include "math/fastfloat/FastFloat.h"

namespace zelto {

namespace {

using Field = double Zkf3ScenarioParams::*;

// Page order of the 25 values.
constexpr Field kPageOrder[Zkf3ScenarioParams::kValueCount] = {
    &Zkf3ScenarioParams::f_gyr_oor,
    &Zkf3ScenarioParams::f_acc_oor,
    &Zkf3ScenarioParams::sd_v_acc,
    &Zkf3ScenarioParams::sd_v_gyr,
    &Zkf3ScenarioParams::sd_v_mag,
    &Zkf3ScenarioParams::deltaGyrBias,
    &Zkf3ScenarioParams::f_dynamic_gyro,
    &Zkf3ScenarioParams::f_dynamic_acc,
    &Zkf3ScenarioParams::tau_acc,
    &Zkf3ScenarioParams::sd_v_accLowpass,
    &Zkf3ScenarioParams::tau_magavg,
    &Zkf3ScenarioParams::tau_magvar,
    &Zkf3ScenarioParams::tau_mag_temp,
    &Zkf3ScenarioParams::sd_w_mag_temp_max,
    &Zkf3ScenarioParams::f_magvar,
    &Zkf3ScenarioParams::c_mag_max,
    &Zkf3ScenarioParams::tau_vel,
    &Zkf3ScenarioParams::dp_boost,
    &Zkf3ScenarioParams::p_mag_spat,
    &Zkf3ScenarioParams::sd_w_mag_spat,
    &Zkf3ScenarioParams::validity_accThreshold,
    &Zkf3ScenarioParams::validity_magThreshold,
    &Zkf3ScenarioParams::validity_gyroBiasThreshold,
    &Zkf3ScenarioParams::validity_angularUncertaintyThreshold,
    &Zkf3ScenarioParams::validity_TBD,
};

// Settings-file order of the doubles.
constexpr RealSettingKey<Zkf3ScenarioParams> kFileOrder[] = {
    {"validity.accThreshold", &Zkf3ScenarioParams::validity_accThreshold},
    {"validity.magThreshold", &Zkf3ScenarioParams::validity_magThreshold},
    {"validity.gyroBiasThreshold", &Zkf3ScenarioParams::validity_gyroBiasThreshold},
    {"validity.angularUncertaintyThreshold", &Zkf3ScenarioParams::validity_angularUncertaintyThreshold},
    {"validity.TBD", &Zkf3ScenarioParams::validity_TBD},
    {"stab.sd_v_acc", &Zkf3ScenarioParams::sd_v_acc},
    {"stab.sd_v_gyr", &Zkf3ScenarioParams::sd_v_gyr},
    {"stab.sd_v_mag", &Zkf3ScenarioParams::sd_v_mag},
    {"stab.deltaGyrBias", &Zkf3ScenarioParams::deltaGyrBias},
    {"stab.f_dynamic_gyro", &Zkf3ScenarioParams::f_dynamic_gyro},
    {"f_gyr_oor", &Zkf3ScenarioParams::f_gyr_oor},
    {"f_acc_oor", &Zkf3ScenarioParams::f_acc_oor},
    {"f_dynamic_acc", &Zkf3ScenarioParams::f_dynamic_acc},
    {"tau_acc", &Zkf3ScenarioParams::tau_acc},
    {"sd_v_accLowpass", &Zkf3ScenarioParams::sd_v_accLowpass},
    {"tau_magavg", &Zkf3ScenarioParams::tau_magavg},
    {"tau_magvar", &Zkf3ScenarioParams::tau_magvar},
    {"tau_mag_temp", &Zkf3ScenarioParams::tau_mag_temp},
    {"sd_w_mag_temp_max", &Zkf3ScenarioParams::sd_w_mag_temp_max},
    {"f_magvar", &Zkf3ScenarioParams::f_magvar},
    {"c_mag_max", &Zkf3ScenarioParams::c_mag_max},
    {"tau_vel", &Zkf3ScenarioParams::tau_vel},
    {"dp_boost", &Zkf3ScenarioParams::dp_boost},
    {"p_mag_spat", &Zkf3ScenarioParams::p_mag_spat},
    {"sd_w_mag_spat", &Zkf3ScenarioParams::sd_w_mag_spat},
};

constexpr size_t kValuesOffset = 22;
constexpr size_t kInitialOffset = 172;
constexpr size_t kFlagsOffset = 262;

void putReal(unsigned char* page, size_t offset, double value) {
  FastFloat f;
  f = value;
  std::memcpy(page + offset, static_cast<const void*>(&f), sizeof(FastFloat));
}

double getReal(const unsigned char* page, size_t offset) {
  FastFloat f;
  std::memcpy(static_cast<void*>(&f), page + offset, sizeof(FastFloat));
  return static_cast<double>(f);
}

}  // namespace

Zkf3ScenarioParams::~Zkf3ScenarioParams() = default;

bool Zkf3ScenarioParams::setScenarioName(const char* name) {
  const size_t n = std::strlen(name);
  if (n >= kNameSize) return false;
  std::memset(scenarioName, 0, kNameSize);
  std::memcpy(scenarioName, name, n);
  return true;
}

void Zkf3ScenarioParams::readFromFile(const SettingsFile& file, const std::string& prefix) {
  readReals(file, prefix, kFileOrder);
  updateFlags = 0;
  if (readSetting(file, prefix, "accUpdate").toBool()) updateFlags |= kAccUpdateFlag;
  if (readSetting(file, prefix, "magUpdate").toBool()) updateFlags |= kMagUpdateFlag;
  type = readSetting(file, prefix, "gp.type").toInt32();
  version = readSetting(file, prefix, "gp.version").toInt32();
  const std::string name = readSetting(file, prefix, "gp.scenario").toStdString();
  if (name.size() >= kNameSize || !setScenarioName(name.c_str())) throw ZtException(256, "strcpy failed");
  initialConditions.readFromFile(file, prefix);
}

void Zkf3ScenarioParams::writeToFile(SettingsFile& file, const std::string& prefix) const {
  writeReals(file, prefix, kFileOrder);
  writeSetting(file, prefix, "accUpdate", Variant((updateFlags & kAccUpdateFlag) != 0));
  writeSetting(file, prefix, "magUpdate", Variant((updateFlags & kMagUpdateFlag) != 0));
  writeSetting(file, prefix, "gp.type", Variant(static_cast<int>(type)));
  writeSetting(file, prefix, "gp.version", Variant(static_cast<int>(version)));
  char name[kNameSize + 1] = {};
  std::memcpy(name, scenarioName, kNameSize);
  writeSetting(file, prefix, "gp.scenario", Variant(static_cast<const char*>(name)));
  initialConditions.writeToFile(file, prefix);
}

void Zkf3ScenarioParams::writeToDecryptedScenarioPage(void* page) {
  auto* p = static_cast<DecryptedScenarioPage*>(page);
  auto* bytes = static_cast<unsigned char*>(page);
  p->type = static_cast<unsigned char>(type & 0xFF);
  p->version = static_cast<unsigned char>(version & 0xFF);
  char name[kNameSize + 1] = {};
  std::memcpy(name, scenarioName, kNameSize);
  p->setLabel(name);
  for (size_t k = 0; k < kValueCount; ++k) putReal(bytes, kValuesOffset + 6 * k, this->*kPageOrder[k]);
  const Zkf3InitialConditions& ic = initialConditions;
  const double initial[7] = {ic.sd_init_orient,    ic.sd_init_acc,       ic.sd_init_gyrBias, ic.sd_init_magvar[0],
                             ic.sd_init_magvar[1], ic.sd_init_magvar[2], ic.sd_init_mag};
  for (size_t k = 0; k < 7; ++k) putReal(bytes, kInitialOffset + 6 * k, initial[k]);
  bytes[kFlagsOffset] = static_cast<unsigned char>(updateFlags & 0xFF);
  bytes[kFlagsOffset + 1] = static_cast<unsigned char>(updateFlags >> 8);
}

void Zkf3ScenarioParams::readFromDecryptedScenarioPage(const void* page) {
  const auto* bytes = static_cast<const unsigned char*>(page);
  for (size_t k = 0; k < kValueCount; ++k) this->*kPageOrder[k] = getReal(bytes, kValuesOffset + 6 * k);
  Zkf3InitialConditions& ic = initialConditions;
  double* const initial[7] = {&ic.sd_init_orient,    &ic.sd_init_acc,       &ic.sd_init_gyrBias, &ic.sd_init_magvar[0],
                              &ic.sd_init_magvar[1], &ic.sd_init_magvar[2], &ic.sd_init_mag};
  for (size_t k = 0; k < 7; ++k) *initial[k] = getReal(bytes, kInitialOffset + 6 * k);
  updateFlags = static_cast<uint16_t>(bytes[kFlagsOffset] | (bytes[kFlagsOffset + 1] << 8));
}

}  // namespace zelto
