#pragma once
// A test device whose class hands out configuration requests as a tracker does: by default the
// six named requests "OutputMode" 0xD0, "OutputSettings" 0xD2, "BaudRate" 0x18, "Period" 0x04,
// "OutputSkipFactor" 0xD4 and "LocationID" 0x84, each the 5-byte request FA FF id 00 checksum.
// A test may replace the list. Its product code is kProductCode.
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "device/config/DeviceConfigurationMessages.h"
#include "support/TestDevice.h"
#include "zttypes/ztmessage.h"

namespace zelto::test {

class ConfigTestDevice : public TestDevice {
 public:
  static constexpr const char* kProductCode = "ZT-CFG-6";
  struct Request {
    std::string name;
    std::vector<uint8_t> bytes;
  };

  // FA FF id 00 checksum.
  static std::vector<uint8_t> requestFrame(uint8_t id) {
    std::vector<uint8_t> frame{ZTMESSAGE_PREAMBLE, ZTMESSAGE_MASTER_BUS_ID, id, 0x00, 0x00};
    frame[4] = ZtMessage_computeChecksum(frame.data(), frame.size());
    return frame;
  }
  static std::vector<Request> trackerRequests() {
    return {{"OutputMode", requestFrame(0xD0)},       {"OutputSettings", requestFrame(0xD2)},
            {"BaudRate", requestFrame(0x18)},         {"Period", requestFrame(0x04)},
            {"OutputSkipFactor", requestFrame(0xD4)}, {"LocationID", requestFrame(0x84)}};
  }

  using TestDevice::TestDevice;

  void setConfigurationRequests(std::vector<Request> requests) {
    std::lock_guard<std::mutex> lock(m_requestsMutex);
    m_requests = std::move(requests);
  }

  DeviceConfigurationMessages* determineConfigurationMessages() const override {
    auto* messages = new DeviceConfigurationMessages();
    std::lock_guard<std::mutex> lock(m_requestsMutex);
    for (const Request& request : m_requests) messages->add(request.name, request.bytes.data(), request.bytes.size());
    return messages;
  }

  ZtString productCode() const override {
    ZtString code;
    ZtString_construct(&code, kProductCode);
    return code;
  }

 private:
  mutable std::mutex m_requestsMutex;
  std::vector<Request> m_requests = trackerRequests();
};

}  // namespace zelto::test
