// NMEA protocol handler: records become 0x36 data messages; cut-off records are awaited; sentences
// and Zbus messages share one link.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <numbers>
#include <string>
#include <vector>

#include "support/ZtValues.h"
#include "transport/nmea/NmeaProtocolHandler.h"
#include "transport/zbus/ProtocolHandler.h"
#include "transport/zbus/ProtocolManager.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::string sentence(const std::string& body) {
  unsigned cs = 0;
  for (char c : body)
    cs ^= static_cast<unsigned char>(c);
  char hex[3];
  std::snprintf(hex, sizeof hex, "%02X", cs);
  return "$" + body + "*" + hex + "\r\n";
}

Bytes bytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

// A data packet over a copy of a found message.
struct Packet {
  ZtDataPacket p;
  explicit Packet(const ZtMessage& m) {
    ZtDataPacket_construct(&p);
    ZtDataPacket_setMessage(&p, &m);
  }
  ~Packet() { ZtDataPacket_destruct(&p); }
  ZtEuler euler() const {
    ZtEuler e{};
    ZtDataPacket_orientationEuler(&p, 0, &e);
    return e;
  }
  std::vector<double> vector(ZtVector* (*get)(const ZtDataPacket*, ZtVector*)) const {
    double values[3] = {};
    ZtVector view{values, 3, 0};
    get(&p, &view);
    return {values[0], values[1], values[2]};
  }
};

using zelto::test::Message;
class NmeaHandlerTest : public testing::Test {
protected:
  nmea::ProtocolHandler handler;
  Message out;

  MessageLocation find(const Bytes& b) { return handler.findMessageIn(out.m, b.data(), b.size()); }
  MessageLocation find(const std::string& s) { return find(bytes(s)); }
};

TEST_F(NmeaHandlerTest, Constants) {
  EXPECT_EQ(handler.minimumMessageSize(), 16);
  EXPECT_EQ(handler.maximumMessageSize(), 128);
  EXPECT_EQ(handler.type(), ZPT_Nmea);
  EXPECT_EQ(find(Bytes{}), MessageLocation(-1, 0));
  EXPECT_EQ(find("no record in here\r\n"), MessageLocation(-1, 0));
}

TEST_F(NmeaHandlerTest, GarbageThenSentenceGivesDataMessage) {
  const std::string hehdt = sentence("HEHDT,123.4,T");
  EXPECT_EQ(find("abc\x01\x02" + hehdt), MessageLocation(5, static_cast<int32_t>(hehdt.size())));
  EXPECT_EQ(ZtMessage_getMessageId(&out.m), 0x36);
  EXPECT_EQ(ZtMessage_getBusId(&out.m), 0xFF);
  EXPECT_TRUE(ZtMessage_isChecksumOk(&out.m));
  Packet packet(out.m);
  EXPECT_EQ(ZtDataPacket_orientationFrame(&packet.p), 8);
  EXPECT_DOUBLE_EQ(packet.euler().yaw, 123.4);
  EXPECT_DOUBLE_EQ(packet.euler().roll, 0.0);
}

struct OrientationCase {
  const char* name;
  std::string record;
  double roll, pitch, yaw;
};

class Orientation : public NmeaHandlerTest, public testing::WithParamInterface<OrientationCase> {};

TEST_P(Orientation, MapsToEulerAngles) {
  const OrientationCase& c = GetParam();
  ASSERT_EQ(find(c.record), MessageLocation(0, static_cast<int32_t>(c.record.size())));
  Packet packet(out.m);
  ASSERT_TRUE(ZtDataPacket_containsOrientationEuler(&packet.p));
  EXPECT_NEAR(packet.euler().roll, c.roll, 1e-9);
  EXPECT_NEAR(packet.euler().pitch, c.pitch, 1e-9);
  EXPECT_NEAR(packet.euler().yaw, c.yaw, 1e-9);
}

INSTANTIATE_TEST_SUITE_P(
    Records, Orientation,
    testing::Values(OrientationCase{"HCHDMWraps", sentence("HCHDM,270.0,M"), 0, 0, -90},
                    OrientationCase{"HEHDT", sentence("HEHDT,45.5,T"), 0, 0, 45.5},
                    OrientationCase{"HCHDG", sentence("HCHDG,181.0,1.0,E,2.0,W"), 0, 0, -179},
                    OrientationCase{"PHTRO", sentence("PHTRO,10.0,M,-20.0,T"), -20, 10, 0},
                    OrientationCase{"PRDIDWrapsUp", "$PRDID,1.5,-2.5,-190.0\r\n", -2.5, 1.5, 170},
                    OrientationCase{"PRDIDWithChecksum", sentence("PRDID,1.5,-2.5,-190.0"), -2.5, 1.5, 170},
                    OrientationCase{"HEHDTBlankSign", sentence("HEHDT, 045.5,T"), 0, 0, 45.5},
                    OrientationCase{"TSS2", ":18100 -250A  500\t-300F\r\n", 5, -3, -179},
                    OrientationCase{"EM1000", std::string("\x00\x90\x64\x00\xF4\x01\x00\x00\x28\x23", 10), 1, -5,
                                    90}),
    [](const testing::TestParamInfo<OrientationCase>& info) { return std::string(info.param.name); });

