#pragma once
// Insert policy: a new entry goes to the end of the storage's sequence (a map-only storage has
// no sequence beside its key order).
namespace DataCachePolicy {

struct SequenceInsertEnd {
  template <class Storage>
  static void link(Storage& storage, typename Storage::Iterator it) {
    storage.sequencePushBack(it);
  }
};

}  // namespace DataCachePolicy
