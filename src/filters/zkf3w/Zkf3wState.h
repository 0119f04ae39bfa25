#pragma once
// Full state of the Zkf3w filter: orientation q_ls (sensor to local, north-west-up), the 12
// error-state elements x with their lower-triangular covariance root sQx and whitened copy
// sx = sQx^-1 x, free acceleration and its leaky integral, the running statistics of the field
// in the local frame, and the step bookkeeping.
//
// x: 0-2 orientation error (rotation vector, on the right of q_ls), 3-5 low-pass free
// acceleration (local), 6-8 gyroscope bias, 9-11 magnetic field (local).
#include <cstdint>

#include "filters/common/ZkfState.h"
#include "math/Matrix.h"
#include "math/Quaternion.h"
#include "math/Vector.h"
#include "math/Vector3.h"

namespace zelto {

class Zkf3wParams;
class Zkf3wSensorData;
class Zkf3wAiding;

class Zkf3wState : public ZkfState {
 public:
  using ZeltoParams::readFromFile;
  static constexpr ZtSize kStates = 12;

  // x zero, q_ls identity, sQx identity, the other vectors zero.
  Zkf3wState();
  Zkf3wState(const Zkf3wState& other);
  Zkf3wState& operator=(const Zkf3wState& other);
  ~Zkf3wState() override;

  // "x", "q_ls", "sQx", "sx", "a_l", "v_l", "magAvg", "magVar", "firstIteration", "okAge",
  // "valid". sampleCount is cleared first; "valid" may be missing (then true). A complete read
  // sets resetTimeDependent.
  void readFromFile(const SettingsFile& file, const std::string& prefix) override;
  void writeToFile(SettingsFile& file, const std::string& prefix) const override;

  // False when firstIteration is set or a vector or matrix holds a non-finite value; else
  // whether q_ls is a unit quaternion within 0.1.
  bool isValid() const override;
  // Every number finite and q_ls not of zero length (a state the filter can step from).
  bool isFinite() const;

  // Whether initializeFromMeasurement would accept these inputs.
  static bool canInitializeFrom(const Zkf3wSensorData& sd, const Zkf3wAiding& aiding, double dt);
  // Orientation and state from one velocity increment (dv / dt pointing up at rest) and one
  // magnetometer sample; up receives the measured up direction (sensor frame). False, nothing
  // changed, when canInitializeFrom is false (an input not finite or too short, dv and mag
  // parallel, dt not positive and finite).
  bool initializeFromMeasurement(const Zkf3wParams& params, const Zkf3wSensorData& sd, const Zkf3wAiding& aiding,
                                 double dt, Vector& up);
  // Reorders x and sx by the index vector p and sQx by rows and columns. False, nothing changed,
  // when p is not a permutation of 0..11.
  bool permute(const Vector& p);

  Vector x;
  Vector accLowpass;   // view on x[3..5]
  Vector gyrBias;      // view on x[6..8]
  Vector magField;     // view on x[9..11]
  Vector orientError;  // view on x[0..2]
  Quaternion q_ls;
  Matrix sQx;
  Vector sx;
  Vector3 a_l;
  Vector3 v_l;
  Vector3 magAvg;
  Vector3 magVar;
  bool valid = false;
  bool firstIteration = true;
  int32_t okAge = 0;
  bool resetTimeDependent = false;
  int32_t sampleCount = 0;

 private:
  void copyFrom(const Zkf3wState& other);

  double m_x[kStates] = {};
  double m_sx[kStates] = {};
  double m_sQx[kStates * kStates] = {};
};

}  // namespace zelto
