#include "filters/zkf6/Zkf6InitialConditions.h"

namespace zelto {

Zkf6InitialConditions::~Zkf6InitialConditions() = default;

void Zkf6InitialConditions::readFromFile(const SettingsFile& file, const std::string& prefix) {
  sd_init_orient = readDouble(file, prefix, "sd_init_orient");
  sd_init_pos = readDouble(file, prefix, "sd_init_pos");
  sd_init_vel = readDouble(file, prefix, "sd_init_vel");
  sd_init_gyrBias = readDouble(file, prefix, "stab.sd_init_gyrBias");
  sd_init_accBias = readDouble(file, prefix, "stab.sd_init_accBias");
  readVector(file, prefix, "sd_init_magvar", sd_init_magvar, 3);
}

void Zkf6InitialConditions::writeToFile(SettingsFile& file, const std::string& prefix) const {
  writeSetting(file, prefix, "sd_init_orient", Variant(sd_init_orient));
  writeSetting(file, prefix, "sd_init_pos", Variant(sd_init_pos));
  writeSetting(file, prefix, "sd_init_vel", Variant(sd_init_vel));
  writeSetting(file, prefix, "stab.sd_init_gyrBias", Variant(sd_init_gyrBias));
  writeSetting(file, prefix, "stab.sd_init_accBias", Variant(sd_init_accBias));
  writeVector(file, prefix, "sd_init_magvar", sd_init_magvar, 3);
}

}  // namespace zelto
