// Synchronisation settings of the tracker base: the conversions between the library's entries
// and the record's form (ticks of 1/29.4912 us), reading the record back, and setSyncSettings
// against the emulated tracker.
#include <gtest/gtest.h>

#include "ekts/EktsManager.h"
#include "support/EmulatedTracker.h"

// Failure messages show both sides of the record form.
static std::ostream& operator<<(std::ostream& os, const KtDevice::KtSyncSettings& s) {
  return os << "in " << s.syncInMode << "/" << s.syncInSkipFactor << "/" << s.syncInOffset << " out " << s.syncOutMode
            << "/" << s.syncOutSkipFactor << "/" << s.syncOutOffset << "/" << s.syncOutPulseWidth;
}

namespace zelto::test {
namespace {

ZtSyncSetting entry(int32_t function, int32_t polarity, uint16_t skipFactor, int32_t offset, uint32_t pulseWidth = 0,
                    int32_t line = 0) {
  ZtSyncSetting s{};
  s.line = line;
  s.function = function;
  s.polarity = polarity;
  s.skipFactor = skipFactor;
  s.offset = offset;
  s.pulseWidth = pulseWidth;
  return s;
}

KtDevice::KtSyncSettings kt(uint16_t inMode, uint16_t inSkip, uint32_t inOffset, uint16_t outMode, uint16_t outSkip,
                            uint32_t outOffset, uint32_t outPulse) {
  KtDevice::KtSyncSettings s;
  s.syncInMode = inMode;
  s.syncInSkipFactor = inSkip;
  s.syncInOffset = inOffset;
  s.syncOutMode = outMode;
  s.syncOutSkipFactor = outSkip;
  s.syncOutOffset = outOffset;
  s.syncOutPulseWidth = outPulse;
  return s;
}

TEST(TrackerSync, ConversionToTheRecordForm) {
  const struct {
    const char* name;
    std::vector<ZtSyncSetting> list;
    KtDevice::KtSyncSettings expected;
  } cases[] = {
      {"sync-in function 8, polarity 2", {entry(8, 2, 3, 1000)}, kt(0x06, 3, 29491, 0, 0, 0, 0)},
      {"sync-in function 7, polarity 1", {entry(7, 1, 0, 0)}, kt(0x01, 0, 0, 0, 0, 0, 0)},
      {"sync-in function 9, polarity 3", {entry(9, 3, 1, 0)}, kt(0x13, 1, 0, 0, 0, 0, 0)},
      {"sync-in with no polarity keeps the mode so far", {entry(8, 2, 0, 0), entry(9, 0, 5, 0)},
       kt(0x16, 5, 0, 0, 0, 0, 0)},
      {"sync-out polarity 1", {entry(4, 1, 2, 500, 2000, 8)}, kt(0, 0, 0, 0x12, 2, 14746, 58982)},
      {"sync-out polarity 2", {entry(4, 2, 0, 0, 0, 8)}, kt(0, 0, 0, 0x02, 0, 0, 0)},
      {"sync-out polarity 3 alone", {entry(4, 3, 0, 0, 0, 8)}, kt(0, 0, 0, 0x01, 0, 0, 0)},
      {"sync-out polarity 3 after polarity 1", {entry(4, 1, 0, 0), entry(4, 3, 0, 0)}, kt(0, 0, 0, 0x13, 0, 0, 0)},
      {"an unknown function changes nothing", {entry(3, 1, 4, 1000)}, kt(0, 0, 0, 0, 0, 0, 0)},
      {"both sides", {entry(8, 2, 3, 1000), entry(4, 1, 2, 500, 2000)}, kt(0x06, 3, 29491, 0x12, 2, 14746, 58982)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(KtDevice::syncSettingsToKtSyncSettings(c.list), c.expected);
  }
}

TEST(TrackerSync, TimeConversionsRoundAndSaturate) {
  const struct {
    int64_t us;
    uint32_t ticks;
    bool representable;
  } toTicks[] = {
      {0, 0, true},
      {1000, 29491, true},
      {145635555, 4294967280u, true},  // the largest time that fits
      {145635556, 0xFFFFFFFFu, false},
      {4294967295LL, 0xFFFFFFFFu, false},
      {-1, 0, false},
      {-2147483648LL, 0, false},
  };
  for (const auto& c : toTicks) {
    SCOPED_TRACE(c.us);
    EXPECT_EQ(KtDevice::usToSyncTicks(c.us), c.ticks);
    EXPECT_EQ(KtDevice::isSyncTimeRepresentable(c.us), c.representable);
  }
  EXPECT_EQ(KtDevice::syncTicksToUs(0), 0u);
  EXPECT_EQ(KtDevice::syncTicksToUs(29491), 1000u);
  EXPECT_EQ(KtDevice::syncTicksToUs(0xFFFFFFFFu), 145635556u);
}

// A tracker without link whose record is the emulator model's (version 3).
struct TrackerSyncOfflineTracker {
  TrackerSyncOfflineTracker() : tracker(new TestTracker(static_cast<Communicator*>(nullptr))) {
    TrackerModel model;
    EXPECT_TRUE(tracker->loadRecord(model.recordImage()));
  }
  ~TrackerSyncOfflineTracker() { delete tracker; }
  TrackerSyncOfflineTracker(const TrackerSyncOfflineTracker&) = delete;
  TrackerSyncOfflineTracker& operator=(const TrackerSyncOfflineTracker&) = delete;
  TestTracker* tracker;
};

TEST(TrackerSync, RecordReadsBackAsEntries) {
  TrackerSyncOfflineTracker o;
  EktsManager& r = *o.tracker->ekts();
  EXPECT_TRUE(o.tracker->syncSettings().empty());

  r.setSyncInMode(0x08);
  ZtSyncSetting in = o.tracker->syncInSettings();
  EXPECT_EQ(in.line, 0);
  EXPECT_EQ(in.function, 12);
  EXPECT_EQ(in.polarity, 1);

  r.setSyncInMode(0x06);
  r.setSyncInSkipFactor(3);
  r.setSyncInOffset(29491);
  in = o.tracker->syncInSettings();
  EXPECT_EQ(in.function, 8);
  EXPECT_EQ(in.polarity, 2);
  EXPECT_EQ(in.offset, 1000);
  EXPECT_EQ(in.skipFactor, 3);
  EXPECT_EQ(in.pulseWidth, 1000u);

  r.setSyncOutMode(0x01);
  r.setSyncOutSkipFactor(4);
  r.setSyncOutOffset(14746);
  r.setSyncOutPulseWidth(58982);
  ZtSyncSetting out = o.tracker->syncOutSettings();
  EXPECT_EQ(out.line, 8);
  EXPECT_EQ(out.function, 4);
  EXPECT_EQ(out.polarity, 3);
  EXPECT_EQ(out.pulseWidth, 1000u);
  EXPECT_EQ(out.offset, 0);
  EXPECT_EQ(out.skipFactor, 4);

  r.setSyncOutMode(0x12);
  out = o.tracker->syncOutSettings();
  EXPECT_EQ(out.polarity, 1);
  EXPECT_EQ(out.pulseWidth, 2000u);
  EXPECT_EQ(out.offset, 500);
  r.setSyncOutMode(0x02);
  EXPECT_EQ(o.tracker->syncOutSettings().polarity, 2);

  const std::vector<ZtSyncSetting> list = o.tracker->syncSettings();
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].function, 8);
  EXPECT_EQ(list[1].function, 4);
  r.setSyncInMode(0);
  ASSERT_EQ(o.tracker->syncSettings().size(), 1u);
  EXPECT_EQ(o.tracker->syncSettings()[0].function, 4);
}

TEST(TrackerSync, SupportedSettingsListFourEntriesFiveForGnssAided) {
  TrackerSyncOfflineTracker o;
  o.tracker->setDeviceId(0x00071234);
  std::vector<ZtSyncSetting> list = o.tracker->supportedSyncSettings();
  ASSERT_EQ(list.size(), 4u);
  const int32_t functions[] = {3, 8, 4, 9};
  const int32_t lines[] = {0, 0, 8, 3};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(list[i].function, functions[i]);
    EXPECT_EQ(list[i].line, lines[i]);
  }
  EXPECT_EQ(list[2].pulseWidth, 1u);
  EXPECT_EQ(list[3].clockPeriod, 1u);
  o.tracker->setDeviceId(0x00061234);  // legacy GNSS-aided family
  list = o.tracker->supportedSyncSettings();
  ASSERT_EQ(list.size(), 5u);
  EXPECT_EQ(list[4].line, 5);
  EXPECT_EQ(list[4].function, 9);
}

