#pragma once
// Indexing policy: position index of the storage's linked sequence, found by walking it.
namespace DataCachePolicy {

struct SequenceSlowIndexing {
  template <class Storage>
  static typename Storage::Entry* at(Storage& storage, unsigned long index) {
    return storage.sequenceAt(index);
  }
};

}  // namespace DataCachePolicy
