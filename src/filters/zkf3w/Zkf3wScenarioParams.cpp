#include "filters/zkf3w/Zkf3wScenarioParams.h"

#include <cstring>

#include "filters/common/DecryptedScenarioPage.h"
#include "foundation/Compat.h"
#include "math/fastfloat/FastFloat.h"

namespace zelto {

namespace {

constexpr const char* kBiasKey = "stab.deltaGyrBias";
// The key some stored scenarios carry the bias stability under.
constexpr const char* kBiasKeyAlternative = "stab.sd_w_gyrBias";

// Settings-file order of the doubles.
constexpr RealSettingKey<Zkf3wScenarioParams> kFileOrder[] = {
    {"validity.accThreshold", &Zkf3wScenarioParams::validity_accThreshold},
    {"validity.magThreshold", &Zkf3wScenarioParams::validity_magThreshold},
    {"validity.gyroBiasThreshold", &Zkf3wScenarioParams::validity_gyroBiasThreshold},
    {"validity.angularUncertaintyThreshold", &Zkf3wScenarioParams::validity_angularUncertaintyThreshold},
    {"stab.ndAcc", &Zkf3wScenarioParams::ndAcc},
    {"stab.ndGyr", &Zkf3wScenarioParams::ndGyr},
    {"stab.sd_v_mag", &Zkf3wScenarioParams::sd_v_mag},
    {kBiasKey, &Zkf3wScenarioParams::deltaGyrBias},
    {"stab.f_gyr_dynamic", &Zkf3wScenarioParams::f_gyr_dynamic},
    {"f_gyr_oor", &Zkf3wScenarioParams::f_gyr_oor},
    {"f_acc_oor", &Zkf3wScenarioParams::f_acc_oor},
    {"f_acc_dynamic", &Zkf3wScenarioParams::f_acc_dynamic},
    {"tau_acc", &Zkf3wScenarioParams::tau_acc},
    {"sd_v_accLowpass", &Zkf3wScenarioParams::sd_v_accLowpass},
    {"tau_magavg", &Zkf3wScenarioParams::tau_magavg},
    {"tau_magvar", &Zkf3wScenarioParams::tau_magvar},
    {"tau_mag_temp", &Zkf3wScenarioParams::tau_mag_temp},
    {"sd_w_mag_temp_max", &Zkf3wScenarioParams::sd_w_mag_temp_max},
    {"f_magvar", &Zkf3wScenarioParams::f_magvar},
    {"c_mag_max", &Zkf3wScenarioParams::c_mag_max},
    {"tau_vel", &Zkf3wScenarioParams::tau_vel},
    {"dp_boost", &Zkf3wScenarioParams::dp_boost},
    {"p_mag_spat", &Zkf3wScenarioParams::p_mag_spat},
    {"sd_w_mag_spat", &Zkf3wScenarioParams::sd_w_mag_spat},
};

constexpr size_t kValuesOffset = 22;
constexpr size_t kFlagsOffset = 262;

// The 30 page values in page order.
void pageValues(Zkf3wScenarioParams& s, double* out[Zkf3wScenarioParams::kValueCount]) {
  Zkf3wInitialConditions& ic = s.initialConditions;
  double* const v[Zkf3wScenarioParams::kValueCount] = {
      &s.f_gyr_oor,          &s.f_acc_oor,
      &s.ndAcc,              &s.ndGyr,
      &s.sd_v_mag,           &s.deltaGyrBias,
      &s.f_gyr_dynamic,      &s.f_acc_dynamic,
      &s.tau_acc,            &s.sd_v_accLowpass,
      &s.tau_magavg,         &s.tau_magvar,
      &s.tau_mag_temp,       &s.f_magvar,
      &s.c_mag_max,          &s.tau_vel,
      &s.dp_boost,           &s.p_mag_spat,
      &s.sd_w_mag_spat,      &s.validity_accThreshold,
      &s.validity_magThreshold, &s.validity_gyroBiasThreshold,
      &s.validity_angularUncertaintyThreshold, &ic.sd_init_orient,
      &ic.sd_init_acc,       &ic.sd_init_gyrBias,
      &ic.sd_init_magvar[0], &ic.sd_init_magvar[1],
      &ic.sd_init_magvar[2], &ic.sd_init_mag};
  for (size_t k = 0; k < Zkf3wScenarioParams::kValueCount; ++k) out[k] = v[k];
}

}  // namespace

Zkf3wScenarioParams::~Zkf3wScenarioParams() = default;

bool Zkf3wScenarioParams::setLabel(const char* text) {
  char copy[kLabelSize];
  if (text == nullptr || strcpy_s(copy, kLabelSize, text) != 0) return false;
  std::memset(label, 0, kLabelSize);
  std::memcpy(label, copy, std::strlen(copy));
  return true;
}

void Zkf3wScenarioParams::readFromFile(const SettingsFile& file, const std::string& prefix) {
  for (const RealSettingKey<Zkf3wScenarioParams>& f : kFileOrder) {
    const bool alternative = f.key == kBiasKey && !file.hasSetting(prefix.c_str(), kBiasKey) &&
                             file.hasSetting(prefix.c_str(), kBiasKeyAlternative);
    this->*f.field = readDouble(file, prefix, alternative ? kBiasKeyAlternative : f.key);
  }
  const bool acc = readSetting(file, prefix, "accUpdate").toBool();
  const bool mag = readSetting(file, prefix, "magUpdate").toBool();
  flags = static_cast<uint16_t>((flags & ~(kAccUpdateFlag | kMagUpdateFlag)) | (acc ? kAccUpdateFlag : 0) |
                                (mag ? kMagUpdateFlag : 0));
  type = readSetting(file, prefix, "gp.type").toInt32();
  version = readSetting(file, prefix, "gp.version").toInt32();
  const std::string text = readSetting(file, prefix, "gp.scenario").toStdString();
  (void)setLabel(text.c_str());
  initialConditions.readPresentFromFile(file, prefix);
}

void Zkf3wScenarioParams::writeToFile(SettingsFile& file, const std::string& prefix) const {
  writeReals(file, prefix, kFileOrder);
  writeSetting(file, prefix, "gp.type", Variant(static_cast<int>(type)));
  writeSetting(file, prefix, "gp.version", Variant(static_cast<int>(version)));
  char text[kLabelSize + 1] = {};
  std::memcpy(text, label, kLabelSize);
  writeSetting(file, prefix, "gp.scenario", Variant(static_cast<const char*>(text)));
  writeSetting(file, prefix, "accUpdate", Variant((flags & kAccUpdateFlag) != 0));
  writeSetting(file, prefix, "magUpdate", Variant((flags & kMagUpdateFlag) != 0));
  initialConditions.writeToFile(file, prefix);
}

void Zkf3wScenarioParams::writeToDecryptedScenarioPage(void* page) {
  auto* p = static_cast<DecryptedScenarioPage*>(page);
  auto* bytes = static_cast<unsigned char*>(page);
  p->type = static_cast<unsigned char>(type & 0xFF);
  p->version = static_cast<unsigned char>(version & 0xFF);
  char text[kLabelSize + 1] = {};
  std::memcpy(text, label, kLabelSize);
  p->setLabel(text);
  double* values[kValueCount];
  pageValues(*this, values);
  for (size_t k = 0; k < kValueCount; ++k) {
    FastFloat f;
    f = *values[k];
    std::memcpy(bytes + kValuesOffset + 6 * k, static_cast<const void*>(&f), sizeof(FastFloat));
  }
  bytes[kFlagsOffset] = static_cast<unsigned char>(flags & 0xFF);
  bytes[kFlagsOffset + 1] = static_cast<unsigned char>(flags >> 8);
}

void Zkf3wScenarioParams::readFromDecryptedScenarioPage(const void* page) {
  const auto* bytes = static_cast<const unsigned char*>(page);
  double* values[kValueCount];
  pageValues(*this, values);
  for (size_t k = 0; k < kValueCount; ++k) {
    FastFloat f;
    std::memcpy(static_cast<void*>(&f), bytes + kValuesOffset + 6 * k, sizeof(FastFloat));
    *values[k] = static_cast<double>(f);
  }
  flags = static_cast<uint16_t>(bytes[kFlagsOffset] | (bytes[kFlagsOffset + 1] << 8));
}

}  // namespace zelto
