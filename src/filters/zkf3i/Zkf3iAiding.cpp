#include "filters/zkf3i/Zkf3iAiding.h"

namespace zelto {

Zkf3iAiding::~Zkf3iAiding() = default;

void Zkf3iAiding::readFromFile(const SettingsFile& file, const std::string& prefix) {
  readVector(file, prefix, "mag", mag);
}

void Zkf3iAiding::writeToFile(SettingsFile& file, const std::string& prefix) const {
  writeSetting(file, prefix, "mag", Variant(mag));
}

}  // namespace zelto
