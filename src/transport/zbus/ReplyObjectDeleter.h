#ifndef ZDA_TRANSPORT_REPLYOBJECTDELETER_H
#define ZDA_TRANSPORT_REPLYOBJECTDELETER_H

#include "transport/zbus/ReplyObject.h"
#include "transport/zbus/ReplyObjectRemover.h"

namespace zelto {

// Deleter of a reply handle: the object leaves its monitor's list first (so the parse thread can no
// longer hand it a message) and is deleted afterwards. The monitor must outlive the handle.
class ReplyObjectDeleter {
public:
  explicit ReplyObjectDeleter(ReplyObjectRemover* remover) noexcept : m_remover(remover) {}

  void operator()(ReplyObject* object) const noexcept {
    if (m_remover)
      m_remover->removeObject(object);
    delete object;
  }

private:
  ReplyObjectRemover* m_remover;
};

}  // namespace zelto

#endif
