// Typed values: text and binary round trips of every kind, comparison, conversions across kinds,
// setValueKeepType, and hostile text and binary inputs that must fail cleanly.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "foundation/Variant.h"
#include "errors/ZtException.h"

namespace zelto {
namespace {

IntList intList(std::initializer_list<unsigned> values) {
  IntList list;
  for (unsigned v : values) list.append(v);
  return list;
}

LabelList labelList(std::initializer_list<const char*> labels) {
  LabelList list;
  for (const char* l : labels) list.append(l);
  return list;
}

Variant matrixValue(size_t rows, size_t cols, std::initializer_list<double> values) {
  std::vector<double> v(values);
  return Variant(static_cast<const ZtMatrix&>(Matrix(rows, cols, v.data())));
}

Variant vectorValue(std::initializer_list<double> values) {
  std::vector<double> v(values);
  return Variant(v.data(), v.size());
}

std::string binaryOf(const Variant& v) {
  std::string image(v.serialize(nullptr), '\0');
  EXPECT_EQ(v.serialize(image.data()), image.size());
  return image;
}

std::string textOf(const Variant& v) {
  std::string text;
  const int n = v.writeToString(text);
  EXPECT_EQ(n, static_cast<int>(text.size()));
  return text;
}

struct Sample {
  const char* name;
  Variant value;
  const char* text;  // expected text form, null: not checked
};

std::vector<Sample> samples() {
  const uint8_t bytes[] = {0x01, 0xAB, 0xFF};
  return {
      {"bool", Variant(true), "B:Y"},
      {"false", Variant(false), "B:N"},
      {"double", Variant(0.5), "F:0.5"},
      {"third", Variant(1.0 / 3.0), "F:0.3333333333333333"},
      {"int32", Variant(-3), "I:-3"},
      {"int64", Variant(-1234567890123L), "J:-1234567890123"},
      {"intlist", Variant(intList({1, 2})), "L:2: 1 2"},
      {"emptyintlist", Variant(IntList()), "L:0:"},
      {"matrix", matrixValue(2, 3, {1, 2, 3, 4.5, -5, 6e-7}), "M:2,3: 1 2 3 4.5 -5 6e-07 "},
      {"binary", Variant(BinaryObject(3, bytes)), "N:3:01ABFF"},
      {"quaternion", Variant(ZtQuaternion{0.5, 0.5, 0.5, 0.5}), "Q:0.5 0.5 0.5 0.5 "},
      {"string", Variant("abc"), "S:abc"},
      {"emptystring", Variant(""), "S:"},
      {"text", Variant(std::string(300, 't')), nullptr},
      {"labellist", Variant(labelList({"alpha", "beta"})), "U:2:alpha beta"},
      {"emptylabellist", Variant(LabelList()), "U:0: "},
      {"vector", vectorValue({1.5, -2}), "V:2: 1.5 -2 "},
  };
}

TEST(VariantForms, TextRoundTripOfEveryKind) {
  for (const auto& s : samples()) {
    const std::string text = textOf(s.value);
    if (s.text != nullptr) {
      EXPECT_EQ(text, s.text) << s.name;
    }
    Variant back;
    EXPECT_GT(back.readFromString(text), 0) << s.name;
    EXPECT_EQ(back.kind(), s.value.kind()) << s.name;
    EXPECT_TRUE(back == s.value) << s.name << " " << text;
    // The char* writer agrees with the string writer.
    std::vector<char> buffer(s.value.writeToString(static_cast<char*>(nullptr)) + 1);
    s.value.writeToString(buffer.data());
    EXPECT_EQ(std::string(buffer.data()), text) << s.name;
  }
}

TEST(VariantForms, BinaryRoundTripOfEveryKind) {
  for (const auto& s : samples()) {
    const std::string image = binaryOf(s.value);
    EXPECT_EQ(static_cast<uint32_t>(static_cast<unsigned char>(image[0])), s.value.kind()) << s.name;
    Variant back;
    EXPECT_EQ(back.deserialize(image.data(), image.size()), image.size()) << s.name;
    EXPECT_TRUE(back == s.value) << s.name;
    // Every shorter prefix of a valid image is refused, never read past.
    for (size_t n = 0; n < image.size(); ++n) {
      Variant cut;
      EXPECT_EQ(cut.deserialize(image.data(), n), 0u) << s.name << " " << n;
      EXPECT_TRUE(cut.empty());
    }
  }
}

TEST(VariantForms, BinaryExamples) {
  EXPECT_EQ(binaryOf(Variant(true)), std::string("\x42\x01", 2));
  EXPECT_EQ(binaryOf(Variant(5)), std::string("\x49\x05\x00\x00\x00", 5));
  EXPECT_EQ(binaryOf(Variant("abc")), std::string("\x53" "abc\0", 5));
  EXPECT_EQ(binaryOf(Variant()), std::string("\0", 1));
  // Every other kind, byte for byte (host order, little-endian).
  const uint8_t bytes[] = {0x01, 0xAB};
  struct Case {
    const char* name;
    Variant value;
    std::string image;
  } cases[] = {
      {"double", Variant(0.5), std::string("F\0\0\0\0\0\0\xE0\x3F", 9)},
      {"int64", Variant(-2L), std::string("J\xFE\xFF\xFF\xFF\xFF\xFF\xFF\xFF", 9)},
      {"int list", Variant(intList({1, 0x01020304})), std::string("L\x02\0\0\0\x01\0\0\0\x04\x03\x02\x01", 13)},
      {"matrix", matrixValue(1, 2, {1, -2}),
       std::string("M\x01\0\0\0\x02\0\0\0\0\0\0\0\0\0\xF0\x3F\0\0\0\0\0\0\0\xC0", 25)},
      {"binary object", Variant(BinaryObject(2, bytes)), std::string("N\x02\0\0\0\x01\xAB", 7)},
      {"quaternion", Variant(ZtQuaternion{1, 0, 0, 0}),
       std::string("Q\0\0\0\0\0\0\xF0\x3F", 9) + std::string(24, '\0')},
      {"long text", Variant(std::string(256, 'x')), "T" + std::string(256, 'x') + std::string(1, '\0')},
      {"label list", Variant(labelList({"ab", "c"})), std::string("U\x02\0\0\0ab c\0", 10)},
      {"empty label list", Variant(LabelList()), std::string("U\0\0\0\0", 5)},
      {"vector", vectorValue({-2}), std::string("V\x01\0\0\0\0\0\0\0\0\0\0\xC0", 13)},
  };
  for (const auto& c : cases) EXPECT_EQ(binaryOf(c.value), c.image) << c.name;
  EXPECT_EQ(textOf(Variant()), "");
  Variant v;
  const char two[] = {'B', 7};
  EXPECT_EQ(v.deserialize(two, 2), 2u);
  EXPECT_TRUE(v.toBool());
}

// A matrix shape without elements (a dimension of 0) reads as the empty 0 x 0 matrix, as a copy
// makes it: a hostile 2e9 x 0 shape must not cost a pass per row in later operations.
TEST(VariantForms, MatricesWithoutElements) {
  for (auto [rows, cols] : {std::pair<uint32_t, uint32_t>{2000000000u, 0}, {0, 2}, {0, 0}}) {
    std::string image = "M";
    image.append(reinterpret_cast<const char*>(&rows), 4);
    image.append(reinterpret_cast<const char*>(&cols), 4);
    Variant m;
    ASSERT_EQ(m.deserialize(image.data(), image.size()), 9u);
    Variant fromText;
    EXPECT_GT(fromText.readFromString("M:" + std::to_string(rows) + "," + std::to_string(cols) + ":"), 0);
    for (const Variant* v : {&m, &fromText}) {
      EXPECT_EQ(v->kind(), static_cast<uint32_t>('M'));
      EXPECT_EQ(v->toConstMatrix().rows, 0u);
      EXPECT_EQ(v->toConstMatrix().cols, 0u);
      EXPECT_FALSE(v->toBool());
      EXPECT_EQ(v->toLabelList().count(), 0u);
      EXPECT_EQ(binaryOf(*v), std::string("M\0\0\0\0\0\0\0\0", 9));
      EXPECT_EQ(textOf(*v), "M:0,0: ");
    }
  }
}

TEST(VariantForms, ReadingTexts) {
  struct Case {
    const char* text;
    uint32_t kind;
    bool flag;
  } flags[] = {{"B:y", 'B', true}, {"B:Y", 'B', true}, {"B:1", 'B', true}, {"B:N", 'B', false}, {"B:0", 'B', false},
               {"B", 'B', false}};
  for (const auto& c : flags) {
    Variant v;
    v.readFromString(c.text);
    EXPECT_EQ(v.kind(), c.kind) << c.text;
    EXPECT_EQ(v.toBool(), c.flag) << c.text;
  }
  Variant v;
  EXPECT_GT(v.readFromString("S:abc\r\n"), 0);
  EXPECT_EQ(v.toStdString(), "abc");
  EXPECT_EQ(v.readFromString(""), 0);
  EXPECT_TRUE(v.empty());
  // Texts count their trimmed length + 3, with or without the hexadecimal flag; a text without
  // its colon counts only what is there.
  EXPECT_EQ(v.readFromString("S:abc\r\n"), 6);
  EXPECT_EQ(v.readFromString("S:61 62", true), 8);
  EXPECT_EQ(v.toStdString(), "ab");
  EXPECT_EQ(v.readFromString("S"), 1);
  EXPECT_EQ(v.kind(), static_cast<uint32_t>('S'));
  // The kind read stays: a short text under 'T' is still 'T'.
  v.readFromString("T:short");
  EXPECT_EQ(v.kind(), static_cast<uint32_t>('T'));
  EXPECT_TRUE(v == Variant("short"));
}

TEST(VariantForms, TextLengthsChooseTheKind) {
  struct Case {
    size_t length;
    uint32_t kind;
    size_t kept;
  } cases[] = {{0, 'S', 0}, {255, 'S', 255}, {256, 'T', 256}, {16383, 'T', 16383}, {20000, 'T', 16383}};
  for (const auto& c : cases) {
    Variant v(std::string(c.length, 'x'));
    EXPECT_EQ(v.kind(), c.kind) << c.length;
    EXPECT_EQ(std::strlen(v.toConstCString()), c.kept) << c.length;
    // An 'S' text read from a form that is too long for its buffer becomes 'T', nothing lost.
    Variant read;
    read.readFromString("S:" + std::string(c.length, 'y'));
    EXPECT_EQ(std::strlen(read.toConstCString()), c.kept) << c.length;
    std::string image = "S" + std::string(c.length, 'z');
    image += '\0';
    Variant fromBinary;
    EXPECT_EQ(fromBinary.deserialize(image.data(), image.size()), image.size());
    EXPECT_EQ(std::strlen(fromBinary.toConstCString()), c.kept) << c.length;
  }
}

TEST(VariantForms, HexContents) {
  char buffer[64];
  Variant(255).writeContentsToString(buffer, true);
  EXPECT_STREQ(buffer, "0xFF");
  Variant(-1L).writeContentsToString(buffer, true);
  EXPECT_STREQ(buffer, "0xFFFFFFFFFFFFFFFF");
  Variant("AB").writeContentsToStringHex(buffer);
  EXPECT_STREQ(buffer, "41 42");
  Variant v;
  v.readFromString("I:0xFFFFFFFF", true);
  EXPECT_EQ(v.toInt32(), -1);
  v.readFromString("S:41 42 zz", true);
  EXPECT_EQ(v.toStdString(), "AB");
  v.readFromString("L:0x3:0x1 0x2 0xff", true);
  EXPECT_TRUE(v == Variant(intList({1, 2, 255})));
  char small[3];
  EXPECT_EQ(Variant::hexToText(small, sizeof small, "41 42 43"), 2);
  EXPECT_STREQ(small, "AB");
}

TEST(VariantForms, UnknownKindsHoldNothing) {
  Variant v;
  EXPECT_EQ(v.readFromString("X:whatever"), 2);
  EXPECT_EQ(v.kind(), static_cast<uint32_t>('X'));
  EXPECT_EQ(textOf(v), "X:");
  EXPECT_EQ(binaryOf(v), "X");
  EXPECT_FALSE(v == v);
  EXPECT_EQ(v.toInt32(), 0);
  EXPECT_STREQ(v.typeName(), "");
  Variant copy(v);
  EXPECT_EQ(copy.kind(), static_cast<uint32_t>('X'));
  const char byte[] = {static_cast<char>(0x90)};
  EXPECT_EQ(v.deserialize(byte, 1), 1u);
  EXPECT_EQ(v.kind(), 0x90u);
}

// Counts, sizes and dimensions come from files users edit and devices write: each is checked
// against what remains before anything is reserved; the value is then empty.
TEST(VariantForms, HostileTextsFailCleanly) {
  const char* cases[] = {
      "M:-1,5:",  "M:100000,100000:", "M:2,2: 1 2 3", "M:x",          "N:-5:",     "N:100000:00",
      "N:2:0",    "L:4000000000:",    "L:3: 1 2",     "L:-1: 5",      "U:4000000000:a", "U:2:a",
      "V:-1:",    "V:1000000000: 1",  "V:2: 1",       "Q:1 2 3",      "Q:",        "L:",
  };
  for (const char* text : cases) {
    Variant v(42);
    EXPECT_EQ(v.readFromString(text), 0) << text;
    EXPECT_TRUE(v.empty()) << text;
  }
}

TEST(VariantForms, HostileBinariesFailCleanly) {
  auto u32 = [](uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); };
  const std::vector<std::string> cases = {
      std::string("S" "abc", 4),                   // text without its NUL
      std::string("T" "abc", 4),
      "L" + u32(0xFFFFFFFFu) + u32(1),             // list count 0xFFFFFFFF
      "L" + u32(2) + u32(1),
      "M" + u32(100000) + u32(100000) + std::string(8, '\0'),
      "M" + u32(0xFFFFFFFFu) + u32(0xFFFFFFFFu),
      "M" + u32(1),
      "N" + u32(0xFFFFFFFFu) + "ab",
      "V" + u32(0x20000000u) + std::string(8, '\0'),
      "U" + u32(3) + "a b",                        // labels without the NUL
      "Q" + std::string(31, '\0'),
      "F" + std::string(7, '\0'),
      "I" + std::string(3, '\0'),
      "J" + std::string(7, '\0'),
      "B",
  };
  for (const auto& image : cases) {
    Variant v(42);
    EXPECT_EQ(v.deserialize(image.data(), image.size()), 0u) << image[0] << " " << image.size();
    EXPECT_TRUE(v.empty());
  }
  Variant v;
  EXPECT_EQ(v.deserialize(nullptr, 0), 0u);
  EXPECT_EQ(v.deserialize("", 0), 0u);
}

// ---- comparison ----

TEST(VariantCompare, Table) {
  struct Case {
    const char* name;
    Variant a;
    Variant b;
    bool equal;
  } cases[] = {
      {"two empties", Variant(), Variant(), false},
      {"S and T same text", Variant("abc"), [] { Variant t; t.readFromString("T:abc"); return t; }(), true},
      {"texts case-sensitive", Variant("abc"), Variant("ABC"), false},
      {"one ulp apart", Variant(1.0), Variant(1.0000000000000002), false},
      {"zero and tiny", Variant(0.0), Variant(1e-300), false},
      {"zero and zero", Variant(0.0), Variant(-0.0), true},
      {"NaN", Variant(std::nan("")), Variant(std::nan("")), false},
      {"int and long", Variant(1), Variant(1L), false},
      {"bools", Variant(true), Variant(true), true},
      {"int lists", Variant(intList({1, 2})), Variant(intList({1, 2})), true},
      {"int lists differ", Variant(intList({1, 2})), Variant(intList({1, 3})), false},
      {"label lists ignore case", Variant(labelList({"Acc", "gyr"})), Variant(labelList({"acc", "GYR"})), true},
      {"label lists differ", Variant(labelList({"a"})), Variant(labelList({"a", "b"})), false},
      {"binary objects", Variant(BinaryObject(2, "ab")), Variant(BinaryObject(2, "ab")), true},
      {"binary objects differ", Variant(BinaryObject(2, "ab")), Variant(BinaryObject(2, "ac")), false},
      {"vectors", vectorValue({1, 2}), vectorValue({1, 2}), true},
      {"vectors differ", vectorValue({1, 2}), vectorValue({1, 2, 3}), false},
      {"empty vectors", vectorValue({}), vectorValue({}), false},
      {"matrices", matrixValue(1, 2, {1, 2}), matrixValue(1, 2, {1, 2}), true},
      {"matrix shapes", matrixValue(1, 2, {1, 2}), matrixValue(2, 1, {1, 2}), false},
      {"quaternions", Variant(ZtQuaternion{1, 0, 0, 0}), Variant(ZtQuaternion{1, 0, 0, 0}), true},
  };
  for (const auto& c : cases) EXPECT_EQ(c.a == c.b, c.equal) << c.name;
}

// ---- conversions ----

TEST(VariantConvert, ScalarsAcrossKinds) {
  const uint8_t one[] = {1, 0, 0, 0};
  double half = 0.5;
  uint8_t halfBytes[8];
  std::memcpy(halfBytes, &half, 8);
  struct Case {
    const char* name;
    Variant v;
    bool b;
    int32_t i32;
    int64_t i64;
    double d;
  } cases[] = {
      {"true", Variant(true), true, 1, 1, 1.0},
      {"double", Variant(-2.75), true, -2, -2, -2.75},
      {"NaN", Variant(std::nan("")), true, 0, 0, std::nan("")},
      {"int", Variant(-7), true, -7, -7, -7.0},
      {"long low bits", Variant(0x100000005L), true, 5, 0x100000005L, 4294967301.0},
      {"int list", Variant(intList({0, 9})), true, 0, 0, 0.0},
      {"zero list", Variant(intList({0, 0})), false, 0, 0, 0.0},
      {"empty list", Variant(IntList()), false, 0, 0, 0.0},
      {"matrix", matrixValue(1, 2, {3.9, -1}), true, 3, 3, 3.9},
      {"empty matrix", matrixValue(0, 0, {}), false, 0, 0, 0.0},
      {"vector", vectorValue({-4.5}), true, -4, -4, -4.5},
      {"binary size 2", Variant(BinaryObject(2, one)), true, 0, 0, 0.0},
      {"binary size 4", Variant(BinaryObject(4, one)), true, 1, 0, 0.0},
      {"binary double", Variant(BinaryObject(8, halfBytes)), true, 0, 0x3FE0000000000000L, 0.5},
      {"quaternion", Variant(ZtQuaternion{0, 3, 4, 0}), true, 5, 5, 5.0},
      {"text number", Variant("12abc"), true, 12, 12, 12.0},
      {"text", Variant("abc"), true, 0, 0, 0.0},
      {"empty text", Variant(""), false, 0, 0, 0.0},
      {"labels", Variant(labelList({"-3", "x"})), true, -3, -3, -3.0},
      {"empty", Variant(), false, 0, 0, 0.0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.v.toBool(), c.b) << c.name;
    EXPECT_EQ(c.v.toInt32(), c.i32) << c.name;
    EXPECT_EQ(c.v.toInt64(), c.i64) << c.name;
    if (std::isnan(c.d)) {
      EXPECT_TRUE(std::isnan(c.v.toDouble())) << c.name;
    } else {
      EXPECT_DOUBLE_EQ(c.v.toDouble(), c.d) << c.name;
    }
  }
  float f = 1.5f;
  EXPECT_EQ(Variant(BinaryObject(4, &f)).toFloat(), 1.5f);
  EXPECT_EQ(Variant(2.5).toFloat(), 2.5f);
}

// Reals convert to integers saturated to the target's range, NaN giving 0 (no undefined casts).
TEST(VariantConvert, RealsSaturate) {
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    double x;
    int32_t i32;
    uint32_t u32;
    int64_t i64;
    uint64_t u64;
  } cases[] = {
      {std::nan(""), 0, 0, 0, 0},
      {inf, INT32_MAX, UINT32_MAX, INT64_MAX, UINT64_MAX},
      {-inf, INT32_MIN, 0, INT64_MIN, 0},
      {1e300, INT32_MAX, UINT32_MAX, INT64_MAX, UINT64_MAX},
      {-1e300, INT32_MIN, 0, INT64_MIN, 0},
      {3e9, INT32_MAX, 3000000000u, 3000000000, 3000000000u},
      {-1.9, -1, 0, -1, 0},
      {2147483647.9, INT32_MAX, 2147483647u, 2147483647, 2147483647u},
      {9.3e18, INT32_MAX, UINT32_MAX, INT64_MAX, 9300000000000000000u},
  };
  for (const auto& c : cases) {
    for (const Variant& v : {Variant(c.x), vectorValue({c.x}), matrixValue(1, 1, {c.x})}) {
      EXPECT_EQ(v.toInt32(), c.i32) << c.x;
      EXPECT_EQ(v.toUint32(), c.u32) << c.x;
      EXPECT_EQ(v.toInt64(), c.i64) << c.x;
      EXPECT_EQ(v.toUint64(), c.u64) << c.x;
    }
    const IntList list = Variant(c.x).toIntList();
    ASSERT_EQ(list.count(), 1u);
    EXPECT_EQ(list[0], c.u32) << c.x;
  }
  EXPECT_EQ(Variant(ZtQuaternion{std::nan(""), 0, 0, 0}).toInt32(), 0);
}

