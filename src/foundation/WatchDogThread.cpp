#include "foundation/WatchDogThread.h"

namespace zelto {

namespace {
// The watchdog whose thread this is; cleared when the callback deletes that watchdog, so the
// thread no longer touches it.
thread_local WatchDogThread* tlWatchDog = nullptr;
}  // namespace

WatchDogThread::WatchDogThread(Callback callback, void* parameter) : m_callback(callback), m_parameter(parameter) {}

WatchDogThread::~WatchDogThread() {
  stopTimer();
  if (m_thread.joinable()) {
    // Destroyed from its own callback: nothing can join this thread any more.
    if (tlWatchDog == this) tlWatchDog = nullptr;
    m_thread.detach();
  }
}

bool WatchDogThread::startTimer(unsigned ms, const char* name) {
  if (isAlive()) return false;
  if (m_thread.joinable()) {
    if (m_thread.get_id() == std::this_thread::get_id()) return false;
    m_thread.join();  // a previous run that fired and ended by itself
  }
  // The timer thread starts by taking m_mutex, so it sees m_thread assigned (its callback may
  // stop or delete this watchdog, which reads m_thread).
  std::lock_guard<std::mutex> lk(m_mutex);
  if (ms) m_timeoutMs = ms;
  m_hasName = name != nullptr;
  m_name = name ? name : "";
  m_running = true;
  m_resetRequested = false;
  m_stopRequested = false;
  m_alive = true;
  try {
    m_thread = std::thread(&WatchDogThread::run, this);
  } catch (...) {
    m_alive = false;
    m_running = false;
    return false;
  }
  return true;
}

bool WatchDogThread::resetTimer(unsigned ms) {
  if (!isAlive()) return false;
  std::lock_guard<std::mutex> lk(m_mutex);
  if (!m_running) return false;
  m_timeoutMs = ms;
  m_resetRequested = true;
  m_wake.notify_all();
  return true;
}

bool WatchDogThread::stopTimer() {
  {
    std::lock_guard<std::mutex> lk(m_mutex);
    m_stopRequested = true;
    m_wake.notify_all();
  }
  if (!m_thread.joinable()) return true;
  if (m_thread.get_id() == std::this_thread::get_id()) return true;
  m_thread.join();
  std::lock_guard<std::mutex> lk(m_mutex);
  m_running = false;
  return true;
}

bool WatchDogThread::isRunning() const {
  if (!isAlive()) return false;
  std::lock_guard<std::mutex> lk(m_mutex);
  return m_running;
}

unsigned WatchDogThread::timeout() {
  std::lock_guard<std::mutex> lk(m_mutex);
  return m_timeoutMs;
}

void WatchDogThread::run() {
  using Clock = std::chrono::steady_clock;
  tlWatchDog = this;
  std::unique_lock<std::mutex> lk(m_mutex);
  auto deadline = Clock::now() + std::chrono::milliseconds(m_timeoutMs);
  bool fire = false;
  for (;;) {
    if (m_stopRequested) break;
    if (m_resetRequested) {
      m_resetRequested = false;
      deadline = Clock::now() + std::chrono::milliseconds(m_timeoutMs);
    }
    if (Clock::now() >= deadline) {
      fire = true;
      break;
    }
    m_wake.wait_until(lk, deadline);
  }
  lk.unlock();
  if (fire && m_callback) m_callback(m_parameter);
  if (tlWatchDog != this) return;  // the callback deleted this watchdog
  tlWatchDog = nullptr;
  m_alive.store(false, std::memory_order_release);
}

}  // namespace zelto
