#include "otherdevices/wireless/FlushingIndication.h"

void FlushingIndication::addOrUpdate(ZtDeviceId deviceId, int32_t count) {
  const int32_t index = find(deviceId);
  if (index >= 0) {
    m_counts[static_cast<size_t>(index)] = count;
  } else {
    m_deviceIds.push_back(deviceId);
    m_counts.push_back(count);
  }
  const int32_t total = totalPacketCount();
  if (total > m_maxTotal) m_maxTotal = total;
}

int32_t FlushingIndication::find(ZtDeviceId deviceId) const {
  for (size_t i = 0; i < m_deviceIds.size(); ++i)
    if (m_deviceIds[i] == deviceId) return static_cast<int32_t>(i);
  return -1;
}

bool FlushingIndication::removeAt(int32_t index) {
  if (index < 0 || static_cast<size_t>(index) >= m_deviceIds.size()) return false;
  m_deviceIds.erase(m_deviceIds.begin() + index);
  m_counts.erase(m_counts.begin() + index);
  return true;
}

void FlushingIndication::clear() {
  m_deviceIds.clear();
  m_counts.clear();
  m_maxTotal = 0;
}

int32_t FlushingIndication::totalPacketCount() const {
  // Counts come from 16-bit fields, so the sum of any realistic number of devices fits.
  int64_t total = 0;
  for (int32_t c : m_counts) total += c;
  return static_cast<int32_t>(total);
}
