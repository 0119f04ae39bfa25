#include "device/config/ConfigurationMessage.h"

#include "device/ZtDevice.h"
#include "device/config/ResponseMessage.h"

namespace Internal {

ConfigurationMessage::ConfigurationMessage() { ZtMessage_constructSized(&m_message, 0); }

ConfigurationMessage::ConfigurationMessage(const ZtMessage& message) { ZtMessage_constructCopy(&m_message, &message); }

ConfigurationMessage::ConfigurationMessage(const uint8_t* bytes, size_t count) {
  ZtMessage_construct(&m_message);
  if (bytes && count) ZtMessage_load(&m_message, count, bytes);
}

ConfigurationMessage::ConfigurationMessage(const ConfigurationMessage& other) {
  ZtMessage_constructCopy(&m_message, &other.m_message);
}

ConfigurationMessage& ConfigurationMessage::operator=(const ConfigurationMessage& other) {
  setMessage(other.m_message);
  return *this;
}

ConfigurationMessage::~ConfigurationMessage() { ZtMessage_destruct(&m_message); }

bool ConfigurationMessage::send(ZtDevice& device, ResponseMessage& response, int timeoutMs) const {
  ConfigurationMessage reply;
  if (!device.sendCustomMessage(m_message, true, reply.m_message, timeoutMs)) return false;
  response.setMessage(reply.m_message);
  return true;
}

bool ConfigurationMessage::apply(ZtDevice& device, int timeoutMs) const {
  ResponseMessage response;
  if (!send(device, response, timeoutMs)) return false;
  return response.getMessageId() == getMessageId() + 1;
}

int ConfigurationMessage::getMessageId() const {
  return ZtMessage_getConstHeader(&m_message) ? ZtMessage_getMessageId(&m_message) : 0;
}

int ConfigurationMessage::getBusId() const {
  return ZtMessage_getConstHeader(&m_message) ? ZtMessage_getBusId(&m_message) : 0;
}

void ConfigurationMessage::setMessageId(uint8_t id) {
  if (!ZtMessage_getConstHeader(&m_message)) return;
  ZtMessage_setMessageId(&m_message, id);
  ZtMessage_recomputeChecksum(&m_message);
}

void ConfigurationMessage::setBusId(uint8_t busId) {
  if (!ZtMessage_getConstHeader(&m_message)) return;
  ZtMessage_setBusId(&m_message, busId);
  ZtMessage_recomputeChecksum(&m_message);
}

void ConfigurationMessage::setMessage(const ZtMessage& message) {
  if (&message != &m_message) ZtMessage_copy(&m_message, &message);
}

}  // namespace Internal
