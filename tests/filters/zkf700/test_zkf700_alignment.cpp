// Zkf700 initial alignment: the orientation of still sensors in several attitudes with and
// without the magnetometer, the vertical-axis case, refusals, and what the alignment resets.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "Zkf700TestTuning.h"
#include "filters/common/EstimationRoutines.h"
#include "filters/zkf700/Zkf700State.h"

using namespace zkf700test;
using zelto::Quaternion;
using zelto::Zkf700Aiding;
using zelto::Zkf700Params;
using zelto::Zkf700SensorData;
using zelto::Zkf700State;

namespace {

constexpr double kDeg = 0.017453292519943295;
constexpr double kTolerance = 0.1 * kDeg;

// Orientation of yaw about z, then pitch about x, then roll about y (sensor to local).
Quaternion attitude(double yawDeg, double pitchDeg, double rollDeg) {
  Quaternion z, x, y, q;
  z.isRotateZ(yawDeg * kDeg);
  x.isRotateX(pitchDeg * kDeg);
  y.isRotateY(rollDeg * kDeg);
  q.isQuatMulQuat(z, x);
  q.isQuatMulQuat(q, y);
  return q;
}

Zkf700Params withMagnetometer(bool on) {
  zelto::Zkf700ScenarioParams s = builtInProfile();
  if (on)
    s.updateFlags |= zelto::Zkf700ScenarioParams::kMagFieldUpdate;
  else
    s.updateFlags &= static_cast<uint16_t>(~zelto::Zkf700ScenarioParams::kMagFieldUpdate);
  return params(s);
}

// The heading-free orientation a magnetometer-less alignment yields: the sensor's y axis
// (or, when it is vertical, the continuation of the pitch) to the north.
struct AttitudeCase {
  double yaw, pitch, roll;
};

TEST(Zkf700Alignment, MagnetometerGivesTheFullOrientation) {
  const Zkf700Params p = withMagnetometer(true);
  ASSERT_GT(std::fabs(p.declinationAngleRad), 0.01);
  const AttitudeCase cases[] = {{0, 0, 0},    {30, 0, 0},    {-120, 10, -20}, {75, 60, 30},
                                {200, -45, 80}, {10, 90, 0}, {0, 0, 180},     {45, -89, 10}};
  for (const AttitudeCase& c : cases) {
    const Quaternion truth = attitude(c.yaw, c.pitch, c.roll);
    Zkf700SensorData sensor;
    Zkf700Aiding aiding;
    stillSample(truth, p.declinationAngleRad, 9.81, sensor, aiding);
    Zkf700State s;
    zelto::Vector3 up;
    ASSERT_TRUE(s.initializeFromMeasurement(p, sensor, aiding, p.sampleTime, up));
    EXPECT_LT(angleBetween(s.m_q_ls, truth), kTolerance) << c.yaw << " " << c.pitch << " " << c.roll;
    // x[6..8] is the field in the local frame; the heading follows the declination.
    EXPECT_NEAR(s.m_xMag[0], 0.2 * std::sin(p.declinationAngleRad), 1e-9);
    EXPECT_NEAR(s.m_xMag[1], 0.2 * std::cos(p.declinationAngleRad), 1e-9);
    EXPECT_NEAR(s.m_xMag[2], -0.45, 1e-9);
    EXPECT_NEAR(up[0] * up[0] + up[1] * up[1] + up[2] * up[2], 1.0, 1e-12);
  }
}

TEST(Zkf700Alignment, WithoutMagnetometerTheYAxisGivesTheHeadingAlsoWhenVertical) {
  const Zkf700Params p = withMagnetometer(false);
  // Truth for a heading-free alignment: the sensor's y axis to the north (zero yaw). With y
  // vertical the z axis takes its place, pointed as a pitch about x carries it: after a roll r
  // about the vertical y axis that is the attitude of yaw -r.
  const AttitudeCase cases[] = {{0, 0, 0},   {0, 30, 0}, {0, -70, 0}, {0, 20, 40},  {0, 0, -150},
                                {0, 90, 0},  {0, -90, 0}, {0, 89, 0}, {-30, 90, 30}, {50, -90, 50}};
  for (const AttitudeCase& c : cases) {
    const Quaternion truth = attitude(c.yaw, c.pitch, c.roll);
    Zkf700SensorData sensor;
    Zkf700Aiding aiding;
    stillSample(truth, 0.0, 9.81, sensor, aiding);
    aiding.mag = zelto::Vector3(5, -7, 3);  // ignored
    Zkf700State s;
    zelto::Vector3 up;
    ASSERT_TRUE(s.initializeFromMeasurement(p, sensor, aiding, p.sampleTime, up));
    const double err = angleBetween(s.m_q_ls, truth);
    EXPECT_LT(err, kTolerance) << c.pitch << " " << c.roll << ": " << err / kDeg << " degrees";
    // The third row of the rotation (local up in sensor axes) is the measured up direction.
    const zelto::Matrix3x3 R = rotation(s.m_q_ls), T = rotation(truth);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(R(2, i), T(2, i), 1e-12);
    EXPECT_TRUE(zelto::Quaternion(s.m_q_ls).isValid(1e-12));
    for (int i = 6; i < 9; ++i) EXPECT_EQ(s.m_x[i], 0.0);
    EXPECT_EQ(s.mag_avg[1], 1.0);
    EXPECT_EQ(s.m_sQx(7, 7), p.initialConditions.sd_init_accBias);
  }
}

TEST(Zkf700Alignment, NoHeadingOrNoUpDirectionIsRefused) {
  const Zkf700Params on = withMagnetometer(true);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    const char* what;
    zelto::Vector3 dv;
    zelto::Vector3 mag;
    bool magValid;
  };
  const Case cases[] = {{"field along up", {0, 0, 0.098}, {0, 0, -0.5}, true},
                        {"zero field", {0, 0, 0.098}, {0, 0, 0}, true},
                        {"no magnetometer sample", {0, 0, 0.098}, {0.2, 0.2, -0.4}, false},
                        {"NaN field", {0, 0, 0.098}, {nan, 0.2, -0.4}, true},
                        {"zero dv", {0, 0, 0}, {0, 0.2, -0.4}, true},
                        {"NaN dv", {0, nan, 0.098}, {0, 0.2, -0.4}, true}};
  for (const Case& c : cases) {
    Zkf700SensorData sensor;
    sensor.dv = c.dv;
    Zkf700Aiding aiding;
    aiding.mag = c.mag;
    aiding.magValid = c.magValid;
    Zkf700State s;
    s.m_x[0] = 3.0;
    zelto::Vector3 up;
    EXPECT_FALSE(s.initializeFromMeasurement(on, sensor, aiding, on.sampleTime, up)) << c.what;
    EXPECT_EQ(s.m_x[0], 3.0) << c.what;
  }
}

