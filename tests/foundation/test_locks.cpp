// Recursive mutex and the recursive read/write lock.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <thread>
#include <vector>

#include "foundation/Lock.h"
#include "foundation/LockReadWrite.h"
#include "foundation/Mutex.h"
#include "foundation/MutexReadWrite.h"
#include "foundation/Semaphore.h"

using namespace zelto;
using namespace std::chrono_literals;

namespace {

constexpr auto kLimit = 10s;

bool eventually(const std::function<bool()>& cond) {
  const auto end = std::chrono::steady_clock::now() + kLimit;
  while (!cond()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::yield();
  }
  return true;
}

TEST(Mutex, IsRecursiveAndLockReleasesOnlyWhatItHolds) {
  Mutex m;
  {
    Lock outer(m);
    Lock inner(&m);
    inner.unlock();
    inner.unlock();  // not held: no effect
    EXPECT_FALSE(inner.isLocked());
    inner.lock();
    EXPECT_TRUE(inner.isLocked());
  }
  // Fully released: another thread gets it at once.
  auto other = std::async(std::launch::async, [&] {
    const bool got = m.tryLock();
    if (got) m.unlock();
    return got;
  });
  EXPECT_TRUE(other.get());
}

TEST(MutexReadWrite, NestedReadPassesAWaitingWriterButANewReaderWaits) {
  MutexReadWrite rw;
  ASSERT_TRUE(rw.claimMutex(false));  // this thread reads

  std::atomic<bool> writing{false};
  auto writer = std::async(std::launch::async, [&] {
    rw.claimMutex(true);
    writing = true;
    std::this_thread::sleep_for(10ms);
    writing = false;
    rw.releaseMutex(true);
  });
  ASSERT_TRUE(eventually([&] { return rw.waitingWriters() == 1; }));

  // A nested read of the same thread must not wait behind the writer (it would deadlock).
  ASSERT_TRUE(rw.claimMutex(false));
  EXPECT_EQ(rw.readClaimsOfThisThread(), 2u);

  std::atomic<bool> readerIn{false};
  std::atomic<bool> sawWriter{false};
  auto reader = std::async(std::launch::async, [&] {
    rw.claimMutex(false);
    readerIn = true;
    sawWriter = writing.load();
    rw.releaseMutex(false);
  });
  EXPECT_EQ(reader.wait_for(30ms), std::future_status::timeout) << "new reader goes behind the waiting writer";
  EXPECT_FALSE(readerIn.load());

  EXPECT_TRUE(rw.releaseMutex(false));
  EXPECT_TRUE(rw.releaseMutex(false));
  ASSERT_EQ(writer.wait_for(kLimit), std::future_status::ready);
  ASSERT_EQ(reader.wait_for(kLimit), std::future_status::ready);
  EXPECT_TRUE(readerIn.load());
  EXPECT_FALSE(sawWriter.load());
}

TEST(MutexReadWrite, OnlyReaderUpgradesAndKeepsItsReadClaim) {
  MutexReadWrite rw;
  rw.claimMutex(false);
  rw.claimMutex(true);  // sole reader: upgrade
  EXPECT_TRUE(rw.isWriter());
  rw.claimMutex(true);  // recursive write
  rw.claimMutex(false);  // the writer may read
  EXPECT_TRUE(rw.releaseMutex(false));
  EXPECT_TRUE(rw.releaseMutex(true));
  EXPECT_TRUE(rw.isWriter());
  EXPECT_TRUE(rw.releaseMutex(true));
  EXPECT_FALSE(rw.isWriter());
  EXPECT_EQ(rw.readClaimsOfThisThread(), 1u);

  // Another thread can read alongside, but cannot write while we read.
  auto otherReads = std::async(std::launch::async, [&] {
    rw.claimMutex(false);
    return rw.releaseMutex(false);
  });
  EXPECT_TRUE(otherReads.get());
  auto otherWrites = std::async(std::launch::async, [&] {
    rw.claimMutex(true);
    return rw.releaseMutex(true);
  });
  EXPECT_EQ(otherWrites.wait_for(30ms), std::future_status::timeout);
  EXPECT_TRUE(rw.releaseMutex(false));
  ASSERT_EQ(otherWrites.wait_for(kLimit), std::future_status::ready);
  EXPECT_TRUE(otherWrites.get());
}

TEST(MutexReadWrite, ReleasingWhatIsNotHeldFails) {
  MutexReadWrite rw;
  EXPECT_FALSE(rw.releaseMutex(true));
  EXPECT_FALSE(rw.releaseMutex(false));
  rw.claimMutex(true);
  auto other = std::async(std::launch::async, [&] { return rw.releaseMutex(true); });
  EXPECT_FALSE(other.get()) << "only the writer releases the write side";
  EXPECT_TRUE(rw.releaseMutex(true));
}

// The reader table starts with room for 32 claims: more threads and deeper nesting must grow
// it, never overrun it.
TEST(MutexReadWrite, ManyMoreReadClaimsThanTheInitialTable) {
  MutexReadWrite rw;
  constexpr int kThreads = 40;
  constexpr int kDepth = 3;
  Semaphore allIn;
  Semaphore leave;
  std::vector<std::thread> readers;
  for (int i = 0; i < kThreads; ++i) {
    readers.emplace_back([&] {
      for (int d = 0; d < kDepth; ++d) rw.claimMutex(false);
      allIn.post();
      leave.wait1(10000);
      for (int d = 0; d < kDepth; ++d) rw.releaseMutex(false);
    });
  }
  for (int i = 0; i < kThreads; ++i) ASSERT_TRUE(allIn.wait1(10000));
  auto writer = std::async(std::launch::async, [&] {
    rw.claimMutex(true);
    return rw.releaseMutex(true);
  });
  EXPECT_EQ(writer.wait_for(20ms), std::future_status::timeout);
  leave.post(kThreads);
  for (auto& t : readers) t.join();
  ASSERT_EQ(writer.wait_for(kLimit), std::future_status::ready);
  EXPECT_TRUE(writer.get());

  // One thread nesting 33 claims.
  for (int i = 0; i < 33; ++i) rw.claimMutex(false);
  EXPECT_EQ(rw.readClaimsOfThisThread(), 33u);
  for (int i = 0; i < 33; ++i) EXPECT_TRUE(rw.releaseMutex(false));
}

TEST(LockReadWrite, SwitchesSidesAndReleasesOnScopeEnd) {
  MutexReadWrite rw;
  {
    LockReadWrite lock(rw, false);
    EXPECT_EQ(rw.readClaimsOfThisThread(), 1u);
    lock.lock(true);  // upgrade: the read claim is dropped after the write side is held
    EXPECT_TRUE(rw.isWriter());
    EXPECT_EQ(rw.readClaimsOfThisThread(), 0u);
    lock.lock(false);
    EXPECT_FALSE(rw.isWriter());
    EXPECT_EQ(rw.readClaimsOfThisThread(), 1u);
  }
  EXPECT_EQ(rw.readClaimsOfThisThread(), 0u);
  LockReadWrite deferred(&rw);
  EXPECT_FALSE(deferred.isLocked());
  deferred.lock(true);
  EXPECT_TRUE(deferred.isWriting());
  deferred.unlock();
  EXPECT_FALSE(rw.isWriter());
}

// Readers and writers hammering one counter: writers are exclusive.
TEST(MutexReadWrite, WritersAreExclusiveUnderContention) {
  MutexReadWrite rw;
  long counter = 0;
  std::atomic<int> writersInside{0};
  std::atomic<bool> overlap{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 300; ++i) {
        if (t % 2) {
          LockReadWrite w(rw, true);
          if (writersInside.fetch_add(1) != 0) overlap = true;
          ++counter;
          writersInside.fetch_sub(1);
        } else {
          LockReadWrite r(rw, false);
          LockReadWrite nested(rw, false);
          if (writersInside.load() != 0) overlap = true;
          (void)counter;
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_FALSE(overlap.load());
  EXPECT_EQ(counter, 3 * 300);
}

}  // namespace
