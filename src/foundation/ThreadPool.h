#pragma once
// The process-wide task pool. Callers hand it a task and get a task id; a task chained behind
// another id starts only after that task has ended (finished or failed), which is how per-port
// and per-device work stays in order while different ports and devices run in parallel.
//
// Ids run 1 .. 2^32-1 and wrap to 1; an id still in the pool is never handed out twice.
// Idle workers wait on their own wake-up flag (a futex) without a time-out and without the pool
// lock: adding, releasing a chain, resuming, resizing and destruction wake them; a single record
// wakes the worker that went idle last. The only timed wait is the short retry of a task that
// paused without naming a task to wait for (kPauseRetry), and only one worker keeps that time
// while such a task exists.
//
// Thread context: every public call may be made from any thread, including pool tasks, except
// that a task must not wait (waitForCompletion, suspend(true)) for work that can only run after
// itself, and must not destroy the pool.
//
// Run-next: a task that hands follow-up work to the pool and ends soon after (a parse task
// queuing the processing of each message it parsed) may use addTaskToRunNext. Such records go to
// the calling worker's run-next list and are run by that worker, in order, once the current task
// has ended: a burst of messages costs no wake-up of another worker per message (each wake-up of
// an idle processor costs tens of microseconds). The followers a listed record releases when it
// ends join the same list, so a device's chain of processing runs on without a wake-up too.
// Others take the work when one worker cannot keep up:
//  - a list that has not been empty for longer than the run-next budget (kRunNextBudget: its
//    worker has been behind for that long) goes to the ready queue (and a sleeper is woken) at
//    the next call into the pool of another thread (an add, a worker between two tasks: the next
//    hand-over of any link's reader, say), or at every kCheckEvery-th call of its own worker. So
//    a task that blocks (an application's slow callback) holds the records behind it no longer
//    than until the pool next sees work, and never the reading or parsing of a port, whose tasks
//    go to the ready queue;
//  - a worker whose list is not empty takes the ready queue's head first when no worker sleeps
//    (no one else would), and its list then goes to the queue behind it;
//  - the list is published when its task waits in waitForCompletion (any thread's wait publishes
//    every list), calls publishRunNext, or its worker retires;
//  - a record some thread waits for, or one of the records it is chained behind, is released to
//    the ready queue when its predecessor ends, never into the list (the list, with the
//    followers already in it, goes ahead of it): what the worker runs next may be a callback
//    that blocks until that wait is over.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "foundation/PooledTask.h"
#include "foundation/PooledThread.h"
#include "foundation/ThreadPoolTask.h"

namespace zelto {

// Processors currently online (at least 1).
unsigned processorCount();

class ThreadPool {
 public:
  // Delay before a task that paused without a live wait id runs again.
  static constexpr std::chrono::microseconds kPauseRetry{1000};
  // How long a worker's run-next list may stay not empty before the other workers are asked:
  // about the pause of a link's reader after a small read, so a worker that finishes a burst
  // before the next one is read keeps it to itself.
  static constexpr std::chrono::microseconds kRunNextBudget{1000};
  // A worker working through its own run-next list looks at the time every this many pool calls
  // (adds, task ends) rather than at each: a burst reads the clock a few times, not per record.
  static constexpr unsigned kCheckEvery = 8;
  // Slots of the record table at first; it doubles whenever the live records would exceed
  // half of it (only at a new high-water mark of live records, never per task).
  static constexpr size_t kFirstTableSize = 64;

  // size 0 = processorCount(). Throws ZtException (256) when a worker cannot be started.
  explicit ThreadPool(unsigned size = 0);
  // Waits for the running tasks, stops the workers and deletes the tasks that never ran.
  virtual ~ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  // The process-wide pool, created on first use (one worker per online processor). Inline: a
  // link's reader asks for it per hand-over.
  static ThreadPool* instance();
  // Deletes the process-wide pool when the library owns it.
  static void destroy();
  // True on a worker thread of any pool (it runs pool tasks, e.g. a link's parsing or a
  // device's processing): code there must not throw at its callers.
  static bool isWorkerThread();
  // Installs pool as the process-wide pool (the caller keeps ownership of a non-null pool);
  // the previous pool is deleted when the library owned it.
  static void setPool(ThreadPool* pool);

  // Takes ownership of task. Queues it, or chains it behind afterId when that names a task
  // still queued, chained or running. Returns the new id, or 0 for a null task.
  unsigned addTask(ThreadPoolTask* task, unsigned afterId = 0);
  // As addTask; called from a task running on this pool, a record that is not chained joins the
  // calling worker's run-next list (see Run-next above). The caller must not block on the new
  // task other than through waitForCompletion.
  unsigned addTaskToRunNext(ThreadPoolTask* task, unsigned afterId = 0);
  // From a task of this pool: hands its worker's run-next list to the other workers now, before
  // the task calls code that may block on it (an application's callback). No effect elsewhere.
  void publishRunNext();
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

  // Sleeping workers woken so far (by adds, released work, retries, resumes, resizes): what a
  // burst of work costs in hand-overs between processors.
  uint64_t wakeCount();
  // Workers asleep now, waiting for work.
  unsigned sleepingWorkers();

  // Test seams: the next id handed out (0 is taken as 1); the run-next budget.
  void setNextTaskId(unsigned id);
  void setRunNextBudget(std::chrono::microseconds budget);
  // Slots of the record table now (kFirstTableSize, doubled at each growth).
  size_t recordTableSize();

 private:
  friend class PooledThread;

