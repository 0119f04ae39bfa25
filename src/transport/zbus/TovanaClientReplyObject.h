#ifndef ZDA_TRANSPORT_TOVANACLIENTREPLYOBJECT_H
#define ZDA_TRANSPORT_TOVANACLIENTREPLYOBJECT_H

#include "transport/zbus/MidAndDataReplyObject.h"
#include "zttypes/ztdeviceid.h"

// Awaits a station indication (message 0x46) with a given indication id on behalf of one wireless
// device. The device id is kept for the requester; it takes no part in matching.
class TovanaClientReplyObject : public MidAndDataReplyObject {
public:
  static constexpr uint8_t kIndicationMessageId = 0x46;

  TovanaClientReplyObject(uint8_t indicationId, ZtDeviceId deviceId)
      : MidAndDataReplyObject(kIndicationMessageId, 0, 1, &indicationId),
        m_indicationId(indicationId),
        m_deviceId(deviceId) {}

  uint8_t indicationId() const { return m_indicationId; }
  ZtDeviceId deviceId() const { return m_deviceId; }

private:
  const uint8_t m_indicationId;
  const ZtDeviceId m_deviceId;
};

#endif
