#ifndef ZDA_TRANSPORT_MIDREPLYOBJECT_H
#define ZDA_TRANSPORT_MIDREPLYOBJECT_H

#include "transport/zbus/ReplyObject.h"

// Awaits the next message with a given message id.
class MidReplyObject : public ReplyObject {
public:
  explicit MidReplyObject(uint8_t messageId) : m_messageId(messageId) {}

  bool isReplyFor(const ZtMessage& message) const override;
  uint8_t msgId() const override { return m_messageId; }

private:
  const uint8_t m_messageId;
};

#endif
