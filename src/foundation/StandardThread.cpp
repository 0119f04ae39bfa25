#include "foundation/StandardThread.h"

#include <sched.h>

#include <cerrno>
#include <chrono>
#include <thread>

namespace zelto {

namespace {

thread_local StandardThread* tlCurrent = nullptr;

// Policy-relative priority: 6 is the policy's maximum, 0..5 spread below it.
bool applyPriority(pthread_t thread, ZtThreadPriority p) {
  int policy = 0;
  sched_param param{};
  if (pthread_getschedparam(thread, &policy, &param) != 0) return false;
  const int lo = sched_get_priority_min(policy);
  const int hi = sched_get_priority_max(policy);
  if (lo < 0 || hi < 0) return false;
  if (p >= 6)
    param.sched_priority = hi;
  else
    param.sched_priority = lo + static_cast<int>(static_cast<float>(p) * static_cast<float>(hi - lo) / 7.0f);
  const int rc = pthread_setschedparam(thread, policy, &param);
  return !(rc == ESRCH || rc == EPERM || rc == EINVAL || rc == ENOTSUP);
}

}  // namespace

StandardThread::StandardThread() { pthread_attr_init(&m_attr); }

StandardThread::~StandardThread() {
  if (isCurrentThread()) {
    // Deleting the object from its own thread: clearing tlCurrent tells the loop that the
    // object is gone, so it returns without touching it again. Nothing can join this thread
    // any more, so let the system reclaim it.
    tlCurrent = nullptr;
    std::lock_guard<std::mutex> lk(m_control);
    if (m_hasThread) pthread_detach(m_thread);
    m_hasThread = false;
  } else {
    stopThread();
  }
  pthread_attr_destroy(&m_attr);
}

void StandardThread::initFunction() {}
void StandardThread::exitFunction() {}
int StandardThread::innerFunction() { return 0; }

void* StandardThread::threadMain(void* arg) {
  auto* self = static_cast<StandardThread*>(arg);
  tlCurrent = self;
  if (self->m_hasName) {
    // The system keeps 15 characters: what tools (top -H, /proc/<pid>/task/<tid>/comm) show.
    char shown[16] = {};
    self->m_name.copy(shown, sizeof shown - 1);
    pthread_setname_np(pthread_self(), shown);
  }
  // Each overridable call may delete the object (the destructor then clears tlCurrent): after
  // each one, self is only used while tlCurrent still names it.
  self->initFunction();
  if (tlCurrent != self) return nullptr;
  for (;;) {
    const int result = self->innerFunction();
    if (tlCurrent != self) return nullptr;
    if (self->m_terminate.load(std::memory_order_acquire)) break;
    if (result >= 1)
      std::this_thread::sleep_for(std::chrono::milliseconds(result));
    else if (self->m_yield.load(std::memory_order_relaxed))
      sched_yield();
  }
  self->exitFunction();
  if (tlCurrent != self) return nullptr;
  tlCurrent = nullptr;
  self->m_alive.store(false, std::memory_order_release);
  return nullptr;
}

bool StandardThread::startThread(const char* name) {
  if (isCurrentThread()) return false;
  std::lock_guard<std::mutex> lk(m_control);
  if (m_hasThread) {
    if (m_alive.load(std::memory_order_acquire)) return false;
    // The previous run ended by itself (stopped from inside): reclaim it before starting anew.
    joinLocked();
  }
  m_hasName = name != nullptr;
  m_name = name ? name : "";
  m_terminate = false;
  m_running = true;
  m_alive = true;
  if (pthread_create(&m_thread, &m_attr, &StandardThread::threadMain, this) != 0) {
    m_alive = false;
    m_hasThread = false;
    return false;
  }
  m_hasThread = true;
  return true;
}

void StandardThread::requestStop() { m_terminate.store(true, std::memory_order_release); }

void StandardThread::stopThread() {
  if (isCurrentThread()) {
    m_priority = 6;
    applyPriority(pthread_self(), 6);
    requestStop();
    return;
  }
  std::lock_guard<std::mutex> lk(m_control);
  if (!m_hasThread) return;
  if (m_alive.load(std::memory_order_acquire)) {
    m_priority = 6;
    applyPriority(m_thread, 6);
  }
  requestStop();
  // The loop clears m_alive as its last step; pthread_join waits for exactly that.
  joinLocked();
}

void StandardThread::joinLocked() {
  pthread_join(m_thread, nullptr);
  m_hasThread = false;
  m_thread = pthread_t{};
  m_running = false;
}

bool StandardThread::isAlive() const { return m_alive.load(std::memory_order_acquire); }

bool StandardThread::isRunning() const { return isAlive() && m_running.load(std::memory_order_acquire); }

bool StandardThread::isTerminating() const { return m_terminate.load(std::memory_order_acquire); }

bool StandardThread::isCurrentThread() const { return tlCurrent == this; }

bool StandardThread::setPriority(ZtThreadPriority p) {
  m_priority = p;
  if (isCurrentThread()) return applyPriority(pthread_self(), p);
  std::lock_guard<std::mutex> lk(m_control);
  if (!m_hasThread || !m_alive.load(std::memory_order_acquire)) return false;
  return applyPriority(m_thread, p);
}

pthread_t ztStartThread(void* (*function)(void*), void* parameter, void*) {
  pthread_t thread{};
  if (pthread_create(&thread, nullptr, function, parameter) != 0) return pthread_t{};
  return thread;
}

}  // namespace zelto
