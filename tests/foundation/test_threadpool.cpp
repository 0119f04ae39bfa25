// Task pool: ids, chaining, pausing, failures, suspension, resizing under load, ownership of
// tasks and wake-up latency.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "foundation/Semaphore.h"
#include "foundation/TaskCompletionWaiter.h"
#include "foundation/ThreadPool.h"
#include "errors/ZtException.h"
#include "support/AllocationCounter.h"

using namespace zelto;
using namespace std::chrono_literals;

namespace {

constexpr unsigned kLimitMs = 10000;  // no test waits longer than this for anything

// A task running a function; counts its destruction.
class FnTask : public ThreadPoolTask {
 public:
  explicit FnTask(std::function<bool()> fn, std::atomic<int>* destroyed = nullptr,
                  std::function<unsigned()> waitFor = nullptr, std::function<void()> onErr = nullptr)
      : m_fn(std::move(fn)), m_destroyed(destroyed), m_waitFor(std::move(waitFor)), m_onErr(std::move(onErr)) {}
  ~FnTask() override {
    if (m_destroyed) ++*m_destroyed;
  }
  bool exec() override { return m_fn(); }
  unsigned needToWaitFor() override { return m_waitFor ? m_waitFor() : 0; }
  void onError() override {
    if (m_onErr) m_onErr();
  }

 private:
  std::function<bool()> m_fn;
  std::atomic<int>* m_destroyed;
  std::function<unsigned()> m_waitFor;
  std::function<void()> m_onErr;
};

FnTask* task(std::function<bool()> fn) { return new FnTask(std::move(fn)); }

// A task that blocks its worker until released (bounded).
struct Gate {
  Semaphore started;
  Semaphore release;
  FnTask* make() {
    return task([this] {
      started.post();
      release.wait1(kLimitMs);
      return true;
    });
  }
};

bool waitUntil(const std::function<bool()>& cond, std::chrono::milliseconds limit = std::chrono::milliseconds(kLimitMs)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!cond()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::yield();
  }
  return true;
}

uint32_t sum(ThreadPool& pool, uint32_t (ThreadPool::*counter)(unsigned)) {
  uint32_t total = 0;
  for (unsigned i = 0; i < pool.poolSize(); ++i) total += (pool.*counter)(i);
  return total;
}

// Process exit while the process-wide pool is busy. Run in a fresh copy of this test program
// (selected by ZDA_TEST_POOL_EXIT before main): "main" exits from the main thread while chains
// run, "task" exits from inside a task. Nothing may hang or crash on the way out.
const int gPoolExitChild = [] {
  const char* mode = std::getenv("ZDA_TEST_POOL_EXIT");
  if (!mode) return 0;
  alarm(20);  // a hang ends in SIGALRM, which the parent sees as an abnormal end
  ThreadPool* pool = ThreadPool::instance();
  const bool fromTask = std::string(mode) == "task";
  unsigned last[4] = {};
  for (int i = 0; i < 4000; ++i) {
    last[i % 4] = pool->addTask(task([] {
                                  std::this_thread::yield();
                                  return true;
                                }),
                                last[i % 4]);
    if (fromTask && i == 2000) pool->addTask(task([]() -> bool { std::exit(0); }));
  }
  if (fromTask) pool->waitForCompletion(last[0]);  // the exiting task runs first
  std::exit(0);
}();

int runPoolExitChild(const char* mode) {
  char exe[4096];
  const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) return -1;
  exe[n] = '\0';
  const std::string env = std::string("ZDA_TEST_POOL_EXIT=") + mode;
  char* argv[] = {exe, nullptr};
  char* envp[] = {const_cast<char*>(env.c_str()), nullptr};
  pid_t pid = 0;
  if (posix_spawn(&pid, exe, nullptr, nullptr, argv, envp) != 0) return -1;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

TEST(ThreadPool, ProcessExitsWhileThePoolIsBusy) {
  EXPECT_EQ(runPoolExitChild("main"), 0) << "exit from the main thread";
  EXPECT_EQ(runPoolExitChild("task"), 0) << "exit from a pool task";
}

TEST(ThreadPool, IdsStartAtOneWrapToOneAndSkipIdsStillInUse) {
  ThreadPool pool(2);
  pool.suspend(true);
  EXPECT_EQ(pool.addTask(task([] { return true; })), 1u);
  EXPECT_EQ(pool.addTask(task([] { return true; })), 2u);
  EXPECT_EQ(pool.addTask(task([] { return true; })), 3u);
  pool.setNextTaskId(0xFFFFFFFFu);
  EXPECT_EQ(pool.addTask(task([] { return true; })), 0xFFFFFFFFu);
  // 0 is never handed out; 1..3 are still queued, so the next free id is 4.
  EXPECT_EQ(pool.addTask(task([] { return true; })), 4u);
  EXPECT_EQ(pool.count(), 5u);
  EXPECT_EQ(pool.addTask(nullptr), 0u);
  pool.resume();
  EXPECT_TRUE(pool.waitForCompletion(4, kLimitMs));
  EXPECT_TRUE(waitUntil([&] { return pool.count() == 0; }));
  pool.setNextTaskId(0xFFFFFFFFu);
  pool.addTask(task([] { return true; }));
  EXPECT_EQ(pool.addTask(task([] { return true; })), 1u);
}

