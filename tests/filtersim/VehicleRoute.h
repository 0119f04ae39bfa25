#pragma once
// A land vehicle's route as motion-simulator segments: the body x axis points along the
// velocity at all times (no side slip), so the holonomic constraint holds exactly, and stops
// give true zero velocity and zero rotation. Start with the initial attitude and velocity of
// the route in the simulator configuration:
//
//   VehicleRoute r(heading);
//   r.stop(10).accelerate(5, 2).cruise(20).turn(9, M_PI / 18).climb(2, 0.05).cruise(10).brakeToStop(2);
//   config.initialAttitude = r.initialAttitude(); config.initialVelocity = r.initialVelocity();
//   MotionSimulator sim(config, r.segments());
//
// Heading is measured from north toward west (about the up axis of north-west-up). Slopes are
// reached by pitching while moving, the velocity turning with the body.
#include <vector>

#include "filtersim/MotionSimulator.h"

namespace filtersim {

class VehicleRoute {
 public:
  explicit VehicleRoute(double heading = 0.0, double initialSpeed = 0.0);

  // Standing still.
  VehicleRoute& stop(double duration);
  // Speeding up (negative: slowing down) along the body x axis.
  VehicleRoute& accelerate(double duration, double acceleration);
  VehicleRoute& cruise(double duration);
  // Slows to a standstill at the given deceleration (> 0).
  VehicleRoute& brakeToStop(double deceleration);
  // Turns about the body's up axis at yawRate (positive: to the left).
  VehicleRoute& turn(double duration, double yawRate);
  // Changes the pitch by angle (positive: nose up) over duration, moving along the new slope.
  VehicleRoute& climb(double duration, double angle);

  Quat initialAttitude() const;
  Vec3 initialVelocity() const;
  const std::vector<Segment>& segments() const { return m_segments; }
  // Speed at the end of the route so far.
  double speed() const { return m_speed; }
  double duration() const;

 private:
  double m_heading;
  double m_initialSpeed;
  double m_speed;
  std::vector<Segment> m_segments;
};

}  // namespace filtersim
