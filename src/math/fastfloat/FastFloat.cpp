#include "math/fastfloat/FastFloat.h"

#include <climits>
#include <cmath>
#include <cstring>

namespace {

constexpr uint32_t kBit30 = 0x40000000u;
constexpr uint32_t kSignBit = 0x80000000u;

// Stored exponents wrap in 16 bits.
int16_t wrapExponent(int e) { return static_cast<int16_t>(static_cast<uint16_t>(static_cast<unsigned>(e))); }

// Normal form of a non-zero mantissa with the exponent widened, so that nothing wraps; the
// value is unchanged.
struct Wide {
  int exponent;
  uint32_t mantissa;  // bit pattern
  bool negative() const { return (mantissa & kSignBit) != 0; }
};

Wide widen(FastFloat x) {
  Wide w{x.exponent, static_cast<uint32_t>(x.mantissa)};
  if (w.mantissa == 0) return w;
  while (((w.mantissa >> 30) & 1u) == ((w.mantissa >> 31) & 1u)) {
    w.mantissa <<= 1;
    --w.exponent;
  }
  return w;
}

// Magnitude of a normal-form mantissa as a value in [2^30, 2^31) at exponent *e.
uint32_t magnitude(uint32_t mantissa, int* e) {
  if ((mantissa & kSignBit) == 0) return mantissa;
  uint32_t m = 0u - mantissa;
  if (m == kSignBit) {
    m = kBit30;
    ++*e;
  }
  return m;
}

FastFloat fromDouble(double d) {
  FastFloat r;
  r = d;
  return r;
}

// Exponent/mantissa tests of the trigonometric reductions on a non-negative normal value.
bool above(FastFloat x, int exponent, uint32_t mantissa) {
  return x.exponent > exponent || (x.exponent == exponent && static_cast<uint32_t>(x.mantissa) > mantissa);
}

}  // namespace

FastFloat& FastFloat::operator=(double value) {
  uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  const bool negative = (bits >> 63) != 0;
  const unsigned biased = static_cast<unsigned>((bits >> 52) & 0x7FFu);
  const uint64_t fraction = bits & ((uint64_t{1} << 52) - 1);
  int e;
  uint32_t m;
  bool roundUp;
  if (biased != 0) {
    e = static_cast<int>(biased) - 1022;
    m = kBit30 | static_cast<uint32_t>(fraction >> 22);
    roundUp = ((fraction >> 21) & 1u) != 0;
  } else if ((fraction >> 20) != 0) {
    e = -1022;
    m = static_cast<uint32_t>(fraction >> 21);
    roundUp = ((fraction >> 20) & 1u) != 0;
  } else {
    exponent = 0;
    mantissa = 0;
    return *this;
  }
  if (roundUp) {
    if (m < 0x7FFFFFFFu) {
      ++m;
    } else {
      m = kBit30;
      ++e;
    }
  }
  if (negative) {
    m = 0u - m;
    while ((m & kBit30) != 0) {
      m <<= 1;
      --e;
    }
  } else {
    while (m != 0 && (m & kBit30) == 0) {
      m <<= 1;
      --e;
    }
  }
  exponent = static_cast<int16_t>(e);
  mantissa = static_cast<int32_t>(m);
  return *this;
}

FastFloat::operator double() const {
  if (mantissa == 0) return 0.0;
  const Wide w = widen(*this);
  int e = w.exponent;
  const uint32_t mag = magnitude(w.mantissa, &e);
  const uint64_t sign = w.negative() ? (uint64_t{1} << 63) : 0;
  const long b = static_cast<long>(e) + 1022;
  uint64_t bits;
  if (b > 2046) {
    bits = sign | (uint64_t{0x7FF} << 52);
  } else if (b >= 1) {
    bits = sign | (static_cast<uint64_t>(b) << 52) | (static_cast<uint64_t>(mag & (kBit30 - 1)) << 22);
  } else {
    const long shift = b + 21;  // <= 21
    uint64_t f;
    if (shift >= 0) {
      f = static_cast<uint64_t>(mag) << shift;
    } else {
      f = -shift >= 32 ? 0 : static_cast<uint64_t>(mag >> -shift);
    }
    bits = sign | f;
  }
  double d;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}

FastFloat& FastFloat::operator=(int value) {
  if (value == 0) {
    exponent = 0;
    mantissa = 0;
    return *this;
  }
  FastFloat v(31, static_cast<uint32_t>(value));
  *this = normalize(v);
  return *this;
}

