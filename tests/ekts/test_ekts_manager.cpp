// The record manager: version selection, forwarding, page pointers, hostile images, and the
// callers' ways of assembling a record from pages, quarter pages and whole images.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <memory>
#include <type_traits>
#include <vector>

#include "ekts/Ekts3.h"
#include "ekts/Ekts4.h"
#include "ekts/Ekts5.h"
#include "ekts/EktsManager.h"

using namespace zelto;

namespace {

std::vector<uint8_t> plainImage(int version, uint8_t minor = 0) {
  std::vector<uint8_t> img(1320);
  for (int i = 0; i < 1320; ++i) img[i] = static_cast<uint8_t>(i * 7 + 3);
  img[28] = minor;
  img[29] = static_cast<uint8_t>(version);
  return img;
}

std::vector<uint8_t> scrambled(std::vector<uint8_t> img) {
  Ekts::codeEkts(img.data(), img.data(), static_cast<int>(img.size()), 0);
  return img;
}

TEST(EktsManager, ANewManagerHoldsTheEmptyRecord) {
  EktsManager m;
  ASSERT_NE(m.ekts(), nullptr);
  EXPECT_FALSE(m.hasDeviceId());
  EXPECT_EQ(m.deviceId(), 0u);
  EXPECT_FALSE(m.hasPage5());
  EXPECT_EQ(m.getEncryptedEktsData(nullptr), 0);
  EXPECT_EQ(m.ktsVersionMajor(), 0);
  EXPECT_EQ(m.getPagePtr(1), nullptr);
  EXPECT_EQ(m.productCode(), nullptr);
  EXPECT_EQ(m.sdGpsPos().size, 0u);
  EXPECT_EQ(m.quatRotSensor().w, 1.0);
}

TEST(EktsManager, InitializeChoosesTheClassAndRefusesOtherVersions) {
  struct Case {
    int version;
    bool ok;
    int kind;  // 3, 4, 5, or 0 when the held record must stay the loaded Ekts4
  } cases[] = {{2, true, 3}, {3, true, 3}, {4, true, 4}, {5, true, 5}, {1, false, 0}, {6, false, 0}, {-1, false, 0}, {256 + 4, false, 0}};
  for (const auto& c : cases) {
    EktsManager m;
    ASSERT_TRUE(m.initializeFromBuffer(plainImage(4).data(), 1320, false));
    m.setLocationId(4242);
    Ekts* before = m.ekts();
    EXPECT_EQ(m.initialize(c.version), c.ok) << c.version;
    if (!c.ok) {
      EXPECT_EQ(m.ekts(), before);
      EXPECT_EQ(m.locationId(), 4242);
      EXPECT_EQ(m.ktsVersionMajor(), 4);
      continue;
    }
    EXPECT_EQ(c.kind == 3, dynamic_cast<Ekts3*>(m.ekts()) != nullptr);
    EXPECT_EQ(c.kind == 4, dynamic_cast<Ekts4*>(m.ekts()) != nullptr);
    EXPECT_EQ(c.kind == 5, dynamic_cast<Ekts5*>(m.ekts()) != nullptr);
    EXPECT_TRUE(m.hasPage5());
    EXPECT_NE(m.locationId(), 4242);  // the record was replaced
  }
}

TEST(EktsManager, InitializeFromBufferSelectsByTheVersionByte) {
  EktsManager m;
  // A version-2 image keeps its own version field.
  ASSERT_TRUE(m.initializeFromBuffer(plainImage(2).data(), 1320, false));
  EXPECT_NE(dynamic_cast<Ekts3*>(m.ekts()), nullptr);
  EXPECT_EQ(m.ktsVersionMajor(), 2);
  // Plain bytes 28/29 = 01 05.
  ASSERT_TRUE(m.initializeFromBuffer(plainImage(5, 1).data(), 1320, false));
  EXPECT_NE(dynamic_cast<Ekts5*>(m.ekts()), nullptr);
  EXPECT_EQ(m.ktsVersionMajor(), 5);
  EXPECT_EQ(m.ktsVersionMinor(), 1);
  // Scrambled: the unscrambled byte 29 decides, whatever is stored there.
  auto s = scrambled(plainImage(4));
  ASSERT_NE(s[29], 4);
  const auto copy = s;
  ASSERT_TRUE(m.initializeFromBuffer(s.data(), 1320, true));
  EXPECT_EQ(s, copy);  // the caller's buffer is untouched
  EXPECT_NE(dynamic_cast<Ekts4*>(m.ekts()), nullptr);
  EXPECT_EQ(0, std::memcmp(m.ekts()->pointerToData(), plainImage(4).data(), 1320));
  // Version 7 keeps the old record.
  Ekts* held = m.ekts();
  EXPECT_FALSE(m.initializeFromBuffer(plainImage(7).data(), 1320, false));
  EXPECT_EQ(m.ekts(), held);
  EXPECT_EQ(m.ktsVersionMajor(), 4);
}

TEST(EktsManager, PagesAndSizes) {
  EktsManager m;
  ASSERT_TRUE(m.initialize(5));
  EXPECT_TRUE(m.hasPage5());
  auto img = plainImage(3);
  struct Case {
    int size;
    bool page5;
    int dataSize;
  } cases[] = {{1056, false, 1056}, {1319, false, 1319}, {1320, true, 1320}, {2000, true, 1320}};
  std::vector<uint8_t> big(2000, 0x11);
  std::memcpy(big.data(), img.data(), 1320);
  for (const auto& c : cases) {
    ASSERT_TRUE(m.initializeFromBuffer(big.data(), c.size, false));
    EXPECT_EQ(m.hasPage5(), c.page5) << c.size;
    EXPECT_EQ(m.ekts()->dataSize(), c.dataSize);
  }
  EXPECT_EQ(m.getPagePtr(1), m.ekts()->pointerToData());
  EXPECT_EQ(m.getPagePtr(5), m.ekts()->pointerToData() + 1056);
  EXPECT_EQ(m.getPagePtr(0), nullptr);
  EXPECT_EQ(m.getPagePtr(6), nullptr);
  EXPECT_EQ(m.getPagePtr(-3), nullptr);
}

TEST(EktsManager, ByteSplitters) {
  EktsManager m;
  ASSERT_TRUE(m.initialize(3));
  m.setZkfScenario(0x0A03);
  EXPECT_EQ(m.zkfScenarioType(), 0x03);
  EXPECT_EQ(m.zkfScenarioVersion(), 0x0A);
  m.ekts()->setHardwareVersion(0x0501);
  EXPECT_EQ(m.hardwareVersionMajor(), 5);
  EXPECT_EQ(m.hardwareVersionMinor(), 1);
  m.ekts()->setGpsPrintHardwareVersion(0x0203);
  m.ekts()->setGpsConfigurationSettingsVersion(0x0405);
  EXPECT_EQ(m.gpsPrintHardwareVersionMajor(), 2);
  EXPECT_EQ(m.gpsPrintHardwareVersionMinor(), 3);
  EXPECT_EQ(m.gpsConfigurationSettingsVersionMajor(), 4);
  EXPECT_EQ(m.gpsConfigurationSettingsVersionMinor(), 5);
}

TEST(EktsManager, HostileImagesAreRefusedWithoutReadingPastThem) {
  EktsManager m;
  ASSERT_TRUE(m.initializeFromBuffer(plainImage(5).data(), 1320, false));
  m.setLocationId(77);
  Ekts* held = m.ekts();
  // Each short buffer is its own allocation of exactly that size, so a read past it trips ASan.
  const auto img5 = plainImage(5);
  for (int size = 0; size < 30; ++size) {
    std::vector<uint8_t> b(img5.begin(), img5.begin() + size);
    EXPECT_FALSE(m.initializeFromBuffer(size ? b.data() : nullptr, size, false)) << size;
    EXPECT_FALSE(m.initializeFromBuffer(size ? b.data() : nullptr, size, true)) << size;
  }
  EXPECT_FALSE(m.initializeFromBuffer(nullptr, 1320, false));
  EXPECT_FALSE(m.initializeFromBuffer(img5.data(), -1, false));
  EXPECT_EQ(m.ekts(), held);
  EXPECT_EQ(m.locationId(), 77);
  for (int size : {30, 1055, 1056, 1319, 1320, 1321, 100000}) {
    std::vector<uint8_t> b(size, 0x5A);
    b[29] = 3;
    EXPECT_TRUE(m.initializeFromBuffer(b.data(), size, false)) << size;
    EXPECT_EQ(m.ekts()->dataSize(), size < 1320 ? size : 1320);
  }
  // Every version byte, plain and scrambled.
  for (int v = 0; v < 256; ++v) {
    auto img = plainImage(v);
    EktsManager n;
    const bool accepted = v >= 2 && v <= 5;
    EXPECT_EQ(n.initializeFromBuffer(img.data(), 1320, false), accepted) << v;
    EXPECT_EQ(n.initializeFromBuffer(scrambled(img).data(), 1320, true), accepted) << v;
    EXPECT_EQ(n.ktsVersionMajor(), accepted ? v : 0);
  }
}

// The manager's setters: exactly the fields marked SET in the table, checked here against a
// list written out independently.
template <typename M>
concept HasSetDeviceId = requires(M m) { m.setDeviceId(1u); };
template <typename M>
concept HasSetLocationId = requires(M m) { m.setLocationId(1); };
template <typename M>
concept HasSetOffsetAcc = requires(M m, const Vector& v) { m.setOffsetAcc(v); };
template <typename M>
concept HasSetRMag = requires(M m, const Matrix& v) { m.setRMag(v); };
template <typename M>
concept HasSetProgramSelection = requires(M m) { m.setProgramSelection(1); };
template <typename M>
concept HasSetSyncSettings = requires(M m, const unsigned char* p) { m.setSyncSettings(p); };
static_assert(!HasSetDeviceId<EktsManager>);
static_assert(HasSetLocationId<EktsManager>);
static_assert(!HasSetOffsetAcc<EktsManager>);
static_assert(HasSetRMag<EktsManager>);
static_assert(!HasSetProgramSelection<EktsManager>);
static_assert(HasSetSyncSettings<EktsManager>);

const char* const kManagerSetters[] = {
    "locationId", "offsetMag", "rMag", "gainMag", "tempLinOffsetMag", "tempLinGainMag", "gpsLeverArm", "factoryMode",
    "magneticDeclination", "lastKnownLatLongAlt", "outputMode", "outputSettings", "zkfScenario",
    "deviceSettingsFlags", "samplePeriod", "errorMode", "extendedOutputMode", "outputSkipFactor", "syncInMode",
    "syncInSkipFactor", "syncInOffset", "syncOutMode", "syncOutSkipFactor", "syncOutOffset", "syncOutPulseWidth",
    "baudrate", "processingFlags", "objectAlignment", "headingOffset", "gyroBiasEstimation", "gravityMagnitude",
    "rs485AcknowledgeTransmissionDelay", "stringOutputReportType", "hid", "selfTest", "magField", "channellist",
    "linkLostTime", "relStatTime", "masterEvalTime", "relStatGood", "noConnectAcks", "maxScans", "chargerEnable",
    "usbMode", "usbForceOff", "outputConfiguration", "stringOutputType", "sdiFrequency", "zkfFrequency",
    "controlInputFlags", "estEngineFlags", "syncSettings", "lastKnownDate", "quatRotSensor", "quatRotLocal",
    "holonomicAxis", "tempQuadOffsetMag", "tempQuadGainMag"};

// Each SET field of the table, at compile time: does the manager have the setter?
#define EKTS_FIELD(name, Name, kind, o3, o4, o5, mgr)                                                         \
  template <typename M>                                                                                        \
  concept ManagerHasSet##Name = requires(M m, zelto::EktsSet_##kind v) { m.set##Name(v); };                   \
  static_assert(ManagerHasSet##Name<EktsManager> == (std::string_view(#mgr) == "SET"), #name);
#include "ekts/EktsFields.h"
#undef EKTS_FIELD

TEST(EktsManager, TheSetterListMatchesTheTable) {
  std::vector<std::string> table;
#define EKTS_FIELD(name, Name, kind, o3, o4, o5, mgr) \
  if (std::string_view(#mgr) == "SET") table.push_back(#name);
#include "ekts/EktsFields.h"
#undef EKTS_FIELD
  ASSERT_EQ(table.size(), std::size(kManagerSetters));
  for (size_t i = 0; i < table.size(); ++i) EXPECT_EQ(table[i], kManagerSetters[i]);
}

// Every field, every version: values set on the record read the same through the manager, and
// values set through the manager's setters (the SET fields) land in the record.
namespace forwarding {

unsigned char make_U8(int s) { return static_cast<unsigned char>(s * 3 + 1); }
unsigned short make_U16(int s) { return static_cast<unsigned short>(s * 257 + 3); }
unsigned int make_U32(int s) { return static_cast<unsigned int>(s) * 16777619u + 5u; }
double make_REAL(int s) { return s * 0.75 - 3.0; }
Vector make_REAL2(int s) {
  Vector v(2);
  v.data[0] = s * 0.5;
  v.data[1] = -s * 0.25;
  return v;
}
Vector make_REAL3(int s) {
  Vector v(3);
  for (int i = 0; i < 3; ++i) v.data[i] = s * 0.5 + i;
  return v;
}
Vector make_REAL3D(int s) { return make_REAL3(s); }
Matrix make_MAT33(int s) {
  Matrix m(3, 3);
  for (int i = 0; i < 9; ++i) m.data[i] = s + i * 0.125;
  return m;
}
Quaternion make_QUAT(int s) { return Quaternion(s * 0.5, 1.0, -2.0, 0.25); }
std::vector<unsigned char> g_bytes(120);
const unsigned char* make_BYTES20(int s) {
  for (int i = 0; i < 120; ++i) g_bytes[i] = static_cast<unsigned char>(s + 7 * i);
  return g_bytes.data();
}
const unsigned char* make_BYTES120(int s) { return make_BYTES20(s); }
GenericMatrix<unsigned short> make_OUTCFG(int s) {
  GenericMatrix<unsigned short> m(32, 2);
  for (int i = 0; i < 64; ++i) m.data()[i] = static_cast<unsigned short>(s * 11 + i);
  return m;
}

template <typename T>
  requires std::is_arithmetic_v<T>
bool same(T a, T b) {
  return a == b;
}
bool same(const Vector& a, const Vector& b) {
  if (a.size != b.size) return false;
  for (size_t i = 0; i < a.size; ++i)
    if (a.data[i] != b.data[i]) return false;
  return true;
}
bool same(const Matrix& a, const Matrix& b) {
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c)
      if (a(r, c) != b(r, c)) return false;
  return true;
}
bool same(const Quaternion& a, const Quaternion& b) { return a.w == b.w && a.x == b.x && a.y == b.y && a.z == b.z; }
bool same(const unsigned char* a, const unsigned char* b) { return a == b; }
bool same(const GenericMatrix<unsigned short>& a, const GenericMatrix<unsigned short>& b) {
  return a.rows() == b.rows() && a.cols() == b.cols() &&
         std::memcmp(a.data(), b.data(), sizeof(unsigned short) * 64) == 0;
}

// Values compared by content (byte blocks by their bytes, not their address).
template <typename T>
bool sameValue(const T& a, const T& b) {
  return same(a, b);
}
bool sameBytes(const unsigned char* a, const unsigned char* b, size_t n) {
  return a && b ? std::memcmp(a, b, n) == 0 : a == b;
}

std::unique_ptr<Ekts> fresh(int version) {
  if (version == 3) return std::make_unique<Ekts3>();
  if (version == 4) return std::make_unique<Ekts4>();
  return std::make_unique<Ekts5>();
}

}  // namespace forwarding

#define EKTS_SAME_VALUE_U8(a, b) forwarding::sameValue(a, b)
#define EKTS_SAME_VALUE_U16(a, b) forwarding::sameValue(a, b)
#define EKTS_SAME_VALUE_U32(a, b) forwarding::sameValue(a, b)
#define EKTS_SAME_VALUE_REAL(a, b) forwarding::sameValue(a, b)
#define EKTS_SAME_VALUE_REAL2(a, b) forwarding::same(a, b)
#define EKTS_SAME_VALUE_REAL3(a, b) forwarding::same(a, b)
#define EKTS_SAME_VALUE_REAL3D(a, b) forwarding::same(a, b)
#define EKTS_SAME_VALUE_MAT33(a, b) forwarding::same(a, b)
#define EKTS_SAME_VALUE_QUAT(a, b) forwarding::same(a, b)
#define EKTS_SAME_VALUE_OUTCFG(a, b) forwarding::same(a, b)
#define EKTS_SAME_VALUE_BYTES20(a, b) forwarding::sameBytes(a, b, 20)
#define EKTS_SAME_VALUE_BYTES120(a, b) forwarding::sameBytes(a, b, 120)

TEST(EktsManager, EveryFieldForwardsInEveryVersion) {
  using namespace forwarding;
  for (int version : {3, 4, 5}) {
    EktsManager m;
    ASSERT_TRUE(m.initialize(version));
    Ekts& e = *m.ekts();
    int k = 0;
    int setThroughManager = 0;
#define EKTS_FORWARD_SET_GET(name, Name, kind)
#define EKTS_FORWARD_SET_SET(name, Name, kind)                                          \
  {                                                                                      \
    auto reference = fresh(version);                                                     \
    reference->set##Name(make_##kind(k + 100));                                          \
    m.set##Name(make_##kind(k + 100));                                                   \
    EXPECT_TRUE(EKTS_SAME_VALUE_##kind(e.name(), reference->name())) << #name << " v" << version; \
    ++setThroughManager;                                                                 \
  }
#define EKTS_FIELD(name, Name, kind, o3, o4, o5, mgr)                                   \
  ++k;                                                                                   \
  e.set##Name(make_##kind(k));                                                           \
  EXPECT_EQ(m.has##Name(), e.has##Name()) << #name;                                      \
  EXPECT_TRUE(same(m.name(), e.name())) << #name << " v" << version;                     \
  EKTS_FORWARD_SET_##mgr(name, Name, kind)
#include "ekts/EktsFields.h"
#undef EKTS_FIELD
#undef EKTS_FORWARD_SET_SET
#undef EKTS_FORWARD_SET_GET
    EXPECT_EQ(k, 135);
    EXPECT_EQ(setThroughManager, 59);
    // A SET field written through the manager reads back from the record as written.
    m.setSamplePeriod(4321);
    EXPECT_EQ(e.samplePeriod(), 4321);
  }
}

TEST(EktsManager, ForwardsToTheHeldRecordInEveryVersion) {
  for (int version : {3, 4, 5}) {
    EktsManager m;
    ASSERT_TRUE(m.initialize(version));
    Vector v(3);
    v.data[0] = 0.5;
    v.data[1] = -2.0;
    v.data[2] = 4.0;
    m.ekts()->setOffsetAcc(v);
    EXPECT_EQ(m.offsetAcc().data[1], -2.0);
    m.setGainMag(v);
    EXPECT_EQ(m.ekts()->gainMag().data[2], m.hasGainMag() ? 4.0 : 0.0);
    m.setSamplePeriod(1152);
    EXPECT_EQ(m.ekts()->samplePeriod(), 1152);
    m.setChannellist(0xABCDEF);
    EXPECT_EQ(m.hasChannellist(), version == 4);
    EXPECT_EQ(m.channellist(), version == 4 ? 0xABCDEFu : 0u);
  }
}

// Callers that read a record in pieces: pages or quarter pages, version taken from the first
// piece through a temporary manager, then the assembled scrambled image loaded whole.
TEST(EktsManager, RecordsAssembledFromPiecesReadBackExactly) {
  for (int version : {3, 4, 5}) {
    EktsManager source;
    ASSERT_TRUE(source.initialize(version));
    std::mt19937 rng(version);
    for (int i = 0; i < 1320; ++i) source.ekts()->pointerToData()[i] = static_cast<uint8_t>(rng());
    source.ekts()->setKtsVersion(static_cast<unsigned short>(version << 8 | 1));
    std::vector<uint8_t> exported(source.getEncryptedEktsData(nullptr));
    ASSERT_EQ(exported.size(), 1320u);
    source.getEncryptedEktsData(exported.data());
    for (int pieceSize : {264, 66, 1320}) {
      std::vector<uint8_t> assembled(1320, 0);
      int have = 0;
      bool page5 = true;
      for (int p = 0; p * pieceSize < 1320; ++p) {
        std::vector<uint8_t> piece(exported.begin() + p * pieceSize, exported.begin() + (p + 1) * pieceSize);
        if (p == 0) {
          uint8_t ver[2] = {piece[28], piece[29]};
          EktsManager::codeEkts(ver, ver, 2, 28);
          EktsManager temp;
          ASSERT_TRUE(temp.initialize(ver[1]));
          page5 = temp.hasPage5();
        }
        std::memcpy(assembled.data() + have, piece.data(), piece.size());
        have += pieceSize;
      }
      ASSERT_TRUE(page5);
      EktsManager m;
      ASSERT_TRUE(m.initializeFromBuffer(assembled.data(), have, true));
      EXPECT_EQ(0, std::memcmp(m.ekts()->pointerToData(), source.ekts()->pointerToData(), 1320)) << pieceSize;
      EXPECT_EQ(m.offsetGyr().data[0], source.offsetGyr().data[0]);
      EXPECT_EQ(m.deviceId(), source.deviceId());
    }
    // Four pages only: the image holds no page 5.
    EktsManager four;
    ASSERT_TRUE(four.initializeFromBuffer(exported.data(), 1056, true));
    EXPECT_FALSE(four.hasPage5());
    EXPECT_EQ(0, std::memcmp(four.ekts()->pointerToData(), source.ekts()->pointerToData(), 1056));
  }
  // A first piece whose version is refused.
  auto bad = scrambled(plainImage(9));
  uint8_t ver[2] = {bad[28], bad[29]};
  EktsManager::codeEkts(ver, ver, 2, 28);
  EktsManager temp;
  EXPECT_FALSE(temp.initialize(ver[1]));
}

}  // namespace
