#pragma once
// Trim policy: a full cache drops the entry at the back of its sequence (least recently used).
namespace DataCachePolicy {

struct SequenceTrimFromEnd {
  static constexpr bool kTrims = true;
  template <class Storage>
  static typename Storage::Iterator victim(Storage& storage) {
    return storage.sequenceBack();
  }
};

}  // namespace DataCachePolicy
