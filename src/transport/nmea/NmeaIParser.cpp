#include "transport/NmeaIParser.h"

namespace nmea {

IParser::~IParser() = default;

}  // namespace nmea
