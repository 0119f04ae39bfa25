#include "foundation/JobThread.h"

#include <chrono>

#include "foundation/JournalMacros.h"

namespace zelto {

JobThread::~JobThread() { stop(); }

unsigned JobThread::add(std::function<void()> job) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_stopped) return 0;
  m_jobs.push_back(std::move(job));
  if (!m_thread.joinable()) {
    m_thread = std::thread([this] { run(); });
    m_threadId.store(m_thread.get_id(), std::memory_order_release);
  }
  m_changed.notify_all();
  const unsigned id = m_nextId;
  m_nextId = m_nextId == UINT32_MAX ? 1 : m_nextId + 1;
  return id;
}

bool JobThread::waitIdle(unsigned timeoutMs) const {
  std::unique_lock<std::mutex> lock(m_mutex);
  if (isOwnThread()) return m_jobs.empty();
  return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                            [&] { return m_jobs.empty() && !m_running; });
}

void JobThread::stop() {
  std::thread thread;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stopped = true;
    m_jobs.clear();
    m_changed.notify_all();
    thread = std::move(m_thread);
  }
  if (!thread.joinable()) return;
  if (thread.get_id() == std::this_thread::get_id())
    thread.detach();
  else
    thread.join();
}

void JobThread::run() {
  std::unique_lock<std::mutex> lock(m_mutex);
  for (;;) {
    m_changed.wait(lock, [&] { return m_stopped || !m_jobs.empty(); });
    if (m_stopped) break;
    std::function<void()> job = std::move(m_jobs.front());
    m_jobs.pop_front();
    m_running = true;
    lock.unlock();
    try {
      job();
    } catch (const std::exception& e) {
      JLOG_ERROR("job failed: " << e.what());
    } catch (...) {
      JLOG_ERROR("job failed");
    }
    job = nullptr;
    lock.lock();
    m_running = false;
    m_changed.notify_all();
  }
  m_running = false;
  m_changed.notify_all();
}

}  // namespace zelto
