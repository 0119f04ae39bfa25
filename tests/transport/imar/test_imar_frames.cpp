// The outside units' frames: CRC, frame records, the frame search of both handlers (awaited
// sizes, junk, stray sync bytes, corrupt frames, streams cut anywhere) and the decoded values.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "math/Quaternion.h"
#include "support/AllocationCounter.h"
#include "support/emulator/ImarFrameGenerator.h"
#include "transport/imar/FsasMessage.h"
#include "transport/imar/FsasProtocolHandler.h"
#include "transport/imar/IFogMessage.h"
#include "transport/imar/IFogProtocolHandler.h"
#include "transport/imar/ImarCrc.h"
#include "zttypes/ztdatapacket.h"

namespace zelto::test {
namespace {

using Bytes = std::vector<uint8_t>;
using Unit = ImarFrameGenerator::Unit;

struct Found {
  ZtMessage m;
  Found() { ZtMessage_construct(&m); }
  ~Found() { ZtMessage_destruct(&m); }
};

struct Packet {
  ZtDataPacket p;
  explicit Packet(const ZtMessage& m) {
    ZtDataPacket_construct(&p);
    ZtDataPacket_setMessage(&p, &m);
  }
  ~Packet() { ZtDataPacket_destruct(&p); }
};

std::unique_ptr<imar::ImarProtocolHandler> handlerFor(Unit unit) {
  if (unit == Unit::Fsas) return std::make_unique<imar::FsasProtocolHandler>();
  return std::make_unique<imar::IFogProtocolHandler>();
}

ImarFrameGenerator::Sample sampleOf(uint8_t counter, std::array<int32_t, 3> rot, std::array<int32_t, 3> vel,
                                    uint32_t status) {
  ImarFrameGenerator::Sample s;
  s.counter = counter;
  for (int k = 0; k < 3; ++k) {
    s.rotation[k] = rot[k];
    s.velocity[k] = vel[k];
  }
  s.status = status;
  return s;
}

void expectDecoded(Unit unit, const ZtMessage& m, const ImarFrameGenerator::Sample& s) {
  EXPECT_EQ(ZtMessage_getMessageId(&m), 0x36);
  EXPECT_EQ(ZtMessage_getBusId(&m), 0xFF);
  EXPECT_TRUE(ZtMessage_isChecksumOk(&m));
  Packet packet(m);
  const ZtDataPacket* p = &packet.p;
  // The 8-bit counter goes into its own item, never into the 16-bit one.
  ASSERT_TRUE(ZtDataPacket_containsPacketCounter8(p));
  EXPECT_FALSE(ZtDataPacket_containsPacketCounter(p));
  EXPECT_EQ(ZtDataPacket_packetCounter8(p), s.counter);
  EXPECT_EQ(ZtDataPacket_status(p), s.status);
  const ImarFrameGenerator::Expected e = ImarFrameGenerator::expected(unit, s);
  double acc[3], gyr[3];
  ZtVector accV{acc, 3, 0}, gyrV{gyr, 3, 0};
  ASSERT_TRUE(ZtDataPacket_containsCalibratedAcceleration(p));
  ASSERT_TRUE(ZtDataPacket_containsCalibratedRateOfTurn(p));
  ZtDataPacket_calibratedAcceleration(p, &accV);
  ZtDataPacket_calibratedRateOfTurn(p, &gyrV);
  ZtSdiData sdi;
  ASSERT_TRUE(ZtDataPacket_containsSdiData(p));
  ZtDataPacket_sdiData(p, &sdi);
  const double theta = std::sqrt(e.angle[0] * e.angle[0] + e.angle[1] * e.angle[1] + e.angle[2] * e.angle[2]);
  // The quaternion of a turn beyond half a revolution is given with w >= 0 (the same rotation).
  const double sign = std::cos(theta / 2) < 0 ? -1.0 : 1.0;
  const double w = sign * std::cos(theta / 2), f = sign * (theta > 0 ? std::sin(theta / 2) / theta : 0.5);
  EXPECT_NEAR(sdi.orientationIncrement.w, w, 1e-15);
  for (int k = 0; k < 3; ++k) {
    EXPECT_NEAR(acc[k], e.acceleration[k], 1e-12 * (1 + std::fabs(e.acceleration[k]))) << k;
    EXPECT_NEAR(gyr[k], e.rateOfTurn[k], 1e-12 * (1 + std::fabs(e.rateOfTurn[k]))) << k;
    EXPECT_NEAR(sdi.velocityIncrement[k], e.velocity[k], 1e-15) << k;
  }
  EXPECT_NEAR(sdi.orientationIncrement.x, e.angle[0] * f, 1e-15);
  EXPECT_NEAR(sdi.orientationIncrement.y, e.angle[1] * f, 1e-15);
  EXPECT_NEAR(sdi.orientationIncrement.z, e.angle[2] * f, 1e-15);
}

TEST(ImarCrc, CheckValueEmptyInputAndResidue) {
  const std::string check = "123456789";
  EXPECT_EQ(imar::crc16_0(reinterpret_cast<const uint8_t*>(check.data()), check.size()), 0x31C3);
  EXPECT_EQ(imar::crc16_0(nullptr, 0), 0);
  uint16_t running = 0;
  for (char c : check) running = imar::crcByte0(running, static_cast<uint8_t>(c));
  EXPECT_EQ(running, 0x31C3);
  // Every length, by tables or by carry-less multiplication (16 to 71 bytes where the processor
  // has it), equals the byte-by-byte CRC, for a pattern and for random bytes.
  std::vector<uint8_t> data(100);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 37 + 11);
  std::mt19937 rng(5);
  for (int round = 0; round < 50; ++round) {
    for (size_t n = 0; n <= data.size(); ++n) {
      uint16_t bytewise = 0;
      for (size_t i = 0; i < n; ++i) bytewise = imar::crcByte0(bytewise, data[i]);
      ASSERT_EQ(imar::crc16_0(data.data(), n), bytewise) << n << " round " << round;
      if (round == 0) {
        EXPECT_EQ(imar::crc16_0(data.data(), n), ImarFrameGenerator::crc(data.data(), n)) << n;
      }
    }
    for (auto& b : data) b = static_cast<uint8_t>(rng());
  }
  // A whole frame, its CRC high byte first, has CRC 0: the byte order of the carried CRC.
  for (Unit unit : {Unit::Fsas, Unit::IFog}) {
    const Bytes f = ImarFrameGenerator::encode(unit, sampleOf(7, {1, -2, 3}, {-4, 5, -6}, 0x12345678));
    EXPECT_EQ(imar::crc16_0(f.data(), f.size()), 0);
  }
}

TEST(ImarFrame, RecordsLoadTestAndComposeFrames) {
  const auto s = sampleOf(200, {100000, -200000, 300000}, {-1, 2, -3}, 0xCAFE0001);
  Bytes f = ImarFrameGenerator::encode(Unit::Fsas, s);
  imar::FsasMessage fsas;
  EXPECT_EQ(imar::FsasMessage::getTotalMessageSize(), 41u);
  EXPECT_EQ(imar::FsasMessage::dataSize(), 37u);
  EXPECT_TRUE(fsas.loadFromString(f.data()));
  EXPECT_EQ(fsas.getDataByte(0), 200);
  EXPECT_EQ(fsas.getMessageStart()[0], 0x7E);
  // Big-endian accessors over little-endian wire fields: 100000 = 0x000186A0.
  EXPECT_EQ(fsas.getDataShort(4), 0xA086);
  EXPECT_EQ(fsas.crc(), (f[39] << 8) | f[40]);
  // computeCrc covers bytes 0 to N - 3 only: the carried CRC plays no part in it.
  for (Unit unit : {Unit::Fsas, Unit::IFog}) {
    Bytes frame = ImarFrameGenerator::encode(unit, s);
    const size_t range = frame.size() - 2;
    const auto computed = [&] {
      return unit == Unit::Fsas ? imar::FsasMessage(frame.data()).computeCrc() : imar::IFogMessage(frame.data()).computeCrc();
    };
    EXPECT_EQ(computed(), ImarFrameGenerator::crc(frame.data(), range));
    frame[range] ^= 0x5A;
    frame[range + 1] ^= 0xA5;
    EXPECT_EQ(computed(), ImarFrameGenerator::crc(frame.data(), range));
  }
  // A record composed byte for byte carries the same CRC as the generator's frame.
  imar::FsasMessage composed;
  composed.getDataBuffer(0)[-4] = 0x7E;
  composed.getDataBuffer(0)[-3] = 0x7E;
  composed.setDataBuffer(f.data() + 4, 35, 0);
  EXPECT_TRUE(composed.isCrcOk());
  EXPECT_EQ(0, std::memcmp(composed.getMessageStart(), f.data(), f.size()));
  // One changed byte inside the range or in the carried CRC fails the test.
  for (size_t at : {size_t{0}, size_t{4}, size_t{33}, size_t{38}, size_t{39}, size_t{40}}) {
    Bytes bad = f;
    bad[at] ^= 0x10;
    EXPECT_FALSE(imar::FsasMessage(bad.data()).isCrcOk()) << at;
  }
  const Bytes g = ImarFrameGenerator::encode(Unit::IFog, s);
  imar::IFogMessage ifog(g.data());
  EXPECT_TRUE(ifog.isCrcOk());
  EXPECT_EQ(imar::IFogMessage::dataSize(), 35u);
  imar::IFogMessage copy(ifog);
  EXPECT_EQ(0, std::memcmp(copy.getMessageStart(), g.data(), g.size()));
  EXPECT_EQ(imar::IFogMessage().getDataByte(0), 0);
}

// The handlers' helical rule is the numerics library's, to the last bits: on both sides of the
// border between the power series and the sine and cosine, and over a sweep of turns from 1e-15
// rad to twice the border in a few directions.
TEST(ImarHandlers, HelicalRuleMatchesTheQuaternionClass) {
  std::vector<std::array<double, 3>> cases = {{0, 0, 0},        {1e-17, 0, 0},   {1e-9, -2e-9, 3e-9},
                                              {0.001, 0.002, -0.003}, {0.3, -0.4, 0.5}, {0.5773, -0.5773, 0.5773},
                                              {0.5774, 0.5774, -0.5774}, {M_PI, 0, 0}, {0, -4.0, 1.0},
                                              {-7.5, 2.25, 0.5}, {1e3, -2e3, 3e3}};
  const double border = imar::ImarProtocolHandler::kSeriesAngle;
  for (double angle = 1e-15; angle < 2 * border; angle *= 1.37)
    for (const auto& axis : {std::array<double, 3>{1, 0, 0}, {0.6, -0.8, 0}, {-0.48, 0.6, 0.64}})
      cases.push_back({angle * axis[0], angle * axis[1], angle * axis[2]});
  for (const auto& v : cases) {
    double q[4];
    imar::ImarProtocolHandler::helical(v.data(), q);
    double copy[3] = {v[0], v[1], v[2]};
    const ZtVector view{copy, 3, 0};
    zelto::Quaternion expected;
    expected.isHelical(view);
    EXPECT_DOUBLE_EQ(q[0], expected.w) << v[0] << " " << v[1] << " " << v[2];
    EXPECT_DOUBLE_EQ(q[1], expected.x);
    EXPECT_DOUBLE_EQ(q[2], expected.y);
    EXPECT_DOUBLE_EQ(q[3], expected.z);
  }
}

TEST(ImarHandlers, Properties) {
  imar::FsasProtocolHandler fsas;
  imar::IFogProtocolHandler ifog;
  EXPECT_EQ(fsas.type(), ZPT_ImarFsas);
  EXPECT_EQ(ifog.type(), ZPT_ImarIFog);
  EXPECT_EQ(fsas.minimumMessageSize(), 4);
  EXPECT_EQ(ifog.minimumMessageSize(), 4);
  EXPECT_EQ(fsas.maximumMessageSize(), 41);
  EXPECT_EQ(ifog.maximumMessageSize(), 39);
  Found m;
  uint8_t out[64];
  EXPECT_EQ(imar::ImarProtocolHandler::composeMessage(out, m.m), 0);
}

TEST(ImarHandlers, SearchTable) {
  for (Unit unit : {Unit::Fsas, Unit::IFog}) {
    const int32_t n = static_cast<int32_t>(ImarFrameGenerator::frameSize(unit));
    const Bytes good = ImarFrameGenerator::encode(unit, sampleOf(9, {1, 2, 3}, {4, 5, 6}, 7));
    Bytes corrupt = good;
    corrupt[10] ^= 1;
    const auto cat = [](std::initializer_list<Bytes> parts) {
      Bytes b;
      for (const Bytes& p : parts) b.insert(b.end(), p.begin(), p.end());
      return b;
    };
    const Bytes head(good.begin(), good.begin() + 20);
    const struct {
      const char* name;
      Bytes bytes;
      int32_t start, size;
    } cases[] = {
        {"empty", {}, -1, 0},
        {"a pair and one byte awaits 4", {0x7E, 0x7E, 0x00}, 0, -4},
        {"a pair and two bytes awaits the frame", {0x7E, 0x7E, 0x01, 0x02}, 0, -n},
        {"a lone 0x7E and another byte is skipped", {0x7E, 0x00, 0x11, 0x22, 0x33}, -1, 0},
        {"junk only", Bytes(100, 0x55), -1, 0},
        {"a lone 0x7E at the end awaits 4", {0x01, 0x02, 0x03, 0x04, 0x7E}, 4, -4},
        {"junk then a frame", cat({Bytes(13, 0x33), good}), 13, n},
        {"a stray 0x7E then a frame", cat({{0x7E, 0x01, 0x02}, good}), 3, n},
        {"a corrupt frame then a frame", cat({corrupt, good}), n, n},
        {"a corrupt frame then a cut frame: the cut one is awaited", cat({corrupt, head}), n, -n},
        {"a stray 0x7E then a cut frame", cat({{0x09, 0x7E, 0x44}, head}), 3, -n},
        {"a cut frame then a lone 0x7E near the end", cat({Bytes(head.begin(), head.begin() + 10), {0x7E, 0x00}}), 0,
         -n},
    };
    auto handler = handlerFor(unit);
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(unit == Unit::Fsas ? "FSAS: " : "iFOG: ") + c.name);
      Found m;
      ZtByteArray array = IProtocolHandler::byteArrayView(c.bytes.data(), c.bytes.size());
      const MessageLocation at = handler->findMessage(m.m, array);
      EXPECT_EQ(at.start(), c.start);
      EXPECT_EQ(at.size(), c.size);
      EXPECT_EQ(ZtMessage_empty(&m.m) != 0, c.size <= 0);
      if (c.size > 0) expectDecoded(unit, m.m, sampleOf(9, {1, 2, 3}, {4, 5, 6}, 7));
    }
  }
}

