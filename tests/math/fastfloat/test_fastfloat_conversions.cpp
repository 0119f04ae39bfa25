// Conversions of the 6-byte float to and from double, int and Fixed16p32, its constants, and the
// arithmetic that runs through double.
#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "FastFloatModel.h"
#include "math/fastfloat/FastFloat.h"
#include "math/fastfloat/Fixed16p32.h"

using namespace ffmodel;

namespace {

std::array<uint8_t, 6> bytesOf(const FastFloat& f) {
  std::array<uint8_t, 6> b;
  std::memcpy(b.data(), &f, 6);
  return b;
}

TEST(FastFloatConversion, StoredBytes) {
  struct Case {
    double value;
    std::array<uint8_t, 6> bytes;
  } cases[] = {
      {1.0, {0x01, 0x00, 0x00, 0x00, 0x00, 0x40}},
      {-1.0, {0x00, 0x00, 0x00, 0x00, 0x00, 0x80}},
      {0.0, {0, 0, 0, 0, 0, 0}},
      {-0.0, {0, 0, 0, 0, 0, 0}},
      {0.5, {0x00, 0x00, 0x00, 0x00, 0x00, 0x40}},
      {3.0, {0x02, 0x00, 0x00, 0x00, 0x00, 0x60}},        // FF_3
      {M_PI, {0x02, 0x00, 0x51, 0xED, 0x87, 0x64}},       // rounds to 0x6487ED51
      {-1024.0, {0x0A, 0x00, 0x00, 0x00, 0x00, 0x80}},    // -2^10: 0x80000000 one exponent lower
      {-1.5, {0x01, 0x00, 0x00, 0x00, 0x00, 0xA0}},
      // A subnormal double with a bit among the top 32 fraction bits: exponent -1029 (0xFBFB).
      {std::ldexp(1.0, -1030), {0xFB, 0xFB, 0x00, 0x00, 0x00, 0x40}},
  };
  for (const Case& c : cases) {
    FastFloat f;
    f = c.value;
    EXPECT_EQ(bytesOf(f), c.bytes) << c.value;
    // Every case but pi is exact.
    if (c.value != M_PI) {
      EXPECT_EQ(bitsOf(static_cast<double>(f)), bitsOf(c.value == 0.0 ? 0.0 : c.value)) << c.value;
    }
  }
  // The smallest subnormals whose top 32 fraction bits are zero store as six zero bytes.
  FastFloat tiny;
  tiny = std::ldexp(1.0, -1060);
  EXPECT_EQ(bytesOf(tiny), (std::array<uint8_t, 6>{0, 0, 0, 0, 0, 0}));
}

TEST(FastFloatConversion, RoundingCarry) {
  struct Case {
    double value;
    int exponent;
    uint32_t mantissa;
  } cases[] = {
      // 1 + 2^-31: the 31st fraction bit set rounds the magnitude up.
      {1.0 + std::ldexp(1.0, -31), 1, 0x40000001u},
      {-(1.0 + std::ldexp(1.0, -31)), 1, 0xBFFFFFFFu},
      // Just below the round bit: truncated.
      {1.0 + std::ldexp(1.0, -32), 1, 0x40000000u},
      // All 31 bits set plus a round-up: 0x40000000 one exponent higher.
      {2.0 - std::ldexp(1.0, -31), 2, 0x40000000u},
      {-(2.0 - std::ldexp(1.0, -31)), 1, 0x80000000u},
      {2.0 - std::ldexp(1.0, -30), 1, 0x7FFFFFFFu},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(fields(of(c.value)), (Fields{c.exponent, static_cast<int32_t>(c.mantissa)})) << c.value;
  }
  // The subnormal branch rounds with the 32nd fraction bit.
  const double sub = std::ldexp(0x7FFFFFFF, -1053) + std::ldexp(1.0, -1054);
  EXPECT_EQ(fields(of(sub)), (Fields{-1021, 0x40000000}));
}

TEST(FastFloatConversion, RandomDoublesAgainstModel) {
  std::mt19937_64 rng(20260101);
  std::uniform_int_distribution<uint64_t> any;
  int checked = 0;
  for (int i = 0; i < 200000; ++i) {
    uint64_t bits = any(rng);
    switch (i % 4) {
      case 0: bits &= ~(uint64_t{0x7FF} << 52); break;                                   // subnormal
      case 1: bits = (bits & ~(uint64_t{0x7FF} << 52)) | (static_cast<uint64_t>(2040 + i % 6) << 52); break;  // huge
      default: break;                                                                     // anything
    }
    double d;
    std::memcpy(&d, &bits, sizeof d);
    if (!std::isfinite(d)) continue;
    const FastFloat f = of(d);
    const Fields expected = fromDouble(d);
    ASSERT_EQ(fields(f), expected) << std::hexfloat << d;
    ASSERT_TRUE(f.mantissa == 0 ? f.exponent == 0 : isNormal(f.mantissa)) << d;
    // The stored value converts back exactly (the model, not the library, decides the double).
    ASSERT_EQ(bitsOf(static_cast<double>(f)), bitsOf(toDouble(f))) << std::hexfloat << d;
    ++checked;
  }
  EXPECT_GT(checked, 190000);
}

TEST(FastFloatConversion, StoredValuesRoundTrip) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> exponent(-1020, 1024);
  std::uniform_int_distribution<uint32_t> low(0, 0x3FFFFFFFu);
  for (int i = 0; i < 100000; ++i) {
    const int e = exponent(rng);
    const uint32_t bits = low(rng);
    const FastFloat positive = make(e, 0x40000000u | bits);
    const FastFloat negative = make(e, 0x80000000u | bits);
    for (FastFloat f : {positive, negative}) {
      const double d = static_cast<double>(f);
      ASSERT_EQ(d, toDouble(f));
      ASSERT_EQ(fields(of(d)), fields(f)) << e << " " << f.mantissa;
    }
  }
}

