#include "foundation/Setting.h"

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace zelto {

namespace {

int foldedChar(char c) { return toLower(static_cast<unsigned char>(c)); }

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Reads the run of digits at p as a signed 32-bit number (saturated); advances p.
int32_t readNumber(const char*& p) {
  int64_t v = 0;
  while (isDigit(*p)) {
    if (v <= INT32_MAX) v = v * 10 + (*p - '0');
    ++p;
  }
  return v > INT32_MAX ? INT32_MAX : static_cast<int32_t>(v);
}

int naturalCompare(const char* a, const char* b, size_t n, bool limited) {
  for (;;) {
    if (limited && n == 0) return 0;
    if (*a == '\0' || *b == '\0') {
      if (*a == '\0' && *b == '\0') return 0;
      return *a == '\0' ? -1 : 1;
    }
    if (isDigit(*a) && isDigit(*b)) {
      const char* startA = a;
      const char* startB = b;
      const int32_t va = readNumber(a);
      const int32_t vb = readNumber(b);
      if (va != vb) return va < vb ? -1 : 1;
      const size_t used = static_cast<size_t>(std::max(a - startA, b - startB));
      n = used >= n ? 0 : n - used;
      continue;
    }
    const signed char ca = static_cast<signed char>(foldedChar(*a));
    const signed char cb = static_cast<signed char>(foldedChar(*b));
    if (ca != cb) return ca < cb ? -1 : 1;
    ++a;
    ++b;
    if (limited) --n;
  }
}

}  // namespace

int settingsStringCompare(const char* a, const char* b) {
  for (;; ++a, ++b) {
    const int ca = foldedChar(*a);
    const int cb = foldedChar(*b);
    if (ca != cb || ca == 0) return ca - cb;
  }
}

int settingsStringCompare(const char* a, const char* b, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    const int ca = foldedChar(a[i]);
    const int cb = foldedChar(b[i]);
    if (ca != cb || ca == 0) return ca - cb;
  }
  return 0;
}

int alphaNumericCompare(const char* a, const char* b) { return naturalCompare(a, b, 0, false); }

int alphaNumericCompare(const char* a, const char* b, size_t n) { return naturalCompare(a, b, n, true); }

void Setting::clear() {
  m_label[0] = '\0';
  m_value.clear();
  m_readOnly = false;
}

bool Setting::setLabel(const char* format, ...) {
  char buffer[kLabelCapacity];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (n < 0 || static_cast<size_t>(n) > kMaxLabelLength) return false;
  std::memcpy(m_label, buffer, static_cast<size_t>(n) + 1);
  return true;
}

bool Setting::setLabel(const std::string& label) { return setPrefixedLabel(nullptr, label.c_str()); }

bool Setting::setPrefixedLabel(const char* prefix, const char* label) {
  const size_t prefixLength = prefix == nullptr ? 0 : std::strlen(prefix);
  const size_t labelLength = label == nullptr ? 0 : std::strlen(label);
  if (prefixLength + labelLength > kMaxLabelLength) return false;
  if (prefixLength != 0) std::memcpy(m_label, prefix, prefixLength);
  if (labelLength != 0) std::memcpy(m_label + prefixLength, label, labelLength);
  m_label[prefixLength + labelLength] = '\0';
  return true;
}

bool Setting::hasPrefix(const char* prefix) const {
  if (prefix == nullptr || prefix[0] == '\0') return true;
  return settingsStringCompare(m_label, prefix, std::strlen(prefix)) == 0;
}

size_t Setting::serialize(char* out) const {
  const size_t labelLength = std::strlen(m_label);
  if (out != nullptr) {
    out[0] = kRecordMarker;
    std::memcpy(out + 1, m_label, labelLength + 1);
  }
  const size_t head = 1 + labelLength + 1;
  return head + m_value.serialize(out == nullptr ? nullptr : out + head);
}

size_t Setting::deserialize(const char* in, size_t available) {
  clear();
  if (in == nullptr || available < 2) return 0;
  const size_t window = std::min(available - 1, kLabelCapacity);
  const char* nul = static_cast<const char*>(std::memchr(in + 1, '\0', window));
  if (nul == nullptr) return 0;
  const size_t labelLength = static_cast<size_t>(nul - (in + 1));
  const size_t head = 1 + labelLength + 1;
  const size_t used = m_value.deserialize(in + head, available - head);
  if (used == 0) {
    clear();
    return 0;
  }
  std::memcpy(m_label, in + 1, labelLength + 1);
  return head + used;
}

}  // namespace zelto
