// Task pool throughput, wake-up latency and idle cost.
//   BM_IndependentTasks   tasks/s for tasks without chaining
//   BM_LongChain          tasks/s for one chain (each task behind the previous one)
//   BM_AddToExecLatency   add-to-exec latency on an idle pool: median and 99th percentile
//   BM_FollowUpLatency/r  a task on an idle pool queues a follow-up and ends: latency from the
//                         add to the follow-up's start (p50, p99) and wake-ups of the pool's
//                         threads per follow-up, for addTaskToRunNext (r=1) beside its
//                         reference addTask (r=0)
//   BM_IdlePool8          CPU and wake-ups per second of an idle pool of 8 workers, beside
//                         BM_IdlePool8_Reference_CondWait (8 threads in an untimed wait)
//   BM_HandOver/r         a link's hand-over at a stream's pace: every 250 us the producer adds a
//                         task chained behind its previous one, which queues a run-next follow-up
//                         (a parse task and its packet's processing); CPU per hand-over of the
//                         producer (adder_us) and of the pool's workers (worker_us), workers'
//                         wake-ups and allocations per hand-over (every thread; the bench's tasks
//                         recycle their storage, so what is counted is the pool's). r=1 is the
//                         reference in the same run: a plain thread woken through a mutex and a
//                         condition variable for each item.
//   BM_AddRecords/r       the pool's record bookkeeping on a warm processor: 512 tasks added to a
//                         suspended pool (so nothing is woken), every second one chained behind
//                         the one before, as a link's tasks are; ns per add (ns_per_add, the pool
//                         lock included), then the pool runs them untimed. r=1 is the reference
//                         in the same run: as many nodes pushed on a mutex-guarded intrusive list.
#include <benchmark/benchmark.h>

#include <condition_variable>
#include <mutex>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include <time.h>

#include "ThreadStats.h"
#include "foundation/Semaphore.h"
#include "foundation/ThreadPool.h"
#include "support/AllocationCounter.h"

using namespace zelto;
using Clock = std::chrono::steady_clock;

namespace {

class CountTask : public ThreadPoolTask {
 public:
  CountTask(std::atomic<long>* left, Semaphore* done) : m_left(left), m_done(done) {}
  bool exec() override {
    if (m_left->fetch_sub(1, std::memory_order_acq_rel) == 1) m_done->post();
    return true;
  }

 private:
  std::atomic<long>* m_left;
  Semaphore* m_done;
};

ThreadPool& pool() {
  static ThreadPool* p = new ThreadPool(0);
  return *p;
}

void BM_IndependentTasks(benchmark::State& state) {
  const long n = state.range(0);
  ThreadPool& p = pool();
  for (auto _ : state) {
    std::atomic<long> left{n};
    Semaphore done;
    for (long i = 0; i < n; ++i) p.addTask(new CountTask(&left, &done));
    done.wait1();
  }
  state.SetItemsProcessed(state.iterations() * n);
  state.counters["workers"] = p.poolSize();
}
BENCHMARK(BM_IndependentTasks)->Arg(10000)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_LongChain(benchmark::State& state) {
  const long n = state.range(0);
  ThreadPool& p = pool();
  for (auto _ : state) {
    std::atomic<long> left{n};
    Semaphore done;
    unsigned last = 0;
    for (long i = 0; i < n; ++i) last = p.addTask(new CountTask(&left, &done), last);
    done.wait1();
  }
  state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_LongChain)->Arg(10000)->Unit(benchmark::kMillisecond)->UseRealTime();

class StampTask : public ThreadPoolTask {
 public:
  StampTask(Clock::time_point* at, Semaphore* done) : m_at(at), m_done(done) {}
  bool exec() override {
    *m_at = Clock::now();
    m_done->post();
    return true;
  }

