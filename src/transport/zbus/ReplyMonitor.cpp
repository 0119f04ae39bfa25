#include "transport/zbus/ReplyMonitor.h"

#include <algorithm>

#include "foundation/JournalMacros.h"
#include "foundation/Lock.h"

namespace zelto {

ReplyMonitor::~ReplyMonitor() = default;

ReplyMonitor::Handle ReplyMonitor::addReplyObject(ReplyObject* object) {
  if (!object)
    return Handle();
  Lock lock(m_mutex);
  try {
    m_objects.push_back(object);
    m_waiting.store(m_objects.size(), std::memory_order_release);
  } catch (...) {
    delete object;
    throw;
  }
  // Should the control block allocation fail, shared_ptr runs the deleter, which takes the object
  // out of the list again and deletes it before the exception leaves.
  return Handle(object, ReplyObjectDeleter(this));
}

bool ReplyMonitor::addReply(const ZtMessage& message) {
  // Nobody waits (a stream's data): no lock taken.
  if (m_waiting.load(std::memory_order_acquire) == 0)
    return false;
  Lock lock(m_mutex);
  for (auto it = m_objects.begin(); it != m_objects.end(); ++it) {
    ReplyObject* object = *it;
    if (object->isReplyFor(message)) {
      m_objects.erase(it);
      m_waiting.store(m_objects.size(), std::memory_order_release);
      object->setMessage(message);
      return true;
    }
  }
  return false;
}

void ReplyMonitor::removeObject(ReplyObject* object) {
  Lock lock(m_mutex);
  auto it = std::find(m_objects.begin(), m_objects.end(), object);
  if (it != m_objects.end()) {
    m_objects.erase(it);
    m_waiting.store(m_objects.size(), std::memory_order_release);
  }
}

void ReplyMonitor::dumpObjectList(Journaller* journal, JournalLogLevel level) const {
  if (!journal)
    return;
  Lock lock(m_mutex);
  JLOG_TO(journal, level, "Waiting for " << m_objects.size() << " objects");
  for (size_t i = 0; i < m_objects.size(); ++i)
    JLOG_TO(journal, level, i << ": msg ID = " << std::uppercase << std::hex << unsigned(m_objects[i]->msgId()));
}

size_t ReplyMonitor::count() const {
  Lock lock(m_mutex);
  return m_objects.size();
}

}  // namespace zelto
