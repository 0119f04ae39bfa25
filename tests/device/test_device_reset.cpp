// The device reset against the emulator's reset conversation: the exchange on the wire, the port
// reopened at the device's rate, each step that can fail, and the baud-rate change that ends in
// a reset at the new rate.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "support/EmulatedMaster.h"
#include "support/ZtValues.h"

using zelto::test::Bytes;
using zelto::test::DeviceEmulator;
using zelto::test::EmuAction;
using zelto::test::EmuFrame;
using zelto::test::EmulatedMaster;
using zelto::test::msSince;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint8_t kWakeUpAck = 0x3F;
constexpr uint8_t kReset = 0x40;
constexpr uint8_t kBaudRate = 0x18;

std::vector<Bytes> deviceResetEncoded(const std::vector<EmuFrame>& frames) {
  std::vector<Bytes> out;
  for (const EmuFrame& f : frames) out.push_back(f.encode());
  return out;
}

const Bytes kGotoConfig{0xFA, 0xFF, 0x30, 0x00, 0xD1};
const Bytes kBaudRateQuery{0xFA, 0xFF, 0x18, 0x00, 0xE9};
const Bytes kResetRequest{0xFA, 0xFF, 0x40, 0x00, 0xC1};
const Bytes kWakeUpAcknowledgement{0xFA, 0xFF, 0x3F, 0x00, 0xC2};

}  // namespace

// A measuring master goes to Config, asks the rate, resets, reopens its port at that rate,
// hears the wake-up and acknowledges it. The emulator keeps serving the reopened port.
TEST(DeviceReset, RestartsTheDeviceAndReopensThePort) {
  EmulatedMaster scene({0x00345601});
  scene.emu->setResetScript({200, true});
  ASSERT_TRUE(scene.master->gotoMeasurement());
  const size_t before = scene.framesSinceOpen().size();
  EXPECT_TRUE(scene.master->reset());
  ASSERT_TRUE(scene.emu->waitForReceived(kWakeUpAck, 1, EmulatedMaster::kWaitMs));
  std::vector<EmuFrame> frames = scene.framesSinceOpen();
  frames.erase(frames.begin(), frames.begin() + static_cast<long>(before));
  EXPECT_EQ(deviceResetEncoded(frames), (std::vector<Bytes>{kGotoConfig, kBaudRateQuery, kResetRequest, kWakeUpAcknowledgement}));
  EXPECT_TRUE(scene.emu->wakeUpAcknowledged(EmulatedMaster::kWaitMs));
  EXPECT_EQ(scene.emu->resetCount(), 1u);
  EXPECT_EQ(scene.master->deviceState(), ZDS_Config);
  EXPECT_EQ(scene.children[0]->deviceState(), ZDS_Config);
  EXPECT_TRUE(scene.link->isPortOpen());
  EXPECT_EQ(scene.link->baudRate(), static_cast<ZtBaudRate>(B115200));
  EXPECT_TRUE(scene.master->ZtDevice::setSamplePeriod(576));
  // A child does not reset.
  EXPECT_FALSE(scene.children[0]->reset());
  EXPECT_EQ(scene.emu->resetCount(), 1u);
}

// Each step that can fail fails the reset: what went out up to there, and that the link is still
// usable afterwards (no reply object left behind takes the next acknowledgement).
TEST(DeviceReset, EachFailingStepFailsTheReset) {
  struct Row {
    const char* name;
    std::function<void(DeviceEmulator&)> fault;
    std::vector<Bytes> frames;
    long minMs;
    long maxMs;
  };
  const Row rows[] = {
      {"no GotoConfig acknowledgement", [](DeviceEmulator& e) { e.script(DeviceEmulator::GotoConfig, EmuAction::silence()); },
       {kGotoConfig}, 150, 150},
      {"no baud-rate reply", [](DeviceEmulator& e) { e.script(kBaudRate, EmuAction::silence()); },
       {kGotoConfig, kBaudRateQuery}, 500, 500},
      {"a baud-rate reply without a rate", [](DeviceEmulator& e) { e.script(kBaudRate, EmuAction::reply({})); },
       {kGotoConfig, kBaudRateQuery}, 0, 100},
      {"no reset acknowledgement", [](DeviceEmulator& e) { e.script(kReset, EmuAction::silence()); },
       {kGotoConfig, kBaudRateQuery, kResetRequest}, 200, 200},
      {"no wake-up", [](DeviceEmulator& e) { e.setResetScript({100, false}); },
       {kGotoConfig, kBaudRateQuery, kResetRequest}, 3000, 3000},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EmulatedMaster scene;
    ASSERT_TRUE(scene.master->gotoMeasurement());
    const size_t before = scene.framesSinceOpen().size();
    row.fault(*scene.emu);
    const auto start = Clock::now();
    EXPECT_FALSE(scene.master->reset());
    const long ms = msSince(start);
    EXPECT_GE(ms, row.minMs);
    EXPECT_LE(ms, row.maxMs + 100 + EmulatedMaster::kLateMs);
    std::vector<EmuFrame> frames = scene.framesSinceOpen();
    frames.erase(frames.begin(), frames.begin() + static_cast<long>(before));
    EXPECT_EQ(deviceResetEncoded(frames), row.frames);
    EXPECT_FALSE(scene.emu->wakeUpAcknowledged());
    // The device answers again: the next exchange is acknowledged.
    scene.emu->unscript(DeviceEmulator::GotoConfig);
    scene.emu->unscript(kBaudRate);
    scene.emu->unscript(kReset);
    EXPECT_TRUE(scene.link->isPortOpen());
    EXPECT_TRUE(scene.master->ZtDevice::setSamplePeriod(576));
  }
}

// A new rate is set on the device and then takes effect through the reset: the port reopens at
// the rate the device reports, where alone the device now listens.
TEST(DeviceReset, BaudRateChangeRestartsAtTheNewRate) {
  EmulatedMaster scene;
  scene.emu->setResetScript({200, true});
  scene.emu->answerOnlyAtSpeed(B115200);
  EXPECT_TRUE(scene.master->setSerialBaudRate(B230400));
  EXPECT_EQ(scene.link->baudRate(), static_cast<ZtBaudRate>(B230400));
  ASSERT_TRUE(scene.emu->waitForReceived(kWakeUpAck, 1, EmulatedMaster::kWaitMs));
  EXPECT_TRUE(scene.emu->wakeUpAcknowledged(EmulatedMaster::kWaitMs));
  EXPECT_EQ(scene.emu->setting(kBaudRate), Bytes{ZtBaud_rateToCode(B230400)});
  EXPECT_EQ(deviceResetEncoded(scene.framesSinceOpen()),
            (std::vector<Bytes>{EmuFrame{0xFF, kBaudRate, {ZtBaud_rateToCode(B230400)}}.encode(), kGotoConfig,
                                kBaudRateQuery, kResetRequest, kWakeUpAcknowledgement}));
  EXPECT_GE(scene.emu->requestsAtSpeed(B230400), 1u);
  EXPECT_TRUE(scene.master->ZtDevice::setSamplePeriod(576));
  // The rate it runs at now is not sent again.
  const size_t heard = scene.emu->received().size();
  EXPECT_TRUE(scene.master->setSerialBaudRate(B230400));
  EXPECT_EQ(scene.emu->received().size(), heard);
}
