// Task pool throughput, wake-up latency and idle cost.
//   BM_IndependentTasks   tasks/s for tasks without chaining
//   BM_LongChain          tasks/s for one chain (each task behind the previous one)
//   BM_AddToExecLatency   add-to-exec latency on an idle pool: median and 99th percentile
//   BM_IdlePoolCpu        CPU time and context switches of an idle pool over one second
#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "foundation/Semaphore.h"
#include "foundation/ThreadPool.h"

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

double cpuSeconds(const rusage& r) {
  return r.ru_utime.tv_sec + r.ru_stime.tv_sec + (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

void BM_IdlePoolCpu(benchmark::State& state) {
  ThreadPool& p = pool();
  for (auto _ : state) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    getrusage(RUSAGE_SELF, &after);
    state.counters["cpu_ms_per_s"] = (cpuSeconds(after) - cpuSeconds(before)) * 1000.0;
    state.counters["ctx_switches_per_s"] = static_cast<double>(after.ru_nvcsw - before.ru_nvcsw) +
                                           static_cast<double>(after.ru_nivcsw - before.ru_nivcsw);
    state.counters["workers"] = p.poolSize();
  }
}
BENCHMARK(BM_IdlePoolCpu)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
