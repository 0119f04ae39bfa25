#pragma once
// Full state of the Zkf6 navigation filter: the 15 error-state elements x with their
// lower-triangular covariance root sQx (P = sQx sQx^T) and whitened copy sx = sQx^-1 x, the
// orientation q_gs (sensor to navigation, north-west-up), the geodetic position as a reference
// lla0 plus an offset, and the GNSS, barometer and magnetometer bookkeeping.
//
// x: 0-2 position offset from lla0 (north, west, up; m), 3-5 velocity (navigation frame, m/s),
// 6-8 accelerometer bias (m/s^2), 9-11 gyroscope bias (rad/s), 12-14 orientation error
// (rotation vector, sensor frame). Every correction folds the offset into posLatLongAlt and
// moves lla0 there, so between steps the offset is zero and posLatLongAlt equals lla0.
#include <cstdint>

#include "filters/common/ZkfGpsPrintData.h"
#include "filters/common/ZkfInertialData.h"
#include "filters/common/ZkfState.h"
#include "math/Matrix.h"
#include "math/Quaternion.h"
#include "math/Vector.h"
#include "math/Vector3.h"

namespace zelto {

class Zkf6Params;
class Zkf6Aiding;

class Zkf6State : public ZkfState {
 public:
  using ZeltoParams::readFromFile;
  static constexpr ZtSize kStates = 15;

  Zkf6State();
  Zkf6State(const Zkf6State& other);
  Zkf6State& operator=(const Zkf6State& other);
  ~Zkf6State() override;

  // Keys (under prefix), written: "x", "sx", "sQx", "q_gs", "baroBaseHeight", "baroHeight",
  // "magAvg", "magVar", "lla0", "posLatLongAlt", "firstIteration", "firstGps", "firstBaro",
  // "gpsOutage", "previousUpdate", "gpsAgeLong", "okAge", then the GNSS/barometer sample's keys.
  // The sample's "posLatLongAlt" shares the key of the state's position and is written last, so
  // the file holds the sample's. Reading therefore recomputes the state's position from lla0
  // and the offset after all keys were read (the two are kept apart in memory).
  void readFromFile(const SettingsFile& file, const std::string& prefix) override;
  void writeToFile(SettingsFile& file, const std::string& prefix) const override;

  void copyFrom(const Zkf6State& other);
  // Reorders x, sx and sQx by the 15 indices of p (doubles, rounded to the nearest integer).
  // False, nothing changed, when p has fewer than 15 items or an index is outside 0..14.
  bool permute(const Vector& p);
  // Orientation and state from one sample with the given initial velocity (north, west, up).
  // False (state unchanged) when acc, mag or their cross product is too short to give an
  // orientation, or an input is not finite.
  bool initializeFromMeasurement(const Zkf6Params& params, const ZkfInertialData& inertial, const Zkf6Aiding& aiding,
                                 const ZtVector& velocity);
  // baroHeight from a pressure in units of 2 Pa; false (unchanged) for a pressure that is not
  // positive and finite.
  bool updateBaroHeight(double pressure);
  // Height of the standard atmosphere at a pressure in units of 2 Pa.
  static double baroHeightOf(double pressure);
  // The geodetic position (degrees, degrees, m) of a north/west/up offset (m) from a reference,
  // and the offset of a position from it, with the WGS-84 meridian and prime-vertical radii at
  // the reference (the filter's own mechanisation; a single radius for both axes would scale
  // east-west distances by up to 0.7 %). A longitude difference beyond 180 degrees is wrapped.
  static void positionOf(const ZtVector& offset, const ZtVector& reference, ZtVector& latLongAlt);
  static void offsetOf(const ZtVector& latLongAlt, const ZtVector& reference, ZtVector& offset);
  // All numbers finite, |q_gs| within 1e-6 of 1 and sQx lower triangular.
  bool isUsable() const;

  Vector x;
  Vector positionOffset;  // view on x[0..2]
  Vector velocity;        // view on x[3..5]
  Vector orientError;     // view on x[12..14]
  Vector gyrBias;         // view on x[9..11]
  Vector accBias;         // view on x[6..8]
  Vector sx;
  Matrix sQx;
  Quaternion q_gs;
  double baroBaseHeight[2] = {0.0, 0.0};
  Vector3 magAvg;
  Vector3 magVar;
  Vector3 lla0;
  Vector3 posLatLongAlt;
  bool firstIteration = false;
  bool firstGps = false;
  bool firstBaro = false;
  bool gpsOutage = false;
  uint32_t gpsAgeLong = 0;
  double baroHeight = 0.0;
  uint32_t previousUpdate = 0;
  ZkfGpsPrintData gps;
  uint16_t okAge = 0;

 private:
  double m_x[kStates] = {};
  double m_sx[kStates] = {};
  double m_sQx[kStates * kStates] = {};
};

}  // namespace zelto
