// The tracker's setters against the emulated tracker: the exact request, caching after the
// acknowledgement (record, configuration and the emulator's table agreeing), another reply id,
// and values already held.
#include <gtest/gtest.h>

#include <thread>

#include "support/TrackerSetterCases.h"

namespace zelto::test {
namespace {

TEST(TrackerSetters, AcknowledgedRequestIsExactAndItsValueCachedEverywhere) {
  for (const SetterCase& c : setterCases()) {
    SCOPED_TRACE(c.name);
    SetterFixture f(c);
    if (c.cached) {
      EXPECT_FALSE(c.cached(*f.t.tracker)) << "the new value must differ from the cached one";
    }
    EXPECT_TRUE(c.call(*f.t.tracker));
    const std::vector<EmuFrame> frames = f.t.framesSinceMark();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].messageId, c.requestId);
    EXPECT_EQ(frames[0].busId, 0xFF);
    EXPECT_EQ(frames[0].payload, c.payload);
    if (c.cached) {
      EXPECT_TRUE(c.cached(*f.t.tracker));
    }
    EXPECT_EQ(f.restarts->load(), c.restarts);
    if (c.rowIsPayload) {
      EXPECT_EQ(f.t.model.row(c.requestId), c.payload);
    }
    // The emulator's configuration and record now report the value too.
    if (c.cached) {
      ASSERT_TRUE(f.t.tracker->fetchConfiguration());
      ASSERT_TRUE(f.t.tracker->fetchRecord());
      EXPECT_TRUE(c.cached(*f.t.tracker));
    }
  }
}

TEST(TrackerSetters, AnotherReplyIdFailsAndCachesNothing) {
  const std::vector<SetterCase> cases = setterCases();
  std::vector<std::unique_ptr<SetterFixture>> fixtures;
  for (const SetterCase& c : cases) {
    fixtures.push_back(std::make_unique<SetterFixture>(c));
    EmuAction wrong = EmuAction::reply(c.payload);
    wrong.replyId = 0x4F;  // nobody's acknowledgement
    fixtures.back()->t.emu->script(c.requestId, wrong);
  }
  // Each waits out its time-out; in parallel so the table takes one self-test time.
  std::vector<int> results(cases.size(), -1);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < cases.size(); ++i)
    threads.emplace_back([&, i] { results[i] = cases[i].call(*fixtures[i]->t.tracker) ? 1 : 0; });
  for (auto& th : threads) th.join();
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    EXPECT_EQ(results[i], 0);
    EXPECT_EQ(fixtures[i]->requests(cases[i].requestId).size(), 1u);
    if (cases[i].cached) {
      EXPECT_FALSE(cases[i].cached(*fixtures[i]->t.tracker));
    }
    EXPECT_EQ(fixtures[i]->restarts->load(), 0);
  }
}

TEST(TrackerSetters, ValueAlreadyInTheRecordSendsNothing) {
  EmulatedTracker t;
  TestTracker& d = *t.tracker;
  const struct {
    const char* name;
    std::function<bool()> call;
  } cases[] = {
      {"setOutputMode", [&] { return d.setOutputMode(d.outputMode()); }},
      {"setOutputSettings", [&] { return d.setOutputSettings(d.outputSettings()); }},
      {"setSamplePeriod", [&] { return d.setSamplePeriod(static_cast<uint16_t>(d.samplePeriod())); }},
      {"setOutputSkipFactor", [&] { return d.setOutputSkipFactor(static_cast<uint16_t>(d.outputSkipFactor())); }},
      {"setStringOutputType", [&] { return d.setStringOutputType(static_cast<uint16_t>(d.stringOutputType())); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    t.mark();
    EXPECT_TRUE(c.call());
    // A frame sent would have arrived well within this time.
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_TRUE(t.framesSinceMark().empty());
  }
}

}  // namespace
}  // namespace zelto::test
