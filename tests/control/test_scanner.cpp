// The port scanner against emulated trackers on pseudo-terminals (each answering at one baud rate
// only), the stand-in libudev and libusb and a scratch device directory: the baud-rate series,
// the reset after a device-side error, filtering and sorting, aborting from another thread, the
// listings with and without libudev, the USB hub scan and docking, and whole scans.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "control/ZtScanner.h"
#include "support/PtyPort.h"
#include "support/TempDir.h"
#include "support/emulator/DeviceEmulator.h"
#include "support/emulator/UsbEmulatorLink.h"
#include "support/fakeudev/FakeUdev.h"
#include "support/fakeudev/UdevTestAccess.h"
#include "support/fakeusb/FakeUsb.h"
#include "support/fakeusb/UsbTestAccess.h"
#include "transport/io/UsbEnumeration.h"
#include "transport/link/Communicator.h"
#include "zeltodeviceapi/ztscanner.h"

namespace {

namespace zs = ZtScannerNamespace;
using zelto::test::DeviceEmulator;
using zelto::test::EmuAction;
using zelto::test::EmuFrame;
using zelto::test::FdEmulatorLink;
using zelto::test::PtyPort;
using zelto::test::TempDir;
using zelto::test::UsbEmulatorLink;
using Clock = std::chrono::steady_clock;
using Names = std::vector<std::string>;

// GotoConfig acknowledge time-out of each probe: what a silent rate costs.
#ifdef ZDA_UNDER_SANITIZER
constexpr uint32_t kProbeTimeoutMs = 200;
constexpr int kWaitMs = 8000;
#else
constexpr uint32_t kProbeTimeoutMs = 60;
constexpr int kWaitMs = 3000;
#endif

long elapsedMs(Clock::time_point since) {
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

ZtPortInfo portNamed(const std::string& name) {
  ZtPortInfo info = {};
  std::snprintf(info.portName, sizeof info.portName, "%s", name.c_str());
  return info;
}

std::vector<uint8_t> deviceIdPayload(uint32_t id) {
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

// ---- Probing one port --------------------------------------------------------------------------

TEST_F(ScannerTest, SilentPortTriesTheNineRatesInOrderWithOnePause) {
  Tracker silent(B1200, 0x00111111);  // answers at no speed the series tries
  ZtPortInfo info = portNamed(silent.path());
  const auto start = Clock::now();
  EXPECT_FALSE(zs::ztScanPort(info, 0, kProbeTimeoutMs, false));
  const long ms = elapsedMs(start);
  const std::vector<uint32_t> series = {B115200, B2000000, B921600, B460800, B230400,
                                        B57600,  B38400,   B19200,  B9600};
  EXPECT_EQ(silent.emu.speedsSeen(), series);
  for (uint32_t speed : series) EXPECT_EQ(silent.emu.requestsAtSpeed(speed), 1u) << speed;
  EXPECT_GE(ms, static_cast<long>(9 * kProbeTimeoutMs + zs::kSeriesPauseMs));
  std::cout << "[ timing ] full-series probe of a silent port: " << ms << " ms (time-out " << kProbeTimeoutMs
            << " ms per rate)\n";
  RecordProperty("silent_series_ms", static_cast<int>(ms));
}

TEST_F(ScannerTest, TrackerAt921600IsFoundOnTheThirdProbe) {
  Tracker tracker(B921600, 0x00345678);
  ZtPortInfo info = portNamed(tracker.path());
  ASSERT_TRUE(zs::ztScanPort(info, 0, kProbeTimeoutMs, false));
  EXPECT_EQ(info.baudRate, 0x1007u);
  EXPECT_EQ(info.deviceId, 0x00345678u);
  EXPECT_EQ(tracker.emu.speedsSeen(), (std::vector<uint32_t>{B115200, B2000000, B921600}));
  // At the right rate: one GotoConfig and one ReqDeviceId.
  EXPECT_EQ(tracker.emu.requestsAtSpeed(B921600), 2u);
}

TEST_F(ScannerTest, FailuresOtherThanSilenceEndTheSeries) {
  // GotoConfig acknowledged, device id never answered: 271 at the first rate.
  Tracker tracker(B115200, 0x00345678);
  tracker.emu.script(DeviceEmulator::ReqDeviceId, EmuAction::silence());
  ZtPortInfo info = portNamed(tracker.path());
  EXPECT_FALSE(zs::ztScanPort(info, 0, kProbeTimeoutMs, false));
  EXPECT_EQ(tracker.emu.speedsSeen(), (std::vector<uint32_t>{B115200}));
  EXPECT_EQ(info.deviceId, 0u);

  // A port that cannot be opened (267) gets no second rate: the series' pause is never reached.
  ZtPortInfo missing = portNamed(devDir + "ttyUSB99");
  const auto start = Clock::now();
  EXPECT_FALSE(zs::ztScanPort(missing, 0, kProbeTimeoutMs, false));
  EXPECT_LT(elapsedMs(start), static_cast<long>(zs::kSeriesPauseMs));
  EXPECT_EQ(missing.baudRate, 0x1002u);
}

TEST_F(ScannerTest, DeviceErrorDuringOpenIsAnsweredWithResetAndReopen) {
  Tracker tracker(B115200, 0x00ABCDEF);
  tracker.emu.script(DeviceEmulator::ReqDeviceId, EmuAction::error(0x05));
  // The device recovers with the reset: the next device id request is answered.
  std::atomic<bool> resetSeen{false};
  std::thread device([&] {
    resetSeen = tracker.emu.waitForReceived(0x40, 1, kWaitMs);
    tracker.emu.unscript(DeviceEmulator::ReqDeviceId);
  });
  ZtPortInfo info = portNamed(tracker.path());
  const auto start = Clock::now();
  const int found = ZtScanner_scanPort(&info, B115200, kProbeTimeoutMs, 0);
  const long ms = elapsedMs(start);
  device.join();
  ASSERT_TRUE(resetSeen);
  EXPECT_EQ(found, 1);
  EXPECT_EQ(info.deviceId, 0x00ABCDEFu);
  EXPECT_EQ(info.baudRate, static_cast<ZtBaudRate>(B115200));
  EXPECT_GE(ms, static_cast<long>(zs::kResetPauseMs));

  std::vector<uint8_t> ids;
  for (const EmuFrame& f : tracker.emu.received()) ids.push_back(f.messageId);
  EXPECT_EQ(ids, (std::vector<uint8_t>{0x30, 0x00, 0x40, 0x30, 0x00}));
  const EmuFrame reset = tracker.emu.received()[2];
  EXPECT_EQ(reset.encode(), (std::vector<uint8_t>{0xFA, 0xFF, 0x40, 0x00, 0xC1}));
}

// ---- Filtering a list ----------------------------------------------------------------------------

TEST_F(ScannerTest, FilterKeepsTheAnsweringTrackersSortedByteWise) {
  PtyPort silent;
  Tracker slow(B9600, 0x00000C09);
  Tracker fast(B921600, 0x00000B92);
  Tracker common(B115200, 0x00000A11);
  PortList ports;
  ports.add(common.path());
  ports.add(silent.slavePath());
  ports.add(devDir + "ttyS404");  // does not exist
  ports.add(fast.path());
  ports.add(slow.path());

  ASSERT_TRUE(zs::ztFilterResponsiveDevices(ports.a, 0, kProbeTimeoutMs, false));
  Names expected = {common.path(), fast.path(), slow.path()};
  std::sort(expected.begin(), expected.end(),
            [](const std::string& x, const std::string& y) { return std::strcmp(x.c_str(), y.c_str()) < 0; });
  ASSERT_EQ(ports.names(), expected);
  struct Expect {
    const Tracker* tracker;
    ZtBaudRate rate;
    uint32_t id;
  };
  for (const Expect& e : {Expect{&common, 0x1002, 0x0A11}, Expect{&fast, 0x1007, 0x0B92}, Expect{&slow, 0xD, 0x0C09}}) {
    const size_t i = static_cast<size_t>(std::find(expected.begin(), expected.end(), e.tracker->path()) - expected.begin());
    EXPECT_EQ(ports.at(i).baudRate, e.rate) << e.tracker->path();
    EXPECT_EQ(ports.at(i).deviceId, e.id) << e.tracker->path();
  }
  // The silent port heard the whole series.
  EXPECT_FALSE(silent.receive(64, 0).empty());
}

// The first port answers its device id late enough for a second thread to abort in between.
struct AbortScene {
  Tracker first{B115200, 0x0000F001};
  PtyPort silent;
  Tracker last{B115200, 0x0000F003};
  PortList ports;
  AbortScene() {
    first.emu.script(DeviceEmulator::ReqDeviceId, EmuAction::reply(deviceIdPayload(0x0000F001), 150));
    ports.add(first.path());
    ports.add(silent.slavePath());
    ports.add(last.path());
  }
  std::thread abortWhenAsked() {
    return std::thread([this] {
      if (first.emu.waitForReceived(DeviceEmulator::ReqDeviceId, 1, kWaitMs)) ZtScanner_abortScan();
    });
  }
};

TEST_F(ScannerTest, AbortInMidFilterKeepsAnsweredAndUnprobedPorts) {
  AbortScene scene;
  std::thread aborter = scene.abortWhenAsked();
  const bool done = zs::ztFilterResponsiveDevices(scene.ports.a, B115200, kProbeTimeoutMs, false);
  aborter.join();
  EXPECT_FALSE(done);
  EXPECT_FALSE(zs::abortPortScan.load());
  ASSERT_EQ(scene.ports.names(), (Names{scene.first.path(), scene.silent.slavePath(), scene.last.path()}));
  EXPECT_EQ(scene.ports.at(0).deviceId, 0x0000F001u);
  EXPECT_EQ(scene.ports.at(1).deviceId, 0u);
  EXPECT_EQ(scene.ports.at(1).baudRate, 0u);
  EXPECT_TRUE(scene.silent.receive(64, 0).empty());
  EXPECT_EQ(scene.last.emu.bytesReceived(), 0u);
}

TEST_F(ScannerTest, AbortedExportedFilterEmptiesTheCallersList) {
  AbortScene scene;
  std::thread aborter = scene.abortWhenAsked();
  ZtScanner_filterResponsiveDevices(&scene.ports.a, B115200, kProbeTimeoutMs, 0);
  aborter.join();
  EXPECT_EQ(scene.ports.a.size, 0u);
  EXPECT_FALSE(zs::abortPortScan.load());
  EXPECT_EQ(scene.last.emu.bytesReceived(), 0u);
}

TEST_F(ScannerTest, WhileAbortedScanPortRefusesWithoutTouchingThePort) {
  Tracker tracker(B115200, 0x00000042);
  ZtScanner_abortScan();
  ZtPortInfo info = portNamed(tracker.path());
  EXPECT_EQ(ZtScanner_scanPort(&info, B115200, kProbeTimeoutMs, 0), 0);
  EXPECT_EQ(ZtScanner_scanPort(&info, 0, kProbeTimeoutMs, 0), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(tracker.emu.bytesReceived(), 0u);
  EXPECT_EQ(info.baudRate, 0u);
  // Still set: only a filter run clears it, even over an empty list.
  EXPECT_TRUE(zs::abortPortScan.load());
  PortList none;
  ZtScanner_filterResponsiveDevices(&none.a, B115200, kProbeTimeoutMs, 0);
  EXPECT_FALSE(zs::abortPortScan.load());
  EXPECT_EQ(ZtScanner_scanPort(&info, B115200, kProbeTimeoutMs, 0), 1);
}

// ---- Listing ports -------------------------------------------------------------------------------

enum class Library { Fake, LacksDevnode, Missing };

void useLibrary(Library library) {
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

// The tree of the listing cases (the order nodes are listed in).
void buildSerialTree(fakeudev::Control& c, bool withVanished) {
  fakeudev::addUsbSerialPort(c, "/dev/ttyUSB0", "1-1.2", "Zelto", "ttyUSB0");
  fakeudev::addUsbSerialPort(c, "/dev/ttyUSB1", "1-1.3", "ZELTO", "ttyUSB1");
  fakeudev::addUsbSerialPort(c, "/dev/ttyUSB2", "1-1.4", "zElTo", "ttyUSB2");
  fakeudev::addUsbSerialPort(c, "/dev/ttyUSB3", "1-2", "Other Maker", "ttyUSB3");
  fakeudev::addUsbSerialPort(c, "/dev/ttyUSB4", "1-3", nullptr, "ttyUSB4");
  fakeudev::addUsbSerialPort(c, "/dev/ttyUSB5", "1-4", "Zeltoo", "ttyUSB5");
  fakeudev::Node platform;  // a serial port without USB device above it
  platform.syspath = "/sys/devices/platform/serial8250";
  platform.subsystem = "platform";
  const int platformId = c.addNode(platform);
  fakeudev::Node ttyS0;
  ttyS0.syspath = "/sys/devices/platform/serial8250/tty/ttyS0";
  ttyS0.subsystem = "tty";
  ttyS0.devnode = "/dev/ttyS0";
  ttyS0.parent = platformId;
  c.addNode(ttyS0);
  fakeudev::Node console;  // virtual terminal: no parent
  console.syspath = "/sys/devices/virtual/tty/tty1";
  console.subsystem = "tty";
  console.devnode = "/dev/tty1";
  c.addNode(console);
  fakeudev::Node noNode = ttyS0;  // a tty device without node
  noNode.syspath = "/sys/devices/platform/serial8250/tty/ttyS1";
  noNode.devnode.clear();
  c.addNode(noNode);
  if (withVanished) {
    fakeudev::Node vanished = ttyS0;  // gone between the scan and its lookup
    vanished.syspath = "/sys/devices/platform/serial8250/tty/ttyS2";
    vanished.devnode = "/dev/ttyS2";
    vanished.failNew = true;
    c.addNode(vanished);
  }
  fakeudev::Node longest = ttyS0;  // 255 characters fit the port name, 256 do not
  longest.syspath = "/sys/devices/platform/serial8250/tty/ttyS3";
  longest.devnode = "/dev/" + std::string(250, 'a');
  c.addNode(longest);
  fakeudev::Node tooLong = ttyS0;
  tooLong.syspath = "/sys/devices/platform/serial8250/tty/ttyS4";
  tooLong.devnode = "/dev/" + std::string(251, 'b');
  c.addNode(tooLong);
  fakeudev::Node disk;  // another subsystem with a node
  disk.syspath = "/sys/devices/pci0000:00/block/sda";
  disk.subsystem = "block";
  disk.devtype = "disk";
  disk.devnode = "/dev/sda";
  disk.parent = platformId;
  c.addNode(disk);
}

TEST_F(ScannerTest, SerialListingCases) {
  buildSerialTree(*udev, true);
  for (const char* name : {"ttyS0", "ttyUSB0", "tty0", "ttyACM0", "ttyS", "console"}) makeDeviceFile(name);
  // A name the directory holds (255 characters) but whose path does not fit the port name.
  makeDeviceFile("ttyUSB" + std::string(249, 'x'));
  const Names fromDirectory = {devDir + "ttyS", devDir + "ttyS0", devDir + "ttyUSB0"};
  const Names udevAll = {"/dev/ttyUSB0", "/dev/ttyUSB1", "/dev/ttyUSB2", "/dev/ttyUSB3", "/dev/ttyUSB4",
                         "/dev/ttyUSB5", "/dev/ttyS0",   "/dev/" + std::string(250, 'a')};
  const Names udevZelto = {"/dev/ttyUSB0", "/dev/ttyUSB1", "/dev/ttyUSB2"};

  struct Case {
    const char* what;
    Library library;
    bool zeltoOnly;
    bool directoryExists;
    bool ok;
    Names expected;
    bool sortBeforeCompare;  // the directory yields its entries in its own order
  };
  const Case cases[] = {
      {"libudev, every tty with a parent and a node that fits", Library::Fake, false, true, true, udevAll, false},
      {"libudev, manufacturer zelto in any case", Library::Fake, true, true, true, udevZelto, false},
      {"no libudev: ttyS* and ttyUSB* of the directory", Library::Missing, false, true, true, fromDirectory, true},
      {"no libudev: no manufacturer filter", Library::Missing, true, true, true, fromDirectory, true},
      {"libudev lacking a function counts as none", Library::LacksDevnode, false, true, true, fromDirectory, true},
      {"no libudev, no directory", Library::Missing, false, false, false, {}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    useLibrary(c.library);
    zs::deviceDirectory = c.directoryExists ? devDir.c_str() : "/nonexistent-dev/";
    PortList ports;
    ports.add("kept", 7, 9);  // appended to, not replaced
    EXPECT_EQ(zs::ztEnumerateSerialPorts(ports.a, c.zeltoOnly), c.ok);
    Names got = ports.names();
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.front(), "kept");
    got.erase(got.begin());
    if (c.sortBeforeCompare) std::sort(got.begin(), got.end());
    EXPECT_EQ(got, c.expected);
    for (size_t i = 1; i < ports.a.size; ++i) {
      EXPECT_EQ(ports.at(i).deviceId, 0u);
      EXPECT_EQ(ports.at(i).baudRate, 0u);
    }
    EXPECT_EQ(0, udev->liveObjects());
    EXPECT_EQ(0, udev->misuses());
  }
  useLibrary(Library::Fake);
  zs::deviceDirectory = devDir.c_str();

  // The exported forms copy out, and an empty result empties the caller's list.
  PortList copied;
  copied.add("stale");
  ZtScanner_enumerateSerialPorts(&copied.a, 1);
  EXPECT_EQ(copied.names(), udevZelto);
  udev->reset();
  ZtScanner_enumerateSerialPorts(&copied.a, 1);
  EXPECT_EQ(copied.a.size, 0u);
  EXPECT_EQ(udev->contextsMade(), 1);
}

TEST_F(ScannerTest, UsbHubScanCases) {
  buildSerialTree(*udev, false);
  fakeudev::Node bare;  // a USB device without devpath, carrying a tty
  bare.syspath = "/sys/devices/usb/bare";
  bare.subsystem = "usb";
  bare.devtype = "usb_device";
  const int bareId = udev->addNode(bare);
  fakeudev::Node bareTty;
  bareTty.syspath = "/sys/devices/usb/bare/tty/ttyUSB8";
  bareTty.subsystem = "tty";
  bareTty.devnode = "/dev/ttyUSB8";
  bareTty.parent = bareId;
  udev->addNode(bareTty);

  struct Case {
    const char* what;
    const char* port;
    const char* path;  // null: no path
  };
  // Most devices of the walk (USB devices and interfaces) have no node at all.
  const Case cases[] = {
      {"tty under a USB device", "/dev/ttyUSB0", "1-1.2"},
      {"another tty under a USB device", "/dev/ttyUSB2", "1-1.4"},
      {"serial port without USB device", "/dev/ttyS0", nullptr},
      {"USB device without devpath", "/dev/ttyUSB8", nullptr},
      {"no such node", "/dev/ttyUSB77", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ZtUsbHubInfo hub = zs::ztScanUsbHub(portNamed(c.port));
    if (c.path) {
      ASSERT_NE(hub.path, nullptr);
      EXPECT_STREQ(hub.path, c.path);
    } else {
      EXPECT_EQ(hub.path, nullptr);
    }
    ZtUsbHubInfo_destruct(&hub);
    EXPECT_EQ(0, udev->liveObjects());
    EXPECT_EQ(0, udev->misuses());
  }

  // A device that cannot be made ends the walk: ports listed before it are found, those
  // behind it are not.
  fakeudev::Node vanished = bareTty;
  vanished.syspath = "/sys/devices/usb/bare/tty/ttyUSB9";
  vanished.devnode = "/dev/ttyUSB9";
  vanished.failNew = true;
  udev->addNode(vanished);
  fakeudev::addUsbSerialPort(*udev, "/dev/ttyACM0", "1-5", "Zelto", "ttyACM0");
  for (const Case& c : {Case{"before", "/dev/ttyUSB0", "1-1.2"}, Case{"behind", "/dev/ttyACM0", nullptr}}) {
    SCOPED_TRACE(c.what);
    ZtUsbHubInfo hub = zs::ztScanUsbHub(portNamed(c.port));
    EXPECT_EQ(hub.path == nullptr, c.path == nullptr);
    if (hub.path && c.path) {
      EXPECT_STREQ(hub.path, c.path);
    }
    ZtUsbHubInfo_destruct(&hub);
    EXPECT_EQ(0, udev->liveObjects());
  }

  // The export replaces the caller's path.
  ZtUsbHubInfo hub;
  ZtUsbHubInfo_construct(&hub, "stale");
  ZtPortInfo port = portNamed("/dev/ttyUSB1");
  ZtScanner_scanUsbHub(&hub, &port);
  ASSERT_NE(hub.path, nullptr);
  EXPECT_STREQ(hub.path, "1-1.3");
  port = portNamed("/dev/ttyS0");
  ZtScanner_scanUsbHub(&hub, &port);
  EXPECT_EQ(hub.path, nullptr);

  // Without libudev: the message, and no path.
  for (Library library : {Library::Missing, Library::LacksDevnode}) {
    useLibrary(library);
    ZtUsbHubInfo_assign(&hub, "stale");
    port = portNamed("/dev/ttyUSB0");
    testing::internal::CaptureStderr();
    ZtScanner_scanUsbHub(&hub, &port);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Unable to create udev object\n");
    EXPECT_EQ(hub.path, nullptr);
  }
  ZtUsbHubInfo_destruct(&hub);
}

// ---- Docking -------------------------------------------------------------------------------------

TEST_F(ScannerTest, LinksUnderOneParentHubAreDocked) {
  PtyPort ptyA, ptyB, ptyC, ptyD;
  fakeudev::addUsbSerialPort(*udev, ptyA.slavePath(), "1-1.2", "Zelto", "a");
  fakeudev::addUsbSerialPort(*udev, ptyB.slavePath(), "1-1.4", "Zelto", "b");
  fakeudev::addUsbSerialPort(*udev, ptyC.slavePath(), "1-2.2", "Zelto", "c");
  fakeudev::Node plain;  // ptyD: a tty without USB device above it
  plain.syspath = "/sys/devices/platform/d";
  plain.subsystem = "platform";
  fakeudev::Node tty;
  tty.syspath = "/sys/devices/platform/d/tty/d";
  tty.subsystem = "tty";
  tty.devnode = ptyD.slavePath();
  tty.parent = udev->addNode(plain);
  udev->addNode(tty);

  auto open = [](Communicator& link, const PtyPort& pty) {
    ZtString name;
    ZtString_construct(&name, pty.slavePath().c_str());
    const bool ok = link.openPort(name, B115200, OPS_OpenPort);
    ZtString_destruct(&name);
    return ok;
  };
  Communicator a, b, c, d, closed;
  ASSERT_TRUE(open(a, ptyA));
  ASSERT_TRUE(open(b, ptyB));
  ASSERT_TRUE(open(c, ptyC));
  ASSERT_TRUE(open(d, ptyD));
  EXPECT_TRUE(a.isDockedAt(&b));
  EXPECT_TRUE(b.isDockedAt(&a));
  EXPECT_FALSE(a.isDockedAt(&c));
  EXPECT_FALSE(a.isDockedAt(&d));
  EXPECT_FALSE(d.isDockedAt(&d));
  EXPECT_FALSE(a.isDockedAt(&closed));
  EXPECT_FALSE(a.isDockedAt(nullptr));
  EXPECT_EQ(0, udev->liveObjects());

  useLibrary(Library::Missing);
  testing::internal::CaptureStderr();
  EXPECT_FALSE(a.isDockedAt(&b));
  testing::internal::GetCapturedStderr();
}

// ---- Whole scans ---------------------------------------------------------------------------------

TEST_F(ScannerTest, ScanPortsProbesSerialAndUsbPorts) {
  Tracker one(B115200, 0x00000101);
  Tracker two(B115200, 0x00000202);
  PtyPort silent;
  fakeudev::addUsbSerialPort(*udev, two.path(), "1-1.2", "Zelto", "two");
  fakeudev::addUsbSerialPort(*udev, silent.slavePath(), "1-1.3", "Zelto", "silent");
  fakeudev::addUsbSerialPort(*udev, one.path(), "1-1.4", "Zelto", "one");
  const int device = usb->addDevice(fakeusb::makeDevice(1, 7, kZeltoUsbVendorId, 1, "00000303"));

  Names trackers = {one.path(), two.path()};
  std::sort(trackers.begin(), trackers.end(),
            [](const std::string& x, const std::string& y) { return std::strcmp(x.c_str(), y.c_str()) < 0; });

  // The USB device does not answer: dropped.
  PortList ports;
  ports.add("stale");
  ZtScanner_scanPorts(&ports.a, B115200, kProbeTimeoutMs, 1, 0);
  EXPECT_EQ(ports.names(), trackers);
  EXPECT_EQ(0, usb->openHandles());

  // Served by the emulator, it stays, named by bus and address, after the serial ports.
  usb->drain(device);  // what the silent device was sent
  {
    DeviceEmulator emu(std::make_unique<UsbEmulatorLink>(*usb, device));
    emu.setDeviceId(0x00000303);
    emu.start();
    ASSERT_TRUE(zs::ztScanPorts(ports.a, B115200, kProbeTimeoutMs, true, false));
    emu.stop();
  }
  Names expected = trackers;
  expected.push_back("USB001:007");
  ASSERT_EQ(ports.names(), expected);
  EXPECT_EQ(ports.at(2).deviceId, 0x00000303u);
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(ports.at(i).deviceId, ports.names()[i] == one.path() ? 0x00000101u : 0x00000202u);
    EXPECT_EQ(ports.at(i).baudRate, static_cast<ZtBaudRate>(B115200));
  }
}

TEST_F(ScannerTest, FailedUsbListingLeavesTheListUnprobed) {
  Tracker one(B115200, 0x00000101);
  fakeudev::addUsbSerialPort(*udev, one.path(), "1-1.4", "Zelto", "one");
  usb->addDevice(fakeusb::makeDevice(1, 7, kZeltoUsbVendorId, 1, "00000303"));
  usb->failCall("libusb_get_device_list", fakeusb::kErrorNoMem);

  PortList direct;
  EXPECT_FALSE(ztEnumerateUsbDevices(direct.a));
  EXPECT_FALSE(zs::ztScanPorts(direct.a, B115200, kProbeTimeoutMs, false, false));
  EXPECT_EQ(direct.names(), Names{one.path()});
  EXPECT_EQ(direct.at(0).deviceId, 0u);
  EXPECT_EQ(one.emu.bytesReceived(), 0u);

  PortList exported;
  ZtScanner_scanPorts(&exported.a, B115200, kProbeTimeoutMs, 0, 0);
  EXPECT_EQ(exported.names(), Names{one.path()});
  ZtScanner_enumerateUsbDevices(&exported.a);
  EXPECT_EQ(exported.a.size, 0u);

  // Without libusb nothing is listed, and that is no failure.
  usb->failCall("libusb_get_device_list", 0);
  ZtLibUsbTestAccess::useLibrary("/nonexistent/libusb-1.0.so");
  PortList none;
  EXPECT_TRUE(ztEnumerateUsbDevices(none.a));
  EXPECT_EQ(none.a.size, 0u);
  ZtLibUsbTestAccess::useLibrary(ZDA_FAKEUSB_SO);
  EXPECT_TRUE(ztEnumerateUsbDevices(none.a));
  EXPECT_EQ(none.names(), Names{"USB001:007"});
}

}  // namespace
