#include "device/config/RequestMessageCollection.h"

namespace Internal {

RequestMessageCollection::~RequestMessageCollection() = default;

bool RequestMessageCollection::add(const std::string& name, const RequestMessage& request) {
  return m_requests.emplace(name, request).second;
}

bool RequestMessageCollection::add(const std::string& name, const uint8_t* bytes, size_t count) {
  if (m_requests.count(name)) return false;
  return m_requests.emplace(name, RequestMessage(bytes, count)).second;
}

}  // namespace Internal
