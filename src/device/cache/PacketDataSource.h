#pragma once
// The backing store of the device caches on one link: during log-file playback a miss reads the
// file forward (Communicator::readSinglePacketFromFile) until the cache holds the key or a higher
// one; the packets themselves are inserted by the device's packet path on the same thread. Keys
// are packet ids, valid from 0. Written-back entries are dropped.
//
// Owned by its Communicator, which it reads through (not owned).
#include "device/cache/IPacketDataSource.h"

class Communicator;

namespace zelto {

class PacketDataSource : public IPacketDataSource {
 public:
  explicit PacketDataSource(Communicator* link);
  ~PacketDataSource() override;

  bool validKey(long key) const override;
  // Throws ZtException: 33 "Invalid key" for a negative key, or the read result of the link
  // (anything but 0 and 286, e.g. 270 at the end of the file, 265 on a port link); 265 without
  // a link.
  void fetch(long key, IDataCache<long, ZtDataPacket>& cache) override;
  void update(long key, const ZtDataPacket& packet) override;

 private:
  Communicator* m_link;
};

}  // namespace zelto