TEST(ThreadPool, ChainsRunStrictlyInOrderUnderLoadFromSeveralProducers) {
  ThreadPool pool(4);
  constexpr int kProducers = 4;
  constexpr int kPerChain = 1500;
  struct Chain {
    std::vector<int> seen;
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    unsigned last = 0;
  };
  std::vector<Chain> chains(kProducers);
  std::atomic<int> independent{0};
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      Chain& c = chains[p];
      for (int i = 0; i < kPerChain; ++i) {
        c.last = pool.addTask(task([&c, i] {
                                if (c.inside.fetch_add(1) != 0) c.overlapped = true;
                                c.seen.push_back(i);  // only ever touched by one task at a time
                                c.inside.fetch_sub(1);
                                return true;
                              }),
                              c.last);
        pool.addTask(task([&] {
          ++independent;
          return true;
        }));
      }
    });
  }
  for (auto& t : producers) t.join();
  for (auto& c : chains) ASSERT_TRUE(pool.waitForCompletion(c.last, kLimitMs));
  ASSERT_TRUE(waitUntil([&] { return pool.count() == 0; }));
  EXPECT_EQ(independent.load(), kProducers * kPerChain);
  for (auto& c : chains) {
    EXPECT_FALSE(c.overlapped.load());
    ASSERT_EQ(c.seen.size(), static_cast<size_t>(kPerChain));
    EXPECT_TRUE(std::is_sorted(c.seen.begin(), c.seen.end()));
  }
  EXPECT_EQ(sum(pool, &ThreadPool::completedCount), 2u * kProducers * kPerChain);
}

TEST(ThreadPool, ChainingBehindZeroEndedAndRunningIds) {
  ThreadPool pool(2);
  std::atomic<int> ran{0};
  const unsigned done = pool.addTask(task([&] {
    ++ran;
    return true;
  }));
  ASSERT_TRUE(pool.waitForCompletion(done, kLimitMs));
  pool.waitForCompletion(0);  // returns at once

  // Behind an ended id and behind id 0: queued at once.
  Semaphore s;
  pool.addTask(task([&] { return s.post(), true; }), done);
  pool.addTask(task([&] { return s.post(), true; }), 0);
  EXPECT_TRUE(s.wait1(kLimitMs));
  EXPECT_TRUE(s.wait1(kLimitMs));

  // Behind a running task: only after it ended, however many workers are free.
  Gate gate;
  const unsigned running = pool.addTask(gate.make());
  ASSERT_TRUE(gate.started.wait1(kLimitMs));
  std::atomic<bool> followerRan{false};
  const unsigned follower = pool.addTask(task([&] { return followerRan = true; }), running);
  EXPECT_FALSE(pool.waitForCompletion(follower, 30));
  EXPECT_FALSE(followerRan.load());
  gate.release.post();
  EXPECT_TRUE(pool.waitForCompletion(follower, kLimitMs));
  EXPECT_TRUE(followerRan.load());
}

TEST(ThreadPool, PausedTaskRunsAgainAndCanWaitForAnotherTask) {
  ThreadPool pool(3);
  // Run-again without a wait id: three runs, one completion.
  std::atomic<int> runs{0};
  const unsigned again = pool.addTask(task([&] { return ++runs == 3; }));
  ASSERT_TRUE(pool.waitForCompletion(again, kLimitMs));
  EXPECT_EQ(runs.load(), 3);

  // Paused behind a running task: not retried until it ended.
  Gate gate;
  const unsigned blocker = pool.addTask(gate.make());
  ASSERT_TRUE(gate.started.wait1(kLimitMs));
  std::atomic<int> waiterRuns{0};
  std::atomic<bool> blockerEndedWhenRetried{false};
  const unsigned waiter = pool.addTask(new FnTask(
      [&] {
        if (++waiterRuns == 1) return false;
        blockerEndedWhenRetried = !pool.doesTaskExist(blocker);
        return true;
      },
      nullptr, [&] { return blocker; }));
  ASSERT_TRUE(waitUntil([&] { return waiterRuns.load() == 1; }));
  EXPECT_FALSE(pool.waitForCompletion(waiter, 30));
  EXPECT_EQ(waiterRuns.load(), 1);
  EXPECT_TRUE(pool.doesTaskExist(waiter));
  gate.release.post();
  ASSERT_TRUE(pool.waitForCompletion(waiter, kLimitMs));
  EXPECT_EQ(waiterRuns.load(), 2);
  EXPECT_TRUE(blockerEndedWhenRetried.load());
}

