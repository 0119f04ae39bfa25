#include "foundation/ThreadPool.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>
#include <utility>

#include "errors/ZtException.h"

namespace zelto {

std::atomic<ThreadPool*> gPool{nullptr};
bool gManagePool = true;

namespace {
// Serialises creation and replacement of gPool; guards gManagePool.
std::mutex gPoolInstanceMutex;
// The worker running on this thread (set for the life of its passes), whatever its pool.
thread_local PooledThread* tlWorker = nullptr;

uint32_t* futexWord(std::atomic<uint32_t>& flag) {
  static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) && std::atomic<uint32_t>::is_always_lock_free);
  return reinterpret_cast<uint32_t*>(&flag);
}

// Sleeps while flag is 0, at most until the steady-clock time given (null: no limit). False once
// that time has passed; true on a wake-up, a change of the flag or an interruption (the caller
// looks at the flag again).
bool futexWait(std::atomic<uint32_t>& flag, const timespec* until) {
  const long r = syscall(SYS_futex, futexWord(flag), FUTEX_WAIT_BITSET_PRIVATE, 0u, until, nullptr,
                         FUTEX_BITSET_MATCH_ANY);
  return r == 0 || errno != ETIMEDOUT;
}

void futexWakeOne(std::atomic<uint32_t>& flag) {
  syscall(SYS_futex, futexWord(flag), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

// The steady clock is CLOCK_MONOTONIC, the futex's absolute time base.
timespec monotonicTimespec(std::chrono::steady_clock::time_point t) {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(ns / 1000000000);
  ts.tv_nsec = static_cast<long>(ns % 1000000000);
  return ts;
}
}  // namespace

unsigned processorCount() {
  const long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n < 1 ? 1u : static_cast<unsigned>(n);
}

ThreadPool::ThreadPool(unsigned size) : m_table(kFirstTableSize, nullptr) {
  try {
    setPoolSize(size);
  } catch (...) {
    std::vector<PooledThread*> started;
    {
      std::lock_guard<std::mutex> lk(m_mutex);
      started.swap(m_workers);
    }
    stopAndDelete(started);
    throw;
  }
}

ThreadPool::~ThreadPool() {
  std::vector<PooledThread*> workers;
  {
    std::unique_lock<std::mutex> lk(m_mutex);
    m_suspended = true;
    ++m_changeWaiters;
    m_changed.wait(lk, [&] { return allIdleLocked(); });
    --m_changeWaiters;
    workers.swap(m_workers);
  }
  stopAndDelete(workers);
  // The pool owns the tasks that never ran. A destructor may add more tasks; they are
  // collected on the next round (no worker is left to run them).
  for (;;) {
    std::vector<ThreadPoolTask*> orphans;
    {
      std::lock_guard<std::mutex> lk(m_mutex);
      for (PooledTask*& rec : m_table) {
        if (!rec) continue;
        orphans.push_back(rec->task);
        freeRecordLocked(rec);
      }
      m_queueHead = m_queueTail = nullptr;
      m_retryHead = m_retryTail = nullptr;
    }
    if (orphans.empty()) break;
    for (ThreadPoolTask* t : orphans) delete t;
  }
}

void ThreadPool::retireLocked(std::vector<PooledThread*>& workers) {
  for (PooledThread* w : workers) {
    w->requestStop();
    // A stopping worker takes no further record: its run-next record goes to the others.
    publishNextLocked(w);
    m_retiring.push_back(w);
  }
  if (!workers.empty()) wakeAllLocked();
}

void ThreadPool::stopAndDelete(std::vector<PooledThread*>& workers) {
  if (workers.empty()) return;
  {
    std::lock_guard<std::mutex> lk(m_mutex);
    retireLocked(workers);
  }
  joinRetired(workers);
}

void ThreadPool::joinRetired(std::vector<PooledThread*>& workers) {
  for (PooledThread* w : workers) {
    // A retired worker is never chosen again; a notify chosen before its retirement is at most
    // a few instructions away from done.
    while (w->m_wakesInFlight.load(std::memory_order_acquire) != 0) std::this_thread::yield();
    delete w;  // joins
    std::lock_guard<std::mutex> lk(m_mutex);
    m_retiring.erase(std::find(m_retiring.begin(), m_retiring.end(), w));
    if (m_changeWaiters) m_changed.notify_all();
  }
  workers.clear();
}

ThreadPool* ThreadPool::createInstance() {
  std::lock_guard<std::mutex> g(gPoolInstanceMutex);
  ThreadPool* pool = gPool.load(std::memory_order_acquire);
  if (!pool) {
    pool = new ThreadPool();  // a throw leaves gPool null; a later call tries again
    gManagePool = true;
    gPool.store(pool, std::memory_order_release);
  }
  return pool;
}

void ThreadPool::destroy() {
  std::lock_guard<std::mutex> g(gPoolInstanceMutex);
  ThreadPool* pool = gPool.exchange(nullptr, std::memory_order_acq_rel);
  if (gManagePool) delete pool;
  gManagePool = true;
}

void ThreadPool::setPool(ThreadPool* pool) {
  std::lock_guard<std::mutex> g(gPoolInstanceMutex);
  ThreadPool* current = gPool.load(std::memory_order_acquire);
  if (pool == current) return;
  gPool.store(pool, std::memory_order_release);
  if (gManagePool) delete current;
  gManagePool = pool == nullptr;
}

unsigned ThreadPool::takeIdLocked() {
  // At least half the slots are free, so this ends within a few steps. An id whose slot holds a
  // live record is skipped: that also skips, after a wrap, an id still in the pool.
  const size_t mask = m_table.size() - 1;
  for (;;) {
    const unsigned id = m_nextId;
    m_nextId = id + 1 == 0 ? 1 : id + 1;
    if (!m_table[id & mask]) return id;
  }
}

void ThreadPool::growTableLocked() {
  std::vector<PooledTask*> bigger(m_table.size() * 2, nullptr);
  const size_t mask = bigger.size() - 1;
  for (PooledTask* rec : m_table)
    if (rec) bigger[rec->id & mask] = rec;
  m_table.swap(bigger);
}

PooledTask* ThreadPool::newRecordLocked(ThreadPoolTask* task) {
  // Everything that may allocate (and throw) comes before the pool changes.
  if (m_liveRecords + 1 > m_table.size() / 2) growTableLocked();
  if (!m_freeRecords) {
    // A new high-water mark: as many records again as the pool holds (at least a table's half).
    const size_t n = std::max(kFirstTableSize / 2, m_liveRecords);
    m_recordBlocks.reserve(m_recordBlocks.size() + 1);
    m_recordBlocks.emplace_back(new PooledTask[n]);
    PooledTask* block = m_recordBlocks.back().get();
    for (size_t i = 0; i < n; ++i) {
      block[i].nextQueued = m_freeRecords;
      m_freeRecords = &block[i];
    }
  }
  const unsigned id = takeIdLocked();
  PooledTask* rec = m_freeRecords;
  m_freeRecords = rec->nextQueued;
  *rec = PooledTask{};
  rec->task = task;
  rec->id = id;
  m_table[id & (m_table.size() - 1)] = rec;
  ++m_liveRecords;
  return rec;
}

void ThreadPool::freeRecordLocked(PooledTask* rec) {
  m_table[rec->id & (m_table.size() - 1)] = nullptr;
  --m_liveRecords;
  rec->task = nullptr;
  rec->id = 0;
  rec->nextQueued = m_freeRecords;
  m_freeRecords = rec;
}

bool ThreadPool::isWorkerThread() { return tlWorker != nullptr; }

PooledThread* ThreadPool::callingWorkerLocked() {
  PooledThread* w = tlWorker;
  if (!w || w->m_pool != this || !w->m_current.load(std::memory_order_relaxed)) return nullptr;
  return w;
}

void ThreadPool::holdLocked(PooledThread* worker, PooledTask* rec, std::chrono::steady_clock::time_point now) {
  rec->state = PooledTask::State::Queued;
  rec->nextQueued = nullptr;
  if (worker->m_heldTail) {
    worker->m_heldTail->nextQueued = rec;
  } else {
    worker->m_heldHead = rec;
    worker->m_heldSince = now == std::chrono::steady_clock::time_point{} ? std::chrono::steady_clock::now() : now;
    worker->m_uncheckedCalls = 0;
    ++m_holders;
  }
  worker->m_heldTail = rec;
}

bool ThreadPool::dueForCheckLocked(PooledThread* self) {
  if (m_holders == 0) return false;
  if (!self || !self->m_heldHead || m_holders > 1) return true;
  return ++self->m_uncheckedCalls % kCheckEvery == 0;
}

bool ThreadPool::publishNextLocked(PooledThread* worker) {
  PooledTask* rec = worker->m_heldHead;
  if (!rec) return false;
  worker->m_heldHead = worker->m_heldTail = nullptr;
  --m_holders;
  while (rec) {
    PooledTask* next = rec->nextQueued;
    enqueueLocked(rec);
    rec = next;
  }
  return true;
}

bool ThreadPool::publishHeldLocked(std::chrono::steady_clock::time_point now, bool overdueOnly) {
  if (m_holders == 0) return false;
  // Retiring workers hold nothing: their lists went to the queue when they were retired.
  bool moved = false;
  for (PooledThread* w : m_workers) {
    if (w->m_heldHead && (!overdueOnly || now - w->m_heldSince > m_runNextBudget))
      moved = publishNextLocked(w) || moved;
  }
  return moved;
}

PooledTask* ThreadPool::findLocked(unsigned id) {
  PooledTask* rec = m_table[id & (m_table.size() - 1)];
  // A live record's id is never 0, so id 0 finds nothing.
  return rec && rec->id == id ? rec : nullptr;
}

void ThreadPool::enqueueLocked(PooledTask* rec) {
  rec->state = PooledTask::State::Queued;
  rec->nextQueued = nullptr;
  if (m_queueTail)
    m_queueTail->nextQueued = rec;
  else
    m_queueHead = rec;
  m_queueTail = rec;
}

void ThreadPool::markWaitedLocked(PooledTask* rec) {
  // Stops at a marked record: its predecessors are marked already.
  while (rec && !rec->waited) {
    rec->waited = true;
    rec = rec->state == PooledTask::State::Chained ? rec->behind : nullptr;
  }
}

void ThreadPool::chainLocked(PooledTask* rec, PooledTask* behind) {
  rec->state = PooledTask::State::Chained;
  rec->nextFollower = nullptr;
  rec->behind = behind;
  // A waited record paused behind another task: that one is now on the waited chain.
  if (rec->waited) markWaitedLocked(behind);
  if (behind->lastFollower)
    behind->lastFollower->nextFollower = rec;
  else
    behind->firstFollower = rec;
  behind->lastFollower = rec;
}

void ThreadPool::promoteRetriesLocked() {
  const auto now = std::chrono::steady_clock::now();
  while (m_retryHead && m_retryHead->retryAt <= now) {
    PooledTask* rec = m_retryHead;
    m_retryHead = rec->nextQueued;
    if (!m_retryHead) m_retryTail = nullptr;
    enqueueLocked(rec);
  }
}

PooledTask* ThreadPool::takeNextLocked(PooledThread* worker) {
  if (m_suspended) return nullptr;
  if (m_retryHead) promoteRetriesLocked();
  // Ready work that no sleeper can take waits for a busy worker: the list goes behind it, so a
  // saturated pool serves everything in arrival order.
  if (worker->m_heldHead && m_queueHead && m_sleepers.empty()) publishNextLocked(worker);
  PooledTask* rec = worker->m_heldHead;
  if (rec) {
    worker->m_heldHead = rec->nextQueued;
    if (!worker->m_heldHead) {
      worker->m_heldTail = nullptr;
      --m_holders;
    }
    worker->m_runningHeld = true;
  } else {
    if (!m_queueHead) return nullptr;
    rec = m_queueHead;
    m_queueHead = rec->nextQueued;
    if (!m_queueHead) m_queueTail = nullptr;
    worker->m_runningHeld = false;
  }
  rec->nextQueued = nullptr;
  rec->state = PooledTask::State::Running;
  worker->m_current.store(rec, std::memory_order_relaxed);
  return rec;
}

void ThreadPool::completeLocked(PooledTask* rec, PooledThread* heldBy) {
  // Followers are released in the order they were chained, behind everything queued by now (or,
  // for a record its worker ran from its run-next list, behind that list). The completing worker
  // takes the next record itself and wakes another only when more are left (workerPass), so a
  // chain runs on without a wake-up per task. A follower some thread waits for must not sit
  // behind whatever the worker runs next (an application's callback may block until that wait
  // is over): the worker's list, the followers already in it, and the rest go to the ready
  // queue in their order, and the worker passes them on to sleepers (workerPass).
  for (PooledTask* f = rec->firstFollower; f;) {
    PooledTask* next = f->nextFollower;
    f->nextFollower = nullptr;
    if (heldBy && f->waited) {
      publishNextLocked(heldBy);
      heldBy = nullptr;
    }
    if (heldBy)
      holdLocked(heldBy, f, {});
    else
      enqueueLocked(f);
    f = next;
  }
  freeRecordLocked(rec);
  if (m_changeWaiters) m_changed.notify_all();
}

void ThreadPool::pauseLocked(PooledTask* rec, unsigned waitFor) {
  // The paused record keeps its id (and its followers), so chains behind it stay valid.
  PooledTask* behind = waitFor == rec->id ? nullptr : findLocked(waitFor);
  if (behind) {
    chainLocked(rec, behind);
    return;
  }
  // Retried after a short delay rather than at once: an immediate retry would keep a worker
  // spinning on a task that has nothing to do yet.
  rec->state = PooledTask::State::Retrying;
  rec->nextQueued = nullptr;
  rec->retryAt = std::chrono::steady_clock::now() + kPauseRetry;
  if (m_retryTail)
    m_retryTail->nextQueued = rec;
  else
    m_retryHead = rec;
  m_retryTail = rec;
  // Some worker must keep the retry time; an idle one is woken to do so.
  if (!m_retryKeeper) wakeOneLocked();
}

void ThreadPool::wakeOneLocked() {
  if (m_sleepers.empty()) return;
  PooledThread* w = m_sleepers.back();
  m_sleepers.pop_back();
  ++m_wakes;
  w->m_signalled.store(1, std::memory_order_release);
  futexWakeOne(w->m_signalled);
}

PooledThread* ThreadPool::chooseSleeperLocked() {
  if (m_sleepers.empty()) return nullptr;
  PooledThread* w = m_sleepers.back();
  m_sleepers.pop_back();
  ++m_wakes;
  w->m_signalled.store(1, std::memory_order_release);
  w->m_wakesInFlight.fetch_add(1, std::memory_order_relaxed);
  return w;
}

void ThreadPool::notifyChosen(PooledThread* worker) {
  if (!worker) return;
  futexWakeOne(worker->m_signalled);
  worker->m_wakesInFlight.fetch_sub(1, std::memory_order_release);
}

void ThreadPool::wakeAllLocked() {
  while (!m_sleepers.empty()) wakeOneLocked();
}

void ThreadPool::idleWaitLocked(std::unique_lock<std::mutex>& lk, PooledThread* worker) {
  // The sleepers form a stack: the worker idle for the shortest time is woken first, since its
  // processor is the likeliest to be awake still.
  worker->m_signalled.store(0, std::memory_order_relaxed);
  m_sleepers.push_back(worker);  // capacity reserved for every worker: never allocates
  const bool keeper = m_retryHead && !m_suspended && !m_retryKeeper;
  timespec until{};
  if (keeper) {
    m_retryKeeper = true;
    until = monotonicTimespec(m_retryHead->retryAt);
  }
  // The wait is on the worker's own flag with the pool lock released (a condition variable would
  // take the lock back marked as contended, so every wake-up would end in a futex wake of nobody
  // when the worker next released it). A flag set before the wait begins is seen by the wait.
  lk.unlock();
  while (worker->m_signalled.load(std::memory_order_acquire) == 0)
    if (!futexWait(worker->m_signalled, keeper ? &until : nullptr)) break;
  lk.lock();
  if (keeper) m_retryKeeper = false;
  // Not chosen (the retry time came): still listed as a sleeper.
  if (!worker->m_signalled.load(std::memory_order_relaxed))
    m_sleepers.erase(std::find(m_sleepers.begin(), m_sleepers.end(), worker));
}

bool ThreadPool::allIdleLocked() const {
  for (const PooledThread* w : m_workers)
    if (w->m_current.load(std::memory_order_relaxed)) return false;
  for (const PooledThread* w : m_retiring)
    if (w->m_current.load(std::memory_order_relaxed)) return false;
  return true;
}

unsigned ThreadPool::addTask(ThreadPoolTask* task, unsigned afterId) { return add(task, afterId, false); }

unsigned ThreadPool::addTaskToRunNext(ThreadPoolTask* task, unsigned afterId) { return add(task, afterId, true); }

unsigned ThreadPool::add(ThreadPoolTask* task, unsigned afterId, bool runNext) {
  if (!task) return 0;
  bool wake = false;
  PooledThread* woken = nullptr;
  unsigned id;
  {
    std::lock_guard<std::mutex> lk(m_mutex);
    PooledTask* rec = newRecordLocked(task);
    id = rec->id;
    PooledThread* self = runNext ? callingWorkerLocked() : nullptr;
    if (self && self->isTerminating()) self = nullptr;
    // Lists overdue go to the queue first, ahead of the new record (the adder's own among them:
    // a long task hands on what it queued so far).
    std::chrono::steady_clock::time_point now{};
    if (dueForCheckLocked(self)) {
      now = std::chrono::steady_clock::now();
      wake = publishHeldLocked(now);
    }
    if (PooledTask* behind = findLocked(afterId)) {
      chainLocked(rec, behind);
    } else if (self) {
      holdLocked(self, rec, now);
    } else {
      enqueueLocked(rec);
      wake = true;
    }
    if (wake && !m_suspended) woken = chooseSleeperLocked();
  }
  notifyChosen(woken);
  return id;
}

void ThreadPool::workerPass(PooledThread* worker) {
  tlWorker = worker;
  std::unique_lock<std::mutex> lk(m_mutex);
  // Every change that can give this worker something to do (or end it) is made under the lock
  // and wakes a sleeper, so checking and waiting under the lock loses no wake-up.
  PooledTask* rec = nullptr;
  for (;;) {
    if (worker->isTerminating()) return;
    rec = takeNextLocked(worker);
    if (rec) break;
    idleWaitLocked(lk, worker);
  }
  // Work left behind goes to a sleeper: retries this take promoted to the queue (a keeper chosen
  // for a new task finds its retry due: nobody else would take it while this task runs), or the
  // retry time when the keeper leaves to run a task.
  PooledThread* woken = m_queueHead || (m_retryHead && !m_retryKeeper) ? chooseSleeperLocked() : nullptr;
  // Drain the queue without waiting; the terminate flag is honoured between tasks only, so a
  // taken record is always run and reported.
  while (rec) {
    lk.unlock();
    notifyChosen(std::exchange(woken, nullptr));
    ThreadPoolTask* task = rec->task;
    bool finished = true;
    unsigned waitFor = 0;
    try {
      finished = task->exec();
      if (finished)
        worker->m_completed.fetch_add(1, std::memory_order_relaxed);
      else
        waitFor = task->needToWaitFor();
    } catch (...) {
      // From exec() or needToWaitFor(): the task has failed either way.
      finished = true;
      try {
        task->onError();
      } catch (...) {
        // onError must not take the worker down either.
      }
      worker->m_failed.fetch_add(1, std::memory_order_relaxed);
    }
    worker->m_executed.fetch_add(1, std::memory_order_relaxed);
    if (finished) {
      // Delete before the id leaves the pool: whoever waits for the id may rely on the task
      // being gone. No lock is held, so a destructor may use the pool.
      delete task;
      lk.lock();
      completeLocked(rec, worker->m_runningHeld && !worker->isTerminating() ? worker : nullptr);
    } else {
      lk.lock();
      pauseLocked(rec, waitFor);
    }
    worker->m_current.store(nullptr, std::memory_order_relaxed);
    // Between two tasks: lists (this worker's too) that waited too long go to the others.
    if (dueForCheckLocked(worker)) publishHeldLocked(std::chrono::steady_clock::now());
    rec = worker->isTerminating() ? nullptr : takeNextLocked(worker);
    // More ready than this worker takes (released followers, a retry): pass the work on.
    if (m_queueHead && !m_suspended) woken = chooseSleeperLocked();
  }
  if (m_changeWaiters) m_changed.notify_all();
  lk.unlock();
  notifyChosen(woken);
}

void ThreadPool::publishRunNext() {
  if (!tlWorker || tlWorker->m_pool != this) return;
  PooledThread* woken = nullptr;
  {
    std::lock_guard<std::mutex> lk(m_mutex);
    if (PooledThread* self = callingWorkerLocked(); self && publishNextLocked(self) && !m_suspended)
      woken = chooseSleeperLocked();
  }
  notifyChosen(woken);
}

bool ThreadPool::doesTaskExist(unsigned id) {
  std::lock_guard<std::mutex> lk(m_mutex);
  return findLocked(id) != nullptr;
}

bool ThreadPool::beginWaitLocked(unsigned id) {
  PooledTask* rec = findLocked(id);
  if (!rec) return false;
  // A task waiting here cannot run its run-next list, and the awaited record may sit in a list
  // (or be chained behind one) of a worker that is blocked: any free worker must be able to take
  // them. Records of the awaited chain released later go to the ready queue (completeLocked).
  markWaitedLocked(rec);
  if (publishHeldLocked({}, false) && !m_suspended) wakeOneLocked();
  return true;
}

void ThreadPool::waitForCompletion(unsigned id) {
  std::unique_lock<std::mutex> lk(m_mutex);
  if (!beginWaitLocked(id)) return;
  ++m_changeWaiters;
  m_changed.wait(lk, [&] { return findLocked(id) == nullptr; });
  --m_changeWaiters;
}

bool ThreadPool::waitForCompletion(unsigned id, unsigned timeoutMs) {
  std::unique_lock<std::mutex> lk(m_mutex);
  if (!beginWaitLocked(id)) return true;
  ++m_changeWaiters;
  const bool done =
      m_changed.wait_for(lk, std::chrono::milliseconds(timeoutMs), [&] { return findLocked(id) == nullptr; });
  --m_changeWaiters;
  return done;
}

unsigned ThreadPool::count() {
  std::lock_guard<std::mutex> lk(m_mutex);
  return static_cast<unsigned>(m_liveRecords);
}

unsigned ThreadPool::poolSize() {
  std::lock_guard<std::mutex> lk(m_mutex);
  return static_cast<unsigned>(m_workers.size());
}

void ThreadPool::suspend(bool wait) {
  std::unique_lock<std::mutex> lk(m_mutex);
  m_suspended = true;
  if (!wait) return;
  ++m_changeWaiters;
  m_changed.wait(lk, [&] { return allIdleLocked(); });
  --m_changeWaiters;
}

void ThreadPool::resume() {
  std::lock_guard<std::mutex> lk(m_mutex);
  m_suspended = false;
  wakeAllLocked();
}

bool ThreadPool::isSuspended() {
  std::lock_guard<std::mutex> lk(m_mutex);
  return m_suspended;
}

void ThreadPool::setPoolSize(unsigned n) {
  if (n == 0) n = processorCount();
  std::vector<PooledThread*> removed;
  bool startFailed = false;
  {
    std::lock_guard<std::mutex> lk(m_mutex);
    // Shrink from the newest worker, never removing the calling worker itself.
    for (size_t i = m_workers.size(); i > 0 && m_workers.size() > n;) {
      --i;
      if (m_workers[i]->isCurrentThread()) continue;
      removed.push_back(m_workers[i]);
      m_workers.erase(m_workers.begin() + static_cast<std::ptrdiff_t>(i));
    }
    // Retired in the same claim of the lock: a removed worker takes no further record, and
    // suspend(true) keeps seeing the one it may still be running.
    retireLocked(removed);
    while (m_workers.size() < n) {
      auto* w = new PooledThread(this);
      if (!w->startThread("Pooled Thread")) {
        delete w;  // never started: nothing to join
        startFailed = true;
        break;
      }
      m_workers.push_back(w);
    }
    // A sleeper slot for every worker that may sleep (retiring ones never do).
    if (m_sleepers.capacity() < m_workers.size()) m_sleepers.reserve(m_workers.size());
  }
  // Removed workers may need the pool lock to finish their pass: join them without it.
  joinRetired(removed);
  if (startFailed) throw ZtException(ZRV_ERROR, "Could not start thread for ThreadPool", true);
}

uint32_t ThreadPool::executedCount(unsigned i) {
  std::lock_guard<std::mutex> lk(m_mutex);
  return i < m_workers.size() ? m_workers[i]->executedCount() : 0;
}

uint32_t ThreadPool::completedCount(unsigned i) {
  std::lock_guard<std::mutex> lk(m_mutex);
  return i < m_workers.size() ? m_workers[i]->completedCount() : 0;
}

uint32_t ThreadPool::failedCount(unsigned i) {
  std::lock_guard<std::mutex> lk(m_mutex);
  return i < m_workers.size() ? m_workers[i]->failedCount() : 0;
}

uint64_t ThreadPool::wakeCount() {
  std::lock_guard<std::mutex> lk(m_mutex);
  return m_wakes;
}

unsigned ThreadPool::sleepingWorkers() {
  std::lock_guard<std::mutex> lk(m_mutex);
  return static_cast<unsigned>(m_sleepers.size());
}

void ThreadPool::setRunNextBudget(std::chrono::microseconds budget) {
  std::lock_guard<std::mutex> lk(m_mutex);
  m_runNextBudget = budget;
}

void ThreadPool::setNextTaskId(unsigned id) {
  std::lock_guard<std::mutex> lk(m_mutex);
  m_nextId = id == 0 ? 1 : id;
}

size_t ThreadPool::recordTableSize() {
  std::lock_guard<std::mutex> lk(m_mutex);
  return m_table.size();
}

}  // namespace zelto
