// The settings messages against the emulator's settings table: one request/acknowledgement each,
// with the exact request, what an acknowledgement stores, what silence costs, the refusals by
// state, the application's own request, and the rate bookkeeping that sends nothing.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "support/EmulatedMaster.h"
#include "support/ZtValues.h"

using zelto::test::Bytes;
using zelto::test::EmuAction;
using zelto::test::EmuFrame;
using zelto::test::EmulatedMaster;
using zelto::test::Message;
using zelto::test::msSince;
using zelto::test::TestDevice;
using Clock = std::chrono::steady_clock;

namespace {

constexpr ZtDeviceId kChild1 = 0x00345601;
constexpr ZtDeviceId kChild2 = 0x00345602;

// The frames the emulator heard after the first `from`.
std::vector<EmuFrame> framesAfter(const EmulatedMaster& scene, size_t from) {
  std::vector<EmuFrame> frames = scene.emu->received();
  frames.erase(frames.begin(), frames.begin() + static_cast<long>(std::min(from, frames.size())));
  return frames;
}

class SettingsFixture : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(scene.master->gotoConfig()); }
  // 0: the master; n: the child at bus id n. The test device's own overrides of the setters are
  // bypassed: the rows call the base operations.
  ZtDevice& device(int index) { return index == 0 ? *scene.master : *scene.children[static_cast<size_t>(index) - 1]; }
  int storedPeriod() const { return scene.master->deviceConfiguration().samplingPeriod; }
  int storedSkipFactor() const { return scene.master->deviceConfiguration().outputSkipFactor; }

  EmulatedMaster scene{{kChild1, kChild2}};
};

struct SettingRow {
  const char* name;
  int device;
  std::function<bool(ZtDevice&)> operation;
  uint8_t requestId;
  uint8_t busId;
  Bytes payload;
  unsigned timeoutMs;
  // Where an acknowledged request stores its value (the master's configuration), and the value.
  enum class Stored { Nothing, Period, SkipFactor } stored;
  int value;
};

const std::vector<SettingRow>& settingRows() {
  using S = SettingRow::Stored;
  static const std::vector<SettingRow> rows = {
      {"string output type", 0, [](ZtDevice& d) { return d.ZtDevice::setStringOutputType(0x0102); }, 0x8E, 0xFF,
       {0x01, 0x02}, 200, S::Nothing, 0},
      {"sample period", 0, [](ZtDevice& d) { return d.ZtDevice::setSamplePeriod(576); }, 0x04, 0xFF, {0x02, 0x40}, 200,
       S::Period, 576},
      {"sample period of a child goes to the master's bus id", 2,
       [](ZtDevice& d) { return d.ZtDevice::setSamplePeriod(288); }, 0x04, 0xFF, {0x01, 0x20}, 200, S::Period, 288},
      {"output mode", 2, [](ZtDevice& d) { return d.ZtDevice::setOutputMode(0x1234); }, 0xD0, 2, {0x12, 0x34}, 200,
       S::Nothing, 0},
      {"output settings", 1, [](ZtDevice& d) { return d.ZtDevice::setOutputSettings(0x01020304); }, 0xD2, 1,
       {0x01, 0x02, 0x03, 0x04}, 200, S::Nothing, 0},
      {"output skip factor of a child", 2, [](ZtDevice& d) { return d.ZtDevice::setOutputSkipFactor(9); }, 0xD4, 2,
       {0x00, 0x09}, 200, S::SkipFactor, 9},
      {"output skip factor", 0, [](ZtDevice& d) { return d.ZtDevice::setOutputSkipFactor(0x0102); }, 0xD4, 0xFF,
       {0x01, 0x02}, 200, S::SkipFactor, 0x0102},
      {"restore factory defaults", 1, [](ZtDevice& d) { return d.ZtDevice::restoreFactoryDefaults(); }, 0x0E, 1, {},
       200, S::Nothing, 0},
      {"store the alignment", 0, [](ZtDevice& d) { return d.ZtDevice::scheduleOrientationReset(ZRM_StoreAlignment); },
       0xA4, 0xFF, {0x00, 0x00}, 200, S::Nothing, 0},
      {"serial baud rate without the restart", 0,
       [](ZtDevice& d) { return d.ZtDevice::setSerialBaudRate(B230400); }, 0x18, 0xFF, {0x08}, 500, S::Nothing, 0},
  };
  return rows;
}

}  // namespace

