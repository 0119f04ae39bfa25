#pragma once
// The FSAS unit's frames (41 bytes, protocol type 2). Little-endian fields from the first sync
// byte: counter (8 bits) at 4; rotation increments at 8, 12, 16 and velocity increments at 20,
// 24, 28 (signed 32 bits each); status as two 16-bit halves, high at 32 and low at 34; the CRC
// over bytes 0 to 38 in bytes 39 and 40, high byte first. The device axes are (-r12, +r16, -r8)
// for the rotation and (-r24, +r28, -r20) for the velocity.
// Scales per count: rate of turn 1/2880 deg/s, angle 1/576000 deg, acceleration 10 * 2^-19
// m/s^2, velocity 0.1 * 2^-20 m/s.
#include "transport/imar/ImarProtocolHandler.h"

namespace imar {

class FsasProtocolHandler : public ImarProtocolHandler {
 public:
  static constexpr int kFrameSize = 41;

  FsasProtocolHandler();
  ZtProtocolType type() const override { return ZPT_ImarFsas; }

 protected:
  void readFrame(const uint8_t* frame, Increments& out) const noexcept override;
};

}  // namespace imar
