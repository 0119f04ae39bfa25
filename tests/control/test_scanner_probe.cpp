// Probing one port: the baud-rate series in order with its pause, the rate that answers, the
// failures that end the series, the reset after a device-side error, and a set abort flag.
#include <gtest/gtest.h>

#include <atomic>
#include <iostream>
#include <thread>
#include <vector>

#include "support/ScannerFixture.h"
#include "transport/link/Communicator.h"
#include "zeltodeviceapi/ztscanner.h"

namespace {

using namespace zelto::test;
using namespace zelto::test::scanner;

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

// RS-485 detection repeats GotoConfig until the device answers; without it one request goes out.
TEST_F(ScannerTest, Rs485DetectionRepeatsGotoConfig) {
  Tracker tracker(B115200, 0x00000485);
  tracker.emu.setGotoConfigAfterTries(3);
  ZtPortInfo info = portNamed(tracker.path());
  EXPECT_FALSE(zs::ztScanPort(info, B115200, kProbeTimeoutMs, false));
  EXPECT_EQ(tracker.emu.receivedCount(DeviceEmulator::GotoConfig), 1u);
  tracker.emu.setGotoConfigAfterTries(3);
  ASSERT_TRUE(zs::ztScanPort(info, B115200, kProbeTimeoutMs, true));
  EXPECT_EQ(info.deviceId, 0x00000485u);
  EXPECT_GE(tracker.emu.receivedCount(DeviceEmulator::GotoConfig), 4u);
}

// What the scanner's reset rests on: a device that refuses ReqDeviceId with an Error message
// fails the open with its own code; an Error without a code is no reply.
TEST_F(ScannerTest, RefusedDeviceIdFailsTheOpenWithTheDeviceCode) {
  Tracker tracker(B115200, 0x00ABCDEF);
  struct Case {
    EmuAction action;
    ZtResultValue result;
  };
  EmuAction noCode = EmuAction::error(0);
  const Case cases[] = {{EmuAction::error(0x05), 5}, {EmuAction::error(0xFF), 255}, {noCode, ZRV_COULDNOTOPENFILE}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.result);
    tracker.emu.script(DeviceEmulator::ReqDeviceId, c.action);
    Communicator link;
    link.setGotoConfigTimeout(kProbeTimeoutMs);
    ZtString name;
    ZtString_construct(&name, tracker.path().c_str());
    EXPECT_FALSE(link.openPort(name, B115200, OPS_All));
    ZtString_destruct(&name);
    EXPECT_EQ(link.lastResult(), c.result);
    EXPECT_FALSE(link.isPortOpen());
  }
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

}  // namespace
