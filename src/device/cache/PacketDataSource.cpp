#include "device/cache/PacketDataSource.h"

#include "device/cache/IDataCache.h"
#include "errors/ZtException.h"
#include "transport/link/Communicator.h"

namespace zelto {

PacketDataSource::PacketDataSource(Communicator* link) : m_link(link) {}

PacketDataSource::~PacketDataSource() { m_link = nullptr; }

bool PacketDataSource::validKey(long key) const { return key >= 0; }

// Runs on the asking thread with the cache's lock held; each read hands its message to the
// device, whose packet path inserts into the cache (re-entering its lock) on this thread. The
// loop ends: every read either consumes file bytes or fails (270 at the end of the file).
void PacketDataSource::fetch(long key, IDataCache<long, ZtDataPacket>& cache) {
  if (!validKey(key)) throw ZtException(ZRV_INVALIDPARAM, "Invalid key");
  if (!m_link) throw ZtException(ZRV_UNSUPPORTED, "");  // no link to read: nothing to fetch
  for (;;) {
    const ZtResultValue result = m_link->readSinglePacketFromFile();
    if (result == ZRV_UNEXPECTEDMESSAGE) continue;
    if (result != ZRV_OK) throw ZtException(result, "");
    if (!cache.empty() && key <= cache.highestKey()) return;
  }
}

void PacketDataSource::update(long, const ZtDataPacket&) {}

}  // namespace zelto
