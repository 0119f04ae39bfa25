#pragma once
// Run-time parameters of the Zkf700 filter, read on every step. initialize derives them from a
// scenario, the tracker's hardware parameters, the user parameters and a step selection; the
// filter keeps its own copy. T is "sampleTime" (seconds); c(tau) = e^(-T/tau).
#include <array>
#include <cstdint>

#include "filters/common/ZkfParams.h"
#include "filters/zkf700/Zkf700FilterSteps.h"
#include "filters/zkf700/Zkf700InitialConditions.h"
#include "math/Matrix.h"
#include "math/Matrix3x3.h"
#include "math/Quaternion.h"
#include "math/Vector3.h"

class KtMk4_700HardwareParams;
class ZkfUserParams;

namespace zelto {

class Zkf700ScenarioParams;

class Zkf700Params : public ZkfParams {
 public:
  using ZeltoParams::readFromFile;
  // Owns a Zkf700FilterSteps with only "default" set.
  Zkf700Params();
  Zkf700Params(const Zkf700Params& other);
  Zkf700Params& operator=(const Zkf700Params& other);
  ~Zkf700Params() override;

  // Every key of the members below in declaration order ("sQw_mag_spat" after "sQwHolonomic"),
  // "nrMagCheck" when the file has it (files written before it was stored lack it; the pair
  // then keeps its value), the initial conditions, then initSpeedups.
  void readFromFile(const SettingsFile& file, const std::string& prefix) override;
  // The same keys ("gpsPositionAccuracyThreshold" before "updateLocalConstant"), "nrMagCheck"
  // after "n_s", then the initial conditions.
  void writeToFile(SettingsFile& file, const std::string& prefix) const override;

  // Every member but c_magDist from its arguments. A hardware bias time constant ("biasTauAcc",
  // "biasTauGyr" element 0) of 0 or below, or not a number, drops that bias's random-walk term
  // (its noise root becomes 0). Throws ZtException (256) naming the value when the sample rate
  // is not positive and finite or a derived parameter is not finite; the record is then not
  // usable (isUsable false).
  void initialize(const Zkf700ScenarioParams& s, const KtMk4_700HardwareParams& h, const ::ZkfUserParams& u,
                  const Zkf700FilterSteps& steps);
  // samplesInTwoSeconds, baroMeasurementRow and qNwuToLocal.
  void initSpeedups();
  // The first derived value that is not finite ("sampleTime" when it is not positive), or null.
  const char* firstUnusableValue() const;
  // True when firstUnusableValue is null: the filter refuses to step otherwise.
  bool isUsable() const { return firstUnusableValue() == nullptr; }
  Zkf700FilterSteps* zkf700Steps() const;

  // The stored members as a key table in the writer's order (the reader swaps the accuracy
  // threshold and the local constant).
  static constexpr size_t kFieldCount = 50;
  static constexpr size_t kAccuracyThresholdField = 29;
  std::array<SettingField, kFieldCount> fields();

  double accDivMonCDecay = 0.0;
  uint64_t accDivMonSamples = 0;
  uint64_t accDivMonSamplesAboveThresholdPreset = 0;
  double accDivMonThreshold = 0.0;
  double accClipBoost = 0.0;
  double accRange = 0.0;
  double c_acc = 0.0;
  double c_baroAdaptation = 0.0;
  double c_magAvg = 0.0;
  double c_magDist = 0.0;
  double c_magVar = 0.0;
  double c_mag_max = 0.0;
  double c_vel = 0.0;
  double dp_boost = 0.0;
  double p_mag_spat = 0.0;
  double declinationAngleRad = 0.0;
  bool doAccUpdate = false;
  bool doBaroUpdate = false;
  bool doGpsUpdate = false;
  bool doHolonomicConstraintUpdate = false;
  bool doMagUpdate = false;
  double f_accBoost = 0.0;
  double f_magVar = 0.0;
  double f_norotThreshold = 0.0;
  double f_norotNoise = 0.0;
  double sd_w_mag_temporal_min = 0.0;
  double sd_w_mag_temporal_max = 1.0;
  double gpsCoastingTime = 0.0;
  double gpsOutageTimeThreshold = 0.0;
  double updateLocalConstant = 2000.0;
  double gpsPositionAccuracyThreshold = 0.0;
  double gyrOorBoost = 0.0;
  double gyrRangeDeg = 0.0;
  Vector3 projectedMagEarth;
  Matrix3x3 RnMagUpdate;
  double sampleTime = 0.0;
  double sd_vAccLowPass = 0.0;
  Matrix3x3 sQwAcc;
  Matrix3x3 sQwGyr;
  Matrix3x3 sQvMag;
  double sQw_mag_spat = 0.0;
  Matrix3x3 sQwAccBias;
  Matrix sQwBarometer;  // 1 x 1
  Matrix3x3 sQwGyrBias;
  Matrix3x3 sQwHolonomic;
  Vector3 storedGyrBias;
  Vector3 storedLatLongAlt;  // degrees, degrees, m
  double velocityHolonomic = 0.0;
  double velocityZeroRotation = 0.0;
  Vector3 n_s;
  double nrMagCheck[2] = {0.0, 0.0};  // innovation gate, consecutive rejections allowed
  Zkf700InitialConditions initialConditions;

  // Derived by initSpeedups; not stored.
  int32_t samplesInTwoSeconds = 0;
  Matrix baroMeasurementRow;  // 1 x 18, a single 1 at column 2
  Quaternion qNwuToLocal{0.7071067811865476, 0.0, 0.0, 0.7071067811865476};
};

}  // namespace zelto