TEST(FastFloatConversion, InfinityAndNaNTakeTheNormalBranch) {
  EXPECT_EQ(fields(of(INFINITY)), (Fields{1025, 0x40000000}));
  EXPECT_EQ(fields(of(-INFINITY)), (Fields{1024, INT32_MIN}));
  EXPECT_EQ(static_cast<double>(of(INFINITY)), INFINITY);
  EXPECT_EQ(static_cast<double>(of(-INFINITY)), -INFINITY);
  EXPECT_EQ(of(std::numeric_limits<double>::quiet_NaN()).exponent, 1025);
}

TEST(FastFloatConversion, Int) {
  struct Case {
    double value;
    int expected;
  } toInt[] = {
      {2.75, 2}, {-2.75, -2}, {-0.75, 0}, {0.75, 0}, {0.0, 0}, {1.0, 1}, {-1.0, -1},
      {2147483648.0, INT_MAX}, {-2147483648.0, INT_MIN}, {2147483520.0, 2147483520}, {-1e30, INT_MIN},
      {1e30, INT_MAX}, {1073741824.0, 1073741824}, {-1073741824.0, -1073741824}, {-5e-300, 0},
  };
  for (const Case& c : toInt) EXPECT_EQ(static_cast<int>(of(c.value)), c.expected) << c.value;

  for (int v : {0, 1, -1, 2, -2, 3, 1000, -1000, 123456789, INT_MAX, INT_MIN, INT_MIN + 1, 0x40000000, -0x40000000}) {
    FastFloat f;
    f = v;
    EXPECT_EQ(static_cast<double>(f), static_cast<double>(v)) << v;
    EXPECT_EQ(static_cast<int>(f), v);
    EXPECT_TRUE(v == 0 ? (f.exponent == 0 && f.mantissa == 0) : isNormal(f.mantissa)) << v;
    // The int conversion agrees with the double one wherever both are exact.
    if (v != INT_MAX) {
      EXPECT_EQ(fields(f), fields(of(v))) << v;
    }
  }
}

