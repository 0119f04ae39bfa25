#include "filters/zkf3w/Zkf3wSensorData.h"

namespace zelto {

Zkf3wSensorData::~Zkf3wSensorData() = default;

void Zkf3wSensorData::readFromFile(const SettingsFile& file, const std::string& prefix) {
  readVector(file, prefix, "dv", dv);
  readQuaternion(file, prefix, "dq", dq);
  readVector(file, prefix, "bGyr", bGyr);
}

void Zkf3wSensorData::writeToFile(SettingsFile& file, const std::string& prefix) const {
  writeSetting(file, prefix, "dv", Variant(dv));
  writeSetting(file, prefix, "dq", Variant(dq));
  writeSetting(file, prefix, "bGyr", Variant(bGyr));
}

}  // namespace zelto
