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

Segment Segment::shakeRocking(double duration, const Vec3& amplitude, const Vec3& frequency, const Vec3& bodyAxis,
                              double angle, double rockFrequency) {
  Segment s = shake(duration, amplitude, frequency);
  s.axis = bodyAxis.normalized();
  s.rate = angle * 2.0 * M_PI * rockFrequency;
  s.frequency = rockFrequency;
  return s;
}

Segment Segment::forward(double duration, double acceleration) {
  Segment s;
  s.kind = Kind::ForwardAcceleration;
  s.duration = duration;
  s.acceleration = Vec3(acceleration, 0.0, 0.0);
  return s;
}

Segment Segment::steer(double duration, const Vec3& bodyAxis, double rate) {
  Segment s;
  s.kind = Kind::Steer;
  s.duration = duration;
  s.axis = bodyAxis.normalized();
  s.rate = rate;
  return s;
}

Vec3 Sample::meanRate() const {
  const Eigen::AngleAxisd a(dq);
  return a.axis() * (a.angle() / T);
}

Vec3 MagneticModel::field() const {
  const double h = std::cos(inclination);
  // north, west (= -east), up (= -down)
  return intensity * Vec3(h * std::cos(declination), -h * std::sin(declination), -std::sin(inclination));
}

MotionSimulator::MotionSimulator(const SimulatorConfig& config, std::vector<Segment> segments)
    : m_config(config),
      m_segments(std::move(segments)),
      m_noise(config.seed),
      m_frame(Vec3(config.latitude, config.longitude, config.altitude)),
      m_geodetic(config.latitude, config.longitude, config.altitude) {
  for (const Segment& s : m_segments) m_duration += s.duration;
  m_subSteps = std::max(1, static_cast<int>(std::lround(m_config.truthRate / m_config.outputRate)));
  m_q = m_config.initialAttitude.normalized();
  m_velocity = m_config.initialVelocity;
  m_gyrBias = m_config.gyr.bias;
  m_accBias = m_config.acc.bias;
  // Gauss-Markov biases start in their steady state (no draws when unused, so the sequences of
  // configurations without them stay as they were).
  for (int i = 0; i < 3; ++i) {
    if (m_config.gyr.markovSigma > 0.0) m_gyrMarkov[i] = m_config.gyr.markovSigma * m_noise.normal();
    if (m_config.acc.markovSigma > 0.0) m_accMarkov[i] = m_config.acc.markovSigma * m_noise.normal();
  }
}

Vec3 MotionSimulator::earthRateNav() const {
  if (!m_config.earthRate) return Vec3::Zero();
  const double lat = m_config.curvedEarth ? m_geodetic.x() : m_config.latitude;
  return GeodeticFrame::earthRateNwu(lat, m_config.earthRateValue);
}

Vec3 MotionSimulator::transportRate() const {
  if (!m_config.curvedEarth) return Vec3::Zero();
  return GeodeticFrame::transportRateNwu(m_geodetic, m_velocity);
}

double MotionSimulator::gravityHere() const {
  if (m_config.curvedEarth)
    return GeodeticFrame::gravity(m_config.gravityModel, m_geodetic.x(), m_geodetic.z(), m_config.gravity);
  return GeodeticFrame::gravity(m_config.gravityModel, m_config.latitude, m_config.altitude + m_position.z(),
                                m_config.gravity);
}

void MotionSimulator::stepMarkov(Vec3& state, const SensorErrors& e, double h) {
  if (e.markovSigma <= 0.0) return;
  const double a = std::exp(-h / e.markovTau);
  const double s = e.markovSigma * std::sqrt(1.0 - a * a);
  for (int i = 0; i < 3; ++i) state[i] = a * state[i] + s * m_noise.normal();
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
      if (s.rate != 0.0) bodyRate = s.axis * (s.rate * std::cos(2.0 * M_PI * s.frequency * local));
      break;
    case Segment::Kind::ForwardAcceleration: navAcc = m_q * Vec3(s.acceleration.x(), 0.0, 0.0); break;
    case Segment::Kind::Steer:
      bodyRate = s.axis * s.rate;
      navAcc = (m_q * bodyRate).cross(m_velocity);
      break;
  }
}