TEST(TrackerSync, RefusedListsChangeNothingAndSendNothing) {
  const struct {
    const char* name;
    std::vector<ZtSyncSetting> list;
  } cases[] = {
      {"three entries", {entry(8, 2, 0, 0), entry(4, 1, 0, 0), entry(9, 1, 0, 0)}},
      {"negative offset", {entry(8, 2, 0, -1)}},
      {"offset above 145.6 s", {entry(4, 1, 0, 150000000, 1000)}},
      {"pulse width above 145.6 s", {entry(4, 1, 0, 0, 150000000u)}},
  };
  EmulatedTracker t;
  EktsManager& r = *t.tracker->ekts();
  r.setSyncInMode(0x05);
  r.setSyncOutOffset(777);
  const KtDevice::KtSyncSettings before = t.tracker->recordSync();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    t.mark();
    EXPECT_FALSE(t.tracker->setSyncSettings(c.list));
    EXPECT_EQ(t.tracker->recordSync(), before);
    EXPECT_TRUE(t.framesSinceMark().empty());
  }
}

TEST(TrackerSync, WithoutLinkTheCacheIsClearedAndTheResultFalse) {
  TrackerSyncOfflineTracker o;
  o.tracker->ekts()->setSyncInMode(0x06);
  o.tracker->ekts()->setSyncOutPulseWidth(99);
  EXPECT_FALSE(o.tracker->setSyncSettings({entry(8, 1, 0, 0)}));
  EXPECT_EQ(o.tracker->recordSync(), kt(0, 0, 0, 0, 0, 0, 0));
}

