// The tracker's one-walk view of a packet's items must read exactly what the companion library's
// getters read, on well-formed packets and on the ones the library treats warily (a truncated
// tail, a size that disagrees with the identifier, a second item of a kind, unknown items,
// every value form).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "support/ZtValues.h"
#include "trackers/PacketItems.h"
#include "zttypes/ztdatapacket.h"

namespace {

using PacketItemsBytes = std::vector<uint8_t>;

PacketItemsBytes packetItem(uint16_t id, const PacketItemsBytes& value) {
  PacketItemsBytes b(3 + value.size());
  b[0] = static_cast<uint8_t>(id >> 8);
  b[1] = static_cast<uint8_t>(id);
  b[2] = static_cast<uint8_t>(value.size());
  std::copy(value.begin(), value.end(), b.begin() + 3);
  return b;
}

// n values of the form of id's low bits, value i = base + i / 8 (exact in every form).
PacketItemsBytes packetValues(uint16_t id, int n, double base) {
  static const size_t kSize[4] = {4, 4, 6, 8};
  const size_t size = kSize[id & 3];
  ZtMessage m;
  ZtMessage_constructSized(&m, n * size);
  std::vector<double> v(n);
  for (int i = 0; i < n; ++i) v[i] = base + i / 8.0;
  ZtMessage_setDataFPValues(&m, static_cast<uint32_t>(id & 3) << 8, v.data(), 0, n);
  const uint8_t* d = ZtMessage_constData(&m);
  PacketItemsBytes out(d, d + n * size);
  ZtMessage_destruct(&m);
  return out;
}

PacketItemsBytes packetFloatItem(uint16_t id, int n, double base) { return packetItem(id, packetValues(id, n, base)); }

using K = PacketItems::Kind;

struct PacketItemsCase {
  const char* name;
  std::vector<PacketItemsBytes> items;
  std::vector<K> present;  // exactly the kinds found
};

void expectSameVector(const PacketItems& items, PacketItems::Kind kind, ZtVector* (*get)(const ZtDataPacket*, ZtVector*),
                      int (*contains)(const ZtDataPacket*), const ZtDataPacket* p) {
  double library[3];
  ZtVector v;
  ZtVector_construct(&v, 3, nullptr);
  get(p, &v);
  std::memcpy(library, v.data, sizeof library);
  ZtVector_destruct(&v);
  double mine[3];
  EXPECT_EQ(items.values(kind, mine, 3), contains(p) != 0) << "kind " << int(kind);
  EXPECT_EQ(0, std::memcmp(mine, library, sizeof mine)) << "kind " << int(kind);
}

TEST(PacketItemsTest, ReadsWhatTheLibraryGettersRead) {
  const PacketItemsBytes raw = {0, 1, 0, 2, 0, 3, 1, 0, 2, 0, 3, 0, 0xFF, 0xFF, 0x80, 0, 0, 7, 0x12, 0x34};
  const PacketItemsCase cases[] = {
      {"empty", {}, {}},
      {"the stream's packet after calibration",
       {packetItem(0x1020, {0, 9}), packetItem(0xA010, raw), packetItem(0xE020, {0, 0, 0, 3}),
        packetFloatItem(0x4023, 3, 0.5), packetFloatItem(0x8023, 3, -1.25), packetFloatItem(0xC023, 3, 2.0)},
       {K::kRaw, K::kStatusWord, K::kAcceleration, K::kRateOfTurn, K::kMagneticField}},
      {"every value form", {packetFloatItem(0x4020, 3, 1.5), packetFloatItem(0x8021, 3, -2.5),
                            packetFloatItem(0xC022, 3, 0.25), packetFloatItem(0x8030, 4, 0.75),
                            packetFloatItem(0x4013, 3, -0.5)},
       {K::kAcceleration, K::kRateOfTurn, K::kMagneticField, K::kDeltaQ, K::kDeltaV}},
      {"wrong size, then the first well-formed one, then another",
       {packetItem(0x4023, {1, 2, 3, 4, 5, 6, 7, 8}), packetFloatItem(0x4023, 3, 4.0), packetFloatItem(0x4023, 3, 9.0),
        packetItem(0xE020, {1, 2, 3}), packetItem(0xE010, {0x5A}), packetItem(0xA020, {1, 2, 3, 4, 5})},
       {K::kAcceleration, K::kStatusByte}},
      {"status byte only, raw with gyroscope temperatures, frame range",
       {packetItem(0xE010, {0x81}), packetItem(0xA010, raw), packetItem(0xA020, {0, 1, 0x80, 2, 0xFF, 3}),
        packetItem(0x1040, {0, 0, 0, 5, 0xFF, 0xFF, 0xFF, 0xFE})},
       {K::kStatusByte, K::kRaw, K::kGyroTemperatures, K::kFrameRange}},
      {"unknown items and orientation forms",
       {packetItem(0x7770, {1, 2, 3}), packetFloatItem(0x2033, 3, 10.0), packetFloatItem(0x201B, 4, 0.5),
        packetItem(0x2040, {1, 2})},
       {K::kOrientation}},
      {"matrix only", {packetFloatItem(0x2020, 9, 1.0)}, {K::kOrientation}},
      {"wrong-size orientation", {packetItem(0x2013, {1, 2, 3})}, {}},
      {"truncated tail hides what follows",
       {packetFloatItem(0x8023, 3, 1.0), PacketItemsBytes{0x40, 0x23, 24, 1, 2, 3}}, {K::kRateOfTurn}},
      {"increments with rates", {packetFloatItem(0x8033, 4, 1.0), packetFloatItem(0x4013, 3, 0.125),
                                  packetFloatItem(0x4023, 3, 3.0)},
       {K::kDeltaQ, K::kDeltaV, K::kAcceleration}},
  };
  for (const PacketItemsCase& c : cases) {
    SCOPED_TRACE(c.name);
    PacketItemsBytes payload;
    for (const PacketItemsBytes& b : c.items) payload.insert(payload.end(), b.begin(), b.end());
    zelto::test::Message m(0x36, payload);
    zelto::test::Packet packet;
    ZtDataPacket_setMessage(packet.get(), &m.m);
    const ZtDataPacket* p = packet.get();
    const PacketItems items(*p);
    for (int k = 0; k < PacketItems::kKindCount; ++k) {
      const bool expected = std::find(c.present.begin(), c.present.end(), static_cast<K>(k)) != c.present.end();
      EXPECT_EQ(items.has(static_cast<K>(k)), expected) << "kind " << k;
    }

    EXPECT_EQ(items.has(PacketItems::kRaw), ZtDataPacket_containsRawData(p) != 0);
    EXPECT_EQ(items.has(PacketItems::kGyroTemperatures), ZtDataPacket_containsRawGyroscopeTemperatures(p) != 0);
    EXPECT_EQ(items.has(PacketItems::kOrientation), ZtDataPacket_containsOrientation(p) != 0);
    EXPECT_EQ(items.has(PacketItems::kDeltaQ) && items.has(PacketItems::kDeltaV), ZtDataPacket_containsSdiData(p) != 0);
    EXPECT_EQ(items.has(PacketItems::kFrameRange), ZtDataPacket_containsFrameRange(p) != 0);
    EXPECT_EQ(items.hasStatus(), ZtDataPacket_containsStatus(p) != 0);
    EXPECT_EQ(items.status(), ZtDataPacket_status(p));

    expectSameVector(items, PacketItems::kAcceleration, ZtDataPacket_calibratedAcceleration,
                     ZtDataPacket_containsCalibratedAcceleration, p);
    expectSameVector(items, PacketItems::kRateOfTurn, ZtDataPacket_calibratedRateOfTurn,
                     ZtDataPacket_containsCalibratedRateOfTurn, p);
    expectSameVector(items, PacketItems::kMagneticField, ZtDataPacket_calibratedMagneticField,
                     ZtDataPacket_containsCalibratedMagneticField, p);

    ZtSdiData librarySdi;
    ZtDataPacket_sdiData(p, &librarySdi);
    double dq[4], dv[3];
    items.values(PacketItems::kDeltaQ, dq, 4);
    items.values(PacketItems::kDeltaV, dv, 3);
    EXPECT_EQ(0, std::memcmp(dq, &librarySdi.orientationIncrement, sizeof dq));
    EXPECT_EQ(0, std::memcmp(dv, librarySdi.velocityIncrement, sizeof dv));

    ZtScrData libraryRaw, mineRaw;
    ZtDataPacket_rawData(p, &libraryRaw);
    items.rawData(mineRaw);
    EXPECT_EQ(0, std::memcmp(&libraryRaw, &mineRaw, sizeof mineRaw));

    ZtRange libraryRange, mineRange;
    ZtDataPacket_frameRange(p, &libraryRange);
    items.frameRange(mineRange);
    EXPECT_EQ(mineRange.first, libraryRange.first);
    EXPECT_EQ(mineRange.last, libraryRange.last);
  }
}

}  // namespace
