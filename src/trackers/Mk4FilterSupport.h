#pragma once
// Small per-packet helpers shared by the fourth-generation trackers' host filter paths: frame
// changes of increments and vectors, finiteness tests, and the filter's status bits. Inline and
// allocation-free, but for the two that keep the host's per-packet state beside the filter
// state of a recording (not on the packet path).
#include <cmath>
#include <cstdint>

#include "foundation/SettingsFile.h"
#include "foundation/Variant.h"
#include "math/Quaternion.h"
#include "math/Vector.h"
#include "math/Vector3.h"

namespace zelto::mk4 {

// Status bits the host filter writes: 0x02 valid, 0x18 the no-rotation window's state.
constexpr uint32_t kFilterValidBit = 0x02;
constexpr uint32_t kNoRotationMask = 0x18;

// v = R(q) v.
inline void rotateVector(const ZtQuaternion& q, Vector3& v) {
  Vector3 out;
  out.isRotateVecByQuat(v, q);
  v = out;
}

// The device's increments of the aligned frame (q_object = q_sensor S) back in the sensor
// frame: dq_sensor = S dq S*, dv_sensor = R(S) dv.
inline void objectToSensorIncrement(const ZtQuaternion& sensorRotation, Quaternion& dq, Vector& dv) {
  Quaternion t, inverse;
  inverse.isInverseOf(sensorRotation);
  t.isQuatMulQuat(sensorRotation, dq);
  dq.isQuatMulQuat(t, inverse);
  Vector3 v(dv[0], dv[1], dv[2]);
  rotateVector(sensorRotation, v);
  for (ZtSize i = 0; i < 3; ++i) dv[i] = v[i];
}

inline bool isFinite(const ZtQuaternion& q) {
  return std::isfinite(q.w) && std::isfinite(q.x) && std::isfinite(q.y) && std::isfinite(q.z);
}

inline bool isFinite(const ZtVector& v) {
  for (ZtSize i = 0; i < v.size; ++i)
    if (!std::isfinite(v.data[i])) return false;
  return true;
}

// Bit 1 from the validity; bits 3-4: running 0x18, else aborted 0x10, else rejected 0x08.
inline uint32_t filterStatus(uint32_t status, bool valid, bool running, bool aborted, bool rejected) {
  status = valid ? status | kFilterValidBit : status & ~kFilterValidBit;
  status &= ~kNoRotationMask;
  if (running)
    status |= 0x18;
  else if (aborted)
    status |= 0x10;
  else if (rejected)
    status |= 0x08;
  return status;
}

// Values of the host's per-packet state in a recording's filter-state record: a vector of
// doubles, whose stored form keeps every bit (a stored quaternion would read back normalised).
inline void putValues(SettingsFile& file, const char* key, const double* values, size_t count) {
  file.setSetting(key, Variant(values, count));
}

// False, out unchanged, without a vector of exactly count values under key.
inline bool getValues(const SettingsFile& file, const char* key, double* out, size_t count) {
  Variant value;
  if (file.getSetting("", key, value) != ZRV_OK || value.kind() != Variant::KindVector) return false;
  const Vector stored = value.toVector();
  if (stored.size != count) return false;
  for (size_t i = 0; i < count; ++i) out[i] = stored.data[i];
  return true;
}

}  // namespace zelto::mk4
