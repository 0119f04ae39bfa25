#include "math/sparse/SkipListRandom.h"

namespace {

struct PairState {
  uint64_t generator = SkipListRandom::kDefaultSeed;
  uint64_t randomBits = 0;
  int bitCount = 0;
};

thread_local PairState tState;

// splitmix64: full period over the 64-bit state, every output bit usable.
uint64_t nextWord(uint64_t& s) {
  uint64_t z = (s += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

}  // namespace

// One word yields 32 pairs: the low pair now, then the 31 pairs left in randomBits.
unsigned SkipListRandom::nextPair() {
  PairState& st = tState;
  uint64_t taken;
  if (st.bitCount > 1) {
    taken = st.randomBits;
    st.bitCount -= 2;
  } else {
    taken = nextWord(st.generator);
    st.bitCount = 62;
  }
  st.randomBits = taken >> 2;
  return static_cast<unsigned>(taken & 3u);
}

void SkipListRandom::reseed(uint64_t seed) {
  PairState& st = tState;
  st.generator = seed;
  st.randomBits = 0;
  st.bitCount = 0;
}
