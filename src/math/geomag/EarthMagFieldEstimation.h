#ifndef ZDA_MATH_GEOMAG_EARTHMAGFIELDESTIMATION_H
#define ZDA_MATH_GEOMAG_EARTHMAGFIELDESTIMATION_H
// Result of a geomagnetic model evaluation (earthMagModel).
#include "math/Vector3.h"

class EarthMagFieldEstimation {
 public:
  // Bit set of what earthMagModel adds to the four scalar results.
  enum Options : int {
    kNoOptions = 0,
    kFieldVector = 1,          // fill fieldVector
    kNormalizedIntensity = 2,  // intensity divided by kIntensityScale
  };
  static constexpr double kIntensityScale = 48913.0;

  double declination = 0.0;     // degrees, east positive
  double dipAngle = 0.0;        // degrees, positive when the field points down
  double intensity = 0.0;       // nT, or normalised with kNormalizedIntensity
  double gridVariation = 0.0;   // degrees, -999 where |latitude| < 55
  // North, west and up components, in the unit of intensity; a view over three doubles held
  // inside this record.
  zelto::Vector3 fieldVector;
};

constexpr EarthMagFieldEstimation::Options operator|(EarthMagFieldEstimation::Options a,
                                                     EarthMagFieldEstimation::Options b) {
  return static_cast<EarthMagFieldEstimation::Options>(static_cast<int>(a) | static_cast<int>(b));
}

#endif
