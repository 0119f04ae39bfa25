#pragma once
// A GNSS receiver on the simulated body: fixes at 1-10 Hz of the antenna (a lever arm in the
// body frame) with white plus first-order Gauss-Markov position error, white velocity noise,
// reported accuracies that may be honest, optimistic, NaN, 0 or negative, outage windows and
// outlier jumps. It is driven by the simulator's samples in order:
//
//   GnssReceiver rx(config, sim.frame());
//   while (sim.next(s)) { bool fresh = rx.update(s); ... rx.print(), rx.last() ... }
//
// A fix epoch k/rate is reported at the first sample at or after it, with the truth of that
// sample (no latency). The device's 8-bit age counter is modelled beside the fix (AgeMode).
//
// Output forms:
// - print(): the fields of the filters' GNSS/barometer sample (degrees, metres, north-east-down
//   velocity, hAcc/vAcc/sAcc, 8-bit age); the caller adds the barometer's pressure and age;
// - enuPosition()/enuVelocity() of a fix about the local origin (east-north-up filters);
// - ecefCentimetres(): the raw ECEF solution in cm.
#include <cstdint>
#include <vector>

#include "filtersim/GeodeticFrame.h"
#include "filtersim/MotionSimulator.h"
#include "filtersim/NormalSource.h"

namespace filtersim {

struct GnssConfig {
  double rate = 1.0;                       // fixes per second
  Vec3 leverArm = Vec3::Zero();            // antenna in the body frame, m
  double sigmaHorizontal = 1.5;            // white position error per axis, m
  double sigmaVertical = 3.0;
  double markovHorizontal = 0.0;           // Gauss-Markov position error (steady state), m
  double markovVertical = 0.0;
  double markovTau = 100.0;                // s
  double sigmaVelocity = 0.1;              // per axis, m/s

  enum class Accuracy { Honest, Optimistic, NaN, Zero, Negative };
  Accuracy accuracy = Accuracy::Honest;
  double optimism = 0.3;                   // Optimistic: reported = optimism * true deviation

  // Samples without a fix: Saturating counts samples since the last fix up to ageLimit and
  // stays there; Wrapping counts modulo 256 (a stale fix then looks new when it wraps); Absent
  // reports 255 (no item) on every sample but the one with the fix. 255 until the first fix.
  enum class AgeMode { Saturating, Wrapping, Absent };
  AgeMode ageMode = AgeMode::Saturating;
  uint8_t ageLimit = 254;

  std::vector<TimeWindow> outages;         // no fixes inside
  struct Outlier {
    TimeWindow when;
    Vec3 jump = Vec3::Zero();              // added to the position (NWU, m)
    double reportedAccuracy = -1.0;        // replaces hAcc and vAcc when >= 0
  };
  std::vector<Outlier> outliers;
  uint64_t seed = 11;
};

struct GnssFix {
  double t = 0.0;
  Vec3 latLongAltDeg = Vec3::Zero();       // measured antenna position
  Vec3 velNorthEastDown = Vec3::Zero();    // measured antenna velocity
  double hAcc = 0.0, vAcc = 0.0, sAcc = 0.0;
  Vec3 antennaTruthLocal = Vec3::Zero();   // true antenna position about the origin (NWU, m)
  Vec3 antennaVelocityTruth = Vec3::Zero();  // NWU
  Vec3 positionError = Vec3::Zero();       // applied error (NWU, m), outlier jump included
};

// The fields of the filters' GNSS/barometer sample.
struct GnssPrint {
  Vec3 posLatLongAlt = Vec3::Zero();
  Vec3 velNorthEastDown = Vec3::Zero();
  double hAcc = 0.0, vAcc = 0.0, sAcc = 0.0;
  uint8_t gpsAge = 255;
};

class GnssReceiver {
 public:
  GnssReceiver(const GnssConfig& config, const GeodeticFrame& frame);

  // Advances to the sample; true when it carries a new fix.
  bool update(const Sample& s);
  bool hasFix() const { return m_hasFix; }
  const GnssFix& last() const { return m_last; }
  uint8_t age() const { return m_age; }
  GnssPrint print() const;

  Vec3 enuPosition() const;
  Vec3 enuVelocity() const;
  Eigen::Vector3d ecefCentimetres() const;
  const GnssConfig& config() const { return m_config; }

  // Antenna position (NWU about the frame's origin) and velocity (NWU) of a sample's truth.
  static Vec3 antennaPosition(const GeodeticFrame& frame, const Sample& s, const Vec3& leverArm);
  static Vec3 antennaVelocity(const Sample& s, const Vec3& leverArm);

 private:
  void makeFix(const Sample& s);
  double reported(double trueSigma) const;

  GnssConfig m_config;
  GeodeticFrame m_frame;
  NormalSource m_noise;
  Vec3 m_markov = Vec3::Zero();
  double m_markovTime = 0.0;
  long m_nextEpoch = 0;
  bool m_hasFix = false;
  uint8_t m_age = 255;
  GnssFix m_last;
};

}  // namespace filtersim
