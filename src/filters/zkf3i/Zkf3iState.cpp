#include "filters/zkf3i/Zkf3iState.h"

#include <algorithm>
#include <iterator>
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
