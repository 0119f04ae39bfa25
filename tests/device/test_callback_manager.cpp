// Callback manager: fan-out, consent, ZtCallback defaults, chaining and copying, and the
// re-entrant and concurrent cases (handlers changing the list while events fan out).
#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <cstdio>
#include <cstdlib>
#include <chrono>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "device/CallbackManagerZda.h"
#include "support/CallbackRecorder.h"

using namespace std::chrono_literals;
using Kind = CallbackRecorder::Kind;

namespace {

ZtDevice* fakeDevice(uintptr_t n) { return reinterpret_cast<ZtDevice*>(n * 64); }

// Runs fn on its own thread. A deadlock would leave threads blocked on objects of the test's
// frame, so instead of hanging (or unwinding under them) the test aborts loudly.
template <typename F>
void completesWithin(std::chrono::milliseconds limit, F fn, const char* what) {
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> finished = done->get_future();
  std::thread([fn, done]() mutable {
    fn();
    done->set_value();
  }).detach();
  if (finished.wait_for(limit) != std::future_status::ready) {
    std::fprintf(stderr, "FATAL: %s did not finish within %lld ms (deadlock)\n", what,
                 static_cast<long long>(limit.count()));
    std::abort();
  }
  finished.get();
}

// A plain C handler: a table with only the entries a test sets, plus a log of calls shared by
// all handlers of a test (what was called, in which order).
struct CHandler : ZtCallbackPlainC {
  CHandler(int id, std::vector<int>* log) : ZtCallbackPlainC{}, id(id), log(log) {}
  int id;
  std::vector<int>* log;
  int consent = 1;
  std::atomic<int> calls{0};
};

CHandler* asHandler(ZtCallbackPlainC* cb) { return static_cast<CHandler*>(cb); }

void cOnError(ZtCallbackPlainC* cb, ZtDevice*, ZtResultValue) {
  CHandler* h = asHandler(cb);
  ++h->calls;
  if (h->log) h->log->push_back(h->id);
}

int cOnWriteData(ZtCallbackPlainC* cb, ZtDevice*, const ZtDataPacket*) {
  CHandler* h = asHandler(cb);
  ++h->calls;
  if (h->log) h->log->push_back(h->id);
  return h->consent;
}

int cOnWriteMessage(ZtCallbackPlainC* cb, ZtDevice*, const ZtMessage*) {
  CHandler* h = asHandler(cb);
  ++h->calls;
  if (h->log) h->log->push_back(h->id);
  return h->consent;
}

}  // namespace

// ---- Fan-out ----

TEST(CallbackManager, EveryEventReachesEveryHandlerInOrderWithItsArguments) {
  CallbackManagerZda manager;
  CallbackRecorder first, second;
  manager.addCallbackHandler(&first, false);
  manager.addCallbackHandler(&second, false);

  ZtDevice* dev = fakeDevice(7);
  ZtDataPacket packet{};
  packet.packetId = 4711;
  packet.deviceId = 0x12345678;
  uint8_t frame[] = {0xFA, 0xFF, 0x31, 0x00, 0xD0};
  ZtMessage message{};
  message.bytes.data = frame;
  message.bytes.size = sizeof frame;
  char idText[] = "file.log";
  ZtString identifier{};
  identifier.data = idText;
  identifier.size = sizeof idText;

  manager.onDeviceStateChanged(dev, ZDS_Measurement, ZDS_Config);
  manager.onDataAvailable(dev, &packet);
  manager.onMissedPackets(dev, 3, 10, 12);
  manager.onWakeupReceived(dev);
  manager.onProgressUpdated(dev, 40, 100, &identifier);
  EXPECT_TRUE(manager.onWriteMessageToLogFile(dev, &message));
  EXPECT_TRUE(manager.onWriteDataToLogFile(dev, &packet));
  manager.onConnectivityChanged(dev, ZCS_Wireless);
  manager.onInfoResponse(dev, ZIR_BatteryLevel);
  manager.onError(dev, 304);
  manager.onNonDataMessage(dev, &message);
  manager.onMessageReceivedFromDevice(dev, &message);
  manager.onMessageSentToDevice(dev, &message);

  for (CallbackRecorder* rec : {&first, &second}) {
    auto events = rec->events();
    ASSERT_EQ(events.size(), 13u);
    for (int k = 0; k < CallbackRecorder::kKindCount; ++k) {
      EXPECT_EQ(events[k].kind, static_cast<Kind>(k)) << CallbackRecorder::kindName(static_cast<Kind>(k));
      EXPECT_EQ(events[k].device, dev);
    }
    EXPECT_EQ(events[0].values[0], ZDS_Measurement);
    EXPECT_EQ(events[0].values[1], ZDS_Config);
    EXPECT_EQ(events[1].packetId, 4711);
    EXPECT_EQ(events[1].packetDeviceId, 0x12345678u);
    EXPECT_EQ(events[2].values[0], 3);
    EXPECT_EQ(events[2].values[1], 10);
    EXPECT_EQ(events[2].values[2], 12);
    EXPECT_EQ(events[4].values[0], 40);
    EXPECT_EQ(events[4].values[1], 100);
    EXPECT_EQ(events[4].text, "file.log");
    EXPECT_EQ(events[5].messageId, 0x31);
    EXPECT_EQ(events[7].values[0], ZCS_Wireless);
    EXPECT_EQ(events[8].values[0], ZIR_BatteryLevel);
    EXPECT_EQ(events[9].values[0], 304);
    EXPECT_EQ(events[12].frame, std::vector<uint8_t>(frame, frame + sizeof frame));
  }
  // Within each event the first registered handler runs first: the recorders' sequence numbers
  // cannot show that, so check it with C handlers below.
}

