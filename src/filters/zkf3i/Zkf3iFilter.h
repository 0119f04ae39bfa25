#pragma once
// The Zkf3i orientation filter: a 12-state square-root error-state Kalman filter that turns each
// sample interval's strapdown increments (dq, dv over the sample time T), clip words and
// magnetometer sample into the orientation q_ls (sensor to local east-north-up), the free
// acceleration and the validity, with accelerometer, magnetometer (gated, rolled back when
// refused) and zero-rotation updates, a requested or detected zero-rotation window and a heading
// redefinition toward the measured field. The covariance is kept as its lower-triangular root
// sQx and the state also whitened (x = sQx sx); the time update and the correction reduce their
// arrays by row-wise Householder reflections, the measurement updates by plane rotations.
//
// One object is used by one thread at a time. All work storage is owned by the object: after
// construction a step allocates nothing.
#include <cstdint>

#include "filters/common/ZkfFilterBase.h"
#include "filters/zkf3i/Zkf3iAiding.h"
#include "filters/zkf3i/Zkf3iFilterIdentity.h"
#include "filters/zkf3i/Zkf3iFilterOutput.h"
#include "filters/zkf3i/Zkf3iParams.h"
#include "filters/zkf3i/Zkf3iRealTimeParameters.h"
#include "filters/zkf3i/Zkf3iSensorData.h"
#include "filters/zkf3i/Zkf3iState.h"
#include "math/Matrix.h"
#include "math/Matrix3x3.h"
#include "math/Quaternion.h"
#include "math/Vector.h"
#include "math/Vector3.h"

namespace zelto {

class Zkf3iFilter : public ZkfFilterBase {
 public:
  static constexpr ZtSize N = Zkf3iState::kStates;

  // Holds a copy of params (the caller keeps its object); null: every step is refused until a
  // restart with parameters.
  explicit Zkf3iFilter(const Zkf3iParams* params);
  Zkf3iFilter(const Zkf3iFilter&) = delete;
  Zkf3iFilter& operator=(const Zkf3iFilter&) = delete;
  ~Zkf3iFilter() override;

  // Through the interface the records must be the Zkf3i kinds (else false); time is not used.
  bool doOneKalmanStep(const ZkfSensorData& sensorData, const ZkfAiding& aiding, const ZkfRealTimeParameters& realTime,
                       ZkfFilterOutput& output, const ZkfTime* time) override;
  // One step. False, with nothing changed, when the filter has no usable parameters or an input
  // is not finite (or dq has no length). A first sample that gives no frame (zero force, field
  // parallel to it) is not refused: the filter keeps waiting for one that does.
  bool doOneKalmanStep(const Zkf3iSensorData& sensorData, const Zkf3iAiding& aiding,
                       const Zkf3iRealTimeParameters& realTime, Zkf3iFilterOutput& output);

  // Non-null params other than the held ones are copied when they are Zkf3iParams (others are
  // ignored); in every case back to the first iteration with isValidAge 0.
  void restart(ZkfParams* params) override;
  // Copies the state into state when it is a Zkf3iState; otherwise nothing.
  void getFullState(ZkfState* state) const override;
  void setFullState(const ZkfState* state) override;
  // False, nothing changed, for null, another filter's state or one that is not usable
  // (Zkf3iState::isUsable); otherwise installed with R_ls recomputed.
  bool setFullStateChecked(const ZkfState* state);
  // Recomputes the work values derived from the state: R_ls from q_ls.
  void initializeScratchies();
  const Zkf3iState& state() const { return m_state; }
  // The sensor data of the last step as the prediction left it (bias-corrected rate and
  // increment).
  const Zkf3iSensorData& lastSensorData() const { return m_sd; }

  ZkfParams* getFilterParameters() override;
  bool isInitialized() const override;
  static void getTypeAndVersion(unsigned char& type, unsigned char& major, unsigned char& minor,
                                unsigned char& revision);

  // The end-of-step members of the output from the current state.
  void getLastOutput(Zkf3iFilterOutput& output) const;

  // The steps of the schedule (public for custom schedules and tests).
  void userMagModel();
  void predict();
  void doAccelerationUpdate();
  void doMagnetometerUpdate();
  void doZeroRotationUpdate();
  void correct();
  // The clip solver is a placeholder: it never solves, so a clipped gyroscope always takes the
  // plain noise inflation of the prediction.
  bool clipSolve(Matrix3x3& gyrNoise);
  static void solveClipSolve(Vector3& result);
  // The prediction's noise inflation for the current clip words, standalone (no state change).
  bool clipHandler(Matrix3x3& gyrNoise, Matrix3x3& accNoise);
  // Magnetometer disturbance bookkeeping of the clip solver ("clipSolve_state"); the increment
  // out is the sample's, solved is false.
  void getClipSolveSdi(Quaternion& dq, Matrix3x3& noise, bool& solved);

 private:
  void defaultSchedule();
  void customSchedule(const Zkf3iFilterSteps& steps);
  bool initializeFromMeasurement();
  // Shows the update to the observer, then runs it (whitened innovation into m_e). False, and
  // nothing done, when a noise deviation is not positive and finite.
  bool measurementUpdate(const Vector& y, const Matrix& H, const Matrix3x3& sR, uint32_t skip, unsigned journalBit);
  void setInvalid() { m_state.isValidAge = static_cast<int32_t>(m_params->okAgeInit); }
  bool inputsUsable(const Zkf3iSensorData& sensorData, const Zkf3iAiding& aiding) const;

  Zkf3iParams* m_params = nullptr;
  Zkf3iState m_state;
  Zkf3iSensorData m_sd;
  Zkf3iAiding m_ad;
  Matrix3x3 m_R;       // R_ls: rotation of q_ls
  Matrix3x3 m_Rstart;  // R_ls at the start of the step (dv is in the sensor frame of then)
  Matrix m_Hacc;       // 3 x 12 [I 0 0 0]
  Vector3 m_yZero;

  // Work storage of the step.
  Matrix m_Phi;  // 12 x 12
  Matrix m_G;    // 12 x 12 process-noise root
  Matrix m_pre;  // 12 x 24 [Phi sQx  G]
  Matrix m_H;    // 3 x 12
  Matrix m_J;    // 4 x 3
  Matrix m_T;    // 12 x 12 correction transform (observer only)
  Matrix3x3 m_M1, m_M2, m_sR;
  Vector3 m_v1, m_v2, m_y, m_e;
  double m_sQxBackup[N * N] = {};
  double m_sxBackup[N] = {};
};

}  // namespace zelto
