#pragma once
// A scripted tracker on the far side of a byte link (the master side of a pseudo-terminal, later
// fake USB endpoints). It answers requests per message id, streams data messages while measuring,
// injects faults and records every frame it received, so tests can assert the exact exchange.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "support/emulator/EmuFrame.h"

namespace zelto::test {

// Byte link the emulator serves. read waits until bytes arrive or the absolute deadline passes
// (a deadline already past only takes what is there): >0 bytes read, 0 time-out, <0 link closed.
class EmulatorLink {
 public:
  using Clock = std::chrono::steady_clock;
  virtual ~EmulatorLink() = default;
  virtual int read(uint8_t* buffer, size_t size, Clock::time_point deadline) = 0;
  virtual bool write(const uint8_t* data, size_t size) = 0;
  // Hang-up: the far side sees the link go away.
  virtual void close() = 0;
  // While set, a write that finds no room gives up (false) instead of waiting for the far side to
  // read: a stopping emulator ends whatever its reader does.
  virtual void interruptWrites(bool interrupt) { (void)interrupt; }
  // The line speed the far side set (a termios speed code), 0 when the link has none.
  virtual uint32_t lineSpeed() const { return 0; }
  // Writes the bytes as pieces of the given sizes, in order, and what they leave as one last
  // piece, pausing for gap between pieces (a writer that stalls inside a frame). True when all
  // were written.
  bool writeInPieces(const uint8_t* data, size_t size, const std::vector<size_t>& pieces,
                     std::chrono::milliseconds gap);
};

// A link over a file descriptor (e.g. a pseudo-terminal master). Owns the descriptor, which it
// makes non-blocking: a write waits for room in slices, so it can be interrupted.
class FdEmulatorLink : public EmulatorLink {
 public:
  explicit FdEmulatorLink(int fd);
  ~FdEmulatorLink() override { close(); }
  // Waits with the deadline's full resolution (not rounded to milliseconds), so a stream above
  // 1 kHz sleeps between its messages instead of polling.
  int read(uint8_t* buffer, size_t size, Clock::time_point deadline) override;
  bool write(const uint8_t* data, size_t size) override;
  void close() override;
  void interruptWrites(bool interrupt) override { m_interrupted.store(interrupt); }
  // A pseudo-terminal master reports the settings of its slave (Linux), so this is the speed
  // the port under test opened with.
  uint32_t lineSpeed() const override;

 private:
  std::atomic<int> m_fd;
  std::atomic<bool> m_interrupted{false};
};

struct EmuAction {
  enum class Kind { Reply, Silence, Error };
  Kind kind = Kind::Reply;
  int replyId = -1;              // -1: request id + 1
  std::vector<uint8_t> payload;  // reply payload
  int delayMs = 0;               // answer after this delay
  uint8_t errorCode = 0;         // payload byte of a 0x42 error
  // Frames sent after the answer (also after a silence), each followUpDelayMs after the one
  // before it: a station's indication that follows its acknowledgement.
  std::vector<EmuFrame> followUps;
  int followUpDelayMs = 0;

  static EmuAction reply(std::vector<uint8_t> payload = {}, int delayMs = 0) {
    EmuAction a;
    a.payload = std::move(payload);
    a.delayMs = delayMs;
    return a;
  }
  static EmuAction silence() {
    EmuAction a;
    a.kind = Kind::Silence;
    return a;
  }
  static EmuAction error(uint8_t code) {
    EmuAction a;
    a.kind = Kind::Error;
    a.errorCode = code;
    return a;
  }
};

class DeviceEmulator {
 public:
  // Message ids of the default conversation.
  enum : uint8_t {
    ReqDeviceId = 0x00, DeviceIdReply = 0x01, InitBus = 0x02, GotoMeasurement = 0x10,
    ReqConfiguration = 0x0C, Configuration = 0x0D, ReqFirmwareRevision = 0x12, GotoConfig = 0x30,
    Data = 0x36, Error = 0x42
  };

  explicit DeviceEmulator(std::unique_ptr<EmulatorLink> link);
  ~DeviceEmulator();
  DeviceEmulator(const DeviceEmulator&) = delete;
  DeviceEmulator& operator=(const DeviceEmulator&) = delete;

  void start();
  void stop();

