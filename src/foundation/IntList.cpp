#include "foundation/IntList.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zelto {

namespace {

// One unsigned 32-bit number at p (leading white space skipped; hex accepts an optional "0x").
// Advances p; false when there is no number or it does not fit in 32 bits.
bool parseU32(const char*& p, bool hex, uint32_t& value) {
  const char* s = p;
  while (*s == ' ' || *s == '\t' || *s == '\n' || *s == '\r' || *s == '\v' || *s == '\f') ++s;
  if (*s == '-') return false;
  if (*s == '+') ++s;
  if (hex && s[0] == '0' && (s[1] == 'x' || s[1] == 'X') && std::isxdigit(static_cast<unsigned char>(s[2]))) s += 2;
  const bool digit = hex ? std::isxdigit(static_cast<unsigned char>(*s)) != 0 : (*s >= '0' && *s <= '9');
  if (!digit) return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(s, &end, hex ? 16 : 10);
  if (errno == ERANGE || v > 0xFFFFFFFFull) return false;
  value = static_cast<uint32_t>(v);
  p = end;
  return true;
}

}  // namespace

IntList::~IntList() = default;

IntList& IntList::operator=(const IntList& other) {
  isShallowCopyOf(other);
  return *this;
}

bool IntList::operator==(const IntList& other) const {
  if (count() != other.count()) return false;
  return count() == 0 || std::memcmp(items(), other.items(), count() * sizeof(unsigned int)) == 0;
}

size_t IntList::serialize(char* out) const {
  const size_t total = 4 + 4 * static_cast<size_t>(count());
  if (out != nullptr) {
    const uint32_t n = count();
    std::memcpy(out, &n, 4);
    if (n != 0) std::memcpy(out + 4, items(), 4 * static_cast<size_t>(n));
  }
  return total;
}

size_t IntList::deserialize(const char* in, size_t available) {
  if (in == nullptr || available < 4) return 0;
  uint32_t n;
  std::memcpy(&n, in, 4);
  if ((available - 4) / 4 < n) return 0;
  setCount(n);
  if (n != 0) std::memcpy(items(), in + 4, 4 * static_cast<size_t>(n));
  return 4 + 4 * static_cast<size_t>(n);
}

int IntList::writeToString(char* out, bool hex) const {
  std::string text;
  writeToString(text, hex);
  if (out != nullptr) std::memcpy(out, text.c_str(), text.size() + 1);
  return static_cast<int>(text.size());
}

int IntList::writeToString(std::string& out, bool hex) const {
  const size_t before = out.size();
  char piece[16];
  std::snprintf(piece, sizeof piece, hex ? "%x:" : "%u:", count());
  out += piece;
  for (uint32_t i = 0; i < count(); ++i) {
    std::snprintf(piece, sizeof piece, hex ? " %x" : " %u", at(i));
    out += piece;
  }
  return static_cast<int>(out.size() - before);
}

int IntList::readFromString(const char* text, bool hex) {
  if (text == nullptr) return 0;
  const char* p = text;
  uint32_t n = 0;
  if (!parseU32(p, hex, n) || *p != ':') {
    clearItems();
    return 0;
  }
  ++p;
  // Each value takes at least one digit and one separator: a count the rest of the text cannot
  // hold is rejected before anything is reserved.
  if (n > (std::strlen(p) + 1) / 2) {
    clearItems();
    return 0;
  }
  setCount(n);
  for (uint32_t i = 0; i < n; ++i) {
    uint32_t v = 0;
    if (!parseU32(p, hex, v)) {
      clearItems();
      return 0;
    }
    at(i) = v;
  }
  return static_cast<int>(p - text);
}

void IntList::addValue(int v) {
  for (uint32_t i = 0; i < count(); ++i) at(i) += static_cast<unsigned int>(v);
}

void IntList::setIncremental(uint32_t start, uint32_t end, int32_t step) {
  if (step == 0) return;
  clearItems();
  uint64_t n = 0;
  if (step > 0 && start < end)
    n = (static_cast<uint64_t>(end) - start + static_cast<uint64_t>(step) - 1) / static_cast<uint64_t>(step);
  else if (step < 0 && start > end)
    n = (static_cast<uint64_t>(start) - end + static_cast<uint64_t>(-static_cast<int64_t>(step)) - 1) /
        static_cast<uint64_t>(-static_cast<int64_t>(step));
  reserve(static_cast<uint32_t>(n));
  int64_t v = start;
  for (uint64_t i = 0; i < n; ++i, v += step) append(static_cast<unsigned int>(v));
}

}  // namespace zelto
