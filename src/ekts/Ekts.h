#pragma once
// The device record every tracker carries: a 1320-byte image of five 264-byte pages,
// read through one virtual accessor triple per field (presence, getter, setter). `Ekts` itself
// answers as an empty record; the version classes Ekts3, Ekts4 and Ekts5 interpret the image in
// their layout. The field list, with each version's offsets, is EktsFields.h.
#include "math/Matrix3x3.h"
#include "math/Quaternion.h"
#include "math/Vector.h"
#include "math/Vector3.h"
#include "trackers/GenericMatrix.h"

namespace zelto {

// Value kinds of the fields: what a getter returns and a setter takes.
using EktsGet_U8 = unsigned char;
using EktsSet_U8 = unsigned char;
using EktsGet_U16 = unsigned short;
using EktsSet_U16 = unsigned short;
using EktsGet_U32 = unsigned int;
using EktsSet_U32 = unsigned int;
using EktsGet_REAL = double;
using EktsSet_REAL = double;
using EktsGet_REAL2 = Vector;
using EktsSet_REAL2 = const Vector&;
using EktsGet_REAL3 = Vector3;
using EktsSet_REAL3 = const Vector&;
using EktsGet_REAL3D = Vector3;
using EktsSet_REAL3D = const Vector&;
using EktsGet_MAT33 = Matrix3x3;
using EktsSet_MAT33 = const Matrix&;
using EktsGet_QUAT = Quaternion;
using EktsSet_QUAT = const Quaternion&;
using EktsGet_BYTES20 = const unsigned char*;
using EktsSet_BYTES20 = const unsigned char*;
using EktsGet_BYTES120 = const unsigned char*;
using EktsSet_BYTES120 = const unsigned char*;
using EktsGet_OUTCFG = GenericMatrix<unsigned short>;
using EktsSet_OUTCFG = const GenericMatrix<unsigned short>&;

class Ekts {
 public:
  static constexpr int kImageSize = 1320;
  static constexpr int kPageSize = 264;
  static constexpr int kKeyLength = 213;

  virtual ~Ekts();

  // The first image byte; null for the empty record.
  virtual unsigned char* pointerToData();
  // Valid image bytes: 0 for the empty record.
  virtual int dataSize() const;
  // Loads the image from size bytes of buffer (at most 1320), unscrambling all 1320 image bytes
  // when encrypted. A null buffer or a negative size changes nothing.
  virtual void initializeFromBuffer(const unsigned char* buffer, int size, bool encrypted);
  // Writes the scrambled image to out unless it is null; returns the image size (0 for the
  // empty record), so a caller may ask for the size first.
  virtual int getEncryptedEktsData(unsigned char* out) const;

#define EKTS_FIELD(name, Name, kind, o3, o4, o5, mgr) \
  virtual bool has##Name() const;                \
  virtual EktsGet_##kind name() const;           \
  virtual void set##Name(EktsSet_##kind value);
#include "ekts/EktsFields.h"
#undef EKTS_FIELD

  // Scrambles or unscrambles length bytes (the same call does both). The key index follows the
  // byte's position in the image, so a part of the image is coded with the position of its first
  // byte as key position. Source and destination may be the same buffer. A length of 0 or less,
  // or a negative key position, changes nothing.
  static void codeEkts(const void* source, void* destination, int length, int keyPosition);
  // The same transformation done on 32-bit words; the tail of a length that is not a multiple
  // of 4 is done byte by byte, so the result equals codeEkts for every length.
  static void codeEkts32(const void* source, void* destination, int length, int keyPosition);
  // The key text: 213 printable characters. Images written by this library are scrambled with
  // it, so it must never change.
  static const char* key();
};

}  // namespace zelto