 private:
  Clock::time_point* m_at;
  Semaphore* m_done;
};

void BM_AddToExecLatency(benchmark::State& state) {
  ThreadPool& p = pool();
  std::vector<double> us;
  for (auto _ : state) {
    us.clear();
    for (int i = 0; i < 500; ++i) {
      state.PauseTiming();
      // Long enough for every worker to be back in its idle wait.
      std::this_thread::sleep_for(std::chrono::milliseconds(3));
      state.ResumeTiming();
      Clock::time_point at;
      Semaphore done;
      const auto t0 = Clock::now();
      p.addTask(new StampTask(&at, &done));
      done.wait1();
      us.push_back(std::chrono::duration<double, std::micro>(at - t0).count());
    }
  }
  std::sort(us.begin(), us.end());
  state.counters["median_us"] = us[us.size() / 2];
  state.counters["p99_us"] = us[us.size() * 99 / 100];
  state.counters["max_us"] = us.back();
}
BENCHMARK(BM_AddToExecLatency)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// The follow-up's add time, set by the first task just before it adds the follow-up.
class FollowUpTask : public ThreadPoolTask {
 public:
  FollowUpTask(ThreadPool* pool, bool runNext, Clock::time_point* added, Clock::time_point* at, Semaphore* done)
      : m_pool(pool), m_runNext(runNext), m_added(added), m_at(at), m_done(done) {}
  bool exec() override {
    *m_added = Clock::now();
    auto* next = new StampTask(m_at, m_done);
    if (m_runNext)
      m_pool->addTaskToRunNext(next);
    else
      m_pool->addTask(next);
    return true;
  }

 private:
  ThreadPool* m_pool;
  bool m_runNext;
  Clock::time_point* m_added;
  Clock::time_point* m_at;
  Semaphore* m_done;
};

void BM_FollowUpLatency(benchmark::State& state) {
  const bool runNext = state.range(0) != 0;
  constexpr int kSamples = 2000;
  for (auto _ : state) {
    const auto before = benchstats::threadIds();
    ThreadPool p(8);
    const auto tids = benchstats::newThreads(before);
    std::vector<double> us;
    us.reserve(kSamples);
    const auto s0 = benchstats::sample(tids);
    for (int i = 0; i < kSamples; ++i) {
      // Long enough for every worker to be back in its idle wait.
      std::this_thread::sleep_for(std::chrono::microseconds(500));
      Clock::time_point added, at;
      Semaphore done;
      p.addTask(new FollowUpTask(&p, runNext, &added, &at, &done));
      done.wait1();
      us.push_back(std::chrono::duration<double, std::micro>(at - added).count());
    }
    const auto s1 = benchstats::sample(tids);
    std::sort(us.begin(), us.end());
    state.counters["p50_us"] = us[us.size() / 2];
    state.counters["p99_us"] = us[us.size() * 99 / 100];
    // Each sample wakes one worker for the first task; the rest is the follow-up's.
    state.counters["wakeups_per_followup"] = (s1.voluntary - s0.voluntary) / kSamples - 1.0;
  }
}
BENCHMARK(BM_FollowUpLatency)->Arg(0)->Arg(1)->ArgName("run_next")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// Idle cost of a pool of 8 workers beside its reference, 8 threads in an untimed condition
// wait, measured the same way over 2 s: CPU from the threads' own CPU clocks, wake-ups from
// their voluntary context switches (/proc/self/task/<tid>/status).
void reportIdle(benchmark::State& state, const std::vector<pid_t>& tids) {
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const auto s0 = benchstats::sample(tids);
  const auto t0 = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(2));
  const auto s1 = benchstats::sample(tids);
  const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  state.counters["cpu_ms_per_s"] = (s1.cpuNs - s0.cpuNs) / 1e6 / seconds;
  state.counters["wakeups_per_s"] = (s1.voluntary - s0.voluntary) / seconds;
  state.counters["switches_per_s"] = (s1.switches - s0.switches) / seconds;
  state.counters["threads"] = static_cast<double>(tids.size());
}

