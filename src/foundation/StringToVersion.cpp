#include "foundation/StringToVersion.h"

#include <cctype>
#include <climits>

namespace {

// One "%d": advances p past the number; false when no digit follows the blanks and sign.
bool parseInt(const char*& p, int& value) {
  const char* s = p;
  while (std::isspace(static_cast<unsigned char>(*s))) ++s;
  bool negative = false;
  if (*s == '+' || *s == '-') negative = *s++ == '-';
  if (!std::isdigit(static_cast<unsigned char>(*s))) return false;
  long long v = 0;
  for (; std::isdigit(static_cast<unsigned char>(*s)); ++s)
    if (v <= static_cast<long long>(INT_MAX) + 1) v = v * 10 + (*s - '0');
  if (negative) v = -v;
  if (v > INT_MAX) v = INT_MAX;
  if (v < INT_MIN) v = INT_MIN;
  value = static_cast<int>(v);
  p = s;
  return true;
}

}  // namespace

bool stringToVersion(const char* text, unsigned char& major, unsigned char& minor, unsigned char& revision) {
  major = minor = revision = 0;
  if (!text) return false;
  unsigned char* out[3] = {&major, &minor, &revision};
  const char* p = text;
  int parsed = 0;
  for (; parsed < 3; ++parsed) {
    if (parsed > 0) {
      if (*p != '.') break;
      ++p;
    }
    int value = 0;
    if (!parseInt(p, value)) break;
    *out[parsed] = static_cast<unsigned char>(value);
  }
  return parsed > 0;
}
