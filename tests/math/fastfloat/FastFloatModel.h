// Reference model of the 6-byte float for the tests, written with integer arithmetic, frexp and
// ldexp rather than with the library's bit handling: value = mantissa * 2^(exponent - 31).
#ifndef ZDA_TESTS_MATH_FASTFLOAT_MODEL_H
#define ZDA_TESTS_MATH_FASTFLOAT_MODEL_H
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "math/fastfloat/FastFloat.h"

namespace ffmodel {

struct Fields {
  int exponent;
  int32_t mantissa;
  bool operator==(const Fields&) const = default;
};

inline Fields fields(FastFloat f) { return {f.exponent, f.mantissa}; }

inline FastFloat make(int exponent, uint32_t mantissa) { return FastFloat(static_cast<int16_t>(exponent), mantissa); }

inline FastFloat of(double d) {
  FastFloat f;
  f = d;
  return f;
}

inline bool isNormal(int32_t m) { return m != 0 && ((m >= 0x40000000) || (m < -0x40000000) || m == INT32_MIN); }

// The normal form of +-magnitude * 2^q (magnitude <= 2^31, not zero).
inline Fields normalForm(bool negative, uint64_t magnitude, int q) {
  while (magnitude >= (uint64_t{1} << 31)) {
    magnitude >>= 1;  // only 2^31 itself reaches here: exact
    ++q;
  }
  while (magnitude < (uint64_t{1} << 30)) {
    magnitude <<= 1;
    --q;
  }
  int exponent = q + 31;
  int64_t m = static_cast<int64_t>(magnitude);
  if (negative) {
    m = -m;
    if (magnitude == (uint64_t{1} << 30)) {
      m = INT32_MIN;
      --exponent;
    }
  }
  return {exponent, static_cast<int32_t>(m)};
}

// Rounds |d| to 31 significant bits (halves away from zero); subnormal doubles are scaled to the
// fixed exponent -1022. Finite d only.
inline Fields fromDouble(double d) {
  const double a = std::fabs(d);
  if (a < std::ldexp(1.0, -1022)) {
    const double scaled = std::ldexp(a, 1053);  // exact: at most 31 integer bits
    const double fl = std::floor(scaled);
    const uint64_t mag = static_cast<uint64_t>(fl) + (scaled - fl >= 0.5 ? 1 : 0);
    if (mag == 0) return {0, 0};
    return normalForm(std::signbit(d), mag, -1053);
  }
  int k;
  const double f = std::frexp(a, &k);  // a = f * 2^k, f in [0.5, 1)
  const double scaled = std::ldexp(f, 31);
  const double fl = std::floor(scaled);
  const uint64_t mag = static_cast<uint64_t>(fl) + (scaled - fl >= 0.5 ? 1 : 0);
  return normalForm(std::signbit(d), mag, k - 31);
}

inline int highestBit(uint64_t v) { return 63 - __builtin_clzll(v); }

// The double of any pattern: exact in the double range, +-inf above it, truncated toward zero
// below the normal range.
inline double toDouble(int exponent, int32_t mantissa) {
  if (mantissa == 0) return 0.0;
  const bool negative = mantissa < 0;
  const uint64_t mag = negative ? uint64_t{0} - static_cast<uint64_t>(static_cast<int64_t>(mantissa)) : uint64_t(mantissa);
  const int s = exponent - 31;
  const int p = highestBit(mag);
  double v;
  if (p + s >= 1024) {
    v = INFINITY;
  } else if (p + s >= -1022) {
    v = std::ldexp(static_cast<double>(mag), s);
  } else {
    const int k = s + 1074;
    const uint64_t units = k >= 0 ? (mag << k) : (-k >= 63 ? 0 : mag >> -k);
    v = std::ldexp(static_cast<double>(units), -1074);
  }
  return negative ? -v : v;
}

inline double toDouble(FastFloat f) { return toDouble(f.exponent, f.mantissa); }

inline uint64_t bitsOf(double d) {
  uint64_t b;
  std::memcpy(&b, &d, sizeof b);
  return b;
}

}  // namespace ffmodel

#endif
