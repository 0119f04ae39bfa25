// Entry points of the geomagnetic model: decimal years, the choice of model, the options, the grid
// variation rule, poles and the altitude unit of estimateDeclination.
#include <gtest/gtest.h>

#include <cmath>

#include "math/Vector3.h"
#include "math/geomag/E0000.h"
#include "math/geomag/EarthMagModel.h"
#include "math/geomag/WmmTable.h"
#include "zttypes/ztmath.h"

namespace {

struct Evaluation {
  double declination, dip, intensity, gridVariation;
};

Evaluation run(const WmmTable* model, double year, double lat, double lon, double heightKm) {
  Evaluation r;
  E0000::run(12, model, zelto::Vector3(lat, lon, heightKm), year, &r.declination, &r.dip, &r.intensity,
             &r.gridVariation);
  return r;
}

TEST(GeomagModel, YearReal) {
  struct Case {
    int year, month, day;
    double expected;
  } cases[] = {
      {2009, 1, 1, 2009.0},
      {2009, 3, 1, 2009 + 59.0 / 365},
      {2008, 3, 1, 2008 + 60.0 / 366},
      {2008, 2, 29, 2008 + 59.0 / 365},  // February divides by 365 even in a leap year
      {2000, 12, 31, 2000 + 365.0 / 366},
      {2100, 3, 1, 2100 + 59.0 / 365},  // not a leap year
      {2009, 12, 31, 2009 + 364.0 / 365},
      {2009, 0, 5, 2009 + 4.0 / 365},   // months outside 1..12 count as January
      {2009, 13, 5, 2009 + 4.0 / 365},
      {2009, -7, 1, 2009.0},
  };
  for (const Case& c : cases) EXPECT_EQ(yearReal(c.year, c.month, c.day), c.expected) << c.year << "-" << c.month << "-" << c.day;
}

TEST(GeomagModel, ModelList) {
  ASSERT_EQ(g_wmmTables[0].rowCount, 90);
  EXPECT_EQ(g_wmmTables[0].firstYear, 2005);
  EXPECT_EQ(g_wmmTables[0].lastYear, 2010);
  EXPECT_EQ(g_wmmTables[0].rows, g_wmmTable20052010);
  ASSERT_EQ(g_wmmTables[1].rowCount, 90);
  EXPECT_EQ(g_wmmTables[1].firstYear, 2010);
  EXPECT_EQ(g_wmmTables[1].lastYear, 2015);
  EXPECT_EQ(g_wmmTables[1].rows, g_wmmTable20102015);
  EXPECT_EQ(g_wmmTables[2].rowCount, 0);
}

TEST(GeomagModel, ChoiceOfModel) {
  const WmmTable* wmm2005 = &g_wmmTables[0];
  const WmmTable* wmm2010 = &g_wmmTables[1];
  struct Case {
    int year;
    const WmmTable* expected;
  } cases[] = {
      {2010, wmm2010},  // both ranges hold it: the later first year wins
      {2007, wmm2005}, {2005, wmm2005}, {2004, wmm2005}, {1900, wmm2005},  // nearest
      {2015, wmm2010}, {2020, wmm2010}, {2100, wmm2010}, {2012, wmm2010},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(wmmModelForYear(c.year), c.expected) << c.year;
    // earthMagModel evaluates that model at the decimal year.
    EarthMagFieldEstimation result;
    earthMagModel(c.year, 7, 2, zelto::Vector3(45.0, 10.0, 0.2), result);
    const Evaluation expected = run(c.expected, yearReal(c.year, 7, 2), 45.0, 10.0, 0.2);
    EXPECT_EQ(result.declination, expected.declination) << c.year;
    EXPECT_EQ(result.dipAngle, expected.dip) << c.year;
    EXPECT_EQ(result.intensity, expected.intensity) << c.year;
    EXPECT_EQ(result.gridVariation, -999.0) << c.year;
  }
  // The two models differ at their common year, so the choice is visible in the results.
  EXPECT_NE(run(wmm2005, 2010.0, 45.0, 10.0, 0.0).declination, run(wmm2010, 2010.0, 45.0, 10.0, 0.0).declination);
}

TEST(GeomagModel, Options) {
  const zelto::Vector3 position(48.0, 11.5, 0.5);
  EarthMagFieldEstimation plain;
  earthMagModel(2012, 5, 17, position, plain);

  EarthMagFieldEstimation both;
  both.fieldVector[0] = both.fieldVector[1] = both.fieldVector[2] = 123.0;
  earthMagModel(2012, 5, 17, position, both, EarthMagFieldEstimation::Options(3));
  EXPECT_EQ(both.declination, plain.declination);
  EXPECT_EQ(both.dipAngle, plain.dipAngle);
  EXPECT_DOUBLE_EQ(both.intensity, plain.intensity / 48913.0);
  const double d = ZtMath_deg2rad(plain.declination), i = ZtMath_deg2rad(plain.dipAngle);
  const double scale = plain.intensity / 48913.0;
  EXPECT_NEAR(both.fieldVector[0], std::cos(d) * std::cos(i) * scale, 1e-15);   // north
  EXPECT_NEAR(both.fieldVector[1], -std::sin(d) * std::cos(i) * scale, 1e-15);  // west
  EXPECT_NEAR(both.fieldVector[2], -std::sin(i) * scale, 1e-15);                // up
  const double length = std::sqrt(both.fieldVector[0] * both.fieldVector[0] + both.fieldVector[1] * both.fieldVector[1] +
                                  both.fieldVector[2] * both.fieldVector[2]);
  EXPECT_NEAR(length, both.intensity, 1e-14);
  // Down-pointing field in the northern hemisphere: the up component is negative.
  EXPECT_LT(both.fieldVector[2], 0.0);

  // Option 1 alone: the vector in nT.
  EarthMagFieldEstimation vector;
  earthMagModel(2012, 5, 17, position, vector, EarthMagFieldEstimation::kFieldVector);
  EXPECT_EQ(vector.intensity, plain.intensity);
  EXPECT_NEAR(vector.fieldVector[2], -std::sin(i) * plain.intensity, 1e-9);
  // Without option 1 the vector is untouched.
  EarthMagFieldEstimation normalised;
  normalised.fieldVector[0] = 7.0;
  earthMagModel(2012, 5, 17, position, normalised, EarthMagFieldEstimation::kNormalizedIntensity);
  EXPECT_EQ(normalised.fieldVector[0], 7.0);
  EXPECT_EQ(normalised.intensity, plain.intensity / 48913.0);
}

TEST(GeomagModel, FieldVectorViewsTheRecord) {
  EarthMagFieldEstimation a;
  earthMagModel(2011, 1, 1, zelto::Vector3(10.0, 20.0, 0.0), a, EarthMagFieldEstimation::kFieldVector);
  const auto* begin = reinterpret_cast<const char*>(&a);
  const auto* data = reinterpret_cast<const char*>(a.fieldVector.data);
  EXPECT_GE(data, begin);
  EXPECT_LE(data + 3 * sizeof(double), begin + sizeof a);
  EXPECT_EQ(a.fieldVector.size, 3u);
  // A copy views its own storage.
  EarthMagFieldEstimation b = a;
  EXPECT_NE(b.fieldVector.data, a.fieldVector.data);
  EXPECT_EQ(b.fieldVector[1], a.fieldVector[1]);
}

TEST(GeomagModel, GridVariation) {
  const WmmTable* m = &g_wmmTables[1];
  struct Case {
    double lat, lon;
    double offset;  // expected gridVariation - declination, before wrapping
    bool defined;
  } cases[] = {
      {54.9, 10.0, 0, false}, {-54.9, 10.0, 0, false}, {0.0, 0.0, 0, false},
      {60.0, 10.0, -10.0, true},  {60.0, -10.0, 10.0, true},    {55.0, 100.0, -100.0, true},
      {-60.0, 10.0, 10.0, true},  {-60.0, -10.0, -10.0, true},  {-55.0, 150.0, 150.0, true},
      {70.0, -170.0, 170.0, true}, {-70.0, -170.0, -170.0, true},
  };
  for (const Case& c : cases) {
    const Evaluation r = run(m, 2012.0, c.lat, c.lon, 0.0);
    if (!c.defined) {
      EXPECT_EQ(r.gridVariation, -999.0) << c.lat;
      continue;
    }
    double expected = r.declination + c.offset;
    if (expected > 180.0) expected -= 360.0;
    if (expected < -180.0) expected += 360.0;
    EXPECT_DOUBLE_EQ(r.gridVariation, expected) << c.lat << " " << c.lon;
    EXPECT_LE(std::fabs(r.gridVariation), 180.0);
  }
}

TEST(GeomagModel, PolesGiveFiniteResults) {
  for (double lat : {90.0, -90.0, 89.999999, -89.999999}) {
    for (double lon : {0.0, 45.0, -120.0}) {
      for (double h : {0.0, 50.0}) {
        const Evaluation r = run(&g_wmmTables[1], 2012.5, lat, lon, h);
        EXPECT_TRUE(std::isfinite(r.declination)) << lat << " " << lon;
        EXPECT_TRUE(std::isfinite(r.dip)) << lat << " " << lon;
        EXPECT_TRUE(std::isfinite(r.intensity)) << lat << " " << lon;
        EXPECT_TRUE(std::isfinite(r.gridVariation)) << lat << " " << lon;
        // Near the geographic poles the field is steep and between 50000 and 70000 nT.
        EXPECT_GT(std::fabs(r.dip), 60.0);
        EXPECT_GT(r.intensity, 50000.0);
        EXPECT_LT(r.intensity, 70000.0);
      }
    }
  }
  // The pole branch joins the general one continuously.
  const Evaluation pole = run(&g_wmmTables[1], 2012.5, 90.0, 0.0, 0.0);
  const Evaluation near = run(&g_wmmTables[1], 2012.5, 89.9999, 0.0, 0.0);
  EXPECT_NEAR(pole.intensity, near.intensity, 1.0);
  EXPECT_NEAR(pole.dip, near.dip, 0.01);
}

TEST(GeomagModel, DegreeBeyondTheTablesIsBounded) {
  // The evaluator's arrays hold degrees up to 12: a larger maximum degree evaluates degree 12.
  double d12, i12, f12, g12, d, i, f, g;
  const zelto::Vector3 position(30.0, -100.0, 1.0);
  E0000::run(12, &g_wmmTables[1], position, 2011.0, &d12, &i12, &f12, &g12);
  E0000::run(40, &g_wmmTables[1], position, 2011.0, &d, &i, &f, &g);
  EXPECT_EQ(d, d12);
  EXPECT_EQ(f, f12);
  // A lower degree truncates the expansion: the dipole alone differs by hundreds of nT.
  E0000::run(1, &g_wmmTables[1], position, 2011.0, &d, &i, &f, &g);
  EXPECT_GT(std::fabs(f - f12), 100.0);
  E0000::run(-3, &g_wmmTables[1], position, 2011.0, &d, &i, &f, &g);
  EXPECT_TRUE(std::isfinite(f));
}

TEST(GeomagModel, EstimatesTakeTheAltitudeInKilometres) {
  // The altitude is passed through as the position's height, which the model reads in km.
  const double lat = 47.3, lon = 8.5;
  for (double altitude : {0.0, 0.4, 100.0}) {
    EarthMagFieldEstimation r;
    earthMagModel(2013, 6, 1, zelto::Vector3(lat, lon, altitude), r);
    EXPECT_EQ(estimateDeclination(2013, 6, 1, lat, lon, altitude), r.declination) << altitude;
    EXPECT_EQ(estimateDipAngle(2013, 6, 1, lat, lon, altitude), r.dipAngle) << altitude;
  }
  // 400 (metres, if it were) and 0.4 (km) differ measurably: 400 km changes the dip angle.
  EXPECT_GT(std::fabs(estimateDipAngle(2013, 6, 1, lat, lon, 400.0) - estimateDipAngle(2013, 6, 1, lat, lon, 0.4)),
            0.05);
  // Official WMM2010 value at 100 km height (lat 80, lon 0, 2010.0): D = -6.57.
  EXPECT_NEAR(estimateDeclination(2010, 1, 1, 80.0, 0.0, 100.0), -6.57, 0.006);
}

}  // namespace
