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
// Not thread-safe: a search rebuilds the packet under construction (the link's parse tasks run
// one at a time). No allocation once the packet has grown to its size.
#include <cstddef>
#include <cstdint>

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
  int minimumMessageSize() const override { return kMinimumMessageSize; }
  int maximumMessageSize() const override { return m_frameSize; }
  // The units take no requests: nothing is composed (0 bytes).
  static int composeMessage(uint8_t* out, const ZtMessage& message) noexcept;

 protected:
  // One frame's raw values: increments on the device axes (signs applied), counter and status.
  struct Increments {
    int32_t rotation[3];
    int32_t velocity[3];
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
  // Loads the frame at frame (frameSize bytes) into the unit's record and tests its CRC; on
  // success fills out.
  virtual bool readFrame(const uint8_t* frame, Increments& out) const = 0;

  // Little-endian fields of the units.
  static int32_t readLe32(const uint8_t* p) noexcept;
  static int32_t readLe24(const uint8_t* p) noexcept;  // sign-extended
  static uint16_t readLe16(const uint8_t* p) noexcept;

 private:
  // The data message of a good frame into message.
  void buildMessage(const Increments& increments, ZtMessage& message) const;

  const int m_frameSize;
  const Scales m_scales;
  mutable ZtDataPacket m_packet;  // rebuilt by each search
};

}  // namespace imar
