#include "filters/zkf6/Zkf6Filter.h"

#include <cmath>
#include <limits>

#include "filters/common/ConsiderUpdate.h"
#include "filters/common/EstimationRoutines.h"
#include "filters/common/InputCast.h"
#include "filters/common/LowerTriangulariseRows.h"
#include "filters/zkf6/MeasurementUpdateZkf6Fw.h"

namespace zelto {

namespace {

constexpr ZtSize N = Zkf6State::kStates;
constexpr ZtSize kPreCols = 2 * N;
static_assert(kPreCols <= kLowerTriangulariseMaxColumns, "time-update array too wide");
// The noise input G is block diagonal in full 3 x 3 blocks (not triangular), so row i of
// [ F L  G ] is zero from the end of its G block on: what the reduction may skip.
constexpr std::size_t kPreEnd[N] = {18, 18, 18, 21, 21, 21, 24, 24, 24, 27, 27, 27, 30, 30, 30};
constexpr double kDegToRad = 0.017453292519943295;
constexpr double kHolonomicVertical = 1000.0;
constexpr double kZeroRotationGate = 0.3;

// [v x] into a 3 x 3 row-major block.
void skew(const double* v, double* S) {
  S[0] = 0.0;
  S[1] = -v[2];
  S[2] = v[1];
  S[3] = v[2];
  S[4] = 0.0;
  S[5] = -v[0];
  S[6] = -v[1];
  S[7] = v[0];
  S[8] = 0.0;
}

void cross(const double* a, const double* b, double* out) {
  out[0] = a[1] * b[2] - a[2] * b[1];
  out[1] = a[2] * b[0] - a[0] * b[2];
  out[2] = a[0] * b[1] - a[1] * b[0];
}

double norm3(const double* v) { return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]); }

bool finite3(const ZtVector& v) {
  return std::isfinite(v.data[0]) && std::isfinite(v.data[1]) && std::isfinite(v.data[2]);
}

bool positiveFinite(double v) { return v > 0.0 && std::isfinite(v); }

// Writes block (r0.., c0..) of the 15 x 15 row-major matrix M.
void setBlock(double* M, ZtSize r0, ZtSize c0, const double* B) {
  for (ZtSize r = 0; r < 3; ++r)
    for (ZtSize c = 0; c < 3; ++c) M[(r0 + r) * N + c0 + c] = B[r * 3 + c];
}

}  // namespace

Zkf6Filter::Zkf6Filter(const Zkf6Params* params) : ZkfFilterBase(kIdentity), m_params(nullptr) {
  if (params != nullptr) m_params = new Zkf6Params(*params);
  m_N = 0;
  restartZkf6(nullptr);
}

Zkf6Filter::~Zkf6Filter() { delete m_params; }

void Zkf6Filter::restart(ZkfParams* params) { restartZkf6(params); }

void Zkf6Filter::restartZkf6(ZkfParams* params) {
  if (params != nullptr && params != m_params) {
    if (const auto* p = dynamic_cast<const Zkf6Params*>(params)) {
      auto* copy = new Zkf6Params(*p);
      delete m_params;
      m_params = copy;
    }
  }
  m_state.firstIteration = true;
  m_state.firstGps = true;
  m_state.firstBaro = true;
  m_state.previousUpdate = kNone;
  m_state.okAge = 0;
  m_N = 100;
  if (m_params != nullptr && m_params->isUsable()) {
    const double n = std::trunc(1.0 / m_params->sampleTime);
    m_N = n >= 1.0 && n < 4e8 ? static_cast<uint32_t>(n) : 1u;
  }
}

void Zkf6Filter::getFullState(ZkfState* state) const {
  if (auto* s = dynamic_cast<Zkf6State*>(state)) s->copyFrom(m_state);
}

void Zkf6Filter::setFullState(const ZkfState* state) { (void)setFullStateChecked(state); }

bool Zkf6Filter::setFullStateChecked(const ZkfState* state) {
  const auto* s = dynamic_cast<const Zkf6State*>(state);
  if (s == nullptr || !s->isUsable()) return false;
  m_state.copyFrom(*s);
  return true;
}

ZkfParams* Zkf6Filter::getFilterParameters() { return m_params; }

bool Zkf6Filter::isInitialized() const { return !m_state.firstIteration; }

void Zkf6Filter::getTypeAndVersion(unsigned char& type, unsigned char& major, unsigned char& minor,
                                   unsigned char& revision) {
  typeAndVersion(kIdentity, type, major, minor, revision);
}

void Zkf6Filter::earthRadii(double& meridian, double& primeVertical, double latitudeDeg) {
  wgs84Radii(latitudeDeg, meridian, primeVertical);
}

bool Zkf6Filter::gpsOutage() const { return static_cast<uint64_t>(m_state.gpsAgeLong) > 10ull * m_N; }

