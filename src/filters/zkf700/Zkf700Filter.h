#pragma once
// The Zkf700 GNSS/INS filter: an 18-state square-root error-state Kalman filter on strapdown
// increments (see Zkf700State for the state), aided by GNSS position and velocity, barometer,
// magnetometer, acceleration, no-rotation and holonomic updates. One step runs in three parts:
// part one latches the inputs, aligns on the first usable sample, runs the GNSS state machine
// and the decision logic and predicts; part two runs the GNSS, barometer, magnetometer and
// holonomic updates; part three the acceleration and no-rotation updates, the correction and
// the output.
//
// After every phase x, sQx, sx and q_ls are checked to be finite; a failure throws ZtException
// (256) out of the part functions. The step observer of the base (FilterStepObserver) sees
// every time update, measurement update, rollback, correction (orientation error at 15) and
// direct write of x (the position folded and zeroed, the first fix's velocity). The steps (typed and through the interface) catch it: the
// filter starts again from its next sample (re-alignment) and the step returns false, the text
// kept in lastError(). One object is used by one thread at a time; a step allocates nothing.
#include <cstdint>
#include <string>

#include "filters/common/ZkfFilterBase.h"
#include "filters/zkf700/Zkf700Aiding.h"
#include "filters/zkf700/Zkf700FilterOutput.h"
#include "filters/zkf700/Zkf700FilterSteps.h"
#include "filters/zkf700/Zkf700Params.h"
#include "filters/zkf700/Zkf700RealTimeParameters.h"
#include "filters/zkf700/Zkf700SensorData.h"
#include "filters/zkf700/Zkf700State.h"
#include "math/Matrix.h"
#include "math/Vector.h"
#include "math/Vector3.h"

namespace zelto {

class Zkf700Filter : public ZkfFilterBase {
 public:
  enum KalmanStepPart { WholeStep = 0, PartOne = 1, PartTwo = 2, PartThree = 3 };
  static constexpr char kType = '7';
  static constexpr int kMajor = 2, kMinor = 2, kRevision = 0;
  static const Identity kIdentity;

  // Takes a private copy of params (null: the filter refuses every step until restarted with
  // usable parameters).
  explicit Zkf700Filter(const Zkf700Params* params);
  Zkf700Filter(const Zkf700Filter&) = delete;
  Zkf700Filter& operator=(const Zkf700Filter&) = delete;
  ~Zkf700Filter() override;

  // Records of other kinds throw std::bad_cast before anything changes; otherwise never throws.
  bool doOneKalmanStep(const ZkfSensorData& sensorData, const ZkfAiding& aiding, const ZkfRealTimeParameters& realTime,
                       ZkfFilterOutput& output, const ZkfTime* time) override;
  // The whole step or one part. Never throws: an assertion failure restarts the filter (next
  // sample aligns again) and gives false. False with nothing changed for an unknown part, no
  // usable parameters, or a sample whose increments are not finite.
  bool doOneKalmanStep(const Zkf700SensorData& sensorData, const Zkf700Aiding& aiding,
                       const Zkf700RealTimeParameters& realTime, Zkf700FilterOutput& output, KalmanStepPart part);
  // The parts; they throw ZtException (256) when an assertion fails.
  bool doOneKalmanStepPartOne(const Zkf700SensorData& sensorData, const Zkf700Aiding& aiding,
                              const Zkf700RealTimeParameters& realTime, Zkf700FilterOutput& output);
  bool doOneKalmanStepPartTwo(const Zkf700SensorData& sensorData, const Zkf700Aiding& aiding,
                              const Zkf700RealTimeParameters& realTime, Zkf700FilterOutput& output);
  bool doOneKalmanStepPartThree(const Zkf700SensorData& sensorData, const Zkf700Aiding& aiding,
                                const Zkf700RealTimeParameters& realTime, Zkf700FilterOutput& output);

  // The work storage is fixed-size and owned by the object from construction on: nothing to
  // prepare.
  void initializeScratchies();

  void restart(ZkfParams* params) override;
  // Non-null parameters other than the owned copy are copied; in every case the next step aligns
  // again and the three new-data flags are cleared.
  void restartZkf700(const Zkf700Params* params);
  void getFullState(ZkfState* state) const override;
  void setFullState(const ZkfState* state) override;
  // False (state unchanged) for null, a foreign state, or one with a value that is not finite.
  bool setFullStateChecked(const ZkfState* state);
  const Zkf700State& state() const { return m_state; }
  ZkfParams* getFilterParameters() override;
  bool isInitialized() const override;
  static void getTypeAndVersion(unsigned char& type, unsigned char& major, unsigned char& minor,
                                unsigned char& revision);

  // The phases, public for custom step selections and tests.
  void updateGpsState();
  void localConstantUpdate();
  Zkf700FilterSteps decisionLogic(unsigned short noRotationDuration = 0);
  void getLastOutput(Zkf700FilterOutput& output) const;
  void predict(bool noRotation);
  void correct(bool noRotation);
  void doGpsUpdate();
  void doBarometerUpdate();
  void doMagneticFieldUpdate();
  void doHolonomicConstraintUpdate();
  void doHolonomicUpdate(const ZtVector& v, double speed);
  void doZeroRotationUpdate();
  void doAccelerationUpdate();
  void doNorotationUpdate();
  static void pressureToHeight(const double& pressure, double& height);
  double* getBaroBaseline(double height);

  // The new-data flags of the latched aiding: a magnetometer sample received, a GNSS fix and a
  // barometer sample waiting to be used.
  bool magnetometerReceived() const { return m_aiding.magValid; }
  bool gpsWaiting() const { return m_aiding.gpsValid; }
  bool barometerWaiting() const { return m_aiding.baroValid; }
  const Zkf700FilterSteps& currentSteps() const { return m_steps; }
  const std::string& lastError() const { return m_lastError; }
  // Whitened innovation of the last measurement update (its first m values).
  const Vector& lastInnovation() const { return m_innovation; }

 private:
  static constexpr ZtSize kN = Zkf700State::kStates;
  void assertState(const char* signature) const;
  // Runs an m-row update of the current state; false (nothing changed) when the routine refuses.
  bool measurementUpdate(size_t m, const Matrix& H, const Matrix& Rn, size_t skip);
  bool usable() const { return m_params != nullptr && m_params->isUsable(); }

  Zkf700FilterSteps m_steps;
  Zkf700Params* m_params = nullptr;
  Zkf700State m_state;
  Zkf700SensorData m_sensor;
  Zkf700Aiding m_aiding;

  // Work storage of the phases (fixed size; viewed by the zelto matrices below).
  double m_PhiData[kN * kN] = {};
  double m_GData[kN * kN] = {};
  double m_pre[kN * 2 * kN] = {};           // [Phi L  G], 18 x 36
  double m_backup[kN * kN + kN] = {};       // sQx and sx before the magnetometer update
  double m_HData[8 * kN] = {};              // measurement matrix, m x 18
  double m_RnData[8 * 8] = {};              // noise root, m x m
  double m_zData[8] = {}, m_wData[kN] = {};
  double m_TData[kN * kN] = {};             // correction transform (observer only)
  Matrix m_Phi, m_G, m_T;
  Vector m_z, m_innovation;
  Vector3 m_up;
  std::string m_lastError;
};

}  // namespace zelto
