#include "transport/imar/ImarProtocolHandler.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstring>
#include <stdexcept>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "transport/imar/ImarCrc.h"

namespace imar {

ImarProtocolHandler::ImarProtocolHandler(int frameSize, Scales scales) : m_frameSize(frameSize), m_scales(scales) {
  ZtDataPacket_construct(&m_template);
  double zeros[3] = {0.0, 0.0, 0.0};
  const ZtVector zero{zeros, 3, 0};
  ZtSdiData sdi{};
  sdi.orientationIncrement = ZtQuaternion{1.0, 0.0, 0.0, 0.0};
  ZtDataPacket_setPacketCounter8(&m_template, 0);
  ZtDataPacket_setCalibratedAcceleration(&m_template, &zero);
  ZtDataPacket_setCalibratedRateOfTurn(&m_template, &zero);
  ZtDataPacket_setSdiData(&m_template, &sdi);
  ZtDataPacket_setStatus(&m_template, 0);
  ZtMessage_setBusId(&m_template.message, ZTMESSAGE_MASTER_BUS_ID);
  ZtMessage_setMessageId(&m_template.message, ZTDATAPACKET_MESSAGE_ID);
  m_counterAt = valueOffset(ZDI_PacketCounter8);
  m_accelerationAt = valueOffset(ZDI_Acceleration);
  m_rateAt = valueOffset(ZDI_RateOfTurn);
  m_deltaQAt = valueOffset(ZDI_DeltaQ);
  m_deltaVAt = valueOffset(ZDI_DeltaV);
  m_statusAt = valueOffset(ZDI_StatusWord);
  m_templateBytes = ZtMessage_getMessageStart(&m_template.message);
  m_templateSize = ZtMessage_getTotalMessageSize(&m_template.message);
  m_payloadAt = static_cast<size_t>(ZtMessage_getDataBuffer(&m_template.message, 0) - m_templateBytes);
}

ImarProtocolHandler::~ImarProtocolHandler() { ZtDataPacket_destruct(&m_template); }

size_t ImarProtocolHandler::valueOffset(ZtDataIdentifier type) const {
  const ZtDataIdentifier id = ZtDataPacket_itemIdentifier(&m_template, type);
  const int32_t at = id ? ZtDataPacket_itemOffsetExact(&m_template, id) : -1;
  // The template was built by the setters above: every item is there.
  if (at < 0) throw std::logic_error("data packet template without its item");
  return static_cast<size_t>(at);
}

int ImarProtocolHandler::composeMessage(uint8_t*, const ZtMessage&) noexcept { return 0; }

namespace {

// Series coefficients in t = h^2: (-1)^k / (2k)! for cos(h), (-1)^k / (2k + 1)! for sin(h) / h.
constexpr std::array<double, 8> seriesCoefficients(int odd) {
  std::array<double, 8> c{};
  double factorial = 1;
  for (int k = 0; k < 8; ++k) {
    if (k > 0) factorial *= (2 * k - 1 + odd) * (2 * k + odd);
    c[static_cast<size_t>(k)] = (k % 2 ? -1.0 : 1.0) / factorial;
  }
  return c;
}
constexpr std::array<double, 8> kCos = seriesCoefficients(0);
constexpr std::array<double, 8> kSin = seriesCoefficients(1);

}  // namespace

void ImarProtocolHandler::helical(const double v[3], double q[4]) noexcept {
  const double squared = v[0] * v[0] + v[1] * v[1] + v[2] * v[2];
  // Below 1e-16 rad the quaternion class gives the identity.
  if (squared < 1e-32) {
    q[0] = 1.0;
    q[1] = q[2] = q[3] = 0.0;
    return;
  }
  if (squared < kSeriesAngle * kSeriesAngle) {
    // cos(h) and sin(h) / h for the half angle h, as series in t = h^2 < 1/4 (Horner); the
    // first terms left out are below 1e-18.
    const double t = squared / 4;
    double c = kCos[7], s = kSin[7];
    for (int k = 6; k >= 0; --k) {
      c = kCos[static_cast<size_t>(k)] + t * c;
      s = kSin[static_cast<size_t>(k)] + t * s;
    }
    // sin(h) / |v| = s / 2.
    q[0] = c;
    for (int k = 0; k < 3; ++k) q[k + 1] = v[k] * (s / 2);
    return;
  }
  const double length = std::sqrt(squared);
  const double inv = 1.0 / length;
  const double s = std::sin(length / 2);
  const double sign = std::cos(length / 2) < 0.0 ? -1.0 : 1.0;
  q[0] = sign * std::cos(length / 2);
  for (int k = 0; k < 3; ++k) q[k + 1] = sign * (v[k] * inv * s);
}

MessageLocation ImarProtocolHandler::findMessage(ZtMessage& message, const ZtByteArray& bytes) const {
  return findMessageIn(message, bytes.data, bytes.size);
}

MessageLocation ImarProtocolHandler::findMessageIn(ZtMessage& message, const uint8_t* data, size_t size) const {
  const MessageLocation at = locateFrame(data, size);
  if (at.size() <= 0) {
    ZtMessage_clear(&message);
    return at;
  }
  Increments increments;
  readFrame(data + at.start(), increments);
  buildMessage(increments, message);
  return at;
}

MessageLocation ImarProtocolHandler::locateFrame(const uint8_t* data, size_t size) const noexcept {
  if (!data || size == 0) return MessageLocation(-1, 0);
  const size_t n = std::min<size_t>(size, INT32_MAX);
  const size_t frameSize = static_cast<size_t>(m_frameSize);
  int32_t start = -1;
  int32_t awaited = 0;
  for (size_t i = 0; i < n; ++i) {
    const void* hit = std::memchr(data + i, kSync, n - i);
    if (!hit) break;
    i = static_cast<size_t>(static_cast<const uint8_t*>(hit) - data);
    const size_t rest = n - i;
    if (rest < static_cast<size_t>(kMinimumMessageSize)) {
      if (awaited != 0) return MessageLocation(start, awaited);
      return MessageLocation(static_cast<int32_t>(i), -kMinimumMessageSize);
    }
    if (data[i + 1] != kSync) continue;
    if (rest < frameSize) {
      if (awaited == 0) {
        start = static_cast<int32_t>(i);
        awaited = -m_frameSize;
      }
      continue;
    }
    // The CRC of the CRC range equals the carried one (high byte first) exactly when the CRC of
    // the whole frame is 0 (ImarCrc.h).
    if (crc16_0(data + i, frameSize) != 0) continue;
    return MessageLocation(static_cast<int32_t>(i), m_frameSize);
  }
  return awaited != 0 ? MessageLocation(start, awaited) : MessageLocation(-1, 0);
}

namespace {

// Writes Count doubles big-endian.
template <int Count>
void putDoubles(uint8_t* p, const double* values) {
#pragma GCC unroll 4
  for (int k = 0; k < Count; ++k) {
    uint64_t bits;
    std::memcpy(&bits, &values[k], sizeof bits);
    if constexpr (std::endian::native == std::endian::little) bits = __builtin_bswap64(bits);
    std::memcpy(p + 8 * k, &bits, sizeof bits);
  }
}

// The sum of n bytes, modulo 256.
uint8_t byteSum(const uint8_t* p, size_t n) {
  uint64_t sum = 0;
  size_t i = 0;
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  __m128i lanes = zero;
#pragma GCC unroll 8
  for (; i + 16 <= n; i += 16)
    lanes = _mm_add_epi64(lanes, _mm_sad_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i)), zero));
  sum = static_cast<uint64_t>(_mm_cvtsi128_si64(lanes)) +
        static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(lanes, lanes)));