// A task paused without a wait id is retried after a short delay, also while the pool's other
// worker is tied up by a long task (the worker keeping the retry time hands it on when it leaves
// to run a task), and idle workers wait without polling in between.
TEST(ThreadPool, PausedTaskIsRetriedPromptlyWhileOtherWorkIsBlocked) {
  ThreadPool pool(2);
  std::atomic<int> runs{0};
  std::atomic<bool> finish{false};
  const unsigned paused = pool.addTask(task([&] {
    ++runs;
    return finish.load();
  }));
  ASSERT_TRUE(waitUntil([&] { return runs.load() >= 2; }));
  // Tie up one worker; the paused task must keep being retried on the other.
  Gate gate;
  pool.addTask(gate.make());
  ASSERT_TRUE(gate.started.wait1(kLimitMs));
  const int before = runs.load();
  EXPECT_TRUE(waitUntil([&] { return runs.load() >= before + 5; }, std::chrono::milliseconds(3000)))
      << "retries while a worker is blocked: " << runs.load() - before;
  finish = true;
  ASSERT_TRUE(pool.waitForCompletion(paused, kLimitMs));
  gate.release.post();
  // Twenty pauses at the retry delay take tens of milliseconds, far from the limit.
  std::atomic<int> count{0};
  const auto t0 = std::chrono::steady_clock::now();
  const unsigned twenty = pool.addTask(task([&] { return ++count == 20; }));
  ASSERT_TRUE(pool.waitForCompletion(twenty, kLimitMs));
  EXPECT_EQ(count.load(), 20);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
  EXPECT_GE(std::chrono::steady_clock::now() - t0, 19 * ThreadPool::kPauseRetry);
}

// Workers wait untimed when idle: a new task, a released chain, a resume and a shrink still
// reach them at once.
TEST(ThreadPool, IdleWorkersWakeForAddReleaseAndResume) {
  ThreadPool pool(3);
  std::this_thread::sleep_for(50ms);
  Gate gate;
  const unsigned blocker = pool.addTask(gate.make());
  ASSERT_TRUE(gate.started.wait1(kLimitMs));
  Semaphore ran;
  pool.addTask(task([&] {
                 ran.post();
                 return true;
               }),
               blocker);
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(ran.count(), 0);
  gate.release.post();
  EXPECT_TRUE(ran.wait1(kLimitMs)) << "chain release";
  pool.suspend(true);
  pool.addTask(task([&] {
    ran.post();
    return true;
  }));
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(ran.count(), 0);
  pool.resume();
  EXPECT_TRUE(ran.wait1(kLimitMs)) << "resume";
  pool.setPoolSize(1);
  pool.addTask(task([&] {
    ran.post();
    return true;
  }));
  EXPECT_TRUE(ran.wait1(kLimitMs)) << "after a shrink";
  EXPECT_EQ(pool.poolSize(), 1u);
}

TEST(ThreadPool, ThrowingTaskReachesOnErrorAndItsFollowersStillRun) {
  ThreadPool pool(2);
  std::atomic<int> errors{0};
  std::atomic<int> destroyed{0};
  const unsigned bad = pool.addTask(new FnTask([]() -> bool { throw ZtException(ZRV_ERROR, "boom", true); }, &destroyed,
                                               nullptr, [&] { ++errors; }));
  const unsigned badOnError = pool.addTask(
      new FnTask([]() -> bool { throw 42; }, &destroyed, nullptr, [] { throw std::runtime_error("again"); }), bad);
  std::atomic<bool> followerRan{false};
  const unsigned follower = pool.addTask(task([&] { return followerRan = true; }), badOnError);
  ASSERT_TRUE(pool.waitForCompletion(follower, kLimitMs));
  EXPECT_EQ(errors.load(), 1);
  EXPECT_EQ(destroyed.load(), 2);
  EXPECT_TRUE(followerRan.load());
  ASSERT_TRUE(waitUntil([&] { return sum(pool, &ThreadPool::executedCount) == 3; }));
  EXPECT_EQ(sum(pool, &ThreadPool::failedCount), 2u);
  EXPECT_EQ(sum(pool, &ThreadPool::completedCount), 1u);
  EXPECT_EQ(pool.executedCount(99), 0u);
  EXPECT_EQ(pool.failedCount(99), 0u);
}

// A paused task whose needToWaitFor() throws has failed like a throwing exec(): the worker
// survives and the task's followers run.
TEST(ThreadPool, ThrowingWaitIdAfterAPauseCountsAsAFailure) {
  ThreadPool pool(1);
  std::atomic<int> errors{0};
  std::atomic<int> destroyed{0};
  const unsigned paused = pool.addTask(new FnTask([] { return false; }, &destroyed,
                                                  []() -> unsigned { throw std::runtime_error("no id"); },
                                                  [&] { ++errors; }));
  std::atomic<bool> followerRan{false};
  const unsigned follower = pool.addTask(task([&] { return followerRan = true; }), paused);
  ASSERT_TRUE(pool.waitForCompletion(follower, kLimitMs));
  EXPECT_TRUE(followerRan.load());
  EXPECT_EQ(errors.load(), 1);
  EXPECT_EQ(destroyed.load(), 1);
  ASSERT_TRUE(waitUntil([&] { return pool.executedCount(0) == 2; }));
  EXPECT_EQ(pool.failedCount(0), 1u);
  EXPECT_EQ(pool.completedCount(0), 1u);
}

