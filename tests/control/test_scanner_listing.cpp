// Listing ports through the stand-in libudev or the device directory, the USB hub scan, docking
// of two links, and USB listings that fail or find no libusb.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "transport/io/UsbEnumeration.h"
#include "transport/link/Communicator.h"
#include "zeltodeviceapi/ztscanner.h"
#include "support/ScannerFixture.h"

namespace {

using namespace zelto::test;
using namespace zelto::test::scanner;

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
