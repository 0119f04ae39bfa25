#include "transport/nmea/NmeaParser.h"

#include <charconv>

namespace nmea {

namespace {

bool isLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
int hexValue(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  return -1;
}

constexpr size_t kMaxNameLength = 11;

}  // namespace

Parser::IStream::~IStream() = default;

Parser::Parser() {
  m_table.emplace(ID_HCHDM, &Parser::parseHCHDM);
  m_table.emplace(ID_HCHDG, &Parser::parseHCHDG);
  m_table.emplace(ID_PHTRO, &Parser::parsePHTRO);
  m_table.emplace(ID_HCMTW, &Parser::parseHCMTW);
  m_table.emplace(ID_PRDID, &Parser::parsePRDID);
  m_table.emplace(ID_PSONCMS, &Parser::parsePSONCMS);
  m_table.emplace(ID_TSS2, &Parser::parseTSS2);
  m_table.emplace(ID_EM1000, &Parser::parseEM1000);
  m_table.emplace(ID_HEHDT, &Parser::parseHEHDT);
  m_table.emplace(ID_HEROT, &Parser::parseHEROT);
  m_last = m_table.end();
}

IParser::Result Parser::parseMessage(const char* begin, const char* end) const {
  notifyInitializeParse(begin, end);
  m_lastRanOut = false;
  if (!begin || !end || end < begin)
    return {false, 0};

  CharBufferStream s(begin, end);
  std::string_view key;
  bool header = false;

  // The three record forms in turn; a failed attempt keeps what it consumed.
  char name[kMaxNameLength];
  if (s.valid() && s.peek() == PREAMBLE) {
    s.next();
    s.begin_checksum();
    if (s.need() && isLetter(s.peek())) {
      size_t length = 0;
      while (s.valid() && isLetter(s.peek()) && length < kMaxNameLength) {
        name[length++] = s.peek();
        s.next();
      }
      if (expect(s, COMMA)) {
        key = std::string_view(name, length);
        header = true;
      }
    }
  }
  if (!header && s.valid() && s.peek() == PREAMBLE_EM1000) {
    s.next();
    if (expect(s, EM1000_SECOND)) {
      key = ID_EM1000;
      header = true;
    }
  }
  if (!header && s.valid() && s.peek() == PREAMBLE_TSS2) {
    s.next();
    key = ID_TSS2;
    header = true;
  }
  if (!header) {
    m_lastRanOut = s.ranOut();
    return {false, s.size()};
  }

  if (m_last == m_table.end() || m_last->first != key)
    m_last = m_table.find(key);
  if (m_last != m_table.end())
    (this->*(m_last->second))(s);  // the outcome only shows in what was notified and consumed
  m_lastRanOut = s.ranOut();
  return {true, s.size()};
}

bool Parser::expect(CharBufferStream& s, char c) {
  if (!s.need() || s.peek() != c)
    return false;
  s.next();
  return true;
}

bool Parser::number(CharBufferStream& s, Number& out) {
  out = Number();
  bool negative = false;
  // Fixed-width writers put a blank where a sign goes ("$HEROT, 026.7,A").
  if (s.valid() && (s.peek() == PLUS || s.peek() == MINUS || s.peek() == BLANK)) {
    negative = s.peek() == MINUS;
    s.next();
  }
  if (!s.valid() || !isDigit(s.peek()))
    return true;  // an empty field

  const char* first = s.position();
  while (s.valid() && isDigit(s.peek()))
    s.next();
  const char* integerEnd = s.position();
  if (s.valid() && s.peek() == DECIMAL_POINT) {
    s.next();
    if (!s.need() || !isDigit(s.peek()))
      return false;
    while (s.valid() && isDigit(s.peek()))
      s.next();
  }
  const char* last = s.position();

  // from_chars does not depend on the process locale (strtod would read "1.5" as 1 under a
  // locale whose decimal separator is a comma).
  double value = 0.0;
  const auto [ptr, ec] = std::from_chars(first, last, value);
  if (ec == std::errc::result_out_of_range) {
    // Too large is unusable (left invalid); too small is zero.
    bool large = false;
    for (const char* c = first; c < integerEnd; ++c)
      large = large || *c != '0';
    if (large)
      return true;
    value = 0.0;
  } else if (ec != std::errc() || ptr != last) {
    return false;
  }
  out = Number(negative ? -value : value, true);
  return true;
}

Flag Parser::flag(CharBufferStream& s, char yes, char no) {
  if (s.valid() && s.peek() == yes) {
    s.next();
    return Flag(true, true);
  }
  if (s.valid() && s.peek() == no) {
    s.next();
    return Flag(false, true);
  }
  return Flag();
}

bool Parser::checksum(CharBufferStream& s) {
  s.end_checksum();
  if (!expect(s, CHECKSUM_MARKER))
    return false;
  if (s.available() < 2) {
    s.setRanOut();
    return false;
  }
  const int high = hexValue(s.peek());
  s.next();
  const int low = hexValue(s.peek());
  s.next();
  return high >= 0 && low >= 0 && ((high << 4) | low) == s.get_checksum();
}

bool Parser::crlf(CharBufferStream& s) { return expect(s, CR) && expect(s, LF); }

void Parser::whiteSpace(CharBufferStream& s) {
  while (s.valid() && (s.peek() == '\t' || s.peek() == ' '))
    s.next();
}

bool Parser::anyCharacter(CharBufferStream& s) {
  if (!s.need())
    return false;
  s.next();
  return true;
}

bool Parser::numberAndLetter(CharBufferStream& s, char letter, Number& out) const {
  return number(s, out) && expect(s, COMMA) && expect(s, letter) && checksum(s) && crlf(s);
}

bool Parser::parseHCHDM(CharBufferStream& s) const {
  // "No heading" is also written without the reference letter ("$HCHDM,,*4A").
  Number heading;
  if (!number(s, heading) || !expect(s, COMMA))
    return false;
  if ((heading.valid || !s.valid() || s.peek() != CHECKSUM_MARKER) && !expect(s, HCHDM_MAGNETIC))
    return false;
  if (!checksum(s) || !crlf(s))
    return false;
  notifyHCHDM(heading);
  return true;
}

bool Parser::parseHEHDT(CharBufferStream& s) const {
  Number heading;
  if (!numberAndLetter(s, NMEA_TRUE, heading))
    return false;
  notifyHEHDT(heading);
  return true;
}

bool Parser::parseHEROT(CharBufferStream& s) const {
  // Status: "A" (and "T", as HEHDT writes it) valid, "V" the rate reported invalid.
  Number rate;
  if (!number(s, rate) || !expect(s, COMMA) || !s.need())
    return false;
  const char status = s.peek();
  if (status != NMEA_TRUE && status != HEROT_VALID && status != HEROT_INVALID)
    return false;
  s.next();
  if (!checksum(s) || !crlf(s))
    return false;
  if (status == HEROT_INVALID)
    rate.valid = false;
  notifyHEROT(rate);
  return true;
}

bool Parser::parseHCMTW(CharBufferStream& s) const {
  Number temperature;
  if (!numberAndLetter(s, HCMTW_CENTIGRADE, temperature))
    return false;
  notifyHCMTW(temperature);
  return true;
}

bool Parser::parseHCHDG(CharBufferStream& s) const {
  Number heading, deviation, variation;
  if (!number(s, heading) || !expect(s, COMMA) || !number(s, deviation) || !expect(s, COMMA))
    return false;
  const Flag deviationEast = flag(s, HCHDG_POSITIVE, HCHDG_NEGATIVE);
  if (!expect(s, COMMA) || !number(s, variation) || !expect(s, COMMA))
    return false;
  const Flag variationEast = flag(s, HCHDG_POSITIVE, HCHDG_NEGATIVE);
  if (!checksum(s) || !crlf(s))
    return false;
  notifyHCHDG(heading, deviation, deviationEast, variation, variationEast);
  return true;
}

bool Parser::parsePHTRO(CharBufferStream& s) const {
  Number pitch, roll;
  if (!number(s, pitch) || !expect(s, COMMA))
    return false;
  const Flag bowUp = flag(s, PHTRO_BOW_UP, PHTRO_BOW_DOWN);
  if (!expect(s, COMMA) || !number(s, roll) || !expect(s, COMMA))
    return false;
  const Flag portUp = flag(s, PHTRO_PORT_UP, PHTRO_PORT_DOWN);
  if (!checksum(s) || !crlf(s))
    return false;
  notifyPHTRO(pitch, bowUp, roll, portUp);
  return true;
}

bool Parser::parsePRDID(CharBufferStream& s) const {
  // Written with and without a checksum; one that is there must be right.
  Number pitch, roll, heading;
  if (!number(s, pitch) || !expect(s, COMMA) || !number(s, roll) || !expect(s, COMMA) || !number(s, heading))
    return false;
  if (s.valid() && s.peek() == CHECKSUM_MARKER && !checksum(s))
    return false;
  if (!crlf(s))
    return false;
  notifyPRDID(pitch, roll, heading);
  return true;
}

bool Parser::parsePSONCMS(CharBufferStream& s) const {
  PsoncmsFields fields;
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i > 0 && !expect(s, COMMA))
      return false;
    if (!number(s, fields[i]))
      return false;
  }
  if (!checksum(s) || !crlf(s))
    return false;
  notifyPSONCMS(fields);
  return true;
}

bool Parser::parseTSS2(CharBufferStream& s) const {
  Number first, second, third, fourth;
  if (!number(s, first))
    return false;
  whiteSpace(s);
  if (!number(s, second) || !anyCharacter(s))
    return false;
  whiteSpace(s);
  if (!number(s, third))
    return false;
  whiteSpace(s);
  if (!number(s, fourth) || !anyCharacter(s) || !crlf(s))
    return false;
  notifyTSS2(first, second, third, fourth);
  return true;
}

bool Parser::parseEM1000(CharBufferStream& s) const {
  uint8_t bytes[8];
  for (uint8_t& b : bytes) {
    if (!s.need())
      return false;
    b = static_cast<uint8_t>(s.peek());
    s.next();
  }
  auto field = [&](int i) { return static_cast<uint16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8)); };
  notifyEM1000(Number(static_cast<int16_t>(field(0)), true), Number(static_cast<int16_t>(field(1)), true),
               Number(static_cast<int16_t>(field(2)), true), Number(field(3), true));
  return true;
}

}  // namespace nmea
