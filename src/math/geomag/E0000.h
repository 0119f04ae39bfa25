#ifndef ZDA_MATH_GEOMAG_E0000_H
#define ZDA_MATH_GEOMAG_E0000_H
// Point evaluation of a World Magnetic Model (spherical harmonics of degree and order up to 12).
#include "math/Vector3.h"
#include "math/geomag/WmmTable.h"

class E0000 {
 public:
  // Evaluates model up to maxDegree (1..12; larger values are taken as 12) at position
  // (geodetic latitude and longitude in degrees, height above the WGS84 ellipsoid in km) and
  // decimalYear (extrapolated with the secular variation from the model's first year).
  // Writes the declination (degrees, east positive), the dip angle (degrees, positive down),
  // the total intensity (nT) and the grid variation (degrees; -999 where |latitude| < 55).
  // Works on local arrays only: safe to call from any thread.
  static void run(int maxDegree, const WmmTable* model, const zelto::Vector3& position, double decimalYear,
                  double* declination, double* dip, double* intensity, double* gridVariation);
};

#endif
