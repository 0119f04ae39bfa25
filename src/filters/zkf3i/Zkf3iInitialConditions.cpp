#include "filters/zkf3i/Zkf3iInitialConditions.h"

namespace zelto {

Zkf3iInitialConditions::~Zkf3iInitialConditions() = default;

void Zkf3iInitialConditions::readFromFile(const SettingsFile& file, const std::string& prefix) {
  const SettingField fields[] = {SettingField::real("sd_init_acc", sd_init_acc),
                                 SettingField::real("sd_init_gyrBias", sd_init_gyrBias),
                                 SettingField::real("sd_init_mag", sd_init_mag),
                                 SettingField::real("sd_init_magvar", sd_init_magvar),
                                 SettingField::real("sd_init_orient", sd_init_orient)};
  readFields(file, prefix, fields);
}

void Zkf3iInitialConditions::writeToFile(SettingsFile& file, const std::string& prefix) const {
  auto& self = const_cast<Zkf3iInitialConditions&>(*this);
  const SettingField fields[] = {SettingField::real("sd_init_acc", self.sd_init_acc),
                                 SettingField::real("sd_init_gyrBias", self.sd_init_gyrBias),
                                 SettingField::real("sd_init_mag", self.sd_init_mag),
                                 SettingField::real("sd_init_magvar", self.sd_init_magvar),
                                 SettingField::real("sd_init_orient", self.sd_init_orient)};
  writeFields(file, prefix, fields);
}

bool Zkf3iInitialConditions::operator==(const Zkf3iInitialConditions& o) const {
  return sd_init_acc == o.sd_init_acc && sd_init_gyrBias == o.sd_init_gyrBias && sd_init_mag == o.sd_init_mag &&
         sd_init_magvar == o.sd_init_magvar && sd_init_orient == o.sd_init_orient;
}

}  // namespace zelto
