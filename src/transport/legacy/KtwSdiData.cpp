#include "transport/legacy/KtwSdiData.h"

KtwSdiData::KtwSdiData()
    : m_deviceId(0),
      m_extraByte(0),
      m_firstFrame(0),
      m_lastFrame(0),
      m_currentBias{},
      m_orientationIncrement{1.0, 0.0, 0.0, 0.0},
      m_velocityIncrement{},
      m_aidingData(false),
      m_pressure(0.0),
      m_magneticField{},
      m_rssi(-128) {}

void KtwSdiData::setFrameRange(uint16_t first, uint16_t last) {
  m_firstFrame = first;
  m_lastFrame = last;
}

std::array<uint16_t, 2> KtwSdiData::frameRange() const {
  if (empty()) return {0, 0};
  return {m_firstFrame, m_lastFrame};
}

ZtQuaternion KtwSdiData::orientationIncrement() const {
  if (empty()) return ZtQuaternion{0.0, 0.0, 0.0, 0.0};
  return m_orientationIncrement;
}

bool KtwSdiData::operator==(const KtwSdiData& o) const {
  return m_deviceId == o.m_deviceId && m_extraByte == o.m_extraByte && m_firstFrame == o.m_firstFrame &&
         m_lastFrame == o.m_lastFrame && m_currentBias == o.m_currentBias &&
         m_orientationIncrement.w == o.m_orientationIncrement.w && m_orientationIncrement.x == o.m_orientationIncrement.x &&
         m_orientationIncrement.y == o.m_orientationIncrement.y && m_orientationIncrement.z == o.m_orientationIncrement.z &&
         m_velocityIncrement == o.m_velocityIncrement && m_aidingData == o.m_aidingData && m_pressure == o.m_pressure &&
         m_magneticField == o.m_magneticField && m_rssi == o.m_rssi;
}
