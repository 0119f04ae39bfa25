#include "filtersim/VehicleRoute.h"

namespace filtersim {

VehicleRoute::VehicleRoute(double heading, double initialSpeed)
    : m_heading(heading), m_initialSpeed(initialSpeed), m_speed(initialSpeed) {}

VehicleRoute& VehicleRoute::stop(double duration) {
  m_segments.push_back(Segment::still(duration));
  return *this;
}

VehicleRoute& VehicleRoute::accelerate(double duration, double acceleration) {
  m_segments.push_back(Segment::forward(duration, acceleration));
  m_speed += acceleration * duration;
  return *this;
}

VehicleRoute& VehicleRoute::cruise(double duration) { return accelerate(duration, 0.0); }

VehicleRoute& VehicleRoute::brakeToStop(double deceleration) {
  if (m_speed <= 0.0 || deceleration <= 0.0) return *this;
  m_segments.push_back(Segment::forward(m_speed / deceleration, -deceleration));
  m_speed = 0.0;
  return *this;
}

VehicleRoute& VehicleRoute::turn(double duration, double yawRate) {
  m_segments.push_back(Segment::steer(duration, Vec3::UnitZ(), yawRate));
  return *this;
}

VehicleRoute& VehicleRoute::climb(double duration, double angle) {
  // Nose up is a negative rotation about the body y (left) axis.
  m_segments.push_back(Segment::steer(duration, Vec3::UnitY(), -angle / duration));
  return *this;
}

Quat VehicleRoute::initialAttitude() const { return Quat(Eigen::AngleAxisd(m_heading, Vec3::UnitZ())); }

Vec3 VehicleRoute::initialVelocity() const { return initialAttitude() * Vec3(m_initialSpeed, 0.0, 0.0); }

double VehicleRoute::duration() const {
  double d = 0.0;
  for (const Segment& s : m_segments) d += s.duration;
  return d;
}

}  // namespace filtersim
