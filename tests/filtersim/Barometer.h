#pragma once
// A barometer on the simulated body: standard-atmosphere pressure of the true altitude plus
// white noise and a slow drift (weather), sampled at its own rate, with an 8-bit age counter
// like the GNSS receiver's (0 on a new sample, counting samples up to 254 after it, 255 before
// the first). Pressure in Pa, and in the 2-Pa units the GNSS/INS device sends.
#include <cstdint>

#include "filtersim/MotionSimulator.h"
#include "filtersim/NormalSource.h"

namespace filtersim {

struct BarometerConfig {
  double rate = 10.0;              // samples per second
  double sigma = 6.0;              // white noise, Pa (about 0.5 m)
  double drift = 100.0 / 3600.0;   // Pa/s (1 hPa per hour)
  uint64_t seed = 13;
};

class Barometer {
 public:
  explicit Barometer(const BarometerConfig& config);

  // Advances to the sample; true when it carries a new pressure.
  bool update(const Sample& s);
  double pressure() const { return m_pressure; }            // Pa
  double pressureTwoPa() const { return m_pressure / 2.0; }  // units of 2 Pa
  uint8_t age() const { return m_age; }
  // Error of the drift at time t, Pa.
  double driftAt(double t) const { return m_config.drift * t; }

  // Standard atmosphere: p = 101325 (1 - h / 44330)^(1 / 0.1901975534856), and its inverse.
  static double pressureAt(double altitude);
  static double altitudeAt(double pressure);

 private:
  BarometerConfig m_config;
  NormalSource m_noise;
  long m_next = 0;
  double m_pressure = 0.0;
  uint8_t m_age = 255;
};

}  // namespace filtersim
