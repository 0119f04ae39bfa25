// Comparisons, unary minus and ff_abs: the field-wise ordering must agree with the ordering of the
// values, also on the results of negation (which must keep normal form).
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "FastFloatModel.h"
#include "math/fastfloat/FastFloat.h"

using namespace ffmodel;

namespace {

void expectSameOrder(FastFloat a, FastFloat b) {
  const double da = static_cast<double>(a), db = static_cast<double>(b);
  EXPECT_EQ(a < b, da < db) << da << " " << db;
  EXPECT_EQ(a > b, da > db) << da << " " << db;
  EXPECT_EQ(a <= b, da <= db) << da << " " << db;
  EXPECT_EQ(a >= b, da >= db) << da << " " << db;
  EXPECT_EQ(a == b, da == db) << da << " " << db;
}

TEST(FastFloatOrdering, NegatingPowersOfTwoKeepsNormalForm) {
  struct Case {
    double value;
    int exponent;
    uint32_t mantissa;
  } cases[] = {
      {1.0, 0, 0x80000000u},   // 0x40000000 becomes 0x80000000 one exponent lower
      {-1.0, 1, 0x40000000u},  // and back
      {0.5, -1, 0x80000000u},  {4.0, 2, 0x80000000u}, {1.5, 1, 0xA0000000u}, {-1.5, 1, 0x60000000u},
  };
  for (const Case& c : cases) {
    const FastFloat n = -of(c.value);
    EXPECT_EQ(fields(n), (Fields{c.exponent, static_cast<int32_t>(c.mantissa)})) << c.value;
    EXPECT_EQ(fields(n), fields(of(-c.value))) << c.value;
    EXPECT_TRUE(n == of(-c.value)) << c.value;
    EXPECT_EQ(static_cast<double>(n), -c.value);
  }
  // -(1.0) equals the stored -1.0 and orders below -0.5.
  EXPECT_TRUE(-FF_ONE == of(-1.0));
  EXPECT_TRUE(-FF_ONE < of(-0.5));
  EXPECT_FALSE(-FF_ONE < of(-1.0));
  EXPECT_TRUE(-FF_ONE > of(-1.5));
  EXPECT_TRUE(ff_abs(of(-1.0)) == FF_ONE);
  EXPECT_TRUE(ff_abs(-FF_ONE) == FF_ONE);
  EXPECT_EQ(fields(-of(0.0)), (Fields{0, 0}));
}

TEST(FastFloatOrdering, MatchesDoubleOrdering) {
  std::vector<FastFloat> values;
  for (double d : {0.0, 1.0, -1.0, 0.5, -0.5, 2.0, -2.0, 1.5, -1.5, 3.0, -3.0, 1e-300, -1e-300, 1e300, -1e300,
                   0.75, -0.75, 1.0 + 1e-9, -(1.0 + 1e-9), 4.0, -4.0, 1e-310, -1e-310}) {
    values.push_back(of(d));
  }
  std::mt19937_64 rng(99);
  std::uniform_real_distribution<double> mantissa(-1.0, 1.0);
  std::uniform_int_distribution<int> scale(-40, 40);
  for (int i = 0; i < 300; ++i) values.push_back(of(std::ldexp(mantissa(rng), scale(rng))));
  // Results of negation and ff_abs enter the comparison too.
  const size_t n = values.size();
  for (size_t i = 0; i < n; ++i) {
    values.push_back(-values[i]);
    values.push_back(ff_abs(values[i]));
  }
  for (const FastFloat& v : values) ASSERT_TRUE(v.mantissa == 0 || isNormal(v.mantissa)) << toDouble(v);
  for (const FastFloat& a : values) {
    for (const FastFloat& b : values) expectSameOrder(a, b);
  }
}

TEST(FastFloatOrdering, AbsAndNegationValues) {
  std::mt19937_64 rng(5);
  std::uniform_real_distribution<double> mantissa(-1.0, 1.0);
  for (int i = 0; i < 2000; ++i) {
    const FastFloat x = of(std::ldexp(mantissa(rng), i % 61 - 30));
    const double d = static_cast<double>(x);
    EXPECT_EQ(static_cast<double>(-x), -d);
    EXPECT_EQ(static_cast<double>(ff_abs(x)), std::fabs(d));
    EXPECT_EQ(fields(-(-x)), fields(x));
  }
  // The most negative mantissa at a power of two negates to 0x40000000 one exponent higher.
  EXPECT_EQ(fields(-make(5, 0x80000000u)), (Fields{6, 0x40000000}));
  EXPECT_EQ(fields(ff_abs(make(5, 0x80000000u))), (Fields{6, 0x40000000}));
}

}  // namespace
