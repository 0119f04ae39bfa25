#pragma once
// One complete raw Zbus message of a device configuration (preamble to checksum), held by value.
// The message is never interpreted here: it is a request for one setting, the device's reply, or
// the message that sets the value again.
#include <cstddef>
#include <cstdint>

#include "zttypes/ztmessage.h"

class ZtDevice;

namespace Internal {

class ResponseMessage;

class ConfigurationMessage {
 public:
  // A message without payload and with message id 0.
  ConfigurationMessage();
  explicit ConfigurationMessage(const ZtMessage& message);
  // Loads count raw bytes (a framed message) through the companion message loader; bytes that
  // are no frame give an empty message.
  ConfigurationMessage(const uint8_t* bytes, size_t count);
  ConfigurationMessage(const ConfigurationMessage& other);
  ConfigurationMessage& operator=(const ConfigurationMessage& other);
  virtual ~ConfigurationMessage();

  // Sends the message through the device and waits up to timeoutMs for the reply with message
  // id + 1, which is copied into response; false (response unchanged) when none came.
  virtual bool send(ZtDevice& device, ResponseMessage& response, int timeoutMs) const;
  // Sends the message; true when the reply's id is the own id + 1 (compared as integers, so id
  // 255 is never acknowledged).
  virtual bool apply(ZtDevice& device, int timeoutMs) const;

  // The header byte, 0 when the message has no header.
  int getMessageId() const;
  int getBusId() const;
  // Change the header byte; the checksum is recomputed.
  void setMessageId(uint8_t id);
  void setBusId(uint8_t busId);
  const ZtMessage& getMessage() const { return m_message; }
  void setMessage(const ZtMessage& message);

 protected:
  ZtMessage m_message;
};

}  // namespace Internal
