#pragma once
// After-flush policy: whether an entry written back by flush() or by an immediate write is then
// dropped; switchable, off at first.
#include <atomic>

namespace DataCachePolicy {

class ConfigurableDiscardAfterFlush {
 public:
  static constexpr bool kConfigurable = true;
  bool discardFlag() const { return m_discard.load(std::memory_order_relaxed); }
  void setDiscardFlag(bool on) { m_discard.store(on, std::memory_order_relaxed); }

 private:
  std::atomic<bool> m_discard{false};
};

}  // namespace DataCachePolicy