TEST(Zkf700Alignment, ResetsTheStateAndItsBookkeeping) {
  const Zkf700Params p = withMagnetometer(true);
  Zkf700State s;
  for (int i = 0; i < 18; ++i)
    for (int j = 0; j < 18; ++j) s.m_sQx(i, j) = 5.0;
  s.firstGPS = false;
  s.filterMode = 3;
  s.zruRunning = s.cZruRunning = true;
  s.accDivMon_samples_to_ignore = 4;
  s.accDivMonSamplesAboveThreshold = 9;
  s.lat_long_alt = zelto::Vector3(1, 2, 3);
  s.firstIteration = true;
  Zkf700SensorData sensor;
  Zkf700Aiding aiding;
  stillSample(attitude(20, 5, 5), p.declinationAngleRad, 9.81, sensor, aiding);
  aiding.gpsPos = zelto::Vector3(47, 8, 500);
  aiding.gpsValid = true;
  zelto::Vector3 up;
  ASSERT_TRUE(s.initializeFromMeasurement(p, sensor, aiding, p.sampleTime, up));
  const zelto::Zkf700InitialConditions& ic = p.initialConditions;
  // The horizontal field starts with the spread the pull keeps about the earth field.
  const double spread = std::min(p.sd_w_mag_temporal_min / std::sqrt(1.0 - p.c_mag_max * p.c_mag_max), ic.sd_init_mag);
  const double diag[18] = {ic.sd_init_pos, ic.sd_init_pos, ic.sd_init_pos, ic.sd_init_vel, ic.sd_init_vel,
                           ic.sd_init_vel, spread, spread, ic.sd_init_mag, ic.sd_init_gyrBias,
                           ic.sd_init_gyrBias, ic.sd_init_gyrBias, ic.sd_init_acc, ic.sd_init_acc, ic.sd_init_acc};
  for (int i = 0; i < 18; ++i) {
    for (int j = 0; j < 18; ++j) {
      if (i < 15 || j < 15) {
        EXPECT_EQ(s.m_sQx(i, j), i == j ? diag[i] : 0.0) << i << " " << j;
      }
    }
    if (i < 15) {
      EXPECT_DOUBLE_EQ(s.m_sQx(i, i) * s.m_sx[i], s.m_x[i]);
    }
  }
  // The orientation deviations are the local axes' (tilt about east and north, heading about
  // up), whatever the mounting: R P R^T = diag(sd_init_orient)^2 for the sensor-frame block P,
  // held as a lower-triangular root.
  const Eigen::Matrix3d S = toEigen(s.m_sQx).block<3, 3>(15, 15);
  EXPECT_TRUE(S.isLowerTriangular());
  const zelto::Matrix3x3 Rz = rotation(s.m_q_ls);
  Eigen::Matrix3d R;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) R(i, j) = Rz(i, j);
  const Eigen::Matrix3d local = R * S * S.transpose() * R.transpose();
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      EXPECT_NEAR(local(i, j), i == j ? ic.sd_init_orient[i] * ic.sd_init_orient[i] : 0.0, 1e-15) << i << " " << j;
  EXPECT_GT(std::fabs(S(2, 0)), 1e-3);  // tilted sensor: the sensor-axis block is not diagonal
  for (int i = 15; i < 18; ++i) EXPECT_EQ(s.m_sx[i], 0.0);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(s.m_xGyrBias[i], p.storedGyrBias[i]);
    EXPECT_EQ(s.mag_var[i], ic.sd_init_magVar);
    EXPECT_EQ(s.mag_avg[i], s.m_xMag[i]);
  }
  double g = 0.0;
  gravityIgf1980(p.storedLatLongAlt, g);
  EXPECT_EQ(s.g_l[2], g);
  EXPECT_LT(g, -9.7);
  EXPECT_TRUE(s.firstGPS);
  EXPECT_FALSE(s.zruRunning || s.cZruRunning || s.gpsOutage);
  EXPECT_EQ(s.filterMode, 0u);
  EXPECT_EQ(s.accDivMon_samples_to_ignore, 0u);
  EXPECT_EQ(s.coastingGps, p.gpsCoastingTime);
  EXPECT_EQ(s.validAge, 200u);
  EXPECT_TRUE(s.lastAiding.gpsValid);
  EXPECT_EQ(s.lastAiding.gpsPos[2], 500.0);
  // Left alone.
  EXPECT_EQ(s.accDivMonSamplesAboveThreshold, 9u);
  EXPECT_EQ(s.lat_long_alt[0], 1.0);
  EXPECT_TRUE(s.firstIteration);
}

}  // namespace
