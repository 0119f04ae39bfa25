#include "filters/zkf3/Zkf3InitialConditions.h"

namespace zelto {

Zkf3InitialConditions::~Zkf3InitialConditions() = default;

void Zkf3InitialConditions::readFromFile(const SettingsFile& file, const std::string& prefix) {
  sd_init_orient = readDouble(file, prefix, "sd_init_orient");
  sd_init_acc = readDouble(file, prefix, "sd_init_acc");
  sd_init_gyrBias = readDouble(file, prefix, "stab.sd_init_gyrBias");
  readVector(file, prefix, "sd_init_magvar", sd_init_magvar, 3);
  sd_init_mag = readDouble(file, prefix, "sd_init_mag");
}

void Zkf3InitialConditions::writeToFile(SettingsFile& file, const std::string& prefix) const {
  writeSetting(file, prefix, "sd_init_orient", Variant(sd_init_orient));
  writeSetting(file, prefix, "sd_init_acc", Variant(sd_init_acc));
  writeSetting(file, prefix, "stab.sd_init_gyrBias", Variant(sd_init_gyrBias));
  writeVector(file, prefix, "sd_init_magvar", sd_init_magvar, 3);
  writeSetting(file, prefix, "sd_init_mag", Variant(sd_init_mag));
}

}  // namespace zelto
