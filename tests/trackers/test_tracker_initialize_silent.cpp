// A device that stops answering the record request during initialisation: the initialisation
// fails and the device no longer counts as initialised. (Its own program: the page read waits
// its full 2.5 s.)
#include <gtest/gtest.h>

#include <vector>

#include "foundation/SettingsFile.h"
#include "support/EmulatedTracker.h"

namespace zelto::test {
namespace {

TEST(TrackerInitializeSilent, UnansweredRecordPageClearsTheInitialisedFlag) {
  EmulatedTracker t;
  t.tracker->setReadInParts(true);
  SettingsFile settings;
  ASSERT_TRUE(t.tracker->initialize(settings));
  ASSERT_TRUE(t.tracker->isInitialized());
  t.emu->script(0x90, EmuAction::silence());
  t.mark();
  EXPECT_FALSE(t.tracker->initialize(settings));
  EXPECT_FALSE(t.tracker->isInitialized());
  // The first page went unanswered: no second page asked, nothing after the record.
  std::vector<uint8_t> ids;
  for (const EmuFrame& f : t.framesSinceMark()) ids.push_back(f.messageId);
  EXPECT_EQ(ids, (std::vector<uint8_t>{0x02, 0x0C, 0x12, 0x90}));
}

}  // namespace
}  // namespace zelto::test
