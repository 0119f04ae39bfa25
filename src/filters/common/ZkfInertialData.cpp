#include "filters/common/ZkfInertialData.h"

ZkfInertialData::~ZkfInertialData() = default;

void ZkfInertialData::readFromFile(const zelto::SettingsFile& file, const std::string& prefix) {
  readVector(file, prefix, "acc", acc);
  readVector(file, prefix, "gyr", gyr);
}

void ZkfInertialData::writeToFile(zelto::SettingsFile& file, const std::string& prefix) const {
  writeSetting(file, prefix, "acc", zelto::Variant(acc));
  writeSetting(file, prefix, "gyr", zelto::Variant(gyr));
}
