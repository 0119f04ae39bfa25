#ifndef ZDA_TRANSPORT_NMEACOMMON_H
#define ZDA_TRANSPORT_NMEACOMMON_H

#include <string_view>

namespace nmea {

// Syntax characters and sentence keys of the records the parser knows.
class Common {
public:
  virtual ~Common();

  static constexpr char PREAMBLE = '$';
  static constexpr char PREAMBLE_TSS2 = ':';
  static constexpr char PREAMBLE_EM1000 = '\x00';
  static constexpr char EM1000_SECOND = '\x90';  // the byte after PREAMBLE_EM1000
  static constexpr char COMMA = ',';
  static constexpr char CHECKSUM_MARKER = '*';
  static constexpr char CR = '\x0D';
  static constexpr char LF = '\x0A';
  static constexpr char PLUS = '+';
  static constexpr char MINUS = '-';
  static constexpr char DECIMAL_POINT = '.';
  static constexpr char BLANK = ' ';  // in place of a sign
  static constexpr char NMEA_TRUE = 'T';
  static constexpr char HCHDM_MAGNETIC = 'M';
  static constexpr char HCMTW_CENTIGRADE = 'C';
  static constexpr char HCHDG_POSITIVE = 'E';
  static constexpr char HCHDG_NEGATIVE = 'W';
  static constexpr char PHTRO_BOW_UP = 'M';
  static constexpr char PHTRO_BOW_DOWN = 'P';
  static constexpr char PHTRO_PORT_UP = 'T';
  static constexpr char PHTRO_PORT_DOWN = 'B';
  static constexpr char HEROT_VALID = 'A';
  static constexpr char HEROT_INVALID = 'V';

  static constexpr std::string_view ID_HCHDM = "HCHDM";
  static constexpr std::string_view ID_HCHDG = "HCHDG";
  static constexpr std::string_view ID_PHTRO = "PHTRO";
  static constexpr std::string_view ID_HCMTW = "HCMTW";
  static constexpr std::string_view ID_PRDID = "PRDID";
  static constexpr std::string_view ID_PSONCMS = "PSONCMS";
  static constexpr std::string_view ID_TSS2 = ":";
  static constexpr std::string_view ID_EM1000 = "0x0";
  static constexpr std::string_view ID_HEHDT = "HEHDT";
  static constexpr std::string_view ID_HEROT = "HEROT";
};

}  // namespace nmea

#endif
