#pragma once
// One labelled value of a settings file. Labels hold at most 255 characters and order and compare
// ignoring the case of ASCII letters (settingsStringCompare).
//   binary record: 'W', the label and its NUL, the value's binary form
#include <cstddef>
#include <string>

#include "foundation/Variant.h"

namespace zelto {

// As strcasecmp over ASCII letters; the n-character form compares at most n characters (n = 0
// compares equal).
int settingsStringCompare(const char* a, const char* b);
int settingsStringCompare(const char* a, const char* b, size_t n);
// Natural order: runs of digits at the same place compare as numbers, everything else
// alphabetically ignoring ASCII case; a text that ends first sorts first ("x2" < "x10",
// "item" < "Item1", "a" < "B"). Returns -1, 0 or 1. The n-character form compares at most n
// characters (a run of digits counts with its length) and returns 0 when those agree or n is 0.
int alphaNumericCompare(const char* a, const char* b);
int alphaNumericCompare(const char* a, const char* b, size_t n);

class Setting {
 public:
  static constexpr size_t kLabelCapacity = 256;
  static constexpr size_t kMaxLabelLength = kLabelCapacity - 1;
  static constexpr char kRecordMarker = 'W';

  Setting() { m_label[0] = '\0'; }
  Setting(const Setting& other) = default;
  Setting& operator=(const Setting& other) = default;

  // Empty label, empty value, flag clear.
  void clear();
  // Formats the label; false (label unchanged) when the result would exceed 255 characters.
  bool setLabel(const char* format, ...) __attribute__((format(printf, 2, 3)));
  bool setLabel(const std::string& label);
  // prefix + label (either may be null); false (label unchanged) when together longer than 255
  // characters. Not an overload of setLabel: setLabel("%s", text) must stay a format call.
  bool setPrefixedLabel(const char* prefix, const char* label);
  const char* label() const { return m_label; }

  Variant& value() { return m_value; }
  const Variant& value() const { return m_value; }
  void setValue(const Variant& value) { m_value = value; }
  bool isReadOnly() const { return m_readOnly; }
  void setReadOnly(bool readOnly) { m_readOnly = readOnly; }

  // True for a null or empty prefix, else when the label begins with it ignoring case.
  bool hasPrefix(const char* prefix) const;

  bool operator<(const Setting& other) const { return settingsStringCompare(m_label, other.m_label) < 0; }
  bool operator==(const Setting& other) const { return settingsStringCompare(m_label, other.m_label) == 0; }
  bool operator<=(const Setting& other) const { return settingsStringCompare(m_label, other.m_label) <= 0; }

  // Writes the record (null out: only the size); returns its size.
  size_t serialize(char* out) const;
  // Reads one record from at most available bytes (the marker byte is skipped unexamined);
  // returns the bytes used, 0 (setting cleared) when the record does not fit in them, its label
  // has no NUL or exceeds 255 characters, or its value is malformed.
  size_t deserialize(const char* in, size_t available);

 private:
  char m_label[kLabelCapacity];
  Variant m_value;
  bool m_readOnly = false;
};

}  // namespace zelto
