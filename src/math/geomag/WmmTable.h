#ifndef ZDA_MATH_GEOMAG_WMMTABLE_H
#define ZDA_MATH_GEOMAG_WMMTABLE_H
// Built-in World Magnetic Model coefficient sets (read-only data). The coefficient arrays are
// generated at build time from the published coefficient files (data/wmm, WmmTables.cmake).
#include <cstdint>

// One (n, m) pair of a model: Schmidt semi-normalised Gauss coefficients in nT and their secular
// variation in nT per year; h and hdot are 0 for m = 0.
struct WmmCoefficient {
  uint8_t n;  // degree 1..12
  uint8_t m;  // order 0..n
  double g;
  double h;
  double gdot;
  double hdot;
};

// A model: its rows, valid from the epoch (firstYear) to lastYear. A rowCount of 0 ends a list.
struct WmmTable {
  int32_t rowCount;
  int32_t firstYear;
  int32_t lastYear;
  const WmmCoefficient* rows;
};

// WMM2005 and WMM2010, 90 rows each in the published order (n = 1..12, m = 0..n).
extern const WmmCoefficient g_wmmTable20052010[90];
extern const WmmCoefficient g_wmmTable20102015[90];

// The models the library chooses from: WMM2005, WMM2010, then the end entry.
extern const WmmTable g_wmmTables[3];

#endif
