// Scalar helpers of the numeric base: clamped inverse trigonometry, the series branches of the
// sinc family, fuzzy and ULP comparison.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <new>

#include "math/MathBase.h"

using namespace zelto;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(MathBase, ClampedInverseTrigonometry) {
  struct Case {
    double (*f)(double);
    double x;
    double expected;
  } cases[] = {
      {asinClamped, -1.0, -1.570796326794897},  {asinClamped, -7.0, -1.570796326794897},
      {asinClamped, 1.0, 1.570796326794897},    {asinClamped, 0.5, std::asin(0.5)},
      {acosClamped, 1.0000001, 0.0},            {acosClamped, -1.0, 3.141592653589793},
      {acosClamped, 0.25, std::acos(0.25)},
  };
  for (const Case& c : cases) EXPECT_EQ(c.f(c.x), c.expected) << c.x;
  // The limits are deliberately two ulps beyond the doubles nearest +-pi/2.
  EXPECT_EQ(ulpDiff(asinClamped(1.0), std::asin(1.0)), 2u);
  EXPECT_TRUE(std::isnan(asinClamped(kNaN)));
  EXPECT_TRUE(std::isnan(acosClamped(kNaN)));
}

TEST(MathBase, SincFamilySeriesBranches) {
  const double sixth = 0.16666666666666666;
  struct Case {
    double (*f)(double);
    double x;
    double expected;
  } cases[] = {
      {sinc, 0.0, 1.0},
      {sinc, 0.0004, 1.0 - 0.0004 * 0.0004 * sixth},  // the series still applies at the threshold
      {sinc, 0.0005, std::sin(0.0005) / 0.0005},
      {asinc, 0.0002, 1.0 + 0.0002 * 0.0002 * sixth},
      {asinc, 0.5, std::asin(0.5) / 0.5},
      {asincInv, 1.0, 0.6366197723675814},
      {asincInv, -3.0, 0.6366197723675814},
      {asincInv, 0.0, 1.0},
      {asincInv, 0.00026, 1.0 - 0.00026 * 0.00026 * sixth},
      {asincInv, 0.5, 0.5 / std::asin(0.5)},
  };
  for (const Case& c : cases) EXPECT_EQ(c.f(c.x), c.expected) << c.x;
  // NaN fails the threshold comparison and takes the series branch.
  EXPECT_TRUE(std::isnan(sinc(kNaN)));
  EXPECT_EQ(sq(-3.0), 9.0);
  EXPECT_EQ(interpolate(0.25, 4.0, 8.0), 7.0);
}

TEST(MathBase, FuzzyAndUlpComparison) {
  const double above1 = std::nextafter(1.0, 2.0);
  EXPECT_FALSE(fuzzyCompare(0.0, 1e-300));
  EXPECT_TRUE(fuzzyCompare(0.0, 0.0));
  EXPECT_FALSE(fuzzyCompare(1.0, above1));  // 2.2e-16 exceeds 1e-16
  // Relative to the first argument only.
  EXPECT_TRUE(fuzzyCompare(1e300, 1e300 * (1 + 1e-17)));
  EXPECT_TRUE(fuzzyCompare(1.0, 1.5, 0.5));
  EXPECT_FALSE(fuzzyCompare(1.0, 1.5, 0.4999));

  EXPECT_EQ(ulpDiff(0.0, -0.0), 0u);
  EXPECT_EQ(ulpDiff(1.0, above1), 1u);
  EXPECT_EQ(ulpDiff(above1, 1.0), 1u);
  // Patterns of opposite sign: the distance does not overflow.
  const double big = std::numeric_limits<double>::max();
  EXPECT_EQ(ulpDiff(big, -big), 0x8000000000000000ull);
  EXPECT_TRUE(ulpCompare(1.0, above1, 1));
  EXPECT_FALSE(ulpCompare(1.0, std::nextafter(above1, 2.0), 1));
  // A NaN is never == but its bit pattern is compared.
  EXPECT_TRUE(ulpCompare(kNaN, kNaN, 0));
  EXPECT_FALSE(ulpCompare(kNaN, 1.0, 1000));
}

TEST(MathBase, MallocThrowsBadAlloc) {
  void* p = zeltoMathMalloc(64);
  ASSERT_NE(p, nullptr);
  std::free(p);
#ifndef ZDA_UNDER_SANITIZER  // the sanitizer allocator aborts on absurd sizes instead of failing
  EXPECT_THROW(zeltoMathMalloc(std::numeric_limits<size_t>::max() / 2), std::bad_alloc);
#endif
}

}  // namespace
