#pragma once
// Encoding of record fields in the image: little-endian integers, real elements as 6-byte
// FastFloat (versions 2 to 4) or IEEE single (version 5), version 5's position in doubles.
// Internal to the record classes.
#include <cstdint>
#include <cstring>

#include "ekts/Ekts.h"
#include "math/fastfloat/FastFloat.h"

namespace zelto::ektsdetail {

enum class RealCoding { FastFloat6, Single, Double };

inline int elementSize(RealCoding c) { return c == RealCoding::FastFloat6 ? 6 : (c == RealCoding::Single ? 4 : 8); }

inline double getReal(const unsigned char* p, RealCoding c) {
  switch (c) {
    case RealCoding::FastFloat6: {
      FastFloat f;
      std::memcpy(static_cast<void*>(&f), p, 6);
      return static_cast<double>(f);
    }
    case RealCoding::Single: {
      float f;
      std::memcpy(&f, p, 4);
      return f;
    }
    default: {
      double d;
      std::memcpy(&d, p, 8);
      return d;
    }
  }
}

inline void setReal(unsigned char* p, double v, RealCoding c) {
  switch (c) {
    case RealCoding::FastFloat6: {
      FastFloat f;
      f = v;
      std::memcpy(p, static_cast<const void*>(&f), 6);
      break;
    }
    case RealCoding::Single: {
      float f = static_cast<float>(v);
      std::memcpy(p, &f, 4);
      break;
    }
    default:
      std::memcpy(p, &v, 8);
      break;
  }
}

template <typename T>
inline T getInt(const unsigned char* p) {
  T v = 0;
  for (size_t i = 0; i < sizeof(T); ++i) v = static_cast<T>(v | (static_cast<T>(p[i]) << (8 * i)));
  return v;
}

template <typename T>
inline void setInt(unsigned char* p, T v) {
  for (size_t i = 0; i < sizeof(T); ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

// One get_/set_ pair per value kind, named after the kinds of EktsFields.h.
inline EktsGet_U8 get_U8(const unsigned char* p, RealCoding) { return p[0]; }
inline void set_U8(unsigned char* p, EktsSet_U8 v, RealCoding) { p[0] = v; }
inline EktsGet_U16 get_U16(const unsigned char* p, RealCoding) { return getInt<unsigned short>(p); }
inline void set_U16(unsigned char* p, EktsSet_U16 v, RealCoding) { setInt<unsigned short>(p, v); }
inline EktsGet_U32 get_U32(const unsigned char* p, RealCoding) { return getInt<unsigned int>(p); }
inline void set_U32(unsigned char* p, EktsSet_U32 v, RealCoding) { setInt<unsigned int>(p, v); }
inline EktsGet_REAL get_REAL(const unsigned char* p, RealCoding c) { return getReal(p, c); }
inline void set_REAL(unsigned char* p, EktsSet_REAL v, RealCoding c) { setReal(p, v, c); }

inline EktsGet_REAL2 get_REAL2(const unsigned char* p, RealCoding c) {
  Vector v(2);
  const int s = elementSize(c);
  v.data[0] = getReal(p, c);
  v.data[1] = getReal(p + s, c);
  return v;
}
inline void set_REAL2(unsigned char* p, EktsSet_REAL2 v, RealCoding c) {
  const int s = elementSize(c);
  setReal(p, v.data[0], c);
  setReal(p + s, v.data[1], c);
}

inline EktsGet_REAL3 get_REAL3(const unsigned char* p, RealCoding c) {
  const int s = elementSize(c);
  return Vector3(getReal(p, c), getReal(p + s, c), getReal(p + 2 * s, c));
}
inline void set_REAL3(unsigned char* p, EktsSet_REAL3 v, RealCoding c) {
  const int s = elementSize(c);
  for (int i = 0; i < 3; ++i) setReal(p + i * s, v.data[i], c);
}

// Three reals that version 5 keeps as doubles.
inline RealCoding widened(RealCoding c) { return c == RealCoding::Single ? RealCoding::Double : c; }
inline EktsGet_REAL3D get_REAL3D(const unsigned char* p, RealCoding c) { return get_REAL3(p, widened(c)); }
inline void set_REAL3D(unsigned char* p, EktsSet_REAL3D v, RealCoding c) { set_REAL3(p, v, widened(c)); }

inline EktsGet_MAT33 get_MAT33(const unsigned char* p, RealCoding c) {
  const int s = elementSize(c);
  Matrix3x3 m;
  for (int r = 0; r < 3; ++r)
    for (int k = 0; k < 3; ++k) m(r, k) = getReal(p + (3 * r + k) * s, c);
  return m;
}
// Reads the argument through its row stride, so views and owned matrices both work.
inline void set_MAT33(unsigned char* p, EktsSet_MAT33 m, RealCoding c) {
  const int s = elementSize(c);
  for (int r = 0; r < 3; ++r)
    for (int k = 0; k < 3; ++k) setReal(p + (3 * r + k) * s, m(r, k), c);
}

inline EktsGet_QUAT get_QUAT(const unsigned char* p, RealCoding c) {
  const int s = elementSize(c);
  return Quaternion(getReal(p, c), getReal(p + s, c), getReal(p + 2 * s, c), getReal(p + 3 * s, c));
}
inline void set_QUAT(unsigned char* p, EktsSet_QUAT q, RealCoding c) {
  const int s = elementSize(c);
  setReal(p, q.w, c);
  setReal(p + s, q.x, c);
  setReal(p + 2 * s, q.y, c);
  setReal(p + 3 * s, q.z, c);
}

inline EktsGet_BYTES20 get_BYTES20(const unsigned char* p, RealCoding) { return p; }
inline void set_BYTES20(unsigned char* p, EktsSet_BYTES20 v, RealCoding) {
  if (v) std::memmove(p, v, 20);
}
inline EktsGet_BYTES120 get_BYTES120(const unsigned char* p, RealCoding) { return p; }
inline void set_BYTES120(unsigned char* p, EktsSet_BYTES120 v, RealCoding) {
  if (v) std::memmove(p, v, 120);
}

// 32 rows of two u16 at 4i and 4i + 2; the matrix's column count is the distance between its
// rows (the caller gives 32 rows and at least 2 columns).
inline void readOutputConfiguration(const unsigned char* p, GenericMatrix<unsigned short>& m) {
  unsigned short* d = m.data();
  if (!d) return;
  const size_t cols = static_cast<size_t>(m.cols());
  for (size_t i = 0; i < 32; ++i) {
    d[i * cols] = getInt<unsigned short>(p + 4 * i);
    d[i * cols + 1] = getInt<unsigned short>(p + 4 * i + 2);
  }
}
inline EktsGet_OUTCFG get_OUTCFG(const unsigned char* p, RealCoding) {
  GenericMatrix<unsigned short> m(32, 2);
  readOutputConfiguration(p, m);
  return m;
}
inline void set_OUTCFG(unsigned char* p, EktsSet_OUTCFG m, RealCoding) {
  const unsigned short* d = m.data();
  if (!d) return;
  const size_t cols = static_cast<size_t>(m.cols());
  for (size_t i = 0; i < 32; ++i) {
    setInt<unsigned short>(p + 4 * i, d[i * cols]);
    setInt<unsigned short>(p + 4 * i + 2, d[i * cols + 1]);
  }
}

}  // namespace zelto::ektsdetail
