#include "filters/common/ZkfTime.h"

ZkfTime::~ZkfTime() = default;

void ZkfTime::readFromFile(const zelto::SettingsFile& file, const std::string& prefix) {
  T_int = readDouble(file, prefix, "T_int");
}

void ZkfTime::writeToFile(zelto::SettingsFile& file, const std::string& prefix) const {
  writeSetting(file, prefix, "T_int", zelto::Variant(T_int));
}
