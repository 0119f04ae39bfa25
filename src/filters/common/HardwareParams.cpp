#include "filters/common/HardwareParams.h"

#include <cctype>
#include <cstdio>

#include "foundation/StringToVersion.h"

std::string parseCompoundHwPrefix(char letter, const std::string& hardwareType) {
  std::string result(1, letter);
  const size_t at = hardwareType.find(letter);
  size_t digits = 0;
  if (at != std::string::npos) {
    for (size_t i = at + 1; i < hardwareType.size() && std::isdigit(static_cast<unsigned char>(hardwareType[i])); ++i)
      ++digits;
  }
  if (digits == 0)
    result += '0';
  else
    result.append(hardwareType, at + 1, digits);
  result += '.';
  return result;
}

HardwareParams::~HardwareParams() = default;

std::string HardwareParams::accPrefix(const std::string& prefix) const {
  return prefix + parseCompoundHwPrefix('A', m_hardwareType);
}

std::string HardwareParams::gyrPrefix(const std::string& prefix) const {
  return prefix + parseCompoundHwPrefix('G', m_hardwareType);
}

std::string HardwareParams::magPrefix(const std::string& prefix) const {
  return prefix + parseCompoundHwPrefix('M', m_hardwareType);
}

std::string HardwareParams::entryPrefix(const char* format, const std::string& revisionText) {
  unsigned char major = 0, minor = 0, revision = 0;
  stringToVersion(revisionText.c_str(), major, minor, revision);
  char buffer[64];
  std::snprintf(buffer, sizeof(buffer), format, major, minor);
  return buffer;
}
