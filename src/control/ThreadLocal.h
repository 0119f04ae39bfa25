#pragma once
// One value of type T per thread, found by the thread's pthread id. A thread's slot is made on its
// first getData (value-initialised: null for pointers) and lives as long as the ThreadLocal, so
// the reference getData returns stays valid for the owner's life (map nodes never move). A
// thread id reused by a later thread finds the slot its predecessor left.
//
// Threads: the map is guarded by m_lock; the read side is taken for the lookup, the write side
// only to add a slot. The slot's value itself belongs to its thread and is read and written
// without a lock.
#include <pthread.h>

#include <map>

#include "foundation/LockReadWrite.h"
#include "foundation/MutexReadWrite.h"

namespace zelto {

template <typename T>
class ThreadLocal {
 public:
  struct Slot {
    pthread_t thread;
    T value;
  };

  ThreadLocal() = default;
  ThreadLocal(const ThreadLocal&) = delete;
  ThreadLocal& operator=(const ThreadLocal&) = delete;

  // The calling thread's value.
  T& getData() {
    const pthread_t self = pthread_self();
    {
      LockReadWrite read(m_lock, false);
      auto it = m_slots.find(self);
      if (it != m_slots.end()) return it->second.value;
    }
    LockReadWrite write(m_lock, true);
    auto it = m_slots.try_emplace(self, Slot{self, T{}}).first;
    return it->second.value;
  }

 private:
  struct ThreadLess {
    bool operator()(pthread_t a, pthread_t b) const { return a < b; }
  };
  MutexReadWrite m_lock;
  std::map<pthread_t, Slot, ThreadLess> m_slots;  // guarded by m_lock
};

}  // namespace zelto
