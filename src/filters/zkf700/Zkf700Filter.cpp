#include "filters/zkf700/Zkf700Filter.h"

#include <cmath>
#include <cstring>
#include <exception>
#include <typeinfo>

#include "errors/ZtException.h"
#include "filters/common/ConsiderUpdate.h"
#include "filters/common/EstimationRoutines.h"
#include "filters/common/InputCast.h"
#include "filters/common/LowerTriangulariseRows.h"
#include "filters/zkf700/MeasurementUpdateZkf700Fw.h"
#include "math/Matrix3x3.h"
#include "math/Quaternion.h"

namespace zelto {

namespace {

constexpr double kDegToRad = 0.017453292519943295;
constexpr ZtSize N = Zkf700State::kStates;
constexpr size_t kPreCols = 2 * N;
static_assert(kPreCols <= kLowerTriangulariseMaxColumns, "time-update array too wide");

// Pivot j of the time-update array [Phi L  G] reaches the end of G's block of row j: the
// blocks of G are 3 x 3 on the diagonal, so later columns of row j are zero.
constexpr size_t kPreEnd[N] = {21, 21, 21, 24, 24, 24, 27, 27, 27, 30, 30, 30, 33, 33, 33, 36, 36, 36};

const char* const kSignaturePartOne =
    "bool zelto::Zkf700Filter::doOneKalmanStepPartOne(const zelto::Zkf700SensorData&, const zelto::Zkf700Aiding&, "
    "const zelto::Zkf700RealTimeParameters&, zelto::Zkf700FilterOutput&)";
const char* const kSignaturePartTwo =
    "bool zelto::Zkf700Filter::doOneKalmanStepPartTwo(const zelto::Zkf700SensorData&, const zelto::Zkf700Aiding&, "
    "const zelto::Zkf700RealTimeParameters&, zelto::Zkf700FilterOutput&)";
const char* const kSignaturePartThree =
    "bool zelto::Zkf700Filter::doOneKalmanStepPartThree(const zelto::Zkf700SensorData&, const zelto::Zkf700Aiding&, "
    "const zelto::Zkf700RealTimeParameters&, zelto::Zkf700FilterOutput&)";

enum JournalBit : unsigned {
  kJournalParameters = 1u << 0,
  kJournalAssertion = 1u << 1,
  kJournalInput = 1u << 2,
  kJournalHolonomicAxis = 1u << 3,
  kJournalGpsAccuracy = 1u << 4,
  kJournalPressure = 1u << 5,
  kJournalDivisions = 1u << 6,
};

bool finite3(const ZtVector& v) {
  return std::isfinite(v.data[0]) && std::isfinite(v.data[1]) && std::isfinite(v.data[2]);
}

bool allFinite(const double* v, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (!std::isfinite(v[i])) return false;
  return true;
}

// Row-major 3 x 3 helpers.
void rotationOf(const ZtQuaternion& q, double* R) {
  const double w = q.w, x = q.x, y = q.y, z = q.z;
  R[0] = w * w + x * x - y * y - z * z;
  R[1] = 2.0 * (x * y - w * z);
  R[2] = 2.0 * (x * z + w * y);
  R[3] = 2.0 * (x * y + w * z);
  R[4] = w * w - x * x + y * y - z * z;
  R[5] = 2.0 * (y * z - w * x);
  R[6] = 2.0 * (x * z - w * y);
  R[7] = 2.0 * (y * z + w * x);
  R[8] = w * w - x * x - y * y + z * z;
}

void mul3(const double* A, const double* B, double* C) {
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) C[3 * r + c] = A[3 * r] * B[c] + A[3 * r + 1] * B[3 + c] + A[3 * r + 2] * B[6 + c];
}

void mulVec3(const double* A, const double* v, double* out) {
  const double a = v[0], b = v[1], c = v[2];
  for (int r = 0; r < 3; ++r) out[r] = A[3 * r] * a + A[3 * r + 1] * b + A[3 * r + 2] * c;
}

void transMulVec3(const double* A, const double* v, double* out) {
  const double a = v[0], b = v[1], c = v[2];
  for (int r = 0; r < 3; ++r) out[r] = A[r] * a + A[3 + r] * b + A[6 + r] * c;
}

void crossMatrix(const double* v, double* X) {
  X[0] = 0.0;
  X[1] = -v[2];
  X[2] = v[1];
  X[3] = v[2];
  X[4] = 0.0;
  X[5] = -v[0];
  X[6] = -v[1];
  X[7] = v[0];
  X[8] = 0.0;
}

double norm3(const double* v) { return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]); }

// Writes the 3 x 3 block B at (r0, c0) of a row-major n-column matrix, scaled by s.
void putBlock(double* M, size_t n, size_t r0, size_t c0, const double* B, double s) {
  for (size_t r = 0; r < 3; ++r)
    for (size_t c = 0; c < 3; ++c) M[(r0 + r) * n + c0 + c] = s * B[3 * r + c];
}

void putDiagonal(double* M, size_t n, size_t r0, size_t c0, double s) {
  for (size_t r = 0; r < 3; ++r)
    for (size_t c = 0; c < 3; ++c) M[(r0 + r) * n + c0 + c] = r == c ? s : 0.0;
}

}  // namespace

const ZkfFilterBase::Identity Zkf700Filter::kIdentity = {kType, kMajor, kMinor, kRevision, "$Rev: 10761 $"};

Zkf700Filter::Zkf700Filter(const Zkf700Params* params)
    : ZkfFilterBase(kIdentity),
      m_Phi(N, N, N, m_PhiData, 0),
      m_G(N, N, N, m_GData, 0),
      m_T(N, N, N, m_TData, 0),
      m_z(8, m_zData, 0),
      m_innovation(N, m_wData, 0) {
  if (params) m_params = new Zkf700Params(*params);
  m_aiding.magValid = m_aiding.gpsValid = m_aiding.baroValid = false;
}

Zkf700Filter::~Zkf700Filter() { delete m_params; }

// ---- Interface ---------------------------------------------------------------------------------

