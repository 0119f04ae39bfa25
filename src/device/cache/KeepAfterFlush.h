#pragma once
// After-flush policy: entries always stay after a write-back; the flag cannot be switched.
namespace DataCachePolicy {

class KeepAfterFlush {
 public:
  static constexpr bool kConfigurable = false;
  bool discardFlag() const { return false; }
  void setDiscardFlag(bool) {}
};

}  // namespace DataCachePolicy
