/* ZtMessage: one Zbus frame kept as its raw bytes.
 *
 * Invariants of a non-empty message: bytes[0] is the preamble, the length field(s) agree with
 * the byte count, the total is at most ZTMESSAGE_MAX_TOTAL_SIZE and the last byte makes every
 * byte after the preamble sum to 0 mod 256. Loaded frames may carry a wrong checksum (the
 * finder asks isChecksumOk); every mutator rewrites it from all the bytes, which repairs it.
 * The id setters and the payload growers applied to an empty message first turn it into the
 * fresh frame FA FF 00 00 01, so nothing set on it is lost. */
#include "zttypes/ztmessage.h"
#include "ztmessagegrow.h"

#include <math.h>
#include <string.h>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

enum { NORMAL_HEADER = 4, EXTENDED_HEADER = 6, MIN_TOTAL = 5, MIN_RESERVE = 8 };

static uint8_t* raw(ZtMessage* m) { return m->bytes.data; }
static const uint8_t* craw(const ZtMessage* m) { return m->bytes.data; }

static int isEmpty(const ZtMessage* m) { return m->bytes.size < MIN_TOTAL || !m->bytes.data; }

static int isExtended(const ZtMessage* m) { return craw(m)[3] == ZTMESSAGE_EXTENDED_LENGTH; }

static size_t headerSize(const ZtMessage* m) { return isExtended(m) ? EXTENDED_HEADER : NORMAL_HEADER; }

static size_t payloadSize(const ZtMessage* m) {
  if (isEmpty(m)) return 0;
  return m->bytes.size - headerSize(m) - 1;
}

static uint8_t* payload(ZtMessage* m) { return raw(m) + headerSize(m); }
static const uint8_t* cpayload(const ZtMessage* m) { return craw(m) + headerSize(m); }

/* Sum of n bytes mod 256. Data packets are summed after every edit (a tracker makes several per
 * sample), so where SSE2 is there (always on x86-64) the sum takes 32 bytes a step in two
 * accumulators, and the last 1-15 bytes of a run of 16 or more come from one load of the final
 * 16 bytes with the ones already summed masked off. */
static unsigned byteSum(const uint8_t* b, size_t n) {
  unsigned sum = 0;
  size_t i = 0;
#ifdef __SSE2__
  if (n >= 16) {
    __m128i acc0 = _mm_setzero_si128(), acc1 = _mm_setzero_si128();
    const __m128i zero = _mm_setzero_si128();
    for (; i + 32 <= n; i += 32) {
      acc0 = _mm_add_epi64(acc0, _mm_sad_epu8(_mm_loadu_si128((const __m128i*)(const void*)(b + i)), zero));
      acc1 = _mm_add_epi64(acc1, _mm_sad_epu8(_mm_loadu_si128((const __m128i*)(const void*)(b + i + 16)), zero));
    }
    if (i + 16 <= n) {
      acc0 = _mm_add_epi64(acc0, _mm_sad_epu8(_mm_loadu_si128((const __m128i*)(const void*)(b + i)), zero));
      i += 16;
    }
    if (i < n) {
      /* Bytes n-16 .. i-1 were summed already: keep only the last n - i of the final 16. */
      static const uint8_t kOnes[32] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                        0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                        0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
      const __m128i mask = _mm_loadu_si128((const __m128i*)(const void*)(kOnes + (n - i)));
      const __m128i last = _mm_and_si128(_mm_loadu_si128((const __m128i*)(const void*)(b + n - 16)), mask);
      acc1 = _mm_add_epi64(acc1, _mm_sad_epu8(last, zero));
      i = n;
    }
    const __m128i acc = _mm_add_epi64(acc0, acc1);
    sum = (unsigned)_mm_cvtsi128_si32(acc) + (unsigned)_mm_cvtsi128_si32(_mm_srli_si128(acc, 8));
  }
#endif
  for (; i < n; ++i) sum += b[i];
  return sum & 0xFFu;
}

static uint8_t checksumOf(const uint8_t* bytes, size_t size) {
  if (size < 2) return 0;
  return (uint8_t)(0x100u - byteSum(bytes + 1, size - 2));
}

static void writeChecksum(ZtMessage* m) {
  raw(m)[m->bytes.size - 1] = checksumOf(raw(m), m->bytes.size);
}

