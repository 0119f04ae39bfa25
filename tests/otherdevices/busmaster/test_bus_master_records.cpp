// The bus master's pure parts: the battery level converter, the settings record, the product
// code and the synchronisation byte.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "device/DeviceFactory.h"
#include "otherdevices/busmaster/EzmsData.h"
#include "otherdevices/busmaster/ZbusMasterDevice.h"
#include "otherdevices/busmaster/ZmBatteryLevelConverter.h"
#include "support/ZtValues.h"

namespace zelto::test {
namespace {

TEST(BatteryLevel, TablesOfTheDischargeCurve) {
  const ZmBatteryLevelConverter& c = gZmBatteryLevelConverter;
  ASSERT_EQ(c.curve().size, 101u);
  ASSERT_EQ(c.differences().size, 100u);
  ASSERT_EQ(c.rawValues().count(), 101u);
  const unsigned first[] = {66, 73, 78, 83, 86};
  const unsigned last[] = {134, 137, 140, 143, 147};
  for (uint32_t k = 0; k < 5; ++k) {
    EXPECT_EQ(c.rawValues()[k], first[k]) << k;
    EXPECT_EQ(c.rawValues()[96 + k], last[k]) << k;
  }
  for (uint32_t k = 1; k < 101; ++k) {
    EXPECT_LE(c.rawValues()[k - 1], c.rawValues()[k]) << k;  // ascending
    EXPECT_DOUBLE_EQ(c.differences()[k - 1], c.curve()[k] - c.curve()[k - 1]);
  }
  EXPECT_NEAR(c.curve()[0], 147.2407884800359, 1e-12);
}

TEST(BatteryLevel, LookupEdgesExactAndInterpolated) {
  const ZmBatteryLevelConverter& c = gZmBatteryLevelConverter;
  // The index of a value in the list, found by a plain scan (first occurrence) for comparison.
  auto firstIndex = [&](unsigned v) {
    for (uint32_t k = 0; k < c.rawValues().count(); ++k)
      if (c.rawValues()[k] == v) return static_cast<int>(k);
    return -1;
  };
  const struct {
    unsigned raw;
    int level;
  } cases[] = {
      {0, 1}, {65, 1}, {66, 1},        // below and at the first entry: at least 1
      {73, 1},                         // index 1: 100 / 101 rounds to 1
      {147, 99},                       // the last entry: 100 x 100 / 101, not 100
      {148, 100}, {255, 100},          // above the last entry
      {70, 1},                         // between 66 (0) and 73 (1): 4/7 x 100 / 101 -> 1
  };
  for (const auto& cs : cases) EXPECT_EQ(c.level(cs.raw), cs.level) << cs.raw;
  // Interpolation by the rule, for every raw value that is not listed inside the range.
  for (unsigned r = 67; r < 147; ++r) {
    if (firstIndex(r) >= 0) continue;
    unsigned lo = r - 1, hi = r + 1;
    while (firstIndex(lo) < 0) --lo;
    while (firstIndex(hi) < 0) ++hi;
    const int il = firstIndex(lo), ih = firstIndex(hi);
    // Listed values here occur once, so the search's hit is the first occurrence.
    ASSERT_EQ(std::count(&c.rawValues()[0], &c.rawValues()[0] + 101, lo), 1) << lo;
    const double index = (static_cast<double>(r - lo) / (hi - lo)) * (ih - il) + il;
    const long expected = std::max(1l, std::lround(index * 100.0 / 101.0));
    EXPECT_EQ(c.level(r), expected) << r;
  }
  // Listed values map to their index; a value listed twice to either of its indices.
  size_t twice = 0;
  for (uint32_t k = 0; k < 101; ++k) {
    const unsigned v = c.rawValues()[k];
    const int level = c.level(v);
    bool matches = false;
    for (uint32_t j = 0; j < 101; ++j)
      if (c.rawValues()[j] == v) matches = matches || level == std::max(1l, std::lround(j * 100.0 / 101.0));
    EXPECT_TRUE(matches) << v;
    if (k > 0 && c.rawValues()[k - 1] == v) ++twice;
  }
  EXPECT_GT(twice, 0u);  // the curve is flat enough in places to list a value twice
}

TEST(BusMasterRecord, SettingsMessageRoundTripAndShortReplies) {
  EzmsData record;
  EXPECT_EQ(record.hostByte, 0x20);
  const Bytes bytes = {0x12, 0x34, 0x56, 0x78, 1, 0x03, 9, 0x31, 0xA1, 0xA2, 0xB1, 0xB2, 0xC1, 0xC2, 0xD1};
  Message reply(0x8B, bytes);
  ASSERT_TRUE(record.setZmsData(reply.m));
  EXPECT_EQ(record.firstWord, 0x12345678u);
  EXPECT_EQ(record.blueToothDisabled, 1);
  EXPECT_EQ(record.outputFlags, 3);
  EXPECT_EQ(record.baudRateCode, 9);
  EXPECT_EQ(record.syncByte, 0x31);
  EXPECT_EQ(record.value8, 0xA1A2);
  EXPECT_EQ(record.value14, 0xD1);
  Message out;
  record.toMessage(0xFF, out.m);
  EXPECT_EQ(out.id(), 0x8B);
  EXPECT_EQ(out.payload(), bytes);
  EXPECT_TRUE(ZtMessage_isChecksumOk(&out.m));
  // Fewer than 15 bytes: refused, the record unchanged.
  Message shorter(0x8B, Bytes(bytes.begin(), bytes.begin() + 14));
  EzmsData kept = record;
  EXPECT_FALSE(record.setZmsData(shorter.m));
  record.toMessage(0xFF, out.m);
  EXPECT_EQ(out.payload(), bytes);
  EXPECT_EQ(kept.firstWord, record.firstWord);
  record.busPowerDisabled = 1;
  record.clear();
  EXPECT_EQ(record.busPowerDisabled, 0);
  EXPECT_EQ(record.hostByte, 0x20);
  EXPECT_EQ(record.firstWord, 0u);
}

TEST(BusMasterRecord, ProductCodes) {
  const struct {
    uint32_t id;
    const char* code;
  } cases[] = {{0x00000000, "ZM-A-Z"},   {0x00010105, "ZM-A-ZB2"}, {0x00020200, "ZM-B-Z3"},
               {0x0003FF00, "ZM-B-ZB3"}, {0x00050100, "unknown"},  {0x000F0000, "unknown"}};
  for (const auto& c : cases) EXPECT_EQ(ZbusMasterDevice::productCodeOf(c.id), c.code) << std::hex << c.id;
}

TEST(BusMasterRecord, SynchronisationByte) {
  auto s = [](int line, int function, int polarity) {
    ZtSyncSetting r{};
    r.line = line;
    r.function = function;
    r.polarity = polarity;
    return r;
  };
  const struct {
    std::vector<ZtSyncSetting> in;
    uint8_t byte;
  } cases[] = {
      {{}, 0x00},
      {{s(2, 4, 1)}, 0x20},
      {{s(10, 4, 1)}, 0x10},
      {{s(10, 4, 3)}, 0x30},
      {{s(11, 4, 1)}, 0x00},  // line 11 adds nothing
      {{s(10, 4, 2)}, 0x00},  // no such polarity for line 10
      {{s(3, 10, 1)}, 0x01},
      {{s(2, 4, 1), s(5, 10, 2)}, 0x21},
  };
  for (const auto& c : cases) EXPECT_EQ(ZbusMasterDevice::syncByteOf(c.in), c.byte);
  // Reading back: the line setting and the function-10 flag (given on line 11, polarity 1).
  const auto back = ZbusMasterDevice::syncSettingsOf(0x31);
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(back[0].line, 10);
  EXPECT_EQ(back[0].function, 4);
  EXPECT_EQ(back[0].polarity, 3);
  EXPECT_EQ(back[1].function, 10);
  EXPECT_EQ(back[1].line, 11);
  for (uint8_t b : {0x00, 0x01, 0x10, 0x11, 0x20, 0x21, 0x30, 0x31})
    EXPECT_EQ(ZbusMasterDevice::syncByteOf(ZbusMasterDevice::syncSettingsOf(b)), b) << int(b);
}

// Without a link every request fails before anything changes.
TEST(BusMasterRecord, WithoutALink) {
  struct Factory : DeviceFactory {
    void removeExistingDevice(const ZtDeviceId&) override {}
    bool initializeDevice(::ZtDevice*) const override { return false; }
  } factory;
  ZbusMasterDevice hub(static_cast<DeviceFactory&>(factory), nullptr);
  const ZtConnectivityState before = hub.connectivityState();
  EXPECT_FALSE(hub.powerDown());
  EXPECT_EQ(hub.connectivityState(), before);
  EXPECT_EQ(hub.batteryLevel(), 0);
  EXPECT_EQ(hub.errorMode(), 0u);
  EXPECT_FALSE(hub.setSyncSettings({}));
  EXPECT_FALSE(hub.setBlueToothEnabled(false));
  EXPECT_TRUE(hub.isBlueToothEnabled());
  EXPECT_TRUE(hub.setDualOutputEnabled(false));  // already off: nothing to send
  EXPECT_FALSE(hub.setDualOutputEnabled(true));
  EXPECT_FALSE(hub.isDualOutputEnabled());
  EXPECT_FALSE(hub.readMasterSettings());
  EXPECT_FALSE(hub.initialize(zelto::SettingsFile(true)));
}

}  // namespace
}  // namespace zelto::test
