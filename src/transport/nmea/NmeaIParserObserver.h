#ifndef ZDA_TRANSPORT_NMEAIPARSEROBSERVER_H
#define ZDA_TRANSPORT_NMEAIPARSEROBSERVER_H

#include <array>

#include "transport/nmea/NmeaValue.h"

namespace nmea {

using Number = Value<double>;
using Flag = Value<bool>;
using PsoncmsFields = std::array<Number, 14>;

// Receives the records a parser recognised completely (body, checksum and ending correct). Every
// operation defaults to doing nothing. Called on the parsing thread, during parseMessage.
class IParserObserver {
public:
  virtual ~IParserObserver();

  // Start of every parse attempt over [begin, end).
  virtual void onInitializeParse(const char* begin, const char* end);
  virtual void onHCHDM(Number heading);
  // Flags are true for "E".
  virtual void onHCHDG(Number heading, Number deviation, Flag deviationEast, Number variation, Flag variationEast);
  // bowUp true for "M", false for "P"; portUp true for "T", false for "B".
  virtual void onPHTRO(Number pitch, Flag bowUp, Number roll, Flag portUp);
  virtual void onHCMTW(Number temperature);
  virtual void onPRDID(Number pitch, Number roll, Number heading);
  virtual void onPSONCMS(const PsoncmsFields& fields);
  virtual void onTSS2(Number first, Number second, Number third, Number fourth);
  virtual void onEM1000(Number first, Number second, Number third, Number fourth);
  virtual void onHEHDT(Number heading);
  virtual void onHEROT(Number rateOfTurn);
};

}  // namespace nmea

#endif
