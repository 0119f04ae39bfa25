// Tracker initialisation on a pseudo-terminal served by the emulated tracker: the exchange in
// its order, and what it leaves behind (record, user parameters, alignment, profiles, hardware
// parameters); a record or configuration that cannot be used leaves the device uninitialised.
#include <gtest/gtest.h>

#include <cmath>
#include <ctime>
#include <vector>

#include "ekts/EktsManager.h"
#include "foundation/SettingsFile.h"
#include "support/EmulatedTracker.h"
#include "support/LogFileBuilder.h"

namespace zelto::test {
namespace {

// Two host scenarios, type 9 listed before type 3.
void hostScenarios(SettingsFile& settings) {
  settings.readZsaString(
      "ZKF.scenarios=U:2:S.nine S.three\n"
      "S.nine.gp.scenario=S:nine\n"
      "S.nine.gp.type=I:9\n"
      "S.nine.gp.version=I:2\n"
      "S.nine.gp.filterVersion=S:1.2.0\n"
      "S.nine.gp.filter=S:ZKF-3\n"
      "S.three.gp.scenario=S:general purpose\n"
      "S.three.gp.type=I:3\n"
      "S.three.gp.version=I:1\n"
      "S.three.gp.filterVersion=S:1.2.0\n"
      "S.three.gp.filter=S:ZKF-3\n");
}

TEST(TrackerInitialize, ExchangesInOrderAndTakesRecordProfilesAndParameters) {
  EmulatedTracker t([](TrackerModel& m) {
    m.serialDay = 100;
    m.setRow(TrackerModel::HeadingOffset, {0x3E, 0x80, 0x00, 0x00});  // 0.25 rad
    m.setRow(TrackerModel::Period, {0x04, 0x80});                        // 1152: 100 Hz
    m.setOnboardProfiles({{1, 1, "fast"}, {3, 1, "general"}});
  });
  // The model's record changes after the construction's read: initialize must read it anew.
  t.model.serialDay = 200;
  t.model.sensor.accRange = 21.5;
  ASSERT_NE(heldRecord(*t.tracker), t.model.recordImage());
  SettingsFile settings;
  hostScenarios(settings);
  t.mark();
  ASSERT_TRUE(t.tracker->initialize(settings));
  EXPECT_TRUE(t.tracker->isInitialized());

  // Configuration (GotoConfig, bus init, configuration, firmware), record, onboard profiles.
  EXPECT_EQ(idsSinceMark(t), (std::vector<uint8_t>{0x02, 0x0C, 0x12, 0x90, 0x62}));

  EXPECT_EQ(heldRecord(*t.tracker), t.model.recordImage());
  // User parameters from the record, the date today's.
  const ZkfUserParams& user = t.tracker->userParameters();
  EXPECT_DOUBLE_EQ(user.sampleRate, 100.0);
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  EXPECT_EQ(user.storedYear, local.tm_year + 1900);
  EXPECT_EQ(user.storedMonth, local.tm_mon + 1);
  // The heading from the record's offset; the identity alignment.
  EXPECT_NEAR(t.tracker->internalHeading().w, std::cos(0.125), 1e-6);
  EXPECT_NEAR(t.tracker->internalHeading().z, std::sin(0.125), 1e-6);
  EXPECT_NEAR(t.tracker->internalObjectAlignment().w, 1.0, 1e-12);
  // Hardware parameters from record page 5 (the settings have none).
  EXPECT_NEAR(t.tracker->hardwareParameters().acc_range, 21.5, 1e-6);

  // Onboard: the configuration's scenario (type 3, version 1) labelled from the device's list.
  EXPECT_EQ(t.tracker->availableOnboardFilterProfiles().size(), 2u);
  EXPECT_EQ(t.tracker->onboardFilterProfile().type, 3);
  EXPECT_EQ(t.tracker->onboardFilterProfile().version, 1);
  EXPECT_STREQ(t.tracker->onboardFilterProfile().label, "general");
  EXPECT_EQ(t.tracker->onboardFilterProfile().filterType, t.model.filterType);
  // Host: sorted by type, the onboard type chosen, its label cut at the blank.
  const std::vector<ZtFilterProfile> host = t.tracker->availableZdaFilterProfiles();
  ASSERT_EQ(host.size(), 2u);
  EXPECT_EQ(host[0].type, 3);
  EXPECT_EQ(host[1].type, 9);
  EXPECT_EQ(t.tracker->zdaFilterProfile().type, 3);
  EXPECT_STREQ(t.tracker->zdaFilterProfile().label, "general");
  EXPECT_EQ(t.tracker->zdaFilterProfile().filterType, '3');
}

TEST(TrackerInitialize, UnusableRecordOrConfigurationLeavesTheDeviceUninitialised) {
  {
    SCOPED_TRACE("record of an unknown version");
    EmulatedTracker t;
    std::vector<uint8_t> image = t.model.recordImage();
    uint8_t head[30];
    EktsManager::codeEkts(image.data(), head, 30, 0);
    head[29] = 9;
    EktsManager::codeEkts(head, image.data(), 30, 0);
    EmuAction reply = EmuAction::reply(image);
    reply.replyId = 0x91;
    t.emu->script(0x90, reply);
    SettingsFile settings;
    hostScenarios(settings);
    t.mark();
    EXPECT_FALSE(t.tracker->initialize(settings));
    EXPECT_FALSE(t.tracker->isInitialized());
    // Nothing after the record.
    EXPECT_EQ(t.emu->receivedCount(0x62), 0u);
    EXPECT_TRUE(t.tracker->availableZdaFilterProfiles().empty());
  }
  {
    SCOPED_TRACE("configuration without this device");
    EmulatedTracker t;
    t.emu->script(0x0C, EmuAction::reply(LogFileBuilder::configurationPayload(t.model.deviceId)));
    SettingsFile settings;
    hostScenarios(settings);
    EXPECT_FALSE(t.tracker->initialize(settings));
    EXPECT_FALSE(t.tracker->isInitialized());
    // Reinitialisation meets the same configuration: false, nothing thrown.
    EXPECT_FALSE(t.tracker->reinitialize());
  }
}

}  // namespace
}  // namespace zelto::test
