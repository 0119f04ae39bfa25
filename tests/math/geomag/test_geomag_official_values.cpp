// The geomagnetic model against the official WMM test values: WMM2010 and WMM2005 through the
// library's tables, WMM2015 through the test-only table. Declination, dip and intensity come from
// E0000::run at the published decimal year; X, Y, Z and H from those three (north, east, down);
// the rates from two evaluations one year apart. Each value must lie within 0.6 of a unit in its
// last published digit.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "math/Vector3.h"
#include "math/geomag/E0000.h"
#include "math/geomag/WmmTable.h"
#include "support/wmm/Wmm2015Table.h"
#include "zttypes/ztmath.h"

namespace {

struct Field {
  double x, y, z, h, f, i, d, gv;
};

Field evaluate(const WmmTable* model, double year, double heightKm, double lat, double lon) {
  double d, i, f, gv;
  E0000::run(12, model, zelto::Vector3(lat, lon, heightKm), year, &d, &i, &f, &gv);
  const double dr = ZtMath_deg2rad(d), ir = ZtMath_deg2rad(i);
  // The field vector of earthMagModel's option 1 is (north, west, up): X = north, Y = -west, Z = -up.
  const double north = std::cos(dr) * std::cos(ir) * f;
  const double west = -std::sin(dr) * std::cos(ir) * f;
  const double up = -std::sin(ir) * f;
  return {north, -west, -up, std::sqrt(north * north + west * west), f, i, d, gv};
}

std::vector<std::vector<double>> readRows(const std::string& name) {
  std::ifstream in(std::string(ZDA_SOURCE_DIR) + "/data/wmm/" + name);
  EXPECT_TRUE(in.good()) << name;
  std::vector<std::vector<double>> rows;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::vector<double> row;
    double v;
    while (fields >> v) row.push_back(v);
    rows.push_back(row);
  }
  return rows;
}

struct Release {
  const char* name;
  const char* file;
  const WmmTable* model;
  size_t rows;
  bool hasGridVariation;  // columns X Y Z H F I D [GV] Xdot Ydot Zdot ...
  double nT;              // tolerance for field values and rates
};

double wrap360(double a) {
  double r = std::fmod(a, 360.0);
  if (r < 0) r += 360.0;
  return r;
}

void checkRelease(const Release& r) {
  const auto rows = readRows(r.file);
  ASSERT_EQ(rows.size(), r.rows) << r.name;
  const double deg = 0.006;
  for (const auto& row : rows) {
    ASSERT_GE(row.size(), r.hasGridVariation ? 15u : 14u) << r.name;
    const double year = row[0], height = row[1], lat = row[2], lon = row[3];
    const Field f = evaluate(r.model, year, height, lat, lon);
    const Field next = evaluate(r.model, year + 1.0, height, lat, lon);
    std::ostringstream where;
    where << r.name << " " << year << " h=" << height << " lat=" << lat << " lon=" << lon;
    EXPECT_NEAR(f.x, row[4], r.nT) << where.str() << " X";
    EXPECT_NEAR(f.y, row[5], r.nT) << where.str() << " Y";
    EXPECT_NEAR(f.z, row[6], r.nT) << where.str() << " Z";
    EXPECT_NEAR(f.h, row[7], r.nT) << where.str() << " H";
    EXPECT_NEAR(f.f, row[8], r.nT) << where.str() << " F";
    EXPECT_NEAR(f.i, row[9], deg) << where.str() << " I";
    EXPECT_NEAR(f.d, row[10], deg) << where.str() << " D";
    size_t rate = 11;
    if (r.hasGridVariation) {
      if (std::fabs(lat) >= 55.0) {
        // The published south-polar values are unwrapped; the model wraps into (-180, 180].
        const double diff = wrap360(f.gv - row[11] + 180.0) - 180.0;
        EXPECT_NEAR(diff, 0.0, deg) << where.str() << " GV " << f.gv;
        EXPECT_GT(f.gv, -180.0);
        EXPECT_LE(f.gv, 180.0);
      } else {
        EXPECT_EQ(f.gv, -999.0) << where.str();
      }
      rate = 12;
    }
    EXPECT_NEAR(next.x - f.x, row[rate], r.nT) << where.str() << " Xdot";
    EXPECT_NEAR(next.y - f.y, row[rate + 1], r.nT) << where.str() << " Ydot";
    EXPECT_NEAR(next.z - f.z, row[rate + 2], r.nT) << where.str() << " Zdot";
  }
}

TEST(GeomagOfficialValues, Wmm2010) {
  ASSERT_EQ(g_wmmTables[1].firstYear, 2010);
  checkRelease({"WMM2010", "WMM2010_TEST_VALUES.txt", &g_wmmTables[1], 12, true, 0.06});
}

TEST(GeomagOfficialValues, Wmm2005) {
  ASSERT_EQ(g_wmmTables[0].firstYear, 2005);
  // Whole nT published.
  checkRelease({"WMM2005", "WMM2005_TEST_VALUES.txt", &g_wmmTables[0], 30, false, 0.6});
}

TEST(GeomagOfficialValues, Wmm2015TestOnlyTable) {
  checkRelease({"WMM2015", "WMM2015_TEST_VALUES.txt", &kWmm2015TestModel, 12, true, 0.06});
}

}  // namespace
