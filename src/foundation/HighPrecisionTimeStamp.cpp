#include "foundation/HighPrecisionTimeStamp.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

// Two's-complement wrap instead of signed overflow.
int64_t wrapAdd(int64_t a, int64_t b) {
  return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}
int64_t wrapMul(int64_t a, int64_t b) {
  return static_cast<int64_t>(static_cast<uint64_t>(a) * static_cast<uint64_t>(b));
}

// The whole part of d as a 64-bit integer, clamped to the representable range.
int64_t wholePart(double d) {
  const double w = std::trunc(d);
  if (!(w == w)) return 0;  // NaN
  if (w >= 9.2233720368547758e18) return INT64_MAX;
  if (w <= -9.2233720368547758e18) return INT64_MIN;
  return static_cast<int64_t>(w);
}

}  // namespace

HighPrecisionTimeStamp::HighPrecisionTimeStamp(int64_t seconds, double fraction)
    : m_seconds(seconds), m_fraction(fraction) {
  normalize();
}

HighPrecisionTimeStamp::HighPrecisionTimeStamp(ZtTimeStamp milliseconds)
    : m_seconds(milliseconds / 1000), m_fraction(static_cast<double>(milliseconds % 1000) / 1000.0) {
  normalize();
}

void HighPrecisionTimeStamp::normalize() {
  if (!std::isfinite(m_fraction)) m_fraction = 0.0;
  const int64_t w = wholePart(m_fraction);
  m_seconds = wrapAdd(m_seconds, w);
  m_fraction -= static_cast<double>(w);
  if (m_fraction < 0.0) {
    m_fraction += 1.0;
    m_seconds = wrapAdd(m_seconds, -1);
  }
  // -tiny + 1.0 rounds to exactly 1.0 in double.
  if (m_fraction >= 1.0) {
    m_fraction -= 1.0;
    m_seconds = wrapAdd(m_seconds, 1);
  }
}

HighPrecisionTimeStamp& HighPrecisionTimeStamp::operator+=(double seconds) {
  const int64_t w = wholePart(seconds);
  m_seconds = wrapAdd(m_seconds, w);
  m_fraction += std::isfinite(seconds) ? seconds - static_cast<double>(w) : 0.0;
  normalize();
  return *this;
}

HighPrecisionTimeStamp& HighPrecisionTimeStamp::operator-=(double seconds) { return *this += -seconds; }

HighPrecisionTimeStamp& HighPrecisionTimeStamp::operator+=(const HighPrecisionTimeStamp& other) {
  m_seconds = wrapAdd(m_seconds, other.m_seconds);
  m_fraction += other.m_fraction;
  normalize();
  return *this;
}

HighPrecisionTimeStamp& HighPrecisionTimeStamp::operator-=(const HighPrecisionTimeStamp& other) {
  m_seconds = wrapAdd(m_seconds, -other.m_seconds);
  m_fraction -= other.m_fraction;
  normalize();
  return *this;
}

HighPrecisionTimeStamp& HighPrecisionTimeStamp::operator*=(const HighPrecisionTimeStamp& other) {
  const double s1 = static_cast<double>(m_seconds);
  const double s2 = static_cast<double>(other.m_seconds);
  const double rest = s1 * other.m_fraction + s2 * m_fraction + m_fraction * other.m_fraction;
  m_seconds = wrapMul(m_seconds, other.m_seconds);
  m_fraction = 0.0;
  *this += rest;
  return *this;
}

HighPrecisionTimeStamp HighPrecisionTimeStamp::operator+(double seconds) const {
  HighPrecisionTimeStamp r(*this);
  return r += seconds;
}

HighPrecisionTimeStamp HighPrecisionTimeStamp::operator-(double seconds) const {
  HighPrecisionTimeStamp r(*this);
  return r -= seconds;
}

HighPrecisionTimeStamp HighPrecisionTimeStamp::operator+(const HighPrecisionTimeStamp& other) const {
  HighPrecisionTimeStamp r(*this);
  return r += other;
}

HighPrecisionTimeStamp HighPrecisionTimeStamp::operator-(const HighPrecisionTimeStamp& other) const {
  HighPrecisionTimeStamp r(*this);
  return r -= other;
}

HighPrecisionTimeStamp HighPrecisionTimeStamp::operator*(const HighPrecisionTimeStamp& other) const {
  HighPrecisionTimeStamp r(*this);
  return r *= other;
}

bool HighPrecisionTimeStamp::operator<(const HighPrecisionTimeStamp& other) const {
  return m_seconds < other.m_seconds || (m_seconds == other.m_seconds && m_fraction < other.m_fraction);
}

bool HighPrecisionTimeStamp::operator>(const HighPrecisionTimeStamp& other) const { return other < *this; }

bool HighPrecisionTimeStamp::operator==(const HighPrecisionTimeStamp& other) const {
  return m_seconds == other.m_seconds && m_fraction == other.m_fraction;
}

HighPrecisionTimeStamp HighPrecisionTimeStamp::abs() const {
  if (m_seconds >= 0) return *this;
  // -(s + f) = (-s - 1) + (1 - f), normalised (f = 0 gives -s exactly).
  return HighPrecisionTimeStamp(wrapAdd(-m_seconds, -1), 1.0 - m_fraction);
}

ZtTimeStamp HighPrecisionTimeStamp::toTimeStamp() const {
  return wrapAdd(wrapMul(m_seconds, 1000), static_cast<int64_t>(std::trunc(1000.0 * m_fraction + 0.5)));
}

char* HighPrecisionTimeStamp::toString(char* buffer, size_t size) const {
  if (!buffer || size == 0) return nullptr;
  const bool negative = m_seconds < 0;
  const HighPrecisionTimeStamp magnitude = abs();
  char fraction[32];
  std::snprintf(fraction, sizeof fraction, "%.18f", magnitude.m_fraction);
  const char* point = std::strchr(fraction, '.');
  std::snprintf(buffer, size, "%s%llu%s", negative ? "-" : "",
                static_cast<unsigned long long>(magnitude.m_seconds), point ? point : "");
  return buffer;
}

wchar_t* HighPrecisionTimeStamp::toString(wchar_t* buffer, size_t size) const {
  if (!buffer || size == 0) return nullptr;
  char narrow[65];
  toString(narrow, sizeof narrow);
  size_t i = 0;
  for (; narrow[i] && i < 64 && i + 1 < size; ++i) buffer[i] = static_cast<wchar_t>(narrow[i]);
  buffer[i] = L'\0';
  return buffer;
}
