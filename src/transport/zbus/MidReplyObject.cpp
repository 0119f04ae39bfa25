#include "transport/zbus/MidReplyObject.h"

bool MidReplyObject::isReplyFor(const ZtMessage& message) const {
  return !ZtMessage_empty(&message) && ZtMessage_getMessageId(&message) == m_messageId;
}
