#include "filters/zkf3i/Zkf3iFilter.h"

#include <algorithm>
#include <cmath>

#include "filters/common/EstimationRoutines.h"
#include "filters/common/InputCast.h"
#include "filters/common/LowerTriangulariseRows.h"
#include "filters/common/MeasurementUpdateZkf3Fw.h"

namespace zelto {

namespace {

constexpr ZtSize N = Zkf3iState::kStates;
constexpr ZtSize kPreCols = 2 * N;
constexpr double kDegToRad = 0.017453292519943295;
static_assert(kPreCols <= kLowerTriangulariseMaxColumns, "time-update array too wide");
// G is block diagonal in 3 x 3 blocks, so row i of [ Phi sQx  G ] is zero from the end of its
// block on: what the reduction of the time update may skip.
constexpr std::size_t kPreEnd[N] = {15, 15, 15, 18, 18, 18, 21, 21, 21, 24, 24, 24};
// After the correction turned rows 0..2, 6..8 and 9..11 of sQx among themselves, row i is zero
// from these columns on.
constexpr std::size_t kCorrectEnd[N] = {3, 3, 3, 4, 5, 6, 9, 9, 9, 12, 12, 12};
// Deviation of the magnetometer's vertical axis: the heading update does not use it.
constexpr double kMagVerticalDeviation = 100.0;
// Damping of the orientation error about the local vertical per sample while the magnetometer
// update is off.
constexpr double kHeadingDamping = 0.9999;
// Shortest vector n() turns into a direction.
constexpr double kMinNorm = 1e-16;

enum : unsigned {
  kJournalAccNoise = 1u << 0,
  kJournalMagNoise = 1u << 1,
  kJournalGyrNoise = 1u << 2,
  kJournalSpatialTerm = 1u << 3,
};

bool finite3(const ZtVector& v) {
  return std::isfinite(v.data[0]) && std::isfinite(v.data[1]) && std::isfinite(v.data[2]);
}

double dot3(const ZtVector& a, const ZtVector& b) {
  return a.data[0] * b.data[0] + a.data[1] * b.data[1] + a.data[2] * b.data[2];
}

double norm3(const ZtVector& v) { return std::sqrt(dot3(v, v)); }

// v scaled to unit length; zero below kMinNorm.
void unit(Vector3& out, const ZtVector& v) {
  const double n = norm3(v);
  if (n < kMinNorm) {
    out.isZero();
    return;
  }
  out = Vector3(v.data[0] / n, v.data[1] / n, v.data[2] / n);
}

// unit(hor(v)).
void unitHorizontal(Vector3& out, const ZtVector& v) { unit(out, Vector3(v.data[0], v.data[1], 0.0)); }

}  // namespace

Zkf3iFilter::Zkf3iFilter(const Zkf3iParams* params)
    : ZkfFilterBase(kZkf3iFilterIdentity),
      m_Hacc(3, N),
      m_Phi(N, N),
      m_G(N, N),
      m_pre(N, kPreCols),
      m_H(3, N),
      m_J(4, 3),
      m_T(N, N) {
  m_Hacc.isZero();
  m_Hacc.setSubIdentity(1.0, 0, 0, 3, 3);
  m_yZero.isZero();
  m_R.isIdentity();
  m_Rstart.isIdentity();
  restart(const_cast<Zkf3iParams*>(params));
}

Zkf3iFilter::~Zkf3iFilter() { delete m_params; }

void Zkf3iFilter::restart(ZkfParams* params) {
  if (params != nullptr && params != m_params) {
    if (const auto* p = dynamic_cast<const Zkf3iParams*>(params)) {
      auto* copy = new Zkf3iParams(*p);
      delete m_params;
      m_params = copy;
    }
  }
  m_state.firstIteration = true;
  m_state.isValidAge = 0;
}

void Zkf3iFilter::getFullState(ZkfState* state) const {
  if (auto* s = dynamic_cast<Zkf3iState*>(state)) *s = m_state;
}

void Zkf3iFilter::setFullState(const ZkfState* state) { (void)setFullStateChecked(state); }

bool Zkf3iFilter::setFullStateChecked(const ZkfState* state) {
  const auto* s = dynamic_cast<const Zkf3iState*>(state);
  if (s == nullptr || !s->isUsable()) return false;
  m_state = *s;
  initializeScratchies();
  return true;
}

void Zkf3iFilter::initializeScratchies() { m_R.isQuat(m_state.q_ls); }

ZkfParams* Zkf3iFilter::getFilterParameters() { return m_params; }

bool Zkf3iFilter::isInitialized() const { return !m_state.firstIteration; }

void Zkf3iFilter::getTypeAndVersion(unsigned char& type, unsigned char& major, unsigned char& minor,
                                    unsigned char& revision) {
  typeAndVersion(kZkf3iFilterIdentity, type, major, minor, revision);
}

void Zkf3iFilter::getLastOutput(Zkf3iFilterOutput& o) const {
  const Zkf3iState& s = m_state;
  o.q_ls = s.q_ls;
  o.q_redefine = s.q_redefine;
  o.a_l = s.a_l;
  o.zruRunning = s.zruRunning;
  o.zruAborted = s.zruAborted;
  o.zruSamplesRejected = s.zruSamplesRejected;
  o.zruSamplesToProcess = static_cast<uint16_t>(s.zruSamplesToProcess);
  o.valid = !s.firstIteration && s.isValidAge < 1;
}

bool Zkf3iFilter::doOneKalmanStep(const ZkfSensorData& sensorData, const ZkfAiding& aiding,
                                  const ZkfRealTimeParameters& realTime, ZkfFilterOutput& output, const ZkfTime*) {
  const auto* sd = inputCast<const Zkf3iSensorData>(&sensorData);
  const auto* ad = inputCast<const Zkf3iAiding>(&aiding);
  const auto* rt = inputCast<const Zkf3iRealTimeParameters>(&realTime);
  auto* out = inputCast<Zkf3iFilterOutput>(&output);
  if (sd == nullptr || ad == nullptr || rt == nullptr || out == nullptr) return false;
  return doOneKalmanStep(*sd, *ad, *rt, *out);
}

bool Zkf3iFilter::inputsUsable(const Zkf3iSensorData& sd, const Zkf3iAiding& ad) const {
  const Quaternion& q = sd.dq;
  const double qq = q.w * q.w + q.x * q.x + q.y * q.y + q.z * q.z;
  return std::isfinite(qq) && qq > 1e-12 && finite3(sd.dv) && finite3(ad.mag);
}

bool Zkf3iFilter::doOneKalmanStep(const Zkf3iSensorData& sensorData, const Zkf3iAiding& aiding,
                                  const Zkf3iRealTimeParameters& realTime, Zkf3iFilterOutput& output) {
  if (m_params == nullptr || !m_params->isUsable() || !inputsUsable(sensorData, aiding)) return false;
  const Zkf3iParams& p = *m_params;
  Zkf3iState& s = m_state;
  const double dt = p.sampleTime;
  // 1.-2.
  output.sensorData = sensorData;
  output.aiding = aiding;
  output.sampleTime = dt;
  m_sd = sensorData;
  m_ad = aiding;
  m_sd.computeGyrAcc(dt);
  m_Rstart = m_R;
  // 3.
  if (realTime.noRotationDuration != 0) {
    if (dot3(m_sd.gyr, m_sd.gyr) < p.zruThresholdSquared) {
      s.zruAborted = false;
      s.zruSamplesRejected = false;
      s.zruRunning = true;
      const double n = std::floor(realTime.noRotationDuration / dt);
      s.zruSamplesToProcess = n > 0.0 ? static_cast<uint64_t>(n) : 0;
    } else {
      s.zruAborted = true;
      s.zruRunning = false;
      s.zruSamplesRejected = false;
      s.zruSamplesToProcess = 0;
    }
  }
  // 4. Null steps run the built-in schedule.
  const Zkf3iFilterSteps* steps = p.zkf3iSteps();
  if (steps == nullptr || steps->defaultSchedule)
    defaultSchedule();
  else
    customSchedule(*steps);
  // 5.-7.
  if (s.isValidAge > 0) --s.isValidAge;
  s.mag_s_prev = aiding.mag;
  getLastOutput(output);
  return true;
}

bool Zkf3iFilter::initializeFromMeasurement() {
  Vector3 up;
  if (!m_state.initializeFromMeasurement(*m_params, m_sd, m_ad, m_params->sampleTime, up)) return false;
  m_R.isQuat(m_state.q_ls);
  m_Rstart = m_R;
  return true;
}

void Zkf3iFilter::defaultSchedule() {
  const Zkf3iParams& p = *m_params;
  Zkf3iState& s = m_state;
  const bool magPresent = m_ad.hasMag();
  // 1. A sample that gives no frame keeps the filter waiting, as a missing field does.
  if (s.firstIteration) {
    if (p.doMagUpdate && !magPresent) return;
    if (initializeFromMeasurement()) s.firstIteration = false;
    return;
  }
  // 2.
  if (p.doMagUpdate && magPresent) userMagModel();
  predict();
  if (p.doAccUpdate) doAccelerationUpdate();
  if (p.doMagUpdate && magPresent) doMagnetometerUpdate();
  // 3. The rate the prediction corrected by the bias estimate.
  const bool still = dot3(m_sd.gyr, m_sd.gyr) < p.zruThresholdSquared;
  if (s.zruSamplesToProcess != 0) {
    s.zruRunning = true;
    if (still)
      doZeroRotationUpdate();
    else
      s.zruSamplesRejected = true;
    --s.zruSamplesToProcess;
  } else {
    s.zruRunning = false;
    if (p.doCZruUpdate) {
      if (s.c_mag_spat >= p.c_mag_max && still) {
        ++s.cZruSamplesBelowThreshold;
        if (s.cZruSamplesBelowThreshold > p.cZruSamplesThreshold) {
          s.zruRunning = true;
          s.cZruRunning = true;
          s.cZruSamplesBelowThreshold = p.cZruSamplesThreshold + 1;
        }
      } else {
        s.cZruSamplesBelowThreshold = 0;
      }
    }
  }
  // 4.
  correct();
}

void Zkf3iFilter::customSchedule(const Zkf3iFilterSteps& steps) {
  if (steps.init) initializeFromMeasurement();
  if (steps.userMagModel) userMagModel();
  if (steps.predict) predict();
  if (steps.accUpdate) doAccelerationUpdate();
  if (steps.magUpdate) doMagnetometerUpdate();
  if (steps.zeroRotationUpdate) doZeroRotationUpdate();
  if (steps.correct) correct();
}

bool Zkf3iFilter::clipSolve(Matrix3x3&) { return false; }

void Zkf3iFilter::solveClipSolve(Vector3& result) { result.isZero(); }

bool Zkf3iFilter::clipHandler(Matrix3x3& Qg, Matrix3x3& Qa) {
  const Zkf3iParams& p = *m_params;
  Qg = p.sQvGyr;
  Qa = p.sQvAcc;
  if (m_sd.clipAcc == 0 && m_sd.clipGyr == 0) return false;
  if (m_sd.clipGyr == 0) {
    for (ZtSize i = 0; i < 3; ++i)
      if ((m_sd.clipAcc >> i) & 1u) Qa(i, i) += p.f_acc_oor * p.accRange;
    return true;
  }
  if (!(p.doClipSolve && clipSolve(Qg))) {
    Qg = p.sQvGyr;
    for (ZtSize i = 0; i < 3; ++i) Qg(i, i) += p.f_gyr_oor * p.gyrRange * kDegToRad;
  }
  for (ZtSize i = 0; i < 3; ++i) Qa(i, i) += p.f_acc_oor * p.accRange;
  return true;
}

void Zkf3iFilter::getClipSolveSdi(Quaternion& dq, Matrix3x3&, bool& solved) {
  Zkf3iState& s = m_state;
  solved = false;
  const double n = norm3(m_ad.mag), np = norm3(s.mag_s_prev);
  const double s0 = s.clipSolve_state[0], s1 = s.clipSolve_state[1];
  const bool disturbed = std::fabs(s0 - n) > 0.2 || s1 > 7.85 * m_params->sampleTime;
  s.clipSolve_state[0] = s0 == 0.0 ? 0.5 * (n + np) : 0.997 * s0 + 0.003 * n;
  s.clipSolve_state[1] = std::fabs(n - np);
  s.clipSolve_state[2] = disturbed ? 0.0 : 1.0;
  dq = m_sd.dq;
}

void Zkf3iFilter::predict() {
  const Zkf3iParams& p = *m_params;
  Zkf3iState& s = m_state;
  const double T = p.sampleTime;
  Matrix3x3 Rt, Qg, Qa;
  Rt.isTransposeOf(m_R);
  // 2. Clipping.
  if (m_sd.clipGyr != 0 || m_sd.clipAcc != 0) {
    clipHandler(Qg, Qa);
    setInvalid();
  } else {
    Qg = p.sQvGyr;
    Qa = p.sQvAcc;
  }
  if (m_sd.clipGyr != 0) {
    const double n = std::trunc(p.tau_acc / T);
    s.clippedAccDivCounter = static_cast<int32_t>(std::clamp(n, -2147483648.0, 2147483647.0));
  } else if (s.clippedAccDivCounter != 0) {
    --s.clippedAccDivCounter;
  }
  // 3. Free acceleration: dv is in the sensor frame at the start of the interval, so R (still
  // the start orientation) turns dv / T into the interval's mean specific force in L exactly,
  // where R times the constant-force equivalent acc errs by about a half turn of the interval.
  s.a_l.isMatMulVec(m_R, m_sd.dv);
  s.a_l.isScaMulVec(1.0 / T, s.a_l);
  s.a_l.isVecAddVec(s.a_l, p.gravity_l);
  // 4. Orientation: the increment corrected by the bias estimate b, and by the earth's rotation
  // (which the local frame follows, and which the zero-rotation update removes from the measured
  // rate too).
  const Vector3 b(s.gyrBias);
  Vector3& e = m_v1;  // T R^T earthRotation_l
  e.isMatMulVec(Rt, p.earthRotation_l);
  e.isScaMulVec(T, e);
  Matrix3x3 Phq;
  const bool propagate = !s.zruRunning;
  if (!propagate) {
    Phq.isIdentity();
  } else {
    jacobianBiasDq(m_sd.gyr, T, m_J);
    Quaternion& dq = m_sd.dq;
    dq.w -= m_J(0, 0) * b[0] + m_J(0, 1) * b[1] + m_J(0, 2) * b[2];
    dq.x -= m_J(1, 0) * b[0] + m_J(1, 1) * b[1] + m_J(1, 2) * b[2];
    dq.y -= m_J(2, 0) * b[0] + m_J(2, 1) * b[1] + m_J(2, 2) * b[2];
    dq.z -= m_J(3, 0) * b[0] + m_J(3, 1) * b[1] + m_J(3, 2) * b[2];
    dq.isNormalizeSelf();
    Quaternion qe(1.0, -0.5 * e[0], -0.5 * e[1], -0.5 * e[2]);
    qe.isNormalizeSelf();
    s.q_ls.isQuatMulQuat(s.q_ls, qe);
    s.q_ls.isQuatMulQuat(s.q_ls, dq);
    s.q_ls.isNormalizeSelf();
    Phq.isQuat(dq);
  }
  // 5.
  m_sd.gyr.isVecSubVec(m_sd.gyr, b);
  const Vector& omega = m_sd.gyr;
  // 6. Magnetic disturbance terms.
  double cm = 0.0, d = 0.0;
  if (!p.doMagUpdate) {
    s.sdMagVar = 1.0;
    s.c_mag_spat = 0.0;
  } else {
    double v = p.f_magvar * dot3(s.mag_var, s.mag_var);
    v = std::min(v, p.sd_w_mag_temporal_max);
    v = std::max(v, p.sd_w_mag_temporal_min);
    s.sdMagVar = v;
    s.v_l.isScaMulVecAddScaMulVec(p.c_vel, s.v_l, T, s.a_l);
    d = p.dp_boost * T * norm3(s.v_l);
    if (p.p_mag_spat > 0.0) {
      s.c_mag_spat = std::exp(-d * d / p.p_mag_spat);
    } else {
      journalOnce(kJournalSpatialTerm, "p_mag_spat not positive: the spatial magnetic coefficient is 0 while moving");
      s.c_mag_spat = d > 0.0 ? 0.0 : 1.0;
    }
    cm = std::min(s.c_mag_spat, p.c_mag_max);
  }
  // 7. Block laws of the state.
  Vector& x = s.x;
  for (ZtSize i = 0; i < 3; ++i) {
    x[i] = p.c_acc * x[i] + (1.0 - p.c_acc) * s.a_l[i];
    x[3 + i] = p.c_gyrBias[i] * b[i];
    x[6 + i] = cm * x[6 + i] + (1.0 - cm) * s.m0_def[i];
  }
  // 8. Transition.
  Matrix& Phi = m_Phi;
  Phi.isIdentity();
  Vector3& gs = m_v2;
  gs.isMatMulVec(Rt, p.gravity_l);
  m_M1.isMcrossVec(gs);
  m_M2.isMatMulMat(m_R, m_M1);
  for (ZtSize r = 0; r < 3; ++r) {
    Phi(r, r) = p.c_acc;
    Phi(3 + r, 3 + r) = p.c_gyrBias[r];
    Phi(6 + r, 6 + r) = cm;
    Phi(9 + r, 3 + r) = T;
    for (ZtSize c = 0; c < 3; ++c) Phi(r, 9 + c) = (p.c_acc - 1.0) * m_M2(r, c);
  }
  m_M1.isMcrossVec(e);
  for (ZtSize r = 0; r < 3; ++r)
    for (ZtSize c = 0; c < 3; ++c) Phi(9 + r, 9 + c) = Phq(c, r) + m_M1(r, c);
  if (!p.doMagUpdate) {
    // D = R^T diag(1, 1, 0.9999) R on rows 9..11.
    Matrix3x3& D = m_M1;
    for (ZtSize r = 0; r < 3; ++r)
      for (ZtSize c = 0; c < 3; ++c)
        D(r, c) = Rt(r, 0) * m_R(0, c) + Rt(r, 1) * m_R(1, c) + kHeadingDamping * Rt(r, 2) * m_R(2, c);
    double rows[3 * N];
    for (ZtSize r = 0; r < 3; ++r)
      for (ZtSize c = 0; c < N; ++c)
        rows[r * N + c] = D(r, 0) * Phi(9, c) + D(r, 1) * Phi(10, c) + D(r, 2) * Phi(11, c);
    for (ZtSize r = 0; r < 3; ++r)
      for (ZtSize c = 0; c < N; ++c) Phi(9 + r, c) = rows[r * N + c];
  }
  // 9. Acceleration disturbance and noise boost.
  const double k = p.accUpdate_cDecay;
  if (s.clippedAccDivCounter == 0 && norm3(s.a_l) > p.accUpdateThreshold)
    s.acc_div.isScaMulVecAddScaMulVec(k, s.acc_div, 1.0 - k, s.a_l);
  else
    s.acc_div.isScaMulVec(k, s.acc_div);
  if (norm3(s.acc_div) > p.accUpdateThreshold) {
    ++s.accUpdateSamplesAboveThreshold;
    if (s.accUpdateSamplesAboveThreshold >= p.accUpdate_samples_above_threshold_preset) {
      s.accUpdateSamplesAboveThreshold = 0;
      s.accUpdateIgnoreSamples = p.accUpdateIgnoreSamples;
    }
  } else {
    s.accUpdateSamplesAboveThreshold = 0;
  }
  double beta = 1.0;
  if (s.accUpdateIgnoreSamples != 0) {
    beta = std::max(1.0, p.f_acc_boost * static_cast<double>(s.accUpdateIgnoreSamples) /
                             static_cast<double>(p.accUpdateIgnoreSamples));
    --s.accUpdateIgnoreSamples;
  }
  // 10. Process-noise root.
  Matrix& G = m_G;
  G.isZero();
  const double fa = (1.0 - p.c_acc) * beta;
  const double w2 = dot3(omega, omega);
  for (ZtSize r = 0; r < 3; ++r) {
    for (ZtSize c = 0; c < 3; ++c) {
      G(r, c) = fa * (m_R(r, 0) * Qa(0, c) + m_R(r, 1) * Qa(1, c) + m_R(r, 2) * Qa(2, c));
      G(3 + r, 3 + c) = p.sQwGyrBias(r, c);
    }
    double qs2 = 0.0, qg2 = 0.0;
    for (ZtSize k2 = 0; k2 < 3; ++k2) {
      qs2 += d * p.sQw_mag_spat(r, k2) * d * p.sQw_mag_spat(k2, r);
      qg2 += Qg(r, k2) * Qg(k2, r);
    }
    const double m2 = r < 2 ? s.sdMagVar * s.sdMagVar : 1.0;
    G(6 + r, 6 + r) = std::sqrt(std::max(0.0, qs2 + m2));
    G(9 + r, 9 + r) = T * std::sqrt(std::max(0.0, qg2 + p.f_dynamic_gyro * w2));
  }
  // 11. [ Phi sQx  G ] reduced from the right to [ sQx'  0 ]; sQx is lower triangular, so
  // column j of it starts at row j.
  const Matrix& L = s.sQx;
  for (ZtSize i = 0; i < N; ++i) {
    double* a = m_pre.rowPtr(i);
    const double* phi = Phi.rowPtr(i);
    for (ZtSize j = 0; j < N; ++j) {
      double sum = 0.0;
      for (ZtSize kk = j; kk < N; ++kk) sum += phi[kk] * L.data[kk * L.stride + j];
      a[j] = sum;
    }
    const double* g = G.rowPtr(i);
    for (ZtSize c = 0; c < N; ++c) a[N + c] = g[c];
  }
  lowerTriangulariseRows(m_pre.data, m_pre.stride, N, N, kPreCols, kPreEnd);
  for (ZtSize r = 0; r < N; ++r) {
    const double* a = m_pre.rowPtr(r);
    for (ZtSize c = 0; c < N; ++c) s.sQx(r, c) = c <= r ? a[c] : 0.0;
  }
  // 12.-13.
  s.sx.isLeftDivideTriL(s.sQx, x);
  if (propagate) m_R.isQuat(s.q_ls);
  if (m_observer != nullptr) m_observer->predicted(Phi, G, x);
}

bool Zkf3iFilter::measurementUpdate(const Vector& y, const Matrix& H, const Matrix3x3& sR, uint32_t skip,
                                    unsigned journalBit) {
  for (ZtSize i = 0; i < 3; ++i) {
    if (!(sR(i, i) > 0.0) || !std::isfinite(sR(i, i))) {
      journalOnce(journalBit, "measurement noise deviation not positive and finite: update skipped");
      return false;
    }
  }
  if (m_observer != nullptr) m_observer->measurementUpdate(y, H, sR);
  doMeasurementUpdateSquareRootZkf3i_fw(m_state.sx, m_state.sQx, m_e, y, H, sR, nullptr, skip);
  return true;
}

void Zkf3iFilter::doAccelerationUpdate() {
  const Zkf3iParams& p = *m_params;
  const double g = p.gravity_l[2] + norm3(m_sd.acc);
  const double v = p.f_dynamic_acc * g * g;
  m_sR.isZero();
  for (ZtSize i = 0; i < 3; ++i) m_sR(i, i) = std::sqrt(p.sQv_accLowPass(i, i) * p.sQv_accLowPass(i, i) + v);
  if (!measurementUpdate(m_yZero, m_Hacc, m_sR, 9, kJournalAccNoise)) return;
  if (dot3(m_e, m_e) > p.validity_accThreshold) setInvalid();
}

void Zkf3iFilter::doMagnetometerUpdate() {
  const Zkf3iParams& p = *m_params;
  Zkf3iState& s = m_state;
  // 1.-3.
  Vector3& mL = m_v1;
  mL.isMatMulVec(m_R, m_ad.mag);
  s.mag_avg.isScaMulVecAddScaMulVec(p.c_mag_avg, s.mag_avg, 1.0 - p.c_mag_avg, mL);
  // The deviation from the average without its part along the average's horizontal tangent (a
  // turn about the vertical). The filter's own heading drift turns mL that way; counted as a
  // disturbance it would raise sdMagVar and free the field states to follow the drift, so that
  // the heading, and with it the bias about the vertical, would never be corrected. Turns about
  // the vertical are for the magnetometer update and its gate to judge; a disturbance also
  // changes the field's horizontal magnitude or its vertical part.
  Vector3& dev = m_v2;
  dev.isVecSubVec(mL, s.mag_avg);
  const double t0 = -s.mag_avg[1], t1 = s.mag_avg[0];
  const double tt = t0 * t0 + t1 * t1;
  if (tt > kMinNorm * kMinNorm) {
    const double along = (dev[0] * t0 + dev[1] * t1) / tt;
    dev[0] -= along * t0;
    dev[1] -= along * t1;
  }
  for (ZtSize i = 0; i < 3; ++i) s.mag_var[i] = p.c_mag_var * s.mag_var[i] + (1.0 - p.c_mag_var) * dev[i];
  // 4.-6.
  m_y = Vector3(mL[0], mL[1], 0.0);
  m_M1.isMcrossVec(m_y);
  m_M2.isMatMulMat(m_M1, m_R);
  m_H.isZero();
  for (ZtSize r = 0; r < 3; ++r)
    for (ZtSize c = 0; c < 3; ++c) {
      m_H(r, 9 + c) = -m_M2(r, c);
      m_H(r, 6 + c) = p.RnMagUpdate(r, c);
    }
  m_sR.isZero();
  m_sR(0, 0) = p.sQvMag(0, 0);
  m_sR(1, 1) = p.sQvMag(1, 1);
  m_sR(2, 2) = kMagVerticalDeviation;
  // 7.-8.
  std::copy(s.sQx.data, s.sQx.data + N * N, m_sQxBackup);
  std::copy(s.sx.data, s.sx.data + N, m_sxBackup);
  if (!measurementUpdate(m_y, m_H, m_sR, 0, kJournalMagNoise)) return;
  // 9. The gate: a residual beyond the limit is refused, at most maxRejects times in a row.
  const double residual = sumStandardDeviations(m_e[0], m_e[1]);
  const double limit = p.nrMagCheck[0], maxRejects = p.nrMagCheck[1];
  if (limit != 0.0 && residual > limit && maxRejects > static_cast<double>(s.NR_magCounter)) {
    std::copy(m_sQxBackup, m_sQxBackup + N * N, s.sQx.data);
    std::copy(m_sxBackup, m_sxBackup + N, s.sx.data);
    ++s.NR_magCounter;
    if (m_observer != nullptr) m_observer->rolledBack();
  } else {
    s.NR_magCounter = 0;
  }
  // 10.
  if (dot3(m_e, m_e) > p.validity_magThreshold) setInvalid();
}

void Zkf3iFilter::doZeroRotationUpdate() {
  const Zkf3iParams& p = *m_params;
  Zkf3iState& s = m_state;
  Vector3& t = m_v1;
  t.isTransMatMulVec(m_R, p.earthRotation_l);
  for (ZtSize i = 0; i < 3; ++i) m_y[i] = m_sd.gyr[i] + s.gyrBias[i] - t[i];
  m_M1.isMcrossVec(t);
  m_H.isZero();
  for (ZtSize r = 0; r < 3; ++r) {
    m_H(r, 3 + r) = 1.0;
    for (ZtSize c = 0; c < 3; ++c) m_H(r, 9 + c) = -m_M1(r, c);
  }
  const double f = s.cZruRunning ? p.f_cZruNoise : p.f_zruNoise;
  m_sR.isZero();
  for (ZtSize i = 0; i < 3; ++i) m_sR(i, i) = f * p.sQvGyr(i, i);
  measurementUpdate(m_y, m_H, m_sR, 0, kJournalGyrNoise);
}

void Zkf3iFilter::correct() {
  const Zkf3iParams& p = *m_params;
  Zkf3iState& s = m_state;
  Matrix& L = s.sQx;
  Vector& x = s.x;
  // 1.-2.
  x.isMatTriLMulVec(L, s.sx);
  const bool dropped = s.zruRunning;
  if (dropped) {
    s.orientError.isZero();
    s.q_redefine.isIdentity();
  }
  // 3.
  Quaternion dq(1.0, -0.5 * x[9], -0.5 * x[10], -0.5 * x[11]);
  dq.isNormalizeSelf();
  s.q_ls.isQuatMulQuat(s.q_ls, dq);
  s.q_ls.isNormalizeSelf();
  // 4. M = I + 0.5 [x_9..11 x] on rows 9..11.
  Matrix3x3& M = m_M1;
  Vector3 th(x[9], x[10], x[11]);
  M.isMcrossVec(th);
  for (ZtSize r = 0; r < 3; ++r) {
    for (ZtSize c = 0; c < 3; ++c) M(r, c) *= 0.5;
    M(r, r) += 1.0;
  }
  auto turnRows = [&L](const Matrix3x3& A, ZtSize first) {
    double rows[3 * N];
    for (ZtSize r = 0; r < 3; ++r)
      for (ZtSize c = 0; c < N; ++c)
        rows[r * N + c] = A(r, 0) * L(first, c) + A(r, 1) * L(first + 1, c) + A(r, 2) * L(first + 2, c);
    for (ZtSize r = 0; r < 3; ++r)
      for (ZtSize c = 0; c < N; ++c) L(first + r, c) = rows[r * N + c];
  };
  turnRows(M, 9);
  s.orientError.isZero();
  if (m_observer != nullptr) {
    m_T.isIdentity();
    m_T.setSubMatrix(M, 9, 9, 3, 3, 0, 0);
  }
  // 5. Heading redefinition: the local frame turns about the vertical. A q_redefine that is no
  // rotation (the four zeros of a state the user magnetic model has not yet seen, installed or
  // constructed) turns nothing; applied, it would zero q_ls.
  const Quaternion& qr = s.q_redefine;
  const bool redefine = qr.w * qr.w + qr.x * qr.x + qr.y * qr.y + qr.z * qr.z > 0.5;
  if (p.doMagUpdate && p.doRedefine && redefine) {
    s.q_ls.isQuatMulQuat(s.q_redefine, s.q_ls);
    Matrix3x3& Mr = m_M2;
    Mr.isQuat(s.q_redefine);
    Vector3 v;
    Vector3* rotated[] = {&s.a_l, &s.v_l, &s.mag_avg};
    for (Vector3* w : rotated) {
      v.isMatMulVec(Mr, *w);
      *w = v;
    }
    v.isMatMulVec(Mr, s.accel);
    s.accel = v;
    v.isMatMulVec(Mr, s.magField);
    s.magField = v;
    turnRows(Mr, 0);
    turnRows(Mr, 6);
    Matrix3x3 start(m_Rstart);
    m_Rstart.isMatMulMat(Mr, start);
    if (m_observer != nullptr) {
      m_T.setSubMatrix(Mr, 0, 0, 3, 3, 0, 0);
      m_T.setSubMatrix(Mr, 6, 6, 3, 3, 0, 0);
    }
  }
  // 6.-8.
  m_R.isQuat(s.q_ls);
  lowerTriangulariseRows(L.data, L.stride, N, N, N, kCorrectEnd);
  for (ZtSize r = 0; r < N; ++r)
    for (ZtSize c = r + 1; c < N; ++c) L(r, c) = 0.0;
  s.sx.isLeftDivideTriL(L, x);
  if (m_observer != nullptr) m_observer->corrected(m_T, 9, dropped);
  // 9. dv is in the sensor frame at the start of the interval.
  s.a_l.isMatMulVec(m_Rstart, m_sd.dv);
  s.a_l.isScaMulVec(1.0 / p.sampleTime, s.a_l);
  s.a_l.isVecAddVec(s.a_l, p.gravity_l);
  // 10.
  if (anyOutOfRange(s.gyrBias, p.validity_gyroBiasThreshold)) setInvalid();
  const double th2 = p.validity_angularUncertaintyThreshold * p.validity_angularUncertaintyThreshold;
  for (ZtSize i = 0; i < 3; ++i) {
    double sum = 0.0;
    for (ZtSize c = 0; c < N; ++c) sum += L(9 + i, c) * L(9 + i, c);
    if (sum > th2) setInvalid();
  }
}

void Zkf3iFilter::userMagModel() {
  const Zkf3iParams& p = *m_params;
  Zkf3iState& s = m_state;
  const double c = p.c_mag_local;
  // 1.-6.
  Vector3 m0h, u, v;
  unitHorizontal(m0h, p.m0);
  // The magnetometer sample belongs to the end of the interval: it is turned into L with the
  // orientation the increment leads to (R_ls alone lags by the turn of the interval, which
  // would read every turn as a field direction change and redefine the heading by it).
  Matrix3x3& Rm = m_M1;
  if (s.zruRunning) {
    Rm = m_R;
  } else {
    Matrix3x3& inc = m_M2;
    inc.isQuat(m_sd.dq);
    Rm.isMatMulMat(m_R, inc);
  }
  s.mag_l.isMatMulVec(Rm, m_ad.mag);
  unitHorizontal(u, s.mag_l);
  v.isScaMulVecAddScaMulVec(c, s.m0_proj_def, 1.0 - c, u);
  unitHorizontal(s.m0_proj_def, v);
  const Vector3& ml = s.mag_l;
  s.magFieldDipAngleRad =
      c * s.magFieldDipAngleRad + (1.0 - c) * std::atan2(ml[2], std::sqrt(ml[0] * ml[0] + ml[1] * ml[1]));
  s.normMag = c * s.normMag + (1.0 - c) * norm3(ml);
  // 7. Target direction.
  Vector3 d(p.axis_redef);
  if (p.doMagUpdate && p.doRedefine && !(std::fabs(s.magFieldDipAngleRad) > p.magVerticalAngle)) {
    const double wt = p.doRedefineTemporal ? p.c_redefine_temporal : 1.0;
    Vector3 diff;
    diff.isVecSubVec(s.m0_proj_def, m0h);
    const double wd = p.doRedefineDelta_x0 && norm3(diff) > p.delta_x0_threshold ? p.c_redefine_delta_x0 : 1.0;
    double floor = 0.0;
    if (!p.doRedefineMagDist &&
        (s.sdMagVar > std::max(p.magDist_threshold * p.sd_w_mag_temporal_max, p.sd_w_mag_temporal_min) ||
         s.normMag > p.magDistNorm_max))
      floor = 1.0;
    double wh = 1.0;
    if (p.doRedefineSdHeading) {
      double var = 0.0;
      for (ZtSize j = 0; j < N; ++j) {
        const double e = m_R(2, 0) * s.sQx(9, j) + m_R(2, 1) * s.sQx(10, j) + m_R(2, 2) * s.sQx(11, j);
        var += e * e;
      }
      if (var > p.sdHeadingThresholdRad * p.sdHeadingThresholdRad) wh = p.c_redefine_sdHeading;
    }
    double ws = 1.0;
    if (p.doRedefineSpatial) {
      const double wz = m_R(2, 0) * m_sd.gyr[0] + m_R(2, 1) * m_sd.gyr[1] + m_R(2, 2) * m_sd.gyr[2];
      if (std::fabs(wz) >= p.omegaRedefMinRad) ws = std::exp(-wz * wz / p.omegaRedefTypicalRad);
    }
    const double k = std::max(wt * wd * wh * ws, floor);
    Matrix3x3 Rz;
    Rz.isRotateZ(p.declination_angle_rad);
    v.isMatMulVec(Rz, diff);
    v.isScaMulVecAddScaMulVec(1.0, p.axis_redef, 1.0 - k, v);
    unitHorizontal(d, v);
  }
  // 8. Frame M about the vertical, given by its rows.
  Vector3 h, z(0.0, 0.0, 1.0), r0, r1;
  unitHorizontal(h, d);
  Matrix3x3 M;
  const Vector& a = p.axis_redef;
  if (a[1] > std::max(a[0], 0.0) && !(a[2] > a[1])) {
    r0.isVecCrossVec(h, z);
    M.setRow(r0, 0);
    M.setRow(h, 1);
  } else {
    r1.isVecCrossVec(z, h);
    M.setRow(h, 0);
    M.setRow(r1, 1);
  }
  M.setRow(z, 2);
  // 9. Rate limit.
  const double psi = std::atan2(M(1, 0), M(0, 0));
  const double lim = psi < 0.0 ? -p.maxRedefAngleRad : p.maxRedefAngleRad;
  if (std::fabs(psi) > std::fabs(lim)) {
    Matrix3x3 Rz, turned;
    Rz.isRotateZ(lim - psi);
    turned.isMatMulMat(Rz, M);
    M = turned;
  }
  // 10.-11.
  s.q_redefine.isRmat(M);
  s.q_redefine.isNormalizeSelf();
  if (!p.doMagUpdate || (!p.doRedefine && p.convergeNorthWithoutRedefine)) {
    s.m0_proj_def = m0h;
  } else {
    v.isMatMulVec(M, s.m0_proj_def);
    s.m0_proj_def = v;
  }
  // 12.
  const double m0h2 = p.m0[0] * p.m0[0] + p.m0[1] * p.m0[1];
  const double sc = m0h2 > 0.0 ? std::sqrt((s.mag_avg[0] * s.mag_avg[0] + s.mag_avg[1] * s.mag_avg[1]) / m0h2) : 0.0;
  s.m0_def = Vector3(sc * m0h[0], sc * m0h[1], s.x[8]);
}

}  // namespace zelto
