// Filtering lists of ports (kept trackers with rate and id, sorted byte-wise), aborting a filter
// from a second thread, and whole scans over the stand-in libudev and libusb.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <thread>
#include <vector>

#include "support/emulator/UsbEmulatorLink.h"
#include "transport/io/UsbEnumeration.h"
#include "zeltodeviceapi/ztscanner.h"
#include "support/ScannerFixture.h"

namespace {

using namespace zelto::test;
using namespace zelto::test::scanner;

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

TEST_F(ScannerTest, ExportedFilterWritesBackOnlyWhatAnswered) {
  Tracker tracker(B115200, 0x00000E01);
  PortList ports;
  ports.add(devDir + "ttyUSB404");  // does not exist
  ports.add(tracker.path());
  ZtScanner_filterResponsiveDevices(&ports.a, B115200, kProbeTimeoutMs, 0);
  ASSERT_EQ(ports.names(), Names{tracker.path()});
  EXPECT_EQ(ports.at(0).deviceId, 0x00000E01u);
  EXPECT_EQ(ports.at(0).baudRate, static_cast<ZtBaudRate>(B115200));

  // No port answers: the caller's list is emptied.
  PortList dead;
  dead.add(devDir + "ttyUSB404");
  ZtScanner_filterResponsiveDevices(&dead.a, B115200, kProbeTimeoutMs, 0);
  EXPECT_EQ(dead.a.size, 0u);
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


}  // namespace
