#include "transport/zbus/MidAndDataReplyObject.h"

#include <cstring>

MidAndDataReplyObject::MidAndDataReplyObject(uint8_t messageId, uint64_t offset, uint64_t size,
                                             const uint8_t* data)
    : m_messageId(messageId), m_offset(offset), m_size(size) {
  setData(data);
}

void MidAndDataReplyObject::setData(const uint8_t* data) {
  freeData();
  if (!data || m_size == 0)
    return;
  m_data.reset(new uint8_t[m_size]);
  std::memcpy(m_data.get(), data, m_size);
}

void MidAndDataReplyObject::freeData() {
  m_data.reset();
}

bool MidAndDataReplyObject::isReplyFor(const ZtMessage& message) const {
  if (ZtMessage_empty(&message) || ZtMessage_getMessageId(&message) != m_messageId)
    return false;
  const uint64_t payload = ZtMessage_dataSize(&message);
  // Written so that offset + size cannot wrap. A payload shorter than offset + size never matches,
  // also when no bytes are compared.
  if (m_offset > payload || m_size > payload - m_offset)
    return false;
  if (m_size == 0)
    return true;
  if (!m_data)
    return false;
  return std::memcmp(ZtMessage_constData(&message) + m_offset, m_data.get(), m_size) == 0;
}