bool Zkf700Filter::doOneKalmanStep(const ZkfSensorData& sensorData, const ZkfAiding& aiding,
                                   const ZkfRealTimeParameters& realTime, ZkfFilterOutput& output, const ZkfTime*) {
  // Records of another filter are the caller's fault: std::bad_cast, before anything changes.
  auto* out = inputCast<Zkf700FilterOutput>(&output);
  if (!out) throw std::bad_cast();
  const auto* rt = inputCast<const Zkf700RealTimeParameters>(&realTime);
  if (!rt) throw std::bad_cast();
  const auto* aid = inputCast<const Zkf700Aiding>(&aiding);
  if (!aid) throw std::bad_cast();
  const auto* sensor = inputCast<const Zkf700SensorData>(&sensorData);
  if (!sensor) throw std::bad_cast();
  return doOneKalmanStep(*sensor, *aid, *rt, *out, WholeStep);
}

bool Zkf700Filter::doOneKalmanStep(const Zkf700SensorData& sensorData, const Zkf700Aiding& aiding,
                                   const Zkf700RealTimeParameters& realTime, Zkf700FilterOutput& output,
                                   KalmanStepPart part) {
  if (part < WholeStep || part > PartThree) return false;
  if (!usable()) {
    journalOnce(kJournalParameters, "Zkf700 filter: no usable parameters: the filter does not step");
    return false;
  }
  if (part <= PartOne && (!std::isfinite(sensorData.dq.w) || !std::isfinite(sensorData.dq.x) ||
                          !std::isfinite(sensorData.dq.y) || !std::isfinite(sensorData.dq.z) ||
                          !finite3(sensorData.dv))) {
    journalOnce(kJournalInput, "Zkf700 filter: sample with increments that are not finite: skipped");
    return false;
  }
  try {
    switch (part) {
      case PartOne:
        return doOneKalmanStepPartOne(sensorData, aiding, realTime, output);
      case PartTwo:
        return doOneKalmanStepPartTwo(sensorData, aiding, realTime, output);
      case PartThree:
        return doOneKalmanStepPartThree(sensorData, aiding, realTime, output);
      default: {
        const bool one = doOneKalmanStepPartOne(sensorData, aiding, realTime, output);
        if (output.m_done) return one;
        doOneKalmanStepPartTwo(sensorData, aiding, realTime, output);
        return doOneKalmanStepPartThree(sensorData, aiding, realTime, output);
      }
    }
  } catch (const std::exception& e) {
    // The state holds a value that is not finite: it is of no further use. The next sample
    // aligns again; the failure is reported once in the journal and kept for the caller.
    restartZkf700(nullptr);
    m_lastError = e.what();
    journalOnce(kJournalAssertion, "Zkf700 filter: assertion failed, the filter starts again");
    output.m_done = false;
    return false;
  }
}

void Zkf700Filter::initializeScratchies() {}

void Zkf700Filter::restart(ZkfParams* params) { restartZkf700(dynamic_cast<Zkf700Params*>(params)); }

void Zkf700Filter::restartZkf700(const Zkf700Params* params) {
  if (params && params != m_params) {
    Zkf700Params* copy = new Zkf700Params(*params);
    delete m_params;
    m_params = copy;
  }
  m_state.firstIteration = true;
  m_aiding.magValid = m_aiding.gpsValid = m_aiding.baroValid = false;
}

void Zkf700Filter::getFullState(ZkfState* state) const {
  if (auto* s = dynamic_cast<Zkf700State*>(state)) *s = m_state;
}

void Zkf700Filter::setFullState(const ZkfState* state) { setFullStateChecked(state); }

bool Zkf700Filter::setFullStateChecked(const ZkfState* state) {
  const auto* s = dynamic_cast<const Zkf700State*>(state);
  if (!s) return false;
  const ZtVector* vectors[] = {&s->m_x,     &s->m_sx,         &s->g_l, &s->acc_div, &s->mag_avg, &s->mag_var,
                               &s->v_l_m, &s->lat_long_alt, &s->lat_long_alt_zero};
  for (const ZtVector* v : vectors)
    if (!allFinite(v->data, v->size)) return false;
  for (ZtSize r = 0; r < N; ++r)
    for (ZtSize c = 0; c < N; ++c)
      if (!std::isfinite(s->m_sQx(r, c))) return false;
  const double q[4] = {s->m_q_ls.w, s->m_q_ls.x, s->m_q_ls.y, s->m_q_ls.z};
  if (!allFinite(q, 4) || !allFinite(s->barometer_baseheight, 2) || !std::isfinite(s->coastingGps)) return false;
  m_state = *s;
  return true;
}

ZkfParams* Zkf700Filter::getFilterParameters() { return m_params; }

bool Zkf700Filter::isInitialized() const { return !m_state.firstIteration; }

void Zkf700Filter::getTypeAndVersion(unsigned char& type, unsigned char& major, unsigned char& minor,
                                     unsigned char& revision) {
  typeAndVersion(kIdentity, type, major, minor, revision);
}

// ---- Step logic --------------------------------------------------------------------------------

void Zkf700Filter::assertState(const char* signature) const {
  const char* message = nullptr;
  if (!allFinite(m_state.m_x.data, N)) {
    message = "Assertion 'm_state.m_x.isValid()' failed.";
  } else {
    bool sQx = true;
    for (ZtSize r = 0; r < N && sQx; ++r)
      for (ZtSize c = 0; c < N && sQx; ++c) sQx = std::isfinite(m_state.m_sQx(r, c));
    const double q[4] = {m_state.m_q_ls.w, m_state.m_q_ls.x, m_state.m_q_ls.y, m_state.m_q_ls.z};
    if (!sQx)
      message = "Assertion 'm_state.m_sQx.isValid()' failed.";
    else if (!allFinite(m_state.m_sx.data, N))
      message = "Assertion 'm_state.m_sx.isValid()' failed.";
    else if (!allFinite(q, 4))
      message = "Assertion 'm_state.m_q_ls.isValid()' failed.";
  }
  if (message) throw ZtException(256, std::string(signature) + " " + message, true);
}

