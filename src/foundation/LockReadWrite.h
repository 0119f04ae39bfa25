#pragma once
// Scope claim of a zelto::MutexReadWrite. The destructor releases whatever side is held.
#include "foundation/MutexReadWrite.h"

namespace zelto {

class LockReadWrite {
 public:
  // Holds nothing until lock() is called.
  explicit LockReadWrite(MutexReadWrite* mutex);
  // Claims the given side at once.
  LockReadWrite(MutexReadWrite& mutex, bool write);
  ~LockReadWrite();
  LockReadWrite(const LockReadWrite&) = delete;
  LockReadWrite& operator=(const LockReadWrite&) = delete;

  // Takes the write side when write is true, else the read side, and remembers which.
  // Switching sides claims the new side before releasing the old one (so a read claim becomes
  // a write claim without a window in which another writer could slip in).
  void lock(bool write);
  void unlock();
  bool isLocked() const { return m_held != Held::None; }
  bool isWriting() const { return m_held == Held::Write; }

 private:
  enum class Held { None, Read, Write };
  MutexReadWrite* m_mutex;
  Held m_held = Held::None;
};

}  // namespace zelto
