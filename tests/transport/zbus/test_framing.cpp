// Zbus finder, frame composition and expected sizes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "support/ZtValues.h"
#include "transport/zbus/ProtocolHandler.h"

namespace {

using Bytes = std::vector<uint8_t>;

using zelto::test::Message;
// A correct frame built by the companion message type.
Bytes frame(uint8_t busId, uint8_t messageId, const Bytes& payload = {}) {
  Message msg;
  ZtMessage_destruct(&msg.m);
  ZtMessage_constructSized(&msg.m, payload.size());
  ZtMessage_setBusId(&msg.m, busId);
  ZtMessage_setMessageId(&msg.m, messageId);
  if (!payload.empty())
    ZtMessage_setDataBuffer(&msg.m, payload.data(), payload.size(), 0);
  EXPECT_TRUE(ZtMessage_isChecksumOk(&msg.m));
  return msg.bytes();
}

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts)
    out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes zeros(size_t n) { return Bytes(n, 0); }

MessageLocation find(const Bytes& bytes, Message& out) {
  ProtocolHandler handler;
  return handler.findMessageIn(out.m, bytes.data(), bytes.size());
}

// What a link does with the finder: append each chunk, cut out every complete message, keep
// everything from the first live candidate on, drop the rest.
struct Consumer {
  Bytes buffer;
  std::vector<Bytes> messages;
  ProtocolHandler handler;
  Message msg;

  void feed(const uint8_t* data, size_t size) {
    buffer.insert(buffer.end(), data, data + size);
    size_t offset = 0;
    for (;;) {
      const MessageLocation loc = handler.findMessageIn(msg.m, buffer.data() + offset, buffer.size() - offset);
      if (loc.size() > 0) {
        const Bytes found = msg.bytes();
        EXPECT_EQ(found.size(), static_cast<size_t>(loc.size()));
        EXPECT_TRUE(std::equal(found.begin(), found.end(), buffer.begin() + offset + loc.start()));
        messages.push_back(found);
        offset += loc.start() + loc.size();
        continue;
      }
      offset = loc.start() < 0 ? buffer.size() : offset + loc.start();
      break;
    }
    buffer.erase(buffer.begin(), buffer.begin() + offset);
  }
  void feed(const Bytes& bytes) { feed(bytes.data(), bytes.size()); }
  // End of input: the awaited bytes never come, so each candidate left is given up in turn
  // (its first byte dropped) and the bytes behind it searched again.
  void finish() {
    while (!buffer.empty()) {
      buffer.erase(buffer.begin());
      feed(nullptr, 0);
    }
  }
};

struct FinderCase {
  const char* name;
  Bytes bytes;
  int32_t start;
  int32_t size;
};

std::string caseName(const testing::TestParamInfo<FinderCase>& info) { return info.param.name; }

const Bytes kGood = frame(0xFF, 0x30);  // FA FF 30 00 D1
const Bytes kData = frame(0xFF, 0x36, Bytes(40, 0x11));

class FinderRules : public testing::TestWithParam<FinderCase> {};

TEST_P(FinderRules, LocatesAsDescribed) {
  const FinderCase& c = GetParam();
  Message out;
  const MessageLocation loc = find(c.bytes, out);
  EXPECT_EQ(loc.start(), c.start);
  EXPECT_EQ(loc.size(), c.size);
  if (c.size > 0) {
    const Bytes expected(c.bytes.begin() + c.start, c.bytes.begin() + c.start + c.size);
    EXPECT_EQ(out.bytes(), expected);
  } else {
    EXPECT_TRUE(ZtMessage_empty(&out.m));
  }
}