TEST(VariantConvert, ToLists) {
  EXPECT_TRUE(Variant(7).toIntList() == intList({7}));
  EXPECT_TRUE(Variant("12").toIntList() == IntList());
  EXPECT_TRUE(Variant(labelList({"1"})).toIntList() == IntList());
  EXPECT_TRUE(matrixValue(2, 2, {1, 2, 3, 4}).toIntList() == intList({1, 2}));
  EXPECT_TRUE(vectorValue({1.9, 2}).toIntList() == intList({1, 2}));

  struct Case {
    const char* name;
    Variant v;
    std::vector<std::string> labels;
  } cases[] = {
      {"bool", Variant(false), {"false"}},
      {"double", Variant(0.5), {"0.500000"}},
      {"int", Variant(-3), {"-3"}},
      {"long", Variant(5000000000L), {"5000000000"}},
      {"int list", Variant(intList({1, 2})), {"1", "2"}},
      {"matrix", matrixValue(2, 1, {1, 2}), {"1.000000", "2.000000"}},
      {"text", Variant("a  b\tc\nd\re"), {"a", "b", "c", "d"}},
      {"binary", Variant(BinaryObject(1, "x")), {}},
      {"huge double", Variant(1e300), {"1.0000000000000001e+300"}},
  };
  for (const auto& c : cases) {
    const LabelList list = c.v.toLabelList();
    std::vector<std::string> got;
    for (uint32_t i = 0; i < list.count(); ++i) got.emplace_back(list[i].c_str());
    EXPECT_EQ(got, c.labels) << c.name;
  }
}

