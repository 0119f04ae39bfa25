#pragma once
// Base of every long-running thread of the library. The thread runs initFunction(), then
// innerFunction() until stopThread() is called (a result of 1 or more sleeps that many ms,
// otherwise the loop yields when the yield flag is set), then exitFunction().
//
// A derived class must call stopThread() in its own destructor: the base destructor's stop
// would otherwise run the loop against a half-destroyed object.
#include <pthread.h>

#include <atomic>
#include <mutex>
#include <string>

namespace zelto {

// 0 lowest .. 6 highest; 3 is the default.
typedef int ZtThreadPriority;

class StandardThread {
 public:
  StandardThread();
  virtual ~StandardThread();
  StandardThread(const StandardThread&) = delete;
  StandardThread& operator=(const StandardThread&) = delete;

  // False when a live thread exists or the system thread cannot be created.
  bool startThread(const char* name = nullptr);
  // From another thread: asks the loop to end and joins it (the pass in progress finishes).
  // From the thread itself: only raises the terminate flag and returns.
  void stopThread();
  // Raises the terminate flag without waiting (any thread).
  void requestStop();

  // The thread was started and has not left its loop.
  bool isAlive() const;
  bool isRunning() const;
  bool isTerminating() const;
  // True when called on this object's own thread.
  bool isCurrentThread() const;

  // Stores p in every case; false when the thread is not alive or the system refuses.
  bool setPriority(ZtThreadPriority p);
  ZtThreadPriority priority() const { return m_priority.load(std::memory_order_relaxed); }

  void setYield(bool yield) { m_yield.store(yield, std::memory_order_relaxed); }
  bool yield() const { return m_yield.load(std::memory_order_relaxed); }
  // The name given to startThread, or null.
  const char* name() const { return m_hasName ? m_name.c_str() : nullptr; }

 protected:
  virtual void initFunction();
  virtual void exitFunction();
  virtual int innerFunction();

 private:
  static void* threadMain(void* self);
  void joinLocked();

  // m_control serialises start, stop and join; the thread itself never takes it, so a stop
  // from outside may hold it while joining.
  std::mutex m_control;
  pthread_t m_thread{};
  bool m_hasThread = false;  // guarded by m_control
  pthread_attr_t m_attr;
  std::atomic<ZtThreadPriority> m_priority{3};
  std::atomic<bool> m_terminate{false};
  std::atomic<bool> m_running{false};
  // Set before the thread is created, cleared by the thread as the last thing it does.
  std::atomic<bool> m_alive{false};
  std::atomic<bool> m_yield{true};
  std::string m_name;
  bool m_hasName = false;
};

// Creates a joinable system thread with default attributes running
// function(parameter); returns the handle, or 0 when creation failed.
pthread_t ztStartThread(void* (*function)(void*), void* parameter, void* unused = nullptr);

}  // namespace zelto
