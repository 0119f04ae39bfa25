// The persisted-record framework: settings keys and their failures, the shared small records,
// type and version names, the scenario page frame and the ownership of the step selection.
#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <cstring>
#include <string>

#include "errors/ZtException.h"
#include "filters/common/DecryptedScenarioPage.h"
#include "filters/common/FilterTypeVersion.h"
#include "filters/common/SettingField.h"
#include "filters/common/ZkfFilterBase.h"
#include "filters/common/ZkfGpsPrintData.h"
#include "filters/common/ZkfInertialData.h"
#include "filters/common/ZkfParams.h"
#include "filters/common/ZkfState.h"
#include "filters/common/ZkfTime.h"
#include "filters/common/ZtZkfFilter.h"
#include "foundation/SettingsFile.h"
#include "foundation/StringToVersion.h"
#include "math/Matrix3x3.h"
#include "math/Vector3.h"
#include "support/TempDir.h"

namespace {

using zelto::SettingsFile;
using zelto::Variant;

// Counts live objects so the tests see every delete.
struct CountingSteps : ZkfFilterSteps {
  static int live;
  int tag;
  explicit CountingSteps(int t) : tag(t) { ++live; }
  CountingSteps(const CountingSteps& o) : ZkfFilterSteps(o), tag(o.tag) { ++live; }
  ~CountingSteps() override { --live; }
  ZkfFilterSteps* duplicate() const override { return new CountingSteps(*this); }
  bool enableSteps(const zelto::LabelList&) override { return true; }
  void enabledSteps(zelto::LabelList&) const override {}
  void availableSteps(zelto::LabelList&) const override {}
};
int CountingSteps::live = 0;

struct TestParams : ZkfParams {
  using ZkfParams::ZkfParams;
  void readFromFile(const SettingsFile&, const std::string&) override {}
  void writeToFile(SettingsFile&, const std::string&) const override {}
};

int tagOf(const ZkfParams& p) { return static_cast<CountingSteps*>(p.filterSteps())->tag; }

TEST(ZeltoParams, ReadSettingThrowsWithCodeAndComposedText) {
  SettingsFile file;
  ZkfTime t;
  file.setSetting("p.", "T_int", Variant(0.25));
  EXPECT_DOUBLE_EQ(t.readSetting(file, "p.", "T_int").toMathValue(), 0.25);
  try {
    t.readSetting(file, "q.", "T_int");
    FAIL() << "no exception";
  } catch (const ZtException& e) {
    EXPECT_EQ(e.result(), ZRV_NOTFOUND);
    const std::string expected =
        std::to_string(ZRV_NOTFOUND) + ": " + ZtResultValue_toString(ZRV_NOTFOUND) + "\tInfo: q.T_int";
    EXPECT_EQ(std::string(e.what()), expected);
  }
}

TEST(ZeltoParams, ReadFromFileNoThrowKeepsTheKeysReadBeforeTheMissingOne) {
  SettingsFile file;
  ZkfGpsPrintData written;
  written.posLatLongAlt = zelto::Vector3(1, 2, 3);
  written.velNorthEastDown = zelto::Vector3(4, 5, 6);
  written.writeToFile(file, "g.");
  // Only the first two keys survive.
  for (const char* key : {"hAcc", "vAcc", "sAcc", "pressure", "gpsAge", "pressureAge"})
    ASSERT_EQ(file.clear((std::string("g.") + key).c_str(), false, true), 1);
  ZkfGpsPrintData r;
  r.hAcc = 7.0;
  r.gpsAge = 9;
  EXPECT_FALSE(r.readFromFileNoThrow(file, "g."));
  EXPECT_EQ(r.posLatLongAlt, written.posLatLongAlt);
  EXPECT_EQ(r.velNorthEastDown, written.velNorthEastDown);
  EXPECT_EQ(r.hAcc, 7.0);
  EXPECT_EQ(r.gpsAge, 9);
}

// A stored value of the wrong kind or too short throws like a missing key; the record keeps
// what it had (files are user-edited).
TEST(ZeltoParams, HostileStoredValuesThrowCleanly) {
  const double two[2] = {1.0, 2.0};
  struct Case {
    const char* what;
    Variant value;
  } cases[] = {
      {"text", Variant("1 2 3")},
      {"short vector", Variant(two, 2)},
      {"empty vector", Variant(two, 0)},
      {"double", Variant(3.0)},
      {"quaternion", Variant(ZtQuaternion{1, 0, 0, 0})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SettingsFile file;
    file.setSetting("x.", "acc", c.value);
    file.setSetting("x.", "gyr", Variant(zelto::Vector3(1, 1, 1)));
    ZkfInertialData d;
    d.acc = zelto::Vector3(7, 8, 9);
    try {
      d.readFromFile(file, "x.");
      FAIL() << "accepted";
    } catch (const ZtException& e) {
      EXPECT_NE(std::string(e.what()).find("Info: x.acc"), std::string::npos) << e.what();
    }
    EXPECT_EQ(d.acc, zelto::Vector3(7, 8, 9));
    EXPECT_FALSE(d.readFromFileNoThrow(file, "x."));
  }
  // A longer vector is fine: the first three items are taken.
  const double four[4] = {1, 2, 3, 4};
  SettingsFile file;
  file.setSetting("x.", "acc", Variant(four, 4));
  file.setSetting("x.", "gyr", Variant(four, 4));
  ZkfInertialData d;
  EXPECT_TRUE(d.readFromFileNoThrow(file, "x."));
  EXPECT_EQ(d.gyr, zelto::Vector3(1, 2, 3));
}

// A record with a matrix and a quaternion field, read through the typed readers that filter
// records use.
struct MatrixRecord : ZeltoParams {
  using ZeltoParams::readFromFile;
  zelto::Matrix m{3, 3};
  zelto::Quaternion q;
  void readFromFile(const SettingsFile& f, const std::string& p) override {
    readMatrix(f, p, "m", m);
    readQuaternion(f, p, "q", q);
  }
  void writeToFile(SettingsFile& f, const std::string& p) const override {
    writeSetting(f, p, "m", Variant(m));
    writeSetting(f, p, "q", Variant(static_cast<const ZtQuaternion&>(q)));
  }
};

TEST(ZeltoParams, TypedMatrixAndQuaternionReaders) {
  MatrixRecord w;
  for (int i = 0; i < 9; ++i) w.m.data[i] = i + 0.5;
  w.q = zelto::Quaternion(0.5, -0.5, 0.5, -0.5);
  SettingsFile f;
  w.writeToFile(f, "r.");
  MatrixRecord r;
  ASSERT_TRUE(r.readFromFileNoThrow(f, "r."));
  EXPECT_EQ(r.m, w.m);
  EXPECT_TRUE(r.q.compare(w.q, 0.0));

  // A larger matrix gives its leading block; a four-item vector serves as a quaternion.
  zelto::Matrix big(4, 5);
  for (int i = 0; i < 20; ++i) big.data[i] = i;
  const double four[4] = {1, 0, 0, 0};
  f.setSetting("r.", "m", Variant(big));
  f.setSetting("r.", "q", Variant(four, 4));
  ASSERT_TRUE(r.readFromFileNoThrow(f, "r."));
  EXPECT_EQ(r.m(2, 2), 12.0);
  EXPECT_TRUE(r.q.compare(zelto::Quaternion(), 0.0));

  const double three[3] = {1, 2, 3};
  const struct {
    const char* key;
    Variant value;
  } bad[] = {{"m", Variant(zelto::Matrix(3, 2))}, {"m", Variant(zelto::Matrix(2, 3))}, {"m", Variant(three, 3)},
             {"m", Variant(1.0)},                 {"q", Variant(three, 3)},             {"q", Variant("1 0 0 0")}};
  for (const auto& b : bad) {
    SettingsFile g;
    w.writeToFile(g, "");
    g.setSetting("", b.key, b.value);
    MatrixRecord x;
    EXPECT_FALSE(x.readFromFileNoThrow(g, "")) << b.key << " " << b.value.typeName();
  }
}

TEST(ZeltoParams, ReadFromNamedFile) {
  ZkfTime t;
  t.T_int = 5.0;
  EXPECT_FALSE(t.readFromFile(std::string()));
  zelto::test::TempDir dir;
  EXPECT_FALSE(t.readFromFile(dir.file("missing.zsa")));
  EXPECT_EQ(t.T_int, 5.0);

  SettingsFile out;
  ZkfTime w;
  w.T_int = 0.125;
  w.writeToFile(out, "");
  const std::string zsa = dir.file("time.zsa");
  ASSERT_EQ(out.writeZsa(zsa.c_str()), ZRV_OK);
  EXPECT_TRUE(t.readFromFile(zsa));
  EXPECT_EQ(t.T_int, 0.125);

  // zsb image of the same record, and one without the key.
  SettingsFile bin;
  const std::string zsb = dir.file("time.zsb");
  ASSERT_EQ(bin.create(zsb.c_str()), ZRV_OK);
  w.T_int = 0.5;
  w.writeToFile(bin, "");
  ASSERT_EQ(bin.save(), ZRV_OK);
  bin.close();
  EXPECT_TRUE(t.readFromFile(zsb));
  EXPECT_EQ(t.T_int, 0.5);

  SettingsFile other;
  other.setSetting("", "unrelated", Variant(1));
  const std::string bad = dir.file("other.zsa");
  ASSERT_EQ(other.writeZsa(bad.c_str()), ZRV_OK);
  EXPECT_FALSE(t.readFromFile(bad));
  EXPECT_EQ(t.T_int, 0.5);
}

TEST(SharedRecords, RoundTripThroughTextAndBinaryForms) {
  ZkfGpsPrintData g;
  g.posLatLongAlt = zelto::Vector3(52.5, -3.25, 120.0);
  g.velNorthEastDown = zelto::Vector3(1.5, -2.5, 0.25);
  g.hAcc = 1.1;
  g.vAcc = 2.2;
  g.sAcc = 0.3;
  g.pressure = 101325.0;
  g.gpsAge = 17;
  g.pressureAge = 254;
  ZkfInertialData d;
  d.acc = zelto::Vector3(0.1, -0.2, 9.8);
  d.gyr = zelto::Vector3(1e-3, 2e-3, -3e-3);
  ZkfTime t;
  t.T_int = 0.01;

  SettingsFile file;
  g.writeToFile(file, "a.gps.");
  d.writeToFile(file, "a.imu.");
  t.writeToFile(file, "a.t.");

  // Text form.
  std::string text;
  ASSERT_EQ(file.writeZsaString("", text), ZRV_OK);
  SettingsFile fromText;
  fromText.readZsaString(text.c_str());
  // Binary form.
  std::string image(file.serialize(nullptr), '\0');
  file.serialize(image.data());
  SettingsFile fromImage;
  ASSERT_EQ(fromImage.deserialize(image.data(), image.size()), image.size());

  for (const SettingsFile* f : {&file, &fromText, &fromImage}) {
    ZkfGpsPrintData g2;
    ZkfInertialData d2;
    ZkfTime t2;
    ASSERT_TRUE(g2.readFromFileNoThrow(*f, "a.gps."));
    ASSERT_TRUE(d2.readFromFileNoThrow(*f, "a.imu."));
    ASSERT_TRUE(t2.readFromFileNoThrow(*f, "a.t."));
    EXPECT_EQ(g2.posLatLongAlt, g.posLatLongAlt);
    EXPECT_EQ(g2.velNorthEastDown, g.velNorthEastDown);
    EXPECT_EQ(g2.hAcc, g.hAcc);
    EXPECT_EQ(g2.vAcc, g.vAcc);
    EXPECT_EQ(g2.sAcc, g.sAcc);
    EXPECT_EQ(g2.pressure, g.pressure);
    EXPECT_EQ(g2.gpsAge, 17);
    EXPECT_EQ(g2.pressureAge, 254);
    EXPECT_EQ(d2.acc, d.acc);
    EXPECT_EQ(d2.gyr, d.gyr);
    EXPECT_EQ(t2.T_int, 0.01);
  }
}

TEST(SharedRecords, GpsPrintDataParts) {
  ZkfGpsPrintData a;
  EXPECT_EQ(a.gpsAge, 0);
  EXPECT_EQ(a.pressureAge, 0);
  a.posLatLongAlt = zelto::Vector3(1, 2, 3);
  a.velNorthEastDown = zelto::Vector3(1, 2, 3);
  a.hAcc = 4;
  a.vAcc = 5;
  a.sAcc = 6;
  a.pressure = 7;
  a.gpsAge = 8;
  a.pressureAge = 9;

  zelto::Vector3 nwu;
  a.getVelNorthWestUp(nwu);
  EXPECT_EQ(nwu, zelto::Vector3(1, -2, -3));

  ZkfGpsPrintData gps;
  gps.clear();
  gps.copyGpsPartFrom(a);
  EXPECT_EQ(gps.posLatLongAlt, a.posLatLongAlt);
  EXPECT_EQ(gps.sAcc, 6);
  EXPECT_EQ(gps.gpsAge, 8);
  EXPECT_EQ(gps.pressure, 0);
  EXPECT_EQ(gps.pressureAge, 255);

  ZkfGpsPrintData baro;
  baro.clear();
  baro.copyBaroPartFrom(a);
  EXPECT_EQ(baro.pressure, 7);
  EXPECT_EQ(baro.pressureAge, 9);
  EXPECT_EQ(baro.gpsAge, 255);
  EXPECT_EQ(baro.hAcc, 0);

  ZkfGpsPrintData copy;
  copy = a;
  // The copy's vectors view its own storage.
  a.posLatLongAlt[0] = 100;
  EXPECT_EQ(copy.posLatLongAlt[0], 1);
  copy.clear();
  EXPECT_EQ(copy.posLatLongAlt, zelto::Vector3(0, 0, 0));
  EXPECT_EQ(copy.pressure, 0);
  EXPECT_EQ(copy.gpsAge, 255);
  EXPECT_EQ(copy.pressureAge, 255);
}

TEST(FilterTypeVersion, NamesRoundTripAndUnknownNamesGiveZero) {
  const struct {
    char type;
    const char* name;
  } table[] = {{'3', "ZKF-3"}, {'6', "ZKF-6G"}, {'U', "ZKF-6U"}, {'W', "ZKF-3W"},
               {'I', "ZKF-3I"}, {'K', "ZKF-Lum"}, {'7', "ZKF700"}};
  for (const auto& row : table) {
    SCOPED_TRACE(row.name);
    SettingsFile file;
    FilterTypeVersion w(row.type, 1, 22, 255);
    w.writeToFile(file, "s.");
    EXPECT_EQ(file.setting("s.", "gp.filter", Variant()).toStdString(), row.name);
    EXPECT_EQ(file.setting("s.", "gp.filterVersion", Variant()).toStdString(), "1.22.255");
    FilterTypeVersion r;
    ASSERT_TRUE(r.readFromFileNoThrow(file, "s."));
    EXPECT_EQ(r.type, row.type);
    EXPECT_EQ(r.major, 1);
    EXPECT_EQ(r.minor, 22);
    EXPECT_EQ(r.revision, 255);
  }
  SettingsFile file;
  FilterTypeVersion w('Q', 1, 0, 0);
  w.writeToFile(file, "");
  EXPECT_EQ(file.setting("", "gp.filter", Variant()).toStdString(), "unknown");
  FilterTypeVersion r('3', 9, 9, 9);
  ASSERT_TRUE(r.readFromFileNoThrow(file, ""));
  EXPECT_EQ(r.type, 0);

  file.setSetting("", "gp.filter", Variant("zkf-3w"));
  ASSERT_TRUE(r.readFromFileNoThrow(file, ""));
  EXPECT_EQ(r.type, 'W');
}

TEST(FilterTypeVersion, VersionTexts) {
  const struct {
    const char* text;
    bool ok;
    int major, minor, revision;
  } table[] = {
      {"1.2.3", true, 1, 2, 3},
      {"1.2", true, 1, 2, 0},
      {"7", true, 7, 0, 0},
      {"", false, 0, 0, 0},
      {"abc", false, 0, 0, 0},
      {".1.2", false, 0, 0, 0},
      {" 4. 5.6x", true, 4, 5, 6},
      {"1..2", true, 1, 0, 0},
      {"1.2.3.4", true, 1, 2, 3},
      {"300.257.-1", true, 300 & 0xFF, 1, 255},
      {"+2.-0.9", true, 2, 0, 9},
      // Beyond the int range: saturated, then truncated to 8 bits, never undefined.
      {"99999999999999999999999999.1", true, INT_MAX & 0xFF, 1, 0},
      {"-99999999999999999999999999", true, INT_MIN & 0xFF, 0, 0},
  };
  for (const auto& row : table) {
    SCOPED_TRACE(row.text);
    unsigned char a = 9, b = 9, c = 9;
    EXPECT_EQ(stringToVersion(row.text, a, b, c), row.ok);
    EXPECT_EQ(a, row.major);
    EXPECT_EQ(b, row.minor);
    EXPECT_EQ(c, row.revision);

    SettingsFile file;
    file.setSetting("", "gp.filter", Variant("ZKF-3"));
    file.setSetting("", "gp.filterVersion", Variant(row.text));
    FilterTypeVersion v('W', 9, 9, 9);
    ASSERT_TRUE(v.readFromFileNoThrow(file, ""));
    EXPECT_EQ(v.major, row.major);
    EXPECT_EQ(v.minor, row.minor);
    EXPECT_EQ(v.revision, row.revision);
  }
  unsigned char a = 1, b = 1, c = 1;
  EXPECT_FALSE(stringToVersion(nullptr, a, b, c));
  EXPECT_EQ(a + b + c, 0);
}

TEST(DecryptedScenarioPage, ClearAndLabels) {
  DecryptedScenarioPage page;
  std::memset(&page, 0xAB, sizeof(page));
  page.clear();
  EXPECT_EQ(page.type, 0);
  EXPECT_EQ(page.version, 0);
  EXPECT_EQ(std::string(page.label, 20), std::string(20, ' '));
  for (unsigned char v : page.values) EXPECT_EQ(v, 0);
  EXPECT_EQ(page.trailer, 0);

  const struct {
    const char* label;
    std::string field;
  } table[] = {
      {"abc", "abc" + std::string(17, ' ')},
      {"", std::string(20, ' ')},
      {"exactly twenty chars", "exactly twenty chars"},
      // Longer labels are cut at the field: the value bytes after it stay untouched.
      {"a label longer than twenty characters", "a label longer than "},
      {nullptr, std::string(20, ' ')},
  };
  for (const auto& row : table) {
    SCOPED_TRACE(row.label ? row.label : "(null)");
    std::memset(page.label, 'x', sizeof(page.label));
    page.values[0] = 0x5A;
    page.setLabel(row.label);
    EXPECT_EQ(std::string(page.label, 20), row.field);
    EXPECT_EQ(page.values[0], 0x5A);
    EXPECT_EQ(page.version, 0);
  }
  // The trailer is little-endian at byte 262.
  page.trailer = 0x1234;
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&page);
  EXPECT_EQ(bytes[262], 0x34);
  EXPECT_EQ(bytes[263], 0x12);

  // Records without a page form write nothing.
  ZkfTime t;
  std::memset(&page, 0x11, sizeof(page));
  t.writeToDecryptedScenarioPage(&page);
  EXPECT_EQ(bytes[0], 0x11);
  EXPECT_EQ(bytes[263], 0x11);
}

TEST(ZkfParams, OwnsItsStepSelection) {
  ASSERT_EQ(CountingSteps::live, 0);
  {
    TestParams empty;
    EXPECT_EQ(empty.filterSteps(), nullptr);
    TestParams emptyCopy(empty);
    EXPECT_EQ(emptyCopy.filterSteps(), nullptr);

    TestParams p(new CountingSteps(1));
    EXPECT_EQ(CountingSteps::live, 1);
    TestParams copy(p);
    EXPECT_EQ(CountingSteps::live, 2);
    EXPECT_NE(copy.filterSteps(), p.filterSteps());
    EXPECT_EQ(tagOf(copy), 1);

    p.setFilterSteps(new CountingSteps(2));
    EXPECT_EQ(CountingSteps::live, 2);
    EXPECT_EQ(tagOf(p), 2);
    p.setFilterSteps(p.filterSteps());  // the same object: kept, not deleted
    EXPECT_EQ(tagOf(p), 2);

    copy = p;
    EXPECT_EQ(CountingSteps::live, 2);
    EXPECT_EQ(tagOf(copy), 2);
    copy = copy;
    EXPECT_EQ(tagOf(copy), 2);
    copy = emptyCopy;
    EXPECT_EQ(copy.filterSteps(), nullptr);
    EXPECT_EQ(CountingSteps::live, 1);
    p.setFilterSteps(nullptr);
    EXPECT_EQ(CountingSteps::live, 0);
    p.setFilterSteps(new CountingSteps(3));
  }
  EXPECT_EQ(CountingSteps::live, 0);
}

struct FixedVersionFilter : ZtZkfFilter {
  bool doOneKalmanStep(const ZkfSensorData&, const ZkfAiding&, const ZkfRealTimeParameters&, ZkfFilterOutput&,
                       const ZkfTime*) override {
    return false;
  }
  void restart(ZkfParams*) override {}
  void getFullState(ZkfState*) const override {}
  void setFullState(const ZkfState*) override {}
  ZkfParams* getFilterParameters() override { return nullptr; }
  bool isInitialized() const override { return false; }
  const char* svnRevision() const override { return "$Rev: 1 $"; }
  char type() const override { return 'W'; }
  void getVersion(int& major, int& minor, int& revision) const override {
    major = 3;
    minor = 14;
    revision = 15;
  }
};

TEST(ZtZkfFilter, TwoPartVersionDropsTheRevision) {
  FixedVersionFilter f;
  const ZtZkfFilter& base = f;
  int major = 0, minor = 0;
  base.getVersion(major, minor);
  EXPECT_EQ(major, 3);
  EXPECT_EQ(minor, 14);
  struct S : ZkfState {
    void readFromFile(const SettingsFile&, const std::string&) override {}
    void writeToFile(SettingsFile&, const std::string&) const override {}
  } state;
  EXPECT_TRUE(state.isValid());
}


// A record described by one key table: every kind once, written in table order and read back.
struct TableRecord : ZeltoParams {
  double real = 0.0, count = 0.0, leading[4] = {};
  bool flag = false;
  int32_t i32 = 0, i32u = 0;
  uint16_t u16 = 0, word = 0;
  uint64_t u64 = 0;
  zelto::Vector3 vec;
  zelto::Matrix3x3 mat;
  zelto::Quaternion quat;

