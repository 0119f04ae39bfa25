#pragma once
// The emulator as a bus master with trackers on its bus: requests on the hub's bus id (0xFF) are
// answered by the hub (settings 0x8A/0x8B, battery, Bluetooth, dual output, bus power, error mode,
// synchronisation byte, power down, and the 0x0C configuration listing the children); requests
// on bus id n go to the n-th child's TrackerModel. Data goes out as legacy 0x32 messages: the
// hub's 16-bit counter in front, then per child its raw block (nine counts and the temperature),
// a status byte and its own counter, taken from the child's RawTrajectory.
//
//   TrackerModel a, b;  RawTrajectory sa(...), sb(...);
//   HubModel hub;
//   hub.attachTo(emulator, {&a, &b}, {&sa, &sb});
//
// Children must report raw data with status and counter: output mode 0x4800, output settings
// 0x1 (useChildOutput sets that up). Threads: answers and payloads run on the emulator's serving
// thread (or the caller of a burst); the accessors may be called from any thread.
#include <cstdint>
#include <mutex>
#include <vector>

#include "support/emulator/DeviceEmulator.h"
#include "support/emulator/RawTrajectory.h"
#include "support/emulator/TrackerModel.h"

namespace zelto::test {

class HubModel {
 public:
  enum : uint8_t {
    SetBusPower = 0x08, SetBlueTooth = 0x14, SetDualOutput = 0x16, SetSync = 0x1A, PowerDown = 0x44,
    ErrorMode = 0x82, Battery = 0x88, ReadSettings = 0x8A, Settings = 0x8B
  };
  // The legacy size of one child's part: raw block, status byte, counter.
  static constexpr uint16_t kChildDataLength = 23;

  uint32_t deviceId = 0x00010105;  // bus master family; model 1, suffix 1: "ZM-A-ZB2"
  uint16_t period = 1152;          // 100 Hz

  HubModel();

  // The child reports raw data with status and counter in legacy form, at the hub's period.
  static void useChildOutput(TrackerModel& child, uint16_t period);
  void attachTo(DeviceEmulator& emulator, std::vector<TrackerModel*> children, std::vector<RawTrajectory*> streams);
  bool answer(const EmuFrame& request, EmuAction& action);

  // The 0x0D payload: the hub's id and period, one entry per child (from the child's own).
  std::vector<uint8_t> configurationPayload() const;
  // The 0x32 payload at a counter.
  std::vector<uint8_t> dataPayload(uint16_t counter);

  // State the requests change (or that tests set).
  std::vector<uint8_t> settings() const;  // the 15 bytes of 0x8B
  void setSettings(std::vector<uint8_t> bytes);
  void setBatteryRaw(uint8_t raw);
  uint16_t errorMode() const;
  uint16_t busPower() const;

 private:
  mutable std::mutex m_mutex;  // guards the state below
  std::vector<uint8_t> m_settings;
  uint8_t m_batteryRaw = 100;
  uint16_t m_errorMode = 1;
  uint16_t m_busPower = 1;
  std::vector<TrackerModel*> m_children;  // fixed once attached
  std::vector<RawTrajectory*> m_streams;
};

}  // namespace zelto::test
