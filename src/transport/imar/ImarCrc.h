#pragma once
// The checksum of the outside inertial units' frames: CRC-16 with polynomial 0x1021, initial value
// 0, no reflection and no final XOR. Because nothing is reflected or XORed, the CRC of a frame
// followed by its own CRC, high byte first, is 0. Inputs of 16 to 71 bytes (whole frames) are
// taken by carry-less multiplication where the processor has it; everything else by tables.
#include <cstddef>
#include <cstdint>

namespace imar {

// One byte into the running crc.
uint16_t crcByte0(uint16_t crc, uint8_t byte) noexcept;
// The CRC of length bytes (0 for length 0).
uint16_t crc16_0(const uint8_t* bytes, size_t length) noexcept;

}  // namespace imar
