#include "foundation/LabelList.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zelto {

namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// Reads the word at p (up to white space or end), storing at most 255 characters into label.
// Returns the position after the word.
const char* readWord(const char* p, const char* end, Label& label) {
  const char* start = p;
  while (p < end && *p != '\0' && !isSpace(*p)) ++p;
  char buffer[Label::kCapacity];
  const size_t n = std::min<size_t>(static_cast<size_t>(p - start), Label::kMaxLength);
  std::memcpy(buffer, start, n);
  buffer[n] = '\0';
  label = buffer;
  return p;
}

}  // namespace

LabelList::~LabelList() = default;

LabelList& LabelList::operator=(const LabelList& other) {
  isShallowCopyOf(other);
  return *this;
}

bool LabelList::operator==(const LabelList& other) const {
  if (count() != other.count()) return false;
  for (uint32_t i = 0; i < count(); ++i)
    if (at(i) != other.at(i)) return false;
  return true;
}

size_t LabelList::serialize(char* out) const {
  size_t total = 4;
  const uint32_t n = count();
  if (out != nullptr) std::memcpy(out, &n, 4);
  for (uint32_t i = 0; i < n; ++i) {
    const size_t length = at(i).length();
    if (out != nullptr) {
      std::memcpy(out + total, at(i).c_str(), length);
      out[total + length] = i + 1 < n ? ' ' : '\0';
    }
    total += length + 1;
  }
  return total;
}

size_t LabelList::deserialize(const char* in, size_t available) {
  if (in == nullptr || available < 4) return 0;
  uint32_t n;
  std::memcpy(&n, in, 4);
  if (n == 0) {
    clearItems();
    return 4;
  }
  const char* text = in + 4;
  const char* nul = static_cast<const char*>(std::memchr(text, '\0', available - 4));
  if (nul == nullptr) return 0;
  const size_t length = static_cast<size_t>(nul - text);
  clearItems();
  // Too short to hold n labels: an empty list.
  if (static_cast<uint64_t>(length) + 1 < 2 * static_cast<uint64_t>(n)) return 4 + length + 1;
  reserve(n);
  const char* p = text;
  while (count() < n) {
    while (p < nul && isSpace(*p)) ++p;
    if (p == nul) break;
    Label label;
    p = readWord(p, nul, label);
    List<Label>::append(label);
  }
  return 4 + length + 1;
}

int LabelList::writeToString(char* out) const {
  std::string text;
  writeToString(text);
  if (out != nullptr) std::memcpy(out, text.c_str(), text.size() + 1);
  return static_cast<int>(text.size());
}

int LabelList::writeToString(std::string& out) const {
  const size_t before = out.size();
  char head[16];
  std::snprintf(head, sizeof head, "%u:", count());
  out += head;
  if (count() == 0) out += ' ';
  for (uint32_t i = 0; i < count(); ++i) {
    if (i != 0) out += ' ';
    out += at(i).c_str();
  }
  return static_cast<int>(out.size() - before);
}

int LabelList::readFromString(const char* text) {
  clearItems();
  if (text == nullptr) return 0;
  const char* p = text;
  while (isSpace(*p)) ++p;
  if (*p < '0' || *p > '9') return 0;
  char* after = nullptr;
  errno = 0;
  const unsigned long long n = std::strtoull(p, &after, 10);
  if (errno == ERANGE || n > 0xFFFFFFFFull || *after != ':') return 0;
  p = after + 1;
  const char* end = p + std::strlen(p);
  // Each label takes at least one character and one separator.
  if (n > static_cast<unsigned long long>(end - p + 1) / 2) return 0;
  reserve(static_cast<uint32_t>(n));
  for (unsigned long long i = 0; i < n; ++i) {
    while (p < end && isSpace(*p)) ++p;
    if (p == end) {
      clearItems();
      return 0;
    }
    Label label;
    p = readWord(p, end, label);
    List<Label>::append(label);
  }
  return static_cast<int>(p - text);
}

}  // namespace zelto
