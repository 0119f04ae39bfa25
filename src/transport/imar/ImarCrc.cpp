#include "transport/imar/ImarCrc.h"

#include <array>

namespace imar {

namespace {

constexpr std::array<uint16_t, 256> makeTable() {
  std::array<uint16_t, 256> table{};
  for (unsigned i = 0; i < 256; ++i) {
    uint16_t crc = static_cast<uint16_t>(i << 8);
    for (int bit = 0; bit < 8; ++bit)
      crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
    table[i] = crc;
  }
  return table;
}

constexpr std::array<uint16_t, 256> kTable = makeTable();

}  // namespace

uint16_t crcByte0(uint16_t crc, uint8_t byte) noexcept {
  return static_cast<uint16_t>((crc << 8) ^ kTable[static_cast<uint8_t>((crc >> 8) ^ byte)]);
}

uint16_t crc16_0(const uint8_t* bytes, size_t length) noexcept {
  uint16_t crc = 0;
  for (size_t i = 0; i < length; ++i) crc = crcByte0(crc, bytes[i]);
  return crc;
}

}  // namespace imar
