#include "transport/imar/IFogProtocolHandler.h"

#include <cmath>
#include <numbers>

#include "transport/imar/IFogMessage.h"

namespace imar {

namespace {
constexpr double kDegToRad = std::numbers::pi / 180.0;
}

IFogProtocolHandler::IFogProtocolHandler()
    : ImarProtocolHandler(kFrameSize, Scales{kDegToRad / 180.0, kDegToRad / 36000.0, 10.0 * std::ldexp(1.0, -15),
                                             0.1 * std::ldexp(1.0, -16)}) {}

bool IFogProtocolHandler::readFrame(const uint8_t* bytes, Increments& out) const {
  IFogMessage frame;
  if (!frame.loadFromString(bytes)) return false;
  const uint8_t* f = frame.getMessageStart();
  out.counter = f[4];
  out.rotation[0] = -readLe24(f + 8);
  out.rotation[1] = readLe24(f + 11);
  out.rotation[2] = -readLe24(f + 5);
  out.velocity[0] = -readLe24(f + 17);
  out.velocity[1] = readLe24(f + 20);
  out.velocity[2] = -readLe24(f + 14);
  out.status = uint32_t{readLe16(f + 32)} << 16 | readLe16(f + 34);
  return true;
}

}  // namespace imar
