#include "filters/zkf3/Zkf3Aiding.h"

namespace zelto {

Zkf3Aiding::~Zkf3Aiding() = default;

void Zkf3Aiding::readFromFile(const SettingsFile& file, const std::string& prefix) {
  readVector(file, prefix, "mag", mag);
}

void Zkf3Aiding::writeToFile(SettingsFile& file, const std::string& prefix) const {
  writeSetting(file, prefix, "mag", Variant(mag));
}

}  // namespace zelto