bool Zkf6Filter::doOneKalmanStep(const ZkfSensorData& sensorData, const ZkfAiding& aiding,
                                 const ZkfRealTimeParameters& realTime, ZkfFilterOutput& output, const ZkfTime*) {
  const auto* sd = inputCast<const Zkf6SensorData>(&sensorData);
  const auto* ad = inputCast<const Zkf6Aiding>(&aiding);
  const auto* rt = inputCast<const Zkf6RealTimeParameters>(&realTime);
  auto* out = inputCast<Zkf6FilterOutput>(&output);
  if (sd == nullptr || ad == nullptr || rt == nullptr || out == nullptr) return false;
  return doOneKalmanStep(*sd, *ad, *rt, *out);
}

bool Zkf6Filter::doOneKalmanStep(const Zkf6SensorData& sensorData, const Zkf6Aiding& aiding,
                                 const Zkf6RealTimeParameters&, Zkf6FilterOutput& output) {
  if (m_params == nullptr || !m_params->isUsable()) return false;
  if (!finite3(sensorData.inertial.acc) || !finite3(sensorData.inertial.gyr) || !finite3(aiding.mag)) return false;
  Zkf6Params& p = *m_params;
  Zkf6State& s = m_state;
  const Zkf6FilterSteps* steps = p.zkf6Steps();
  const bool defaultPath = steps == nullptr || steps->defaultSchedule;
  // A step that initialises may meet a sample that gives no orientation: it then changes
  // nothing, so the state is kept aside first (no allocation: the state is flat).
  const bool initialises = defaultPath ? s.firstIteration : steps->init;
  Zkf6State saved;
  if (initialises) saved.copyFrom(s);
  const ZkfInertialData savedInertial = m_inertial;

  // 1. First-iteration reset.
  if (s.firstIteration) {
    s.gps.pressure = 0.0;
    s.gps.gpsAge = 255;
    s.gps.pressureAge = 255;
    s.okAge = 0;
    s.gpsOutage = true;
    s.baroHeight = 0.0;
    s.previousUpdate = kNone;
    s.gpsAgeLong = 10 * m_N + 1;
  }
  // 2. Latch.
  m_inertial = sensorData.inertial;
  m_aiding = aiding;
  const ZkfGpsPrintData& in = m_aiding.gps;
  // 3. New data: the device restarts an age counter with each new sample.
  bool newGps = in.gpsAge < s.gps.gpsAge;
  bool newBaro = in.pressureAge < s.gps.pressureAge;
  // 4. GNSS bookkeeping. A fix without a finite position or velocity is not used.
  if (newGps) {
    s.gps.copyGpsPartFrom(in);
    newGps = finite3(in.posLatLongAlt) && finite3(in.velNorthEastDown);
    if (newGps && !s.firstIteration) {
      if (!p.fixedGravity) {
        double g = 0.0;
        gravityIgf1980(s.gps.posLatLongAlt, g);
        p.gravity[2] = g;
      }
      computeEarthRotationInLtp(s.gps.posLatLongAlt[0], p.earthRotation);
    }
  } else {
    s.gps.gpsAge = in.gpsAge;
  }
  // 5. Barometer bookkeeping; a pressure that is not positive and finite is not a measurement.
  if (newBaro) {
    s.gps.copyBaroPartFrom(in);
    newBaro = s.updateBaroHeight(in.pressure);
  } else {
    s.gps.pressureAge = in.pressureAge;
  }
  // 6. Samples since the last fix, counted here: the device's 8-bit age saturates (or stops
  // arriving), so it cannot count an outage of ten seconds at the tracker's rates.
  if (newGps)
    s.gpsAgeLong = s.gps.gpsAge;
  else if (s.gpsAgeLong < std::numeric_limits<uint32_t>::max())
    ++s.gpsAgeLong;

  // 7. Schedule.
  bool ok = true;
  if (defaultPath) {
    if (s.firstIteration) {
      Vector3 v0;
      if (newGps) s.gps.getVelNorthWestUp(v0);
      ok = s.initializeFromMeasurement(p, m_inertial, m_aiding, v0);
      if (ok) {
        if (newGps) s.gpsOutage = false;
        s.posLatLongAlt.isZero();
        refreshRotation();
        if (newGps) doFirstGps();
        if (newBaro && !s.firstGps) doFirstBaro();
        s.firstIteration = false;
        if (m_zkf6Observer != nullptr) m_zkf6Observer->initialized(s.x, s.sQx);
      }
    } else {
      runDefaultSchedule(newGps, newBaro);
    }
  } else {
    ok = runCustomSchedule(*steps);
  }
  if (!ok) {
    s.copyFrom(saved);
    m_inertial = savedInertial;
    return false;
  }

  // 8. Output and validity.
  output.orientation = s.q_gs;
  output.position = s.posLatLongAlt;
  for (ZtSize i = 0; i < 3; ++i) output.velocity[i] = s.velocity[i];
  if (s.firstGps || gpsOutage()) {
    s.firstGps = true;
    s.okAge = p.resetCount;
  }
  if (static_cast<int16_t>(s.okAge) > 0) --s.okAge;
  output.valid = s.okAge == 0 && stateFinite();
  return true;
}

bool Zkf6Filter::stateFinite() const {
  const Zkf6State& s = m_state;
  if (!finite3(s.posLatLongAlt) || !std::isfinite(s.q_gs.w + s.q_gs.x + s.q_gs.y + s.q_gs.z)) return false;
  for (ZtSize i = 0; i < N; ++i)
    if (!std::isfinite(s.x[i]) || !std::isfinite(s.sQx(i, i))) return false;
  return true;
}