FastFloat::operator int() const {
  if (mantissa == 0) return 0;
  const Wide w = widen(*this);
  if (w.exponent > 31) return w.negative() ? INT_MIN : INT_MAX;
  if (w.exponent == 31) return static_cast<int32_t>(w.mantissa);
  int e = w.exponent;
  const uint32_t mag = magnitude(w.mantissa, &e);
  const int shift = 31 - e;  // >= 0; e may have grown to 31 only for 0x80000000 at 30
  if (shift >= 32) return 0;
  const int64_t t = static_cast<int64_t>(mag >> shift);
  return static_cast<int>(w.negative() ? -t : t);
}

FastFloat& FastFloat::operator+=(FastFloat rhs) { return *this = *this + rhs; }
FastFloat& FastFloat::operator-=(FastFloat rhs) { return *this = *this - rhs; }
FastFloat& FastFloat::operator*=(FastFloat rhs) { return *this = *this * rhs; }
FastFloat& FastFloat::operator/=(FastFloat rhs) { return *this = *this / rhs; }
FastFloat& FastFloat::operator<<=(short n) { return *this = *this << n; }
FastFloat& FastFloat::operator>>=(short n) { return *this = *this >> n; }

FastFloat operator+(FastFloat a, FastFloat b) { return fromDouble(static_cast<double>(a) + static_cast<double>(b)); }
FastFloat operator-(FastFloat a, FastFloat b) { return fromDouble(static_cast<double>(a) - static_cast<double>(b)); }
FastFloat operator*(FastFloat a, FastFloat b) { return fromDouble(static_cast<double>(a) * static_cast<double>(b)); }

FastFloat operator/(FastFloat a, FastFloat b) {
  const double dividend = static_cast<double>(a);
  const double divisor = static_cast<double>(b);
  if (divisor == 0.0) return dividend >= 0.0 ? FastFloat::largest() : FastFloat::largestNegative();
  return fromDouble(dividend / divisor);
}

FastFloat operator<<(FastFloat x, short n) {
  x.exponent = wrapExponent(x.exponent + n);
  return x;
}

FastFloat operator>>(FastFloat x, short n) {
  x.exponent = wrapExponent(x.exponent - n);
  return x;
}

bool operator<(FastFloat a, FastFloat b) {
  const int32_t am = a.mantissa;
  const int32_t bm = b.mantissa;
  if (am == 0) return bm > 0;
  if (bm == 0) return am < 0;
  if ((am < 0) != (bm < 0)) return am < 0;
  if (a.exponent != b.exponent) return am > 0 ? a.exponent < b.exponent : a.exponent > b.exponent;
  return am < bm;
}

bool operator>(FastFloat a, FastFloat b) { return b < a; }
bool operator==(FastFloat a, FastFloat b) { return a.exponent == b.exponent && a.mantissa == b.mantissa; }
bool operator<=(FastFloat a, FastFloat b) { return a == b || a < b; }
bool operator>=(FastFloat a, FastFloat b) { return a == b || b < a; }

FastFloat operator-(FastFloat x) {
  const uint32_t m = static_cast<uint32_t>(x.mantissa);
  if (m == kSignBit) return FastFloat(wrapExponent(x.exponent + 1), kBit30);
  if (m == kBit30) return FastFloat(wrapExponent(x.exponent - 1), kSignBit);
  return FastFloat(x.exponent, 0u - m);
}

FastFloat ff_abs(FastFloat x) { return x.mantissa < 0 ? -x : x; }

FastFloat normalize(FastFloat x) {
  uint32_t m = static_cast<uint32_t>(x.mantissa);
  if (m == 0) return FastFloat(0, 0u);
  int16_t e = x.exponent;
  while (((m >> 30) & 1u) == ((m >> 31) & 1u)) {
    m <<= 1;
    e = wrapExponent(e - 1);
  }
  return FastFloat(e, m);
}

FastFloat frac(FastFloat x) {
  if (x.mantissa == 0) return x;
  const Wide w = widen(x);
  // Magnitude below 1: a positive normal value at exponent <= 0, a negative one below 0 or at 0
  // with a mantissa other than 0x80000000 (which is -1 exactly).
  if (w.exponent < 0 || (w.exponent == 0 && w.mantissa != kSignBit)) return x;
  if (w.exponent > 31) return FastFloat(0, 0u);
  uint32_t m = w.mantissa << w.exponent;  // the integer bits leave at the top
  if ((m & ~kSignBit) == 0) return FastFloat(0, 0u);  // an integer
  m = w.negative() ? (m | kSignBit) : (m & ~kSignBit);
  return normalize(FastFloat(0, m));
}