TEST(FastFloatConversion, RoundAndFrac) {
  struct RoundCase {
    double value;
    int expected;
  } rounds[] = {
      {2.5, 3}, {-2.5, -3}, {-1.2, -1}, {1.49, 1}, {0.0, 0}, {-0.5, -1}, {0.4, 0}, {3e9, INT_MAX}, {-3e9, INT_MIN},
  };
  for (const RoundCase& c : rounds) EXPECT_EQ(round(of(c.value)), c.expected) << c.value;

  struct FracCase {
    double value;
    double expected;
  } fracs[] = {
      {-1.75, -0.75}, {2.0, 0.0}, {1.75, 0.75}, {0.25, 0.25}, {-0.25, -0.25}, {-1.0, 0.0}, {-2.0, 0.0},
      {12345.5, 0.5}, {-12345.125, -0.125}, {1e20, 0.0}, {0.0, 0.0}, {1073741823.5, 0.5}, {-0.75, -0.75},
  };
  for (const FracCase& c : fracs) {
    const FastFloat r = frac(of(c.value));
    EXPECT_EQ(static_cast<double>(r), c.expected) << c.value;
    if (c.expected == 0.0) {
      EXPECT_EQ(fields(r), (Fields{0, 0})) << c.value;
    } else {
      EXPECT_TRUE(isNormal(r.mantissa)) << c.value;
      EXPECT_EQ(fields(r), fields(of(c.expected))) << c.value;
    }
  }
}

TEST(FastFloatConversion, Fixed16p32) {
  struct Case {
    double value;
    int16_t integerPart;
    uint32_t fraction;
  } cases[] = {
      {40000.0, 32767, 0xFFFFFFFFu},
      {-1.5, -2, 0x80000000u},
      {-40000.0, -32768, 0u},
      {-32768.0, -32768, 0u},
      {32767.5, 32767, 0x80000000u},
      {1.0, 1, 0u},
      {0.0, 0, 0u},
      {0.25, 0, 0x40000000u},
      {-0.25, -1, 0xC0000000u},
      {std::ldexp(1.0, -32), 0, 1u},
      {std::ldexp(1.0, -33), 0, 0u},   // below 2^-32: dropped
      {-std::ldexp(1.0, -33), -1, 0xFFFFFFFFu},  // toward minus infinity
      {-std::ldexp(1.0, -100), -1, 0xFFFFFFFFu},
      {std::ldexp(1.0, -100), 0, 0u},
  };
  for (const Case& c : cases) {
    Fixed16p32 x;
    const Fixed16p32 returned = (x = of(c.value));
    EXPECT_EQ(x.integerPart, c.integerPart) << c.value;
    EXPECT_EQ(x.fraction, c.fraction) << c.value;
    EXPECT_EQ(std::memcmp(&returned, &x, sizeof x), 0);
  }
}

TEST(FastFloatConversion, ConstantsEqualTheirDoubles) {
  struct Case {
    const char* name;
    FastFloat constant;
    double value;
  } cases[] = {
      {"FF_INV2PI", FF_INV2PI, 1.0 / (2.0 * M_PI)}, {"FF_2PI", FF_2PI, 2.0 * M_PI}, {"FF_PI", FF_PI, M_PI},
      {"FF_INV9", FF_INV9, 1.0 / 9.0},             {"FF_3", FF_3, 3.0},            {"FF_INV2", FF_INV2, 0.5},
      {"FF_ONE", FF_ONE, 1.0},                     {"halfFF", halfFF, 0.5},        {"E_VALUE", E_VALUE, M_E},
  };
  for (const Case& c : cases) EXPECT_EQ(fields(c.constant), fields(of(c.value))) << c.name;
}

