// Reply objects and the reply monitor: matching rules, registration order, time-outs, handles.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "support/ZtValues.h"
#include "foundation/Journaller.h"
#include "support/TempDir.h"
#include "transport/zbus/MidAndDataReplyObject.h"
#include "transport/zbus/MidReplyObject.h"
#include "transport/zbus/ReplyMonitor.h"
#include "transport/zbus/TovanaClientReplyObject.h"
#include "transport/zbus/TovanaIndicationReplyObject.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

#ifdef ZDA_UNDER_SANITIZER
constexpr int kSlack = 1000;  // ms a wake-up may come late under sanitizers
#else
constexpr int kSlack = 250;
#endif

using zelto::test::Message;
struct MatchCase {
  const char* name;
  std::function<ReplyObject*()> make;
  uint8_t id;
  Bytes payload;
  bool matches;
};

class Matching : public testing::TestWithParam<MatchCase> {};

TEST_P(Matching, IsReplyFor) {
  const MatchCase& c = GetParam();
  std::unique_ptr<ReplyObject> object(c.make());
  Message msg(c.id, c.payload);
  EXPECT_EQ(object->isReplyFor(msg.m), c.matches);
}

const uint8_t kExpected[] = {0xAA, 0xBB};

INSTANTIATE_TEST_SUITE_P(
    Kinds, Matching,
    testing::Values(
        MatchCase{"MidOther", [] { return new MidReplyObject(0x31); }, 0x30, {}, false},
        MatchCase{"MidSame", [] { return new MidReplyObject(0x31); }, 0x31, {1, 2}, true},
        MatchCase{"DataAtOffset", [] { return new MidAndDataReplyObject(0x21, 2, 2, kExpected); }, 0x21,
                  {0, 0, 0xAA, 0xBB, 9}, true},
        MatchCase{"DataDiffers", [] { return new MidAndDataReplyObject(0x21, 2, 2, kExpected); }, 0x21,
                  {0, 0, 0xAA, 0xBC}, false},
        MatchCase{"DataWrongId", [] { return new MidAndDataReplyObject(0x21, 2, 2, kExpected); }, 0x22,
                  {0, 0, 0xAA, 0xBB}, false},
        MatchCase{"PayloadTooShort", [] { return new MidAndDataReplyObject(0x21, 2, 2, kExpected); }, 0x21,
                  {0, 0, 0xAA}, false},
        MatchCase{"OffsetWraps",
                  [] { return new MidAndDataReplyObject(0x21, ~uint64_t(0), 2, kExpected); }, 0x21,
                  {0xAA, 0xBB}, false},
        MatchCase{"NoCopyNeedsBytes", [] { return new MidAndDataReplyObject(0x21, 0, 2, nullptr); }, 0x21,
                  {0xAA, 0xBB}, false},
        MatchCase{"NoBytesNeeded", [] { return new MidAndDataReplyObject(0x21, 0, 0, nullptr); }, 0x21, {}, true},
        MatchCase{"NoBytesNeededOffsetAtEnd", [] { return new MidAndDataReplyObject(0x21, 2, 0, nullptr); }, 0x21,
                  {1, 2}, true},
        MatchCase{"NoBytesNeededOffsetPastPayload",
                  [] { return new MidAndDataReplyObject(0x21, 3, 0, nullptr); }, 0x21, {1, 2}, false},
        MatchCase{"IndicationSame", [] { return new TovanaIndicationReplyObject(5); }, 0x46, {5, 1, 2, 3}, true},
        MatchCase{"IndicationOther", [] { return new TovanaIndicationReplyObject(5); }, 0x46, {6}, false},
        MatchCase{"IndicationEmpty", [] { return new TovanaIndicationReplyObject(5); }, 0x46, {}, false},
        MatchCase{"IndicationWrongId", [] { return new TovanaIndicationReplyObject(5); }, 0x45, {5}, false},
        MatchCase{"ClientAnyDevice", [] { return new TovanaClientReplyObject(5, 0x12345678); }, 0x46,
                  {5, 0x99, 0x99, 0x99, 0x99}, true},
        MatchCase{"ClientOther", [] { return new TovanaClientReplyObject(5, 0x12345678); }, 0x46, {7}, false}),
    [](const testing::TestParamInfo<MatchCase>& info) { return std::string(info.param.name); });