static void writeLength(ZtMessage* m, size_t dataSize) {
  uint8_t* b = raw(m);
  if (isExtended(m)) {
    b[4] = (uint8_t)(dataSize >> 8);
    b[5] = (uint8_t)dataSize;
  } else {
    b[3] = (uint8_t)dataSize;
  }
}

/* Builds FA FF 00 <len> [ext] <zeros> <cs> into m->bytes (already constructed). */
static int buildFresh(ZtMessage* m, size_t dataSize) {
  if (dataSize > ZTMESSAGE_MAX_DATA_SIZE) return -1;
  size_t header = dataSize >= ZTMESSAGE_EXTENDED_LENGTH ? EXTENDED_HEADER : NORMAL_HEADER;
  size_t total = header + dataSize + 1;
  if (ZtArray_reserve(ZTARRAY(&m->bytes), total < MIN_RESERVE ? MIN_RESERVE : total) != 0) return -1;
  if (ZtArray_assign(ZTARRAY(&m->bytes), total, NULL) != 0) return -1;
  uint8_t* b = raw(m);
  memset(b, 0, total);
  b[0] = ZTMESSAGE_PREAMBLE;
  b[1] = ZTMESSAGE_MASTER_BUS_ID;
  b[2] = 0;
  if (header == EXTENDED_HEADER) {
    b[3] = ZTMESSAGE_EXTENDED_LENGTH;
    b[4] = (uint8_t)(dataSize >> 8);
    b[5] = (uint8_t)dataSize;
  } else {
    b[3] = (uint8_t)dataSize;
  }
  writeChecksum(m);
  return 0;
}

static int ensureFrame(ZtMessage* m) {
  if (!isEmpty(m)) return 0;
  return buildFresh(m, 0);
}

/* Writes n bytes into the payload at offset and rewrites the checksum from every byte. The
 * checksum is summed afresh rather than adjusted by the change: a frame loaded with a wrong
 * checksum must come out right after any edit, and frames are at most 8 KiB. */
static void patch(ZtMessage* m, size_t offset, const uint8_t* bytes, size_t n) {
  memmove(payload(m) + offset, bytes, n);
  writeChecksum(m);
}

/* Replaces the bytes with a copy of a frame; storage keeps room for a whole ZtMessageHeader
 * even for 5-byte frames, so reading the header record never leaves the allocation. */
static int assignBytes(ZtMessage* m, size_t size, const uint8_t* bytes) {
  ZtByteArray* a = &m->bytes;
  /* A copy into room already there from a frame elsewhere (a packet copied into a reused one):
   * one memcpy, as the generic assignment would end up doing. */
  if (a->data && a->reserved >= (size < MIN_RESERVE ? MIN_RESERVE : size) &&
      (bytes + size <= a->data || bytes >= a->data + a->reserved)) {
    memcpy(a->data, bytes, size);
    a->size = size;
    if (size)
      a->flags &= ~ZTARRAY_EMPTY;
    else
      a->flags |= ZTARRAY_EMPTY;
    return 0;
  }
  if (ZtArray_reserve(ZTARRAY(&m->bytes), size < MIN_RESERVE ? MIN_RESERVE : size) != 0) return -1;
  return ZtArray_assign(ZTARRAY(&m->bytes), size, bytes);
}

void ZtMessage_construct(ZtMessage* m) { ZtByteArray_construct(&m->bytes, 0, NULL); }

void ZtMessage_constructSized(ZtMessage* m, size_t dataSize) {
  ZtMessage_construct(m);
  if (buildFresh(m, dataSize) != 0) ZtArray_assign(ZTARRAY(&m->bytes), 0, NULL);
}

int ZtMessage_assignSized(ZtMessage* m, size_t dataSize) {
  if (dataSize > ZTMESSAGE_MAX_DATA_SIZE) return -1;
  return buildFresh(m, dataSize);
}

void ZtMessage_constructCopy(ZtMessage* m, const ZtMessage* source) {
  ZtMessage_construct(m);
  ZtMessage_copy(m, source);
}

void ZtMessage_destruct(ZtMessage* m) { ZtByteArray_destruct(&m->bytes); }

void ZtMessage_copy(ZtMessage* m, const ZtMessage* source) {
  if (m == source) return;
  if (isEmpty(source)) {
    ZtMessage_clear(m);
    return;
  }
  if (assignBytes(m, source->bytes.size, source->bytes.data) != 0) ZtMessage_clear(m);
}

void ZtMessage_swap(ZtMessage* a, ZtMessage* b) { ZtArray_swap(ZTARRAY(&a->bytes), ZTARRAY(&b->bytes)); }

