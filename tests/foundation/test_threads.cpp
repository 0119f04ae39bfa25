// Worker-thread base, watchdog timer and semaphore.
#include <gtest/gtest.h>

#include <sched.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "foundation/Semaphore.h"
#include "foundation/StandardThread.h"
#include "foundation/WatchDogThread.h"

using namespace zelto;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr unsigned kThreadsLimitMs = 10000;

// Counts the calls of each phase; innerFunction can stop the thread from inside.
class CountingThread : public StandardThread {
 public:
  ~CountingThread() override { stopThread(); }

  std::atomic<int> inits{0}, passes{0}, exits{0};
  std::atomic<int> stopFromInsideAtPass{-1};
  std::atomic<bool> stopReturned{false};
  int sleepResult = 0;
  std::vector<Clock::time_point> passTimes;  // read only after the thread ended
  Semaphore passed;

 protected:
  void initFunction() override { ++inits; }
  void exitFunction() override { ++exits; }
  int innerFunction() override {
    const int n = ++passes;
    if (passTimes.size() < 8) passTimes.push_back(Clock::now());
    if (n == stopFromInsideAtPass) {
      stopThread();  // returns at once from the thread itself
      stopReturned = true;
    }
    passed.post();
    return sleepResult;
  }
};

TEST(StandardThread, StopFromOutsideRunsExitOnceAndAllowsRestart) {
  CountingThread t;
  EXPECT_FALSE(t.isAlive());
  ASSERT_TRUE(t.startThread("worker"));
  EXPECT_STREQ(t.name(), "worker");
  EXPECT_FALSE(t.startThread("again")) << "a live thread exists";
  ASSERT_TRUE(t.passed.wait1(kThreadsLimitMs));
  EXPECT_TRUE(t.isRunning());
  t.stopThread();
  EXPECT_FALSE(t.isAlive());
  EXPECT_FALSE(t.isRunning());
  EXPECT_TRUE(t.isTerminating());
  EXPECT_EQ(t.inits.load(), 1);
  EXPECT_EQ(t.exits.load(), 1);
  t.stopThread();  // no thread: nothing to do

  ASSERT_TRUE(t.startThread(nullptr));
  EXPECT_EQ(t.name(), nullptr);
  EXPECT_FALSE(t.isTerminating());
  ASSERT_TRUE(t.passed.wait1(kThreadsLimitMs));
  t.stopThread();
  EXPECT_EQ(t.inits.load(), 2);
  EXPECT_EQ(t.exits.load(), 2);
}

// The thread ends by itself; a later stop from outside (and the destructor) must join it
// rather than wait for the system to forget the thread.
TEST(StandardThread, StopFromInsideEndsAfterThatPassAndOutsideStopStillJoins) {
  CountingThread t;
  t.stopFromInsideAtPass = 3;
  ASSERT_TRUE(t.startThread("self-stopping"));
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(t.passed.wait1(kThreadsLimitMs));
  const auto end = Clock::now() + 10s;
  while (t.isAlive() && Clock::now() < end) std::this_thread::yield();
  EXPECT_FALSE(t.isAlive());
  EXPECT_TRUE(t.stopReturned.load());
  EXPECT_EQ(t.passes.load(), 3);
  EXPECT_EQ(t.exits.load(), 1);
  t.stopThread();
  EXPECT_FALSE(t.isRunning());
  // The ended run is reclaimed and a new one starts.
  t.stopFromInsideAtPass = -1;
  ASSERT_TRUE(t.startThread("again"));
  ASSERT_TRUE(t.passed.wait1(kThreadsLimitMs));
}

TEST(StandardThread, PositiveResultSleepsBetweenPasses) {
  CountingThread t;
  t.sleepResult = 5;
  ASSERT_TRUE(t.startThread());
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(t.passed.wait1(kThreadsLimitMs));
  t.stopThread();
  ASSERT_GE(t.passTimes.size(), 4u);
  for (size_t i = 1; i < 4; ++i)
    EXPECT_GE(t.passTimes[i] - t.passTimes[i - 1], 4500us) << "pass " << i;
}

