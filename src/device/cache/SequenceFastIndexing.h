#pragma once
// Indexing policy: position index of the storage's insertion vector, in constant time.
namespace DataCachePolicy {

struct SequenceFastIndexing {
  template <class Storage>
  static typename Storage::Entry* at(Storage& storage, unsigned long index) {
    return storage.sequenceAt(index);
  }
};

}  // namespace DataCachePolicy
