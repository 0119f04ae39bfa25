#include "transport/imar/ImarProtocolHandler.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "math/Quaternion.h"

namespace imar {

ImarProtocolHandler::ImarProtocolHandler(int frameSize, Scales scales) : m_frameSize(frameSize), m_scales(scales) {
  ZtDataPacket_construct(&m_packet);
}

ImarProtocolHandler::~ImarProtocolHandler() { ZtDataPacket_destruct(&m_packet); }

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

void ImarProtocolHandler::buildMessage(const Increments& in, ZtMessage& message) const {
  // Emptied in place: the packet type builds a fresh message for an empty one, which would cost
  // an allocation per frame.
  if (ZtMessage_empty(&m_packet.message) || ZtMessage_resizeData(&m_packet.message, 0) != 0)
    ZtDataPacket_clear(&m_packet);
  else
    ZtMessage_clear(&m_packet.original);

  double rate[3], acc[3], angle[3], dv[3];
  for (int k = 0; k < 3; ++k) {
    rate[k] = in.rotation[k] * m_scales.rateOfTurn;
    angle[k] = in.rotation[k] * m_scales.angle;
    acc[k] = in.velocity[k] * m_scales.acceleration;
    dv[k] = in.velocity[k] * m_scales.velocity;
  }
  ZtDataPacket_setPacketCounter8(&m_packet, in.counter);
  const ZtVector accView{acc, 3, 0};
  ZtDataPacket_setCalibratedAcceleration(&m_packet, &accView);
  const ZtVector rateView{rate, 3, 0};
  ZtDataPacket_setCalibratedRateOfTurn(&m_packet, &rateView);
  zelto::Quaternion q;
  const ZtVector angleView{angle, 3, 0};
  q.isHelical(angleView);
  ZtSdiData sdi;
  sdi.orientationIncrement = q;
  std::copy(dv, dv + 3, sdi.velocityIncrement);
  ZtDataPacket_setSdiData(&m_packet, &sdi);
  ZtDataPacket_setStatus(&m_packet, in.status);

  ZtMessage_copy(&message, &m_packet.message);
  ZtMessage_setBusId(&message, ZTMESSAGE_MASTER_BUS_ID);
  ZtMessage_setMessageId(&message, ZTDATAPACKET_MESSAGE_ID);
}

}  // namespace imar