TEST(VariantConvert, ToNumerics) {
  const Matrix m = Variant(intList({1, 2, 3})).toMatrix();
  EXPECT_EQ(m.rows, 1u);
  EXPECT_EQ(m.cols, 3u);
  EXPECT_EQ(m.data[2], 3.0);
  EXPECT_EQ(Variant(2.5).toMatrix().data[0], 2.5);
  EXPECT_EQ(Variant("x").toMatrix().rows, 0u);
  const Matrix r = Variant(ZtQuaternion{1, 0, 0, 0}).toMatrix();
  ASSERT_EQ(r.rows, 3u);
  EXPECT_NEAR(r(0, 0), 1.0, 1e-15);
  EXPECT_NEAR(r(0, 1), 0.0, 1e-15);

  const Vector row = matrixValue(2, 3, {1, 2, 3, 4, 5, 6}).toVector();
  ASSERT_EQ(row.size, 3u);
  EXPECT_EQ(row.data[2], 3.0);
  EXPECT_EQ(Variant(ZtQuaternion{1, 2, 3, 4}).toVector().size, 4u);
  EXPECT_EQ(Variant(labelList({"1"})).toVector().size, 0u);

  auto isIdentity = [](const Quaternion& q) { return q.w == 1 && q.x == 0 && q.y == 0 && q.z == 0; };
  EXPECT_TRUE(isIdentity(Variant(intList({1, 2})).toQuaternion()));
  EXPECT_TRUE(isIdentity(Variant("q").toQuaternion()));
  EXPECT_TRUE(isIdentity(vectorValue({1, 2, 3}).toQuaternion()));
  const Quaternion fromVector = vectorValue({0, 1, 0, 0}).toQuaternion();
  EXPECT_EQ(fromVector.x, 1.0);
  const Quaternion fromList = Variant(intList({2, 0, 0, 0})).toQuaternion();
  EXPECT_EQ(fromList.w, 1.0);  // normalised
  const Quaternion fromRow = matrixValue(1, 4, {0, 0, 1, 0}).toQuaternion();
  EXPECT_EQ(fromRow.y, 1.0);
  const Quaternion fromColumn = matrixValue(4, 1, {0, 0, 0, 1}).toQuaternion();
  EXPECT_EQ(fromColumn.z, 1.0);
  const Quaternion fromRotation = matrixValue(3, 3, {1, 0, 0, 0, 1, 0, 0, 0, 1}).toQuaternion();
  EXPECT_NEAR(std::fabs(fromRotation.w), 1.0, 1e-12);
  // Three integers are Euler angles: the same rotation as the numerics give.
  Quaternion euler;
  const double angles[3] = {0, 0, 90};
  euler.isEuler(Vector(3, angles));
  const Quaternion fromAngles = Variant(intList({0, 0, 90})).toQuaternion();
  EXPECT_TRUE(fromAngles.compare(euler, 1e-12));
  EXPECT_FALSE(isIdentity(fromAngles));
}

