#pragma once
// The endings of devices deferred to the end of their own work (see DeviceTaskScope), run on the
// task pool in the order they were deferred. The task is no work of any device: what it runs may
// wait for the devices' last tasks, stop their links and delete them.
//
// Endings are counted process-wide from their deferral to the end of the task that runs them, so
// that a control's close can wait until none is left (none raises a handler after it).
#include <functional>
#include <vector>

#include "foundation/ThreadPoolTask.h"

namespace zelto {

class DeferredEndTask : public ThreadPoolTask {
 public:
  // Takes over one announced ending (the count drops when the task is deleted, run or not).
  explicit DeferredEndTask(std::vector<std::function<void()>> actions);
  ~DeferredEndTask() override;
  DeferredEndTask(const DeferredEndTask&) = delete;
  DeferredEndTask& operator=(const DeferredEndTask&) = delete;

  // Each action in order; one that throws does not keep the next from running. Always done.
  bool exec() override;

  // One more ending deferred (a scope's first deferral); settled by the task made for it, or by
  // settle when none can be made.
  static void announce();
  static void settle();
  // Returns once no announced ending is left; at once on a thread that runs one (it would wait
  // for itself).
  static void waitForAll();

 private:
  std::vector<std::function<void()>> m_actions;
};

}  // namespace zelto
