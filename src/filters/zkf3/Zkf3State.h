#pragma once
// Full state of the Zkf3 filter: orientation q_gs (sensor to global, north-west-up), the 12
// error-state elements x with their lower-triangular covariance root sQx and whitened copy
// sx = sQx^-1 x, the magnetic and acceleration low-pass states, the step counters and the
// status of the gyroscope-bias estimation at rest.
//
// x: 0-2 low-pass free acceleration (global), 3-5 gyroscope bias (sensor), 6-8 magnetic
// reference (horizontal magnitude, 0, vertical), 9-11 orientation error (rotation vector).
#include <cstdint>

#include "filters/common/ZkfInertialData.h"
#include "filters/common/ZkfState.h"
#include "math/Matrix.h"
#include "math/Quaternion.h"
#include "math/Vector.h"
#include "math/Vector3.h"

namespace zelto {

class Zkf3Params;
class Zkf3Aiding;

class Zkf3State : public ZkfState {
 public:
  using ZeltoParams::readFromFile;
  static constexpr ZtSize kStates = 12;
  // |gyr|^2 at and above which a bias estimation at rest is refused: (5 degrees/s)^2 in rad^2/s^2.
  static constexpr double kNoRotationLimit2 = 0.007615435494667714;

  Zkf3State();
  Zkf3State(const Zkf3State& other);
  Zkf3State& operator=(const Zkf3State& other);
  ~Zkf3State() override;

  // Keys: "sQx", "sx", "q_gs", "x", "velocity_g", "magVar", "magAvg", "acceleration_g" (optional:
  // zero when absent), "dynGravity", "we_g", "sslacc", "sslmag", "firstIteration",
  // "NoRotationStatus.gbes", ".aborted", ".running", ".rejected".
  void readFromFile(const SettingsFile& file, const std::string& prefix) override;
  void writeToFile(SettingsFile& file, const std::string& prefix) const override;

  void copyFrom(const Zkf3State& other);
  // Reorders x, sx and sQx by the index vector p.
  void permute(const Vector& p);
  // Orientation and state from one accelerometer and magnetometer sample; up receives the
  // normalised accelerometer. False (state unchanged) when acc, mag or their cross product is
  // too short to give an orientation, or an input is not finite.
  bool initializeFromMeasurement(const Zkf3Params& params, const ZkfInertialData& inertial, const Zkf3Aiding& aiding,
                                 Vector& up);
  // Starts a bias estimation at rest of the given length unless the gyroscope turns at 5
  // degrees/s or more (then aborted). The sample count saturates at 65535.
  void startNoRotation(const Zkf3Params& params, const ZkfInertialData& inertial, double seconds);
  // All elements finite, |q_gs| within 1e-6 of 1 and sQx lower triangular.
  bool isUsable() const;

  Quaternion q_gs;
  Vector x;
  Vector gyrBias;      // view on x[3..5]
  Vector magRef;       // view on x[6..8]
  Vector orientError;  // view on x[9..11]
  Vector sx;
  Vector3 velocity_g;
  Matrix sQx;
  Vector3 magVar;
  Vector3 magAvg;
  Vector3 acceleration_g;
  Vector3 dynGravity;
  Vector3 we_g;
  uint8_t sslacc = 1;
  uint8_t sslmag = 0;
  bool firstIteration = true;
  bool running = false;
  bool aborted = false;
  bool rejected = false;
  uint16_t gbes = 0;

 private:
  double m_x[kStates] = {};
  double m_sx[kStates] = {};
  double m_sQx[kStates * kStates] = {};
};

}  // namespace zelto
