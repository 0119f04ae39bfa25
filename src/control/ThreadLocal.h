#pragma once
// One value of type T per thread, found by the thread's pthread id. A thread's slot is made on its
// first getData (value-initialised: null for pointers) and lives as long as the ThreadLocal, so
// the reference getData returns stays valid for the owner's life (map nodes never move). A
// thread id reused by a later thread finds the slot its predecessor left.
//
// Threads: the map is guarded by m_lock; the read side is taken for the lookup, the write side
// only to add a slot. The slot's value itself belongs to its thread and is read and written
// without a lock. Each thread also remembers its last two slots (per value type) by the owner's
// serial number, never reused, so the common lookup takes no lock; a stale entry of a destroyed
// owner can never match a live one.
#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <utility>

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
    struct Recent {
      uint64_t owner;
      T* slot;
    };
    thread_local Recent recent[2] = {{0, nullptr}, {0, nullptr}};
    if (recent[0].owner == m_serial) return *recent[0].slot;
    if (recent[1].owner == m_serial) {
      std::swap(recent[0], recent[1]);
      return *recent[0].slot;
    }
    T& slot = lookup();
    recent[1] = recent[0];
    recent[0] = Recent{m_serial, &slot};
    return slot;
  }

 private:
  T& lookup() {
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

  struct ThreadLess {
    bool operator()(pthread_t a, pthread_t b) const { return a < b; }
  };
  static inline std::atomic<uint64_t> s_serials{0};
  const uint64_t m_serial = ++s_serials;  // 1 on: 0 marks an empty entry
  MutexReadWrite m_lock;
  std::map<pthread_t, Slot, ThreadLess> m_slots;  // guarded by m_lock
};

}  // namespace zelto
