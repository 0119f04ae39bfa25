#ifndef ZTTYPES_ZTARRAY_H
#define ZTTYPES_ZTARRAY_H
/* Generic array driven by a per-type descriptor, and the string and byte array built on it.
 *
 * Callers read data, size and flags directly. Flags:
 *   ZTARRAY_OWNS_DATA (1)  data was allocated by the array and is freed / reallocated by it
 *   ZTARRAY_FIXED     (2)  data is storage the array does not own; never freed or reallocated
 *   ZTARRAY_EMPTY     (4)  the array holds no items (size 0)
 * Index -1 means "the end", count -1 means "to the end". */
#include <stddef.h>
#include <stdint.h>
#include "ztexport.h"

ZTTYPES_BEGIN_DECLS

enum { ZTARRAY_OWNS_DATA = 1, ZTARRAY_FIXED = 2, ZTARRAY_EMPTY = 4 };

/* Seven words: item size, then the per-item operations. A null operation means the
 * item is plain bytes (memset 0 / memcpy / memcmp / byte swap). */
typedef struct ZtArrayDescriptor {
  size_t itemSize;
  void (*itemSwap)(void* a, void* b);
  void (*itemConstruct)(void* item);
  void (*itemCopyConstruct)(void* item, const void* source);
  void (*itemDestruct)(void* item);
  void (*itemCopy)(void* target, const void* source);
  int (*itemCompare)(const void* a, const void* b);
} ZtArrayDescriptor;

/* The common layout of every array type. */
#define ZTARRAY_FIELDS(ItemType)            \
  ItemType* data;                           \
  size_t size;     /* items in use */       \
  size_t reserved; /* items allocated */    \
  int flags;                                \
  const ZtArrayDescriptor* descriptor

typedef struct ZtArray { ZTARRAY_FIELDS(void); } ZtArray;

/* A typed array with the same layout as ZtArray; pass it with ZTARRAY(x). */
#define ZTARRAY_DECLARE(Name, ItemType) typedef struct Name { ZTARRAY_FIELDS(ItemType); } Name
#define ZTARRAY(p) ((ZtArray*)(void*)(p))
#define ZTCARRAY(p) ((const ZtArray*)(const void*)(p))

/* Construct with count items: copy-constructed from source when given, else default-constructed. */
ZTTYPES_API void ZtArray_construct(ZtArray* a, const ZtArrayDescriptor* d, size_t count, const void* source);
/* Construct over caller storage of capacity items (ZTARRAY_FIXED); size 0. */
ZTTYPES_API void ZtArray_constructFixed(ZtArray* a, const ZtArrayDescriptor* d, void* storage, size_t capacity);
ZTTYPES_API void ZtArray_destruct(ZtArray* a);
ZTTYPES_API void ZtArray_copyConstruct(ZtArray* a, const ZtArray* source);
/* Deep copy of source into an already constructed array. */
ZTTYPES_API void ZtArray_copy(ZtArray* a, const ZtArray* source);
/* Resize to count items; new items are copied from source (count items) when given, else constructed.
 * With a source, every item is replaced by the source's. Returns 0 on success, -1 when a fixed array
 * cannot hold count items or allocation fails. */
ZTTYPES_API int ZtArray_assign(ZtArray* a, size_t count, const void* source);
ZTTYPES_API int ZtArray_reserve(ZtArray* a, size_t count);
ZTTYPES_API int ZtArray_append(ZtArray* a, size_t count, const void* source);
/* Insert count items from source (or constructed) before index; index -1 = end. */
ZTTYPES_API int ZtArray_insert(ZtArray* a, ptrdiff_t index, size_t count, const void* source);
/* Erase count items from index; count -1 = to the end. Out-of-range parts are ignored. */
ZTTYPES_API void ZtArray_erase(ZtArray* a, ptrdiff_t index, ptrdiff_t count);
/* Exchanges the contents. Arrays over fixed storage exchange their items (storage never changes
 * hands); when a side cannot hold the other's items, neither array changes. */
ZTTYPES_API void ZtArray_swap(ZtArray* a, ZtArray* b);
/* 0 when equal; otherwise the first differing item's comparison, or the size difference's sign. */
ZTTYPES_API int ZtArray_compare(const ZtArray* a, const ZtArray* b);
ZTTYPES_API void* ZtArray_at(ZtArray* a, size_t index);

/* Descriptors for plain item types. */
ZTTYPES_API extern const ZtArrayDescriptor g_ztCharArrayDescriptor;
ZTTYPES_API extern const ZtArrayDescriptor g_ztByteArrayDescriptor;
ZTTYPES_API extern const ZtArrayDescriptor g_ztInt32ArrayDescriptor;
ZTTYPES_API extern const ZtArrayDescriptor g_ztUInt32ArrayDescriptor;
ZTTYPES_API extern const ZtArrayDescriptor g_ztInt64ArrayDescriptor;
ZTTYPES_API extern const ZtArrayDescriptor g_ztDoubleArrayDescriptor;

/* ZtString: NUL-terminated text; size counts the NUL, so size 0 or 1 is the empty text. */
ZTARRAY_DECLARE(ZtString, char);
ZTTYPES_API void ZtString_construct(ZtString* s, const char* text);
ZTTYPES_API void ZtString_destruct(ZtString* s);
ZTTYPES_API void ZtString_assign(ZtString* s, size_t length, const char* text);
ZTTYPES_API void ZtString_assignCharArray(ZtString* s, const char* text);
ZTTYPES_API void ZtString_append(ZtString* s, const ZtString* other);
ZTTYPES_API void ZtString_appendCharArray(ZtString* s, const char* text);
/* Text length without the NUL. */
ZTTYPES_API size_t ZtString_length(const ZtString* s);
/* Never null: "" for an empty string. */
ZTTYPES_API const char* ZtString_c_str(const ZtString* s);
ZTTYPES_API int ZtString_empty(const ZtString* s);

/* ZtByteArray: raw bytes (payloads, port data). Erasing from the front is cheap enough for the
 * receive buffer (a memmove of what remains; the buffer is bounded). */
ZTARRAY_DECLARE(ZtByteArray, uint8_t);
ZTTYPES_API void ZtByteArray_construct(ZtByteArray* b, size_t count, const uint8_t* source);
ZTTYPES_API void ZtByteArray_destruct(ZtByteArray* b);
ZTTYPES_API int ZtByteArray_append(ZtByteArray* b, size_t count, const uint8_t* source);
ZTTYPES_API void ZtByteArray_eraseFront(ZtByteArray* b, size_t count);

ZTARRAY_DECLARE(ZtInt32Array, int32_t);
ZTARRAY_DECLARE(ZtUInt32Array, uint32_t);
ZTARRAY_DECLARE(ZtInt64Array, int64_t);
ZTARRAY_DECLARE(ZtDoubleArray, double);

ZTTYPES_END_DECLS
#endif