TEST(VariantConvert, SetValueKeepType) {
  struct Case {
    const char* name;
    Variant target;
    Variant source;
    const char* expected;  // text form after the call
  } cases[] = {
      {"same kind", Variant(1), Variant(2), "I:2"},
      {"empty takes all", Variant(), Variant(0.5), "F:0.5"},
      {"T takes S", [] { Variant t; t.readFromString("T:old"); return t; }(), Variant("new"), "S:new"},
      {"S keeps its text", Variant("old"), Variant(5), "S:old"},
      {"bool from text", Variant(false), Variant("x"), "B:Y"},
      {"double from int", Variant(0.0), Variant(-3), "F:-3"},
      {"int from double", Variant(0), Variant(1e20), "I:2147483647"},
      {"long from text", Variant(0L), Variant("-12"), "J:-12"},
      {"list from double", Variant(IntList()), Variant(2.5), "L:1: 2"},
      {"labels from text", Variant(LabelList()), Variant("a b"), "U:2:a b"},
      {"vector from list", vectorValue({}), Variant(intList({4, 5})), "V:2: 4 5 "},
      {"matrix from double", matrixValue(0, 0, {}), Variant(2.0), "M:1,1: 2 "},
      {"binary empties", Variant(BinaryObject(1, "x")), Variant(7), "N:0:"},
      {"quaternion from vector", Variant(ZtQuaternion{1, 0, 0, 0}), vectorValue({0, 1, 0, 0}), "Q:0 1 0 0 "},
  };
  for (auto& c : cases) {
    c.target.setValueKeepType(c.source);
    EXPECT_EQ(textOf(c.target), c.expected) << c.name;
  }
  Variant self(3);
  self.setValueKeepType(self);
  EXPECT_EQ(self.toInt32(), 3);
}

