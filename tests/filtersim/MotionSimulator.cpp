#include "filtersim/MotionSimulator.h"

#include <algorithm>
#include <cmath>

namespace filtersim {

Segment Segment::still(double duration) {
  Segment s;
  s.kind = Kind::Still;
  s.duration = duration;
  return s;
}

Segment Segment::rotate(double duration, const Vec3& axis, double rate) {
  Segment s;
  s.kind = Kind::BodyRotation;
  s.duration = duration;
  s.axis = axis.normalized();
  s.rate = rate;
  return s;
}

Segment Segment::tilt(double duration, const Vec3& axis, double angle) { return rotate(duration, axis, angle / duration); }

Segment Segment::accelerate(double duration, const Vec3& navAcceleration) {
  Segment s;
  s.kind = Kind::NavAcceleration;
  s.duration = duration;
  s.acceleration = navAcceleration;
  return s;
}

Segment Segment::cruise(double duration) { return accelerate(duration, Vec3::Zero()); }

Segment Segment::turn(double duration, double yawRate, double speed) {
  Segment s;
  s.kind = Kind::CoordinatedTurn;
  s.duration = duration;
  s.rate = yawRate;
  s.speed = speed;
  return s;
}

Segment Segment::sinusoid(double duration, const Vec3& axis, double amplitude, double frequency) {
  Segment s;
  s.kind = Kind::Sinusoid;
  s.duration = duration;
  s.axis = axis.normalized();
  s.rate = amplitude;
  s.frequency = frequency;
  return s;
}

Segment Segment::shake(double duration, const Vec3& amplitude, const Vec3& frequency) {
  Segment s;
  s.kind = Kind::Shake;
  s.duration = duration;
  s.acceleration = amplitude;
  s.frequencies = frequency;
  return s;
}

Vec3 MagneticModel::field() const {
  const double h = std::cos(inclination);
  // north, west (= -east), up (= -down)
  return intensity * Vec3(h * std::cos(declination), -h * std::sin(declination), -std::sin(inclination));
}

MotionSimulator::MotionSimulator(const SimulatorConfig& config, std::vector<Segment> segments)
    : m_config(config), m_segments(std::move(segments)), m_noise(config.seed) {
  for (const Segment& s : m_segments) m_duration += s.duration;
  m_subSteps = std::max(1, static_cast<int>(std::lround(m_config.truthRate / m_config.outputRate)));
  m_q = m_config.initialAttitude.normalized();
  m_velocity = m_config.initialVelocity;
  m_gyrBias = m_config.gyr.bias;
  m_accBias = m_config.acc.bias;
}

Vec3 MotionSimulator::earthRateNav() const {
  if (!m_config.earthRate) return Vec3::Zero();
  const double w = m_config.earthRateValue;
  return Vec3(w * std::cos(m_config.latitude), 0.0, w * std::sin(m_config.latitude));
}

int MotionSimulator::segmentAt(double t, double& local) const {
  double start = 0.0;
  for (size_t i = 0; i < m_segments.size(); ++i) {
    if (t < start + m_segments[i].duration || i + 1 == m_segments.size()) {
      local = t - start;
      return static_cast<int>(i);
    }
    start += m_segments[i].duration;
  }
  local = 0.0;
  return -1;
}

void MotionSimulator::motionAt(double t, Vec3& bodyRate, Vec3& navAcc) const {
  bodyRate.setZero();
  navAcc.setZero();
  double local = 0.0;
  const int i = segmentAt(t, local);
  if (i < 0) return;
  const Segment& s = m_segments[i];
  switch (s.kind) {
    case Segment::Kind::Still: break;
    case Segment::Kind::BodyRotation: bodyRate = s.axis * s.rate; break;
    case Segment::Kind::NavAcceleration: navAcc = s.acceleration; break;
    case Segment::Kind::CoordinatedTurn: {
      // Yaw about the navigation up axis; the velocity turns with the body.
      bodyRate = m_q.conjugate() * Vec3(0.0, 0.0, s.rate);
      const Vec3 forward = m_velocity.norm() > 0 ? m_velocity.normalized() : (m_q * Vec3::UnitX());
      navAcc = Vec3(0.0, 0.0, s.rate).cross(forward) * s.speed;
      break;
    }
    case Segment::Kind::Sinusoid: bodyRate = s.axis * (s.rate * std::sin(2.0 * M_PI * s.frequency * local)); break;
    case Segment::Kind::Shake:
      for (int k = 0; k < 3; ++k) navAcc[k] = s.acceleration[k] * std::sin(2.0 * M_PI * s.frequencies[k] * local);
      break;
  }
}

Vec3 MotionSimulator::specificForce(const Quat& q, const Vec3& navAcc) const {
  return q.conjugate() * (navAcc + Vec3(0.0, 0.0, m_config.gravity));
}

void MotionSimulator::clip(Vec3& v, double range, bool flags[3]) const {
  for (int i = 0; i < 3; ++i) {
    flags[i] = std::fabs(v[i]) >= range;
    if (flags[i]) v[i] = std::copysign(range, v[i]);
  }
}

void stepIncrement(const Vec3& w, const Vec3& f, double h, Quat& dq, Vec3& dv) {
  const double n = w.norm();
  if (n == 0.0) {
    dq = Quat::Identity();
    dv = f * h;
    return;
  }
  const double th = n * h;
  dq = Quat(Eigen::AngleAxisd(th, w / n));
  Eigen::Matrix3d S;
  S << 0, -w.z(), w.y(), w.z(), 0, -w.x(), -w.y(), w.x(), 0;
  // Series for small angles keep the coefficients accurate.
  double c2, c3;
  if (th < 1e-4) {
    c2 = h * h / 2.0 - n * n * h * h * h * h / 24.0;
    c3 = h * h * h / 6.0 - n * n * h * h * h * h * h / 120.0;
  } else {
    c2 = (1.0 - std::cos(th)) / (n * n);
    c3 = (th - std::sin(th)) / (n * n * n);
  }
  dv = (h * Eigen::Matrix3d::Identity() + c2 * S + c3 * S * S) * f;
}

bool MotionSimulator::next(Sample& out) {
  const double h = 1.0 / m_config.truthRate;
  const double tStart = static_cast<double>(m_step) * h;
  if (tStart + 0.5 * h * m_subSteps > m_duration + 1e-12) return false;
  const double subSigmaG = m_config.gyr.noiseDensity * std::sqrt(m_config.truthRate);
  const double subSigmaA = m_config.acc.noiseDensity * std::sqrt(m_config.truthRate);
  const Vec3 earthNav = earthRateNav();

  Quat dq = Quat::Identity();
  Vec3 dv = Vec3::Zero();
  bool incClip = false;
  Vec3 bodyRate = Vec3::Zero(), navAcc = Vec3::Zero();
  for (int k = 0; k < m_subSteps; ++k) {
    const double t = static_cast<double>(m_step) * h;
    // Rates at the middle of the sub-step.
    motionAt(t + 0.5 * h, bodyRate, navAcc);
    // Measured rate and force over the sub-step (relative to inertial space).
    const Quat qMid = m_q * Quat(Eigen::AngleAxisd(0.5 * h * bodyRate.norm(),
                                                   bodyRate.norm() > 0 ? Vec3(bodyRate.normalized()) : Vec3::UnitZ()));
    Vec3 w = bodyRate + qMid.conjugate() * earthNav + m_gyrBias;
    Vec3 error = m_accBias;
    for (int i = 0; i < 3; ++i) {
      w[i] += subSigmaG * m_noise.normal();
      error[i] += subSigmaA * m_noise.normal();
    }
    Vec3 f = specificForce(qMid, navAcc) + error;
    bool cw[3], ca[3];
    clip(w, m_config.gyr.range, cw);
    clip(f, m_config.acc.range, ca);
    const bool clipped = cw[0] || cw[1] || cw[2] || ca[0] || ca[1] || ca[2];
    incClip = incClip || clipped;
    Quat sq;
    Vec3 sv;
    if (clipped) {
      stepIncrement(w, f, h, sq, sv);
    } else {
      // The specific force is constant in the navigation frame over the sub-step, so its
      // integral in the frame at the sub-step start is exact; sensor errors are constant in the
      // body and take the closed form.
      Vec3 ev;
      stepIncrement(w, error, h, sq, ev);
      sv = specificForce(m_q, navAcc) * h + ev;
    }
    dv += dq * sv;
    dq = dq * sq;
    // Truth moves on.
    const double n = bodyRate.norm();
    if (n > 0) m_q = m_q * Quat(Eigen::AngleAxisd(n * h, bodyRate / n));
    m_q.normalize();
    m_position += m_velocity * h + 0.5 * navAcc * h * h;
    m_velocity += navAcc * h;
    // Bias random walks.
    for (int i = 0; i < 3; ++i) {
      m_gyrBias[i] += m_config.gyr.biasWalk * std::sqrt(h) * m_noise.normal();
      m_accBias[i] += m_config.acc.biasWalk * std::sqrt(h) * m_noise.normal();
    }
    ++m_step;
  }
  const double t = static_cast<double>(m_step) * h;
  motionAt(t, bodyRate, navAcc);

  out.t = t;
  out.T = h * m_subSteps;
  out.dq = dq;
  out.dv = dv;
  out.incrementClipped = incClip;
  out.q = m_q;
  out.position = m_position;
  out.velocity = m_velocity;
  out.freeAcceleration = navAcc;
  out.bodyRate = bodyRate;
  out.gyrBias = m_gyrBias;
  out.accBias = m_accBias;

  // Point samples with noise at the output rate.
  const double sigmaG = m_config.gyr.noiseDensity * std::sqrt(m_config.outputRate);
  const double sigmaA = m_config.acc.noiseDensity * std::sqrt(m_config.outputRate);
  const double sigmaM = m_config.mag.noiseDensity * std::sqrt(m_config.outputRate);
  out.gyr = bodyRate + m_q.conjugate() * earthNav + m_gyrBias;
  out.acc = specificForce(m_q, navAcc) + m_accBias;
  for (int i = 0; i < 3; ++i) {
    out.gyr[i] += sigmaG * m_noise.normal();
    out.acc[i] += sigmaA * m_noise.normal();
  }
  clip(out.gyr, m_config.gyr.range, out.gyrClip);
  clip(out.acc, m_config.acc.range, out.accClip);

  Vec3 m = m_q.conjugate() * m_config.mag.field();
  for (const auto& s : m_config.mag.hardIron)
    if (s.when.contains(t)) m += s.offset;
  for (const auto& b : m_config.mag.bursts)
    if (b.when.contains(t))
      for (int i = 0; i < 3; ++i) m[i] += b.offset[i] * m_noise.normal();
  for (int i = 0; i < 3; ++i) m[i] += sigmaM * m_noise.normal();
  for (const auto& z : m_config.mag.zeroSamples)
    if (z.contains(t)) m.setZero();
  out.mag = m;
  return true;
}

}  // namespace filtersim
