#pragma once
// Flushing policy: when modified entries are written back to the data source. The flags are
// atomic because their accessors run without the cache's lock.
#include <atomic>

namespace DataCachePolicy {

class ConfigurableFlushing {
 public:
  // flush() writes modified entries back.
  bool writeOnFlush() const { return m_writeOnFlush.load(std::memory_order_relaxed); }
  void setWriteOnFlush(bool on) { m_writeOnFlush.store(on, std::memory_order_relaxed); }
  // insert writes a modified entry back at once.
  bool writeImmediatelyFlag() const { return m_writeImmediately.load(std::memory_order_relaxed); }
  void setWriteImmediatelyFlag(bool on) { m_writeImmediately.store(on, std::memory_order_relaxed); }
  // Entries dropped because the cache is full are written back first.
  bool writeOnTrim() const { return m_writeOnTrim.load(std::memory_order_relaxed); }
  void setWriteOnTrim(bool on) { m_writeOnTrim.store(on, std::memory_order_relaxed); }
  // remove and take write a modified entry back before dropping it.
  bool writeOnRemove() const { return m_writeOnRemove.load(std::memory_order_relaxed); }
  void setWriteOnRemove(bool on) { m_writeOnRemove.store(on, std::memory_order_relaxed); }

 private:
  std::atomic<bool> m_writeOnFlush{true};
  std::atomic<bool> m_writeImmediately{false};
  std::atomic<bool> m_writeOnTrim{true};
  std::atomic<bool> m_writeOnRemove{false};
};

}  // namespace DataCachePolicy
