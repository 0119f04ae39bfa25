#pragma once
// Fetch policy: a miss asks the data source to fetch the key into this cache; whatever the fetch
// throws is dropped (the caller reports the miss itself). Afterwards the storage decides which
// entry counts as fetched.
#include "device/cache/IDataCache.h"
#include "device/cache/IDataSource.h"

namespace DataCachePolicy {

struct DefaultFetchBehaviour {
  template <class K, class V>
  static void fetch(IDataSource<K, V>* source, K key, IDataCache<K, V>& cache) {
    if (!source) return;
    try {
      source->fetch(key, cache);
    } catch (...) {
    }
  }

  template <class Storage, class K>
  static typename Storage::Entry* findAfterFetch(Storage& storage, K key) {
    return storage.findAfterFetch(key);
  }
};

}  // namespace DataCachePolicy
