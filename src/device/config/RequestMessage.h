#pragma once
// A request for one setting: a complete Zbus message without payload, which the device answers
// with message id + 1 carrying the setting's value.
#include "device/config/ConfigurationMessage.h"

namespace Internal {

class SetMessage;

class RequestMessage : public ConfigurationMessage {
 public:
  using ConfigurationMessage::ConfigurationMessage;

  // Asks the device for the value, turns the reply into setMessage and writes it straight back
  // to the device; true only when the device accepted the set message.
  virtual bool generate(ZtDevice& device, SetMessage& setMessage, int timeoutMs) const;
  // The reply's whole message with bus id 0xFF and the reply's id - 1 (checksum recomputed) into
  // setMessage; false (setMessage unchanged) when the reply's id is not this request's id + 1.
  virtual bool convert(const ResponseMessage& response, SetMessage& setMessage) const;
};

}  // namespace Internal
