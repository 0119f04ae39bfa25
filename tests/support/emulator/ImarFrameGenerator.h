#pragma once
// The outside inertial units' side of a byte link (a pseudo-terminal master): it writes their
// fixed-size frames and answers nothing. Its own small encoder (not the library's): frames start
// with 0x7E 0x7E, carry the 8-bit counter at byte 4, the little-endian increments, the status
// halves at 32 (high) and 34 (low), and the CRC-16 (0x1021, initial 0) of all bytes before the
// last two in those two bytes, high byte first.
//
// Samples are made from the frame index by a fixed rule (sample(i)), so a test knows what every
// frame carried, and expected() gives what the library should report for a sample on the device
// axes with the units' scales. Not thread-safe: one test thread drives it.
#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include "support/emulator/DeviceEmulator.h"

namespace zelto::test {

class ImarFrameGenerator {
 public:
  enum class Unit { Fsas, IFog };

  // One frame's contents: the increments in wire order (the three values at their offsets).
  struct Sample {
    uint8_t counter = 0;
    int32_t rotation[3] = {0, 0, 0};
    int32_t velocity[3] = {0, 0, 0};
    uint32_t status = 0;
  };
  // What the library reports for a sample (device axes, SI units).
  struct Expected {
    double rateOfTurn[3];     // rad/s
    double acceleration[3];   // m/s^2
    double angle[3];          // rad, the increment's rotation vector
    double velocity[3];       // m/s
  };

  ImarFrameGenerator(Unit unit, std::unique_ptr<EmulatorLink> link);

  static size_t frameSize(Unit unit) { return unit == Unit::Fsas ? 41 : 39; }
  static std::vector<uint8_t> encode(Unit unit, const Sample& sample);
  static uint16_t crc(const uint8_t* bytes, size_t size);
  static Expected expected(Unit unit, const Sample& sample);
  // The sample of frame index i: counter (startCounter + i) mod 256, increments of both signs
  // that change with i (within 24 bits for the iFOG), status 0x00A5005A ^ i.
  Sample sample(uint64_t index) const;

  void setStartCounter(uint8_t counter) { m_startCounter = counter; }
  Unit unit() const { return m_unit; }
  uint64_t framesMade() const { return m_next; }

  // The next n frames back to back in one write; true when written.
  bool send(size_t n);
  // Any bytes (junk, a corrupt frame, a frame cut in two).
  bool sendRaw(const std::vector<uint8_t>& bytes);
  // The bytes in pieces of these sizes, then the rest, with gap between pieces.
  bool sendRaw(const std::vector<uint8_t>& bytes, const std::vector<size_t>& pieces, std::chrono::milliseconds gap);
  // The next frame's bytes without sending it (the index advances).
  std::vector<uint8_t> takeFrame();
  // Bytes the library wrote to the port, read for up to waitMs.
  size_t drainReceived(int waitMs);

 private:
  Unit m_unit;
  std::unique_ptr<EmulatorLink> m_link;
  uint64_t m_next = 0;
  uint8_t m_startCounter = 0;
};

}  // namespace zelto::test
