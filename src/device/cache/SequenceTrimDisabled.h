#pragma once
// Trim policy: the cache never drops entries because of its maximum size.
namespace DataCachePolicy {

struct SequenceTrimDisabled {
  static constexpr bool kTrims = false;
  template <class Storage>
  static typename Storage::Iterator victim(Storage& storage) {
    return storage.end();
  }
};

}  // namespace DataCachePolicy
