#pragma once
// Recursive read/write lock.
//  - Both sides nest per thread; a thread may read while it writes.
//  - Waiting writers go before new readers, except that a thread already holding a read claim
//    may read again (so nested reads never wait behind a waiting writer).
//  - The only reader may take the write side; two readers that both try to upgrade wait for
//    each other forever, so never upgrade while another thread can hold a read claim.
// Use zelto::LockReadWrite for scoped claims.
#include <pthread.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

namespace zelto {

class MutexReadWrite {
 public:
  MutexReadWrite();
  ~MutexReadWrite();
  MutexReadWrite(const MutexReadWrite&) = delete;
  MutexReadWrite& operator=(const MutexReadWrite&) = delete;

  // Waits until the claim succeeds; always true.
  bool claimMutex(bool write);
  // Write side: false when the caller is not the writer. Read side: false when the caller
  // holds no read claim.
  bool releaseMutex(bool write);

  // Read claims the calling thread holds.
  unsigned readClaimsOfThisThread();
  bool isWriter();
  // Threads currently waiting for the write side.
  unsigned waitingWriters();

 private:
  bool holdsReadLocked(pthread_t self) const;
  bool otherReaderLocked(pthread_t self) const;

  // m_guard protects every field below; it is held only while they are examined or changed,
  // never while a claim is held.
  std::mutex m_guard;
  std::condition_variable m_changed;
  uint64_t m_writeNesting = 0;
  pthread_t m_writer{};
  bool m_hasWriter = false;
  unsigned m_waitingWriters = 0;
  // One entry per read claim held (a thread appears once per nesting level); grows on demand.
  std::vector<pthread_t> m_readers;
};

}  // namespace zelto
