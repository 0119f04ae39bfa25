// Reset and factory defaults of a tracker: the device operation, then the configuration, record,
// onboard profiles and filter read anew; a failing device step reads nothing.
#include <gtest/gtest.h>

#include <vector>

#include "ekts/EktsManager.h"
#include "support/EmulatedTracker.h"

namespace zelto::test {
namespace {

TEST(TrackerReset, FactoryDefaultsThenReinitialisation) {
  EmulatedTracker t([](TrackerModel& m) { m.setOnboardProfiles({{3, 1, "general"}}); });
  t.emu->script(0x0E, EmuAction::reply());
  // The defaults change the device's record.
  t.model.serialDay = 4321;
  ASSERT_NE(heldRecord(*t.tracker), t.model.recordImage());
  const int filters = t.tracker->filterInitializations();
  t.mark();
  EXPECT_TRUE(t.tracker->restoreFactoryDefaults());
  EXPECT_EQ(idsSinceMark(t), (std::vector<uint8_t>{0x0E, 0x02, 0x0C, 0x12, 0x90, 0x62}));
  EXPECT_EQ(heldRecord(*t.tracker), t.model.recordImage());
  EXPECT_EQ(t.tracker->onboardFilterProfile().type, 3);
  EXPECT_STREQ(t.tracker->onboardFilterProfile().label, "general");
  EXPECT_EQ(t.tracker->filterInitializations(), filters + 1);

  // Not acknowledged: nothing read.
  t.emu->script(0x0E, EmuAction::silence());
  t.mark();
  EXPECT_FALSE(t.tracker->restoreFactoryDefaults());
  EXPECT_EQ(idsSinceMark(t), (std::vector<uint8_t>{0x0E}));

  // Acknowledged, but the record that follows is unusable: false.
  t.emu->script(0x0E, EmuAction::reply());
  EmuAction shortRecord = EmuAction::reply(std::vector<uint8_t>(12, 0));
  shortRecord.replyId = 0x91;
  t.emu->script(0x90, shortRecord);
  t.mark();
  EXPECT_FALSE(t.tracker->restoreFactoryDefaults());
  EXPECT_EQ(idsSinceMark(t), (std::vector<uint8_t>{0x0E, 0x02, 0x0C, 0x12, 0x90}));
}

// An onboard profile chosen on the device is what the configuration reports after the device
// was read anew.
TEST(TrackerReset, ChosenOnboardProfileComesBackFromTheConfiguration) {
  EmulatedTracker t([](TrackerModel& m) { m.setOnboardProfiles({{3, 1, "general"}, {5, 2, "human"}}, 10); });
  t.tracker->fetchAvailableHardwareScenarios();
  ASSERT_EQ(t.tracker->availableOnboardFilterProfiles().size(), 2u);  // the cut-short tail is none
  ASSERT_TRUE(t.tracker->reinitialize());
  EXPECT_EQ(t.tracker->onboardFilterProfile().type, 3);
  ASSERT_TRUE(t.tracker->setOnboardFilterProfile(5));
  EXPECT_EQ(t.model.row(TrackerModel::CurrentScenario), (std::vector<uint8_t>{0, 5}));
  ASSERT_TRUE(t.tracker->reinitialize());
  EXPECT_EQ(t.tracker->onboardFilterProfile().type, 5);
  EXPECT_STREQ(t.tracker->onboardFilterProfile().label, "human");
}

TEST(TrackerReset, ResetThenReinitialisation) {
  EmulatedTracker t;
  t.emu->setResetScript({50, true});
  t.model.serialDay = 777;
  t.mark();
  EXPECT_TRUE(t.tracker->reset());
  std::vector<uint8_t> ids = idsSinceMark(t);
  // The reset conversation, then the reading.
  ASSERT_GE(ids.size(), 5u);
  EXPECT_EQ(std::vector<uint8_t>(ids.end() - 5, ids.end()), (std::vector<uint8_t>{0x02, 0x0C, 0x12, 0x90, 0x62}));
  EXPECT_EQ(t.emu->resetCount(), 1u);
  EXPECT_EQ(heldRecord(*t.tracker), t.model.recordImage());
}

}  // namespace
}  // namespace zelto::test
