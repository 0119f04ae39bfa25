#include "otherdevices/busmaster/ZmBatteryLevelConverter.h"

#include <cmath>

#include "zttypes/ztmath.h"

namespace {

// Coefficients of the discharge curve, highest power (10) first.
constexpr double kCoefficients[] = {-1.235969980269483e-15, 5.510284368506528e-13, -1.030075065919878e-10,
                                    1.041978803707255e-08,  -6.094294487745562e-07, 1.980710409560254e-05,
                                    -0.0002533370533077678, -0.004779292616246,     0.248188382103304,
                                    -4.273709162854967,     147.2407884800359};

double polynomial(double x) {
  double p = 0.0;
  for (double c : kCoefficients) p = p * x + c;
  return p;
}

int levelOf(double index) {
  const long level = ZtMath_doubleToLong(index * 100.0 / 101.0);
  return level < 1 ? 1 : static_cast<int>(level);
}

}  // namespace

ZmBatteryLevelConverter::ZmBatteryLevelConverter()
    : m_curve(kPoints), m_differences(kPoints - 1), m_rawValues(kPoints) {
  for (int i = 0; i < kPoints; ++i) m_curve.data[i] = polynomial(i);
  for (int i = 1; i < kPoints; ++i) m_differences.data[i - 1] = m_curve.data[i] - m_curve.data[i - 1];
  for (int k = 0; k < kPoints; ++k)
    m_rawValues.append(static_cast<unsigned>(std::floor(m_curve.data[kPoints - 1 - k] + 0.5)));
}

ZmBatteryLevelConverter::~ZmBatteryLevelConverter() = default;

int ZmBatteryLevelConverter::indexOf(unsigned value) const {
  const int n = static_cast<int>(m_rawValues.count());
  if (n > 9) {
    int low = 0, high = n - 1;
    while (low <= high) {
      const int middle = low + (high - low) / 2;
      const unsigned v = m_rawValues[static_cast<uint32_t>(middle)];
      if (v == value) return middle;
      if (v < value)
        low = middle + 1;
      else
        high = middle - 1;
    }
    return -1;
  }
  for (int i = 0; i < n; ++i)
    if (m_rawValues[static_cast<uint32_t>(i)] == value) return i;
  return -1;
}

int ZmBatteryLevelConverter::level(unsigned raw) const {
  const uint32_t n = m_rawValues.count();
  if (n == 0) return 1;
  const int exact = indexOf(raw);
  if (exact >= 0) return levelOf(exact);
  if (raw <= m_rawValues[0]) return 1;
  if (raw > m_rawValues[n - 1]) return 100;
  // Between two listed values: both exist, the list being ascending with r inside its range.
  unsigned lo = raw - 1;
  while (indexOf(lo) < 0) --lo;
  unsigned hi = raw + 1;
  while (indexOf(hi) < 0) ++hi;
  const int il = indexOf(lo);
  const int ih = indexOf(hi);
  const double t = static_cast<double>(raw - lo) / static_cast<double>(hi - lo);
  return levelOf(t * (ih - il) + il);
}
