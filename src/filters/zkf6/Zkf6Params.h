#pragma once
// Run-time parameters of the Zkf6 filter, read every step. initialize derives them from a
// scenario, the tracker's hardware parameters (the GNSS-capable KtigHardwareParams give the
// barometer and GNSS deviations; other hardware sets leave those parts 0), the user parameters
// and a step selection. Never stored: readFromFile and writeToFile do nothing.
//
// Deviations are standard deviations; the filter writes gravity and earthRotation at each GNSS
// fix (they follow the position).
#include <cstdint>

#include "filters/common/ZkfParams.h"
#include "filters/zkf6/Zkf6FilterSteps.h"
#include "filters/zkf6/Zkf6InitialConditions.h"
#include "math/Matrix.h"
#include "math/Matrix3x3.h"
#include "math/Quaternion.h"
#include "math/Vector3.h"

class KtHardwareParams;
class ZkfUserParams;

namespace zelto {

class Zkf6ScenarioParams;

class Zkf6Params : public ZkfParams {
 public:
  using ZeltoParams::readFromFile;
  // Owns a Zkf6FilterSteps with only "default" set.
  Zkf6Params();
  Zkf6Params(const Zkf6Params& other);
  Zkf6Params& operator=(const Zkf6Params& other);
  ~Zkf6Params() override;

  void readFromFile(const SettingsFile& file, const std::string& prefix) override;
  void writeToFile(SettingsFile& file, const std::string& prefix) const override;

  // The owned step flags as their Zkf6 kind (null when a foreign or no steps object is held).
  Zkf6FilterSteps* zkf6Steps() const;

  void initialize(const Zkf6ScenarioParams& s, const KtHardwareParams& h, const ::ZkfUserParams& u,
                  const Zkf6FilterSteps& steps);
  // False when the sample time is not positive and finite (a sample rate of 0, negative or not
  // a number): the filter refuses to step with such parameters.
  bool isUsable() const;

  double sampleTime = 0.0;     // s
  double gyrRangeDeg = 0.0;    // degrees/s
  double accRange = 0.0;       // m/s^2
  double fGyrOor = 0.0, fAccOor = 0.0;
  double magDistDecay = 0.0;
  double fMagvar = 0.0;
  double declination = 0.0;    // degrees
  double magAvgWeight = 0.0, magVarWeight = 0.0;
  double baroAdaptation = 0.0;
  double holonomicSpeed = 0.0;  // m/s
  double sdInitPos = 0.0, sdInitVel = 0.0, sdInitOrient = 0.0, sdInitGyrBias = 0.0, sdInitAccBias = 0.0;
  Matrix3x3 accNoise, gyrNoise, gyrNoiseStep, gyrBiasWalk, accBiasWalk, magNoise, magDistNoise;
  Matrix3x3 gpsPosDev, gpsVelDev, zeroVelNoise, holonomicNoise, zeroRotNoise;
  double baroNoise = 0.0;       // m
  Vector3 earthRotation;        // rad/s, north-west-up
  Vector3 magRef;               // horizontal unit vector of magnetic north
  Vector3 initialMagVar;
  Vector3 gravity;              // (0, 0, -g)
  bool baroSwitch = false, gpsSwitch = false, holonomicSwitch = false, magSwitch = false, zeroRotSwitch = false;
  bool fixedGravity = false;
  Matrix gpsVelH;               // 3 x 15
  Matrix horizontalVelSelector;  // 3 x 15
  Matrix3x3 gpsPosVar;          // squared deviations
  Matrix3x3 magMeasDev;         // vertical element 100
  Matrix baroH;                 // 1 x 15
  double constant1 = 0.0, constant2 = 0.0;
  double gyrRangeRad = 0.0;
  uint16_t resetCount = 0;      // validity countdown start
  Zkf6InitialConditions initialConditions;
  Vector3 storedGyrBias;
  Vector3 leverArm;             // GNSS antenna in the sensor frame, m
  Vector3 storedLatLongAlt;
  Quaternion alignment{0.0, 0.0, 0.0, 0.0};
};

}  // namespace zelto
