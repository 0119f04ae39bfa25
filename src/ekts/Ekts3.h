#pragma once
// Record format versions 2 and 3: reals as 6-byte FastFloat.
#include "ekts/Ekts.h"

namespace zelto {

class Ekts3 : public Ekts {
 public:
  // A cleared image holding only its ktsVersion (0x0300); dataSize 1320.
  Ekts3();
  ~Ekts3() override;
  Ekts3(const Ekts3&) = default;
  Ekts3& operator=(const Ekts3&) = default;

  unsigned char* pointerToData() override;
  int dataSize() const override;
  void initializeFromBuffer(const unsigned char* buffer, int size, bool encrypted) override;
  int getEncryptedEktsData(unsigned char* out) const override;

#define EKTS_FIELD(name, Name, kind, o3, o4, o5, mgr) \
  bool has##Name() const override;               \
  EktsGet_##kind name() const override;          \
  void set##Name(EktsSet_##kind value) override;
#include "ekts/EktsFields.h"
#undef EKTS_FIELD

 private:
  int m_dataSize;
  unsigned char m_image[kImageSize];
};

}  // namespace zelto
