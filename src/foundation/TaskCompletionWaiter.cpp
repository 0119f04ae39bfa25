#include "foundation/TaskCompletionWaiter.h"

#include "foundation/ThreadPool.h"

namespace zelto {

TaskCompletionWaiter::TaskCompletionWaiter(ThreadPool* pool) : m_pool(pool) {}

TaskCompletionWaiter::TaskCompletionWaiter(const std::vector<unsigned>& ids, ThreadPool* pool)
    : m_pool(pool), m_ids(ids.begin(), ids.end()) {}

TaskCompletionWaiter::~TaskCompletionWaiter() = default;

void TaskCompletionWaiter::addWaitId(unsigned id) { m_ids.push_back(id); }

bool TaskCompletionWaiter::exec() {
  while (!m_ids.empty() && !m_pool->doesTaskExist(m_ids.front())) m_ids.pop_front();
  return m_ids.empty();
}

unsigned TaskCompletionWaiter::needToWaitFor() { return m_ids.empty() ? 0 : m_ids.front(); }

}  // namespace zelto
