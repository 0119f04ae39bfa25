#pragma once
// Access policy: an entry that is read moves to the front of the sequence (most recently used).
namespace DataCachePolicy {

struct SequenceAccessMovesToFront {
  template <class Storage>
  static void accessed(Storage& storage, typename Storage::Entry& entry) {
    storage.sequenceMoveToFront(entry);
  }
};

}  // namespace DataCachePolicy
