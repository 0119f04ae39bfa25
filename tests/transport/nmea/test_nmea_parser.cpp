// NMEA sentence, TSS2 and EM1000 record parser: syntax, number fields, flags, checksums, observers.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "transport/nmea/NmeaParser.h"

namespace {

using nmea::Flag;
using nmea::Number;

// "$" + body + "*" + checksum + CR LF, with the checksum over the body.
std::string nmeaParserSentence(const std::string& body, bool lowerCase = false) {
  unsigned cs = 0;
  for (char c : body)
    cs ^= static_cast<unsigned char>(c);
  char hex[3];
  std::snprintf(hex, sizeof hex, lowerCase ? "%02x" : "%02X", cs);
  return "$" + body + "*" + hex + "\r\n";
}

std::string fmt(Number n) {
  if (!n.valid)
    return "-";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.10g", n.value);
  return buf;
}
std::string fmt(Flag f) { return f.valid ? (f.value ? "1" : "0") : "-"; }

// Writes every notification as one line of text.
struct Recorder : nmea::IParserObserver {
  std::vector<std::string> calls;
  int initializations = 0;
  void onInitializeParse(const char*, const char*) override { ++initializations; }
  void onHCHDM(Number h) override { calls.push_back("HCHDM " + fmt(h)); }
  void onHCHDG(Number h, Number d, Flag de, Number v, Flag ve) override {
    calls.push_back("HCHDG " + fmt(h) + " " + fmt(d) + " " + fmt(de) + " " + fmt(v) + " " + fmt(ve));
  }
  void onPHTRO(Number p, Flag b, Number r, Flag t) override {
    calls.push_back("PHTRO " + fmt(p) + " " + fmt(b) + " " + fmt(r) + " " + fmt(t));
  }
  void onHCMTW(Number t) override { calls.push_back("HCMTW " + fmt(t)); }
  void onPRDID(Number p, Number r, Number h) override {
    calls.push_back("PRDID " + fmt(p) + " " + fmt(r) + " " + fmt(h));
  }
  void onPSONCMS(const nmea::PsoncmsFields& f) override {
    std::string s = "PSONCMS";
    for (const Number& n : f)
      s += " " + fmt(n);
    calls.push_back(s);
  }
  void onTSS2(Number a, Number b, Number c, Number d) override {
    calls.push_back("TSS2 " + fmt(a) + " " + fmt(b) + " " + fmt(c) + " " + fmt(d));
  }
  void onEM1000(Number a, Number b, Number c, Number d) override {
    calls.push_back("EM1000 " + fmt(a) + " " + fmt(b) + " " + fmt(c) + " " + fmt(d));
  }
  void onHEHDT(Number h) override { calls.push_back("HEHDT " + fmt(h)); }
  void onHEROT(Number r) override { calls.push_back("HEROT " + fmt(r)); }
};

struct ParseCase {
  const char* name;
  std::string input;
  bool found;
  size_t consumed;  // npos: the whole input
  std::string notified;  // empty: nothing
  bool ranOut = false;
};

constexpr size_t kAll = std::string::npos;

class ParserCases : public testing::TestWithParam<ParseCase> {};

TEST_P(ParserCases, FoundConsumedAndNotified) {
  const ParseCase& c = GetParam();
  nmea::Parser parser;
  Recorder recorder;
  parser.attachObserver(recorder);
  const auto [found, consumed] = parser.parseMessage(c.input.data(), c.input.data() + c.input.size());
  EXPECT_EQ(found, c.found);
  EXPECT_EQ(consumed, c.consumed == kAll ? c.input.size() : c.consumed);
  EXPECT_EQ(recorder.initializations, 1);
  if (c.notified.empty()) {
    EXPECT_TRUE(recorder.calls.empty()) << recorder.calls.front();
  } else {
    ASSERT_EQ(recorder.calls.size(), 1u);
    EXPECT_EQ(recorder.calls.front(), c.notified);
  }
  EXPECT_EQ(parser.lastParseRanOut(), c.ranOut);
}

const std::string kEm1000("\x00\x90\xFF\xFF\xF4\x01\x10\x00\xFF\xFF", 10);
const std::string kHehdt = nmeaParserSentence("HEHDT,123.4,T");
const std::string kHehdtBadChecksum = "$HEHDT,123.4,T*00\r\n";
const std::string kLongNumber(400, '9');

INSTANTIATE_TEST_SUITE_P(
    Records, ParserCases,
    testing::Values(
        ParseCase{"HEHDT", kHehdt, true, kAll, "HEHDT 123.4"},
        ParseCase{"HEHDTTrailingBytesStay", kHehdt + "$HEHDT", true, kHehdt.size(), "HEHDT 123.4"},
        ParseCase{"HEHDTWrongChecksum", kHehdtBadChecksum, true, 17, ""},
        ParseCase{"LowerCaseChecksum", nmeaParserSentence("HEHDT,12,T", true), true, kAll, "HEHDT 12"},
        ParseCase{"ChecksumNotHex", "$HEHDT,1,T*G0\r\n", true, 13, ""},
        ParseCase{"ChecksumMissing", "$HEHDT,1,T\r\n", true, 10, ""},
        ParseCase{"EmptyHeading", nmeaParserSentence("HEHDT,,T"), true, kAll, "HEHDT -"},
        ParseCase{"SignOnly", nmeaParserSentence("HEHDT,-,T"), true, kAll, "HEHDT -"},
        ParseCase{"DecimalPointWithoutDigits", nmeaParserSentence("HEHDT,123.,T"), true, 11, ""},
        ParseCase{"SignedNumbers", nmeaParserSentence("HEHDT,-0.5,T"), true, kAll, "HEHDT -0.5"},
        ParseCase{"PlusSign", nmeaParserSentence("HEHDT,+7,T"), true, kAll, "HEHDT 7"},
        ParseCase{"OverLongNumberIsUnusable", nmeaParserSentence("HEHDT," + kLongNumber + ",T"), true, kAll, "HEHDT -"},
        ParseCase{"OverLongFractionIsFine", nmeaParserSentence("HEHDT,1." + kLongNumber + ",T"), true, kAll, "HEHDT 2"},
        ParseCase{"HEROT", nmeaParserSentence("HEROT,-60.0,T"), true, kAll, "HEROT -60"},
        ParseCase{"HCHDM", nmeaParserSentence("HCHDM,270.0,M"), true, kAll, "HCHDM 270"},
        ParseCase{"HCHDG", nmeaParserSentence("HCHDG,10.5,1.5,E,2.0,W"), true, kAll, "HCHDG 10.5 1.5 1 2 0"},
        ParseCase{"HCHDGFlagsAbsent", nmeaParserSentence("HCHDG,10.5,,,,"), true, kAll, "HCHDG 10.5 - - - -"},
        ParseCase{"PHTRO", nmeaParserSentence("PHTRO,1.5,M,2.5,B"), true, kAll, "PHTRO 1.5 1 2.5 0"},
        ParseCase{"PHTROOtherFlagLetter", nmeaParserSentence("PHTRO,1.5,X,2.5,B"), true, 11, ""},
        ParseCase{"HCMTW", nmeaParserSentence("HCMTW,21.5,C"), true, kAll, "HCMTW 21.5"},
        ParseCase{"PRDIDWithoutChecksum", "$PRDID,1.0,-2.0,-190.0\r\n", true, kAll, "PRDID 1 -2 -190"},
        ParseCase{"PSONCMS", nmeaParserSentence("PSONCMS,1,0,0,0,0.1,0.2,9.8,0.01,0.02,0.03,0.5,0.6,0.7,25.5"), true, kAll,
                  "PSONCMS 1 0 0 0 0.1 0.2 9.8 0.01 0.02 0.03 0.5 0.6 0.7 25.5"},
        ParseCase{"PSONCMSThirteenFields", nmeaParserSentence("PSONCMS,1,0,0,0,0.1,0.2,9.8,0.01,0.02,0.03,0.5,0.6,0.7"), true,
                  55, ""},
        ParseCase{"TSS2", ":18100 -250A  500\t-300F\r\n", true, kAll, "TSS2 18100 -250 500 -300"},
        ParseCase{"TSS2NoSpaces", ":1 2A3 4F\r\n", true, kAll, "TSS2 1 2 3 4"},
        ParseCase{"TSS2MissingCrLf", ":1 2A3 4F\n", true, 9, ""},
        ParseCase{"EM1000", kEm1000, true, kAll, "EM1000 -1 500 16 65535"},
        ParseCase{"UnknownName", nmeaParserSentence("GPGGA,1,2,3"), true, 7, ""},
        ParseCase{"ElevenLetterName", "$ABCDEFGHIJK,1\r\n", true, 13, ""},
        ParseCase{"TwelveLetterName", "$ABCDEFGHIJKL,1\r\n", false, 12, ""},
        ParseCase{"DigitAfterDollar", "$1HEHDT", false, 1, ""},
        ParseCase{"NoPreamble", "HEHDT,1,T", false, 0, ""},
        ParseCase{"ZeroNotEm1000", std::string("\x00\x91", 2), false, 1, ""},
        ParseCase{"Empty", "", false, 0, ""},
        // Records cut off by the end of the bytes: nothing notified, and the parse says it ran out.
        ParseCase{"CutInName", "$HEH", false, 4, "", true},
        ParseCase{"CutAfterDollar", "$", false, 1, "", true},
        ParseCase{"CutAfterComma", "$HEHDT,", true, 7, "", true},
        ParseCase{"CutInNumber", "$HEHDT,12", true, 9, "", true},
        ParseCase{"CutAfterDecimalPoint", "$HEHDT,12.", true, 10, "", true},
        ParseCase{"CutInChecksum", "$HEHDT,12,T*4", true, 12, "", true},
        ParseCase{"CutBeforeLf", kHehdt.substr(0, kHehdt.size() - 1), true, kHehdt.size() - 1, "", true},
        ParseCase{"CutEm1000", kEm1000.substr(0, 9), true, 9, "", true},
        ParseCase{"CutEm1000Header", kEm1000.substr(0, 1), false, 1, "", true},
        ParseCase{"CutTss2", ":18100 -250A  5", true, 15, "", true}),
    [](const testing::TestParamInfo<ParseCase>& info) { return std::string(info.param.name); });

// Forms that heading sources in the field send, and the refusals that stay.
const std::string kHerotBlankSign = "$HEROT, 026.7,A*08\r\n";
const std::string kHchdmNoHeading = "$HCHDM,,*4A\r\n";

INSTANTIATE_TEST_SUITE_P(
    RealWorld, ParserCases,
    testing::Values(
        ParseCase{"PRDIDWithChecksum", nmeaParserSentence("PRDID,1.0,-2.0,3.0"), true, kAll, "PRDID 1 -2 3"},
        ParseCase{"PRDIDWithLowerCaseChecksum", nmeaParserSentence("PRDID,-0.5,4.25,359.9", true), true, kAll,
                  "PRDID -0.5 4.25 359.9"},
        ParseCase{"HEROTStatusValid", nmeaParserSentence("HEROT,60.0,A"), true, kAll, "HEROT 60"},
        ParseCase{"HEROTStatusInvalid", nmeaParserSentence("HEROT,60.0,V"), true, kAll, "HEROT -"},
        ParseCase{"HEROTStatusT", nmeaParserSentence("HEROT,-1.5,T"), true, kAll, "HEROT -1.5"},
        ParseCase{"HEROTBlankSign", kHerotBlankSign, true, kAll, "HEROT 26.7"},
        ParseCase{"HCHDMNoHeadingNoLetter", kHchdmNoHeading, true, kAll, "HCHDM -"},
        ParseCase{"HCHDMNoHeadingWithLetter", nmeaParserSentence("HCHDM,,M"), true, kAll, "HCHDM -"},
        ParseCase{"HEHDTBlankSign", nmeaParserSentence("HEHDT, 123.4,T"), true, kAll, "HEHDT 123.4"},
        ParseCase{"PHTROBlankSigns", nmeaParserSentence("PHTRO, 1.5,M,-2.5,B"), true, kAll, "PHTRO 1.5 1 -2.5 0"},
        ParseCase{"BlankAloneIsAnEmptyField", nmeaParserSentence("HEHDT, ,T"), true, kAll, "HEHDT -"},
        // Refusals that stay: nothing notified.
        ParseCase{"PRDIDWrongChecksum", "$PRDID,1.0,-2.0,3.0*00\r\n", true, 22, ""},
        ParseCase{"PRDIDChecksumNotHex", "$PRDID,1.0,-2.0,3.0*G1\r\n", true, 22, ""},
        ParseCase{"HEROTBlankSignWrongChecksum", "$HEROT, 026.7,A*09\r\n", true, kHerotBlankSign.size() - 2, ""},
        ParseCase{"HCHDMNoHeadingWrongChecksum", "$HCHDM,,*4B\r\n", true, kHchdmNoHeading.size() - 2, ""},
        ParseCase{"HCHDMHeadingWithoutLetter", nmeaParserSentence("HCHDM,123.4,"), true, 13, ""},
        ParseCase{"HEROTOtherStatus", nmeaParserSentence("HEROT,60.0,X"), true, 12, ""},
        ParseCase{"XInANumber", nmeaParserSentence("HEHDT,12X.4,T"), true, 9, ""},
        ParseCase{"XInAPRDIDNumber", nmeaParserSentence("PRDID,1.0,-2X.0,3.0"), true, 13, ""},
        ParseCase{"TwoBlanksAsSign", nmeaParserSentence("HEHDT,  1,T"), true, 8, ""},
        ParseCase{"WrongDirectionLetter", nmeaParserSentence("HCHDG,10.5,1.5,X,2.0,W"), true, 16, ""},
        ParseCase{"WrongVariationLetter", nmeaParserSentence("HCHDG,10.5,1.5,E,2.0,N"), true, 22, ""}),
    [](const testing::TestParamInfo<ParseCase>& info) { return std::string(info.param.name); });

TEST(ParserObservers, AttachTwiceNotifiesOnceAndDetachStops) {
  nmea::Parser parser;
  Recorder a, b;
  parser.attachObserver(a);
  parser.attachObserver(a);
  parser.attachObserver(b);
  parser.parseMessage(kHehdt.data(), kHehdt.data() + kHehdt.size());
  EXPECT_EQ(a.calls.size(), 1u);
  EXPECT_EQ(b.calls.size(), 1u);
  parser.detachObserver(b);
  parser.parseMessage(kHehdt.data(), kHehdt.data() + kHehdt.size());
  EXPECT_EQ(a.calls.size(), 2u);
  EXPECT_EQ(b.calls.size(), 1u);
}

// An observer that detaches another one while being notified: the running notification still
// reaches both, the next one only the remaining observer.
TEST(ParserObservers, DetachDuringNotification) {
  nmea::Parser parser;
  Recorder other;
  struct Detacher : Recorder {
    nmea::Parser* parser = nullptr;
    Recorder* victim = nullptr;
    void onHEHDT(Number h) override {
      Recorder::onHEHDT(h);
      parser->detachObserver(*victim);
      parser->detachObserver(*this);
    }
  } detacher;
  detacher.parser = &parser;
  detacher.victim = &other;
  parser.attachObserver(detacher);
  parser.attachObserver(other);
  parser.parseMessage(kHehdt.data(), kHehdt.data() + kHehdt.size());
  EXPECT_EQ(detacher.calls.size(), 1u);
  EXPECT_EQ(other.calls.size(), 1u);
  parser.parseMessage(kHehdt.data(), kHehdt.data() + kHehdt.size());
  EXPECT_EQ(detacher.calls.size(), 1u);
  EXPECT_EQ(other.calls.size(), 1u);
}

// The table entry remembered from one sentence does not leak into the next kind.
TEST(ParserSequence, AlternatingKinds) {
  nmea::Parser parser;
  Recorder r;
  parser.attachObserver(r);
  const std::vector<std::string> inputs{kHehdt, nmeaParserSentence("HCMTW,1,C"), kHehdt, kEm1000, nmeaParserSentence("GPGGA,1"),
                                        kHehdt};
  for (const std::string& in : inputs)
    parser.parseMessage(in.data(), in.data() + in.size());
  EXPECT_EQ(r.calls, (std::vector<std::string>{"HEHDT 123.4", "HCMTW 1", "HEHDT 123.4", "EM1000 -1 500 16 65535",
                                               "HEHDT 123.4"}));
}

}  // namespace