bool Zkf700Filter::doOneKalmanStepPartOne(const Zkf700SensorData& sensorData, const Zkf700Aiding& aiding,
                                          const Zkf700RealTimeParameters& realTime, Zkf700FilterOutput& output) {
  const Zkf700Params& p = *m_params;
  output.m_sampleTime = p.sampleTime;
  output.m_zruRunning = m_state.zruRunning;
  output.m_zruAborted = m_state.zruAborted;
  output.m_zruSamplesRejected = m_state.zruSamplesRejected;
  output.m_zruSamplesToProcess = static_cast<int16_t>(m_state.zruSamplesToProcess & 0xFFFF);
  output.m_done = false;

  m_sensor = sensorData;
  // Groups holding values that are not finite are not latched. Fixes are latched only while
  // GNSS updates are on: nothing else would use them up.
  if (aiding.magValid && finite3(aiding.mag)) {
    m_aiding.mag = aiding.mag;
    m_aiding.magValid = true;
  }
  if (aiding.gpsValid && p.doGpsUpdate && finite3(aiding.gpsPos) && finite3(aiding.gpsVel)) {
    m_aiding.gpsPos = aiding.gpsPos;
    m_aiding.gpsVel = aiding.gpsVel;
    m_aiding.gpsPAcc = aiding.gpsPAcc;
    m_aiding.gpsSAcc = aiding.gpsSAcc;
    m_aiding.gpsValid = true;
  }
  if (aiding.baroValid) {
    m_aiding.baro = aiding.baro;
    m_aiding.baroValid = true;
  }
  m_sensor.computeGyrAcc(p.sampleTime);

  m_steps = Zkf700FilterSteps();
  if (const Zkf700FilterSteps* chosen = p.zkf700Steps()) m_steps = *chosen;

  if (m_steps.defaultSteps) {
    m_state.zruRunning = m_state.zruSamplesToProcess != 0;
    if (m_state.firstIteration) {
      const bool waitForMag = p.doMagUpdate && !m_aiding.magValid;
      if (waitForMag || !m_state.initializeFromMeasurement(p, m_sensor, m_aiding, p.sampleTime, m_up)) {
        m_state.filterMode = 0;
        getLastOutput(output);
        output.m_done = true;
        return false;
      }
      m_state.firstIteration = false;
      assertState(kSignaturePartOne);
      updateGpsState();
      localConstantUpdate();
      getLastOutput(output);
      output.m_done = true;
      return true;
    }
    updateGpsState();
    localConstantUpdate();
    m_steps = decisionLogic(realTime.m_noRotationDuration);
  } else {
    if (m_steps.init) m_state.initializeFromMeasurement(p, m_sensor, m_aiding, p.sampleTime, m_up);
    assertState(kSignaturePartOne);
    if (m_steps.updateGpsState) updateGpsState();
    if (m_steps.localConstantUpdate) localConstantUpdate();
    if (m_steps.decisionLogic) {
      m_steps = decisionLogic(realTime.m_noRotationDuration);
      output.m_done = true;
      return false;
    }
  }
  assertState(kSignaturePartOne);
  if (m_steps.predict) predict(m_steps.noRotationUpdate);
  assertState(kSignaturePartOne);
  return false;
}

bool Zkf700Filter::doOneKalmanStepPartTwo(const Zkf700SensorData&, const Zkf700Aiding&,
                                          const Zkf700RealTimeParameters&, Zkf700FilterOutput&) {
  if (m_steps.gpsUpdate) doGpsUpdate();
  assertState(kSignaturePartTwo);
  if (m_steps.baroUpdate) doBarometerUpdate();
  assertState(kSignaturePartTwo);
  if (m_steps.magUpdate) doMagneticFieldUpdate();
  assertState(kSignaturePartTwo);
  if (m_steps.holonomicConstraintUpdate) doHolonomicConstraintUpdate();
  assertState(kSignaturePartTwo);
  return false;
}

bool Zkf700Filter::doOneKalmanStepPartThree(const Zkf700SensorData&, const Zkf700Aiding&,
                                            const Zkf700RealTimeParameters&, Zkf700FilterOutput& output) {
  if (m_steps.accUpdate) doAccelerationUpdate();
  assertState(kSignaturePartThree);
  if (m_steps.noRotationUpdate) doNorotationUpdate();
  assertState(kSignaturePartThree);
  if (m_steps.correct) correct(m_steps.noRotationUpdate);
  assertState(kSignaturePartThree);
  if (m_steps.defaultSteps && m_state.validAge != 0) --m_state.validAge;
  getLastOutput(output);
  output.m_done = true;
  return true;
}

void Zkf700Filter::updateGpsState() {
  const Zkf700Params& p = *m_params;
  Zkf700State& s = m_state;
  s.filterMode = 3;
  s.gpsOutage = false;
  if (!s.firstGPS) s.coastingGps = std::fabs(static_cast<double>(m_sensor.time - s.lastKnownGpsTime)) / 1000.0;
  if (m_aiding.gpsValid) {
    // A fix without a usable position accuracy (not a positive number) is not accepted: it
    // cannot be weighed.
    const double acc = m_aiding.gpsPAcc;
    if (!(acc > 0.0) || !std::isfinite(acc) || acc > p.gpsPositionAccuracyThreshold) {
      s.gpsOutage = true;
    } else {
      s.lastKnownGpsTime = m_sensor.time;
      s.coastingGps = 0.0;
    }
  }
  if (s.coastingGps >= p.gpsCoastingTime) {
    s.firstGPS = true;
    s.gpsOutage = true;
    s.filterMode = 0;
  } else if (s.coastingGps >= p.gpsOutageTimeThreshold) {
    s.gpsOutage = true;
    s.filterMode = 1;
  }
}

void Zkf700Filter::localConstantUpdate() {
  if (!m_aiding.gpsValid || !m_state.firstGPS) return;
  double g = 0.0;
  gravityIgf1980(m_aiding.gpsPos, g);
  m_state.g_l = Vector3(0.0, 0.0, g);
}

Zkf700FilterSteps Zkf700Filter::decisionLogic(unsigned short noRotationDuration) {
  const Zkf700Params& p = *m_params;
  Zkf700State& s = m_state;
  Zkf700FilterSteps steps;
  steps.predict = true;
  steps.correct = true;
  steps.noRotationUpdate = false;
  steps.gpsUpdate = p.doGpsUpdate && m_aiding.gpsValid;
  steps.baroUpdate = p.doBaroUpdate && m_aiding.baroValid && s.filterMode != 0;
  steps.magUpdate = p.doMagUpdate && m_aiding.magValid;
  steps.holonomicConstraintUpdate = p.doHolonomicConstraintUpdate && !s.firstGPS;
  steps.accUpdate = s.gpsOutage || s.firstGPS;
  if (noRotationDuration == 0 && s.zruSamplesToProcess == 0) {
    s.zruRunning = false;
    return steps;
  }
  const double t = p.f_norotThreshold * p.sQwGyr(0, 0);
  const Vector3& w = m_sensor.m_gyr;
  const double ww = w[0] * w[0] + w[1] * w[1] + w[2] * w[2];
  if (ww >= t * t) {
    s.zruAborted = true;
    s.zruSamplesRejected = false;
    s.zruRunning = false;
    s.zruSamplesToProcess = 0;
    return steps;
  }
  steps.noRotationUpdate = true;
  steps.magUpdate = false;
  steps.holonomicConstraintUpdate = false;
  s.zruAborted = false;
  s.zruSamplesRejected = false;
  if (s.zruSamplesToProcess != 0) {
    --s.zruSamplesToProcess;
  } else {
    const double n = static_cast<double>(noRotationDuration) / p.sampleTime;
    s.zruSamplesToProcess = std::isfinite(n) && n > 0.0 && n < 4294967295.0 ? static_cast<uint32_t>(n) : 0;
  }
  s.zruRunning = s.zruSamplesToProcess != 0;
  return steps;
}

