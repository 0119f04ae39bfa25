#pragma once
// A master device stand-in that ignores everything: tests and benchmarks override only the
// notifications they count.
#include "transport/link/LinkDevice.h"

namespace zelto::test {

class NullLinkDevice : public LinkDevice {
 public:
  void handleMessage(const ZtMessage&) override {}
  void messageReceivedFromDevice(const ZtMessage&) override {}
  void messageSentToDevice(const ZtMessage&) override {}
  uint16_t configuredDeviceCount() const override { return 0; }
  ZtDevice* linkedDevice() override { return nullptr; }
  ZtDeviceId linkedDeviceId() const override { return 0; }
  ZtDevice* findLinkedChild(ZtDeviceId) override { return nullptr; }
};

}  // namespace zelto::test
