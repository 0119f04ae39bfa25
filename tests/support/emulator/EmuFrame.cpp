#include "support/emulator/EmuFrame.h"

#include <cstring>

namespace zelto::test {

std::vector<uint8_t> EmuFrame::encode() const {
  std::vector<uint8_t> out;
  out.reserve(payload.size() + 7);
  out.push_back(0xFA);
  out.push_back(busId);
  out.push_back(messageId);
  if (payload.size() < 255) {
    out.push_back(static_cast<uint8_t>(payload.size()));
  } else {
    out.push_back(0xFF);
    out.push_back(static_cast<uint8_t>(payload.size() >> 8));
    out.push_back(static_cast<uint8_t>(payload.size()));
  }
  out.insert(out.end(), payload.begin(), payload.end());
  uint8_t sum = 0;
  for (size_t i = 1; i < out.size(); ++i) sum = static_cast<uint8_t>(sum + out[i]);
  out.push_back(static_cast<uint8_t>(0x100 - sum));
  return out;
}

void EmuFrameDecoder::feed(const uint8_t* data, size_t size) { m_buffer.insert(m_buffer.end(), data, data + size); }

std::optional<EmuFrame> EmuFrameDecoder::next() {
  size_t pos = 0;
  std::optional<EmuFrame> found;
  while (pos < m_buffer.size()) {
    if (m_buffer[pos] != 0xFA) {
      ++pos;
      continue;
    }
    const size_t avail = m_buffer.size() - pos;
    if (avail < 4) break;
    size_t header = 4;
    size_t length = m_buffer[pos + 3];
    if (length == 0xFF) {
      if (avail < 6) break;
      length = (size_t(m_buffer[pos + 4]) << 8) | m_buffer[pos + 5];
      header = 6;
    }
    const size_t total = header + length + 1;
    if (total > 8192) {
      ++pos;
      continue;
    }
    if (avail < total) break;
    uint8_t sum = 0;
    for (size_t i = 1; i < total; ++i) sum = static_cast<uint8_t>(sum + m_buffer[pos + i]);
    if (sum != 0) {
      ++pos;
      continue;
    }
    EmuFrame f;
    f.busId = m_buffer[pos + 1];
    f.messageId = m_buffer[pos + 2];
    f.payload.assign(m_buffer.begin() + long(pos + header), m_buffer.begin() + long(pos + header + length));
    found = std::move(f);
    pos += total;
    break;
  }
  m_buffer.erase(m_buffer.begin(), m_buffer.begin() + long(pos));
  return found;
}

void putU16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v >> 8));
  out.push_back(static_cast<uint8_t>(v));
}

void putU32(std::vector<uint8_t>& out, uint32_t v) {
  putU16(out, static_cast<uint16_t>(v >> 16));
  putU16(out, static_cast<uint16_t>(v));
}

void putValue(std::vector<uint8_t>& out, double value, uint32_t outputSettings) {
  if ((outputSettings & 0x300) == 0x300) {
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    putU32(out, static_cast<uint32_t>(bits >> 32));
    putU32(out, static_cast<uint32_t>(bits));
  } else {
    const float f = static_cast<float>(value);
    uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    putU32(out, bits);
  }
}

}  // namespace zelto::test