void Zkf700Filter::getLastOutput(Zkf700FilterOutput& out) const {
  const Zkf700State& s = m_state;
  const bool magOn = m_params->doMagUpdate;
  out.m_doMagUpdate = magOn;
  out.m_orientation = s.m_q_ls;
  out.m_valid = !s.firstIteration && s.validAge == 0;
  out.m_zruRunning = s.zruRunning;
  out.m_zruAborted = s.zruAborted;
  out.m_zruSamplesRejected = s.zruSamplesRejected;
  out.m_zruSamplesToProcess = static_cast<int16_t>(s.zruSamplesToProcess & 0xFFFF);
  out.m_filterMode = static_cast<int32_t>(s.filterMode);
  // A position exists only once a fix has anchored the local frame.
  if ((s.filterMode == 3 || s.filterMode == 1) && !s.firstGPS) {
    out.m_latLongAlt = s.lat_long_alt;
    out.m_velocity = s.m_xVel;
  } else {
    out.m_latLongAlt.isZero();
    out.m_velocity.isZero();
  }
  out.m_gravity = s.g_l;
  if (magOn) {
    out.m_accBias.isZero();
    out.m_magField = s.m_xMag;
  } else {
    out.m_accBias = s.m_xAccBias;
    out.m_magField.isZero();
  }
  out.m_gyrBias = s.m_xGyrBias;
}

// ---- Prediction and correction -----------------------------------------------------------------