/* Bytes have nothing to destruct: emptying keeps the storage for the next frame. */
void ZtMessage_clear(ZtMessage* m) {
  m->bytes.size = 0;
  m->bytes.flags |= ZTARRAY_EMPTY;
}

int ZtMessage_empty(const ZtMessage* m) { return isEmpty(m); }

int ZtMessage_load(ZtMessage* m, size_t size, const uint8_t* bytes) {
  size_t total = 0;
  if (bytes && size >= MIN_TOTAL && size <= ZTMESSAGE_MAX_TOTAL_SIZE && bytes[0] == ZTMESSAGE_PREAMBLE) {
    if (bytes[3] != ZTMESSAGE_EXTENDED_LENGTH)
      total = (size_t)bytes[3] + MIN_TOTAL;
    else if (size >= EXTENDED_HEADER + 1)
      total = (((size_t)bytes[4] << 8) | bytes[5]) + EXTENDED_HEADER + 1;
  }
  if (total == 0 || total != size) {
    ZtMessage_clear(m);
    return 0;
  }
  if (assignBytes(m, size, bytes) != 0) {
    ZtMessage_clear(m);
    return 0;
  }
  return 1;
}

const ZtMessageHeader* ZtMessage_getConstHeader(const ZtMessage* m) {
  return isEmpty(m) ? NULL : (const ZtMessageHeader*)(const void*)craw(m);
}

const uint8_t* ZtMessage_getMessageStart(const ZtMessage* m) { return isEmpty(m) ? NULL : craw(m); }

size_t ZtMessage_getTotalMessageSize(const ZtMessage* m) { return isEmpty(m) ? 0 : m->bytes.size; }

size_t ZtMessage_dataSize(const ZtMessage* m) { return payloadSize(m); }

uint8_t ZtMessage_getMessageId(const ZtMessage* m) { return isEmpty(m) ? 0 : craw(m)[2]; }

uint8_t ZtMessage_getBusId(const ZtMessage* m) { return isEmpty(m) ? 0 : craw(m)[1]; }

static void setHeaderByte(ZtMessage* m, size_t index, uint8_t value) {
  if (ensureFrame(m) != 0) return;
  raw(m)[index] = value;
  writeChecksum(m);
}

void ZtMessage_setMessageId(ZtMessage* m, uint8_t id) { setHeaderByte(m, 2, id); }

void ZtMessage_setBusId(ZtMessage* m, uint8_t busId) { setHeaderByte(m, 1, busId); }

int ZtMessage_isChecksumOk(const ZtMessage* m) {
  if (isEmpty(m)) return 0;
  return byteSum(craw(m) + 1, m->bytes.size - 1) == 0;
}

void ZtMessage_recomputeChecksum(ZtMessage* m) {
  if (!isEmpty(m)) writeChecksum(m);
}

uint8_t ZtMessage_computeChecksum(const uint8_t* bytes, size_t size) {
  if (!bytes || size < 2) return 0;
  return checksumOf(bytes, size);
}

/* ---- payload access ---- */

static int fits(const ZtMessage* m, size_t offset, size_t n) {
  size_t size = payloadSize(m);
  return offset <= size && n <= size - offset;
}

const uint8_t* ZtMessage_constData(const ZtMessage* m) { return payloadSize(m) ? cpayload(m) : NULL; }

const uint8_t* ZtMessage_getDataBuffer(const ZtMessage* m, size_t offset) {
  return offset < payloadSize(m) ? cpayload(m) + offset : NULL;
}

static uint64_t getBigEndian(const ZtMessage* m, size_t offset, size_t n) {
  if (!fits(m, offset, n)) return 0;
  const uint8_t* p = cpayload(m) + offset;
  uint64_t v = 0;
  for (size_t i = 0; i < n; ++i) v = (v << 8) | p[i];
  return v;
}

static void setBigEndian(ZtMessage* m, uint64_t value, size_t offset, size_t n) {
  if (!fits(m, offset, n)) return;
  uint8_t bytes[8];
  for (size_t i = 0; i < n; ++i) bytes[n - 1 - i] = (uint8_t)(value >> (8 * i));
  patch(m, offset, bytes, n);
}

