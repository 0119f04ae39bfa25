#pragma once
// The Zkf3w orientation filter of the wireless trackers: a 12-state square-root error-state
// Kalman filter that turns each packet's strapdown increments (dv, dq) over the interval T_int
// and a magnetometer sample into the orientation q_ls (sensor to local, north-west-up) and the
// free acceleration. The covariance is kept as its lower-triangular root sQx and the state also
// whitened (sx = sQx^-1 x); time and measurement updates are orthogonal array algorithms.
//
// One object is used by one thread at a time. All work storage is owned by the object: after
// construction a step allocates nothing.
#include <cstdint>

#include "filters/common/ZkfFilterBase.h"
#include "filters/zkf3w/Zkf3wAiding.h"
#include "filters/zkf3w/Zkf3wFilterOutput.h"
#include "filters/zkf3w/Zkf3wParams.h"
#include "filters/zkf3w/Zkf3wRealTimeParameters.h"
#include "filters/zkf3w/Zkf3wSensorData.h"
#include "filters/zkf3w/Zkf3wState.h"
#include "filters/zkf3w/Zkf3wTimeDependentParams.h"
#include "math/Matrix.h"
#include "math/Matrix3x3.h"
#include "math/Quaternion.h"
#include "math/Vector.h"
#include "math/Vector3.h"

namespace zelto {

// The step observer of the Zkf3w filter: corrected reports errorFirst 0, never dropped.
using Zkf3wStepObserver = FilterStepObserver;

class Zkf3wFilter : public ZkfFilterBase {
 public:
  static constexpr char kType = 'W';
  static constexpr int kMajor = 1, kMinor = 1, kRevision = 0;
  static constexpr Identity kIdentity{kType, kMajor, kMinor, kRevision, "$Rev: 10761 $"};
  static constexpr ZtSize N = Zkf3wState::kStates;

  // Holds a copy of params (the caller keeps its object); null: the filter refuses every step
  // until restarted with parameters.
  explicit Zkf3wFilter(const Zkf3wParams* params);
  Zkf3wFilter(const Zkf3wFilter&) = delete;
  Zkf3wFilter& operator=(const Zkf3wFilter&) = delete;
  ~Zkf3wFilter() override;

  // Through the interface the records must be the Zkf3w kinds and time non-null; else false.
  bool doOneKalmanStep(const ZkfSensorData& sensorData, const ZkfAiding& aiding, const ZkfRealTimeParameters& realTime,
                       ZkfFilterOutput& output, const ZkfTime* time) override;
  // One step over the interval T_int (s). False, with nothing changed, when the filter has no
  // parameters, T_int is not positive and finite, an input is not finite (or dq has no length),
  // or a step that initialises gets dv and mag that give no frame (zero or parallel).
  bool doOneKalmanStep(const Zkf3wSensorData& sensorData, const Zkf3wAiding& aiding,
                       const Zkf3wRealTimeParameters& realTime, Zkf3wFilterOutput& output, double T_int);

  void restart(ZkfParams* params) override;
  // Non-null params other than the held ones are copied when they are Zkf3wParams (others are
  // ignored); then back to the first iteration with okAge and the sample counter 0.
  void restartZkf3w(ZkfParams* params);

  // Copies the state into state when it is a Zkf3wState; otherwise nothing.
  void getFullState(ZkfState* state) const override;
  // setFullStateChecked without its result.
  void setFullState(const ZkfState* state) override;
  // Assigns every field (the reset flag and the counter too). False, nothing changed, for null,
  // another filter's state, or a state with a non-finite value or a zero-length quaternion.
  bool setFullStateChecked(const ZkfState* state);
  const Zkf3wState& state() const { return m_state; }
  const Zkf3wTimeDependentParams& timeDependentParams() const { return m_tdp; }

  ZkfParams* getFilterParameters() override;
  bool isInitialized() const override;
  static void getTypeAndVersion(unsigned char& type, unsigned char& major, unsigned char& minor,
                                unsigned char& revision);

  // The steps of the schedule over the last sample (public for tests and custom schedules).
  void predict(const Zkf3wRealTimeParameters& realTime);
  void doAccelerationUpdate();
  void doMagnetometerUpdate();
  void correct();

  // Reference field of the magnetic state: m0 scaled by the horizontal length of magAvg over
  // that of m0, its vertical element x[11] (horizontal part zero when m0 has none).
  static void determine_m0(const Vector& x, const Zkf3wState& state, const Zkf3wParams& params, Vector& m0);
  // out = sqrt(A o A + scale (B o B)) element by element (3 x 3); a negative radicand gives 0.
  static void determineMagneticFieldNoise(Matrix& out, double scale, const Matrix& A, const Matrix& B);

 private:
  void measurementUpdate(const Vector& y, const Matrix& H, const Matrix& sR, uint32_t skip);
  void checkParameters();
  void setOkAge();

  Zkf3wParams* m_params = nullptr;
  Zkf3wTimeDependentParams m_tdp;
  Zkf3wState m_state;
  Matrix m_Phi;  // 12 x 12
  Zkf3wSensorData m_sd;
  double m_T = 0.0;
  Zkf3wAiding m_aiding;
  Matrix m_Hacc;  // 3 x 12
  Vector3 m_work;

  // Work storage of the step.
  Matrix m_B;          // 12 x 12 process-noise root
  Matrix m_pre;        // 12 x 24 array of the time update
  Matrix m_J;          // 4 x 3
  Matrix m_Hmag;       // 3 x 12
  Matrix m_T3;         // 12 x 12 correction transform (observer only)
  Matrix3x3 m_R, m_RT, m_Rd, m_M1, m_M2, m_Qg, m_Qa, m_sR;
  Vector3 m_omega, m_mref, m_innovation, m_yZero, m_v;
};

}  // namespace zelto
