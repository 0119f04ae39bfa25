// Record bytes come from devices and files: every 6-byte pattern must convert without undefined
// behaviour (run under UBSan) and, where the format defines a value, to that value.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>

#include "FastFloatModel.h"
#include "math/fastfloat/FastFloat.h"
#include "math/fastfloat/Fixed16p32.h"

using namespace ffmodel;

namespace {

constexpr uint32_t kEdgeMantissas[] = {
    0x00000000u, 0x00000001u, 0x00000002u, 0x3FFFFFFFu, 0x40000000u, 0x40000001u, 0x7FFFFFFFu,
    0x80000000u, 0x80000001u, 0xBFFFFFFFu, 0xC0000000u, 0xC0000001u, 0xFFFFFFFEu, 0xFFFFFFFFu,
};

struct Value {
  bool negative;
  uint64_t magnitude;
  int scale;  // value = +-magnitude * 2^scale
};

Value valueOf(int exponent, uint32_t mantissa) {
  const int64_t m = static_cast<int32_t>(mantissa);
  return {m < 0, m < 0 ? static_cast<uint64_t>(-m) : static_cast<uint64_t>(m), exponent - 31};
}

int expectedInt(const Value& v) {
  if (v.magnitude == 0) return 0;
  const int p = highestBit(v.magnitude);
  if (v.scale >= 0 && p + v.scale >= 31) return v.negative ? INT_MIN : INT_MAX;
  const int64_t t = v.scale >= 0 ? static_cast<int64_t>(v.magnitude << v.scale)
                                 : (-v.scale >= 63 ? 0 : static_cast<int64_t>(v.magnitude >> -v.scale));
  return static_cast<int>(v.negative ? -t : t);
}

// floor(value * 2^32), saturated to 48 bits.
int64_t expectedFixed(const Value& v) {
  if (v.magnitude == 0) return 0;
  const int t = v.scale + 32;
  const int p = highestBit(v.magnitude);
  if (t >= 0 && p + t >= 47) return v.negative ? -(int64_t{1} << 47) : (int64_t{1} << 47) - 1;
  if (t >= 0) {
    const int64_t f = static_cast<int64_t>(v.magnitude << t);
    return v.negative ? -f : f;
  }
  if (-t >= 40) return v.negative ? -1 : 0;
  const uint64_t down = v.magnitude >> -t;
  const bool inexact = (down << -t) != v.magnitude;
  return v.negative ? -static_cast<int64_t>(down + (inexact ? 1 : 0)) : static_cast<int64_t>(down);
}

// x - trunc(x) as a double; only for |x| >= 1 (the library returns smaller values unchanged).
double expectedFrac(const Value& v) {
  if (v.scale >= 0) return 0.0;
  const uint64_t low = -v.scale >= 63 ? v.magnitude : (v.magnitude & ((uint64_t{1} << -v.scale) - 1));
  const double f = std::ldexp(static_cast<double>(low), v.scale);
  return v.negative ? -f : f;
}

TEST(FastFloatHostileBytes, EveryExponentWithEdgeMantissas) {
  long checked = 0;
  for (int e = INT16_MIN; e <= INT16_MAX; ++e) {
    for (uint32_t m : kEdgeMantissas) {
      const FastFloat x = make(e, m);
      const Value v = valueOf(e, m);

      const double d = static_cast<double>(x);
      ASSERT_EQ(bitsOf(d), bitsOf(toDouble(e, static_cast<int32_t>(m)))) << e << " " << m;

      ASSERT_EQ(static_cast<int>(x), expectedInt(v)) << e << " " << m;

      Fixed16p32 fixed;
      fixed = x;
      const int64_t f = expectedFixed(v);
      ASSERT_EQ(fixed.integerPart, static_cast<int16_t>(f >> 32)) << e << " " << m;
      ASSERT_EQ(fixed.fraction, static_cast<uint32_t>(f)) << e << " " << m;

      const FastFloat n = normalize(x);
      if (m == 0) {
        ASSERT_EQ(fields(n), (Fields{0, 0}));
      } else {
        ASSERT_TRUE(isNormal(n.mantissa)) << e << " " << m;
        // Value kept unless the exponent wrapped below -32768.
        const uint32_t leading = static_cast<int32_t>(m) < 0 ? ~m : m;  // 0 for a mantissa of -1
        const int shifts = leading == 0 ? 31 : __builtin_clz(leading) - 1;
        if (e - shifts >= INT16_MIN) {
          ASSERT_EQ(n.exponent, e - shifts) << e << " " << m;
          ASSERT_EQ(bitsOf(static_cast<double>(n)), bitsOf(d));
        }
      }

      const FastFloat r = frac(x);
      const bool belowOne = v.magnitude == 0 || highestBit(v.magnitude) + v.scale < 0;
      if (belowOne) {
        ASSERT_EQ(fields(r), fields(x)) << e << " " << m;
      } else {
        ASSERT_EQ(bitsOf(static_cast<double>(r)), bitsOf(expectedFrac(v) + 0.0)) << e << " " << m;
        ASSERT_TRUE(r.mantissa == 0 ? r.exponent == 0 : isNormal(r.mantissa)) << e << " " << m;
      }

      // The rest must merely run without undefined behaviour.
      (void)round(x);
      (void)-x;
      (void)ff_abs(x);
      (void)(x < FF_ONE);
      (void)(x << static_cast<short>(3));
      (void)(x >> static_cast<short>(-5));
      ++checked;
    }
  }
  EXPECT_EQ(checked, 65536L * (sizeof kEdgeMantissas / sizeof kEdgeMantissas[0]));
}

TEST(FastFloatHostileBytes, TrigOnAnyPatternStaysBounded) {
  for (int e = INT16_MIN; e <= INT16_MAX; e += 7) {
    for (uint32_t m : kEdgeMantissas) {
      const double s = static_cast<double>(sin(make(e, m)));
      const double c = static_cast<double>(cos(make(e, m)));
      ASSERT_LE(std::fabs(s), 1.0 + 1e-8) << e << " " << m;
      ASSERT_LE(std::fabs(c), 1.0 + 1e-8) << e << " " << m;
    }
  }
}

}  // namespace
