#include "foundation/ExcelSerialDate.h"

namespace {

// Julian day number at which serial 0 falls (31 December 1899 = serial 1 - 1, counting the
// phantom 29 February 1900).
constexpr long kSerialOffset = 2415019;

// Gregorian calendar <-> Julian day number (Fliegel and Van Flandern).
long julianDay(long d, long m, long y) {
  return (1461 * (y + 4800 + (m - 14) / 12)) / 4 + (367 * (m - 2 - 12 * ((m - 14) / 12))) / 12 -
         (3 * ((y + 4900 + (m - 14) / 12) / 100)) / 4 + d - 32075;
}

void fromJulianDay(long jd, long& d, long& m, long& y) {
  long l = jd + 68569;
  const long n = (4 * l) / 146097;
  l = l - (146097 * n + 3) / 4;
  const long i = (4000 * (l + 1)) / 1461001;
  l = l - (1461 * i) / 4 + 31;
  const long j = (80 * l) / 2447;
  d = l - (2447 * j) / 80;
  l = j / 11;
  m = j + 2 - 12 * l;
  y = 100 * (n - 49) + i + l;
}

bool isLeap(long y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int daysInMonth(long m, long y) {
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && isLeap(y) ? 29 : days[m - 1];
}

}  // namespace

void convertExcelSerialDateToDMY(uint16_t serial, uint8_t& day, uint8_t& month, uint16_t& year) {
  if (serial == 60) {
    day = 29;
    month = 2;
    year = 1900;
    return;
  }
  long s = serial;
  if (s < 61) ++s;  // serials before the phantom day
  long d = 0, m = 0, y = 0;
  fromJulianDay(s + kSerialOffset, d, m, y);
  day = static_cast<uint8_t>(d);
  month = static_cast<uint8_t>(m);
  year = static_cast<uint16_t>(y);
}

uint16_t convertDMYToExcelSerialDate(uint8_t day, uint8_t month, uint16_t year) {
  if (day == 29 && month == 2 && year == 1900) return 60;
  if (month < 1 || month > 12 || day < 1 || day > daysInMonth(month, year)) return 0;
  long serial = julianDay(day, month, year) - kSerialOffset;
  if (serial < 61) --serial;
  if (serial < 1 || serial > 65535) return 0;
  return static_cast<uint16_t>(serial);
}
