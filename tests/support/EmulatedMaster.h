#pragma once
// A master test device on a link whose port is a pseudo-terminal served by the device emulator,
// with children behind it (listed in the master's configuration, so the link accepts their bus
// ids). The master is referenced and published; end() drops the reference (the device goes with
// its link) and the destructor does so when the test has not. Frames the emulator received
// while the link opened are skipped by framesSinceOpen().
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/PtyPort.h"
#include "support/TestDevice.h"
#include "support/emulator/DeviceEmulator.h"
#include "transport/link/Communicator.h"

namespace zelto::test {

class EmulatedMaster {
 public:
#ifdef ZDA_UNDER_SANITIZER
  static constexpr int kWaitMs = 8000;
  static constexpr long kLateMs = 250;  // what a reply may come late under a sanitizer
#else
  static constexpr int kWaitMs = 3000;
  static constexpr long kLateMs = 150;  // a loaded two-core machine may wake the waiter late
#endif
  static constexpr ZtDeviceId kMasterId = 0x00345678;

  // makeMaster builds the master on the link (default: a TestDevice).
  explicit EmulatedMaster(const std::vector<ZtDeviceId>& childIds = {},
                          const std::function<TestDevice*(Communicator*)>& makeMaster = nullptr) {
    emu = std::make_unique<DeviceEmulator>(std::make_unique<FdEmulatorLink>(dup(pty.masterFd())));
    emu->setDeviceId(kMasterId);
    emu->setDataRate(1);  // data while measuring, kept sparse
    emu->start();
    link = new Communicator();
    // A generous allowance for the open only; the mode switches then run on the usual 150 ms.
    link->setGotoConfigTimeout(1000);
    ZtString name;
    ZtString_construct(&name, pty.slavePath().c_str());
    const bool open = link->openPort(name, B115200);
    ZtString_destruct(&name);
    EXPECT_TRUE(open);
    link->setGotoConfigTimeout(0);
    master = makeMaster ? makeMaster(link) : new TestDevice(link);
    master->setConfiguredDevices(childIds);
    for (ZtDeviceId id : childIds) children.push_back(new TestDevice(master, id));
    master->addRef();
    m_openFrames = emu->received().size();
  }
  ~EmulatedMaster() {
    end();
    emu->stop();
  }
  EmulatedMaster(const EmulatedMaster&) = delete;
  EmulatedMaster& operator=(const EmulatedMaster&) = delete;

  // Ends the master and its children (termination, then deletion).
  void end() {
    if (!master) return;
    TestDevice* device = master;
    master = nullptr;
    children.clear();
    device->removeRef();
  }

  std::vector<EmuFrame> framesSinceOpen() const {
    std::vector<EmuFrame> frames = emu->received();
    frames.erase(frames.begin(), frames.begin() + static_cast<long>(std::min(m_openFrames, frames.size())));
    return frames;
  }

  PtyPort pty;
  std::unique_ptr<DeviceEmulator> emu;
  Communicator* link = nullptr;  // owned by the master
  TestDevice* master = nullptr;
  std::vector<TestDevice*> children;

 private:
  size_t m_openFrames = 0;
};

inline long msSince(std::chrono::steady_clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
}

}  // namespace zelto::test
