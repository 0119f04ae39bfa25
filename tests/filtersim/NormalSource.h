#pragma once
// Reproducible Gaussian numbers: std::mt19937_64 with our own Box-Muller transform, so the
// sequence for a seed is the same with every standard library.
#include <cmath>
#include <cstdint>
#include <random>

namespace filtersim {

class NormalSource {
 public:
  explicit NormalSource(uint64_t seed) : m_rng(seed) {}

  // Uniform in (0, 1): 53 random bits, never 0.
  double uniform() { return (static_cast<double>(m_rng() >> 11) + 0.5) * (1.0 / 9007199254740992.0); }

  double normal() {
    if (m_hasSpare) {
      m_hasSpare = false;
      return m_spare;
    }
    const double r = std::sqrt(-2.0 * std::log(uniform()));
    const double phi = 2.0 * M_PI * uniform();
    m_spare = r * std::sin(phi);
    m_hasSpare = true;
    return r * std::cos(phi);
  }

 private:
  std::mt19937_64 m_rng;
  double m_spare = 0.0;
  bool m_hasSpare = false;
};

}  // namespace filtersim
