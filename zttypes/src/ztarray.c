/* Generic descriptor-driven array.
 *
 * Items are handled only through the descriptor: a null operation means the item is plain
 * bytes. Plain arrays grow with realloc; arrays with a copy-construct operation are moved into
 * new storage item by item (copy-construct, then destruct the old item), so items that point
 * into themselves stay valid. Every operation that can fail leaves the array unchanged. */
#include "zttypes/ztarray.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#define ITEM(a, i) ((void*)((char*)(a)->data + (size_t)(i) * (a)->descriptor->itemSize))
#define CITEM(d, p, i) ((const void*)((const char*)(p) + (size_t)(i) * (d)->itemSize))

static void updateFlags(ZtArray* a) {
  if (a->size == 0)
    a->flags |= ZTARRAY_EMPTY;
  else
    a->flags &= ~ZTARRAY_EMPTY;
}

static void constructItem(const ZtArrayDescriptor* d, void* item) {
  if (d->itemConstruct)
    d->itemConstruct(item);
  else
    memset(item, 0, d->itemSize);
}

static void copyConstructItem(const ZtArrayDescriptor* d, void* item, const void* source) {
  if (d->itemCopyConstruct)
    d->itemCopyConstruct(item, source);
  else
    memcpy(item, source, d->itemSize);
}

static void destructItem(const ZtArrayDescriptor* d, void* item) {
  if (d->itemDestruct) d->itemDestruct(item);
}

static void copyItem(const ZtArrayDescriptor* d, void* target, const void* source) {
  if (target == source) return;
  if (d->itemCopy)
    d->itemCopy(target, source);
  else
    memcpy(target, source, d->itemSize);
}

/* Copy-assigns count items; plain items in one block. */
static void copyRange(const ZtArrayDescriptor* d, void* target, const void* source, size_t count) {
  if (!d->itemCopy) {
    if (count && target != source) memmove(target, source, count * d->itemSize);
    return;
  }
  for (size_t i = 0; i < count; ++i) copyItem(d, (char*)target + i * d->itemSize, CITEM(d, source, i));
}

static void constructRange(const ZtArrayDescriptor* d, void* first, size_t count, const void* source) {
  if (!d->itemConstruct && !source) {
    memset(first, 0, count * d->itemSize);
    return;
  }
  if (!d->itemCopyConstruct && source) {
    memcpy(first, source, count * d->itemSize);
    return;
  }
  for (size_t i = 0; i < count; ++i) {
    void* item = (char*)first + i * d->itemSize;
    if (source)
      copyConstructItem(d, item, CITEM(d, source, i));
    else
      constructItem(d, item);
  }
}

static void destructRange(const ZtArrayDescriptor* d, void* first, size_t count) {
  if (!d->itemDestruct) return;
  for (size_t i = 0; i < count; ++i) d->itemDestruct((char*)first + i * d->itemSize);
}

/* Whether [p, p + bytes) overlaps the array's allocated storage. */
static int overlapsStorage(const ZtArray* a, const void* p, size_t count) {
  if (!p || !a->data || a->reserved == 0) return 0;
  const char* lo = (const char*)a->data;
  const char* hi = lo + a->reserved * a->descriptor->itemSize;
  const char* q = (const char*)p;
  return q < hi && q + count * a->descriptor->itemSize > lo;
}

static int multiplyOverflows(size_t a, size_t b) { return b != 0 && a > SIZE_MAX / b; }

/* Grows the allocation to hold at least count items. Fixed storage never moves. */
static int growTo(ZtArray* a, size_t count) {
  const ZtArrayDescriptor* d = a->descriptor;
  if (count <= a->reserved) return 0;
  if (a->flags & ZTARRAY_FIXED) return -1;
  size_t want = a->reserved + a->reserved / 2;
  if (want < count) want = count;
  if (want < 4) want = 4;
  if (multiplyOverflows(want, d->itemSize)) {
    want = count;
    if (multiplyOverflows(want, d->itemSize)) return -1;
  }
  size_t bytes = want * d->itemSize;
  if (bytes == 0) bytes = 1;
  void* fresh;
  if (!d->itemCopyConstruct) {
    fresh = realloc((a->flags & ZTARRAY_OWNS_DATA) ? a->data : NULL, bytes);
    if (!fresh) return -1;
    if (!(a->flags & ZTARRAY_OWNS_DATA) && a->size) memcpy(fresh, a->data, a->size * d->itemSize);
  } else {
    fresh = malloc(bytes);
    if (!fresh) return -1;
    for (size_t i = 0; i < a->size; ++i) {
      void* item = (char*)fresh + i * d->itemSize;
      d->itemCopyConstruct(item, ITEM(a, i));
      destructItem(d, ITEM(a, i));
    }
    if (a->flags & ZTARRAY_OWNS_DATA) free(a->data);
  }
  a->data = fresh;
  a->reserved = want;
  a->flags |= ZTARRAY_OWNS_DATA;
  return 0;
}