TEST(FastFloatArithmetic, ThroughDouble) {
  const double values[] = {1.0, -2.5, 3.0e10, -7.25e-5, 0.1, M_PI};
  for (double a : values) {
    for (double b : values) {
      const FastFloat fa = of(a), fb = of(b);
      const double da = static_cast<double>(fa), db = static_cast<double>(fb);
      EXPECT_EQ(fields(fa + fb), fromDouble(da + db));
      EXPECT_EQ(fields(fa - fb), fromDouble(da - db));
      EXPECT_EQ(fields(fa * fb), fromDouble(da * db));
      EXPECT_EQ(fields(fa / fb), fromDouble(da / db));
      FastFloat c = fa;
      c += fb;
      EXPECT_EQ(fields(c), fields(fa + fb));
      c = fa;
      c -= fb;
      EXPECT_EQ(fields(c), fields(fa - fb));
      c = fa;
      c *= fb;
      EXPECT_EQ(fields(c), fields(fa * fb));
      c = fa;
      c /= fb;
      EXPECT_EQ(fields(c), fields(fa / fb));
    }
  }
}

TEST(FastFloatArithmetic, ZeroDivisorGivesLargestMagnitude) {
  struct Case {
    FastFloat dividend;
    FastFloat divisor;
    bool negative;
  } cases[] = {
      {of(1.0), of(0.0), false},
      {of(-1.0), of(0.0), true},
      {of(0.0), of(0.0), false},
      {of(-3.0), make(12, 0), true},                  // zero mantissa, any exponent
      {of(2.0), make(-3000, 0x40000000u), false},     // converts to 0.0
      {of(-2.0), make(-3000, 0x80000000u), true},
  };
  for (const Case& c : cases) {
    const FastFloat q = c.dividend / c.divisor;
    EXPECT_EQ(fields(q), c.negative ? (Fields{32767, INT32_MIN}) : (Fields{32767, 0x7FFFFFFF}));
    EXPECT_EQ(static_cast<double>(q), c.negative ? -INFINITY : INFINITY);
    FastFloat compound = c.dividend;
    compound /= c.divisor;
    EXPECT_EQ(fields(compound), fields(q));
  }
}

TEST(FastFloatArithmetic, ShiftsScaleByPowersOfTwo) {
  const FastFloat x = of(-3.0);
  const short four = 4, three = 3, ten = 10, twelve = 12, one = 1;
  EXPECT_EQ(static_cast<double>(x << four), -48.0);
  EXPECT_EQ(static_cast<double>(x >> three), -0.375);
  EXPECT_EQ((x << four).mantissa, x.mantissa);
  FastFloat y = x;
  y <<= ten;
  EXPECT_EQ(static_cast<double>(y), -3072.0);
  y >>= twelve;
  EXPECT_EQ(static_cast<double>(y), -0.75);
  // No range check: the exponent wraps in 16 bits.
  EXPECT_EQ((make(32767, 0x40000000u) << one).exponent, -32768);
  EXPECT_EQ((make(-32768, 0x40000000u) >> one).exponent, 32767);
}

TEST(FastFloatFunctions, ThroughDouble) {
  const FastFloat two = of(2.0), half = of(0.5), minusOne = of(-1.0);
  EXPECT_EQ(fields(sqrt(two)), fromDouble(std::sqrt(2.0)));
  EXPECT_EQ(fields(asin(half)), fromDouble(std::asin(0.5)));
  EXPECT_EQ(fields(acos(half)), fromDouble(std::acos(0.5)));
  // atan2 takes (y, x), pow (base, exponent).
  EXPECT_EQ(fields(atan2(minusOne, two)), fromDouble(std::atan2(-1.0, 2.0)));
  EXPECT_EQ(fields(atan2(two, minusOne)), fromDouble(std::atan2(2.0, -1.0)));
  EXPECT_EQ(fields(pow(two, of(10.0))), fromDouble(1024.0));
  EXPECT_EQ(fields(pow(of(10.0), two)), fromDouble(100.0));
  // exp is pow of the stored e.
  EXPECT_EQ(fields(exp(FF_ONE)), fields(E_VALUE));
  EXPECT_EQ(fields(exp(two)), fromDouble(std::pow(static_cast<double>(E_VALUE), 2.0)));
  EXPECT_NEAR(static_cast<double>(exp(half)), std::exp(0.5), 1e-9);
}

}  // namespace