void Zkf700Filter::predict(bool noRotation) {
  const Zkf700Params& p = *m_params;
  Zkf700State& s = m_state;
  double* x = s.m_x.data;
  const double dt = p.sampleTime;
  const bool magOn = p.doMagUpdate;

  double Qg[9], Qa[9];
  for (int i = 0; i < 9; ++i) {
    Qg[i] = p.sQwGyr(i / 3, i % 3);
    Qa[i] = p.sQwAcc(i / 3, i % 3);
  }
  const uint16_t clipAcc = m_sensor.clipAcc, clipGyr = m_sensor.clipGyr;
  if (clipAcc != 0 || clipGyr != 0) {
    const double accBoost = p.accClipBoost * p.accRange;
    if (clipGyr != 0) {
      const double gyrBoost = p.gyrOorBoost * p.gyrRangeDeg * kDegToRad;
      for (int i = 0; i < 3; ++i) {
        Qg[4 * i] += gyrBoost;
        Qa[4 * i] += accBoost;
      }
    } else {
      for (int i = 0; i < 3; ++i)
        if (clipAcc & (1u << i)) Qa[4 * i] += accBoost;
    }
    s.validAge = p.samplesInTwoSeconds > 0 ? static_cast<uint32_t>(p.samplesInTwoSeconds) : 0;
  }

  double a[3], w[3];
  for (int i = 0; i < 3; ++i) {
    a[i] = m_sensor.m_acc[i] - (magOn ? 0.0 : x[6 + i]);
    w[i] = m_sensor.m_gyr[i] - x[9 + i];
  }
  double D[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  if (!noRotation) {
    Quaternion d;
    integrateOmegaOneStep(Vector(3, w, 0), s.m_q_ls, d, dt);
    rotationOf(d, D);
  }
  double R[9];
  rotationOf(s.m_q_ls, R);
  double f[3];
  mulVec3(R, a, f);
  for (int i = 0; i < 3; ++i) f[i] += s.g_l[i];

  if (!s.firstGPS) {
    for (int i = 0; i < 3; ++i) {
      x[i] += dt * x[3 + i] + 0.5 * dt * dt * f[i];
      x[3 + i] += dt * f[i];
    }
  }
  for (int i = 15; i < 18; ++i) x[i] = 0.0;

  double cM = 0.997, sigmaT = 0.0, sigmaS = 0.0;
  if (magOn) {
    const double mv2 = s.mag_var[0] * s.mag_var[0] + s.mag_var[1] * s.mag_var[1] + s.mag_var[2] * s.mag_var[2];
    sigmaT = p.f_magVar * mv2;
    if (sigmaT > p.sd_w_mag_temporal_max) sigmaT = p.sd_w_mag_temporal_max;
    if (sigmaT < p.sd_w_mag_temporal_min) sigmaT = p.sd_w_mag_temporal_min;
    for (int i = 0; i < 3; ++i) s.v_l_m[i] = p.c_vel * s.v_l_m[i] + dt * f[i];
    const double v2 = s.v_l_m[0] * s.v_l_m[0] + s.v_l_m[1] * s.v_l_m[1] + s.v_l_m[2] * s.v_l_m[2];
    const double e = (p.dp_boost * dt) * (p.dp_boost * dt) * v2;
    // A spatial constant of 0 or below drops the travelled-distance decay.
    const double spatial = p.p_mag_spat > 0.0 ? std::exp(-e / p.p_mag_spat) : p.c_mag_max;
    cM = spatial < p.c_mag_max ? spatial : p.c_mag_max;
    sigmaS = std::sqrt(e) * p.sQw_mag_spat;
    double pm[3] = {p.projectedMagEarth[0], p.projectedMagEarth[1], x[8]};
    const double ph2 = pm[0] * pm[0] + pm[1] * pm[1];
    const double mh2 = s.mag_avg[0] * s.mag_avg[0] + s.mag_avg[1] * s.mag_avg[1];
    if (ph2 > 0.0 && std::isfinite(ph2)) {
      const double scale = std::sqrt(mh2 / ph2);
      pm[0] *= scale;
      pm[1] *= scale;
    } else {
      // No horizontal earth direction (parameters restored without one): the pull goes to
      // the running average of the measured field.
      journalOnce(kJournalDivisions, "Zkf700 filter: projectedMagEarth has no horizontal part: the field is pulled to its average");
      pm[0] = s.mag_avg[0];
      pm[1] = s.mag_avg[1];
    }
    for (int i = 0; i < 3; ++i) x[6 + i] = cM * x[6 + i] + (1.0 - cM) * pm[i];
  } else {
    for (int i = 6; i < 9; ++i) x[i] *= 0.997;
  }
  for (int i = 12; i < 15; ++i) x[i] = p.c_acc * x[i] + (1.0 - p.c_acc) * f[i - 12];

  // Transition matrix.
  double* Phi = m_PhiData;
  std::memset(Phi, 0, sizeof m_PhiData);
  for (ZtSize i = 0; i < N; ++i) Phi[i * N + i] = 1.0;
  double Xa[9], RXa[9];
  crossMatrix(a, Xa);
  mul3(R, Xa, RXa);
  putDiagonal(Phi, N, 0, 3, dt);
  putBlock(Phi, N, 0, 15, RXa, 0.5 * dt * dt);
  putBlock(Phi, N, 3, 15, RXa, dt);
  putDiagonal(Phi, N, 12, 12, p.c_acc);
  double gs[3], Xg[9], RXg[9];
  transMulVec3(R, s.g_l.data, gs);
  crossMatrix(gs, Xg);
  mul3(R, Xg, RXg);
  putBlock(Phi, N, 12, 15, RXg, p.c_acc - 1.0);
  putDiagonal(Phi, N, 15, 9, dt);
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) Phi[(15 + r) * N + 15 + c] = D[3 * c + r];
  if (magOn) {
    putDiagonal(Phi, N, 6, 6, cM);
  } else {
    putBlock(Phi, N, 0, 6, R, -0.5 * dt * dt);
    putBlock(Phi, N, 3, 6, R, -dt);
    putDiagonal(Phi, N, 6, 6, 0.997);
  }

  // Divergence monitor of the acceleration.
  double k = 1.0;
  {
    const double gNorm = norm3(s.g_l.data);
    const double d = std::fabs(norm3(a) - gNorm);
    const double u = d > p.accDivMonThreshold ? 1.0 - p.accDivMonCDecay : 0.0;
    for (int i = 0; i < 3; ++i) s.acc_div[i] = p.accDivMonCDecay * s.acc_div[i] + u * f[i];
    const double ad2 = s.acc_div[0] * s.acc_div[0] + s.acc_div[1] * s.acc_div[1] + s.acc_div[2] * s.acc_div[2];
    if (ad2 > p.accDivMonThreshold * p.accDivMonThreshold) {
      ++s.accDivMonSamplesAboveThreshold;
      if (s.accDivMonSamplesAboveThreshold >= p.accDivMonSamplesAboveThresholdPreset) {
        s.accDivMonSamplesAboveThreshold = 0;
        s.accDivMon_samples_to_ignore = static_cast<uint32_t>(p.accDivMonSamples);
      }
    } else {
      s.accDivMonSamplesAboveThreshold = 0;
    }
    const uint32_t n = s.accDivMon_samples_to_ignore;
    if (n > 0) {
      // Without a ramp length (also a restored countdown over such parameters) the boost ends.
      if (p.accDivMonSamples == 0) {
        s.accDivMon_samples_to_ignore = 0;
      } else {
        const double ramp = static_cast<double>(n) * p.f_accBoost / static_cast<double>(p.accDivMonSamples);
        k = ramp > 1.0 ? ramp : 1.0;
        s.accDivMon_samples_to_ignore = n - 1;
      }
    }
  }

  // Process-noise root. The hundredfold vertical acceleration noise of position and velocity
  // is applied to the local vertical row, whatever the sensor's mounting.
  double* G = m_GData;
  std::memset(G, 0, sizeof m_GData);
  double M[9], Nm[9];
  mul3(R, Qa, M);
  for (int i = 0; i < 9; ++i) Nm[i] = i >= 6 ? 100.0 * M[i] : M[i];
  putBlock(G, N, 0, 0, Nm, 0.5 * dt * dt);
  putBlock(G, N, 3, 3, Nm, dt);
  if (magOn) {
    const double h = std::sqrt(sigmaT * sigmaT + sigmaS * sigmaS);
    G[6 * N + 6] = h;
    G[7 * N + 7] = h;
    G[8 * N + 8] = std::sqrt(sigmaS * sigmaS + 1.0);
  } else {
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 3; ++c) G[(6 + r) * N + 6 + c] = p.sQwAccBias(r, c);
  }
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) G[(9 + r) * N + 9 + c] = p.sQwGyrBias(r, c);
  putBlock(G, N, 12, 12, M, (1.0 - p.c_acc) * k);
  putBlock(G, N, 15, 15, Qg, dt);

  // [Phi L  G] reduced row-wise: S' S'^T = Phi P Phi^T + G G^T.
  const double* S = s.m_sQx.data;
  for (ZtSize i = 0; i < N; ++i) {
    double* row = m_pre + i * kPreCols;
    const double* phiRow = Phi + i * N;
    // Phi has at most seven non-zeros a row: the product runs over those only.
    for (ZtSize j = 0; j < N; ++j) row[j] = 0.0;
    for (ZtSize q = 0; q < N; ++q) {
      const double a = phiRow[q];
      if (a == 0.0) continue;
      const double* sRow = S + q * N;
      for (ZtSize j = 0; j <= q; ++j) row[j] += a * sRow[j];
    }
    std::memcpy(row + N, G + i * N, N * sizeof(double));
  }
  lowerTriangulariseRows(m_pre, kPreCols, N, N, kPreCols, kPreEnd);
  double* Sn = s.m_sQx.data;
  for (ZtSize i = 0; i < N; ++i)
    for (ZtSize j = 0; j < N; ++j) Sn[i * N + j] = j <= i ? m_pre[i * kPreCols + j] : 0.0;
  s.m_sx.isLeftDivideTriL(s.m_sQx, s.m_x);
  if (m_observer) m_observer->predicted(m_Phi, m_G, s.m_x);
}

