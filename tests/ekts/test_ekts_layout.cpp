// The record layouts, checked through the accessors alone: which bytes each setter writes,
// that those spans and the never-touched lists tile the image, and that values read back.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "ekts/Ekts.h"
#include "ekts/Ekts3.h"
#include "ekts/Ekts4.h"
#include "ekts/Ekts5.h"
#include "math/fastfloat/FastFloat.h"

using namespace zelto;

namespace {

using Image = std::vector<unsigned char>;

// A value of each kind derived from a seed, and its comparison after a round trip through the
// record (reals to the precision of the version's coding).
struct Values {
  double tol;  // relative tolerance of a real element
  double real(int seed, int i) const { return (seed * 7 + i + 1) * 0.37 - 11.0; }

  unsigned char make_U8(int s) const { return static_cast<unsigned char>(s * 13 + 1); }
  unsigned short make_U16(int s) const { return static_cast<unsigned short>(s * 1013 + 7); }
  unsigned int make_U32(int s) const { return static_cast<unsigned int>(s) * 2654435761u + 3u; }
  double make_REAL(int s) const { return real(s, 0); }
  Vector make_REAL2(int s) const {
    Vector v(2);
    v.data[0] = real(s, 0);
    v.data[1] = real(s, 1);
    return v;
  }
  Vector make_REAL3(int s) const {
    Vector v(3);
    for (int i = 0; i < 3; ++i) v.data[i] = real(s, i);
    return v;
  }
  Vector make_REAL3D(int s) const { return make_REAL3(s); }
  Matrix make_MAT33(int s) const {
    Matrix m(3, 3);
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 3; ++c) m(r, c) = real(s, 3 * r + c);
    return m;
  }
  Quaternion make_QUAT(int s) const { return Quaternion(real(s, 0), real(s, 1), real(s, 2), real(s, 3)); }
  std::vector<unsigned char> bytes(int s, int n) const {
    std::vector<unsigned char> b(n);
    for (int i = 0; i < n; ++i) b[i] = static_cast<unsigned char>(s * 31 + i * 7 + 1);
    return b;
  }
  GenericMatrix<unsigned short> make_OUTCFG(int s) const {
    GenericMatrix<unsigned short> m(32, 2);
    for (int r = 0; r < 32; ++r)
      for (int c = 0; c < 2; ++c) m(r, c) = static_cast<unsigned short>(s * 97 + r * 2 + c + 1);
    return m;
  }

  bool near(double got, double want) const { return std::fabs(got - want) <= tol * std::fabs(want) + 1e-300; }
};

// Bytes that no accessor touches, per version.
std::set<int> untouched(int version) {
  std::vector<std::pair<int, int>> ranges;
  if (version == 3)
    ranges = {{526, 527}, {546, 665}, {806, 807}, {888, 971}, {976, 977}, {996, 1055}, {1116, 1175}, {1206, 1318}};
  else if (version == 4)
    ranges = {{480, 527}, {718, 755}, {858, 893}, {930, 1055}, {1122, 1175}, {1206, 1318}};
  else
    ranges = {{34, 49},    {212, 241},   {258, 271},   {276, 279},   {282, 287},   {292, 307},   {428, 585},
              {668, 675},  {956, 967},   {1076, 1091}, {1214, 1221}, {1240, 1247}, {1264, 1271}, {1292, 1318}};
  std::set<int> s;
  for (auto [a, b] : ranges)
    for (int i = a; i <= b; ++i) s.insert(i);
  return s;
}

// One field seen from the test: setter with a seeded value, check of the read-back value, the
// presence test, and a check that the getter answers the empty record's value.
struct Field {
  std::string label;
  std::function<void(Ekts&, int)> set;
  std::function<bool(const Ekts&, int)> readsBack;
  std::function<bool(const Ekts&)> has;
  std::function<bool(const Ekts&)> isEmptyValue;
};

