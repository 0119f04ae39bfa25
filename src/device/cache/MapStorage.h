#pragma once
// Storage policy: the entry map alone; its sequence is the key order.
#include <iterator>

#include "device/cache/DataCacheValue.h"
#include "device/cache/MapStorageImpl.h"

namespace DataCachePolicy {

template <class K, class V>
class MapStorage : public MapStorageImpl<K, V, DataCacheValue<V>> {
  using Base = MapStorageImpl<K, V, DataCacheValue<V>>;

 public:
  using typename Base::Entry;
  using typename Base::Iterator;
  static constexpr bool kCanRemove = true;

  void sequencePushFront(Iterator) {}
  void sequencePushBack(Iterator) {}
  void sequenceMoveToFront(Entry&) {}
  void erase(Iterator it) { this->eraseFromMap(it); }
  void clear() { this->clearMap(); }

  // The entry a fetch inserted: any entry under the key.
  Entry* findAfterFetch(K key) {
    auto it = this->find(key);
    return it == this->end() ? nullptr : &*it;
  }
  // Calls visit(entry) for every entry in sequence order; when it returns true the entry is
  // erased. visit may throw: the entries visited so far keep what visit did to them.
  template <class F>
  void visitSequence(F&& visit) {
    for (auto it = this->map().begin(); it != this->map().end();) {
      auto next = std::next(it);
      if (visit(*it)) erase(it);
      it = next;
    }
  }
};

}  // namespace DataCachePolicy