TEST(ThreadPool, CompletionWaiterPausesBehindFirstRemainingId) {
  ThreadPool pool(3);
  const unsigned ended = pool.addTask(task([] { return true; }));
  ASSERT_TRUE(pool.waitForCompletion(ended, kLimitMs));
  Gate gate;
  const unsigned running = pool.addTask(gate.make());
  ASSERT_TRUE(gate.started.wait1(kLimitMs));

  auto* waiter = new TaskCompletionWaiter({ended, running}, &pool);
  EXPECT_EQ(waiter->needToWaitFor(), ended);
  const unsigned waiterId = pool.addTask(waiter);
  EXPECT_FALSE(pool.waitForCompletion(waiterId, 30));
  gate.release.post();
  EXPECT_TRUE(pool.waitForCompletion(waiterId, kLimitMs));

  TaskCompletionWaiter empty(&pool);
  EXPECT_TRUE(empty.exec());
  EXPECT_EQ(empty.needToWaitFor(), 0u);
}

TEST(ThreadPool, SuspendedPoolQueuesButStartsNothingUntilResumed) {
  ThreadPool pool(2);
  Gate gate;
  pool.addTask(gate.make());
  ASSERT_TRUE(gate.started.wait1(kLimitMs));
  std::thread releaser([&] {
    std::this_thread::sleep_for(20ms);
    gate.release.post();
  });
  pool.suspend(true);  // returns only once the running gate task finished
  releaser.join();
  EXPECT_TRUE(pool.isSuspended());
  EXPECT_EQ(pool.count(), 0u);

  std::atomic<int> ran{0};
  unsigned last = 0;
  for (int i = 0; i < 5; ++i) last = pool.addTask(task([&] { return ++ran, true; }));
  EXPECT_NE(last, 0u);
  EXPECT_FALSE(pool.waitForCompletion(last, 30));
  EXPECT_EQ(ran.load(), 0);
  EXPECT_EQ(pool.count(), 5u);
  pool.resume();
  EXPECT_TRUE(pool.waitForCompletion(last, kLimitMs));
  EXPECT_TRUE(waitUntil([&] { return ran.load() == 5; }));
}

TEST(ThreadPool, ShrinkAndGrowUnderLoad) {
  ThreadPool pool(4);
  std::atomic<bool> stop{false};
  std::atomic<int> ran{0};
  std::atomic<int> added{0};
  std::vector<std::thread> producers;
  for (int p = 0; p < 3; ++p) {
    producers.emplace_back([&] {
      unsigned last = 0;
      while (!stop) {
        // Tasks that use the pool themselves: a worker being removed still needs its lock.
        last = pool.addTask(task([&] {
                              ++ran;
                              pool.count();
                              return true;
                            }),
                            last);
        ++added;
        if (added % 64 == 0) std::this_thread::yield();
      }
    });
  }
  const unsigned sizes[] = {1, 6, 2, 8, 1, 3};
  for (unsigned n : sizes) {
    pool.setPoolSize(n);
    EXPECT_EQ(pool.poolSize(), n);
    std::this_thread::sleep_for(5ms);
  }
  stop = true;
  for (auto& t : producers) t.join();
  ASSERT_TRUE(waitUntil([&] { return pool.count() == 0; }));
  EXPECT_EQ(ran.load(), added.load());
  pool.setPoolSize(0);
  EXPECT_EQ(pool.poolSize(), processorCount());
}

TEST(ThreadPool, TaskMayResizeThePoolItRunsOn) {
  ThreadPool pool(4);
  Semaphore done;
  pool.addTask(task([&] {
    pool.setPoolSize(1);  // must keep the calling worker
    done.post();
    return true;
  }));
  ASSERT_TRUE(done.wait1(kLimitMs));
  EXPECT_EQ(pool.poolSize(), 1u);
  const unsigned id = pool.addTask(task([] { return true; }));
  EXPECT_TRUE(pool.waitForCompletion(id, kLimitMs));
}

TEST(ThreadPool, DestroyingThePoolDeletesTasksThatNeverRan) {
  std::atomic<int> destroyed{0};
  std::atomic<int> ran{0};
  {
    ThreadPool pool(2);
    pool.suspend(true);
    unsigned last = 0;
    for (int i = 0; i < 10; ++i)
      last = pool.addTask(new FnTask([&] { return ++ran, true; }, &destroyed), i % 2 ? last : 0);
    EXPECT_EQ(pool.count(), 10u);
  }
  EXPECT_EQ(ran.load(), 0);
  EXPECT_EQ(destroyed.load(), 10);
}

TEST(ThreadPool, TaskIsDeletedBeforeItsIdEndsAndItsDestructorMayAddTasks) {
  ThreadPool pool(2);
  std::atomic<int> destroyed{0};
  Semaphore second;
  struct Spawner : ThreadPoolTask {
    ThreadPool* pool;
    Semaphore* signal;
    std::atomic<int>* destroyed;
    bool exec() override { return true; }
    ~Spawner() override {
      pool->addTask(new FnTask([s = signal] { return s->post(), true; }));
      ++*destroyed;
    }
  };
  auto* s = new Spawner();
  s->pool = &pool;
  s->signal = &second;
  s->destroyed = &destroyed;
  const unsigned id = pool.addTask(s);
  ASSERT_TRUE(pool.waitForCompletion(id, kLimitMs));
  EXPECT_EQ(destroyed.load(), 1);  // gone by the time the id is
  EXPECT_TRUE(second.wait1(kLimitMs));
}

