#pragma once
// The emulator's link over a device of the stand-in libusb: what the emulator writes is fed to
// the device's bulk IN queue, what the library sends is drained from its OUT queue.
#include <cstdint>
#include <deque>
#include <mutex>

#include "support/emulator/DeviceEmulator.h"
#include "support/fakeusb/FakeUsb.h"

namespace zelto::test {

class UsbEmulatorLink : public EmulatorLink {
 public:
  // deviceId: the stand-in's id of the device (fakeusb::Control::addDevice).
  UsbEmulatorLink(fakeusb::Control& usb, int deviceId) : m_usb(usb), m_device(deviceId) {}
  int read(uint8_t* buffer, size_t size, Clock::time_point deadline) override;
  bool write(const uint8_t* data, size_t size) override;
  // The device is unplugged.
  void close() override;

 private:
  fakeusb::Control& m_usb;
  const int m_device;
  std::mutex m_mutex;  // guards everything below
  std::deque<uint8_t> m_pending;  // drained but not read yet
  bool m_closed = false;
};

}  // namespace zelto::test
