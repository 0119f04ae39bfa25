/* Numeric records and helpers.
 *
 * Storage rules: owned storage (ZTMATH_OWNS_DATA) is allocated here and is the only storage
 * ever freed or reallocated here. Any other record with data is a view (caller storage, or
 * storage inside the owning object when ZTMATH_INTERNAL is set): it keeps its pointer, may take
 * a shape no larger than its current one, and is only emptied (never freed) by destruct. A
 * record without data can always be given owned storage. */
#include "zttypes/ztmath.h"

#include <float.h>
#include <limits.h>
#include <math.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

const double ZtMath_zero = 0.0;
const double ZtMath_one = 1.0;
const double ZtMath_two = 2.0;
const double ZtMath_pt5 = 0.5;
const double ZtMath_minusPt5 = -0.5;
const double ZtMath_epsilon = DBL_EPSILON;
const double ZtMath_sqrt2 = 1.41421356237309504880;
const double ZtMath_pi = 3.14159265358979323846;

static double* allocDoubles(size_t count) {
  if (count == 0) return NULL;
  if (count > SIZE_MAX / sizeof(double)) return NULL;
  return (double*)calloc(count, sizeof(double));
}

/* rows * stride without overflow; 0 on overflow (treated as an allocation failure). */
static size_t extent(size_t rows, size_t stride) {
  if (stride && rows > SIZE_MAX / sizeof(double) / stride) return 0;
  return rows * stride;
}

/* ---- ZtVector ---- */

void ZtVector_construct(ZtVector* v, size_t size, const double* source) {
  v->data = NULL;
  v->size = 0;
  v->flags = 0;
  if (size == 0) return;
  double* d = allocDoubles(size);
  if (!d) return;
  if (source) memcpy(d, source, size * sizeof(double));
  v->data = d;
  v->size = size;
  v->flags = ZTMATH_OWNS_DATA;
}

void ZtVector_destruct(ZtVector* v) {
  if (v->flags & ZTMATH_OWNS_DATA) free(v->data);
  v->data = NULL;
  v->size = 0;
  v->flags = 0;
}

int ZtVector_assign(ZtVector* v, size_t size, const double* source) {
  if (v->data && !(v->flags & ZTMATH_OWNS_DATA)) {
    if (size > v->size) return -1;
    if (source) memmove(v->data, source, size * sizeof(double));
    v->size = size;
    return 0;
  }
  if (size != v->size || !v->data) {
    if (size == 0) {
      ZtVector_destruct(v);
      return 0;
    }
    double* d = allocDoubles(size);
    if (!d) return -1;
    /* Copy before freeing: source may be our own storage. Without a source the items that
     * remain keep their values; new ones are zero. */
    if (source)
      memcpy(d, source, size * sizeof(double));
    else if (v->data)
      memcpy(d, v->data, (size < v->size ? size : v->size) * sizeof(double));
    free(v->data);
    v->data = d;
    v->size = size;
    v->flags = ZTMATH_OWNS_DATA;
    return 0;
  }
  if (source) memmove(v->data, source, size * sizeof(double));
  return 0;
}

int ZtVector_copy(ZtVector* v, const ZtVector* source) {
  if (v == source) return 0;
  return ZtVector_assign(v, source->size, source->data);
}

void ZtVector_swap(ZtVector* a, ZtVector* b) {
  ZtVector t = *a;
  *a = *b;
  *b = t;
}

double ZtVector_dotProduct(const ZtVector* a, const ZtVector* b) {
  size_t n = a->size < b->size ? a->size : b->size;
  double sum = 0.0;
  for (size_t i = 0; i < n; ++i) sum += a->data[i] * b->data[i];
  return sum;
}

double ZtVector_cartesianLength(const ZtVector* v) { return sqrt(ZtVector_dotProduct(v, v)); }

/* ---- ZtMatrix ---- */

static void matrixClear(ZtMatrix* m) {
  m->data = NULL;
  m->rows = m->cols = m->stride = 0;
  m->flags = 0;
}

/* Copies a rows x cols block between strided storages; handles overlap row by row. */
static void copyBlock(double* dst, size_t dstStride, const double* src, size_t srcStride, size_t rows, size_t cols) {
  if (dst == src && dstStride == srcStride) return;
  if (dst > src) {
    for (size_t r = rows; r-- > 0;) memmove(dst + r * dstStride, src + r * srcStride, cols * sizeof(double));
  } else {
    for (size_t r = 0; r < rows; ++r) memmove(dst + r * dstStride, src + r * srcStride, cols * sizeof(double));
  }
}

void ZtMatrix_construct(ZtMatrix* m, size_t rows, size_t cols, size_t stride, const double* source) {
  matrixClear(m);
  if (rows == 0 || cols == 0) return;
  if (stride < cols) stride = cols;
  size_t n = extent(rows, stride);
  double* d = n ? allocDoubles(n) : NULL;
  if (!d) return;
  if (source) copyBlock(d, stride, source, cols, rows, cols);
  m->data = d;
  m->rows = rows;
  m->cols = cols;
  m->stride = stride;
  m->flags = ZTMATH_OWNS_DATA;
}

void ZtMatrix_destruct(ZtMatrix* m) {
  if (m->flags & ZTMATH_OWNS_DATA) free(m->data);
  matrixClear(m);
}