void Zkf6Filter::refreshRotation() { m_R.isQuat(m_state.q_gs); }

void Zkf6Filter::runDefaultSchedule(bool newGps, bool newBaro) {
  const Zkf6Params& p = *m_params;
  Zkf6State& s = m_state;
  predict();
  uint32_t code = kNone;
  if (p.gpsSwitch && newGps) {
    if (s.firstGps) doFirstGps();
    getBaroBaseline();
    doGpsPosUpdate();
    code = kGpsPosition;
  } else if (p.gpsSwitch && s.previousUpdate == kGpsPosition) {
    doGpsVelocityUpdate();
    code = kGpsVelocity;
  } else if (p.baroSwitch && newBaro) {
    if (!s.firstBaro) {
      doBarometerUpdate();
      code = kBarometer;
    } else {
      if (!s.firstGps) doFirstBaro();
      motionConstraints(code);
    }
  } else if (p.gpsSwitch && !gpsOutage()) {
    if (p.holonomicSwitch) {
      motionConstraints(code);
    } else if (p.magSwitch) {
      doMagneticFieldUpdate();
      code = kMagnetic;
    } else {
      motionConstraints(code);
    }
  } else {
    s.firstGps = true;
    if (p.magSwitch && s.gpsOutage) {
      doMagneticFieldUpdate();
      s.gpsOutage = false;
      code = kMagnetic;
    } else if (!p.holonomicSwitch) {
      doVelocityZeroUpdate();
      s.gpsOutage = true;
      code = kZeroVelocity;
    } else {
      motionConstraints(code);
    }
  }
  s.previousUpdate = code;
  correctError();
}

void Zkf6Filter::motionConstraints(uint32_t& code) {
  const Zkf6Params& p = *m_params;
  Zkf6State& s = m_state;
  // The vehicle's current velocity: the state's. The last fix's velocity is the antenna's and up
  // to a fix period old; held against the body axis at every sample it drags the heading back
  // through every turn and acceleration.
  Vector3 v;
  for (ZtSize i = 0; i < 3; ++i) v[i] = s.velocity[i];
  const double speed = norm3(v.data);
  if (p.holonomicSwitch && speed > p.holonomicSpeed) {
    doHolonomicConstraintUpdate(v, speed);
    code = kHolonomic;
  } else {
    code = kNone;
    if (p.zeroRotSwitch) {
      doZeroRotationUpdate(speed);
      code = kZeroRotation;
    }
  }
}

bool Zkf6Filter::runCustomSchedule(const Zkf6FilterSteps& steps) {
  Zkf6State& s = m_state;
  refreshRotation();
  if (steps.init) {
    // The fix's velocity in the navigation frame (north, west, up), as the default schedule
    // takes it.
    Vector3 v0;
    s.gps.getVelNorthWestUp(v0);
    if (!s.initializeFromMeasurement(*m_params, m_inertial, m_aiding, v0)) return false;
    refreshRotation();
    if (m_zkf6Observer != nullptr) m_zkf6Observer->initialized(s.x, s.sQx);
  }
  if (steps.predict) predict();
  if (steps.correct) correctError();
  Vector3 v;
  for (ZtSize i = 0; i < 3; ++i) v[i] = s.velocity[i];
  const double speed = norm3(v.data);
  if (steps.zeroRotationUpdate) doZeroRotationUpdate(speed);
  if (steps.magUpdate) doMagneticFieldUpdate();
  if (steps.gpsPositionUpdate) doGpsPosUpdate();
  if (steps.gpsVelocityUpdate) doGpsVelocityUpdate();
  if (steps.baroUpdate) doBarometerUpdate();
  if (steps.zeroVelocityUpdate) doVelocityZeroUpdate();
  if (steps.holonomicUpdate) doHolonomicConstraintUpdate(v, speed);
  return true;
}

void Zkf6Filter::stateWrittenDirectly() {
  Zkf6State& s = m_state;
  // The schedule's correction recomputes x from sx: written elements must reach sx too.
  s.sx.isLeftDivideTriL(s.sQx, s.x);
  if (m_zkf6Observer != nullptr) m_zkf6Observer->stateWritten(s.x);
}

void Zkf6Filter::doFirstGps() {
  Zkf6State& s = m_state;
  // The fix is the antenna's: the sensor sits the lever arm away from it (and moves by the
  // antenna's turn rate less). Anchoring on the antenna itself would leave the position off by
  // the lever arm with a covariance that, after an outage, no longer covers it.
  const double* l = m_params->leverArm.data;
  double w[3], wxl[3];
  for (ZtSize i = 0; i < 3; ++i) w[i] = m_inertial.gyr[i] - s.gyrBias[i];
  cross(w, l, wxl);
  Vector3 toSensor, velocity;
  s.gps.getVelNorthWestUp(velocity);
  for (ZtSize r = 0; r < 3; ++r) {
    toSensor[r] = -(m_R(r, 0) * l[0] + m_R(r, 1) * l[1] + m_R(r, 2) * l[2]);
    velocity[r] -= m_R(r, 0) * wxl[0] + m_R(r, 1) * wxl[1] + m_R(r, 2) * wxl[2];
  }
  Zkf6State::positionOf(toSensor, s.gps.posLatLongAlt, s.posLatLongAlt);
  s.lla0 = s.posLatLongAlt;
  s.positionOffset.isZero();
  for (ZtSize i = 0; i < 3; ++i) s.velocity[i] = velocity[i];
  s.firstGps = false;
  s.previousUpdate = kNone;
  stateWrittenDirectly();
}

