#pragma once
// A worker thread of its own for jobs that wait on work of the task pool or of a port (replies,
// parse tasks, a device's processing), and so must not occupy a pool worker: with a pool of one
// worker, what they wait for would never run. Jobs run one at a time in the order they were
// added. The thread starts with the first job and sleeps on a condition while idle.
//
// Life: stop() runs no further job, waits for the running one and joins the thread; an owner
// calls it before it goes, so no job outlives the owner. Lock order: m_mutex is a leaf, never
// held while a job runs.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace zelto {

class JobThread {
 public:
  JobThread() = default;
  ~JobThread();
  JobThread(const JobThread&) = delete;
  JobThread& operator=(const JobThread&) = delete;

  // Queues the job; its id (never 0), or 0 once stopped (the job is dropped).
  unsigned add(std::function<void()> job);
  // True once every job added so far has ended; false after timeoutMs. From a job itself it
  // answers at once whether nothing else is queued (it would wait for itself).
  bool waitIdle(unsigned timeoutMs) const;
  // Drops the queued jobs, waits for the running one and joins. From a job itself the thread is
  // left to end on its own after that job.
  void stop();
  bool isOwnThread() const { return std::this_thread::get_id() == m_threadId.load(std::memory_order_acquire); }

 private:
  void run();

  mutable std::mutex m_mutex;
  mutable std::condition_variable m_changed;
  std::deque<std::function<void()>> m_jobs;  // guarded by m_mutex
  bool m_running = false;                    // a job is running; guarded by m_mutex
  bool m_stopped = false;                    // guarded by m_mutex
  unsigned m_nextId = 1;                     // guarded by m_mutex
  std::thread m_thread;
  std::atomic<std::thread::id> m_threadId{};  // asked from any thread
};

}  // namespace zelto
