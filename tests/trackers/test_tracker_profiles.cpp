// Onboard filter profiles of the tracker base: the device's list (whole 22-byte entries, sorted
// by type, the configuration's filter type) and the choice of the current one.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ekts/EktsManager.h"
#include "support/EmulatedTracker.h"

namespace zelto::test {
namespace {

std::vector<uint8_t> entry(uint8_t type, uint8_t version, const std::string& label) {
  std::vector<uint8_t> e(22, 0);
  e[0] = type;
  e[1] = version;
  for (size_t i = 0; i < label.size() && i < 20; ++i) e[2 + i] = static_cast<uint8_t>(label[i]);
  return e;
}

size_t trackerProfilesSent(const EmulatedTracker& t, uint8_t id) {
  size_t n = 0;
  for (const EmuFrame& f : t.framesSinceMark()) n += f.messageId == id;
  return n;
}

TEST(TrackerOnboardProfiles, ListFromWholeEntriesSortedAndChosenInConfigOnly) {
  EmulatedTracker t;
  std::vector<uint8_t> reply = entry(5, 2, "human");
  const std::vector<uint8_t> general = entry(3, 1, "general purpose");
  const std::vector<uint8_t> full = entry(9, 4, "ABCDEFGHIJKLMNOPQRSTUVWXYZ");
  reply.insert(reply.end(), general.begin(), general.end());
  reply.insert(reply.end(), full.begin(), full.end());
  const std::vector<uint8_t> tail = entry(7, 1, "cut short");
  reply.insert(reply.end(), tail.begin(), tail.begin() + 10);  // not a whole entry
  t.emu->script(0x62, EmuAction::reply(reply));
  t.tracker->fetchAvailableHardwareScenarios();
  const std::vector<ZtFilterProfile> list = t.tracker->availableOnboardFilterProfiles();
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0].type, 3);
  EXPECT_STREQ(list[0].label, "general");
  EXPECT_EQ(list[1].type, 5);
  EXPECT_EQ(list[1].version, 2);
  EXPECT_STREQ(list[1].label, "human");
  EXPECT_EQ(list[2].type, 9);
  EXPECT_STREQ(list[2].label, "ABCDEFGHIJKLMNOPQRST");
  for (const ZtFilterProfile& p : list) EXPECT_EQ(p.filterType, t.model.filterType);

  // Chosen in Config: 0x64 with the type, the record and the current profile follow.
  t.mark();
  ASSERT_TRUE(t.tracker->setOnboardFilterProfile(5));
  EXPECT_EQ(t.model.row(TrackerModel::CurrentScenario), (std::vector<uint8_t>{0, 5}));
  EXPECT_EQ(t.tracker->onboardFilterProfile().type, 5);
  EXPECT_STREQ(t.tracker->onboardFilterProfile().label, "human");
  EXPECT_EQ(t.tracker->ekts()->zkfScenario() & 0xFF, 5);
  // A type the device did not report, or another state: refused without sending.
  t.mark();
  EXPECT_FALSE(t.tracker->setOnboardFilterProfile(7));
  t.tracker->setState(ZDS_Measurement);
  EXPECT_FALSE(t.tracker->setOnboardFilterProfile(3));
  EXPECT_EQ(trackerProfilesSent(t, 0x64), 0u);
  EXPECT_EQ(t.tracker->onboardFilterProfile().type, 5);

  // No reply: an empty list.
  t.emu->script(0x62, EmuAction::silence());
  t.tracker->fetchAvailableHardwareScenarios();
  EXPECT_TRUE(t.tracker->availableOnboardFilterProfiles().empty());
}

TEST(TrackerOnboardProfiles, UnacknowledgedChoiceKeepsTheCurrentProfile) {
  EmulatedTracker t;
  t.emu->script(0x62, EmuAction::reply(entry(4, 1, "office")));
  t.tracker->fetchAvailableHardwareScenarios();
  ASSERT_EQ(t.tracker->availableOnboardFilterProfiles().size(), 1u);
  const uint16_t before = t.tracker->ekts()->zkfScenario();
  t.emu->script(0x64, EmuAction::silence());
  EXPECT_FALSE(t.tracker->setOnboardFilterProfile(4));
  EXPECT_EQ(t.tracker->onboardFilterProfile().type, 0);
  EXPECT_EQ(t.tracker->ekts()->zkfScenario(), before);
}

}  // namespace
}  // namespace zelto::test
