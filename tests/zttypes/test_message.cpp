// ZtMessage: framing, checksum upkeep by every mutator, big-endian payload access, load
// validation and the four floating-point forms.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "zttypes/ztmessage.h"

namespace {

std::vector<uint8_t> bytesOf(const ZtMessage& m) {
  const uint8_t* p = ZtMessage_getMessageStart(&m);
  return p ? std::vector<uint8_t>(p, p + ZtMessage_getTotalMessageSize(&m)) : std::vector<uint8_t>();
}

// Independent check of the frame: preamble, length fields, checksum.
void expectWellFormed(const ZtMessage& m, size_t dataSize) {
  std::vector<uint8_t> b = bytesOf(m);
  const bool extended = dataSize >= 255;
  ASSERT_EQ(b.size(), dataSize + (extended ? 7 : 5));
  EXPECT_EQ(b[0], 0xFA);
  if (extended) {
    EXPECT_EQ(b[3], 0xFF);
    EXPECT_EQ(size_t(b[4]) << 8 | b[5], dataSize);
  } else {
    EXPECT_EQ(b[3], dataSize);
  }
  unsigned sum = 0;
  for (size_t i = 1; i < b.size(); ++i) sum += b[i];
  EXPECT_EQ(sum % 256, 0u) << "checksum";
  EXPECT_TRUE(ZtMessage_isChecksumOk(&m));
  EXPECT_EQ(ZtMessage_dataSize(&m), dataSize);
}

struct Msg {
  ZtMessage m;
  Msg() { ZtMessage_construct(&m); }
  explicit Msg(size_t n) { ZtMessage_constructSized(&m, n); }
  ~Msg() { ZtMessage_destruct(&m); }
};

TEST(Message, FreshAndEmpty) {
  Msg fresh(0);
  EXPECT_EQ(bytesOf(fresh.m), std::vector<uint8_t>({0xFA, 0xFF, 0x00, 0x00, 0x01}));
  Msg empty;
  EXPECT_TRUE(ZtMessage_empty(&empty.m));
  EXPECT_EQ(ZtMessage_getConstHeader(&empty.m), nullptr);
  EXPECT_EQ(ZtMessage_getMessageStart(&empty.m), nullptr);
  EXPECT_EQ(ZtMessage_getTotalMessageSize(&empty.m), 0u);
  EXPECT_EQ(ZtMessage_getMessageId(&empty.m), 0);
  EXPECT_FALSE(ZtMessage_isChecksumOk(&empty.m));
  // Setting an id on an empty message makes a frame rather than losing the id.
  ZtMessage_setMessageId(&empty.m, 0x30);
  EXPECT_EQ(bytesOf(empty.m), std::vector<uint8_t>({0xFA, 0xFF, 0x30, 0x00, 0xD1}));
}

// Compose, load back and compare at the form boundaries (and around the checksum's 16-byte steps).
TEST(Message, ComposeLoadRoundTripAtSizeBoundaries) {
  for (size_t n : {size_t(0), size_t(1), size_t(11), size_t(12), size_t(13), size_t(254), size_t(255), size_t(256), size_t(8185)}) {
    SCOPED_TRACE(n);
    Msg a(n);
    ZtMessage_setBusId(&a.m, 1);
    ZtMessage_setMessageId(&a.m, 0x36);
    for (size_t i = 0; i < n; ++i) ZtMessage_setDataByte(&a.m, uint8_t(i * 7 + 3), i);
    expectWellFormed(a.m, n);
    std::vector<uint8_t> raw = bytesOf(a.m);

    Msg b;
    ASSERT_EQ(ZtMessage_load(&b.m, raw.size(), raw.data()), 1);
    EXPECT_EQ(bytesOf(b.m), raw);
    EXPECT_EQ(ZtMessage_getBusId(&b.m), 1);
    EXPECT_EQ(ZtMessage_getMessageId(&b.m), 0x36);
    EXPECT_EQ(ZtMessage_getConstHeader(&b.m)->messageId, 0x36);
    if (n) {
      EXPECT_EQ(ZtMessage_getDataByte(&b.m, n - 1), uint8_t((n - 1) * 7 + 3));
    }
    EXPECT_EQ(ZtMessage_computeChecksum(raw.data(), raw.size()), raw.back());
  }
  Msg over(8186);
  EXPECT_TRUE(ZtMessage_empty(&over.m));
  Msg limit(8185);
  EXPECT_EQ(ZtMessage_resizeData(&limit.m, 8186), -1);
  EXPECT_EQ(ZtMessage_insertData(&limit.m, 1, 0), -1);
  expectWellFormed(limit.m, 8185);
}

// The checksum is summed in blocks with a masked last block: every length, every start
// alignment, and bytes that make the lane sums large.
TEST(Message, ChecksumOfEveryLengthAgreesWithAPlainSum) {
  std::vector<uint8_t> storage(160);
  for (int fill = 0; fill < 2; ++fill) {
    for (size_t i = 0; i < storage.size(); ++i) storage[i] = fill ? 0xFF : uint8_t(i * 37 + 11);
    for (size_t start = 0; start < 16; ++start) {
      for (size_t n = 2; start + n <= storage.size(); ++n) {
        const uint8_t* b = storage.data() + start;
        unsigned sum = 0;
        for (size_t i = 1; i + 1 < n; ++i) sum += b[i];
        ASSERT_EQ(ZtMessage_computeChecksum(b, n), uint8_t(0x100u - (sum & 0xFFu))) << "fill " << fill << " start " << start << " n " << n;
      }
    }
  }
}

// Copies and loads reuse the room a message has; a source inside that room (a frame loaded from
// the message's own bytes) is taken before it is overwritten; clearing keeps the array's flags
// right for callers that read them.
TEST(Message, CopiesReuseTheirRoom) {
  const auto frameOf = [](size_t n, uint8_t seed) {
    Msg m(n);
    ZtMessage_setMessageId(&m.m, 0x36);
    for (size_t i = 0; i < n; ++i) ZtMessage_setDataByte(&m.m, uint8_t(seed + i * 5), i);
    return bytesOf(m.m);
  };
  for (size_t before : {size_t(0), size_t(3), size_t(40), size_t(300)}) {
    for (size_t after : {size_t(0), size_t(2), size_t(40), size_t(260)}) {
      SCOPED_TRACE(::testing::Message() << before << " -> " << after);
      Msg target;
      if (before) {
        const std::vector<uint8_t> first = frameOf(before, 1);
        ASSERT_EQ(ZtMessage_load(&target.m, first.size(), first.data()), 1);
      }
      const std::vector<uint8_t> frame = frameOf(after, 9);
      Msg source;
      ASSERT_EQ(ZtMessage_load(&source.m, frame.size(), frame.data()), 1);
      ZtMessage_copy(&target.m, &source.m);
      EXPECT_EQ(bytesOf(target.m), frame);
      EXPECT_EQ(target.m.bytes.flags & ZTARRAY_EMPTY, 0);
      // The frame's own bytes loaded again, and its payload alone (not a frame: refused).
      ASSERT_EQ(ZtMessage_load(&target.m, target.m.bytes.size, target.m.bytes.data), 1);
      EXPECT_EQ(bytesOf(target.m), frame);
      EXPECT_EQ(ZtMessage_load(&target.m, target.m.bytes.size - 1, target.m.bytes.data + 1), 0);
      EXPECT_TRUE(ZtMessage_empty(&target.m));
      EXPECT_EQ(target.m.bytes.size, 0u);
      EXPECT_NE(target.m.bytes.flags & ZTARRAY_EMPTY, 0);
      ZtMessage_copy(&target.m, &source.m);
      EXPECT_EQ(bytesOf(target.m), frame);
      ZtMessage_clear(&target.m);
      EXPECT_TRUE(ZtMessage_empty(&target.m));
      EXPECT_NE(target.m.bytes.flags & ZTARRAY_EMPTY, 0);
      ZtMessage_copy(&source.m, &target.m);  // an empty source empties the target
      EXPECT_TRUE(ZtMessage_empty(&source.m));
    }
  }
}

TEST(Message, LoadRejectsMalformedFrames) {
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
    int ok;
  } cases[] = {
      {"good", {0xFA, 0xFF, 0x30, 0x00, 0xD1}, 1},
      {"bad checksum still loads", {0xFA, 0xFF, 0x30, 0x00, 0x00}, 1},
      {"four bytes", {0xFA, 0xFF, 0x30, 0x00}, 0},
      {"wrong preamble", {0xFB, 0xFF, 0x30, 0x00, 0xD1}, 0},
      {"length too long", {0xFA, 0xFF, 0x30, 0x01, 0xD1}, 0},
      {"length too short", {0xFA, 0xFF, 0x30, 0x00, 0x00, 0xD1}, 0},
      {"extended header cut", {0xFA, 0xFF, 0x30, 0xFF, 0x00, 0x00}, 0},
      {"extended, empty payload", {0xFA, 0xFF, 0x30, 0xFF, 0x00, 0x00, 0xD2}, 1},
  };
  for (const auto& c : cases) {
    Msg m(3);  // loading over a previous frame
    EXPECT_EQ(ZtMessage_load(&m.m, c.bytes.size(), c.bytes.data()), c.ok) << c.what;
    if (c.ok)
      EXPECT_EQ(bytesOf(m.m), c.bytes) << c.what;
    else
      EXPECT_TRUE(ZtMessage_empty(&m.m) && ZtMessage_getMessageId(&m.m) == 0) << c.what;
  }
  std::vector<uint8_t> big(8194, 0);
  big[0] = 0xFA;
  big[3] = 0xFF;
  big[4] = (8194 - 7) >> 8;
  big[5] = (8194 - 7) & 0xFF;
  Msg m;
  EXPECT_EQ(ZtMessage_load(&m.m, big.size(), big.data()), 0);
  EXPECT_EQ(ZtMessage_load(&m.m, 5, nullptr), 0);
}

