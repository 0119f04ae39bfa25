#pragma once
// A device's packet cache: packets keyed by packet id, plus the device id and the layout record
// of the device's legacy data packets.
#include "device/cache/IDataCache.h"
#include "device/cache/IPacketDataSource.h"
#include "device/cache/PacketDataCacheConfiguration.h"
#include "transport/legacy/PacketFixedData.h"
#include "zttypes/ztdatapacket.h"
#include "zttypes/ztdeviceid.h"

namespace zelto {

class IPacketDataCache : public virtual IDataCache<long, ZtDataPacket> {
 public:
  ~IPacketDataCache() override = default;

  virtual ZtDeviceId deviceId() const = 0;
  virtual void setDeviceId(ZtDeviceId id) = 0;
  // The held layout record, null when none; owned by the cache.
  virtual PacketFixedData* packetFixedData() const = 0;
  // Keeps a copy of data (not null; the caller keeps its own) in place of the held record.
  virtual void setPacketFixedData(PacketFixedData* data) = 0;

  // A new cache owned by the caller (delete through this interface):
  //  - fastIndex false: a weak FIFO (useFifo) or most-recently-used cache with the source, the
  //    maximum size and discard-after-write on;
  //  - fastIndex true: a disabled cache (disableCache; source and size ignored) or a fast-index
  //    cache with the source and the maximum size, discard-after-write off.
  // Device id 0, no layout record.
  static IPacketDataCache* create(IPacketDataSource* source, const PacketDataCacheConfiguration& configuration,
                                  unsigned long maxSize);
};

}  // namespace zelto
