#pragma once
// The frame search shared by the outside inertial units' handlers. The units stream fixed-size
// frames that start with the sync pair 0x7E 0x7E and end with a CRC (ImarFrame.h); they take no
// requests, so nothing is ever composed for them. A frame that passes its CRC test becomes a data
// message (id 0x36, bus id 0xFF) holding: the 8-bit packet counter, the calibrated acceleration
// and rate of turn, the strapdown increments (the angle increments turned into a quaternion by
// the helical rule) and the status word.
//
// Search (offsets from the start of the bytes; N the frame size):
//  - bytes other than 0x7E are skipped, and so is a 0x7E not followed by a second one;
//  - a 0x7E within the last three bytes awaits 4 bytes (size -4), unless an earlier pair
//    already awaits its frame;
//  - a pair with fewer than N bytes behind its start awaits N bytes (size -N); the first such
//    pair is the candidate;
//  - a whole frame that fails its CRC test is dropped and the search goes on at the next byte.
// Only a pair can become the awaited candidate: a stray 0x7E or a corrupt frame never holds
// back the bytes behind it.
//
// A search changes nothing but the output message; it allocates only when the output is smaller
// than one data message (never once the link's scratch message has held one). An output that
// already holds a message of the data message's size is overwritten in place.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "transport/zbus/IProtocolHandler.h"
#include "zttypes/ztdatapacket.h"

namespace imar {

class ImarProtocolHandler : public ::IProtocolHandler {
 public:
  static constexpr int kMinimumMessageSize = 4;
  static constexpr uint8_t kSync = 0x7E;
  // Both units sample at this fixed rate (Hz).
  static constexpr int kSampleRate = 200;

  ~ImarProtocolHandler() override;
  ImarProtocolHandler(const ImarProtocolHandler&) = delete;
  ImarProtocolHandler& operator=(const ImarProtocolHandler&) = delete;

  MessageLocation findMessage(ZtMessage& message, const ZtByteArray& bytes) const override;
  MessageLocation findMessageIn(ZtMessage& message, const uint8_t* data, size_t size) const override;
  // The search alone (sync pairs and the CRC test; nothing decoded): what findMessageIn returns.
  MessageLocation locateFrame(const uint8_t* data, size_t size) const noexcept;
  int minimumMessageSize() const override { return kMinimumMessageSize; }
  int maximumMessageSize() const override { return m_frameSize; }
  // The units take no requests: nothing is composed (0 bytes).
  static int composeMessage(uint8_t* out, const ZtMessage& message) noexcept;
  // The rotation vector v (rad) as a unit quaternion (w, x, y, z) by the helical rule, with
  // w >= 0 (the rule of zelto::Quaternion::isHelical, written out here so the link's search
  // stays free of the matrix classes; the tests hold the two together). Turns up to
  // kSeriesAngle, which covers every increment of a unit turning slower than 11 000 deg/s, take
  // the power series of the half angle (no square root, no sine); larger ones take the library's
  // sine and cosine.
  static void helical(const double v[3], double q[4]) noexcept;
  static constexpr double kSeriesAngle = 1.0;  // rad

 protected:
  // One frame's raw values: increments on the device axes (signs applied, so held as doubles:
  // the negated field -2^31 is +2^31), counter and status.
  struct Increments {
    double rotation[3];
    double velocity[3];
    uint8_t counter;
    uint32_t status;
  };
  // Per count of an increment: rate of turn (rad/s), angle increment (rad), acceleration (m/s^2)
  // and velocity increment (m/s).
  struct Scales {
    double rateOfTurn;
    double angle;
    double acceleration;
    double velocity;
  };

  ImarProtocolHandler(int frameSize, Scales scales);
  // The raw values of the frame at frame (frameSize bytes, its CRC already tested).
  virtual void readFrame(const uint8_t* frame, Increments& out) const noexcept = 0;

  // Little-endian fields of the units.
  static int32_t readLe32(const uint8_t* p) noexcept {
    uint32_t u;
    std::memcpy(&u, p, sizeof u);
    if constexpr (std::endian::native == std::endian::big) u = __builtin_bswap32(u);
    return static_cast<int32_t>(u);
  }
  // Sign-extended; reads four bytes (the field and the byte behind it, always inside a frame).
  static int32_t readLe24(const uint8_t* p) noexcept {
    return static_cast<int32_t>(static_cast<uint32_t>(readLe32(p)) << 8) >> 8;
  }
  static uint16_t readLe16(const uint8_t* p) noexcept { return static_cast<uint16_t>(p[0] | p[1] << 8); }

 private:
  // The data message of a good frame into message: a copy of the template with the frame's
  // values written over the template's.
  void buildMessage(const Increments& increments, ZtMessage& message) const;
  // Payload offset of the values of the template's item of this type.
  size_t valueOffset(ZtDataIdentifier type) const;

  const int m_frameSize;
  const Scales m_scales;
  // The data message every frame becomes, built once by the packet setters (so its item layout
  // is theirs): counter, acceleration, rate of turn, strapdown increments (double values) and
  // status word; bus id 0xFF, id 0x36. Only values change from frame to frame.
  ZtDataPacket m_template;
  size_t m_counterAt = 0, m_accelerationAt = 0, m_rateAt = 0, m_deltaQAt = 0, m_deltaVAt = 0, m_statusAt = 0;
  const uint8_t* m_templateBytes = nullptr;  // its bytes (the template never changes once built)
  size_t m_templateSize = 0;                 // their count
  size_t m_payloadAt = 0;                    // offset of its payload
};

}  // namespace imar