// A frame loaded with a wrong checksum (the finder loads before it tests) comes out right after
// any edit: callers build requests from such frames without recomputing.
TEST(Message, EveryMutatorRepairsALoadedWrongChecksum) {
  const uint8_t one[] = {0x77};
  const double value = 1.5;
  struct Case {
    const char* what;
    void (*edit)(ZtMessage*, const uint8_t*, const double*);
  } cases[] = {
      {"setBusId", [](ZtMessage* m, const uint8_t*, const double*) { ZtMessage_setBusId(m, 2); }},
      {"setMessageId", [](ZtMessage* m, const uint8_t*, const double*) { ZtMessage_setMessageId(m, 0x31); }},
      {"setDataByte", [](ZtMessage* m, const uint8_t*, const double*) { ZtMessage_setDataByte(m, 9, 0); }},
      {"setDataShort", [](ZtMessage* m, const uint8_t*, const double*) { ZtMessage_setDataShort(m, 9, 1); }},
      {"setDataLong", [](ZtMessage* m, const uint8_t*, const double*) { ZtMessage_setDataLong(m, 9, 2); }},
      {"setDataLongLong", [](ZtMessage* m, const uint8_t*, const double*) { ZtMessage_setDataLongLong(m, 9, 0); }},
      {"setDataFloat", [](ZtMessage* m, const uint8_t*, const double*) { ZtMessage_setDataFloat(m, 2.f, 4); }},
      {"setDataDouble", [](ZtMessage* m, const uint8_t*, const double*) { ZtMessage_setDataDouble(m, 2.0, 0); }},
      {"setDataBuffer in place", [](ZtMessage* m, const uint8_t* b, const double*) { ZtMessage_setDataBuffer(m, b, 1, 3); }},
      {"setDataFPValues", [](ZtMessage* m, const uint8_t*, const double* v) { ZtMessage_setDataFPValues(m, 0x200, v, 1, 1); }},
      {"recomputeChecksum", [](ZtMessage* m, const uint8_t*, const double*) { ZtMessage_recomputeChecksum(m); }},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> frame = {0xFA, 0xFF, 0x32, 0x08, 1, 2, 3, 4, 5, 6, 7, 8, 0x00};
    Msg m;
    ASSERT_EQ(ZtMessage_load(&m.m, frame.size(), frame.data()), 1);
    ASSERT_FALSE(ZtMessage_isChecksumOk(&m.m));
    c.edit(&m.m, one, &value);
    expectWellFormed(m.m, 8);
    if (HasFailure()) {
      ADD_FAILURE() << c.what;
      return;
    }
  }
}

