// Protocol manager: handler list ownership and arbitration between handlers.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "support/ZtValues.h"
#include "transport/zbus/ProtocolHandler.h"
#include "transport/zbus/ProtocolManager.h"

namespace {

using Bytes = std::vector<uint8_t>;

using zelto::test::Message;
Bytes protocolmanagerFrame(uint8_t busId, uint8_t messageId, size_t payload = 0) {
  Message msg;
  ZtMessage_destruct(&msg.m);
  ZtMessage_constructSized(&msg.m, payload);
  ZtMessage_setBusId(&msg.m, busId);
  ZtMessage_setMessageId(&msg.m, messageId);
  return msg.bytes();
}

struct Validator : IMessageValidator {
  std::function<bool(const ZtMessage&)> accept = [](const ZtMessage&) { return true; };
  bool sanityCheck(const ZtMessage& message) const override { return accept(message); }
};

// Answers every search with a scripted location and message; counts its searches and deletion.
class ScriptedHandler : public virtual IProtocolHandler {
public:
  ScriptedHandler(ZtProtocolType type, int* deleted = nullptr) : m_type(type), m_deleted(deleted) {}
  ~ScriptedHandler() override {
    if (m_deleted)
      ++*m_deleted;
  }
  void script(MessageLocation location, Bytes message = {}) {
    m_location = location;
    m_message = std::move(message);
  }
  MessageLocation findMessage(ZtMessage& out, const ZtByteArray&) const override {
    ++calls;
    ZtMessage_clear(&out);
    if (!m_message.empty()) {
      EXPECT_TRUE(ZtMessage_load(&out, m_message.size(), m_message.data()));
    }
    return m_location;
  }
  int minimumMessageSize() const override { return 16; }
  int maximumMessageSize() const override { return 128; }
  ZtProtocolType type() const override { return m_type; }

  mutable int calls = 0;

private:
  ZtProtocolType m_type;
  int* m_deleted;
  MessageLocation m_location;
  Bytes m_message;
};

class ProtocolManagerTest : public testing::Test {
protected:
  Validator link;
  ProtocolManager manager{link};
  const Bytes input = Bytes(64, 0x20);

