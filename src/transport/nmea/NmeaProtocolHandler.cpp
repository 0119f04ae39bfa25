#include "transport/nmea/NmeaProtocolHandler.h"

#include <algorithm>
#include <climits>
#include <numbers>

#include "transport/nmea/NmeaParser.h"

namespace nmea {

namespace {

double wrap(double angle) {
  if (angle > 180.0)
    return angle - 360.0;
  if (angle < -180.0)
    return angle + 360.0;
  return angle;
}

// The only bytes a record can start with ("$", ":" and the first EM1000 byte); the parser finds
// nothing at any other position, so the search never starts a parse there.
bool canStartRecord(uint8_t b) {
  return b == static_cast<uint8_t>(Common::PREAMBLE) || b == static_cast<uint8_t>(Common::PREAMBLE_TSS2) ||
         b == static_cast<uint8_t>(Common::PREAMBLE_EM1000);
}

void setVector(ZtDataPacket* packet, int (*setter)(ZtDataPacket*, const ZtVector*), double x, double y, double z) {
  double values[3] = {x, y, z};
  const ZtVector view{values, 3, 0};
  setter(packet, &view);
}

double orZero(Number n) { return n.valid ? n.value : 0.0; }

}  // namespace

ProtocolHandler::ProtocolHandler() : m_parser(new Parser) {
  ZtDataPacket_construct(&m_packet);
  m_parser->attachObserver(*this);
}

ProtocolHandler::~ProtocolHandler() {
  try {
    m_parser->detachObserver(*this);
  } catch (...) {
  }
  ZtDataPacket_destruct(&m_packet);
}

MessageLocation ProtocolHandler::findMessage(ZtMessage& message, const ZtByteArray& bytes) const {
  return findMessageIn(message, bytes.data, bytes.size);
}

MessageLocation ProtocolHandler::findMessageIn(ZtMessage& message, const uint8_t* data, size_t size) const {
  ZtMessage_clear(&message);
  if (!data || size == 0)
    return MessageLocation(-1, 0);
  const size_t n = std::min<size_t>(size, INT32_MAX);
  const char* end = reinterpret_cast<const char*>(data) + n;

  for (size_t p = 0; p < n; ++p) {
    if (!canStartRecord(data[p]))
      continue;
    const IParser::Result result = m_parser->parseMessage(reinterpret_cast<const char*>(data) + p, end);
    const size_t rest = n - p;
    if (m_parser->lastParseRanOut() && rest < kMaximumAwaitedRecord)
      return MessageLocation(static_cast<int32_t>(p), -static_cast<int32_t>(rest + 1));
    if (result.first && result.second > 0) {
      ZtMessage_copy(&message, &m_packet.message);
      ZtMessage_setBusId(&message, ZTMESSAGE_MASTER_BUS_ID);
      ZtMessage_setMessageId(&message, ZTDATAPACKET_MESSAGE_ID);
      return MessageLocation(static_cast<int32_t>(p), static_cast<int32_t>(result.second));
    }
  }
  return MessageLocation(-1, 0);
}

void ProtocolHandler::onInitializeParse(const char*, const char*) {
  // An item-less packet. Once the packet has a message it is emptied in place rather than freed:
  // the packet type builds a fresh message for an empty one, which would cost an allocation per
  // record.
  if (ZtMessage_empty(&m_packet.message) || ZtMessage_resizeData(&m_packet.message, 0) != 0)
    ZtDataPacket_clear(&m_packet);
  else
    ZtMessage_clear(&m_packet.original);
}

void ProtocolHandler::setEuler(double roll, double pitch, double yaw) {
  const ZtEuler euler{roll, pitch, yaw};
  ZtDataPacket_setOrientationEuler(&m_packet, &euler, kOrientationFrame);
}

void ProtocolHandler::onHCHDM(Number heading) {
  if (heading.valid)
    setEuler(0.0, 0.0, wrap(heading.value));
}

void ProtocolHandler::onHEHDT(Number heading) {
  if (heading.valid)
    setEuler(0.0, 0.0, wrap(heading.value));
}

void ProtocolHandler::onHCHDG(Number heading, Number, Flag, Number, Flag) {
  if (heading.valid)
    setEuler(0.0, 0.0, wrap(heading.value));
}

void ProtocolHandler::onPHTRO(Number pitch, Flag, Number roll, Flag) {
  if (pitch.valid && roll.valid)
    setEuler(wrap(roll.value), wrap(pitch.value), 0.0);
}

void ProtocolHandler::onPRDID(Number pitch, Number roll, Number heading) {
  if (pitch.valid && roll.valid && heading.valid)
    setEuler(wrap(roll.value), wrap(pitch.value), wrap(heading.value));
}

void ProtocolHandler::onTSS2(Number first, Number, Number third, Number fourth) {
  if (first.valid && third.valid && fourth.valid)
    setEuler(third.value / 100.0, fourth.value / 100.0, wrap(first.value / 100.0));
}

void ProtocolHandler::onEM1000(Number first, Number second, Number, Number fourth) {
  if (first.valid && second.valid && fourth.valid)
    setEuler(first.value / 100.0, -(second.value / 100.0), wrap(fourth.value / 100.0));
}

void ProtocolHandler::onHEROT(Number rateOfTurn) {
  // Degrees per minute, clockwise positive, to radians per second about the up axis.
  if (rateOfTurn.valid)
    setVector(&m_packet, ZtDataPacket_setCalibratedRateOfTurn, 0.0, 0.0, -(rateOfTurn.value / 60.0) * std::numbers::pi / 180.0);
}

void ProtocolHandler::onHCMTW(Number temperature) {
  if (temperature.valid)
    ZtDataPacket_setTemperature(&m_packet, temperature.value);
}

void ProtocolHandler::onPSONCMS(const PsoncmsFields& f) {
  if (f[0].valid && f[1].valid && f[2].valid && f[3].valid) {
    const ZtQuaternion q{f[0].value, f[1].value, f[2].value, f[3].value};
    ZtDataPacket_setOrientationQuaternion(&m_packet, &q, kOrientationFrame);
  }
  setVector(&m_packet, ZtDataPacket_setCalibratedAcceleration, orZero(f[4]), orZero(f[5]), orZero(f[6]));
  setVector(&m_packet, ZtDataPacket_setCalibratedRateOfTurn, orZero(f[7]), orZero(f[8]), orZero(f[9]));
  setVector(&m_packet, ZtDataPacket_setCalibratedMagneticField, orZero(f[10]), orZero(f[11]), orZero(f[12]));
  ZtDataPacket_setTemperature(&m_packet, orZero(f[13]));
}

}  // namespace nmea