TEST(ThreadPool, ProcessWidePoolIsCreatedOnFirstUseAndCanBeReplaced) {
  ThreadPool::destroy();
  EXPECT_EQ(gPool.load(), nullptr);
  ThreadPool* first = ThreadPool::instance();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(ThreadPool::instance(), first);
  EXPECT_EQ(first->poolSize(), processorCount());
  EXPECT_TRUE(gManagePool);

  ThreadPool mine(1);
  ThreadPool::setPool(&mine);  // deletes the library's pool
  EXPECT_EQ(ThreadPool::instance(), &mine);
  EXPECT_FALSE(gManagePool);
  ThreadPool::destroy();  // not ours to delete: only forgotten
  EXPECT_EQ(gPool.load(), nullptr);
  EXPECT_TRUE(gManagePool);
  const unsigned id = mine.addTask(task([] { return true; }));
  EXPECT_TRUE(mine.waitForCompletion(id, kLimitMs));
}

// A single new record wakes the worker that went idle last (whose processor is the likeliest to
// be awake), not one that has slept longer.
TEST(ThreadPool, NewRecordWakesTheWorkerIdleForTheShortestTime) {
  ThreadPool pool(4);
  ASSERT_TRUE(waitUntil([&] { return pool.sleepingWorkers() == 4; }));
  std::thread::id previous;
  for (int round = 0; round < 10; ++round) {
    std::thread::id ranOn;
    Semaphore done;
    const unsigned id = pool.addTask(task([&] {
      ranOn = std::this_thread::get_id();
      done.post();
      return true;
    }));
    ASSERT_TRUE(done.wait1(kLimitMs));
    ASSERT_TRUE(pool.waitForCompletion(id, kLimitMs));
    ASSERT_TRUE(waitUntil([&] { return pool.count() == 0 && pool.sleepingWorkers() == 4; }));  // all asleep
    if (round > 0) {
      EXPECT_EQ(ranOn, previous) << "round " << round;
    }
    previous = ranOn;
  }
}

// A record added to run next by a task runs on the same worker once that task has ended; from
// any other thread the call is a plain add. (With a budget no machine reaches: a loaded one
// could otherwise find the adder behind and hand the record on, as it should.)
TEST(ThreadPool, RunNextRecordRunsOnTheAddingWorkerAfterItsTask) {
  ThreadPool pool(4);
  pool.setRunNextBudget(std::chrono::microseconds(std::chrono::seconds(100)));
  for (int round = 0; round < 20; ++round) {
    std::thread::id adder, runner;
    std::atomic<bool> adderEnded{false};
    std::atomic<bool> sawAdderEnded{false};
    Semaphore done;
    pool.addTask(task([&] {
      adder = std::this_thread::get_id();
      pool.addTaskToRunNext(task([&] {
        runner = std::this_thread::get_id();
        sawAdderEnded = adderEnded.load();
        done.post();
        return true;
      }));
      // Idle workers could take a queued record now; the run-next one must wait for this task.
      std::this_thread::sleep_for(1ms);
      adderEnded = true;
      return true;
    }));
    ASSERT_TRUE(done.wait1(kLimitMs));
    EXPECT_EQ(runner, adder) << "round " << round;
    EXPECT_TRUE(sawAdderEnded.load()) << "round " << round;
  }
  Semaphore plain;
  const unsigned id = pool.addTaskToRunNext(task([&] { return plain.post(), true; }));
  EXPECT_NE(id, 0u);
  EXPECT_TRUE(plain.wait1(kLimitMs)) << "added from a thread outside the pool";
  EXPECT_EQ(pool.addTaskToRunNext(nullptr), 0u);
}

// A burst of run-next records (a parse task queuing the processing of each message it cut: here
// 16 devices with two chained packets each) runs on the adding worker once its task has ended,
// each device's packets in order, and wakes no other worker: the only wake-up is the burst's own
// task's. Counted with a budget no machine reaches, so load cannot hand records on.
TEST(ThreadPool, RunNextBurstRunsOnItsWorkerInOrderAndWakesNoOther) {
  ThreadPool pool(4);
  pool.setRunNextBudget(std::chrono::microseconds(std::chrono::seconds(100)));
  constexpr int kDevices = 16;
  for (int round = 0; round < 3; ++round) {
    ASSERT_TRUE(waitUntil([&] { return pool.sleepingWorkers() == 4; })) << "round " << round;
    const uint64_t before = pool.wakeCount();
    std::mutex m;
    std::vector<std::pair<int, int>> ran;  // (device, packet) in the order run
    std::set<std::thread::id> threads;
    std::thread::id adder;
    Semaphore done;
    pool.addTask(task([&] {
      adder = std::this_thread::get_id();
      unsigned last[kDevices] = {};
      for (int packet = 0; packet < 2; ++packet)
        for (int d = 0; d < kDevices; ++d)
          last[d] = pool.addTaskToRunNext(task([&, d, packet] {
                                            std::lock_guard<std::mutex> g(m);
                                            ran.emplace_back(d, packet);
                                            threads.insert(std::this_thread::get_id());
                                            if (ran.size() == 2 * kDevices) done.post();
                                            return true;
                                          }),
                                          last[d]);
      return true;
    }));
    ASSERT_TRUE(done.wait1(kLimitMs));
    std::lock_guard<std::mutex> g(m);
    EXPECT_EQ(threads, std::set<std::thread::id>{adder}) << "round " << round;
    for (int d = 0; d < kDevices; ++d) {
      const auto first = std::find(ran.begin(), ran.end(), std::make_pair(d, 0));
      const auto second = std::find(ran.begin(), ran.end(), std::make_pair(d, 1));
      EXPECT_LT(first, second) << "device " << d;
    }
    EXPECT_EQ(pool.wakeCount() - before, 1u) << "round " << round;
  }
}

