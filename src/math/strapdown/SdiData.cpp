#include "math/strapdown/SdiData.h"

#include "math/MathBase.h"
#include "math/strapdown/Strapdown.h"

namespace zelto {

SdiData::SdiData() : m_dq(), m_dv(3, m_dvItems, kInternalStorage) {}

SdiData::SdiData(const ZtQuaternion& dq, const ZtVector& dv) : SdiData(dq, dv, 0.0) {}

SdiData::SdiData(const ZtQuaternion& dq, const ZtVector& dv, double duration)
    : m_dq(dq), m_dv(3, m_dvItems, kInternalStorage), m_duration(duration) {
  for (int i = 0; i < 3; ++i) m_dvItems[i] = dv.data[i];
}

SdiData::SdiData(const SdiData& other)
    : m_dq(other.m_dq), m_dv(3, m_dvItems, kInternalStorage), m_duration(other.m_duration) {
  for (int i = 0; i < 3; ++i) m_dvItems[i] = other.m_dv.data[i];
}

SdiData& SdiData::operator=(const SdiData& other) {
  if (this == &other) return *this;
  m_dq = other.m_dq;
  for (int i = 0; i < 3; ++i) m_dvItems[i] = other.m_dv.data[i];
  m_duration = other.m_duration;
  return *this;
}

SdiData::~SdiData() = default;

SdiData SdiData::fromAccGyr(const ZtVector& acc, const ZtVector& gyr, double dt) {
  SdiData d;
  sdiDelta(acc, gyr, d.m_dq, d.m_dv, dt);
  d.m_duration = dt;
  return d;
}

void SdiData::init() {
  m_dq = Quaternion();
  for (double& v : m_dvItems) v = 0.0;
  m_duration = 0.0;
}

}  // namespace zelto
