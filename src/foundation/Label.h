#pragma once
// A label: a NUL-terminated text of at most 255 characters without white space, stored inline in
// a 256-byte buffer (so lists of labels are plain arrays). Comparisons ignore the case of ASCII
// letters.
#include <cstddef>
#include <string>

namespace zelto {

// ASCII-only case helpers; every other character passes unchanged.
bool isLower(int c);
bool isUpper(int c);
int toLower(int c);
int toUpper(int c);

class Label {
 public:
  static constexpr size_t kCapacity = 256;
  static constexpr size_t kMaxLength = kCapacity - 1;

  Label() { m_text[0] = '\0'; }
  Label(const char* text) { *this = text; }  // NOLINT: implicit by design, like a text
  Label(const std::string& text) { *this = text.c_str(); }  // NOLINT

  // Copies at most 255 characters, stopping at the first white-space character or NUL.
  Label& operator=(const char* text);
  Label& operator=(const std::string& text) { return *this = text.c_str(); }
  // Converted to a multibyte text (at most 256 bytes) with wcstombs first; a text that does not
  // convert gives the empty label.
  Label& operator=(const wchar_t* text);

  const char* c_str() const { return m_text; }
  size_t length() const;
  bool empty() const { return m_text[0] == '\0'; }

  // Against another label or a text, ignoring case.
  bool operator==(const Label& other) const;
  bool operator!=(const Label& other) const { return !(*this == other); }
  bool operator<(const Label& other) const;
  bool operator==(const wchar_t* text) const;
  bool operator!=(const wchar_t* text) const { return !(*this == text); }
  bool operator<(const wchar_t* text) const;

  // Position of the first occurrence of text inside the label ignoring case, -1 when there is
  // none. The empty text is found at 0.
  int find(const char* text) const;
  int find(const wchar_t* text) const;

 private:
  char m_text[kCapacity];
};

}  // namespace zelto
