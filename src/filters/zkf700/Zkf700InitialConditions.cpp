#include "filters/zkf700/Zkf700InitialConditions.h"

namespace zelto {

Zkf700InitialConditions::~Zkf700InitialConditions() = default;

void Zkf700InitialConditions::readFromFile(const SettingsFile& file, const std::string& prefix) {
  sd_init_acc = readDouble(file, prefix, "sd_init_acc");
  sd_init_accBias = readDouble(file, prefix, "sd_init_accBias");
  sd_init_mag = readDouble(file, prefix, "sd_init_mag");
  sd_init_gyrBias = readDouble(file, prefix, "sd_init_gyrBias");
  sd_init_magVar = readDouble(file, prefix, "sd_init_magVar");
  readVector(file, prefix, "sd_init_orient", sd_init_orient);
  sd_init_pos = readDouble(file, prefix, "sd_init_pos");
  sd_init_vel = readDouble(file, prefix, "sd_init_vel");
}

void Zkf700InitialConditions::writeToFile(SettingsFile& file, const std::string& prefix) const {
  writeSetting(file, prefix, "sd_init_acc", Variant(sd_init_acc));
  writeSetting(file, prefix, "sd_init_accBias", Variant(sd_init_accBias));
  writeSetting(file, prefix, "sd_init_mag", Variant(sd_init_mag));
  writeSetting(file, prefix, "sd_init_gyrBias", Variant(sd_init_gyrBias));
  writeSetting(file, prefix, "sd_init_magVar", Variant(sd_init_magVar));
  writeSetting(file, prefix, "sd_init_orient", Variant(sd_init_orient));
  writeSetting(file, prefix, "sd_init_pos", Variant(sd_init_pos));
  writeSetting(file, prefix, "sd_init_vel", Variant(sd_init_vel));
}

}  // namespace zelto
