#pragma once
// Counting semaphore over one unnamed POSIX semaphore (process-shared). The only blocking wait
// with a time-out in the threading layer; reply objects wait on it.
#include <semaphore.h>

namespace zelto {

class Semaphore {
 public:
  static constexpr unsigned kInfinite = 0xFFFFFFFFu;

  // The last two arguments are accepted for source compatibility and have no effect.
  explicit Semaphore(int initialCount = 0, unsigned unused = 0, sem_t* unusedSemaphore = nullptr);
  ~Semaphore();
  Semaphore(const Semaphore&) = delete;
  Semaphore& operator=(const Semaphore&) = delete;

  // Waits without limit for one unit; false when the system wait failed.
  bool wait1();
  // Waits at most timeoutMs for one unit (kInfinite: without limit). 0 only takes a unit that
  // is already available.
  bool wait1(unsigned timeoutMs);
  // Takes n units one after the other without limit; true at once for n < 1.
  bool wait(int n);
  // Releases n units (none for n < 1); returns the count read before posting.
  int post(int n = 1);
  // Units currently available.
  int count();

 private:
  sem_t m_sem;
};

}  // namespace zelto
