// Replacing an onboard profile's scenario page on the emulated tracker: the page index from the
// device's own order, the page in its stored (scrambled) form, the end marker, and what a missing
// acknowledgement or an unusable index leaves unsent.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ekts/EktsManager.h"
#include "foundation/SettingsFile.h"
#include "support/EmulatedTracker.h"

namespace zelto::test {
namespace {

std::vector<EmuFrame> trackerProfilePagesSent(const EmulatedTracker& t, uint8_t id) {
  std::vector<EmuFrame> out;
  for (const EmuFrame& f : t.framesSinceMark())
    if (f.messageId == id) out.push_back(f);
  return out;
}

// Host scenarios of types 6 (marker 2.5) and 8.
void loadHostScenarios(TestTracker& tracker) {
  SettingsFile settings;
  settings.readZsaString(
      "ZKF.scenarios=U:2:S.six S.eight\n"
      "S.six.gp.scenario=S:six\nS.six.gp.type=I:6\nS.six.gp.version=I:3\n"
      "S.six.gp.filterVersion=S:1.2.0\nS.six.gp.filter=S:ZKF-3\nS.six.test.marker=F:2.5\n"
      "S.eight.gp.scenario=S:eight\nS.eight.gp.type=I:8\nS.eight.gp.version=I:1\n"
      "S.eight.gp.filterVersion=S:1.2.0\nS.eight.gp.filter=S:ZKF-3\n");
  ASSERT_TRUE(tracker.loadFilterProfiles(settings));
}

std::vector<uint8_t> plainPage(const std::vector<uint8_t>& stored, int index) {
  std::vector<uint8_t> plain(264);
  EktsManager::codeEkts(stored.data(), plain.data(), 264, index * 264);
  return plain;
}

ZtFilterProfile profile(uint8_t type) {
  ZtFilterProfile p{};
  p.type = type;
  return p;
}

TEST(TrackerProfilePages, ThirdListedProfileIsPageSevenWithTheScenarioScrambled) {
  EmulatedTracker t([](TrackerModel& m) { m.setOnboardProfiles({{9, 1, "nine"}, {1, 1, "one"}, {4, 2, "four"}}); });
  loadHostScenarios(*t.tracker);
  t.mark();
  ASSERT_TRUE(t.tracker->replaceFilterProfile(profile(4), profile(6)));
  const auto pages = t.model.writtenPages();
  ASSERT_EQ(pages.size(), 1u);
  ASSERT_EQ(pages.count(7), 1u);
  // The scenario's own page, in its stored form.
  const ExtendedScenario* six = KtDevice::findScenario(t.tracker->hostScenarios(), 6);
  ASSERT_NE(six, nullptr);
  ASSERT_EQ(static_cast<const TestScenarioParams*>(six->parameters())->marker(), 2.5);
  std::vector<uint8_t> expected(264);
  six->parameters()->writeToDecryptedScenarioPage(expected.data());
  EXPECT_EQ(expected[0], 6);
  EXPECT_NE(pages.at(7), expected);
  EXPECT_EQ(plainPage(pages.at(7), 7), expected);
  EXPECT_EQ(t.model.pageWritesEnded(), 1u);
  // The page, the end marker, then the device read afresh (reinitialize).
  const std::vector<EmuFrame> writes = trackerProfilePagesSent(t, 0x96);
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0].payload.size(), 266u);
  EXPECT_EQ(writes[0].payload[0], 0);
  EXPECT_EQ(writes[0].payload[1], 7);
  EXPECT_EQ(writes[1].payload, (std::vector<uint8_t>{255}));
  EXPECT_EQ(trackerProfilePagesSent(t, 0x0C).size(), 1u);
  EXPECT_EQ(trackerProfilePagesSent(t, 0x90).size(), 1u);
}

TEST(TrackerProfilePages, UnknownNewTypeWritesAZeroPage) {
  EmulatedTracker t([](TrackerModel& m) { m.setOnboardProfiles({{1, 1, "one"}}); });
  loadHostScenarios(*t.tracker);
  ASSERT_TRUE(t.tracker->replaceFilterProfile(profile(1), profile(12)));
  const auto pages = t.model.writtenPages();
  ASSERT_EQ(pages.count(5), 1u);
  EXPECT_EQ(plainPage(pages.at(5), 5), std::vector<uint8_t>(264, 0));
  EXPECT_NE(pages.at(5), std::vector<uint8_t>(264, 0));
}

