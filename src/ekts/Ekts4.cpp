#include "ekts/Ekts4.h"

#include <cstring>

#include "ekts/EktsCodec.h"

namespace zelto {

Ekts4::Ekts4() : m_dataSize(kImageSize) {
  std::memset(m_image, 0, sizeof(m_image));
  ektsdetail::setInt<unsigned short>(m_image + 28, 0x0400);
}

Ekts4::~Ekts4() = default;

unsigned char* Ekts4::pointerToData() { return m_image; }
int Ekts4::dataSize() const { return m_dataSize; }

void Ekts4::initializeFromBuffer(const unsigned char* buffer, int size, bool encrypted) {
  if (!buffer || size < 0) return;
  const int n = size < kImageSize ? size : kImageSize;
  m_dataSize = n;
  std::memmove(m_image, buffer, static_cast<size_t>(n));
  if (encrypted) codeEkts(m_image, m_image, kImageSize, 0);
}

int Ekts4::getEncryptedEktsData(unsigned char* out) const {
  if (out) codeEkts(m_image, out, kImageSize, 0);
  return kImageSize;
}

// Fields this layout lacks answer as the empty record does.
#define EKTS_FIELD(name, Name, kind, o3, o4, o5, mgr)                                               \
  bool Ekts4::has##Name() const { return (o4) >= 0; }                                      \
  EktsGet_##kind Ekts4::name() const {                                                       \
    if constexpr ((o4) < 0) return Ekts::name();                                            \
    else return ektsdetail::get_##kind(m_image + ((o4) < 0 ? 0 : (o4)),                    \
                                       ektsdetail::RealCoding::FastFloat6);                          \
  }                                                                                            \
  void Ekts4::set##Name(EktsSet_##kind value) {                                              \
    if constexpr ((o4) < 0) Ekts::set##Name(value);                                         \
    else ektsdetail::set_##kind(m_image + ((o4) < 0 ? 0 : (o4)), value,                    \
                                ektsdetail::RealCoding::FastFloat6);                                 \
  }
#include "ekts/EktsFields.h"
#undef EKTS_FIELD

}  // namespace zelto