TEST(MidAndDataReplyObjectTest, SetDataAndFreeData) {
  MidAndDataReplyObject object(0x21, 0, 2, nullptr);
  Message msg(0x21, {0xAA, 0xBB});
  EXPECT_FALSE(object.isReplyFor(msg.m));
  Bytes source{0xAA, 0xBB};
  object.setData(source.data());
  source[0] = 0;  // the object keeps its own copy
  EXPECT_TRUE(object.isReplyFor(msg.m));
  object.freeData();
  EXPECT_EQ(object.data(), nullptr);
  EXPECT_FALSE(object.isReplyFor(msg.m));
  EXPECT_EQ(object.msgId(), 0x21);
  EXPECT_EQ(TovanaClientReplyObject(3, 77).msgId(), 0x46);
  EXPECT_EQ(TovanaClientReplyObject(3, 77).deviceId(), 77u);
}

class ReplyMonitorTest : public testing::Test {
protected:
  zelto::ReplyMonitor monitor;
};

TEST_F(ReplyMonitorTest, FirstRegisteredTakesFirstReply) {
  auto first = monitor.addReplyObject(new MidReplyObject(0x31));
  auto other = monitor.addReplyObject(new MidReplyObject(0x11));
  auto second = monitor.addReplyObject(new MidReplyObject(0x31));
  Message a(0x31, {1}), b(0x31, {2}), c(0x31, {3});
  EXPECT_TRUE(monitor.addReply(a.m));
  EXPECT_TRUE(monitor.addReply(b.m));
  EXPECT_FALSE(monitor.addReply(c.m));  // nobody left: goes to the device
  EXPECT_EQ(monitor.count(), 1u);

  Message out;
  EXPECT_TRUE(first->message(out.m, 0));
  EXPECT_EQ(out.payload(), Bytes{1});
  EXPECT_TRUE(second->message(out.m, 0));
  EXPECT_EQ(out.payload(), Bytes{2});
  EXPECT_FALSE(other->message(out.m, 0));
  EXPECT_EQ(out.id(), 0);
}

TEST_F(ReplyMonitorTest, DroppingHandlesUnregisters) {
  auto a = monitor.addReplyObject(new MidReplyObject(0x31));
  auto b = monitor.addReplyObject(new MidReplyObject(0x31));
  auto copy = a;
  a.reset();
  EXPECT_EQ(monitor.count(), 2u);  // a copy still holds it
  copy.reset();
  EXPECT_EQ(monitor.count(), 1u);
  Message reply(0x31);
  EXPECT_TRUE(monitor.addReply(reply.m));  // taken by b
  EXPECT_EQ(monitor.count(), 0u);
  auto c = monitor.addReplyObject(new MidReplyObject(0x42));
  b.reset();  // already out of the list: c stays
  EXPECT_EQ(monitor.count(), 1u);
  EXPECT_FALSE(monitor.addReplyObject(nullptr));
}

TEST_F(ReplyMonitorTest, TimeOutGivesEmptyMessageWithinTolerance) {
  auto handle = monitor.addReplyObject(new MidReplyObject(0x11));
  Message out(0x99);
  auto t0 = Clock::now();
  EXPECT_FALSE(handle->message(out.m, 0));
  EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(kSlack));
  EXPECT_EQ(out.id(), 0);
  EXPECT_TRUE(ZtMessage_empty(&out.m));

  t0 = Clock::now();
  EXPECT_FALSE(handle->message(out.m, 60));
  const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
  EXPECT_GE(waited, 55);  // the deadline is on the real-time clock, measured here on the steady one
  EXPECT_LT(waited, 60 + kSlack);
}

