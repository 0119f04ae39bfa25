#include "filtersim/GnssReceiver.h"

#include <cmath>
#include <limits>

namespace filtersim {

GnssReceiver::GnssReceiver(const GnssConfig& config, const GeodeticFrame& frame)
    : m_config(config), m_frame(frame), m_noise(config.seed) {
  m_markov = Vec3(config.markovHorizontal * m_noise.normal(), config.markovHorizontal * m_noise.normal(),
                  config.markovVertical * m_noise.normal());
}

Vec3 GnssReceiver::antennaPosition(const GeodeticFrame& frame, const Sample& s, const Vec3& leverArm) {
  // The lever arm is added in the local level frame at the body, then carried to the origin's
  // frame through ECEF (exact also far from the origin).
  const Vec3 body = GeodeticFrame::fromDegrees(s.latLongAltDeg);
  const Vec3 ecef = GeodeticFrame::toEcef(body) + GeodeticFrame::nwuToEcef(body.x(), body.y()) * (s.q * leverArm);
  return frame.ecefToLocal(ecef);
}

Vec3 GnssReceiver::antennaVelocity(const Sample& s, const Vec3& leverArm) {
  return s.velocity + s.q * s.bodyRate.cross(leverArm);
}

double GnssReceiver::reported(double trueSigma) const {
  switch (m_config.accuracy) {
    case GnssConfig::Accuracy::Honest: return trueSigma;
    case GnssConfig::Accuracy::Optimistic: return m_config.optimism * trueSigma;
    case GnssConfig::Accuracy::NaN: return std::numeric_limits<double>::quiet_NaN();
    case GnssConfig::Accuracy::Zero: return 0.0;
    case GnssConfig::Accuracy::Negative: return -trueSigma;
  }
  return trueSigma;
}

void GnssReceiver::makeFix(const Sample& s) {
  // Gauss-Markov part advanced over the time since the last fix.
  const double dt = s.t - m_markovTime;
  m_markovTime = s.t;
  if (m_config.markovTau > 0.0 && dt > 0.0) {
    const double a = std::exp(-dt / m_config.markovTau), k = std::sqrt(1.0 - a * a);
    m_markov.x() = a * m_markov.x() + k * m_config.markovHorizontal * m_noise.normal();
    m_markov.y() = a * m_markov.y() + k * m_config.markovHorizontal * m_noise.normal();
    m_markov.z() = a * m_markov.z() + k * m_config.markovVertical * m_noise.normal();
  }
  Vec3 error(m_config.sigmaHorizontal * m_noise.normal(), m_config.sigmaHorizontal * m_noise.normal(),
             m_config.sigmaVertical * m_noise.normal());
  error += m_markov;
  Vec3 velError(m_config.sigmaVelocity * m_noise.normal(), m_config.sigmaVelocity * m_noise.normal(),
                m_config.sigmaVelocity * m_noise.normal());
  double hAcc = reported(std::hypot(m_config.sigmaHorizontal, m_config.markovHorizontal));
  double vAcc = reported(std::hypot(m_config.sigmaVertical, m_config.markovVertical));
  for (const auto& o : m_config.outliers) {
    if (!o.when.contains(s.t)) continue;
    error += o.jump;
    if (o.reportedAccuracy >= 0.0) hAcc = vAcc = o.reportedAccuracy;
  }
  GnssFix f;
  f.t = s.t;
  f.antennaTruthLocal = antennaPosition(m_frame, s, m_config.leverArm);
  f.antennaVelocityTruth = antennaVelocity(s, m_config.leverArm);
  f.positionError = error;
  // The error is taken in the local level frame at the antenna.
  const Vec3 truthGeo = m_frame.localToGeodetic(f.antennaTruthLocal);
  const Vec3 ecef = GeodeticFrame::toEcef(truthGeo) + GeodeticFrame::nwuToEcef(truthGeo.x(), truthGeo.y()) * error;
  f.latLongAltDeg = GeodeticFrame::toDegrees(GeodeticFrame::fromEcef(ecef));
  f.velNorthEastDown = GeodeticFrame::nedFromNwu(f.antennaVelocityTruth + velError);
  f.hAcc = hAcc;
  f.vAcc = vAcc;
  f.sAcc = reported(m_config.sigmaVelocity);
  m_last = f;
  m_hasFix = true;
}

bool GnssReceiver::update(const Sample& s) {
  bool fresh = false;
  // Every epoch passed since the last sample; only the latest of them gives a fix.
  while (static_cast<double>(m_nextEpoch) / m_config.rate <= s.t + 1e-9) {
    ++m_nextEpoch;
    fresh = true;
  }
  if (fresh) {
    for (const TimeWindow& w : m_config.outages)
      if (w.contains(s.t)) fresh = false;
  }
  if (fresh) {
    makeFix(s);
    m_age = 0;
    return true;
  }
  if (!m_hasFix) return false;
  switch (m_config.ageMode) {
    case GnssConfig::AgeMode::Saturating:
      if (m_age < m_config.ageLimit) ++m_age;
      break;
    case GnssConfig::AgeMode::Wrapping: m_age = static_cast<uint8_t>(m_age + 1); break;
    case GnssConfig::AgeMode::Absent: m_age = 255; break;
  }
  return false;
}

GnssPrint GnssReceiver::print() const {
  GnssPrint p;
  if (!m_hasFix) return p;
  p.posLatLongAlt = m_last.latLongAltDeg;
  p.velNorthEastDown = m_last.velNorthEastDown;
  p.hAcc = m_last.hAcc;
  p.vAcc = m_last.vAcc;
  p.sAcc = m_last.sAcc;
  p.gpsAge = m_age;
  return p;
}

Vec3 GnssReceiver::enuPosition() const {
  return GeodeticFrame::enuFromNwu(m_frame.geodeticToLocal(GeodeticFrame::fromDegrees(m_last.latLongAltDeg)));
}

Vec3 GnssReceiver::enuVelocity() const {
  return GeodeticFrame::enuFromNwu(GeodeticFrame::nwuFromNed(m_last.velNorthEastDown));
}

Eigen::Vector3d GnssReceiver::ecefCentimetres() const {
  return (GeodeticFrame::toEcef(GeodeticFrame::fromDegrees(m_last.latLongAltDeg)) * 100.0).array().round();
}

}  // namespace filtersim