void Zkf6Filter::doFirstBaro() {
  Zkf6State& s = m_state;
  s.baroBaseHeight[0] = s.baroHeight - s.lla0[2];
  s.baroBaseHeight[1] = s.baroHeight;
  s.firstBaro = false;
}

void Zkf6Filter::getBaroBaseline() {
  Zkf6State& s = m_state;
  const double c = m_params->baroAdaptation;
  // The barometer sits at the sensor: the baseline follows the sensor's altitude, the fix's
  // (the antenna's) less the up component of the rotated lever arm, as the position update
  // places the sensor.
  const double* l = m_params->leverArm.data;
  const double sensorAltitude = s.gps.posLatLongAlt[2] - (m_R(2, 0) * l[0] + m_R(2, 1) * l[1] + m_R(2, 2) * l[2]);
  s.baroBaseHeight[0] = c * s.baroBaseHeight[0] + (1.0 - c) * (s.baroBaseHeight[1] - sensorAltitude);
}

void Zkf6Filter::navigationRates(Vector3& win, Vector3& wc) const {
  const Zkf6State& s = m_state;
  const Zkf6Params& p = *m_params;
  double M = 0.0, Nr = 0.0;
  earthRadii(M, Nr, s.posLatLongAlt[0]);
  const double h = s.posLatLongAlt[2];
  const double vx = s.velocity[0], vy = s.velocity[1];
  // Transport rate of the north-west-up frame: east motion (-v_y) turns it about north and up
  // with the prime-vertical radius, north motion about west with the meridian radius.
  const double rho[3] = {-vy / (Nr + h), vx / (M + h), std::tan(s.posLatLongAlt[0] * kDegToRad) * (-vy) / (Nr + h)};
  for (ZtSize i = 0; i < 3; ++i) {
    win[i] = p.earthRotation[i] + rho[i];
    wc[i] = rho[i] + 2.0 * p.earthRotation[i];
  }
}

