#pragma once
// The emulator as a wireless station: radio channel, operational and recording state, the 0x0D
// configuration listing the connected trackers, the 0x8B settings record with its trigger lists
// (changed by 0x26/0x28), update rates, sync-box mode and the station's indications (0x46), sent
// after a request's acknowledgement (7 after 0xC1, 20 after 0xBB, 17 after 0xCC) or on demand.
// Requests are answered by bus id: the station answers bus 0xFF; a request to a tracker's bus id
// goes to the child handler (none by default: unanswered).
//
//   DeviceEmulator emu(...);
//   StationModel station;
//   station.setChildren({0x00B00002, 0x00B00001});  // listed in 0x0D by id ascending
//   station.attachTo(emu);
//
// A script on the emulator for an id takes precedence over the model (silence, other replies).
//
// Tracker streams: each connected tracker relays its own RawTrajectory (increments and calibrated
// values per its output configuration), frame by frame on the caller's thread (relay), with
// scripted radio losses, late packets and the 16-bit frame wrap:
//   station.addStream(0x00080011, streamA);  // streamA.useOutputConfiguration(trackerModelA)
//   station.setNextFrame(65500);
//   station.loseFrame(0x00080011, 65510);     // the next packet's interval spans it
//   station.delayFrame(0x00080011, 65520, 3); // lost, then delivered three frames later
//   station.relay(100);
#include <chrono>
#include <deque>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "support/emulator/DeviceEmulator.h"
#include "support/emulator/SdiPayload.h"

namespace zelto::test {

class RawTrajectory;

class StationModel {
 public:
  static constexpr uint32_t kStationId = 0x00A00123;

  StationModel();

  // Answers from now on; sets the emulator's device id.
  void attachTo(DeviceEmulator& emu);

  // ---- Set-up ---------------------------------------------------------------------------------
  void setStationId(uint32_t id);
  // The connected trackers. 0x0D lists them by id ascending unless listInGivenOrder is set.
  void setChildren(std::vector<uint32_t> ids, bool listInGivenOrder = false);
  // -1: radio disabled (0xB7 answers 0xFFFF); otherwise the channel.
  void setChannel(int channel);
  // The raw 0xB7 value (overrides the channel), e.g. 0x8001; -1 to use the channel again.
  void setRawChannelAnswer(int value);
  void setUpdateRates(std::vector<uint8_t> rates);
  void setProductCode(const std::string& code);
  void setHardwareVersion(uint16_t version);
  // Whether the follow-up indications are sent (7 after 0xC1, 20 after 0xBB, 17 after 0xCC).
  void setSendOperational(bool send);
  void setSendConfigurationApplied(bool send);
  void setSendRecordingStarted(bool send, uint16_t startFrame = 0);
  // The n-th (1-based) 0x26 or 0x28 from now on goes unanswered.
  void failTriggerWrite(uint8_t requestId, int nth);
  // Requests to a tracker's bus id (1-based position in the 0x0D list).
  void setChildHandler(std::function<bool(const EmuFrame& request, EmuAction& action, size_t busId)> handler);

  // Record requests (0x90) of trackers whose record is not read in pages are answered at once
  // (0x91: the tracker's id, the firmware mark, location id 7). While held, they are noted and go
  // unanswered until releaseRecordAnswers sends their answers, in order.
  void holdRecordAnswers(bool hold);
  void releaseRecordAnswers();
  // The 0x91 answer of such a tracker.
  static std::vector<uint8_t> recordAnswer(uint32_t id);

  // Admission: 0xC4 (accept) lists the tracker in 0x0D and the station reports it connected again
  // (indication 2 follows the acknowledgement); 0xC6 (reject) takes it off the list. Off: both
  // are only acknowledged and noted.
  void setAdmission(bool admit);

  // ---- Tracker streams ------------------------------------------------------------------------
  // The tracker's data: every relayed frame is the stream's next sample as a 0x36 message on the
  // tracker's bus id (its place in the 0x0D list at that moment) with the frame range added
  // (item 0x1040: the frame its increments start at, then this frame). The stream carries what
  // its output configuration lists; it must outlive the model's use of it and is used only by
  // relay (one thread).
  void addStream(uint32_t id, RawTrajectory& stream);
  // A tracker that relays its intervals as legacy data messages instead (0x32, output mode
  // 0x0200, SdiPayload's block with values in the form of outputSettings): each interval holds
  // the stream's truth composed over its frames. 0x0D lists the tracker with that mode and those
  // settings; settings bit 0x1 adds the frame as packet counter after the block. Sent on the
  // tracker's bus id, or with viaStationBus on the station's (0xFF).
  void addLegacyStream(uint32_t id, RawTrajectory& stream, uint32_t outputSettings, bool viaStationBus = false);
  // The intervals made for a legacy stream so far and sent or still due (not the lost ones), in
  // the order made.
  std::vector<SdiPayload::Interval> relayedIntervals(uint32_t id) const;
  // Radio script for one tracker: the frame is lost (the next delivered packet's interval spans
  // it), or lost at first and delivered `after` frames later (a late packet: its interval lies
  // inside the next one's). A late packet still held when flushing starts comes with the flush.
  void loseFrame(uint32_t id, uint16_t frame);
  void delayFrame(uint32_t id, uint16_t frame, unsigned after);
  // A silent tracker (out of range) sends nothing; its trajectory runs on, and once it is heard
  // again its first packet spans the silence.
  void setSilent(uint32_t id, bool silent);
  // The frame all streams send next (they run in step); e.g. just below the wrap.
  void setNextFrame(uint16_t frame);
  uint16_t nextFrame() const;
  // The last frame relayed (nextFrame() - 1).
  uint16_t lastFrame() const;
  // Sends the next n frames of every stream (per frame in bus order, then the late packets now
  // due), as fast as the link takes them; returns the number of data messages written.
  size_t relay(size_t n);
  // The flushing countdown after a recording: `steps` indications 19 whose remaining counts fall
  // from total to 0, each with the last relayed frame; the late packets still held go out before
  // the first.
  void flushingCountdown(uint16_t total, unsigned steps);

