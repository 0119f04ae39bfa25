#pragma once
// The message that sets one configuration value: bus id 0xFF, the request's message id, and the
// payload the device replied with.
#include "device/config/ConfigurationMessage.h"

namespace Internal {

class SetMessage : public ConfigurationMessage {
 public:
  using ConfigurationMessage::ConfigurationMessage;
};

}  // namespace Internal
