#pragma once
// A master device stand-in for link tests: records what a Communicator hands it (messages to
// handle, received/sent notifications) from any thread, and lets a test wait with a time limit.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "support/emulator/EmuFrame.h"
#include "transport/link/LinkDevice.h"

namespace zelto::test {

class RecordingLinkDevice : public LinkDevice {
 public:
  explicit RecordingLinkDevice(ZtDeviceId id = 0x01234567, uint16_t deviceCount = 0)
      : m_id(id), m_deviceCount(deviceCount) {}

  void handleMessage(const ZtMessage& message) override;
  void messageReceivedFromDevice(const ZtMessage& message) override;
  void messageSentToDevice(const ZtMessage& message) override;
  uint16_t configuredDeviceCount() const override { return m_deviceCount; }
  ZtDevice* linkedDevice() override { return reinterpret_cast<ZtDevice*>(this); }
  ZtDeviceId linkedDeviceId() const override { return m_id; }
  ZtDevice* findLinkedChild(ZtDeviceId) override { return nullptr; }

  void setDeviceCount(uint16_t count) { m_deviceCount = count; }
  // Runs on the handling thread before the message is recorded (may throw).
  void setHook(std::function<void(const ZtMessage&)> hook);

  std::vector<EmuFrame> handled() const;
  size_t handledCount() const;
  size_t receivedCount() const;
  std::vector<EmuFrame> sent() const;
  bool waitForHandled(size_t count, std::chrono::milliseconds timeout) const;

  static EmuFrame toFrame(const ZtMessage& message);

 private:
  const ZtDeviceId m_id;
  std::atomic<uint16_t> m_deviceCount;  // read on the parse thread
  mutable std::mutex m_mutex;
  mutable std::condition_variable m_changed;
  std::vector<EmuFrame> m_handled;   // guarded by m_mutex
  std::vector<EmuFrame> m_sent;      // guarded by m_mutex
  size_t m_received = 0;             // guarded by m_mutex
  std::function<void(const ZtMessage&)> m_hook;  // guarded by m_mutex (copied before the call)
};

}  // namespace zelto::test
