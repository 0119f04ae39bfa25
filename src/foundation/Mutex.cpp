#include "foundation/Mutex.h"

namespace zelto {

Mutex::Mutex() {
  pthread_mutexattr_init(&m_attr);
  pthread_mutexattr_settype(&m_attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(&m_mutex, &m_attr);
}

Mutex::~Mutex() {
  pthread_mutex_destroy(&m_mutex);
  pthread_mutexattr_destroy(&m_attr);
}

void Mutex::lock() { pthread_mutex_lock(&m_mutex); }

void Mutex::unlock() { pthread_mutex_unlock(&m_mutex); }

bool Mutex::tryLock() { return pthread_mutex_trylock(&m_mutex) == 0; }

}  // namespace zelto
