#include "filtersim/Barometer.h"

#include <cmath>

namespace filtersim {

namespace {
constexpr double kExponent = 0.1901975534856;
}

Barometer::Barometer(const BarometerConfig& config) : m_config(config), m_noise(config.seed) {}

double Barometer::pressureAt(double altitude) { return 101325.0 * std::pow(1.0 - altitude / 44330.0, 1.0 / kExponent); }

double Barometer::altitudeAt(double pressure) { return 44330.0 * (1.0 - std::pow(pressure / 101325.0, kExponent)); }

bool Barometer::update(const Sample& s) {
  bool fresh = false;
  while (static_cast<double>(m_next) / m_config.rate <= s.t + 1e-9) {
    ++m_next;
    fresh = true;
  }
  if (fresh) {
    m_pressure = pressureAt(s.latLongAltDeg.z()) + driftAt(s.t) + m_config.sigma * m_noise.normal();
    m_age = 0;
    return true;
  }
  if (m_age < 254) ++m_age;
  return false;
}

}  // namespace filtersim