// The run-next list is handed to the other workers whenever keeping it would delay or block the
// work: the adding task waits for a record of it, its worker is blocked past the budget, another
// thread waits for a held record, the adding worker retires. Chained records keep their order.
TEST(ThreadPool, RunNextRecordIsPublishedWhenItsWorkerCannotRunItSoon) {
  ThreadPool pool(3);
  {
    // The adder waits for the record it added (would never end if the record stayed put).
    Semaphore done;
    pool.addTask(task([&] {
      Semaphore ran;
      const unsigned id = pool.addTaskToRunNext(task([&] { return ran.post(), true; }));
      EXPECT_TRUE(pool.waitForCompletion(id, kLimitMs / 10));
      EXPECT_EQ(ran.count(), 1);
      done.post();
      return true;
    }));
    EXPECT_TRUE(done.wait1(kLimitMs)) << "waitForCompletion from the adding task";
  }
  {
    // The adder hands the record on explicitly, then blocks on it by other means.
    Semaphore done;
    pool.addTask(task([&] {
      Semaphore ran;
      pool.addTaskToRunNext(task([&] { return ran.post(), true; }));
      pool.publishRunNext();
      EXPECT_TRUE(ran.wait1(kLimitMs / 10));
      done.post();
      return true;
    }));
    EXPECT_TRUE(done.wait1(kLimitMs)) << "publishRunNext";
  }
  {
    // The adder blocks with records held: they wait until the pool next sees work after the
    // budget (here an add from another thread), which hands them to the other workers, their
    // chain kept.
    pool.setRunNextBudget(std::chrono::microseconds(1000));
    Gate gate;
    Semaphore secondRan;
    std::vector<int> order;
    std::mutex orderMutex;
    const auto record = [&](int i) {
      return task([&, i] {
        std::lock_guard<std::mutex> g(orderMutex);
        order.push_back(i);
        if (i == 1) secondRan.post();
        return true;
      });
    };
    const unsigned adder = pool.addTask(task([&] {
      // Chained as a device's packets are: two free records handed on may run on two workers
      // at once, in either order.
      const unsigned first = pool.addTaskToRunNext(record(0));
      pool.addTaskToRunNext(record(1), first);
      gate.started.post();
      gate.release.wait1(kLimitMs);
      return true;
    }));
    ASSERT_TRUE(gate.started.wait1(kLimitMs));
    std::this_thread::sleep_for(5ms);  // past the budget
    pool.addTask(task([] { return true; }));
    EXPECT_TRUE(secondRan.wait1(kLimitMs)) << "held records handed on while their worker is blocked";
    gate.release.post();
    ASSERT_TRUE(pool.waitForCompletion(adder, kLimitMs));
    std::lock_guard<std::mutex> g(orderMutex);
    EXPECT_EQ(order, (std::vector<int>{0, 1}));
    pool.setRunNextBudget(ThreadPool::kRunNextBudget);
  }
  {
    // Another thread waits for a record held by a blocked worker: the wait hands it on.
    Gate gate;
    std::atomic<unsigned> heldId{0};
    const unsigned adder = pool.addTask(task([&] {
      heldId = pool.addTaskToRunNext(task([] { return true; }));
      gate.started.post();
      gate.release.wait1(kLimitMs);
      return true;
    }));
    ASSERT_TRUE(gate.started.wait1(kLimitMs));
    EXPECT_TRUE(pool.waitForCompletion(heldId.load(), kLimitMs)) << "waited for from outside";
    gate.release.post();
    ASSERT_TRUE(pool.waitForCompletion(adder, kLimitMs));
  }
  {
    // The adding worker is removed by a shrink while its task still runs.
    Gate gate;
    Semaphore ran;
    std::atomic<int> added{0};
    for (int i = 0; i < 3; ++i)
      pool.addTask(task([&] {
        pool.addTaskToRunNext(task([&] { return ran.post(), true; }));
        ++added;
        gate.started.post();
        gate.release.wait1(kLimitMs);
        return true;
      }));
    ASSERT_TRUE(waitUntil([&] { return gate.started.count() == 3; }));
    std::thread shrink([&] { pool.setPoolSize(1); });
    std::this_thread::sleep_for(10ms);
    gate.release.post(3);
    shrink.join();
    EXPECT_EQ(added.load(), 3);
    EXPECT_TRUE(waitUntil([&] { return ran.count() == 3; })) << "records of retired workers run on the remaining one";
    EXPECT_EQ(pool.poolSize(), 1u);
  }
}