TEST(ImarHandlers, DecodedValuesAtTheFieldLimits) {
  const ImarFrameGenerator::Sample fsasCases[] = {
      sampleOf(0, {0, 0, 0}, {0, 0, 0}, 0),
      sampleOf(255, {INT32_MAX, INT32_MIN + 1, -1}, {INT32_MIN + 1, INT32_MAX, 1}, 0xFFFFFFFF),
      sampleOf(128, {576000, -576000 * 2, 57600}, {1 << 20, -(1 << 19), 12345}, 0x80000001),
      // A negated field of -2^31 is +2^31, not -2^31 again.
      sampleOf(3, {INT32_MIN, INT32_MIN, INT32_MIN}, {INT32_MIN, INT32_MIN, INT32_MIN}, 0),
  };
  const ImarFrameGenerator::Sample ifogCases[] = {
      sampleOf(0, {0, 0, 0}, {0, 0, 0}, 0),
      // 24-bit extremes and -1: sign extension.
      sampleOf(255, {8388607, -8388608, -1}, {-8388608, 8388607, 1}, 0xFFFFFFFF),
      sampleOf(77, {36000, -72000, 3600}, {1 << 16, -(1 << 15), -12345}, 0x0001FFFE),
  };
  imar::FsasProtocolHandler fsas;
  imar::IFogProtocolHandler ifog;
  for (const auto& s : fsasCases) {
    const Bytes f = ImarFrameGenerator::encode(Unit::Fsas, s);
    Found m;
    ASSERT_EQ(fsas.findMessageIn(m.m, f.data(), f.size()), MessageLocation(0, 41));
    expectDecoded(Unit::Fsas, m.m, s);
  }
  for (const auto& s : ifogCases) {
    const Bytes f = ImarFrameGenerator::encode(Unit::IFog, s);
    Found m;
    ASSERT_EQ(ifog.findMessageIn(m.m, f.data(), f.size()), MessageLocation(0, 39));
    expectDecoded(Unit::IFog, m.m, s);
  }
  // One degree per second about the device's x axis: the FSAS sends -2880 in its second field.
  Found m;
  const Bytes f = ImarFrameGenerator::encode(Unit::Fsas, sampleOf(1, {0, -2880, 0}, {0, 0, 0}, 0));
  ASSERT_TRUE(fsas.findMessageIn(m.m, f.data(), f.size()).isComplete());
  Packet packet(m.m);
  double gyr[3];
  ZtVector v{gyr, 3, 0};
  ZtDataPacket_calibratedRateOfTurn(&packet.p, &v);
  EXPECT_NEAR(gyr[0], M_PI / 180.0, 1e-15);
  EXPECT_EQ(gyr[1], 0.0);
  EXPECT_EQ(gyr[2], 0.0);
}