const Bytes kTruncated(kGood.begin(), kGood.end() - 1);
// FA 01 02 00 FD, a complete frame, at payload offset 6 of a 40-byte payload.
Bytes carrierPayload() {
  Bytes p(40, 0x21);
  const Bytes inner = frame(0x01, 0x02);
  std::copy(inner.begin(), inner.end(), p.begin() + 6);
  return p;
}
const Bytes kCarrier = frame(0xFF, 0x36, carrierPayload());
Bytes broken(Bytes b) {
  b.back() ^= 0x01;
  return b;
}
const Bytes kBrokenCarrier = broken(kCarrier);
const Bytes kBadChecksum{0xFA, 0xFF, 0x30, 0x00, 0x00};

INSTANTIATE_TEST_SUITE_P(
    Zbus, FinderRules,
    testing::Values(
        FinderCase{"Empty", {}, -1, 0},
        FinderCase{"CompleteShortest", kGood, 0, 5},
        FinderCase{"OneByteShort", kTruncated, 0, -5},
        FinderCase{"PreambleOnly", {0xFA}, 0, -5},
        FinderCase{"HeaderOnlyNormal", {0xFA, 0xFF, 0x36, 0x28}, 0, -45},
        FinderCase{"HeaderOnlyExtendedMarker", {0xFA, 0xFF, 0x30, 0xFF}, 0, -262},
        FinderCase{"ExtendedHighByteOnly", {0xFA, 0xFF, 0x30, 0xFF, 0x01}, 0, -262},
        FinderCase{"ExtendedLengthKnown", {0xFA, 0xFF, 0x30, 0xFF, 0x01, 0x00}, 0, -263},
        FinderCase{"GarbageOnly", {0x01, 0x02, 0x30, 0xFF, 0x00, 0x7F}, -1, 0},
        FinderCase{"GarbageBeforeMessage", cat({{0x00, 0x13, 0x37}, kGood}), 3, 5},
        FinderCase{"BadChecksumThenGood", cat({kBadChecksum, kGood}), 5, 5},
        FinderCase{"BadChecksumThenPartial", cat({kBadChecksum, {0xFA, 0xFF}}), 5, -5},
        FinderCase{"BadChecksumOnly", kBadChecksum, -1, 0},
        // The first candidate awaits 45 bytes: a message inside its span may be a piece of its
        // payload and is not returned while the candidate can still complete.
        FinderCase{"AwaitedThenComplete", cat({{0xFA, 0xFF, 0x36, 0x28}, kGood}), 0, -45},
        // A short valid frame carried in the payload of a frame: whole, the outer frame; cut, the
        // outer frame awaited; the outer span complete but wrong, the inner frame.
        FinderCase{"InnerFrameInsideCompleteFrame", kCarrier, 0, static_cast<int32_t>(kCarrier.size())},
        FinderCase{"InnerFrameInsideCutFrame", Bytes(kCarrier.begin(), kCarrier.begin() + 20), 0,
                   -static_cast<int32_t>(kCarrier.size())},
        FinderCase{"InnerFrameInsideBrokenFrame", kBrokenCarrier, 10, 5},
        FinderCase{"AwaitedThenShortTail", cat({{0xFA, 0xFF, 0x36, 0x28, 0x00}, {0xFA, 0xFF}}), 0, -45},
        FinderCase{"AwaitedThenExtendedTail",
                   cat({{0xFA, 0xFF, 0x36, 0x28, 0x00}, {0xFA, 0xFF, 0x30, 0xFF, 0x01}}), 0, -45},
        FinderCase{"TwoAwaitedFirstCounts", cat({{0xFA, 0xFF, 0x36, 0x28, 0x00}, {0xFA, 0xFF, 0x36, 0x30, 0x00}}),
                   0, -45},
        FinderCase{"ZeroIdsAloneKeepFirst", {0xFA, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00}, 0, 0},
        FinderCase{"ZeroIdsShortJudgedByLength", {0xFA, 0x00, 0x00, 0x02}, 0, -7},
        FinderCase{"ZeroIdsThenGood", cat({{0xFA, 0x00, 0x00, 0x00, 0x00}, kGood}), 5, 5},
        // The skipped zero-id candidate stays the first start; the size is that of the awaited one.
        FinderCase{"ZeroIdsThenAwaited", cat({{0xFA, 0x00, 0x00, 0x00, 0x00}, {0xFA, 0xFF, 0x36, 0x28, 0x00}}), 0,
                   -45},
        FinderCase{"ZeroIdsExtendedIsJudged", cat({{0xFA, 0x00, 0x00, 0xFF, 0x00, 0x00, 0x01}, kGood}), 0, 7},
        // Extended total 8193 (length 0x1FFA) is dropped and clears the first start.
        FinderCase{"ExtendedOverLimitSkipped", cat({{0xFA, 0xFF, 0x30, 0xFF, 0x1F, 0xFA}, zeros(4)}), 5, 0},
        FinderCase{"ExtendedOverLimitThenGood", cat({{0xFA, 0xFF, 0x30, 0xFF, 0xFF, 0xFF}, kGood}), 6, 5},
        FinderCase{"ExtendedOverLimitThenAwaited",
                   cat({{0xFA, 0xFF, 0x30, 0xFF, 0xFF, 0xFF}, {0xFA, 0xFF, 0x36, 0x28}}), 6, -45},
        // Both length bytes known and the total is impossible: dropped, not awaited.
        FinderCase{"ExtendedOverLimitHeaderOnly", {0xFA, 0xFF, 0x30, 0xFF, 0xFF, 0xFF}, -1, 0},
        FinderCase{"ExtendedOverLimitHeaderThenPreamble", {0x00, 0xFA, 0xFF, 0xFF, 0xFF, 0xFF, 0xFA}, 6, -5},
        FinderCase{"ExtendedAtLimitHeaderOnly", {0xFA, 0xFF, 0x30, 0xFF, 0x1F, 0xF9}, 0, -8192},
        // An impossible header inside the span of an awaited candidate does not give up its start.
        FinderCase{"AwaitedThenOverLimitInside",
                   cat({{0xFA, 0xFF, 0x36, 0x28, 0x00}, {0xFA, 0xFF, 0x30, 0xFF, 0xFF, 0xFF}, zeros(2)}), 0, -45},
        FinderCase{"AwaitedThenOverLimitThenZeroIds",
                   cat({{0xFA, 0xFF, 0x36, 0x28, 0x00}, {0xFA, 0xFF, 0x30, 0xFF, 0xFF, 0xFF},
                        {0xFA, 0x00, 0x00, 0x05, 0x00}}),
                   0, -45},
        FinderCase{"ExtendedAtLimitAwaited", {0xFA, 0xFF, 0x30, 0xFF, 0x1F, 0xF9, 0x00}, 0, -8192},
        FinderCase{"EarliestOfTwoWins", cat({kData, kGood}), 0, 45}),
    caseName);

