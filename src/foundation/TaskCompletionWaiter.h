#pragma once
// A task that ends once every listed task id has left the pool. While some id remains it
// pauses chained behind the first one still present, and re-checks the rest when that ends.
#include <deque>
#include <vector>

#include "foundation/ThreadPoolTask.h"

namespace zelto {

class ThreadPool;

class TaskCompletionWaiter : public ThreadPoolTask {
 public:
  explicit TaskCompletionWaiter(ThreadPool* pool);
  TaskCompletionWaiter(const std::vector<unsigned>& ids, ThreadPool* pool);
  ~TaskCompletionWaiter() override;

  void addWaitId(unsigned id);

  bool exec() override;
  unsigned needToWaitFor() override;

 private:
  ThreadPool* m_pool;
  std::deque<unsigned> m_ids;  // only touched by the worker running this task (and before submission)
};

}  // namespace zelto
