#pragma once
// A ZtCallback that records every event it receives, from any thread, and lets a test wait for
// events with a time limit instead of sleeping:
//
//   CallbackRecorder rec;
//   device->addCallbackHandler(&rec, false);
//   ...
//   ASSERT_TRUE(rec.waitFor(CallbackRecorder::Kind::DataAvailable, 10, 2000ms));
//   auto packets = rec.events(CallbackRecorder::Kind::DataAvailable);
//
// It overrides all 13 events, so no entry of its table is ever cleared. The consent events
// answer what setConsent chose (true by default). An optional hook runs for each event on the
// raising thread after the event is recorded, outside the recorder's lock.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device/ZtCallback.h"

class CallbackRecorder : public ZtCallback {
 public:
  enum class Kind {
    DeviceStateChanged,
    DataAvailable,
    MissedPackets,
    WakeupReceived,
    ProgressUpdated,
    WriteMessageToLogFile,
    WriteDataToLogFile,
    ConnectivityChanged,
    InfoResponse,
    Error,
    NonDataMessage,
    MessageReceivedFromDevice,
    MessageSentToDevice,
  };
  static constexpr int kKindCount = 13;
  static const char* kindName(Kind kind);

  // What one event carried. Only the fields of its kind are set; the rest keep their defaults.
  struct Event {
    Kind kind = Kind::Error;
    ZtDevice* device = nullptr;
    std::thread::id thread;
    uint64_t sequence = 0;  // position among all events this recorder received
    // DeviceStateChanged: new, old. MissedPackets: count, first, last. ProgressUpdated: current,
    // total. ConnectivityChanged: state. InfoResponse: request. Error: result code.
    int values[3] = {0, 0, 0};
    // DataAvailable, WriteDataToLogFile (packet given).
    bool hasPacket = false;
    int64_t packetId = -1;
    ZtDeviceId packetDeviceId = 0;
    // Messages (given), and the data message of a packet: the raw frame.
    bool hasMessage = false;
    uint8_t messageId = 0;
    uint8_t busId = 0;
    std::vector<uint8_t> frame;
    // ProgressUpdated identifier.
    std::string text;
  };

  CallbackRecorder();
  ~CallbackRecorder() override = default;

  void setConsent(Kind kind, bool consent);
  void setHook(std::function<void(const Event&)> hook);

  size_t count(Kind kind) const;
  size_t totalCount() const;
  std::vector<Event> events() const;
  std::vector<Event> events(Kind kind) const;
  void clear();

  // True once at least n events of kind have been recorded; false at the time-out.
  bool waitFor(Kind kind, size_t n, std::chrono::milliseconds timeout) const;
  // True once predicate(all events so far) holds; it is evaluated under the recorder's lock.
  bool waitUntil(const std::function<bool(const std::vector<Event>&)>& predicate,
                 std::chrono::milliseconds timeout) const;

  void onDeviceStateChanged(ZtDevice* dev, ZtDeviceState newState, ZtDeviceState oldState) override;
  void onDataAvailable(ZtDevice* dev, const ZtDataPacket* packet) override;
  void onMissedPackets(ZtDevice* dev, int count, int first, int last) override;
  void onWakeupReceived(ZtDevice* dev) override;
  void onProgressUpdated(ZtDevice* dev, int current, int total, const ZtString* identifier) override;
  bool onWriteMessageToLogFile(ZtDevice* dev, const ZtMessage* message) override;
  bool onWriteDataToLogFile(ZtDevice* dev, const ZtDataPacket* packet) override;
  void onConnectivityChanged(ZtDevice* dev, ZtConnectivityState newState) override;
  void onInfoResponse(ZtDevice* dev, ZtInfoRequest request) override;
  void onError(ZtDevice* dev, ZtResultValue error) override;
  void onNonDataMessage(ZtDevice* dev, const ZtMessage* message) override;
  void onMessageReceivedFromDevice(ZtDevice* dev, const ZtMessage* message) override;
  void onMessageSentToDevice(ZtDevice* dev, const ZtMessage* message) override;

 private:
  static Event make(Kind kind, ZtDevice* dev);
  static void takeMessage(Event& e, const ZtMessage* message);
  static void takePacket(Event& e, const ZtDataPacket* packet);
  void record(Event e);

  mutable std::mutex m_mutex;
  mutable std::condition_variable m_changed;
  std::vector<Event> m_events;                   // guarded by m_mutex
  size_t m_counts[kKindCount] = {};              // guarded by m_mutex
  bool m_consent[kKindCount];                    // guarded by m_mutex; by kind, true = consent
  std::function<void(const Event&)> m_hook;      // guarded by m_mutex (copied before the call)
  uint64_t m_sequence = 0;                       // guarded by m_mutex
};