void Zkf6Filter::predict() {
  const Zkf6Params& p = *m_params;
  Zkf6State& s = m_state;
  const double dt = p.sampleTime;
  const Vector& acc = m_inertial.acc;
  const Vector& gyr = m_inertial.gyr;

  refreshRotation();
  const Matrix3x3& R = m_R;
  double a[3], win[3], wc[3], vdot[3], u[3], w[3];
  for (ZtSize i = 0; i < 3; ++i) a[i] = acc[i] - s.accBias[i];
  {
    Vector3 vin, vc;
    navigationRates(vin, vc);
    for (ZtSize i = 0; i < 3; ++i) {
      win[i] = vin[i];
      wc[i] = vc[i];
    }
  }
  const double v[3] = {s.velocity[0], s.velocity[1], s.velocity[2]};
  double wcxv[3];
  cross(wc, v, wcxv);
  for (ZtSize i = 0; i < 3; ++i) {
    vdot[i] = R(i, 0) * a[0] + R(i, 1) * a[1] + R(i, 2) * a[2] + p.gravity[i] - wcxv[i];
    u[i] = R(0, i) * win[0] + R(1, i) * win[1] + R(2, i) * win[2];  // Rsg win
    w[i] = gyr[i] - (u[i] + s.gyrBias[i]);
  }
  Vector3 omega(w[0], w[1], w[2]);
  Quaternion dq;
  integrateOmegaOneStep(omega, s.q_gs, dq, dt);
  Matrix3x3 D;
  D.isQuat(dq);
  for (ZtSize i = 0; i < 3; ++i) {
    s.positionOffset[i] += dt * v[i] + 0.5 * dt * dt * vdot[i];
    s.velocity[i] = v[i] + dt * vdot[i];
  }
  s.orientError.isZero();

  // Transition.
  double* F = m_F;
  for (ZtSize i = 0; i < N * N; ++i) F[i] = 0.0;
  for (ZtSize i = 0; i < N; ++i) F[i * N + i] = 1.0;
  double S[9], B[9];
  const double h2 = 0.5 * dt * dt;
  skew(wc, S);
  for (ZtSize k = 0; k < 9; ++k) B[k] = (k % 4 == 0 ? dt : 0.0) - h2 * S[k];
  setBlock(F, 0, 3, B);
  for (ZtSize k = 0; k < 9; ++k) B[k] = (k % 4 == 0 ? 1.0 : 0.0) - dt * S[k];
  setBlock(F, 3, 3, B);
  double Ra[9];
  skew(a, S);
  for (ZtSize r = 0; r < 3; ++r)
    for (ZtSize c = 0; c < 3; ++c) Ra[r * 3 + c] = R(r, 0) * S[c] + R(r, 1) * S[3 + c] + R(r, 2) * S[6 + c];
  for (ZtSize k = 0; k < 9; ++k) B[k] = h2 * Ra[k];
  setBlock(F, 0, 12, B);
  for (ZtSize k = 0; k < 9; ++k) B[k] = dt * Ra[k];
  setBlock(F, 3, 12, B);
  for (ZtSize r = 0; r < 3; ++r)
    for (ZtSize c = 0; c < 3; ++c) {
      F[r * N + 6 + c] = -h2 * R(r, c);
      F[(3 + r) * N + 6 + c] = -dt * R(r, c);
    }
  skew(u, S);
  for (ZtSize r = 0; r < 3; ++r)
    for (ZtSize c = 0; c < 3; ++c) {
      F[(12 + r) * N + 12 + c] = D(c, r) + dt * S[r * 3 + c];
      F[(12 + r) * N + 9 + c] = r == c ? dt : 0.0;
    }

  // Out-of-range boosting of the noise, then the noise input G.
  Matrix3x3 Qg, Qa;
  if (doOutOfRangeQBoosting(gyr, p.gyrRangeRad, p.fGyrOor * p.gyrRangeRad, p.gyrNoise, Qg)) s.okAge = p.resetCount;
  if (doOutOfRangeQBoosting(acc, p.accRange, p.fAccOor * p.accRange, p.accNoise, Qa)) s.okAge = p.resetCount;
  double* G = m_G;
  for (ZtSize i = 0; i < N * N; ++i) G[i] = 0.0;
  for (ZtSize r = 0; r < 3; ++r)
    for (ZtSize c = 0; c < 3; ++c) {
      const double RQa = R(r, 0) * Qa(0, c) + R(r, 1) * Qa(1, c) + R(r, 2) * Qa(2, c);
      G[r * N + c] = h2 * RQa;
      G[(3 + r) * N + 3 + c] = dt * RQa;
      G[(12 + r) * N + 12 + c] = dt * Qg(r, c);
      G[(9 + r) * N + 9 + c] = p.gyrBiasWalk(r, c);
      G[(6 + r) * N + 6 + c] = p.accBiasWalk(r, c);
    }

  // Pre-array [ F L  G ] (15 x 30). F L over the blocks of F that can be non-zero: rows 0-2
  // the identity and columns 3-8 and 12-14, rows 3-5 columns 3-8 and 12-14, rows 12-14 columns
  // 9-14; rows 6-11 of F are the identity. L is lower triangular, so column j of it starts at j.
  const Matrix& L = s.sQx;
  auto blockSum = [&](const double* f, ZtSize k0, ZtSize k1, ZtSize j) {
    double sum = 0.0;
    for (ZtSize k = k0 > j ? k0 : j; k < k1; ++k) sum += f[k] * L.data[k * L.stride + j];
    return sum;
  };
  for (ZtSize i = 0; i < N; ++i) {
    double* row = m_pre + i * kPreCols;
    const double* f = F + i * N;
    const double* li = L.data + i * L.stride;
    if (i >= 6 && i < 12) {
      for (ZtSize j = 0; j < N; ++j) row[j] = j <= i ? li[j] : 0.0;
    } else if (i < 3) {
      for (ZtSize j = 0; j < N; ++j) row[j] = (j <= i ? li[j] : 0.0) + blockSum(f, 3, 9, j) + blockSum(f, 12, 15, j);
    } else if (i < 6) {
      for (ZtSize j = 0; j < N; ++j) row[j] = blockSum(f, 3, 9, j) + blockSum(f, 12, 15, j);
    } else {
      for (ZtSize j = 0; j < N; ++j) row[j] = blockSum(f, 9, 15, j);
    }
    for (ZtSize c = 0; c < N; ++c) row[N + c] = G[i * N + c];
  }
  // Reduced from the right to [ L'  0 ]: the new root is the lower triangle, with a
  // non-negative diagonal. (Not a time update with a triangular noise root: G is not one.)
  lowerTriangulariseRows(m_pre, kPreCols, N, N, kPreCols, kPreEnd);
  for (ZtSize r = 0; r < N; ++r) {
    const double* row = m_pre + r * kPreCols;
    for (ZtSize c = 0; c < N; ++c) s.sQx(r, c) = c <= r ? row[c] : 0.0;
  }
  s.sx.isLeftDivideTriL(s.sQx, s.x);
  refreshRotation();
  if (m_observer != nullptr) {
    const Matrix Fm(N, N, N, m_F, 0), Gm(N, N, N, m_G, 0);
    m_observer->predicted(Fm, Gm, s.x);
  }
}

