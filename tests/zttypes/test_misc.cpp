// Version text, baud tables, port names, ranges, sync settings, result texts, the loader
// and the time helpers.
#include <gtest/gtest.h>

#include <termios.h>

#include <cctype>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <ctime>
#include <string>

#include "zttypes/ztmisc.h"
#include "zttypes/ztresult.h"
#include "zttypes/zttime.h"

namespace {

std::string str(const ZtString& s) { return ZtString_c_str(&s); }

TEST(Version, Text) {
  struct Case {
    ZtVersion v;
    const char* text;
  } cases[] = {
      {{4, 2, 1, 0, ""}, "4.2.1"},
      {{4, 2, 1, 77, ""}, "4.2.1.77"},
      {{1, 0, 3, 0, "beta"}, "1.0.3 beta"},
  };
  ZtString s;
  ZtString_construct(&s, "old");
  for (const auto& c : cases) {
    ZtVersion_toString(&c.v, &s);
    EXPECT_EQ(str(s), c.text);
  }
  ZtVersion full{1, 2, 3, 0, {}};
  std::memset(full.text, 'x', sizeof full.text);  // no NUL in the text field
  ZtVersion_toString(&full, &s);
  EXPECT_EQ(str(s), "1.2.3 " + std::string(sizeof full.text, 'x'));
  ZtString_destruct(&s);
}

TEST(Baud, OneTableBothWays) {
  EXPECT_EQ(ZtBaud_fromNumeric(115200), ZtBaudRate(B115200));
  EXPECT_EQ(ZtBaud_toNumeric(B921600), 921600u);
  EXPECT_EQ(ZtBaud_fromNumeric(12345), 0u);
  EXPECT_EQ(ZtBaud_toNumeric(0), 0u);
  int codes = 0;
  for (unsigned code = 0; code < 256; ++code) {
    ZtBaudRate rate = ZtBaud_codeToRate(uint8_t(code));
    if (!rate) continue;
    ++codes;
    EXPECT_EQ(ZtBaud_rateToCode(rate), code) << code;
    EXPECT_NE(ZtBaud_toNumeric(rate), 0u) << code;
  }
  EXPECT_EQ(codes, 13);
  EXPECT_EQ(ZtBaud_codeToRate(0), 0u);     // a cleared record names no rate
  EXPECT_EQ(ZtBaud_codeToRate(0xFF), 0u);
  EXPECT_EQ(ZtBaud_rateToCode(B50), 0xFF);  // a speed no device takes
  EXPECT_EQ(ZtBaud_rateToCode(0), 0xFF);
}

TEST(PortInfo, UsbNames) {
  static_assert(sizeof(ZtPortInfo) == 264);
  struct Case {
    const char* name;
    int bus, address;
  } cases[] = {
      {"USB001:005", 1, 5}, {"USB255:127", 255, 127}, {"USB1000:0002", 1000, 2},
      {"/dev/ttyUSB0", -1, -1}, {"USB001", -1, -1}, {"USB001:", -1, -1}, {"USB:005", -1, -1},
      {"USB001:005x", -1, -1}, {"usb001:005", -1, -1}, {"", -1, -1},
  };
  for (const auto& c : cases) {
    ZtPortInfo p{};
    std::strncpy(p.portName, c.name, sizeof p.portName - 1);
    EXPECT_EQ(ZtPortInfo_usbBus(&p), c.bus) << c.name;
    EXPECT_EQ(ZtPortInfo_usbAddress(&p), c.address) << c.name;
  }
  ZtPortInfo full{};
  std::memset(full.portName, '1', sizeof full.portName);  // no NUL: must not read past it
  EXPECT_EQ(ZtPortInfo_usbBus(&full), -1);
}

TEST(Range, Count) {
  const ZtRange cases[] = {{5, 5}, {3, 9}, {9, 3}};
  const int32_t expected[] = {1, 7, -5};
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(ZtRange_count(&cases[i]), expected[i]);
  const ZtRange wide{INT32_MIN, INT32_MAX};  // wraps instead of overflowing
  EXPECT_EQ(ZtRange_count(&wide), 0);
}

TEST(SyncSetting, LayoutAndDirection) {
  static_assert(sizeof(ZtSyncSetting) == 28);
  static_assert(offsetof(ZtSyncSetting, line) == 0);
  static_assert(offsetof(ZtSyncSetting, function) == 4);
  static_assert(offsetof(ZtSyncSetting, polarity) == 8);
  static_assert(offsetof(ZtSyncSetting, pulseWidth) == 12);
  static_assert(offsetof(ZtSyncSetting, offset) == 16);
  static_assert(offsetof(ZtSyncSetting, skipFirst) == 20);
  static_assert(offsetof(ZtSyncSetting, skipFactor) == 22);
  static_assert(offsetof(ZtSyncSetting, clockPeriod) == 24);
  static_assert(offsetof(ZtSyncSetting, triggerOnce) == 26);
  EXPECT_EQ(g_ztSyncSettingArrayDescriptor.itemSize, 28u);
  for (int line = -1; line <= 13; ++line) {
    ZtSyncSetting s{};
    s.line = line;
    EXPECT_EQ(bool(ZtSyncSetting_isInput(&s)), line >= 0 && line <= 7) << line;
    EXPECT_EQ(bool(ZtSyncSetting_isOutput(&s)), line >= 8 && line <= 11) << line;
  }
}

TEST(Result, EveryCodeHasItsOwnText) {
  const int codes[] = {0,   4,   22,  33,  34,  42,  256, 257, 258, 259, 261, 262, 263, 264, 265, 266, 267, 268, 269,
                       270, 271, 272, 273, 274, 276, 277, 278, 286, 287, 288, 289, 293, 295, 296, 297, 304, 305};
  std::string previous;
  for (int c : codes) {
    const char* t = ZtResultValue_toString(c);
    ASSERT_NE(t, nullptr) << c;
    EXPECT_GT(std::strlen(t), 0u) << c;
    EXPECT_NE(previous, t) << c;
    previous = t;
  }
  for (int unknown : {-1, 1, 255, 260, 275, 9999}) {
    const char* t = ZtResultValue_toString(unknown);
    ASSERT_NE(t, nullptr);
    EXPECT_STREQ(t, "") << unknown;
  }
}

TEST(LibraryLoader, RealAndMissingLibraries) {
  ZtLibraryLoader l{};
  EXPECT_FALSE(ZtLibraryLoader_isLoaded(&l));
  EXPECT_EQ(ZtLibraryLoader_resolve(&l, "cos"), nullptr);
  ASSERT_TRUE(ZtLibraryLoader_load(&l, "libm.so.6"));
  EXPECT_TRUE(ZtLibraryLoader_isLoaded(&l));
  auto cosine = reinterpret_cast<double (*)(double)>(ZtLibraryLoader_resolve(&l, "cos"));
  ASSERT_NE(cosine, nullptr);
  EXPECT_EQ(cosine(0.0), 1.0);
  EXPECT_EQ(ZtLibraryLoader_resolve(&l, "no_such_function_here"), nullptr);
  EXPECT_EQ(ZtLibraryLoader_resolve(&l, nullptr), nullptr);

  // Loading another name drops the first; a missing name leaves nothing loaded.
  EXPECT_FALSE(ZtLibraryLoader_load(&l, "libdoes-not-exist.so.9"));
  EXPECT_FALSE(ZtLibraryLoader_isLoaded(&l));
  EXPECT_FALSE(ZtLibraryLoader_load(&l, nullptr));
  ZtLibraryLoader_unload(&l);
  ZtLibraryLoader_unload(&l);
  EXPECT_FALSE(ZtLibraryLoader_isLoaded(&l));
}

TEST(Time, ClockSleepAndTexts) {
  ZtTime_initializeTime();
  ZtTime_initializeTime();
  const ZtTimeStamp before = ZtTimeStamp_now();
  const std::time_t wall = std::time(nullptr);
  EXPECT_LE(std::llabs(before / 1000 - wall), 1);
  ZtTime_msleep(20);
  const ZtTimeStamp after = ZtTimeStamp_now();
  EXPECT_GE(after - before, 19);
  EXPECT_LT(after - before, 5000);

  EXPECT_LT(ZtTime_getTimeOfDay(), 86400000u);

  ZtDateTime dt;
  char date[9] = "########", time[9] = "########";
  ZtTime_getDateTime(&dt);
  ZtTime_getDateAsString(date);
  ZtTime_getTimeAsString(time);
  EXPECT_EQ(date[8], '\0');  // exactly 8 characters written
  EXPECT_EQ(time[8], '\0');
  for (int i = 0; i < 8; ++i) {
    EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(date[i]))) << date;
    EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(time[i]))) << time;
  }
  EXPECT_EQ(std::atoi(std::string(date, 4).c_str()), dt.year);
  EXPECT_GE(dt.month, 1);
  EXPECT_LE(dt.month, 12);
  EXPECT_LT(dt.millisecond, 1000);
  EXPECT_LT(std::atoi(std::string(time, 2).c_str()), 24);
}

}  // namespace