TEST(StandardThread, PriorityIsStoredEvenWhenItCannotBeApplied) {
  CountingThread t;
  EXPECT_EQ(t.priority(), 3);
  EXPECT_FALSE(t.setPriority(5));
  EXPECT_EQ(t.priority(), 5);
  ASSERT_TRUE(t.startThread());
  // The default policy has a single priority: every level maps onto it.
  EXPECT_TRUE(t.setPriority(0));
  EXPECT_TRUE(t.setPriority(6));
  EXPECT_EQ(t.priority(), 6);
  t.stopThread();
}

// The name given at start is the system's name of the thread too (cut to the 15 characters the
// system keeps), so tools and per-thread measurements can tell the threads apart.
class NamingThread : public StandardThread {
 public:
  ~NamingThread() override { stopThread(); }
  char seen[32] = {};
  Semaphore named;

 protected:
  int innerFunction() override {
    if (!seen[0]) {
      pthread_getname_np(pthread_self(), seen, sizeof seen);
      named.post();
    }
    return 1;
  }
};

TEST(StandardThread, StartNameIsTheSystemThreadName) {
  for (const char* name : {"KtThread", "A name longer than fifteen"}) {
    NamingThread t;
    ASSERT_TRUE(t.startThread(name));
    ASSERT_TRUE(t.named.wait1(kThreadsLimitMs));
    t.stopThread();
    EXPECT_EQ(std::string(t.seen), std::string(name).substr(0, 15));
  }
}

TEST(StandardThread, DestructorStopsALiveThread) {
  std::atomic<int> exits{0};
  {
    struct Owned : CountingThread {
      ~Owned() override { stopThread(); }
      std::atomic<int>* out;
      void exitFunction() override { ++*out; }
    } t;
    t.out = &exits;
    ASSERT_TRUE(t.startThread());
    ASSERT_TRUE(t.passed.wait1(kThreadsLimitMs));
    EXPECT_EQ(exits.load(), 0);
  }
  EXPECT_EQ(exits.load(), 1);
}

// Posts when the thread that first touched it ends (after its start routine returned).
struct ThreadEndSignal {
  Semaphore* ended = nullptr;
  ~ThreadEndSignal() {
    if (ended) ended->post();
  }
};
thread_local ThreadEndSignal tlEndSignal;

// Deleting the object from its own thread detaches the thread; the loop must not touch the
// freed object afterwards (an ASan build reports any access).
TEST(StandardThread, MayBeDeletedFromItsOwnThread) {
  struct SelfDeleting : StandardThread {
    Semaphore* ended;
    std::atomic<int>* exits;
    int innerFunction() override {
      tlEndSignal.ended = ended;
      delete this;
      return 0;
    }
    void exitFunction() override { ++*exits; }
  };
  Semaphore ended;
  std::atomic<int> exits{0};
  auto* t = new SelfDeleting;
  t->ended = &ended;
  t->exits = &exits;
  ASSERT_TRUE(t->startThread("self-deleting"));
  ASSERT_TRUE(ended.wait1(kThreadsLimitMs)) << "the thread ends after its object was deleted";
  EXPECT_EQ(exits.load(), 0) << "no exit function on a deleted object";
}

TEST(ZtStartThread, RunsTheFunctionOnANewThread) {
  std::atomic<int> value{0};
  pthread_t t = ztStartThread(
      [](void* p) -> void* {
        static_cast<std::atomic<int>*>(p)->store(7);
        return nullptr;
      },
      &value);
  ASSERT_NE(t, pthread_t{});
  pthread_join(t, nullptr);
  EXPECT_EQ(value.load(), 7);
}

struct Fired {
  std::atomic<int> count{0};
  Semaphore signal;
  static void callback(void* p) {
    auto* f = static_cast<Fired*>(p);
    ++f->count;
    f->signal.post();
  }
};

