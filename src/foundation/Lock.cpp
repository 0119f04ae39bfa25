#include "foundation/Lock.h"

namespace zelto {

Lock::Lock(Mutex* mutex) : m_mutex(mutex), m_locked(true) { m_mutex->lock(); }

Lock::~Lock() {
  if (m_locked) {
    m_locked = false;
    m_mutex->unlock();
  }
}

void Lock::lock() {
  if (!m_locked) {
    m_mutex->lock();
    m_locked = true;
  }
}

void Lock::unlock() {
  if (m_locked) {
    m_locked = false;
    m_mutex->unlock();
  }
}

}  // namespace zelto
