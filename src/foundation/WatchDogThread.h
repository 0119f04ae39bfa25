#pragma once
// One-shot watchdog: after the time-out passes without a reset, calls callback(parameter) once
// on the watchdog's own thread. Waiting is a timed condition wait, not a spin.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace zelto {

class WatchDogThread {
 public:
  typedef void (*Callback)(void* parameter);

  WatchDogThread(Callback callback, void* parameter);
  ~WatchDogThread();
  WatchDogThread(const WatchDogThread&) = delete;
  WatchDogThread& operator=(const WatchDogThread&) = delete;

  // False when a timer thread is alive. A non-zero ms replaces the time-out (10000 initially).
  bool startTimer(unsigned ms = 0, const char* name = nullptr);
  // Restarts the countdown with time-out ms; false when the timer is not alive or not running.
  bool resetTimer(unsigned ms);
  // Ends the timer without calling the callback (unless it already fires). Joins the thread
  // unless called from the callback itself. True when no timer thread is left running.
  bool stopTimer();

  bool isAlive() const { return m_alive.load(std::memory_order_acquire); }
  bool isRunning() const;
  unsigned timeout();
  const char* name() const { return m_hasName ? m_name.c_str() : nullptr; }

 private:
  void run();

  Callback m_callback;
  void* m_parameter;
  // Assigned under m_mutex by startTimer; read by start/stop callers and by a callback that
  // stops or deletes the watchdog.
  std::thread m_thread;
  // Guards the fields below.
  mutable std::mutex m_mutex;
  std::condition_variable m_wake;
  unsigned m_timeoutMs = 10000;
  bool m_resetRequested = false;
  bool m_stopRequested = false;
  bool m_running = false;
  std::atomic<bool> m_alive{false};
  std::string m_name;
  bool m_hasName = false;
};

}  // namespace zelto
