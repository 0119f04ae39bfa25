#include "transport/imar/ImarProtocolHandler.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <stdexcept>
#include <utility>

#include <cmath>

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
  // All checksummed bytes, less the value bytes that frames overwrite.
  const uint8_t* frame = ZtMessage_getMessageStart(&m_template.message);
  const size_t total = ZtMessage_getTotalMessageSize(&m_template.message);
  const uint8_t* data = ZtMessage_getDataBuffer(&m_template.message, 0);
  unsigned sum = 0;
  for (size_t i = 1; i + 1 < total; ++i) sum += frame[i];
  const std::pair<size_t, size_t> values[] = {{m_counterAt, 1}, {m_accelerationAt, 24}, {m_rateAt, 24},
                                              {m_deltaQAt, 32},  {m_deltaVAt, 24},       {m_statusAt, 4}};
  for (const auto& [at, size] : values)
    for (size_t i = 0; i < size; ++i) sum -= data[at + i];
  m_fixedSum = static_cast<uint8_t>(sum);
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

int32_t ImarProtocolHandler::readLe32(const uint8_t* p) noexcept {
  return static_cast<int32_t>(uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24);
}

int32_t ImarProtocolHandler::readLe24(const uint8_t* p) noexcept {
  const uint32_t u = uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16;
  return static_cast<int32_t>(u ^ 0x800000u) - 0x800000;
}

uint16_t ImarProtocolHandler::readLe16(const uint8_t* p) noexcept {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}

void ImarProtocolHandler::helical(const double v[3], double q[4]) noexcept {
  const double length = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
  if (length < 1e-16) {
    q[0] = 1.0;
    q[1] = q[2] = q[3] = 0.0;
    return;
  }
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
  ZtMessage_clear(&message);
  if (!data || size == 0) return MessageLocation(-1, 0);
  const size_t n = std::min<size_t>(size, INT32_MAX);
  const size_t frameSize = static_cast<size_t>(m_frameSize);
  int32_t start = -1;
  int32_t awaited = 0;
  Increments increments;
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
    if (!readFrame(data + i, increments)) continue;
    buildMessage(increments, message);
    return MessageLocation(static_cast<int32_t>(i), m_frameSize);
  }
  return awaited != 0 ? MessageLocation(start, awaited) : MessageLocation(-1, 0);
}

namespace {

constexpr uint64_t kEvenBytes = 0x00FF00FF00FF00FFull;

// Adds the bytes of x pairwise into four 16-bit lanes of lanes (room for 128 words).
void addBytes(uint64_t& lanes, uint64_t x) { lanes += (x & kEvenBytes) + ((x >> 8) & kEvenBytes); }

unsigned laneSum(uint64_t lanes) { return static_cast<unsigned>((lanes * 0x0001000100010001ull) >> 48); }

// Writes count doubles big-endian, adding their bytes into lanes.
void putDoubles(uint8_t* p, const double* values, int count, uint64_t& lanes) {
  for (int k = 0; k < count; ++k) {
    uint64_t bits;
    std::memcpy(&bits, &values[k], sizeof bits);
    bits = __builtin_bswap64(bits);
    std::memcpy(p + 8 * k, &bits, sizeof bits);
    addBytes(lanes, bits);
  }
}

}  // namespace

void ImarProtocolHandler::buildMessage(const Increments& in, ZtMessage& message) const {
  double rate[3], acc[3], angle[3], dv[3];
  for (int k = 0; k < 3; ++k) {
    rate[k] = in.rotation[k] * m_scales.rateOfTurn;
    angle[k] = in.rotation[k] * m_scales.angle;
    acc[k] = in.velocity[k] * m_scales.acceleration;
    dv[k] = in.velocity[k] * m_scales.velocity;
  }
  double dq[4];
  helical(angle, dq);

  ZtMessage_copy(&message, &m_template.message);
  // The output is ours: its payload and checksum are written in place.
  auto* data = const_cast<uint8_t*>(ZtMessage_getDataBuffer(&message, 0));
  if (!data) return;
  uint64_t lanes = 0;
  data[m_counterAt] = in.counter;
  putDoubles(data + m_accelerationAt, acc, 3, lanes);
  putDoubles(data + m_rateAt, rate, 3, lanes);
  putDoubles(data + m_deltaQAt, dq, 4, lanes);
  putDoubles(data + m_deltaVAt, dv, 3, lanes);
  const uint32_t status = __builtin_bswap32(in.status);
  std::memcpy(data + m_statusAt, &status, sizeof status);
  addBytes(lanes, status);
  const unsigned sum = m_fixedSum + in.counter + laneSum(lanes);
  auto* frame = const_cast<uint8_t*>(ZtMessage_getMessageStart(&message));
  frame[ZtMessage_getTotalMessageSize(&message) - 1] = static_cast<uint8_t>(-sum);
}

}  // namespace imar