TEST(TrackerProfilePages, NothingSentOrNoReinitialisationWhenAStepFails) {
  {
    SCOPED_TRACE("old type not listed");
    EmulatedTracker t([](TrackerModel& m) { m.setOnboardProfiles({{1, 1, "one"}, {4, 1, "four"}}); });
    loadHostScenarios(*t.tracker);
    t.mark();
    EXPECT_FALSE(t.tracker->replaceFilterProfile(profile(5), profile(6)));
    EXPECT_TRUE(trackerProfilePagesSent(t, 0x96).empty());
  }
  {
    SCOPED_TRACE("no profile list");
    EmulatedTracker t;
    loadHostScenarios(*t.tracker);
    t.mark();
    EXPECT_FALSE(t.tracker->replaceFilterProfile(profile(1), profile(6)));
    EXPECT_TRUE(trackerProfilePagesSent(t, 0x96).empty());
  }
  {
    SCOPED_TRACE("page not acknowledged");
    EmulatedTracker t([](TrackerModel& m) { m.setOnboardProfiles({{1, 1, "one"}}); });
    loadHostScenarios(*t.tracker);
    t.emu->script(0x96, EmuAction::silence());
    t.mark();
    EXPECT_FALSE(t.tracker->replaceFilterProfile(profile(1), profile(6)));
    // No end marker, no reinitialisation.
    EXPECT_EQ(trackerProfilePagesSent(t, 0x96).size(), 1u);
    EXPECT_TRUE(trackerProfilePagesSent(t, 0x0C).empty());
    EXPECT_TRUE(trackerProfilePagesSent(t, 0x90).empty());
  }
  {
    SCOPED_TRACE("index past 255");
    // 252 listed profiles: the last one would be page 256, which a one-byte index wraps to 0.
    std::vector<TrackerModel::OnboardProfile> many;
    for (int i = 0; i < 252; ++i) many.push_back({static_cast<uint8_t>(i), 1, "p" + std::to_string(i)});
    EmulatedTracker t([&](TrackerModel& m) { m.setOnboardProfiles(many); });
    loadHostScenarios(*t.tracker);
    t.mark();
    EXPECT_FALSE(t.tracker->replaceFilterProfile(profile(251), profile(6)));
    EXPECT_TRUE(trackerProfilePagesSent(t, 0x96).empty());
    // The profile before it is page 255, the last one there is.
    EXPECT_TRUE(t.tracker->replaceFilterProfile(profile(250), profile(6)));
    EXPECT_EQ(t.model.writtenPages().count(255), 1u);
  }
}

TEST(TrackerProfilePages, PagesAreWrittenInOrderAndEndedOnce) {
  EmulatedTracker t;
  std::vector<uint8_t> pages(2 * 264);
  for (size_t i = 0; i < pages.size(); ++i) pages[i] = static_cast<uint8_t>(i * 7);
  t.mark();
  ASSERT_TRUE(t.tracker->writeEktsPage(pages.data(), 5, 2));
  const auto written = t.model.writtenPages();
  ASSERT_EQ(written.size(), 2u);
  EXPECT_EQ(written.at(5), std::vector<uint8_t>(pages.begin(), pages.begin() + 264));
  EXPECT_EQ(written.at(6), std::vector<uint8_t>(pages.begin() + 264, pages.end()));
  EXPECT_EQ(t.model.pageWritesEnded(), 1u);
  // Refused before anything is sent.
  EXPECT_FALSE(t.tracker->writeEktsPage(pages.data(), 255, 2));
  EXPECT_FALSE(t.tracker->writeEktsPage(pages.data(), 5, 0));
  EXPECT_FALSE(t.tracker->writeEktsPage(nullptr, 5, 1));
  EXPECT_EQ(trackerProfilePagesSent(t, 0x96).size(), 3u);
}

}  // namespace
}  // namespace zelto::test
