#include "foundation/Label.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace zelto {

bool isLower(int c) { return c >= 'a' && c <= 'z'; }
bool isUpper(int c) { return c >= 'A' && c <= 'Z'; }
int toLower(int c) { return isUpper(c) ? c - 'A' + 'a' : c; }
int toUpper(int c) { return isLower(c) ? c - 'a' + 'A' : c; }

namespace {

bool isLabelSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int compareIgnoringCase(const char* a, const char* b) {
  for (;; ++a, ++b) {
    const int ca = toLower(static_cast<unsigned char>(*a));
    const int cb = toLower(static_cast<unsigned char>(*b));
    if (ca != cb || ca == 0) return ca - cb;
  }
}

// wcstombs into a buffer of kCapacity bytes that is always terminated; "" when the text does not
// convert.
void toMultibyte(const wchar_t* text, char (&out)[Label::kCapacity + 1]) {
  out[0] = '\0';
  if (text == nullptr) return;
  const size_t n = std::wcstombs(out, text, Label::kCapacity);
  if (n == static_cast<size_t>(-1)) {
    out[0] = '\0';
    return;
  }
  out[n < Label::kCapacity ? n : Label::kCapacity] = '\0';
}

}  // namespace

Label& Label::operator=(const char* text) {
  size_t n = 0;
  if (text != nullptr) {
    while (n < kMaxLength && text[n] != '\0' && !isLabelSpace(text[n])) {
      m_text[n] = text[n];
      ++n;
    }
  }
  m_text[n] = '\0';
  return *this;
}

Label& Label::operator=(const wchar_t* text) {
  char converted[kCapacity + 1];
  toMultibyte(text, converted);
  return *this = converted;
}

size_t Label::length() const { return std::strlen(m_text); }

bool Label::operator==(const Label& other) const { return compareIgnoringCase(m_text, other.m_text) == 0; }

bool Label::operator<(const Label& other) const { return compareIgnoringCase(m_text, other.m_text) < 0; }

bool Label::operator==(const wchar_t* text) const {
  char converted[kCapacity + 1];
  toMultibyte(text, converted);
  return compareIgnoringCase(m_text, converted) == 0;
}

bool Label::operator<(const wchar_t* text) const {
  char converted[kCapacity + 1];
  toMultibyte(text, converted);
  return compareIgnoringCase(m_text, converted) < 0;
}

int Label::find(const char* text) const {
  if (text == nullptr) return -1;
  const size_t n = std::strlen(text);
  const size_t length = this->length();
  if (n > length) return -1;
  // A plain scan restarting at every position: labels are short, and restarting only at the
  // mismatch would miss matches that overlap a partial one ("ab" in "aab").
  for (size_t start = 0; start + n <= length; ++start) {
    size_t i = 0;
    while (i < n && toLower(static_cast<unsigned char>(m_text[start + i])) ==
                        toLower(static_cast<unsigned char>(text[i])))
      ++i;
    if (i == n) return static_cast<int>(start);
  }
  return -1;
}

int Label::find(const wchar_t* text) const {
  if (text == nullptr) return -1;
  char converted[kCapacity + 1];
  toMultibyte(text, converted);
  return find(converted);
}

}  // namespace zelto
