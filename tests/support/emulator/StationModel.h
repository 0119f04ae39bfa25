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
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "support/emulator/DeviceEmulator.h"

namespace zelto::test {

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
  bool answer(const EmuFrame& request, EmuAction& action);
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
};

}  // namespace zelto::test