Vec3 MotionSimulator::specificForce(const Quat& q, const Vec3& navAcc) const {
  Vec3 f = navAcc + Vec3(0.0, 0.0, gravityHere());
  if (m_config.curvedEarth) f += (2.0 * earthRateNav() + transportRate()).cross(m_velocity);
  return q.conjugate() * f;
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
  const bool scaled = !m_config.acc.scaleMisalignment.isIdentity(0.0);
  const bool scaledGyr = !m_config.gyr.scaleMisalignment.isIdentity(0.0);

  Quat dq = Quat::Identity();
  Vec3 dv = Vec3::Zero();
  bool incClip = false;
  Vec3 bodyRate = Vec3::Zero(), navAcc = Vec3::Zero();
  for (int k = 0; k < m_subSteps; ++k) {
    const double t = static_cast<double>(m_step) * h;
    // Rates at the middle of the sub-step.
    motionAt(t + 0.5 * h, bodyRate, navAcc);
    {
      // Steering: the axis is fixed in the navigation frame over the sub-step, so the velocity
      // turns exactly and the mean acceleration follows from its end value; the vehicle's speed
      // is then kept and the measured force matches the truth.
      double local = 0.0;
      const int si = segmentAt(t + 0.5 * h, local);
      if (si >= 0 && m_segments[si].kind == Segment::Kind::Steer) {
        const Segment& sg = m_segments[si];
        navAcc = (Eigen::AngleAxisd(sg.rate * h, m_q * sg.axis) * m_velocity - m_velocity) / h;
      }
    }
    // Measured rate and force over the sub-step (relative to inertial space).
    const Quat qMid = m_q * Quat(Eigen::AngleAxisd(0.5 * h * bodyRate.norm(),
                                                   bodyRate.norm() > 0 ? Vec3(bodyRate.normalized()) : Vec3::UnitZ()));
    const Vec3 navRate = earthRateNav() + transportRate();
    Vec3 w = bodyRate + qMid.conjugate() * navRate;
    if (scaledGyr) w = m_config.gyr.scaleMisalignment * w;
    w += m_gyrBias + m_gyrMarkov;
    Vec3 error = m_accBias + m_accMarkov;
    for (int i = 0; i < 3; ++i) {
      w[i] += subSigmaG * m_noise.normal();
      error[i] += subSigmaA * m_noise.normal();
    }
    Vec3 f = specificForce(qMid, navAcc);
    if (scaled) f = m_config.acc.scaleMisalignment * f;
    f += error;
    bool cw[3], ca[3];
    clip(w, m_config.gyr.range, cw);
    clip(f, m_config.acc.range, ca);
    const bool clipped = cw[0] || cw[1] || cw[2] || ca[0] || ca[1] || ca[2];
    incClip = incClip || clipped;
    Quat sq;
    Vec3 sv;
    if (clipped || scaled) {
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
    if (m_config.curvedEarth) m_geodetic += GeodeticFrame::geodeticRate(m_geodetic, m_velocity + 0.5 * h * navAcc) * h;
    m_position += m_velocity * h + 0.5 * navAcc * h * h;
    m_velocity += navAcc * h;
    // Bias random walks.
    for (int i = 0; i < 3; ++i) {
      m_gyrBias[i] += m_config.gyr.biasWalk * std::sqrt(h) * m_noise.normal();
      m_accBias[i] += m_config.acc.biasWalk * std::sqrt(h) * m_noise.normal();
    }
    stepMarkov(m_gyrMarkov, m_config.gyr, h);
    stepMarkov(m_accMarkov, m_config.acc, h);
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
  if (m_config.curvedEarth) {
    out.position = m_frame.geodeticToLocal(m_geodetic);
    out.latLongAltDeg = GeodeticFrame::toDegrees(m_geodetic);
  } else {
    out.position = m_position;
    out.latLongAltDeg = GeodeticFrame::toDegrees(m_frame.localToGeodetic(m_position));
  }
  out.velocity = m_velocity;
  out.freeAcceleration = navAcc;
  out.bodyRate = bodyRate;
  out.gyrBias = m_gyrBias + m_gyrMarkov;
  out.accBias = m_accBias + m_accMarkov;

  // Point samples with noise at the output rate.
  const double sigmaG = m_config.gyr.noiseDensity * std::sqrt(m_config.outputRate);
  const double sigmaA = m_config.acc.noiseDensity * std::sqrt(m_config.outputRate);
  const double sigmaM = m_config.mag.noiseDensity * std::sqrt(m_config.outputRate);
  out.gyr = bodyRate + m_q.conjugate() * (earthRateNav() + transportRate());
  out.acc = specificForce(m_q, navAcc);
  if (scaledGyr) out.gyr = m_config.gyr.scaleMisalignment * out.gyr;
  if (scaled) out.acc = m_config.acc.scaleMisalignment * out.acc;
  out.gyr += out.gyrBias;
  out.acc += out.accBias;
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
