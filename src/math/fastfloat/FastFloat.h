#ifndef ZDA_MATH_FASTFLOAT_FASTFLOAT_H
#define ZDA_MATH_FASTFLOAT_FASTFLOAT_H
// The 6-byte software floating-point number in which the device record, the
// hardware parameter page and the scenario pages store their reals. Record accessors read and
// write it in place inside the record's byte image, so the layout below is a stored format:
//   bytes 0-1  exponent, int16 little-endian, power of two offset by 31
//   bytes 2-5  mantissa, int32 two's complement little-endian
// value = mantissa * 2^(exponent - 31). Normal form: a non-zero mantissa has bit 30 different
// from its sign bit; every conversion produces it. A zero mantissa reads as 0.0 whatever the
// exponent; the conversions store zero as six zero bytes.
//
// Bytes coming from devices and files may hold any pattern: every conversion accepts every
// pattern (non-normal ones are read by their value). Exponent arithmetic on stored values
// (shifts, negation, normalize) wraps in 16 bits and is not range-checked.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "zeltodeviceapi/zdaexport.h"

struct __attribute__((packed)) FastFloat {
  int16_t exponent = 0;
  int32_t mantissa = 0;

  FastFloat() = default;
  // From the stored fields; mantissaBits is the 32-bit pattern of the mantissa.
  constexpr FastFloat(int16_t exp, uint32_t mantissaBits) : exponent(exp), mantissa(static_cast<int32_t>(mantissaBits)) {}

  // Rounds the magnitude to 31 significant bits, halves away from zero. Subnormal doubles keep
  // what fits in a 31-bit mantissa at exponent -1022; infinities and NaN store exponent 1025.
  FastFloat& operator=(double value);
  // Exact within the double range; overflow gives +-infinity, underflow truncates to a subnormal
  // or a signed zero.
  operator double() const;
  // Exact.
  FastFloat& operator=(int value);
  // Truncated toward zero, saturating to the int range. Explicit: with two implicit conversions
  // mixed expressions such as x * 2.0 would be ambiguous.
  explicit operator int() const;

  FastFloat& operator+=(FastFloat rhs);
  FastFloat& operator-=(FastFloat rhs);
  FastFloat& operator*=(FastFloat rhs);
  FastFloat& operator/=(FastFloat rhs);
  FastFloat& operator<<=(short n);
  FastFloat& operator>>=(short n);

  // The largest magnitudes of the format: the quotient of a zero divisor.
  static constexpr FastFloat largest() { return FastFloat(32767, 0x7FFFFFFFu); }
  static constexpr FastFloat largestNegative() { return FastFloat(32767, 0x80000000u); }
};

static_assert(std::endian::native == std::endian::little, "FastFloat stores its fields little-endian");
static_assert(sizeof(FastFloat) == 6 && alignof(FastFloat) == 1, "FastFloat is 6 packed bytes");
static_assert(offsetof(FastFloat, exponent) == 0 && offsetof(FastFloat, mantissa) == 2, "FastFloat field layout");
static_assert(std::is_trivially_copyable_v<FastFloat> && std::is_standard_layout_v<FastFloat>,
              "FastFloat lives in record byte images");

// Arithmetic goes through double and stores the result with operator=(double). A divisor that
// is zero (or converts to 0.0) gives FastFloat::largest() for a dividend >= 0, else
// FastFloat::largestNegative().
FastFloat operator+(FastFloat a, FastFloat b);
FastFloat operator-(FastFloat a, FastFloat b);
FastFloat operator*(FastFloat a, FastFloat b);
FastFloat operator/(FastFloat a, FastFloat b);
// Scaling by 2^n: the exponent alone changes.
FastFloat operator<<(FastFloat x, short n);
FastFloat operator>>(FastFloat x, short n);

// Comparisons expect normal form. A zero mantissa lies between the negative and positive values;
// == compares both fields.
bool operator<(FastFloat a, FastFloat b);
bool operator>(FastFloat a, FastFloat b);
bool operator<=(FastFloat a, FastFloat b);
bool operator>=(FastFloat a, FastFloat b);
bool operator==(FastFloat a, FastFloat b);
// Keeps normal form: 0x80000000 becomes 0x40000000 one exponent higher and 0x40000000 becomes
// 0x80000000 one exponent lower.
FastFloat operator-(FastFloat x);

FastFloat ff_abs(FastFloat x);
// x - trunc(x), with the sign of x.
FastFloat frac(FastFloat x);
// Remainder of x by 2 pi, with the sign of x.
FastFloat mod2pi(FastFloat x);
// Brings x to normal form; a zero mantissa gets exponent 0.
FastFloat normalize(FastFloat x);
// Nearest int, halves away from zero, saturating.
int round(FastFloat x);

// sin and cos use the format's own arithmetic (fixed reductions and polynomials, no libm call);
// error within about 2e-9 for |x| <= 2 pi. The others go through the double functions.
ZDA_API FastFloat sin(FastFloat x);
ZDA_API FastFloat cos(FastFloat x);
ZDA_API FastFloat sqrt(FastFloat x);
ZDA_API FastFloat asin(FastFloat x);
ZDA_API FastFloat acos(FastFloat x);
ZDA_API FastFloat atan2(FastFloat y, FastFloat x);
ZDA_API FastFloat pow(FastFloat base, FastFloat exponent);
// pow(E_VALUE, x).
ZDA_API FastFloat exp(FastFloat x);

inline constexpr FastFloat FF_INV2PI(-2, 0x517CC1B7u);
inline constexpr FastFloat FF_2PI(3, 0x6487ED51u);
inline constexpr FastFloat FF_PI(2, 0x6487ED51u);
inline constexpr FastFloat FF_INV9(-3, 0x71C71C72u);
inline constexpr FastFloat FF_3(2, 0x60000000u);
inline constexpr FastFloat FF_INV2(0, 0x40000000u);
inline constexpr FastFloat FF_ONE(1, 0x40000000u);
inline constexpr FastFloat halfFF(0, 0x40000000u);
inline constexpr FastFloat E_VALUE(2, 0x56FC2A2Cu);

#endif
