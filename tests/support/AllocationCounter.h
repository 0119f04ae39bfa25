#pragma once
// Counts heap allocations (malloc, calloc, realloc and every operator new) so a test can prove
// that a call allocates nothing:
//
//   AllocationCounter counter;
//   m.QRdecomposition(scratch);
//   EXPECT_EQ(counter.count(), 0u);
//
// count() covers the allocations of the thread that constructed the counter; countAllThreads()
// those of the whole process (other threads included) since construction or reset(). Counters
// may nest and be used from any number of threads at once.
//
// Linking this fixture replaces malloc, calloc, realloc and operator new of the test program with
// counting forwarders to the C library; under the sanitizers, whose allocator must stay in
// charge, the sanitizer's allocation hook counts instead.
#include <cstdint>

class AllocationCounter {
 public:
  AllocationCounter();
  AllocationCounter(const AllocationCounter&) = delete;
  AllocationCounter& operator=(const AllocationCounter&) = delete;

  uint64_t count() const;
  uint64_t countAllThreads() const;
  void reset();

 private:
  uint64_t m_threadStart;
  uint64_t m_processStart;
};
