#include "foundation/MutexReadWrite.h"

#include <algorithm>

namespace zelto {

MutexReadWrite::MutexReadWrite() { m_readers.reserve(32); }

MutexReadWrite::~MutexReadWrite() = default;

bool MutexReadWrite::holdsReadLocked(pthread_t self) const {
  for (pthread_t t : m_readers)
    if (pthread_equal(t, self)) return true;
  return false;
}

bool MutexReadWrite::otherReaderLocked(pthread_t self) const {
  for (pthread_t t : m_readers)
    if (!pthread_equal(t, self)) return true;
  return false;
}

bool MutexReadWrite::claimMutex(bool write) {
  const pthread_t self = pthread_self();
  std::unique_lock<std::mutex> lk(m_guard);
  if (write) {
    ++m_waitingWriters;
    m_changed.wait(lk, [&] {
      if (m_hasWriter) return pthread_equal(m_writer, self) != 0;
      return !otherReaderLocked(self);
    });
    --m_waitingWriters;
    ++m_writeNesting;
    m_writer = self;
    m_hasWriter = true;
  } else {
    m_changed.wait(lk, [&] {
      if (m_hasWriter) return pthread_equal(m_writer, self) != 0;
      return m_waitingWriters == 0 || holdsReadLocked(self);
    });
    m_readers.push_back(self);
  }
  return true;
}

bool MutexReadWrite::releaseMutex(bool write) {
  const pthread_t self = pthread_self();
  std::lock_guard<std::mutex> lk(m_guard);
  if (write) {
    if (!m_hasWriter || !pthread_equal(m_writer, self)) return false;
    if (--m_writeNesting == 0) {
      m_hasWriter = false;
      m_writer = pthread_t{};
      m_changed.notify_all();
    }
    return true;
  }
  if (m_readers.empty()) return false;
  auto it = std::find_if(m_readers.rbegin(), m_readers.rend(),
                         [&](pthread_t t) { return pthread_equal(t, self) != 0; });
  if (it == m_readers.rend()) return false;
  m_readers.erase(std::next(it).base());
  // A waiting writer may now be alone (or the only remaining reader may upgrade).
  if (m_waitingWriters) m_changed.notify_all();
  return true;
}

unsigned MutexReadWrite::readClaimsOfThisThread() {
  const pthread_t self = pthread_self();
  std::lock_guard<std::mutex> lk(m_guard);
  return static_cast<unsigned>(
      std::count_if(m_readers.begin(), m_readers.end(), [&](pthread_t t) { return pthread_equal(t, self) != 0; }));
}

bool MutexReadWrite::isWriter() {
  std::lock_guard<std::mutex> lk(m_guard);
  return m_hasWriter && pthread_equal(m_writer, pthread_self());
}

unsigned MutexReadWrite::waitingWriters() {
  std::lock_guard<std::mutex> lk(m_guard);
  return m_waitingWriters;
}

}  // namespace zelto
