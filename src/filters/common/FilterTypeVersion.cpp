#include "filters/common/FilterTypeVersion.h"

#include <cstdio>
#include <strings.h>

#include "foundation/StringToVersion.h"

namespace {

struct TypeName {
  char type;
  const char* name;
};

constexpr TypeName kNames[] = {
    {'3', "ZKF-3"}, {'6', "ZKF-6G"}, {'U', "ZKF-6U"}, {'W', "ZKF-3W"},
    {'I', "ZKF-3I"}, {'K', "ZKF-Lum"}, {'7', "ZKF700"},
};

}  // namespace

FilterTypeVersion::FilterTypeVersion(char type_, uint8_t major_, uint8_t minor_, uint8_t revision_)
    : type(type_), major(major_), minor(minor_), revision(revision_) {}

FilterTypeVersion::~FilterTypeVersion() = default;

const char* FilterTypeVersion::typeName(char t) {
  for (const TypeName& n : kNames)
    if (n.type == t) return n.name;
  return "unknown";
}

char FilterTypeVersion::typeOfName(const char* name) {
  if (!name) return 0;
  for (const TypeName& n : kNames)
    if (strcasecmp(n.name, name) == 0) return n.type;
  return 0;
}

void FilterTypeVersion::readFromFile(const zelto::SettingsFile& file, const std::string& prefix) {
  const std::string name = readSetting(file, prefix, "gp.filter").toStdString();
  type = typeOfName(name.c_str());
  const std::string version = readSetting(file, prefix, "gp.filterVersion").toStdString();
  stringToVersion(version.c_str(), major, minor, revision);
}

void FilterTypeVersion::writeToFile(zelto::SettingsFile& file, const std::string& prefix) const {
  char version[16];
  std::snprintf(version, sizeof(version), "%d.%d.%d", major, minor, revision);
  writeSetting(file, prefix, "gp.filter", zelto::Variant(typeName(type)));
  writeSetting(file, prefix, "gp.filterVersion", zelto::Variant(version));
}
