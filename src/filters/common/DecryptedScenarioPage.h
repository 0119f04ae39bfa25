#pragma once
// One filter scenario in the 264-byte page form of the device record (the device keeps
// the pages enciphered; this is the plain page). Layout:
//   0 type character, 1 scenario version, 2..21 label (ASCII, blank-padded, no terminator),
//   22..261 the scenario values as the filter's scenario class packs them,
//   262..263 a 16-bit little-endian value defined by that class.
#include <bit>
#include <cstddef>
#include <cstdint>

struct DecryptedScenarioPage {
  static constexpr size_t kLabelSize = 20;
  static constexpr size_t kValuesSize = 240;

  // Type and version 0, label all blanks, values and trailer 0.
  void clear();
  // Blanks the label field, then copies at most 20 characters of label (up to its terminator)
  // from the field's first byte; a null label leaves the field blank.
  void setLabel(const char* label);

  unsigned char type;
  unsigned char version;
  char label[kLabelSize];
  unsigned char values[kValuesSize];
  uint16_t trailer;
};

static_assert(std::endian::native == std::endian::little, "the page trailer is little-endian");
static_assert(sizeof(DecryptedScenarioPage) == 264, "scenario page is 264 bytes");
static_assert(offsetof(DecryptedScenarioPage, label) == 2 && offsetof(DecryptedScenarioPage, values) == 22 &&
                  offsetof(DecryptedScenarioPage, trailer) == 262,
              "scenario page layout");
