#pragma once
// Motion simulator for filter tests: a truth trajectory built from segments, and the inertial
// and magnetic measurements a tracker would deliver along it, with known errors.
//
// Frames: navigation frame north-west-up (x north, y west, z up); the body orientation q maps
// body vectors into the navigation frame (v_nav = q * v_body). Gravity points down, so the
// accelerometer of a still, level body reads +g on its z axis. The gyroscope reads the body's
// rate relative to inertial space: its rate in the navigation frame plus the earth rate at the
// configured latitude (switchable).
//
// Flat mode (default): the navigation frame is fixed, the position is Cartesian in the tangent
// plane at the origin, gravity and the earth rate are those of the origin, and no Coriolis
// force acts. Curved mode (curvedEarth): the navigation frame is the local level frame at the
// current position, which turns with the earth and with the transport rate; the geodetic
// position is integrated from the velocity (WGS-84 radii), the gyroscope reads
// bodyRate + q^-1 (earth rate + transport rate) at the current latitude, and the accelerometer
// reads q^-1 (navAcc + (2 earth rate + transport rate) x v + g up). Sample::position is then
// the exact tangent-plane position of the geodetic truth. Either mode reports the geodetic
// truth in Sample::latLongAltDeg.
//
// Truth is integrated at truthRate (1 to 2 kHz); samples are delivered at outputRate. Each
// sample holds the point measurements at its time and the strapdown increments over the
// interval since the previous sample (dq composed from the sub-steps, dv in the frame at the
// start of the interval), with clip flags. Only plain code and Eigen are used here, never the
// library's numerics, so errors cannot cancel out.
#include <Eigen/Dense>
#include <Eigen/Geometry>
#include <cstdint>
#include <vector>

#include "filtersim/GeodeticFrame.h"
#include "filtersim/NormalSource.h"

namespace filtersim {

using Vec3 = Eigen::Vector3d;
using Quat = Eigen::Quaterniond;

struct Segment {
  enum class Kind { Still, BodyRotation, NavAcceleration, CoordinatedTurn, Sinusoid, Shake, ForwardAcceleration, Steer };
  Kind kind = Kind::Still;
  double duration = 0.0;
  Vec3 axis = Vec3::UnitZ();          // body-frame rotation axis (unit)
  double rate = 0.0;                  // rad/s: body rotation, yaw rate of a turn, sinusoid or rocking amplitude
  double frequency = 0.0;             // Hz (Sinusoid, rocking of a Shake)
  Vec3 acceleration = Vec3::Zero();   // navigation frame, m/s^2 (NavAcceleration; Shake amplitudes)
  Vec3 frequencies = Vec3::Zero();    // Hz per navigation axis (Shake)
  double speed = 0.0;                 // forward speed of a coordinated turn, m/s

