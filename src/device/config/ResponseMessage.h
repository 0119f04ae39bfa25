#pragma once
// A device's reply to a configuration request: message id + 1 carrying the setting's value.
#include "device/config/ConfigurationMessage.h"

namespace Internal {

class ResponseMessage : public ConfigurationMessage {
 public:
  using ConfigurationMessage::ConfigurationMessage;
};

}  // namespace Internal
