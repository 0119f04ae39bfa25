#pragma once
// Storage policy: the entry map plus the insertion sequence, a vector of the entries in insertion
// order (map nodes never move, so the pointers stay valid). Entries are never removed one by one;
// only clear() empties it.
#include <vector>

#include "device/cache/DataCacheValue.h"
#include "device/cache/MapStorageImpl.h"

namespace DataCachePolicy {

template <class K, class V>
class MapAndVectorStorage : public MapStorageImpl<K, V, DataCacheValue<V>> {
  using Base = MapStorageImpl<K, V, DataCacheValue<V>>;

 public:
  using typename Base::Entry;
  using typename Base::Iterator;
  static constexpr bool kCanRemove = false;

  void sequencePushFront(Iterator it) { m_vector.insert(m_vector.begin(), &*it); }
  void sequencePushBack(Iterator it) { m_vector.push_back(&*it); }
  void sequenceMoveToFront(Entry&) {}
  void clear() {
    m_vector.clear();
    this->clearMap();
  }

  // The entry a fetch inserted: only the last one inserted, and only under the key.
  Entry* findAfterFetch(K key) {
    if (m_vector.empty() || m_vector.back()->first != key) return nullptr;
    return m_vector.back();
  }
  // Position index of the insertion order in constant time, null past the end.
  Entry* sequenceAt(unsigned long index) { return index < m_vector.size() ? m_vector[index] : nullptr; }

  // visit's result is ignored: entries stay.
  template <class F>
  void visitSequence(F&& visit) {
    for (size_t i = 0; i < m_vector.size(); ++i) visit(*m_vector[i]);
  }

 private:
  std::vector<Entry*> m_vector;
};

}  // namespace DataCachePolicy