void Zkf6Filter::correctError() {
  Zkf6State& s = m_state;
  Vector& x = s.x;
  x.isMatTriLMulVec(s.sQx, s.sx);
  Vector3 minusError(-x[12], -x[13], -x[14]);
  Quaternion r;
  r.isHelical(minusError);
  s.q_gs.isQuatMulQuat(s.q_gs, r);
  s.q_gs.isNormalizeSelf();
  s.orientError.isZero();

  Matrix3x3 Rr;
  Rr.isQuat(r);
  Matrix& L = s.sQx;
  double rows[3 * N];
  for (ZtSize i = 0; i < 3; ++i)
    for (ZtSize c = 0; c < N; ++c)
      rows[i * N + c] = Rr(0, i) * L(12, c) + Rr(1, i) * L(13, c) + Rr(2, i) * L(14, c);
  for (ZtSize i = 0; i < 3; ++i)
    for (ZtSize c = 0; c < N; ++c) L(12 + i, c) = rows[i * N + c];

  // Position: the offset folded into the geodetic position, which becomes the new reference.
  Zkf6State::positionOf(s.positionOffset, s.lla0, s.posLatLongAlt);
  s.positionOffset.isZero();
  s.lla0 = s.posLatLongAlt;

  // Block (12..14, 12..14) lower triangular again by a QR of its transpose (rows above have
  // zeros in these columns, so nothing else changes).
  Matrix3x3 blockT;
  for (ZtSize i = 0; i < 3; ++i)
    for (ZtSize c = 0; c < 3; ++c) blockT(i, c) = L(12 + c, 12 + i);
  double scratch[3 * 3 + 3 + 3];
  blockT.QRdecomposition(scratch);
  for (ZtSize i = 0; i < 3; ++i)
    for (ZtSize c = 0; c < 3; ++c) L(12 + i, 12 + c) = c <= i ? blockT(c, i) : 0.0;
  s.sx.isLeftDivideTriL(L, x);
  refreshRotation();
  if (m_observer != nullptr) {
    for (ZtSize i = 0; i < N * N; ++i) m_T[i] = i % (N + 1) == 0 ? 1.0 : 0.0;
    for (ZtSize i = 0; i < 3; ++i)
      for (ZtSize c = 0; c < 3; ++c) m_T[(12 + i) * N + 12 + c] = Rr(c, i);
    const Matrix T(N, N, N, m_T, 0);
    m_observer->corrected(T, 12, false);
    if (m_zkf6Observer != nullptr) m_zkf6Observer->positionFolded();
  }
}

bool Zkf6Filter::measurementUpdate(uint64_t m, const Vector& z, const Matrix& H, const Matrix& Rs) {
  Zkf6State& s = m_state;
  for (ZtSize i = 0; i < m; ++i)
    if (!positiveFinite(Rs(i, i)) || !std::isfinite(z[i])) return false;
  if (m_observer != nullptr) m_observer->measurementUpdate(z, H, Rs);
  Vector r(N, m_r, 0);
  return doMeasurementUpdateSquareRootZkf6_fw(m, s.sx, s.sQx, r, z, H, Rs, 0);
}

bool Zkf6Filter::doGpsPosUpdate() {
  const Zkf6Params& p = *m_params;
  const Zkf6State& s = m_state;
  const ZkfGpsPrintData& g = s.gps;
  const uint64_t m = p.baroSwitch ? 2 : 3;
  // An accuracy that is not positive and finite is no accuracy: the fix is not used.
  if (!positiveFinite(g.hAcc) || (m == 3 && !positiveFinite(g.vAcc)) || !finite3(g.posLatLongAlt)) return false;
  Vector3 pos;
  Zkf6State::offsetOf(g.posLatLongAlt, s.lla0, pos);
  const double* l = p.leverArm.data;
  double S[9], RS[9];
  skew(l, S);
  for (ZtSize r = 0; r < 3; ++r)
    for (ZtSize c = 0; c < 3; ++c) RS[r * 3 + c] = m_R(r, 0) * S[c] + m_R(r, 1) * S[3 + c] + m_R(r, 2) * S[6 + c];
  for (ZtSize i = 0; i < 3 * N; ++i) m_H[i] = 0.0;
  for (ZtSize r = 0; r < 3; ++r) {
    m_z[r] = pos[r] - (m_R(r, 0) * l[0] + m_R(r, 1) * l[1] + m_R(r, 2) * l[2]);
    m_H[r * N + r] = 1.0;
    // The antenna at p + R_true l with R_true = R (I - [e x]) reads p + R l + R [l x] e.
    for (ZtSize c = 0; c < 3; ++c) m_H[r * N + 12 + c] = RS[r * 3 + c];
  }
  const double acc2[3] = {g.hAcc * g.hAcc, g.hAcc * g.hAcc, m == 3 ? g.vAcc * g.vAcc : 0.0};
  for (ZtSize i = 0; i < 9; ++i) m_Rs[i] = 0.0;
  for (ZtSize i = 0; i < 3; ++i) m_Rs[i * 4] = std::sqrt(p.gpsPosVar(i, i) + acc2[i]);
  const Vector z(m, m_z, 0);
  const Matrix H(m, N, N, m_H, 0), Rs(m, m, 3, m_Rs, 0);
  return measurementUpdate(m, z, H, Rs);
}

