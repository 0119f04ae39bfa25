#include "math/fastfloat/Fixed16p32.h"

Fixed16p32 Fixed16p32::operator=(FastFloat x) {
  uint32_t m = static_cast<uint32_t>(x.mantissa);
  if (m == 0) {
    integerPart = 0;
    fraction = 0;
    return *this;
  }
  // Normal form with a widened exponent: a non-normal pattern is taken by its value.
  int e = x.exponent;
  while (((m >> 30) & 1u) == ((m >> 31) & 1u)) {
    m <<= 1;
    --e;
  }
  const bool negative = (m & 0x80000000u) != 0;
  if (e > 15) {
    integerPart = negative ? INT16_MIN : INT16_MAX;
    fraction = negative ? 0u : 0xFFFFFFFFu;
  } else if (e >= 0) {
    // Sign-extended mantissa times 2^(e+1): at most 48 significant bits, exact.
    const uint64_t v = static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(m))) << (e + 1);
    fraction = static_cast<uint32_t>(v);
    integerPart = static_cast<int16_t>(static_cast<uint16_t>(v >> 32));
  } else {
    const int shift = -e - 1;
    if (shift >= 32) {
      fraction = negative ? 0xFFFFFFFFu : 0u;
    } else {
      // Arithmetic shift: bits below 2^-32 are dropped toward minus infinity.
      const int64_t s = static_cast<int64_t>(static_cast<int32_t>(m)) >> shift;
      fraction = static_cast<uint32_t>(static_cast<uint64_t>(s));
    }
    integerPart = negative ? -1 : 0;
  }
  return *this;
}
