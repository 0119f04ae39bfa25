#ifndef ZDA_TRANSPORT_MIDANDDATAREPLYOBJECT_H
#define ZDA_TRANSPORT_MIDANDDATAREPLYOBJECT_H

#include <cstdint>
#include <memory>

#include "transport/zbus/ReplyObject.h"

// Awaits a message with a given message id whose payload holds given bytes at a given offset.
class MidAndDataReplyObject : public ReplyObject {
public:
  // Copies size bytes from data; a null data keeps no copy, and then only a message that needs no
  // bytes (size 0) can match.
  MidAndDataReplyObject(uint8_t messageId, uint64_t offset, uint64_t size, const uint8_t* data);

  bool isReplyFor(const ZtMessage& message) const override;
  uint8_t msgId() const override { return m_messageId; }

  // Replaces the expected bytes with a copy of size() bytes from data (null: no copy).
  void setData(const uint8_t* data);
  // Drops the copy of the expected bytes.
  void freeData();

  uint64_t offset() const { return m_offset; }
  uint64_t size() const { return m_size; }
  const uint8_t* data() const { return m_data.get(); }

private:
  const uint8_t m_messageId;
  const uint64_t m_offset;
  const uint64_t m_size;
  std::unique_ptr<uint8_t[]> m_data;  // own copy of the expected bytes, null when absent
};

#endif
