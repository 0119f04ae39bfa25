#pragma once
// A wireless station relaying its trackers' streams, as an application sees it: the station class
// on a pseudo-terminal served by the emulator's station model (its trackers listed in the
// configuration with the SDI data format, 100 Hz), opened by a test control whose factory makes
// scripted wireless trackers (no host filter), each tracker with its caches. The stream itself is
// not the emulator's: the test (or benchmark) writes the station's ticks to the port, one legacy
// data message (0x32) per tracker and tick, framed by the emulator's own encoder.
//
//   StationStreamRig rig(32);
//   rig.emu.start();                  // separately, so a benchmark can tell its thread apart
//   rig.open(&handler);               // measuring; the handler on every tracker
//   rig.pty.send(StationStreamRig::tick(32, 0));   // 32 messages in one write
#include <cstdint>
#include <memory>
#include <vector>

#include "otherdevices/wireless/KtwDevice.h"
#include "otherdevices/wireless/TovanaStationDevice.h"
#include "support/PtyPort.h"
#include "support/TestControl.h"
#include "support/emulator/DeviceEmulator.h"
#include "support/emulator/StationModel.h"

namespace zelto::test {

class StationStreamRig {
 public:
  static constexpr uint32_t kFirstTracker = 0x00B00100;
  // The frame counter of tick 0: the counter wraps during a long stream.
  static constexpr uint16_t kStartFrame = 65000;

  // trackers ids from kFirstTracker on; the values are sent as 4-byte floats.
  explicit StationStreamRig(int trackers);
  ~StationStreamRig();
  StationStreamRig(const StationStreamRig&) = delete;
  StationStreamRig& operator=(const StationStreamRig&) = delete;

  // Opens the station through the control (the emulator must run), gives every tracker its
  // caches and the handler (when not null), and starts measuring. False when any step failed.
  bool open(ZtCallbackPlainC* handler);
  // The bytes of tick k of a station with that many trackers, at 100 Hz: every tracker's interval
  // over frame kStartFrame + k (a slow turn about its own axis, gravity in the velocity increment,
  // a field), in tracker order.
  static std::vector<uint8_t> tick(int trackers, int k);
  // The ticks [first, first + count).
  static std::vector<std::vector<uint8_t>> ticks(int trackers, int first, int count);

  std::vector<uint32_t> ids;
  PtyPort pty;
  StationModel model;  // before the emulator: its thread calls the model until it stops
  DeviceEmulator emu;
  std::unique_ptr<TestControl> control;
  TovanaStationDevice* station = nullptr;
  std::vector<KtwDevice*> trackers;

 private:
  ZtCallbackPlainC* m_handler = nullptr;
};

}  // namespace zelto::test
