#pragma once
// Named requests of a device configuration, ordered by name (byte order, case-sensitive).
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "device/config/RequestMessage.h"

namespace Internal {

class RequestMessageCollection {
 public:
  RequestMessageCollection() = default;
  virtual ~RequestMessageCollection();

  // Insert a copy under name; false (the held entry stays) when the name is present already.
  bool add(const std::string& name, const RequestMessage& request);
  bool add(const std::string& name, const uint8_t* bytes, size_t count);
  size_t size() const { return m_requests.size(); }

 protected:
  std::map<std::string, RequestMessage> m_requests;
};

}  // namespace Internal
