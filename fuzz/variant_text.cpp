// Arbitrary text as the text form of a typed value (the value part of a ZSA line), read with and
// without the hexadecimal flag: whatever the reader accepts must write back into a text and a
// binary form that read again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "foundation/Variant.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte picks the flag; the rest is the text (NUL-terminated by the string).
  const bool hex = (data[0] & 1) != 0;
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  zelto::Variant value;
  const int used = value.readFromString(text.c_str(), hex);
  if (used < 0) std::abort();
  if (used == 0) {
    if (!value.empty()) std::abort();
    return 0;
  }
  volatile double sink = value.toDouble() + value.toInt64() + value.toBool() + value.toLabelList().count();
  (void)sink;

  std::string written;
  value.writeToString(written);
  zelto::Variant again;
  if (again.readFromString(written) == 0) std::abort();
  if (again.kind() != value.kind()) std::abort();

  std::string image(value.serialize(nullptr), '\0');
  value.serialize(image.data());
  zelto::Variant fromBinary;
  if (fromBinary.deserialize(image.data(), image.size()) != image.size()) std::abort();
  return 0;
}
