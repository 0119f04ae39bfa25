#include "filters/zkf3/Zkf3SensorData.h"

namespace zelto {

Zkf3SensorData::~Zkf3SensorData() = default;

void Zkf3SensorData::readFromFile(const SettingsFile& file, const std::string& prefix) {
  inertial.readFromFile(file, prefix);
}

void Zkf3SensorData::writeToFile(SettingsFile& file, const std::string& prefix) const {
  inertial.writeToFile(file, prefix);
}

}  // namespace zelto
