#include "filters/zkf3/Zkf3Filter.h"

#include <algorithm>
#include <cmath>

#include "filters/common/ConsiderUpdate.h"
#include "filters/common/EstimationRoutines.h"
#include "filters/common/InputCast.h"
#include "filters/common/LowerTriangulariseRows.h"
#include "filters/common/MeasurementUpdateZkf3Fw.h"

namespace zelto {

namespace {

constexpr ZtSize N = Zkf3State::kStates;
constexpr ZtSize kPreCols = 2 * N;
static_assert(kPreCols <= kLowerTriangulariseMaxColumns, "time-update array too wide");
// Measurement noise deviation of the magnetometer's vertical axis: the heading update does not
// use it.
constexpr double kMagVerticalDeviation = 100.0;
// Per-step damping of the orientation error about the global vertical when the heading is not
// aided.
constexpr double kVerticalDamping = 0.9999;

// Bits of the conditions journalled once per filter.
enum : unsigned {
  kJournalSpatialTerm = 1u << 0,
  kJournalInitialDeviation = 1u << 1,
  kJournalAccNoise = 1u << 2,
  kJournalMagNoise = 1u << 3,
  kJournalGyrNoise = 1u << 4,
  kJournalSampleTime = 1u << 5,
};

// Coefficient of the slow low-pass of the specific force: four acceleration time constants,
// c_acc^(1/4).
double slowForceCoefficient(double cAcc) { return std::sqrt(std::sqrt(cAcc)); }
// The acceleration update's widening is held over this many acceleration time constants.
constexpr double kWideningHoldTimeConstants = 10.0;
// Deviations of the sensor noise's share in the band-passed specific force below which no
// widening starts.
constexpr double kWideningNoiseDeviations = 5.0;

bool finite3(const ZtVector& v) {
  return std::isfinite(v.data[0]) && std::isfinite(v.data[1]) && std::isfinite(v.data[2]);
}

double dot3(const ZtVector& a, const ZtVector& b) {
  return a.data[0] * b.data[0] + a.data[1] * b.data[1] + a.data[2] * b.data[2];
}

// out = a b for row-major 3 x 3 arrays, each element summed from 0.0 in k order (as the
// library's matrix product does, so the bits are the same).
void mul3(const double* a, const double* b, double* out) {
  for (ZtSize i = 0; i < 3; ++i)
    for (ZtSize j = 0; j < 3; ++j) {
      double sum = 0.0;
      for (ZtSize k = 0; k < 3; ++k) sum += a[3 * i + k] * b[3 * k + j];
      out[3 * i + j] = sum;
    }
}

// R of the Householder QR decomposition of the row-major 3 x 3 array a, in place (below the
// diagonal: what the reflections leave), with the arithmetic of Matrix::QRdecomposition step for
// step, so the bits are that routine's. False, a unchanged, where that routine throws (a NaN
// pivot, a singular reflection): the caller then runs it for its error.
bool householderQR3(double* a) {
  constexpr double kTiny = 3.1622776601683795e-154;
  double b[9], V[9] = {};
  for (ZtSize k = 0; k < 9; ++k) b[k] = a[k];
  for (ZtSize j = 0; j < 3; ++j) {
    const double alpha = b[4 * j];
    if (std::isnan(alpha)) return false;
    double beta = 0.0;
    V[4 * j] = 1.0;
    if (j < 2) {
      double sigma = 0.0;
      for (ZtSize r = j + 1; r < 3; ++r) {
        const double x = b[3 * r + j];
        V[3 * r + j] = x;
        sigma += x * x;
      }
      if (!(std::fabs(sigma) <= kTiny || std::isnan(sigma))) {
        const double mu = std::sqrt(alpha * alpha + sigma);
        const double v = alpha <= 0.0 ? alpha - mu : -sigma / (alpha + mu);
        const double v2 = v * v;
        if (sigma + v2 == 0.0 || v == 0.0) return false;
        beta = 2.0 * v2 / (sigma + v2);
        if (std::isnan(beta)) return false;
        const double inv = 1.0 / v;
        for (ZtSize r = j + 1; r < 3; ++r) V[3 * r + j] *= inv;
      }
    }
    // The reflection runs with beta = 0 too (a NaN below the pivot then spreads into R).
    double w[3] = {0.0, 0.0, 0.0};
    for (ZtSize r = j; r < 3; ++r)
      for (ZtSize c = j; c < 3; ++c) w[c] += b[3 * r + c] * V[3 * r + j];
    for (ZtSize c = j; c < 3; ++c) w[c] = beta * w[c];
    for (ZtSize r = j; r < 3; ++r)
      for (ZtSize c = j; c < 3; ++c) b[3 * r + c] -= V[3 * r + j] * w[c];
  }
  for (ZtSize k = 0; k < 9; ++k) a[k] = b[k];
  return true;
}

}  // namespace

Zkf3Filter::Zkf3Filter(Zkf3Params* params)
    : ZkfFilterBase(kIdentity),
      m_params(nullptr),
      m_Hacc(3, N),
      m_Phi(N, N),
      m_Qs(N, N),
      m_pre(N, kPreCols),
      m_Hmag(3, N),
      m_Hgyr(3, N),
      m_T(N, N) {
  m_Hacc.isZero();
  m_Hacc.setSubIdentity(1.0, 0, 0, 3, 3);
  m_Hgyr.isZero();
  m_Hgyr.setSubIdentity(1.0, 0, 3, 3, 3);
  m_Hmag.isZero();
  m_noRotation = false;
  m_params = params;
  restartZkf3(nullptr);
  checkParameters();
}

Zkf3Filter::~Zkf3Filter() { delete m_params; }

void Zkf3Filter::restart(ZkfParams* params) { restartZkf3(params); }

void Zkf3Filter::restartZkf3(ZkfParams* params) {
  if (params != nullptr && params != m_params) {
    if (const auto* p = dynamic_cast<const Zkf3Params*>(params)) {
      auto* copy = new Zkf3Params(*p);
      delete m_params;
      m_params = copy;
      checkParameters();
    }
  }
  m_state.firstIteration = true;
  m_countdown = 0;
}

void Zkf3Filter::checkParameters() {
  if (m_params == nullptr) return;
  const Zkf3Params& p = *m_params;
  if (!p.isUsable()) journalOnce(kJournalSampleTime, "sample time not positive and finite: the filter will not step");
  if (!(p.p_mag_spat > 0.0))
    journalOnce(kJournalSpatialTerm, "p_mag_spat not positive: the spatial magnetic decay term is dropped");
  if (!(p.initialConditions.sd_init_orient > 0.0) || !(p.sd_init_acc > 0.0) || !(p.sd_init_gyrbias > 0.0) ||
      !(p.sd_init_mag > 0.0))
    journalOnce(kJournalInitialDeviation, "initial standard deviation not positive: floored");
}

void Zkf3Filter::getFullState(ZkfState* state) const {
  if (auto* s = dynamic_cast<Zkf3State*>(state)) s->copyFrom(m_state);
}

void Zkf3Filter::setFullState(const ZkfState* state) { (void)setFullStateChecked(state); }

bool Zkf3Filter::setFullStateChecked(const ZkfState* state) {
  const auto* s = dynamic_cast<const Zkf3State*>(state);
  if (s == nullptr || !s->isUsable()) return false;
  m_state.copyFrom(*s);
  m_forceUnset = true;
  return true;
}

ZkfParams* Zkf3Filter::getFilterParameters() { return m_params; }

bool Zkf3Filter::isInitialized() const { return !m_state.firstIteration; }

void Zkf3Filter::getTypeAndVersion(unsigned char& type, unsigned char& major, unsigned char& minor,
                                   unsigned char& revision) {
  typeAndVersion(kIdentity, type, major, minor, revision);
}

bool Zkf3Filter::doOneKalmanStep(const ZkfSensorData& sensorData, const ZkfAiding& aiding,
                                 const ZkfRealTimeParameters& realTime, ZkfFilterOutput& output, const ZkfTime*) {
  const auto* sd = inputCast<const Zkf3SensorData>(&sensorData);
  const auto* ad = inputCast<const Zkf3Aiding>(&aiding);
  const auto* rt = inputCast<const Zkf3RealTimeParameters>(&realTime);
  auto* out = inputCast<Zkf3FilterOutput>(&output);
  if (sd == nullptr || ad == nullptr || rt == nullptr || out == nullptr) return false;
  return doOneKalmanStep(*sd, *ad, *rt, *out);
}

bool Zkf3Filter::inputsFinite(const Zkf3SensorData& sensorData, const Zkf3Aiding& aiding) const {
  return finite3(sensorData.inertial.acc) && finite3(sensorData.inertial.gyr) && finite3(aiding.mag);
}

bool Zkf3Filter::doOneKalmanStep(const Zkf3SensorData& sensorData, const Zkf3Aiding& aiding,
                                 const Zkf3RealTimeParameters& realTime, Zkf3FilterOutput& output) {
  if (m_params == nullptr || !m_params->isUsable() || !inputsFinite(sensorData, aiding)) return false;
  const Zkf3Params& p = *m_params;
  Zkf3State& s = m_state;
  const Zkf3FilterSteps* steps = p.zkf3Steps();
  const bool defaultPath = steps == nullptr || steps->defaultSchedule;

  if (defaultPath && s.firstIteration) {
    // The first step initialises from the measurement, or changes nothing when it cannot.
    Zkf3State trial(s);
    m_inertial = sensorData.inertial;
    m_aiding = aiding;
    if (realTime.noRotationDuration != 0) trial.startNoRotation(p, m_inertial, realTime.noRotationDuration);
    const bool noRotation = trial.gbes != 0;
    trial.dynGravity = p.gravity_g;
    if (!trial.initializeFromMeasurement(p, m_inertial, m_aiding, m_v)) return false;
    output.sensorData = sensorData;
    output.aiding = aiding;
    s.copyFrom(trial);
    m_forceUnset = true;
    m_noRotation = noRotation;
    s.firstIteration = false;
    m_countdown = 0;
  } else {
    output.sensorData = sensorData;
    output.aiding = aiding;
    m_inertial = sensorData.inertial;
    m_aiding = aiding;
    if (realTime.noRotationDuration != 0) s.startNoRotation(p, m_inertial, realTime.noRotationDuration);
    m_noRotation = s.gbes != 0;

    if (!defaultPath) {
      m_headingUnaided = !steps->magUpdate;
      if (steps->init) {
        if (!s.initializeFromMeasurement(p, m_inertial, m_aiding, m_v)) return false;
        m_forceUnset = true;
      }
      if (steps->predict) predict();
      if (steps->accUpdate) doAccelerationUpdate();
      if (steps->magUpdate) doMagnetometerUpdate();
      if (steps->zeroRotationUpdate) doGyroBiasUpdate();
      if (steps->correct) correctError();
    } else {
      const bool A = p.enabledAccUpdate, B = p.enabledMagUpdate;
      m_headingUnaided = A && !B;
      predict();
      if (m_noRotation) {
        // At rest the orientation is frozen and its corrections are dropped; acceleration and
        // magnetometer updates would still shrink its variance and push their innovations into
        // the bias through the correlations, which runs the bias estimate away. The counters
        // keep their alternation.
        if (A) ++s.sslacc;
        if (B) ++s.sslmag;
      } else if (!A && !B) {
        doAccelerationUpdate();
        doMagnetometerUpdate();
      } else if (A && !B) {
        ++s.sslacc;
        doAccelerationUpdate();
      } else if (!A && B) {
        ++s.sslmag;
        doMagnetometerUpdate();
      } else {
        const bool accFires = (s.sslacc++ & 1u) != 0;
        const bool magFires = (s.sslmag++ & 1u) != 0;
        if (accFires) doAccelerationUpdate();
        if (magFires) doMagnetometerUpdate();
      }
      if (s.gbes != 0) {
        s.running = true;
        if (gyroOutlier(p, m_inertial.gyr, s.gyrBias))
          s.rejected = true;
        else
          doGyroBiasUpdate();
        --s.gbes;
        if (s.gbes == 0) s.running = false;
      }
      correctError();
    }
  }

  output.q_gs = s.q_gs;
  output.freeAcceleration = s.acceleration_g;
  if (m_countdown > 0) --m_countdown;
  output.valid = m_countdown == 0;
  output.running = s.running;
  output.aborted = s.aborted;
  output.rejected = s.rejected;
  output.gbes = s.gbes;
  return true;
}

bool Zkf3Filter::gyroOutlier(const Zkf3Params& params, const ZtVector& gyr, const ZtVector& bias) {
  const double sd = params.sQvGyr(0, 0);
  double e2 = 0.0;
  for (ZtSize i = 0; i < 3; ++i) {
    const double e = gyr.data[i] - bias.data[i];
    e2 += e * e;
  }
  return e2 > 36.0 * sd * sd;
}

void Zkf3Filter::predict() {
  const Zkf3Params& p = *m_params;
  Zkf3State& s = m_state;
  const double T = p.sampleTime;
  const Vector& acc = m_inertial.acc;
  const Vector& gyr = m_inertial.gyr;

  m_R.isQuat(s.q_gs);
  m_RT.isTransposeOf(m_R);
  // 1. Rate corrected for bias and earth rotation.
  m_v.isMatMulVec(m_RT, s.we_g);
  m_omega.isVecSubVec(gyr, s.gyrBias);
  m_omega.isVecSubVec(m_omega, m_v);
  // 2. Orientation.
  if (m_noRotation) {
    m_PhiQ.isIdentity();
  } else {
    integrateOmegaOneStep(m_omega, s.q_gs, m_dq, T);
    m_PhiQ.isQuat(m_dq);
  }
  m_PhiQT.isTransposeOf(m_PhiQ);
  // 3. Free acceleration and its velocity.
  s.acceleration_g.isMatMulVec(m_R, acc);
  s.acceleration_g.isVecAddVec(s.acceleration_g, s.dynGravity);
  s.velocity_g.isScaMulVecAddScaMulVec(p.c_vel, s.velocity_g, T, s.acceleration_g);
  // The specific force low-passed over one acceleration time constant and over several, both
  // carried along the step's rotation (body frame of its end). Gravity and a constant tilt error
  // cancel in their difference, the part of the low-passed free acceleration that comes and goes
  // with the motion; the orientation estimate does not enter it. Only the acceleration update
  // without the magnetometer's reads it; otherwise it starts afresh when it is next needed.
  if (!m_headingUnaided) {
    m_forceUnset = true;
  } else {
    if (m_forceUnset) {
      for (ZtSize i = 0; i < 3; ++i) {
        m_forceFast[i] = m_forceSlow[i] = acc[i];
        m_widening[i] = 0.0;
      }
      m_forceUnset = false;
    }
    const double cSlow = slowForceCoefficient(p.c_acc);
    double fast[3], slow[3];
    for (ZtSize i = 0; i < 3; ++i) {
      fast[i] = m_PhiQ(0, i) * m_forceFast[0] + m_PhiQ(1, i) * m_forceFast[1] + m_PhiQ(2, i) * m_forceFast[2];
      slow[i] = m_PhiQ(0, i) * m_forceSlow[0] + m_PhiQ(1, i) * m_forceSlow[1] + m_PhiQ(2, i) * m_forceSlow[2];
    }
    for (ZtSize i = 0; i < 3; ++i) {
      m_forceFast[i] = p.c_acc * fast[i] + (1.0 - p.c_acc) * acc[i];
      m_forceSlow[i] = cSlow * slow[i] + (1.0 - cSlow) * acc[i];
    }
  }
  // 4. Decay of the magnetic reference with the distance travelled.
  const double dpT = p.dp_boost * T;
  const double D = dpT * dpT * dot3(s.velocity_g, s.velocity_g);
  double e = p.c_mag_max;
  if (p.p_mag_spat > 0.0) {
    const double spatial = std::exp(-D / p.p_mag_spat);
    if (spatial < e) e = spatial;
  } else {
    journalOnce(kJournalSpatialTerm, "p_mag_spat not positive: the spatial magnetic decay term is dropped");
  }
  // 5. Magnetic field statistics in the global frame.
  Vector3& mg = m_y;
  mg.isMatMulVec(m_R, m_aiding.mag);
  s.magAvg.isScaMulVecAddScaMulVec(p.c_magAvg, s.magAvg, 1.0 - p.c_magAvg, mg);
  for (ZtSize i = 0; i < 3; ++i) {
    const double d = mg[i] - s.magAvg[i];
    s.magVar[i] = p.c_magVar * s.magVar[i] + (1.0 - p.c_magVar) * d * d;
  }
  const double magVar2 = dot3(s.magVar, s.magVar);
  double V = p.f_magvar * magVar2;
  if (p.Qw_mag_temp_max(0, 0) < V) V = p.Qw_mag_temp_max(0, 0);

  // 6./7. Transition, by its blocks (everything else of Phi is the identity's).
  double* const phi09 = m_phi09;
  double* const phi93 = m_phi93;
  double* const phi99 = m_phi99;
  if (!m_noRotation) {
    m_v.isScaMulVec(T, m_v);  // T R^T we
    m_M1.isMcrossVec(m_v);
    for (ZtSize r = 0; r < 3; ++r)
      for (ZtSize c = 0; c < 3; ++c) {
        phi99[3 * r + c] = m_M1(r, c) + m_PhiQT(r, c);
        phi93[3 * r + c] = r == c ? T : 0.0;
      }
  } else {
    for (ZtSize k = 0; k < 9; ++k) {
      phi99[k] = k % 4 == 0 ? 1.0 : 0.0;
      phi93[k] = 0.0;
    }
  }
  Vector3 gBody;
  m_v.isScaMulVec(p.c_acc - 1.0, s.dynGravity);
  gBody.isMatMulVec(m_RT, m_v);
  m_M1.isMcrossVec(gBody);
  mul3(m_R.data, m_M1.data, phi09);

  // 8. State prediction.
  Vector& x = s.x;
  for (ZtSize i = 0; i < 3; ++i) x[i] = p.c_acc * x[i] + (1.0 - p.c_acc) * s.acceleration_g[i];
  const double mRef[3] = {std::sqrt(s.magAvg[0] * s.magAvg[0] + s.magAvg[1] * s.magAvg[1]), 0.0, x[8]};
  for (ZtSize i = 0; i < 3; ++i) x[6 + i] = e * x[6 + i] + (1.0 - e) * mRef[i];

  // 9. Out-of-range boosting; 10. process-noise root, by its blocks: rows 0-2 m_qsAcc, rows 3-5
  // sQw_gyr_bias, rows 6-8 and 9-11 the diagonals m_qsMag and m_qsOri.
  Matrix3x3& G = m_M1;
  Matrix3x3& A = m_M2;
  // sTqvGyr is an angle per step (rate deviation times T), so the boost of a clipped axis is too.
  if (doOutOfRangeQBoosting(gyr, p.gyroscope_range, p.gyroscope_range * p.gyroscope_out_of_range_boost * T, p.sTqvGyr,
                            G))
    m_countdown = static_cast<int16_t>(p.okAgeInit);
  if (doOutOfRangeQBoosting(acc, p.accelerometer_range, p.accelerometer_range * p.accelerometer_out_of_range_boost,
                            p.sQvAcc, A))
    m_countdown = static_cast<int16_t>(p.okAgeInit);
  const double omegaNorm = std::sqrt(dot3(m_omega, m_omega));
  for (ZtSize i = 0; i < 3; ++i) m_qsOri[i] = std::sqrt(G(i, i) * G(i, i) + p.f_dynamic_gyro * omegaNorm);
  for (ZtSize r = 0; r < 3; ++r)
    for (ZtSize c = 0; c < 3; ++c) {
      double sum = 0.0;
      for (ZtSize k = 0; k < 3; ++k) sum += m_R(r, k) * A(k, c);
      m_qsAcc[3 * r + c] = (1.0 - p.c_acc) * sum;
    }
  const Matrix3x3& Qb = p.sQw_gyr_bias;
  // 11. Magnetic block.
  if (p.enabledMagUpdate) {
    const double sw = p.sQw_mag_spat(0, 0);
    const double sm = std::sqrt(D * sw * sw + V * V);
    m_qsMag[0] = sm;
    m_qsMag[1] = sm;
    m_qsMag[2] = 1.0;
  } else {
    // Without heading aiding the reference is the averaged field and the orientation error is
    // damped about the global vertical. The error lives in the sensor frame, where the global
    // vertical is R^T e_z: M = R^T diag(1, 1, 0.9999) R. The covariance root keeps the decay e on
    // rows 6-8.
    for (ZtSize i = 0; i < 3; ++i) x[6 + i] = mRef[i];
    for (ZtSize i = 0; i < 3; ++i) m_qsMag[i] = 1.0;
    Matrix3x3& M = m_M1;
    for (ZtSize r = 0; r < 3; ++r)
      for (ZtSize c = 0; c < 3; ++c)
        M(r, c) = m_R(0, r) * m_R(0, c) + m_R(1, r) * m_R(1, c) + kVerticalDamping * m_R(2, r) * m_R(2, c);
    const double d[3] = {phi93[0], phi93[4], phi93[8]};
    double P99[9];
    for (ZtSize k = 0; k < 9; ++k) P99[k] = phi99[k];
    for (ZtSize r = 0; r < 3; ++r)
      for (ZtSize c = 0; c < 3; ++c) {
        phi93[3 * r + c] = M(r, c) * d[c];
        phi99[3 * r + c] = M(r, 0) * P99[c] + M(r, 1) * P99[3 + c] + M(r, 2) * P99[6 + c];
      }
  }

  // 12. Array [ Phi sQx  Qs ] (12 x 24). Phi sQx by the blocks of Phi: rows 0-2 c_acc I and the
  // columns 9-11; rows 3-5 I; rows 6-8 e I; rows 9-11 the columns 3-5 and 9-11. sQx is lower
  // triangular. Qs is block diagonal, its blocks of rows 6-8 and 9-11 diagonal: row i of the
  // array is zero from preEnd[i] on, which is neither written nor read (rows 3-5 end with their
  // block unless sQw_gyr_bias is lower triangular). Each element of a product block is summed from 0.0 in k order. The terms with k < j, which
  // meet the zeros above the diagonal of sQx, are taken as well: a finite factor times zero adds
  // nothing to these sums (none is -0), so every row runs over all its columns without branches.
  const Matrix& S = s.sQx;
  const double* S3 = S.rowPtr(3);
  const double* S4 = S.rowPtr(4);
  const double* S5 = S.rowPtr(5);
  const double* S9 = S.rowPtr(9);
  const double* S10 = S.rowPtr(10);
  const double* S11 = S.rowPtr(11);
  const bool biasTriL = Qb(0, 1) == 0.0 && Qb(0, 2) == 0.0 && Qb(1, 2) == 0.0;
  const std::size_t preEnd[N] = {15, 15, 15, biasTriL ? 16u : 18u, biasTriL ? 17u : 18u, 18, 19, 20, 21, 22, 23, 24};
  const double cAcc = p.c_acc;
  for (ZtSize i = 0; i < N; ++i) {
    double* a = m_pre.rowPtr(i);
    const double* si = S.rowPtr(i);
    for (ZtSize c = N; c < preEnd[i]; ++c) a[c] = 0.0;
    if (i < 3) {
      const double* phi = phi09 + 3 * i;
      const double p0 = phi[0], p1 = phi[1], p2 = phi[2];
      for (ZtSize j = 0; j < N; ++j) a[j] = cAcc * si[j] + (((0.0 + p0 * S9[j]) + p1 * S10[j]) + p2 * S11[j]);
      for (ZtSize c = 0; c < 3; ++c) a[N + c] = m_qsAcc[3 * i + c];
    } else if (i < 6) {
      for (ZtSize j = 0; j < N; ++j) a[j] = si[j];
      for (ZtSize c = 0; c < 3 && N + 3 + c < preEnd[i]; ++c) a[N + 3 + c] = Qb(i - 3, c);
    } else if (i < 9) {
      for (ZtSize j = 0; j < N; ++j) a[j] = e * si[j];
      a[N + i] = m_qsMag[i - 6];
    } else {
      const double* phi3 = phi93 + 3 * (i - 9);
      const double* phi9 = phi99 + 3 * (i - 9);
      const double q0 = phi3[0], q1 = phi3[1], q2 = phi3[2];
      const double p0 = phi9[0], p1 = phi9[1], p2 = phi9[2];
      for (ZtSize j = 0; j < N; ++j)
        a[j] = (((0.0 + q0 * S3[j]) + q1 * S4[j]) + q2 * S5[j]) + (((0.0 + p0 * S9[j]) + p1 * S10[j]) + p2 * S11[j]);
      a[N + i] = m_qsOri[i - 9];
    }
  }
  // 13. Reduced from the right to [ sQx'  0 ]: the new root is the lower triangle, with a
  // non-negative diagonal.
  lowerTriangulariseRows(m_pre.data, m_pre.stride, N, N, kPreCols, preEnd);
  for (ZtSize r = 0; r < N; ++r) {
    const double* a = m_pre.rowPtr(r);
    for (ZtSize c = 0; c < N; ++c) s.sQx(r, c) = c <= r ? a[c] : 0.0;
  }
  s.sx.isLeftDivideTriL(s.sQx, x);
  if (m_observer != nullptr) {
    // The dense model, assembled only for the observer.
    Matrix& Phi = m_Phi;
    Matrix& Qs = m_Qs;
    Phi.isIdentity();
    Qs.isZero();
    for (ZtSize r = 0; r < 3; ++r) {
      Phi(r, r) = p.c_acc;
      Phi(6 + r, 6 + r) = e;
      Qs(6 + r, 6 + r) = m_qsMag[r];
      Qs(9 + r, 9 + r) = m_qsOri[r];
      for (ZtSize c = 0; c < 3; ++c) {
        Phi(r, 9 + c) = phi09[3 * r + c];
        Phi(9 + r, 3 + c) = phi93[3 * r + c];
        Phi(9 + r, 9 + c) = phi99[3 * r + c];
        Qs(r, c) = m_qsAcc[3 * r + c];
        Qs(3 + r, 3 + c) = Qb(r, c);
      }
    }
    m_observer->predicted(Phi, Qs, x);
  }
}

void Zkf3Filter::measurementUpdate(const Vector& y, const Matrix& H, const Matrix& Rd, uint32_t skip) {
  if (m_observer != nullptr) m_observer->measurementUpdate(y, H, Rd);
  doMeasurementUpdateSquareRootZkf3_fw(m_state.sx, m_state.sQx, m_innovation, y, H, Rd, skip);
}

void Zkf3Filter::accelerationUpdateKeepingHeading() {
  // With the optimal gain K and the kept directions N (orthonormal, the global vertical in the
  // bias and in the orientation block), the gain (I - N N^T) K gives in Joseph form
  //   P' = P_opt + N N^T K C K^T N N^T,  C = H P H^T + Rd Rd^T = L L^T,
  //   x' = x_opt - N a,  a = N^T K e = W L^-1 e,  W = N^T K L = N^T P H^T L^-T,
  // so the update is the usual array update followed by a rank-two update of the root along N.
  // H = [I 0]: H S is the first three rows of S and P H^T = S (S rows 0-2)^T.
  Zkf3State& s = m_state;
  Matrix& S = s.sQx;
  Vector& sx = s.sx;
  const Matrix& Rd = m_Rd;
  double L[3][3] = {};
  for (ZtSize i = 0; i < 3; ++i)
    for (ZtSize j = 0; j <= i; ++j) {
      double c = 0.0;
      for (ZtSize k = 0; k <= j; ++k) c += S(i, k) * S(j, k);
      for (ZtSize k = 0; k < 3; ++k) c += Rd(i, k) * Rd(j, k);
      for (ZtSize k = 0; k < j; ++k) c -= L[i][k] * L[j][k];
      L[i][j] = i == j ? std::sqrt(c) : c / L[j][j];
    }
  // Whitened innovation L^-1 e with e = y - H x = -x[0..2].
  double we[3];
  for (ZtSize i = 0; i < 3; ++i) {
    double v = 0.0;
    for (ZtSize c = 0; c <= i; ++c) v -= S(i, c) * sx[c];
    for (ZtSize j = 0; j < i; ++j) v -= L[i][j] * we[j];
    we[i] = v / L[i][i];
  }
  m_R.isQuat(s.q_gs);
  const double u[3] = {m_R(2, 0), m_R(2, 1), m_R(2, 2)};  // the global vertical in the sensor frame
  double W[2][3] = {};
  for (ZtSize b = 0; b < 2; ++b)
    for (ZtSize k = 0; k < 3; ++k) {
      const double* row = S.rowPtr((b == 0 ? 3 : 9) + k);
      double z[3];
      for (ZtSize i = 0; i < 3; ++i) {
        double v = 0.0;
        for (ZtSize c = 0; c <= i; ++c) v += row[c] * S(i, c);
        for (ZtSize j = 0; j < i; ++j) v -= L[i][j] * z[j];
        z[i] = v / L[i][i];
        W[b][i] += u[k] * z[i];
      }
    }
  const double kept[2] = {W[0][0] * we[0] + W[0][1] * we[1] + W[0][2] * we[2],
                          W[1][0] * we[0] + W[1][1] * we[1] + W[1][2] * we[2]};

  measurementUpdate(m_yAcc, m_Hacc, Rd, 9);

  // N W W^T N^T = (N G)(N G)^T with G G^T = W W^T (2 x 2 Cholesky). Each column v of N G is
  // added by plane rotations of [S v] from the right (rows 3 to 11: N is zero above); the same
  // rotations of [sx 0] keep S sx unchanged.
  const double g00 = std::sqrt(W[0][0] * W[0][0] + W[0][1] * W[0][1] + W[0][2] * W[0][2]);
  const double w01 = W[0][0] * W[1][0] + W[0][1] * W[1][1] + W[0][2] * W[1][2];
  const double g10 = g00 > 0.0 ? w01 / g00 : 0.0;
  const double rest = W[1][0] * W[1][0] + W[1][1] * W[1][1] + W[1][2] * W[1][2] - g10 * g10;
  const double g11 = rest > 0.0 ? std::sqrt(rest) : 0.0;
  const double columns[2][2] = {{g00, g10}, {0.0, g11}};  // weights of the bias and orientation directions
  for (const auto& w : columns) {
    double v[N] = {};
    for (ZtSize k = 0; k < 3; ++k) {
      v[3 + k] = w[0] * u[k];
      v[9 + k] = w[1] * u[k];
    }
    ConsiderUpdate::addColumnToRoot(S, sx, v, 3, N);
  }
  // x' = S sx - N a: sx -= S^-1 N a by forward substitution from row 3.
  double z[N] = {};
  for (ZtSize r = 3; r < N; ++r) {
    double v = r < 6 ? kept[0] * u[r - 3] : r >= 9 ? kept[1] * u[r - 9] : 0.0;
    const double* row = S.rowPtr(r);
    for (ZtSize c = 3; c < r; ++c) v -= row[c] * z[c];
    z[r] = v / row[r];
    sx[r] -= z[r];
  }
}

double Zkf3Filter::accelerationInnovationSquared(const double (&variance)[3]) const {
  // x[0..2] = L sx and P = L L^T on rows 0-2 of the lower-triangular root L; the innovation of
  // the zero measurement is -x[0..2], its covariance P[0..2, 0..2] + diag(variance).
  const Matrix& S = m_state.sQx;
  double x[3], C[3][3] = {};
  for (ZtSize i = 0; i < 3; ++i) {
    x[i] = 0.0;
    for (ZtSize c = 0; c <= i; ++c) x[i] += S(i, c) * m_state.sx[c];
    for (ZtSize j = 0; j <= i; ++j) {
      double v = i == j ? variance[i] : 0.0;
      for (ZtSize c = 0; c <= j; ++c) v += S(i, c) * S(j, c);
      for (ZtSize c = 0; c < j; ++c) v -= C[i][c] * C[j][c];
      C[i][j] = i == j ? std::sqrt(v) : v / C[j][j];
    }
  }
  double e2 = 0.0, w[3];
  for (ZtSize i = 0; i < 3; ++i) {
    double v = x[i];
    for (ZtSize j = 0; j < i; ++j) v -= C[i][j] * w[j];
    w[i] = v / C[i][i];
    e2 += w[i] * w[i];
  }
  return e2;
}

void Zkf3Filter::doAccelerationUpdate() {
  const Zkf3Params& p = *m_params;
  const double g = std::sqrt(dot3(m_inertial.acc, m_inertial.acc)) + m_state.dynGravity[2];
  const double k = p.f_dynamic_acc * g * g;
  // The zero measurement errs by the true low-passed free acceleration, an error that lasts about
  // one time constant, 1 / (1 - c_acc) steps. While the sensor is accelerated its part that comes
  // and goes is d = R (m_forceFast - m_forceSlow); where d^2 exceeds the noise variance and what
  // the sensor noise alone leaves in d (kWideningNoiseDeviations of it), the excess, spread over
  // those steps, widens the variance. The widening is held, fading over
  // kWideningHoldTimeConstants, but no higher than the share the filter's own low-passed free
  // acceleration x[0..2] still shows: a slow acceleration whose change the band-pass no longer
  // sees keeps the update wide until the state has it no more, and on a tilt error alone the
  // widening fades.
  // Only without the magnetometer update: with it, a widened update leaves the tilt to the
  // magnetometer's, whose field on a real sensor (calibration residue, iron nearby) is never
  // quite the reference; on recorded hand motion that tilted the estimate by several degrees,
  // and by tens near a magnet. The update then keeps the noise of its own model.
  double base[3], d[3] = {}, floor2 = 0.0, hold = 0.0;
  const double steps = m_headingUnaided && p.c_acc < 1.0 ? 1.0 / (1.0 - p.c_acc) : 0.0;
  if (steps > 0.0) {
    m_R.isQuat(m_state.q_gs);
    double dS[3];
    for (ZtSize i = 0; i < 3; ++i) dS[i] = m_forceFast[i] - m_forceSlow[i];
    for (ZtSize i = 0; i < 3; ++i) d[i] = m_R(i, 0) * dS[0] + m_R(i, 1) * dS[1] + m_R(i, 2) * dS[2];
    // Variances per unit noise of the difference of the two low-passes (coefficients a and b):
    // of white accelerometer noise, and of the random walk the gyroscope noise gives the carried
    // gravity (g times the rotation noise per step).
    const double a = p.c_acc, b = slowForceCoefficient(p.c_acc);
    const double white = (1.0 - a) * (1.0 - a) / (1.0 - a * a) + (1.0 - b) * (1.0 - b) / (1.0 - b * b) -
                         2.0 * (1.0 - a) * (1.0 - b) / (1.0 - a * b);
    const double walk = a * a / (1.0 - a * a) + b * b / (1.0 - b * b) - 2.0 * a * b / (1.0 - a * b);
    double acc2 = 0.0, gyr2 = 0.0;
    for (ZtSize i = 0; i < 3; ++i) {
      acc2 = std::max(acc2, p.sQvAcc(i, i) * p.sQvAcc(i, i));
      gyr2 = std::max(gyr2, p.sTqvGyr(i, i) * p.sTqvGyr(i, i));
    }
    const double g2 = m_state.dynGravity[2] * m_state.dynGravity[2];
    floor2 = kWideningNoiseDeviations * kWideningNoiseDeviations * (acc2 * white + g2 * gyr2 * walk);
    hold = std::pow(p.c_acc, 1.0 / kWideningHoldTimeConstants);
  }
  const Matrix& L = m_state.sQx;
  m_Rd.isZero();
  bool usable = true, widened = false;
  for (ZtSize i = 0; i < 3; ++i) {
    base[i] = p.Qw_acclowpass(i, i) + k;
    const double excess = d[i] * d[i] - base[i] - floor2;
    double x = 0.0;
    for (ZtSize c = 0; c <= i; ++c) x += L(i, c) * m_state.sx[c];
    m_widening[i] = std::max(excess > 0.0 ? steps * excess : 0.0, std::min(hold * m_widening[i], steps * x * x));
    double variance = base[i];
    if (m_widening[i] > 0.0) {
      variance += m_widening[i];
      widened = true;
    }
    m_Rd(i, i) = std::sqrt(variance);
    usable = usable && base[i] > 0.0 && std::isfinite(m_Rd(i, i));
  }
  if (!usable) {
    journalOnce(kJournalAccNoise, "acceleration noise deviation not positive: acceleration update skipped");
    return;
  }
  // The validity check reads the innovation against the deviation without the motion's share:
  // an accelerometer that disagrees with the orientation still lowers the flag while it moves.
  const double rawInnovation2 = widened ? accelerationInnovationSquared(base) : 0.0;
  if (m_headingUnaided)
    accelerationUpdateKeepingHeading();
  else
    measurementUpdate(m_yAcc, m_Hacc, m_Rd, 9);
  const double innovation2 = widened ? rawInnovation2 : dot3(m_innovation, m_innovation);
  if (innovation2 > p.validity_accThreshold) m_countdown = static_cast<int16_t>(p.okAgeInit);
}

void Zkf3Filter::doMagnetometerUpdate() {
  const Zkf3Params& p = *m_params;
  m_R.isQuat(m_state.q_gs);
  Vector3& m = m_y;
  m.isMatMulVec(m_R, m_aiding.mag);
  m[2] = 0.0;
  m_M1.isMcrossVec(m);
  mul3(m_M1.data, m_R.data, m_M2.data);
  // Columns 0-5 of m_Hmag stay zero from construction.
  for (ZtSize r = 0; r < 3; ++r)
    for (ZtSize c = 0; c < 3; ++c) {
      m_Hmag(r, 6 + c) = p.Hm(r, c);
      m_Hmag(r, 9 + c) = -m_M2(r, c);
    }
  m_Rd = p.sQvMag;
  m_Rd(2, 2) = kMagVerticalDeviation;
  if (!(m_Rd(0, 0) > 0.0 && m_Rd(1, 1) > 0.0)) {
    journalOnce(kJournalMagNoise, "magnetometer noise deviation not positive: magnetometer update skipped");
    return;
  }
  measurementUpdate(m, m_Hmag, m_Rd, 0);
  if (dot3(m_innovation, m_innovation) > p.validity_magThreshold) m_countdown = static_cast<int16_t>(p.okAgeInit);
}

void Zkf3Filter::doGyroBiasUpdate() {
  const Zkf3Params& p = *m_params;
  const double sd = 0.2 * p.sQvGyr(0, 0);
  if (!(sd > 0.0)) {
    journalOnce(kJournalGyrNoise, "gyroscope noise deviation not positive: bias update skipped");
    return;
  }
  m_Rd.isIdentity(sd);
  m_y = m_inertial.gyr;
  measurementUpdate(m_y, m_Hgyr, m_Rd, 6);
}

void Zkf3Filter::correctError() {
  const Zkf3Params& p = *m_params;
  Zkf3State& s = m_state;
  Vector& x = s.x;
  x.isMatTriLMulVec(s.sQx, s.sx);
  if (m_noRotation) s.orientError.isZero();
  Quaternion dq(1.0, -0.5 * x[9], -0.5 * x[10], -0.5 * x[11]);
  dq.isNormalizeSelf();
  s.q_gs.isQuatMulQuat(s.q_gs, dq);
  s.q_gs.isNormalizeSelf();
  s.orientError.isZero();

  // Rows 9..11 of the root turned by Rq^T, then the block (9..11, 9..11) made lower triangular
  // again by a QR of its transpose (the rows above have zeros in these columns).
  Matrix3x3& Rq = m_M1;
  Rq.isQuat(dq);
  Matrix& S = s.sQx;
  double rows[3 * N];
  for (ZtSize r = 0; r < 3; ++r)
    for (ZtSize c = 0; c < N; ++c) rows[r * N + c] = Rq(0, r) * S(9, c) + Rq(1, r) * S(10, c) + Rq(2, r) * S(11, c);
  for (ZtSize r = 0; r < 3; ++r)
    for (ZtSize c = 0; c < N; ++c) S(9 + r, c) = rows[r * N + c];
  Matrix3x3& blockT = m_M2;
  for (ZtSize r = 0; r < 3; ++r)
    for (ZtSize c = 0; c < 3; ++c) blockT(r, c) = S(9 + c, 9 + r);
  if (!householderQR3(blockT.data)) {
    double scratch[3 * 3 + 3 + 3];
    blockT.QRdecomposition(scratch);
  }
  for (ZtSize r = 0; r < 3; ++r)
    for (ZtSize c = 0; c < 3; ++c) S(9 + r, 9 + c) = c <= r ? blockT(c, r) : 0.0;
  s.sx.isLeftDivideTriL(S, x);
  if (m_observer != nullptr) {
    m_T.isIdentity();
    for (ZtSize r = 0; r < 3; ++r)
      for (ZtSize c = 0; c < 3; ++c) m_T(9 + r, 9 + c) = Rq(c, r);
    m_observer->corrected(m_T, 9, m_noRotation);
  }

  // Free acceleration in the global frame.
  s.acceleration_g.isRotateVecByQuat(m_inertial.acc, s.q_gs);
  s.acceleration_g[2] += s.dynGravity[2];

  if (anyOutOfRange(s.gyrBias, p.validity_gyroBiasThreshold)) m_countdown = static_cast<int16_t>(p.okAgeInit);
  Vector3& u = m_v;
  for (ZtSize i = 0; i < 3; ++i) {
    double sum = 0.0;
    for (ZtSize c = 0; c < N; ++c) sum += S(9 + i, c) * S(9 + i, c);
    u[i] = sum;
  }
  const double th = p.validity_angularUncertaintyThreshold;
  if (anyOutOfRange(u, th * th)) m_countdown = static_cast<int16_t>(p.okAgeInit);
}

}  // namespace zelto
