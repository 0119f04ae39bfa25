#ifndef ZDA_TRANSPORT_REPLYMONITOR_H
#define ZDA_TRANSPORT_REPLYMONITOR_H

#include <atomic>
#include <cstddef>
#include <memory>
#include <vector>

#include "foundation/Journaller.h"
#include "foundation/Mutex.h"
#include "transport/zbus/ReplyObject.h"
#include "transport/zbus/ReplyObjectDeleter.h"
#include "transport/zbus/ReplyObjectRemover.h"
#include "zttypes/ztmessage.h"

namespace zelto {

// The reply objects a link's requesters wait on, in registration order. Every received message is
// offered here first; the oldest waiting object that accepts it takes it and leaves the list.
//
// Threads: registration and handle drops on requesting threads, addReply on the link's parse
// thread. m_mutex (recursive) guards m_objects in every operation; setMessage runs under it so a
// handle drop cannot delete an object that is being handed a message. Requesters block on their
// object's semaphore outside the mutex.
class ReplyMonitor : private ReplyObjectRemover {
public:
  using Handle = std::shared_ptr<ReplyObject>;

  ReplyMonitor() = default;
  // Every handle must be dropped before the monitor goes.
  virtual ~ReplyMonitor();

  ReplyMonitor(const ReplyMonitor&) = delete;
  ReplyMonitor& operator=(const ReplyMonitor&) = delete;

  // Takes ownership of object and appends it to the waiting list. The returned handle owns it;
  // dropping the last copy takes the object out of the list and deletes it. A null object gives an
  // empty handle. On failure the object is deleted and the exception propagates.
  Handle addReplyObject(ReplyObject* object);

  // Hands message to the oldest waiting object that accepts it; false when none does.
  bool addReply(const ZtMessage& message);

  // Writes the waiting list to journal at level: "Waiting for <n> objects", then one line per
  // object "<index>: msg ID = <id in hex>".
  void dumpObjectList(Journaller* journal, JournalLogLevel level) const;

  // Number of objects still waiting.
  size_t count() const;
  // Whether any object waits, read without the lock (a snapshot).
  bool awaitsReply() const { return m_waiting.load(std::memory_order_acquire) != 0; }

private:
  void removeObject(ReplyObject* object) override;

  mutable Mutex m_mutex;
  std::vector<ReplyObject*> m_objects;  // guarded by m_mutex; not owned (the handles own them)
  // m_objects.size(), written under m_mutex: addReply, offered every received message, looks at
  // it without the mutex. An object is listed before its request goes out, so the reply, read
  // from the port after that, finds it counted.
  std::atomic<size_t> m_waiting{0};
};

}  // namespace zelto

#endif
