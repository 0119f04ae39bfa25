#ifndef ZDA_MATH_SPARSE_SKIPLISTRANDOM_H
#define ZDA_MATH_SPARSE_SKIPLISTRANDOM_H
// Random bit pairs for the node levels of the skip lists. The state is per thread (lists on
// different threads never share it, and the C library's rand() sequence stays the
// application's) and starts from a fixed seed in every thread, so the shape of a list built by
// a given sequence of operations is reproducible.
#include <cstdint>

class SkipListRandom {
 public:
  static constexpr uint64_t kDefaultSeed = 0x5DEECE66DULL;

  // Next pair of random bits (0..3); 0 with probability 1/4.
  static unsigned nextPair();
  // Restarts this thread's sequence from seed (test seam for reproducible list shapes).
  static void reseed(uint64_t seed = kDefaultSeed);
};

#endif
