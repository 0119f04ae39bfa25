#include "math/MathBase.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "errors/ZtException.h"

void* zeltoMathMalloc(size_t bytes) {
  void* p = std::malloc(bytes);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

namespace zelto {

namespace {
// The double nearest 1/6, used by the series branches.
constexpr double kOneSixth = 0.16666666666666666;
}  // namespace

double asinClamped(double x) {
  // These limits lie two ulps farther from zero than the doubles nearest +-pi/2; stored filter
  // states were produced with them, so they stay.
  if (x <= -1.0) return -1.570796326794897;
  if (x >= 1.0) return 1.570796326794897;
  return std::asin(x);
}

double acosClamped(double x) {
  if (x <= -1.0) return 3.141592653589793;
  if (x >= 1.0) return 0.0;
  return std::acos(x);
}

double sinc(double x) {
  if (std::fabs(x) > 0.0004) return std::sin(x) / x;
  return 1.0 - x * x * kOneSixth;
}

double asinc(double x) {
  if (std::fabs(x) > 0.00023) return std::asin(x) / x;
  return 1.0 + x * x * kOneSixth;
}

double asincInv(double x) {
  if (std::fabs(x) > 0.00026) {
    if (std::fabs(x) >= 1.0) return 0.6366197723675814;
    return x / std::asin(x);
  }
  return 1.0 - x * x * kOneSixth;
}

bool fuzzyCompare(double a, double b) { return std::fabs(a - b) <= std::fabs(a) * 1e-16; }

bool fuzzyCompare(double a, double b, double tolerance) { return std::fabs(a - b) <= tolerance; }

uint64_t ulpDiff(double a, double b) {
  if (a == b) return 0;
  int64_t ia;
  int64_t ib;
  std::memcpy(&ia, &a, sizeof ia);
  std::memcpy(&ib, &b, sizeof ib);
  // Unsigned arithmetic: the signed difference of patterns of opposite sign overflows int64.
  return ia >= ib ? static_cast<uint64_t>(ia) - static_cast<uint64_t>(ib)
                  : static_cast<uint64_t>(ib) - static_cast<uint64_t>(ia);
}

bool ulpCompare(double a, double b, uint64_t maxUlps) {
  if (a == b) return true;
  return ulpDiff(a, b) <= maxUlps;
}

void throwMathError(const char* signature, const char* message) {
  std::string text(signature);
  text += ' ';
  text += message;
  throw ZtException(kMathErrorCode, text, true);
}

namespace {

void putU32(std::FILE* f, uint32_t v) {
  unsigned char b[4] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
                        static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 24)};
  std::fwrite(b, 1, 4, f);
}

void putF64(std::FILE* f, double v) {
  uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  putU32(f, static_cast<uint32_t>(bits));
  putU32(f, static_cast<uint32_t>(bits >> 32));
}

}  // namespace

void saveAsMatlabFile(const char* fileName, const char* variableName, const ZtMatrix& m) {
  std::FILE* f = std::fopen(fileName, "wb");
  if (f == nullptr) return;
  // 128-byte header: text padded with blanks to 116 bytes, 8-byte subsystem offset 0,
  // version 0x0100 and the little-endian mark "IM".
  char header[128];
  std::memset(header, ' ', 116);
  std::memcpy(header, "ztMath/Zelto", 12);
  std::memset(header + 116, 0, 8);
  header[124] = 0x00;
  header[125] = 0x01;
  header[126] = 'I';
  header[127] = 'M';
  std::fwrite(header, 1, sizeof header, f);

  const size_t nameLength = variableName != nullptr ? std::strlen(variableName) : 0;
  const size_t namePadded = (nameLength + 7) / 8 * 8;
  const size_t count = m.rows * m.cols;
  putU32(f, 14);  // miMATRIX
  putU32(f, static_cast<uint32_t>(48 + namePadded + 8 * count));
  putU32(f, 6);  // array flags, miUINT32
  putU32(f, 8);
  putU32(f, 6);  // class: double
  putU32(f, 0);
  putU32(f, 5);  // dimensions, miINT32
  putU32(f, 8);
  putU32(f, static_cast<uint32_t>(m.rows));
  putU32(f, static_cast<uint32_t>(m.cols));
  putU32(f, 1);  // name, miINT8
  putU32(f, static_cast<uint32_t>(nameLength));
  if (nameLength > 0) {
    std::fwrite(variableName, 1, nameLength, f);
    static const char zeros[8] = {};
    std::fwrite(zeros, 1, namePadded - nameLength, f);
  }
  putU32(f, 9);  // real part, miDOUBLE, column-major
  putU32(f, static_cast<uint32_t>(8 * count));
  for (size_t c = 0; c < m.cols; ++c)
    for (size_t r = 0; r < m.rows; ++r) putF64(f, m.data[r * m.stride + c]);
  std::fclose(f);
}

bool parseTextInt(const char* text, size_t* pos, int* value) {
  const char* start = text + *pos;
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(start, &end, 10);
  if (end == start) return false;
  // Unlike sscanf, an out-of-range number is a parse failure rather than undefined behaviour.
  if (errno == ERANGE || v < INT_MIN || v > INT_MAX) return false;
  *value = static_cast<int>(v);
  *pos += static_cast<size_t>(end - start);
  return true;
}

bool parseTextDouble(const char* text, size_t* pos, double* value) {
  const char* start = text + *pos;
  char* end = nullptr;
  // strtod skips leading white space like "%lf"; no strlen per call, so reading n items is O(n).
  const double v = std::strtod(start, &end);
  if (end == start) return false;
  *value = v;
  *pos += static_cast<size_t>(end - start);
  return true;
}

}  // namespace zelto