TEST_F(NmeaHandlerTest, RateOfTurnAndTemperature) {
  ASSERT_GT(find(sentence("HEROT,60.0,T")).size(), 0);
  {
    Packet packet(out.m);
    EXPECT_FALSE(ZtDataPacket_containsOrientation(&packet.p));
    const auto rot = packet.vector(ZtDataPacket_calibratedRateOfTurn);
    EXPECT_DOUBLE_EQ(rot[0], 0.0);
    EXPECT_DOUBLE_EQ(rot[1], 0.0);
    EXPECT_NEAR(rot[2], -std::numbers::pi / 180.0, 1e-12);
  }
  ASSERT_GT(find(sentence("HCMTW,-4.25,C")).size(), 0);
  Packet packet(out.m);
  EXPECT_DOUBLE_EQ(ZtDataPacket_temperature(&packet.p), -4.25);
  EXPECT_FALSE(ZtDataPacket_containsCalibratedRateOfTurn(&packet.p));  // nothing carried over
}

// A source that reports its rate invalid, or has no heading, sends a data message without the item.
TEST_F(NmeaHandlerTest, ReportedInvalidValuesSetNothing) {
  for (const std::string& record : {sentence("HEROT,60.0,V"), std::string("$HCHDM,,*4A\r\n")}) {
    SCOPED_TRACE(record);
    ASSERT_EQ(find(record), MessageLocation(0, static_cast<int32_t>(record.size())));
    EXPECT_EQ(ZtMessage_getMessageId(&out.m), 0x36);
    Packet packet(out.m);
    EXPECT_FALSE(ZtDataPacket_containsOrientation(&packet.p));
    EXPECT_FALSE(ZtDataPacket_containsCalibratedRateOfTurn(&packet.p));
  }
  ASSERT_GT(find("$HEROT, 026.7,A*08\r\n").size(), 0);
  Packet packet(out.m);
  EXPECT_NEAR(packet.vector(ZtDataPacket_calibratedRateOfTurn)[2], -(26.7 / 60.0) * std::numbers::pi / 180.0, 1e-12);
}

TEST_F(NmeaHandlerTest, PsoncmsFullAndWithEmptyQuaternionField) {
  ASSERT_GT(find(sentence("PSONCMS,0.5,0.5,0.5,0.5,1,2,3,4,5,6,7,8,9,30.5")).size(), 0);
  {
    Packet packet(out.m);
    ZtQuaternion q{};
    ASSERT_TRUE(ZtDataPacket_containsOrientationQuaternion(&packet.p));
    ZtDataPacket_orientationQuaternion(&packet.p, 0, &q);
    EXPECT_DOUBLE_EQ(q.w, 0.5);
    EXPECT_DOUBLE_EQ(q.z, 0.5);
    EXPECT_EQ(packet.vector(ZtDataPacket_calibratedAcceleration), (std::vector<double>{1, 2, 3}));
    EXPECT_EQ(packet.vector(ZtDataPacket_calibratedRateOfTurn), (std::vector<double>{4, 5, 6}));
    EXPECT_EQ(packet.vector(ZtDataPacket_calibratedMagneticField), (std::vector<double>{7, 8, 9}));
    EXPECT_DOUBLE_EQ(ZtDataPacket_temperature(&packet.p), 30.5);
  }
  ASSERT_GT(find(sentence("PSONCMS,1,,0,0,1,,3,4,5,6,7,8,9,")).size(), 0);
  Packet packet(out.m);
  EXPECT_FALSE(ZtDataPacket_containsOrientation(&packet.p));
  EXPECT_EQ(packet.vector(ZtDataPacket_calibratedAcceleration), (std::vector<double>{1, 0, 3}));
  EXPECT_TRUE(ZtDataPacket_containsCalibratedMagneticField(&packet.p));
  EXPECT_TRUE(ZtDataPacket_containsTemperature(&packet.p));
  EXPECT_DOUBLE_EQ(ZtDataPacket_temperature(&packet.p), 0.0);
}

TEST_F(NmeaHandlerTest, UnknownOrBrokenRecordsGiveEmptyDataMessages) {
  EXPECT_EQ(find(sentence("GPGGA,1,2,3")), MessageLocation(0, 7));
  EXPECT_EQ(ZtMessage_getMessageId(&out.m), 0x36);
  EXPECT_EQ(ZtMessage_dataSize(&out.m), 0u);
  EXPECT_EQ(find("$HEHDT,123.4,T*00\r\n"), MessageLocation(0, 17));
  EXPECT_EQ(ZtMessage_dataSize(&out.m), 0u);
}