TEST(CallbackManager, RegistrationOrderDuplicatesNullEntriesAndRemoval) {
  std::vector<int> log;
  CHandler a(1, &log), b(2, &log), c(3, &log), silent(4, &log);
  a.m_onError = b.m_onError = c.m_onError = cOnError;  // silent has no onError entry
  CallbackManagerZda manager;
  manager.addCallbackHandler(&b, false);
  manager.addCallbackHandler(&a, false);
  manager.addCallbackHandler(&silent, false);
  manager.addCallbackHandler(&c, false);
  manager.addCallbackHandler(&b, false);  // repeated: keeps its first position
  manager.addCallbackHandler(nullptr, false);

  manager.onError(nullptr, 1);
  EXPECT_EQ(log, (std::vector<int>{2, 1, 3}));
  EXPECT_EQ(manager.callbackHandlers().size(), 4u);

  log.clear();
  manager.removeCallbackHandler(&b, false);  // once is enough
  manager.removeCallbackHandler(&b, false);  // absent: no-op
  manager.removeCallbackHandler(nullptr, true);
  manager.onError(nullptr, 1);
  EXPECT_EQ(log, (std::vector<int>{1, 3}));
}

struct ConsentCase {
  const char* name;
  std::vector<int> answers;  // -1: the handler has no entry for the event
  bool expected;
};

class CallbackConsent : public ::testing::TestWithParam<ConsentCase> {};

