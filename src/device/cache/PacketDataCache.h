#pragma once
// A packet cache of one kind (DataCache, WeakFifoDataCache, FastIndexDataCache or
// DisabledDataCache over long -> ZtDataPacket) with the device id and the device's legacy packet
// layout record. The id and the record pointer are atomic: devices read them from their
// processing threads. A record handed out stays valid until the next setPacketFixedData or the
// cache's end.
#include <atomic>

#include "device/cache/IPacketDataCache.h"
#include "errors/ZtException.h"

namespace zelto {

template <class Cache>
class PacketDataCache : public Cache, public virtual IPacketDataCache {
 public:
  PacketDataCache() = default;
  PacketDataCache(const PacketDataCache&) = delete;
  PacketDataCache& operator=(const PacketDataCache&) = delete;
  ~PacketDataCache() override { delete m_fixedData.load(); }

  ZtDeviceId deviceId() const override { return m_deviceId.load(std::memory_order_relaxed); }
  void setDeviceId(ZtDeviceId id) override { m_deviceId.store(id, std::memory_order_relaxed); }
  PacketFixedData* packetFixedData() const override { return m_fixedData.load(std::memory_order_acquire); }
  // Throws ZtException 33 for a null record (nothing changes).
  void setPacketFixedData(PacketFixedData* data) override {
    if (!data) throw ZtException(ZRV_INVALIDPARAM, "No packet layout record");
    PacketFixedData* copy = new PacketFixedData(*data);
    delete m_fixedData.exchange(copy, std::memory_order_acq_rel);
  }

 private:
  std::atomic<ZtDeviceId> m_deviceId{0};
  std::atomic<PacketFixedData*> m_fixedData{nullptr};
};

}  // namespace zelto