void Zkf700Filter::correct(bool noRotation) {
  const Zkf700Params& p = *m_params;
  Zkf700State& s = m_state;
  double* x = s.m_x.data;
  double* S = s.m_sQx.data;
  s.m_x.isMatTriLMulVec(s.m_sQx, s.m_sx);
  if (noRotation)
    for (int i = 15; i < 18; ++i) x[i] = 0.0;
  const double t[3] = {x[15], x[16], x[17]};
  Quaternion qe;
  qe.isHelical(Vector3(-t[0], -t[1], -t[2]));
  Quaternion q(s.m_q_ls);
  q.isQuatMulQuat(q, qe);
  q.isNormalizeSelf();
  s.m_q_ls = q;

  double Tb[9];
  crossMatrix(t, Tb);
  for (int i = 0; i < 9; ++i) Tb[i] = (i % 4 == 0 ? 1.0 : 0.0) + 0.5 * Tb[i];
  for (ZtSize c = 0; c < N; ++c) {
    const double r0 = S[15 * N + c], r1 = S[16 * N + c], r2 = S[17 * N + c];
    S[15 * N + c] = Tb[0] * r0 + Tb[1] * r1 + Tb[2] * r2;
    S[16 * N + c] = Tb[3] * r0 + Tb[4] * r1 + Tb[5] * r2;
    S[17 * N + c] = Tb[6] * r0 + Tb[7] * r1 + Tb[8] * r2;
  }
  for (int i = 15; i < 18; ++i) x[i] = 0.0;

  if (!s.firstGPS) {
    Quaternion toNwu;
    toNwu.isInverseOf(p.qNwuToLocal);
    s.m_posOffsetLtp.isRotateVecByQuat(s.m_xPos, toNwu);
    double lla[3];
    const double ref[3] = {s.lat_long_alt_zero[0], s.lat_long_alt_zero[1], s.lat_long_alt_zero[2]};
    // The WGS-84 radii of the reference: one radius for both axes scales east-west distances by
    // up to 0.7 % against what the velocity integrates.
    convert_localTangentPlane2LatLongAltWgs84(s.m_posOffsetLtp.data, ref, lla);
    s.lat_long_alt = Vector3(lla[0], lla[1], lla[2]);
    s.lat_long_alt_zero = s.lat_long_alt;
  } else {
    s.m_posOffsetLtp.isZero();
  }
  for (int i = 0; i < 3; ++i) x[i] = 0.0;
  // The orientation rows lost their triangular form in the turn above: re-triangularise the
  // diagonal block (the rows' product is kept, the columns left of the block are untouched).
  lowerTriangulariseRows(S + 15 * N + 15, N, 3, 3, 3, nullptr);
  for (ZtSize r = 15; r < N; ++r)
    for (ZtSize c = r + 1; c < N; ++c) S[r * N + c] = 0.0;

  if (m_observer) {
    m_T.isIdentity();
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 3; ++c) m_T(15 + r, 15 + c) = Tb[3 * r + c];
    m_observer->corrected(m_T, 15, noRotation);
    double zeros[3] = {0.0, 0.0, 0.0};
    m_observer->elementsSet(0, Vector(3, zeros, 0));
  }
}

// ---- Measurement updates -----------------------------------------------------------------------

bool Zkf700Filter::measurementUpdate(size_t m, const Matrix& H, const Matrix& Rn, size_t skip) {
  // A noise deviation of 0 (or not a number) cannot whiten its row: the update is not made.
  for (size_t i = 0; i < m; ++i)
    if (Rn(i, i) == 0.0 || !std::isfinite(Rn(i, i))) return false;
  if (m_observer) m_observer->measurementUpdate(Vector(m, m_zData, 0), H, Rn);
  return doMeasurementUpdateSquareRootZkf700_fw_zkf6g(m, m_state.m_sx, m_state.m_sQx, m_innovation, m_z, H, Rn, skip);
}

void Zkf700Filter::doGpsUpdate() {
  const Zkf700Params& p = *m_params;
  Zkf700State& s = m_state;
  Zkf700Aiding& a = m_aiding;
  const bool posOk = std::isfinite(a.gpsPAcc) && a.gpsPAcc > 0.0;
  const bool velOk = std::isfinite(a.gpsSAcc) && a.gpsSAcc > 0.0;
  if ((!posOk && !velOk) || (s.firstGPS && !posOk)) {
    // Accuracies that are not positive numbers cannot weigh the fix: it is dropped (a first
    // fix needs its position to anchor the local frame).
    journalOnce(kJournalGpsAccuracy, "Zkf700 filter: GNSS fix without a usable accuracy: skipped");
    a.gpsValid = false;
    return;
  }
  double zPos[3] = {0.0, 0.0, 0.0};
  if (s.firstGPS) {
    s.lat_long_alt_zero = a.gpsPos;
    s.lat_long_alt = a.gpsPos;
    if (velOk) {
      // The velocity is set in the state the correction rebuilds (x = sQx sx), so it is kept.
      double cur[N];
      Vector xs(N, cur, 0);
      xs.isMatTriLMulVec(s.m_sQx, s.m_sx);
      for (int i = 0; i < 3; ++i) cur[3 + i] = a.gpsVel[i];
      s.m_sx.isLeftDivideTriL(s.m_sQx, xs);
      for (int i = 0; i < 3; ++i) s.m_x[3 + i] = a.gpsVel[i];
      if (m_observer) m_observer->elementsSet(3, Vector(3, cur + 3, 0));
    }
    s.firstGPS = false;
  } else if (posOk) {
    double nwu[3];
    const double ref[3] = {s.lat_long_alt_zero[0], s.lat_long_alt_zero[1], s.lat_long_alt_zero[2]};
    convert_latLongAlt2LocalTangentPlaneWgs84(a.gpsPos.data, ref, nwu);
    Vector3 local;
    local.isRotateVecByQuat(Vector(3, nwu, 0), p.qNwuToLocal);
    for (int i = 0; i < 3; ++i) zPos[i] = local[i];
  }
  if (posOk) {
    const double c = p.c_baroAdaptation;
    s.barometer_baseheight[0] = c * s.barometer_baseheight[0] + (1.0 - c) * (s.barometer_baseheight[1] - a.gpsPos[2]);
  }
  if (a.gpsValid) {
    Zkf700Aiding gnss;
    gnss.gpsPos = a.gpsPos;
    gnss.gpsVel = a.gpsVel;
    gnss.gpsPAcc = a.gpsPAcc;
    gnss.gpsSAcc = a.gpsSAcc;
    gnss.gpsValid = true;
    gnss.magValid = s.lastAiding.magValid;
    gnss.baroValid = s.lastAiding.baroValid;
    gnss.baro = s.lastAiding.baro;
    s.lastAiding = gnss;
  }
  s.lastKnownGpsTime = m_sensor.time;

  size_t m = 0;
  std::memset(m_HData, 0, sizeof m_HData);
  std::memset(m_RnData, 0, sizeof m_RnData);
  auto addRow = [&](size_t state, double value, double sd) {
    m_HData[m * N + state] = 1.0;
    m_zData[m] = value;
    m_RnData[m * 6 + m] = sd;
    ++m;
  };
  if (posOk)
    for (size_t i = 0; i < 3; ++i) addRow(i, zPos[i], a.gpsPAcc);
  if (velOk)
    for (size_t i = 0; i < 3; ++i) addRow(3 + i, a.gpsVel[i], a.gpsSAcc);
  const Matrix H(m, N, N, m_HData, 0);
  const Matrix Rn(m, m, 6, m_RnData, 0);
  measurementUpdate(m, H, Rn, 12);
  a.gpsValid = false;
}

