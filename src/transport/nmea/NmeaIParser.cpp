#include "transport/nmea/NmeaIParser.h"

namespace nmea {

IParser::~IParser() = default;

}  // namespace nmea
