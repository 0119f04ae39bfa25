#ifndef ZTTYPES_ZTMATH_H
#define ZTTYPES_ZTMATH_H
/* Plain numeric records and their C helpers. zelto::Vector / zelto::Matrix / zelto::Quaternion
 * of the device library operate on these records.
 *
 * Flags of ZtVector and ZtMatrix:
 *   ZTMATH_OWNS_DATA (1)  storage allocated by the record (freed and reallocated by it)
 *   ZTMATH_INTERNAL  (2)  storage inside the owning object: never freed or reallocated
 * No flag: a view over caller storage (never freed or reallocated either).
 * A view keeps its pointer (and a matrix view its stride): assign and copy into it succeed only
 * for shapes no larger than its current one. Without a source, assign keeps the values of the
 * elements that remain (the overlapping block of a matrix); new elements of owned storage are 0.
 * destruct frees owned storage only and leaves every
 * record empty (null data, zero sizes, flags 0). A record without data can always be sized. */
#include <stddef.h>
#include <stdint.h>
#include "ztexport.h"

ZTTYPES_BEGIN_DECLS

enum { ZTMATH_OWNS_DATA = 1, ZTMATH_INTERNAL = 2 };

typedef struct ZtVector {
  double* data;
  size_t size;
  int flags;
} ZtVector;

/* Row-major: element (r, c) at data[r * stride + c]. */
typedef struct ZtMatrix {
  double* data;
  size_t rows;
  size_t cols;
  size_t stride;
  int flags;
} ZtMatrix;

typedef struct ZtQuaternion {
  double w, x, y, z;
} ZtQuaternion;

/* Owned storage of size items, copied from source when given (else zeroed). */
ZTTYPES_API void ZtVector_construct(ZtVector* v, size_t size, const double* source);
ZTTYPES_API void ZtVector_destruct(ZtVector* v);
/* Make v hold size items (reallocating owned storage; a view must already be large enough:
 * returns -1 otherwise), copied from source when given. Returns 0 on success. */
ZTTYPES_API int ZtVector_assign(ZtVector* v, size_t size, const double* source);
ZTTYPES_API int ZtVector_copy(ZtVector* v, const ZtVector* source);
ZTTYPES_API void ZtVector_swap(ZtVector* a, ZtVector* b);
ZTTYPES_API double ZtVector_dotProduct(const ZtVector* a, const ZtVector* b);
ZTTYPES_API double ZtVector_cartesianLength(const ZtVector* v);

/* Owned storage rows x cols with the given stride (0 = dense), copied from source
 * (a dense rows x cols block) when given, else zeroed. */
ZTTYPES_API void ZtMatrix_construct(ZtMatrix* m, size_t rows, size_t cols, size_t stride, const double* source);
ZTTYPES_API void ZtMatrix_destruct(ZtMatrix* m);
/* Stride 0 = dense. Returns 0, or -1 when a view cannot hold the shape. */
ZTTYPES_API int ZtMatrix_assign(ZtMatrix* m, size_t rows, size_t cols, size_t stride, const double* source);
ZTTYPES_API int ZtMatrix_copy(ZtMatrix* m, const ZtMatrix* source);
ZTTYPES_API void ZtMatrix_swap(ZtMatrix* a, ZtMatrix* b);
ZTTYPES_API size_t ZtMatrix_offset(const ZtMatrix* m, size_t r, size_t c);
/* 3x3 rotation matrix of a unit quaternion (m becomes owned 3x3 unless it is a large enough view). */
ZTTYPES_API int ZtMatrix_fromQuaternion(ZtMatrix* m, const ZtQuaternion* q);

ZTTYPES_API const ZtQuaternion* ZtQuaternion_identity(void);
/* conjugate / |q|^2 (the conjugate for a unit quaternion; a zero quaternion gives zero). */
ZTTYPES_API void ZtQuaternion_inverse(const ZtQuaternion* q, ZtQuaternion* result);
/* result = a * b (Hamilton product); result may alias a or b. */
ZTTYPES_API void ZtQuaternion_multiply(const ZtQuaternion* a, const ZtQuaternion* b, ZtQuaternion* result);
/* q / |q|; a zero or non-finite quaternion gives the identity. result may alias q. */
ZTTYPES_API void ZtQuaternion_normalized(const ZtQuaternion* q, ZtQuaternion* result);

ZTTYPES_API int ZtMath_isFinite(double v);
ZTTYPES_API double ZtMath_deg2rad(double degrees);
ZTTYPES_API double ZtMath_rad2deg(double radians);
/* v * v */
ZTTYPES_API double ZtMath_pow2(double v);
/* Rounds to the nearest integer, halves away from zero; saturates outside the long range, NaN gives 0. */
ZTTYPES_API long ZtMath_doubleToLong(double v);

ZTTYPES_API extern const double ZtMath_zero;     /* 0.0 */
ZTTYPES_API extern const double ZtMath_one;      /* 1.0 */
ZTTYPES_API extern const double ZtMath_two;      /* 2.0 */
ZTTYPES_API extern const double ZtMath_pt5;      /* 0.5 */
ZTTYPES_API extern const double ZtMath_minusPt5; /* -0.5 */
ZTTYPES_API extern const double ZtMath_epsilon;  /* DBL_EPSILON, 2^-52 */
ZTTYPES_API extern const double ZtMath_sqrt2;
ZTTYPES_API extern const double ZtMath_pi;

ZTTYPES_END_DECLS
#endif
