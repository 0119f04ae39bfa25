#pragma once
// One worker of a zelto::ThreadPool. Runs records until the queue is empty, then waits on the
// pool's wake-up condition (without a time-out unless it keeps the time of a paused task).
#include <atomic>
#include <chrono>
#include <cstdint>

#include "foundation/StandardThread.h"

namespace zelto {

class ThreadPool;
struct PooledTask;

class PooledThread : public StandardThread {
 public:
  explicit PooledThread(ThreadPool* pool);
  ~PooledThread() override;

  // No current record (a snapshot unless read under the pool lock).
  bool isIdle() const { return m_current.load(std::memory_order_relaxed) == nullptr; }
  bool isBusy() const { return !isIdle(); }
  uint32_t executedCount() const { return m_executed.load(std::memory_order_relaxed); }
  uint32_t completedCount() const { return m_completed.load(std::memory_order_relaxed); }
  uint32_t failedCount() const { return m_failed.load(std::memory_order_relaxed); }

 protected:
  int innerFunction() override;

 private:
  friend class ThreadPool;

  ThreadPool* m_pool;
  // Written under the pool lock; atomic only so isIdle() may peek without it.
  std::atomic<PooledTask*> m_current{nullptr};
  // Guarded by the pool lock: the run-next list (records this worker runs after the current one,
  // in order, ahead of the ready queue; linked through nextQueued), since when it has not been
  // empty, the worker's own pool calls since it last looked at the time (see
  // ThreadPool::dueForCheckLocked), and whether the current record came from the list (its
  // released followers then join it).
  PooledTask* m_heldHead = nullptr;
  PooledTask* m_heldTail = nullptr;
  std::chrono::steady_clock::time_point m_heldSince{};
  unsigned m_uncheckedCalls = 0;
  bool m_runningHeld = false;
  // The idle worker's wake-up flag: cleared under the pool lock when the worker goes idle, set
  // under the pool lock by whoever chooses it, and waited on (a futex) with the pool lock
  // released, so the woken worker takes the pool lock as an ordinary, uncontended claim.
  std::atomic<uint32_t> m_signalled{0};
  // Wake-ups chosen under the pool lock whose notify, made after it, is still to come.
  std::atomic<unsigned> m_wakesInFlight{0};
  std::atomic<uint32_t> m_executed{0};
  std::atomic<uint32_t> m_completed{0};
  std::atomic<uint32_t> m_failed{0};
};

}  // namespace zelto
