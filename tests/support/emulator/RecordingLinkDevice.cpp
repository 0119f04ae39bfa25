#include "support/emulator/RecordingLinkDevice.h"

namespace zelto::test {

EmuFrame RecordingLinkDevice::toFrame(const ZtMessage& message) {
  EmuFrame f;
  f.busId = ZtMessage_getBusId(&message);
  f.messageId = ZtMessage_getMessageId(&message);
  const size_t n = ZtMessage_dataSize(&message);
  const uint8_t* p = ZtMessage_constData(&message);
  if (p && n) f.payload.assign(p, p + n);
  return f;
}

void RecordingLinkDevice::setHook(std::function<void(const ZtMessage&)> hook) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_hook = std::move(hook);
}

void RecordingLinkDevice::handleMessage(const ZtMessage& message) {
  std::function<void(const ZtMessage&)> hook;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    hook = m_hook;
  }
  if (hook) hook(message);
  std::lock_guard<std::mutex> lock(m_mutex);
  m_handled.push_back(toFrame(message));
  m_changed.notify_all();
}

void RecordingLinkDevice::messageReceivedFromDevice(const ZtMessage&) {
  std::lock_guard<std::mutex> lock(m_mutex);
  ++m_received;
}

void RecordingLinkDevice::messageSentToDevice(const ZtMessage& message) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_sent.push_back(toFrame(message));
}

std::vector<EmuFrame> RecordingLinkDevice::handled() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_handled;
}

size_t RecordingLinkDevice::handledCount() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_handled.size();
}

size_t RecordingLinkDevice::receivedCount() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_received;
}

std::vector<EmuFrame> RecordingLinkDevice::sent() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_sent;
}

bool RecordingLinkDevice::waitForHandled(size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(m_mutex);
  return m_changed.wait_for(lock, timeout, [&] { return m_handled.size() >= count; });
}

}  // namespace zelto::test