TEST(WatchDogThread, FiresOnceAfterTheTimeout) {
  Fired fired;
  WatchDogThread dog(&Fired::callback, &fired);
  EXPECT_EQ(dog.timeout(), 10000u);
  const auto t0 = Clock::now();
  ASSERT_TRUE(dog.startTimer(30, "dog"));
  EXPECT_FALSE(dog.startTimer(30, "dog")) << "already running";
  ASSERT_TRUE(fired.signal.wait1(kThreadsLimitMs));
  EXPECT_GE(Clock::now() - t0, 29ms);
  EXPECT_TRUE(dog.stopTimer());
  EXPECT_EQ(fired.count.load(), 1);
  EXPECT_FALSE(dog.resetTimer(30)) << "timer ended";
}

TEST(WatchDogThread, ResetPostponesAndStopPreventsTheCallback) {
  Fired fired;
  WatchDogThread dog(&Fired::callback, &fired);
  ASSERT_TRUE(dog.startTimer(150));
  for (int i = 0; i < 12; ++i) {
    std::this_thread::sleep_for(20ms);
    ASSERT_TRUE(dog.resetTimer(150));
  }
  EXPECT_EQ(fired.count.load(), 0) << "reset every 20 ms with a 150 ms time-out";
  EXPECT_TRUE(dog.stopTimer());
  EXPECT_FALSE(dog.isAlive());
  EXPECT_FALSE(fired.signal.wait1(100));
  EXPECT_EQ(fired.count.load(), 0);
  // The time-out given to startTimer persists when 0 is passed.
  ASSERT_TRUE(dog.startTimer(0));
  EXPECT_EQ(dog.timeout(), 150u);
  ASSERT_TRUE(fired.signal.wait1(kThreadsLimitMs));
}

// A callback that deletes its watchdog: the timer thread must not touch it afterwards.
TEST(WatchDogThread, MayBeDeletedFromItsCallback) {
  struct Owner {
    WatchDogThread* dog = nullptr;
    Semaphore ended;
    static void callback(void* p) {
      auto* o = static_cast<Owner*>(p);
      tlEndSignal.ended = &o->ended;
      delete o->dog;
    }
  } owner;
  owner.dog = new WatchDogThread(&Owner::callback, &owner);
  ASSERT_TRUE(owner.dog->startTimer(5));
  EXPECT_TRUE(owner.ended.wait1(kThreadsLimitMs)) << "the timer thread ends after its watchdog was deleted";
}

TEST(Semaphore, CountsAndImmediateWaits) {
  Semaphore s(2);
  EXPECT_TRUE(s.wait(0));
  EXPECT_TRUE(s.wait(-3));
  EXPECT_EQ(s.post(0), 2);
  EXPECT_EQ(s.count(), 2);
  EXPECT_EQ(s.post(3), 2);
  EXPECT_TRUE(s.wait(5));
  EXPECT_FALSE(s.wait1(0));
  s.post();
  EXPECT_TRUE(s.wait1(0));
}

TEST(Semaphore, TimedWaitEndsNearItsDeadline) {
  Semaphore s;
  for (unsigned ms : {20u, 60u}) {
    const auto t0 = Clock::now();
    EXPECT_FALSE(s.wait1(ms));
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0);
    EXPECT_GE(waited.count(), static_cast<long>(ms) - 1);
    EXPECT_LT(waited.count(), static_cast<long>(ms) + 1000);  // generous: loaded CI machines
  }
}

TEST(Semaphore, PostFromAnotherThreadWakesAWaiter) {
  Semaphore s;
  std::thread poster([&] {
    std::this_thread::sleep_for(10ms);
    s.post();
  });
  EXPECT_TRUE(s.wait1(Semaphore::kInfinite));
  poster.join();
  std::thread poster2([&] { s.post(); });
  EXPECT_TRUE(s.wait1(kThreadsLimitMs));
  poster2.join();
}

}  // namespace
