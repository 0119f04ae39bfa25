#pragma once
// How many packets of a wireless recording each device still has to flush to the host, and the
// largest total seen since the last clear, so that progress is reported as a count down from
// that total. Not synchronised: the owner serialises access (the station's indications arrive
// on one parse thread at a time).
#include <cstddef>
#include <cstdint>
#include <vector>

#include "zttypes/ztdeviceid.h"

class FlushingIndication {
 public:
  // Sets the device's count (appending the device when absent), then raises the maximum total
  // to the current total when that is larger.
  void addOrUpdate(ZtDeviceId deviceId, int32_t count);
  // Index of the device's entry, -1 when absent.
  int32_t find(ZtDeviceId deviceId) const;
  // Removes the entry at index, keeping the order of the rest; the maximum total stays. False
  // for an index outside the record.
  bool removeAt(int32_t index);
  size_t size() const { return m_deviceIds.size(); }
  void clear();
  int32_t totalPacketCount() const;
  int32_t maxTotalPacketCount() const { return m_maxTotal; }

 private:
  std::vector<ZtDeviceId> m_deviceIds;
  std::vector<int32_t> m_counts;  // parallel to m_deviceIds
  int32_t m_maxTotal = 0;
};
