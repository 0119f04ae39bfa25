#include "device/DeferredEndings.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <utility>

#include "foundation/JobThread.h"
#include "foundation/JournalMacros.h"

namespace {

struct Pending {
  std::mutex mutex;
  std::condition_variable none;
  size_t count = 0;  // guarded by mutex
  zelto::JobThread thread;
};

// Never destroyed: endings may still run while the process exits.
Pending& pending() {
  static auto* p = new Pending;
  return *p;
}

}  // namespace

void DeferredEndings::settle() {
  Pending& p = pending();
  {
    std::lock_guard<std::mutex> lock(p.mutex);
    if (p.count > 0) --p.count;
    if (p.count != 0) return;
  }
  p.none.notify_all();
}

void DeferredEndings::announce() {
  Pending& p = pending();
  std::lock_guard<std::mutex> lock(p.mutex);
  ++p.count;
}

void DeferredEndings::queue(std::vector<std::function<void()>> actions) {
  auto batch = std::make_shared<std::vector<std::function<void()>>>(std::move(actions));
  const unsigned id = pending().thread.add([batch] {
    for (auto& action : *batch) {
      try {
        action();
      } catch (...) {
        JLOG_ERROR("a deferred device ending failed");
      }
    }
    settle();
  });
  if (id == 0) settle();
}

void DeferredEndings::waitForAll() {
  Pending& p = pending();
  if (p.thread.isOwnThread()) return;
  std::unique_lock<std::mutex> lock(p.mutex);
  p.none.wait(lock, [&p] { return p.count == 0; });
}
