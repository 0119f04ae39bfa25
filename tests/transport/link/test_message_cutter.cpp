// The message cutter on a clock the tests set: frames of every protocol a link reads (Zbus, NMEA
// beside Zbus, both outside units) whose first bytes and tails come in reads far apart, with the
// reader's silent rechecks in between, are all delivered, the same as when they come whole, and
// nothing wakes the reader for them; a false start followed by real frames delivers them within
// its bound, counted from when it was met.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "support/emulator/EmuFrame.h"
#include "support/emulator/ImarFrameGenerator.h"
#include "transport/imar/FsasProtocolHandler.h"
#include "transport/imar/IFogProtocolHandler.h"
#include "transport/link/MessageCutter.h"
#include "transport/link/MessageList.h"
#include "transport/nmea/NmeaProtocolHandler.h"
#include "transport/zbus/IMessageValidator.h"
#include "transport/zbus/ProtocolHandler.h"
#include "transport/zbus/ProtocolManager.h"

namespace cutter_pieces {
namespace {

using zelto::test::EmuFrame;
using zelto::test::ImarFrameGenerator;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kRate = 921600;  // the fastest line: the smallest bounds
constexpr uint64_t kT0 = 1000000;   // a monotonic time in ms

// A link with a master of three devices: bus ids 0xFF and 0 to 3.
struct ThreeDevices : IMessageValidator {
  bool sanityCheck(const ZtMessage& message) const override {
    const uint8_t busId = ZtMessage_getBusId(&message);
    return busId == 0xFF || busId <= 3;
  }
};

enum class Protocol { Zbus, Nmea, Fsas, IFog };

const char* nameOf(Protocol p) {
  switch (p) {
    case Protocol::Zbus: return "Zbus";
    case Protocol::Nmea: return "NMEA";
    case Protocol::Fsas: return "FSAS";
    case Protocol::IFog: return "iFOG";
  }
  return "?";
}

// The handlers of a link that reads the protocol: the NMEA handler beside the Zbus one (as a
// device enables it), an outside unit's alone (as its link is opened).
std::unique_ptr<ProtocolManager> managerFor(Protocol p, const IMessageValidator& link) {
  auto manager = std::make_unique<ProtocolManager>(link);
  switch (p) {
    case Protocol::Zbus: manager->add(new ProtocolHandler); break;
    case Protocol::Nmea:
      manager->add(new ProtocolHandler);
      manager->add(new nmea::ProtocolHandler);
      break;
    case Protocol::Fsas: manager->add(new imar::FsasProtocolHandler); break;
    case Protocol::IFog: manager->add(new imar::IFogProtocolHandler); break;
  }
  return manager;
}

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes nmeaSentence(const std::string& body) {
  unsigned sum = 0;
  for (char c : body) sum ^= static_cast<unsigned char>(c);
  char hex[3];
  std::snprintf(hex, sizeof hex, "%02X", sum);
  return text("$" + body + "*" + hex + "\r\n");
}

Bytes imarFrame(ImarFrameGenerator::Unit unit, uint8_t counter) {
  ImarFrameGenerator::Sample s;
  s.counter = counter;
  s.rotation[0] = 1000 + counter;
  s.velocity[2] = -2000;
  s.status = 0x5A;
  return ImarFrameGenerator::encode(unit, s);
}

// Frames of the protocol, each a whole record.
std::vector<Bytes> framesOf(Protocol p) {
  switch (p) {
    case Protocol::Zbus:
      return {EmuFrame{0xFF, 0x89, {0x64}}.encode(),                    // a bus master's battery reply
              EmuFrame{0x02, 0x36, Bytes(55, 0x21)}.encode(),           // a child's data
              EmuFrame{0xFF, 0x36, Bytes(300, 0xFA)}.encode()};         // extended, full of preambles
    case Protocol::Nmea:
      return {nmeaSentence("HEHDT,123.4,T"), nmeaSentence("HCHDM,270.0,M"),
              Bytes{0x00, 0x90, 0x10, 0x00, 0xF4, 0x01, 0x00, 0x00, 0x28, 0x23}};  // EM1000
    case Protocol::Fsas:
      return {imarFrame(ImarFrameGenerator::Unit::Fsas, 1), imarFrame(ImarFrameGenerator::Unit::Fsas, 2)};
    case Protocol::IFog:
      return {imarFrame(ImarFrameGenerator::Unit::IFog, 1), imarFrame(ImarFrameGenerator::Unit::IFog, 2)};
  }
  return {};
}

// A cutter with its buffer and a clock that only the test moves.
struct Cutting {
  explicit Cutting(ProtocolManager& m) : manager(m) { ZtByteArray_construct(&buffer, 0, nullptr); }
  ~Cutting() { ZtByteArray_destruct(&buffer); }
  Cutting(const Cutting&) = delete;
  Cutting& operator=(const Cutting&) = delete;