TEST(TrackerSync, SevenRequestsInOrderEachCachedOnItsAcknowledgement) {
  EmulatedTracker t;
  const std::vector<ZtSyncSetting> list = {entry(8, 2, 3, 1000), entry(4, 1, 2, 500, 2000, 8)};
  EXPECT_TRUE(t.tracker->setSyncSettings(list));
  const std::vector<EmuFrame> frames = t.framesSinceMark();
  const std::vector<std::pair<uint8_t, std::vector<uint8_t>>> expected = {
      {0xD6, {0, 0x00, 0x06}},
      {0xD6, {1, 0x00, 0x03}},
      {0xD6, {2, 0x00, 0x00, 0x73, 0x33}},  // 29491 ticks
      {0xD8, {0, 0x00, 0x12}},
      {0xD8, {1, 0x00, 0x02}},
      {0xD8, {2, 0x00, 0x00, 0x39, 0x9A}},  // 14746 ticks
      {0xD8, {3, 0x00, 0x00, 0xE6, 0x66}},  // 58982 ticks
  };
  ASSERT_EQ(frames.size(), expected.size());
  for (size_t i = 0; i < frames.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(frames[i].messageId, expected[i].first);
    EXPECT_EQ(frames[i].busId, 0xFF);
    EXPECT_EQ(frames[i].payload, expected[i].second);
  }
  EXPECT_EQ(t.tracker->recordSync(), kt(0x06, 3, 29491, 0x12, 2, 14746, 58982));
  EXPECT_EQ(t.model.syncIn(2), 29491u);
  EXPECT_EQ(t.model.syncOut(3), 58982u);
  // Read back in the library's form.
  const std::vector<ZtSyncSetting> back = t.tracker->syncSettings();
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(back[0].function, 8);
  EXPECT_EQ(back[0].polarity, 2);
  EXPECT_EQ(back[0].offset, 1000);
  EXPECT_EQ(back[1].polarity, 1);
  EXPECT_EQ(back[1].pulseWidth, 2000u);
  EXPECT_EQ(back[1].offset, 500);
  EXPECT_EQ(t.tracker->syncRole(), 2);
}

TEST(TrackerSync, ASilentThirdRequestStopsWithTwoValuesCached) {
  EmulatedTracker t;
  t.tracker->ekts()->setSyncOutMode(0x02);  // cleared before anything is sent
  t.model.silenceSync(0xD6, 2);
  EXPECT_FALSE(t.tracker->setSyncSettings({entry(8, 2, 3, 1000), entry(4, 1, 2, 500, 2000)}));
  EXPECT_EQ(t.framesSinceMark().size(), 3u);
  EXPECT_EQ(t.tracker->recordSync(), kt(0x06, 3, 0, 0, 0, 0, 0));
}

}  // namespace
}  // namespace zelto::test