TEST_P(CallbackConsent, IsTheAndOfEveryCalledHandlerWithoutShortCircuit) {
  const ConsentCase& tc = GetParam();
  for (bool dataEvent : {true, false}) {
    std::vector<int> log;
    std::vector<std::unique_ptr<CHandler>> handlers;
    CallbackManagerZda manager;
    std::vector<int> expectedLog;
    for (size_t i = 0; i < tc.answers.size(); ++i) {
      auto h = std::make_unique<CHandler>(static_cast<int>(i), &log);
      if (tc.answers[i] >= 0) {
        h->consent = tc.answers[i];
        if (dataEvent) h->m_onWriteDataToLogFile = cOnWriteData;
        else h->m_onWriteMessageToLogFile = cOnWriteMessage;
        expectedLog.push_back(static_cast<int>(i));
      }
      manager.addCallbackHandler(h.get(), false);
      handlers.push_back(std::move(h));
    }
    const bool result = dataEvent ? manager.onWriteDataToLogFile(nullptr, nullptr)
                                  : manager.onWriteMessageToLogFile(nullptr, nullptr);
    EXPECT_EQ(result, tc.expected) << (dataEvent ? "data" : "message");
    EXPECT_EQ(log, expectedLog) << "every handler with an entry is asked, in order";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, CallbackConsent,
    ::testing::Values(ConsentCase{"NoHandler", {}, true}, ConsentCase{"OnlyNullEntries", {-1, -1}, true},
                      ConsentCase{"OneYes", {1}, true}, ConsentCase{"OneNo", {0}, false},
                      ConsentCase{"FirstRefuses", {0, 1}, false}, ConsentCase{"MiddleRefuses", {1, 0, 1}, false},
                      ConsentCase{"AllAgreeNonZero", {1, 7, -1}, true}, ConsentCase{"AllRefuse", {0, 0}, false}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- ZtCallback defaults ----

namespace {
struct PacketsOnly : ZtCallback {
  std::atomic<int> packets{0};
  void onDataAvailable(ZtDevice*, const ZtDataPacket*) override { ++packets; }
};
}  // namespace

TEST(ZtCallbackDefaults, UnoverriddenEventIsDeliveredOnceThenSkipped) {
  PacketsOnly handler;
  CallbackManagerZda manager;
  manager.addCallbackHandler(&handler, false);
  ASSERT_NE(handler.m_onError, nullptr);

  manager.onError(nullptr, 5);
  EXPECT_EQ(handler.m_onError, nullptr) << "the default clears its own entry";
  manager.onError(nullptr, 6);  // skipped, must not crash
  for (int i = 0; i < 3; ++i) manager.onDataAvailable(nullptr, nullptr);
  EXPECT_EQ(handler.packets, 3);
  EXPECT_NE(handler.m_onDataAvailable, nullptr);

  // The consent default agrees once and is skipped afterwards; a skipped entry leaves consent.
  EXPECT_TRUE(manager.onWriteDataToLogFile(nullptr, nullptr));
  EXPECT_EQ(handler.m_onWriteDataToLogFile, nullptr);
  EXPECT_TRUE(manager.onWriteDataToLogFile(nullptr, nullptr));
  EXPECT_TRUE(manager.onWriteMessageToLogFile(nullptr, nullptr));
  EXPECT_EQ(handler.m_onWriteMessageToLogFile, nullptr);
}

TEST(ZtCallbackDefaults, ForwarderConvertsTheTableBackToItsObject) {
  CallbackRecorder rec;
  ZtCallbackPlainC* table = &rec;  // the C view an application registers
  rec.setConsent(Kind::WriteDataToLogFile, false);
  EXPECT_EQ(table->m_onWriteDataToLogFile(table, fakeDevice(2), nullptr), 0);
  rec.setConsent(Kind::WriteDataToLogFile, true);
  EXPECT_EQ(table->m_onWriteDataToLogFile(table, fakeDevice(2), nullptr), 1);
  table->m_onMissedPackets(table, fakeDevice(3), 1, 2, 3);
  auto events = rec.events(Kind::MissedPackets);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].device, fakeDevice(3));
}

// A manager is itself a handler: registered on another manager it fans the events out again.
TEST(CallbackManager, ManagerRegisteredAsHandlerForwardsItsEvents) {
  CallbackManagerZda outer, inner;
  CallbackRecorder rec;
  inner.addCallbackHandler(&rec, false);
  outer.addCallbackHandler(&inner, false);
  outer.onError(fakeDevice(1), 42);
  outer.onError(fakeDevice(1), 43);
  EXPECT_EQ(rec.count(Kind::Error), 2u);
}

TEST(CallbackManager, HandlerExceptionReachesTheRaiserAndLeavesTheManagerUsable) {
  struct Throwing : ZtCallback {
    void onError(ZtDevice*, ZtResultValue) override { throw std::runtime_error("handler failed"); }
  } thrower;
  CallbackRecorder after;
  CallbackManagerZda manager;
  manager.addCallbackHandler(&thrower, false);
  manager.addCallbackHandler(&after, false);
  EXPECT_THROW(manager.onError(nullptr, 1), std::runtime_error);
  EXPECT_EQ(after.count(Kind::Error), 0u) << "the rest of that fan-out is not called";

  // Nothing was left held: removal (which waits for fan-outs in flight) returns, events flow.
  completesWithin(5s, [&] { manager.removeCallbackHandler(&thrower, false); }, "removal after a throw");
  manager.onError(nullptr, 2);
  EXPECT_EQ(after.count(Kind::Error), 1u);
}

// ---- Chaining and copying ----

namespace {
bool holds(const CallbackManagerZda& m, ZtCallbackPlainC* h) {
  auto list = m.callbackHandlers();
  return std::find(list.begin(), list.end(), h) != list.end();
}

// control -> master -> {link, child1, child2}, as the library chains them.
struct ChainFixture : ::testing::Test {
  CallbackManagerZda control, master, link, child1, child2;
  CallbackRecorder h1, h2;
  void SetUp() override {
    master.addChainedManager(&link);
    master.addChainedManager(&child1);
    master.addChainedManager(&child2);
    control.addChainedManager(&master);
  }
  std::vector<CallbackManagerZda*> all() { return {&control, &master, &link, &child1, &child2}; }
};
}  // namespace

TEST_F(ChainFixture, ChainedAddRemoveAndClearReachEveryManagerBelow) {
  control.addCallbackHandler(&h1, true);
  for (CallbackManagerZda* m : all()) EXPECT_TRUE(holds(*m, &h1));

  master.addCallbackHandler(&h2, false);  // without the flag: only that manager
  EXPECT_TRUE(holds(master, &h2));
  EXPECT_FALSE(holds(link, &h2));
  EXPECT_FALSE(holds(control, &h2));

  // Events never travel along the chain.
  link.onError(nullptr, 1);
  EXPECT_EQ(h1.count(Kind::Error), 1u);

  control.removeCallbackHandler(&h1, true);
  for (CallbackManagerZda* m : all()) EXPECT_FALSE(holds(*m, &h1));

  control.addCallbackHandler(&h1, true);
  master.clearCallbackHandlers(false);
  EXPECT_TRUE(master.callbackHandlers().empty());
  EXPECT_TRUE(holds(child1, &h1));
  control.clearCallbackHandlers(true);
  for (CallbackManagerZda* m : all()) EXPECT_TRUE(m->callbackHandlers().empty());
}

TEST_F(ChainFixture, ChainListIgnoresNullSelfAndDuplicates) {
  master.addChainedManager(nullptr);
  master.addChainedManager(&master);
  master.addChainedManager(&link);
  EXPECT_EQ(master.chainedManagers(), (std::vector<CallbackManagerZda*>{&link, &child1, &child2}));
  master.removeChainedManager(&child1);
  master.removeChainedManager(nullptr);
  EXPECT_EQ(master.chainedManagers(), (std::vector<CallbackManagerZda*>{&link, &child2}));
  control.addCallbackHandler(&h1, true);
  EXPECT_FALSE(holds(child1, &h1));
  master.clearChainedManagers();
  control.removeCallbackHandler(&h1, true);
  EXPECT_TRUE(holds(link, &h1)) << "unchained managers keep their handlers";
}

TEST_F(ChainFixture, NewLinkAndDeviceCopyHandlersAsTheLibraryDoes) {
  control.addCallbackHandler(&h1, true);
  CallbackManagerZda newLink, newMaster, newChild;
  control.copyCallbackHandlersTo(&newLink, true);        // control opens a port
  newMaster.copyCallbackHandlersFrom(&newLink, true);    // master made on the link
  newMaster.addChainedManager(&newLink);
  newChild.copyCallbackHandlersFrom(&newMaster, false);  // child made under the master
  newMaster.addChainedManager(&newChild);
  control.addChainedManager(&newMaster);
  for (CallbackManagerZda* m : {&newLink, &newMaster, &newChild}) EXPECT_TRUE(holds(*m, &h1));

  control.addCallbackHandler(&h2, true);  // a later registration reaches the new managers too
  for (CallbackManagerZda* m : {&newLink, &newMaster, &newChild, &child2}) EXPECT_TRUE(holds(*m, &h2));
  control.removeChainedManager(&newMaster);
}

TEST(CallbackManager, CopyAppendsOnlyMissingHandlersInSourceOrder) {
  CallbackRecorder a, b, c, d;
  CallbackManagerZda source, target;
  for (CallbackRecorder* h : {&a, &b, &c}) source.addCallbackHandler(h, false);
  target.addCallbackHandler(&d, false);
  target.addCallbackHandler(&b, false);
  source.copyCallbackHandlersTo(&target, false);
  EXPECT_EQ(target.callbackHandlers(), (std::vector<ZtCallbackPlainC*>{&d, &b, &a, &c}));

  CallbackManagerZda other;
  other.addCallbackHandler(&c, false);
  other.copyCallbackHandlersFrom(&source, false);
  EXPECT_EQ(other.callbackHandlers(), (std::vector<ZtCallbackPlainC*>{&c, &a, &b}));
}

TEST(CallbackManager, ChainThatLoopsBackTerminates) {
  CallbackManagerZda a, b, c;
  a.addChainedManager(&b);
  b.addChainedManager(&c);
  c.addChainedManager(&a);
  CallbackRecorder h;
  completesWithin(
      5s,
      [&] {
        a.addCallbackHandler(&h, true);
        b.clearCallbackHandlers(true);
        c.addCallbackHandler(&h, true);
        a.removeCallbackHandler(&h, true);
      },
      "propagation around a loop");
  for (CallbackManagerZda* m : {&a, &b, &c}) EXPECT_TRUE(m->callbackHandlers().empty());
}

// ---- Handlers that change the list from inside a callback ----

TEST(CallbackManagerReentrant, HandlerAddsRemovesAndClearsDuringItsOwnEvent) {
  CallbackManagerZda manager;
  CallbackRecorder late, removedByFirst;
  struct Changer : ZtCallback {
    CallbackManagerZda* manager = nullptr;
    ZtCallbackPlainC* toAdd = nullptr;
    ZtCallbackPlainC* toRemove = nullptr;
    int calls = 0;
    void onError(ZtDevice*, ZtResultValue) override {
      ++calls;
      manager->addCallbackHandler(toAdd, false);
      manager->removeCallbackHandler(toRemove, false);
      manager->removeCallbackHandler(this, false);  // itself, while being called
      manager->onWakeupReceived(nullptr);           // a nested event on the same manager
    }
  } changer;
  changer.manager = &manager;
  changer.toAdd = &late;
  changer.toRemove = &removedByFirst;
  manager.addCallbackHandler(&changer, false);
  manager.addCallbackHandler(&removedByFirst, false);

  completesWithin(5s, [&] { manager.onError(nullptr, 1); }, "re-entrant list changes");
  EXPECT_EQ(changer.calls, 1);
  EXPECT_EQ(removedByFirst.count(Kind::Error), 0u) << "removed during the walk: not called by it";
  EXPECT_EQ(late.count(Kind::Error), 1u) << "appended during the walk: reached by it";
  EXPECT_EQ(late.count(Kind::WakeupReceived), 1u);
  EXPECT_EQ(manager.callbackHandlers(), (std::vector<ZtCallbackPlainC*>{&late}));

  manager.onError(nullptr, 2);
  EXPECT_EQ(late.count(Kind::Error), 2u);
  EXPECT_EQ(changer.calls, 1);
}

// Handlers appended from inside a callback are reached by the running walk, after the handlers
// it started with and each once, also when they append further handlers or when a handler
// leaves and comes back during the walk; their consent counts.
TEST(CallbackManagerReentrant, AppendedHandlersAreReachedByTheRunningWalkOnce) {
  CallbackManagerZda manager;
  std::vector<int> log;
  struct Appender : ZtCallbackPlainC {
    Appender(int id, std::vector<int>* log) : ZtCallbackPlainC{}, id(id), log(log) {}
    int id;
    std::vector<int>* log;
    CallbackManagerZda* manager = nullptr;
    ZtCallbackPlainC* next = nullptr;
    bool rejoin = false;  // removes and re-adds itself while being called
    int consent = 1;
  };
  auto onWrite = [](ZtCallbackPlainC* cb, ZtDevice*, const ZtMessage*) -> int {
    auto* self = static_cast<Appender*>(cb);
    self->log->push_back(self->id);
    if (self->next) self->manager->addCallbackHandler(self->next, false);
    if (self->rejoin) {
      self->manager->removeCallbackHandler(self, false);
      self->manager->addCallbackHandler(self, false);
    }
    return self->consent;
  };
  Appender first(1, &log), second(2, &log), third(3, &log), fourth(4, &log);
  for (Appender* a : {&first, &second, &third, &fourth}) {
    a->manager = &manager;
    a->m_onWriteMessageToLogFile = onWrite;
  }
  first.next = &third;    // appended behind second, which the walk started with
  third.next = &fourth;   // appended by an appended handler
  fourth.next = &first;   // already there: nothing new
  second.rejoin = true;   // moves itself to the end: not called a second time
  fourth.consent = 0;
  manager.addCallbackHandler(&first, false);
  manager.addCallbackHandler(&second, false);

  bool consent = true;
  completesWithin(5s, [&] { consent = manager.onWriteMessageToLogFile(nullptr, nullptr); }, "appending walk");
  EXPECT_EQ(log, (std::vector<int>{1, 2, 3, 4}));
  EXPECT_FALSE(consent) << "the refusal of an appended handler counts";
  EXPECT_EQ(manager.callbackHandlers(), (std::vector<ZtCallbackPlainC*>{&first, &third, &second, &fourth}));

  log.clear();
  manager.onWriteMessageToLogFile(nullptr, nullptr);
  EXPECT_EQ(log, (std::vector<int>{1, 3, 2, 4}));
}

TEST(CallbackManagerReentrant, HandlerClearingTheChainFromACallbackDoesNotDeadlock) {
  CallbackManagerZda control, device;
  control.addChainedManager(&device);
  CallbackRecorder rec;
  rec.setHook([&](const CallbackRecorder::Event&) { control.clearCallbackHandlers(true); });
  control.addCallbackHandler(&rec, true);
  completesWithin(5s, [&] { device.onError(nullptr, 1); }, "clearing the chain from a callback");
  EXPECT_TRUE(device.callbackHandlers().empty());
  EXPECT_TRUE(control.callbackHandlers().empty());
}

// Two threads, each inside a callback of the same manager, each removing the other's handler:
// with the lock held across the fan-out this deadlocks (each waits for the other's read claim).
TEST(CallbackManagerReentrant, CrossRemovalFromTwoCallbacksDoesNotDeadlock) {
  CallbackManagerZda manager;
  std::barrier bothInside(2);
  struct Remover : ZtCallback {
    CallbackManagerZda* manager = nullptr;
    ZtCallbackPlainC* other = nullptr;
    std::barrier<>* bothInside = nullptr;
    ZtResultValue mine = 0;  // acts only on the event its own thread raises
    std::atomic<int> calls{0};
    void onError(ZtDevice*, ZtResultValue error) override {
      if (error != mine) return;
      ++calls;
      bothInside->arrive_and_wait();
      manager->removeCallbackHandler(other, false);
    }
  } r1, r2;
  r1.manager = r2.manager = &manager;
  r1.mine = 1;
  r2.mine = 2;
  r1.other = &r2;
  r2.other = &r1;
  r1.bothInside = r2.bothInside = &bothInside;
  manager.addCallbackHandler(&r1, false);
  manager.addCallbackHandler(&r2, false);

  completesWithin(
      5s,
      [&] {
        std::thread t1([&] { manager.onError(nullptr, 1); });
        std::thread t2([&] { manager.onError(nullptr, 2); });
        t1.join();
        t2.join();
      },
      "cross removal");
  EXPECT_EQ(r1.calls, 1);
  EXPECT_EQ(r2.calls, 1);
  EXPECT_TRUE(manager.callbackHandlers().empty());
}

// ---- Concurrency ----

// Removal from outside a callback returns only once no other thread is still inside the
// removed handler, so the caller may free it.
TEST(CallbackManagerConcurrent, RemovalWaitsForTheHandlerToReturn) {
  CallbackManagerZda manager;
  std::promise<void> entered, release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<bool> inside{false};
  CallbackRecorder rec;
  rec.setHook([&](const CallbackRecorder::Event&) {
    inside = true;
    entered.set_value();
    released.wait();
    inside = false;
  });
  manager.addCallbackHandler(&rec, false);
  auto raiser = std::async(std::launch::async, [&] { manager.onError(nullptr, 1); });
  entered.get_future().wait();

  auto remover = std::async(std::launch::async, [&] {
    manager.removeCallbackHandler(&rec, false);
    return inside.load();
  });
  EXPECT_EQ(remover.wait_for(100ms), std::future_status::timeout) << "returned while the handler runs";
  release.set_value();
  ASSERT_EQ(remover.wait_for(5s), std::future_status::ready);
  EXPECT_FALSE(remover.get());
  raiser.get();
}

// Destroying a manager while another thread is still inside one of its fan-outs returns only
// after that fan-out has ended; the fan-out's end touches nothing of the freed manager (ASan).
TEST(CallbackManagerConcurrent, DestructionWaitsForTheFanOutInFlight) {
  for (int round = 0; round < 50; ++round) {
    auto manager = std::make_unique<CallbackManagerZda>();
    std::promise<void> entered;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> returned{false};
    CallbackRecorder rec;
    rec.setHook([&](const CallbackRecorder::Event&) {
      entered.set_value();
      released.wait();
      returned = true;
    });
    manager->addCallbackHandler(&rec, false);
    auto raiser = std::async(std::launch::async, [&] { manager->onError(nullptr, 1); });
    entered.get_future().wait();
    CallbackManagerZda* raw = manager.release();
    auto destroyer = std::async(std::launch::async, [raw, &returned] {
      delete raw;
      return returned.load();
    });
    if (round == 0) {
      EXPECT_EQ(destroyer.wait_for(50ms), std::future_status::timeout) << "destroyed under a running handler";
    }
    release.set_value();
    ASSERT_EQ(destroyer.wait_for(5s), std::future_status::ready);
    EXPECT_TRUE(destroyer.get());
    ASSERT_EQ(raiser.wait_for(5s), std::future_status::ready);
  }
}

TEST(CallbackManagerConcurrent, NoCallAfterRemovalReturnsWhileOthersRaise) {
  CallbackManagerZda manager;
  constexpr int kRaisers = 4;
  constexpr int kRounds = 200;
  struct Counting : ZtCallback {
    std::atomic<int> calls{0};
    void onDataAvailable(ZtDevice*, const ZtDataPacket*) override { ++calls; }
    bool onWriteDataToLogFile(ZtDevice*, const ZtDataPacket*) override {
      ++calls;
      return false;
    }
  };
  PacketsOnly defaults;  // its other entries get cleared by the defaults while others raise
  manager.addCallbackHandler(&defaults, false);

  std::atomic<bool> stop{false};
  std::atomic<long> fanOuts{0};
  std::vector<std::thread> raisers;
  for (int i = 0; i < kRaisers; ++i) {
    raisers.emplace_back([&] {
      while (!stop) {
        manager.onDataAvailable(nullptr, nullptr);
        manager.onWriteDataToLogFile(nullptr, nullptr);
        manager.onError(nullptr, 1);
        ++fanOuts;
      }
    });
  }
  std::vector<std::unique_ptr<Counting>> handlers;
  std::vector<int> callsAtRemoval;
  for (int round = 0; round < kRounds; ++round) {
    handlers.push_back(std::make_unique<Counting>());
    Counting* h = handlers.back().get();
    manager.addCallbackHandler(h, false);
    if (round % 20 == 0) {
      const long seen = fanOuts.load();
      while (fanOuts.load() < seen + 2) std::this_thread::yield();  // let the raisers reach it
    }
    manager.removeCallbackHandler(h, false);
    callsAtRemoval.push_back(h->calls.load());
  }
  const long seen = fanOuts.load();
  while (fanOuts.load() < seen + 8) std::this_thread::yield();
  stop = true;
  for (auto& t : raisers) t.join();

  int reached = 0;
  for (size_t i = 0; i < handlers.size(); ++i) {
    EXPECT_EQ(handlers[i]->calls.load(), callsAtRemoval[i]) << "handler " << i << " called after its removal";
    reached += handlers[i]->calls.load() > 0;
  }
  EXPECT_GT(reached, 0);
  EXPECT_EQ(defaults.m_onError, nullptr);
  EXPECT_GT(defaults.packets.load(), 0);
}

TEST(CallbackManagerConcurrent, HandlersRemovingThemselvesWhileOthersRaise) {
  CallbackManagerZda manager;
  struct OneShot : ZtCallback {
    CallbackManagerZda* manager = nullptr;
    std::atomic<int> calls{0};
    void onError(ZtDevice*, ZtResultValue) override {
      ++calls;
      manager->removeCallbackHandler(this, false);
    }
  };
  std::vector<std::unique_ptr<OneShot>> shots;
  for (int i = 0; i < 64; ++i) {
    shots.push_back(std::make_unique<OneShot>());
    shots.back()->manager = &manager;
    manager.addCallbackHandler(shots.back().get(), false);
  }
  std::vector<std::future<void>> raisers;
  for (int i = 0; i < 4; ++i)
    raisers.push_back(std::async(std::launch::async, [&] {
      for (int n = 0; n < 200; ++n) manager.onError(nullptr, n);
    }));
  for (auto& f : raisers) ASSERT_EQ(f.wait_for(10s), std::future_status::ready);
  EXPECT_TRUE(manager.callbackHandlers().empty());
  for (auto& s : shots) {
    EXPECT_GE(s->calls.load(), 1);
    EXPECT_LE(s->calls.load(), 4) << "at most the fan-outs already walking when it left";
  }
}
