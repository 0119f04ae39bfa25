#pragma once
// Access policy: reads change nothing.
namespace DataCachePolicy {

struct SequenceDefaultAccessBehaviour {
  template <class Storage>
  static void accessed(Storage&, typename Storage::Entry&) {}
};

}  // namespace DataCachePolicy
