#pragma once
// An entry of the linked-list storage: the value and the entry's own position in the recency
// list, so that it leaves or moves in the list without a search.
#include <list>

#include "device/cache/DataCacheValue.h"

namespace DataCachePolicy {

template <class K, class V>
struct LinkedListNode : DataCacheValue<V> {
  LinkedListNode(const V& value, bool modified) : DataCacheValue<V>(value, modified) {}
  typename std::list<K>::iterator position;
};

}  // namespace DataCachePolicy
