#ifndef ZDA_MATH_FASTFLOAT_FIXED16P32_H
#define ZDA_MATH_FASTFLOAT_FIXED16P32_H
// 6-byte fixed-point number: a 48-bit two's-complement value with 32 fraction bits,
// value = integerPart + fraction / 2^32, range -32768 .. 32767 + (2^32 - 1) / 2^32.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "math/fastfloat/FastFloat.h"

struct __attribute__((packed)) Fixed16p32 {
  int16_t integerPart = 0;
  uint32_t fraction = 0;

  // Exact where the value fits 32 fraction bits, else rounded toward minus infinity; values out
  // of range saturate. Any byte pattern of x is accepted.
  Fixed16p32 operator=(FastFloat x);
};

static_assert(sizeof(Fixed16p32) == 6 && alignof(Fixed16p32) == 1, "Fixed16p32 is 6 packed bytes");
static_assert(offsetof(Fixed16p32, integerPart) == 0 && offsetof(Fixed16p32, fraction) == 2, "Fixed16p32 layout");
static_assert(std::is_trivially_copyable_v<Fixed16p32> && std::is_standard_layout_v<Fixed16p32>,
              "Fixed16p32 lives in record byte images");

#endif
