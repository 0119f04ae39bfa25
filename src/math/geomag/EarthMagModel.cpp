#include "math/geomag/EarthMagModel.h"

#include <cmath>

#include "math/geomag/E0000.h"
#include "zttypes/ztmath.h"

namespace {

constexpr int kMaxDegree = 12;

bool isLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

}  // namespace

double yearReal(int year, int month, int day) {
  static constexpr int kDaysBefore[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
  if (month < 1 || month > 12) month = 1;
  const bool leap = isLeapYear(year) && month >= 3;
  const int dayOfYear = kDaysBefore[month - 1] + day + (leap ? 1 : 0);
  const double length = leap ? 366.0 : 365.0;
  return static_cast<double>(year) + static_cast<double>(dayOfYear - 1) / length;
}

const WmmTable* wmmModelForYear(int year) {
  const WmmTable* holding = nullptr;
  const WmmTable* nearest = nullptr;
  long nearestDistance = 0;
  for (const WmmTable* t = g_wmmTables; t->rowCount != 0; ++t) {
    if (t->firstYear <= year && year <= t->lastYear) {
      if (holding == nullptr || t->firstYear > holding->firstYear) holding = t;
      continue;
    }
    const long distance = year < t->firstYear ? static_cast<long>(t->firstYear) - year
                                              : static_cast<long>(year) - t->lastYear;
    if (nearest == nullptr || distance < nearestDistance) {
      nearest = t;
      nearestDistance = distance;
    }
  }
  return holding != nullptr ? holding : nearest;
}

void earthMagModel(int year, int month, int day, const zelto::Vector3& position, EarthMagFieldEstimation& result,
                   EarthMagFieldEstimation::Options options) {
  E0000::run(kMaxDegree, wmmModelForYear(year), position, yearReal(year, month, day), &result.declination,
             &result.dipAngle, &result.intensity, &result.gridVariation);
  if (options & EarthMagFieldEstimation::kNormalizedIntensity) {
    result.intensity /= EarthMagFieldEstimation::kIntensityScale;
  }
  if (options & EarthMagFieldEstimation::kFieldVector) {
    const double d = ZtMath_deg2rad(result.declination);
    const double i = ZtMath_deg2rad(result.dipAngle);
    result.fieldVector[0] = std::cos(d) * std::cos(i) * result.intensity;
    result.fieldVector[1] = -std::sin(d) * std::cos(i) * result.intensity;
    result.fieldVector[2] = -std::sin(i) * result.intensity;
  }
}

void earthMagModel(int year, int month, int day, const zelto::Vector3& position, EarthMagFieldEstimation& result) {
  earthMagModel(year, month, day, position, result, EarthMagFieldEstimation::kNoOptions);
}

double estimateDeclination(int year, int month, int day, double latitude, double longitude, double altitude) {
  EarthMagFieldEstimation result;
  earthMagModel(year, month, day, zelto::Vector3(latitude, longitude, altitude), result);
  return result.declination;
}

double estimateDipAngle(int year, int month, int day, double latitude, double longitude, double altitude) {
  EarthMagFieldEstimation result;
  earthMagModel(year, month, day, zelto::Vector3(latitude, longitude, altitude), result);
  return result.dipAngle;
}
