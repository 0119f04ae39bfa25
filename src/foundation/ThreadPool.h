#pragma once
// The process-wide task pool. Callers hand it a task and get a task id; a task chained behind
// another id starts only after that task has ended (finished or failed), which is how per-port
// and per-device work stays in order while different ports and devices run in parallel.
//
// Ids run 1 .. 2^32-1 and wrap to 1; an id still in the pool is never handed out twice.
// Idle workers wait on a condition (woken at once by new work) and look again at least every
// millisecond.
//
// Thread context: every public call may be made from any thread, including pool tasks, except
// that a task must not wait (waitForCompletion, suspend(true)) for work that can only run after
// itself, and must not destroy the pool.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "foundation/PooledTask.h"
#include "foundation/PooledThread.h"
#include "foundation/ThreadPoolTask.h"

namespace zelto {

// Processors currently online (at least 1).
unsigned processorCount();

class ThreadPool {
 public:
  // size 0 = processorCount(). Throws ZtException (256) when a worker cannot be started.
  explicit ThreadPool(unsigned size = 0);
  // Waits for the running tasks, stops the workers and deletes the tasks that never ran.
  virtual ~ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  // The process-wide pool, created on first use (one worker per online processor).
  static ThreadPool* instance();
  // Deletes the process-wide pool when the library owns it.
  static void destroy();
  // Installs pool as the process-wide pool (the caller keeps ownership of a non-null pool);
  // the previous pool is deleted when the library owned it.
  static void setPool(ThreadPool* pool);

  // Takes ownership of task. Queues it, or chains it behind afterId when that names a task
  // still queued, chained or running. Returns the new id, or 0 for a null task.
  unsigned addTask(ThreadPoolTask* task, unsigned afterId = 0);
  bool doesTaskExist(unsigned id);
  // Returns when id names no task in the pool (at once for 0 or an ended id).
  void waitForCompletion(unsigned id);
  // As above with a limit; false on time-out.
  bool waitForCompletion(unsigned id, unsigned timeoutMs);
  // Queued + chained + running tasks.
  unsigned count();
  unsigned poolSize();

  // No worker takes a new task while suspended; running tasks finish. With wait set, returns
  // once every worker is idle.
  void suspend(bool wait = true);
  void resume();
  bool isSuspended();

  // Grows or shrinks to n workers (0 = processorCount()). Removed workers finish their current
  // task and are joined outside the pool lock. Throws ZtException (256) when a new worker
  // cannot be started.
  void setPoolSize(unsigned n);

  // Counters of the i-th worker; 0 when there is no such worker.
  uint32_t executedCount(unsigned i);
  uint32_t completedCount(unsigned i);
  uint32_t failedCount(unsigned i);

  // Test seam: the next id handed out (0 is taken as 1).
  void setNextTaskId(unsigned id);

 private:
  friend class PooledThread;

  void workerPass(PooledThread* worker);
  unsigned takeIdLocked();
  PooledTask* findLocked(unsigned id);
  void enqueueLocked(PooledTask* rec);
  void chainLocked(PooledTask* rec, PooledTask* behind);
  PooledTask* takeNextLocked(PooledThread* worker);
  void completeLocked(PooledTask* rec);
  void pauseLocked(PooledTask* rec, unsigned waitFor);
  bool allIdleLocked() const;
  // Asks the workers to stop and lists them as retiring (no worker takes a record once asked).
  void retireLocked(std::vector<PooledThread*>& workers);
  // Deletes (stops and joins) retiring workers; call without the lock.
  void joinRetired(std::vector<PooledThread*>& workers);
  void stopAndDelete(std::vector<PooledThread*>& workers);

  // Guards every field below and every PooledTask and PooledThread::m_current.
  // Never held while a task runs or is deleted.
  std::mutex m_mutex;
  // Workers wait here for new records.
  std::condition_variable m_work;
  // A task ended or a worker went idle (waitForCompletion, suspend(true), destruction).
  std::condition_variable m_changed;
  unsigned m_changeWaiters = 0;

  std::vector<PooledThread*> m_workers;
  // Workers taken out by a shrink and not yet joined; they may still finish a task.
  std::vector<PooledThread*> m_retiring;
  // Every record in the pool, whatever its state; nodes are stable, so records live here.
  std::unordered_map<unsigned, PooledTask> m_records;
  // Records of ended tasks, kept for the next addTask so that queueing allocates nothing in
  // steady state (bounded: reserved at construction, the rest freed).
  static constexpr size_t kSpareRecords = 4096;
  std::vector<std::unordered_map<unsigned, PooledTask>::node_type> m_spareRecords;
  PooledTask* m_queueHead = nullptr;
  PooledTask* m_queueTail = nullptr;
  unsigned m_nextId = 1;
  bool m_suspended = false;
};

// The process-wide pool (null until first use) and whether the library owns it.
extern std::atomic<ThreadPool*> gPool;
extern bool gManagePool;

}  // namespace zelto
