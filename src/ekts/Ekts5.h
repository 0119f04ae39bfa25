#pragma once
// Record format version 5: reals as IEEE single, the last known position as doubles.
#include "ekts/Ekts.h"

namespace zelto {

class Ekts5 : public Ekts {
 public:
  // A cleared image holding only its ktsVersion (0x0501); dataSize 1320.
  Ekts5();
  ~Ekts5() override;
  Ekts5(const Ekts5&) = default;
  Ekts5& operator=(const Ekts5&) = default;

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
  // Copies the 32 output-configuration rows into m (32 rows, at least 2 columns; the column
  // count is the distance between rows). Neither checks nor resizes m.
  virtual void getOutputConfiguration(GenericMatrix<unsigned short>& m) const;

 private:
  int m_dataSize;
  unsigned char m_image[kImageSize];
};

}  // namespace zelto
