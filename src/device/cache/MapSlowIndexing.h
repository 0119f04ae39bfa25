#pragma once
// Indexing policy: the index-th smallest key, found by walking the map from the lowest key.
namespace DataCachePolicy {

struct MapSlowIndexing {
  template <class Storage>
  static typename Storage::Entry* at(Storage& storage, unsigned long index) {
    if (index >= storage.size()) return nullptr;
    auto it = storage.map().begin();
    for (unsigned long i = 0; i < index; ++i) ++it;
    return &*it;
  }
};

}  // namespace DataCachePolicy
