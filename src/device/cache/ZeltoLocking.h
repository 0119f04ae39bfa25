#pragma once
// Locking policy: one recursive zelto::Mutex per cache. Recursive because operations call other
// operations of the same cache, and a data source's fetch inserts into the asking cache on the
// same thread.
#include "foundation/Mutex.h"

namespace DataCachePolicy {

class ZeltoLocking {
 public:
  void lock() const { m_mutex.lock(); }
  void unlock() const { m_mutex.unlock(); }

 private:
  mutable zelto::Mutex m_mutex;
};

}  // namespace DataCachePolicy
