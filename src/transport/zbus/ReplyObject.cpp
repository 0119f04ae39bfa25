#include "transport/zbus/ReplyObject.h"

ReplyObject::ReplyObject() : m_semaphore(0) {
  ZtMessage_construct(&m_message);
}

ReplyObject::~ReplyObject() {
  ZtMessage_destruct(&m_message);
}

void ReplyObject::setMessage(const ZtMessage& message) {
  ZtMessage_copy(&m_message, &message);
  m_semaphore.post(1);
}

bool ReplyObject::message(ZtMessage& output, unsigned timeoutMs) {
  if (!m_semaphore.wait1(timeoutMs)) {
    ZtMessage_clear(&output);
    return false;
  }
  ZtMessage_copy(&output, &m_message);
  return true;
}