/* Shape change of a record with a dense source (stride cols), or none. */
static int matrixAssign(ZtMatrix* m, size_t rows, size_t cols, size_t stride, const double* source,
                        size_t sourceStride) {
  if (m->data && !(m->flags & ZTMATH_OWNS_DATA)) {
    /* A view keeps its storage and stride. */
    if (rows > m->rows || cols > m->cols) return -1;
    if (stride != 0 && stride != m->stride) return -1;
    if (source) copyBlock(m->data, m->stride, source, sourceStride, rows, cols);
    m->rows = rows;
    m->cols = cols;
    return 0;
  }
  if (rows == 0 || cols == 0) {
    ZtMatrix_destruct(m);
    return 0;
  }
  if (stride < cols) stride = cols;
  if (m->data && rows == m->rows && cols == m->cols && stride == m->stride) {
    if (source) copyBlock(m->data, m->stride, source, sourceStride, rows, cols);
    return 0;
  }
  size_t n = extent(rows, stride);
  double* d = n ? allocDoubles(n) : NULL;
  if (!d) return -1;
  if (source)
    copyBlock(d, stride, source, sourceStride, rows, cols);
  else if (m->data)
    copyBlock(d, stride, m->data, m->stride, rows < m->rows ? rows : m->rows, cols < m->cols ? cols : m->cols);
  free(m->data);
  m->data = d;
  m->rows = rows;
  m->cols = cols;
  m->stride = stride;
  m->flags = ZTMATH_OWNS_DATA;
  return 0;
}

int ZtMatrix_assign(ZtMatrix* m, size_t rows, size_t cols, size_t stride, const double* source) {
  return matrixAssign(m, rows, cols, stride, source, cols);
}

int ZtMatrix_copy(ZtMatrix* m, const ZtMatrix* source) {
  if (m == source) return 0;
  if (!source->data || source->rows == 0 || source->cols == 0) return matrixAssign(m, 0, 0, 0, NULL, 0);
  return matrixAssign(m, source->rows, source->cols, 0, source->data, source->stride);
}

void ZtMatrix_swap(ZtMatrix* a, ZtMatrix* b) {
  ZtMatrix t = *a;
  *a = *b;
  *b = t;
}

size_t ZtMatrix_offset(const ZtMatrix* m, size_t r, size_t c) { return r * m->stride + c; }

int ZtMatrix_fromQuaternion(ZtMatrix* m, const ZtQuaternion* q) {
  if (matrixAssign(m, 3, 3, 0, NULL, 0) != 0) return -1;
  const double w = q->w, x = q->x, y = q->y, z = q->z;
  double* d = m->data;
  const size_t s = m->stride;
  d[0] = w * w + x * x - y * y - z * z;
  d[1] = 2.0 * (x * y - w * z);
  d[2] = 2.0 * (x * z + w * y);
  d[s + 0] = 2.0 * (w * z + x * y);
  d[s + 1] = w * w - x * x + y * y - z * z;
  d[s + 2] = 2.0 * (y * z - w * x);
  d[2 * s + 0] = 2.0 * (x * z - w * y);
  d[2 * s + 1] = 2.0 * (y * z + w * x);
  d[2 * s + 2] = w * w - x * x - y * y + z * z;
  return 0;
}

/* ---- ZtQuaternion ---- */

static const ZtQuaternion kIdentity = {1.0, 0.0, 0.0, 0.0};

const ZtQuaternion* ZtQuaternion_identity(void) { return &kIdentity; }

void ZtQuaternion_inverse(const ZtQuaternion* q, ZtQuaternion* result) {
  double n2 = q->w * q->w + q->x * q->x + q->y * q->y + q->z * q->z;
  /* For a unit quaternion this is the conjugate; a zero quaternion has no inverse and gives
   * its (zero) conjugate rather than NaNs. */
  double k = (n2 > 0.0 && isfinite(n2)) ? 1.0 / n2 : 1.0;
  ZtQuaternion r = {q->w * k, -q->x * k, -q->y * k, -q->z * k};
  *result = r;
}

void ZtQuaternion_multiply(const ZtQuaternion* a, const ZtQuaternion* b, ZtQuaternion* result) {
  const double aw = a->w, ax = a->x, ay = a->y, az = a->z;
  const double bw = b->w, bx = b->x, by = b->y, bz = b->z;
  result->w = aw * bw - ax * bx - ay * by - az * bz;
  result->x = ax * bw + aw * bx - az * by + ay * bz;
  result->y = ay * bw + az * bx + aw * by - ax * bz;
  result->z = az * bw - ay * bx + ax * by + aw * bz;
}

void ZtQuaternion_normalized(const ZtQuaternion* q, ZtQuaternion* result) {
  double n = sqrt(q->w * q->w + q->x * q->x + q->y * q->y + q->z * q->z);
  if (!(n > 0.0) || !isfinite(n)) {
    /* No direction to keep: the identity rotation instead of NaNs. */
    *result = kIdentity;
    return;
  }
  double k = 1.0 / n;
  ZtQuaternion r = {q->w * k, q->x * k, q->y * k, q->z * k};
  *result = r;
}

/* ---- scalars ---- */

int ZtMath_isFinite(double v) { return isfinite(v) ? 1 : 0; }

double ZtMath_deg2rad(double degrees) { return degrees * (ZtMath_pi / 180.0); }

double ZtMath_rad2deg(double radians) { return radians * (180.0 / ZtMath_pi); }

double ZtMath_pow2(double v) { return v * v; }

long ZtMath_doubleToLong(double v) {
  if (v != v) return 0;
  /* 2^63 is exactly representable; anything at or beyond it saturates. */
  if (v >= 9223372036854775808.0) return LONG_MAX;
  if (v <= -9223372036854775808.0) return LONG_MIN;
  return lround(v);
}