bool Zkf6Filter::doGpsVelocityUpdate() {
  const Zkf6Params& p = *m_params;
  const Zkf6State& s = m_state;
  const ZkfGpsPrintData& g = s.gps;
  if (!positiveFinite(g.sAcc) || !finite3(g.velNorthEastDown)) return false;
  Vector3 vg;
  g.getVelNorthWestUp(vg);
  double w[3], wxl[3];
  for (ZtSize i = 0; i < 3; ++i) w[i] = m_inertial.gyr[i] - s.gyrBias[i];
  cross(w, p.leverArm.data, wxl);
  for (ZtSize i = 0; i < 3 * N; ++i) m_H[i] = p.gpsVelH.data[(i / N) * p.gpsVelH.stride + i % N];
  for (ZtSize i = 0; i < 9; ++i) m_Rs[i] = 0.0;
  for (ZtSize r = 0; r < 3; ++r) {
    m_z[r] = vg[r] - (m_R(r, 0) * wxl[0] + m_R(r, 1) * wxl[1] + m_R(r, 2) * wxl[2]);
    m_Rs[r * 4] = std::sqrt(p.gpsVelDev(r, r) * p.gpsVelDev(r, r) + g.sAcc * g.sAcc);
  }
  const Vector z(3, m_z, 0);
  const Matrix H(3, N, N, m_H, 0), Rs(3, 3, 3, m_Rs, 0);
  return measurementUpdate(3, z, H, Rs);
}

bool Zkf6Filter::doBarometerUpdate() {
  const Zkf6Params& p = *m_params;
  Zkf6State& s = m_state;
  m_z[0] = s.baroHeight - s.baroBaseHeight[0] - s.lla0[2];
  for (ZtSize i = 0; i < N; ++i) m_H[i] = p.baroH(0, i);
  m_Rs[0] = p.baroNoise;
  const Vector z(1, m_z, 0);
  const Matrix H(1, N, N, m_H, 0), Rs(1, 1, 3, m_Rs, 0);
  const bool ran = measurementUpdate(1, z, H, Rs);
  if (ran) s.baroBaseHeight[1] = s.baroHeight;
  return ran;
}

bool Zkf6Filter::doMagneticFieldUpdate() {
  const Zkf6Params& p = *m_params;
  Zkf6State& s = m_state;
  double mn[3];
  for (ZtSize i = 0; i < 3; ++i)
    mn[i] = m_R(i, 0) * m_aiding.mag[0] + m_R(i, 1) * m_aiding.mag[1] + m_R(i, 2) * m_aiding.mag[2];
  const double wa = p.magAvgWeight, wv = p.magVarWeight;
  for (ZtSize i = 0; i < 3; ++i) {
    s.magAvg[i] = wa * s.magAvg[i] + (1.0 - wa) * mn[i];
    const double d = mn[i] - s.magAvg[i];
    s.magVar[i] = wv * s.magVar[i] + (1.0 - wv) * d * d;
  }
  const double hn = std::sqrt(s.magAvg[0] * s.magAvg[0] + s.magAvg[1] * s.magAvg[1]);
  const double h[3] = {mn[0], mn[1], 0.0};
  for (ZtSize i = 0; i < 3; ++i) m_z[i] = h[i] - hn * p.magRef[i];
  // H sees the heading only (the orientation columns of the horizontal field's cross product):
  // the horizontal field read through the filter's tilt holds that tilt's error too, by the
  // vertical field tan(inclination) times over, and an update through the correlations of the
  // orientation error would turn it into a tilt correction. So the update keeps the tilt (the
  // orientation error about the north and west axes) and the gyroscope bias about those axes
  // (which turns into tilt at the next predictions) as the filter holds them: a consider update
  // whose gain is zero there. The heading follows the magnetometer; the tilt and its variance
  // stay what the rest of the filter made them.
  double S[9];
  skew(h, S);
  for (ZtSize i = 0; i < 3 * N; ++i) m_H[i] = 0.0;
  for (ZtSize r = 0; r < 3; ++r)
    for (ZtSize c = 0; c < 3; ++c)
      m_H[r * N + 12 + c] = -(S[r * 3] * m_R(0, c) + S[r * 3 + 1] * m_R(1, c) + S[r * 3 + 2] * m_R(2, c));
  for (ZtSize i = 0; i < 9; ++i) m_Rs[i] = p.magMeasDev.data[(i / 3) * p.magMeasDev.stride + i % 3];
  const Vector z(3, m_z, 0);
  const Matrix H(3, N, N, m_H, 0), Rs(3, 3, 3, m_Rs, 0);
  double tilt[N * 4] = {};
  for (ZtSize c = 0; c < 3; ++c) {
    tilt[(12 + c) * 4] = m_R(0, c);
    tilt[(12 + c) * 4 + 1] = m_R(1, c);
    tilt[(9 + c) * 4 + 2] = m_R(0, c);
    tilt[(9 + c) * 4 + 3] = m_R(1, c);
  }
  ConsiderUpdate keepTilt;
  if (!keepTilt.prepare(s.sQx, s.sx, H, Rs, z, tilt, 4)) return false;
  if (m_observer != nullptr) m_observer->keptDirections(Matrix(N, 4, 4, tilt, 0));
  if (!measurementUpdate(3, z, H, Rs)) return false;
  keepTilt.restore(s.sQx, s.sx);
  return true;
}