uint8_t ZtMessage_getDataByte(const ZtMessage* m, size_t offset) { return (uint8_t)getBigEndian(m, offset, 1); }
uint16_t ZtMessage_getDataShort(const ZtMessage* m, size_t offset) { return (uint16_t)getBigEndian(m, offset, 2); }
uint32_t ZtMessage_getDataLong(const ZtMessage* m, size_t offset) { return (uint32_t)getBigEndian(m, offset, 4); }
uint64_t ZtMessage_getDataLongLong(const ZtMessage* m, size_t offset) { return getBigEndian(m, offset, 8); }

float ZtMessage_getDataFloat(const ZtMessage* m, size_t offset) {
  uint32_t bits = (uint32_t)getBigEndian(m, offset, 4);
  float v;
  memcpy(&v, &bits, sizeof v);
  return v;
}

double ZtMessage_getDataDouble(const ZtMessage* m, size_t offset) {
  uint64_t bits = getBigEndian(m, offset, 8);
  double v;
  memcpy(&v, &bits, sizeof v);
  return v;
}

void ZtMessage_setDataByte(ZtMessage* m, uint8_t value, size_t offset) { setBigEndian(m, value, offset, 1); }
void ZtMessage_setDataShort(ZtMessage* m, uint16_t value, size_t offset) { setBigEndian(m, value, offset, 2); }
void ZtMessage_setDataLong(ZtMessage* m, uint32_t value, size_t offset) { setBigEndian(m, value, offset, 4); }
void ZtMessage_setDataLongLong(ZtMessage* m, uint64_t value, size_t offset) { setBigEndian(m, value, offset, 8); }

void ZtMessage_setDataFloat(ZtMessage* m, float value, size_t offset) {
  uint32_t bits;
  memcpy(&bits, &value, sizeof bits);
  setBigEndian(m, bits, offset, 4);
}

void ZtMessage_setDataDouble(ZtMessage* m, double value, size_t offset) {
  uint64_t bits;
  memcpy(&bits, &value, sizeof bits);
  setBigEndian(m, bits, offset, 8);
}

/* Replaces payload bytes [offset, offset + removeCount) by insertCount zero bytes, switching
 * between the normal and the extended form as the new size needs. Fails (-1) without change
 * when the result would exceed the limit or memory runs out. */
static int reshapeUnsummed(ZtMessage* m, size_t offset, size_t removeCount, size_t insertCount) {
  if (ensureFrame(m) != 0) return -1;
  size_t oldSize = payloadSize(m);
  if (offset > oldSize || removeCount > oldSize - offset) return -1;
  size_t newSize = oldSize - removeCount;
  if (insertCount > ZTMESSAGE_MAX_DATA_SIZE - newSize) return -1;
  newSize += insertCount;
  int wasExtended = isExtended(m);
  /* Frames loaded in the extended form with a short payload keep their form until it has to
   * change; frames we build use the extended form exactly for payloads of 255 or more. */
  int extended = newSize >= ZTMESSAGE_EXTENDED_LENGTH || (wasExtended && newSize == oldSize);
  size_t newHeader = extended ? EXTENDED_HEADER : NORMAL_HEADER;
  size_t newTotal = newHeader + newSize + 1;
  size_t interim = headerSize(m) + newSize + 1; /* after the payload edit, before the header one */
  if (ZtArray_reserve(ZTARRAY(&m->bytes), newTotal > interim ? newTotal : interim) != 0) return -1;
  /* Capacity is in place: the edits below cannot fail. */
  size_t start = headerSize(m) + offset;
  if (removeCount) ZtArray_erase(ZTARRAY(&m->bytes), (ptrdiff_t)start, (ptrdiff_t)removeCount);
  if (insertCount) (void)ZtArray_insert(ZTARRAY(&m->bytes), (ptrdiff_t)start, insertCount, NULL);
  if (extended && !wasExtended) {
    (void)ZtArray_insert(ZTARRAY(&m->bytes), NORMAL_HEADER, 2, NULL);
    raw(m)[3] = ZTMESSAGE_EXTENDED_LENGTH;
  } else if (!extended && wasExtended) {
    ZtArray_erase(ZTARRAY(&m->bytes), NORMAL_HEADER, 2);
    raw(m)[3] = 0;
  }
  writeLength(m, newSize);
  return 0;
}

