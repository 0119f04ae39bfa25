#pragma once
// Trim policy: a full cache drops its lowest key.
namespace DataCachePolicy {

struct MapTrimFromBegin {
  static constexpr bool kTrims = true;
  template <class Storage>
  static typename Storage::Iterator victim(Storage& storage) {
    return storage.map().begin();
  }
};

}  // namespace DataCachePolicy