bool sameVec(const Vector& a, const Vector& b, const Values& v) {
  if (a.size != b.size) return false;
  for (size_t i = 0; i < a.size; ++i)
    if (!v.near(a.data[i], b.data[i])) return false;
  return true;
}

std::vector<Field> fields(const Values& V) {
  std::vector<Field> out;
  auto check_U8 = [](unsigned char got, unsigned char want, const Values&) { return got == want; };
  auto check_U16 = [](unsigned short got, unsigned short want, const Values&) { return got == want; };
  auto check_U32 = [](unsigned int got, unsigned int want, const Values&) { return got == want; };
  auto check_REAL = [](double got, double want, const Values& v) { return v.near(got, want); };
  auto check_REAL2 = [](const Vector& got, const Vector& want, const Values& v) { return sameVec(got, want, v); };
  auto check_REAL3 = [](const Vector& got, const Vector& want, const Values& v) { return sameVec(got, want, v); };
  auto check_REAL3D = check_REAL3;
  auto check_MAT33 = [](const Matrix& got, const Matrix& want, const Values& v) {
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 3; ++c)
        if (!v.near(got(r, c), want(r, c))) return false;
    return true;
  };
  auto check_QUAT = [](const Quaternion& got, const Quaternion& want, const Values& v) {
    return v.near(got.w, want.w) && v.near(got.x, want.x) && v.near(got.y, want.y) && v.near(got.z, want.z);
  };
  auto check_OUTCFG = [](const GenericMatrix<unsigned short>& got, const GenericMatrix<unsigned short>& want,
                         const Values&) {
    return got.rows() == 32 && got.cols() == 2 && std::memcmp(got.data(), want.data(), 128) == 0;
  };
  auto empty_U8 = [](unsigned char x) { return x == 0; };
  auto empty_U16 = [](unsigned short x) { return x == 0; };
  auto empty_U32 = [](unsigned int x) { return x == 0; };
  auto empty_REAL = [](double x) { return x == 0.0; };
  auto empty_REAL2 = [](const Vector& x) { return x.size == 0; };
  auto empty_REAL3 = [](const Vector& x) { return x.size == 3 && x.data[0] == 0 && x.data[1] == 0 && x.data[2] == 0; };
  auto empty_REAL3D = empty_REAL3;
  auto empty_MAT33 = [](const Matrix& m) {
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 3; ++c)
        if (m(r, c) != 0.0) return false;
    return true;
  };
  auto empty_QUAT = [](const Quaternion& q) { return q.w == 1 && q.x == 0 && q.y == 0 && q.z == 0; };
  auto empty_OUTCFG = [](const GenericMatrix<unsigned short>& m) {
    if (m.rows() != 32 || m.cols() != 2) return false;
    for (int i = 0; i < 64; ++i)
      if (m.data()[i] != 0) return false;
    return true;
  };
  // Byte blocks are compared against the seeded bytes.
  auto bytesField = [&](const char* name, int n, auto setter, auto getter, auto has) {
    Field f;
    f.label = name;
    f.set = [=, &V](Ekts& e, int s) { auto b = V.bytes(s, n); (e.*setter)(b.data()); };
    f.readsBack = [=, &V](const Ekts& e, int s) {
      auto b = V.bytes(s, n);
      const unsigned char* p = (e.*getter)();
      return p && std::memcmp(p, b.data(), n) == 0;
    };
    f.has = [=](const Ekts& e) { return (e.*has)(); };
    f.isEmptyValue = [=](const Ekts& e) { return (e.*getter)() == nullptr; };
    return f;
  };
