#include "ekts/Ekts.h"

#include <cstdint>
#include <cstring>

namespace zelto {

namespace {

// Scrambling key of the records this library writes. Never change it: settings files carry
// images scrambled with it.
constexpr char kKey[] =
    "G~RXiFuurM{%A::@B6D9Y~t'FxlUZCWEAYt5]mlo0.=SJ&)m8#d/o:iNd:Rn,GiU}27ocFt/}:DT6u'4PlOd_2Irkn;"
    "Fgu^yjKM(E*C1t6A><^/;|Y*xTT<,E>NtS%e}RDW^bgA(potX0wM/vv]ShgeVE)j0>0/27jeDN7oe<t#jZl0^!j)'z0b"
    "cCQlC:xgRM&sTtx6@51G;^-WsQd|mz";
static_assert(sizeof(kKey) == Ekts::kKeyLength + 1, "the key has 213 characters");

// Values of the empty record, one per value kind.
EktsGet_U8 empty_U8() { return 0; }
EktsGet_U16 empty_U16() { return 0; }
EktsGet_U32 empty_U32() { return 0; }
EktsGet_REAL empty_REAL() { return 0.0; }
EktsGet_REAL2 empty_REAL2() { return Vector(); }
EktsGet_REAL3 empty_REAL3() { return Vector3(); }
EktsGet_REAL3D empty_REAL3D() { return Vector3(); }
EktsGet_MAT33 empty_MAT33() { return Matrix3x3(); }
EktsGet_QUAT empty_QUAT() { return Quaternion(); }
EktsGet_BYTES20 empty_BYTES20() { return nullptr; }
EktsGet_BYTES120 empty_BYTES120() { return nullptr; }
EktsGet_OUTCFG empty_OUTCFG() { return GenericMatrix<unsigned short>(32, 2); }

}  // namespace

Ekts::~Ekts() = default;

unsigned char* Ekts::pointerToData() { return nullptr; }
int Ekts::dataSize() const { return 0; }
void Ekts::initializeFromBuffer(const unsigned char*, int, bool) {}
int Ekts::getEncryptedEktsData(unsigned char*) const { return 0; }

#define EKTS_FIELD(name, Name, kind, o3, o4, o5, mgr)         \
  bool Ekts::has##Name() const { return false; }         \
  EktsGet_##kind Ekts::name() const { return empty_##kind(); } \
  void Ekts::set##Name(EktsSet_##kind) {}
#include "ekts/EktsFields.h"
#undef EKTS_FIELD

const char* Ekts::key() { return kKey; }

void Ekts::codeEkts(const void* source, void* destination, int length, int keyPosition) {
  if (length <= 0 || keyPosition < 0 || !source || !destination) return;
  const auto* src = static_cast<const unsigned char*>(source);
  auto* dst = static_cast<unsigned char*>(destination);
  int k = keyPosition % kKeyLength;
  for (int i = 0; i < length; ++i) {
    dst[i] = static_cast<unsigned char>(src[i] ^ static_cast<unsigned char>(kKey[k]));
    if (++k == kKeyLength) k = 0;
  }
}

void Ekts::codeEkts32(const void* source, void* destination, int length, int keyPosition) {
  if (length <= 0 || keyPosition < 0 || !source || !destination) return;
  const auto* src = static_cast<const unsigned char*>(source);
  auto* dst = static_cast<unsigned char*>(destination);
  int k = keyPosition % kKeyLength;
  const int words = length / 4;
  for (int w = 0; w < words; ++w) {
    uint32_t key = 0;
    for (int b = 0; b < 4; ++b)
      key |= static_cast<uint32_t>(static_cast<unsigned char>(kKey[(k + b) % kKeyLength])) << (8 * b);
    uint32_t value;
    std::memcpy(&value, src + 4 * w, 4);
    value ^= key;
    std::memcpy(dst + 4 * w, &value, 4);
    k = (k + 4) % kKeyLength;
  }
  // The tail byte by byte, never past either buffer.
  codeEkts(src + 4 * words, dst + 4 * words, length - 4 * words, k);
}

}  // namespace zelto
