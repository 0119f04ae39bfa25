#include "support/emulator/EmuFrame.h"

#include <cmath>
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

size_t valueSize(uint32_t outputSettings) {
  switch (outputSettings & 0x300) {
    case 0x200: return 6;
    case 0x300: return 8;
    default: return 4;
  }
}

void putValue(std::vector<uint8_t>& out, double value, uint32_t outputSettings) {
  uint64_t bits = 0;
  switch (outputSettings & 0x300) {
    case 0x000: {
      const float f = static_cast<float>(value);
      uint32_t b;
      std::memcpy(&b, &f, sizeof b);
      bits = b;
      break;
    }
    case 0x100:
      bits = static_cast<uint32_t>(static_cast<int32_t>(std::llround(std::ldexp(value, 20))));
      break;
    case 0x200:
      bits = static_cast<uint64_t>(std::llround(std::ldexp(value, 32)));
      break;
    default:
      std::memcpy(&bits, &value, sizeof bits);
      break;
  }
  for (size_t i = valueSize(outputSettings); i-- > 0;) out.push_back(static_cast<uint8_t>(bits >> (8 * i)));
}

double valueAt(const uint8_t* p, uint32_t outputSettings) {
  const size_t n = valueSize(outputSettings);
  uint64_t bits = 0;
  for (size_t i = 0; i < n; ++i) bits = (bits << 8) | p[i];
  switch (outputSettings & 0x300) {
    case 0x000: {
      const uint32_t b = static_cast<uint32_t>(bits);
      float f;
      std::memcpy(&f, &b, sizeof f);
      return f;
    }
    case 0x100:
      return std::ldexp(static_cast<double>(static_cast<int32_t>(static_cast<uint32_t>(bits))), -20);
    case 0x200: {
      // Sign-extend the 48 bits.
      const int64_t v = static_cast<int64_t>(bits << 16) >> 16;
      return std::ldexp(static_cast<double>(v), -32);
    }
    default: {
      double d;
      std::memcpy(&d, &bits, sizeof d);
      return d;
    }
  }
}

}  // namespace zelto::test
