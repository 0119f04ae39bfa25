#include "transport/imar/FsasProtocolHandler.h"

#include <cmath>
#include <numbers>

namespace imar {

namespace {
constexpr double kDegToRad = std::numbers::pi / 180.0;
}

FsasProtocolHandler::FsasProtocolHandler()
    : ImarProtocolHandler(kFrameSize, Scales{kDegToRad / 2880.0, kDegToRad / 576000.0, 10.0 * std::ldexp(1.0, -19),
                                             0.1 * std::ldexp(1.0, -20)}) {}

void FsasProtocolHandler::readFrame(const uint8_t* f, Increments& out) const noexcept {
  out.counter = f[4];
  out.rotation[0] = -static_cast<double>(readLe32(f + 12));
  out.rotation[1] = readLe32(f + 16);
  out.rotation[2] = -static_cast<double>(readLe32(f + 8));
  out.velocity[0] = -static_cast<double>(readLe32(f + 24));
  out.velocity[1] = readLe32(f + 28);
  out.velocity[2] = -static_cast<double>(readLe32(f + 20));
  out.status = uint32_t{readLe16(f + 32)} << 16 | readLe16(f + 34);
}

}  // namespace imar
