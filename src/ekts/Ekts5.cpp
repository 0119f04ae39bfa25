#include "ekts/Ekts5.h"

#include <cstring>

#include "ekts/EktsCodec.h"

namespace zelto {

Ekts5::Ekts5() : m_dataSize(kImageSize) {
  std::memset(m_image, 0, sizeof(m_image));
  ektsdetail::setInt<unsigned short>(m_image + 28, 0x0501);
}

Ekts5::~Ekts5() = default;

unsigned char* Ekts5::pointerToData() { return m_image; }
int Ekts5::dataSize() const { return m_dataSize; }

void Ekts5::initializeFromBuffer(const unsigned char* buffer, int size, bool encrypted) {
  if (!buffer || size < 0) return;
  const int n = size < kImageSize ? size : kImageSize;
  m_dataSize = n;
  std::memmove(m_image, buffer, static_cast<size_t>(n));
  if (encrypted) codeEkts(m_image, m_image, kImageSize, 0);
}

int Ekts5::getEncryptedEktsData(unsigned char* out) const {
  if (out) codeEkts(m_image, out, kImageSize, 0);
  return kImageSize;
}

void Ekts5::getOutputConfiguration(GenericMatrix<unsigned short>& m) const {
  ektsdetail::readOutputConfiguration(m_image + 72, m);
}

// Fields this layout lacks answer as the empty record does.
#define EKTS_FIELD(name, Name, kind, o3, o4, o5, mgr)                                               \
  bool Ekts5::has##Name() const { return (o5) >= 0; }                                      \
  EktsGet_##kind Ekts5::name() const {                                                       \
    if constexpr ((o5) < 0) return Ekts::name();                                            \
    else return ektsdetail::get_##kind(m_image + ((o5) < 0 ? 0 : (o5)),                    \
                                       ektsdetail::RealCoding::Single);                          \
  }                                                                                            \
  void Ekts5::set##Name(EktsSet_##kind value) {                                              \
    if constexpr ((o5) < 0) Ekts::set##Name(value);                                         \
    else ektsdetail::set_##kind(m_image + ((o5) < 0 ? 0 : (o5)), value,                    \
                                ektsdetail::RealCoding::Single);                                 \
  }
#include "ekts/EktsFields.h"
#undef EKTS_FIELD

}  // namespace zelto
