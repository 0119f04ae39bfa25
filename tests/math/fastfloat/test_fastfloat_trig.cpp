// The format's own sine and cosine against the double functions.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>

#include "FastFloatModel.h"
#include "math/fastfloat/FastFloat.h"

using namespace ffmodel;

namespace {

struct Errors {
  double sin = 0.0;
  double cos = 0.0;
};

// Largest errors over a grid and random points in [-limit, limit]; the reference is the double
// function at the stored argument.
Errors maxErrors(double limit) {
  Errors e;
  auto probe = [&](double d) {
    const FastFloat x = of(d);
    const double xd = static_cast<double>(x);
    e.sin = std::max(e.sin, std::fabs(static_cast<double>(sin(x)) - std::sin(xd)));
    e.cos = std::max(e.cos, std::fabs(static_cast<double>(cos(x)) - std::cos(xd)));
  };
  for (int i = -20000; i <= 20000; ++i) probe(limit * i / 20000.0);
  std::mt19937_64 rng(31);
  std::uniform_real_distribution<double> any(-limit, limit);
  for (int i = 0; i < 40000; ++i) probe(any(rng));
  return e;
}

TEST(FastFloatTrig, AccuracyWithinTwoPi) {
  const Errors e = maxErrors(2.0 * M_PI);
  EXPECT_LE(e.sin, 2.5e-9);
  EXPECT_LE(e.cos, 2.5e-9);
  char measured[64];
  std::snprintf(measured, sizeof measured, "%.3g / %.3g", e.sin, e.cos);
  RecordProperty("sinCosMaxError", measured);
}

TEST(FastFloatTrig, AccuracyUpToTwenty) {
  // The reduction multiplies by a 31-bit 1/(2 pi): the error grows with |x|.
  const Errors e = maxErrors(20.0);
  EXPECT_LE(e.sin, 1.5e-8);
  EXPECT_LE(e.cos, 1.5e-8);
}

TEST(FastFloatTrig, QuadrantPointsAndSymmetry) {
  const double points[] = {0.0, M_PI / 2, M_PI, 3 * M_PI / 2, 2 * M_PI, 0.1, 1.0, 2.0, 4.0, 5.5, 6.2, 7.0, 13.0};
  for (double p : points) {
    for (double d : {p, -p}) {
      const FastFloat x = of(d);
      EXPECT_NEAR(static_cast<double>(sin(x)), std::sin(static_cast<double>(x)), 2.5e-9) << d;
      EXPECT_NEAR(static_cast<double>(cos(x)), std::cos(static_cast<double>(x)), 2.5e-9) << d;
    }
    // sin is odd (away from 0, which stores unsigned) and cos even, to the bit.
    if (p != 0.0) {
      EXPECT_TRUE(sin(of(-p)) == -sin(of(p))) << p;
    }
    EXPECT_TRUE(cos(of(-p)) == cos(of(p))) << p;
  }
  // Results are in normal form, so they compare with stored values.
  EXPECT_TRUE(cos(of(M_PI)) < of(-0.999999));
  EXPECT_TRUE(sin(of(-M_PI / 2)) < of(-0.999999));
  EXPECT_TRUE(isNormal(sin(of(-M_PI / 2)).mantissa));
  EXPECT_TRUE(isNormal(cos(of(M_PI)).mantissa));
}

TEST(FastFloatTrig, Mod2pi) {
  for (double d : {7.0, -7.0, 100.0, -100.0, 1.0, -1.0, 6.0}) {
    const FastFloat r = mod2pi(of(d));
    const double expected = std::fmod(static_cast<double>(of(d)), 2 * M_PI);
    EXPECT_NEAR(static_cast<double>(r), expected, 1e-7) << d;
  }
}

}  // namespace
