#include "foundation/Semaphore.h"

#include <cerrno>
#include <ctime>

namespace zelto {

Semaphore::Semaphore(int initialCount, unsigned, sem_t*) {
  sem_init(&m_sem, 1, initialCount < 0 ? 0u : static_cast<unsigned>(initialCount));
}

Semaphore::~Semaphore() { sem_destroy(&m_sem); }

bool Semaphore::wait1() {
  // A signal handler interrupting the wait is not a failure of the wait.
  for (;;) {
    if (sem_wait(&m_sem) == 0) return true;
    if (errno != EINTR) return false;
  }
}

bool Semaphore::wait1(unsigned timeoutMs) {
  if (timeoutMs == kInfinite) return wait1();
  if (timeoutMs == 0) return sem_trywait(&m_sem) == 0;
  // sem_timedwait takes a CLOCK_REALTIME deadline.
  timespec deadline{};
  clock_gettime(CLOCK_REALTIME, &deadline);
  deadline.tv_sec += timeoutMs / 1000;
  deadline.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  for (;;) {
    if (sem_timedwait(&m_sem, &deadline) == 0) return true;
    if (errno != EINTR) return false;
  }
}

bool Semaphore::wait(int n) {
  for (int i = 0; i < n; ++i)
    if (!wait1()) return false;
  return true;
}

int Semaphore::post(int n) {
  int before = count();
  for (int i = 0; i < n; ++i) sem_post(&m_sem);
  return before;
}

int Semaphore::count() {
  int value = 0;
  sem_getvalue(&m_sem, &value);
  return value;
}

}  // namespace zelto