  // instance() on first use: creates the process-wide pool under its lock.
  static ThreadPool* createInstance();
  void workerPass(PooledThread* worker);
  // addTask, or with runNext addTaskToRunNext.
  unsigned add(ThreadPoolTask* task, unsigned afterId, bool runNext);
  // The next id in sequence whose table slot is free (the table is at most half full).
  unsigned takeIdLocked();
  // A record for task under a new id, from the free list (allocating a block of records and
  // growing the table only at a new high-water mark of live records).
  PooledTask* newRecordLocked(ThreadPoolTask* task);
  // Doubles the table; live ids keep distinct slots, since a wider mask keeps every bit that
  // told them apart.
  void growTableLocked();
  // Gives rec's slot and node back (the record has left every list).
  void freeRecordLocked(PooledTask* rec);
  // The calling thread's worker when it runs a task of this pool, else null.
  PooledThread* callingWorkerLocked();
  // Appends rec to the worker's run-next list; a list that was empty notes the time (now, or the
  // clock's when now is the epoch).
  void holdLocked(PooledThread* worker, PooledTask* rec, std::chrono::steady_clock::time_point now);
  // Whether a call into the pool by self (null: not a worker of this pool) is to look for overdue
  // lists: any call while another worker holds a list, every kCheckEvery-th of a worker that
  // alone holds one, none while no list exists.
  bool dueForCheckLocked(PooledThread* self);
  // Moves the worker's run-next list to the tail of the ready queue, in order; true when a record
  // was moved (wake a worker).
  bool publishNextLocked(PooledThread* worker);
  // Publishes every list not empty for longer than the budget at now (every list with overdueOnly
  // false); true when a record was moved.
  bool publishHeldLocked(std::chrono::steady_clock::time_point now, bool overdueOnly = true);
  PooledTask* findLocked(unsigned id);
  void enqueueLocked(PooledTask* rec);
  // Marks rec and the records it is chained behind as waited for (see PooledTask::waited).
  void markWaitedLocked(PooledTask* rec);
  void chainLocked(PooledTask* rec, PooledTask* behind);
  // The start of a wait for id: false when id names no record; else marks its chain and hands
  // every run-next list to the ready queue.
  bool beginWaitLocked(unsigned id);
  PooledTask* takeNextLocked(PooledThread* worker);
  // Releases rec's followers (into heldBy's run-next list, else to the ready queue) and frees it.
  void completeLocked(PooledTask* rec, PooledThread* heldBy);
  void pauseLocked(PooledTask* rec, unsigned waitFor);
  // Moves the paused records whose retry time has come to the ready queue.
  void promoteRetriesLocked();
  // Waits for work: untimed, or until the first retry when this worker keeps the retry time.
  void idleWaitLocked(std::unique_lock<std::mutex>& lk, PooledThread* worker);
  // Wakes the most recently idle worker (or every idle one), notifying under the lock.
  void wakeOneLocked();
  void wakeAllLocked();
  // The hot paths' wake-up: the most recently idle worker is chosen and signalled under the lock
  // (null when none sleeps) and notified by notifyChosen once the lock is released, so that it
  // does not wake only to block on the lock. A chosen worker's wake count keeps it from being
  // deleted before the notify is done (joinRetired).
  PooledThread* chooseSleeperLocked();
  static void notifyChosen(PooledThread* worker);
  bool allIdleLocked() const;
  // Asks the workers to stop and lists them as retiring (no worker takes a record once asked).
  void retireLocked(std::vector<PooledThread*>& workers);
  // Deletes (stops and joins) retiring workers; call without the lock.
  void joinRetired(std::vector<PooledThread*>& workers);
  void stopAndDelete(std::vector<PooledThread*>& workers);

  // Guards every field below, every PooledTask, and each PooledThread's m_current and run-next
  // list. A leaf lock (callers may hold their own locks, e.g. a link's queue lock, while adding):
  // never held while a task runs or is deleted, nor while a worker is notified.
  std::mutex m_mutex;
  // Idle workers, each waiting on its own wake-up flag; the last one in went idle last.
  std::vector<PooledThread*> m_sleepers;
  // A task ended or a worker went idle (waitForCompletion, suspend(true), destruction).
  std::condition_variable m_changed;
  unsigned m_changeWaiters = 0;

  std::vector<PooledThread*> m_workers;
  // Workers taken out by a shrink and not yet joined; they may still finish a task.
  std::vector<PooledThread*> m_retiring;
  // Every record in the pool, whatever its state, at slot id & (size - 1) of a power-of-two
  // table (null: free). Ids are handed out in sequence and an id whose slot is taken is
  // skipped, so a lookup is one index and one compare.
  std::vector<PooledTask*> m_table;
  size_t m_liveRecords = 0;
  // Ended records, linked through nextQueued, reused for new ones; nodes never move, and the
  // pool keeps its high-water mark of them (in blocks) until it is destroyed.
  PooledTask* m_freeRecords = nullptr;
  std::vector<std::unique_ptr<PooledTask[]>> m_recordBlocks;
  PooledTask* m_queueHead = nullptr;
  PooledTask* m_queueTail = nullptr;
  // Paused records without a task to wait for, in retry order (all share one delay).
  PooledTask* m_retryHead = nullptr;
  PooledTask* m_retryTail = nullptr;
  // A worker waits with a time-out for the first retry; the others wait untimed.
  bool m_retryKeeper = false;
  unsigned m_nextId = 1;
  bool m_suspended = false;
  // Workers whose run-next list is not empty: the overdue check costs nothing while it is 0.
  unsigned m_holders = 0;
  std::chrono::steady_clock::duration m_runNextBudget = kRunNextBudget;
  uint64_t m_wakes = 0;
};

// The process-wide pool (null until first use) and whether the library owns it.
extern std::atomic<ThreadPool*> gPool;
extern bool gManagePool;

inline ThreadPool* ThreadPool::instance() {
  ThreadPool* pool = gPool.load(std::memory_order_acquire);
  return pool ? pool : createInstance();
}

}  // namespace zelto