// ---- the rest of the interface ----

TEST(VariantAccess, ThrowingAccessorsNameTheKind) {
  Variant v(1);
  struct Case {
    std::function<void()> call;
    const char* text;
  } cases[] = {
      {[&] { v.toConstCString(); }, "Contained data is not a String"},
      {[&] { v.toConstBinaryObject(); }, "Contained data is not a Binary Object"},
      {[&] { v.toConstLabelList(); }, "Contained data is not a String List"},
      {[&] { v.toConstIntList(); }, "Contained data is not an IntList"},
      {[&] { v.toConstQuaternion(); }, "Contained data is not a Quaternion"},
      {[&] { v.toConstMatrix(); }, "Contained data is not a Matrix"},
      {[&] { v.toConstVector(); }, "Contained data is not a Vector"},
  };
  for (const auto& c : cases) {
    try {
      c.call();
      ADD_FAILURE() << c.text;
    } catch (const ZtException& e) {
      EXPECT_EQ(e.result(), 265);
      EXPECT_NE(std::string(e.what()).find(c.text), std::string::npos) << e.what();
    }
  }
  EXPECT_STREQ(Variant("x").toConstCString(), "x");
}

TEST(VariantAccess, TypeNamesAndMatching) {
  struct Case {
    Variant v;
    const char* name;
  } cases[] = {
      {Variant(true), "bool"},           {Variant(1.0f), "double"},       {Variant(1u), "int32_t"},
      {Variant(1UL), "int64_t"},         {Variant(IntList()), "Integer list"}, {matrixValue(0, 0, {}), "Matrix"},
      {Variant(BinaryObject()), "Binary object"}, {Variant(ZtQuaternion{1, 0, 0, 0}), "Quaternion"},
      {Variant("s"), "String"},          {Variant(std::string(400, 'x')), "String"},
      {Variant(LabelList()), "String list"}, {vectorValue({}), "Vector"}, {Variant(), ""},
  };
  for (const auto& c : cases) EXPECT_STREQ(c.v.typeName(), c.name);
  Variant shortText("s");
  Variant longText(std::string(400, 'x'));
  EXPECT_TRUE(longText.typeMatches(shortText));
  EXPECT_FALSE(shortText.typeMatches(longText));
}

