#ifndef ZDA_TRANSPORT_NMEAPROTOCOLHANDLER_H
#define ZDA_TRANSPORT_NMEAPROTOCOLHANDLER_H

#include "foundation/NonIntrusiveSharedPointer.h"
#include "transport/zbus/IProtocolHandler.h"
#include "transport/nmea/NmeaIParser.h"
#include "zttypes/ztdatapacket.h"

namespace nmea {

// Reads NMEA-style sentences, TSS2 and EM1000 records as data messages: the first record found in
// the bytes becomes a 0x36 message (bus id 0xFF) holding the items its values map to.
//
// A record cut off by the end of the bytes is reported as awaited (negative size) so the link keeps
// it for the next read, unless it already runs longer than kMaximumAwaitedRecord.
//
// Not thread-safe: a search rebuilds the packet under construction and updates the parser.
class ProtocolHandler : public virtual ::IProtocolHandler, public virtual IParserObserver {
public:
  static constexpr int kMinimumMessageSize = 16;
  static constexpr int kMaximumMessageSize = 128;
  // Longest partial record kept waiting for more bytes. Above the nominal maximum because a PSONCMS
  // sentence with fourteen full-precision numbers is longer than 128 characters.
  static constexpr size_t kMaximumAwaitedRecord = 512;
  // Frame code of every orientation item: north-west-up.
  static constexpr int kOrientationFrame = 8;

  ProtocolHandler();
  ~ProtocolHandler() override;

  ProtocolHandler(const ProtocolHandler&) = delete;
  ProtocolHandler& operator=(const ProtocolHandler&) = delete;

  MessageLocation findMessage(ZtMessage& message, const ZtByteArray& bytes) const override;
  MessageLocation findMessageIn(ZtMessage& message, const uint8_t* data, size_t size) const override;
  int minimumMessageSize() const override { return kMinimumMessageSize; }
  int maximumMessageSize() const override { return kMaximumMessageSize; }
  ZtProtocolType type() const override { return ZPT_Nmea; }

  void onInitializeParse(const char* begin, const char* end) override;
  void onHCHDM(Number heading) override;
  void onHCHDG(Number heading, Number deviation, Flag deviationEast, Number variation, Flag variationEast) override;
  void onPHTRO(Number pitch, Flag bowUp, Number roll, Flag portUp) override;
  void onHCMTW(Number temperature) override;
  void onPRDID(Number pitch, Number roll, Number heading) override;
  void onPSONCMS(const PsoncmsFields& fields) override;
  void onTSS2(Number first, Number second, Number third, Number fourth) override;
  void onEM1000(Number first, Number second, Number third, Number fourth) override;
  void onHEHDT(Number heading) override;
  void onHEROT(Number rateOfTurn) override;

private:
  void setEuler(double roll, double pitch, double yaw);

  zelto::NonIntrusiveSharedPointer<IParser> m_parser;
  // Filled by the observer operations during a search; emptied at the start of every parse.
  ZtDataPacket m_packet;
};

}  // namespace nmea

#endif
