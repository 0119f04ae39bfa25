#include "device/config/RequestMessageCollection.h"

#include "device/config/SetMessage.h"
#include "device/config/SetMessageCollection.h"

namespace Internal {

RequestMessageCollection::~RequestMessageCollection() = default;

bool RequestMessageCollection::add(const std::string& name, const RequestMessage& request) {
  return m_requests.emplace(name, request).second;
}

bool RequestMessageCollection::add(const std::string& name, const uint8_t* bytes, size_t count) {
  if (m_requests.count(name)) return false;
  return m_requests.emplace(name, RequestMessage(bytes, count)).second;
}

bool RequestMessageCollection::generate(ZtDevice& device, SetMessageCollection& setMessages, int timeoutMs) const {
  for (const auto& [name, request] : m_requests) {
    SetMessage setMessage;
    if (!request.generate(device, setMessage, timeoutMs)) return false;
    if (!setMessages.add(name, setMessage)) return false;
  }
  return true;
}

}  // namespace Internal
