// The navigation tracker's sample mixer as pure numerics: its refusals, its small worked cases,
// and a trajectory whose 400 Hz increments are mixed with 1 Hz filter samples, against the
// trajectory's truth (navigation frame east-north-up at the start position).
#include <gtest/gtest.h>

#include <cmath>

#include "math/geodetic/GeodeticConversions.h"
#include "trackers/Mk4_700SampleMixer.h"

namespace zelto {
namespace {

constexpr double kMk4700SampleMixerDeg = M_PI / 180.0;

Quaternion quatMul(const ZtQuaternion& a, const ZtQuaternion& b) {
  Quaternion q;
  q.isQuatMulQuat(a, b);
  return q;
}

Quaternion mk4700SampleMixerAxisAngle(double x, double y, double z, double angle) {
  const double s = std::sin(angle / 2);
  return Quaternion(std::cos(angle / 2), x * s, y * s, z * s);
}

void rotate(const ZtQuaternion& q, const double v[3], double out[3]) {
  Quaternion inverse;
  inverse.isInverseOf(q);
  Quaternion p(0, v[0], v[1], v[2]);
  p.isQuatMulQuat(p, inverse);
  p.isQuatMulQuat(q, p);
  out[0] = p.x;
  out[1] = p.y;
  out[2] = p.z;
}

double angleDeg(const ZtQuaternion& a, const ZtQuaternion& b) {
  const double dot = std::fabs(a.w * b.w + a.x * b.x + a.y * b.y + a.z * b.z) /
                     std::sqrt((a.w * a.w + a.x * a.x + a.y * a.y + a.z * a.z) * (b.w * b.w + b.x * b.x + b.y * b.y + b.z * b.z));
  return 2.0 * std::acos(std::min(1.0, dot)) / kMk4700SampleMixerDeg;
}

Mk4_700SampleMixerInput readyInput(double frequency) {
  Mk4_700SampleMixerInput in;
  in.sampleFrequency = frequency;
  in.ready = 1;
  in.filterData = 1;
  return in;
}

TEST(Mk4SampleMixer, InputsWithoutFlagsOrFrequencyGiveNoStep) {
  const struct {
    const char* name;
    uint8_t ready, filterData;
    double frequency;
  } cases[] = {
      {"not ready", 0, 1, 400.0},
      {"no filter data", 1, 0, 400.0},
      {"frequency 0", 1, 1, 0.0},
      {"frequency negative", 1, 1, -400.0},
      {"frequency NaN", 1, 1, std::nan("")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Mk4_700SampleMixer mixer;
    // A valid filter sample first: the refused one must change none of it.
    Mk4_700SampleMixerInput first = readyInput(400.0);
    first.navigationState = 1;
    first.position[0] = 52.0;
    first.position[1] = 6.0;
    first.velocity[0] = 1.0;
    first.orientation = mk4700SampleMixerAxisAngle(0, 0, 1, 0.5);
    Mk4_700SampleMixerOutput before;
    ASSERT_TRUE(mixer.processSample(first, before, true));
    Mk4_700SampleMixerInput in = first;
    in.ready = c.ready;
    in.filterData = c.filterData;
    in.sampleFrequency = c.frequency;
    in.dq = mk4700SampleMixerAxisAngle(1, 0, 0, 0.1);
    Mk4_700SampleMixerOutput out = before;
    EXPECT_FALSE(mixer.processSample(in, out, false));
    EXPECT_EQ(out.valid, 0);
    EXPECT_EQ(mixer.period(), 1.0 / 400.0);
    // The state is the same: a zero step from it reproduces the first output.
    Mk4_700SampleMixerInput still = readyInput(1e12);
    still.navigationState = 1;
    Mk4_700SampleMixerOutput after;
    ASSERT_TRUE(mixer.processSample(still, after, false));
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(after.position[i], before.position[i], 1e-6);
    EXPECT_LT(angleDeg(after.orientation, before.orientation), 1e-9);
  }
}

TEST(Mk4SampleMixer, SmallWorkedCases) {
  // The filter sample's output position returns its input position.
  Mk4_700SampleMixer mixer;
  Mk4_700SampleMixerInput fix = readyInput(400.0);
  fix.navigationState = 2;
  fix.position[0] = -33.8;
  fix.position[1] = 151.2;
  fix.position[2] = 45.0;
  fix.velocity[0] = 3.0;
  fix.velocity[1] = -4.0;
  fix.orientation = Quaternion();
  fix.aiding = 1;
  fix.status = 0x1234;
  fix.status2 = 7;
  Mk4_700SampleMixerOutput out;
  ASSERT_TRUE(mixer.processSample(fix, out, true));
  EXPECT_NEAR(out.position[0], -33.8, 1e-8);
  EXPECT_NEAR(out.position[1], 151.2, 1e-8);
  EXPECT_NEAR(out.position[2], 45.0, 1e-3);
  EXPECT_EQ(out.navigationState, 2u);
  EXPECT_EQ(out.status, 0x1234u);
  EXPECT_EQ(out.status2, 7);
  EXPECT_EQ(out.aiding, 1);

  // Zero increments, biases and gravity: V stays, P moves by dt V per sample.
  double ecef0[3];
  const double lla0[3] = {-33.8 * kMk4700SampleMixerDeg, 151.2 * kMk4700SampleMixerDeg, 45.0};
  convert_lla2ecefRadians(lla0, ecef0);
  Mk4_700SampleMixerInput sdi = readyInput(400.0);
  sdi.navigationState = 2;
  sdi.dq = Quaternion();
  for (int k = 0; k < 400; ++k) ASSERT_TRUE(mixer.processSample(sdi, out, false));
  EXPECT_NEAR(out.velocity[0], 3.0, 1e-12);
  EXPECT_NEAR(out.velocity[1], -4.0, 1e-12);
  double ecef[3];
  const double lla[3] = {out.position[0] * kMk4700SampleMixerDeg, out.position[1] * kMk4700SampleMixerDeg, out.position[2]};
  convert_lla2ecefRadians(lla, ecef);
  const double moved = std::sqrt((ecef[0] - ecef0[0]) * (ecef[0] - ecef0[0]) + (ecef[1] - ecef0[1]) * (ecef[1] - ecef0[1]) +
                                 (ecef[2] - ecef0[2]) * (ecef[2] - ecef0[2]));
  EXPECT_NEAR(moved, 5.0, 1e-3);  // 1 s at |V| = 5 m/s
  // The move is east-north-up: 3 m east and 4 m south, no height.
  EXPECT_NEAR(out.position[2], 45.0, 1e-3);
  EXPECT_LT(out.position[0], -33.8);
  EXPECT_GT(out.position[1], 151.2);

  // Navigation state 0: only Q and F change.
  Mk4_700SampleMixer noPosition;
  Mk4_700SampleMixerInput level = readyInput(100.0);
  level.gravity[2] = -9.81;
  level.dv[2] = 0.0981;
  ASSERT_TRUE(noPosition.processSample(level, out, true));
  Mk4_700SampleMixerInput turn = level;
  turn.dq = mk4700SampleMixerAxisAngle(0, 0, 1, 0.01);
  for (int k = 0; k < 10; ++k) ASSERT_TRUE(noPosition.processSample(turn, out, false));
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(out.position[i], 0.0);
    EXPECT_EQ(out.velocity[i], 0.0);
    EXPECT_NEAR(out.acceleration[i], 0.0, 1e-9);
  }
  EXPECT_LT(angleDeg(out.orientation, mk4700SampleMixerAxisAngle(0, 0, 1, 0.1)), 1e-9);
}

// A trajectory in the east-north-up frame of its start: velocity, attitude and their
// derivatives in closed form, gravity (0, 0, -9.81).
struct Truth {
  static void velocity(double t, double v[3]) {
    v[0] = 10.0 + 2.0 * std::sin(0.5 * t);
    v[1] = 3.0 * std::sin(0.3 * t);
    v[2] = 0.5 * std::sin(0.7 * t);
  }
  static void position(double t, double p[3]) {
    p[0] = 10.0 * t + 4.0 * (1.0 - std::cos(0.5 * t));
    p[1] = 10.0 * (1.0 - std::cos(0.3 * t));
    p[2] = (0.5 / 0.7) * (1.0 - std::cos(0.7 * t));
  }
  static Quaternion attitude(double t) {
    return quatMul(mk4700SampleMixerAxisAngle(0, 0, 1, 0.2 * t + 0.3), mk4700SampleMixerAxisAngle(1, 0, 0, 0.3 * std::sin(0.4 * t)));
  }
};

TEST(Mk4SampleMixer, FilterSamplesAt1HzAndIncrementsAt400HzFollowATrajectory) {
  const double lat0 = 48.1 * kMk4700SampleMixerDeg, lon0 = 11.6 * kMk4700SampleMixerDeg, h0 = 520.0;
  const double start[3] = {lat0, lon0, h0};
  double ecef0[3];
  convert_lla2ecefRadians(start, ecef0);
  // East, north and up of the start position as ECEF columns.
  const double e[3] = {-std::sin(lon0), std::cos(lon0), 0.0};
  const double n[3] = {-std::sin(lat0) * std::cos(lon0), -std::sin(lat0) * std::sin(lon0), std::cos(lat0)};
  const double u[3] = {std::cos(lat0) * std::cos(lon0), std::cos(lat0) * std::sin(lon0), std::sin(lat0)};
  auto truthLla = [&](double t, double lla[3]) {
    double p[3], ecef[3];
    Truth::position(t, p);
    for (int i = 0; i < 3; ++i) ecef[i] = ecef0[i] + e[i] * p[0] + n[i] * p[1] + u[i] * p[2];
    convert_ecef2llaRadians(ecef, lla, true);
    lla[0] /= kMk4700SampleMixerDeg;
    lla[1] /= kMk4700SampleMixerDeg;
  };
  const double gravity[3] = {0.0, 0.0, -9.81};
  const double accBias[3] = {0.02, -0.01, 0.03};
  const double gyrBias[3] = {0.001, -0.002, 0.0005};
  const double rate = 400.0, dt = 1.0 / rate;

  Mk4_700SampleMixer mixer;
  double worstPosition = 0.0, worstVelocity = 0.0, worstAttitude = 0.0;
  const int samples = static_cast<int>(20.0 * rate);
  for (int k = 0; k < samples; ++k) {
    const double t0 = k * dt, t1 = (k + 1) * dt;
    const Quaternion q0 = Truth::attitude(t0), q1 = Truth::attitude(t1);
    double v0[3], v1[3], f[3], dvBody[3];
    Truth::velocity(t0, v0);
    Truth::velocity(t1, v1);
    for (int i = 0; i < 3; ++i) f[i] = v1[i] - v0[i] - dt * gravity[i];
    Quaternion q0inv;
    q0inv.isInverseOf(q0);
    rotate(q0inv, f, dvBody);
    Mk4_700SampleMixerInput in = readyInput(rate);
    // Increments as the sensor sees them: with the biases on top.
    in.dq = quatMul(q0inv, q1);
    in.dq = Quaternion(in.dq.w, in.dq.x + dt / 2 * gyrBias[0], in.dq.y + dt / 2 * gyrBias[1], in.dq.z + dt / 2 * gyrBias[2]);
    for (int i = 0; i < 3; ++i) {
      in.dv[i] = dvBody[i] + dt * accBias[i];
      in.accBias[i] = accBias[i];
      in.gyrBias[i] = gyrBias[i];
      in.gravity[i] = gravity[i];
      in.velocity[i] = v1[i];
    }
    in.navigationState = 3;
    const bool filterSample = (k + 1) % 400 == 0 || k == 0;
    if (filterSample) {
      in.orientation = q1;
      truthLla(t1, in.position);
    }
    Mk4_700SampleMixerOutput out;
    ASSERT_TRUE(mixer.processSample(in, out, filterSample));
    double lla[3];
    truthLla(t1, lla);
    const double north = (out.position[0] - lla[0]) * kMk4700SampleMixerDeg * 6.37e6;
    const double east = (out.position[1] - lla[1]) * kMk4700SampleMixerDeg * 6.37e6 * std::cos(lat0);
    const double up = out.position[2] - lla[2];
    worstPosition = std::max(worstPosition, std::sqrt(north * north + east * east + up * up));
    for (int i = 0; i < 3; ++i) worstVelocity = std::max(worstVelocity, std::fabs(out.velocity[i] - v1[i]));
    worstAttitude = std::max(worstAttitude, angleDeg(out.orientation, q1));
    // The acceleration output is the kinematic one: (v1 - v0) / dt, up to the step's rotation.
    if (!filterSample) {
      for (int i = 0; i < 3; ++i) EXPECT_NEAR(out.acceleration[i], (v1[i] - v0[i]) / dt, 0.05) << k;
    }
  }
  EXPECT_LT(worstPosition, 0.01);
  EXPECT_LT(worstVelocity, 1e-3);
  EXPECT_LT(worstAttitude, 0.01);
}

}  // namespace
}  // namespace zelto