FastFloat mod2pi(FastFloat x) { return frac(x * FF_INV2PI) * FF_2PI; }

int round(FastFloat x) {
  const FastFloat r = x.mantissa >= 0 ? x + halfFF : x - halfFF;
  return static_cast<int>(r);
}

namespace {

// Exponent steps of the squares in the double- and triple-angle formulas.
constexpr short kTimes2 = 1;
constexpr short kTimes4 = 2;

// sin(x/9) for 0 <= x <= pi/2, then the triple-angle formula twice.
FastFloat sinQuadrant(FastFloat x) {
  static constexpr FastFloat kC5(-6, 0x43FCB096u);
  static constexpr FastFloat kC4(-16, 0x49CBA895u);
  static constexpr FastFloat kC3(-2, 0xAAAA8D95u);
  static constexpr FastFloat kC2(-24, 0x4BAF1850u);
  static constexpr FastFloat kC1(0, 0x7FFFFFFFu);
  static constexpr FastFloat kC0(-56, 0x67F34EB6u);
  const FastFloat y = x * FF_INV9;
  FastFloat p = kC5 * y + kC4;
  p = p * y + kC3;
  p = p * y + kC2;
  p = p * y + kC1;
  p = p * y + kC0;
  const FastFloat t = p * (FF_3 - ((p * p) << kTimes4));
  return t * (FF_3 - ((t * t) << kTimes4));
}

// sin(x/2) for 0 <= x <= pi/2.
FastFloat sinHalf(FastFloat x) {
  static constexpr FastFloat kCoefficients[] = {
      FastFloat(-12, 0xA051F7EBu), FastFloat(-15, 0x8F8C89B8u), FastFloat(-6, 0x446DB1D9u),
      FastFloat(-17, 0x80C96E5Au), FastFloat(-2, 0xAAAADDA2u),  FastFloat(-22, 0xB3A03295u),
      FastFloat(1, 0x40000005u),   FastFloat(-52, 0x4F7313EAu),
  };
  const FastFloat y = x * FF_INV2;
  FastFloat p = kCoefficients[0];
  for (size_t i = 1; i < sizeof kCoefficients / sizeof kCoefficients[0]; ++i) p = p * y + kCoefficients[i];
  return p;
}

// |x| in normal form (for a pattern that was not, its value).
FastFloat absNormal(FastFloat x) { return ff_abs(normalize(x)); }

}  // namespace

FastFloat sin(FastFloat x) {
  bool negate = x.mantissa < 0;
  x = absNormal(x);
  if (above(x, 3, 0x6487ED51u)) x = mod2pi(x);
  if (x.exponent >= 3 || above(x, 2, 0x6487ED51u)) {
    x = FF_2PI - x;
    negate = !negate;
  }
  if (x.exponent >= 2 || above(x, 1, 0x6487ED51u)) x = FF_PI - x;
  const FastFloat s = sinQuadrant(x);
  return negate ? -s : s;
}

FastFloat cos(FastFloat x) {
  bool negate = false;
  x = absNormal(x);
  if (above(x, 3, 0x6487ED51u)) x = mod2pi(x);
  if (x.exponent >= 3 || above(x, 2, 0x6487ED51u)) x = FF_2PI - x;
  if (x.exponent >= 2 || above(x, 1, 0x6487ED51u)) {
    x = FF_PI - x;
    negate = true;
  }
  const FastFloat p = sinHalf(x);
  const FastFloat c = FF_ONE - ((p * p) << kTimes2);
  return negate ? -c : c;
}

FastFloat sqrt(FastFloat x) { return fromDouble(std::sqrt(static_cast<double>(x))); }
FastFloat asin(FastFloat x) { return fromDouble(std::asin(static_cast<double>(x))); }
FastFloat acos(FastFloat x) { return fromDouble(std::acos(static_cast<double>(x))); }
FastFloat atan2(FastFloat y, FastFloat x) { return fromDouble(std::atan2(static_cast<double>(y), static_cast<double>(x))); }
FastFloat pow(FastFloat base, FastFloat exponent) {
  return fromDouble(std::pow(static_cast<double>(base), static_cast<double>(exponent)));
}
FastFloat exp(FastFloat x) { return pow(E_VALUE, x); }
