#include "ekts/Ekts3.h"

#include <cstring>

#include "ekts/EktsCodec.h"

namespace zelto {

Ekts3::Ekts3() : m_dataSize(kImageSize) {
  std::memset(m_image, 0, sizeof(m_image));
  ektsdetail::setInt<unsigned short>(m_image + 28, 0x0300);
}

Ekts3::~Ekts3() = default;

unsigned char* Ekts3::pointerToData() { return m_image; }
int Ekts3::dataSize() const { return m_dataSize; }

void Ekts3::initializeFromBuffer(const unsigned char* buffer, int size, bool encrypted) {
  if (!buffer || size < 0) return;
  const int n = size < kImageSize ? size : kImageSize;
  m_dataSize = n;
  std::memmove(m_image, buffer, static_cast<size_t>(n));
  if (encrypted) codeEkts(m_image, m_image, kImageSize, 0);
}

int Ekts3::getEncryptedEktsData(unsigned char* out) const {
  if (out) codeEkts(m_image, out, kImageSize, 0);
  return kImageSize;
}

// Fields this layout lacks answer as the empty record does.
#define EKTS_FIELD(name, Name, kind, o3, o4, o5, mgr)                                               \
  bool Ekts3::has##Name() const { return (o3) >= 0; }                                      \
  EktsGet_##kind Ekts3::name() const {                                                       \
    if constexpr ((o3) < 0) return Ekts::name();                                            \
    else return ektsdetail::get_##kind(m_image + ((o3) < 0 ? 0 : (o3)),                    \
                                       ektsdetail::RealCoding::FastFloat6);                          \
  }                                                                                            \
  void Ekts3::set##Name(EktsSet_##kind value) {                                              \
    if constexpr ((o3) < 0) Ekts::set##Name(value);                                         \
    else ektsdetail::set_##kind(m_image + ((o3) < 0 ? 0 : (o3)), value,                    \
                                ektsdetail::RealCoding::FastFloat6);                                 \
  }
#include "ekts/EktsFields.h"
#undef EKTS_FIELD

}  // namespace zelto