  // Conversation set-up (may be changed while running).
  void setDeviceId(uint32_t id);
  // The 0x0D answer to 0x0C. Until one is set, a configuration of the device id with no
  // devices behind it (98 bytes, master id at offset 0).
  void setConfigurationPayload(std::vector<uint8_t> payload);
  // The 0x13 answer to 0x12: major, minor, revision (default 1.0.0).
  void setFirmwareVersion(uint8_t major, uint8_t minor, uint8_t revision);
  void script(uint8_t requestId, EmuAction action);
  void unscript(uint8_t requestId);
  // GotoConfig is acknowledged only at the n-th request of a series (1: at once).
  void setGotoConfigAfterTries(int n);
  // Streaming while measuring: rate in Hz and the payload of each 0x36 message for a counter.
  void setDataRate(double hz);
  void setDataPayload(std::function<std::vector<uint8_t>(uint16_t counter)> maker);
  // The message id of the data messages the payload maker fills (default 0x36; e.g. 0x32 for a
  // bus master's legacy data, made whole by the maker). Legacy devices (below) take precedence.
  void setDataMessageId(uint8_t messageId);
  void setMeasuring(bool measuring);
  // False: a go-to-measurement request is answered but starts no timed stream; data then comes
  // only from sendDataBurst (a test that must act before the first sample).
  void setStreamOnMeasurement(bool stream);
  // Frames that arrive while the link runs at another speed (termios code) are only counted
  // (requestsAtSpeed): they go unanswered and stay out of received(), as a device wired for one
  // baud rate sees only noise at the others. 0: answer at any speed.
  void answerOnlyAtSpeed(uint32_t speed);

  // A device model (e.g. TrackerModel) answering requests: after any script for the id, before
  // the built-in conversation. It fills the action and returns true for the ids it knows.
  void setModel(std::function<bool(const EmuFrame& request, EmuAction& action)> model);

  // Faults.
  void sendFrame(const EmuFrame& frame);
  void injectRaw(const std::vector<uint8_t>& bytes);
  // Split every write into chunks of at most n bytes (0: no split), with an optional pause.
  void setWriteChunking(size_t maxChunk, int pauseMs = 0);
  // Split every write into pieces of these sizes, then the rest, pausing pauseMs between pieces
  // (EmulatorLink::writeInPieces); empty: no split. Takes precedence over the chunking.
  void setWritePieces(std::vector<size_t> pieces, int pauseMs);
  // The next n frames go out with a wrong checksum.
  void corruptNextChecksums(int n);
  void hangUp();

  // Settings table. A request whose id has a row (and no script) is answered from it: without
  // payload with id + 1 and the stored value, with payload by storing the payload and answering
  // id + 1 without payload. The table starts with defaultSettings(); a script for the id (e.g.
  // silence) takes precedence. The baud-rate row 0x18 holds the one-byte rate code: a rate set
  // through it takes effect at the next reset (see answerOnlyAtSpeed).
  static std::map<uint8_t, std::vector<uint8_t>> defaultSettings();
  void setSetting(uint8_t requestId, std::vector<uint8_t> value);
  void removeSetting(uint8_t requestId);
  std::vector<uint8_t> setting(uint8_t requestId) const;  // empty when the id has no row

  // Reset conversation: 0x40 is answered with 0x41 (a script for 0x40 replaces that answer, and
  // a silenced or refused reset does not restart). The device then restarts: it leaves
  // measurement, records but answers nothing for wakeUpDelayMs, sends the wake-up 0x3E (unless
  // sendWakeUp is false) and waits for its acknowledgement 0x3F. A baud rate set since the last
  // reset becomes the speed answerOnlyAtSpeed listens at.
  struct ResetScript {
    int wakeUpDelayMs = 100;
    bool sendWakeUp = true;
  };
  void setResetScript(ResetScript script);
  size_t resetCount() const;
  // True once 0x3F arrived after the last wake-up; waits up to waitMs for it.
  bool wakeUpAcknowledged(int waitMs = 0) const;

  // Observations.
  std::vector<EmuFrame> received() const;
  size_t receivedCount(uint8_t messageId) const;
  bool waitForReceived(uint8_t messageId, size_t count, int timeoutMs) const;
  bool measuring() const { return m_measuring.load(); }
  uint32_t dataMessagesSent() const { return m_dataSent.load(); }
  // Frames that arrived at the speed, answered or not; and the speeds in order of first use.
  size_t requestsAtSpeed(uint32_t speed) const;
  std::vector<uint32_t> speedsSeen() const;
  // Every byte read from the link, framed or not.
  uint64_t bytesReceived() const { return m_bytesReceived.load(); }
  std::vector<uint8_t> defaultDataPayload(uint16_t counter) const;