TEST_F(ReplyMonitorTest, ReplyFromAnotherThreadWakesTheWaiter) {
  auto handle = monitor.addReplyObject(new MidAndDataReplyObject(0x0D, 0, 1, kExpected));
  auto waiter = std::async(std::launch::async, [&] {
    Message out;
    const auto t0 = Clock::now();
    const bool got = handle->message(out.m, 10000);
    return std::make_tuple(got, out.payload(), Clock::now() - t0);
  });
  Message wrong(0x0D, {0x01}), right(0x0D, {0xAA, 0x07});
  EXPECT_FALSE(monitor.addReply(wrong.m));
  EXPECT_TRUE(monitor.addReply(right.m));
  ASSERT_EQ(waiter.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  auto [got, payload, waited] = waiter.get();
  EXPECT_TRUE(got);
  EXPECT_EQ(payload, (Bytes{0xAA, 0x07}));
  EXPECT_LT(waited, std::chrono::milliseconds(5000));
}

// A reply that comes after its waiter gave up stays with that object and never reaches a later one.
TEST_F(ReplyMonitorTest, LateReplyIsNotDeliveredToALaterWaiter) {
  Message out;
  auto first = monitor.addReplyObject(new MidReplyObject(0x31));
  EXPECT_FALSE(first->message(out.m, 5));
  Message late(0x31, {1});
  EXPECT_TRUE(monitor.addReply(late.m));  // still registered: it takes the late reply
  first.reset();

  auto second = monitor.addReplyObject(new MidReplyObject(0x31));
  EXPECT_FALSE(second->message(out.m, 5));
  EXPECT_EQ(out.id(), 0);
  second.reset();
  Message later(0x31, {2});
  EXPECT_FALSE(monitor.addReply(later.m));  // nobody waits any more
}

// Many requesters and one parse thread: every waiter gets exactly its own reply.
TEST_F(ReplyMonitorTest, ConcurrentRequestersEachGetTheirReply) {
  constexpr int kThreads = 8;
  constexpr int kRounds = 50;
  std::atomic<int> registered{0};
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int r = 0; r < kRounds; ++r) {
        const uint8_t tag[] = {static_cast<uint8_t>(t), static_cast<uint8_t>(r)};
        auto handle = monitor.addReplyObject(new MidAndDataReplyObject(0x61, 0, 2, tag));
        registered.fetch_add(1);
        Message out;
        if (!handle->message(out.m, 10000) || out.payload() != Bytes(tag, tag + 2))
          failures.fetch_add(1);
      }
    });
  }
  // The parse side: offer each thread's next reply until it is taken.
  std::vector<int> next(kThreads, 0);
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  for (int done = 0; done < kThreads * kRounds && Clock::now() < deadline;) {
    for (int t = 0; t < kThreads; ++t) {
      if (next[t] == kRounds)
        continue;
      Message reply(0x61, {static_cast<uint8_t>(t), static_cast<uint8_t>(next[t])});
      if (monitor.addReply(reply.m)) {
        ++next[t];
        ++done;
      }
    }
    std::this_thread::yield();
  }
  for (auto& th : threads)
    th.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(registered.load(), kThreads * kRounds);
  EXPECT_EQ(monitor.count(), 0u);
}

TEST_F(ReplyMonitorTest, DumpObjectListWritesOneLinePerObject) {
  zelto::test::TempDir dir;
  const std::string path = dir.file("dump.log");
  {
    Journaller journal(path, true, JLL_DEBUG);
    auto a = monitor.addReplyObject(new MidReplyObject(0x31));
    auto b = monitor.addReplyObject(new MidReplyObject(0xAB));
    auto c = monitor.addReplyObject(new TovanaIndicationReplyObject(2));
    monitor.dumpObjectList(&journal, JLL_ALERT);
    monitor.dumpObjectList(&journal, JLL_TRACE);  // below the threshold: nothing
    monitor.dumpObjectList(nullptr, JLL_FATAL);
  }
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);)
    if (!line.empty())
      lines.push_back(line);
  ASSERT_EQ(lines.size(), 4u);
  const char* expected[] = {"dumpObjectList Waiting for 3 objects", "dumpObjectList 0: msg ID = 31",
                            "dumpObjectList 1: msg ID = AB", "dumpObjectList 2: msg ID = 46"};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_NE(lines[i].find("[ALERT] "), std::string::npos) << lines[i];
    EXPECT_NE(lines[i].find(expected[i]), std::string::npos) << lines[i];
    EXPECT_EQ(lines[i].substr(lines[i].size() - std::string(expected[i]).size()), expected[i]);
  }
}

}  // namespace
