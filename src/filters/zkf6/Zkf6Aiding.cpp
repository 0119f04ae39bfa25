#include "filters/zkf6/Zkf6Aiding.h"

namespace zelto {

Zkf6Aiding::~Zkf6Aiding() = default;

void Zkf6Aiding::readFromFile(const SettingsFile& file, const std::string& prefix) {
  readVector(file, prefix, "mag", mag);
}

void Zkf6Aiding::writeToFile(SettingsFile& file, const std::string& prefix) const {
  writeSetting(file, prefix, "mag", Variant(mag));
}

}  // namespace zelto
