#include "filters/zkf6/Zkf6ScenarioParams.h"

#include <array>
#include <cstring>
#include <tuple>
#include <utility>

#include "filters/common/DecryptedScenarioPage.h"
#include "filters/zkf6/Zkf6Filter.h"
#include "math/fastfloat/FastFloat.h"

namespace zelto {

namespace {

using S = Zkf6ScenarioParams;

struct KeyedSwitch {
  const char* key;
  uint16_t bit;
};

constexpr KeyedSwitch kSwitches[] = {
    {"magFieldUpdate", S::kMagFieldUpdate},     {"gpsUpdate", S::kGpsUpdate},
    {"barometerUpdate", S::kBarometerUpdate},   {"holonomicUpdate", S::kHolonomicUpdate},
    {"ZeroRotationUpdate", S::kZeroRotationUpdate},
};

constexpr size_t kValuesOffset = 22;
constexpr size_t kInitialOffset = 148;
constexpr size_t kSwitchOffset = 262;
constexpr size_t kPageValues = 21;
constexpr size_t kInitialValues = 8;

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

// The 21 tunables and the eight initial values in page order, for a const or a mutable record.
template <typename Scenario>
auto pageValues(Scenario& s) {
  return std::array{&s.f_gyr_oor,     &s.f_acc_oor,        &s.sd_v_acc,      &s.sd_v_gyr,
                    &s.sd_v_mag,      &s.deltaGyrBias,     &s.deltaAccBias,  &s.sd_wm,
                    &s.tau_magdist,   &s.tau_magavg,       &s.tau_magvar,    &s.f_magvar,
                    &s.sd_pos_gps[0], &s.sd_pos_gps[1],    &s.sd_vel_gps[0], &s.sd_vel_gps[1],
                    &s.sd_vel_nogps,  &s.c_baroadaptation, &s.sd_holonomic,  &s.velocity_holonomic,
                    &s.sd_zero_rotation};
}

template <typename Initial>
auto initialValues(Initial& ic) {
  return std::array{&ic.sd_init_orient,    &ic.sd_init_pos,       &ic.sd_init_vel,       &ic.sd_init_gyrBias,
                    &ic.sd_init_accBias,   &ic.sd_init_magvar[0], &ic.sd_init_magvar[1], &ic.sd_init_magvar[2]};
}

static_assert(std::tuple_size_v<decltype(pageValues(std::declval<S&>()))> == kPageValues);
static_assert(std::tuple_size_v<decltype(initialValues(std::declval<Zkf6InitialConditions&>()))> == kInitialValues);

FilterTypeVersion filterVersion() {
  unsigned char t = 0, major = 0, minor = 0, revision = 0;
  Zkf6Filter::getTypeAndVersion(t, major, minor, revision);
  return FilterTypeVersion(static_cast<char>(t), major, minor, revision);
}

}  // namespace

Zkf6ScenarioParams::Zkf6ScenarioParams() : filterTypeVersion(filterVersion()) {}

Zkf6ScenarioParams::~Zkf6ScenarioParams() = default;

void Zkf6ScenarioParams::setLabel(const char* text) {
  std::memset(label, 0, kLabelSize);
  if (text != nullptr) std::strncpy(label, text, kLabelSize - 1);
}

namespace {

// The nineteen numeric keys, in the order they are both read and written.
std::array<SettingField, 19> numericFields(Zkf6ScenarioParams& s) {
  using F = SettingField;
  return {F::real("stab.sd_v_acc", s.sd_v_acc),
          F::real("stab.sd_v_gyr", s.sd_v_gyr),
          F::real("stab.sd_v_mag", s.sd_v_mag),
          F::real("stab.deltaGyrBias", s.deltaGyrBias),
          F::real("f_gyr_oor", s.f_gyr_oor),
          F::real("f_acc_oor", s.f_acc_oor),
          F::real("stab.deltaAccBias", s.deltaAccBias),
          F::real("sd_wm", s.sd_wm),
          F::real("tau_magdist", s.tau_magdist),
          F::real("tau_magavg", s.tau_magavg),
          F::real("tau_magvar", s.tau_magvar),
          F::real("f_magvar", s.f_magvar),
          F::leadingValues("stab.sd_pos_gps", s.sd_pos_gps, 2),
          F::leadingValues("stab.sd_vel_gps", s.sd_vel_gps, 2),
          F::real("sd_vel_nogps", s.sd_vel_nogps),
          F::real("c_baroadaptation", s.c_baroadaptation),
          F::real("sd_holonomic", s.sd_holonomic),
          F::real("velocity_holonomic", s.velocity_holonomic),
          F::real("sd_zero_rotation", s.sd_zero_rotation)};
}

}  // namespace

void Zkf6ScenarioParams::readFromFile(const SettingsFile& file, const std::string& prefix) {
  const auto fields = numericFields(*this);
  readFields(file, prefix, fields.data(), fields.size());
  for (const KeyedSwitch& k : kSwitches) {
    if (readSetting(file, prefix, k.key).toBool())
      updateSwitches = static_cast<uint16_t>(updateSwitches | k.bit);
    else
      updateSwitches = static_cast<uint16_t>(updateSwitches & ~k.bit);
  }
  type = readSetting(file, prefix, "gp.type").toInt32();
  version = readSetting(file, prefix, "gp.version").toInt32();
  setLabel(readSetting(file, prefix, "gp.scenario").toStdString().c_str());
  if (!filterTypeVersion.readFromFileNoThrow(file, prefix)) filterTypeVersion.type = '6';
  initialConditions.readFromFile(file, prefix);
}

void Zkf6ScenarioParams::writeToFile(SettingsFile& file, const std::string& prefix) const {
  // The table only reads from the record when writing.
  const auto fields = numericFields(const_cast<Zkf6ScenarioParams&>(*this));
  writeFields(file, prefix, fields.data(), fields.size());
  initialConditions.writeToFile(file, prefix);
  for (const KeyedSwitch& k : kSwitches) writeSetting(file, prefix, k.key, Variant((updateSwitches & k.bit) != 0));
  writeSetting(file, prefix, "gp.type", Variant(static_cast<int>(type)));
  writeSetting(file, prefix, "gp.version", Variant(static_cast<int>(version)));
  writeSetting(file, prefix, "gp.scenario", Variant(static_cast<const char*>(label)));
  filterTypeVersion.writeToFile(file, prefix);
}

void Zkf6ScenarioParams::writePage(void* page) const {
  auto* p = static_cast<DecryptedScenarioPage*>(page);
  auto* bytes = static_cast<unsigned char*>(page);
  std::memset(page, 0, sizeof(DecryptedScenarioPage));
  p->type = static_cast<unsigned char>(type & 0xFF);
  p->version = static_cast<unsigned char>(version & 0xFF);
  p->setLabel(label);
  size_t k = 0;
  for (const double* v : pageValues(*this)) putReal(bytes, kValuesOffset + 6 * k++, *v);
  k = 0;
  for (const double* v : initialValues(initialConditions)) putReal(bytes, kInitialOffset + 6 * k++, *v);
  bytes[kSwitchOffset] = static_cast<unsigned char>(updateSwitches & 0xFF);
  bytes[kSwitchOffset + 1] = static_cast<unsigned char>(updateSwitches >> 8);
}

void Zkf6ScenarioParams::readFromDecryptedScenarioPage(const void* page) {
  const auto* bytes = static_cast<const unsigned char*>(page);
  size_t k = 0;
  for (double* v : pageValues(*this)) *v = getReal(bytes, kValuesOffset + 6 * k++);
  k = 0;
  for (double* v : initialValues(initialConditions)) *v = getReal(bytes, kInitialOffset + 6 * k++);
  updateSwitches = static_cast<uint16_t>(bytes[kSwitchOffset] | (bytes[kSwitchOffset + 1] << 8));
}

}  // namespace zelto
