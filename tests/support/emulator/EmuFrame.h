#pragma once
// The emulator's own Zbus frame encoder and decoder. Deliberately independent of the library's
// framing code so that tests compare two implementations.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace zelto::test {

struct EmuFrame {
  uint8_t busId = 0xFF;
  uint8_t messageId = 0;
  std::vector<uint8_t> payload;

  // FA bus mid len [ext hi lo] payload checksum; the checksum makes bytes 1..end sum to 0.
  std::vector<uint8_t> encode() const;
};

// Accumulates bytes and yields complete frames with a correct checksum, skipping garbage.
class EmuFrameDecoder {
 public:
  void feed(const uint8_t* data, size_t size);
  // Next complete frame, or nothing when more bytes are needed.
  std::optional<EmuFrame> next();
  size_t pending() const { return m_buffer.size(); }

 private:
  std::vector<uint8_t> m_buffer;
};

// Big-endian helpers for payload building.
void putU16(std::vector<uint8_t>& out, uint16_t v);
void putU32(std::vector<uint8_t>& out, uint32_t v);
// A value of a legacy data message in the form of the output settings' 0x300 bits, big-endian:
// 0x000 a float, 0x100 fixed point with 20 fraction bits in 4 bytes, 0x200 fixed point with 32
// fraction bits in 6 bytes (two's complement), 0x300 a double. Fixed point rounds to the
// nearest step; values outside the form's range are not emulated.
size_t valueSize(uint32_t outputSettings);
void putValue(std::vector<uint8_t>& out, double value, uint32_t outputSettings);
// The value at p in that form.
double valueAt(const uint8_t* p, uint32_t outputSettings);

}  // namespace zelto::test
