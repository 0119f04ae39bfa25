#pragma once
// A wireless station (the station class itself) on a pseudo-terminal served by the emulator's
// station model, opened by a test control whose factory makes scripted wireless trackers for
// the children's ids. prepare adjusts the model before the port opens; open() opens it through
// the control (the station is then constructed and initialised as an application would see it).
// Frames the emulator received before mark() are skipped by framesSinceMark().
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "otherdevices/wireless/TovanaStationDevice.h"
#include "support/CallbackRecorder.h"
#include "support/PtyPort.h"
#include "support/TestControl.h"
#include "support/emulator/DeviceEmulator.h"
#include "support/emulator/StationModel.h"
#include "transport/link/Communicator.h"

namespace zelto::test {

class EmulatedStation {
 public:
#ifdef ZDA_UNDER_SANITIZER
  static constexpr int kWaitMs = 8000;
#else
  static constexpr int kWaitMs = 3000;
#endif

  template <typename Prepare>
  EmulatedStation(const std::vector<uint32_t>& children, Prepare prepare)
      : emu(std::make_unique<FdEmulatorLink>(dup(pty.masterFd()))) {
    model.setChildren(children);
    model.setChannel(11);
    prepare(model);
    model.attachTo(emu);
    emu.start();
    control = std::make_unique<TestControl>();
    control->setKind(StationModel::kStationId, TestControl::WirelessStation);
    for (uint32_t id : children) control->setKind(id, TestControl::Wireless);
  }
  explicit EmulatedStation(const std::vector<uint32_t>& children = {})
      : EmulatedStation(children, [](StationModel&) {}) {}
  ~EmulatedStation() {
    control.reset();
    emu.stop();
  }
  EmulatedStation(const EmulatedStation&) = delete;
  EmulatedStation& operator=(const EmulatedStation&) = delete;

  const std::string& path() const { return pty.slavePath(); }
  bool open() {
    // A slow first answer (the first open of a sanitizer run) is waited for, not failed.
    const bool opened = control->openPort(Text(path()).s, B115200, kWaitMs);
    if (TovanaStationDevice* s = station()) s->addCallbackHandler(&messages, false);
    mark();
    return opened;
  }
  // Station indications (0x46) the station has handled since it opened.
  size_t indicationCount() const {
    size_t n = 0;
    for (const auto& e : messages.events(CallbackRecorder::Kind::NonDataMessage)) n += e.messageId == 0x46 ? 1 : 0;
    return n;
  }
  // True once the station has handled n indications in all and its request thread has run what
  // they queued.
  bool settle(size_t n) const {
    const bool seen = messages.waitUntil(
        [n](const std::vector<CallbackRecorder::Event>& events) {
          size_t count = 0;
          for (const auto& e : events)
            count += e.kind == CallbackRecorder::Kind::NonDataMessage && e.messageId == 0x46 ? 1 : 0;
          return count >= n;
        },
        std::chrono::milliseconds(kWaitMs));
    TovanaStationDevice* s = station();
    return seen && s && s->waitForRequests(kWaitMs);
  }
  TovanaStationDevice* station() const {
    return dynamic_cast<TovanaStationDevice*>(control->device(StationModel::kStationId));
  }
  // The child with the id (null when the station has none).
  ZtDevice* child(uint32_t id) const {
    TovanaStationDevice* s = station();
    return s ? s->findDevice(id) : nullptr;
  }
  std::vector<ZtDeviceId> childIds() const {
    std::vector<ZtDeviceId> ids;
    if (TovanaStationDevice* s = station())
      for (ZtDevice* c : s->children()) ids.push_back(c->deviceId());
    return ids;
  }

  void mark() { m_mark = emu.received().size(); }
  std::vector<EmuFrame> framesSinceMark() const {
    std::vector<EmuFrame> frames = emu.received();
    frames.erase(frames.begin(), frames.begin() + static_cast<long>(std::min(m_mark, frames.size())));
    return frames;
  }
  std::vector<uint8_t> idsSinceMark() const {
    std::vector<uint8_t> ids;
    for (const EmuFrame& f : framesSinceMark()) ids.push_back(f.messageId);
    return ids;
  }

  PtyPort pty;
  CallbackRecorder messages;  // the station's non-data messages; outlives the station
  StationModel model;  // before the emulator: its thread calls the model until it stops
  DeviceEmulator emu;
  std::unique_ptr<TestControl> control;

 private:
  size_t m_mark = 0;
};

}  // namespace zelto::test
