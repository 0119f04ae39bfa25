#pragma once
// Full state of the Zkf700 filter: the 18-element error state x with its lower-triangular
// covariance root sQx (P = sQx sQx^T) and whitened copy sx (x = sQx sx), the orientation q_ls
// (sensor to local east-north-up), and the bookkeeping of the GNSS, barometer, magnetometer,
// no-rotation, divergence-monitor and validity logic.
//
// x: 0-2 position offset (local, m), 3-5 velocity (local), 6-8 magnetic field (local) when the
// magnetometer update is on, else accelerometer bias (sensor), 9-11 gyroscope bias (sensor),
// 12-14 low-passed acceleration (local), 15-17 orientation error (sensor rotation vector).
// The views stay bound to this object's own storage; copies copy values only.
#include <array>
#include <cstdint>

#include "filters/common/ZkfState.h"
#include "filters/zkf700/Zkf700Aiding.h"
#include "math/Matrix.h"
#include "math/Quaternion.h"
#include "math/Vector.h"
#include "math/Vector3.h"

namespace zelto {

class Zkf700Params;
class Zkf700SensorData;

class Zkf700State : public ZkfState {
 public:
  using ZeltoParams::readFromFile;
  static constexpr ZtSize kStates = 18;

  Zkf700State();
  Zkf700State(const Zkf700State& other);
  Zkf700State& operator=(const Zkf700State& other);
  ~Zkf700State() override;

  // Keys in the writer's order: "x", "g_l", "firstIteration", "firstBarometer", "acc_div",
  // "mag_var", "mag_avg", "NR_magCounter", "v_l_m", "sQx", "sx", "q_ls",
  // "accDivMonSamplesAboveThreshold", "gpsOutage", "firstGPS", "zruRunning", "cZruRunning",
  // "zruAborted", "zruSamplesRejected", "zruSamplesToProcess", "cZruSamplesBelowThreshold",
  // "accDivMon_samples_to_ignore", "validAge", "barometer_baseheight" (two values),
  // "coastingGps", "filterMode", "lat_long_alt", "lat_long_alt_zero", the last aiding under
  // prefix + "lastAiding.", "lastKnownGpsTime" (seconds). The reader takes "v_l_m" after
  // "accDivMonSamplesAboveThreshold" and the two positions before "validAge"; it stops at the
  // first missing or malformed key ("sQx" must be 18 x 18, "barometer_baseheight" must hold
  // two values), keeping what it read before.
  void readFromFile(const SettingsFile& file, const std::string& prefix) override;
  void writeToFile(SettingsFile& file, const std::string& prefix) const override;

  // Initial alignment from one sample and the latched aiding: orientation levelled by dv, the
  // heading from the magnetometer turned by the declination (magnetometer update on) or from
  // the sensor's y axis (off; its z axis when y is within about 6 degrees of vertical), x, a
  // diagonal sQx from the initial deviations, sx = sQx^-1 x, and the bookkeeping reset. up
  // receives the unit up direction in sensor axes; dt is not used. False, with nothing changed,
  // when dv is too short or not finite, or (magnetometer update on) the field is zero, not
  // finite or parallel to up: no heading can be formed and the filter waits.
  bool initializeFromMeasurement(const Zkf700Params& params, const Zkf700SensorData& sensor,
                                 const Zkf700Aiding& aiding, double dt, Vector& up);
  // Reorders x, sx and sQx by the index vector p (indices stored as doubles, truncated).
  void permute(const Vector& p);
  // Does nothing: the no-rotation window is run by the filter's decision logic.
  void startNoRotation(const Zkf700Params& params, const Vector& gyr, double seconds);

  // The stored fields before the last aiding, as a key table in the writer's order.
  static constexpr size_t kFieldCount = 28;
  std::array<SettingField, kFieldCount> fields();

  Vector m_x;
  Vector m_xPos;      // x[0..2]
  Vector m_xVel;      // x[3..5]
  Vector m_xMag;      // x[6..8] with the magnetometer update
  Vector m_xAccBias;  // x[6..8] without it
  Vector m_xGyrBias;  // x[9..11]
  Vector m_xAcc;      // x[12..14]
  Vector m_xOrient;   // x[15..17]
  Vector3 g_l;        // (0, 0, g), g < 0
  bool firstIteration = true;
  Vector3 acc_div;
  Vector3 mag_avg;
  Vector3 mag_var;
  int32_t NR_magCounter = 0;
  Vector3 v_l_m;
  Matrix m_sQx;
  Vector m_sx;
  Quaternion m_q_ls;
  bool gpsOutage = false;
  bool firstGPS = true;
  bool zruRunning = false;
  bool cZruRunning = false;
  bool zruAborted = false;
  bool zruSamplesRejected = false;
  uint32_t zruSamplesToProcess = 0;
  uint32_t cZruSamplesBelowThreshold = 0;
  uint32_t accDivMon_samples_to_ignore = 0;
  uint32_t accDivMonSamplesAboveThreshold = 0;
  uint32_t validAge = 0;
  Zkf700Aiding lastAiding;
  int64_t lastKnownGpsTime = 0;  // milliseconds
  bool firstBarometer = true;
  double barometer_baseheight[2] = {0.0, 0.0};  // baseline offset, last barometric height (m)
  double coastingGps = 0.0;                     // seconds
  Vector3 lat_long_alt_zero;                    // degrees, degrees, m
  Vector3 lat_long_alt;
  Vector3 m_posOffsetLtp;  // work vector of the correction; neither stored nor copied
  uint32_t filterMode = 0;  // 0 no GNSS, 1 coasting, 3 GNSS-aided

 private:
  Vector m_baseheightView;  // the two baseline values, for the key table
  double m_xData[kStates] = {};
  double m_sxData[kStates] = {};
  double m_sQxData[kStates * kStates] = {};
};

}  // namespace zelto
