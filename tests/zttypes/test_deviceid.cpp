// Device-id families and the device factory's classification order.
#include <gtest/gtest.h>

#include <cstdint>

#include "zttypes/ztdeviceid.h"

namespace {

// The factory's classification, written from its list: the first test that holds decides.
unsigned classify(ZtDeviceId id) {
  if (ZtDeviceId_isTovanaStation(id)) return 2;
  if (ZtDeviceId_isTovanaDongle(id)) return 3;
  if (ZtDeviceId_isTovanaOem(id)) return 4;
  if (ZtDeviceId_isZbusMaster(id)) return 1;
  if (ZtDeviceId_isLegacyKtig(id)) return 11;
  if (ZtDeviceId_isKtix(id)) return 10;
  if (ZtDeviceId_isKtw(id)) return 12;
  if (ZtDeviceId_isKtx2(id)) return 30;
  if (ZtDeviceId_isKtMk4(id)) {
    if (ZtDeviceId_isKtMk4_700(id)) return 22;
    if (ZtDeviceId_isKtMk4_X00(id)) return 21;
    return 20;
  }
  const unsigned bits16to23 = (id >> 16) & 0xFF;
  if (bits16to23 == 0xF0) return 101;
  if (bits16to23 == 0xF1) return 100;
  return 0;
}

struct IdCase {
  ZtDeviceId id;
  unsigned typeId;
  const char* what;
};

const IdCase kIds[] = {
    {0x00011234, 1, "bus master"},
    {0x00020001, 2, "wireless station"},
    {0x00040002, 3, "wireless dongle"},
    {0x00050003, 4, "wireless OEM station"},
    {0x00060004, 11, "legacy GNSS-aided tracker"},
    {0x00070005, 10, "host-filtered tracker"},
    {0x00080006, 12, "wireless tracker"},
    {0x00090007, 30, "second wireless tracker"},
    {0x00100008, 20, "10-series"},
    {0x00200009, 20, "20-series"},
    {0x0030000A, 20, "30-series"},
    {0x0040000B, 21, "100-series"},
    {0x0050000C, 21, "200-series"},
    {0x0060000D, 21, "300-series"},
    {0x0070000E, 22, "700-series"},
    {0x00430010, 21, "100-series RS-485"},
    {0x00740011, 22, "700-series with GNSS variant"},
    {0x00F00000, 101, "outside inertial unit FSAS"},
    {0x00F10000, 100, "outside inertial unit iFOG"},
    {0x12F05678, 101, "FSAS with serial bits set"},
    {0x00000001, 0, "family byte 0"},
    {0x00030001, 0, "family byte 3 is unused"},
    {0x00800001, 0, "series 8 is not fourth generation"},
    {0x00FF0001, 0, "family byte 0xFF"},
    {0x80000000, 0, "broadcast"},
};

TEST(DeviceIdTest, ClassificationGivesTheFactoryTypeIds) {
  for (const IdCase& c : kIds) EXPECT_EQ(classify(c.id), c.typeId) << c.what << " 0x" << std::hex << c.id;
}

TEST(DeviceIdTest, FamiliesAreDisjoint) {
  using Test = int (*)(ZtDeviceId);
  const Test families[] = {ZtDeviceId_isZbusMaster, ZtDeviceId_isTovanaStation, ZtDeviceId_isTovanaDongle,
                           ZtDeviceId_isTovanaOem,  ZtDeviceId_isLegacyKtig,    ZtDeviceId_isKtix,
                           ZtDeviceId_isKtw,        ZtDeviceId_isKtx2,          ZtDeviceId_isKtMk4};
  for (const IdCase& c : kIds) {
    int hits = 0;
    for (Test t : families) hits += t(c.id) ? 1 : 0;
    const bool inFamily = c.typeId != 0 && c.typeId != 100 && c.typeId != 101;
    EXPECT_EQ(hits, inFamily ? 1 : 0) << c.what;
  }
}

TEST(DeviceIdTest, SeriesTests) {
  struct Series {
    ZtDeviceId id;
    bool s10, s20, s100, s200, x00, s700, ktig;
  };
  const Series table[] = {
      {0x00100001, true, false, false, false, false, false, false},
      {0x00200001, false, true, false, false, false, false, false},
      {0x00300001, false, false, false, false, false, false, false},
      {0x00400001, false, false, true, false, true, false, false},
      {0x00500001, false, false, false, true, true, false, false},
      {0x00600001, false, false, false, false, true, false, false},
      {0x00640001, false, false, false, false, true, false, true},
      {0x00700001, false, false, false, false, false, true, true},
      {0x00060001, false, false, false, false, false, false, true},
      {0x00070001, false, false, false, false, false, false, false},
      {0x00F00000, false, false, false, false, false, false, false},
  };
  for (const Series& s : table) {
    SCOPED_TRACE(testing::Message() << "0x" << std::hex << s.id);
    EXPECT_EQ(ZtDeviceId_isKtMk4_10(s.id) != 0, s.s10);
    EXPECT_EQ(ZtDeviceId_isKtMk4_20(s.id) != 0, s.s20);
    EXPECT_EQ(ZtDeviceId_isKtMk4_100(s.id) != 0, s.s100);
    EXPECT_EQ(ZtDeviceId_isKtMk4_200(s.id) != 0, s.s200);
    EXPECT_EQ(ZtDeviceId_isKtMk4_X00(s.id) != 0, s.x00);
    EXPECT_EQ(ZtDeviceId_isKtMk4_700(s.id) != 0, s.s700);
    EXPECT_EQ(ZtDeviceId_isKtig(s.id) != 0, s.ktig);
  }
}

TEST(DeviceIdTest, Rs485MarkIsBits16To19EqualThree) {
  // Repeated GotoConfig and RS-485 detection key on (id & 0xF0000) == 0x30000: the RS-485
  // interface variant of the fourth generation, and no other family.
  for (ZtDeviceId id : {0x00130001u, 0x00430001u, 0x00730001u}) {
    EXPECT_EQ(id & 0xF0000u, 0x30000u);
    EXPECT_TRUE(ZtDeviceId_isKtMk4(id));
  }
  for (const IdCase& c : kIds)
    if ((c.id & 0xF0000u) == 0x30000u) {
      EXPECT_TRUE(ZtDeviceId_isKtMk4(c.id) || c.typeId == 0) << c.what;
    }
}

TEST(DeviceIdTest, EmptyAndBroadcast) {
  EXPECT_FALSE(ZtDeviceId_isValid(0));
  EXPECT_TRUE(ZtDeviceId_isValid(0x00080001));
  EXPECT_TRUE(ZtDeviceId_isBroadcast(ZtDeviceId_broadcast()));
  EXPECT_FALSE(ZtDeviceId_isBroadcast(0));
  EXPECT_FALSE(ZtDeviceId_isBroadcast(0x00080001));
  EXPECT_FALSE(ZtDeviceId_isKtw(ZtDeviceId_broadcast()));
  EXPECT_EQ(classify(0), 0u);
}

}  // namespace
