#pragma once
// A cache entry: a copy of the value and whether it still has to be written back to the
// cache's data source.
#include "device/cache/DataCacheValueTraits.h"

namespace DataCachePolicy {

template <class V>
struct DataCacheValue {
  DataCacheValue(const V& source, bool isModified) : modified(isModified) {
    DataCacheValueTraits<V>::constructCopy(&value, source);
  }
  ~DataCacheValue() { DataCacheValueTraits<V>::destroy(value); }
  DataCacheValue(const DataCacheValue&) = delete;
  DataCacheValue& operator=(const DataCacheValue&) = delete;

  // Replaces the value by a copy of source (reusing the value's storage where it can).
  void assign(const V& source) { DataCacheValueTraits<V>::assign(value, source); }

  union {
    V value;
  };
  bool modified;
};

}  // namespace DataCachePolicy
