#pragma once
// Insert policy: a new entry goes to the front of the storage's sequence.
namespace DataCachePolicy {

struct SequenceInsertBegin {
  template <class Storage>
  static void link(Storage& storage, typename Storage::Iterator it) {
    storage.sequencePushFront(it);
  }
};

}  // namespace DataCachePolicy
