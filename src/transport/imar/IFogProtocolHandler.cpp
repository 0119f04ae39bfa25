#include "transport/imar/IFogProtocolHandler.h"

#include <cmath>
#include <numbers>

namespace imar {

namespace {
constexpr double kDegToRad = std::numbers::pi / 180.0;
}

IFogProtocolHandler::IFogProtocolHandler()
    : ImarProtocolHandler(kFrameSize, Scales{kDegToRad / 180.0, kDegToRad / 36000.0, 10.0 * std::ldexp(1.0, -15),
                                             0.1 * std::ldexp(1.0, -16)}) {}

void IFogProtocolHandler::readFrame(const uint8_t* f, Increments& out) const noexcept {
  out.counter = f[4];
  out.rotation[0] = -static_cast<double>(readLe24(f + 8));
  out.rotation[1] = readLe24(f + 11);
  out.rotation[2] = -static_cast<double>(readLe24(f + 5));
  out.velocity[0] = -static_cast<double>(readLe24(f + 17));
  out.velocity[1] = readLe24(f + 20);
  out.velocity[2] = -static_cast<double>(readLe24(f + 14));
  out.status = uint32_t{readLe16(f + 32)} << 16 | readLe16(f + 34);
}

}  // namespace imar