// A record someone waits for is not left in a run-next list behind a task that blocks while
// another worker is idle, also when it (or a record of the chain it waits behind) is released
// into the list only after the wait began. The worker runs R from its run-next list; Y, an
// application's callback that blocks until the waiting thread is done, and M's chain are chained
// behind R; the wait for M begins while R runs, and its start hands on the list left behind R
// (Z), which lets R end. Y gives up after a while, so a pool that keeps M behind it cannot hang
// the test: the untimed wait then ends, too late. The budget is one no machine reaches, so
// nothing but the wait may hand the list on.
TEST(ThreadPool, WaitedRecordReleasedIntoARunNextListIsNotLeftBehindABlockedTask) {
  struct Case {
    const char* name;
    bool untimed;
    bool throughChain;  // M behind R2 behind R (R2 is released into the list), else M behind R
  };
  constexpr unsigned kWaitMs = 3000;
  constexpr unsigned kYLimitMs = 6000;
  for (const Case& c : {Case{"timed, M behind R", false, false}, Case{"untimed, M behind R", true, false},
                        Case{"timed, M behind R2 behind R", false, true},
                        Case{"untimed, M behind R2 behind R", true, true}}) {
    SCOPED_TRACE(c.name);
    ThreadPool pool(2);
    pool.setRunNextBudget(std::chrono::microseconds(std::chrono::seconds(100)));
    Gate r;
    Semaphore waiterDone;
    std::atomic<bool> yGaveUp{false};
    std::atomic<unsigned> yId{0}, mBehind{0};
    pool.addTask(task([&] {
      const unsigned rId = pool.addTaskToRunNext(r.make());
      pool.addTaskToRunNext(task([&] { return r.release.post(), true; }));  // Z
      yId = pool.addTaskToRunNext(task([&] { return yGaveUp = !waiterDone.wait1(kYLimitMs), true; }), rId);
      mBehind = c.throughChain ? pool.addTaskToRunNext(task([] { return true; }), rId) : rId;
      return true;
    }));
    ASSERT_TRUE(r.started.wait1(kLimitMs));
    ASSERT_TRUE(waitUntil([&] { return mBehind.load() != 0; }));
    std::atomic<bool> mRan{false};
    const unsigned m = pool.addTask(task([&] { return mRan = true, true; }), mBehind.load());
    const auto start = std::chrono::steady_clock::now();
    bool waited = true;
    if (c.untimed)
      pool.waitForCompletion(m);
    else
      waited = pool.waitForCompletion(m, kWaitMs);
    const auto took = std::chrono::steady_clock::now() - start;
    waiterDone.post();
    ASSERT_TRUE(pool.waitForCompletion(yId.load(), kLimitMs));
    EXPECT_TRUE(waited);
    EXPECT_TRUE(mRan.load());
    EXPECT_FALSE(yGaveUp.load()) << "M ran only once the blocked Y gave up, after "
                                 << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms";
  }
}

// Suspension holds a run-next record like any queued one; destruction deletes it unrun.
TEST(ThreadPool, RunNextRecordHonoursSuspendAndDestruction) {
  std::atomic<int> destroyed{0};
  std::atomic<int> ran{0};
  {
    ThreadPool pool(2);
    Gate gate;
    pool.addTask(task([&] {
      pool.addTaskToRunNext(new FnTask([&] { return ++ran, true; }, &destroyed));
      gate.started.post();
      gate.release.wait1(kLimitMs);
      return true;
    }));
    ASSERT_TRUE(gate.started.wait1(kLimitMs));
    pool.suspend(false);
    gate.release.post();
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(ran.load(), 0) << "suspended";
    EXPECT_EQ(pool.count(), 1u);
    pool.resume();
    EXPECT_TRUE(waitUntil([&] { return ran.load() == 1; })) << "resumed";

    Gate second;
    pool.addTask(task([&] {
      pool.addTaskToRunNext(new FnTask([&] { return ++ran, true; }, &destroyed));
      second.started.post();
      second.release.wait1(kLimitMs);
      return true;
    }));
    ASSERT_TRUE(second.started.wait1(kLimitMs));
    pool.suspend(false);
    second.release.post();
    ASSERT_TRUE(waitUntil([&] { return pool.count() == 1; }));
  }
  EXPECT_EQ(ran.load(), 1);
  EXPECT_EQ(destroyed.load(), 2);
}