// Acknowledged: true, the request exactly as the table gives it (id, bus id, big-endian payload),
// the emulator stored it, and the period or skip factor is kept. (The baud-rate row is only run
// silent here: its acknowledgement restarts the device, which the reset tests cover.)
TEST_F(SettingsFixture, AcknowledgedRequests) {
  for (const SettingRow& row : settingRows()) {
    if (row.requestId == 0x18) continue;
    SCOPED_TRACE(row.name);
    const size_t before = scene.emu->received().size();
    EXPECT_TRUE(row.operation(device(row.device)));
    const std::vector<EmuFrame> frames = framesAfter(scene, before);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].encode(), (EmuFrame{row.busId, row.requestId, row.payload}.encode()));
    if (!row.payload.empty()) {
      EXPECT_EQ(scene.emu->setting(row.requestId), row.payload);
    }
    if (row.stored == SettingRow::Stored::Period) {
      EXPECT_EQ(storedPeriod(), row.value);
    }
    if (row.stored == SettingRow::Stored::SkipFactor) {
      EXPECT_EQ(storedSkipFactor(), row.value);
    }
  }
}

// Silent: false once the time-out has passed, nothing stored. The reply object is gone with the
// failure: once the device answers again, the very next request is acknowledged at once (a
// reply object left behind would have taken that acknowledgement).
TEST_F(SettingsFixture, SilentRequestsFailAfterTheirTimeout) {
  for (const SettingRow& row : settingRows()) {
    SCOPED_TRACE(row.name);
    const int period = storedPeriod();
    const int skipFactor = storedSkipFactor();
    scene.emu->script(row.requestId, EmuAction::silence());
    const auto start = Clock::now();
    EXPECT_FALSE(row.operation(device(row.device)));
    const long ms = msSince(start);
    EXPECT_GE(ms, static_cast<long>(row.timeoutMs) - 1);
    EXPECT_LE(ms, static_cast<long>(row.timeoutMs) + EmulatedMaster::kLateMs);
    EXPECT_EQ(storedPeriod(), period);
    EXPECT_EQ(storedSkipFactor(), skipFactor);
    EXPECT_EQ(scene.emu->receivedCount(0x3F), 0u);
    scene.emu->unscript(row.requestId);
    if (row.requestId == 0x18) {
      EXPECT_EQ(scene.emu->receivedCount(0x40), 0u);  // no restart after a refused rate
      continue;
    }
    const auto again = Clock::now();
    EXPECT_TRUE(row.operation(device(row.device)));
    EXPECT_LT(msSince(again), static_cast<long>(row.timeoutMs));
  }
}