void ZtArray_construct(ZtArray* a, const ZtArrayDescriptor* d, size_t count, const void* source) {
  a->data = NULL;
  a->size = 0;
  a->reserved = 0;
  a->flags = ZTARRAY_EMPTY;
  a->descriptor = d;
  if (count && ZtArray_assign(a, count, source) != 0) {
    /* Allocation failed: the array stays empty rather than half built. */
  }
}

void ZtArray_constructFixed(ZtArray* a, const ZtArrayDescriptor* d, void* storage, size_t capacity) {
  a->data = storage;
  a->size = 0;
  a->reserved = storage ? capacity : 0;
  a->flags = ZTARRAY_FIXED | ZTARRAY_EMPTY;
  a->descriptor = d;
}

void ZtArray_destruct(ZtArray* a) {
  if (!a || !a->descriptor) return;
  if (a->data) destructRange(a->descriptor, a->data, a->size);
  if (a->flags & ZTARRAY_OWNS_DATA) {
    free(a->data);
    a->data = NULL;
    a->reserved = 0;
    a->flags &= ~ZTARRAY_OWNS_DATA;
  }
  a->size = 0;
  updateFlags(a);
}

void ZtArray_copyConstruct(ZtArray* a, const ZtArray* source) {
  ZtArray_construct(a, source->descriptor, source->size, source->data);
}

void ZtArray_copy(ZtArray* a, const ZtArray* source) {
  if (a == source) return;
  (void)ZtArray_assign(a, source->size, source->data);
}

int ZtArray_reserve(ZtArray* a, size_t count) { return growTo(a, count); }

int ZtArray_assign(ZtArray* a, size_t count, const void* source) {
  const ZtArrayDescriptor* d = a->descriptor;
  if (source && count && overlapsStorage(a, source, count)) {
    /* The source lives in our own storage: take a private copy first. */
    ZtArray tmp;
    ZtArray_construct(&tmp, d, 0, NULL);
    if (ZtArray_assign(&tmp, count, source) != 0) {
      ZtArray_destruct(&tmp);
      return -1;
    }
    int rc = ZtArray_assign(a, count, tmp.data);
    ZtArray_destruct(&tmp);
    return rc;
  }
  if (growTo(a, count) != 0) return -1;
  size_t keep = a->size < count ? a->size : count;
  if (source) copyRange(d, a->data, source, keep);
  if (count > a->size)
    constructRange(d, ITEM(a, a->size), count - a->size, source ? CITEM(d, source, a->size) : NULL);
  else if (count < a->size)
    destructRange(d, ITEM(a, count), a->size - count);
  a->size = count;
  updateFlags(a);
  return 0;
}

int ZtArray_append(ZtArray* a, size_t count, const void* source) {
  return ZtArray_insert(a, -1, count, source);
}

int ZtArray_insert(ZtArray* a, ptrdiff_t index, size_t count, const void* source) {
  const ZtArrayDescriptor* d = a->descriptor;
  size_t n = a->size;
  size_t p;
  if (index == -1)
    p = n;
  else if (index < 0 || (size_t)index > n)
    return -1;
  else
    p = (size_t)index;
  if (count == 0) return 0;
  if (count > SIZE_MAX - n) return -1;
  if (source && overlapsStorage(a, source, count)) {
    ZtArray tmp;
    ZtArray_construct(&tmp, d, 0, NULL);
    if (ZtArray_assign(&tmp, count, source) != 0) {
      ZtArray_destruct(&tmp);
      return -1;
    }
    int rc = ZtArray_insert(a, (ptrdiff_t)p, count, tmp.data);
    ZtArray_destruct(&tmp);
    return rc;
  }
  if (growTo(a, n + count) != 0) return -1;
  if (!d->itemCopyConstruct && !d->itemCopy && !d->itemConstruct && !d->itemDestruct) {
    char* base = (char*)a->data;
    memmove(base + (p + count) * d->itemSize, base + p * d->itemSize, (n - p) * d->itemSize);
    if (source)
      memcpy(base + p * d->itemSize, source, count * d->itemSize);
    else
      memset(base + p * d->itemSize, 0, count * d->itemSize);
  } else {
    /* Shift the tail up: slots past the old end are raw and get copy-constructed, the rest
     * are live items and get assigned. Walk downwards so nothing is read after it is
     * overwritten. */
    for (size_t j = n + count; j-- > p + count;) {
      if (j >= n)
        copyConstructItem(d, ITEM(a, j), ITEM(a, j - count));
      else
        copyItem(d, ITEM(a, j), ITEM(a, j - count));
    }
    for (size_t j = p; j < p + count; ++j) {
      const void* s = source ? CITEM(d, source, j - p) : NULL;
      if (j < n) {
        if (s) {
          copyItem(d, ITEM(a, j), s);
        } else {
          destructItem(d, ITEM(a, j));
          constructItem(d, ITEM(a, j));
        }
      } else if (s) {
        copyConstructItem(d, ITEM(a, j), s);
      } else {
        constructItem(d, ITEM(a, j));
      }
    }
  }
  a->size = n + count;
  updateFlags(a);
  return 0;
}

