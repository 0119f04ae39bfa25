#pragma once
// Scope claim of a zelto::Mutex: claimed by the constructor, released by the destructor when
// still held; unlock()/lock() release and reclaim it early.
#include "foundation/Mutex.h"

namespace zelto {

class Lock {
 public:
  explicit Lock(Mutex* mutex);
  explicit Lock(Mutex& mutex) : Lock(&mutex) {}
  ~Lock();
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;

  void lock();
  void unlock();
  bool isLocked() const { return m_locked; }

 private:
  Mutex* m_mutex;
  bool m_locked;
};

}  // namespace zelto
