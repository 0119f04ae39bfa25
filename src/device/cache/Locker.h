#pragma once
// Scope claim of a locking policy: held from construction to destruction.
namespace DataCachePolicy {

template <class Locking>
class Locker {
 public:
  explicit Locker(const Locking& locking) : m_locking(locking) { m_locking.lock(); }
  ~Locker() { m_locking.unlock(); }
  Locker(const Locker&) = delete;
  Locker& operator=(const Locker&) = delete;

 private:
  const Locking& m_locking;
};

}  // namespace DataCachePolicy