bool Zkf6Filter::doVelocityZeroUpdate() {
  const Zkf6Params& p = *m_params;
  for (ZtSize i = 0; i < 3 * N; ++i) m_H[i] = 0.0;
  m_H[3] = 1.0;
  m_H[N + 4] = 1.0;
  for (ZtSize i = 0; i < 3; ++i) m_z[i] = 0.0;
  for (ZtSize i = 0; i < 9; ++i) m_Rs[i] = p.zeroVelNoise.data[(i / 3) * p.zeroVelNoise.stride + i % 3];
  const Vector z(3, m_z, 0);
  const Matrix H(3, N, N, m_H, 0), Rs(3, 3, 3, m_Rs, 0);
  return measurementUpdate(3, z, H, Rs);
}

bool Zkf6Filter::doHolonomicConstraintUpdate(const Vector& v, double speed) {
  const Zkf6Params& p = *m_params;
  const Zkf6State& s = m_state;
  // The constraint's noise grows with 1/s: at a standstill it is undefined.
  if (!positiveFinite(speed) || !finite3(v)) return false;
  double q = 0.0;
  if (!gpsOutage()) {
    q = s.gps.sAcc * s.gps.sAcc;
  } else {
    double d[3];
    for (ZtSize i = 0; i < 3; ++i) {
      d[i] = 0.0;
      for (ZtSize c = 0; c < N; ++c) d[i] += s.sQx(3 + i, c) * s.sQx(3 + i, c);
    }
    q = norm3(d);
  }
  const double scale = std::sqrt(1.0 / speed + q);
  if (!std::isfinite(scale)) return false;
  for (ZtSize r = 0; r < 3; ++r) m_z[r] = speed * m_R(r, 0) - v[r];
  m_z[2] = 0.0;
  for (ZtSize i = 0; i < 3 * N; ++i) m_H[i] = 0.0;
  m_H[13] = -speed * m_R(0, 2);
  m_H[14] = speed * m_R(0, 1);
  m_H[N + 13] = -speed * m_R(1, 2);
  m_H[N + 14] = speed * m_R(1, 1);
  // The constraint compares the body axis with the state's own velocity, so the velocity error
  // enters it as much as the orientation error: s R e_x - v = H e + (I - u u^T)(v_true - v) to
  // first order, u = R e_x. Without these columns every sample's update takes the velocity
  // estimate for exact and drives the heading deviation to nothing while the heading follows the
  // velocity's errors (an outage then diverges). The state holds the velocity itself, so its
  // part is added to the measurement: z + H_v v - H x = z - H_orientation e.
  for (ZtSize r = 0; r < 2; ++r) {
    double hv[3];
    for (ZtSize c = 0; c < 3; ++c) hv[c] = (r == c ? 1.0 : 0.0) - m_R(r, 0) * m_R(c, 0);
    for (ZtSize c = 0; c < 3; ++c) {
      m_H[r * N + 3 + c] = hv[c];
      m_z[r] += hv[c] * s.velocity[c];
    }
  }
  for (ZtSize i = 0; i < 9; ++i) m_Rs[i] = scale * p.holonomicNoise.data[(i / 3) * p.holonomicNoise.stride + i % 3];
  m_Rs[8] = kHolonomicVertical;
  const Vector z(3, m_z, 0);
  const Matrix H(3, N, N, m_H, 0), Rs(3, 3, 3, m_Rs, 0);
  return measurementUpdate(3, z, H, Rs);
}

bool Zkf6Filter::doZeroRotationUpdate(double speed) {
  const Zkf6Params& p = *m_params;
  const Zkf6State& s = m_state;
  const double sv = !gpsOutage() ? s.gps.sAcc : sumStandardDeviations(s.sQx(5, 5), p.gpsVelDev(2, 2));
  const double gate = kZeroRotationGate * p.gyrNoise(2, 2);
  if (!(kZeroRotationGate * sv > speed) || !(std::fabs(m_inertial.gyr[2] - s.gyrBias[2]) < gate)) return false;
  // At rest the gyroscope still reads the earth's (and the frame's) rate, which predict removes
  // before the bias: the bias measured here is what remains after the same removal.
  Vector3 win, wc;
  navigationRates(win, wc);
  for (ZtSize i = 0; i < 3; ++i)
    m_z[i] = m_inertial.gyr[i] - (m_R(0, i) * win[0] + m_R(1, i) * win[1] + m_R(2, i) * win[2]);
  for (ZtSize i = 0; i < 3 * N; ++i) m_H[i] = 0.0;
  for (ZtSize i = 0; i < 3; ++i) m_H[i * N + 9 + i] = 1.0;
  const double k = sumStandardDeviations(speed, sv);
  for (ZtSize i = 0; i < 9; ++i) m_Rs[i] = k * p.zeroRotNoise.data[(i / 3) * p.zeroRotNoise.stride + i % 3];
  const Vector z(3, m_z, 0);
  const Matrix H(3, N, N, m_H, 0), Rs(3, 3, 3, m_Rs, 0);
  return measurementUpdate(3, z, H, Rs);
}

}  // namespace zelto