  std::vector<ZtProtocolType> order() const {
    std::vector<ZtProtocolType> types;
    for (const auto& h : manager)
      types.push_back(h->type());
    return types;
  }
  MessageLocation search(Message& out) { return manager.findMessage(out.m, input.data(), input.size()); }
};

TEST_F(ProtocolManagerTest, OwnsHandlersUntilRemovedClearedOrDestroyed) {
  int deleted = 0;
  {
    Validator v;
    ProtocolManager m(v);
    m.add(new ScriptedHandler(ZPT_Nmea, &deleted));
    m.add(new ScriptedHandler(ZPT_ImarFsas, &deleted));
    m.add(new ScriptedHandler(ZPT_ImarIFog, &deleted));
    EXPECT_TRUE(m.remove(ZPT_Nmea));
    EXPECT_EQ(deleted, 1);
    EXPECT_FALSE(m.remove(ZPT_Nmea));
    {
      ProtocolManager::HandlerPointer kept = *m.begin();  // a copy outlives the list entry
      m.clear();
      EXPECT_EQ(deleted, 2);  // the iFOG handler; the FSAS one is still shared
      EXPECT_EQ(kept.useCount(), 1);
      EXPECT_EQ(kept->type(), ZPT_ImarFsas);
    }
    EXPECT_EQ(deleted, 3);
    m.add(new ScriptedHandler(ZPT_Nmea, &deleted));
  }
  EXPECT_EQ(deleted, 4);
}

TEST_F(ProtocolManagerTest, AtMostOneHandlerPerType) {
  int deleted = 0;
  auto first = manager.add(new ProtocolHandler);
  ScriptedHandler* second = new ScriptedHandler(ZPT_Zbus, &deleted);
  auto returned = manager.add(second);
  EXPECT_EQ(returned.get(), first.get());
  EXPECT_EQ(manager.size(), 1u);
  EXPECT_EQ(deleted, 0);  // still the caller's
  delete second;
  EXPECT_FALSE(manager.add(nullptr));
  EXPECT_EQ(manager.size(), 1u);
}

TEST_F(ProtocolManagerTest, ListQueries) {
  EXPECT_EQ(manager.likelyMinimumMessageSize(), 0);
  EXPECT_FALSE(manager.hasProtocol(ZPT_Zbus));
  manager.add(new ProtocolHandler);
  manager.add(new ScriptedHandler(ZPT_Nmea));
  EXPECT_EQ(manager.likelyMinimumMessageSize(), 5);
  EXPECT_TRUE(manager.hasProtocol(ZPT_Zbus));
  EXPECT_TRUE(manager.hasProtocol(ZPT_Nmea));
  EXPECT_FALSE(manager.hasProtocol(ZPT_ImarFsas));
  EXPECT_EQ(order(), (std::vector<ZtProtocolType>{ZPT_Zbus, ZPT_Nmea}));
  manager.clear();
  EXPECT_EQ(manager.likelyMinimumMessageSize(), 0);
  Message out;
  EXPECT_EQ(search(out), MessageLocation(-1, 0));
}

TEST_F(ProtocolManagerTest, ValidateMessageAsksTheLink) {
  const Bytes bytes = protocolmanagerFrame(0x07, 0x36);
  Message msg;
  ASSERT_TRUE(ZtMessage_load(&msg.m, bytes.size(), bytes.data()));
  link.accept = [](const ZtMessage& m) { return ZtMessage_getBusId(&m) == 0xFF; };
  EXPECT_FALSE(manager.validateMessage(msg.m));
  link.accept = [](const ZtMessage&) { return true; };
  EXPECT_TRUE(manager.validateMessage(msg.m));
}

struct ArbitrationCase {
  const char* name;
  MessageLocation front;  // what the front handler (Nmea) reports
  MessageLocation back;   // what the back handler (ImarFsas) reports
  bool rejectFront;       // the link rejects the front handler's message
  MessageLocation expected;
  ZtProtocolType message;  // whose message comes out (ZPT_Zbus: none)
  bool backAsked;
  ZtProtocolType frontAfter;
};

const Bytes kFrontMessage = protocolmanagerFrame(0xFF, 0x01);
const Bytes kBackMessage = protocolmanagerFrame(0xFF, 0x02);

class Arbitration : public ProtocolManagerTest, public testing::WithParamInterface<ArbitrationCase> {};

TEST_P(Arbitration, EarliestCompleteMessageWins) {
  const ArbitrationCase& c = GetParam();
  auto* front = new ScriptedHandler(ZPT_Nmea);
  auto* back = new ScriptedHandler(ZPT_ImarFsas);
  front->script(c.front, c.front.size() > 0 ? kFrontMessage : Bytes());
  back->script(c.back, c.back.size() > 0 ? kBackMessage : Bytes());
  manager.add(front);
  manager.add(back);
  if (c.rejectFront)
    link.accept = [](const ZtMessage& m) { return ZtMessage_getMessageId(&m) != 0x01; };

  Message out;
  EXPECT_EQ(search(out), c.expected);
  EXPECT_EQ(back->calls, c.backAsked ? 1 : 0);
  const Bytes expected = c.message == ZPT_Nmea ? kFrontMessage : c.message == ZPT_ImarFsas ? kBackMessage : Bytes();
  EXPECT_EQ(out.bytes(), expected);
  EXPECT_EQ(order().front(), c.frontAfter);
}

std::string arbitrationName(const testing::TestParamInfo<ArbitrationCase>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(
    TwoHandlers, Arbitration,
    testing::Values(
        ArbitrationCase{"NothingAnywhere", {-1, 0}, {-1, 0}, false, {-1, 0}, ZPT_Zbus, true, ZPT_Nmea},
        ArbitrationCase{"FrontAtZeroStopsTheSearch", {0, 5}, {0, 5}, false, {0, 5}, ZPT_Nmea, false, ZPT_Nmea},
        ArbitrationCase{"EqualStartsFrontWins", {3, 5}, {3, 5}, false, {3, 5}, ZPT_Nmea, true, ZPT_Nmea},
        ArbitrationCase{"EarlierBackWinsAndMovesUp", {9, 5}, {3, 5}, false, {3, 5}, ZPT_ImarFsas, true,
                        ZPT_ImarFsas},
        ArbitrationCase{"LaterBackLoses", {3, 5}, {9, 5}, false, {3, 5}, ZPT_Nmea, true, ZPT_Nmea},
        ArbitrationCase{"RejectedFrontIgnored", {0, 5}, {9, 5}, true, {9, 5}, ZPT_ImarFsas, true, ZPT_ImarFsas},
        // An earlier awaited candidate holds a later complete message back, whichever handler is
        // asked first.
        ArbitrationCase{"EarlierAwaitedHoldsBackLaterComplete", {2, -40}, {9, 5}, false, {2, -40}, ZPT_Zbus, true,
                        ZPT_Nmea},
        ArbitrationCase{"CompleteBeatsAwaitedAtEqualStart", {2, -40}, {2, 5}, false, {2, 5}, ZPT_ImarFsas, true,
                        ZPT_ImarFsas},
        ArbitrationCase{"EarlierCompleteBeatsAwaited", {9, -40}, {2, 5}, false, {2, 5}, ZPT_ImarFsas, true,
                        ZPT_ImarFsas},
        // An earlier awaited candidate holds the stream back: no message comes out yet.
        ArbitrationCase{"EarlierAwaitedHoldsBack", {9, 5}, {2, -40}, false, {2, -40}, ZPT_Zbus, true, ZPT_Nmea},
        ArbitrationCase{"AwaitedAfterCompleteIgnored", {2, 5}, {9, -40}, false, {2, 5}, ZPT_Nmea, true, ZPT_Nmea},
        ArbitrationCase{"ZeroSizeIgnored", {1, 0}, {4, -16}, false, {4, -16}, ZPT_Zbus, true, ZPT_Nmea},
        // Of two awaited candidates the earlier one is kept, whichever handler reports it: the link
        // drops every byte before the returned start.
        ArbitrationCase{"EarlierAwaitedKeptOverLaterOne", {2, -40}, {9, -20}, false, {2, -40}, ZPT_Zbus, true,
                        ZPT_Nmea},
        ArbitrationCase{"LaterAwaitedGivesWayToEarlierOne", {9, -20}, {2, -40}, false, {2, -40}, ZPT_Zbus, true,
                        ZPT_Nmea},
        ArbitrationCase{"EqualAwaitedStartsLaterHandlerSizes", {2, -40}, {2, -20}, false, {2, -20}, ZPT_Zbus, true,
                        ZPT_Nmea}),
    arbitrationName);

// A checksum-correct frame the link refuses is no message: only its first byte goes, so a frame
// inside its span (a short frame carried in its payload) and the frames behind it are found.
TEST_F(ProtocolManagerTest, RefusedFrameGivesUpOnlyItsFirstByte) {
  manager.add(new ProtocolHandler);
  link.accept = [](const ZtMessage& m) { return ZtMessage_getBusId(&m) != 0x05; };
  const Bytes innerBytes = protocolmanagerFrame(0xFF, 0x31);
  Bytes payload(12, 0x00);
  std::copy(innerBytes.begin(), innerBytes.end(), payload.begin() + 3);
  Message refused;
  ZtMessage_destruct(&refused.m);
  ZtMessage_constructSized(&refused.m, payload.size());
  ZtMessage_setBusId(&refused.m, 0x05);
  ZtMessage_setMessageId(&refused.m, 0x36);
  ZtMessage_setDataBuffer(&refused.m, payload.data(), payload.size(), 0);
  const Bytes refusedBytes = refused.bytes();
  const Bytes good = protocolmanagerFrame(0xFF, 0x13);

  struct Case {
    const char* name;
    Bytes stream;
    MessageLocation expected;
    Bytes message;
    uint64_t refusals;
  };
  Bytes refusedThenGood = refusedBytes;
  refusedThenGood.insert(refusedThenGood.end(), good.begin(), good.end());
  const Case cases[] = {
      {"InnerFrameFound", refusedBytes, {7, 5}, innerBytes, 1},
      {"RefusedAlone", protocolmanagerFrame(0x05, 0x36, 3), {-1, 0}, {}, 1},
      {"TwoRefusedThenGood", [&] {
         Bytes b = protocolmanagerFrame(0x05, 0x01);
         const Bytes again = protocolmanagerFrame(0x05, 0x02);
         b.insert(b.end(), again.begin(), again.end());
         b.insert(b.end(), good.begin(), good.end());
         return b;
       }(),
       {10, 5}, good, 2},
  };
  uint64_t refusals = manager.refusedCount();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Message out;
    EXPECT_EQ(manager.findMessage(out.m, c.stream.data(), c.stream.size()), c.expected);
    EXPECT_EQ(out.bytes(), c.message);
    EXPECT_EQ(manager.refusedCount() - refusals, c.refusals);
    refusals = manager.refusedCount();
  }
}

// The search walks its own copy of the handler order: a handler that moved to the front and was
// then removed is never asked again, and one added later is asked behind the others until it wins.
TEST_F(ProtocolManagerTest, SearchOrderFollowsMovesRemovalsAndAdditions) {
  const Bytes good = protocolmanagerFrame(0xFF, 0x31);
  const MessageLocation atZero(0, static_cast<int32_t>(good.size()));
  int deleted = 0;
  auto* nmea = new ScriptedHandler(ZPT_Nmea);
  auto* fsas = new ScriptedHandler(ZPT_ImarFsas, &deleted);
  nmea->script({-1, 0});
  fsas->script(atZero, good);
  manager.add(nmea);
  manager.add(fsas);
  Message out;
  EXPECT_EQ(search(out), atZero);
  EXPECT_EQ(order(), (std::vector<ZtProtocolType>{ZPT_ImarFsas, ZPT_Nmea}));
  EXPECT_EQ(search(out), atZero);
  EXPECT_EQ(nmea->calls, 1);  // the winner in front found it at 0
  EXPECT_EQ(fsas->calls, 2);

  EXPECT_TRUE(manager.remove(ZPT_ImarFsas));
  EXPECT_EQ(deleted, 1);
  EXPECT_EQ(search(out), MessageLocation(-1, 0));
  EXPECT_EQ(nmea->calls, 2);
  EXPECT_EQ(manager.likelyMinimumMessageSize(), 16);

  auto* ifog = new ScriptedHandler(ZPT_ImarIFog);
  ifog->script(atZero, good);
  manager.add(ifog);
  EXPECT_EQ(search(out), atZero);
  EXPECT_EQ(nmea->calls, 3);  // still in front: asked first
  EXPECT_EQ(ifog->calls, 1);
  EXPECT_EQ(order(), (std::vector<ZtProtocolType>{ZPT_ImarIFog, ZPT_Nmea}));
  EXPECT_EQ(out.bytes(), good);
}

// The Zbus handler behind another one: once Zbus matched, it is asked first.
TEST_F(ProtocolManagerTest, RealZbusHandlerMovesToFrontWhenItMatches) {
  auto* other = new ScriptedHandler(ZPT_Nmea);
  other->script({-1, 0});
  manager.add(other);
  manager.add(new ProtocolHandler);
  const Bytes good = protocolmanagerFrame(0xFF, 0x31);
  Bytes stream{0x01, 0x02};
  stream.insert(stream.end(), good.begin(), good.end());
  Message out;
  EXPECT_EQ(manager.findMessage(out.m, stream.data(), stream.size()), MessageLocation(2, 5));
  EXPECT_EQ(out.bytes(), good);
  EXPECT_EQ(order(), (std::vector<ZtProtocolType>{ZPT_Zbus, ZPT_Nmea}));

  ZtByteArray array;
  ZtByteArray_construct(&array, good.size(), good.data());
  EXPECT_EQ(manager.findMessage(out.m, array), MessageLocation(0, 5));
  EXPECT_EQ(other->calls, 1);  // Zbus in front found it at 0: the other one was not asked
  ZtByteArray_destruct(&array);
}

}  // namespace