TEST(Finder, ExtendedFramesUpToTheLimit) {
  for (size_t payload : {size_t(254), size_t(255), size_t(1000), size_t(8185)}) {
    Bytes p(payload);
    for (size_t i = 0; i < payload; ++i)
      p[i] = static_cast<uint8_t>(i * 7);
    const Bytes f = frame(0xFF, 0x36, p);
    ASSERT_EQ(f.size(), payload + (payload >= 255 ? 7 : 5));
    const Bytes stream = cat({{0x55, 0xFA}, f});
    Message out;
    const MessageLocation loc = find(stream, out);
    EXPECT_EQ(loc.start(), 2) << payload;
    EXPECT_EQ(loc.size(), static_cast<int32_t>(f.size())) << payload;
    EXPECT_EQ(out.bytes(), f);
  }
}

TEST(Finder, ByteArrayFormSearchesTheSameBytes) {
  const Bytes stream = cat({{0x00, 0xFA, 0x01}, kData});
  ZtByteArray array;
  ZtByteArray_construct(&array, stream.size(), stream.data());
  ProtocolHandler handler;
  Message out;
  const MessageLocation loc = handler.findMessage(out.m, array);
  EXPECT_EQ(loc, MessageLocation(3, 45));
  EXPECT_EQ(out.bytes(), kData);
  ZtByteArray_destruct(&array);
}