void Zkf700Filter::pressureToHeight(const double& pressure, double& height) {
  height = 44330.0 * (1.0 - std::pow(9.869232667160129e-6 * pressure, 0.1901975534856));
}

double* Zkf700Filter::getBaroBaseline(double height) {
  const double c = m_params->c_baroAdaptation;
  double* b = m_state.barometer_baseheight;
  b[0] = c * b[0] + (1.0 - c) * (b[1] - height);
  return b;
}

void Zkf700Filter::doBarometerUpdate() {
  const Zkf700Params& p = *m_params;
  Zkf700State& s = m_state;
  const double pressure = m_aiding.baro;
  m_aiding.baroValid = false;
  if (!(pressure > 0.0) || !std::isfinite(pressure)) {
    journalOnce(kJournalPressure, "Zkf700 filter: pressure not positive: barometer sample skipped");
    return;
  }
  double h = 0.0;
  pressureToHeight(pressure, h);
  if (s.firstBarometer) {
    if (!s.firstGPS) {
      s.barometer_baseheight[0] = h - s.lat_long_alt_zero[2];
      s.barometer_baseheight[1] = h;
      s.firstBarometer = false;
    }
    return;
  }
  m_zData[0] = h - s.barometer_baseheight[0] - s.lat_long_alt_zero[2];
  const Matrix Rn(1, 1, 1, p.sQwBarometer.data, 0);
  measurementUpdate(1, p.baroMeasurementRow, Rn, 0);
  s.barometer_baseheight[1] = h;
}

void Zkf700Filter::doMagneticFieldUpdate() {
  const Zkf700Params& p = *m_params;
  Zkf700State& s = m_state;
  double R[9], ml[3];
  rotationOf(s.m_q_ls, R);
  mulVec3(R, m_aiding.mag.data, ml);
  for (int i = 0; i < 3; ++i) s.mag_avg[i] = p.c_magAvg * s.mag_avg[i] + (1.0 - p.c_magAvg) * ml[i];
  for (int i = 0; i < 3; ++i) s.mag_var[i] = p.c_magVar * s.mag_var[i] + (1.0 - p.c_magVar) * (ml[i] - s.mag_avg[i]);
  const double mh[3] = {ml[0], ml[1], 0.0};

  // The horizontal field read through the filter's orientation: -P X(ml) R on the orientation
  // error, with the whole local field ml. Its tilt columns carry the vertical field read through
  // a tilt error (tan(inclination) times the tilt, in heading terms), so the innovation's
  // covariance holds the tilt's share and the update leaves the heading correlated with the
  // tilt: when the GNSS later corrects the tilt, the heading follows as the field demands
  // instead of keeping what the magnetometer read through the old tilt.
  //
  // The magnetometer must still not turn the tilt, nor anything whose error the tilt's
  // correlations would carry its reading into (velocity and position, the acceleration state,
  // the gyroscope bias about the horizontal axes, all of which become tilt again through the
  // predictions and the GNSS updates). So the update is a consider update that moves the field,
  // the heading and the gyroscope bias about the local vertical only: every other direction of
  // the state keeps its estimate and its variance, and the rest of the covariance is the true
  // one of that gain.
  std::memset(m_HData, 0, sizeof m_HData);
  double X[9], XR[9];
  crossMatrix(ml, X);
  mul3(X, R, XR);
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) {
      m_HData[r * N + 15 + c] = -XR[3 * r + c];
      m_HData[r * N + 6 + c] = p.RnMagUpdate(r, c);
    }
  std::memset(m_RnData, 0, sizeof m_RnData);
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) m_RnData[r * 3 + c] = p.sQvMag(r, c);
  m_RnData[8] = 100.0;
  for (int i = 0; i < 3; ++i) m_zData[i] = mh[i];

  std::memcpy(m_backup, s.m_sQx.data, N * N * sizeof(double));
  std::memcpy(m_backup + N * N, s.m_sx.data, N * sizeof(double));
  const Matrix H(3, N, N, m_HData, 0);
  const Matrix Rn(3, 3, 3, m_RnData, 0);
  // Kept: position and velocity (local axes), the tilt and the horizontal gyroscope bias (rows 0
  // and 1 of R, the local east and north axes in sensor coordinates), the acceleration state.
  constexpr ZtSize kKept = 13;
  double kept[N * kKept] = {};
  for (int c = 0; c < 3; ++c) {
    kept[c * kKept + c] = 1.0;
    kept[(3 + c) * kKept + 3 + c] = 1.0;
    kept[(15 + c) * kKept + 6] = R[c];
    kept[(15 + c) * kKept + 7] = R[3 + c];
    kept[(9 + c) * kKept + 8] = R[c];
    kept[(9 + c) * kKept + 9] = R[3 + c];
    kept[(12 + c) * kKept + 10 + c] = 1.0;
  }
  ConsiderUpdate keep;
  if (!keep.prepare(s.m_sQx, s.m_sx, H, Rn, m_z, kept, kKept)) return;
  if (m_observer) m_observer->keptDirections(Matrix(N, kKept, kKept, kept, 0));
  if (!measurementUpdate(3, H, Rn, 0)) return;
  keep.restore(s.m_sQx, s.m_sx);
  const double spread = sumStandardDeviations(m_wData[0], m_wData[1]);
  const double gate = p.nrMagCheck[0], maxRejections = p.nrMagCheck[1];
  if (gate != 0.0 && spread > gate && maxRejections > static_cast<double>(s.NR_magCounter)) {
    ++s.NR_magCounter;
    std::memcpy(s.m_sQx.data, m_backup, N * N * sizeof(double));
    std::memcpy(s.m_sx.data, m_backup + N * N, N * sizeof(double));
    if (m_observer) m_observer->rolledBack();
    return;
  }
  s.NR_magCounter = 0;
}

