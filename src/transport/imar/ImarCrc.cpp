#include "transport/imar/ImarCrc.h"

#include <array>
#include <bit>
#include <cstring>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define ZDA_IMAR_CLMUL 1
#endif

namespace imar {

namespace {

constexpr uint32_t kPolynomial = 0x11021;  // x^16 + x^12 + x^5 + 1

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

// The running crc carried through length more bytes.
uint16_t tableCrc(uint16_t crc, const uint8_t* bytes, size_t length) noexcept {
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

#ifdef ZDA_IMAR_CLMUL

// Carry-less multiplication for inputs of 16 to 8 * kClmulChunks + 7 bytes (the units' frames
// are 39 and 41). With the bytes read as one polynomial M (first bit highest) and P the
// generator, the CRC is M x^16 mod P. M is cut from its end into m whole 8-byte chunks c_i and a
// head of fewer than 8 bytes: M = head x^(64 m) + sum of c_i x^(64 (m - 1 - i)). Each piece is
// multiplied by its power of x mod P and the (at most 79-bit) sum folded once more into a 64-bit
// T congruent to M; the CRC of T's eight bytes is the CRC of M, taken by one table step.
constexpr size_t kClmulChunks = 8;

// x^(64 k) mod P for k <= kClmulChunks.
constexpr std::array<uint64_t, kClmulChunks + 1> makeChunkConstants() {
  std::array<uint64_t, kClmulChunks + 1> c{};
  uint32_t r = 1;
  for (size_t k = 0; k < c.size(); ++k) {
    c[k] = r;
    for (int bit = 0; bit < 64; ++bit) {
      r <<= 1;
      if (r & 0x10000) r ^= kPolynomial;
    }
  }
  return c;
}

constexpr std::array<uint64_t, kClmulChunks + 1> kChunk = makeChunkConstants();

uint64_t loadBe64(const uint8_t* p) noexcept {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
  return v;
}

__attribute__((target("pclmul,sse2"))) __m128i clmul(uint64_t a, uint64_t b) noexcept {
  return _mm_clmulepi64_si128(_mm_cvtsi64_si128(static_cast<long long>(a)),
                              _mm_cvtsi64_si128(static_cast<long long>(b)), 0x00);
}

__attribute__((target("pclmul,sse2"))) uint16_t clmulCrc(const uint8_t* bytes, size_t length) noexcept {
  const size_t m = length / 8;
  const size_t h = length % 8;
  // The head: the first h bytes of the (in-range) first eight.
  __m128i sum = h ? clmul(loadBe64(bytes) >> (64 - 8 * h), kChunk[m]) : _mm_setzero_si128();
  const uint8_t* chunk = bytes + h;
  for (size_t i = 0; i + 1 < m; ++i, chunk += 8) sum = _mm_xor_si128(sum, clmul(loadBe64(chunk), kChunk[m - 1 - i]));
  const uint64_t high = static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sum, sum)));
  const uint64_t t = static_cast<uint64_t>(_mm_cvtsi128_si64(sum)) ^ loadBe64(chunk) ^
                     static_cast<uint64_t>(_mm_cvtsi128_si64(clmul(high, kChunk[1])));
  return static_cast<uint16_t>(kTables[7][t >> 56] ^ kTables[6][(t >> 48) & 0xFF] ^ kTables[5][(t >> 40) & 0xFF] ^
                               kTables[4][(t >> 32) & 0xFF] ^ kTables[3][(t >> 24) & 0xFF] ^
                               kTables[2][(t >> 16) & 0xFF] ^ kTables[1][(t >> 8) & 0xFF] ^ kTables[0][t & 0xFF]);
}

const bool kHasClmul = __builtin_cpu_supports("pclmul");

#endif

}  // namespace

uint16_t crcByte0(uint16_t crc, uint8_t byte) noexcept {
  return static_cast<uint16_t>((crc << 8) ^ kTables[0][static_cast<uint8_t>((crc >> 8) ^ byte)]);
}

uint16_t crc16_0(const uint8_t* bytes, size_t length) noexcept {
#ifdef ZDA_IMAR_CLMUL
  if (length >= 16 && length < 8 * (kClmulChunks + 1) && kHasClmul) return clmulCrc(bytes, length);
#endif
  return tableCrc(0, bytes, length);
}

}  // namespace imar
