#include "device/cache/IPacketDataCache.h"

#include "device/cache/DataCache.h"
#include "device/cache/DisabledDataCache.h"
#include "device/cache/FastIndexDataCache.h"
#include "device/cache/PacketDataCache.h"
#include "device/cache/WeakFifoDataCache.h"

namespace zelto {

namespace {

using Flushing = DataCachePolicy::ConfigurableFlushing;
using Discard = DataCachePolicy::ConfigurableDiscardAfterFlush;

}  // namespace

IPacketDataCache* IPacketDataCache::create(IPacketDataSource* source, const PacketDataCacheConfiguration& configuration,
                                           unsigned long maxSize) {
  IPacketDataCache* cache;
  if (!configuration.fastIndex) {
    if (configuration.useFifo)
      cache = new PacketDataCache<WeakFifoDataCache<long, ZtDataPacket, Flushing, Discard>>;
    else
      cache = new PacketDataCache<DataCache<long, ZtDataPacket, Flushing, Discard>>;
    cache->setDataSource(source);
    cache->setMaxSize(maxSize);
    cache->setDiscardAfterWrite(true);
  } else if (configuration.disableCache) {
    cache = new PacketDataCache<DisabledDataCache<long, ZtDataPacket>>;
  } else {
    cache = new PacketDataCache<FastIndexDataCache<long, ZtDataPacket, Flushing>>;
    cache->setDataSource(source);
    cache->setMaxSize(maxSize);
  }
  return cache;
}

}  // namespace zelto