// Only the factory defaults and the orientation reset look at the state, each of the device
// itself: a refused request sends nothing.
TEST_F(SettingsFixture, RefusalsByState) {
  struct Row {
    const char* name;
    int device;
    std::function<bool(ZtDevice&)> operation;
    ZtDeviceState state;
    bool sent;
  };
  const auto defaults = [](ZtDevice& d) { return d.ZtDevice::restoreFactoryDefaults(); };
  const auto store = [](ZtDevice& d) { return d.ZtDevice::scheduleOrientationReset(ZRM_StoreAlignment); };
  const auto heading = [](ZtDevice& d) { return d.ZtDevice::scheduleOrientationReset(ZRM_Heading); };
  const Row rows[] = {
      {"defaults in Initial", 0, defaults, ZDS_Initial, true},
      {"defaults in Config", 0, defaults, ZDS_Config, true},
      {"defaults in Measurement", 0, defaults, ZDS_Measurement, false},
      {"defaults in Recording", 0, defaults, ZDS_Recording, false},
      {"defaults in FlushingData", 0, defaults, ZDS_FlushingData, true},
      {"defaults of a child in Measurement", 1, defaults, ZDS_Measurement, false},
      {"store alignment in Config", 0, store, ZDS_Config, true},
      {"store alignment in Initial", 0, store, ZDS_Initial, false},
      {"store alignment in Measurement", 2, store, ZDS_Measurement, false},
      {"heading reset in Measurement", 0, heading, ZDS_Measurement, true},
      {"heading reset of a child in Recording", 1, heading, ZDS_Recording, true},
      {"heading reset in Config", 0, heading, ZDS_Config, false},
      {"heading reset in WaitingForRecordingStart", 0, heading, ZDS_WaitingForRecordingStart, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    scene.master->setDeviceState(row.state, true);
    ASSERT_EQ(device(row.device).deviceState(), row.state);
    const size_t before = scene.emu->received().size();
    EXPECT_EQ(row.operation(device(row.device)), row.sent);
    EXPECT_EQ(framesAfter(scene, before).size(), row.sent ? 1u : 0u);
  }
  if (::testing::Test::HasFailure()) return;
  // The heading reset carries its method; a child's goes to its bus id.
  scene.master->setDeviceState(ZDS_Measurement, true);
  const size_t before = scene.emu->received().size();
  EXPECT_TRUE(heading(device(2)));
  EXPECT_EQ(framesAfter(scene, before).at(0).encode(), (EmuFrame{2, 0xA4, {0x00, 0x01}}.encode()));
}

// The baud rate is only changed by a master on a live port, and not when the port runs at the
// rate already: then nothing is sent.
TEST_F(SettingsFixture, BaudRateRefusalsAndTheCurrentRate) {
  const size_t before = scene.emu->received().size();
  EXPECT_FALSE(scene.children[0]->setSerialBaudRate(B230400));
  EXPECT_TRUE(scene.master->setSerialBaudRate(B115200));
  // A rate the devices have no code for.
  EXPECT_FALSE(scene.master->setSerialBaudRate(B50));
  EXPECT_TRUE(framesAfter(scene, before).empty());
  EXPECT_EQ(scene.link->baudRate(), static_cast<ZtBaudRate>(B115200));
}

// The application's own request goes out unchanged and expects id + 1 (mod 256); what arrived
// is handed back whether or not it was the acknowledgement. A time-out of 0 means 200 ms.
TEST_F(SettingsFixture, CustomMessages) {
  struct Row {
    const char* name;
    uint8_t id;
    uint8_t busId;
    Bytes payload;
    bool scripted;
    EmuAction answer;
    bool wait;
    int timeoutMs;
    bool result;
    int replyId;  // -1: the reply argument is left alone
    Bytes replyPayload;
    long minMs;
    long maxMs;  // before the allowance for a late reply
  };
  const long late = EmulatedMaster::kLateMs;
  const Row rows[] = {
      {"acknowledged", 0x64, 2, {1, 2}, true, EmuAction::reply({9}), true, 100, true, 0x65, {9}, 0, 100},
      {"id 0xFF expects 0x00", 0xFF, 0xFF, {}, true, EmuAction::reply({0xAB}), true, 100, true, 0x00, {0xAB}, 0, 100},
      {"id 0xFF unanswered is no acknowledgement", 0xFF, 0xFF, {}, true, EmuAction::silence(), true, 0, false, 0x00,
       {}, 199, 200},
      {"time-out 0 waits 200 ms", 0x64, 0xFF, {}, true, EmuAction::silence(), true, 0, false, 0x00, {}, 199, 200},
      {"time-out 60", 0x64, 0xFF, {}, true, EmuAction::silence(), true, 60, false, 0x00, {}, 59, 60},
      {"an error reply is no acknowledgement", 0x64, 0xFF, {}, true, EmuAction::error(5), true, 100, false, 0x00, {},
       99, 100},
      {"without waiting", 0x64, 1, {7}, true, EmuAction::reply({9}), false, 100, true, -1, {}, 0, 100},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    scene.emu->script(row.id, row.answer);
    Message request(row.id, row.payload);
    ZtMessage_setBusId(&request.m, row.busId);
    Message reply(0x99, {0x99});
    const size_t before = scene.emu->received().size();
    const size_t sameIdBefore = scene.emu->receivedCount(row.id);
    const auto start = Clock::now();
    EXPECT_EQ(scene.master->sendCustomMessage(request.m, row.wait, reply.m, row.timeoutMs), row.result);
    const long ms = msSince(start);
    EXPECT_GE(ms, row.minMs);
    EXPECT_LE(ms, row.maxMs + late);
    if (row.replyId < 0) {
      EXPECT_EQ(reply.id(), 0x99);
    } else {
      EXPECT_EQ(reply.id(), row.replyId);
      EXPECT_EQ(reply.payload(), row.replyPayload);
    }
    ASSERT_TRUE(scene.emu->waitForReceived(row.id, sameIdBefore + 1, EmulatedMaster::kWaitMs));
    const std::vector<EmuFrame> frames = framesAfter(scene, before);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].encode(), request.bytes());
    scene.emu->unscript(row.id);
    // Let a late answer to an unawaited request arrive before the next row registers.
    if (!row.wait) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

// The update rate only does the bookkeeping: period and skip factor for the rate, in the
// configuration every device reads; nothing goes on the wire.
TEST_F(SettingsFixture, UpdateRateIsStoredWithoutAMessage) {
  struct Row {
    uint16_t rate;
    int period;
    int skipFactor;
  };
  const Row rows[] = {{100, 1152, 0}, {25, 1152, 3}, {200, 576, 0}, {40, 960, 2}, {0, 0, 0}};
  const size_t before = scene.emu->received().size();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.rate);
    scene.children[1]->updateUpdateRate(row.rate);
    EXPECT_EQ(scene.children[0]->deviceConfiguration().samplingPeriod, row.period);
    EXPECT_EQ(storedPeriod(), row.period);
    EXPECT_EQ(storedSkipFactor(), row.skipFactor);
  }
  EXPECT_TRUE(framesAfter(scene, before).empty());
}
