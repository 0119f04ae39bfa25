#ifndef ZDA_TRANSPORT_TOVANAINDICATIONREPLYOBJECT_H
#define ZDA_TRANSPORT_TOVANAINDICATIONREPLYOBJECT_H

#include "transport/zbus/MidAndDataReplyObject.h"

// Awaits a station indication (message 0x46) whose first payload byte is the indication id.
class TovanaIndicationReplyObject : public MidAndDataReplyObject {
public:
  static constexpr uint8_t kIndicationMessageId = 0x46;

  explicit TovanaIndicationReplyObject(uint8_t indicationId)
      : MidAndDataReplyObject(kIndicationMessageId, 0, 1, &indicationId), m_indicationId(indicationId) {}

  uint8_t indicationId() const { return m_indicationId; }

private:
  const uint8_t m_indicationId;
};

#endif
