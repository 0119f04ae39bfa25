#include "control/DataBundleQueue.h"

#include <exception>

#include "control/ZtDataBundler.h"
#include "foundation/JournalMacros.h"

namespace {
// Spare bundles kept for reuse; more than a steady backlog needs, few enough to hold no memory
// worth returning after a burst.
constexpr size_t kMaxSpares = 256;
}  // namespace

DataBundleQueue::DataBundleQueue(ZtDataBundler& bundler, const std::list<DataBundlerCallback*>* devices, int type)
    : m_devices(devices), m_type(type), m_bundler(bundler) {
  m_ring.resize(64, nullptr);
  m_mask = m_ring.size() - 1;
  m_spares.reserve(kMaxSpares);
}

DataBundleQueue::~DataBundleQueue() {
  clear();
  for (DataBundle* b : m_spares) delete b;
}

size_t DataBundleQueue::deviceCount() const { return m_devices->size(); }

DataBundle* DataBundleQueue::newBundle() {
  if (m_spares.empty()) return new DataBundle;
  DataBundle* b = m_spares.back();
  m_spares.pop_back();
  return b;
}

void DataBundleQueue::recycle(DataBundle* b) {
  if (b == m_delivering) {
    m_deliveringGone = true;
    return;
  }
  b->clear();
  if (m_spares.size() < kMaxSpares)
    m_spares.push_back(b);
  else
    delete b;
}

void DataBundleQueue::reserveOne() {
  if (m_size < m_ring.size()) return;
  std::vector<DataBundle*> bigger(m_ring.size() * 2, nullptr);
  for (size_t i = 0; i < m_size; ++i) bigger[i] = slot(i);
  m_ring.swap(bigger);
  m_head = 0;
  m_mask = m_ring.size() - 1;
}

void DataBundleQueue::insertAt(size_t index, DataBundle* b) {
  // The caller made room. Bundles from index on move one place back (from the back end, where
  // new samples land, so the move is short).
  for (size_t i = m_size; i > index; --i) slot(i) = slot(i - 1);
  slot(index) = b;
  ++m_size;
}

void DataBundleQueue::noteInserted(ZtDeviceId id, int64_t packetId) {
  for (Newest& n : m_newest) {
    if (n.device != id) continue;
    if (!n.present || packetId > n.packetId) n = Newest{id, packetId, true};
    return;
  }
  m_newest.push_back(Newest{id, packetId, true});
}

bool DataBundleQueue::lastPacketIdOf(ZtDeviceId id, int64_t& packetId) const {
  for (const Newest& n : m_newest) {
    if (n.device != id) continue;
    if (n.present) packetId = n.packetId;
    return n.present;
  }
  return false;
}

void DataBundleQueue::removeFront() {
  DataBundle* b = slot(0);
  m_lastRemovedId = b->key();
  // Every packet of a bundle carries its key.
  for (size_t i = 0; i < b->count(); ++i) {
    const ZtDeviceId id = b->at(i)->deviceId;
    for (Newest& n : m_newest)
      if (n.device == id && n.present && n.packetId == m_lastRemovedId) n.present = false;
  }
  slot(0) = nullptr;
  m_head = (m_head + 1) & m_mask;
  --m_size;
  recycle(b);
}

long DataBundleQueue::insert(const ZtDataPacket& packet) {
  const int64_t key = packet.packetId;
  if (m_size > 0 && key < slot(0)->key()) {
    JLOG_ALERT("Queue " << static_cast<const void*>(this) << " Can't insert " << key << " before first bundle "
                        << slot(0)->key());
    return -1;
  }
  // Keys ascend strictly and the key is not below the front's: the place is found by bisection
  // (a device that lags far behind the others must not walk the backlog), after a look at the
  // back, where new samples land.
  size_t pos = m_size;
  if (pos > 0 && slot(pos - 1)->key() >= key) {
    size_t lo = 0, hi = m_size;  // first bundle whose key is not below the packet's
    while (lo < hi) {
      const size_t mid = lo + (hi - lo) / 2;
      if (slot(mid)->key() < key)
        lo = mid + 1;
      else
        hi = mid;
    }
    pos = lo;
  }
  if (pos < m_size && slot(pos)->key() == key) {
    slot(pos)->add(packet);
    noteInserted(packet.deviceId, key);
    return static_cast<long>(pos);
  }
  reserveOne();
  DataBundle* b = newBundle();
  try {
    b->add(packet);
  } catch (...) {
    recycle(b);
    throw;
  }
  insertAt(pos, b);
  noteInserted(packet.deviceId, key);
  return static_cast<long>(pos);
}

void DataBundleQueue::dropBeforeComplete(long touched) {
  size_t complete = m_size;
  if (touched >= 0) {
    if (static_cast<size_t>(touched) < m_size && isComplete(*slot(static_cast<size_t>(touched))))
      complete = static_cast<size_t>(touched);
  } else {
    for (size_t i = 0; i < m_size; ++i) {
      if (isComplete(*slot(i))) {
        complete = i;
        break;
      }
    }
  }
  if (complete < m_size) {
    for (size_t i = 0; i < complete; ++i) removeFront();
  }
  if (m_type == 0) {
    while (m_size > kMaxRealTimeBundles) {
      JLOG_ALERT("Queue " << static_cast<const void*>(this) << " holds more than " << kMaxRealTimeBundles
                          << " bundles, dropping incomplete bundle " << slot(0)->key());
      removeFront();
    }
  }
}

void DataBundleQueue::execCallbackIfNeeded() {
  if (m_delivering) return;  // a handler fed the bundler: the running loop goes on after it
  while (m_size > 0) {
    DataBundle* b = slot(0);
    if (!isComplete(*b)) return;
    DataBundle*& current = currentBundle();
    DataBundle* const previous = current;
    current = b;
    m_delivering = b;
    m_deliveringGone = false;
    try {
      if (m_type == 0)
        m_bundler.onDataAvailable(nullptr, nullptr);
      else if (m_type == 1)
        (void)m_bundler.onWriteDataToLogFile(nullptr, nullptr);
      else
        JLOG_ERROR("Unknown bundle type " << m_type);
    } catch (...) {
      JLOG_ALERT("Error during callback");
    }
    current = previous;
    m_delivering = nullptr;
    if (m_deliveringGone) {
      // Cleared or dropped by the handler: out of the ring already.
      m_deliveringGone = false;
      recycle(b);
    } else {
      removeFront();
    }
  }
}

void DataBundleQueue::removePacketsOf(ZtDeviceId id) {
  size_t kept = 0;
  for (size_t i = 0; i < m_size; ++i) {
    DataBundle* b = slot(i);
    if (b != m_delivering) b->removePacketsOf(id);
    if (b->count() == 0) {
      recycle(b);
      continue;
    }
    slot(kept++) = b;
  }
  for (size_t i = kept; i < m_size; ++i) slot(i) = nullptr;
  m_size = kept;
  for (Newest& n : m_newest)
    if (n.device == id) n.present = false;
}

void DataBundleQueue::clear() {
  while (m_size > 0) removeFront();
  m_head = 0;
  m_lastRemovedId = -1;
  m_newest.clear();
}
