#pragma once
#include <chrono>
#include <cstdint>

// The pool's record of one submitted task. Records are linked intrusively (queue and
// follower lists), so queuing and chaining allocate nothing beyond the record itself.
// Every field is guarded by the owning pool's lock.
namespace zelto {

class ThreadPoolTask;

struct PooledTask {
  enum class State : uint8_t { Queued, Chained, Running, Retrying };

  // 56 bytes: a larger record slows the adding of tasks measurably (each add touches a record
  // last written by a worker on another processor).
  ThreadPoolTask* task = nullptr;
  unsigned id = 0;
  State state = State::Queued;
  // A thread waits (or waited) for this record or for one chained behind it: once ready it goes
  // to the ready queue, never into a run-next list. Set on every record of a waited chain, so
  // a chained record that has it implies its predecessors have it.
  bool waited = false;
  union {
    // Next record in the ready queue (while Queued), in a worker's run-next list (while Queued
    // and held), in the retry list (while Retrying), or in the pool's free list once ended.
    PooledTask* nextQueued = nullptr;
    // While Chained: the record this one is chained behind.
    PooledTask* behind;
  };
  // While Retrying: when the paused task goes back to the ready queue.
  std::chrono::steady_clock::time_point retryAt{};
  // Records chained behind this one, in the order they were chained.
  PooledTask* firstFollower = nullptr;
  PooledTask* lastFollower = nullptr;
  // Next sibling in the follower list of the record this one is chained behind (while Chained).
  PooledTask* nextFollower = nullptr;
};

}  // namespace zelto
