#pragma once
// A TestTracker on a link whose port is a pseudo-terminal served by the device emulator acting
// as a tracker (TrackerModel). The tracker is referenced (published); its configuration and
// record are fetched from the emulator at construction, so the tracker starts in agreement with
// the model's table. Frames the emulator received before the test are skipped by
// framesSinceMark().
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <memory>
#include <vector>

#include "support/PtyPort.h"
#include "support/TestTracker.h"
#include "support/emulator/DeviceEmulator.h"
#include "support/emulator/TrackerModel.h"
#include "transport/link/Communicator.h"

namespace zelto::test {

// Device: a test class of a tracker with addRef/removeRef, setState, fetchConfiguration and
// fetchRecord. make builds it on the link.
template <typename Device>
class EmulatedDevice {
 public:
  // prepare adjusts the model (record version, page 5, table rows) before anything is read.
  template <typename Prepare, typename Make>
  EmulatedDevice(Prepare prepare, Make make) {
    prepare(model);
    emu = std::make_unique<DeviceEmulator>(std::make_unique<FdEmulatorLink>(dup(pty.masterFd())));
    model.attachTo(*emu);
    emu->start();
    link = new Communicator();
    link->setGotoConfigTimeout(1000);
    ZtString name;
    ZtString_construct(&name, pty.slavePath().c_str());
    const bool open = link->openPort(name, B115200);
    ZtString_destruct(&name);
    EXPECT_TRUE(open);
    link->setGotoConfigTimeout(0);
    device = make(link);
    device->addRef();
    device->setState(ZDS_Config);
    EXPECT_TRUE(device->fetchConfiguration());
    EXPECT_TRUE(device->fetchRecord());
    mark();
  }
  ~EmulatedDevice() {
    if (device) device->removeRef();
    emu->stop();
  }
  EmulatedDevice(const EmulatedDevice&) = delete;
  EmulatedDevice& operator=(const EmulatedDevice&) = delete;

  void mark() { m_mark = emu->received().size(); }
  std::vector<EmuFrame> framesSinceMark() const {
    std::vector<EmuFrame> frames = emu->received();
    frames.erase(frames.begin(), frames.begin() + static_cast<long>(std::min(m_mark, frames.size())));
    return frames;
  }

  PtyPort pty;
  TrackerModel model;
  std::unique_ptr<DeviceEmulator> emu;
  Communicator* link = nullptr;  // owned by the device
  Device* device = nullptr;

 private:
  size_t m_mark = 0;
};

class EmulatedTracker : public EmulatedDevice<TestTracker> {
 public:
  // make (optional) builds the tracker (a TestTracker subclass) on the link.
  template <typename Prepare>
  explicit EmulatedTracker(Prepare prepare)
      : EmulatedTracker(prepare, [](Communicator* l) { return new TestTracker(l); }) {}
  template <typename Prepare, typename Make>
  EmulatedTracker(Prepare prepare, Make make) : EmulatedDevice<TestTracker>(prepare, make) {}
  EmulatedTracker() : EmulatedTracker([](TrackerModel&) {}) {}

  TestTracker*& tracker = device;
};

// Ids of the frames the emulator received since the last mark, in order.
template <typename Device>
std::vector<uint8_t> idsSinceMark(const EmulatedDevice<Device>& t) {
  std::vector<uint8_t> ids;
  for (const EmuFrame& f : t.framesSinceMark()) ids.push_back(f.messageId);
  return ids;
}

// The whole record the tracker holds, in its stored (encrypted) form.
inline std::vector<uint8_t> heldRecord(TestTracker& t) {
  std::vector<uint8_t> out(1320);
  EXPECT_EQ(t.ekts()->getEncryptedEktsData(out.data()), 1320);
  return out;
}

}  // namespace zelto::test
