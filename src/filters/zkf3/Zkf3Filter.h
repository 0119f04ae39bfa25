#pragma once
// The Zkf3 orientation filter: a 12-state square-root error-state Kalman filter that turns
// calibrated acceleration, rate of turn and magnetic field into the orientation q_gs (sensor to
// global, north-west-up), free acceleration, a validity flag and the state of a gyroscope-bias
// estimation at rest. The covariance is kept as its lower-triangular root sQx and the state also
// whitened (sx = sQx^-1 x); the time update and every measurement update are QR array
// algorithms. One object is used by one thread at a time; after the first step a step allocates
// nothing (all work storage is owned by the object).
#include <cstdint>

#include "filters/common/ZkfFilterBase.h"
#include "filters/common/ZkfInertialData.h"
#include "filters/zkf3/Zkf3Aiding.h"
#include "filters/zkf3/Zkf3FilterOutput.h"
#include "filters/zkf3/Zkf3Params.h"
#include "filters/zkf3/Zkf3RealTimeParameters.h"
#include "filters/zkf3/Zkf3SensorData.h"
#include "filters/zkf3/Zkf3State.h"
#include "math/Matrix.h"
#include "math/Matrix3x3.h"
#include "math/Quaternion.h"
#include "math/Vector.h"
#include "math/Vector3.h"

namespace zelto {

// The step observer of the Zkf3 filter: corrected reports errorFirst 9 and dropped set while the
// orientation is frozen at rest.
using Zkf3StepObserver = FilterStepObserver;

class Zkf3Filter : public ZkfFilterBase {
 public:
  static constexpr char kType = '3';
  static constexpr int kMajor = 1, kMinor = 2, kRevision = 0;
  static constexpr Identity kIdentity{kType, kMajor, kMinor, kRevision, "$Rev: 24183 $"};

  // Takes ownership of params (may be null: the filter then refuses every step until restarted
  // with parameters).
  explicit Zkf3Filter(Zkf3Params* params);
  Zkf3Filter(const Zkf3Filter&) = delete;
  Zkf3Filter& operator=(const Zkf3Filter&) = delete;
  ~Zkf3Filter() override;

  // Through the interface the records must be the Zkf3 kinds; others give false.
  bool doOneKalmanStep(const ZkfSensorData& sensorData, const ZkfAiding& aiding, const ZkfRealTimeParameters& realTime,
                       ZkfFilterOutput& output, const ZkfTime* time) override;
  // One step. False, with nothing changed, when the filter has no usable parameters, an input is
  // not finite, or (first step) acc and mag do not give an orientation.
  bool doOneKalmanStep(const Zkf3SensorData& sensorData, const Zkf3Aiding& aiding,
                       const Zkf3RealTimeParameters& realTime, Zkf3FilterOutput& output);

  void restart(ZkfParams* params) override;
  // Non-null params that are not Zkf3Params are ignored (the current ones are kept).
  void restartZkf3(ZkfParams* params);

  // Copies the state into state when it is a Zkf3State; otherwise nothing.
  void getFullState(ZkfState* state) const override;
  // setFullStateChecked without its result.
  void setFullState(const ZkfState* state) override;
  // False (state unchanged) for null, a state of another filter, a non-finite state, a
  // quaternion far from unit length or a covariance root that is not lower triangular.
  bool setFullStateChecked(const ZkfState* state);
  const Zkf3State& state() const { return m_state; }

  ZkfParams* getFilterParameters() override;
  bool isInitialized() const override;
  static void getTypeAndVersion(unsigned char& type, unsigned char& major, unsigned char& minor,
                                unsigned char& revision);

  // The steps of the schedule, public for the custom step selection and for tests.
  void predict();
  void doAccelerationUpdate();
  void doMagnetometerUpdate();
  void doGyroBiasUpdate();
  void correctError();
  // |gyr - bias|^2 > 36 sd_gyr^2: a sample too far from the bias to update it at rest.
  static bool gyroOutlier(const Zkf3Params& params, const ZtVector& gyr, const ZtVector& bias);

  int16_t countdown() const { return m_countdown; }

 private:
  // Shows the update to the observer, then runs it (innovation into m_innovation).
  void measurementUpdate(const Vector& y, const Matrix& H, const Matrix& Rd, uint32_t skip);
  // The acceleration update (noise deviations in m_Rd) with a gain that is zero along the
  // heading error and the gyroscope bias about the global vertical (a consider update): their
  // estimates and variances stay as they are, the rest of the covariance follows in Joseph form.
  void accelerationUpdateKeepingHeading();
  void checkParameters();
  // |L^-1 x[0..2]|^2 for the zero-acceleration measurement with these noise variances (L L^T its
  // innovation covariance).
  double accelerationInnovationSquared(const double (&variance)[3]) const;
  bool inputsFinite(const Zkf3SensorData& sensorData, const Zkf3Aiding& aiding) const;

  Zkf3Params* m_params;
  int16_t m_countdown = 0;
  ZkfInertialData m_inertial;
  Zkf3Aiding m_aiding;
  Zkf3State m_state;
  bool m_noRotation = false;
  // No magnetometer update runs in this step's schedule: the heading and the bias about the
  // vertical are not observable, and the acceleration update keeps them.
  bool m_headingUnaided = false;
  Matrix m_Hacc;  // 3 x 12
  Vector3 m_yAcc;
  Matrix3x3 m_PhiQ, m_PhiQT, m_R, m_RT, m_M1, m_M2;
  // The blocks of the transition that are not the identity's (row-major 3 x 3): rows 0-2 c_acc I
  // and m_phi09 in columns 9-11, rows 6-8 e I, rows 9-11 m_phi93 in columns 3-5 and m_phi99 in
  // columns 9-11.
  double m_phi09[9] = {}, m_phi93[9] = {}, m_phi99[9] = {};
  // The blocks of the process-noise root: rows 0-2 m_qsAcc, rows 3-5 sQw_gyr_bias of the
  // parameters, rows 6-8 and 9-11 the diagonals m_qsMag and m_qsOri.
  double m_qsAcc[9] = {}, m_qsMag[3] = {}, m_qsOri[3] = {};
  // The specific force low-passed over one and over four acceleration time constants, carried in
  // the body frame (the motion detector of the acceleration update without the magnetometer's),
  // and the variance by which the detected motion widens that update on each global axis. Not
  // part of the state: started again from the first sample after an initialisation, an installed
  // state or a step whose schedule has the magnetometer update.
  double m_forceFast[3] = {}, m_forceSlow[3] = {}, m_widening[3] = {};
  bool m_forceUnset = true;
  Quaternion m_dq{0.0, 0.0, 0.0, 0.0};
  Vector3 m_omega, m_v, m_innovation;

  // Work storage of the step.
  Matrix m_Phi;       // 12 x 12 transition (observer only)
  Matrix m_Qs;        // 12 x 12 process-noise root (observer only)
  Matrix m_pre;       // 12 x 24 array [ Phi sQx  Qs ] of the time update
  Matrix m_Hmag, m_Hgyr;  // 3 x 12
  Matrix3x3 m_Rd;
  Vector3 m_y;
  Matrix m_T;         // 12 x 12 correction transform (observer only)
};

}  // namespace zelto
