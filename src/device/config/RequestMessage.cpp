#include "device/config/RequestMessage.h"

#include "device/config/ResponseMessage.h"
#include "device/config/SetMessage.h"

namespace Internal {

bool RequestMessage::generate(ZtDevice& device, SetMessage& setMessage, int timeoutMs) const {
  ResponseMessage response;
  if (!send(device, response, timeoutMs)) return false;
  if (!convert(response, setMessage)) return false;
  return setMessage.apply(device, timeoutMs);
}

bool RequestMessage::convert(const ResponseMessage& response, SetMessage& setMessage) const {
  const int replyId = response.getMessageId();
  if (replyId != getMessageId() + 1) return false;
  setMessage.setMessage(response.getMessage());
  setMessage.setBusId(ZTMESSAGE_MASTER_BUS_ID);
  setMessage.setMessageId(static_cast<uint8_t>(replyId - 1));
  return true;
}

}  // namespace Internal