  static Segment still(double duration);
  // Constant body rate about axis; also how a tilt is reached (angle = rate * duration).
  static Segment rotate(double duration, const Vec3& axis, double rate);
  static Segment tilt(double duration, const Vec3& axis, double angle);
  static Segment accelerate(double duration, const Vec3& navAcceleration);
  // Constant velocity: no acceleration, the velocity reached so far is kept.
  static Segment cruise(double duration);
  // Turn about the navigation up axis at yawRate with the body keeping its forward speed.
  static Segment turn(double duration, double yawRate, double speed);
  // Body rate amplitude * sin(2 pi f t) about axis.
  static Segment sinusoid(double duration, const Vec3& axis, double amplitude, double frequency);
  // Translation without rotation: navigation acceleration amplitude_i * sin(2 pi frequency_i t)
  // on each axis (the velocity starts from the one reached so far).
  static Segment shake(double duration, const Vec3& amplitude, const Vec3& frequency);
  // The same shaking while the body rocks about bodyAxis: body rate
  // angle 2 pi f cos(2 pi f t), so the attitude swings by +-angle about the one at the start.
  static Segment shakeRocking(double duration, const Vec3& amplitude, const Vec3& frequency, const Vec3& bodyAxis,
                              double angle, double rockFrequency);
  // Acceleration along the body x axis (negative brakes); no rotation.
  static Segment forward(double duration, double acceleration);
  // Constant body rate about a body axis with the velocity turning with the body (a vehicle
  // steering or pitching onto a slope: a velocity along body x stays along body x).
  static Segment steer(double duration, const Vec3& bodyAxis, double rate);
};

struct TimeWindow {
  double start = 0.0, end = 0.0;
  bool contains(double t) const { return t >= start && t < end; }
};

// Measured = scaleMisalignment * true + bias + noise, then saturated. The bias is the constant
// part plus a random walk plus a first-order Gauss-Markov process (steady-state deviation
// markovSigma, correlation time markovTau; started from its steady-state distribution).
struct SensorErrors {
  Vec3 bias = Vec3::Zero();      // constant bias
  double biasWalk = 0.0;         // random-walk density (units/s/sqrt(Hz))
  double noiseDensity = 0.0;     // white noise density: sigma per sample = density * sqrt(rate)
  double range = 1e300;          // saturation, per axis
  double markovSigma = 0.0;      // Gauss-Markov bias, per axis
  double markovTau = 100.0;      // s
  // I + diag(scale factor errors) + misalignment; identity: none.
  Eigen::Matrix3d scaleMisalignment = Eigen::Matrix3d::Identity();
};

struct MagneticModel {
  double declination = 0.0;  // rad, east positive
  double inclination = 1.0;  // rad, down positive
  double intensity = 1.0;    // any unit (the filters normalise)
  double noiseDensity = 0.0;
  struct Step {
    TimeWindow when;
    Vec3 offset = Vec3::Zero();  // body frame hard-iron offset while active
  };
  std::vector<Step> hardIron;
  std::vector<Step> bursts;  // random disturbance of this amplitude per axis while active
  std::vector<TimeWindow> zeroSamples;
  Vec3 field() const;  // navigation frame (north, west, up)
};

struct SimulatorConfig {
  double truthRate = 2000.0;
  double outputRate = 100.0;
  Quat initialAttitude = Quat::Identity();
  Vec3 initialVelocity = Vec3::Zero();
  double latitude = 0.0;  // rad; with longitude and altitude the origin of the local frame
  double longitude = 0.0;  // rad
  double altitude = 0.0;   // m
  bool curvedEarth = false;
  bool earthRate = true;
  double earthRateValue = GeodeticFrame::kEarthRate;
  double gravity = 9.81;  // the Constant model's magnitude
  GeodeticFrame::Gravity gravityModel = GeodeticFrame::Gravity::Constant;
  SensorErrors gyr, acc;
  MagneticModel mag;
  uint64_t seed = 1;
};

struct Sample {
  double t = 0.0;          // time of the sample, s
  double T = 0.0;          // length of the increment interval, s
  Vec3 acc, gyr, mag;      // point measurements
  bool accClip[3] = {false, false, false};
  bool gyrClip[3] = {false, false, false};
  Quat dq = Quat::Identity();  // orientation increment over the interval (measured rates)
  Vec3 dv = Vec3::Zero();      // velocity increment, frame at the start of the interval
  bool incrementClipped = false;
  // Truth at time t.
  Quat q = Quat::Identity();
  Vec3 position = Vec3::Zero(), velocity = Vec3::Zero();
  Vec3 latLongAltDeg = Vec3::Zero();     // geodetic truth: degrees, degrees, m
  Vec3 freeAcceleration = Vec3::Zero();  // navigation frame, gravity excluded
  Vec3 bodyRate = Vec3::Zero();          // rate relative to the navigation frame, body axes
  Vec3 gyrBias = Vec3::Zero(), accBias = Vec3::Zero();

  // Mean specific force and mean rate over the interval, in the body frame at its start: the
  // inputs of filters that integrate one sample per step by Euler.
  Vec3 meanSpecificForce() const { return dv / T; }
  Vec3 meanRate() const;
};

class MotionSimulator {
 public:
  MotionSimulator(const SimulatorConfig& config, std::vector<Segment> segments);

  // The next sample; false once the trajectory has ended.
  bool next(Sample& out);
  double duration() const { return m_duration; }
  const SimulatorConfig& config() const { return m_config; }
  // Earth rate in the navigation frame (at the current latitude in curved mode).
  Vec3 earthRateNav() const;
  // Local frame at the configured origin.
  const GeodeticFrame& frame() const { return m_frame; }

 private:
  // True body rate (relative to navigation) and navigation acceleration at time t.
  void motionAt(double t, Vec3& bodyRate, Vec3& navAcc) const;
  int segmentAt(double t, double& local) const;
  void clip(Vec3& v, double range, bool flags[3]) const;
  Vec3 specificForce(const Quat& q, const Vec3& navAcc) const;
  // Turn rate of the navigation frame against inertial space, and transport rate (curved mode).
  Vec3 transportRate() const;
  double gravityHere() const;
  void stepMarkov(Vec3& state, const SensorErrors& e, double h);

  SimulatorConfig m_config;
  std::vector<Segment> m_segments;
  double m_duration = 0.0;
  NormalSource m_noise;
  int64_t m_step = 0;  // truth sub-steps done
  int m_subSteps = 1;  // truth sub-steps per output sample
  Quat m_q;
  Vec3 m_position = Vec3::Zero(), m_velocity = Vec3::Zero();
  Vec3 m_gyrBias, m_accBias;
  Vec3 m_gyrMarkov = Vec3::Zero(), m_accMarkov = Vec3::Zero();
  GeodeticFrame m_frame;
  Vec3 m_geodetic;  // rad, rad, m (curved mode)
};

// Strapdown increment of one step of constant body rate w and specific force f over h, in the
// frame at the start of the step (closed form).
void stepIncrement(const Vec3& w, const Vec3& f, double h, Quat& dq, Vec3& dv);

}  // namespace filtersim