// A record cut off by the end of the bytes is awaited from its start, so a link keeps it.
TEST_F(NmeaHandlerTest, CutOffRecordIsAwaited) {
  const std::string hehdt = sentence("HEHDT,123.4,T");
  for (size_t cut = 1; cut < hehdt.size(); ++cut) {
    const std::string part = "xy" + hehdt.substr(0, cut);
    const MessageLocation loc = find(part);
    EXPECT_EQ(loc.start(), 2) << cut;
    EXPECT_LT(loc.size(), 0) << cut;
    EXPECT_GE(-loc.size(), static_cast<int32_t>(cut + 1)) << cut;
  }
  // Far longer than any record: handled as before (a consumed, item-less message).
  const std::string endless = "$HEHDT," + std::string(600, '1');
  EXPECT_EQ(find(endless), MessageLocation(0, static_cast<int32_t>(endless.size())));
}

// Garbage costs a byte test per position: the parser (and the packet reset it triggers) runs only
// where a record can start.
TEST(NmeaHandlerCost, ParsesOnlyWhereARecordCanStart) {
  struct Counting : nmea::ProtocolHandler {
    int parses = 0;
    void onInitializeParse(const char* b, const char* e) override {
      ++parses;
      nmea::ProtocolHandler::onInitializeParse(b, e);
    }
  } handler;
  std::string garbage(4000, 'x');
  for (size_t i = 0; i < garbage.size(); i += 7)
    garbage[i] = static_cast<char>('A' + i % 26);
  garbage[100] = '$';  // followed by no name
  garbage[300] = '\0';  // followed by no 0x90
  garbage += "\r\n";
  Message out;
  EXPECT_EQ(handler.findMessageIn(out.m, reinterpret_cast<const uint8_t*>(garbage.data()), garbage.size()),
            MessageLocation(-1, 0));
  EXPECT_EQ(handler.parses, 2);
}

struct AcceptAll : IMessageValidator {
  bool sanityCheck(const ZtMessage&) const override { return true; }
};

// A link's loop over the protocol manager: keep what follows the first live candidate.
struct Link {
  AcceptAll validator;
  ProtocolManager manager{validator};
  Bytes buffer;
  std::vector<Bytes> messages;
  Message msg;

  Link() {
    manager.add(new ProtocolHandler);
    manager.add(new nmea::ProtocolHandler);
  }
  void feed(const uint8_t* data, size_t size) {
    buffer.insert(buffer.end(), data, data + size);
    size_t offset = 0;
    for (;;) {
      const MessageLocation loc = manager.findMessage(msg.m, buffer.data() + offset, buffer.size() - offset);
      if (loc.size() > 0) {
        const uint8_t* p = ZtMessage_getMessageStart(&msg.m);
        messages.emplace_back(p, p + ZtMessage_getTotalMessageSize(&msg.m));
        offset += loc.start() + loc.size();
        continue;
      }
      offset = loc.start() < 0 ? buffer.size() : offset + loc.start();
      break;
    }
    buffer.erase(buffer.begin(), buffer.begin() + offset);
  }
};

Bytes zbus(uint8_t id, uint8_t fill, size_t payload) {
  ZtMessage m;
  ZtMessage_constructSized(&m, payload);
  ZtMessage_setMessageId(&m, id);
  for (size_t i = 0; i < payload; ++i)
    ZtMessage_setDataByte(&m, fill, i);
  const uint8_t* p = ZtMessage_getMessageStart(&m);
  Bytes out(p, p + ZtMessage_getTotalMessageSize(&m));
  ZtMessage_destruct(&m);
  return out;
}

// Sentences and Zbus messages on one link, the stream split into two reads at every position:
// every message comes out once, in order, with its values.
TEST(NmeaOnALink, MixedWithZbusSplitAtEveryPosition) {
  // Zbus frames whose bytes hold none of "$", ":" or 0 (which could start an NMEA record).
  const Bytes z1 = zbus(0x31, 0x41, 3), z2 = zbus(0x36, 0x42, 30);
  for (const Bytes* z : {&z1, &z2})
    for (uint8_t b : *z)
      ASSERT_TRUE(b != '$' && b != ':' && b != 0);
  const std::string s1 = sentence("HEHDT,10.0,T"), s2 = sentence("HCHDM,20.0,M");
  const std::string s3(":3000 0A0 0F\r\n");
  Bytes stream = z1;
  for (const Bytes& part : {bytes(s1), bytes("garbage "), z2, bytes(s2), bytes(s3), z1})
    stream.insert(stream.end(), part.begin(), part.end());

  for (size_t cut = 0; cut <= stream.size(); ++cut) {
    Link link;
    link.feed(stream.data(), cut);
    link.feed(stream.data() + cut, stream.size() - cut);
    ASSERT_EQ(link.messages.size(), 6u) << "cut at " << cut;
    EXPECT_EQ(link.messages[0], z1);
    EXPECT_EQ(link.messages[2], z2);
    EXPECT_EQ(link.messages[5], z1);
    const double yaws[] = {10.0, 20.0, 30.0};
    const size_t at[] = {1, 3, 4};
    for (int i = 0; i < 3; ++i) {
      ZtMessage m;
      ZtMessage_construct(&m);
      ASSERT_TRUE(ZtMessage_load(&m, link.messages[at[i]].size(), link.messages[at[i]].data()));
      Packet packet(m);
      EXPECT_DOUBLE_EQ(packet.euler().yaw, yaws[i]) << "cut at " << cut << " message " << at[i];
      ZtMessage_destruct(&m);
    }
  }
}

}  // namespace