  // Appends bytes (none: the reader's pass that only rechecks) and cuts at the time.
  void at(uint64_t now, const uint8_t* data = nullptr, size_t size = 0) {
    if (size > 0) ZtByteArray_append(&buffer, size, data);
    MessageList out;
    cutter.cut(manager, buffer, out, now, kRate);
    for (size_t i = 0; i < out.size(); ++i) {
      const uint8_t* p = ZtMessage_getMessageStart(&out[i]);
      messages.emplace_back(p, p + ZtMessage_getTotalMessageSize(&out[i]));
    }
  }

  ProtocolManager& manager;
  MessageCutter cutter;
  ZtByteArray buffer;
  std::vector<Bytes> messages;  // raw bytes of every message cut, in order
};

// What the frames give when they come whole, one read each.
std::vector<Bytes> wholeMessages(Protocol p, const std::vector<Bytes>& frames) {
  ThreeDevices link;
  const auto manager = managerFor(p, link);
  Cutting c(*manager);
  for (const Bytes& f : frames) c.at(kT0, f.data(), f.size());
  return c.messages;
}

TEST(MessageCutterPieces, FramesWhoseBytesComeFarApartAreAllDelivered) {
  // The sizes of the leading reads of every frame; the rest of the frame is one more read.
  const std::vector<std::vector<size_t>> splits = {{1}, {1, 1}, {1, 1, 1}, {2}, {3}, {2, 1, 1},
                                                   {4}, {5}, {7}, {12, 20}, {1, 1, 1, 1, 1, 1, 1}};
  const uint64_t gaps[] = {30, 60, 100, 200};
  constexpr uint64_t kRecheckEveryMs = 10;  // the reader's passes that bring no byte
  for (Protocol p : {Protocol::Zbus, Protocol::Nmea, Protocol::Fsas, Protocol::IFog}) {
    const std::vector<Bytes> frames = framesOf(p);
    const std::vector<Bytes> want = wholeMessages(p, frames);
    ASSERT_EQ(want.size(), frames.size()) << nameOf(p);
    for (const std::vector<size_t>& split : splits) {
      for (uint64_t gap : gaps) {
        ThreeDevices link;
        const auto manager = managerFor(p, link);
        Cutting c(*manager);
        uint64_t now = kT0;
        bool wokeReader = false;
        // A silence, with the reader's passes in it, then the next read.
        auto pause = [&] {
          for (uint64_t t = kRecheckEveryMs; t < gap; t += kRecheckEveryMs) {
            c.at(now + t);
            wokeReader |= c.cutter.awaitedDeadlineMs() != 0;
          }
          now += gap;
        };
        for (const Bytes& f : frames) {
          size_t pos = 0;
          for (size_t piece : split) {
            if (pos >= f.size()) break;
            const size_t n = std::min(piece, f.size() - pos);
            c.at(now, f.data() + pos, n);
            wokeReader |= c.cutter.awaitedDeadlineMs() != 0;
            pos += n;
            pause();
          }
          if (pos < f.size()) c.at(now, f.data() + pos, f.size() - pos);
          pause();
        }
        const std::string where = std::string(nameOf(p)) + ", reads of " + std::to_string(split.size()) +
                                  " leading pieces from " + std::to_string(split.front()) + " byte(s), " +
                                  std::to_string(gap) + " ms apart";
        EXPECT_EQ(c.messages, want) << where;
        EXPECT_EQ(c.cutter.giveUpCount(), 0u) << where;
        EXPECT_FALSE(wokeReader) << where << ": a candidate that held nothing up had a deadline";
        EXPECT_EQ(c.buffer.size, 0u) << where;
      }
    }
  }
}

// The bound runs from when the false start was met: real frames that come after it has waited
// that long are not held at all, and those that come sooner wait for the rest of it.
TEST(MessageCutterPieces, AFalseStartDelaysRealFramesAtMostItsBound) {
  const Bytes ack = EmuFrame{0xFF, 0x31, {}}.encode();
  const Bytes data = EmuFrame{0x01, 0x36, {0x10, 0x20}}.encode();
  const Bytes fsas = imarFrame(ImarFrameGenerator::Unit::Fsas, 7);
  const Bytes ifog = imarFrame(ImarFrameGenerator::Unit::IFog, 7);
  const Bytes heading = nmeaSentence("HEHDT,270.0,T");
  const Bytes extended = {0xFA, 0xFF, 0x36, 0xFF, 0x1F, 0x00};  // awaits 7943 bytes: 224 ms
  struct Case {
    const char* name;
    Protocol protocol;
    Bytes falseStart;
    uint64_t silenceMs;    // between the false start and the real frames
    std::vector<Bytes> real;
    size_t claimedTotal;   // what the false start awaits once the real frames are behind it
    bool judgedByBound;    // nothing in its bytes shows it false: only its bound does
  };
  const std::vector<Case> cases = {
      // FA FA FF 31: a length byte of 0x31, 54 bytes.
      {"lone preamble", Protocol::Zbus, {0xFA}, 10000, {ack, data}, 54, true},
      // FA FF 36 FA: 255 bytes.
      {"header cut short", Protocol::Zbus, {0xFA, 0xFF, 0x36}, 10000, {ack, data}, 255, true},
      {"extended header", Protocol::Zbus, extended, 10000, {ack, data}, 7943, true},
      {"extended header, frames sooner than its bound", Protocol::Zbus, extended, 100, {ack, data}, 7943, true},
      {"extended header, frames in the same read", Protocol::Zbus, extended, 0, {ack, data}, 7943, true},
      // A frame is complete, and fails, once the next one has come.
      {"unit frame cut short", Protocol::Fsas, Bytes(fsas.begin(), fsas.begin() + 20), 100, {fsas, fsas}, 41, false},
      {"unit frame cut short", Protocol::IFog, Bytes(ifog.begin(), ifog.begin() + 3), 100, {ifog, ifog}, 39, false},
      // A record cut short ends at the next one's "$" (an item-less message of its own).
      {"sentence cut short", Protocol::Nmea, text("$HEHDT,12"), 100, {heading, heading}, heading.size(), false},
  };
  for (const Case& k : cases) {
    const std::string where = std::string(nameOf(k.protocol)) + ", " + k.name;
    const std::vector<Bytes> want = wholeMessages(k.protocol, k.real);
    ASSERT_EQ(want.size(), k.real.size()) << where;
    ThreeDevices link;
    const auto manager = managerFor(k.protocol, link);
    Cutting c(*manager);
    c.at(kT0, k.falseStart.data(), k.falseStart.size());
    for (uint64_t t = 10; t < k.silenceMs; t += 10) {
      c.at(kT0 + t);
      ASSERT_EQ(c.cutter.awaitedDeadlineMs(), 0u) << where << ": held nothing up, yet has a deadline";
    }
    EXPECT_TRUE(c.messages.empty()) << where;
    const uint64_t arrival = kT0 + k.silenceMs;
    Bytes real;
    for (const Bytes& f : k.real) real.insert(real.end(), f.begin(), f.end());
    c.at(arrival, real.data(), real.size());
    const uint64_t bound = MessageCutter::giveUpBoundMs(k.claimedTotal, kRate);
    const uint64_t delay = k.judgedByBound && bound > k.silenceMs ? bound - k.silenceMs : 0;
    if (delay > 0) {
      EXPECT_TRUE(c.messages.empty()) << where;
      EXPECT_EQ(c.cutter.awaitedDeadlineMs(), kT0 + bound) << where;
    }
    uint64_t now = arrival;
    while (c.messages.size() < want.size() && now < arrival + 2 * bound) c.at(++now);
    ASSERT_GE(c.messages.size(), want.size()) << where;
    // The real frames are the last messages (a record cut short is a message of its own).
    EXPECT_EQ(std::vector<Bytes>(c.messages.end() - static_cast<std::ptrdiff_t>(want.size()), c.messages.end()), want)
        << where;
    EXPECT_EQ(now - arrival, delay) << where;
    EXPECT_EQ(c.cutter.giveUpCount(), k.judgedByBound ? 1u : 0u) << where;
  }
}

// A look through the bytes behind a candidate is no search: a refused frame there is refused
// once, when the search reaches it, however often it was looked at.
TEST(MessageCutterPieces, FramesBehindACandidateAreRefusedOnce) {
  Bytes stream = {0xFA, 0xFF, 0x36, 0xFF, 0x1F, 0x00};  // awaits 7943 bytes
  const Bytes refused = EmuFrame{0x09, 0x36, {1, 2, 3}}.encode();
  const Bytes accepted = EmuFrame{0xFF, 0x31, {}}.encode();
  stream.insert(stream.end(), refused.begin(), refused.end());
  stream.insert(stream.end(), accepted.begin(), accepted.end());
  ThreeDevices link;
  const auto manager = managerFor(Protocol::Zbus, link);
  Cutting c(*manager);
  for (const uint8_t& b : stream) c.at(kT0, &b, 1);
  EXPECT_TRUE(c.cutter.holdsMessagesBack());
  c.at(kT0 + MessageCutter::giveUpBoundMs(7943, kRate));
  EXPECT_EQ(c.messages, std::vector<Bytes>{accepted});
  EXPECT_EQ(manager->refusedCount(), 1u);
}

}  // namespace
}  // namespace cutter_pieces
