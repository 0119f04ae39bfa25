#include "filters/zkf3i/Zkf3iSensorData.h"

#include <cmath>

#include "math/strapdown/Strapdown.h"

namespace zelto {

Zkf3iSensorData::~Zkf3iSensorData() = default;

void Zkf3iSensorData::readFromFile(const SettingsFile& file, const std::string& prefix) {
  const SettingField fields[] = {SettingField::uint16Word("eventData.clip.acc", clipAcc),
                                 SettingField::uint16Word("eventData.clip.gyr", clipGyr),
                                 SettingField::quaternion("internal.imu.dq", dq),
                                 SettingField::vector("internal.imu.dv", dv)};
  readFields(file, prefix, fields);
}

void Zkf3iSensorData::writeToFile(SettingsFile& file, const std::string& prefix) const {
  auto& self = const_cast<Zkf3iSensorData&>(*this);
  const SettingField fields[] = {SettingField::uint16Word("eventData.clip.acc", self.clipAcc),
                                 SettingField::uint16Word("eventData.clip.gyr", self.clipGyr),
                                 SettingField::quaternion("internal.imu.dq", self.dq),
                                 SettingField::vector("internal.imu.dv", self.dv)};
  writeFields(file, prefix, fields);
}

bool Zkf3iSensorData::computeGyrAcc(double T) {
  if (!std::isfinite(T) || !(T > 0.0)) return false;
  inverseSdi(acc, gyr, dq, dv, T);
  return true;
}

}  // namespace zelto
