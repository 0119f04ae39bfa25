#include "transport/nmea/NmeaCommon.h"

namespace nmea {

Common::~Common() = default;

}  // namespace nmea