TEST(Finder, OutputIsEmptiedWhenNothingIsFound) {
  Message out;
  ASSERT_EQ(find(kGood, out).size(), 5);
  EXPECT_EQ(find(kTruncated, out), MessageLocation(0, -5));
  EXPECT_TRUE(ZtMessage_empty(&out.m));
}

TEST(Finder, HandlerConstants) {
  ProtocolHandler handler;
  EXPECT_EQ(handler.minimumMessageSize(), 5);
  EXPECT_EQ(handler.maximumMessageSize(), 8192);
  EXPECT_EQ(handler.type(), ZPT_Zbus);
}

TEST(MessageLocationPacking, StartLowSizeHigh) {
  const MessageLocation loc(3, -262);
  EXPECT_EQ(loc.raw(), (uint64_t(uint32_t(-262)) << 32) | 3u);
  EXPECT_EQ(MessageLocation(loc.raw()).start(), 3);
  EXPECT_EQ(MessageLocation(loc.raw()).size(), -262);
  EXPECT_EQ(MessageLocation().start(), -1);
  EXPECT_EQ(MessageLocation().size(), 0);
}

TEST(ExpectedMessageSize, FromTheHeaderBytes) {
  const uint8_t normal[] = {0xFA, 0xFF, 0x36, 0x28};
  const uint8_t extended[] = {0xFA, 0xFF, 0x36, 0xFF, 0x01, 0x02};
  EXPECT_EQ(expectedMessageSize(normal, 0), 5);
  EXPECT_EQ(expectedMessageSize(normal, 3), 5);
  EXPECT_EQ(expectedMessageSize(normal, 4), 45);
  EXPECT_EQ(expectedMessageSize(extended, 4), 262);
  EXPECT_EQ(expectedMessageSize(extended, 5), 262);
  EXPECT_EQ(expectedMessageSize(extended, 6), 0x102 + 7);
  EXPECT_EQ(expectedMessageSize(nullptr, 6), 5);
}

TEST(ComposeMessage, CopiesTheFrameOrRefusesShortOnes) {
  Message msg;
  ASSERT_TRUE(ZtMessage_load(&msg.m, kData.size(), kData.data()));
  ZtByteArray out;
  const uint8_t old[] = {1, 2, 3};
  ZtByteArray_construct(&out, 3, old);
  EXPECT_EQ(ProtocolHandler::composeMessage(out, msg.m), 45);
  EXPECT_EQ(Bytes(out.data, out.data + out.size), kData);

  Message empty;
  ZtByteArray kept;
  ZtByteArray_construct(&kept, 3, old);
  EXPECT_EQ(ProtocolHandler::composeMessage(kept, empty.m), -1);
  EXPECT_EQ(Bytes(kept.data, kept.data + kept.size), Bytes(old, old + 3));
  ZtByteArray_destruct(&out);
  ZtByteArray_destruct(&kept);
}

// Every cut of a stream into two reads yields the same messages, once each, in order.
TEST(FinderStream, SplitAtEveryBytePosition) {
  const Bytes big = frame(0x01, 0x36, Bytes(300, 0xFA));
  // The broken carrier is no frame, but the short frame in its payload is one.
  const std::vector<Bytes> messages{kGood, kData, big, frame(0xFF, 0x42, {0x05}), kCarrier, frame(0x01, 0x02), kGood};
  const Bytes stream = cat({{0x13, 0xFA, 0xFF}, messages[0], {0xFA, 0x00, 0x00, 0x01, 0x00}, messages[1],
                            {0xFA, 0xFF, 0x36, 0x28, 0x00}, messages[2], kBadChecksum, messages[3], messages[4],
                            kBrokenCarrier, messages[6]});
  for (size_t cut = 0; cut <= stream.size(); ++cut) {
    Consumer c;
    c.feed(stream.data(), cut);
    c.feed(stream.data() + cut, stream.size() - cut);
    c.finish();
    ASSERT_EQ(c.messages, messages) << "cut at " << cut;
  }
}