// A stream of good frames with junk, stray sync bytes and corrupt frames between them, fed in
// pieces the way the link does (keep the awaited candidate, drop what lies before a find): every
// good frame comes out once, in order, and nothing else.
TEST(ImarHandlers, StreamCutAnywhereKeepsEveryGoodFrame) {
  for (Unit unit : {Unit::Fsas, Unit::IFog}) {
    SCOPED_TRACE(unit == Unit::Fsas ? "FSAS" : "iFOG");
    ImarFrameGenerator gen(unit, nullptr);
    Bytes stream;
    std::vector<uint8_t> counters;
    for (int i = 0; i < 120; ++i) {
      switch (i % 6) {
        case 1: stream.insert(stream.end(), {0x7E, 0x01, 0x7E}); break;
        case 2: {
          Bytes bad = gen.encode(unit, gen.sample(1000 + i));
          bad[bad.size() - 1] ^= 0xFF;
          stream.insert(stream.end(), bad.begin(), bad.end());
          break;
        }
        case 4: stream.insert(stream.end(), {0x7E, 0x7E, 0x00}); break;  // a pair with no frame
        default: break;
      }
      const Bytes f = gen.takeFrame();
      counters.push_back(f[4]);
      stream.insert(stream.end(), f.begin(), f.end());
    }
    auto handler = handlerFor(unit);
    for (size_t piece : {size_t{1}, size_t{5}, size_t{38}, size_t{64}, size_t{1000}}) {
      Bytes buffer;
      size_t fed = 0;
      std::vector<uint8_t> got;
      Found m;
      for (;;) {
        const MessageLocation at = handler->findMessageIn(m.m, buffer.data(), buffer.size());
        if (at.isComplete()) {
          got.push_back(buffer[at.start() + 4]);
          buffer.erase(buffer.begin(), buffer.begin() + at.start() + at.size());
          continue;
        }
        if (at.start() > 0) buffer.erase(buffer.begin(), buffer.begin() + at.start());
        if (at.start() < 0) buffer.clear();
        if (fed == stream.size()) break;
        const size_t take = std::min(piece, stream.size() - fed);
        buffer.insert(buffer.end(), stream.begin() + static_cast<long>(fed), stream.begin() + static_cast<long>(fed + take));
        fed += take;
      }
      EXPECT_EQ(got, counters) << "pieces of " << piece;
    }
  }
}

TEST(ImarHandlers, ASearchAllocatesNothingOnceWarm) {
  imar::FsasProtocolHandler handler;
  ImarFrameGenerator gen(Unit::Fsas, nullptr);
  Bytes stream;
  for (int i = 0; i < 50; ++i) {
    const Bytes f = gen.takeFrame();
    stream.insert(stream.end(), f.begin(), f.end());
  }
  Found m;
  ASSERT_TRUE(handler.findMessageIn(m.m, stream.data(), stream.size()).isComplete());
  AllocationCounter counter;
  for (size_t at = 41; at < stream.size(); at += 41)
    ASSERT_TRUE(handler.findMessageIn(m.m, stream.data() + at, stream.size() - at).isComplete());
  EXPECT_EQ(counter.count(), 0u);
}

}  // namespace
}  // namespace zelto::test
