#include "support/emulator/ImarFrameGenerator.h"

#include <chrono>
#include <cmath>

namespace zelto::test {

namespace {

void putLe(std::vector<uint8_t>& f, size_t offset, uint32_t value, int bytes) {
  for (int b = 0; b < bytes; ++b) f[offset + b] = static_cast<uint8_t>(value >> (8 * b));
}

}  // namespace

ImarFrameGenerator::ImarFrameGenerator(Unit unit, std::unique_ptr<EmulatorLink> link)
    : m_unit(unit), m_link(std::move(link)) {}

uint16_t ImarFrameGenerator::crc(const uint8_t* bytes, size_t size) {
  uint16_t c = 0;
  for (size_t i = 0; i < size; ++i) {
    c ^= static_cast<uint16_t>(bytes[i] << 8);
    for (int bit = 0; bit < 8; ++bit) c = static_cast<uint16_t>(c & 0x8000 ? (c << 1) ^ 0x1021 : c << 1);
  }
  return c;
}

std::vector<uint8_t> ImarFrameGenerator::encode(Unit unit, const Sample& s) {
  const size_t n = frameSize(unit);
  std::vector<uint8_t> f(n, 0);
  f[0] = f[1] = 0x7E;
  f[4] = s.counter;
  if (unit == Unit::Fsas) {
    for (int k = 0; k < 3; ++k) {
      putLe(f, 8 + 4 * k, static_cast<uint32_t>(s.rotation[k]), 4);
      putLe(f, 20 + 4 * k, static_cast<uint32_t>(s.velocity[k]), 4);
    }
  } else {
    for (int k = 0; k < 3; ++k) {
      putLe(f, 5 + 3 * k, static_cast<uint32_t>(s.rotation[k]), 3);
      putLe(f, 14 + 3 * k, static_cast<uint32_t>(s.velocity[k]), 3);
    }
  }
  putLe(f, 32, s.status >> 16, 2);
  putLe(f, 34, s.status & 0xFFFF, 2);
  const uint16_t c = crc(f.data(), n - 2);
  f[n - 2] = static_cast<uint8_t>(c >> 8);
  f[n - 1] = static_cast<uint8_t>(c);
  return f;
}

ImarFrameGenerator::Expected ImarFrameGenerator::expected(Unit unit, const Sample& s) {
  const double deg = M_PI / 180.0;
  const bool fsas = unit == Unit::Fsas;
  const double rate = fsas ? deg / 2880.0 : deg / 180.0;
  const double angle = fsas ? deg / 576000.0 : deg / 36000.0;
  const double acc = fsas ? 10.0 * std::ldexp(1.0, -19) : 10.0 * std::ldexp(1.0, -15);
  const double vel = fsas ? 0.1 * std::ldexp(1.0, -20) : 0.1 * std::ldexp(1.0, -16);
  // Device axes: (-second, +third, -first) of the wire order, for both units.
  const double r[3] = {-static_cast<double>(s.rotation[1]), static_cast<double>(s.rotation[2]),
                       -static_cast<double>(s.rotation[0])};
  const double v[3] = {-static_cast<double>(s.velocity[1]), static_cast<double>(s.velocity[2]),
                       -static_cast<double>(s.velocity[0])};
  Expected e;
  for (int k = 0; k < 3; ++k) {
    e.rateOfTurn[k] = r[k] * rate;
    e.angle[k] = r[k] * angle;
    e.acceleration[k] = v[k] * acc;
    e.velocity[k] = v[k] * vel;
  }
  return e;
}

ImarFrameGenerator::Sample ImarFrameGenerator::sample(uint64_t index) const {
  Sample s;
  s.counter = static_cast<uint8_t>(m_startCounter + index);
  const int32_t i = static_cast<int32_t>(index % 4000);
  // Within +-2^23 so that the iFOG's 24-bit fields hold them too.
  s.rotation[0] = 1000 * i - 2000000;
  s.rotation[1] = -37 * i + 5000;
  const int32_t j = i % 1000;
  s.rotation[2] = 3 * j * j - 7000000 + 1;
  s.velocity[0] = -500 * i + 1000000;
  s.velocity[1] = 11 * i - 123456;
  s.velocity[2] = 8000000 - 2000 * i;
  s.status = 0x00A5005Au ^ static_cast<uint32_t>(index);
  return s;
}

std::vector<uint8_t> ImarFrameGenerator::takeFrame() { return encode(m_unit, sample(m_next++)); }

bool ImarFrameGenerator::send(size_t n) {
  std::vector<uint8_t> bytes;
  bytes.reserve(n * frameSize(m_unit));
  for (size_t i = 0; i < n; ++i) {
    const std::vector<uint8_t> f = takeFrame();
    bytes.insert(bytes.end(), f.begin(), f.end());
  }
  return m_link->write(bytes.data(), bytes.size());
}

bool ImarFrameGenerator::sendRaw(const std::vector<uint8_t>& bytes) { return m_link->write(bytes.data(), bytes.size()); }

bool ImarFrameGenerator::sendRaw(const std::vector<uint8_t>& bytes, const std::vector<size_t>& pieces,
                                 std::chrono::milliseconds gap) {
  return m_link->writeInPieces(bytes.data(), bytes.size(), pieces, gap);
}

size_t ImarFrameGenerator::drainReceived(int waitMs) {
  size_t total = 0;
  uint8_t buffer[256];
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  for (;;) {
    const int n = m_link->read(buffer, sizeof buffer, until);
    if (n > 0) {
      total += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 || std::chrono::steady_clock::now() >= until) return total;
  }
}

}  // namespace zelto::test