void ZtArray_erase(ZtArray* a, ptrdiff_t index, ptrdiff_t count) {
  const ZtArrayDescriptor* d = a->descriptor;
  size_t n = a->size;
  if (index < 0 || (size_t)index >= n || count == 0) return;
  size_t p = (size_t)index;
  size_t k = (count < 0 || (size_t)count > n - p) ? n - p : (size_t)count;
  if (!d->itemCopy && !d->itemDestruct) {
    char* base = (char*)a->data;
    memmove(base + p * d->itemSize, base + (p + k) * d->itemSize, (n - p - k) * d->itemSize);
  } else {
    for (size_t j = p; j + k < n; ++j) copyItem(d, ITEM(a, j), ITEM(a, j + k));
    destructRange(d, ITEM(a, n - k), k);
  }
  a->size = n - k;
  updateFlags(a);
}

void ZtArray_swap(ZtArray* a, ZtArray* b) {
  if (a == b) return;
  if (!(a->flags & ZTARRAY_FIXED) && !(b->flags & ZTARRAY_FIXED)) {
    ZtArray t = *a;
    *a = *b;
    *b = t;
    return;
  }
  /* Fixed storage belongs to its owner and cannot change hands: exchange the items instead.
   * All or nothing: when one side cannot hold the other's items (fixed capacity, memory) both
   * keep their own. Restoring a cannot fail: its storage already held those items. */
  ZtArray tmp;
  ZtArray_copyConstruct(&tmp, a);
  if (tmp.size == a->size && ZtArray_assign(a, b->size, b->data) == 0 &&
      ZtArray_assign(b, tmp.size, tmp.data) != 0)
    (void)ZtArray_assign(a, tmp.size, tmp.data);
  ZtArray_destruct(&tmp);
}

int ZtArray_compare(const ZtArray* a, const ZtArray* b) {
  const ZtArrayDescriptor* d = a->descriptor;
  size_t n = a->size < b->size ? a->size : b->size;
  for (size_t i = 0; i < n; ++i) {
    const void* x = CITEM(d, a->data, i);
    const void* y = CITEM(d, b->data, i);
    int c = d->itemCompare ? d->itemCompare(x, y) : memcmp(x, y, d->itemSize);
    if (c != 0) return c < 0 ? -1 : 1;
  }
  if (a->size == b->size) return 0;
  return a->size < b->size ? -1 : 1;
}

void* ZtArray_at(ZtArray* a, size_t index) {
  if (!a->data || index >= a->size) return NULL;
  return ITEM(a, index);
}

/* Plain descriptors: numeric items compare by value, not by their byte images. */
static int compareInt32(const void* a, const void* b) {
  int32_t x, y;
  memcpy(&x, a, sizeof x);
  memcpy(&y, b, sizeof y);
  return (x > y) - (x < y);
}
static int compareUInt32(const void* a, const void* b) {
  uint32_t x, y;
  memcpy(&x, a, sizeof x);
  memcpy(&y, b, sizeof y);
  return (x > y) - (x < y);
}
static int compareInt64(const void* a, const void* b) {
  int64_t x, y;
  memcpy(&x, a, sizeof x);
  memcpy(&y, b, sizeof y);
  return (x > y) - (x < y);
}
static int compareDouble(const void* a, const void* b) {
  double x, y;
  memcpy(&x, a, sizeof x);
  memcpy(&y, b, sizeof y);
  return (x > y) - (x < y);
}

const ZtArrayDescriptor g_ztCharArrayDescriptor = {sizeof(char), NULL, NULL, NULL, NULL, NULL, NULL};
const ZtArrayDescriptor g_ztByteArrayDescriptor = {sizeof(uint8_t), NULL, NULL, NULL, NULL, NULL, NULL};
const ZtArrayDescriptor g_ztInt32ArrayDescriptor = {sizeof(int32_t), NULL, NULL, NULL, NULL, NULL, compareInt32};
const ZtArrayDescriptor g_ztUInt32ArrayDescriptor = {sizeof(uint32_t), NULL, NULL, NULL, NULL, NULL, compareUInt32};
const ZtArrayDescriptor g_ztInt64ArrayDescriptor = {sizeof(int64_t), NULL, NULL, NULL, NULL, NULL, compareInt64};
const ZtArrayDescriptor g_ztDoubleArrayDescriptor = {sizeof(double), NULL, NULL, NULL, NULL, NULL, compareDouble};

/* ---- ZtByteArray ---- */

void ZtByteArray_construct(ZtByteArray* b, size_t count, const uint8_t* source) {
  ZtArray_construct(ZTARRAY(b), &g_ztByteArrayDescriptor, count, source);
}

void ZtByteArray_destruct(ZtByteArray* b) { ZtArray_destruct(ZTARRAY(b)); }

int ZtByteArray_append(ZtByteArray* b, size_t count, const uint8_t* source) {
  return ZtArray_insert(ZTARRAY(b), -1, count, source);
}

void ZtByteArray_eraseFront(ZtByteArray* b, size_t count) {
  if (count == 0 || b->size == 0) return;
  if (count >= b->size) {
    b->size = 0;
    b->flags |= ZTARRAY_EMPTY;
    return;
  }
  memmove(b->data, b->data + count, b->size - count);
  b->size -= count;
}
