#pragma once
// The iFOG unit's frames (39 bytes, protocol type 3). Little-endian fields from the first sync
// byte: counter (8 bits) at 4; rotation increments at 5, 8, 11 and velocity increments at 14,
// 17, 20 (signed 24 bits each); status as two 16-bit halves, high at 32 and low at 34; the CRC
// over bytes 0 to 36 in bytes 37 and 38, high byte first. The device axes follow the FSAS
// unit's: (-r8, +r11, -r5) for the rotation and (-r17, +r20, -r14) for the velocity.
// Scales per count: rate of turn 1/180 deg/s, angle 1/36000 deg, acceleration 10 * 2^-15 m/s^2,
// velocity 0.1 * 2^-16 m/s.
#include "transport/imar/ImarProtocolHandler.h"

namespace imar {

class IFogProtocolHandler : public ImarProtocolHandler {
 public:
  static constexpr int kFrameSize = 39;

  IFogProtocolHandler();
  ZtProtocolType type() const override { return ZPT_ImarIFog; }

 protected:
  void readFrame(const uint8_t* frame, Increments& out) const noexcept override;
};

}  // namespace imar
