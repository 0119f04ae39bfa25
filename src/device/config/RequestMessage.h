#pragma once
// A request for one setting: a complete Zbus message without payload, which the device answers
// with message id + 1 carrying the setting's value.
#include "device/config/ConfigurationMessage.h"

namespace Internal {

class RequestMessage : public ConfigurationMessage {
 public:
  using ConfigurationMessage::ConfigurationMessage;
};

}  // namespace Internal
