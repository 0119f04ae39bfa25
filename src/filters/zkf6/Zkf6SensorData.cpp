#include "filters/zkf6/Zkf6SensorData.h"

namespace zelto {

Zkf6SensorData::~Zkf6SensorData() = default;

void Zkf6SensorData::readFromFile(const SettingsFile& file, const std::string& prefix) {
  inertial.readFromFile(file, prefix);
}

void Zkf6SensorData::writeToFile(SettingsFile& file, const std::string& prefix) const {
  inertial.writeToFile(file, prefix);
}

}  // namespace zelto
