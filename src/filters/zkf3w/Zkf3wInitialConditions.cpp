#include "filters/zkf3w/Zkf3wInitialConditions.h"

namespace zelto {

namespace {

constexpr const char* kOrient = "sd_init_orient";
constexpr const char* kAcc = "sd_init_acc";
constexpr const char* kGyrBias = "stab.sd_init_gyrBias";
constexpr const char* kMagVar = "sd_init_magvar";
constexpr const char* kMag = "sd_init_mag";

}  // namespace

Zkf3wInitialConditions::~Zkf3wInitialConditions() = default;

void Zkf3wInitialConditions::readFromFile(const SettingsFile& file, const std::string& prefix) {
  sd_init_orient = readDouble(file, prefix, kOrient);
  sd_init_acc = readDouble(file, prefix, kAcc);
  sd_init_gyrBias = readDouble(file, prefix, kGyrBias);
  readVector(file, prefix, kMagVar, sd_init_magvar, 3);
  sd_init_mag = readDouble(file, prefix, kMag);
}

void Zkf3wInitialConditions::readPresentFromFile(const SettingsFile& file, const std::string& prefix) {
  const char* const keys[] = {kOrient, kAcc, kGyrBias, kMagVar, kMag};
  double* const scalars[] = {&sd_init_orient, &sd_init_acc, &sd_init_gyrBias, nullptr, &sd_init_mag};
  for (size_t i = 0; i < 5; ++i) {
    if (!file.hasSetting(prefix.c_str(), keys[i])) continue;
    if (scalars[i] != nullptr)
      *scalars[i] = readDouble(file, prefix, keys[i]);
    else
      readVector(file, prefix, keys[i], sd_init_magvar, 3);
  }
}

void Zkf3wInitialConditions::writeToFile(SettingsFile& file, const std::string& prefix) const {
  writeSetting(file, prefix, kOrient, Variant(sd_init_orient));
  writeSetting(file, prefix, kAcc, Variant(sd_init_acc));
  writeSetting(file, prefix, kGyrBias, Variant(sd_init_gyrBias));
  writeVector(file, prefix, kMagVar, sd_init_magvar, 3);
  writeSetting(file, prefix, kMag, Variant(sd_init_mag));
}

}  // namespace zelto
