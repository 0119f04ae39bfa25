#include "transport/imar/ImarCrc.h"

#include <array>

namespace imar {

namespace {

// kTables[0] is the byte table; kTables[k][x] is kTables[k - 1][x] carried through one more zero
// byte, i.e. the CRC contribution of a byte k places before the end of an 8-byte slice.
using Tables = std::array<std::array<uint16_t, 256>, 8>;

constexpr Tables makeTables() {
  Tables t{};
  for (unsigned i = 0; i < 256; ++i) {
    uint16_t crc = static_cast<uint16_t>(i << 8);
    for (int bit = 0; bit < 8; ++bit) crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
    t[0][i] = crc;
  }
  for (size_t k = 1; k < t.size(); ++k)
    for (unsigned i = 0; i < 256; ++i) {
      const uint16_t prev = t[k - 1][i];
      t[k][i] = static_cast<uint16_t>((prev << 8) ^ t[0][prev >> 8]);
    }
  return t;
}

constexpr Tables kTables = makeTables();

}  // namespace

uint16_t crcByte0(uint16_t crc, uint8_t byte) noexcept {
  return static_cast<uint16_t>((crc << 8) ^ kTables[0][static_cast<uint8_t>((crc >> 8) ^ byte)]);
}

uint16_t crc16_0(const uint8_t* bytes, size_t length) noexcept {
  uint16_t crc = 0;
  // Eight bytes per step (then four): the running CRC enters through the first two, each byte
  // through the table of its distance from the slice's end.
  for (; length >= 8; bytes += 8, length -= 8) {
    const uint16_t head = static_cast<uint16_t>(crc ^ (bytes[0] << 8 | bytes[1]));
    crc = static_cast<uint16_t>(kTables[7][head >> 8] ^ kTables[6][head & 0xFF] ^ kTables[5][bytes[2]] ^
                                kTables[4][bytes[3]] ^ kTables[3][bytes[4]] ^ kTables[2][bytes[5]] ^
                                kTables[1][bytes[6]] ^ kTables[0][bytes[7]]);
  }
  if (length >= 4) {
    const uint16_t head = static_cast<uint16_t>(crc ^ (bytes[0] << 8 | bytes[1]));
    crc = static_cast<uint16_t>(kTables[3][head >> 8] ^ kTables[2][head & 0xFF] ^ kTables[1][bytes[2]] ^
                                kTables[0][bytes[3]]);
    bytes += 4;
    length -= 4;
  }
  for (; length > 0; ++bytes, --length) crc = crcByte0(crc, *bytes);
  return crc;
}

}  // namespace imar