uint8_t* ZtMessage_appendDataUnsummed(ZtMessage* m, size_t keep, size_t add) {
  if (ensureFrame(m) != 0) return NULL;
  const size_t have = payloadSize(m);
  if (keep > have || add > ZTMESSAGE_MAX_DATA_SIZE - keep) return NULL;
  const size_t newSize = keep + add;
  /* The form a cut to keep followed by the growth gives: a size that changes takes the form
   * its new size needs. */
  const int wasExtended = isExtended(m);
  const int extended = (keep == have && add == 0) ? wasExtended : newSize >= ZTMESSAGE_EXTENDED_LENGTH;
  if (extended != wasExtended) {
    /* The header changes size too: the general edits (rare, around 255 payload bytes). */
    if (keep < have && reshapeUnsummed(m, keep, have - keep, 0) != 0) return NULL;
    if (add && reshapeUnsummed(m, keep, 0, add) != 0) return NULL;
    return payload(m) + keep;
  }
  const size_t header = headerSize(m);
  const size_t newTotal = header + newSize + 1;
  if (newTotal > m->bytes.reserved && ZtArray_reserve(ZTARRAY(&m->bytes), newTotal) != 0) return NULL;
  uint8_t* b = raw(m);
  /* The stale checksum byte moves to the new end, where the edits would have left it. */
  const uint8_t checksum = b[m->bytes.size - 1];
  m->bytes.size = newTotal;
  b[newTotal - 1] = checksum;
  writeLength(m, newSize);
  return b + header + keep;
}

static int reshape(ZtMessage* m, size_t offset, size_t removeCount, size_t insertCount) {
  if (reshapeUnsummed(m, offset, removeCount, insertCount) != 0) return -1;
  writeChecksum(m);
  return 0;
}

void ZtMessage_setDataBuffer(ZtMessage* m, const uint8_t* data, size_t size, size_t offset) {
  if (!data || size == 0) return;
  if (offset > ZTMESSAGE_MAX_DATA_SIZE || size > ZTMESSAGE_MAX_DATA_SIZE - offset) return;
  if (ensureFrame(m) != 0) return;
  size_t have = payloadSize(m);
  if (offset + size > have) {
    /* data may point into our own payload: remember where before the bytes move. */
    const uint8_t* lo = raw(m);
    const uint8_t* hi = lo + m->bytes.reserved;
    if (data >= lo && data < hi) {
      ZtByteArray copy;
      ZtByteArray_construct(&copy, size, data);
      if (copy.size == size) {
        if (reshape(m, have, 0, offset + size - have) == 0) patch(m, offset, copy.data, size);
      }
      ZtByteArray_destruct(&copy);
      return;
    }
    if (reshape(m, have, 0, offset + size - have) != 0) return;
  }
  /* The storage stays where it is from here on; patch moves overlapping bytes correctly. */
  patch(m, offset, data, size);
}

int ZtMessage_resizeData(ZtMessage* m, size_t dataSize) {
  if (dataSize > ZTMESSAGE_MAX_DATA_SIZE) return -1;
  if (ensureFrame(m) != 0) return -1;
  size_t have = payloadSize(m);
  if (dataSize >= have) return reshape(m, have, 0, dataSize - have);
  return reshape(m, dataSize, have - dataSize, 0);
}

int ZtMessage_resizeDataUnsummed(ZtMessage* m, size_t dataSize) {
  if (dataSize > ZTMESSAGE_MAX_DATA_SIZE) return -1;
  if (ensureFrame(m) != 0) return -1;
  size_t have = payloadSize(m);
  if (dataSize >= have) return reshapeUnsummed(m, have, 0, dataSize - have);
  return reshapeUnsummed(m, dataSize, have - dataSize, 0);
}

int ZtMessage_insertData(ZtMessage* m, size_t count, size_t offset) {
  if (count == 0) return ensureFrame(m);
  return reshape(m, offset, 0, count);
}

void ZtMessage_deleteData(ZtMessage* m, size_t count, size_t offset) {
  size_t have = payloadSize(m);
  if (isEmpty(m) || count == 0 || offset >= have) return;
  if (count > have - offset) count = have - offset;
  (void)reshape(m, offset, count, 0);
}

/* ---- floating-point forms ---- */

enum { FP_FLOAT = 0x000, FP_FIXED1220 = 0x100, FP_FIXED1632 = 0x200, FP_DOUBLE = 0x300, FP_MASK = 0x300 };

size_t ZtMessage_fpValueSize(uint32_t outputSettings) {
  switch (outputSettings & FP_MASK) {
    case FP_FIXED1632: return 6;
    case FP_DOUBLE: return 8;
    default: return 4;
  }
}

/* Rounds v * scale to the nearest integer, halves away from zero, saturated to [lo, hi];
 * NaN gives 0. */
