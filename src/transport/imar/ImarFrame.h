#pragma once
// One fixed-size frame of an outside inertial unit, with its CRC field. The frame starts with the
// sync pair 0x7E 0x7E; its data start at byte 4; the CRC covers bytes 0 to N - 3 and the frame
// carries it in its last two bytes, high byte first (see ImarCrc.h). The CRC field is the
// record's own copy: loading a frame fills it from the carried bytes, composing one (setDataBuffer,
// recomputeCrc) writes both. No virtual operations.
//
// The data accessors read big-endian values, as the record's callers expect; the units' own
// fields are little-endian and are read by the protocol handlers.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "transport/imar/ImarCrc.h"

namespace imar {

template <size_t N>
class ImarFrame {
 public:
  static constexpr size_t kTotalSize = N;
  static constexpr size_t kDataOffset = 4;
  static constexpr size_t kDataSize = N - kDataOffset;
  static constexpr size_t kCrcRange = N - 2;  // bytes 0 .. N - 3
  static_assert(N > kDataOffset + 2, "a frame holds its header, data and CRC");

  ImarFrame() noexcept { std::memset(m_bytes, 0, N); }
  // Copies N bytes.
  explicit ImarFrame(const uint8_t* bytes) noexcept { loadFromString(bytes); }
  ImarFrame(const ImarFrame&) noexcept = default;
  ImarFrame& operator=(const ImarFrame&) noexcept = default;

  static constexpr size_t getTotalMessageSize() noexcept { return N; }
  static constexpr size_t dataSize() noexcept { return kDataSize; }

  uint8_t getDataByte(size_t i) const noexcept { return m_bytes[kDataOffset + i]; }
  uint16_t getDataShort(size_t i) const noexcept {
    const uint8_t* p = constData(i);
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
  }
  float getDataFloat(size_t i) const noexcept {
    const uint8_t* p = constData(i);
    const uint32_t bits = uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
  }
  const uint8_t* constData(size_t i = 0) const noexcept { return m_bytes + kDataOffset + i; }
  uint8_t* getDataBuffer(size_t i = 0) noexcept { return m_bytes + kDataOffset + i; }
  const uint8_t* getMessageStart() const noexcept { return m_bytes; }
  const uint8_t* getConstHeader() const noexcept { return m_bytes; }

  // Copies count bytes to data offset offset (nothing for 0; a span past the CRC range is cut
  // to it) and recomputes the CRC.
  void setDataBuffer(const uint8_t* bytes, size_t count, size_t offset) noexcept {
    if (count == 0 || offset >= kCrcRange - kDataOffset) return;
    if (count > kCrcRange - kDataOffset - offset) count = kCrcRange - kDataOffset - offset;
    std::memcpy(m_bytes + kDataOffset + offset, bytes, count);
    recomputeCrc();
  }
  // The CRC of the range (bytes 0 .. N - 3) as the bytes are now.
  uint16_t computeCrc() const noexcept { return crc16_0(m_bytes, kCrcRange); }
  // The CRC of the range into the field and into the carried bytes.
  void recomputeCrc() noexcept {
    m_crc = computeCrc();
    m_bytes[N - 2] = static_cast<uint8_t>(m_crc >> 8);
    m_bytes[N - 1] = static_cast<uint8_t>(m_crc);
  }
  uint16_t crc() const noexcept { return m_crc; }
  bool isCrcOk() const noexcept { return m_crc == computeCrc(); }
  // Copies one frame (N bytes), takes its carried CRC into the field and tests it.
  bool loadFromString(const uint8_t* bytes) noexcept {
    std::memcpy(m_bytes, bytes, N);
    m_crc = static_cast<uint16_t>(m_bytes[N - 2] << 8 | m_bytes[N - 1]);
    return isCrcOk();
  }

 private:
  uint8_t m_bytes[N];
  uint16_t m_crc = 0;
};

}  // namespace imar
