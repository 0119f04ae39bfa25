// Arbitrary bytes as a zsb settings image (plain or scrambled): the reader must stay inside the
// image, add nothing from a damaged one, and an image it accepts must serialize and read again
// into the same labels.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "foundation/SettingsFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zelto::SettingsFile file;
  const size_t used = file.deserialize(reinterpret_cast<const char*>(data), size);
  if (used == 0) {
    if (file.size() != 0) std::abort();
    return 0;
  }
  if (used > size) std::abort();
  for (uint32_t i = 1; i < file.size(); ++i)
    if (zelto::settingsStringCompare(file.getLabel(i - 1), file.getLabel(i)) > 0) std::abort();

  std::string image(file.serialize(nullptr), '\0');
  file.serialize(image.data());
  zelto::SettingsFile again;
  if (again.deserialize(image.data(), image.size()) != image.size()) std::abort();
  if (again.size() != file.size()) std::abort();
  for (uint32_t i = 0; i < file.size(); ++i)
    if (std::strcmp(file.getLabel(i), again.getLabel(i)) != 0) std::abort();

  std::string text;
  file.writeZsaString(nullptr, text);
  return 0;
}