TEST(Message, BigEndianAccessAndOutOfRange) {
  Msg m(16);
  ZtMessage_setDataShort(&m.m, 0x1234, 0);
  ZtMessage_setDataLong(&m.m, 0x89ABCDEFu, 2);
  ZtMessage_setDataLongLong(&m.m, 0x0102030405060708ull, 6);
  ZtMessage_setDataByte(&m.m, 0xEE, 14);
  ZtMessage_setDataFloat(&m.m, 1.5f, 12);  // overlaps the byte on purpose: 3F C0 00 00
  const std::vector<uint8_t> expected = {0x12, 0x34, 0x89, 0xAB, 0xCD, 0xEF, 0x01, 0x02,
                                         0x03, 0x04, 0x05, 0x06, 0x3F, 0xC0, 0x00, 0x00};
  ASSERT_EQ(ZtMessage_dataSize(&m.m), 16u);
  EXPECT_EQ(std::vector<uint8_t>(ZtMessage_constData(&m.m), ZtMessage_constData(&m.m) + 16), expected);
  expectWellFormed(m.m, 16);
  EXPECT_EQ(ZtMessage_getDataShort(&m.m, 0), 0x1234);
  EXPECT_EQ(ZtMessage_getDataLong(&m.m, 2), 0x89ABCDEFu);
  EXPECT_EQ(ZtMessage_getDataLongLong(&m.m, 6), 0x0102030405063FC0ull);
  EXPECT_EQ(ZtMessage_getDataFloat(&m.m, 12), 1.5f);
  ZtMessage_setDataDouble(&m.m, -2.25, 8);
  EXPECT_EQ(ZtMessage_getDataDouble(&m.m, 8), -2.25);
  expectWellFormed(m.m, 16);

  // Past the payload: getters give 0 and setters change nothing.
  const std::vector<uint8_t> before = bytesOf(m.m);
  EXPECT_EQ(ZtMessage_getDataByte(&m.m, 16), 0);
  EXPECT_EQ(ZtMessage_getDataShort(&m.m, 15), 0);
  EXPECT_EQ(ZtMessage_getDataLong(&m.m, 13), 0u);
  EXPECT_EQ(ZtMessage_getDataLongLong(&m.m, 9), 0u);
  EXPECT_EQ(ZtMessage_getDataLong(&m.m, size_t(-2)), 0u);  // offset + size wraps
  EXPECT_EQ(ZtMessage_getDataBuffer(&m.m, 16), nullptr);
  ZtMessage_setDataLong(&m.m, 0xFFFFFFFF, 13);
  ZtMessage_setDataShort(&m.m, 0xFFFF, size_t(-1));
  EXPECT_EQ(bytesOf(m.m), before);

  Msg none(0);
  EXPECT_EQ(ZtMessage_constData(&none.m), nullptr);
  EXPECT_EQ(ZtMessage_getDataByte(&none.m, 0), 0);
}