// Records sit at slot id & (size - 1) of the pool's table: an id whose slot is taken is skipped,
// and a lookup must tell the skipped id from the live one in its slot.
TEST(ThreadPool, IdWhoseTableSlotIsTakenIsSkippedAndNotMistakenForItsOccupant) {
  ThreadPool pool(1);
  pool.suspend(true);
  const unsigned table = static_cast<unsigned>(pool.recordTableSize());
  ASSERT_EQ(table, ThreadPool::kFirstTableSize);
  EXPECT_EQ(pool.addTask(task([] { return true; })), 1u);
  pool.setNextTaskId(1 + table);  // the slot of id 1
  EXPECT_EQ(pool.addTask(task([] { return true; })), 2 + table);
  pool.setNextTaskId(table);  // slot 0 is free
  EXPECT_EQ(pool.addTask(task([] { return true; })), table);
  EXPECT_FALSE(pool.doesTaskExist(1 + table));
  EXPECT_TRUE(pool.waitForCompletion(1 + table, 0));
  EXPECT_TRUE(pool.doesTaskExist(1));
  // Chained behind the skipped id (which names no task): queued, not held behind id 1.
  Semaphore ran;
  const unsigned free = pool.addTask(task([&] { return ran.post(), true; }), 1 + table);
  EXPECT_EQ(pool.count(), 4u);
  pool.resume();
  EXPECT_TRUE(ran.wait1(kLimitMs));
  EXPECT_TRUE(pool.waitForCompletion(free, kLimitMs));
  EXPECT_TRUE(waitUntil([&] { return pool.count() == 0; }));
  // Once its slot is free the skipped id is handed out again.
  pool.setNextTaskId(1 + table);
  EXPECT_EQ(pool.addTask(task([] { return true; })), 1 + table);
}

TEST(ThreadPool, TableGrowsUnderManyLiveChainedRecordsAcrossTheIdWrap) {
  ThreadPool pool(4);
  pool.suspend(true);
  pool.setNextTaskId(0xFFFFFFFFu - 300);
  constexpr int kChains = 8, kPerChain = 250;
  std::mutex m;
  std::vector<std::vector<int>> order(kChains);
  std::set<unsigned> ids;
  unsigned last[kChains] = {};
  for (int i = 0; i < kChains * kPerChain; ++i) {
    const int chain = i % kChains, step = i / kChains;
    const unsigned id = pool.addTask(task([&, chain, step] {
                                       std::lock_guard<std::mutex> lk(m);
                                       order[chain].push_back(step);
                                       return true;
                                     }),
                                     last[chain]);
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(ids.insert(id).second) << "id " << id << " handed out twice";
    last[chain] = id;
  }
  EXPECT_EQ(pool.count(), static_cast<unsigned>(kChains * kPerChain));
  EXPECT_GE(pool.recordTableSize(), 2u * kChains * kPerChain);
  EXPECT_EQ(*ids.rbegin(), 0xFFFFFFFFu);
  EXPECT_LT(*ids.begin(), 2000u) << "ids wrapped to 1";
  for (const unsigned id : ids) ASSERT_TRUE(pool.doesTaskExist(id)) << id;
  pool.resume();
  for (const unsigned id : last) EXPECT_TRUE(pool.waitForCompletion(id, kLimitMs));
  std::vector<int> expected(kPerChain);
  for (int k = 0; k < kPerChain; ++k) expected[k] = k;
  for (int c = 0; c < kChains; ++c) EXPECT_EQ(order[c], expected) << "chain " << c;
  EXPECT_TRUE(waitUntil([&] { return pool.count() == 0; }));
}

// Records and table slots are kept at their high-water mark: adding, chaining and running as
// many tasks again allocates nothing.
TEST(ThreadPool, NoAllocationOnceTheHighWaterMarkOfRecordsIsReached) {
  ThreadPool pool(2);
  constexpr int kLive = 600;
  std::atomic<int> ran{0};
  for (int round = 0; round < 3; ++round) {
    std::vector<ThreadPoolTask*> tasks;
    for (int i = 0; i < kLive; ++i) tasks.push_back(task([&] { return ++ran, true; }));
    pool.suspend(true);
    const AllocationCounter allocations;
    unsigned last = 0;
    for (int i = 0; i < kLive; ++i) last = pool.addTask(tasks[i], i % 2 ? last : 0);
    const uint64_t adding = allocations.countAllThreads();
    pool.resume();
    // Polled in place: waitUntil's std::function would allocate for this capture.
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLimitMs);
    bool done = false;
    while (!(done = ran.load() == kLive * (round + 1) && pool.count() == 0) && std::chrono::steady_clock::now() < end)
      std::this_thread::yield();
    const uint64_t all = allocations.countAllThreads();
    ASSERT_TRUE(done);
    if (round == 0) {
      EXPECT_GT(adding, 0u) << "the first burst grows the table and the records";
    } else {
      EXPECT_EQ(adding, 0u) << "round " << round;
      EXPECT_EQ(all, 0u) << "round " << round;
    }
  }
}

// An idle worker is woken by the new task (one wake-up each), not found by a poll of its own.
TEST(ThreadPool, TaskAddedToAnIdlePoolWakesOneSleeper) {
  ThreadPool pool(2);
  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(waitUntil([&] { return pool.sleepingWorkers() == 2; })) << "round " << i;
    const uint64_t before = pool.wakeCount();
    Semaphore ran;
    pool.addTask(task([&] { return ran.post(), true; }));
    ASSERT_TRUE(ran.wait1(kLimitMs));
    EXPECT_EQ(pool.wakeCount() - before, 1u) << "round " << i;
  }
}

}  // namespace
