#pragma once
// Builds log files for playback tests: the configuration message first (or wherever a test wants
// it), data and other messages, garbage between messages, stuck FA 00 00 candidates, wrong first
// bytes and truncated tails. Frames are made by the emulator's own encoder, not the library's.
//
//   LogFileBuilder b;
//   b.configuration(0x00345678).data(0).data(1).garbage({0x13, 0x37}).truncatedTail(7);
//   b.writeTo(dir.file("rec.zlog"));
//   // b.frames(): the complete messages a reader must deliver, in order
//
// Large files: appendTo(path) writes what was built so far and starts an empty buffer, so a
// 100 MB file is made in pieces; frameCount() keeps counting across pieces.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "support/emulator/EmuFrame.h"

namespace zelto::test {

class LogFileBuilder {
 public:
  // The Configuration message (0x0D): the 98-byte master part (master id at 0, device count at
  // 96) and 20 bytes per device (device id at the start of each record).
  static std::vector<uint8_t> configurationPayload(uint32_t masterId, const std::vector<uint32_t>& deviceIds = {});
  // The payload of a data message (0x36): the 16-bit packet counter item, then filler bytes.
  static std::vector<uint8_t> dataPayload(uint16_t counter, size_t filler = 0);

  LogFileBuilder& configuration(uint32_t masterId, const std::vector<uint32_t>& deviceIds = {});
  LogFileBuilder& message(const EmuFrame& frame);
  LogFileBuilder& message(uint8_t messageId, const std::vector<uint8_t>& payload = {}, uint8_t busId = 0xFF);
  LogFileBuilder& data(uint16_t counter, size_t filler = 0);
  // Bytes that are no message (they count as no frame).
  LogFileBuilder& garbage(const std::vector<uint8_t>& bytes);
  // FA 00 00 02 00 00 00 00: a candidate the finder skips without ever completing it.
  LogFileBuilder& stuckCandidate();
  // The first keep bytes of a data message (fewer than its total): a recording cut short.
  LogFileBuilder& truncatedTail(size_t keep);

  const std::vector<uint8_t>& bytes() const { return m_bytes; }
  // The complete messages built so far (since the last appendTo), in order.
  const std::vector<EmuFrame>& frames() const { return m_frames; }
  size_t frameCount() const { return m_frameCount; }

  bool writeTo(const std::string& path) const;
  // Appends the bytes to the file and empties the buffer and the frame list.
  bool appendTo(const std::string& path);

 private:
  std::vector<uint8_t> m_bytes;
  std::vector<EmuFrame> m_frames;
  size_t m_frameCount = 0;
};

}  // namespace zelto::test
