#ifndef ZDA_TRANSPORT_NMEAPARSER_H
#define ZDA_TRANSPORT_NMEAPARSER_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "transport/nmea/NmeaCommon.h"
#include "transport/nmea/NmeaParserSubject.h"

namespace nmea {

// Recognises one record at the start of a character range: an NMEA 0183 style sentence
// ("$" name "," fields "*" checksum CR LF), a TSS2 text record (":" ...) or an EM1000 binary record
// (00 90 and four 16-bit fields). Works on the caller's bytes without copying them. Observers hear
// of a record only when all of it was correct.
//
// Not thread-safe: parseMessage updates the remembered table entry and the ran-out flag.
class Parser : public Common, public virtual ParserSubject {
public:
  // Character source of one parse; counts what was consumed and keeps the XOR checksum of the
  // characters consumed while the checksum is on.
  class IStream {
  public:
    virtual ~IStream();
    virtual bool valid() const = 0;
    virtual char peek() const = 0;
    virtual size_t size() const = 0;
    virtual void next() = 0;
    virtual void begin_checksum() = 0;
    virtual void end_checksum() = 0;
    virtual uint8_t get_checksum() const = 0;
  };

  class StreamBase : public virtual IStream {
  public:
    size_t size() const override { return m_consumed; }
    void next() override {
      if (m_checksumActive)
        m_checksum ^= static_cast<uint8_t>(peek());
      ++m_consumed;
    }
    void begin_checksum() override { m_checksumActive = true; }
    void end_checksum() override { m_checksumActive = false; }
    uint8_t get_checksum() const override { return m_checksum; }

  private:
    size_t m_consumed = 0;
    uint8_t m_checksum = 0;
    bool m_checksumActive = false;
  };

  class CharBufferStream final : public StreamBase {
  public:
    CharBufferStream(const char* begin, const char* end) : m_current(begin), m_end(end) {}
    bool valid() const override { return m_current < m_end; }
    char peek() const override { return *m_current; }
    void next() override {
      StreamBase::next();
      ++m_current;
    }
    const char* position() const { return m_current; }
    size_t available() const { return static_cast<size_t>(m_end - m_current); }
    // Whether a character is available; when not, notes that the record ran out of input.
    bool need() {
      if (valid())
        return true;
      m_ranOut = true;
      return false;
    }
    void setRanOut() { m_ranOut = true; }
    bool ranOut() const { return m_ranOut; }

  private:
    const char* m_current;
    const char* m_end;
    bool m_ranOut = false;
  };

  Parser();

  Result parseMessage(const char* begin, const char* end) const override;
  bool lastParseRanOut() const override { return m_lastRanOut; }

private:
  using Body = bool (Parser::*)(CharBufferStream&) const;
  using Table = std::map<std::string, Body, std::less<>>;

  bool parseHCHDM(CharBufferStream& s) const;
  bool parseHCHDG(CharBufferStream& s) const;
  bool parsePHTRO(CharBufferStream& s) const;
  bool parseHCMTW(CharBufferStream& s) const;
  bool parsePRDID(CharBufferStream& s) const;
  bool parsePSONCMS(CharBufferStream& s) const;
  bool parseTSS2(CharBufferStream& s) const;
  bool parseEM1000(CharBufferStream& s) const;
  bool parseHEHDT(CharBufferStream& s) const;
  bool parseHEROT(CharBufferStream& s) const;

  // Body elements; each returns false when the record does not match there.
  static bool expect(CharBufferStream& s, char c);
  static bool number(CharBufferStream& s, Number& out);
  static Flag flag(CharBufferStream& s, char yes, char no);
  static bool checksum(CharBufferStream& s);
  static bool crlf(CharBufferStream& s);
  static void whiteSpace(CharBufferStream& s);
  static bool anyCharacter(CharBufferStream& s);
  // n "," <letter> cs CRLF
  bool numberAndLetter(CharBufferStream& s, char letter, Number& out) const;

  Table m_table;
  mutable Table::const_iterator m_last;  // entry last matched; m_table.end() for none
  mutable bool m_lastRanOut = false;
};

}  // namespace nmea

#endif
