#pragma once
// The packets of several devices that belong to one sample: deep copies, in insertion order. The
// key of a bundle is the packet id of its first packet.
//
// The packet records are kept when the bundle is cleared, so a recycled bundle copies the next
// packets into storage it already has (no allocation once the messages have grown to size).
#include <cstddef>
#include <cstdint>
#include <vector>

#include "zttypes/ztdatapacket.h"

class DataBundle {
 public:
  DataBundle() = default;
  ~DataBundle();
  DataBundle(const DataBundle&) = delete;
  DataBundle& operator=(const DataBundle&) = delete;

  // Appends a copy of the packet.
  void add(const ZtDataPacket& packet);
  size_t count() const { return m_count; }
  // Null when index is not below count().
  ZtDataPacket* at(size_t index) const { return index < m_count ? m_packets[index] : nullptr; }
  // The first packet with this device id, null when there is none.
  ZtDataPacket* packet(ZtDeviceId id) const;
  // Packet id of the first packet; call only on a bundle holding a packet.
  int64_t key() const { return m_packets[0]->packetId; }
  // Empties the bundle and keeps its packet records for reuse.
  void clear() { m_count = 0; }
  // Takes out the packets of the device (the others keep their order and the key, which every
  // packet of a bundle carries); returns how many went.
  size_t removePacketsOf(ZtDeviceId id);

 private:
  std::vector<ZtDataPacket*> m_packets;  // owned; the first m_count are in use
  size_t m_count = 0;
};