#endif
  for (; i < n; ++i) sum += p[i];
  return static_cast<uint8_t>(sum);
}

}  // namespace

void ImarProtocolHandler::buildMessage(const Increments& in, ZtMessage& message) const {
  double rate[3], acc[3], angle[3], dv[3];
#pragma GCC unroll 3
  for (int k = 0; k < 3; ++k) {
    rate[k] = in.rotation[k] * m_scales.rateOfTurn;
    angle[k] = in.rotation[k] * m_scales.angle;
    acc[k] = in.velocity[k] * m_scales.acceleration;
    dv[k] = in.velocity[k] * m_scales.velocity;
  }
  double dq[4];
  helical(angle, dq);

  // The output is ours: its bytes are written in place. One of the template's size takes the
  // template's bytes straight into its storage (what a copy would do, without its bookkeeping);
  // any other is copied into.
  if (ZtMessage_getTotalMessageSize(&message) != m_templateSize) {
    ZtMessage_copy(&message, &m_template.message);
    if (ZtMessage_getTotalMessageSize(&message) != m_templateSize) return;  // no memory
  }
  auto* frame = const_cast<uint8_t*>(ZtMessage_getMessageStart(&message));
  std::memcpy(frame, m_templateBytes, m_templateSize);
  uint8_t* data = frame + m_payloadAt;
  data[m_counterAt] = in.counter;
  putDoubles<3>(data + m_accelerationAt, acc);
  putDoubles<3>(data + m_rateAt, rate);
  putDoubles<4>(data + m_deltaQAt, dq);
  putDoubles<3>(data + m_deltaVAt, dv);
  uint32_t status = in.status;
  if constexpr (std::endian::native == std::endian::little) status = __builtin_bswap32(status);
  std::memcpy(data + m_statusAt, &status, sizeof status);
  // The checksum makes the bytes after the preamble sum to 0.
  frame[m_templateSize - 1] = static_cast<uint8_t>(-byteSum(frame + 1, m_templateSize - 2));
}

}  // namespace imar
