// C support types: the device configuration and its Configuration message, the device mode
// forms, USB hub info, filter profiles, the array descriptors, enumeration texts and the sync
// line tables.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "device/ZtSyncLines.h"
#include "support/ZtValues.h"
#include "zeltodeviceapi/ztdevicetypes.h"

namespace {

// ---- Device configuration ----

struct Config {
  ZtDeviceConfiguration c;
  Config() { ZtDeviceConfiguration_construct(&c); }
  ~Config() { ZtDeviceConfiguration_destruct(&c); }
  Config(const Config&) = delete;
  Config& operator=(const Config&) = delete;
};

using zelto::test::Message;
void fill(ZtDeviceConfiguration& c, uint16_t devices) {
  c.masterDeviceId = 0x01234567;
  c.samplingPeriod = 1152;
  c.outputSkipFactor = 0xFFFF;
  c.reservedShort1 = 0xA1A2;
  c.reservedShort2 = 0xB1B2;
  c.reservedLong = 0xC1C2C3C4;
  std::memcpy(c.date, "20261209", 8);
  std::memcpy(c.time, "21304599", 8);
  for (int i = 0; i < 32; ++i) {
    c.reservedBlock1[i] = static_cast<uint8_t>(i + 1);
    c.reservedBlock2[i] = static_cast<uint8_t>(0x80 + i);
  }
  ZtDeviceConfiguration_assign(&c, devices, nullptr);
  for (uint16_t i = 0; i < devices; ++i) {
    ZtDeviceConfigurationDevice& d = c.deviceInfo[i];
    d.deviceId = 0x00B00000u + i;
    d.dataLength = static_cast<uint16_t>(41 + i);
    d.outputMode = 0x0006;
    d.outputSettings = 0x80000104u + i;
    d.currentScenario = 0x0227;
    d.firmwareMajor = 2;
    d.firmwareMinor = 5;
    d.firmwareRevision = static_cast<uint8_t>(9 + i);
    d.filterType = 'B';
    d.filterMajor = 1;
    d.filterMinor = 3;
  }
}

void expectSame(const ZtDeviceConfiguration& a, const ZtDeviceConfiguration& b) {
  EXPECT_EQ(0, std::memcmp(&a, &b, offsetof(ZtDeviceConfiguration, numberOfDevices))) << "master part";
  ASSERT_EQ(a.numberOfDevices, b.numberOfDevices);
  if (a.numberOfDevices > 0) {
    EXPECT_EQ(0, std::memcmp(a.deviceInfo, b.deviceInfo, a.numberOfDevices * sizeof(ZtDeviceConfigurationDevice)));
  }
}

std::vector<uint8_t> payload(const ZtMessage& m) {
  const uint8_t* p = ZtMessage_constData(&m);
  return p ? std::vector<uint8_t>(p, p + ZtMessage_dataSize(&m)) : std::vector<uint8_t>();
}

}  // namespace

class ConfigurationRoundTrip : public ::testing::TestWithParam<int> {};

TEST_P(ConfigurationRoundTrip, WritesTheMessageLayoutAndReadsItBack) {
  const uint16_t devices = static_cast<uint16_t>(GetParam());
  Config source;
  fill(source.c, devices);
  ZtMessage msg;
  ZtDeviceConfiguration_writeToMessage(&source.c, &msg);

  EXPECT_EQ(ZtMessage_getMessageId(&msg), 0x0D);
  EXPECT_EQ(ZtMessage_getBusId(&msg), 0xFF);
  EXPECT_TRUE(ZtMessage_isChecksumOk(&msg));
  const std::vector<uint8_t> p = payload(msg);
  ASSERT_EQ(p.size(), 98u + 20u * devices);
  // Pinned bytes: big-endian integers at their offsets, raw texts and blocks.
  EXPECT_EQ((std::vector<uint8_t>(p.begin(), p.begin() + 16)),
            (std::vector<uint8_t>{0x01, 0x23, 0x45, 0x67, 0x04, 0x80, 0xFF, 0xFF, 0xA1, 0xA2, 0xB1, 0xB2, 0xC1, 0xC2,
                                  0xC3, 0xC4}));
  EXPECT_EQ(std::string(p.begin() + 16, p.begin() + 32), "2026120921304599");
  EXPECT_EQ(p[32], 1);
  EXPECT_EQ(p[63], 32);
  EXPECT_EQ(p[64], 0x80);
  EXPECT_EQ(p[96], 0);
  EXPECT_EQ(p[97], devices);
  if (devices >= 2) {
    const std::vector<uint8_t> second(p.begin() + 118, p.begin() + 138);
    EXPECT_EQ(second, (std::vector<uint8_t>{0x00, 0xB0, 0x00, 0x01, 0x00, 42, 0x00, 0x06, 0x80, 0x00, 0x01, 0x05,
                                            0x02, 0x27, 2, 5, 10, 'B', 1, 3}));
  }

  Config back;
  ZtDeviceConfiguration_readFromMessage(&back.c, &msg);
  expectSame(source.c, back.c);
  EXPECT_EQ(ZtDeviceConfiguration_empty(&back.c), devices == 0);
  ZtMessage_destruct(&msg);
}

