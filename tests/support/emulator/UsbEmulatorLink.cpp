#include "support/emulator/UsbEmulatorLink.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace zelto::test {

int UsbEmulatorLink::read(uint8_t* buffer, size_t size, Clock::time_point deadline) {
  // The stand-in offers no wait on its OUT queue: poll it every millisecond until the deadline.
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      if (m_closed) return -1;
      for (uint8_t byte : m_usb.drain(m_device)) m_pending.push_back(byte);
      if (!m_pending.empty()) {
        const size_t n = std::min(size, m_pending.size());
        std::copy_n(m_pending.begin(), n, buffer);
        m_pending.erase(m_pending.begin(), m_pending.begin() + static_cast<std::ptrdiff_t>(n));
        return static_cast<int>(n);
      }
    }
    const auto now = Clock::now();
    if (now >= deadline) return 0;
    std::this_thread::sleep_until(std::min(deadline, now + std::chrono::milliseconds(1)));
  }
}

bool UsbEmulatorLink::write(const uint8_t* data, size_t size) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_closed) return false;
  m_usb.feed(m_device, std::vector<uint8_t>(data, data + size));
  return true;
}

void UsbEmulatorLink::close() {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_closed) return;
  m_closed = true;
  m_usb.unplug(m_device);
}

}  // namespace zelto::test
