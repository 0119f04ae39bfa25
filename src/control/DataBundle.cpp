#include "control/DataBundle.h"

#include <utility>

DataBundle::~DataBundle() {
  for (ZtDataPacket* p : m_packets) {
    ZtDataPacket_destruct(p);
    delete p;
  }
}

void DataBundle::add(const ZtDataPacket& packet) {
  if (m_count == m_packets.size()) {
    ZtDataPacket* p = new ZtDataPacket;
    ZtDataPacket_construct(p);
    try {
      m_packets.push_back(p);
    } catch (...) {
      ZtDataPacket_destruct(p);
      delete p;
      throw;
    }
  }
  ZtDataPacket_copy(m_packets[m_count], &packet);
  ++m_count;
}

size_t DataBundle::removePacketsOf(ZtDeviceId id) {
  size_t kept = 0;
  for (size_t i = 0; i < m_count; ++i)
    if (m_packets[i]->deviceId != id) std::swap(m_packets[kept++], m_packets[i]);
  const size_t removed = m_count - kept;
  m_count = kept;  // the records taken out stay behind for reuse
  return removed;
}

ZtDataPacket* DataBundle::packet(ZtDeviceId id) const {
  for (size_t i = 0; i < m_count; ++i)
    if (m_packets[i]->deviceId == id) return m_packets[i];
  return nullptr;
}
