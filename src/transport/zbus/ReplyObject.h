#ifndef ZDA_TRANSPORT_REPLYOBJECT_H
#define ZDA_TRANSPORT_REPLYOBJECT_H

#include <cstdint>

#include "foundation/Semaphore.h"
#include "zttypes/ztmessage.h"

// One awaited answer to a request. The requesting thread registers it with a ReplyMonitor before it
// sends the request and then blocks in message(); the link's parse thread hands over the first
// matching message through setMessage(), which wakes the requester.
class ReplyObject {
public:
  ReplyObject();
  virtual ~ReplyObject();

  ReplyObject(const ReplyObject&) = delete;
  ReplyObject& operator=(const ReplyObject&) = delete;

  // Whether message is the awaited answer. Called by the monitor under its lock.
  virtual bool isReplyFor(const ZtMessage& message) const = 0;
  // The awaited message id (for journal dumps).
  virtual uint8_t msgId() const = 0;

  // Stores a copy of message and wakes the waiter. The monitor calls it once, under its lock.
  void setMessage(const ZtMessage& message);

  // Waits at most timeoutMs (zelto::Semaphore::kInfinite: without limit) for the answer. On an
  // answer the output holds a copy of it and the result is true; on a time-out the output is the
  // empty message (message id 0) and the result is false.
  bool message(ZtMessage& output, unsigned timeoutMs);

private:
  zelto::Semaphore m_semaphore;
  // Written once by setMessage before the post; read by the waiter only after its wait took that
  // post, so the semaphore orders the two accesses.
  ZtMessage m_message;
};

#endif