#define KIND_BYTES20 20
#define KIND_BYTES120 120
#define EKTS_FIELD(name, Name, kind, o3, o4, o5, mgr) EKTS_TEST_FIELD_##kind(name, Name, kind)
#define EKTS_TEST_FIELD(name, Name, kind)                                                                   \
  {                                                                                                         \
    Field f;                                                                                                \
    f.label = #name;                                                                                         \
    f.set = [&V](Ekts& e, int s) { e.set##Name(V.make_##kind(s)); };                                        \
    f.readsBack = [&V, check_##kind](const Ekts& e, int s) { return check_##kind(e.name(), V.make_##kind(s), V); }; \
    f.has = [](const Ekts& e) { return e.has##Name(); };                                                    \
    f.isEmptyValue = [empty_##kind](const Ekts& e) { return empty_##kind(e.name()); };                      \
    out.push_back(std::move(f));                                                                            \
  }
#define EKTS_TEST_FIELD_U8 EKTS_TEST_FIELD
#define EKTS_TEST_FIELD_U16 EKTS_TEST_FIELD
#define EKTS_TEST_FIELD_U32 EKTS_TEST_FIELD
#define EKTS_TEST_FIELD_REAL EKTS_TEST_FIELD
#define EKTS_TEST_FIELD_REAL2 EKTS_TEST_FIELD
#define EKTS_TEST_FIELD_REAL3 EKTS_TEST_FIELD
#define EKTS_TEST_FIELD_REAL3D EKTS_TEST_FIELD
#define EKTS_TEST_FIELD_MAT33 EKTS_TEST_FIELD
#define EKTS_TEST_FIELD_QUAT EKTS_TEST_FIELD
#define EKTS_TEST_FIELD_OUTCFG EKTS_TEST_FIELD
#define EKTS_TEST_FIELD_BYTES20(name, Name, kind) \
  out.push_back(bytesField(#name, 20, &Ekts::set##Name, &Ekts::name, &Ekts::has##Name));
#define EKTS_TEST_FIELD_BYTES120(name, Name, kind) \
  out.push_back(bytesField(#name, 120, &Ekts::set##Name, &Ekts::name, &Ekts::has##Name));
#include "ekts/EktsFields.h"
#undef EKTS_FIELD
  return out;
}

std::unique_ptr<Ekts> make(int version) {
  if (version == 3) return std::make_unique<Ekts3>();
  if (version == 4) return std::make_unique<Ekts4>();
  return std::make_unique<Ekts5>();
}

Image imageOf(Ekts& e) { return Image(e.pointerToData(), e.pointerToData() + Ekts::kImageSize); }

void fillRandom(Ekts& e, uint32_t seed) {
  std::mt19937 rng(seed);
  for (int i = 0; i < Ekts::kImageSize; ++i) e.pointerToData()[i] = static_cast<unsigned char>(rng());
}

class EktsLayout : public ::testing::TestWithParam<int> {};

TEST_P(EktsLayout, SpansOfTheSettersAndTheUntouchedBytesTileTheImage) {
  const int version = GetParam();
  Values V{version == 5 ? 1e-6 : 1e-9};
  auto rec = make(version);
  fillRandom(*rec, 7u + version);
  std::vector<int> owner(Ekts::kImageSize, -1);
  int held = 0;
  auto all = fields(V);
  for (size_t k = 0; k < all.size(); ++k) {
    const Field& f = all[k];
    if (!f.has(*rec)) {
      // Absent: the empty record's value, and the setter changes nothing.
      Image before = imageOf(*rec);
      EXPECT_TRUE(f.isEmptyValue(*rec)) << f.label;
      f.set(*rec, 5);
      EXPECT_EQ(before, imageOf(*rec)) << f.label;
      continue;
    }
    ++held;
    for (int s = 1; s <= 3; ++s) {
      f.set(*rec, s);
      EXPECT_TRUE(f.readsBack(*rec, s)) << f.label << " v" << version;
    }
    // The bytes a setter writes: equal after setting over a zero and over a 0xFF background.
    auto scratch = make(version);
    std::memset(scratch->pointerToData(), 0x00, Ekts::kImageSize);
    f.set(*scratch, 4);
    Image overZero = imageOf(*scratch);
    std::memset(scratch->pointerToData(), 0xFF, Ekts::kImageSize);
    f.set(*scratch, 4);
    Image overOnes = imageOf(*scratch);
    std::set<int> changed;
    for (int i = 0; i < Ekts::kImageSize; ++i)
      if (overZero[i] == overOnes[i]) changed.insert(i);
    ASSERT_FALSE(changed.empty()) << f.label;
    // One contiguous span, owned by this field only.
    EXPECT_EQ(*changed.rbegin() - *changed.begin() + 1, static_cast<int>(changed.size())) << f.label;
    for (int i : changed) {
      EXPECT_EQ(owner[i], -1) << f.label << " overlaps " << (owner[i] >= 0 ? all[owner[i]].label : "") << " at " << i;
      owner[i] = static_cast<int>(k);
    }
  }
  EXPECT_EQ(held, version == 3 ? 80 : version == 4 ? 82 : 93);
  // Every byte is either a field's or on the untouched list, never both.
  std::set<int> free = untouched(version);
  for (int i = 0; i < Ekts::kImageSize; ++i) {
    if (owner[i] >= 0) {
      EXPECT_EQ(free.count(i), 0u) << "byte " << i << " of " << all[owner[i]].label;
    } else {
      EXPECT_EQ(free.count(i), 1u) << "byte " << i << " belongs to no field";
    }
  }
}

TEST_P(EktsLayout, EveryFieldKeepsItsValueWhenAllAreSetAndTheUntouchedBytesStay) {
  const int version = GetParam();
  Values V{version == 5 ? 1e-6 : 1e-9};
  auto rec = make(version);
  fillRandom(*rec, 99u);
  Image start = imageOf(*rec);
  auto all = fields(V);
  for (size_t k = 0; k < all.size(); ++k) all[k].set(*rec, static_cast<int>(k) + 10);
  for (size_t k = 0; k < all.size(); ++k)
    if (all[k].has(*rec)) {
      EXPECT_TRUE(all[k].readsBack(*rec, static_cast<int>(k) + 10)) << all[k].label;
    }
  Image end = imageOf(*rec);
  for (int i : untouched(version)) EXPECT_EQ(start[i], end[i]) << "byte " << i;

  // Scrambled export into a fresh object of the same version restores image and values.
  std::vector<unsigned char> scrambled(Ekts::kImageSize);
  ASSERT_EQ(rec->getEncryptedEktsData(scrambled.data()), Ekts::kImageSize);
  auto copy = make(version);
  copy->initializeFromBuffer(scrambled.data(), Ekts::kImageSize, true);
  EXPECT_EQ(imageOf(*copy), end);
  for (size_t k = 0; k < all.size(); ++k)
    if (all[k].has(*copy)) {
      EXPECT_TRUE(all[k].readsBack(*copy, static_cast<int>(k) + 10)) << all[k].label;
    }
  std::vector<unsigned char> again(Ekts::kImageSize);
  copy->getEncryptedEktsData(again.data());
  EXPECT_EQ(again, scrambled);
}

INSTANTIATE_TEST_SUITE_P(Versions, EktsLayout, ::testing::Values(3, 4, 5));

TEST(EktsRecord, TheEmptyRecordAnswersWithBaseValues) {
  Ekts base;
  Values V{0};
  EXPECT_EQ(base.pointerToData(), nullptr);
  EXPECT_EQ(base.dataSize(), 0);
  EXPECT_EQ(base.getEncryptedEktsData(nullptr), 0);
  unsigned char buf[30] = {};
  base.initializeFromBuffer(buf, 30, false);
  for (const Field& f : fields(V)) {
    EXPECT_FALSE(f.has(base)) << f.label;
    EXPECT_TRUE(f.isEmptyValue(base)) << f.label;
    f.set(base, 3);
    EXPECT_TRUE(f.isEmptyValue(base)) << f.label;
  }
}

std::vector<unsigned char> bytesAt(Ekts& e, int off, int n) {
  return std::vector<unsigned char>(e.pointerToData() + off, e.pointerToData() + off + n);
}

TEST(EktsRecord, RealCodingsPinnedByteForByte) {
  Vector v(3);
  v.data[0] = 1;
  v.data[1] = 2;
  v.data[2] = 3;
  Ekts3 e3;
  e3.setOffsetAcc(v);
  EXPECT_EQ(bytesAt(e3, 30, 6), (std::vector<unsigned char>{0x01, 0x00, 0x00, 0x00, 0x00, 0x40}));
  EXPECT_EQ(bytesAt(e3, 36, 6), (std::vector<unsigned char>{0x02, 0x00, 0x00, 0x00, 0x00, 0x40}));
  EXPECT_EQ(bytesAt(e3, 42, 6), (std::vector<unsigned char>{0x02, 0x00, 0x00, 0x00, 0x00, 0x60}));
  Vector3 back = e3.offsetAcc();
  EXPECT_EQ(back.data[0], 1.0);
  EXPECT_EQ(back.data[1], 2.0);
  EXPECT_EQ(back.data[2], 3.0);

  Ekts5 e5;
  e5.setOffsetAcc(v);
  EXPECT_EQ(bytesAt(e5, 676, 4), (std::vector<unsigned char>{0x00, 0x00, 0x80, 0x3F}));
  EXPECT_EQ(bytesAt(e5, 680, 4), (std::vector<unsigned char>{0x00, 0x00, 0x00, 0x40}));
  EXPECT_EQ(bytesAt(e5, 684, 4), (std::vector<unsigned char>{0x00, 0x00, 0x40, 0x40}));

  // Element (0, 1) of a matrix field is its second element, read through the stride of a view.
  double storage[4 * 3] = {};
  Matrix view(3, 3, 4, storage, 0);
  view(0, 1) = 5.0;
  Ekts4 e4;
  e4.setRAcc(view);
  FastFloat five;
  five = 5.0;
  EXPECT_EQ(std::memcmp(e4.pointerToData() + 90, &five, 6), 0);
  e5.setRAcc(view);
  float f5 = 5.0f;
  EXPECT_EQ(std::memcmp(e5.pointerToData() + 704, &f5, 4), 0);

  e5.setHeadingOffset(0.1);
  EXPECT_EQ(e5.headingOffset(), static_cast<double>(0.1f));

  // Version 5 keeps the position in doubles, versions 3 and 4 at FastFloat precision.
  Vector lla(3);
  lla.data[0] = 52.123456789012345;
  lla.data[1] = 4.987654321098765;
  lla.data[2] = 12.345678901234567;
  e5.setLastKnownLatLongAlt(lla);
  EXPECT_EQ(e5.lastKnownLatLongAlt().data[0], lla.data[0]);
  EXPECT_EQ(e5.lastKnownLatLongAlt().data[2], lla.data[2]);
  e3.setLastKnownLatLongAlt(lla);
  EXPECT_NEAR(e3.lastKnownLatLongAlt().data[0], lla.data[0], 1e-7);
  EXPECT_NE(e3.lastKnownLatLongAlt().data[0], lla.data[0]);
}

TEST(EktsRecord, FreshImagesAndSizes) {
  Ekts3 e3;
  Ekts4 e4;
  Ekts5 e5;
  struct Case {
    Ekts* e;
    unsigned char b28, b29;
  } cases[] = {{&e3, 0x00, 0x03}, {&e4, 0x00, 0x04}, {&e5, 0x01, 0x05}};
  for (auto& c : cases) {
    EXPECT_EQ(c.e->dataSize(), 1320);
    for (int i = 0; i < 1320; ++i) {
      unsigned char want = i == 28 ? c.b28 : i == 29 ? c.b29 : 0;
      ASSERT_EQ(c.e->pointerToData()[i], want) << i;
    }
    std::vector<unsigned char> big(2000, 0xAB);
    c.e->initializeFromBuffer(big.data(), 1056, false);
    EXPECT_EQ(c.e->dataSize(), 1056);
    EXPECT_EQ(c.e->pointerToData()[1055], 0xAB);
    EXPECT_EQ(c.e->pointerToData()[1056], 0x00);  // past the size: kept as it was
    c.e->initializeFromBuffer(big.data(), 2000, false);
    EXPECT_EQ(c.e->dataSize(), 1320);
    // Null or negative input changes nothing.
    c.e->initializeFromBuffer(nullptr, 100, false);
    c.e->initializeFromBuffer(big.data(), -1, true);
    EXPECT_EQ(c.e->dataSize(), 1320);
    EXPECT_EQ(c.e->pointerToData()[0], 0xAB);
    EXPECT_EQ(c.e->getEncryptedEktsData(nullptr), 1320);
  }
  EXPECT_TRUE(e4.hasChannellist());
  EXPECT_FALSE(e3.hasChannellist());
  EXPECT_FALSE(e5.hasChannellist());
  EXPECT_EQ(e3.channellist(), 0u);
}

TEST(EktsRecord, CommonFieldsReadTheSameBytesInEveryVersion) {
  std::vector<unsigned char> img(1320);
  for (int i = 0; i < 1320; ++i) img[i] = static_cast<unsigned char>(i * 11 + 5);
  Ekts3 e3;
  Ekts4 e4;
  Ekts5 e5;
  for (Ekts* e : {static_cast<Ekts*>(&e3), static_cast<Ekts*>(&e4), static_cast<Ekts*>(&e5)}) {
    e->initializeFromBuffer(img.data(), 1320, false);
    EXPECT_EQ(e->deviceId(), e3.deviceId());
    EXPECT_EQ(e->locationId(), e3.locationId());
    EXPECT_EQ(e->hardwareVersion(), e3.hardwareVersion());
    EXPECT_EQ(e->ktsVersion(), static_cast<unsigned short>(img[28] | img[29] << 8));
    EXPECT_EQ(e->programSelection(), img[1319]);
    EXPECT_EQ(e->productCode(), e->pointerToData() + 4);
  }
  EXPECT_EQ(e5.syncSettings(), e5.pointerToData() + 308);
  EXPECT_EQ(e3.syncSettings(), nullptr);
}

TEST(EktsRecord, OutputConfigurationUsesTheColumnCountAsRowDistance) {
  Ekts base;
  GenericMatrix<unsigned short> none = base.outputConfiguration();
  EXPECT_EQ(none.rows(), 32);
  EXPECT_EQ(none.cols(), 2);
  Ekts5 e5;
  GenericMatrix<unsigned short> wide(32, 3);
  for (int r = 0; r < 32; ++r)
    for (int c = 0; c < 3; ++c) wide(r, c) = static_cast<unsigned short>(100 * r + c);
  e5.setOutputConfiguration(wide);
  for (int r = 0; r < 32; ++r) {
    EXPECT_EQ(e5.pointerToData()[72 + 4 * r], static_cast<unsigned char>(100 * r));
    EXPECT_EQ(e5.pointerToData()[74 + 4 * r], static_cast<unsigned char>(100 * r + 1));
  }
  GenericMatrix<unsigned short> out = e5.outputConfiguration();
  ASSERT_EQ(out.cols(), 2);
  EXPECT_EQ(out(31, 1), 3101);
  GenericMatrix<unsigned short> into(32, 3);
  e5.getOutputConfiguration(into);
  EXPECT_EQ(into(5, 0), 500);
  EXPECT_EQ(into(5, 1), 501);
  EXPECT_EQ(into(5, 2), 0);
}

TEST(GenericMatrix, CopiesAreDeepAndIndependent) {
  auto* a = new GenericMatrix<unsigned short>(4, 2);
  (*a)(3, 1) = 7;
  GenericMatrix<unsigned short> b(*a);
  GenericMatrix<unsigned short> c;
  c = *a;
  (*a)(3, 1) = 9;
  EXPECT_EQ(b(3, 1), 7);
  delete a;  // the copies outlive their source
  EXPECT_EQ(c(3, 1), 7);
  c = c;
  EXPECT_EQ(c(3, 1), 7);
  EXPECT_NE(b.data(), c.data());
}

}  // namespace
