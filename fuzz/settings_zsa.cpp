// Arbitrary text as a ZSA settings file: lines of any length and content must never crash the
// reader, labels stay unique ignoring case and in order, and what it holds must write and read
// back to the same labels.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "foundation/SettingsFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  zelto::SettingsFile file;
  file.readZsaString(text.c_str());
  for (uint32_t i = 1; i < file.size(); ++i)
    if (zelto::settingsStringCompare(file.getLabel(i - 1), file.getLabel(i)) >= 0) std::abort();

  std::string written;
  file.writeZsaString(nullptr, written);
  zelto::SettingsFile again;
  again.readZsaString(written.c_str());
  // Labels holding '=' or starting with ';' cannot come from a ZSA line, so every label read
  // must come back.
  if (again.size() != file.size()) std::abort();
  for (uint32_t i = 0; i < file.size(); ++i)
    if (std::strcmp(file.getLabel(i), again.getLabel(i)) != 0) std::abort();

  std::string image(file.serialize(nullptr), '\0');
  file.serialize(image.data());
  zelto::SettingsFile fromBinary;
  if (fromBinary.deserialize(image.data(), image.size()) != image.size()) std::abort();
  return 0;
}