INSTANTIATE_TEST_SUITE_P(Devices, ConfigurationRoundTrip, ::testing::Values(0, 1, 2));

struct HostileCase {
  const char* name;
  size_t payloadSize;
  uint16_t claimedCount;
  uint16_t expectedCount;
};

class ConfigurationHostile : public ::testing::TestWithParam<HostileCase> {};

// The first message of a log file is untrusted: the count is believed only as far as whole
// records are present (ASan checks that nothing past the payload is read).
TEST_P(ConfigurationHostile, CountIsClampedToThePayload) {
  const HostileCase& tc = GetParam();
  Message msg;
  ZtMessage_destruct(&msg.m);
  ZtMessage_constructSized(&msg.m, tc.payloadSize);
  ZtMessage_setMessageId(&msg.m, 0x0D);
  if (tc.payloadSize >= 98) ZtMessage_setDataShort(&msg.m, tc.claimedCount, 96);
  if (tc.payloadSize >= 4) ZtMessage_setDataLong(&msg.m, 0x00B00042u, 0);
  for (size_t o = 98; o + 4 <= tc.payloadSize; o += 20) ZtMessage_setDataLong(&msg.m, 0x00C00000u + o, o);

  Config c;
  fill(c.c, 3);  // something to replace
  ZtDeviceConfiguration_readFromMessage(&c.c, &msg.m);
  EXPECT_EQ(c.c.numberOfDevices, tc.expectedCount);
  EXPECT_EQ(c.c.masterDeviceId, tc.payloadSize >= 4 ? 0x00B00042u : 0u);
  for (uint16_t i = 0; i < c.c.numberOfDevices; ++i) EXPECT_EQ(c.c.deviceInfo[i].deviceId, 0x00C00000u + 98 + 20 * i);
  if (tc.payloadSize < 24) {
    EXPECT_EQ(std::string(c.c.date, 8), std::string(8, '\0')) << "missing bytes read as 0";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, ConfigurationHostile,
    ::testing::Values(HostileCase{"EmptyPayload", 0, 0, 0}, HostileCase{"ShortMaster", 20, 0, 0},
                      HostileCase{"CountWithoutRecords", 98, 5, 0}, HostileCase{"PartialRecord", 117, 1, 0},
                      HostileCase{"ClaimsMoreThanPresent", 138, 0xFFFF, 2},
                      HostileCase{"ClaimsFewerThanPresent", 158, 1, 1}, HostileCase{"Exact", 138, 2, 2}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DeviceConfiguration, ReadKeepsTheArrayForTheSameCountAndReallocatesOtherwise) {
  Config source, target;
  fill(source.c, 2);
  ZtMessage two;
  ZtDeviceConfiguration_writeToMessage(&source.c, &two);
  ZtDeviceConfiguration_readFromMessage(&target.c, &two);
  const ZtDeviceConfigurationDevice* array = target.c.deviceInfo;
  ZtDeviceConfiguration_readFromMessage(&target.c, &two);
  EXPECT_EQ(target.c.deviceInfo, array);

  fill(source.c, 1);
  ZtMessage one;
  ZtDeviceConfiguration_writeToMessage(&source.c, &one);
  ZtDeviceConfiguration_readFromMessage(&target.c, &one);
  EXPECT_EQ(target.c.numberOfDevices, 1);
  expectSame(source.c, target.c);
  ZtMessage_destruct(&two);
  ZtMessage_destruct(&one);
}

// assign with a count that differs from the source's: the array always holds exactly
// numberOfDevices records, and the source is never read beyond its own records.
TEST(DeviceConfiguration, AssignKeepsCountAndAllocationEqual) {
  Config source;
  fill(source.c, 2);

  Config more;
  ZtDeviceConfiguration_assign(&more.c, 5, &source.c);
  ASSERT_EQ(more.c.numberOfDevices, 5);
  EXPECT_EQ(more.c.masterDeviceId, source.c.masterDeviceId);
  EXPECT_EQ(more.c.deviceInfo[1].deviceId, source.c.deviceInfo[1].deviceId);
  EXPECT_EQ(more.c.deviceInfo[4].deviceId, 0u);
  more.c.deviceInfo[4].deviceId = 7;  // the fifth record exists (ASan)

  Config fewer;
  fill(fewer.c, 4);
  ZtDeviceConfiguration_assign(&fewer.c, 1, &source.c);
  ASSERT_EQ(fewer.c.numberOfDevices, 1);
  EXPECT_EQ(fewer.c.deviceInfo[0].deviceId, source.c.deviceInfo[0].deviceId);
  // Growing again must not write past the old allocation (ASan).
  ZtDeviceConfiguration_assign(&fewer.c, 3, nullptr);
  ASSERT_EQ(fewer.c.numberOfDevices, 3);
  EXPECT_EQ(fewer.c.deviceInfo[0].deviceId, source.c.deviceInfo[0].deviceId) << "kept records stay";
  fewer.c.deviceInfo[2].deviceId = 9;

  // Resizing from itself keeps what fits.
  ZtDeviceConfiguration_assign(&source.c, 1, &source.c);
  EXPECT_EQ(source.c.numberOfDevices, 1);
  EXPECT_EQ(source.c.deviceInfo[0].deviceId, 0x00B00000u);

  ZtDeviceConfiguration_assign(&more.c, 0, nullptr);
  EXPECT_EQ(more.c.deviceInfo, nullptr);
  EXPECT_TRUE(ZtDeviceConfiguration_empty(&more.c));
}

TEST(DeviceConfiguration, CopyIsDeepAndCopyOntoItselfChangesNothing) {
  Config a, b;
  fill(a.c, 2);
  ZtDeviceConfiguration_copy(&b.c, &a.c);
  expectSame(a.c, b.c);
  EXPECT_NE(a.c.deviceInfo, b.c.deviceInfo);
  const ZtDeviceConfigurationDevice* array = a.c.deviceInfo;
  ZtDeviceConfiguration_copy(&a.c, &a.c);
  EXPECT_EQ(a.c.deviceInfo, array);
  expectSame(a.c, b.c);
  ZtDeviceConfiguration_destruct(&a.c);
  EXPECT_EQ(a.c.numberOfDevices, 0);
  EXPECT_EQ(a.c.deviceInfo, nullptr);
}

// ---- Device mode ----

struct RateCase {
  int rate;
  uint16_t skip;
  uint16_t period;
  int readBack;
};

TEST(DeviceMode, SetUpdateRateTable) {
  const RateCase cases[] = {{40, 2, 960, 40},   {100, 0, 1152, 100}, {512, 0, 225, 512}, {0, 0, 0, 0},
                            {1, 99, 1152, 1},   {99, 1, 582, 99},    {50, 1, 1152, 50},  {33, 3, 873, 33},
                            {200, 0, 576, 200}, {2000, 0, 58, 1986}};
  for (const RateCase& tc : cases) {
    ZtDeviceMode mode{0x0006, 0x80000004u, 7, 7};
    ZtDeviceMode_setUpdateRate(&mode, tc.rate);
    EXPECT_EQ(mode.skipFactor, tc.skip) << tc.rate;
    EXPECT_EQ(mode.period, tc.period) << tc.rate;
    EXPECT_EQ(mode.outputMode, 0x0006u) << "only period and skip factor change";
    EXPECT_EQ(mode.outputSettings, 0x80000004u);
    EXPECT_EQ(ZtDeviceMode_updateRate(&mode), tc.readBack) << tc.rate;

    ZtDeviceModePS ps{0, 0, 0, 0};
    ZtDeviceModePS_setUpdateRate(&ps, tc.rate);
    EXPECT_EQ(ps.period, tc.period);
    EXPECT_EQ(ps.skipFactor, tc.skip);
  }
  ZtDeviceMode mode{0, 0, 960, 2};
  ZtDeviceMode_setUpdateRate(&mode, -5);  // no skip factor gives a negative rate
  EXPECT_EQ(mode.period, 960);
  EXPECT_EQ(mode.skipFactor, 2);
}

TEST(DeviceMode, RatesOfPeriodAndSkipFactor) {
  ZtDeviceMode noSkip{0, 0, 1152, ZTDEVICEMODE_NO_SKIP};
  EXPECT_EQ(ZtDeviceMode_updateRate(&noSkip), 100);
  EXPECT_DOUBLE_EQ(ZtDeviceMode_sampleRate(&noSkip), 100.0);
  ZtDeviceMode skip2{0, 0, 960, 2};
  EXPECT_EQ(ZtDeviceMode_updateRate(&skip2), 40);
  EXPECT_DOUBLE_EQ(ZtDeviceMode_sampleRate(&skip2), 40.0);
  ZtDeviceMode zero{0, 0, 0, 0};
  EXPECT_EQ(ZtDeviceMode_updateRate(&zero), 0);
  EXPECT_EQ(ZtDeviceMode_sampleRate(&zero), 0.0);

  ZtDeviceModePS fast{0, 0, 57, ZTDEVICEMODE_NO_SKIP};
  EXPECT_EQ(ZtDeviceModePS_updateRate(&fast), 2000) << "57 counts as 57.6";
  fast.period = 58;
  EXPECT_EQ(ZtDeviceModePS_updateRate(&fast), 2000);
  fast.period = 59;
  EXPECT_EQ(ZtDeviceModePS_updateRate(&fast), 1953);
}

TEST(DeviceModeR, PeriodAndSkipFactorGiveTheRateBack) {
  struct Case {
    uint16_t rate, period, skip;
  };
  const Case cases[] = {{0, 0, 0},     {100, 1152, 0}, {120, 960, 0}, {512, 225, 0},
                        {40, 960, 2},  {60, 960, 1},   {1, 960, 119}, {50, 1152, 1},
                        {25, 1152, 3}, {33, 873, 3},   {99, 582, 1}};
  for (const Case& tc : cases) {
    ZtDeviceModeR mode{1, 2, tc.rate};
    uint16_t period = 7, skip = 7;
    ZtDeviceModeR_getPeriodAndSkipFactor(&mode, &period, &skip);
    EXPECT_EQ(period, tc.period) << tc.rate;
    EXPECT_EQ(skip, tc.skip) << tc.rate;
    EXPECT_EQ(ZtDeviceModeR_updateRate(&mode), tc.rate) << tc.rate;
  }
  ZtDeviceModeR mode{0, 0, 0};
  uint16_t period = 5;
  ZtDeviceModeR_getPeriodAndSkipFactor(&mode, &period, nullptr);  // both outputs are needed
  EXPECT_EQ(period, 5);
  ZtDeviceModeR_setPeriodAndSkipFactor(&mode, 960, 2);
  EXPECT_EQ(mode.updateRate, 40);
  ZtDeviceModeR_setPeriodAndSkipFactor(&mode, 0, 0);
  EXPECT_EQ(mode.updateRate, 0);
  ZtDeviceModeR_setPeriodAndSkipFactor(&mode, 1, 0);
  EXPECT_EQ(mode.updateRate, 65535) << "115200 Hz does not fit 16 bits";
}

TEST(DeviceMode, FlagHelpers) {
  ZtDeviceMode m{0, 0, 0, 0};
  ZtDeviceMode_setModeFlag(&m, 0x6, 1);
  EXPECT_TRUE(ZtDeviceMode_isModeFlagEnabled(&m, 0x6));
  EXPECT_FALSE(ZtDeviceMode_isModeFlagEnabled(&m, 0x7)) << "all bits must be set";
  ZtDeviceMode_setModeFlag(&m, 0x2, 0);
  EXPECT_EQ(m.outputMode, 0x4u);
  ZtDeviceMode_setSettingsFlag(&m, 0x300, 1);
  EXPECT_TRUE(ZtDeviceMode_isSettingsFlagEnabled(&m, 0x100));

  // Orientation mode: settings bits 0x0C with mode flag 4.
  const int orientations[][2] = {{1, 1}, {2, 2}, {3, 3}, {0, 0}, {7, 2}};
  for (const auto& o : orientations) {
    ZtDeviceMode mode{0x4000, 0x0C, 0, 0};
    ZtDeviceMode_setOrientationMode(&mode, o[0]);
    EXPECT_EQ(ZtDeviceMode_orientationMode(&mode), o[1]) << o[0];
    if (o[0] != 0) {
      EXPECT_FALSE(ZtDeviceMode_isRawDataOutputEnabled(&mode)) << "raw output goes off";
    }
  }
  ZtDeviceMode both{0x4, 0x0C, 0, 0};
  EXPECT_EQ(ZtDeviceMode_orientationMode(&both), 0);

  ZtDeviceMode f{0, 0x300, 0, 0};
  EXPECT_EQ(ZtDeviceMode_dataFormat(&f), 1);
  ZtDeviceMode_setDataFormat(&f, 2);
  EXPECT_EQ(f.outputSettings, 0x200u);
  EXPECT_EQ(ZtDeviceMode_dataFormat(&f), 2);
  ZtDeviceMode_setDataFormat(&f, 5);
  EXPECT_EQ(ZtDeviceMode_dataFormat(&f), 0);

  ZtDeviceMode a{0, 0, 0, 0};
  ZtDeviceMode_setAnalogInChannelEnabled(&a, 0, 1);
  EXPECT_EQ(a.outputSettings, 0x800u);
  EXPECT_TRUE(ZtDeviceMode_isModeFlagEnabled(&a, 8));
  ZtDeviceMode_setAnalogInChannelEnabled(&a, 1, 1);
  ZtDeviceMode_setAnalogInChannelEnabled(&a, 0, 0);
  EXPECT_TRUE(ZtDeviceMode_isAnalogInChannelEnabled(&a, 1));
  EXPECT_FALSE(ZtDeviceMode_isAnalogInChannelEnabled(&a, 0));
  ZtDeviceMode_setAnalogInChannelEnabled(&a, 1, 0);
  EXPECT_FALSE(ZtDeviceMode_isModeFlagEnabled(&a, 8)) << "flag 8 follows the channel bits";
  ZtDeviceMode_setAnalogInChannelEnabled(&a, 2, 1);
  EXPECT_EQ(a.outputSettings, 0u);
  EXPECT_FALSE(ZtDeviceMode_isAnalogInChannelEnabled(&a, 2));

  ZtDeviceMode c{0, 0, 0, 0};
  ZtDeviceMode_setCoordinateSystem(&c, 1);
  EXPECT_EQ(c.outputSettings, 0x80000000u);
  EXPECT_EQ(ZtDeviceMode_coordinateSystem(&c), 1);
  ZtDeviceMode_setCoordinateSystem(&c, 2);
  EXPECT_EQ(ZtDeviceMode_coordinateSystem(&c), 0);

  ZtDeviceMode s{0, 0, 0, 0};
  ZtDeviceMode_setStatusOutputEnabled(&s, 1);
  EXPECT_EQ(s.outputMode, 0x800u);
  EXPECT_EQ(s.outputSettings, 0x80u);
  EXPECT_TRUE(ZtDeviceMode_isStatusOutputEnabled(&s));

  ZtDeviceMode g{0x30, 0, 0, 0};
  ZtDeviceMode_setGpsPvtDataEnabled(&g, 1);
  EXPECT_EQ(g.outputMode, 0x1000u) << "position and velocity go off";
  ZtDeviceMode_setPositionDataEnabled(&g, 1);
  ZtDeviceMode_setVelocityDataEnabled(&g, 1);
  ZtDeviceMode_setTemperatureOutputEnabled(&g, 1);
  EXPECT_TRUE(ZtDeviceMode_isPositionDataEnabled(&g) && ZtDeviceMode_isVelocityDataEnabled(&g) &&
              ZtDeviceMode_isTemperatureOutputEnabled(&g) && ZtDeviceMode_isGpsPvtDataEnabled(&g));

  ZtDeviceMode r{0x6, 0x4, 0, 0};
  ZtDeviceMode_setRawDataOutputEnabled(&r, 1);
  EXPECT_EQ(r.outputMode, 0x4000u) << "orientation and calibrated output go off";
  EXPECT_EQ(r.outputSettings & 0x7C, 0x70u);
  EXPECT_EQ(ZtDeviceMode_calibratedDataMode(&r), 0);

  ZtDeviceMode cal{0x4000, 0, 0, 0};
  ZtDeviceMode_setCalibratedDataMode(&cal, 3);
  EXPECT_EQ(cal.outputMode, 0x2u);
  EXPECT_EQ(cal.outputSettings, 0x30u);
  EXPECT_EQ(ZtDeviceMode_calibratedDataMode(&cal), 3);

  ZtDeviceMode from{0x6, 0x80000004u, 960, 2};
  ZtDeviceModeR rate{};
  EXPECT_EQ(ZtDeviceMode_toZtDeviceMode(&from, &rate), &rate);
  EXPECT_EQ(rate.updateRate, 40);
  EXPECT_EQ(rate.outputSettings, 0x80000004u);
  ZtDeviceModePS ps{};
  ZtDeviceMode_toZtDeviceMode2(&from, &ps);
  EXPECT_EQ(ps.period, 960);
  EXPECT_EQ(ps.skipFactor, 2);
  EXPECT_EQ(ps.outputMode, 0x6u);
}

// ---- USB hub info ----

TEST(UsbHubInfo, ParentPathMatching) {
  struct Case {
    const char* a;
    const char* b;
    bool match;
  };
  const Case cases[] = {{"1-1.2", "1-1.4", true},      {"1-1.2", "1-2.2", false},  {"1-1.2", "1-11.2", false},
                        {"2-1.4.3", "2-1.4.1", true},  {"2-1.4.3", "2-1.3", false}, {"1-1", "1-1", false},
                        {"1-1.2", nullptr, false},    {nullptr, nullptr, false},   {"", "", false}};
  for (const Case& tc : cases) {
    ZtUsbHubInfo a, b;
    ZtUsbHubInfo_construct(&a, tc.a);
    ZtUsbHubInfo_construct(&b, tc.b);
    EXPECT_EQ(ZtUsbHubInfo_parentPathMatches(&a, &b), tc.match) << (tc.a ? tc.a : "null") << " / "
                                                                 << (tc.b ? tc.b : "null");
    ZtUsbHubInfo_destruct(&a);
    ZtUsbHubInfo_destruct(&b);
  }
  ZtUsbHubInfo self;
  ZtUsbHubInfo_construct(&self, "3-2");
  EXPECT_TRUE(ZtUsbHubInfo_parentPathMatches(&self, &self));
  ZtUsbHubInfo_destruct(&self);
}

TEST(UsbHubInfo, OwnsACopyAndSurvivesSelfAssignment) {
  char text[] = "1-1.2";
  ZtUsbHubInfo a, b;
  ZtUsbHubInfo_construct(&a, text);
  text[0] = '9';
  EXPECT_STREQ(a.path, "1-1.2");
  ZtUsbHubInfo_assign(&a, a.path);  // its own text (ASan: no use after free)
  EXPECT_STREQ(a.path, "1-1.2");
  ZtUsbHubInfo_copy(&a, &a);
  EXPECT_STREQ(a.path, "1-1.2");
  ZtUsbHubInfo_construct(&b, nullptr);
  ZtUsbHubInfo_swap(&a, &b);
  EXPECT_EQ(a.path, nullptr);
  EXPECT_STREQ(b.path, "1-1.2");
  ZtUsbHubInfo_copy(&a, &b);
  EXPECT_STREQ(a.path, "1-1.2");
  EXPECT_NE(a.path, b.path);
  ZtUsbHubInfo_destruct(&a);
  ZtUsbHubInfo_destruct(&b);
  EXPECT_EQ(b.path, nullptr);
}

// ---- Filter profile and arrays ----

namespace {
ZtFilterProfile profile(uint8_t type, uint8_t version, const char* label, char filterType, uint8_t major,
                        uint8_t minor) {
  ZtFilterProfile p;
  std::memset(&p, 0, sizeof p);
  p.type = type;
  p.version = version;
  std::memcpy(p.label, label, std::min(std::strlen(label), sizeof p.label - 1));
  p.filterType = filterType;
  p.filterMajor = major;
  p.filterMinor = minor;
  return p;
}

std::string text(const ZtFilterProfile& p) {
  ZtString s;
  ZtString_construct(&s, "");
  EXPECT_EQ(ZtFilterProfile_toString(&p, &s), &s);
  std::string out = ZtString_c_str(&s);
  ZtString_destruct(&s);
  return out;
}
}  // namespace

TEST(FilterProfile, TextIsBoundedAlsoForAnUnterminatedLabel) {
  EXPECT_EQ(text(profile(39, 1, "general", 'A', 1, 0)), "39.1 general");
  EXPECT_EQ(text(profile(255, 255, "12345678901234567890", 'A', 1, 0)), "255.255 12345678901234567890");
  ZtFilterProfile raw = profile(50, 2, "", 'B', 0, 0);
  std::memset(raw.label, 'x', sizeof raw.label);  // no terminator; filterType follows ('B')
  EXPECT_EQ(text(raw), "50.2 " + std::string(20, 'x'));

  ZtFilterProfile empty = profile(0, 3, "none", 'A', 0, 0);
  EXPECT_TRUE(ZtFilterProfile_empty(&empty));
  ZtFilterProfile other = profile(7, 1, "seven", 'C', 2, 1);
  ZtFilterProfile_swap(&empty, &other);
  EXPECT_EQ(empty.type, 7);
  EXPECT_STREQ(other.label, "none");
}

TEST(FilterProfileArray, DescriptorOrdersByFilterThenVersion) {
  EXPECT_EQ(g_ztFilterProfileArrayDescriptor.itemSize, 26u);
  const auto cmp = g_ztFilterProfileArrayDescriptor.itemCompare;
  const ZtFilterProfile base = profile(1, 5, "a", 'B', 2, 3);
  struct Case {
    ZtFilterProfile other;
    int expected;  // compare(base, other)
  };
  const Case cases[] = {{profile(9, 5, "z", 'B', 2, 3), 0},  // type and label do not count
                        {profile(1, 5, "a", 'C', 0, 0), -1}, {profile(1, 5, "a", 'A', 9, 9), 1},
                        {profile(1, 5, "a", static_cast<char>(0x90), 2, 3), 1},  // signed: 0x90 < 'B'
                        {profile(1, 5, "a", 'B', 3, 0), -1}, {profile(1, 5, "a", 'B', 2, 4), -1},
                        {profile(1, 200, "a", 'B', 2, 3), -1}, {profile(1, 4, "a", 'B', 2, 3), 1}};
  for (const Case& tc : cases) EXPECT_EQ(cmp(&base, &tc.other), tc.expected);

  const ZtFilterProfile items[] = {profile(1, 1, "one", 'A', 1, 0), profile(2, 1, "two", 'B', 1, 0)};
  ZtFilterProfileArray array;
  ZtFilterProfileArray_construct(&array, 2, items);
  ASSERT_EQ(array.size, 2u);
  EXPECT_STREQ(array.data[1].label, "two");
  ZtFilterProfileArray copy;
  ZtArray_copyConstruct(ZTARRAY(&copy), ZTCARRAY(&array));
  EXPECT_EQ(ZtArray_compare(ZTCARRAY(&array), ZTCARRAY(&copy)), 0);
  ZtArray_destruct(ZTARRAY(&copy));
  ZtArray_destruct(ZTARRAY(&array));

  ZtFilterProfileArray zeroed;
  ZtFilterProfileArray_construct(&zeroed, 3, nullptr);
  ASSERT_EQ(zeroed.size, 3u);
  EXPECT_TRUE(ZtFilterProfile_empty(&zeroed.data[2]));
  ZtArray_destruct(ZTARRAY(&zeroed));
}

TEST(DevicePtrArray, HoldsPointersWithoutOwningThem) {
  EXPECT_EQ(g_ztDevicePtrArrayDescriptor.itemSize, 8u);
  ZtDevice* devices[] = {reinterpret_cast<ZtDevice*>(0x2000), reinterpret_cast<ZtDevice*>(0x1000)};
  ZtDevicePtrArray array;
  ZtDevicePtrArray_construct(&array, 2, devices);
  ASSERT_EQ(array.size, 2u);
  EXPECT_EQ(array.data[0], devices[0]);
  const auto cmp = g_ztDevicePtrArrayDescriptor.itemCompare;
  EXPECT_EQ(cmp(&devices[0], &devices[1]), 1);
  EXPECT_EQ(cmp(&devices[1], &devices[0]), -1);
  EXPECT_EQ(cmp(&devices[0], &devices[0]), 0);
  ZtArray_destruct(ZTARRAY(&array));

  ZtDevicePtrArray nulls;
  ZtDevicePtrArray_construct(&nulls, 2, nullptr);
  ASSERT_EQ(nulls.size, 2u);
  EXPECT_EQ(nulls.data[1], nullptr);
  ZtArray_destruct(ZTARRAY(&nulls));
}

// ---- Texts ----

TEST(SupportTexts, EveryValueHasItsText) {
  const char* states[] = {"ZDS_Initial",   "ZDS_Config",       "ZDS_Measurement",         "ZDS_WaitingForRecordingStart",
                          "ZDS_Recording", "ZDS_FlushingData", "ZDS_FinalizingRecording", "ZDS_Destructing"};
  for (int i = 0; i < 8; ++i) EXPECT_STREQ(ZtDeviceState_toString(static_cast<ZtDeviceState>(i)), states[i]);
  EXPECT_STREQ(ZtDeviceState_toString(static_cast<ZtDeviceState>(9)), "ZDS Unknown(9)");
  EXPECT_STREQ(ZtDeviceState_toString(static_cast<ZtDeviceState>(-3)), "ZDS Unknown(-3)");

  const char* reasons[] = {"ZRR_Unknown", "ZRR_VersionMismatch", "ZRR_Blacklisted", "ZRR_StationIsDisconnecting",
                           "ZRR_SystemIsOperational"};
  for (int i = 0; i < 5; ++i) EXPECT_STREQ(ZtRejectReason_toString(static_cast<ZtRejectReason>(i)), reasons[i]);
  EXPECT_STREQ(ZtRejectReason_toString(static_cast<ZtRejectReason>(-1)), "UnknownReason");
  EXPECT_STREQ(ZtRejectReason_toString(static_cast<ZtRejectReason>(5)), "UnknownReason");

  const char* connectivity[] = {"ZCS_Disconnected", "ZCS_Rejected", "ZCS_PluggedIn", "ZCS_Wireless",
                                "UnknownState",     "ZCS_Unknown",  "UnknownState"};
  for (int i = 0; i < 7; ++i) {
    EXPECT_STREQ(ZtConnectivityState_toString(static_cast<ZtConnectivityState>(i)), connectivity[i]) << i;
  }
  EXPECT_STREQ(ZtConnectivityState_toString(static_cast<ZtConnectivityState>(-1)), "UnknownState");
}

// Unknown states are formatted into a buffer of the calling thread: two threads formatting
// different values at once each keep their own text.
TEST(SupportTexts, UnknownStateTextIsPerThread) {
  auto hammer = [](int value, bool* ok) {
    const std::string expected = "ZDS Unknown(" + std::to_string(value) + ")";
    *ok = true;
    for (int i = 0; i < 20000 && *ok; ++i) {
      const char* t = ZtDeviceState_toString(static_cast<ZtDeviceState>(value));
      *ok = expected == t;
    }
  };
  bool ok1 = false, ok2 = false;
  std::thread t1(hammer, 100, &ok1);
  std::thread t2(hammer, 200000, &ok2);
  t1.join();
  t2.join();
  EXPECT_TRUE(ok1);
  EXPECT_TRUE(ok2);
}

TEST(SyncLines, ConversionTables) {
  const int toGeneric[] = {3, 5, 0, 2, 10, 6, 7};
  for (int i = 0; i < 7; ++i) EXPECT_EQ(ztl4ToZtl(i), toGeneric[i]);
  EXPECT_EQ(ztl4ToZtl(7), 12);
  EXPECT_EQ(ztl4ToZtl(-1), 12);
  const int toMk4[] = {2, 7, 3, 0, 7, 1, 5, 6, 7, 7, 4};
  for (int i = 0; i < 11; ++i) EXPECT_EQ(ztlToZtl4(i), toMk4[i]);
  EXPECT_EQ(ztlToZtl4(11), 7);
  EXPECT_EQ(ztlToZtl4(-2), 7);
}
