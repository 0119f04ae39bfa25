#include "filters/zkf3w/Zkf3wAiding.h"

namespace zelto {

Zkf3wAiding::~Zkf3wAiding() = default;

void Zkf3wAiding::readFromFile(const SettingsFile& file, const std::string& prefix) {
  readVector(file, prefix, "mag", mag);
}

void Zkf3wAiding::writeToFile(SettingsFile& file, const std::string& prefix) const {
  writeSetting(file, prefix, "mag", Variant(mag));
}

}  // namespace zelto