// Random valid frames among random garbage, cut into random chunks: each frame comes out once, in
// order, unchanged.
TEST(FinderStream, RandomisedRoundTrip) {
  std::mt19937 rng(20261209);
  auto byte = [&] { return static_cast<uint8_t>(rng()); };
  auto nonPreamble = [&] {
    uint8_t b;
    do
      b = byte();
    while (b == 0xFA);
    return b;
  };

  std::vector<Bytes> messages;
  Bytes stream;
  std::vector<size_t> fragments;  // offsets of garbage candidates that must not validate
  for (int n = 0; n < 600; ++n) {
    switch (rng() % 5) {
      case 0: {  // plain garbage
        const size_t len = rng() % 40;
        for (size_t i = 0; i < len; ++i)
          stream.push_back(nonPreamble());
        break;
      }
      case 1:  // never a message
        stream.insert(stream.end(), {0xFA, 0x00, 0x00, static_cast<uint8_t>(rng() % 8)});
        break;
      case 2: {  // a header whose frame never completes correctly
        fragments.push_back(stream.size());
        stream.insert(stream.end(), {0xFA, 0xFF, 0x36, static_cast<uint8_t>(rng() % 250)});
        break;
      }
      case 3: {  // a frame with a broken checksum
        Bytes payload(rng() % 60);
        for (auto& b : payload)
          b = nonPreamble();
        Bytes bad = frame(0xFF, 0x36, payload);
        bad.back() ^= 0x5A;
        fragments.push_back(stream.size());
        stream.insert(stream.end(), bad.begin(), bad.end());
        break;
      }
      default:
        break;
    }
    Bytes payload(rng() % 3 == 0 ? rng() % 600 : rng() % 120);
    for (auto& b : payload)
      b = byte();
    if (payload.size() > 20 && rng() % 4 == 0) {
      // Bytes inside the frame that look like an extended header of impossible size (and a
      // zero-id candidate): they must not make the frame's own start give way.
      const size_t at = rng() % (payload.size() - 12);
      const uint8_t inner[] = {0xFA, 0xFF, 0x30, 0xFF, 0xFF, 0xF0, 0xFA, 0x00, 0x00, 0x03};
      std::copy(std::begin(inner), std::end(inner), payload.begin() + at);
    }
    const uint8_t busId = rng() % 2 ? 0xFF : static_cast<uint8_t>(1 + rng() % 20);
    messages.push_back(frame(busId, static_cast<uint8_t>(1 + rng() % 0xF0), payload));
    stream.insert(stream.end(), messages.back().begin(), messages.back().end());
  }
  // A garbage header whose span happens to sum to a correct checksum would be a real frame; change
  // its length byte until none does (a change can affect other spans, hence the loop).
  for (bool changed = true; changed;) {
    changed = false;
    for (size_t at : fragments) {
      const size_t total = stream[at + 3] + 5u;
      if (at + total > stream.size())
        continue;
      uint8_t sum = 0;
      for (size_t i = at + 1; i < at + total; ++i)
        sum = static_cast<uint8_t>(sum + stream[i]);
      if (sum == 0) {
        stream[at + 3] = static_cast<uint8_t>((stream[at + 3] + 1) % 250);
        changed = true;
      }
    }
  }

  Consumer c;
  for (size_t pos = 0; pos < stream.size();) {
    const size_t chunk = std::min<size_t>(stream.size() - pos, 1 + rng() % 700);
    c.feed(stream.data() + pos, chunk);
    pos += chunk;
  }
  c.finish();
  ASSERT_EQ(c.messages.size(), messages.size());
  EXPECT_EQ(c.messages, messages);
}

}  // namespace