TEST(VariantAccess, SetGetAndCopies) {
  Variant v;
  v.set('I', nullptr);
  EXPECT_EQ(v.kind(), static_cast<uint32_t>('I'));
  EXPECT_EQ(v.toInt32(), 0);
  const int64_t big = 1LL << 40;
  v.set('J', &big);
  int64_t out = 0;
  v.get(&out);
  EXPECT_EQ(out, big);
  const int32_t five = 5;
  v.set(0, &big);  // kind 0 keeps 'J'
  EXPECT_EQ(v.toInt64(), big);
  v.set('I', &five);
  char binary[4];
  v.get(binary, true);
  EXPECT_EQ(std::memcmp(binary, "\x05\x00\x00\x00", 4), 0);

  v.set('S', std::string(300, 'a').c_str());
  EXPECT_EQ(v.kind(), static_cast<uint32_t>('T'));
  v.set('S', "ab");
  EXPECT_EQ(v.kind(), static_cast<uint32_t>('S'));
  char text[Variant::kStringCapacity];
  v.get(text);
  EXPECT_STREQ(text, "ab");

  Variant fromBinary;
  const char list[] = {2, 0, 0, 0, 7, 0, 0, 0, 8, 0, 0, 0};
  EXPECT_EQ(fromBinary.setFromBinary('L', list, sizeof list), sizeof list);
  EXPECT_TRUE(fromBinary == Variant(intList({7, 8})));
  EXPECT_EQ(fromBinary.setFromBinary('L', list, 11), 0u);
  EXPECT_TRUE(fromBinary.empty());

  Variant original(labelList({"a", "b"}));
  Variant copy(original);
  Variant assigned;
  assigned = original;
  original = Variant(1);
  EXPECT_TRUE(copy == Variant(labelList({"a", "b"})));
  EXPECT_TRUE(assigned == copy);
  assigned = assigned;
  EXPECT_TRUE(assigned == copy);
  EXPECT_EQ(Variant().getDataConst(), nullptr);
  EXPECT_NE(copy.getData(), nullptr);

  ZtString zs{};
  ZtString_construct(&zs, "from zt");
  Variant fromZt(zs);
  EXPECT_EQ(fromZt.toStdString(), "from zt");
  Variant(1).toZtString(&zs);
  EXPECT_STREQ(ZtString_c_str(&zs), "");
  fromZt.toZtString(&zs);
  EXPECT_STREQ(ZtString_c_str(&zs), "from zt");
  ZtString_destruct(&zs);
}

// Setting a value from its own text, where the text's length moves it between 'S' and 'T': the
// text must be read before the old buffer is released.
TEST(VariantAccess, SetFromItsOwnText) {
  Variant t;
  t.readFromString("T:own text");
  ASSERT_EQ(t.kind(), static_cast<uint32_t>('T'));
  t.set(0, t.getData());
  EXPECT_EQ(t.kind(), static_cast<uint32_t>('S'));
  EXPECT_EQ(t.toStdString(), "own text");

  Variant s("short");
  s.set('S', s.getData());
  EXPECT_EQ(s.toStdString(), "short");
}

TEST(VariantAccess, AsciiCaseHelpers) {
  EXPECT_EQ(toUpper('a'), 'A');
  EXPECT_EQ(toLower('Z'), 'z');
  EXPECT_EQ(toLower(0xC4), 0xC4);
  EXPECT_TRUE(isLower('q'));
  EXPECT_FALSE(isUpper('q'));
  EXPECT_EQ(toUpper('1'), '1');
}

}  // namespace
}  // namespace zelto