  std::array<SettingField, 12> fields() {
    using F = SettingField;
    return {F::real("real", real),           F::flag("flag", flag),
            F::int32("i32", i32),            F::int32ReadUnsigned("i32u", i32u),
            F::uint16("u16", u16),           F::uint16Word("word", word),
            F::uint64Low32("u64", u64),      F::realCount("count", count),
            F::vector("vec", vec),           F::leadingValues("leading", leading, 4),
            F::matrix("mat", mat),           F::quaternion("quat", quat)};
  }
  void readFromFile(const SettingsFile& file, const std::string& prefix) override {
    const auto t = fields();
    readFields(file, prefix, t.data(), t.size());
  }
  void writeToFile(SettingsFile& file, const std::string& prefix) const override {
    const auto t = const_cast<TableRecord*>(this)->fields();
    writeFields(file, prefix, t.data(), t.size());
  }
};

TEST(SettingField, EveryKindRoundTripsWithItsStoredForm) {
  TableRecord a;
  a.real = -2.5;
  a.count = 7.0;
  for (int k = 0; k < 4; ++k) a.leading[k] = k + 0.5;
  a.flag = true;
  a.i32 = -12;
  a.i32u = -3;
  a.u16 = 65535;
  a.word = 0x8001;
  a.u64 = 0x100000005ull;
  a.vec = zelto::Vector3(1, 2, 3);
  for (ZtSize r = 0; r < 3; ++r)
    for (ZtSize c = 0; c < 3; ++c) a.mat(r, c) = 3.0 * r + c;
  a.quat = zelto::Quaternion(0.5, 0.5, -0.5, 0.5);
  SettingsFile file;
  a.writeToFile(file, "t.");
  // The stored kinds the table promises.
  const struct {
    const char* key;
    uint32_t kind;
  } kinds[] = {{"real", Variant::KindDouble}, {"flag", Variant::KindBool},   {"i32", Variant::KindInt32},
               {"u16", Variant::KindInt32},   {"word", Variant::KindInt64},  {"u64", Variant::KindInt32},
               {"count", Variant::KindDouble}, {"vec", Variant::KindVector}, {"leading", Variant::KindVector},
               {"mat", Variant::KindMatrix},  {"quat", Variant::KindQuaternion}};
  for (const auto& k : kinds) {
    Variant v;
    ASSERT_EQ(file.getSetting("t.", k.key, v), ZRV_OK) << k.key;
    EXPECT_EQ(v.kind(), k.kind) << k.key;
  }
  TableRecord b;
  ASSERT_TRUE(b.readFromFileNoThrow(file, "t."));
  EXPECT_EQ(b.real, -2.5);
  EXPECT_EQ(b.count, 7.0);
  EXPECT_TRUE(b.flag);
  EXPECT_EQ(b.i32, -12);
  EXPECT_EQ(b.i32u, -3);
  EXPECT_EQ(b.u16, 65535);
  EXPECT_EQ(b.word, 0x8001);
  EXPECT_EQ(b.u64, 5u);  // the low 32 bits only
  EXPECT_TRUE(b.vec == a.vec);
  EXPECT_TRUE(b.mat == a.mat);
  EXPECT_EQ(b.quat.y, -0.5);
  for (int k = 0; k < 4; ++k) EXPECT_EQ(b.leading[k], k + 0.5);
}

TEST(SettingField, ShortValuesThrowOrFillTheLeadingElements) {
  TableRecord a;
  SettingsFile file;
  a.writeToFile(file, "");
  // A stored word above 16 bits keeps its low bits; a count stored as a real is read unsigned.
  file.setSetting("", "word", Variant(static_cast<long>(65537)));
  file.setSetting("", "count", Variant(12.75));
  // Two values for a four-element array: the first two change, the others stay.
  const double two[] = {9.0, 8.0};
  file.setSetting("", "leading", Variant(two, 2));
  TableRecord b;
  for (int k = 0; k < 4; ++k) b.leading[k] = -1.0;
  ASSERT_TRUE(b.readFromFileNoThrow(file, ""));
  EXPECT_EQ(b.word, 1);
  EXPECT_EQ(b.count, 12.0);
  EXPECT_EQ(b.leading[0], 9.0);
  EXPECT_EQ(b.leading[1], 8.0);
  EXPECT_EQ(b.leading[2], -1.0);
  EXPECT_EQ(b.leading[3], -1.0);
  // A vector of the member's kind but too short throws like a missing key, after the keys
  // before it were read.
  file.setSetting("", "vec", Variant(two, 2));
  file.setSetting("", "real", Variant(4.0));
  TableRecord c;
  EXPECT_FALSE(c.readFromFileNoThrow(file, ""));
  EXPECT_EQ(c.real, 4.0);
  EXPECT_EQ(c.count, 12.0);
  EXPECT_FALSE(c.vec == zelto::Vector3(1, 2, 3));
}

constexpr ZkfFilterBase::Identity kTestIdentity{'Q', 4, 5, 6, "$Rev: 1 $"};

TEST(ZkfFilterBase, IdentityIsReportedThroughTheInterface) {
  struct Filter : ZkfFilterBase {
    Filter() : ZkfFilterBase(kTestIdentity) {}
    bool doOneKalmanStep(const ZkfSensorData&, const ZkfAiding&, const ZkfRealTimeParameters&, ZkfFilterOutput&,
                         const ZkfTime*) override {
      return false;
    }
    void restart(ZkfParams*) override {}
    void getFullState(ZkfState*) const override {}
    void setFullState(const ZkfState*) override {}
    ZkfParams* getFilterParameters() override { return nullptr; }
    bool isInitialized() const override { return false; }
  } f;
  EXPECT_EQ(f.type(), 'Q');
  EXPECT_STREQ(f.svnRevision(), "$Rev: 1 $");
  int major = 0, minor = 0, revision = 0;
  f.getVersion(major, minor, revision);
  EXPECT_EQ(major * 100 + minor * 10 + revision, 456);
  unsigned char t, a, b, c;
  ZkfFilterBase::typeAndVersion(kTestIdentity, t, a, b, c);
  EXPECT_EQ(t, 'Q');
  EXPECT_EQ(a * 100 + b * 10 + c, 456);
}

}  // namespace
