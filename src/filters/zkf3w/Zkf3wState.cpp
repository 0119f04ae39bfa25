#include "filters/zkf3w/Zkf3wState.h"

#include <cmath>

#include "errors/ZtException.h"
#include "filters/zkf3w/Zkf3wAiding.h"
#include "filters/zkf3w/Zkf3wParams.h"
#include "filters/zkf3w/Zkf3wSensorData.h"
#include "math/Matrix3x3.h"

namespace zelto {

namespace {

constexpr double kDegToRad = 0.017453292519943295;
// Shortest acceleration and field vectors, and the smallest sine of the angle between them,
// from which a frame is still formed.
constexpr double kMinLength = 1e-9;
constexpr double kMinSine = 1e-6;
// Initial standard deviations are floored here so that sQx stays invertible.
constexpr double kMinDeviation = 1e-9;

double floored(double sd) { return sd > kMinDeviation ? sd : kMinDeviation; }

bool finite(const double* v, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (!std::isfinite(v[i])) return false;
  return true;
}

double norm3(const ZtVector& v) {
  return std::sqrt(v.data[0] * v.data[0] + v.data[1] * v.data[1] + v.data[2] * v.data[2]);
}

}  // namespace

Zkf3wState::Zkf3wState()
    : x(kStates, m_x, 0),
      accLowpass(3, m_x + 3, 0),
      gyrBias(3, m_x + 6, 0),
      magField(3, m_x + 9, 0),
      orientError(3, m_x, 0),
      sQx(kStates, kStates, kStates, m_sQx, 0),
      sx(kStates, m_sx, 0) {
  sQx.isIdentity();
}

Zkf3wState::Zkf3wState(const Zkf3wState& other) : Zkf3wState() { copyFrom(other); }

Zkf3wState& Zkf3wState::operator=(const Zkf3wState& other) {
  copyFrom(other);
  return *this;
}

Zkf3wState::~Zkf3wState() = default;

void Zkf3wState::copyFrom(const Zkf3wState& o) {
  if (&o == this) return;
  for (ZtSize i = 0; i < kStates; ++i) {
    m_x[i] = o.m_x[i];
    m_sx[i] = o.m_sx[i];
  }
  for (ZtSize i = 0; i < kStates * kStates; ++i) m_sQx[i] = o.m_sQx[i];
  q_ls = o.q_ls;
  a_l = o.a_l;
  v_l = o.v_l;
  magAvg = o.magAvg;
  magVar = o.magVar;
  valid = o.valid;
  firstIteration = o.firstIteration;
  okAge = o.okAge;
  resetTimeDependent = o.resetTimeDependent;
  sampleCount = o.sampleCount;
}

void Zkf3wState::readFromFile(const SettingsFile& file, const std::string& prefix) {
  sampleCount = 0;
  readVector(file, prefix, "x", x);
  readQuaternion(file, prefix, "q_ls", q_ls);
  readMatrix(file, prefix, "sQx", sQx);
  readVector(file, prefix, "sx", sx);
  readVector(file, prefix, "a_l", a_l);
  readVector(file, prefix, "v_l", v_l);
  readVector(file, prefix, "magAvg", magAvg);
  readVector(file, prefix, "magVar", magVar);
  firstIteration = readSetting(file, prefix, "firstIteration").toBool();
  okAge = readSetting(file, prefix, "okAge").toInt32();
  valid = file.hasSetting(prefix.c_str(), "valid") ? readSetting(file, prefix, "valid").toBool() : true;
  resetTimeDependent = true;
}

void Zkf3wState::writeToFile(SettingsFile& file, const std::string& prefix) const {
  writeSetting(file, prefix, "x", Variant(x));
  writeSetting(file, prefix, "q_ls", Variant(q_ls));
  writeSetting(file, prefix, "sQx", Variant(sQx));
  writeSetting(file, prefix, "sx", Variant(sx));
  writeSetting(file, prefix, "a_l", Variant(a_l));
  writeSetting(file, prefix, "v_l", Variant(v_l));
  writeSetting(file, prefix, "magAvg", Variant(magAvg));
  writeSetting(file, prefix, "magVar", Variant(magVar));
  writeSetting(file, prefix, "firstIteration", Variant(firstIteration));
  writeSetting(file, prefix, "okAge", Variant(static_cast<int>(okAge)));
  writeSetting(file, prefix, "valid", Variant(valid));
}

bool Zkf3wState::isFinite() const {
  if (!finite(m_x, kStates) || !finite(m_sx, kStates) || !finite(m_sQx, kStates * kStates)) return false;
  const ZtVector* vectors[] = {&a_l, &v_l, &magAvg, &magVar};
  for (const ZtVector* v : vectors)
    if (!finite(v->data, 3)) return false;
  const double qq = q_ls.w * q_ls.w + q_ls.x * q_ls.x + q_ls.y * q_ls.y + q_ls.z * q_ls.z;
  return std::isfinite(qq) && qq > 1e-12;
}

bool Zkf3wState::isValid() const {
  if (firstIteration) return false;
  if (!x.isValid(0.0) || !sQx.isValid(0.0) || !sx.isValid(0.0) || !a_l.isValid(0.0) || !v_l.isValid(0.0) ||
      !magAvg.isValid(0.0) || !magVar.isValid(0.0))
    return false;
  return q_ls.isValid(0.1);
}

bool Zkf3wState::canInitializeFrom(const Zkf3wSensorData& sd, const Zkf3wAiding& aiding, double dt) {
  if (!std::isfinite(dt) || !(dt > 0.0)) return false;
  if (!finite(sd.dv.data, 3) || !finite(aiding.mag.data, 3)) return false;
  const double a = norm3(sd.dv) / dt, m = norm3(aiding.mag);
  if (!std::isfinite(a) || a < kMinLength || m < kMinLength) return false;
  Vector3 z, n, y;
  z.isNormalizeVec(sd.dv);
  n.isNormalizeVec(aiding.mag);
  y.isVecCrossVec(z, n);
  return norm3(y) >= kMinSine;
}

bool Zkf3wState::initializeFromMeasurement(const Zkf3wParams& params, const Zkf3wSensorData& sd,
                                           const Zkf3wAiding& aiding, double dt, Vector& up) {
  if (!canInitializeFrom(sd, aiding, dt)) return false;
  // 1.-2. Rows north, west, up of the magnetic frame, seen from the sensor.
  Vector3 a, z, m, y, xh;
  a.isScaMulVec(1.0 / dt, sd.dv);
  z.isNormalizeVec(a);
  m.isNormalizeVec(aiding.mag);
  y.isVecCrossVec(z, m);
  y.isNormalizeVec(y);
  xh.isVecCrossVec(y, z);
  Matrix3x3 M0, Rz, M;
  M0.setRow(xh, 0);
  M0.setRow(y, 1);
  M0.setRow(z, 2);
  // 3. Turned from magnetic to true north.
  Rz.isRotateZ(-params.declination_angle_deg * kDegToRad);
  M.isMatMulMat(Rz, M0);
  q_ls.isRmat(M);
  up = z;
  // 4.
  x.isZero();
  gyrBias = params.storedGyrBias;
  magField.isMatMulVec(M, aiding.mag);
  // 5.
  const Zkf3wInitialConditions& ic = params.initialConditions;
  sQx.isIdentity();
  sQx.setSubIdentity(floored(ic.sd_init_orient), 0, 0, 3, 3);
  sQx.setSubIdentity(floored(params.sd_init_acc), 3, 3, 3, 3);
  sQx.setSubIdentity(floored(params.sd_init_gyrbias), 6, 6, 3, 3);
  sQx.setSubIdentity(floored(ic.sd_init_mag), 9, 9, 3, 3);
  // 6.
  magAvg = magField;
  magVar = params.sd_init_magvar;
  valid = true;
  // 7. sQx is diagonal here: forward substitution is the exact solve.
  sx.isLeftDivideTriL(sQx, x);
  okAge = 0;
  a_l.isZero();
  v_l.isZero();
  q_ls.isNormalizeSelf();
  return true;
}

bool Zkf3wState::permute(const Vector& p) {
  if (p.size != kStates) return false;
  bool seen[kStates] = {};
  for (ZtSize i = 0; i < kStates; ++i) {
    const double v = p.data[i];
    if (!(v >= 0.0 && v < static_cast<double>(kStates)) || v != std::floor(v)) return false;
    const auto k = static_cast<ZtSize>(v);
    if (seen[k]) return false;
    seen[k] = true;
  }
  double xs[kStates], sxs[kStates], sQxs[kStates * kStates];
  for (ZtSize i = 0; i < kStates; ++i) {
    xs[i] = m_x[i];
    sxs[i] = m_sx[i];
  }
  for (ZtSize i = 0; i < kStates * kStates; ++i) sQxs[i] = m_sQx[i];
  const Vector xv(kStates, xs, 0), sxv(kStates, sxs, 0);
  const Matrix sQxv(kStates, kStates, kStates, sQxs, 0);
  x.isPermutation(xv, p);
  sx.isPermutation(sxv, p);
  sQx.isPermutation(sQxv, p);
  return true;
}

}  // namespace zelto