static int64_t toFixed(double v, double scale, int64_t lo, int64_t hi) {
  if (v != v) return 0;
  double x = v * scale;
  if (x >= (double)hi) return hi;
  if (x <= (double)lo) return lo;
  return (int64_t)llround(x);
}

static double decodeFP(const uint8_t* p, uint32_t form) {
  uint64_t v = 0;
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  if ((form & FP_MASK) == FP_DOUBLE) {
    double d;
    memcpy(&v, p, sizeof v);
    v = __builtin_bswap64(v);
    memcpy(&d, &v, sizeof d);
    return d;
  }
#endif
  size_t n = ZtMessage_fpValueSize(form);
  for (size_t i = 0; i < n; ++i) v = (v << 8) | p[i];
  switch (form & FP_MASK) {
    case FP_FLOAT: {
      uint32_t bits = (uint32_t)v;
      float f;
      memcpy(&f, &bits, sizeof f);
      return f;
    }
    case FP_FIXED1220:
      return (double)(int32_t)(uint32_t)v / 1048576.0;
    case FP_FIXED1632: {
      /* 48-bit two's complement: integer part (16 bits) then fraction (32 bits). */
      int64_t s = (int64_t)(v << 16) / 65536;
      return (double)s / 4294967296.0;
    }
    default: {
      double d;
      memcpy(&d, &v, sizeof d);
      return d;
    }
  }
}

static void encodeFP(uint8_t* p, uint32_t form, double value) {
  uint64_t v;
  switch (form & FP_MASK) {
    case FP_FLOAT: {
      float f = (float)value;
      uint32_t bits;
      memcpy(&bits, &f, sizeof bits);
      v = bits;
      break;
    }
    case FP_FIXED1220:
      v = (uint64_t)(uint32_t)(int32_t)toFixed(value, 1048576.0, INT32_MIN, INT32_MAX);
      break;
    case FP_FIXED1632:
      v = (uint64_t)toFixed(value, 4294967296.0, -((int64_t)1 << 47), ((int64_t)1 << 47) - 1) & 0xFFFFFFFFFFFFull;
      break;
    default:
      memcpy(&v, &value, sizeof v);
      break;
  }
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  if ((form & FP_MASK) == FP_DOUBLE) {
    v = __builtin_bswap64(v);
    memcpy(p, &v, sizeof v);
    return;
  }
#endif
  size_t n = ZtMessage_fpValueSize(form);
  for (size_t i = 0; i < n; ++i) p[n - 1 - i] = (uint8_t)(v >> (8 * i));
}

size_t ZtMessage_getDataFPValues(const ZtMessage* m, uint32_t outputSettings, double* values, size_t offset,
                                 size_t count) {
  size_t n = ZtMessage_fpValueSize(outputSettings);
  if (!values || count == 0 || count > ZTMESSAGE_MAX_DATA_SIZE / n || !fits(m, offset, count * n)) return offset;
  const uint8_t* p = cpayload(m) + offset;
  for (size_t i = 0; i < count; ++i) values[i] = decodeFP(p + i * n, outputSettings);
  return offset + count * n;
}

size_t ZtMessage_setDataFPValuesUnsummed(ZtMessage* m, uint32_t outputSettings, const double* values, size_t offset,
                                         size_t count) {
  size_t n = ZtMessage_fpValueSize(outputSettings);
  if (!values || count == 0 || count > ZTMESSAGE_MAX_DATA_SIZE / n || !fits(m, offset, count * n)) return offset;
  uint8_t* p = payload(m) + offset;
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  if ((outputSettings & FP_MASK) == FP_DOUBLE) {
    /* The form of every item the host writes: the bits byte-swapped, nothing to round. */
    for (size_t i = 0; i < count; ++i) {
      uint64_t v;
      memcpy(&v, &values[i], sizeof v);
      v = __builtin_bswap64(v);
      memcpy(p + i * 8, &v, sizeof v);
    }
    return offset + count * 8;
  }
#endif
  for (size_t i = 0; i < count; ++i) encodeFP(p + i * n, outputSettings, values[i]);
  return offset + count * n;
}

size_t ZtMessage_setDataFPValues(ZtMessage* m, uint32_t outputSettings, const double* values, size_t offset,
                                 size_t count) {
  const size_t end = ZtMessage_setDataFPValuesUnsummed(m, outputSettings, values, offset, count);
  if (end != offset) writeChecksum(m);
  return end;
}
