#include "filters/zkf3i/Zkf3iState.h"

#include <algorithm>
#include <iterator>

#include "filters/zkf3i/Zkf3iAiding.h"
#include "filters/zkf3i/Zkf3iParams.h"
#include "filters/zkf3i/Zkf3iSensorData.h"
#include "math/Matrix3x3.h"
#include <cmath>

namespace zelto {

namespace {

bool finite(const double* v, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (!std::isfinite(v[i])) return false;
  return true;
}

// Write-order positions of "NR_magCounter" and "clippedAccDivCounter": the reader takes the
// latter right after the former.
constexpr size_t kNrMagCounterKey = 9;
constexpr size_t kClippedAccDivCounterKey = 19;
constexpr double kDegToRad = 0.017453292519943295;
// Shortest force and field vectors, and smallest sine of the angle between them, from which a
// frame is still formed.
constexpr double kMinLength = 1e-9;
constexpr double kMinSine = 1e-6;

double norm3(const ZtVector& v) {
  return std::sqrt(v.data[0] * v.data[0] + v.data[1] * v.data[1] + v.data[2] * v.data[2]);
}

// The window length in samples: duration / T + 0.25, integer part, cut to 16 bits.
uint64_t windowSamples(double duration, double T) {
  const double n = std::floor(duration / T + 0.25);
  if (!(n > 0.0)) return 0;
  if (n >= 18446744073709551615.0) return 0xFFFFu;
  return static_cast<uint64_t>(n) & 0xFFFFu;
}

}  // namespace

Zkf3iState::Zkf3iState()
    : x(kStates, m_x, 0),
      accel(3, m_x, 0),
      gyrBias(3, m_x + 3, 0),
      magField(3, m_x + 6, 0),
      orientError(3, m_x + 9, 0),
      sQx(kStates, kStates, kStates, m_sQx, 0),
      sx(kStates, m_sx, 0) {
  sQx.isIdentity();
}

Zkf3iState::Zkf3iState(const Zkf3iState& other) : Zkf3iState() { copyFrom(other); }

Zkf3iState& Zkf3iState::operator=(const Zkf3iState& other) {
  copyFrom(other);
  return *this;
}

Zkf3iState::~Zkf3iState() = default;

void Zkf3iState::copyFrom(const Zkf3iState& o) {
  if (&o == this) return;
  std::copy(o.m_x, o.m_x + kStates, m_x);
  std::copy(o.m_sx, o.m_sx + kStates, m_sx);
  std::copy(o.m_sQx, o.m_sQx + kStates * kStates, m_sQx);
  a_l = o.a_l;
  clipSolve_state = o.clipSolve_state;
  firstIteration = o.firstIteration;
  isValidAge = o.isValidAge;
  m0_def = o.m0_def;
  mag_l = o.mag_l;
  mag_s_prev = o.mag_s_prev;
  mag_avg = o.mag_avg;
  mag_var = o.mag_var;
  NR_magCounter = o.NR_magCounter;
  v_l = o.v_l;
  m0_proj_def = o.m0_proj_def;
  acc_div = o.acc_div;
  q_ls = o.q_ls;
  q_redefine = o.q_redefine;
  zruRunning = o.zruRunning;
  cZruRunning = o.cZruRunning;
  zruAborted = o.zruAborted;
  zruSamplesRejected = o.zruSamplesRejected;
  zruSamplesToProcess = o.zruSamplesToProcess;
  cZruSamplesBelowThreshold = o.cZruSamplesBelowThreshold;
  magFieldDipAngleRad = o.magFieldDipAngleRad;
  normMag = o.normMag;
  sdMagVar = o.sdMagVar;
  accUpdateIgnoreSamples = o.accUpdateIgnoreSamples;
  accUpdateSamplesAboveThreshold = o.accUpdateSamplesAboveThreshold;
  c_mag_spat = o.c_mag_spat;
  clippedAccDivCounter = o.clippedAccDivCounter;
}

std::array<SettingField, Zkf3iState::kKeys> Zkf3iState::fields() {
  using F = SettingField;
  return {F::vector("x", x),
          F::vector("a_l", a_l),
          F::vector("clipSolve_state", clipSolve_state),
          F::flag("firstIteration", firstIteration),
          F::int32("isValidAge", isValidAge),
          F::vector("m0_def", m0_def),
          F::vector("mag_s_prev", mag_s_prev),
          F::vector("mag_avg", mag_avg),
          F::vector("mag_var", mag_var),
          F::int32("NR_magCounter", NR_magCounter),
          F::matrix("sQx", sQx),
          F::vector("sx", sx),
          F::vector("v_l", v_l),
          F::vector("m0_proj_def", m0_proj_def),
          F::quaternion("q_ls", q_ls),
          F::quaternion("q_redefine", q_redefine),
          F::vector("acc_div", acc_div),
          F::int32ReadUnsigned("accUpdateSamplesAboveThreshold", accUpdateSamplesAboveThreshold),
          F::real("c_mag_spat", c_mag_spat),
          F::int32("clippedAccDivCounter", clippedAccDivCounter),
          F::flag("zruRunning", zruRunning),
          F::flag("cZruRunning", cZruRunning),
          F::flag("zruAborted", zruAborted),
          F::flag("zruSamplesRejected", zruSamplesRejected),
          F::uint64Low32("zruSamplesToProcess", zruSamplesToProcess),
          F::uint64Low32("cZruSamplesBelowThreshold", cZruSamplesBelowThreshold),
          F::real("magFieldDipAngleRad", magFieldDipAngleRad),
          F::real("normMag", normMag),
          F::real("sdMagVar", sdMagVar),
          F::uint64Low32("accUpdateIgnoreSamples", accUpdateIgnoreSamples)};
}

void Zkf3iState::readFromFile(const SettingsFile& file, const std::string& prefix) {
  auto table = fields();
  std::rotate(table.begin() + kNrMagCounterKey + 1, table.begin() + kClippedAccDivCounterKey,
              table.begin() + kClippedAccDivCounterKey + 1);
  readFields(file, prefix, table.data(), table.size());
}

void Zkf3iState::writeToFile(SettingsFile& file, const std::string& prefix) const {
  const auto table = const_cast<Zkf3iState*>(this)->fields();
  writeFields(file, prefix, table.data(), table.size());
}

bool Zkf3iState::permute(const Vector& p) {
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
  std::copy(m_x, m_x + kStates, xs);
  std::copy(m_sx, m_sx + kStates, sxs);
  std::copy(m_sQx, m_sQx + kStates * kStates, sQxs);
  const Vector xv(kStates, xs, 0), sxv(kStates, sxs, 0);
  const Matrix sQxv(kStates, kStates, kStates, sQxs, 0);
  x.isPermutation(xv, p);
  sx.isPermutation(sxv, p);
  sQx.isPermutation(sQxv, p);
  return true;
}

bool Zkf3iState::initializeFromMeasurement(const Zkf3iParams& p, const Zkf3iSensorData& sd, const Zkf3iAiding& ad,
                                           double dt, Vector& up) {
  // 1.-2.
  const Vector3 m = p.doMagUpdate ? ad.mag : Vector3(0.0, 1.0, 0.0);
  if (!finite(sd.acc.data, 3) || !finite(m.data, 3)) return false;
  if (!(norm3(sd.acc) > kMinLength) || !(norm3(m) > kMinLength)) return false;
  Vector3 z, mu, east, north;
  z.isNormalizeVec(sd.acc);
  mu.isNormalizeVec(m);
  east.isVecCrossVec(mu, z);
  if (!(norm3(east) > kMinSine)) return false;
  east.isNormalizeVec(east);
  north.isVecCrossVec(z, east);
  // 3.-4.
  Matrix3x3 B, N;
  B.setRow(east, 0);
  B.setRow(north, 1);
  B.setRow(z, 2);
  if (p.doMagUpdate) {
    Matrix3x3 Rz;
    Rz.isRotateZ(-p.declination_angle_rad);
    N.isMatMulMat(Rz, B);
  } else {
    N = B;
  }
  q_ls.isRmat(N);
  q_ls.isNormalizeSelf();
  up = z;
  // 5.-7.
  x.isZero();
  gyrBias = p.storedGyrBias;
  magField.isMatMulVec(N, m);
  const Zkf3iInitialConditions& ic = p.initialConditions;
  sQx.isIdentity();
  sQx.setSubIdentity(ic.sd_init_orient * kDegToRad, 9, 9, 3, 3);
  sQx.setSubIdentity(ic.sd_init_acc, 0, 0, 3, 3);
  sQx.setSubIdentity(ic.sd_init_gyrBias * kDegToRad, 3, 3, 3, 3);
  sQx.setSubIdentity(ic.sd_init_mag, 6, 6, 3, 3);
  // 8.
  NR_magCounter = 0;
  a_l.isZero();
  v_l.isZero();
  mag_s_prev = ad.mag;
  magFieldDipAngleRad = std::atan2(x[8], std::sqrt(x[6] * x[6] + x[7] * x[7]));
  normMag = norm3(magField);
  clipSolve_state.isZero();
  mag_avg = magField;
  mag_var = Vector3(ic.sd_init_magvar, ic.sd_init_magvar, ic.sd_init_magvar);
  m0_proj_def = p.m0;
  m0_def = p.m0;
  sdMagVar = 0.0;
  q_redefine.isIdentity();
  zruRunning = cZruRunning = zruAborted = zruSamplesRejected = false;
  zruSamplesToProcess = cZruSamplesBelowThreshold = accUpdateIgnoreSamples = 0;
  // 9. The initial bias window compares the squared rate with the squared threshold (the rate
  // threshold itself, 6 sd, would let any rate below 2.4 rad/s pass as still).
  if (p.doInitialGyroBiasUpdate) {
    const double g2 = sd.gyr[0] * sd.gyr[0] + sd.gyr[1] * sd.gyr[1] + sd.gyr[2] * sd.gyr[2];
    zruAborted = !(g2 < p.zruThresholdSquared);
    zruSamplesToProcess = zruAborted ? 0 : windowSamples(p.zruDuration, dt);
    if (zruSamplesToProcess != 0) {
      gyrBias = sd.gyr;
      sQx.setSubMatrix(p.sQvGyr, 3, 3, 3, 3, 0, 0);
    }
  }
  sx.isLeftDivideTriL(sQx, x);
  // 10.
  isValidAge = 0;
  return true;
}

void Zkf3iState::startNoRotation(const Zkf3iParams& p, const ZtVector& gyr, double duration) {
  zruRunning = false;
  zruSamplesRejected = false;
  const double g2 = gyr.data[0] * gyr.data[0] + gyr.data[1] * gyr.data[1] + gyr.data[2] * gyr.data[2];
  zruAborted = !(g2 < p.zruThresholdSquared);
  zruSamplesToProcess = zruAborted || !p.isUsable() ? 0 : windowSamples(duration, p.sampleTime);
}

bool Zkf3iState::isUsable() const {
  if (!finite(m_x, kStates) || !finite(m_sx, kStates) || !finite(m_sQx, kStates * kStates)) return false;
  for (ZtSize r = 0; r < kStates; ++r)
    for (ZtSize c = r + 1; c < kStates; ++c)
      if (m_sQx[r * kStates + c] != 0.0) return false;
  const ZtVector* vectors[] = {&a_l, &clipSolve_state, &m0_def, &mag_s_prev, &mag_avg,
                               &mag_var, &v_l, &m0_proj_def, &acc_div};
  for (const ZtVector* v : vectors)
    if (!finite(v->data, 3)) return false;
  const double scalars[] = {magFieldDipAngleRad, normMag, sdMagVar, c_mag_spat, q_redefine.w,
                            q_redefine.x,        q_redefine.y, q_redefine.z};
  if (!finite(scalars, std::size(scalars))) return false;
  const double qq = q_ls.w * q_ls.w + q_ls.x * q_ls.x + q_ls.y * q_ls.y + q_ls.z * q_ls.z;
  return std::isfinite(qq) && std::fabs(qq - 1.0) <= 2e-6;
}

}  // namespace zelto
