#include "support/CallbackRecorder.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace {
size_t index(CallbackRecorder::Kind kind) { return static_cast<size_t>(kind); }
}  // namespace

const char* CallbackRecorder::kindName(Kind kind) {
  static const char* const kNames[kKindCount] = {
      "DeviceStateChanged", "DataAvailable",  "MissedPackets",  "WakeupReceived",
      "ProgressUpdated",    "WriteMessageToLogFile", "WriteDataToLogFile", "ConnectivityChanged",
      "InfoResponse",       "Error",          "NonDataMessage", "MessageReceivedFromDevice",
      "MessageSentToDevice"};
  return kNames[index(kind)];
}

CallbackRecorder::CallbackRecorder() { std::fill(std::begin(m_consent), std::end(m_consent), true); }

void CallbackRecorder::setConsent(Kind kind, bool consent) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_consent[index(kind)] = consent;
}

void CallbackRecorder::setHook(std::function<void(const Event&)> hook) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_hook = std::move(hook);
}

size_t CallbackRecorder::count(Kind kind) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_counts[index(kind)];
}

size_t CallbackRecorder::totalCount() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_events.size();
}

std::vector<CallbackRecorder::Event> CallbackRecorder::events() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_events;
}

std::vector<CallbackRecorder::Event> CallbackRecorder::events(Kind kind) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::vector<Event> out;
  for (const Event& e : m_events)
    if (e.kind == kind) out.push_back(e);
  return out;
}

void CallbackRecorder::clear() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_events.clear();
  std::fill(std::begin(m_counts), std::end(m_counts), 0);
}

bool CallbackRecorder::waitFor(Kind kind, size_t n, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(m_mutex);
  return m_changed.wait_for(lock, timeout, [&] { return m_counts[index(kind)] >= n; });
}

bool CallbackRecorder::waitUntil(const std::function<bool(const std::vector<Event>&)>& predicate,
                                 std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(m_mutex);
  return m_changed.wait_for(lock, timeout, [&] { return predicate(m_events); });
}

CallbackRecorder::Event CallbackRecorder::make(Kind kind, ZtDevice* dev) {
  Event e;
  e.kind = kind;
  e.device = dev;
  e.thread = std::this_thread::get_id();
  return e;
}

void CallbackRecorder::takeMessage(Event& e, const ZtMessage* message) {
  if (!message) return;
  e.hasMessage = true;
  const ZtByteArray& bytes = message->bytes;
  if (bytes.data && bytes.size > 0) e.frame.assign(bytes.data, bytes.data + bytes.size);
  // Frame: FA <bus id> <message id> ...
  if (e.frame.size() >= 3) {
    e.busId = e.frame[1];
    e.messageId = e.frame[2];
  }
}

void CallbackRecorder::takePacket(Event& e, const ZtDataPacket* packet) {
  if (!packet) return;
  e.hasPacket = true;
  e.packetId = packet->packetId;
  e.packetDeviceId = packet->deviceId;
  takeMessage(e, &packet->message);
}

void CallbackRecorder::record(Event e) {
  std::function<void(const Event&)> hook;
  Event copy;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    e.sequence = m_sequence++;
    ++m_counts[index(e.kind)];
    m_events.push_back(e);
    hook = m_hook;
    if (hook) copy = e;
  }
  m_changed.notify_all();
  if (hook) hook(copy);
}

void CallbackRecorder::onDeviceStateChanged(ZtDevice* dev, ZtDeviceState newState, ZtDeviceState oldState) {
  Event e = make(Kind::DeviceStateChanged, dev);
  e.values[0] = newState;
  e.values[1] = oldState;
  record(std::move(e));
}

void CallbackRecorder::onDataAvailable(ZtDevice* dev, const ZtDataPacket* packet) {
  Event e = make(Kind::DataAvailable, dev);
  takePacket(e, packet);
  record(std::move(e));
}

void CallbackRecorder::onMissedPackets(ZtDevice* dev, int count, int first, int last) {
  Event e = make(Kind::MissedPackets, dev);
  e.values[0] = count;
  e.values[1] = first;
  e.values[2] = last;
  record(std::move(e));
}

void CallbackRecorder::onWakeupReceived(ZtDevice* dev) { record(make(Kind::WakeupReceived, dev)); }

void CallbackRecorder::onProgressUpdated(ZtDevice* dev, int current, int total, const ZtString* identifier) {
  Event e = make(Kind::ProgressUpdated, dev);
  e.values[0] = current;
  e.values[1] = total;
  if (identifier && identifier->data && identifier->size > 0) {
    e.text.assign(identifier->data, strnlen(identifier->data, identifier->size));
  }
  record(std::move(e));
}

bool CallbackRecorder::onWriteMessageToLogFile(ZtDevice* dev, const ZtMessage* message) {
  Event e = make(Kind::WriteMessageToLogFile, dev);
  takeMessage(e, message);
  bool consent;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    consent = m_consent[index(Kind::WriteMessageToLogFile)];
  }
  record(std::move(e));
  return consent;
}

bool CallbackRecorder::onWriteDataToLogFile(ZtDevice* dev, const ZtDataPacket* packet) {
  Event e = make(Kind::WriteDataToLogFile, dev);
  takePacket(e, packet);
  bool consent;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    consent = m_consent[index(Kind::WriteDataToLogFile)];
  }
  record(std::move(e));
  return consent;
}

void CallbackRecorder::onConnectivityChanged(ZtDevice* dev, ZtConnectivityState newState) {
  Event e = make(Kind::ConnectivityChanged, dev);
  e.values[0] = newState;
  record(std::move(e));
}

void CallbackRecorder::onInfoResponse(ZtDevice* dev, ZtInfoRequest request) {
  Event e = make(Kind::InfoResponse, dev);
  e.values[0] = request;
  record(std::move(e));
}

void CallbackRecorder::onError(ZtDevice* dev, ZtResultValue error) {
  Event e = make(Kind::Error, dev);
  e.values[0] = error;
  record(std::move(e));
}

void CallbackRecorder::onNonDataMessage(ZtDevice* dev, const ZtMessage* message) {
  Event e = make(Kind::NonDataMessage, dev);
  takeMessage(e, message);
  record(std::move(e));
}

void CallbackRecorder::onMessageReceivedFromDevice(ZtDevice* dev, const ZtMessage* message) {
  Event e = make(Kind::MessageReceivedFromDevice, dev);
  takeMessage(e, message);
  record(std::move(e));
}

void CallbackRecorder::onMessageSentToDevice(ZtDevice* dev, const ZtMessage* message) {
  Event e = make(Kind::MessageSentToDevice, dev);
  takeMessage(e, message);
  record(std::move(e));
}
