// The wireless station's failure paths against the emulator's station model: radio-channel
// answers, trigger settings of which one is not acknowledged, and recording requests that cannot
// be sent or that come in the wrong state. (An unacknowledged radio enable and a measurement
// start without the operational indication are part of the end-to-end run.)
#include <gtest/gtest.h>

#include "otherdevices/wireless/KtwDevice.h"
#include "support/CallbackRecorder.h"
#include "support/EmulatedStation.h"

namespace {

using namespace zelto::test;

constexpr uint32_t kChild = 0x00B00011;

TEST(StationFailures, RadioChannelAnswers) {
  struct Case {
    int raw;  // -1: no answer at all
    int channel;
    bool enabled;
  };
  const Case cases[] = {{5, 5, true}, {0xFFFF, -1, false}, {0x8001, -2, true}, {-1, -2, true}};
  for (const Case& c : cases) {
    EmulatedStation s({kChild}, [&](StationModel& m) {
      if (c.raw >= 0) m.setRawChannelAnswer(c.raw);
    });
    if (c.raw < 0) s.emu.script(0xB6, EmuAction::silence());
    ASSERT_TRUE(s.open()) << c.raw;
    s.emu.unscript(0xB6);
    EXPECT_EQ(s.station()->radioChannel(), c.channel) << c.raw;
    // Only a disabled radio counts as off: an unknown channel does not keep the system from
    // being operational and measuring.
    EXPECT_EQ(s.station()->isRadioEnabled(), c.enabled) << c.raw;
    EXPECT_EQ(s.station()->isOperational(), c.enabled) << c.raw;
    EXPECT_EQ(s.station()->gotoMeasurement(), c.enabled) << c.raw;
  }
}

ZtSyncSetting setting(int32_t line, int32_t function, uint16_t skipFactor) {
  ZtSyncSetting s{};
  s.line = line;
  s.function = function;
  s.polarity = 1;
  s.pulseWidth = 1000;
  s.skipFactor = skipFactor;
  return s;
}

// Only what the station acknowledged is cached: after the third sync-in entry goes unanswered,
// actions 0 and 1 hold the new entries, action 2 and 3 and the sync-out entries the old ones.
TEST(StationFailures, TriggerSettingsCacheOnlyWhatWasAcknowledged) {
  EmulatedStation s({kChild});
  ASSERT_TRUE(s.open());
  TovanaStationDevice* station = s.station();
  const std::vector<ZtSyncSetting> before{setting(0, 0, 1), setting(0, 2, 1), setting(8, 0, 1)};
  ASSERT_TRUE(station->setSyncSettings(before));
  const std::vector<ZtSyncSetting> after{setting(1, 0, 7), setting(1, 1, 7), setting(1, 2, 7), setting(9, 0, 7)};
  s.model.failTriggerWrite(0x26, 3);
  s.mark();
  EXPECT_FALSE(station->setSyncSettings(after));
  EXPECT_EQ(s.idsSinceMark(), (std::vector<uint8_t>{0x26, 0x26, 0x26}));
  struct Expect {
    int32_t function;
    bool input;
    int32_t line;
    uint16_t skipFactor;
  };
  const Expect expected[] = {{0, true, 1, 7}, {1, true, 1, 7}, {2, true, 0, 1}, {0, false, 8, 1}};
  for (const Expect& e : expected) {
    const auto got = e.input ? station->syncInSettings(e.function) : station->syncOutSettings(e.function);
    ASSERT_EQ(got.size(), 1u) << e.function << e.input;
    EXPECT_EQ(got[0].line, e.line) << e.function << e.input;
    EXPECT_EQ(got[0].skipFactor, e.skipFactor) << e.function << e.input;
  }
  // A pulse that does not fit the station's 16-bit millisecond field is refused before anything
  // is sent.
  ZtSyncSetting tooLong = setting(8, 0, 1);
  tooLong.pulseWidth = 65536u * 1000u;
  s.mark();
  EXPECT_FALSE(station->setSyncSettings({tooLong}));
  EXPECT_TRUE(s.idsSinceMark().empty());
}

TEST(StationFailures, RecordingRequestsInTheWrongStateOrUnsent) {
  CallbackRecorder rec;
  EmulatedStation s({}, [](StationModel& m) {
    m.setChannel(-1);
    m.setSendRecordingStarted(false);
  });
  ASSERT_TRUE(s.open());
  TovanaStationDevice* station = s.station();
  EXPECT_FALSE(station->startRecording());  // not measuring
  ASSERT_TRUE(station->setSyncBoxMode(true));
  ASSERT_TRUE(station->gotoMeasurement());
  // Waiting for the start the station never reports: gotoConfig refuses that state, and a stop
  // returns to Measurement and reports false.
  ASSERT_TRUE(station->startRecording());
  EXPECT_EQ(station->deviceState(), ZDS_WaitingForRecordingStart);
  EXPECT_FALSE(station->gotoConfig());
  EXPECT_FALSE(station->stopRecording());
  EXPECT_EQ(station->deviceState(), ZDS_Measurement);
  // A start whose 0xCC cannot be written reports false and leaves Measurement, not the waiting
  // state.
  station->communicator()->addCallbackHandler(&rec, false);
  s.emu.hangUp();
  s.pty.hangUp();
  // The hang-up is reported once the link has closed its port.
  ASSERT_TRUE(rec.waitFor(CallbackRecorder::Kind::Error, 1, std::chrono::milliseconds(EmulatedStation::kWaitMs)));
  EXPECT_FALSE(station->startRecording());
  EXPECT_EQ(station->deviceState(), ZDS_Measurement);
  // A stop whose 0xCE cannot be written reports false (not success) and leaves the recording
  // state, which gotoConfig does not refuse.
  station->setDeviceState(ZDS_Recording, true);
  EXPECT_FALSE(station->stopRecording());
  EXPECT_EQ(station->deviceState(), ZDS_Recording);
}

}  // namespace
