#include "transport/NmeaCommon.h"

namespace nmea {

Common::~Common() = default;

}  // namespace nmea
