/* ZtString: a char array whose last item is the terminating NUL.
 *
 * Invariant kept by every ZtString_* function: the size is either 0 (empty, nothing allocated
 * needed) or strlen(data) + 1. Text is taken up to its first NUL, so an embedded NUL never
 * leaves the size and the C text disagreeing; empty text always gives size 0. */
#include "zttypes/ztarray.h"

#include <string.h>

/* Length of text, looking at most max characters. */
static size_t boundedLength(const char* text, size_t max) {
  const void* nul = memchr(text, '\0', max);
  return nul ? (size_t)((const char*)nul - text) : max;
}

void ZtString_construct(ZtString* s, const char* text) {
  ZtArray_construct(ZTARRAY(s), &g_ztCharArrayDescriptor, 0, NULL);
  ZtString_assignCharArray(s, text);
}

void ZtString_destruct(ZtString* s) { ZtArray_destruct(ZTARRAY(s)); }

void ZtString_assign(ZtString* s, size_t length, const char* text) {
  size_t n = (text && length) ? boundedLength(text, length) : 0;
  if (n == 0) {
    (void)ZtArray_assign(ZTARRAY(s), 0, NULL);
    return;
  }
  /* Resizing to n + 1 copes with text inside our own storage (assign copies it first). */
  if (ZtArray_assign(ZTARRAY(s), n, text) != 0) return;
  char nul = '\0';
  if (ZtArray_append(ZTARRAY(s), 1, &nul) != 0) {
    (void)ZtArray_assign(ZTARRAY(s), 0, NULL);
  }
}

void ZtString_assignCharArray(ZtString* s, const char* text) {
  ZtString_assign(s, text ? strlen(text) : 0, text);
}

void ZtString_appendCharArray(ZtString* s, const char* text) {
  if (!text || !*text) return;
  size_t n = strlen(text);
  if (s->size == 0) {
    ZtString_assign(s, n, text);
    return;
  }
  /* Insert before our NUL; insert copes with text inside our own storage. */
  (void)ZtArray_insert(ZTARRAY(s), (ptrdiff_t)(s->size - 1), n, text);
}

void ZtString_append(ZtString* s, const ZtString* other) {
  if (!other || other->size <= 1) return;
  size_t n = boundedLength(other->data, other->size - 1);
  if (n == 0) return;
  if (s->size == 0) {
    ZtString_assign(s, n, other->data);
    return;
  }
  (void)ZtArray_insert(ZTARRAY(s), (ptrdiff_t)(s->size - 1), n, other->data);
}

size_t ZtString_length(const ZtString* s) { return s->size ? s->size - 1 : 0; }

const char* ZtString_c_str(const ZtString* s) { return (s->size && s->data) ? s->data : ""; }

int ZtString_empty(const ZtString* s) { return s->size <= 1; }
