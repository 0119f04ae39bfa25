#ifndef ZDA_MATH_MATHBASE_H
#define ZDA_MATH_MATHBASE_H
// Scalar helpers shared by the numeric classes, the size and flag types of the numeric records,
// and the allocation and error helpers of the numeric code.
#include <cstddef>
#include <cstdint>

#include "zttypes/ztmath.h"

typedef size_t ZtSize;
typedef double ZtReal;
typedef int ZtDataFlags;

// malloc that throws std::bad_alloc instead of returning null; release with free().
void* zeltoMathMalloc(size_t bytes);

namespace zelto {

// Flags bit 1 marks storage owned (allocated and freed) by the record; everything else is a view.
constexpr ZtDataFlags kOwnedStorage = 1;
// Storage inside the object that holds the record (Vector3, Matrix3x3, VectorF, MatrixF).
constexpr ZtDataFlags kInternalStorage = 2;

// Result code of every numeric failure.
constexpr int kMathErrorCode = 256;

double asinClamped(double x);
double acosClamped(double x);
double sinc(double x);
double asinc(double x);
double asincInv(double x);
inline double sq(double x) { return x * x; }
// Relative to the first argument only: not symmetric, and 0 matches only an exact 0.
bool fuzzyCompare(double a, double b);
bool fuzzyCompare(double a, double b, double tolerance);
// Distance of the IEEE-754 bit patterns read as signed 64-bit integers.
uint64_t ulpDiff(double a, double b);
bool ulpCompare(double a, double b, uint64_t maxUlps);
inline double interpolate(double t, double a, double b) { return t * a + (1.0 - t) * b; }

// Throws ZtException with code 256, composed, description "<signature> <message>".
[[noreturn]] void throwMathError(const char* signature, const char* message);

// Writes m as a MATLAB Level 5 MAT-file holding one double array named variableName
// (null = no name). Does nothing when the file cannot be created.
void saveAsMatlabFile(const char* fileName, const char* variableName, const ZtMatrix& m);

// Bounded parsing helpers of the text forms. Each advances *pos past what it consumed and
// returns false (leaving *pos unspecified) when the text does not match.
bool parseTextInt(const char* text, size_t* pos, int* value);  // like "%d"
bool parseTextDouble(const char* text, size_t* pos, double* value);  // like "%lf"

}  // namespace zelto

#endif