TEST(Message, PayloadEditsKeepFrameAndChecksum) {
  Msg m(250);
  for (size_t i = 0; i < 250; ++i) ZtMessage_setDataByte(&m.m, uint8_t(i), i);
  ZtMessage_setMessageId(&m.m, 0x0D);

  // Insert across the 255 boundary: normal -> extended form, bytes move correctly.
  ASSERT_EQ(ZtMessage_insertData(&m.m, 10, 5), 0);
  expectWellFormed(m.m, 260);
  EXPECT_EQ(ZtMessage_getDataByte(&m.m, 4), 4);
  EXPECT_EQ(ZtMessage_getDataByte(&m.m, 5), 0);
  EXPECT_EQ(ZtMessage_getDataByte(&m.m, 14), 0);
  EXPECT_EQ(ZtMessage_getDataByte(&m.m, 15), 5);
  EXPECT_EQ(ZtMessage_getDataByte(&m.m, 259), 249);
  EXPECT_EQ(ZtMessage_getMessageId(&m.m), 0x0D);

  // Delete back below: extended -> normal.
  ZtMessage_deleteData(&m.m, 10, 5);
  expectWellFormed(m.m, 250);
  for (size_t i = 0; i < 250; ++i) ASSERT_EQ(ZtMessage_getDataByte(&m.m, i), uint8_t(i));
  ZtMessage_deleteData(&m.m, 1000, 200);  // clipped to the end
  expectWellFormed(m.m, 200);
  ZtMessage_deleteData(&m.m, 5, 500);  // past the payload: nothing
  expectWellFormed(m.m, 200);

  const uint8_t block[] = {0xA1, 0xA2, 0xA3};
  ZtMessage_setDataBuffer(&m.m, block, 3, 300);  // grows with zeros up to the gap
  expectWellFormed(m.m, 303);
  EXPECT_EQ(ZtMessage_getDataByte(&m.m, 250), 0);
  EXPECT_EQ(ZtMessage_getDataByte(&m.m, 302), 0xA3);
  ZtMessage_setDataBuffer(&m.m, ZtMessage_constData(&m.m) + 300, 3, 301);  // overlapping source
  EXPECT_EQ(ZtMessage_getDataByte(&m.m, 303), 0xA3);
  EXPECT_EQ(ZtMessage_getDataByte(&m.m, 301), 0xA1);
  expectWellFormed(m.m, 304);

  ZtMessage_setDataByte(&m.m, 0x5A, 0);
  for (size_t n : {254, 255, 254, 1, 8185, 255, 2}) {  // across the form boundary both ways
    ASSERT_EQ(ZtMessage_resizeData(&m.m, n), 0);
    expectWellFormed(m.m, n);
  }
  EXPECT_EQ(ZtMessage_getDataByte(&m.m, 0), 0x5A);  // the payload start moved with the header
  ASSERT_EQ(ZtMessage_resizeData(&m.m, 400), 0);
  expectWellFormed(m.m, 400);
  EXPECT_EQ(ZtMessage_getDataByte(&m.m, 399), 0);

  Msg copy;
  ZtMessage_copy(&copy.m, &m.m);
  EXPECT_EQ(bytesOf(copy.m), bytesOf(m.m));
  Msg other(1);
  ZtMessage_swap(&copy.m, &other.m);
  expectWellFormed(copy.m, 1);
  expectWellFormed(other.m, 400);
  ASSERT_EQ(ZtMessage_assignSized(&other.m, 3), 0);
  EXPECT_EQ(bytesOf(other.m), std::vector<uint8_t>({0xFA, 0xFF, 0x00, 0x03, 0, 0, 0, 0xFE}));
}