void BM_IdlePool8(benchmark::State& state) {
  for (auto _ : state) {
    const auto before = benchstats::threadIds();
    ThreadPool idle(8);
    // Some work first, so every worker has run and gone back to its wait.
    std::atomic<long> left{1000};
    Semaphore done;
    for (int i = 0; i < 1000; ++i) idle.addTask(new CountTask(&left, &done));
    done.wait1();
    reportIdle(state, benchstats::newThreads(before));
  }
}
BENCHMARK(BM_IdlePool8)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_IdlePool8_Reference_CondWait(benchmark::State& state) {
  for (auto _ : state) {
    const auto before = benchstats::threadIds();
    std::mutex m;
    std::condition_variable cv;
    bool stop = false;
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i)
      threads.emplace_back([&] {
        std::unique_lock<std::mutex> lk(m);
        cv.wait(lk, [&] { return stop; });
      });
    reportIdle(state, benchstats::newThreads(before));
    {
      std::lock_guard<std::mutex> lk(m);
      stop = true;
    }
    cv.notify_all();
    for (auto& t : threads) t.join();
  }
}
BENCHMARK(BM_IdlePool8_Reference_CondWait)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// Task storage recycled through a small free list, so that the hand-over benchmark counts the
// pool's allocations only.
class RecycledTask : public ThreadPoolTask {
 public:
  static void* operator new(size_t size) {
    {
      std::lock_guard<std::mutex> lk(freeMutex());
      if (!freeList().empty() && size <= kSlot) {
        void* p = freeList().back();
        freeList().pop_back();
        return p;
      }
    }
    return ::operator new(kSlot);
  }
  static void operator delete(void* p) noexcept {
    std::lock_guard<std::mutex> lk(freeMutex());
    if (freeList().size() < freeList().capacity()) {
      freeList().push_back(p);
      return;
    }
    ::operator delete(p);
  }

 private:
  static constexpr size_t kSlot = 64;
  static std::mutex& freeMutex() {
    static std::mutex m;
    return m;
  }
  static std::vector<void*>& freeList() {
    static std::vector<void*> list = [] {
      std::vector<void*> v;
      v.reserve(64);
      return v;
    }();
    return list;
  }
};

class HandOverFollowUp : public RecycledTask {
 public:
  explicit HandOverFollowUp(std::atomic<long>* done) : m_done(done) {}
  bool exec() override {
    m_done->fetch_add(1, std::memory_order_release);
    return true;
  }

 private:
  std::atomic<long>* m_done;
};
static_assert(sizeof(HandOverFollowUp) <= 64);

class HandOverStep : public RecycledTask {
 public:
  HandOverStep(ThreadPool* pool, std::atomic<long>* done) : m_pool(pool), m_done(done) {}
  bool exec() override {
    m_pool->addTaskToRunNext(new HandOverFollowUp(m_done));
    return true;
  }

 private:
  ThreadPool* m_pool;
  std::atomic<long>* m_done;
};
static_assert(sizeof(HandOverStep) <= 64);

