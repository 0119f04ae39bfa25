#pragma once
// A message owned by the scope (constructed, destructed at the end of the scope).
#include <cstddef>
#include <cstdint>

#include "zttypes/ztmessage.h"

struct OwnedMessage {
  ZtMessage m;
  OwnedMessage() { ZtMessage_construct(&m); }
  // A framed message with this id, bus id and payload size (payload zeroed).
  OwnedMessage(uint8_t messageId, uint8_t busId, size_t payloadSize) {
    ZtMessage_constructSized(&m, payloadSize);
    ZtMessage_setMessageId(&m, messageId);
    ZtMessage_setBusId(&m, busId);
  }
  ~OwnedMessage() { ZtMessage_destruct(&m); }
  OwnedMessage(const OwnedMessage&) = delete;
  OwnedMessage& operator=(const OwnedMessage&) = delete;
};
