#include "filters/zkf3w/Zkf3wFilter.h"

#include <cmath>

#include "filters/common/EstimationRoutines.h"
#include "filters/common/InputCast.h"
#include "filters/common/LowerTriangulariseRows.h"
#include "filters/common/MeasurementUpdateZkf3Fw.h"
#include "filters/common/ZkfTime.h"

namespace zelto {

namespace {

constexpr ZtSize N = Zkf3wState::kStates;
constexpr ZtSize kPreCols = 2 * N;
static_assert(kPreCols <= kLowerTriangulariseMaxColumns, "time-update array too wide");
// Row i of the time-update array [ Phi sQx  B ] is zero beyond column 12 + 3 (i / 3 + 1): B is
// block diagonal in blocks of three. Reflections of row i never reach further.
constexpr std::size_t kPreEnd[N] = {15, 15, 15, 18, 18, 18, 21, 21, 21, 24, 24, 24};
// Deviation of the vertical magnetometer axis: the heading update does not use it.
constexpr double kMagVerticalDeviation = 100.0;
constexpr double kSpatialScale = 0.01;

enum : unsigned {
  kJournalSpatialTerm = 1u << 0,
  kJournalInitialDeviation = 1u << 1,
  kJournalAccNoise = 1u << 2,
  kJournalMagNoise = 1u << 3,
};

bool finite3(const ZtVector& v) {
  return std::isfinite(v.data[0]) && std::isfinite(v.data[1]) && std::isfinite(v.data[2]);
}

double dot3(const ZtVector& a, const ZtVector& b) {
  return a.data[0] * b.data[0] + a.data[1] * b.data[1] + a.data[2] * b.data[2];
}

}  // namespace

Zkf3wFilter::Zkf3wFilter(const Zkf3wParams* params)
    : ZkfFilterBase(kIdentity),
      m_Phi(N, N),
      m_Hacc(3, N),
      m_B(N, N),
      m_pre(N, kPreCols),
      m_J(4, 3),
      m_Hmag(3, N),
      m_T3(N, N) {
  m_work.isZero();
  m_Phi.isIdentity();
  restartZkf3w(const_cast<Zkf3wParams*>(params));
}

Zkf3wFilter::~Zkf3wFilter() { delete m_params; }

void Zkf3wFilter::restart(ZkfParams* params) { restartZkf3w(params); }

void Zkf3wFilter::restartZkf3w(ZkfParams* params) {
  if (params != nullptr && params != m_params) {
    if (const auto* p = dynamic_cast<const Zkf3wParams*>(params)) {
      auto* copy = new Zkf3wParams(*p);
      delete m_params;
      m_params = copy;
      checkParameters();
    }
  }
  m_Hacc.isZero();
  m_Hacc.setSubIdentity(1.0, 0, 3, 3, 3);
  m_state.firstIteration = true;
  m_state.okAge = 0;
  m_state.sampleCount = 0;
}

void Zkf3wFilter::checkParameters() {
  const Zkf3wParams& p = *m_params;
  if (!(p.p_mag_spat > 0.0))
    journalOnce(kJournalSpatialTerm, "p_mag_spat not positive: the spatial magnetic decay term is dropped");
  if (!(p.initialConditions.sd_init_orient > 0.0) || !(p.sd_init_acc > 0.0) || !(p.sd_init_gyrbias > 0.0) ||
      !(p.initialConditions.sd_init_mag > 0.0))
    journalOnce(kJournalInitialDeviation, "initial standard deviation not positive: floored");
  if (!(p.sd_v_accLowpass != 0.0) && !(p.f_dynamic_acc > 0.0))
    journalOnce(kJournalAccNoise, "acceleration noise deviation zero: the acceleration update is skipped at rest");
  if (!(p.sdvMag > 0.0)) journalOnce(kJournalMagNoise, "magnetometer noise not positive: magnetometer update skipped");
}

void Zkf3wFilter::setOkAge() { m_state.okAge = m_params->okAgeInit; }

void Zkf3wFilter::getFullState(ZkfState* state) const {
  if (auto* s = dynamic_cast<Zkf3wState*>(state)) *s = m_state;
}

void Zkf3wFilter::setFullState(const ZkfState* state) { (void)setFullStateChecked(state); }

bool Zkf3wFilter::setFullStateChecked(const ZkfState* state) {
  const auto* s = dynamic_cast<const Zkf3wState*>(state);
  if (s == nullptr || !s->isFinite()) return false;
  m_state = *s;
  return true;
}

ZkfParams* Zkf3wFilter::getFilterParameters() { return m_params; }

bool Zkf3wFilter::isInitialized() const { return !m_state.firstIteration; }

void Zkf3wFilter::getTypeAndVersion(unsigned char& type, unsigned char& major, unsigned char& minor,
                                    unsigned char& revision) {
  typeAndVersion(kIdentity, type, major, minor, revision);
}

bool Zkf3wFilter::doOneKalmanStep(const ZkfSensorData& sensorData, const ZkfAiding& aiding,
                                  const ZkfRealTimeParameters& realTime, ZkfFilterOutput& output,
                                  const ZkfTime* time) {
  const auto* sd = inputCast<const Zkf3wSensorData>(&sensorData);
  const auto* ad = inputCast<const Zkf3wAiding>(&aiding);
  const auto* rt = inputCast<const Zkf3wRealTimeParameters>(&realTime);
  auto* out = inputCast<Zkf3wFilterOutput>(&output);
  if (sd == nullptr || ad == nullptr || rt == nullptr || out == nullptr || time == nullptr) return false;
  return doOneKalmanStep(*sd, *ad, *rt, *out, time->T_int);
}

bool Zkf3wFilter::doOneKalmanStep(const Zkf3wSensorData& sensorData, const Zkf3wAiding& aiding,
                                  const Zkf3wRealTimeParameters& realTime, Zkf3wFilterOutput& output,
                                  double T_int) {
  if (m_params == nullptr || !std::isfinite(T_int) || !(T_int > 0.0)) return false;
  const Quaternion& dq = sensorData.dq;
  const double dq2 = dq.w * dq.w + dq.x * dq.x + dq.y * dq.y + dq.z * dq.z;
  if (!finite3(sensorData.dv) || !finite3(sensorData.bGyr) || !finite3(aiding.mag) || !std::isfinite(dq2) ||
      !(dq2 > 1e-12))
    return false;
  const Zkf3wFilterSteps* steps = m_params->zkf3wSteps();
  const bool defaultPath = steps == nullptr || steps->defaultSchedule;
  const bool initialises = defaultPath ? m_state.firstIteration : steps->init;
  if (initialises && !Zkf3wState::canInitializeFrom(sensorData, aiding, T_int)) return false;

  // 1. The counter wraps (two's complement) instead of overflowing.
  Zkf3wState& s = m_state;
  s.sampleCount = static_cast<int32_t>(static_cast<uint32_t>(s.sampleCount) + 1u);
  output.sensorData = sensorData;
  output.aiding = aiding;
  output.T_int = T_int;
  m_sd = sensorData;
  m_aiding = aiding;
  m_T = T_int;

  // 2.
  if (s.firstIteration || s.resetTimeDependent) m_tdp.reset();
  m_tdp.update(m_params, T_int);

  if (!defaultPath) {
    // 3. Exactly the selected steps; firstIteration and okAge stay as they are.
    if (steps->init) s.initializeFromMeasurement(*m_params, m_sd, m_aiding, m_T, m_work);
    if (steps->predict) predict(realTime);
    if (steps->accUpdate) doAccelerationUpdate();
    if (steps->magUpdate) doMagnetometerUpdate();
    if (steps->correct) correct();
  } else if (s.firstIteration) {
    // 4.
    s.firstIteration = false;
    s.initializeFromMeasurement(*m_params, m_sd, m_aiding, m_T, m_work);
    s.okAge = 0;
  } else {
    // 5.
    predict(realTime);
    if (m_params->enabledAccUpdate) doAccelerationUpdate();
    if (m_params->enabledMagUpdate) doMagnetometerUpdate();
    correct();
  }

  // 6.
  s.resetTimeDependent = false;
  output.orientation = s.q_ls;
  output.freeAcceleration = s.a_l;
  output.valid = true;
  return true;
}

void Zkf3wFilter::determine_m0(const Vector& x, const Zkf3wState& state, const Zkf3wParams& params, Vector& m0) {
  const Vector3& avg = state.magAvg;
  const Vector3& ref = params.m0;
  const double refXY = std::sqrt(ref[0] * ref[0] + ref[1] * ref[1]);
  const double avgXY = std::sqrt(avg[0] * avg[0] + avg[1] * avg[1]);
  const double scale = refXY > 0.0 ? avgXY / refXY : 0.0;
  m0[0] = scale * ref[0];
  m0[1] = scale * ref[1];
  m0[2] = x[11];
}

void Zkf3wFilter::determineMagneticFieldNoise(Matrix& out, double scale, const Matrix& A, const Matrix& B) {
  for (ZtSize r = 0; r < 3; ++r)
    for (ZtSize c = 0; c < 3; ++c) {
      const double v = A(r, c) * A(r, c) + scale * B(r, c) * B(r, c);
      out(r, c) = v > 0.0 ? std::sqrt(v) : 0.0;
    }
}

void Zkf3wFilter::predict(const Zkf3wRealTimeParameters& realTime) {
  const Zkf3wParams& p = *m_params;
  const Zkf3wTimeDependentParams& t = m_tdp;
  Zkf3wState& s = m_state;
  Vector& x = s.x;
  const double T = m_T;

  // 1.
  s.q_ls.isNormalizeSelf();
  m_R.isQuat(s.q_ls);
  m_RT.isTransposeOf(m_R);
  // 2.-3.
  effectiveAngularVelocity(m_omega, m_sd.dq, T);
  jacobianBiasDq(m_omega, T, m_J);
  // 4. The increment corrected for the estimated bias.
  const double* b = s.gyrBias.data;
  const double dq0[4] = {m_sd.dq.w, m_sd.dq.x, m_sd.dq.y, m_sd.dq.z};
  double dqc[4];
  for (ZtSize i = 0; i < 4; ++i) dqc[i] = dq0[i] - (m_J(i, 0) * b[0] + m_J(i, 1) * b[1] + m_J(i, 2) * b[2]);
  Quaternion dqp(dqc[0], dqc[1], dqc[2], dqc[3]);
  dqp.isNormalizeSelf();
  s.q_ls.isQuatMulQuat(s.q_ls, dqp);
  m_Rd.isQuat(dqp);
  // 5. Free acceleration and its leaky integral.
  s.a_l.isMatMulVec(m_R, m_sd.dv);
  s.a_l.isScaMulVecAddScaMulVec(1.0 / T, s.a_l, 1.0, p.gravity_l);
  s.v_l.isScaMulVecAddScaMulVec(t.e_vel, s.v_l, T, s.a_l);
  // 6. Decay of the magnetic state with the distance travelled.
  const double d = std::fabs(p.dp_boost) * std::sqrt(dot3(s.v_l, s.v_l));
  const double sq = (kSpatialScale * d) * (kSpatialScale * d);
  double f = std::exp(-kSpatialScale * p.c_mag_max);
  if (p.p_mag_spat > 0.0) {
    const double spatial = std::exp(-sq / p.p_mag_spat);
    if (spatial < f) f = spatial;
  } else {
    journalOnce(kJournalSpatialTerm, "p_mag_spat not positive: the spatial magnetic decay term is dropped");
  }
  // 7. Running statistics of the field in the local frame.
  Vector3& ml = m_v;
  ml.isMatMulVec(m_R, m_aiding.mag);
  s.magAvg.isScaMulVecAddScaMulVec(t.e_magavg, s.magAvg, 1.0 - t.e_magavg, ml);
  for (ZtSize i = 0; i < 3; ++i) {
    const double dm = ml[i] - s.magAvg[i];
    s.magVar[i] = t.e_magvar * s.magVar[i] + (1.0 - t.e_magvar) * dm * dm;
  }
  double sigmaMv = p.f_magvar * dot3(s.magVar, s.magVar);
  if (sigmaMv > t.magVarCap) sigmaMv = t.magVarCap;

  // 8. Transition.
  Matrix& Phi = m_Phi;
  Phi.isIdentity();
  Vector3& w = m_work;
  w.isMatMulVec(m_RT, p.angVelEarth_g);
  w.isScaMulVec(T, w);
  m_M1.isMcrossVec(w);
  for (ZtSize r = 0; r < 3; ++r)
    for (ZtSize c = 0; c < 3; ++c) {
      Phi(r, c) = m_Rd(c, r) + m_M1(r, c);
      Phi(r, 6 + c) = r == c ? T : 0.0;
    }
  Vector3& gs = m_work;
  gs.isMatMulVec(m_RT, p.gravity_l);
  m_M1.isMcrossVec(gs);
  m_M2.isMatMulMat(m_R, m_M1);
  Phi.setSubScaMulMatrix(t.e_acc - 1.0, m_M2, 3, 0, 3, 3, 0, 0);
  Phi.setSubIdentity(t.e_acc, 3, 3, 3, 3);
  Phi.setSubIdentity(f, 9, 9, 3, 3);

  // 9.-10. State prediction.
  for (ZtSize i = 0; i < 3; ++i) x[3 + i] = t.e_acc * x[3 + i] + (1.0 - t.e_acc) * s.a_l[i];
  determine_m0(x, s, p, m_mref);
  for (ZtSize i = 0; i < 3; ++i) x[9 + i] = f * x[9 + i] + (1.0 - f) * m_mref[i];

  // 11. Gyroscope and accelerometer noise by the status word.
  const uint16_t status = realTime.status;
  const double gyrBoost = p.f_gyr_oor * p.gyroscope_range;
  const double accBoost = p.f_acc_oor * p.accelerometer_range;
  if ((status & Zkf3wRealTimeParameters::kStatusValid) == 0) {
    if (doOutOfRangeQBoosting(m_omega, p.gyroscope_range, gyrBoost, t.Mq_gyr, m_Qg)) setOkAge();
    Vector3& a = m_work;
    a.isScaMulVec(1.0 / T, m_sd.dv);
    if (doOutOfRangeQBoosting(a, p.accelerometer_range, accBoost, t.Mq_acc, m_Qa)) setOkAge();
  } else if ((status & (Zkf3wRealTimeParameters::kBoostAll4 | Zkf3wRealTimeParameters::kBoostAll6)) == 0) {
    m_Qg = t.Mq_gyr;
    m_Qa = t.Mq_acc;
    const uint16_t clipBits[3] = {Zkf3wRealTimeParameters::kAccClipX, Zkf3wRealTimeParameters::kAccClipY,
                                  Zkf3wRealTimeParameters::kAccClipZ};
    for (ZtSize i = 0; i < 3; ++i)
      if ((status & clipBits[i]) != 0) m_Qa(i, i) += accBoost;
  } else {
    m_Qg = t.Mq_gyr;
    m_Qa = t.Mq_acc;
    for (ZtSize i = 0; i < 3; ++i) {
      m_Qg(i, i) += gyrBoost;
      m_Qa(i, i) += accBoost;
    }
  }

  // 12. Process-noise root.
  Matrix& B = m_B;
  B.isZero();
  const double dyn = t.k_gyr * std::sqrt(dot3(m_omega, m_omega));
  for (ZtSize r = 0; r < 3; ++r)
    for (ZtSize c = 0; c < 3; ++c) {
      const double g = m_Qg(r, c) * m_Qg(r, c) + (r == c ? dyn : 0.0);
      B(r, c) = g > 0.0 ? T * std::sqrt(g) : 0.0;
      double sum = 0.0;
      for (ZtSize k = 0; k < 3; ++k) sum += m_R(r, k) * m_Qa(k, c);
      B(3 + r, 3 + c) = (1.0 - t.e_acc) * sum;
      B(6 + r, 6 + c) = t.Mq_bias(r, c);
    }
  // 13. Magnetic block.
  if (p.enabledMagUpdate) {
    m_M1.isIdentity(sigmaMv);
    determineMagneticFieldNoise(m_M2, sq, m_M1, p.sQw_mag_spat);
    B.setSubMatrix(m_M2, 9, 9, 3, 3, 0, 0);
    B(11, 11) = 1.0;
  } else {
    Phi.zeroSub(9, 9, 3, 3);
    for (ZtSize i = 0; i < 3; ++i) x[9 + i] = p.m0[i];
    B.setSubIdentity(1.0, 9, 9, 3, 3);
  }

  // 14. Array [ Phi sQx  B ] (12 x 24), reduced from the right to [ sQx'  0 ]. Phi sQx by the
  // blocks of Phi: rows 0..2 mix the orientation rows and add T times the bias rows, rows 3..5
  // mix the orientation rows into the scaled acceleration rows, the bias rows pass, the
  // magnetic rows are scaled by Phi's diagonal (0 without magnetometer updates). Elements of
  // sQx above its diagonal are zero and are skipped.
  const Matrix& S = s.sQx;
  const double fm = Phi(9, 9);
  double* A = m_pre.data;
  for (ZtSize i = 0; i < 3; ++i) {
    double* a0 = A + i * kPreCols;
    double* a3 = A + (3 + i) * kPreCols;
    double* a6 = A + (6 + i) * kPreCols;
    double* a9 = A + (9 + i) * kPreCols;
    const double p0 = Phi(i, 0), p1 = Phi(i, 1), p2 = Phi(i, 2);
    const double q0 = Phi(3 + i, 0), q1 = Phi(3 + i, 1), q2 = Phi(3 + i, 2);
    const double* s6 = S.rowPtr(6 + i);
    const double* s3 = S.rowPtr(3 + i);
    const double* s9 = S.rowPtr(9 + i);
    for (ZtSize j = 0; j < N; ++j) {
      const double s0 = S(0, j), s1 = S(1, j), s2 = S(2, j);
      a0[j] = p0 * s0 + p1 * s1 + p2 * s2 + T * s6[j];
      a3[j] = q0 * s0 + q1 * s1 + q2 * s2 + t.e_acc * s3[j];
      a6[j] = s6[j];
      a9[j] = fm * s9[j];
    }
  }
  // B is block diagonal: row i holds its 3 x 3 block only, which is what kPreEnd relies on.
  for (ZtSize i = 0; i < N; ++i) {
    const double* b = B.rowPtr(i);
    double* a = A + i * kPreCols + N;
    for (ZtSize c = 0; c < N; ++c) a[c] = b[c];
  }
  lowerTriangulariseRows(A, kPreCols, N, N, kPreCols, kPreEnd);
  for (ZtSize r = 0; r < N; ++r) {
    const double* a = A + r * kPreCols;
    double* dst = s.sQx.rowPtr(r);
    for (ZtSize c = 0; c <= r; ++c) dst[c] = a[c];
    for (ZtSize c = r + 1; c < N; ++c) dst[c] = 0.0;
  }
  s.sx.isLeftDivideTriL(s.sQx, s.x);
  if (m_observer != nullptr) m_observer->predicted(Phi, B, x);
}

void Zkf3wFilter::measurementUpdate(const Vector& y, const Matrix& H, const Matrix& sR, uint32_t skip) {
  if (m_observer != nullptr) m_observer->measurementUpdate(y, H, sR);
  doMeasurementUpdateSquareRootZkf3w_fw(m_state.sx, m_state.sQx, m_innovation, y, H, sR, skip);
}

void Zkf3wFilter::doAccelerationUpdate() {
  const Zkf3wParams& p = *m_params;
  const Zkf3wTimeDependentParams& t = m_tdp;
  Vector3& a = m_work;
  a.isScaMulVec(1.0 / m_T, m_sd.dv);
  const double g = p.gravity_l[2] + std::sqrt(dot3(a, a));
  m_sR.isZero();
  bool usable = true;
  for (ZtSize i = 0; i < 3; ++i) {
    m_sR(i, i) = std::sqrt(t.Mr_acc(i, i) * t.Mr_acc(i, i) + g * g * t.k_acc);
    usable = usable && m_sR(i, i) > 0.0 && std::isfinite(m_sR(i, i));
  }
  if (!usable) {
    journalOnce(kJournalAccNoise, "acceleration noise deviation not positive: acceleration update skipped");
    return;
  }
  m_yZero.isZero();
  measurementUpdate(m_yZero, m_Hacc, m_sR, 6);
  if (dot3(m_innovation, m_innovation) > p.validity_accThreshold) setOkAge();
}

void Zkf3wFilter::doMagnetometerUpdate() {
  const Zkf3wParams& p = *m_params;
  const Zkf3wTimeDependentParams& t = m_tdp;
  const double sd = t.Mr_mag(0, 0);
  if (!(sd > 0.0) || !std::isfinite(sd)) {
    journalOnce(kJournalMagNoise, "magnetometer noise not positive: magnetometer update skipped");
    return;
  }
  m_R.isQuat(m_state.q_ls);
  Vector3& v = m_v;
  v.isMatMulVec(m_R, m_aiding.mag);
  v[2] = 0.0;
  m_M1.isMcrossVec(v);
  m_M2.isMatMulMat(m_M1, m_R);
  m_Hmag.isZero();
  for (ZtSize r = 0; r < 3; ++r)
    for (ZtSize c = 0; c < 3; ++c) m_Hmag(r, c) = -m_M2(r, c);
  m_Hmag(0, 9) = 1.0;
  m_Hmag(1, 10) = 1.0;
  m_sR = t.Mr_mag;
  m_sR(2, 2) = kMagVerticalDeviation;
  measurementUpdate(v, m_Hmag, m_sR, 0);
  if (dot3(m_innovation, m_innovation) > p.validity_magThreshold) setOkAge();
}

void Zkf3wFilter::correct() {
  const Zkf3wParams& p = *m_params;
  Zkf3wState& s = m_state;
  Vector& x = s.x;
  // 1.
  x.isMatTriLMulVec(s.sQx, s.sx);
  Quaternion dqe(1.0, -0.5 * x[0], -0.5 * x[1], -0.5 * x[2]);
  dqe.isNormalizeSelf();
  s.q_ls.isQuatMulQuat(s.q_ls, dqe);
  s.q_ls.isNormalizeSelf();
  // 2. Rows 0..2 of the root turned by T3 = I + 0.5 [x x].
  Vector3& e = m_work;
  e[0] = x[0];
  e[1] = x[1];
  e[2] = x[2];
  m_M1.isMcrossVec(e);
  m_M1.isScaMulMat(0.5, m_M1);
  for (ZtSize i = 0; i < 3; ++i) m_M1(i, i) += 1.0;
  Matrix& S = s.sQx;
  double rows[3 * N];
  for (ZtSize r = 0; r < 3; ++r)
    for (ZtSize c = 0; c < N; ++c) rows[r * N + c] = m_M1(r, 0) * S(0, c) + m_M1(r, 1) * S(1, c) + m_M1(r, 2) * S(2, c);
  for (ZtSize r = 0; r < 3; ++r)
    for (ZtSize c = 0; c < N; ++c) S(r, c) = rows[r * N + c];
  x[0] = x[1] = x[2] = 0.0;
  // 3. Lower triangular again. The turned rows 0..2 are non-zero in columns 0..2 only, so
  // reflections of those three columns restore the triangle.
  lowerTriangulariseRows(S.data, S.stride, N, 3, 3, nullptr);
  s.sx.isLeftDivideTriL(S, x);
  if (m_observer != nullptr) {
    m_T3.isIdentity();
    m_T3.setSubMatrix(m_M1, 0, 0, 3, 3, 0, 0);
    m_observer->corrected(m_T3, 0, false);
  }
  // 4.
  Vector3& a = m_work;
  a.isRotateVecByQuat(m_sd.dv, s.q_ls);
  s.a_l.isScaMulVecAddScaMulVec(1.0 / m_T, a, 1.0, p.gravity_l);
  // 5.-6.
  if (anyOutOfRange(s.gyrBias, p.validity_gyroBiasThreshold)) setOkAge();
  Vector3& sigma = m_work;
  for (ZtSize i = 0; i < 3; ++i) {
    double sum = 0.0;
    for (ZtSize c = 0; c < N; ++c) sum += S(i, c) * S(i, c);
    sigma[i] = std::sqrt(sum);
  }
  if (anyOutOfRange(sigma, p.validity_angularUncertaintyThreshold)) setOkAge();
}

}  // namespace zelto
