#ifndef ZDA_TRANSPORT_NMEAIPARSER_H
#define ZDA_TRANSPORT_NMEAIPARSER_H

#include <cstddef>
#include <utility>

#include "transport/nmea/NmeaIParserObserver.h"

namespace nmea {

// Recognises one record at the start of a character range and tells its observers what it held.
class IParser {
public:
  // found: a record header was recognised; consumed: characters used from begin.
  using Result = std::pair<bool, size_t>;

  virtual ~IParser();

  virtual Result parseMessage(const char* begin, const char* end) const = 0;
  // Whether the last parseMessage stopped because the range ended where the record needed more
  // characters (so the record may still complete when more bytes arrive).
  virtual bool lastParseRanOut() const = 0;

  // An observer is held at most once; it must stay alive while attached.
  virtual void attachObserver(IParserObserver& observer) = 0;
  virtual void detachObserver(IParserObserver& observer) = 0;

  virtual void notifyHCHDM(Number heading) const = 0;
  virtual void notifyHCHDG(Number heading, Number deviation, Flag deviationEast, Number variation,
                           Flag variationEast) const = 0;
  virtual void notifyPHTRO(Number pitch, Flag bowUp, Number roll, Flag portUp) const = 0;
  virtual void notifyPRDID(Number pitch, Number roll, Number heading) const = 0;
  virtual void notifyPSONCMS(const PsoncmsFields& fields) const = 0;
  virtual void notifyHCMTW(Number temperature) const = 0;
  virtual void notifyTSS2(Number first, Number second, Number third, Number fourth) const = 0;
  virtual void notifyEM1000(Number first, Number second, Number third, Number fourth) const = 0;
  virtual void notifyHEHDT(Number heading) const = 0;
  virtual void notifyHEROT(Number rateOfTurn) const = 0;
};

}  // namespace nmea

#endif
