#ifndef ZDA_MATH_GEOMAG_EARTHMAGMODEL_H
#define ZDA_MATH_GEOMAG_EARTHMAGMODEL_H
// Entry points of the geomagnetic model: the World Magnetic Model chosen for a date, evaluated at a
// geodetic position. Positions hold latitude and longitude in degrees and the height above the
// WGS84 ellipsoid in kilometres. Stateless: callable from any thread.
#include "math/Vector3.h"
#include "math/geomag/EarthMagFieldEstimation.h"
#include "math/geomag/WmmTable.h"

// The date as a decimal year: year + (day of year - 1) / days in the year (Gregorian leap
// years; January and February always divide by 365). A month outside 1..12 counts as January.
double yearReal(int year, int month, int day);

// The model of g_wmmTables for the year: among those whose range holds it the one with the latest
// first year, else the nearest one (earlier entry on ties).
const WmmTable* wmmModelForYear(int year);

// Evaluates the model for the year at yearReal(year, month, day), then applies the options.
void earthMagModel(int year, int month, int day, const zelto::Vector3& position, EarthMagFieldEstimation& result,
                   EarthMagFieldEstimation::Options options);
void earthMagModel(int year, int month, int day, const zelto::Vector3& position, EarthMagFieldEstimation& result);

// Declination and dip angle in degrees. The altitude is in kilometres above the ellipsoid, passed
// through as the position's height.
double estimateDeclination(int year, int month, int day, double latitude, double longitude, double altitude);
double estimateDipAngle(int year, int month, int day, double latitude, double longitude, double altitude);

#endif
