#include "trackers/Mk4_700SampleMixer.h"

#include <cmath>
#include <type_traits>

#include "math/geodetic/GeodeticConversions.h"
#include "trackers/Mk4FilterSupport.h"

namespace zelto {

namespace {

constexpr double kDegToRad = 0.017453292519943295;
constexpr double kRadToDeg = 57.29577951308232;

// q v q^-1 for a quaternion of any length (the inverse, not the conjugate).
void rotate(const ZtQuaternion& q, const double v[3], double out[3]) {
  Quaternion inverse;
  inverse.isInverseOf(q);
  Quaternion p(0.0, v[0], v[1], v[2]);
  p.isQuatMulQuat(p, inverse);
  p.isQuatMulQuat(q, p);
  out[0] = p.x;
  out[1] = p.y;
  out[2] = p.z;
}

constexpr size_t kStateValues = 25, kInputValues = 34, kOutputValues = 18;

// Copies values between a record's fields and a flat list, in the direction the caller gives.
struct Packer {
  double* list;
  bool out;  // fields into the list
  size_t at = 0;
  template <typename T>
    requires std::is_arithmetic_v<T>
  void operator()(T& field) {
    if (out)
      list[at] = static_cast<double>(field);
    else
      field = static_cast<T>(list[at]);
    ++at;
  }
  void operator()(double* v, size_t n) {
    for (size_t i = 0; i < n; ++i) (*this)(v[i]);
  }
  void operator()(ZtQuaternion& q) {
    (*this)(q.w), (*this)(q.x), (*this)(q.y), (*this)(q.z);
  }
};

void packInput(Packer& p, Mk4_700SampleMixerInput& in) {
  p(in.sampleFrequency), p(in.dq), p(in.dv, 3), p(in.velocity, 3), p(in.accBias, 3), p(in.gyrBias, 3);
  p(in.gravity, 3), p(in.orientation), p(in.position, 3), p(in.navigationState), p(in.ready), p(in.filterData);
  p(in.aiding), p(in.biasRemoved), p(in.status), p(in.status2);
}

void packOutput(Packer& p, Mk4_700SampleMixerOutput& out) {
  p(out.position, 3), p(out.velocity, 3), p(out.orientation), p(out.acceleration, 3), p(out.navigationState);
  p(out.status), p(out.status2), p(out.aiding), p(out.valid);
}

}  // namespace

void Mk4_700SampleMixer::writeState(SettingsFile& file, const std::string& key, const Mk4_700SampleMixerInput& input,
                                    const Mk4_700SampleMixerOutput& output) const {
  double state[kStateValues], in[kInputValues], out[kOutputValues];
  Mk4_700SampleMixer copy = *this;
  Packer s{state, true};
  s(copy.m_dt), s(copy.m_a, 3), s(copy.m_qd), s(copy.m_p, 3), s(copy.m_v, 3), s(copy.m_q), s(copy.m_r), s(copy.m_f, 3);
  Mk4_700SampleMixerInput inputCopy = input;
  Mk4_700SampleMixerOutput outputCopy = output;
  Packer i{in, true}, o{out, true};
  packInput(i, inputCopy);
  packOutput(o, outputCopy);
  mk4::putValues(file, (key + ".state").c_str(), state, kStateValues);
  mk4::putValues(file, (key + ".input").c_str(), in, kInputValues);
  mk4::putValues(file, (key + ".output").c_str(), out, kOutputValues);
}

bool Mk4_700SampleMixer::readState(const SettingsFile& file, const std::string& key, Mk4_700SampleMixerInput& input,
                                   Mk4_700SampleMixerOutput& output) {
  double state[kStateValues], in[kInputValues], out[kOutputValues];
  if (!mk4::getValues(file, (key + ".state").c_str(), state, kStateValues) ||
      !mk4::getValues(file, (key + ".input").c_str(), in, kInputValues) ||
      !mk4::getValues(file, (key + ".output").c_str(), out, kOutputValues))
    return false;
  Packer s{state, false};
  s(m_dt), s(m_a, 3), s(m_qd), s(m_p, 3), s(m_v, 3), s(m_q), s(m_r), s(m_f, 3);
  Packer i{in, false}, o{out, false};
  packInput(i, input);
  packOutput(o, output);
  return true;
}

bool Mk4_700SampleMixer::processSample(const Mk4_700SampleMixerInput& in, Mk4_700SampleMixerOutput& out,
                                       bool filterSample) {
  // A frequency of 0 (or none given) has no period: a step over it would be inf or NaN.
  if (!in.ready || !in.filterData || !(in.sampleFrequency > 0.0) || !std::isfinite(in.sampleFrequency)) {
    out.valid = 0;
    return false;
  }
  m_dt = 1.0 / in.sampleFrequency;
  if (filterSample)
    handleZkfSample(in);
  else
    handleSdiSample(in);
  generateOutput(in, out);
  out.valid = 1;
  return true;
}

void Mk4_700SampleMixer::correctedVelocityIncrement(const Mk4_700SampleMixerInput& in) {
  for (int i = 0; i < 3; ++i) m_a[i] = in.biasRemoved ? in.dv[i] : in.dv[i] - m_dt * in.accBias[i];
}

void Mk4_700SampleMixer::updateAcceleration(const Mk4_700SampleMixerInput& in) {
  double a[3];
  rotate(m_q, m_a, a);
  for (int i = 0; i < 3; ++i) m_f[i] = in.gravity[i] + a[i] / m_dt;
}

void Mk4_700SampleMixer::handleZkfSample(const Mk4_700SampleMixerInput& in) {
  if (in.navigationState != 0) {
    const double lla[3] = {in.position[0] * kDegToRad, in.position[1] * kDegToRad, in.position[2]};
    convert_lla2ecefRadians(lla, m_p);
    for (int i = 0; i < 3; ++i) m_v[i] = in.velocity[i];
    double back[3];
    convert_ecef2llaRadians(m_p, back, true);
    Quaternion toEcef;
    quat_ecef2enuFromLlaPositionRadiansInverse(back, toEcef);
    m_r.isInverseOf(toEcef);
  }
  m_q = in.orientation;
  correctedVelocityIncrement(in);
  updateAcceleration(in);
}

void Mk4_700SampleMixer::handleSdiSample(const Mk4_700SampleMixerInput& in) {
  const double h = m_dt / 2.0;
  m_qd = Quaternion(in.dq.w, in.dq.x - h * in.gyrBias[0], in.dq.y - h * in.gyrBias[1], in.dq.z - h * in.gyrBias[2]);
  m_qd.isNormalizeSelf();
  correctedVelocityIncrement(in);
  if (in.navigationState != 0) {
    // The increment in the navigation frame with the orientation before this sample.
    double a[3];
    rotate(m_q, m_a, a);
    double dp[3];
    for (int i = 0; i < 3; ++i) dp[i] = m_dt * m_v[i] + h * a[i] + m_dt * h * in.gravity[i];
    double step[3];
    rotate(m_r, dp, step);
    for (int i = 0; i < 3; ++i) {
      m_p[i] += step[i];
      m_v[i] += a[i] + m_dt * in.gravity[i];
    }
  }
  m_q.isQuatMulQuat(m_q, m_qd);
  updateAcceleration(in);
}

void Mk4_700SampleMixer::generateOutput(const Mk4_700SampleMixerInput& in, Mk4_700SampleMixerOutput& out) const {
  for (int i = 0; i < 3; ++i) {
    out.acceleration[i] = m_f[i];
    out.velocity[i] = m_v[i];
  }
  // Until a filter sample gave a position, P is the earth's centre, which has no latitude.
  if (m_p[0] == 0.0 && m_p[1] == 0.0 && m_p[2] == 0.0) {
    out.position[0] = out.position[1] = out.position[2] = 0.0;
  } else {
    convert_ecef2llaRadians(m_p, out.position, true);
    out.position[0] *= kRadToDeg;
    out.position[1] *= kRadToDeg;
  }
  out.orientation = m_q;
  out.navigationState = in.navigationState;
  out.status = in.status;
  out.status2 = in.status2;
  out.aiding = in.aiding ? in.filterData : 0;
}

}  // namespace zelto