void Zkf700Filter::doHolonomicConstraintUpdate() {
  const Zkf700Params& p = *m_params;
  const Zkf700State& s = m_state;
  // The last GNSS velocity stands for the vehicle's only on the sample of its fix: a fix
  // interval later, in a turn, its direction lags the vehicle's by the angle turned since.
  const double* v = s.m_xVel.data;
  if (!s.gpsOutage && s.lastAiding.gpsValid && s.lastKnownGpsTime == m_sensor.time) v = s.lastAiding.gpsVel.data;
  const double v2 = v[0] * v[0] + v[1] * v[1] + v[2] * v[2];
  if (v2 > p.velocityHolonomic * p.velocityHolonomic && p.gpsCoastingTime > s.coastingGps) {
    double vv[3] = {v[0], v[1], v[2]};
    doHolonomicUpdate(Vector(3, vv, 0), std::sqrt(v2));
  } else if (!s.gpsOutage && p.velocityZeroRotation * p.velocityZeroRotation > v2 &&
             0.3 * p.sQwGyr(0, 0) > std::fabs(m_sensor.m_gyr[2] - s.m_x[11])) {
    doZeroRotationUpdate();
  }
}

void Zkf700Filter::doHolonomicUpdate(const ZtVector& v, double speed) {
  const Zkf700Params& p = *m_params;
  const Zkf700State& s = m_state;
  double n[3] = {p.n_s[0], p.n_s[1], p.n_s[2]};
  const double nl = norm3(n);
  if (!(nl > 0.0) || !std::isfinite(nl)) {
    journalOnce(kJournalHolonomicAxis, "Zkf700 filter: no direction of travel (n_s): holonomic update skipped");
    return;
  }
  for (double& e : n) e /= nl;
  double sigma2 = s.lastAiding.gpsSAcc * s.lastAiding.gpsSAcc;
  if (s.gpsOutage) {
    double var[3];
    for (int r = 0; r < 3; ++r) {
      double sum = 0.0;
      for (ZtSize c = 0; c < N; ++c) sum += s.m_sQx(3 + r, c) * s.m_sQx(3 + r, c);
      var[r] = sum;
    }
    sigma2 = norm3(var);
  }
  const double scale = std::sqrt(1.0 / speed + sigma2);
  if (!std::isfinite(scale) || !(speed > 0.0)) return;
  double R[9], M[9], Xn[9], MX[9];
  rotationOf(s.m_q_ls, R);
  for (int i = 0; i < 9; ++i) M[i] = i >= 6 ? 0.0 : R[i];
  double Mn[3];
  mulVec3(M, n, Mn);
  for (int i = 0; i < 3; ++i) m_zData[i] = speed * Mn[i] - v.data[i];
  m_zData[2] = 0.0;
  crossMatrix(n, Xn);
  mul3(M, Xn, MX);
  std::memset(m_HData, 0, sizeof m_HData);
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) m_HData[r * N + 15 + c] = -speed * MX[3 * r + c];
  // Held against the state's own velocity, the constraint sees the velocity error as much as
  // the orientation error: s R n - v = H e + (I - u u^T)(v_true - v) to first order, u = R n.
  // Without these columns every sample takes the velocity for exact: the orientation deviation
  // collapses to nothing while the heading follows the velocity's errors (through an outage,
  // with the zero-acceleration update taking out a turn's centripetal acceleration), and a
  // filter that sure of a wrong attitude never comes back once the fixes return. The state
  // holds the velocity itself, so its part is added to the measurement: z + H_v v - H x =
  // z - H_e e. A GNSS velocity is no state: it enters by its accuracy alone.
  const double* xv = s.m_xVel.data;
  if (v.data[0] == xv[0] && v.data[1] == xv[1] && v.data[2] == xv[2]) {
    double u[3];
    mulVec3(R, n, u);
    for (int r = 0; r < 2; ++r)
      for (int c = 0; c < 3; ++c) {
        const double hv = (r == c ? 1.0 : 0.0) - u[r] * u[c];
        m_HData[r * N + 3 + c] = hv;
        m_zData[r] += hv * xv[c];
      }
  }
  std::memset(m_RnData, 0, sizeof m_RnData);
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) m_RnData[r * 3 + c] = scale * p.sQwHolonomic(r, c);
  m_RnData[8] = 1000.0;
  const Matrix H(3, N, N, m_HData, 0);
  const Matrix Rn(3, 3, 3, m_RnData, 0);
  measurementUpdate(3, H, Rn, 0);
}

namespace {

// The 3 x 18 selector of one state block, and its noise root scaled from a 3 x 3 matrix.
void blockRow(double* H, size_t first) {
  std::memset(H, 0, 3 * N * sizeof(double));
  for (size_t i = 0; i < 3; ++i) H[i * N + first + i] = 1.0;
}

}  // namespace

void Zkf700Filter::doZeroRotationUpdate() {
  const Zkf700Params& p = *m_params;
  blockRow(m_HData, 9);
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) m_RnData[r * 3 + c] = 3.0 * p.sQwGyr(r, c);
  for (int i = 0; i < 3; ++i) m_zData[i] = m_sensor.m_gyr[i];
  const Matrix H(3, N, N, m_HData, 0);
  const Matrix Rn(3, 3, 3, m_RnData, 0);
  measurementUpdate(3, H, Rn, 0);
}

void Zkf700Filter::doAccelerationUpdate() {
  const Zkf700Params& p = *m_params;
  blockRow(m_HData, 12);
  std::memset(m_RnData, 0, sizeof m_RnData);
  for (int i = 0; i < 3; ++i) {
    m_RnData[i * 4] = p.sd_vAccLowPass;
    m_zData[i] = 0.0;
  }
  const Matrix H(3, N, N, m_HData, 0);
  const Matrix Rn(3, 3, 3, m_RnData, 0);
  measurementUpdate(3, H, Rn, 3);
}

void Zkf700Filter::doNorotationUpdate() {
  const Zkf700Params& p = *m_params;
  blockRow(m_HData, 9);
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) m_RnData[r * 3 + c] = p.f_norotNoise * p.sQwGyr(r, c);
  for (int i = 0; i < 3; ++i) m_zData[i] = m_sensor.m_gyr[i];
  const Matrix H(3, N, N, m_HData, 0);
  const Matrix Rn(3, 3, 3, m_RnData, 0);
  measurementUpdate(3, H, Rn, 0);
}

}  // namespace zelto