TEST(Message, FloatingPointFormsRoundTripWithinResolution) {
  struct Form {
    uint32_t settings;
    size_t size;
    double resolution;
    double limit;  // largest magnitude the form holds
  } forms[] = {
      {0x000, 4, 1e-7, 1e30},               // float: relative resolution
      {0x100, 4, std::ldexp(1.0, -21), 2047.0},   // 12.20: half a unit of 2^-20
      {0x200, 6, std::ldexp(1.0, -33), 32767.0},  // 16.32
      {0x300, 8, 0.0, 1e300},
  };
  const double values[] = {0.0, 1.0, -1.0, 3.14159265358979, -1.5, 1e-3, -2047.25, 2046.999, 1234.5678};
  const size_t count = sizeof values / sizeof values[0];
  for (const auto& f : forms) {
    SCOPED_TRACE(f.settings);
    EXPECT_EQ(ZtMessage_fpValueSize(f.settings | 0x0C), f.size);  // other bits do not matter
    Msg m(2 + count * f.size);
    ASSERT_EQ(ZtMessage_setDataFPValues(&m.m, f.settings, values, 2, count), 2 + count * f.size);
    expectWellFormed(m.m, 2 + count * f.size);
    double back[count] = {};
    ASSERT_EQ(ZtMessage_getDataFPValues(&m.m, f.settings, back, 2, count), 2 + count * f.size);
    for (size_t i = 0; i < count; ++i) {
      double tol = f.settings == 0 ? std::fabs(values[i]) * f.resolution : f.resolution;
      EXPECT_NEAR(back[i], values[i], tol) << values[i];
    }
    // Not enough payload: nothing read or written, offset unchanged.
    double sink[2] = {42, 42};
    EXPECT_EQ(ZtMessage_getDataFPValues(&m.m, f.settings, sink, 2 + (count - 1) * f.size + 1, 1),
              2 + (count - 1) * f.size + 1);
    EXPECT_EQ(sink[0], 42);
    const std::vector<uint8_t> before = bytesOf(m.m);
    EXPECT_EQ(ZtMessage_setDataFPValues(&m.m, f.settings, values, 3, count), 3u);
    EXPECT_EQ(bytesOf(m.m), before);
  }
}

TEST(Message, FixedPointEncodingAndSaturation) {
  struct Case {
    uint32_t settings;
    double value;
    std::vector<uint8_t> bytes;
  } cases[] = {
      {0x100, 1.0, {0x00, 0x10, 0x00, 0x00}},
      {0x100, -1.0, {0xFF, 0xF0, 0x00, 0x00}},
      {0x100, 5000.0, {0x7F, 0xFF, 0xFF, 0xFF}},  // saturates
      {0x100, NAN, {0x00, 0x00, 0x00, 0x00}},
      // 16.32: integer part then fraction, both big-endian.
      {0x200, -1.5, {0xFF, 0xFE, 0x80, 0x00, 0x00, 0x00}},
      {0x200, 1.25, {0x00, 0x01, 0x40, 0x00, 0x00, 0x00}},
      {0x200, 40000.0, {0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
      {0x200, -40000.0, {0x80, 0x00, 0x00, 0x00, 0x00, 0x00}},
      {0x000, 1.0, {0x3F, 0x80, 0x00, 0x00}},
      {0x300, 1.0, {0x3F, 0xF0, 0, 0, 0, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    Msg m(c.bytes.size());
    ZtMessage_setDataFPValues(&m.m, c.settings, &c.value, 0, 1);
    EXPECT_EQ(std::vector<uint8_t>(ZtMessage_constData(&m.m), ZtMessage_constData(&m.m) + c.bytes.size()), c.bytes)
        << c.settings << " " << c.value;
    EXPECT_TRUE(ZtMessage_isChecksumOk(&m.m));
  }
}

}  // namespace
