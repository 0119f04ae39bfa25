#pragma once
// A unit of work for zelto::ThreadPool. The pool owns a submitted task and deletes it after it
// finished or failed (never while holding the pool lock, so a destructor may add tasks).
namespace zelto {

class ThreadPoolTask {
 public:
  // One run of the work: true = finished, false = paused (run again later).
  virtual bool exec() = 0;
  // Id of a task that must end before a paused task is retried; 0 = none.
  virtual unsigned needToWaitFor();
  virtual ~ThreadPoolTask();
  // Called on the worker when exec() (or needToWaitFor() after a pause) threw; the task then
  // counts as ended.
  virtual void onError();
};

}  // namespace zelto
