#include "foundation/BinaryObject.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace zelto {

namespace {

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

}  // namespace

BinaryObject::BinaryObject(uint32_t size, const void* bytes) { assign(size, bytes); }

BinaryObject::BinaryObject(const BinaryObject& other) { assign(other.m_size, other.m_data); }

BinaryObject::BinaryObject(BinaryObject&& other) noexcept
    : m_size(std::exchange(other.m_size, 0)), m_data(std::exchange(other.m_data, nullptr)) {}

BinaryObject& BinaryObject::operator=(const BinaryObject& other) {
  if (&other != this) assign(other.m_size, other.m_data);
  return *this;
}

BinaryObject& BinaryObject::operator=(BinaryObject&& other) noexcept {
  if (&other != this) {
    delete[] m_data;
    m_size = std::exchange(other.m_size, 0);
    m_data = std::exchange(other.m_data, nullptr);
  }
  return *this;
}

BinaryObject::~BinaryObject() { delete[] m_data; }

void BinaryObject::assign(uint32_t size, const void* bytes) {
  uint8_t* fresh = nullptr;
  if (size != 0) {
    fresh = new uint8_t[size];
    if (bytes != nullptr)
      std::memcpy(fresh, bytes, size);
    else
      std::memset(fresh, 0, size);
  }
  delete[] m_data;
  m_data = fresh;
  m_size = size;
}

bool BinaryObject::operator==(const BinaryObject& other) const {
  return m_size == other.m_size && (m_size == 0 || std::memcmp(m_data, other.m_data, m_size) == 0);
}

size_t BinaryObject::serialize(char* out) const {
  if (out != nullptr) {
    std::memcpy(out, &m_size, 4);
    if (m_size != 0) std::memcpy(out + 4, m_data, m_size);
  }
  return 4 + static_cast<size_t>(m_size);
}

size_t BinaryObject::deserialize(const char* in, size_t available) {
  if (in == nullptr || available < 4) return 0;
  uint32_t n;
  std::memcpy(&n, in, 4);
  if (available - 4 < n) return 0;
  assign(n, in + 4);
  return 4 + static_cast<size_t>(n);
}

int BinaryObject::writeToString(char* out) const {
  std::string text;
  writeToString(text);
  if (out != nullptr) std::memcpy(out, text.c_str(), text.size() + 1);
  return static_cast<int>(text.size());
}

int BinaryObject::writeToString(std::string& out) const {
  static const char kDigits[] = "0123456789ABCDEF";
  const size_t before = out.size();
  char head[16];
  std::snprintf(head, sizeof head, "%u:", m_size);
  out += head;
  out.reserve(out.size() + 2 * static_cast<size_t>(m_size));
  for (uint32_t i = 0; i < m_size; ++i) {
    out += kDigits[m_data[i] >> 4];
    out += kDigits[m_data[i] & 0x0F];
  }
  return static_cast<int>(out.size() - before);
}

int BinaryObject::readFromString(const char* text) {
  assign(0, nullptr);
  if (text == nullptr) return 0;
  const char* p = text;
  while (isSpace(*p)) ++p;
  const char* digits = *p == '+' ? p + 1 : p;
  if (*digits < '0' || *digits > '9') return 0;
  char* after = nullptr;
  errno = 0;
  const long long n = std::strtoll(p, &after, 10);
  if (errno == ERANGE || n < 0 || n > 0xFFFFFFFFll || *after != ':') return 0;
  p = after + 1;
  // Each byte takes at least one hexadecimal digit.
  if (static_cast<unsigned long long>(n) > std::strlen(p)) return 0;
  BinaryObject read(static_cast<uint32_t>(n), nullptr);
  for (long long i = 0; i < n; ++i) {
    while (isSpace(*p)) ++p;
    int high = hexDigit(*p);
    if (high < 0) return 0;
    ++p;
    const int low = hexDigit(*p);
    if (low >= 0) {
      high = high * 16 + low;
      ++p;
    }
    read.m_data[i] = static_cast<uint8_t>(high);
  }
  *this = std::move(read);
  return static_cast<int>(p - text);
}

}  // namespace zelto