void BM_HandOver(benchmark::State& state) {
  const bool reference = state.range(0) != 0;
  constexpr int kItems = 4000;
  constexpr auto kGap = std::chrono::microseconds(250);
  for (auto _ : state) {
    const auto before = benchstats::threadIds();
    std::atomic<long> done{0};
    // Reference: one consumer thread woken per item.
    std::mutex m;
    std::condition_variable cv;
    long posted = 0;
    bool stop = false;
    std::thread consumer;
    ThreadPool* pool = nullptr;
    if (reference) {
      consumer = std::thread([&] {
        long seen = 0;
        std::unique_lock<std::mutex> lk(m);
        for (;;) {
          cv.wait(lk, [&] { return stop || posted != seen; });
          if (posted == seen) return;
          done.fetch_add(posted - seen, std::memory_order_release);
          seen = posted;
        }
      });
    } else {
      pool = new ThreadPool(8);
    }
    const auto tids = benchstats::newThreads(before);
    auto post = [&](unsigned& last) {
      if (reference) {
        {
          std::lock_guard<std::mutex> lk(m);
          ++posted;
        }
        cv.notify_one();
      } else {
        last = pool->addTask(new HandOverStep(pool, &done), last);
      }
    };
    unsigned last = 0;
    for (int i = 0; i < 200; ++i) {  // warm-up: the pool's records and the task storage
      post(last);
      std::this_thread::sleep_for(kGap);
    }
    while (done.load() < 200) std::this_thread::yield();
    // The thread samples read /proc (and allocate): they stay outside the counted window.
    const auto s0 = benchstats::sample(tids);
    const AllocationCounter allocations;
    double adderNs = 0;
    for (int i = 0; i < kItems; ++i) {
      std::this_thread::sleep_for(kGap);
      const double a = benchstats::clockNs(CLOCK_THREAD_CPUTIME_ID);
      post(last);
      adderNs += benchstats::clockNs(CLOCK_THREAD_CPUTIME_ID) - a;
    }
    while (done.load(std::memory_order_acquire) < 200 + kItems) std::this_thread::yield();
    const double allocs = static_cast<double>(allocations.countAllThreads());
    const auto s1 = benchstats::sample(tids);
    if (reference) {
      {
        std::lock_guard<std::mutex> lk(m);
        stop = true;
      }
      cv.notify_one();
      consumer.join();
    } else {
      delete pool;
    }
    state.counters["adder_us"] = adderNs / 1e3 / kItems;
    state.counters["worker_us"] = (s1.cpuNs - s0.cpuNs) / 1e3 / kItems;
    state.counters["worker_wakeups"] = (s1.voluntary - s0.voluntary) / kItems;
    state.counters["allocs"] = allocs / kItems;
  }
}
BENCHMARK(BM_HandOver)->Arg(0)->Arg(1)->ArgName("reference")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_AddRecords(benchmark::State& state) {
  const bool reference = state.range(0) != 0;
  constexpr int kBatch = 512;
  std::unique_ptr<ThreadPool> pool(reference ? nullptr : new ThreadPool(2));
  std::vector<ThreadPoolTask*> tasks(kBatch);
  struct Node {
    Node* next = nullptr;
  };
  std::vector<Node> nodes(kBatch);
  Node* head = nullptr;
  std::mutex listMutex;
  std::atomic<long> done{0};
  long expected = 0;
  double ns = 0;
  long adds = 0;
  for (auto _ : state) {
    state.PauseTiming();
    if (pool) {
      pool->suspend(true);
      for (auto& t : tasks) t = new HandOverFollowUp(&done);
    }
    state.ResumeTiming();
    const double t0 = benchstats::clockNs(CLOCK_MONOTONIC);
    if (pool) {
      unsigned last = 0;
      for (int i = 0; i < kBatch; ++i) last = pool->addTask(tasks[i], i % 2 ? last : 0);
    } else {
      for (int i = 0; i < kBatch; ++i) {
        std::lock_guard<std::mutex> lk(listMutex);
        nodes[i].next = head;
        head = &nodes[i];
      }
      benchmark::DoNotOptimize(head);
    }
    ns += benchstats::clockNs(CLOCK_MONOTONIC) - t0;
    adds += kBatch;
    state.PauseTiming();
    if (pool) {
      expected += kBatch;
      pool->resume();
      while (done.load(std::memory_order_acquire) < expected) std::this_thread::yield();
    }
    head = nullptr;
    state.ResumeTiming();
  }
  state.counters["ns_per_add"] = ns / static_cast<double>(adds);
}
BENCHMARK(BM_AddRecords)->Arg(0)->Arg(1)->ArgName("reference")->Iterations(400);

}  // namespace