  // ---- Indications ----------------------------------------------------------------------------
  void sendIndication(uint8_t subId, const std::vector<uint8_t>& data, uint8_t busId = 0xFF);
  void connect(uint32_t id, int16_t rssi = -40, uint8_t status = 1, uint16_t location = 0);
  void disconnect(uint32_t id, uint8_t status = 0);
  void reject(uint32_t id);
  void recordingStarted(uint16_t startFrame);
  void recordingEnded();
  void flushingProgress(uint16_t remaining, uint16_t frame);
  void trigger(uint8_t type, uint8_t line, uint32_t timestamp, uint16_t frame);
  void battery(uint8_t busId, uint8_t raw);
  void clientError(uint32_t id, uint8_t code);
  // The radio-disabled message the station sends by itself.
  void radioDisabledUnasked();

  // ---- Observations ---------------------------------------------------------------------------
  int channel() const;
  bool operational() const;
  bool measuring() const;
  bool recording() const;
  bool syncBox() const;
  bool transportMode() const;
  std::vector<uint32_t> accepted() const;
  std::vector<uint32_t> rejected() const;
  // The 10-byte payloads of 0x26 (sync-in) and 0x28 (sync-out) per slot, as last acknowledged.
  std::map<uint8_t, std::vector<uint8_t>> syncInEntries() const;
  std::map<uint8_t, std::vector<uint8_t>> syncOutEntries() const;
  // Wireless-priority requests (0xB8, answered after 30 ms) that arrived while another was
  // unanswered, and the priorities in arrival order.
  int priorityOverlaps() const;
  std::vector<uint8_t> priorities() const;
  // 0x8B's payload as the station would send it now.
  std::vector<uint8_t> settingsPayload() const;
  // 0x0D's payload as the station would send it now.
  std::vector<uint8_t> configurationPayload() const;

 private:
  struct Stream {
    uint32_t id = 0;
    RawTrajectory* source = nullptr;
    uint16_t windowStart = 0;  // the frame the next packet's increments start at
    std::map<uint16_t, unsigned> script;  // frame -> 0 lost, else delivered this many frames later
    bool silent = false;
    bool legacy = false;       // 0x32 intervals instead of 0x36 items
    uint32_t outputSettings = 0;
    bool viaStationBus = false;
  };
  // A tracker's 0x0D entry: output mode, output settings and data length.
  struct Format {
    uint16_t outputMode = 0;
    uint32_t outputSettings = 0;
    uint16_t dataLength = 0;
  };
  // The frame of a legacy stream at `frame`: its interval from the window start (lock held).
  EmuFrame legacyFrame(Stream& s, uint16_t frame);
  struct Late {
    unsigned due;  // relayed frames still to go
    EmuFrame frame;
  };
  bool answer(const EmuFrame& request, EmuAction& action);
  // Indication 2's data after the sub-id: id, RSSI, status byte, a spare byte, location id.
  static std::vector<uint8_t> connectData(uint32_t id, int16_t rssi, uint8_t status, uint16_t location);
  // The trackers in the order 0x0D lists them (lock held).
  std::vector<uint32_t> listed() const;
  // The tracker's bus id now (its 1-based place in the 0x0D list), 0 when it is not listed.
  uint8_t busIdOf(uint32_t id) const;
  EmuFrame indicationFrame(uint8_t subId, const std::vector<uint8_t>& data, uint8_t busId = 0xFF) const;

  mutable std::mutex m_mutex;  // guards everything below
  DeviceEmulator* m_emu = nullptr;
  uint32_t m_stationId = kStationId;
  std::vector<uint32_t> m_children;
  bool m_givenOrder = false;
  int m_channel = -1;
  int m_rawChannel = -1;
  std::vector<uint8_t> m_rates{100, 75, 60, 50};
  std::string m_productCode = "WS-TEST STATION";
  uint16_t m_hardwareVersion = 0x0203;
  bool m_sendOperational = true;
  bool m_sendApplied = true;
  bool m_sendRecordingStarted = true;
  uint16_t m_startFrame = 0;
  std::map<uint8_t, int> m_failAt;  // request id -> remaining count before the silent one
  std::function<bool(const EmuFrame&, EmuAction&, size_t)> m_childHandler;
  bool m_operational = false;
  bool m_measuring = false;
  bool m_recording = false;
  bool m_syncBox = false;
  bool m_transport = false;
  uint16_t m_rate = 100;
  std::vector<uint32_t> m_accepted;
  std::vector<uint32_t> m_rejected;
  std::map<uint8_t, std::vector<uint8_t>> m_syncIn;
  std::map<uint8_t, std::vector<uint8_t>> m_syncOut;
  std::chrono::steady_clock::time_point m_priorityBusyUntil{};
  int m_overlaps = 0;
  std::vector<uint8_t> m_priorities;
  bool m_admit = false;
  bool m_holdRecords = false;
  std::vector<EmuFrame> m_heldRecords;  // answers not sent yet
  std::vector<Stream> m_streams;
  std::map<uint32_t, Format> m_formats;
  std::map<uint32_t, std::vector<SdiPayload::Interval>> m_intervals;
  uint16_t m_nextFrame = 1;
  std::deque<Late> m_late;
};

}  // namespace zelto::test
