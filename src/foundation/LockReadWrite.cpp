#include "foundation/LockReadWrite.h"

namespace zelto {

LockReadWrite::LockReadWrite(MutexReadWrite* mutex) : m_mutex(mutex) {}

LockReadWrite::LockReadWrite(MutexReadWrite& mutex, bool write) : m_mutex(&mutex) { lock(write); }

LockReadWrite::~LockReadWrite() { unlock(); }

void LockReadWrite::lock(bool write) {
  const Held wanted = write ? Held::Write : Held::Read;
  if (m_held == wanted) return;
  m_mutex->claimMutex(write);
  if (m_held != Held::None) m_mutex->releaseMutex(m_held == Held::Write);
  m_held = wanted;
}

void LockReadWrite::unlock() {
  if (m_held == Held::None) return;
  m_mutex->releaseMutex(m_held == Held::Write);
  m_held = Held::None;
}

}  // namespace zelto
