#pragma once
// What the Zkf700 tests run with: the built-in "zkf700" profile read the way the trackers read
// their host scenarios, the emulated tracker's hardware values, user parameters at a fixed
// place and date, and still-sensor samples of a given attitude.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "filters/common/FilterTypeVersion.h"
#include "filters/common/KtMk4_700HardwareParams.h"
#include "filters/common/ZkfUserParams.h"
#include "filters/zkf700/Zkf700Aiding.h"
#include "filters/zkf700/Zkf700Params.h"
#include "filters/zkf700/Zkf700ScenarioParams.h"
#include "filters/zkf700/Zkf700SensorData.h"
#include "foundation/SettingsFile.h"
#include "foundation/Variant.h"
#include "math/Matrix3x3.h"
#include "math/Quaternion.h"

namespace zkf700test {

constexpr double kRate = 100.0;
constexpr double kLatitudeDeg = 47.4;
constexpr double kLongitudeDeg = 8.5;
constexpr double kAltitude = 400.0;
constexpr const char* kProfileList = "ZEE.ZKF700.scenarios";

// The scenarios listed under "ZEE.ZKF700.scenarios" in the built-in profile source, each read
// under its own label + "." as the trackers read host scenarios. Fails the test when the list
// or an entry cannot be read.
inline zelto::Zkf700ScenarioParams builtInProfile() {
  zelto::SettingsFile file;
  zelto::Zkf700ScenarioParams s;
  EXPECT_EQ(file.readZsa(ZDA_SOURCE_DIR "/data/scenarios/scenarios.zsa"), 0);
  zelto::Variant list;
  EXPECT_EQ(file.getSetting(kProfileList, "", list), 0);
  const zelto::LabelList labels = list.toLabelList();
  EXPECT_EQ(labels.count(), 1u);
  if (labels.count() == 0) return s;
  const std::string prefix = std::string(labels[0].c_str()) + ".";
  EXPECT_TRUE(s.readFromFileNoThrow(file, prefix)) << prefix;
  return s;
}

// The emulated GNSS/INS tracker: the fourth-generation defaults with an accelerometer bias
// time constant and a barometer deviation.
inline KtMk4_700HardwareParams hardware() {
  KtMk4_700HardwareParams h;
  h.biasTauAcc = zelto::Vector3(300.0, 300.0, 300.0);
  h.sdBarometer = 0.5;
  return h;
}

inline ZkfUserParams user(double rate = kRate) {
  ZkfUserParams u;
  u.sampleRate = rate;
  u.storedLatLongAlt = zelto::Vector3(kLatitudeDeg, kLongitudeDeg, kAltitude);
  u.storedYear = 2013;
  u.storedMonth = 6;
  u.storedDay = 1;
  return u;
}

inline zelto::Zkf700Params params(const zelto::Zkf700ScenarioParams& s, double rate = kRate) {
  zelto::Zkf700Params p;
  p.initialize(s, hardware(), user(rate), zelto::Zkf700FilterSteps());
  return p;
}

// Rotation of the quaternion (sensor to local).
inline zelto::Matrix3x3 rotation(const zelto::Quaternion& q) {
  zelto::Matrix3x3 R;
  R.isQuat(q);
  return R;
}

// Angle in radians between two orientations.
inline double angleBetween(const zelto::Quaternion& a, const zelto::Quaternion& b) {
  const double d = std::fabs(a.w * b.w + a.x * b.x + a.y * b.y + a.z * b.z);
  return 2.0 * std::acos(d > 1.0 ? 1.0 : d);
}

// Sensor frame values of a still sensor at orientation q_ls (east-north-up): dv of one sample
// (specific force up) and the magnetometer of a field with horizontal intensity along the
// magnetic north, declination decl (radians, east positive), dip down.
inline void stillSample(const zelto::Quaternion& q_ls, double decl, double g, zelto::Zkf700SensorData& sensor,
                        zelto::Zkf700Aiding& aiding, double T = 1.0 / kRate) {
  const zelto::Matrix3x3 R = rotation(q_ls);
  const double up[3] = {0.0, 0.0, g * T};
  const double field[3] = {0.2 * std::sin(decl), 0.2 * std::cos(decl), -0.45};
  for (int i = 0; i < 3; ++i) {
    sensor.dv[i] = R(0, i) * up[0] + R(1, i) * up[1] + R(2, i) * up[2];
    aiding.mag[i] = R(0, i) * field[0] + R(1, i) * field[1] + R(2, i) * field[2];
  }
  sensor.dq = zelto::Quaternion();
  aiding.magValid = true;
}

}  // namespace zkf700test