// Zbus frames full of zero bytes beside sentences. A read that ends on a zero byte leaves the NMEA
// handler awaiting an EM1000 header there; that must not make the link drop the head of the Zbus
// frame that is still arriving in front of it.
TEST(NmeaOnALink, ZbusFramesWithZeroBytesSplitAtEveryPosition) {
  const Bytes z = zbus(0x36, 0x00, 40);
  for (uint8_t b : z)
    ASSERT_TRUE(b != '$' && b != ':' && b != 0x90);
  const std::string s = sentence("HEHDT,10.0,T");
  Bytes stream = z;
  for (const Bytes& part : {bytes(s), z, z})
    stream.insert(stream.end(), part.begin(), part.end());

  for (size_t cut = 0; cut <= stream.size(); ++cut) {
    Link link;
    link.feed(stream.data(), cut);
    link.feed(stream.data() + cut, stream.size() - cut);
    ASSERT_EQ(link.messages.size(), 4u) << "cut at " << cut;
    EXPECT_EQ(link.messages[0], z) << "cut at " << cut;
    EXPECT_EQ(link.messages[2], z) << "cut at " << cut;
    EXPECT_EQ(link.messages[3], z) << "cut at " << cut;
  }
}

Bytes zbus(uint8_t id, const Bytes& payload) {
  ZtMessage m;
  ZtMessage_constructSized(&m, payload.size());
  ZtMessage_setMessageId(&m, id);
  ZtMessage_setDataBuffer(&m, payload.data(), payload.size(), 0);
  const uint8_t* p = ZtMessage_getMessageStart(&m);
  Bytes out(p, p + ZtMessage_getTotalMessageSize(&m));
  ZtMessage_destruct(&m);
  return out;
}

// Zbus frames whose payloads hold whole NMEA-style records (a TSS2 record, an EM1000 record, a
// correct HEHDT sentence). While such a frame is still arriving, the records inside its received
// part must not be cut out of it: the frame comes out whole once its last byte is there, and the
// records inside it never come out on their own.
TEST(NmeaOnALink, RecordsInsideAZbusFrameStayInIt) {
  const std::string hehdt = sentence("HEHDT,77.0,T");
  Bytes a = bytes("ab:1200 3A400 500F\r\ncd");
  Bytes b{0x00, 0x90, 0x10, 0x00, 0x20, 0x00, 0x30, 0x00, 0x40, 0x00};
  b.insert(b.end(), hehdt.begin(), hehdt.end());
  const Bytes za = zbus(0x36, a), zb = zbus(0x36, b);
  const std::string s1 = sentence("HEHDT,10.0,T"), s2 = sentence("HCHDM,20.0,M");
  Bytes stream;
  for (const Bytes& part : {bytes(s1), za, bytes(s2), za, zb, bytes(s1)})
    stream.insert(stream.end(), part.begin(), part.end());

  for (size_t cut = 0; cut <= stream.size(); ++cut) {
    Link link;
    link.feed(stream.data(), cut);
    link.feed(stream.data() + cut, stream.size() - cut);
    ASSERT_EQ(link.messages.size(), 6u) << "cut at " << cut;
    EXPECT_EQ(link.messages[1], za) << "cut at " << cut;
    EXPECT_EQ(link.messages[3], za) << "cut at " << cut;
    EXPECT_EQ(link.messages[4], zb) << "cut at " << cut;
    const double yaws[] = {10.0, 20.0, 10.0};
    const size_t at[] = {0, 2, 5};
    for (int i = 0; i < 3; ++i) {
      Message m;
      ASSERT_TRUE(ZtMessage_load(&m.m, link.messages[at[i]].size(), link.messages[at[i]].data()));
      Packet packet(m.m);
      EXPECT_DOUBLE_EQ(packet.euler().yaw, yaws[i]) << "cut at " << cut << " message " << at[i];
    }
  }
}
