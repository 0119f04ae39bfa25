#pragma once
// A filter's type character and version as scenario files name them: "gp.filter" holds the
// filter's name, "gp.filterVersion" the version as "major.minor.revision".
#include <cstdint>

#include "filters/common/ZeltoParams.h"

class FilterTypeVersion : public ZeltoParams {
 public:
  using ZeltoParams::readFromFile;
  FilterTypeVersion() = default;
  FilterTypeVersion(char type, uint8_t major, uint8_t minor, uint8_t revision);
  FilterTypeVersion(const FilterTypeVersion&) = default;
  FilterTypeVersion& operator=(const FilterTypeVersion&) = default;
  ~FilterTypeVersion() override;

  // The name is matched without regard to case; an unknown name gives type 0. The version
  // takes as many numbers as parse, the others 0.
  void readFromFile(const zelto::SettingsFile& file, const std::string& prefix) override;
  void writeToFile(zelto::SettingsFile& file, const std::string& prefix) const override;

  // "ZKF-3", "ZKF-6G", "ZKF-6U", "ZKF-3W", "ZKF-3I", "ZKF-Lum", "ZKF700"; "unknown" for any
  // other type.
  static const char* typeName(char type);
  // The type of a name (case ignored), 0 when none matches.
  static char typeOfName(const char* name);

  char type = 0;
  uint8_t major = 0;
  uint8_t minor = 0;
  uint8_t revision = 0;
};
