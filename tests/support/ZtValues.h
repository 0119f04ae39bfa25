#pragma once
// Owning wrappers of companion values for the length of a test.
#include <cstdint>
#include <vector>

#include "zttypes/ztdatapacket.h"
#include "zttypes/ztmessage.h"

namespace zelto::test {

using Bytes = std::vector<uint8_t>;

struct Message {
  ZtMessage m;
  Message() { ZtMessage_construct(&m); }
  // A framed message (bus id 0xFF) with this id and payload.
  explicit Message(uint8_t id, const Bytes& payload = {}) {
    ZtMessage_constructSized(&m, payload.size());
    ZtMessage_setMessageId(&m, id);
    if (!payload.empty()) ZtMessage_setDataBuffer(&m, payload.data(), payload.size(), 0);
  }
  ~Message() { ZtMessage_destruct(&m); }
  Message(const Message&) = delete;
  Message& operator=(const Message&) = delete;

  uint8_t id() const { return ZtMessage_getMessageId(&m); }
  // Raw frame bytes, preamble to checksum.
  Bytes bytes() const {
    const uint8_t* p = ZtMessage_getMessageStart(&m);
    return p ? Bytes(p, p + ZtMessage_getTotalMessageSize(&m)) : Bytes();
  }
  Bytes payload() const {
    const uint8_t* p = ZtMessage_constData(&m);
    return p ? Bytes(p, p + ZtMessage_dataSize(&m)) : Bytes();
  }
};

struct Packet {
  ZtDataPacket p;
  Packet() { ZtDataPacket_construct(&p); }
  Packet(const Packet& o) { ZtDataPacket_constructCopy(&p, &o.p); }
  Packet& operator=(const Packet&) = delete;
  ~Packet() { ZtDataPacket_destruct(&p); }
  ZtDataPacket* operator->() { return &p; }
  ZtDataPacket* get() { return &p; }
};

}  // namespace zelto::test
