#include "device/DeferredEndTask.h"

#include <condition_variable>
#include <mutex>
#include <utility>

#include "foundation/JournalMacros.h"

namespace zelto {

namespace {

struct Pending {
  std::mutex mutex;
  std::condition_variable none;
  size_t count = 0;  // guarded by mutex
};

// Never destroyed: tasks may end while the process exits.
Pending& pending() {
  static auto* p = new Pending;
  return *p;
}

thread_local int tRunning = 0;

}  // namespace

DeferredEndTask::DeferredEndTask(std::vector<std::function<void()>> actions) : m_actions(std::move(actions)) {}

DeferredEndTask::~DeferredEndTask() { settle(); }

bool DeferredEndTask::exec() {
  ++tRunning;
  for (auto& action : m_actions) {
    try {
      action();
    } catch (...) {
      JLOG_ERROR("a deferred device ending failed");
    }
  }
  --tRunning;
  return true;
}

void DeferredEndTask::announce() {
  Pending& p = pending();
  std::lock_guard<std::mutex> lock(p.mutex);
  ++p.count;
}

void DeferredEndTask::settle() {
  Pending& p = pending();
  {
    std::lock_guard<std::mutex> lock(p.mutex);
    if (p.count > 0) --p.count;
    if (p.count != 0) return;
  }
  p.none.notify_all();
}

void DeferredEndTask::waitForAll() {
  if (tRunning > 0) return;
  Pending& p = pending();
  std::unique_lock<std::mutex> lock(p.mutex);
  p.none.wait(lock, [&p] { return p.count == 0; });
}

}  // namespace zelto
