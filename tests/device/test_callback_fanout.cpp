// The per-packet cost side of the callback manager: a fan-out allocates nothing, whether a handler
// takes the event or its entry is null; and handler lists replaced while other threads fan out
// stay valid for every walk that may still read them (ASan sees a list freed too early).
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "device/CallbackManagerZda.h"
#include "support/AllocationCounter.h"

namespace {

struct FanOutDataOnly : ZtCallback {
  std::atomic<long> packets{0};
  void onDataAvailable(ZtDevice*, const ZtDataPacket*) override { ++packets; }
};

struct FanOutErrorCounter : ZtCallback {
  std::atomic<long> errors{0};
  void onError(ZtDevice*, ZtResultValue) override { ++errors; }
};

TEST(CallbackFanOutCost, EventsOfAPacketAllocateNothingTakenOrSkipped) {
  CallbackManagerZda manager;
  FanOutDataOnly data;
  ZtCallbackPlainC nothing{};  // a C table that takes no event
  manager.addCallbackHandler(&nothing, false);
  manager.addCallbackHandler(&data, false);
  // The first raise of each event reaches the defaults, which clear the entries.
  manager.onWriteDataToLogFile(nullptr, nullptr);
  manager.onMessageReceivedFromDevice(nullptr, nullptr);
  ASSERT_EQ(data.m_onWriteDataToLogFile, nullptr);

  constexpr long kPackets = 2000;
  AllocationCounter counter;
  long consents = 0;
  for (long i = 0; i < kPackets; ++i) {
    manager.onMessageReceivedFromDevice(nullptr, nullptr);
    manager.onDataAvailable(nullptr, nullptr);
    consents += manager.onWriteDataToLogFile(nullptr, nullptr);
  }
  EXPECT_EQ(counter.count(), 0u);
  EXPECT_EQ(data.packets.load(), kPackets);
  EXPECT_EQ(consents, kPackets);
}

// One thread appends handlers (each then reached by its own next raise) and finally clears them,
// while others fan out without pause; some rounds leave the raisers idle, so replaced lists are
// freed both at a quiet moment and by a waiting removal.
TEST(CallbackFanOutCost, ReplacedListsOutliveTheWalksThatReadThem) {
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    auto manager = std::make_unique<CallbackManagerZda>();
    std::atomic<bool> stop{false};
    std::atomic<bool> pause{false};
    std::atomic<long> fanOuts{0};
    std::vector<std::thread> raisers;
    for (int i = 0; i < 3; ++i)
      raisers.emplace_back([&] {
        while (!stop) {
          if (pause) {
            std::this_thread::yield();
            continue;
          }
          manager->onError(nullptr, 1);
          ++fanOuts;
        }
      });
    constexpr int kHandlers = 60;
    std::vector<std::unique_ptr<FanOutErrorCounter>> handlers;
    for (int i = 0; i < kHandlers; ++i) {
      pause = round == 1 && i % 10 == 0;
      handlers.push_back(std::make_unique<FanOutErrorCounter>());
      manager->addCallbackHandler(handlers.back().get(), false);
      const long before = handlers.back()->errors.load();
      manager->onError(nullptr, 2);
      EXPECT_GT(handlers.back()->errors.load(), before) << "handler " << i << " missed a later raise";
      pause = false;
      const long seen = fanOuts.load();
      while (fanOuts.load() < seen + 2) std::this_thread::yield();
    }
    EXPECT_EQ(manager->callbackHandlers().size(), static_cast<size_t>(kHandlers));
    manager->clearCallbackHandlers(false);
    std::vector<long> atClear;
    for (const auto& h : handlers) atClear.push_back(h->errors.load());
    const long seen = fanOuts.load();
    while (fanOuts.load() < seen + 4) std::this_thread::yield();
    stop = true;
    for (std::thread& t : raisers) t.join();
    for (size_t i = 0; i < handlers.size(); ++i) EXPECT_EQ(handlers[i]->errors.load(), atClear[i]) << i;
    manager.reset();
  }
}

}  // namespace
