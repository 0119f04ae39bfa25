#pragma once
// Shared scene of the port scanner tests: the stand-in libudev and libusb and a scratch device
// directory in place of the system's, trackers that answer at one baud rate on pseudo-terminals,
// port lists, and the checks every test ends with (no udev object or USB handle left, the abort
// flag clear).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "control/ZtScanner.h"
#include "support/PtyPort.h"
#include "support/TempDir.h"
#include "support/emulator/DeviceEmulator.h"
#include "support/fakeudev/FakeUdev.h"
#include "support/fakeudev/UdevTestAccess.h"
#include "support/fakeusb/FakeUsb.h"
#include "support/fakeusb/UsbTestAccess.h"
#include "zttypes/ztmisc.h"

namespace zelto::test::scanner {

namespace zs = ZtScannerNamespace;
using Clock = std::chrono::steady_clock;
using Names = std::vector<std::string>;

// GotoConfig acknowledge time-out of each probe: what a silent rate costs. The library closes a
// probed port with a flush that, on a pseudo-terminal, also drops what the emulator has not read
// yet: the time-out is the emulator's allowance for being scheduled late on a loaded machine.
#ifdef ZDA_UNDER_SANITIZER
constexpr uint32_t kProbeTimeoutMs = 300;
constexpr int kWaitMs = 8000;
#else
constexpr uint32_t kProbeTimeoutMs = 150;
constexpr int kWaitMs = 3000;
#endif

inline long elapsedMs(Clock::time_point since) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

struct PortList {
  ZtPortInfoArray a;
  PortList() { ZtArray_construct(ZTARRAY(&a), &g_ztPortInfoArrayDescriptor, 0, nullptr); }
  ~PortList() { ZtArray_destruct(ZTARRAY(&a)); }
  PortList(const PortList&) = delete;
  PortList& operator=(const PortList&) = delete;
  void add(const std::string& name, uint32_t deviceId = 0, ZtBaudRate rate = 0) {
    ZtPortInfo info = {};
    info.deviceId = deviceId;
    std::snprintf(info.portName, sizeof info.portName, "%s", name.c_str());
    info.baudRate = rate;
    ZtArray_append(ZTARRAY(&a), 1, &info);
  }
  Names names() const {
    Names out;
    for (size_t i = 0; i < a.size; ++i) out.emplace_back(a.data[i].portName);
    return out;
  }
  const ZtPortInfo& at(size_t i) const { return a.data[i]; }
};

inline ZtPortInfo portNamed(const std::string& name) {
  ZtPortInfo info = {};
  std::snprintf(info.portName, sizeof info.portName, "%s", name.c_str());
  return info;
}

inline std::vector<uint8_t> deviceIdPayload(uint32_t id) {
  std::vector<uint8_t> p;
  zelto::test::putU32(p, id);
  return p;
}

// A tracker wired for one baud rate on a pseudo-terminal.
struct Tracker {
  PtyPort pty;
  DeviceEmulator emu;
  Tracker(speed_t speed, uint32_t deviceId) : emu(std::make_unique<FdEmulatorLink>(dup(pty.masterFd()))) {
    emu.setDeviceId(deviceId);
    emu.answerOnlyAtSpeed(static_cast<uint32_t>(speed));
    emu.start();
  }
  ~Tracker() { emu.stop(); }
  const std::string& path() const { return pty.slavePath(); }
};

// Every test runs over the stand-in libraries and a scratch device directory; the abort flag is
// clear before and after each.
class ScannerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ZtLibUsbTestAccess::useLibrary(ZDA_FAKEUSB_SO); }
  static void TearDownTestSuite() {
    ZtLibUsbTestAccess::useLibrary(nullptr);
    ZtUdevTestAccess::useLibrary(nullptr);
  }
  void SetUp() override {
    ZtUdevTestAccess::useLibrary(ZDA_FAKEUDEV_SO);
    udev = &fakeudev::control(ZDA_FAKEUDEV_SO);
    udev->reset();
    usb = &fakeusb::control(ZDA_FAKEUSB_SO);
    usb->reset();
    zs::deviceDirectory = devDir.c_str();
    ASSERT_FALSE(zs::abortPortScan.load());
  }
  void TearDown() override {
    zs::deviceDirectory = "/dev/";
    EXPECT_FALSE(zs::abortPortScan.load());
    zs::abortPortScan = false;
    EXPECT_EQ(0, udev->liveObjects());
    EXPECT_EQ(0, udev->misuses());
    EXPECT_EQ(0, usb->openHandles());
  }
  void makeDeviceFile(const std::string& name) {
    const int fd = ::open((devDir + name).c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0) << name;
    ::close(fd);
  }

  TempDir tmp;
  std::string devDir = tmp.path() + "/";
  fakeudev::Control* udev = nullptr;
  fakeusb::Control* usb = nullptr;
};

// The libudev every ZtUdev made from now on loads.
enum class Library { Fake, LacksDevnode, Missing };

inline void useLibrary(Library library) {
  switch (library) {
    case Library::Fake:
      ZtUdevTestAccess::useLibrary(ZDA_FAKEUDEV_SO);
      break;
    case Library::LacksDevnode:
      ZtUdevTestAccess::useLibrary(ZDA_FAKEUDEV_NODEVNODE_SO);
      break;
    case Library::Missing:
      ZtUdevTestAccess::useLibrary("/nonexistent/libudev.so.1");
      break;
  }
}


}  // namespace zelto::test::scanner
