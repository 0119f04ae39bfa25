#include "control/DataBundle.h"

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

ZtDataPacket* DataBundle::packet(ZtDeviceId id) const {
  for (size_t i = 0; i < m_count; ++i)
    if (m_packets[i]->deviceId == id) return m_packets[i];
  return nullptr;
}
