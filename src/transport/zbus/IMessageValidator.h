#ifndef ZDA_TRANSPORT_IMESSAGEVALIDATOR_H
#define ZDA_TRANSPORT_IMESSAGEVALIDATOR_H

#include "zttypes/ztmessage.h"

// The acceptance test a link applies to every message found in its stream (bus id within what the
// link's devices can send). The Communicator implements it; the protocol manager asks it before a
// found message may win the arbitration.
class IMessageValidator {
public:
  virtual ~IMessageValidator() = default;
  virtual bool sanityCheck(const ZtMessage& message) const = 0;
};

#endif
