// Clock synchroniser, high-precision time stamps and spreadsheet serial dates.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <cwchar>
#include <random>
#include <string>

#include "foundation/ExcelSerialDate.h"
#include "foundation/HighPrecisionTimeStamp.h"
#include "foundation/TimeSync.h"

namespace {

TEST(TimeSync, ConvergesOnAClockWithKnownSkewAndOffset) {
  // Local clock: 1.0004 local ms per external ms, 7 s ahead, with 0..3 ms of one-sided delay.
  const double trueSkew = 1.0004;
  const ZtTimeStamp localStart = 1700000007000;
  const ZtTimeStamp externalStart = 1700000000000;
  auto trueLocal = [&](ZtTimeStamp external) {
    return localStart + static_cast<double>(external - externalStart) * trueSkew;
  };
  std::mt19937 rng(12345);
  std::uniform_real_distribution<double> delay(0.0, 3.0);
  TimeSync sync(0.0, 20);
  EXPECT_FALSE(sync.isInitialized());
  for (int k = 0; k < 2000; ++k) {
    const ZtTimeStamp external = externalStart + k * 50;
    sync.update(static_cast<ZtTimeStamp>(trueLocal(external) + delay(rng)), external);
  }
  ASSERT_TRUE(sync.isInitialized());
  EXPECT_NEAR(sync.skew(), trueSkew, 2e-4);
  const ZtTimeStamp lastExternal = externalStart + 1999 * 50;
  for (ZtTimeStamp e : {lastExternal - 500, lastExternal, lastExternal + 1000}) {
    EXPECT_NEAR(static_cast<double>(sync.localTime(e)), trueLocal(e), 5.0) << e - externalStart;
    EXPECT_NEAR(static_cast<double>(sync.externalTime(static_cast<ZtTimeStamp>(trueLocal(e)))),
                static_cast<double>(e), 5.0);
  }
}

TEST(TimeSync, BeforeInitialisationConversionsUseTheResetValues) {
  TimeSync sync;
  EXPECT_EQ(sync.localTime(12345), 12345);
  EXPECT_EQ(sync.externalTime(-77), -77);
}

TEST(TimeSync, ObservationsLessThanAMillisecondApartRestartWithTheNextAsBase) {
  TimeSync sync;
  sync.update(1000, 5000);
  sync.update(1000, 5010);  // local did not advance: restart
  EXPECT_FALSE(sync.isInitialized());
  sync.update(2000, 6000);  // new base
  sync.update(2200, 6100);  // skew (2200-2000)/(6100-6000)
  ASSERT_TRUE(sync.isInitialized());
  EXPECT_DOUBLE_EQ(sync.skew(), 2.0);
  EXPECT_EQ(sync.localTime(6100), 2200);
}

TEST(TimeSync, InitialSkewHoldsThroughTheWarmUp) {
  TimeSync sync(1.5, 20);
  sync.update(0, 0);
  sync.update(100, 100);
  ASSERT_TRUE(sync.isInitialized());
  EXPECT_DOUBLE_EQ(sync.skew(), 1.5);
  for (int k = 2; k < 8; ++k) sync.update(k * 100, k * 100);  // ratio 1.0, still warm-up
  EXPECT_DOUBLE_EQ(sync.skew(), 1.5);
}

TEST(TimeSync, OutlierIsRejectedAndWidensTheGate) {
  TimeSync sync;
  sync.update(0, 0);
  sync.update(100, 100);
  ASSERT_TRUE(sync.isInitialized());
  // Ratio 50 against skew 1: after the warm-up blend |1 - r/skew| is still above the gate 2.0.
  sync.update(10000, 200);
  EXPECT_DOUBLE_EQ(sync.gate(), 2.02);
  // An observation in line with the first two is accepted again and narrows the gate.
  sync.update(300, 300);
  EXPECT_LT(sync.gate(), 2.02);
}

TEST(TimeSync, ObservationAtTheReferenceTimeLeavesTheEstimateFinite) {
  TimeSync sync;
  sync.update(0, 0);
  sync.update(100, 100);
  sync.update(200, 0);  // same external time as the reference entry
  EXPECT_TRUE(std::isfinite(sync.skew()));
  EXPECT_TRUE(std::isfinite(sync.gate()));
  sync.update(300, 300);
  EXPECT_NEAR(static_cast<double>(sync.localTime(300)), 300.0, 5.0);
}

TEST(HighPrecisionTimeStamp, NormalisationAndConversions) {
  const HighPrecisionTimeStamp a(0, -0.25);
  EXPECT_EQ(a.seconds(), -1);
  EXPECT_DOUBLE_EQ(a.fraction(), 0.75);
  EXPECT_EQ(a.toTimeStamp(), -250);
  EXPECT_DOUBLE_EQ(a.toDouble(), -0.25);
  const HighPrecisionTimeStamp b(3, 2.5);
  EXPECT_EQ(b.seconds(), 5);
  EXPECT_DOUBLE_EQ(b.fraction(), 0.5);
  const HighPrecisionTimeStamp fromMs(ZtTimeStamp(-1500));
  EXPECT_EQ(fromMs.seconds(), -2);
  EXPECT_DOUBLE_EQ(fromMs.fraction(), 0.5);
  EXPECT_EQ(HighPrecisionTimeStamp(ZtTimeStamp(1234567)).toTimeStamp(), 1234567);
}

TEST(HighPrecisionTimeStamp, Arithmetic) {
  const HighPrecisionTimeStamp x(1, 0.5), y(2, 0.5);
  EXPECT_DOUBLE_EQ((x * y).toDouble(), 3.75);
  EXPECT_DOUBLE_EQ((HighPrecisionTimeStamp(-2, 0.5) * y).toDouble(), -3.75);
  EXPECT_TRUE(x + y == HighPrecisionTimeStamp(4, 0.0));
  EXPECT_TRUE(x - y == HighPrecisionTimeStamp(-1, 0.0));
  EXPECT_DOUBLE_EQ((x - 2.75).toDouble(), -1.25);
  EXPECT_DOUBLE_EQ((x + 0.75).toDouble(), 2.25);
  HighPrecisionTimeStamp z = x;
  z -= y;
  z += 0.25;
  EXPECT_DOUBLE_EQ(z.toDouble(), -0.75);
  EXPECT_TRUE(x < y);
  EXPECT_TRUE(y > x);
  EXPECT_FALSE(x < x);
  EXPECT_TRUE(HighPrecisionTimeStamp(1, 0.25) < HighPrecisionTimeStamp(1, 0.5));
  EXPECT_DOUBLE_EQ(HighPrecisionTimeStamp(0, -1.75).abs().toDouble(), 1.75);
  EXPECT_TRUE(HighPrecisionTimeStamp(-2, 0.0).abs() == HighPrecisionTimeStamp(2, 0.0));
}

TEST(HighPrecisionTimeStamp, TextForm) {
  struct Case {
    HighPrecisionTimeStamp value;
    const char* text;
  };
  const Case cases[] = {
      {HighPrecisionTimeStamp(5, 0.25), "5.250000000000000000"},
      {HighPrecisionTimeStamp(0, -1.75), "-1.750000000000000000"},
      {HighPrecisionTimeStamp(0, -0.25), "-0.250000000000000000"},
      {HighPrecisionTimeStamp(-2, 0.0), "-2.000000000000000000"},
      {HighPrecisionTimeStamp(), "0.000000000000000000"},
  };
  for (const Case& c : cases) {
    char buf[64];
    EXPECT_EQ(c.value.toString(buf, sizeof buf), buf);
    EXPECT_STREQ(buf, c.text);
    wchar_t wide[64];
    EXPECT_EQ(c.value.toString(wide, 64), wide);
    EXPECT_EQ(std::wstring(wide), std::wstring(c.text, c.text + std::strlen(c.text)));
  }
  EXPECT_EQ(HighPrecisionTimeStamp(1, 0.0).toString(static_cast<char*>(nullptr), 10), nullptr);
  EXPECT_EQ(HighPrecisionTimeStamp(1, 0.0).toString(static_cast<wchar_t*>(nullptr), 10), nullptr);
  char small[5] = "xxxx";
  HighPrecisionTimeStamp(123456, 0.5).toString(small, sizeof small);
  EXPECT_STREQ(small, "1234");
}

TEST(ExcelSerialDate, KnownDates) {
  struct Case {
    uint16_t serial;
    uint8_t day, month;
    uint16_t year;
  };
  const Case cases[] = {
      {1, 1, 1, 1900},    {59, 28, 2, 1900},   {60, 29, 2, 1900},   {61, 1, 3, 1900},
      {366, 31, 12, 1900}, {36526, 1, 1, 2000}, {36585, 29, 2, 2000}, {43831, 1, 1, 2020},
      {65535, 4, 6, 2079},
  };
  for (const Case& c : cases) {
    uint8_t d = 0, m = 0;
    uint16_t y = 0;
    convertExcelSerialDateToDMY(c.serial, d, m, y);
    EXPECT_EQ(d, c.day) << c.serial;
    EXPECT_EQ(m, c.month) << c.serial;
    EXPECT_EQ(y, c.year) << c.serial;
    EXPECT_EQ(convertDMYToExcelSerialDate(c.day, c.month, c.year), c.serial);
  }
}

TEST(ExcelSerialDate, EverySerialRoundTripsAndInvalidDatesGiveZero) {
  for (unsigned s = 1; s <= 65535; ++s) {
    uint8_t d = 0, m = 0;
    uint16_t y = 0;
    convertExcelSerialDateToDMY(static_cast<uint16_t>(s), d, m, y);
    ASSERT_EQ(convertDMYToExcelSerialDate(d, m, y), s);
  }
  EXPECT_EQ(convertDMYToExcelSerialDate(31, 2, 2000), 0);
  EXPECT_EQ(convertDMYToExcelSerialDate(29, 2, 2001), 0);
  EXPECT_EQ(convertDMYToExcelSerialDate(1, 13, 2000), 0);
  EXPECT_EQ(convertDMYToExcelSerialDate(0, 1, 2000), 0);
  EXPECT_EQ(convertDMYToExcelSerialDate(31, 12, 1899), 0);
  EXPECT_EQ(convertDMYToExcelSerialDate(5, 6, 2079), 0);
}

}  // namespace
