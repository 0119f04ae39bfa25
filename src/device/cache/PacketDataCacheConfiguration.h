#pragma once
// Which kind of packet cache IPacketDataCache::create makes.
namespace zelto {

struct PacketDataCacheConfiguration {
  bool disableCache = false;  // with fastIndex: a cache that stores nothing
  bool useFifo = false;       // without fastIndex: weak FIFO instead of most recently used
  bool fastIndex = false;     // insertion-order cache with constant-time indexing
};

}  // namespace zelto
