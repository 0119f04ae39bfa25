#pragma once
// The Zkf6 GNSS/INS navigation filter: a 15-state square-root error-state Kalman filter that
// turns calibrated acceleration and rate of turn, the magnetometer and the device's GNSS and
// barometer samples into orientation q_gs (sensor to navigation, north-west-up), velocity and
// geodetic position, with accelerometer and gyroscope biases. The covariance is kept as its
// lower-triangular root sQx and the state also whitened (sx = sQx^-1 x). Each step predicts by
// a local-level mechanisation (earth rate, transport rate, Coriolis) and, in the default
// schedule, runs at most one aiding update chosen by priority (GNSS position, GNSS velocity,
// barometer, magnetometer, zero velocity, holonomic constraint, zero rotation), then folds the
// correction into the orientation and the geodetic position.
//
// One object is used by one thread at a time; a step allocates nothing (all work storage is
// owned by the object or on the stack).
#include <cstdint>

#include "filters/common/ZkfInertialData.h"
#include "filters/common/FilterStepObserver.h"
#include "filters/common/ZkfFilterBase.h"
#include "filters/zkf6/Zkf6Aiding.h"
#include "filters/zkf6/Zkf6FilterOutput.h"
#include "filters/zkf6/Zkf6Params.h"
#include "filters/zkf6/Zkf6RealTimeParameters.h"
#include "filters/zkf6/Zkf6SensorData.h"
#include "filters/zkf6/Zkf6State.h"
#include "math/Matrix.h"
#include "math/Matrix3x3.h"
#include "math/Quaternion.h"
#include "math/Vector.h"
#include "math/Vector3.h"

namespace zelto {

// The filters' step observer with what this filter does besides: it (re)initialises its state,
// writes elements of x directly (GNSS anchoring), and folds the position offset x[0..2] into
// the geodetic position after each correction (corrected() reports the orientation error at 12).
class Zkf6StepObserver : public FilterStepObserver {
 public:
  // The state was (re)initialised: x and P = L L^T.
  virtual void initialized(const Vector& x, const Matrix& L) = 0;
  // Elements of x were written directly; the covariance is unchanged.
  virtual void stateWritten(const Vector& x) = 0;
  // After corrected(): x[0..2] was zeroed (folded into the position).
  virtual void positionFolded() = 0;
};

class Zkf6Filter : public ZkfFilterBase {
 public:
  static constexpr char kType = '6';
  static constexpr int kMajor = 2, kMinor = 2, kRevision = 0;
  static constexpr Identity kIdentity{kType, kMajor, kMinor, kRevision, "$Rev: 20226 $"};
  static constexpr ZtSize N = Zkf6State::kStates;

  // Update codes of the default schedule (state "previousUpdate").
  enum Update : uint32_t {
    kNone = 0,
    kGpsPosition = 1,
    kGpsVelocity = 2,
    kZeroVelocity = 3,
    kBarometer = 4,
    kHolonomic = 5,
    kMagnetic = 6,
    kZeroRotation = 7
  };

  // Takes a private copy of params; the caller keeps its object (null: the filter refuses every
  // step until restarted with parameters).
  explicit Zkf6Filter(const Zkf6Params* params);
  Zkf6Filter(const Zkf6Filter&) = delete;
  Zkf6Filter& operator=(const Zkf6Filter&) = delete;
  ~Zkf6Filter() override;

  // Through the interface the records must be the Zkf6 kinds; others give false.
  bool doOneKalmanStep(const ZkfSensorData& sensorData, const ZkfAiding& aiding, const ZkfRealTimeParameters& realTime,
                       ZkfFilterOutput& output, const ZkfTime* time) override;
  // One step. False, with nothing changed, when the filter has no usable parameters, the
  // inertial or magnetometer input is not finite, or (first step) acc and mag do not give an
  // orientation.
  bool doOneKalmanStep(const Zkf6SensorData& sensorData, const Zkf6Aiding& aiding,
                       const Zkf6RealTimeParameters& realTime, Zkf6FilterOutput& output);

  void restart(ZkfParams* params) override;
  // Non-null params that are not Zkf6Params are ignored (the current ones are kept).
  void restartZkf6(ZkfParams* params);

  // Copies the state into state when it is a Zkf6State; otherwise nothing.
  void getFullState(ZkfState* state) const override;
  // setFullStateChecked without its result.
  void setFullState(const ZkfState* state) override;
  // False (state unchanged) for null, a state of another filter or an unusable state (not
  // finite, quaternion far from unit length, covariance root not lower triangular).
  bool setFullStateChecked(const ZkfState* state);
  const Zkf6State& state() const { return m_state; }

  ZkfParams* getFilterParameters() override;
  bool isInitialized() const override;
  static void getTypeAndVersion(unsigned char& type, unsigned char& major, unsigned char& minor,
                                unsigned char& revision);

  // WGS-84 meridian and prime-vertical radii at a latitude in degrees.
  static void earthRadii(double& meridian, double& primeVertical, double latitudeDeg);

  // The steps, public for the custom schedule and for tests. Each update returns whether it ran
  // (an update skips a measurement it cannot use: non-finite values, accuracies that are not
  // positive and finite, a speed of 0 for the holonomic constraint, a failed gate).
  void predict();
  void correctError();
  bool doGpsPosUpdate();
  bool doGpsVelocityUpdate();
  bool doBarometerUpdate();
  bool doMagneticFieldUpdate();
  bool doVelocityZeroUpdate();
  bool doHolonomicConstraintUpdate(const Vector& v, double s);
  bool doZeroRotationUpdate(double s);
  // GNSS anchoring: position and reference to the last fix, offset 0, velocity to the fix's.
  void doFirstGps();
  // Barometer baseline from the current barometric height and the reference altitude.
  void doFirstBaro();
  // Baseline adaptation toward the sensor's altitude at the last fix (the fix less the rotated
  // lever arm).
  void getBaroBaseline();

  // gpsAgeLong > 10 N: more than ten seconds' worth of samples without a fix.
  bool gpsOutage() const;
  uint32_t samplesPerSecond() const { return m_N; }
  // Not owned; null stops the calls.
  void setStepObserver(Zkf6StepObserver* observer) {
    m_zkf6Observer = observer;
    ZkfFilterBase::setStepObserver(observer);
  }

 private:
  void runDefaultSchedule(bool newGps, bool newBaro);
  bool runCustomSchedule(const Zkf6FilterSteps& steps);
  void motionConstraints(uint32_t& code);
  bool measurementUpdate(uint64_t m, const Vector& z, const Matrix& H, const Matrix& Rs);
  // Earth plus transport rate (win) and the Coriolis rate (wc) at the current estimate.
  void navigationRates(Vector3& win, Vector3& wc) const;
  void refreshRotation();
  bool stateFinite() const;
  void stateWrittenDirectly();

  Zkf6Params* m_params;
  ZkfInertialData m_inertial;
  Zkf6Aiding m_aiding;
  Zkf6State m_state;
  uint32_t m_N = 100;
  Matrix3x3 m_R;  // rotation of q_gs

  // Work storage of the step.
  double m_F[N * N] = {};
  double m_G[N * N] = {};
  double m_pre[N * 2 * N] = {};
  double m_H[3 * N] = {};
  double m_Rs[9] = {};
  double m_z[3] = {};
  double m_r[N] = {};
  double m_T[N * N] = {};
  Zkf6StepObserver* m_zkf6Observer = nullptr;
};

}  // namespace zelto
