#pragma once
// Recursive mutex over a POSIX mutex. Use zelto::Lock for scoped claims.
#include <pthread.h>

namespace zelto {

class Mutex {
 public:
  Mutex();
  ~Mutex();
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock();
  void unlock();
  // True when the mutex was claimed without waiting.
  bool tryLock();
  pthread_mutex_t* nativeHandle() { return &m_mutex; }

 private:
  pthread_mutex_t m_mutex;
  pthread_mutexattr_t m_attr;
};

}  // namespace zelto