  // ---- Data streams: counters, bursts and legacy messages --------------------------------------
  // One device of a legacy (0x32) data stream: its id and legacy output mode and settings. The
  // encoder knows the mode bits 0x2 (calibrated data: acceleration, rate of turn, magnetic
  // field), 0x4 (orientation: quaternion, Euler angles or matrix by settings 0xC) and 0x800
  // (status byte), the settings bit 0x1 (packet counter) and the value forms of putValue; other
  // bits are ignored.
  struct LegacyDevice {
    uint32_t deviceId = 0;
    uint16_t outputMode = 0x6;
    uint32_t outputSettings = 0x1;
  };
  // While measuring (and in bursts), data goes out as 0x32 messages with one part per device,
  // and the 0x0D answer lists these devices with their formats. An empty list returns to 0x36.
  void setLegacyDevices(std::vector<LegacyDevice> devices);
  // The legacy payload for the devices at a counter. Value k (0-based, in layout order) of
  // device d is legacyValue(counter, d, k); the status byte is the counter's low byte.
  static std::vector<uint8_t> legacyPayload(const std::vector<LegacyDevice>& devices, uint16_t counter);
  static double legacyValue(uint16_t counter, size_t device, size_t k);
  // The 0x0D payload listing the devices with their formats.
  static std::vector<uint8_t> legacyConfigurationPayload(uint32_t masterId, const std::vector<LegacyDevice>& devices);
  // The next data messages carry these counters, in order (a skip, a repeat, a step back);
  // counting then goes on after the last of them.
  void scriptCounters(std::vector<uint16_t> counters);
  // The counter a measurement starts at (default 0).
  void setStartCounter(uint16_t counter);
  // Writes n data messages back to back, as fast as the link takes them, with the counters the
  // stream would use; returns how many were written. Does not need measuring.
  size_t sendDataBurst(size_t n);
  // Writes n data messages as one byte stream cut into writes of at most maxChunk bytes (0: no
  // cut), so frames straddle writes, and pauses after every framesPerPause messages (0: never).
  // The pauses fall between frames only: a frame that waits half-written past the link's bound
  // would be given up. Returns how many messages were written whole. The counters are those the
  // stream would use. Does not need measuring.
  size_t sendDataChunked(size_t n, size_t maxChunk, size_t framesPerPause, std::chrono::microseconds pause);

 private:
  struct Pending {
    std::chrono::steady_clock::time_point due;
    EmuFrame frame;
  };
  void run();
  void handle(const EmuFrame& frame);
  void answer(const EmuFrame& request, const EmuAction& action);
  void writeBytes(std::vector<uint8_t> bytes);
  // The settings table and the reset conversation; true when the frame was dealt with here.
  bool handleSettingOrReset(const EmuFrame& frame, bool scripted, const EmuAction& action);

  std::unique_ptr<EmulatorLink> m_link;
  bool m_streamOnMeasurement = true;  // guarded by m_mutex
  std::thread m_thread;
  std::atomic<bool> m_stop{false};
  std::atomic<bool> m_measuring{false};
  std::atomic<uint32_t> m_dataSent{0};
  std::atomic<bool> m_hangUpRequested{false};
  std::atomic<uint64_t> m_bytesReceived{0};

  mutable std::mutex m_mutex;  // guards everything below
  mutable std::condition_variable m_receivedChanged;
  std::mutex m_writeMutex;     // serialises writes to the link
  uint32_t m_deviceId = 0x01234567;
  std::vector<uint8_t> m_configuration;  // empty: built from m_deviceId
  std::vector<uint8_t> m_firmware{1, 0, 0};
  std::map<uint8_t, EmuAction> m_scripts;
  int m_gotoConfigAfter = 1;
  int m_gotoConfigTries = 0;
  double m_rateHz = 100.0;
  std::function<std::vector<uint8_t>(uint16_t)> m_dataMaker;
  uint8_t m_dataMessageId = Data;
  uint16_t m_counter = 0;
  std::chrono::steady_clock::time_point m_nextData;
  size_t m_chunk = 0;
  int m_chunkPauseMs = 0;
  std::vector<size_t> m_pieces;
  int m_piecePauseMs = 0;
  int m_corrupt = 0;
  bool m_hungUp = false;
  std::vector<EmuFrame> m_received;
  uint32_t m_answerSpeed = 0;
  std::vector<std::pair<uint32_t, size_t>> m_requestsPerSpeed;  // in order of first use
  std::vector<Pending> m_pending;
  std::function<bool(const EmuFrame&, EmuAction&)> m_model;
  EmuFrameDecoder m_decoder;
  // Settings table and reset conversation (guarded by m_mutex).
  std::map<uint8_t, std::vector<uint8_t>> m_settings = defaultSettings();
  ResetScript m_resetScript;
  std::chrono::steady_clock::time_point m_restartingUntil{};
  int m_baudCodeAtReset = -1;  // a rate set since the last reset, -1 none
  size_t m_resets = 0;
  bool m_awaitingWakeUpAck = false;
  bool m_wakeUpAcknowledged = false;

  // Data streams (guarded by m_mutex).
  EmuFrame nextDataFrameLocked();
  std::vector<LegacyDevice> m_legacyDevices;
  std::vector<uint16_t> m_scriptedCounters;
  size_t m_nextScripted = 0;
  uint16_t m_startCounter = 0;
};

}  // namespace zelto::test
