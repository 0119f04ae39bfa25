#pragma once
// Named requests of a device configuration, ordered by name (byte order, case-sensitive).
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "device/config/RequestMessage.h"

class ZtDevice;

namespace Internal {

class SetMessageCollection;

class RequestMessageCollection {
 public:
  RequestMessageCollection() = default;
  virtual ~RequestMessageCollection();

  // Insert a copy under name; false (the held entry stays) when the name is present already.
  bool add(const std::string& name, const RequestMessage& request);
  bool add(const std::string& name, const uint8_t* bytes, size_t count);
  size_t size() const { return m_requests.size(); }

  // Runs every request in name order (RequestMessage::generate: read the value, write it back)
  // and adds its set message to setMessages under the same name. Stops with false at the first
  // request that fails or whose name setMessages holds already (the set messages made before
  // stay there). True for no requests.
  virtual bool generate(ZtDevice& device, SetMessageCollection& setMessages, int timeoutMs) const;

 protected:
  std::map<std::string, RequestMessage> m_requests;
};

}  // namespace Internal
